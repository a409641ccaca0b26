// The level meter, checked on the pixels it draws: paging, peak hold, both
// groups at full size and the compact tray form.
#include "AppTestSupport.h"
#include "Control/AudioWaveView.h"

#include <QCoreApplication>
#include <QEvent>

#include <cmath>

namespace {

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2
        && std::abs(a.blue() - b.blue()) <= 2 && std::abs(a.alpha() - b.alpha()) <= 2;
}

// '#' lit, '-' unlit, ' ' nothing, 'p' the compact form's plate, '?' anything else.
char cellAt(const QImage& image, int x, int row)
{
    const QColor c = image.pixelColor(x, row);
    if (c.alpha() == 0)
        return ' ';
    if (near(c, AudioWaveView::plateColour()))
        return 'p';
    if (c.alpha() == 255 && c.red() < 40 && c.green() < 40 && c.blue() < 40)
        return '#';
    if (c.alpha() > 180 && c.blue() > c.red() + 40)
        return '-';
    return '?';
}

// Renders the view as the platform does, advancing the peak hold once.
QImage rendered(AudioWaveView& view)
{
    QImage image(AudioWaveView::kWidth, AudioWaveView::kHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

class WaveViewTest : public AppTest {
protected:
    QImage redraw() { return rendered(view_); }
    // The nine cells of full-size column i of the left (0) or right (1) group.
    static std::string column(const QImage& image, int group, int i)
    {
        const float cw = AudioWaveView::columnWidth(AudioWaveView::kWidth);
        const float x
            = group == 0 ? AudioWaveView::leftGroupX(i, cw) : AudioWaveView::rightGroupX(i, cw, AudioWaveView::kWidth);
        std::string cells;
        for (int k = 0; k < AudioWaveView::kCells; ++k)
            cells += cellAt(image, int(x + cw / 2), AudioWaveView::kHeight - (2 * k + 2));
        return cells;
    }
    // All twenty columns agree; returns column i.
    static std::string sameEverywhere(const QImage& image, int i)
    {
        for (int j = 0; j < AudioWaveView::kColumns; ++j) {
            EXPECT_EQ(column(image, 0, j), column(image, 0, 0)) << "left column " << j;
            EXPECT_EQ(column(image, 1, j), column(image, 0, j)) << "right column " << j;
        }
        return column(image, 0, i);
    }
    void appendPage(float level, int count = AudioWaveView::kColumns)
    {
        for (int i = 0; i < count; ++i)
            view_.appendBuildInAudioWave(level);
    }

    AudioWaveView view_;
};

}  // namespace

TEST_F(WaveViewTest, PagesFlipOnEveryTenthLevelAndOnlyCellsArePainted)
{
    appendPage(1.0f, 9);
    const QImage first = redraw();
    EXPECT_EQ(sameEverywhere(first, 0), "---------") << "nothing lights before the tenth level";
    // The middle gap, the margins and the top three rows stay clear.
    for (int y = 0; y < AudioWaveView::kHeight; ++y)
        for (int x : {0, 76, 80, 83, 159})
            EXPECT_EQ(first.pixelColor(x, y).alpha(), 0) << x << "," << y;
    for (int x = 0; x < AudioWaveView::kWidth; ++x)
        for (int y : {0, 1, 2, 20})
            EXPECT_EQ(first.pixelColor(x, y).alpha(), 0) << x << "," << y;

    appendPage(0.25f, 1);  // tenth: a page of nine 1.0 and one 0.25
    const QImage flipped = redraw();
    EXPECT_EQ(column(flipped, 0, 0), "########-") << "oldest level at the left";
    EXPECT_EQ(column(flipped, 0, 9), "####-----") << "newest at the right";
    EXPECT_EQ(column(flipped, 1, 9), column(flipped, 0, 9));
    appendPage(0.0f, 9);  // eleventh to nineteenth: the page stays
    EXPECT_EQ(column(redraw(), 0, 0), "#########");
    appendPage(0.0f, 1);  // twentieth: the page of zeros arrives
    EXPECT_EQ(column(redraw(), 0, 0), "####----#");
}

TEST_F(WaveViewTest, PeakHoldsForFiveRedrawsAndLevelsAreClampedToNineCells)
{
    appendPage(0.25f);  // round(0.25 * 18) = 5 cells
    EXPECT_EQ(sameEverywhere(redraw(), 0), "####-----") << "the peak first shows on the next redraw";
    EXPECT_EQ(sameEverywhere(redraw(), 0), "#####----");
    appendPage(0.0f);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(sameEverywhere(redraw(), 0), "##--#----") << "held redraw " << i;
    EXPECT_EQ(sameEverywhere(redraw(), 0), "---------") << "dropped on the sixth";

    // The absent second trace counts as 0 and the larger of the two traces
    // is taken before its magnitude, so a negative level lights nothing.
    const float levels[] = {10.0f, 0.5f, -0.5f, 0.49f, 0.0f, 0.03f, 0.027f, 1.0f, -10.0f, 0.5f};
    const char* const shown[] = {"#########", "#########", "---------", "#########", "---------", "#--------",
        "---------", "#########", "---------", "#########"};
    for (float level : levels)
        view_.appendBuildInAudioWave(level);
    redraw();
    const QImage image = redraw();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(column(image, 0, i), shown[i]) << "level " << levels[i];
}

TEST_F(WaveViewTest, CompactFormShowsTheSameStateInOneNarrowGroup)
{
    // Column i holds level i/20: round(0.9 i) cells.
    for (int i = 0; i < 10; ++i)
        view_.appendBuildInAudioWave(float(i) / 20);
    view_.redrawCompact({22});
    const QList<QImage> images = view_.redrawCompact({22, 24, 44, 48});
    ASSERT_EQ(images.size(), 4);
    for (int n = 0; n < images.size(); ++n) {
        const QImage& image = images[n];
        const int pixels = image.width();
        const auto g = AudioWaveView::compactGeometry(pixels);
        EXPECT_GE(g.left, 1);
        EXPECT_LE(g.left + 10 * g.columnWidth + 9 * g.gap, pixels) << "ten columns fit";
        for (int i = 0; i < 10; ++i) {
            const int lit = int(std::round(float(i) / 20 * 18));
            std::string want(std::size_t(lit), '#');
            want.resize(9, '-');
            std::string got;
            const int x = g.left + i * (g.columnWidth + g.gap);
            for (int k = 0; k < 9; ++k)
                got += cellAt(image, x, pixels - int(g.cells.bottom + g.cells.pitch * k) - 1);
            EXPECT_EQ(got, want) << pixels << " px, column " << i;
            // The gap right of a column shows the plate.
            if (i < 9) {
                EXPECT_EQ(cellAt(image, x + g.columnWidth, pixels - int(g.cells.bottom) - 1), 'p');
            }
        }
    }
}

TEST_F(WaveViewTest, AnOwnerDrivenRedrawShowsWhatEveryRedrawWouldAndRepaintsOnlyChanges)
{
    // The same levels into two views: one redrawn every tick, one through redrawIfChanged().
    AudioWaveView owned;
    owned.setGeometry(0, 0, AudioWaveView::kWidth, AudioWaveView::kHeight);
    owned.show();
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    int& paints = counter.paints;
    owned.installEventFilter(&counter);
    QCoreApplication::processEvents();

    const float levels[] = {0, 0.25f, 0.25f, 0, 0, 0.6f, 0.1f, 0};
    int changes = 0;
    for (int tick = 0; tick < 80; ++tick) {
        const float level = levels[(tick / 10) % 8];
        view_.appendBuildInAudioWave(level);
        owned.appendBuildInAudioWave(level);
        const QImage every = redraw();
        const int before = paints;
        owned.redrawIfChanged();
        QCoreApplication::processEvents();
        changes += paints > before;
        const int repaints = paints;
        EXPECT_EQ(rendered(owned), every) << "tick " << tick;
        paints = repaints;  // the test's own render is no repaint of the owner's
    }
    EXPECT_GT(changes, 5);
    EXPECT_LT(changes, 40) << "ticks that changed no cell are not repainted";
}
