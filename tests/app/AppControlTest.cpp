#include "Control/AppControl.h"

#include <gtest/gtest.h>

TEST(TimeText, TwoDigitsAtLeastAndHoursNeverWrap)
{
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "00:00:00"},
        {59, "00:00:59"},
        {65, "00:01:05"},
        {3599, "00:59:59"},
        {3600, "01:00:00"},
        {86399, "23:59:59"},
        {360000, "100:00:00"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(AppControl::getStringFromTimeValue(seconds), QString::fromLatin1(text)) << seconds;
}
