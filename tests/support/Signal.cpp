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

double toneAmplitude(const float* samples, std::size_t count, double frequency, double rate)
{
    if (count < 2)
        return 0;
    const double w = 2.0 * M_PI * frequency / rate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0, windowSum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(count - 1));
        windowSum += hann;
        const double s0 = double(samples[i]) * hann + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

double rms(const float* samples, std::size_t count)
{
    if (count == 0)
        return 0;
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(count));
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
    if (first >= samples.size())
        return {};
    const std::size_t n = std::min(count, samples.size() - first);
    return std::vector<float>(samples.begin() + std::ptrdiff_t(first), samples.begin() + std::ptrdiff_t(first + n));
}

}  // namespace signal_test
