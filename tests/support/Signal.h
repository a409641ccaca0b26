// Test signals and their measurement: tones to feed the engine, and the
// level and frequency content of what comes back. Any thread.
#pragma once

#include <cstddef>
#include <vector>

namespace signal_test {

// amplitude * sin(2 pi f t + phase), frames samples at rate.
std::vector<float> sine(double frequency, double rate, std::size_t frames, double amplitude = 0.5, double phase = 0.0);

// The amplitude of the frequency's component in samples (Goertzel). With a
// Hann window a tone of amplitude A between bins reads close to A; without,
// a whole number of periods reads exactly A.
double toneAmplitude(const float* samples, std::size_t count, double frequency, double rate, bool hann = true);
inline double toneAmplitude(const std::vector<float>& samples, double frequency, double rate)
{
    return toneAmplitude(samples.data(), samples.size(), frequency, rate);
}

// How late a tone of `frequency` is, in seconds (A sin(2 pi f (t - delay))),
// in Hann windows of `window` samples every `hop`, unwrapped from the first
// window on. A skipped or repeated sample moves it by a sample's length
// between two windows; a rate error of e makes it fall by e per second.
std::vector<double> toneDelays(
    const float* samples, std::size_t count, double frequency, double rate, std::size_t window, std::size_t hop);
// How often a tone of `frequency` breaks from what its two samples before
// predict: each skip, repeat, gap and gap's end, found to the sample in
// audio that was not coded or resampled. Breaks closer together than
// `apart` samples count as one.
std::size_t toneBreaks(const std::vector<float>& samples, double frequency, double rate, std::size_t apart);
// The least-squares slope of values spaced `spacing` apart, from index `first` on.
double slope(const std::vector<double>& values, double spacing, std::size_t first = 0);
// The largest change between two values `apart` indices apart, from index
// `first` on (of toneDelays() with hop = window / 2, 3 apart: two windows
// that do not overlap, so a step shows whole between some two of them).
double largestStep(const std::vector<double>& values, std::size_t first = 0, std::size_t apart = 3);

double peak(const std::vector<float>& samples);

// The frequency with the strongest component between low and high, searched
// in steps of step Hz.
double dominantFrequency(const std::vector<float>& samples, double rate, double low, double high, double step = 5.0);

// The part of samples from first, count long (clamped to what there is).
std::vector<float> slice(const std::vector<float>& samples, std::size_t first, std::size_t count);

}  // namespace signal_test
