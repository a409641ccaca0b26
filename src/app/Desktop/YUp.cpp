#include "Desktop/YUp.h"

#include <QMouseEvent>
#include <QWidget>

namespace yup {

double viewHeight(const QWidget* view)
{
    return view->height();
}

QPointF toView(QPointF widgetPos, double height)
{
    return {widgetPos.x(), height - widgetPos.y()};
}

QPointF toView(const QWidget* view, QPointF widgetPos)
{
    return toView(widgetPos, viewHeight(view));
}

QRectF toWidget(const QRectF& viewRect, double height)
{
    return {viewRect.x(), height - viewRect.y() - viewRect.height(), viewRect.width(), viewRect.height()};
}

bool takeEditingPress(QWidget* view, QMouseEvent* event, bool canEdit)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return false;
    }
    if (QWidget* focused = view->window()->focusWidget())
        focused->clearFocus();
    return canEdit;
}

Painter::Painter(QPaintDevice* device, double height) : QPainter(device), height_(height)
{
    setRenderHint(QPainter::Antialiasing);
    setRenderHint(QPainter::SmoothPixmapTransform);
    translate(0, height);
    scale(1, -1);
}

void Painter::drawImageUpright(const QRectF& viewRect, const QImage& image, const QRectF& source)
{
    save();
    resetTransform();
    drawImage(toWidget(viewRect, height_), image, source.isNull() ? QRectF(image.rect()) : source);
    restore();
}

void Painter::drawTextUpright(QPointF baselineStart, const QString& text)
{
    save();
    resetTransform();
    drawText(toView(baselineStart, height_), text);
    restore();
}

void Painter::drawTextUpright(const QRectF& viewRect, int flags, const QString& text)
{
    save();
    resetTransform();
    drawText(toWidget(viewRect, height_), flags, text);
    restore();
}

}  // namespace yup
