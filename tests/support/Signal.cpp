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
