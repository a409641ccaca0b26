// The chosen recording's loudness, drawn above the trim bar and aligned with
// its track: one column a pixel, as high as the loudest sample (of either
// channel) in the stretch it stands for, bright inside the trim range and
// dimmed outside it, with the play head and the two trim positions drawn
// over it. A press or a drag on it seeks, reported to the same delegate as
// the bar's seeks and in the same rates (unclamped).
//
// State in plain members, drawn and hit-tested through YUp. Main thread
// only. Owned by its parent widget; the overview and the delegate are not
// owned and must outlive the view or be cleared first.
#pragma once

#include "View/PlayProgressView.h"

#include <QRectF>
#include <QWidget>

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
    // Whether presses seek; the drawing does not depend on it.
    void setCanEdit(bool canEdit) { canEdit_ = canEdit; }
    void setDelegate(PlayProgressViewDelegate* delegate) { delegate_ = delegate; }

    // Geometry in view coordinates (origin bottom-left, y up), the bar's.
    double xForRate(double rate) const;
    double rateAt(double x) const;
    QRectF trackRect() const;

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
    bool canEdit_ = false;
    bool seeking_ = false;  // a press on the strip is held
};
