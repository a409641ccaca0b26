// The level meter, checked on the pixels it draws: paging, peak hold and
// clamping in both groups at full size, the compact tray form, a redraw
// driven by its owner, and lit cells that stand out in a light or dark window.
#include "AppTestSupport.h"
#include "View/AudioWaveView.h"
#include "support/PixelContrast.h"

#include <QApplication>
#include <QCoreApplication>
#include <QStyle>
#include <QEvent>

#include <cmath>

namespace {

// '#' lit, '-' unlit, ' ' nothing, '?' anything else.
char cellAt(const QImage& image, int x, int row)
{
    const QColor c = image.pixelColor(x, row);
    if (c.alpha() == 0)
        return ' ';
    if (c.alpha() == 255 && c.red() < 40 && c.green() < 40 && c.blue() < 40)
        return '#';
    return c.alpha() > 180 && c.blue() > c.red() + 40 ? '-' : '?';
}

// Renders the view as the platform does, advancing the peak hold once.
QImage rendered(AudioWaveView& view)
{
    QImage image(AudioWaveView::kWidth, AudioWaveView::kHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// The nine cells of full-size column i of the left (0) or right (1) group, bottom up.
std::string column(const QImage& image, int group, int i)
{
    const float cw = AudioWaveView::columnWidth(AudioWaveView::kWidth);
    const float x
        = group == 0 ? AudioWaveView::leftGroupX(i, cw) : AudioWaveView::rightGroupX(i, cw, AudioWaveView::kWidth);
    std::string cells;
    for (int k = 0; k < AudioWaveView::kCells; ++k)
        cells += cellAt(image, int(x + cw / 2), AudioWaveView::kHeight - (2 * k + 2));
    return cells;
}

void append(AudioWaveView& view, float level, int count = AudioWaveView::kColumns)
{
    for (int i = 0; i < count; ++i)
        view.appendBuildInAudioWave(level);
}

}  // namespace

TEST(LevelMeter, PagesOnEveryTenthLevelHoldsItsPeakForFiveRedrawsAndClamps)
{
    AudioWaveView view;
    append(view, 1.0f, 9);
    EXPECT_EQ(column(rendered(view), 0, 0), "---------") << "nothing lights before the tenth level";
    append(view, 0.25f, 1);  // tenth: a page of nine 1.0 and one 0.25
    const QImage flipped = rendered(view);
    EXPECT_EQ(column(flipped, 0, 0), "########-") << "oldest level at the left";
    EXPECT_EQ(column(flipped, 0, 9), "####-----") << "newest at the right";
    for (int i = 0; i < AudioWaveView::kColumns; ++i)
        EXPECT_EQ(column(flipped, 1, i), column(flipped, 0, i)) << "the right group shows the same, column " << i;
    append(view, 0.0f, 9);  // eleventh to nineteenth: the page stays
    EXPECT_EQ(column(rendered(view), 0, 0), "#########");
    append(view, 0.0f, 1);  // twentieth: the page of zeros arrives
    EXPECT_EQ(column(rendered(view), 0, 0), "####----#");

    // The window shows through the gaps: lit cells read against it in a light and a dark palette alike.
    for (const bool dark : {false, true}) {
        AudioWaveView lit;
        const QPalette palette = dark ? pixel_contrast::dark() : QApplication::style()->standardPalette();
        lit.setPalette(palette);
        append(lit, 1.0f);
        QImage image(AudioWaveView::kWidth, AudioWaveView::kHeight, QImage::Format_ARGB32_Premultiplied);
        image.fill(palette.color(QPalette::Window));
        lit.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        const float cw = AudioWaveView::columnWidth(AudioWaveView::kWidth);
        const QColor cell
            = image.pixelColor(int(AudioWaveView::leftGroupX(0, cw) + cw / 2), AudioWaveView::kHeight - 2);
        EXPECT_GE(pixel_contrast::ratio(cell, palette.color(QPalette::Window)), 4.5) << (dark ? "dark" : "light");
        if (!dark) {
            EXPECT_EQ(column(image, 0, 0), "########-") << "the light palette keeps the near-black cells";
        }
    }

    AudioWaveView held;
    append(held, 0.25f);  // round(0.25 * 18) = 5 cells
    EXPECT_EQ(column(rendered(held), 0, 0), "####-----") << "the peak first shows on the next redraw";
    EXPECT_EQ(column(rendered(held), 0, 0), "#####----");
    append(held, 0.0f);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(column(rendered(held), 0, 0), "##--#----") << "held redraw " << i;
    EXPECT_EQ(column(rendered(held), 0, 0), "---------") << "dropped on the sixth";
}

TEST(LevelMeter, InCompactFormAndRedrawnByItsOwnerShowsWhatAFullRedrawWould)
{
    // Column i holds level i/20: round(0.9 i) cells, in ten narrow columns that fit every tray size.
    AudioWaveView view;
    for (int i = 0; i < 10; ++i)
        view.appendBuildInAudioWave(float(i) / 20);
    view.redrawCompact({22});
    for (const QImage& image : view.redrawCompact({22, 24, 44, 48})) {
        const int pixels = image.width();
        const auto g = AudioWaveView::compactGeometry(pixels);
        EXPECT_LE(g.left + 10 * g.columnWidth + 9 * g.gap, pixels) << "ten columns fit";
        for (int i = 0; i < 10; ++i) {
            std::string want(std::size_t(std::round(float(i) / 20 * 18)), '#'), got;
            want.resize(9, '-');
            for (int k = 0; k < 9; ++k)
                got += cellAt(
                    image, g.left + i * (g.columnWidth + g.gap), pixels - int(g.cells.bottom + g.cells.pitch * k) - 1);
            EXPECT_EQ(got, want) << pixels << " px, column " << i;
        }
    }

    // The same levels into a view redrawn every tick and one through
    // redrawIfChanged(), which repaints only ticks that changed a cell.
    AudioWaveView every, owned;
    owned.setGeometry(0, 0, AudioWaveView::kWidth, AudioWaveView::kHeight);
    owned.show();
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override { return (paints += e->type() == QEvent::Paint, false); }
    } counter;
    owned.installEventFilter(&counter);
    QCoreApplication::processEvents();
    const float levels[] = {0, 0.25f, 0.25f, 0, 0, 0.6f, 0.1f, 0};
    int changes = 0;
    for (int tick = 0; tick < 80; ++tick) {
        every.appendBuildInAudioWave(levels[tick / 10]);
        owned.appendBuildInAudioWave(levels[tick / 10]);
        const int before = counter.paints;
        owned.redrawIfChanged();
        QCoreApplication::processEvents();
        changes += counter.paints > before;
        EXPECT_EQ(rendered(owned), rendered(every)) << "tick " << tick;
    }
    EXPECT_GT(changes, 5);
    EXPECT_LT(changes, 40);
}
