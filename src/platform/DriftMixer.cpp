#include "platform/DriftMixer.h"

#include <algorithm>
#include <cmath>

namespace {

// How long the input is held back: longer than the other source's blocks
// (a monitor's are up to 40 ms) and their lateness on a busy machine, so
// its frames of the same moment are there when they are mixed.
constexpr double kDelaySeconds = 0.1;
// An error is worked off over about this long: 100 ppm of drift (two sound
// cards' crystals) then holds the error near 0.2 ms.
constexpr double kSettleSeconds = 1.0;
// The read rate never departs further from the input's: a pitch change of
// at most 0.1 % (under two cents), ten times what two sound cards drift.
constexpr double kMostRateChange = 0.001;
// Farther than this (at the start, after a stall), the reader jumps rather
// than bend the pitch for seconds.
constexpr double kResyncSeconds = 0.003;
constexpr double kRingSeconds = 2.0;
// A frame's capture time is judged by the block that waited least: the
// estimate follows an earlier arrival at once and rises by itself at this
// rate, so it follows a clock up to 500 ppm slow and forgets a lucky block.
constexpr double kArrivalLeak = 500e-6;
// The limiter holds its gain this long after a peak, so a loud tone is not
// cut anew at every crest, then gives it back with the time constant after.
constexpr double kHoldSeconds = 0.02;
constexpr double kReleaseSeconds = 0.05;

}  // namespace

void DriftMixer::LeakyMinimum::add(double v, double now)
{
    estimate = any ? std::min(estimate + kArrivalLeak * (now - last), v) : v;
    last = now;
    any = true;
}

void DriftMixer::prepare(std::uint32_t channels, double rate)
{
    channels_ = std::max<std::uint32_t>(channels, 1);
    rate_ = rate;
    capacity_ = std::size_t(kRingSeconds * rate) + 4;
    ring_.assign(capacity_ * channels_, 0.0f);
    delayFrames_ = std::size_t(kDelaySeconds * rate);
    delayCapacity_ = std::size_t(kRingSeconds * rate);
    delay_.assign(delayCapacity_ * channels_, 0.0f);
    settle_ = kSettleSeconds * rate;
    resync_ = kResyncSeconds * rate;
    release_ = float(1.0 - std::exp(-1.0 / (kReleaseSeconds * rate)));
    holdFrames_ = std::uint32_t(kHoldSeconds * rate);
    held_ = 0;
    written_ = input_ = 0;
    otherStart_ = inputStart_ = LeakyMinimum{};
    readPosition_ = 0;
    started_ = false;
    gain_ = 1.0f;
    inputPeak_.store(0, std::memory_order_relaxed);
    otherPeak_.store(0, std::memory_order_relaxed);
    offset_.store(0, std::memory_order_relaxed);
}

void DriftMixer::push(const float* frames, std::size_t count, double now)
{
    if (capacity_ == 0)
        return;
    for (std::size_t f = 0; f < count; ++f) {
        std::copy_n(frames + f * channels_, channels_, ring_.data() + (written_ % capacity_) * channels_);
        ++written_;
    }
    // The block's last frame was captured at about `now`.
    otherStart_.add(now - double(written_) / rate_, now);
    // Keep the four frames the interpolation reads around the read position.
    const double oldest = double(written_) - double(capacity_) + 2;
    if (started_ && readPosition_ < oldest)
        readPosition_ = oldest;
}

float DriftMixer::sampleAt(double position, std::uint32_t channel) const
{
    const auto at = [&](std::int64_t frame) {
        if (frame < 0)
            return 0.0f;
        return ring_[(std::uint64_t(frame) % capacity_) * channels_ + channel];
    };
    const double whole = std::floor(position);
    const auto i = std::int64_t(whole);
    const float t = float(position - whole);
    const float y0 = at(i - 1), y1 = at(i), y2 = at(i + 1), y3 = at(i + 2);
    // Cubic Hermite: exact at the frames, smooth between them.
    const float c1 = 0.5f * (y2 - y0);
    const float c2 = y0 - 2.5f * y1 + 2.0f * y2 - 0.5f * y3;
    const float c3 = 0.5f * (y3 - y0) + 1.5f * (y1 - y2);
    return ((c3 * t + c2) * t + c1) * t + y1;
}

void DriftMixer::mixInto(float* frames, std::size_t count, double now)
{
    if (capacity_ == 0 || count > delayCapacity_ - delayFrames_)
        return;
    inputStart_.add(now - double(input_ + count) / rate_, now);
    // The first input frame handed out now, in the input's count (negative:
    // before the first, silence).
    const double first = double(input_) - double(delayFrames_);
    // The other source's frame captured at the same moment.
    const double wanted = first + (inputStart_.value() - otherStart_.value()) * rate_;
    double ratio = 1.0;
    if (written_ > 0) {
        if (!started_ || std::fabs(readPosition_ - wanted) > resync_)
            readPosition_ = wanted;
        started_ = true;
        ratio = 1.0 - std::clamp((readPosition_ - wanted) / settle_, -kMostRateChange, kMostRateChange);
        offset_.store(readPosition_ - wanted, std::memory_order_relaxed);
    }
    float inputPeak = 0, otherPeak = 0;
    for (std::size_t f = 0; f < count; ++f) {
        float* frame = frames + f * channels_;
        // In through the delay line, out from its far end.
        float* held = delay_.data() + ((input_ + f) % delayCapacity_) * channels_;
        const std::int64_t out = std::int64_t(input_ + f) - std::int64_t(delayFrames_);
        const float* delayed = out >= 0 ? delay_.data() + (std::uint64_t(out) % delayCapacity_) * channels_ : nullptr;
        // The interpolation reads up to two frames past the position.
        const bool ready = started_ && readPosition_ + 2 < double(written_);
        float peak = 0;
        for (std::uint32_t c = 0; c < channels_; ++c) {
            held[c] = frame[c];
            const float in = delayed ? delayed[c] : 0.0f;
            const float other = ready ? sampleAt(readPosition_, c) : 0.0f;
            inputPeak = std::max(inputPeak, std::fabs(in));
            otherPeak = std::max(otherPeak, std::fabs(other));
            frame[c] = in + other;
            peak = std::max(peak, std::fabs(frame[c]));
        }
        if (ready)
            readPosition_ += ratio;
        // Gain comes back after a peak and is cut at once before one; at 1
        // with nothing over full scale it multiplies by exactly 1.
        float gain = gain_;
        if (held_ > 0)
            --held_;
        else
            gain += (1.0f - gain) * release_;
        if (gain > 1.0f - 1e-6f)
            gain = 1.0f;  // else it would creep towards 1 for ever in single precision
        if (peak * gain > 1.0f) {
            gain = 1.0f / peak;
            held_ = holdFrames_;
        }
        if (gain != 1.0f)
            for (std::uint32_t c = 0; c < channels_; ++c)
                frame[c] *= gain;
        gain_ = gain;
    }
    input_ += count;
    inputPeak_.store(inputPeak, std::memory_order_relaxed);
    otherPeak_.store(otherPeak, std::memory_order_relaxed);
}
