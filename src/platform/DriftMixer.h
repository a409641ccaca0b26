// Mixes the computer's sound into the input as it is captured.
//
// Two devices run on two clocks and deliver in blocks of their own rhythm
// (a monitor follows its output's, 10 to 40 ms). Each frame's capture time
// is estimated from when its block arrived, the earliest arrivals being the
// ones that waited least. The input's clock leads:
// its frames come out in order, held back by a fixed delay so that the
// other source's frames of the same moment have arrived. Those wait in a
// ring and are read back, interpolated, at a rate a control loop nudges
// towards the frame of the same moment; so the two stay aligned within a
// few milliseconds for as long as the recording runs, and neither skips or
// repeats a block. Each source keeps its own level; the sum passes a limiter
// that leaves everything below full scale untouched.
//
// Threads: prepare() on the owner's thread before either source delivers;
// push() and mixInto() on the audio thread, from call-backs that never run
// at the same time (both streams' call-backs run on the one loop thread);
// the levels and the offset from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class DriftMixer {
public:
    // Allocates the rings; `channels` interleaved in both sources and the sum.
    void prepare(std::uint32_t channels, double rate);

    // Audio thread: the other source's newest frames, arrived at `now`
    // (seconds on a monotonic clock). The oldest are dropped when the ring
    // is full (the input stalled).
    void push(const float* frames, std::size_t count, double now);
    // Audio thread: the input's newest frames, arrived at `now`, are
    // replaced in place by the mix of the input's frames of the fixed delay
    // ago and the other source's frames of the same moment, limited.
    void mixInto(float* frames, std::size_t count, double now);

    // Peaks (linear, 1 = full scale) of each source over the last mixInto().
    float inputPeak() const { return inputPeak_.load(std::memory_order_relaxed); }
    float otherPeak() const { return otherPeak_.load(std::memory_order_relaxed); }
    // How far, in frames, the other source's read position was from the
    // frame of the same moment at the last mixInto() (positive: it reads late).
    double offsetFrames() const { return offset_.load(std::memory_order_relaxed); }

private:
    // The smallest of a stream of values, forgetting slowly (see kArrivalLeak).
    struct LeakyMinimum {
        double estimate = 0, last = 0;
        bool any = false;
        void add(double value, double now);
        double value() const { return estimate; }
    };

    float sampleAt(double position, std::uint32_t channel) const;

    std::uint32_t channels_ = 0;
    double rate_ = 0;
    std::vector<float> ring_;   // the other source
    std::size_t capacity_ = 0;  // frames
    std::vector<float> delay_;  // the input, held back
    std::size_t delayFrames_ = 0;
    std::size_t delayCapacity_ = 0;  // frames
    double settle_ = 0;              // frames over which an error is worked off
    double resync_ = 0;              // an error of more frames is jumped over
    float release_ = 0;              // the limiter's, per frame
    std::uint32_t holdFrames_ = 0;   // the limiter's
    // Audio thread only.
    std::uint64_t written_ = 0;  // the other source's frames since prepare()
    std::uint64_t input_ = 0;    // the input's frames since prepare()
    LeakyMinimum otherStart_;    // when the other source's frame 0 was captured, as it arrives
    LeakyMinimum inputStart_;    // the same for the input
    double readPosition_ = 0;    // in the other source's count; fractional between two frames
    bool started_ = false;
    float gain_ = 1.0f;
    std::uint32_t held_ = 0;  // frames the gain is still held
    std::atomic<float> inputPeak_{0};
    std::atomic<float> otherPeak_{0};
    std::atomic<double> offset_{0};
};
