#include "AudioLibrary/AudioLibBackView.h"

#include "Desktop/YUp.h"

#include <QMouseEvent>

AudioLibBackView::AudioLibBackView(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void AudioLibBackView::paintEvent(QPaintEvent*)
{
    yup::Painter painter(this, height());
    painter.fillRect(QRectF(0, 0, width(), height()), QColor::fromRgbF(0.3F, 0.3F, 0.3F));
}

void AudioLibBackView::mousePressEvent(QMouseEvent*)
{
    // Ends the editing of a text field; the panel itself never takes the
    // focus, and the press goes no further.
    if (QWidget* focused = window()->focusWidget())
        focused->clearFocus();
}
