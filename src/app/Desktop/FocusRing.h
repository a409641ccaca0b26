// The keyboard focus, drawn so that it is seen: a two-point ring in the
// palette's highlight colour around whatever holds the focus. Drawn views
// paint it themselves (paint()); the standard buttons and fields of a window
// get it from a FocusRingStyle set on each of them. Main thread.
#pragma once

#include <QProxyStyle>

class QPainter;
class QWidget;

class FocusRingStyle : public QProxyStyle {
public:
    // Over the application's style; owned by whoever makes it, which must
    // outlive the widgets it is set on.
    FocusRingStyle();

    // The ring inside `rect` (widget coordinates) of `widget`.
    static void paint(QPainter& painter, const QWidget* widget, const QRect& rect);
    // Sets this style on every button and text field under `window`.
    void applyTo(QWidget* window);

    void drawControl(
        ControlElement element, const QStyleOption* option, QPainter* painter, const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
        const QWidget* widget) const override;
    void drawPrimitive(
        PrimitiveElement element, const QStyleOption* option, QPainter* painter, const QWidget* widget) const override;
};
