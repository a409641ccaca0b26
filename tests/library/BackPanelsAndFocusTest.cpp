// The two background panels' drawing, and the rule every drawn control of
// the library window keeps: a click on it ends the editing of a text field.
#include "LibraryTestSupport.h"

#include "AudioLibrary/AudioBottomBackView.h"
#include "AudioLibrary/AudioItemView.h"
#include "AudioLibrary/AudioLibBackView.h"
#include "View/PlayProgressView.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

using librarytest::grey;
using librarytest::near;
using librarytest::pixel;

namespace {

TEST(BackPanels, BottomStripHasATwoToneTopEdgeAndTheListIsFlat)
{
    const auto lines = AudioBottomBackView::edgeLines(40.7);
    EXPECT_EQ(lines[0].y, 39.5);
    EXPECT_EQ(lines[0].grey, 0.1);
    EXPECT_EQ(lines[1].y, 38.5);
    EXPECT_EQ(lines[1].grey, 0.6);

    AudioBottomBackView strip;
    strip.resize(200, 40);
    for (const qreal dpr : {1.0, 2.0}) {
        const QImage image = librarytest::render(strip, dpr);
        EXPECT_TRUE(near(pixel(image, 100, 0), grey(0.1))) << dpr;
        EXPECT_TRUE(near(pixel(image, 100, 1), grey(0.6))) << dpr;
        EXPECT_TRUE(near(pixel(image, 199, 2), grey(0.5))) << dpr;
        EXPECT_TRUE(near(pixel(image, 0, 39), grey(0.5))) << dpr;
    }
    AudioLibBackView list;
    list.resize(100, 60);
    const QImage image = librarytest::render(list);
    EXPECT_TRUE(near(pixel(image, 0, 0), grey(0.3)));
    EXPECT_TRUE(near(pixel(image, 99, 59), grey(0.3)));
}

struct Control {
    const char* name;
    std::function<QWidget*(QWidget*)> make;  // made inside the given window
};
void PrintTo(const Control& control, std::ostream* os)
{
    *os << control.name;
}

class FocusRule : public ::testing::TestWithParam<Control> { };

TEST_P(FocusRule, ClickOnTheControlEndsTheFieldsEditing)
{
    QWidget window;
    window.resize(700, 200);
    auto* field = new QLineEdit(&window);
    field->setGeometry(10, 10, 100, 24);
    QWidget* control = GetParam().make(&window);
    control->move(0, 60);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    for (const bool editing : {false, true}) {
        if (editing) {
            field->setFocus();
            ASSERT_TRUE(field->hasFocus());
        }
        QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(20, 20));
        EXPECT_FALSE(field->hasFocus());
        EXPECT_FALSE(control->hasFocus());
    }
}

QWidget* sized(QWidget* panel, int w, int h)
{
    panel->resize(w, h);
    return panel;
}

QWidget* editable(PlayProgressView* bar)
{
    bar->setCanEdit(true);
    return bar;
}

INSTANTIATE_TEST_SUITE_P(LibraryControls, FocusRule,
    ::testing::Values(Control{"Row", [](QWidget* w) -> QWidget* { return new AudioItemView(QRect(0, 0, 610, 50), w); }},
        Control{"BottomStrip", [](QWidget* w) { return sized(new AudioBottomBackView(w), 300, 40); }},
        Control{"ListBackground", [](QWidget* w) { return sized(new AudioLibBackView(w), 300, 100); }},
        // Editable or not, a press on the bar takes the focus.
        Control{"LockedTrimBar", [](QWidget* w) -> QWidget* { return new PlayProgressView(QRect(0, 0, 318, 44), w); }},
        Control{"EditableTrimBar", [](QWidget* w) { return editable(new PlayProgressView(QRect(0, 0, 318, 44), w)); }}),
    [](const ::testing::TestParamInfo<Control>& info) { return std::string(info.param.name); });

}  // namespace
