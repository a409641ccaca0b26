#include "AudioLibrary/AudioLibBackView.h"

#include "AudioLibrary/AudioItemView.h"
#include "Desktop/FocusRing.h"
#include "Desktop/YUp.h"

#include <QMouseEvent>

AudioLibBackView::AudioLibBackView(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Reached with Tab; a click leaves the focus where it was.
    setFocusPolicy(Qt::TabFocus);
}

void AudioLibBackView::paintEvent(QPaintEvent*)
{
    yup::Painter painter(this, height());
    painter.fillRect(QRectF(0, 0, width(), height()), QColor::fromRgbF(0.3F, 0.3F, 0.3F));
    if (hasFocus()) {
        painter.resetTransform();
        FocusRingStyle::paint(painter, this, visibleRegion().boundingRect());
    }
}

void AudioLibBackView::focusInEvent(QFocusEvent* event)
{
    // The ring moves onto the chosen row, which draws it.
    update();
    for (AudioItemView* row : findChildren<AudioItemView*>(Qt::FindDirectChildrenOnly))
        row->update();
    QWidget::focusInEvent(event);
}

void AudioLibBackView::focusOutEvent(QFocusEvent* event)
{
    update();
    for (AudioItemView* row : findChildren<AudioItemView*>(Qt::FindDirectChildrenOnly))
        row->update();
    QWidget::focusOutEvent(event);
}

void AudioLibBackView::mousePressEvent(QMouseEvent*)
{
    // Ends the editing of a text field; the panel itself never takes the
    // focus, and the press goes no further.
    if (QWidget* focused = window()->focusWidget())
        focused->clearFocus();
}
