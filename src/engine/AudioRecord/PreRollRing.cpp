#include "AudioRecord/PreRollRing.h"

#include <cstring>

PreRollRing::PreRollRing(std::uint32_t channels, std::int64_t capacityFrames)
    : channels_(std::min<std::uint32_t>(channels, kMaxAudioChannels)),
      capacity_(std::max<std::int64_t>(capacityFrames, 1)),
      samples_(std::size_t(channels_) * std::size_t(capacity_), 0.0f)
{ }

void PreRollRing::push(const AudioBufferList* list, std::int32_t frames)
{
    if (frames <= 0)
        return;
    // A cycle longer than the ring leaves only its own last frames.
    const std::int64_t kept = std::min<std::int64_t>(frames, capacity_);
    const std::int64_t skipped = frames - kept;
    const std::int64_t at = (end_ + skipped) % capacity_;
    const std::int64_t first = std::min(kept, capacity_ - at);
    for (std::uint32_t c = 0; c < channels_; ++c) {
        float* plane = samples_.data() + std::size_t(c) * std::size_t(capacity_);
        const AudioBuffer* buffer = list && c < list->mNumberBuffers ? &list->mBuffers[c] : nullptr;
        const auto* source = buffer && buffer->mData && buffer->mDataByteSize / sizeof(float) >= std::size_t(frames)
            ? static_cast<const float*>(buffer->mData) + skipped
            : nullptr;
        if (source) {
            std::memcpy(plane + at, source, std::size_t(first) * sizeof(float));
            std::memcpy(plane, source + first, std::size_t(kept - first) * sizeof(float));
        } else {
            std::fill_n(plane + at, first, 0.0f);
            std::fill_n(plane, kept - first, 0.0f);
        }
    }
    end_ += frames;
}

std::int32_t PreRollRing::run(std::int64_t from, std::int32_t most, AudioBufferList& out)
{
    if (from < begin() || from >= end_ || most <= 0)
        return 0;
    const std::int64_t at = from % capacity_;
    const auto count = std::int32_t(std::min({std::int64_t(most), end_ - from, capacity_ - at}));
    out.mNumberBuffers = channels_;
    for (std::uint32_t c = 0; c < channels_; ++c)
        out.mBuffers[c] = {1, std::uint32_t(count) * std::uint32_t(sizeof(float)),
            samples_.data() + std::size_t(c) * std::size_t(capacity_) + std::size_t(at)};
    return count;
}
