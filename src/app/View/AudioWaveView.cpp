#include "View/AudioWaveView.h"

#include "Desktop/Contrast.h"
#include "Desktop/YUp.h"

#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

// Unlit cells: calibrated RGB (122, 47, 245)/255 at alpha 0.8.
QColor unlitColour()
{
    return QColor::fromRgbF(122 / 255.0f, 47 / 255.0f, 245 / 255.0f, 0.8f);
}

// Lit cells: calibrated HSB (1.0, 47/255, 24/255); hue 1.0 is hue 0, a red,
// so red = brightness and green = blue = brightness * (1 - saturation).
QColor litColour()
{
    const double brightness = 24 / 255.0;
    const double other = brightness * (1 - 47 / 255.0);
    return QColor::fromRgbF(float(brightness), float(other), float(other), 1.0f);
}

// Lit cells on a dark window: the same hue and saturation at full
// brightness, which the near-black colour above would vanish into.
QColor brightLitColour()
{
    const double other = 1 - 47 / 255.0;
    return QColor::fromRgbF(1.0f, float(other), float(other), 1.0f);
}

}  // namespace

QColor AudioWaveView::plateColour()
{
    return QColor(236, 236, 240, 235);
}

namespace {

// round() of the clamped magnitude, halves away from zero.
float cellsOf(float v)
{
    return std::round(std::min(std::fabs(v), float(AudioWaveView::kCells)));
}

}  // namespace

AudioWaveView::AudioWaveView(QWidget* parent) : QWidget(parent)
{
    resize(kWidth, kHeight);
    // Cells are one unit apart: whatever is behind the view shows through the gaps.
    setAttribute(Qt::WA_TranslucentBackground);
}

void AudioWaveView::appendBuildInAudioWave(float level)
{
    _buildInAudioWaveAppend.append(level);
    if (_buildInAudioWaveAppend.size() >= kColumns) {
        _buildInAudioWave = _buildInAudioWaveAppend.mid(0, kColumns);
        _buildInAudioWaveAppend.clear();
    }
}

void AudioWaveView::appendComputerAudioWave(float) { }

float AudioWaveView::columnWidth(double viewWidth)
{
    return float((viewWidth - 10) / 20 - 2);
}

float AudioWaveView::leftGroupX(int column, float cw)
{
    return (cw + 2.0f) * float(column) + 2.0f;
}

float AudioWaveView::rightGroupX(int column, float cw, double viewWidth)
{
    const double midX = viewWidth / 2;
    return float(leftGroupX(column, cw) + midX + 10.0 / 2 - 2);
}

QRectF AudioWaveView::cellRect(int cell, float x, float cw, const CellLayout& layout)
{
    return {x, layout.bottom + layout.pitch * float(cell), cw, layout.height};
}

AudioWaveView::CompactGeometry AudioWaveView::compactGeometry(int pixels)
{
    // Double-density icons (44, 48) keep the one-density drawing, doubled.
    const int unit = std::max(1, pixels / 22);
    CompactGeometry g;
    g.gap = unit;
    g.columnWidth = std::max(unit, (pixels - 2 * unit - (kColumns - 1) * g.gap) / kColumns);
    const int width = kColumns * g.columnWidth + (kColumns - 1) * g.gap;
    g.left = std::max(0, (pixels - width) / 2);
    const int height = (2 * kCells - 1) * unit;
    g.cells = CellLayout{float(std::max(0, (pixels - height) / 2)), float(2 * unit), float(unit)};
    return g;
}

AudioWaveView::Columns AudioWaveView::advanceColumns()
{
    Columns columns;
    for (int i = 0; i < kColumns; ++i) {
        const float b = _buildInAudioWave ? (*_buildInAudioWave)[i] : 0.0f;
        const float s = _computerAudioWave ? (*_computerAudioWave)[i] : 0.0f;
        const float a = b * 9.0f * 2.0f;
        const float c = float(double(s * 9.0f) * 0.8);
        const float v = cellsOf(std::max(a, c));

        float p = maxAudioWaveHeight[i];
        const std::int32_t d = maxAudioWaveHeightDec[i];
        maxAudioWaveHeightDec[i] = d + 1;
        if (d > 4) {
            p = 0;
            maxAudioWaveHeight[i] = 0;
        }
        float draw;
        if (v >= p) {
            maxAudioWaveHeightDec[i] = 0;
            maxAudioWaveHeight[i] = v;
            draw = v;
        } else {
            draw = (v + p) * 0.5f;
        }
        columns[i] = {draw, p};
    }
    return columns;
}

void AudioWaveView::drawWave(
    yup::Painter& painter, float w, float m, float width, float x, const QColor& lit, const CellLayout& layout)
{
    w = cellsOf(w);
    m = cellsOf(m);

    QPainterPath unlit;
    for (int k = 0; k < kCells; ++k)
        unlit.addRect(cellRect(k, x, width, layout));
    painter.fillPath(unlit, unlitColour());

    QPainterPath litCells;
    if (m > 0)
        litCells.addRect(cellRect(int(m) - 1, x, width, layout));
    for (int n = 1; w > float(n); ++n)
        litCells.addRect(cellRect(n - 1, x, width, layout));
    painter.fillPath(litCells, lit);
}

void AudioWaveView::drawRect(yup::Painter& painter, const Columns& columns)
{
    const double w = width();
    const float cw = columnWidth(w);
    // The full form shows the window through its gaps: its lit cells follow the window's palette.
    const QColor lit = contrast::isDark(palette()) ? brightLitColour() : litColour();
    for (int i = 0; i < kColumns; ++i) {
        drawWave(painter, columns[i].value, columns[i].peak, cw, leftGroupX(i, cw), lit);
        drawWave(painter, columns[i].value, columns[i].peak, cw, rightGroupX(i, cw, w), lit);
    }
}

void AudioWaveView::paintEvent(QPaintEvent*)
{
    yup::Painter painter(this, yup::viewHeight(this));
    drawRect(painter, ownerColumns_ ? *ownerColumns_ : advanceColumns());
}

AudioWaveView::Cells AudioWaveView::wholeCells(const Columns& columns)
{
    Cells cells;
    for (int i = 0; i < kColumns; ++i)
        cells[i] = {cellsOf(columns[i].value), cellsOf(columns[i].peak)};
    return cells;
}

void AudioWaveView::redrawIfChanged()
{
    const Columns columns = advanceColumns();
    const bool changed = !ownerColumns_ || wholeCells(*ownerColumns_) != wholeCells(columns);
    ownerColumns_ = columns;
    if (changed)
        update();
}

QImage AudioWaveView::drawCompact(const Columns& columns, int pixels) const
{
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const CompactGeometry g = compactGeometry(pixels);
    yup::Painter painter(&image, pixels);
    // Trays are as often dark as light, and the lit colour is near black: a
    // light plate behind the cells keeps both cell colours readable on either.
    const double unit = std::max(1, pixels / 22);
    painter.setPen(Qt::NoPen);
    painter.setBrush(plateColour());
    painter.drawRoundedRect(
        QRectF(0, 0, pixels, pixels).adjusted(unit / 2, unit / 2, -unit / 2, -unit / 2), 3 * unit, 3 * unit);
    // Whole-pixel cells: antialiasing would only blur the one-pixel columns.
    painter.setRenderHint(QPainter::Antialiasing, false);
    for (int i = 0; i < kColumns; ++i) {
        const float x = float(g.left + i * (g.columnWidth + g.gap));
        drawWave(painter, columns[i].value, columns[i].peak, float(g.columnWidth), x, litColour(), g.cells);
    }
    return image;
}

QList<QImage> AudioWaveView::redrawCompact(const QList<int>& pixelSizes)
{
    const Columns columns = advanceColumns();
    // The drawing depends on nothing but each column's whole cells: most
    // ticks between page flips, and every tick of silence, change none.
    const Cells cells = wholeCells(columns);
    if (compactCells_ == cells && compactSizes_ == pixelSizes)
        return compactImages_;
    compactCells_ = cells;
    compactSizes_ = pixelSizes;
    QList<QImage> images;
    images.reserve(pixelSizes.size());
    for (int pixels : pixelSizes)
        images.append(drawCompact(columns, pixels));
    compactImages_ = images;
    return images;
}
