#include "View/WaveformStripView.h"

#include "AudioRecord/WaveOverview.h"
#include "Desktop/FocusRing.h"
#include "Desktop/YUp.h"

#include <QMouseEvent>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

constexpr double kStripInset = PlayProgressView::kBarInset;
const QColor kTrack(28, 28, 34);
const QColor kWave(120, 175, 255);
// Outside the kept stretch: the same wave at a third of its light.
const QColor kWaveDimmed(52, 70, 98);
const QColor kPlayHead(255, 255, 255);
const QColor kTrimEdge(255, 181, 46);  // the trim handles' colour
const QColor kTick(150, 150, 160);     // the ruler's ticks, on the track
const QColor kMarker(80, 230, 140);    // apart from the wave, the trim edges and the play head
constexpr double kMarkerTab = 3;       // the width of a marker's tab at the top of the track

}  // namespace

// Reached with Tab, as the trim bar is; a click leaves the focus where it was.
WaveformStripView::WaveformStripView(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::TabFocus);
}

double WaveformStripView::xForRate(double rate) const
{
    return kStripInset + rate * (width() - 2 * kStripInset);
}

QRectF WaveformStripView::markerRect(double rate) const
{
    const QRectF track = trackRect();
    return {std::floor(xForRate(rate)) - std::floor(kMarkerTab / 2), track.y(), kMarkerTab, track.height()};
}

double WaveformStripView::rateAt(double x) const
{
    return (x - kStripInset) / (width() - 2 * kStripInset);
}

QRectF WaveformStripView::trackRect() const
{
    return {kStripInset, 0, width() - 2 * kStripInset, double(height())};
}

QRectF WaveformStripView::rulerRect() const
{
    const QRectF track = trackRect();
    return {track.x(), 0, track.width(), std::min(kRulerHeight, track.height())};
}

double WaveformStripView::tickSeconds(double length, double width)
{
    static constexpr double kSteps[] = {1, 5, 10, 30, 60, 300, 600, 1800, 3600};
    if (!(length > 0) || !(width > 0))
        return 0;
    for (double step : kSteps)
        if (width * step / length >= kMinTickGap)
            return step;
    // Days long: an hour a tick, however close.
    return kSteps[std::size(kSteps) - 1];
}

void WaveformStripView::paintEvent(QPaintEvent*)
{
    yup::Painter painter(this, height());
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QRectF track = trackRect();
    if (track.width() <= 0)
        return;
    painter.fillRect(track, kTrack);
    const QRectF ruler = rulerRect();
    const double step = tickSeconds(length_, track.width());
    // Every tick a pixel wide; every ten seconds (with ticks a second
    // apart), minute (closer than a minute) or ten ticks, twice as tall.
    const double majorEvery = step == 1 ? 10 : step < 60 ? 60 : step * 10;
    for (int n = 0; step > 0 && n * step <= length_; ++n) {
        const double x = std::floor(xForRate(n * step / length_));
        const bool major = std::fmod(n * step, majorEvery) == 0;
        painter.fillRect(QRectF(x, ruler.y(), 1, major ? ruler.height() : ruler.height() / 2), kTick);
    }
    if (overview_ && !overview_->peaks.empty()) {
        // One column a device pixel, so a double-density screen shows twice the detail.
        const double dpr = painter.device()->devicePixelRatioF();
        const int columns = int(std::lround(track.width() * dpr));
        const double column = 1.0 / dpr;
        const QRectF wave = track.adjusted(0, ruler.height(), 0, 0);
        const double middle = wave.center().y();
        const double reach = wave.height() / 2 - 1;
        for (int c = 0; c < columns; ++c) {
            const float peak = overview_->peakBetween(double(c) / columns, double(c + 1) / columns);
            if (peak < 0)
                break;  // decoded no further yet
            const double rate = (c + 0.5) / columns;
            const bool kept = rate >= startTrimRate_ && rate <= endTrimRate_;
            const double half = std::max(double(peak) * reach, column / 2);
            painter.fillRect(
                QRectF(track.x() + c * column, middle - half, column, 2 * half), kept ? kWave : kWaveDimmed);
        }
    }
    const auto line = [&](double rate, const QColor& colour) {
        painter.fillRect(QRectF(std::floor(xForRate(rate)), 0, 1, track.height()), colour);
    };
    for (const double rate : markerRates_) {
        const QRectF marker = markerRect(rate);
        painter.fillRect(QRectF(marker.x() + std::floor(kMarkerTab / 2), marker.y(), 1, marker.height()), kMarker);
        painter.fillRect(QRectF(marker.x(), marker.bottom() - kMarkerTab, kMarkerTab, kMarkerTab), kMarker);
    }
    line(startTrimRate_, kTrimEdge);
    line(endTrimRate_, kTrimEdge);
    line(playRate_, kPlayHead);
    if (hasFocus()) {
        painter.resetTransform();
        FocusRingStyle::paint(painter, this, rect());
    }
}

void WaveformStripView::seekTo(QPointF viewPoint)
{
    const float rate = float(rateAt(viewPoint.x()));
    if (delegate_ && delegate_->respondsTo(PlayProgressViewDelegate::Operation::SeekPlayRate))
        delegate_->seekPlayRate(rate);
}

void WaveformStripView::mousePressEvent(QMouseEvent* event)
{
    if (!yup::takeEditingPress(this, event, canEdit_))
        return;
    seeking_ = true;
    seekTo(yup::toView(this, event->position()));
}

void WaveformStripView::mouseMoveEvent(QMouseEvent* event)
{
    if (seeking_ && (event->buttons() & Qt::LeftButton))
        seekTo(yup::toView(this, event->position()));
}

void WaveformStripView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        seeking_ = false;
}
