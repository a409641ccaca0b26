#include "AppTestSupport.h"
#include "Control/AppControl.h"

#include <QSettings>

using SettingsTest = AppTest;

TEST_F(SettingsTest, AbsentKeyYieldsTheDefaultWithoutStoringIt)
{
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppShowHelpWnd, 1).toInt(), 1);
    EXPECT_FALSE(QSettings().contains(SettingsKey::OpenAppShowHelpWnd));
    AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppShowHelpWnd);
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppShowHelpWnd, 1).toInt(), 0);
}

TEST(TimeText, TwoDigitsAtLeastAndHoursNeverWrap)
{
    EXPECT_EQ(AppControl::getStrForTwoStr(9), QStringLiteral("09"));
    EXPECT_EQ(AppControl::getStrForTwoStr(10), QStringLiteral("10"));
    EXPECT_EQ(AppControl::getStrForTwoStr(123), QStringLiteral("123"));
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "00:00:00"},
        {59, "00:00:59"},
        {60, "00:01:00"},
        {65, "00:01:05"},
        {3599, "00:59:59"},
        {3600, "01:00:00"},
        {86399, "23:59:59"},
        {360000, "100:00:00"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(AppControl::getStringFromTimeValue(seconds), QString::fromLatin1(text)) << seconds;
}
