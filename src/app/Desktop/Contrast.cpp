#include "Desktop/Contrast.h"

#include <QPalette>

#include <algorithm>
#include <cmath>

namespace contrast {

namespace {

double linear(double channel)
{
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

}  // namespace

double luminance(const QColor& colour)
{
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}

double ratio(const QColor& a, const QColor& b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool isDark(const QPalette& palette)
{
    return luminance(palette.color(QPalette::Window)) < luminance(palette.color(QPalette::WindowText));
}

QColor backgroundFor(const QColor& text, const QColor& background)
{
    // A margin over the minimum: rendered text is antialiased, and a shade
    // computed to the edge reads at the edge only in its stems.
    constexpr double kWanted = kReadable + 0.3;
    const bool lightText = luminance(text) > luminance(background);
    QColor shade = background;
    // Each step moves every channel 4 % of the way to black or white: at
    // most 100 steps, and the end (black or white) reads under any text
    // that reads on anything.
    for (int step = 0; step < 100 && ratio(text, shade) < kWanted; ++step) {
        const double target = lightText ? 0.0 : 1.0;
        shade = QColor::fromRgbF(float(shade.redF() + (target - shade.redF()) * 0.04),
            float(shade.greenF() + (target - shade.greenF()) * 0.04),
            float(shade.blueF() + (target - shade.blueF()) * 0.04), shade.alphaF());
    }
    return shade;
}

}  // namespace contrast
