// A lock-free FIFO of float samples between exactly one producer thread and
// one consumer thread (the audio thread and a file's writer thread).
//
// Storage is allocated once, in the constructor; nothing after that
// allocates, locks or blocks. Each side owns one index and only reads the
// other's: the producer publishes samples with a release store of its write
// index, the consumer frees room with a release store of its read index, and
// each acquires the other's index before touching the samples, so samples are
// complete before they are seen. A write either stores all of its samples or
// none.
//
// Thread rules: freeSpace(), prepareWrite(), commitWrite() and push() are the
// producer's; available(), prepareRead(), commitRead() and pop() are the
// consumer's; capacity() is anyone's. Construction and destruction must not
// overlap either side.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

class SpscFifo {
public:
    // Up to two contiguous runs of the ring: the second is used when the
    // region wraps past the end of storage.
    struct Region {
        float* first = nullptr;
        std::size_t firstCount = 0;
        float* second = nullptr;
        std::size_t secondCount = 0;
        std::size_t size() const { return firstCount + secondCount; }
    };

    // Zero-filled, so every page is touched here rather than faulted in on
    // the producer's (real-time) thread.
    explicit SpscFifo(std::size_t capacity) : capacity_(capacity), data_(new float[capacity > 0 ? capacity : 1]()) { }
    SpscFifo(const SpscFifo&) = delete;
    SpscFifo& operator=(const SpscFifo&) = delete;

    std::size_t capacity() const { return capacity_; }

    // Producer.
    std::size_t freeSpace() const
    {
        return capacity_ - (write_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
    }
    // Room for exactly count samples, or false (and nothing reserved) when
    // there is less room than that.
    bool prepareWrite(std::size_t count, Region& out)
    {
        const std::uint64_t w = write_.load(std::memory_order_relaxed);
        const std::uint64_t r = read_.load(std::memory_order_acquire);
        if (count > capacity_ - (w - r))
            return false;
        out = regionAt(w, count);
        return true;
    }
    // Publishes count samples filled into the region of the last prepareWrite.
    void commitWrite(std::size_t count)
    {
        write_.store(write_.load(std::memory_order_relaxed) + count, std::memory_order_release);
    }
    bool push(const float* samples, std::size_t count)
    {
        Region region;
        if (!prepareWrite(count, region))
            return false;
        std::copy_n(samples, region.firstCount, region.first);
        std::copy_n(samples + region.firstCount, region.secondCount, region.second);
        commitWrite(count);
        return true;
    }

    // Consumer.
    std::size_t available() const
    {
        return std::size_t(write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed));
    }
    // The oldest samples, at most maxCount of them; they stay queued until commitRead.
    Region prepareRead(std::size_t maxCount) const
    {
        const std::uint64_t r = read_.load(std::memory_order_relaxed);
        const std::uint64_t w = write_.load(std::memory_order_acquire);
        return regionAt(r, std::min<std::size_t>(maxCount, std::size_t(w - r)));
    }
    void commitRead(std::size_t count)
    {
        read_.store(read_.load(std::memory_order_relaxed) + count, std::memory_order_release);
    }
    std::size_t pop(float* out, std::size_t maxCount)
    {
        const Region region = prepareRead(maxCount);
        std::copy_n(region.first, region.firstCount, out);
        std::copy_n(region.second, region.secondCount, out + region.firstCount);
        commitRead(region.size());
        return region.size();
    }

private:
    Region regionAt(std::uint64_t index, std::size_t count) const
    {
        Region region;
        if (count == 0)
            return region;
        const std::size_t start = std::size_t(index % capacity_);
        region.first = data_.get() + start;
        region.firstCount = std::min(count, capacity_ - start);
        region.secondCount = count - region.firstCount;
        region.second = region.secondCount ? data_.get() : nullptr;
        return region;
    }

    // 64-bit running counts never wrap in practice, so full and empty differ
    // without a spare slot.
    const std::size_t capacity_;
    const std::unique_ptr<float[]> data_;
    alignas(64) std::atomic<std::uint64_t> write_{0};
    alignas(64) std::atomic<std::uint64_t> read_{0};
};
