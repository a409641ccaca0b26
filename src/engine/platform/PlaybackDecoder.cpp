#include "platform/PlaybackDecoder.h"

#include <algorithm>

std::unique_ptr<PlaybackDecoder> PlaybackDecoder::open(const std::string& path, int rate, int channels)
{
    if (rate <= 0 || channels <= 0 || channels > int(kMaxAudioChannels))
        return nullptr;
    ExtAudioFileRef reader;
    if (ExtAudioFile::open(path, reader) != noErr)
        return nullptr;
    AudioStreamBasicDescription client;
    client.mSampleRate = rate;
    client.mFormatID = kAudioFormatLinearPCM;
    client.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    client.mBitsPerChannel = 32;
    client.mChannelsPerFrame = std::uint32_t(channels);
    client.mFramesPerPacket = 1;
    client.mBytesPerFrame = client.mBytesPerPacket = 4 * std::uint32_t(channels);
    if (reader->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client) != noErr)
        return nullptr;
    // Half a second: enough to ride out the decoder thread being scheduled
    // late on a busy machine, small enough to fill at once after a seek.
    return std::unique_ptr<PlaybackDecoder>(new PlaybackDecoder(std::move(reader), channels, std::size_t(rate) / 2));
}

PlaybackDecoder::PlaybackDecoder(ExtAudioFileRef reader, int channels, std::size_t capacityFrames)
    : channels_(channels),
      fifo_(std::max<std::size_t>(capacityFrames, kChunkFrames) * std::size_t(channels)),
      reader_(std::move(reader)),
      staging_(std::size_t(kChunkFrames) * std::size_t(channels))
{
    thread_ = std::thread([this] { run(); });
}

PlaybackDecoder::~PlaybackDecoder()
{
    stopping_.store(true, std::memory_order_release);
    wake();
    thread_.join();
}

void PlaybackDecoder::wake()
{
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_one();
}

void PlaybackDecoder::seek(std::int64_t frame)
{
    seekFrame_.store(std::max<std::int64_t>(frame, 0), std::memory_order_relaxed);
    requestedEpoch_.fetch_add(1, std::memory_order_release);
    wake();
}

bool PlaybackDecoder::ready()
{
    // The owner changes the requested epoch only under the consumer's lock,
    // so it holds still while the consumer looks.
    const std::uint32_t requested = requestedEpoch_.load(std::memory_order_relaxed);
    if (servedEpoch_.load(std::memory_order_acquire) != requested)
        return false;
    const std::uint64_t start = epochStart_.load(std::memory_order_relaxed);
    if (consumedSamples_ < start) {
        // Only samples before start are stale; those are all in the FIFO already.
        const std::size_t stale = std::size_t(start - consumedSamples_);
        fifo_.commitRead(stale);
        consumedSamples_ += stale;
        wake();
    }
    return true;
}

void PlaybackDecoder::consume(std::size_t frames)
{
    const std::size_t samples = frames * std::size_t(channels_);
    fifo_.commitRead(samples);
    consumedSamples_ += samples;
    wake();
}

bool PlaybackDecoder::finished() const
{
    return endedEpoch_.load(std::memory_order_acquire) == requestedEpoch_.load(std::memory_order_relaxed)
        && consumedSamples_ >= endSamples_.load(std::memory_order_relaxed);
}

void PlaybackDecoder::run()
{
    std::uint32_t epoch = 0;
    std::uint64_t pushed = 0;
    bool ended = false;
    const std::size_t chunkSamples = staging_.size();
    while (!stopping_.load(std::memory_order_acquire)) {
        const std::uint32_t woken = wake_.load(std::memory_order_acquire);
        const std::uint32_t requested = requestedEpoch_.load(std::memory_order_acquire);
        if (requested != epoch) {
            epoch = requested;
            ended = reader_->seek(seekFrame_.load(std::memory_order_relaxed)) != noErr;
            epochStart_.store(pushed, std::memory_order_relaxed);
            servedEpoch_.store(epoch, std::memory_order_release);
            if (ended) {
                endSamples_.store(pushed, std::memory_order_relaxed);
                endedEpoch_.store(epoch, std::memory_order_release);
            }
            continue;
        }
        if (ended || fifo_.freeSpace() < chunkSamples) {
            wake_.wait(woken, std::memory_order_acquire);
            continue;
        }
        AudioBufferList list;
        list.mNumberBuffers = 1;
        list.mBuffers[0].mNumberChannels = std::uint32_t(channels_);
        list.mBuffers[0].mDataByteSize = std::uint32_t(chunkSamples * sizeof(float));
        list.mBuffers[0].mData = staging_.data();
        std::uint32_t frames = kChunkFrames;
        // A read error ends the audio where it happened, as the end of the file would.
        if (reader_->read(&frames, &list) != noErr || frames == 0) {
            ended = true;
            endSamples_.store(pushed, std::memory_order_relaxed);
            endedEpoch_.store(epoch, std::memory_order_release);
            continue;
        }
        const std::size_t samples = std::size_t(frames) * std::size_t(channels_);
        fifo_.push(staging_.data(), samples);
        pushed += samples;
    }
}
