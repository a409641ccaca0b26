#include "Desktop/FocusRing.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QStyleOption>

namespace {

constexpr qreal kRingWidth = 2.0;

bool focused(const QStyleOption* option, const QWidget* widget)
{
    return widget && (option->state & QStyle::State_HasFocus) && widget->hasFocus();
}

}  // namespace

FocusRingStyle::FocusRingStyle() = default;

void FocusRingStyle::paint(QPainter& painter, const QWidget* widget, const QRect& rect)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(widget->palette().color(QPalette::Active, QPalette::Highlight), kRingWidth));
    const qreal inset = kRingWidth / 2;
    painter.drawRoundedRect(QRectF(rect).adjusted(inset, inset, -inset, -inset), 3, 3);
    painter.restore();
}

void FocusRingStyle::applyTo(QWidget* window)
{
    for (QWidget* child : window->findChildren<QWidget*>())
        if (qobject_cast<QAbstractButton*>(child) || qobject_cast<QLineEdit*>(child))
            child->setStyle(this);
}

// The base style's own sign of the focus (a faint frame, or none on a flat
// tool button) stays; the ring goes over it.
void FocusRingStyle::drawControl(
    ControlElement element, const QStyleOption* option, QPainter* painter, const QWidget* widget) const
{
    QProxyStyle::drawControl(element, option, painter, widget);
    if (element == CE_PushButton && focused(option, widget))
        paint(*painter, widget, widget->rect());
}

void FocusRingStyle::drawComplexControl(
    ComplexControl control, const QStyleOptionComplex* option, QPainter* painter, const QWidget* widget) const
{
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    if (control == CC_ToolButton && focused(option, widget))
        paint(*painter, widget, widget->rect());
}

void FocusRingStyle::drawPrimitive(
    PrimitiveElement element, const QStyleOption* option, QPainter* painter, const QWidget* widget) const
{
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    if (element == PE_PanelLineEdit && focused(option, widget))
        paint(*painter, widget, widget->rect());
}
