// The last seconds a capture took in, kept so that a take can begin before
// it was asked for: a ring of float planes, one a channel, of a fixed length.
//
// Made (and so allocated, every page touched) on the main thread; from then
// on only the audio thread uses it, pushing each capture cycle and reading
// what a take writes, so nothing in it locks or allocates. The recorder owns
// it and hands it over between the threads.
//
// Frames are counted from the ring's making: the n-th frame pushed is at
// position n; the ring holds positions [begin(), end()).
#pragma once

#include "platform/CoreAudioTypes.h"

#include <algorithm>
#include <cstdint>
#include <vector>

class PreRollRing {
public:
    PreRollRing(std::uint32_t channels, std::int64_t capacityFrames);
    PreRollRing(const PreRollRing&) = delete;
    PreRollRing& operator=(const PreRollRing&) = delete;

    std::uint32_t channels() const { return channels_; }
    std::int64_t capacity() const { return capacity_; }
    std::int64_t begin() const { return std::max<std::int64_t>(end_ - capacity_, 0); }
    std::int64_t end() const { return end_; }

    // A cycle of non-interleaved planes; a plane the list lacks is kept as
    // silence, one beyond the ring's channels is left out.
    void push(const AudioBufferList* list, std::int32_t frames);
    // The held frames from `from` (begin() <= from < end()) on, at most
    // `most`, as far as they lie in one piece: `out` points at them, one
    // buffer a channel. Returns how many; 0 when `from` is not held.
    std::int32_t run(std::int64_t from, std::int32_t most, AudioBufferList& out);

private:
    std::uint32_t channels_;
    std::int64_t capacity_;
    std::int64_t end_ = 0;
    std::vector<float> samples_;  // channel c's plane at c * capacity_
};
