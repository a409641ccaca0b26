// Colours that stay readable whatever the desktop's palette: the contrast of
// two colours as WCAG 2 measures it, and a background shaded until a text
// colour reads on it. Pure functions; any thread.
#pragma once

#include <QColor>

class QPalette;

namespace contrast {

// WCAG 2's minimum for ordinary text.
inline constexpr double kReadable = 4.5;

// The relative luminance of an opaque colour (0 black, 1 white).
double luminance(const QColor& colour);
// (lighter + 0.05) / (darker + 0.05): from 1 (the same) to 21 (black on white).
double ratio(const QColor& a, const QColor& b);
// Whether the palette is a dark one: its window darker than its text.
bool isDark(const QPalette& palette);
// `background` itself when `text` reads on it, else the nearest shade of it
// (darker under light text, lighter under dark text) on which it does.
QColor backgroundFor(const QColor& text, const QColor& background);

}  // namespace contrast
