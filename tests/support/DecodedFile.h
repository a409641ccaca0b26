// Reads a whole audio file back through the engine's own reader, as float
// channels at the file's rate, for tests to measure.
#pragma once

#include "support/Signal.h"

#include <algorithm>
#include <string>
#include <vector>

struct DecodedFile {
    bool ok = false;
    double sampleRate = 0;
    std::vector<std::vector<float>> channels;

    std::size_t frames() const { return channels.empty() ? 0 : channels[0].size(); }
    double seconds() const { return sampleRate > 0 ? double(frames()) / sampleRate : 0; }
};

DecodedFile decodeFile(const std::string& path);

// The amplitude of a sine of `frequency` in the samples [begin, end) (end 0:
// to the last), with no window.
inline double toneAmplitude(
    const std::vector<float>& samples, double sampleRate, double frequency, std::size_t begin = 0, std::size_t end = 0)
{
    end = end == 0 ? samples.size() : std::min(end, samples.size());
    return begin < end ? signal_test::toneAmplitude(samples.data() + begin, end - begin, frequency, sampleRate, false)
                       : 0;
}
