// The decoding half of the real player: a thread of its own that reads the
// file through its own reader (ExtAudioFile) into a preallocated lock-free
// FIFO of interleaved float frames at the file's rate.
//
// A seek is a new epoch: the owner asks for it, the decoder thread moves its
// reader and then says from which sample on the FIFO holds the new epoch's
// audio, so the consumer drops what came before without ever touching the
// producer's side.
//
// Threads: the owner (the main thread) calls open, seek and the destructor,
// seek only while it holds the consumer's lock (the sound server loop's
// lock). The consumer calls the rest with that lock held: the loop thread in
// its call-backs, or the owner. Nothing the consumer calls allocates, locks
// or blocks.
#pragma once

#include "platform/ExtAudioFile.h"
#include "platform/SpscFifo.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class PlaybackDecoder {
public:
    // Null when the file cannot be opened or converted; decoding starts at frame 0.
    static std::unique_ptr<PlaybackDecoder> open(const std::string& path, int rate, int channels);
    ~PlaybackDecoder();
    PlaybackDecoder(const PlaybackDecoder&) = delete;
    PlaybackDecoder& operator=(const PlaybackDecoder&) = delete;

    int channels() const { return channels_; }

    // Owner: drop whatever is queued and decode from this frame on.
    void seek(std::int64_t frame);

    // Consumer: drops what earlier epochs left in the FIFO. False while the
    // decoder has not started the newest epoch yet (nothing may be read).
    bool ready();
    // Consumer, after ready(): whole frames that can be read now.
    std::size_t availableFrames() const { return fifo_.available() / std::size_t(channels_); }
    SpscFifo::Region peek(std::size_t frames) const { return fifo_.prepareRead(frames * std::size_t(channels_)); }
    void consume(std::size_t frames);
    // Consumer, after ready(): every frame up to the end of the file has been consumed.
    bool finished() const;

private:
    PlaybackDecoder(ExtAudioFileRef reader, int channels, std::size_t capacityFrames);
    void run();
    void wake();

    static constexpr std::uint32_t kChunkFrames = 1024;

    const int channels_;
    SpscFifo fifo_;
    ExtAudioFileRef reader_;             // the decoder thread's alone once it runs
    std::vector<float> staging_;         // decoder thread
    std::uint64_t consumedSamples_ = 0;  // consumer

    std::atomic<std::int64_t> seekFrame_{0};
    std::atomic<std::uint32_t> requestedEpoch_{1};
    // Published by the decoder thread: the epoch it serves, and the running
    // sample count from which on the FIFO holds that epoch's audio.
    std::atomic<std::uint32_t> servedEpoch_{0};
    std::atomic<std::uint64_t> epochStart_{0};
    // The epoch whose end of file was reached, and the running count there.
    std::atomic<std::uint32_t> endedEpoch_{0};
    std::atomic<std::uint64_t> endSamples_{0};
    std::atomic<std::uint32_t> wake_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
