#include "support/Signal.h"

#include <algorithm>
#include <cmath>

namespace signal_test {

std::vector<float> sine(double frequency, double rate, std::size_t frames, double amplitude, double phase)
{
    std::vector<float> out(frames);
    const double step = 2.0 * M_PI * frequency / rate;
    for (std::size_t i = 0; i < frames; ++i)
        out[i] = float(amplitude * std::sin(step * double(i) + phase));
    return out;
}

double toneAmplitude(const float* samples, std::size_t count, double frequency, double rate, bool hann)
{
    if (count < 2)
        return 0;
    const double coeff = 2.0 * std::cos(2.0 * M_PI * frequency / rate);
    double s1 = 0, s2 = 0, windowSum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double w = hann ? 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(count - 1)) : 1.0;
        windowSum += w;
        const double s0 = double(samples[i]) * w + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

std::vector<double> toneDelays(
    const float* samples, std::size_t count, double frequency, double rate, std::size_t window, std::size_t hop)
{
    const double omega = 2.0 * M_PI * frequency / rate;
    std::vector<double> re(window), im(window);
    for (std::size_t n = 0; n < window; ++n) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(n) / double(window - 1));
        re[n] = w * std::cos(omega * double(n));
        im[n] = -w * std::sin(omega * double(n));
    }
    std::vector<double> delays;
    const double period = 1.0 / frequency;
    for (std::size_t at = 0; at + window <= count; at += hop) {
        double zr = 0, zi = 0;
        for (std::size_t n = 0; n < window; ++n) {
            zr += samples[at + n] * re[n];
            zi += samples[at + n] * im[n];
        }
        // The window's phase against a tone of phase 0 at sample 0.
        const double phase = std::atan2(zi, zr) - omega * double(at) + M_PI / 2;
        double delay = -phase / (2.0 * M_PI * frequency);
        if (!delays.empty())
            delay -= period * std::round((delay - delays.back()) / period);
        delays.push_back(delay);
    }
    return delays;
}

std::size_t toneBreaks(const std::vector<float>& samples, double frequency, double rate, std::size_t apart)
{
    const double k = 2 * std::cos(2 * M_PI * frequency / rate);
    std::size_t breaks = 0, last = 0;
    for (std::size_t i = 2; i < samples.size(); ++i) {
        if (std::fabs(k * samples[i - 1] - samples[i - 2] - samples[i]) <= 0.02)
            continue;
        if (breaks == 0 || i - last > apart)
            ++breaks;
        last = i;
    }
    return breaks;
}

double slope(const std::vector<double>& values, double spacing, std::size_t first)
{
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = first; i < values.size(); ++i) {
        const double x = double(i) * spacing;
        n += 1;
        sx += x;
        sy += values[i];
        sxx += x * x;
        sxy += x * values[i];
    }
    const double d = n * sxx - sx * sx;
    return d > 0 ? (n * sxy - sx * sy) / d : 0.0;
}

double largestStep(const std::vector<double>& values, std::size_t first, std::size_t apart)
{
    double most = 0;
    for (std::size_t i = first + apart; i < values.size(); ++i)
        most = std::max(most, std::fabs(values[i] - values[i - apart]));
    return most;
}

double peak(const std::vector<float>& samples)
{
    double p = 0;
    for (float v : samples)
        p = std::max(p, double(std::fabs(v)));
    return p;
}

double dominantFrequency(const std::vector<float>& samples, double rate, double low, double high, double step)
{
    double best = low, bestAmplitude = -1;
    for (double f = low; f <= high; f += step) {
        const double a = toneAmplitude(samples, f, rate);
        if (a > bestAmplitude) {
            bestAmplitude = a;
            best = f;
        }
    }
    return best;
}

std::vector<float> slice(const std::vector<float>& samples, std::size_t first, std::size_t count)
{
    first = std::min(first, samples.size());
    const auto begin = samples.begin() + std::ptrdiff_t(first);
    return std::vector<float>(begin, begin + std::ptrdiff_t(std::min(count, samples.size() - first)));
}

}  // namespace signal_test
