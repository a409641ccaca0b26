// The chosen recording's loudness, drawn above the trim bar and aligned with
// its track: one column a pixel, as high as the loudest sample (of either
// channel) in the stretch it stands for, bright inside the trim range and
// dimmed outside it, with the play head, the two trim positions and the
// recording's markers drawn over it, and a ruler of second ticks under it. A press or a drag on it seeks, reported to
// the same delegate as the bar's seeks and in the same rates (unclamped).
//
// State in plain members, drawn and hit-tested through YUp. Main thread
// only. Owned by its parent widget; the overview and the delegate are not
// owned and must outlive the view or be cleared first.
#pragma once

#include "View/PlayProgressView.h"

#include <QRectF>
#include <QWidget>

#include <utility>
#include <vector>

struct WaveOverview;

class WaveformStripView : public QWidget {
    Q_OBJECT
public:
    explicit WaveformStripView(QWidget* parent = nullptr);

    // Null, or one without peaks: only the empty track is drawn. Call
    // update() after the overview grows.
    void setOverview(const WaveOverview* overview) { overview_ = overview; }
    void setPlayRate(float rate) { playRate_ = rate; }
    void setStartTrimRate(float rate) { startTrimRate_ = rate; }
    void setEndTrimRate(float rate) { endTrimRate_ = rate; }
    // The markers, as fractions of the length; each a line across the track.
    void setMarkerRates(std::vector<double> rates) { markerRates_ = std::move(rates); }
    // The recording's length, which places the ruler's ticks; none (0) draws none.
    void setLength(double seconds) { length_ = seconds; }
    // Whether presses seek; the drawing does not depend on it.
    void setCanEdit(bool canEdit) { canEdit_ = canEdit; }
    void setDelegate(PlayProgressViewDelegate* delegate) { delegate_ = delegate; }

    // Geometry in view coordinates (origin bottom-left, y up), the bar's.
    double xForRate(double rate) const;
    double rateAt(double x) const;
    QRectF trackRect() const;
    // The band along the bottom of the track that holds the ruler; the wave is drawn above it.
    QRectF rulerRect() const;
    // Where marker `rate` is drawn: a line across the track with a tab at its top.
    QRectF markerRect(double rate) const;
    // Seconds between two ticks: one, or the fewest whole seconds (5, 10, 30,
    // 60, ...) that keep ticks at least kMinTickGap apart on a track `width` wide.
    static double tickSeconds(double length, double width);
    static constexpr double kRulerHeight = 6;
    static constexpr double kMinTickGap = 4;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void seekTo(QPointF viewPoint);

    const WaveOverview* overview_ = nullptr;        // not owned
    PlayProgressViewDelegate* delegate_ = nullptr;  // not owned
    float playRate_ = 0.0F;
    float startTrimRate_ = 0.0F;
    float endTrimRate_ = 1.0F;
    double length_ = 0;
    std::vector<double> markerRates_;
    bool canEdit_ = false;
    bool seeking_ = false;  // a press on the strip is held
};
