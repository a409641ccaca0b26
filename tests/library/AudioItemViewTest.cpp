// The library row: its layout in y-up coordinates, its pixels, and the
// requests its delegate receives for clicks, the delete button and the
// context menu.
#include "LibraryTestSupport.h"

#include "AudioLibrary/AudioItemView.h"
#include "platform/ui/Workspace.h"

#include <QAbstractButton>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using librarytest::brightest;
using librarytest::grey;
using librarytest::near;
using librarytest::pixel;
using Op = AudioItemViewDelegate::Operation;
using Calls = std::vector<std::string>;

namespace {

const QRect kRowFrame(0, 0, 610, 50);

// Stands in for the library: records the requests and, like it, marks the
// row that asks to be chosen (unless told not to).
class FakeLibrary : public AudioItemViewDelegate {
public:
    std::set<Op> answered{Op::ChooseTheAudioItem, Op::DeleteChooseAudioItem};
    bool selects = true;
    Calls calls;

    bool respondsTo(Op op) const override { return answered.count(op) != 0; }
    void chooseTheAudioItem(AudioItemView* row) override
    {
        calls.push_back(row ? "choose " + row->name().toStdString() : "choose none");
        if (selects && row)
            row->setIsChoose(true);
    }
    void deleteChooseAudioItem() override { calls.push_back("delete"); }
};

class RecordingWorkspace : public Workspace {
public:
    void revealInFileManager(const QString& path) override { revealed.push_back(path); }
    std::vector<QString> revealed;
};

TEST(AudioItemViewLayout, EdgeLinesAndDeleteButtonMeasureFromTheBottom)
{
    // The height is truncated before the half-point offsets (the drawing test sees whole heights).
    EXPECT_EQ(AudioItemView::edgeLines(50.7)[0].y, 49.5);
    EXPECT_EQ(AudioItemView::edgeLines(50.7)[1].y, 48.5);

    EXPECT_EQ(AudioItemView(kRowFrame).deleteButton()->geometry(), QRect(510, 10, 30, 30));
    AudioItemView taller(QRect(0, 0, 610, 70));
    EXPECT_EQ(taller.deleteButton()->geometry(), QRect(510, 30, 30, 30));
    taller.resize(700, 60);
    taller.show();  // a hidden widget hears of its new size when shown
    EXPECT_EQ(taller.deleteButton()->geometry(), QRect(510, 20, 30, 30));
}

TEST(AudioItemViewDrawing, BackgroundEdgeLinesArtworkAndTexts)
{
    AudioItemView row(kRowFrame);
    QImage art(8, 8, QImage::Format_ARGB32_Premultiplied);  // red over blue: shows it upright
    art.fill(Qt::blue);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            art.setPixelColor(x, y, Qt::red);
    row.setImageArt(art);
    for (const bool chosen : {false, true})
        for (const qreal dpr : {1.0, 2.0}) {
            SCOPED_TRACE(testing::Message() << "chosen " << chosen << " at " << dpr << "x");
            row.setIsChoose(chosen);
            const QImage image = librarytest::render(row, dpr);
            const QColor background = chosen ? QColor(59, 34, 255) : grey(0.2);
            EXPECT_TRUE(near(pixel(image, 300, 25), background));
            EXPECT_TRUE(near(pixel(image, 300, 2), background));
            // Widget rows counted from the top: the top edge dark, a light row
            // beneath it; the bottom edge dark, a light row above it.
            EXPECT_TRUE(near(pixel(image, 300, 0), grey(0.1)));
            EXPECT_TRUE(near(pixel(image, 300, 1), grey(0.3)));
            EXPECT_TRUE(near(pixel(image, 300, 48), grey(0.3)));
            EXPECT_TRUE(near(pixel(image, 300, 49), grey(0.1)));
            // Artwork in 15..55 across, 5..45 down.
            EXPECT_EQ(pixel(image, 16, 7), QColor(Qt::red));
            EXPECT_EQ(pixel(image, 54, 43), QColor(Qt::blue));
            EXPECT_TRUE(near(pixel(image, 14, 25), background));
            EXPECT_TRUE(near(pixel(image, 56, 25), background));
        }

    // The name's line stands on y 26 (widget rows above 24), the length's on y 5 (above 45).
    AudioItemView nameOnly(kRowFrame);
    nameOnly.setName(QStringLiteral("Recording 2024-05-01"));
    const QImage name = librarytest::render(nameOnly);
    EXPECT_GT(brightest(name, QRect(120, 4, 200, 20)), 200);
    EXPECT_LT(brightest(name, QRect(120, 27, 200, 20)), 60);
    EXPECT_LT(brightest(name, QRect(60, 2, 59, 46)), 60);  // nothing left of x 120
    AudioItemView timeOnly(kRowFrame);
    timeOnly.setTimeStr(QStringLiteral("00:01:59"));
    const QImage time = librarytest::render(timeOnly);
    EXPECT_GT(brightest(time, QRect(120, 26, 100, 19)), 200);
    EXPECT_LT(brightest(time, QRect(120, 2, 100, 20)), 60);
    // The shadow darkens the background around the glyphs.
    int darkest = 255;
    for (int y = 24; y < 48; ++y)
        for (int x = 118; x < 200; ++x)
            darkest = std::min(darkest, pixel(time, x, y).red());
    EXPECT_LT(darkest, grey(0.2).red() - 8);
}

struct Click {
    const char* what;
    std::set<Op> answered;
    bool libraryWithDelegate, selects, chosenBefore, onDelete;
    Calls calls;
};

TEST(AudioItemViewClicks, RequestsTheDelegateReceives)
{
    const std::set<Op> both{Op::ChooseTheAudioItem, Op::DeleteChooseAudioItem};
    const Click clicks[] = {
        {"left click", both, true, true, false, false, {"choose row"}},
        {"left click on the chosen row", both, true, true, true, false, {"choose row"}},
        {"delete on an unchosen row chooses it first", both, true, true, false, true, {"choose row", "delete"}},
        {"delete on the chosen row", both, true, true, true, true, {"delete"}},
        {"delete when the library does not choose the row", both, true, false, false, true, {"choose row"}},
        {"delegate without choose", {Op::DeleteChooseAudioItem}, true, true, false, true, {}},
        {"delegate without choose, left click", {Op::DeleteChooseAudioItem}, true, true, false, false, {}},
        {"delegate without delete", {Op::ChooseTheAudioItem}, true, true, false, true, {"choose row"}},
        {"no delegate", both, false, true, false, true, {}},
    };
    for (const Click& c : clicks) {
        SCOPED_TRACE(c.what);
        FakeLibrary library;
        library.answered = c.answered;
        library.selects = c.selects;
        AudioItemView row(kRowFrame);
        row.setName(QStringLiteral("row"));
        row.setIsChoose(c.chosenBefore);
        row.setDelegate(c.libraryWithDelegate ? &library : nullptr);
        if (c.onDelete)
            QTest::mouseClick(row.deleteButton(), Qt::LeftButton);
        else
            QTest::mouseClick(&row, Qt::LeftButton, {}, QPoint(300, 25));
        EXPECT_EQ(library.calls, c.calls);
    }
}

TEST(AudioItemViewClicks, RightClickOffersToShowTheFileAndSelectsNothing)
{
    FakeLibrary library;
    AudioItemView row(kRowFrame);
    row.setDelegate(&library);
    row.setDicObject(
        {{QStringLiteral("AudioPath"), QStringLiteral("/music/take 1.m4a")}, {QStringLiteral("AudioLength"), 12.5F}});
    RecordingWorkspace workspace;
    Workspace::setShared(&workspace);

    QTest::mouseClick(&row, Qt::RightButton, {}, QPoint(300, 25));
    const auto menus = row.findChildren<QMenu*>();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_TRUE(menus[0]->isVisible());
    EXPECT_EQ(menus[0]->title(), QStringLiteral("ShowInFinder"));
    ASSERT_EQ(menus[0]->actions().size(), 1);
    EXPECT_EQ(menus[0]->actions()[0]->text(), QStringLiteral("Show In Finder"));
    EXPECT_TRUE(library.calls.empty());
    EXPECT_FALSE(row.isChoose());

    menus[0]->actions()[0]->trigger();
    menus[0]->close();
    Workspace::setShared(nullptr);
    EXPECT_EQ(workspace.revealed, (std::vector<QString>{QStringLiteral("/music/take 1.m4a")}));
}

}  // namespace
