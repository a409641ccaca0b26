#include "platform/DriftMixer.h"

#include <algorithm>
#include <cmath>

namespace {

// How long the input is held back: longer than the other source's ordinary
// blocks (a monitor's are up to 40 ms) and their lateness on a busy machine,
// so its frames of the same moment are there when they are mixed. Two
// PulseAudio null sinks' monitors, under a sanitized build beside a
// compile, came with the other source from 360 ms ahead to 110 ms behind
// the input at the start, and in two runs then fell all of 82 and 92 ms
// further behind within seconds: with 0.1 and 0.2 s the reader ran dry. A
// longer block is one rendered ahead of its moment (a player's long
// buffer): its frames are there early, and holding the input back by
// seconds for it would only make each stop wait as long.
constexpr double kDelaySeconds = 0.4;
// The reader is first placed after this much of the input: before the
// input's first frame comes out of the delay, so the other source is in the
// mix from it.
constexpr double kPlaceAfterSeconds = 0.25;
// The reader starts with at least this much beyond what it expects to read
// before the next block: a block this late does not starve it.
constexpr double kMarginSeconds = 0.02;
// Blocks arriving closer together than this are one burst.
constexpr double kBurstGapSeconds = 0.002;
constexpr double kRingSeconds = 4.5;        // the other source: a 2 s burst, the delay and room
constexpr double kDelayLineSeconds = 2.0;  // the input: the delay and its largest block
// The level held is how many frames are still buffered as a block arrives,
// the fewest of its cycle whatever the blocks' size, averaged over stretches
// of this long (each holds a burst of up to 2 s); the median of the last
// few stretches, so that blocks held up for a moment (a server busy
// elsewhere) steer nothing.
constexpr double kStretchSeconds = 2.5;
// The level the start left is learnt from this many stretches after the
// first: streams that have just started deliver unevenly.
constexpr int kLearntFrom = 3;
// The ratio follows that level smoothed over about this long.
constexpr double kSmoothSeconds = 4.0;
// The control loop (errors in seconds of buffered audio, time in seconds): a
// proportional part that answers in about half a minute, and an integral
// one that learns the clocks' difference over a few minutes, so 250 ppm of
// drift leaves no lasting offset.
constexpr double kProportional = 0.03;
constexpr double kIntegral = kProportional * kProportional / 4;
// Closer to the level held than this, the level's own wander steers nothing:
// a server's blocks come unevenly by a few milliseconds, and later for as
// long as a busy machine stays busy (with a compile beside a PulseAudio mix,
// a 5 ms band steered the ratio to 29 ppm). With one clock the ratio stays
// exactly where it was learnt; across two, the sources stay within the band
// and what it takes the loop to answer.
constexpr double kDeadBandSeconds = 0.0075;
// The ratio never departs further from the input's rate (a pitch change of
// under two cents, ten times what two sound cards drift) and never moves
// faster than this per second.
constexpr double kMostRateChange = 0.001;
constexpr double kMostRateSlew = 100e-6;
// Where the reader starts: a frame's capture time is judged by the block
// that waited least. The estimate follows an earlier arrival at once and rises by itself at this
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

void DriftMixer::Other::reset()
{
    written = 0;
    start = LeakyMinimum{};
    readPosition = 0;
    started = stalled = locked = false;
    stalledAt = burst = 0;
    burstAt = lastPush = -1;
    bucketsFilled = 0;
    bucketFrames = 0;
    levelSum = lastLevel = 0;
    levelCount = 0;
    level = setPoint = integral = aim = ratio = 0;
}

void DriftMixer::prepare(std::uint32_t channels, double rate, std::size_t others)
{
    channels_ = std::max<std::uint32_t>(channels, 1);
    rate_ = rate;
    capacity_ = std::size_t(kRingSeconds * rate) + 4;
    others_.resize(std::max<std::size_t>(others, 1));
    for (Other& other : others_) {
        other.ring.assign(capacity_ * channels_, 0.0f);
        other.reset();
    }
    delayFrames_ = std::size_t(kDelaySeconds * rate);
    delayCapacity_ = std::size_t(kDelayLineSeconds * rate);
    delay_.assign(delayCapacity_ * channels_, 0.0f);
    margin_ = kMarginSeconds * rate;
    release_ = float(1.0 - std::exp(-1.0 / (kReleaseSeconds * rate)));
    holdFrames_ = std::uint32_t(kHoldSeconds * rate);
    held_ = 0;
    input_ = 0;
    inputStart_ = LeakyMinimum{};
    lastMix_ = 0;
    gain_ = 1.0f;
    inputPeak_.store(0, std::memory_order_relaxed);
    otherPeak_.store(0, std::memory_order_relaxed);
    alignments_.store(0, std::memory_order_relaxed);
    rateOffset_.store(0, std::memory_order_relaxed);
}

void DriftMixer::restart(std::size_t which)
{
    if (which < others_.size())
        others_[which].reset();
}

void DriftMixer::push(std::size_t which, const float* frames, std::size_t count, double now, double taken)
{
    if (capacity_ == 0 || count == 0 || which >= others_.size())
        return;
    Other& o = others_[which];
    if (o.started && !o.stalled) {
        // What is left for the reader, which has gone on since the last input block.
        o.levelSum += double(o.written) - o.readPosition - (now - lastMix_) * rate_;
        ++o.levelCount;
    }
    for (std::size_t f = 0; f < count; ++f) {
        std::copy_n(frames + f * channels_, channels_, o.ring.data() + (o.written % capacity_) * channels_);
        ++o.written;
    }
    if (o.lastPush < 0 || now - o.lastPush > kBurstGapSeconds) {
        o.burst = 0;
        o.burstAt = now;
    }
    o.burst += count;
    o.lastPush = now;
    o.start.add(taken >= 0 ? taken - double(o.written - count) / rate_ : now - double(o.written) / rate_, now);
    // Overrun (the input stalled): the frames the reader wanted are gone.
    const double oldest = double(o.written) - double(capacity_) + 2;
    if (o.started && o.readPosition < oldest && !o.stalled) {
        o.stalled = true;
        o.stalledAt = o.written;
    }
}

double DriftMixer::startPosition(const Other& o, std::size_t count, double now) const
{
    // The first input frame handed out now, in the input's count (negative:
    // before the first, silence), and the other source's frame of the same
    // moment as the arrivals tell it.
    const double first = double(input_) - double(delayFrames_);
    double position = first + (inputStart_.value() - o.start.value()) * rate_;
    // What the latest burst still covers of the time until another comes.
    const double covered = std::max(0.0, double(o.burst) - (now - o.burstAt) * rate_);
    if (double(o.burst) > double(delayFrames_)) {
        // Rendered ahead: its first frame is of the moment it arrived.
        position = std::min(
            position, double(o.written - o.burst) + (now - o.burstAt) * rate_ - double(delayFrames_) - double(count));
    }
    // Never so far on that the reader runs dry before the next block, nor
    // so far back that the ring no longer holds it.
    position = std::min(position, double(o.written) - covered - margin_ - double(count));
    return std::max(position, double(o.written) - double(capacity_) + 2);
}

void DriftMixer::steer(Other& o)
{
    // The first stretch after placing is left out.
    if (o.levelCount > 0)
        o.lastLevel = o.levelSum / o.levelCount;
    o.levelSum = 0;
    o.levelCount = 0;
    if (o.bucketsFilled++ > 0)
        o.levels[(o.bucketsFilled - 2) % kBuckets] = o.lastLevel;
    const int stored = std::min(o.bucketsFilled - 1, kBuckets);
    if (stored < kLearntFrom)
        return;
    double sorted[kBuckets];
    for (int i = 0; i < stored; ++i) {
        int j = i;
        for (; j > 0 && sorted[j - 1] > o.levels[i]; --j)
            sorted[j] = sorted[j - 1];
        sorted[j] = o.levels[i];
    }
    const double low = stored % 2 ? sorted[stored / 2] : (sorted[stored / 2 - 1] + sorted[stored / 2]) / 2;
    if (!o.locked) {
        // The level the start left is the one held: the two stay as placed.
        o.setPoint = o.level = low;
        o.locked = true;
        return;
    }
    o.level += (low - o.level) * (1.0 - std::exp(-kStretchSeconds / kSmoothSeconds));
    const double apart = (o.level - o.setPoint) / rate_;
    const double error = std::copysign(std::max(0.0, std::fabs(apart) - kDeadBandSeconds), apart);
    // More buffered than at the start: the other clock runs fast, read faster.
    o.integral = std::clamp(o.integral + kIntegral * kStretchSeconds * error, -kMostRateChange, kMostRateChange);
    o.aim = std::clamp(kProportional * error + o.integral, -kMostRateChange, kMostRateChange);
}

float DriftMixer::sampleAt(const Other& o, double position, std::uint32_t channel) const
{
    const auto at = [&](std::int64_t frame) {
        if (frame < 0)
            return 0.0f;
        return o.ring[(std::uint64_t(frame) % capacity_) * channels_ + channel];
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

bool DriftMixer::place(Other& o, std::size_t count, double now)
{
    // The first placing waits for a few of the input's blocks: the earliest
    // arrivals, the ones that waited least, are among them by then.
    const bool placing = !o.started && double(input_) >= kPlaceAfterSeconds * rate_;
    if (o.written > 0 && (placing || (o.stalled && o.written > o.stalledAt))) {
        // The one jump: at the start, and after a stall once the other source is back.
        o.readPosition = startPosition(o, count, now);
        o.started = true;
        o.stalled = false;
        o.bucketsFilled = 0;
        o.bucketFrames = 0;
        o.levelSum = 0;
        o.levelCount = 0;
        o.locked = false;
        o.aim = o.integral;
        alignments_.fetch_add(1, std::memory_order_relaxed);
    }
    const double most = kMostRateSlew * double(count) / rate_;
    o.ratio += std::clamp(o.aim - o.ratio, -most, most);
    return o.started;
}

void DriftMixer::mixInto(float* frames, std::size_t count, double now, double taken, float* parts)
{
    if (capacity_ == 0 || count > delayCapacity_ - delayFrames_)
        return;
    inputStart_.add(taken >= 0 ? taken - double(input_) / rate_ : now - double(input_ + count) / rate_, now);
    for (Other& o : others_)
        place(o, count, now);
    float inputPeak = 0, otherPeak = 0;
    for (std::size_t f = 0; f < count; ++f) {
        float* frame = frames + f * channels_;
        // In through the delay line, out from its far end.
        float* held = delay_.data() + ((input_ + f) % delayCapacity_) * channels_;
        const std::int64_t out = std::int64_t(input_ + f) - std::int64_t(delayFrames_);
        const float* delayed = out >= 0 ? delay_.data() + (std::uint64_t(out) % delayCapacity_) * channels_ : nullptr;
        for (std::uint32_t c = 0; c < channels_; ++c) {
            held[c] = frame[c];
            frame[c] = delayed ? delayed[c] : 0.0f;
            inputPeak = std::max(inputPeak, std::fabs(frame[c]));
        }
        float* inputPart = parts ? parts + f * channels_ : nullptr;
        float* otherPart = parts ? parts + (count + f) * channels_ : nullptr;
        if (parts) {
            std::copy_n(frame, channels_, inputPart);
            std::fill_n(otherPart, channels_, 0.0f);
        }
        for (Other& o : others_) {
            // The interpolation reads up to two frames past the position;
            // short of them the reader waits, and is placed anew once they come.
            const bool ready = o.started && !o.stalled && o.readPosition + 2 < double(o.written);
            if (o.started && !ready && !o.stalled) {
                o.stalled = true;
                o.stalledAt = o.written;
            }
            if (!ready)
                continue;
            for (std::uint32_t c = 0; c < channels_; ++c) {
                const float other = sampleAt(o, o.readPosition, c);
                otherPeak = std::max(otherPeak, std::fabs(other));
                frame[c] += other;
                if (otherPart)
                    otherPart[c] += other;
            }
            o.readPosition += 1.0 + o.ratio;
        }
        float peak = 0;
        for (std::uint32_t c = 0; c < channels_; ++c)
            peak = std::max(peak, std::fabs(frame[c]));
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
    lastMix_ = now;
    for (Other& o : others_) {
        if (o.started && !o.stalled) {
            o.bucketFrames += count;
            if (double(o.bucketFrames) >= kStretchSeconds * rate_) {
                o.bucketFrames -= std::uint64_t(kStretchSeconds * rate_);
                steer(o);
            }
        }
    }
    rateOffset_.store(others_.empty() ? 0.0 : others_.front().ratio, std::memory_order_relaxed);
    inputPeak_.store(inputPeak, std::memory_order_relaxed);
    otherPeak_.store(otherPeak, std::memory_order_relaxed);
}
