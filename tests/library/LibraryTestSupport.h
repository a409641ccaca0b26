// Helpers for the library window's view tests: rendering a widget into an
// image and reading its pixels. The QApplication is made once per process by
// the environment in LibraryTestSupport.cpp. Main thread.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

namespace librarytest {

// The widget and its children over `background`, at `dpr` device pixels per point.
QImage render(QWidget& widget, qreal dpr = 1.0, QColor background = Qt::transparent);
// The colour at widget point (x, y), y counted from the top.
QColor pixel(const QImage& image, int x, int y);
// A grey level given as a fraction, as the views' colours are.
QColor grey(double fraction);
bool near(QColor a, QColor b, int tolerance = 2);
// The largest component among the pixels of the widget rectangle.
int brightest(const QImage& image, const QRect& rect);

}  // namespace librarytest
