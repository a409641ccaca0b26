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

QWidget* sized(QWidget* panel, int w, int h)
{
    panel->resize(w, h);
    return panel;
}

TEST(FocusRule, AClickOnAnyDrawnControlEndsTheFieldsEditing)
{
    const std::function<QWidget*(QWidget*)> controls[]
        = {[](QWidget* w) { return new AudioItemView(QRect(0, 0, 610, 50), w); },
            [](QWidget* w) { return sized(new AudioBottomBackView(w), 300, 40); },
            [](QWidget* w) { return sized(new AudioLibBackView(w), 300, 100); },
            // Editable or not, a press on the bar takes the focus.
            [](QWidget* w) { return new PlayProgressView(QRect(0, 0, 318, 44), w); },
            [](QWidget* w) {
                auto* bar = new PlayProgressView(QRect(0, 0, 318, 44), w);
                bar->setCanEdit(true);
                return bar;
            }};
    for (std::size_t i = 0; i < std::size(controls); ++i) {
        SCOPED_TRACE(i);
        QWidget window;
        window.resize(700, 200);
        auto* field = new QLineEdit(&window);
        field->setGeometry(10, 10, 100, 24);
        QWidget* control = controls[i](&window);
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
}

}  // namespace
