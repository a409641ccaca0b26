#include "View/PlayProgressView.h"

#include "Desktop/FocusRing.h"
#include "Desktop/Resources.h"
#include "Desktop/YUp.h"

#include <QHash>
#include <QMouseEvent>

#include <cmath>

namespace {

constexpr double kInset = PlayProgressView::kBarInset;
constexpr double kCap = 20.0;  // the unscaled end caps of the stretched images

// The named image at the highest density the resources hold, so that the bar
// stays sharp on a double-density screen; sizes are read in points.
// Cached like a platform named-image cache: the handles are fetched per draw.
QImage namedImage(const QString& name)
{
    static QHash<QString, QImage> cache;
    const auto found = cache.constFind(name);
    if (found != cache.cend())
        return *found;
    QString dense = name;
    dense.insert(dense.lastIndexOf(QLatin1Char('.')), QStringLiteral("@2x"));
    QImage image = resources::image(dense);
    if (!image.isNull())
        image.setDevicePixelRatio(2.0);
    else
        image = resources::image(name);
    cache.insert(name, image);
    return image;
}

QSizeF pointSize(const QImage& image)
{
    return image.isNull() ? QSizeF() : image.deviceIndependentSize();
}

// A point on the left or bottom edge is inside, one on the right or top edge is not.
bool pointInRect(QPointF p, const QRectF& r)
{
    return p.x() >= r.left() && p.y() >= r.top() && p.x() < r.left() + r.width() && p.y() < r.top() + r.height();
}

}  // namespace

// Reached with Tab, where the window's arrow keys move the play head and
// its bracket keys set the trim; a click leaves the focus where it was.
PlayProgressView::PlayProgressView(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::TabFocus);
}

PlayProgressView::PlayProgressView(const QRect& frame, QWidget* parent) : PlayProgressView(parent)
{
    setGeometry(frame);
    ensureStretchedImages();
}

void PlayProgressView::ensureStretchedImages()
{
    // A view not yet laid out (too narrow for the two end caps) waits for its real width.
    if (imagesBuilt_ || width() <= 2 * (kInset + kCap))
        return;
    imagesBuilt_ = true;
    backImage_ = createImage(namedImage(QStringLiteral("PlayBack.png")));
    trimAreaImage_ = createImage(namedImage(QStringLiteral("Trim.png")));
}

QImage PlayProgressView::createImage(const QImage& source) const
{
    const double width = this->width() - 2 * kInset;
    if (source.isNull() || width <= 0)
        return {};
    const double dpr = source.devicePixelRatio();
    const QSizeF sourceSize = pointSize(source);
    const double sw = sourceSize.width();
    const double sh = sourceSize.height();
    QImage image(QSize(int(std::lround(width * dpr)), source.height()), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    yup::Painter painter(&image, sh);
    const auto pixels = [dpr](double x, double w, double h) { return QRectF(x * dpr, 0, w * dpr, h * dpr); };
    painter.drawImageUpright(QRectF(0, 0, kCap, sh), source, pixels(0, kCap, sh));
    painter.drawImageUpright(QRectF(kCap, 0, width - 2 * kCap, sh), source, pixels(kCap, sw - 2 * kCap, sh));
    painter.drawImageUpright(QRectF(width - kCap, 0, kCap, sh), source, pixels(sw - kCap, kCap, sh));
    return image;
}

double PlayProgressView::xForRate(double rate) const
{
    return kInset + rate * (width() - 2 * kInset);
}

double PlayProgressView::rateAt(double x) const
{
    return (x - kInset) / (width() - 2 * kInset);
}

float PlayProgressView::trimStartX() const
{
    return float(xForRate(startTrimRate_));
}

float PlayProgressView::trimEndX() const
{
    return float(xForRate(endTrimRate_));
}

QRectF PlayProgressView::barRect() const
{
    const double bh = pointSize(backImage_).height();
    return {kInset, (height() - bh) / 2, width() - 2 * kInset, bh};
}

QRectF PlayProgressView::barHitRect() const
{
    const QSizeF size = pointSize(backImage_);
    return {kInset, (height() - size.height()) / 2, size.width(), size.height()};
}

QRectF PlayProgressView::playHeadRect() const
{
    const QRectF exact = playHeadHitRect();
    return {std::trunc(exact.x()), exact.y(), exact.width(), exact.height()};
}

QRectF PlayProgressView::playHeadHitRect() const
{
    const QSizeF size = pointSize(namedImage(QStringLiteral("PlayTop.png")));
    const double cx = xForRate(playRate_);
    return {cx - size.width() / 2, height() - size.height(), size.width(), size.height()};
}

QRectF PlayProgressView::trimAreaRect() const
{
    const double th = pointSize(trimAreaImage_).height();
    const double sx = trimStartX();
    return {sx, (height() - th) / 2, double(trimEndX()) - sx, th};
}

QRectF PlayProgressView::trimAreaSource() const
{
    const double sx = trimStartX();
    return {sx - kInset, 0, double(trimEndX()) - sx, pointSize(trimAreaImage_).height()};
}

QRectF PlayProgressView::leftHandleRect() const
{
    const QSizeF size = pointSize(namedImage(QStringLiteral("LeftTrim.png")));
    return {trimStartX() - size.width(), 0, size.width(), size.height()};
}

QRectF PlayProgressView::rightHandleRect() const
{
    const QSizeF size = pointSize(namedImage(QStringLiteral("RightTrim.png")));
    return {trimEndX(), 0, size.width(), size.height()};
}

PlayProgressView::AreaType PlayProgressView::hitTest(QPointF p) const
{
    // The bar and the play head come first: where a handle reaches into the
    // bar, a press there seeks.
    if (pointInRect(p, barHitRect()) || pointInRect(p, playHeadHitRect()))
        return Seek;
    // Tested one after the other so that the right handle wins where the two overlap.
    AreaType type = None;
    if (pointInRect(p, leftHandleRect()))
        type = LeftTrim;
    if (pointInRect(p, rightHandleRect()))
        type = RightTrim;
    return type;
}

void PlayProgressView::seekPlayRate(float rate)
{
    if (delegate_ && delegate_->respondsTo(PlayProgressViewDelegate::Operation::SeekPlayRate))
        delegate_->seekPlayRate(rate);
}

void PlayProgressView::leftTrimRate(float rate)
{
    if (delegate_ && delegate_->respondsTo(PlayProgressViewDelegate::Operation::LeftTrimRate))
        delegate_->leftTrimRate(rate);
}

void PlayProgressView::rightTrimRate(float rate)
{
    if (delegate_ && delegate_->respondsTo(PlayProgressViewDelegate::Operation::RightTrimRate))
        delegate_->rightTrimRate(rate);
}

void PlayProgressView::paintEvent(QPaintEvent*)
{
    ensureStretchedImages();
    yup::Painter painter(this, height());
    drawPlayBack(painter);
    drawPlayBtn(painter);
    drawTrimArea(painter);
    drawMarkers(painter);
    drawTrimBtn(painter);
    if (hasFocus()) {
        painter.resetTransform();
        FocusRingStyle::paint(painter, this, rect());
    }
}

void PlayProgressView::drawPlayBack(yup::Painter& painter) const
{
    if (!backImage_.isNull())
        painter.drawImageUpright(barRect(), backImage_);
}

void PlayProgressView::drawPlayBtn(yup::Painter& painter) const
{
    const QImage head = namedImage(QStringLiteral("PlayTop.png"));
    if (!head.isNull())
        painter.drawImageUpright(playHeadRect(), head);
}

QRectF PlayProgressView::markerRect(double rate) const
{
    const QRectF bar = barRect();
    return {std::floor(xForRate(rate)) - 1, bar.y() - 2, 2, bar.height() + 4};
}

void PlayProgressView::drawMarkers(yup::Painter& painter) const
{
    // The waveform strip's marker colour, so the two read as one.
    static const QColor kMarker(80, 230, 140);
    for (const double rate : markerRates_)
        painter.fillRect(markerRect(rate), kMarker);
}

void PlayProgressView::drawTrimArea(yup::Painter& painter) const
{
    const QRectF target = trimAreaRect();
    if (trimAreaImage_.isNull() || target.width() <= 0)
        return;
    const QRectF source = trimAreaSource();
    const double dpr = trimAreaImage_.devicePixelRatio();
    painter.drawImageUpright(
        target, trimAreaImage_, QRectF(source.x() * dpr, 0, source.width() * dpr, trimAreaImage_.height()));
}

void PlayProgressView::drawTrimBtn(yup::Painter& painter) const
{
    const QImage left = namedImage(QStringLiteral("LeftTrim.png"));
    if (!left.isNull())
        painter.drawImageUpright(leftHandleRect(), left);
    const QImage right = namedImage(QStringLiteral("RightTrim.png"));
    if (!right.isNull())
        painter.drawImageUpright(rightHandleRect(), right);
}

void PlayProgressView::resizeEvent(QResizeEvent* event)
{
    // Interface files size the view after constructing it; its first real
    // size is the one the bar is built for, and later sizes do not rebuild it.
    ensureStretchedImages();
    QWidget::resizeEvent(event);
}

QPointF PlayProgressView::viewPoint(const QMouseEvent* event) const
{
    return yup::toView(this, event->position());
}

void PlayProgressView::mousePressEvent(QMouseEvent* event)
{
    if (!yup::takeEditingPress(this, event, canEdit_))
        return;
    ensureStretchedImages();
    const QPointF p = viewPoint(event);
    mouseDownAreaType_ = hitTest(p);
    if (mouseDownAreaType_ == Seek)
        seekPlayRate(float(rateAt(p.x())));
}

void PlayProgressView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton) || mouseDownAreaType_ == None)
        return;
    // No grab offset is kept: the grabbed item's reference edge jumps to the pointer.
    const float rate = float(rateAt(viewPoint(event).x()));
    switch (mouseDownAreaType_) {
    case RightTrim:
        rightTrimRate(rate);
        break;
    case LeftTrim:
        leftTrimRate(rate);
        break;
    case Seek:
        seekPlayRate(rate);
        break;
    default:
        break;
    }
}

void PlayProgressView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        mouseDownAreaType_ = None;
}
