// Contrast read off rendered pixels, as WCAG 2 measures it, for the tests
// that check text and cells stay readable under a light and a dark palette.
// Written here from the definition, not taken from the program's own helper.
#pragma once

#include <QColor>
#include <QImage>
#include <QPalette>
#include <QRect>

#include <algorithm>
#include <cmath>
#include <map>

namespace pixel_contrast {

inline double luminance(const QColor& c)
{
    const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

inline double ratio(const QColor& a, const QColor& b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Within `rect` (image pixels): the commonest colour is the background, and
// the text is the pixel that stands out from it most (a stem's full colour).
inline double ofTextIn(const QImage& image, const QRect& rect)
{
    std::map<QRgb, int> counts;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            ++counts[image.pixel(x, y)];
    const QColor background(
        std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first);
    double best = 1;
    for (const auto& [rgb, count] : counts)
        best = std::max(best, ratio(QColor(rgb), background));
    return best;
}

// A dark desktop palette: light text on dark windows, a light selection.
inline QPalette dark()
{
    QPalette p(QColor(53, 53, 53), QColor(45, 45, 45));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::HighlightedText})
        p.setColor(role, Qt::white);
    p.setColor(QPalette::Base, QColor(30, 30, 30));
    p.setColor(QPalette::Highlight, QColor(61, 174, 233));
    return p;
}

}  // namespace pixel_contrast
