// View coordinates with the origin at the bottom-left corner and y growing
// upwards, as every drawn view of the application is laid out. One place
// turns them into Qt's top-left, y-down widget coordinates: the painter for
// drawing and toView() for mouse positions. Main thread.
#pragma once

#include <QImage>
#include <QPainter>
#include <QPointF>
#include <QRectF>
#include <QString>

class QMouseEvent;
class QPaintDevice;
class QWidget;

namespace yup {

// The height the flip is taken against: a view's height in view units.
double viewHeight(const QWidget* view);

// A widget (y-down) position as a view (y-up) position.
QPointF toView(QPointF widgetPos, double height);
QPointF toView(const QWidget* view, QPointF widgetPos);
// A view rectangle (origin at its bottom-left) as a widget rectangle.
QRectF toWidget(const QRectF& viewRect, double height);

// The start of a press on a drawn view that edits: another button than the
// left is left to the parent; the left one ends the editing of a text field
// by taking the keyboard focus from whatever holds it in the view's window
// (a drawn view takes none itself). True when the view may act on it
// (`canEdit`).
bool takeEditingPress(QWidget* view, QMouseEvent* event, bool canEdit);

// A painter whose coordinates are view coordinates. Paths, lines and fills
// are drawn through the flip; images and text are drawn upright inside the
// view rectangle they are given.
class Painter : public QPainter {
public:
    Painter(QPaintDevice* device, double height);
    double height() const { return height_; }

    // Draws the image (or its source part) stretched into the view rectangle, upright.
    void drawImageUpright(const QRectF& viewRect, const QImage& image, const QRectF& source = QRectF());
    // Draws text with its baseline's left end at the view point, upright.
    void drawTextUpright(QPointF baselineStart, const QString& text);
    // Draws text aligned in the view rectangle, upright.
    void drawTextUpright(const QRectF& viewRect, int flags, const QString& text);

private:
    double height_;
};

}  // namespace yup
