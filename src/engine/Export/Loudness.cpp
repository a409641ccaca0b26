#include "Export/Loudness.h"

#include <algorithm>
#include <numbers>

namespace loudness {

namespace {

// BS.1770's loudness of a mean square (channels summed): the -0.691 makes a
// 997 Hz sine read its level after the K-weighting's gain there.
double lufsOf(double meanSquare)
{
    return -0.691 + 10.0 * std::log10(meanSquare);
}

double meanSquareOf(double lufs)
{
    return std::pow(10.0, (lufs + 0.691) / 10.0);
}

// The K-weighting's two stages by the bilinear transform at `rate`, from the
// analogue prototypes BS.1770 gives at 48 kHz (these reproduce its
// published coefficients there to the last digit).
Biquad highShelf(double rate)
{
    const double f0 = 1681.974450955533, gainDb = 3.999843853973347, q = 0.7071752369554196;
    const double k = std::tan(std::numbers::pi * f0 / rate);
    const double vh = std::pow(10.0, gainDb / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    const double a0 = 1.0 + k / q + k * k;
    Biquad b;
    b.b0 = (vh + vb * k / q + k * k) / a0;
    b.b1 = 2.0 * (k * k - vh) / a0;
    b.b2 = (vh - vb * k / q + k * k) / a0;
    b.a1 = 2.0 * (k * k - 1.0) / a0;
    b.a2 = (1.0 - k / q + k * k) / a0;
    return b;
}

Biquad highPass(double rate)
{
    const double f0 = 38.13547087602444, q = 0.5003270373238773;
    const double k = std::tan(std::numbers::pi * f0 / rate);
    const double a0 = 1.0 + k / q + k * k;
    Biquad b;
    b.b0 = 1.0;
    b.b1 = -2.0;
    b.b2 = 1.0;
    b.a1 = 2.0 * (k * k - 1.0) / a0;
    b.a2 = (1.0 - k / q + k * k) / a0;
    return b;
}

}  // namespace

LoudnessMeter::LoudnessMeter(double rate, int channels)
    : left_{highShelf(rate), highPass(rate)}
    , right_{left_}
    , mono_(channels == 1)
    , stepFrames_(std::max<std::size_t>(1, std::size_t(std::llround(rate / 10.0))))
{
}

void LoudnessMeter::add(const float* left, const float* right, std::size_t frames)
{
    for (std::size_t i = 0; i < frames; ++i) {
        const double l = left_[1].process(left_[0].process(left[i]));
        const double r = right_[1].process(right_[0].process(right[i]));
        // Left and right both weigh 1.0; the filters being linear, the
        // mean of the two filtered is the mean filtered.
        step_ += mono_ ? (l + r) * (l + r) / 4 : l * l + r * r;
        if (++inStep_ < stepFrames_)
            continue;
        // A 400 ms block is the last four 100 ms steps: blocks overlap by 75 %.
        lastSteps_[steps_++ % lastSteps_.size()] = step_;
        if (steps_ >= lastSteps_.size())
            blocks_.push_back((lastSteps_[0] + lastSteps_[1] + lastSteps_[2] + lastSteps_[3])
                / double(lastSteps_.size() * stepFrames_));
        step_ = 0;
        inStep_ = 0;
    }
}

std::optional<double> LoudnessMeter::integrated() const
{
    // The mean square of the blocks above `gate` (as a mean square), and how many there were.
    const auto above = [this](double gate) {
        double sum = 0;
        std::size_t count = 0;
        for (double block : blocks_)
            if (block > gate) {
                sum += block;
                ++count;
            }
        return std::pair{count > 0 ? sum / double(count) : 0.0, count};
    };
    const double absolute = meanSquareOf(kAbsoluteGate);
    const auto [ungated, loud] = above(absolute);
    if (loud == 0)
        return std::nullopt;
    const double relative = meanSquareOf(lufsOf(ungated) + kRelativeGate);
    return lufsOf(above(std::max(absolute, relative)).first);
}

TruePeakMeter::TruePeakMeter()
{
    // Phase p is the point p/4 of a sample after the one in the middle:
    // sinc interpolation under a Hann window 32 samples wide, each phase
    // scaled to pass a constant unchanged.
    for (int p = 1; p <= 3; ++p) {
        std::array<float, kTaps>& taps = phases_[std::size_t(p - 1)];
        double sum = 0;
        std::array<double, kTaps> exact{};
        for (int i = 0; i < kTaps; ++i) {
            // Tap i weighs the sample i - 15 after the middle one.
            const double t = p / 4.0 + (kLatency - 1) - i;
            const double x = std::numbers::pi * t;
            const double window = 0.5 * (1.0 + std::cos(std::numbers::pi * t / kLatency));
            exact[std::size_t(i)] = std::sin(x) / x * window;
            sum += exact[std::size_t(i)];
        }
        for (int i = 0; i < kTaps; ++i)
            taps[std::size_t(i)] = float(exact[std::size_t(i)] / sum);
    }
}

float TruePeakMeter::History::peak(const std::array<std::array<float, kTaps>, 3>& phases, int oldest) const
{
    const float* run = samples.data() + oldest;
    float peak = std::abs(run[kLatency - 1]);
    for (const std::array<float, kTaps>& taps : phases) {
        float sum = 0;
        for (int i = 0; i < kTaps; ++i)
            sum += taps[std::size_t(i)] * run[i];
        peak = std::max(peak, std::abs(sum));
    }
    return peak;
}

float TruePeakMeter::push(float left, float right)
{
    left_.samples[std::size_t(at_)] = left_.samples[std::size_t(at_ + kTaps)] = left;
    right_.samples[std::size_t(at_)] = right_.samples[std::size_t(at_ + kTaps)] = right;
    at_ = (at_ + 1) % kTaps;
    const float peak = std::max(left_.peak(phases_, at_), right_.peak(phases_, at_));
    peak_ = std::max(peak_, double(peak));
    return peak;
}

void TruePeakMeter::add(const float* left, const float* right, std::size_t frames)
{
    for (std::size_t i = 0; i < frames; ++i)
        push(left[i], right[i]);
}

double TruePeakMeter::peak()
{
    for (int i = 0; i < kLatency; ++i)
        push(0, 0);
    return peak_;
}

TruePeakLimiter::TruePeakLimiter(double rate, double ceiling, double releaseSeconds)
    : ceiling_(ceiling)
    // 0.2 dB below the ceiling: the gain may still change across a peak's
    // interpolation (for a larger peak near it), and another meter's
    // interpolator reads a little apart.
    , aim_(ceiling * dbToGain(-0.2))
    , release_(1.0 - std::exp(-1.0 / (releaseSeconds * rate)))
    , left_(kLatency)
    , right_(kLatency)
    , minima_(kLookAhead + 2 * kSpan + 2)
    , recent_(kLookAhead, 1.0)
{
}

double TruePeakLimiter::gainFor(double wanted)
{
    // The least of the last kLookAhead + 2 kSpan + 1 wanted gains: every
    // frame from the look-ahead before a peak to the span after it is held
    // down to what that peak needs.
    const std::size_t capacity = minima_.size();
    while (size_ > 0 && minima_[(front_ + size_ - 1) % capacity].second >= wanted)
        --size_;
    minima_[(front_ + size_++) % capacity] = {frame_, wanted};
    while (minima_[front_].first + kLookAhead + 2 * kSpan < frame_) {
        front_ = (front_ + 1) % capacity;
        --size_;
    }
    ++frame_;
    const double held = minima_[front_].second;

    // Down at once, back up slowly. Within 0.01 dB it is taken as there, so
    // that after a peak the gain returns to exactly 1 (in some 0.3 s, not
    // never): the averaging below smooths that last step over the look-ahead.
    if (held < released_)
        released_ = held;
    else if (held - released_ < 1e-3)
        released_ = held;
    else
        released_ += (held - released_) * release_;

    // The mean of the last kLookAhead released gains: a ramp down over the
    // look-ahead that has reached, by kSpan frames before the peak, a gain no
    // higher than what the peak needs (each of the gains averaged is held at
    // most that), and stays there until kSpan frames after it.
    const double old = std::exchange(recent_[recentAt_], released_);
    recentAt_ = (recentAt_ + 1) % recent_.size();
    belowOne_ += (released_ < 1 ? 1 : 0);
    belowOne_ -= (old < 1 ? 1 : 0);
    sum_ += released_ - old;
    if (belowOne_ == 0) {
        sum_ = double(kLookAhead);  // no rounding carried over
        return 1.0;
    }
    return sum_ / double(kLookAhead);
}

void TruePeakLimiter::process(float* left, float* right, std::size_t frames)
{
    for (std::size_t i = 0; i < frames; ++i) {
        const double peak = detector_.push(left[i], right[i]);
        const double gain = gainFor(peak > ceiling_ ? aim_ / peak : 1.0);
        lowest_ = std::min(lowest_, gain);
        const float l = std::exchange(left_[delayAt_], left[i]);
        const float r = std::exchange(right_[delayAt_], right[i]);
        delayAt_ = (delayAt_ + 1) % left_.size();
        // Times exactly 1 where nothing is limited: the sample unchanged.
        left[i] = gain == 1.0 ? l : float(double(l) * gain);
        right[i] = gain == 1.0 ? r : float(double(r) * gain);
    }
}

}  // namespace loudness
