// Loudness of a stereo signal after ITU-R BS.1770-4 / EBU R128, and the
// true-peak ceiling an export normalised to a loudness keeps:
//
//  - LoudnessMeter: integrated loudness (LUFS). K-weighting (a high shelf and
//    a high-pass, their coefficients worked out for the signal's rate), the
//    mean square of each channel over 400 ms blocks every 100 ms (75 %
//    overlap), both channels weighted 1.0, then gated: first every block
//    below -70 LUFS is dropped, then every block more than 10 LU below the
//    loudness of those left.
//  - TruePeakMeter: the largest magnitude of the signal 4x oversampled
//    (BS.1770 Annex 2), so a peak between two samples, which a converter
//    reconstructs, counts.
//  - TruePeakLimiter: a look-ahead limiter with a true-peak ceiling. Where
//    nothing would pass the ceiling it multiplies by exactly 1 (the samples
//    come out bit for bit); where something would, its gain falls over the
//    look-ahead, so that it has fallen far enough when the peak comes, and
//    recovers with a time constant of 50 ms.
//
// Plain computation with no Qt: the export's thread, never the audio thread
// (the meter keeps a growing list of block energies).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace loudness {

// The true-peak ceiling of a normalised export, in dBTP.
constexpr double kCeilingDb = -1.0;
// BS.1770's gates.
constexpr double kAbsoluteGate = -70.0;  // LUFS
constexpr double kRelativeGate = -10.0;  // LU below the loudness of the blocks above the absolute gate

inline double dbToGain(double db)
{
    return std::pow(10.0, db / 20.0);
}
inline double gainToDb(double gain)
{
    return 20.0 * std::log10(gain);
}

// One second-order section, transposed direct form II, in double: the
// K-weighting's high-pass sits at 38 Hz, where float would lose the low end.
struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double z1 = 0, z2 = 0;

    double process(double x)
    {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

class LoudnessMeter {
public:
    // `channels` 1: what is measured is the one channel a mono file makes of
    // the two it is given, their mean (as the file writer makes it).
    explicit LoudnessMeter(double rate, int channels = 2);

    void add(const float* left, const float* right, std::size_t frames);
    // The integrated loudness of what was added, in LUFS; none when no block
    // reaches the absolute gate (silence, or less than 400 ms of audio).
    std::optional<double> integrated() const;

private:
    std::array<Biquad, 2> left_, right_;  // the shelf, then the high-pass
    bool mono_;
    std::size_t stepFrames_;              // 100 ms
    std::size_t inStep_ = 0;              // frames summed into step_
    double step_ = 0;                     // the weighted squares of the current 100 ms
    std::array<double, 4> lastSteps_{};   // the last four 100 ms steps: one block
    std::size_t steps_ = 0;
    std::vector<double> blocks_;          // each block's mean square, channels summed
};

// Four times oversampled by a windowed-sinc interpolator, 32 taps per phase
// (12 read up to 0.3 dB low on noise reaching 20 kHz): phase 0 is the sample
// itself, phases 1 to 3 the points between it and the next. Each sample's
// peak is known once the 16 samples after it are in.
class TruePeakMeter {
public:
    static constexpr int kTaps = 32;
    static constexpr int kLatency = kTaps / 2;

    TruePeakMeter();

    // The true peak of either channel around the sample kLatency frames
    // before this one: that sample and the three points after it.
    float push(float left, float right);
    void add(const float* left, const float* right, std::size_t frames);
    // The largest true peak of all that was added, the last samples taken
    // as followed by silence. At the end only: it flushes the histories.
    double peak();

private:
    // Each channel's last kTaps samples, written twice so that they read as
    // one run from any start.
    struct History {
        std::array<float, 2 * kTaps> samples{};
        float peak(const std::array<std::array<float, kTaps>, 3>& phases, int oldest) const;
    };

    std::array<std::array<float, kTaps>, 3> phases_{};
    History left_, right_;
    int at_ = 0;
    double peak_ = 0;
};

class TruePeakLimiter {
public:
    // The look-ahead: the gain falls over this many frames (5.8 ms at
    // 44.1 kHz) before a peak.
    static constexpr std::size_t kLookAhead = 256;
    // The gain a peak needs is held over the frames that the peak's
    // interpolation spans on either side, not just at the peak: a gain that
    // changed within them would move the waveform between the samples.
    static constexpr std::size_t kSpan = TruePeakMeter::kLatency;
    // What comes out went in this many frames earlier: the look-ahead, the
    // span after a peak, and the peak detector's own wait for the samples
    // after a peak.
    static constexpr std::size_t kLatency = kLookAhead + kSpan + TruePeakMeter::kLatency;

    // `ceiling` a linear true-peak magnitude; `releaseSeconds` the time
    // constant of the recovery at `rate`.
    TruePeakLimiter(double rate, double ceiling, double releaseSeconds = 0.05);

    // In place; silence comes out for the first kLatency frames.
    void process(float* left, float* right, std::size_t frames);
    // The lowest gain it applied so far.
    double lowestGain() const { return lowest_; }

private:
    // Takes the gain that the frame just measured needs; gives the gain of
    // the frame kLookAhead + kSpan before it.
    double gainFor(double wanted);

    double ceiling_;
    double aim_;      // where a peak over the ceiling is brought: a little below it
    double release_;  // per frame, the share of the way back to the held gain made up
    TruePeakMeter detector_;
    // The delayed input, rings of kLatency frames.
    std::vector<float> left_, right_;
    std::size_t delayAt_ = 0;
    // The least wanted gain of the last kLookAhead + 2 kSpan + 1 frames: a
    // ring of (frame, gain) kept rising from front to back, so the front is it.
    std::vector<std::pair<std::uint64_t, double>> minima_;
    std::size_t front_ = 0, size_ = 0;
    std::uint64_t frame_ = 0;
    double released_ = 1;
    // The released gains of the last kLookAhead frames, whose mean is applied.
    std::vector<double> recent_;
    std::size_t recentAt_ = 0;
    double sum_ = double(kLookAhead);
    std::size_t belowOne_ = 0;  // entries of recent_ below 1: none means exactly unity
    double lowest_ = 1;
};

}  // namespace loudness
