// Mixes the computer's sound into the input as it is captured.
//
// Two devices run on two clocks and deliver in blocks of their own rhythm:
// a monitor follows its output's, 10 to 40 ms, or, under a player with a
// long buffer, renders up to seconds at once ahead of their moment. The
// input's clock leads: its frames come out in order and untouched, held back
// by a fixed delay so that the other source's frames of the same moment have
// arrived. Those wait in a ring and are read back, interpolated, at a ratio
// that changes smoothly and only slowly.
//
// Where to start reading comes from when each source's blocks were captured,
// where the sources tell it, else from when they arrived (the earliest
// arrivals being the ones that waited least). From then on the ratio follows
// how many frames are still buffered as each block arrives (for blocks of
// any size and rhythm, the fewest of their cycle), averaged over stretches
// of seconds, the median of the last few taken: it is held where it was
// at the start, within a dead band. Arrival times, which a burst throws by
// its whole length, steer nothing after the start. Only a real stall (the
// ring ran dry, or over) makes the reader jump, once, to a new start. Each
// source keeps its own level; the sum passes a limiter that leaves
// everything below full scale untouched.
//
// The other source may be several (an application's streams): each keeps
// its own ring, placing and ratio, and they are summed before the limiter.
//
// Threads: prepare() on the owner's thread before either source delivers;
// push(), restart() and mixInto() on the audio thread, from call-backs that
// never run at the same time (all streams' call-backs run on the one loop
// thread); the levels, the ratio and the count of placements from any thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class DriftMixer {
public:
    // Allocates the rings; `channels` interleaved in every source and the
    // sum; `others`: how many other sources may be mixed in at once.
    void prepare(std::uint32_t channels, double rate, std::size_t others = 1);
    std::size_t others() const { return others_.size(); }

    // Audio thread: the other source's newest frames, arrived at `now`
    // (seconds on a monotonic clock). The oldest are dropped when the ring
    // is full (the input stalled). `taken`, where the source can tell it:
    // when the first of them was captured, on the same clock; without it the
    // last counts as captured on arrival, later by however long it waited.
    void push(const float* frames, std::size_t count, double now, double taken = kUnknown)
    {
        push(0, frames, count, now, taken);
    }
    // The same, of other source `which` (below others()).
    void push(std::size_t which, const float* frames, std::size_t count, double now, double taken = kUnknown);
    // Audio thread: other source `which` is a new one from its next push on
    // (the last one ended): placed afresh by its own timing, silent till then.
    void restart(std::size_t which);
    // Audio thread: the input's newest frames, arrived at `now`, are
    // replaced in place by the mix of the input's frames of the fixed delay
    // ago and the other source's frames of the same moment, limited. Given
    // `parts` (2 × count frames), the same frames before they were summed go
    // there too: first the input's, then the other sources' sum, each at its
    // own level, unlimited.
    void mixInto(float* frames, std::size_t count, double now, double taken = kUnknown, float* parts = nullptr);
    static constexpr double kUnknown = -1;

    // How much later the input comes out of mixInto() than it went in.
    double delaySeconds() const { return rate_ > 0 ? double(delayFrames_) / rate_ : 0.0; }
    // Of the next `count` frames mixInto() hands out, how many come before
    // the input's first: the delay line's silence.
    std::size_t leadIn(std::size_t count) const
    {
        return input_ >= delayFrames_ ? 0 : std::size_t(std::min<std::uint64_t>(count, delayFrames_ - input_));
    }
    // Peaks (linear, 1 = full scale) of each source over the last mixInto().
    float inputPeak() const { return inputPeak_.load(std::memory_order_relaxed); }
    float otherPeak() const { return otherPeak_.load(std::memory_order_relaxed); }
    // How often the reader was placed: once at the start, then once after
    // each stall or overflow.
    std::uint32_t alignments() const { return alignments_.load(std::memory_order_relaxed); }
    // The read rate of the first other source against the input's, less 1
    // (positive: the other source's clock runs fast), as of the last mixInto().
    double rateOffset() const { return rateOffset_.load(std::memory_order_relaxed); }

private:
    static constexpr int kBuckets = 5;
    // The smallest of a stream of values, forgetting slowly (see kArrivalLeak).
    struct LeakyMinimum {
        double estimate = 0, last = 0;
        bool any = false;
        void add(double value, double now);
        double value() const { return estimate; }
    };

    // One other source: its ring and where, and how fast, it is read.
    struct Other {
        std::vector<float> ring;
        std::uint64_t written = 0;  // its frames since it (re)started
        LeakyMinimum start;         // when its frame 0 was captured, as it arrives
        double readPosition = 0;    // in its count; fractional between two frames
        bool started = false;
        bool stalled = false;         // the reader ran dry or was overrun: place it anew
        std::uint64_t stalledAt = 0;  // written then: placed anew once more has come
        // The latest burst: frames pushed close together, and when its first came.
        std::uint64_t burst = 0;
        double burstAt = -1;
        double lastPush = -1;
        // The frames buffered beyond the reader as each block arrives (the
        // fewest, for blocks of any size), averaged over each of the last stretches.
        double levels[kBuckets] = {};
        int bucketsFilled = 0;           // stretches since the reader was placed
        std::uint64_t bucketFrames = 0;  // input frames into the current stretch
        double levelSum = 0;             // the current stretch's
        std::uint32_t levelCount = 0;
        double lastLevel = 0;  // the last stretch's mean, for one without a block
        double level = 0;      // the median of the stretches' means, smoothed
        double setPoint = 0;   // the level held, learnt after placing
        bool locked = false;   // setPoint learnt
        double integral = 0;   // the ratio's learnt part
        double aim = 0;        // the ratio (less 1) steered towards
        double ratio = 0;      // the ratio (less 1) read with

        // Back to its state before a first block, the ring kept.
        void reset();
    };

    float sampleAt(const Other& other, double position, std::uint32_t channel) const;
    // Where a reader starts, for the input block of `count` frames at `now`.
    double startPosition(const Other& other, std::size_t count, double now) const;
    // After each stretch of input: the buffered level's window moves on and the ratio's aim follows it.
    void steer(Other& other);
    // Places the reader when it is due; false while it has nothing to read.
    bool place(Other& other, std::size_t count, double now);

    std::uint32_t channels_ = 0;
    double rate_ = 0;
    std::vector<Other> others_;
    std::size_t capacity_ = 0;  // frames of each other source's ring
    std::vector<float> delay_;  // the input, held back
    std::size_t delayFrames_ = 0;
    std::size_t delayCapacity_ = 0;  // frames
    double margin_ = 0;              // frames kept buffered beyond what a start expects to use
    float release_ = 0;              // the limiter's, per frame
    std::uint32_t holdFrames_ = 0;   // the limiter's
    // Audio thread only.
    std::uint64_t input_ = 0;  // the input's frames since prepare()
    LeakyMinimum inputStart_;  // when the input's frame 0 was captured, as it arrives
    double lastMix_ = 0;       // when the last mixInto() came
    float gain_ = 1.0f;
    std::uint32_t held_ = 0;  // frames the gain is still held
    std::atomic<float> inputPeak_{0};
    std::atomic<float> otherPeak_{0};
    std::atomic<std::uint32_t> alignments_{0};
    std::atomic<double> rateOffset_{0};
};
