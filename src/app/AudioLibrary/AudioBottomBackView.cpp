#include "AudioLibrary/AudioBottomBackView.h"

#include "Desktop/Contrast.h"
#include "Desktop/YUp.h"

#include <QMouseEvent>

#include <cmath>

AudioBottomBackView::AudioBottomBackView(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

std::array<AudioBottomBackView::EdgeLine, 2> AudioBottomBackView::edgeLines(double viewHeight)
{
    // Truncated first so that the half-point offsets centre each line on one row of pixels.
    const double h = std::trunc(viewHeight);
    return {{{0.1, h - 0.5}, {0.6, h - 1.5}}};
}

void AudioBottomBackView::paintEvent(QPaintEvent*)
{
    const double w = width();
    yup::Painter painter(this, height());
    // The labels on the strip take the palette's window text: a dark
    // palette's light text needs a darker strip than the mid-grey.
    painter.fillRect(QRectF(0, 0, w, height()),
        contrast::backgroundFor(palette().color(QPalette::WindowText), QColor::fromRgbF(0.5F, 0.5F, 0.5F)));
    for (const EdgeLine& line : edgeLines(height())) {
        const auto level = float(line.grey);
        painter.setPen(QPen(QColor::fromRgbF(level, level, level), 1.0, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(QPointF(0, line.y), QPointF(w, line.y));
    }
}

void AudioBottomBackView::mousePressEvent(QMouseEvent*)
{
    // Ends the editing of a text field; the panel itself never takes the
    // focus, and the press goes no further.
    if (QWidget* focused = window()->focusWidget())
        focused->clearFocus();
}
