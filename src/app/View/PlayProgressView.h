// The library window's play progress and trim bar: a bar with a play head
// hanging from the top edge, the kept stretch highlighted on the bar, and a
// left and a right trim handle standing on the bottom edge. It draws the
// three rates it is given (fractions 0..1 of the recording) and reports the
// user's presses and drags as new rates to its delegate; it never moves its
// own rates in answer to the mouse. Main thread only. Owned by its parent
// widget (the library window's layout); the delegate is not owned.
//
// The artwork expects the view about 44 high: handles 26, bar 10 and play
// head 18 then stack without the head touching the handles.
#pragma once

#include <QImage>
#include <QRectF>
#include <QWidget>

#include <utility>
#include <vector>

namespace yup {
class Painter;
}

// Receiver of the bar's gesture reports. Every operation is optional: the
// view calls one only when respondsTo() answers true for it. Rates arrive
// unclamped; keeping them in range is the receiver's job.
class PlayProgressViewDelegate {
public:
    enum class Operation { SeekPlayRate, LeftTrimRate, RightTrimRate };

    virtual ~PlayProgressViewDelegate() = default;
    // A receiver that implements only some operations answers false for the others.
    virtual bool respondsTo(Operation) const { return true; }
    virtual void seekPlayRate(float) { }
    virtual void leftTrimRate(float) { }
    virtual void rightTrimRate(float) { }
};

class PlayProgressView : public QWidget {
    Q_OBJECT
public:
    // The bar's margin on each side: a rate r stands at x = kBarInset + r (W − 2 kBarInset).
    static constexpr double kBarInset = 9.0;

    // What a press grabbed.
    enum AreaType : int { None = -1, Seek = 0, LeftTrim = 1, RightTrim = 2 };

    // For interface files: the stretched images are built when the view
    // first has its laid-out size.
    explicit PlayProgressView(QWidget* parent = nullptr);
    // frame is the widget geometry in the parent; the images are built at once for its width.
    explicit PlayProgressView(const QRect& frame, QWidget* parent = nullptr);

    float playRate() const { return playRate_; }
    void setPlayRate(float rate) { playRate_ = rate; }
    float startTrimRate() const { return startTrimRate_; }
    void setStartTrimRate(float rate) { startTrimRate_ = rate; }
    float endTrimRate() const { return endTrimRate_; }
    void setEndTrimRate(float rate) { endTrimRate_ = rate; }
    // The recording's markers, as rates; each a notch across the bar.
    void setMarkerRates(std::vector<double> rates) { markerRates_ = std::move(rates); }
    bool canEdit() const { return canEdit_; }
    void setCanEdit(bool canEdit) { canEdit_ = canEdit; }
    const QImage& backImage() const { return backImage_; }
    void setBackImage(const QImage& image) { backImage_ = image; }
    const QImage& trimAreaImage() const { return trimAreaImage_; }
    void setTrimAreaImage(const QImage& image) { trimAreaImage_ = image; }
    PlayProgressViewDelegate* delegate() const { return delegate_; }
    // Not owned; must outlive the view or be cleared first.
    void setDelegate(PlayProgressViewDelegate* delegate) { delegate_ = delegate; }

    int mouseDownAreaType() const { return mouseDownAreaType_; }

    // A copy of source as wide as the bar (width − 18), keeping its 20-point
    // end caps unscaled and stretching only the middle.
    QImage createImage(const QImage& source) const;

    // Geometry in view coordinates (origin bottom-left, y up), from the
    // current state; the paint and the hit test both use these.
    double xForRate(double rate) const;
    double rateAt(double x) const;
    QRectF barRect() const;          // where the bar is drawn
    QRectF barHitRect() const;       // the bar's press area: the stretched image's width
    QRectF playHeadRect() const;     // as drawn: left edge truncated to a whole number
    QRectF playHeadHitRect() const;  // as pressed: centred exactly on the play position
    QRectF trimAreaRect() const;     // where the highlight is drawn
    QRectF trimAreaSource() const;   // the part of trimAreaImage it shows, in points
    QRectF leftHandleRect() const;
    QRectF rightHandleRect() const;
    QRectF markerRect(double rate) const;  // a notch across the bar
    // What a press at the view point p would grab.
    AreaType hitTest(QPointF p) const;

    // Gesture reports, each forwarded to the delegate when it answers.
    void seekPlayRate(float rate);
    void leftTrimRate(float rate);
    void rightTrimRate(float rate);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The four layers, each painting over the ones before it.
    void drawPlayBack(yup::Painter& painter) const;
    void drawPlayBtn(yup::Painter& painter) const;
    void drawTrimArea(yup::Painter& painter) const;
    void drawTrimBtn(yup::Painter& painter) const;
    void drawMarkers(yup::Painter& painter) const;
    void ensureStretchedImages();
    QPointF viewPoint(const QMouseEvent* event) const;
    float trimStartX() const;
    float trimEndX() const;

    int mouseDownAreaType_ = None;
    QImage backImage_;
    QImage trimAreaImage_;
    float playRate_ = 0.0F;
    float startTrimRate_ = 0.0F;
    float endTrimRate_ = 1.0F;
    bool canEdit_ = false;
    std::vector<double> markerRates_;
    PlayProgressViewDelegate* delegate_ = nullptr;  // not owned
    bool imagesBuilt_ = false;
};
