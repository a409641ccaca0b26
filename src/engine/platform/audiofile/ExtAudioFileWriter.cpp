#include "platform/audiofile/ExtAudioFileWriter.h"

#include "platform/SpscFifo.h"
#include "platform/audiofile/AacSink.h"
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/Mp4Remux.h"
#include "platform/audiofile/SafeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace audiofile {
namespace {

template <typename T> inline float toFloat(T v);
template <> inline float toFloat<float>(float v)
{
    return v;
}
template <> inline float toFloat<std::int16_t>(std::int16_t v)
{
    return float(v) * (1.0f / 32768.0f);
}
template <> inline float toFloat<std::int32_t>(std::int32_t v)
{
    return float(double(v) * (1.0 / 2147483648.0));
}

// Copies the first `channels` channels of the caller's frames, interleaved
// as float, into a FIFO region. Real-time safe: no allocation, no calls out.
// Every FIFO index is a whole number of frames, so a region splits only
// between frames.
template <typename T>
void stageFrames(const AudioBufferList& list, const ClientLayout& l, int channels, const SpscFifo::Region& region)
{
    std::size_t frame = 0;
    auto fill = [&](float* dst, std::size_t samples) {
        const std::size_t count = samples / std::size_t(channels);
        for (int c = 0; c < channels; ++c) {
            const T* src = l.planar
                ? static_cast<const T*>(list.mBuffers[c].mData) + frame
                : static_cast<const T*>(list.mBuffers[0].mData) + frame * std::size_t(l.channels) + std::size_t(c);
            const std::size_t stride = l.planar ? 1 : std::size_t(l.channels);
            for (std::size_t i = 0; i < count; ++i)
                dst[i * std::size_t(channels) + std::size_t(c)] = toFloat<T>(src[i * stride]);
        }
        frame += count;
    };
    fill(region.first, region.firstCount);
    if (region.secondCount)
        fill(region.second, region.secondCount);
}

// Every channel of the caller's frames into one: their mean, so two
// channels in phase at full scale stay at full scale, and one channel
// silent halves the other. Real-time safe, as above.
template <typename T> void stageMean(const AudioBufferList& list, const ClientLayout& l, const SpscFifo::Region& region)
{
    std::size_t frame = 0;
    const float scale = 1.0f / float(l.channels);
    auto fill = [&](float* dst, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i, ++frame) {
            float sum = 0;
            for (int c = 0; c < l.channels; ++c)
                sum += toFloat<T>(l.planar
                        ? static_cast<const T*>(list.mBuffers[c].mData)[frame]
                        : static_cast<const T*>(
                            list.mBuffers[0].mData)[frame * std::size_t(l.channels) + std::size_t(c)]);
            dst[i] = sum * scale;
        }
    };
    fill(region.first, region.firstCount);
    if (region.secondCount)
        fill(region.second, region.secondCount);
}

// Two float planes into stereo frames: the capture's and the export's
// format, in a loop the compiler can vectorise, which the general one
// above, with its strides known only at run time, is not.
void stageStereoPlanes(const AudioBufferList& list, const SpscFifo::Region& region)
{
    const float* left = static_cast<const float*>(list.mBuffers[0].mData);
    const float* right = static_cast<const float*>(list.mBuffers[1].mData);
    auto fill = [&](float* __restrict dst, std::size_t samples) {
        const std::size_t count = samples / 2;
        std::size_t i = 0;
        // Four frames a step, which the compiler turns into vector loads,
        // shuffles and 16-byte stores: about a third of the instructions of
        // a frame-by-frame loop (callgrind, a 56 s export).
        for (; i + 4 <= count; i += 4) {
            float* out = dst + 2 * i;
            for (std::size_t k = 0; k < 4; ++k) {
                out[2 * k] = left[i + k];
                out[2 * k + 1] = right[i + k];
            }
        }
        for (; i < count; ++i) {
            dst[2 * i] = left[i];
            dst[2 * i + 1] = right[i];
        }
        left += count;
        right += count;
    };
    fill(region.first, region.firstCount);
    if (region.secondCount)
        fill(region.second, region.secondCount);
}

void stage(const AudioBufferList& list, const ClientLayout& l, int channels, const SpscFifo::Region& region)
{
    if (l.type == SampleType::Float32 && l.planar && channels == 2)
        return stageStereoPlanes(list, region);
    if (channels == 1 && l.channels > 1) {
        switch (l.type) {
        case SampleType::Float32:
            return stageMean<float>(list, l, region);
        case SampleType::Int16:
            return stageMean<std::int16_t>(list, l, region);
        case SampleType::Int32:
            return stageMean<std::int32_t>(list, l, region);
        }
    }
    switch (l.type) {
    case SampleType::Float32:
        stageFrames<float>(list, l, channels, region);
        break;
    case SampleType::Int16:
        stageFrames<std::int16_t>(list, l, channels, region);
        break;
    case SampleType::Int32:
        stageFrames<std::int32_t>(list, l, channels, region);
        break;
    }
}

// A file being written. Owned by its creator; the owner's thread makes every
// call but writeAsync, which the audio thread makes. A writer thread (one per
// file) drains what writeAsync queued into the file.
class ExtAudioFileWriter final : public ExtAudioFile {
public:
    ExtAudioFileWriter(
        std::unique_ptr<FileSink> sink, const AudioStreamBasicDescription& fileFormat, std::unique_ptr<SafeFile> file)
        : sink_(std::move(sink)),
          fileFormat_(fileFormat),
          file_(std::move(file)),
          syncFd_(file_->fd())
    { }
    ~ExtAudioFileWriter() override { dispose(); }

    // Never on the audio thread: the completion and the owner ask while the
    // writer thread may still be counting frames.
    OSStatus getProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData) override
    {
        std::lock_guard lock(mutex_);
        return answerProperty(id, ioSize, outData, fileFormat_, clientFormat_, fileFrames_);
    }

    OSStatus setProperty(ExtAudioFilePropertyID id, std::uint32_t size, const void* data) override
    {
        if (id != kExtAudioFileProperty_ClientDataFormat)
            return kExtAudioFileError_InvalidProperty;
        if (size < sizeof(AudioStreamBasicDescription) || !data)
            return kAudioHardwareBadPropertySizeError;
        return setClientFormat(*static_cast<const AudioStreamBasicDescription*>(data));
    }

    // Called with the default client format at creation and again whenever
    // the owner sets one: everything the audio thread will need is allocated
    // here, before its first call.
    OSStatus setClientFormat(const AudioStreamBasicDescription& format)
    {
        if (disposed_)
            return kAudioFileNotOpenError;
        ClientLayout layout;
        if (!clientLayoutFor(format, layout))
            return kAudioFileUnsupportedDataFormatError;
        stopWriterThread();
        // Whatever happens below, the file goes on being written.
        struct Restart {
            ExtAudioFileWriter& w;
            ~Restart() { w.startWriterThread(); }
        } restart{*this};
        std::lock_guard lock(mutex_);
        // Frames already queued are in the old format: they go first.
        drainLocked();
        if (started_) {
            // Samples already passed through the old converter: keep it.
            return kExtAudioFileError_InvalidProperty;
        }
        const int fileChannels = int(fileFormat_.mChannelsPerFrame);
        const int staged = std::min(layout.channels, fileChannels);
        ffmpeg::SwrContextPtr swr = makeResampler(staged, AV_SAMPLE_FMT_FLT, int(std::lround(layout.rate)),
            fileChannels, sink_->sampleFormat(), int(fileFormat_.mSampleRate));
        if (!swr)
            return kAudioFileUnsupportedDataFormatError;
        swr_ = std::move(swr);
        client_ = layout;
        stagedChannels_ = staged;
        clientFormat_ = format;
        completePcm(clientFormat_);
        fifo_ = std::make_unique<SpscFifo>(std::size_t(std::ceil(layout.rate * kFifoSeconds)) * std::size_t(staged));
        converted_.configure(sink_->sampleFormat(), fileChannels);
        return noErr;
    }

    OSStatus setMarkers(const AudioMarkers& markers) override
    {
        std::lock_guard lock(mutex_);
        if (disposed_)
            return kAudioFileNotOpenError;
        markers_ = markers;
        sink_->setMarkers(markers);
        return noErr;
    }

    OSStatus setWriteObserver(ExtAudioFileWriteObserver* observer) override
    {
        if (disposed_)
            return kAudioFileNotOpenError;
        std::lock_guard lock(mutex_);
        observer_ = observer;
        return noErr;
    }

    OSStatus read(std::uint32_t* ioFrames, AudioBufferList*) override
    {
        if (ioFrames)
            *ioFrames = 0;
        return kAudioFilePermissionsError;
    }
    OSStatus seek(std::int64_t) override { return kExtAudioFileError_InvalidSeek; }

    OSStatus write(std::uint32_t frames, const AudioBufferList* data) override
    {
        if (disposed_)
            return kAudioFileNotOpenError;
        if (OSStatus s = writerStatus())
            return s;
        if (frames == 0)
            return noErr;
        if (!data || framesRoom(*data, client_, client_.planar ? planesRead() : 1) < frames)
            return kAudioFileUnspecifiedError;
        std::lock_guard lock(mutex_);
        drainLocked();  // earlier asynchronous frames go first
        if (OSStatus s = writerStatus())
            return s;
        syncStaging_.resize(std::size_t(frames) * stagedChannels_);
        SpscFifo::Region region;
        region.first = syncStaging_.data();
        region.firstCount = syncStaging_.size();
        stage(*data, client_, stagedChannels_, region);
        consumeLocked(syncStaging_.data(), int(frames));
        startWriteback(frames);
        return writerStatus();
    }

    // Audio thread. Copies, publishes, returns: nothing here may allocate,
    // lock, block or reach the disk.
    OSStatus writeAsync(std::uint32_t frames, const AudioBufferList* data) override
    {
        if (const OSStatus s = status_.load(std::memory_order_acquire))
            return s;
        if (!fifo_ || disposed_.load(std::memory_order_relaxed))
            return kAudioFileNotOpenError;
        if (frames == 0)
            return noErr;
        if (!data || framesRoom(*data, client_, client_.planar ? planesRead() : 1) < frames)
            return kAudioFileUnspecifiedError;
        SpscFifo::Region region;
        if (!fifo_->prepareWrite(std::size_t(frames) * stagedChannels_, region))
            return kExtAudioFileError_AsyncWriteBufferOverflow;
        stage(*data, client_, stagedChannels_, region);
        fifo_->commitWrite(region.size());
        return noErr;
    }

    std::uint32_t asyncRoom() const override
    {
        if (!fifo_ || stagedChannels_ == 0 || status_.load(std::memory_order_acquire) != noErr)
            return 0;
        return std::uint32_t(std::min<std::size_t>(fifo_->freeSpace() / stagedChannels_, UINT32_MAX));
    }

    OSStatus writerStatus() const override { return status_.load(std::memory_order_acquire); }

    OSStatus dispose() override
    {
        if (disposed_)
            return disposeStatus_;
        stopWriterThread();
        std::lock_guard lock(mutex_);
        disposed_ = true;
        drainLocked();
        bool failed = writerStatus() != noErr;
        if (!failed && swr_) {
            // The resampler holds the last few input frames back until told the input ended.
            for (;;) {
                const int room = std::max(swr_get_out_samples(swr_.get(), 0), 1);
                std::uint8_t** out = converted_.reserve(room);
                const int n = swr_convert(swr_.get(), out, room, nullptr, 0);
                if (n <= 0)
                    break;
                fileFrames_ += n;
                if (OSStatus s = sink_->writeSamples(out, n)) {
                    recordFailure(s);
                    break;
                }
            }
            failed = writerStatus() != noErr;
        }
        const OSStatus finished = sink_->finish(failed);
        if (finished != noErr)
            recordFailure(finished);
        const int priming = fragmentedMp4Priming(*sink_);
        sink_.reset();
        if (file_->committed() && fileFrames_ == 0 && writerStatus() == noErr) {
            // A recording stopped before any audio reached it: an M4A without
            // a sample opens in no player, and a file of nothing is no take.
            // None is left (unless something else took its name meanwhile).
            if (!file_->lost())
                ::unlink(file_->destination().c_str());
            recordFailure(kAudioFileNothingRecordedError);
        } else if (priming >= 0 && writerStatus() == noErr && file_->lost()) {
            // Deleted or moved while written: nothing is put in its place.
            recordFailure(kAudioFileFileNotFoundError);
        } else if (priming >= 0 && writerStatus() == noErr) {
            // Only an undamaged file is worth the copy, which takes the
            // destination's place; the fragmented one already plays.
            if (OSStatus s = remuxToOrdinaryMp4(
                    file_->fd(), file_->destination(), priming, fileFrames_, file_->committed(), markers_))
                recordFailure(s);
        } else if (writerStatus() == noErr) {
            syncToDisk();
            // A file that appears only when complete does so now.
            if (OSStatus s = file_->commit(true))
                recordFailure(s);
        }
        syncFd_ = -1;
        // An export that failed leaves nothing; a recording keeps what it wrote.
        file_->discard();
        disposeStatus_ = writerStatus();
        return disposeStatus_;
    }

    // A recording's file takes its place at once and is written there, so a
    // crash leaves it where the recovery looks for it.
    OSStatus commitNow() { return file_->commit(false); }
    // A file that never became usable, or is no longer wanted: disposing of it leaves nothing.
    void abandon(OSStatus s) override { recordFailure(s); }

private:
    static constexpr double kFifoSeconds = 4.0;
    // How often the writer looks into the FIFO: far below kFifoSeconds, and
    // short beside the checkpoint intervals it adds to.
    static constexpr std::chrono::milliseconds kPollInterval{50};
    // What the writer takes from the FIFO at a time.
    static constexpr std::size_t kDrainChunkFrames = 8192;
    // What a power loss may cost, on top of the sink's checkpoint interval.
    static constexpr std::chrono::seconds kSyncInterval{1};
    // How much a synchronous writer lets gather before the disk is asked to
    // start on it: 4 MiB of 32-bit stereo.
    static constexpr std::uint32_t kWritebackFrames = 1u << 19;

    // The caller's planes staging reads: all of them for a mono file, which takes their mean.
    int planesRead() const { return stagedChannels_ == 1 ? client_.channels : stagedChannels_; }

    void recordFailure(OSStatus s)
    {
        OSStatus expected = noErr;
        status_.compare_exchange_strong(expected, s, std::memory_order_acq_rel);
    }

    void startWriterThread()
    {
        stopWriter_.store(false, std::memory_order_release);
        writer_ = std::thread([this] { writerLoop(); });
    }

    // The owner waits for the writer's current pass only, not its sleep.
    void stopWriterThread()
    {
        if (writer_.joinable()) {
            {
                std::lock_guard lock(stopMutex_);
                stopWriter_.store(true, std::memory_order_release);
            }
            stopCv_.notify_all();
            writer_.join();
        }
    }

    // Writer thread. The audio thread sends no wake-up (that would be a
    // system call on it): the writer polls. Checkpoints come from the sink as
    // the audio arrives, or here when none came for the sink's interval (a
    // paused recording, a slow source); what they made readable is pushed to
    // the disk about once a second.
    void writerLoop()
    {
        using Clock = std::chrono::steady_clock;
        const std::chrono::duration<double> checkpointEvery(sink_->checkpointSeconds());
        auto lastCheckpoint = Clock::now();
        auto lastSync = lastCheckpoint;
        std::uint64_t seen = 0;
        std::uint64_t synced = 0;
        while (!stopWriter_.load(std::memory_order_acquire)) {
            const auto now = Clock::now();
            {
                std::lock_guard lock(mutex_);
                drainLocked(true);
                if (started_ && writerStatus() == noErr) {
                    if (sink_->checkpoints() == seen && now - lastCheckpoint >= checkpointEvery)
                        if (OSStatus s = sink_->checkpoint())
                            recordFailure(s);
                    if (sink_->checkpoints() != seen) {
                        seen = sink_->checkpoints();
                        lastCheckpoint = now;
                    }
                }
            }
            if (seen != synced && now - lastSync >= kSyncInterval) {
                syncToDisk();
                synced = seen;
                lastSync = now;
            }
            if (fifo_ && fifo_->available() >= kDrainChunkFrames * stagedChannels_)
                continue;  // behind by more than a pass takes at once: no pause
            std::unique_lock lock(stopMutex_);
            stopCv_.wait_for(lock, kPollInterval, [this] { return stopWriter_.load(std::memory_order_acquire); });
        }
    }

    // Synchronous writes (an export) are synced before the file replaces its
    // destination. Asked to start early, the disk writes each part while the
    // next is converted, and that last sync waits for little. Not for MPEG-4,
    // whose fragmented file is only the source of the ordinary one.
    void startWriteback(std::uint32_t frames)
    {
        if (fileFormat_.mFormatID != kAudioFormatLinearPCM || syncFd_ < 0)
            return;
        framesSinceWriteback_ += frames;
        if (framesSinceWriteback_ < kWritebackFrames)
            return;
        framesSinceWriteback_ = 0;
        ::sync_file_range(syncFd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }

    // Any thread; the descriptor lives as long as the writer.
    void syncToDisk()
    {
        if (syncFd_ < 0)
            return;
        if (dataSync.load(std::memory_order_relaxed)(syncFd_) != 0
            && (errno == EIO || errno == ENOSPC || errno == EDQUOT))
            recordFailure(kAudioFileDiskFullError);
    }

    // Under mutex_. After a failure the queue is only emptied. `onlyQueued`:
    // no more than was queued on entry, so that a writer that has fallen
    // behind still comes round to its checkpoints and syncs.
    void drainLocked(bool onlyQueued = false)
    {
        if (!fifo_)
            return;
        const std::size_t chunk = kDrainChunkFrames * stagedChannels_;
        for (std::size_t left = onlyQueued ? fifo_->available() : std::numeric_limits<std::size_t>::max(); left > 0;) {
            const SpscFifo::Region region = fifo_->prepareRead(std::min(chunk, left));
            if (region.size() == 0)
                return;
            left -= std::min(left, region.size());
            if (writerStatus() == noErr) {
                consumeLocked(region.first, int(region.firstCount / stagedChannels_));
                if (region.secondCount && writerStatus() == noErr)
                    consumeLocked(region.second, int(region.secondCount / stagedChannels_));
            }
            fifo_->commitRead(region.size());
        }
    }

    void consumeLocked(const float* samples, int frames)
    {
        started_ = true;
        if (observer_)
            observer_->framesWritten(samples, frames, stagedChannels_, client_.rate);
        const int room = swr_get_out_samples(swr_.get(), frames);
        std::uint8_t** out = converted_.reserve(std::max(room, 1));
        const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(samples);
        const int n = swr_convert(swr_.get(), out, room, &in, frames);
        if (n < 0) {
            recordFailure(kAudioFileUnspecifiedError);
            return;
        }
        fileFrames_ += n;
        if (n > 0)
            if (OSStatus s = sink_->writeSamples(out, n))
                recordFailure(s);
    }

    std::unique_ptr<FileSink> sink_;
    const AudioStreamBasicDescription fileFormat_;
    std::unique_ptr<SafeFile> file_;
    AudioStreamBasicDescription clientFormat_;

    // Set by the owner before writing starts; read by the audio thread.
    ClientLayout client_;
    int stagedChannels_ = 0;
    std::unique_ptr<SpscFifo> fifo_;

    std::mutex mutex_;  // the converter and the sink: writer thread vs. owner
    ffmpeg::SwrContextPtr swr_;
    SampleBuffer converted_;
    std::vector<float> syncStaging_;
    bool started_ = false;
    std::int64_t fileFrames_ = 0;
    ExtAudioFileWriteObserver* observer_ = nullptr;  // not owned; under mutex_
    // What the MPEG-4 rewrite makes chapters of.
    AudioMarkers markers_;
    std::uint32_t framesSinceWriteback_ = 0;

    int syncFd_;  // file_'s, for fdatasync; the sinks write through their own
    std::thread writer_;
    std::atomic<bool> stopWriter_{false};
    std::mutex stopMutex_;  // with stopCv_, wakes the writer to stop; never the audio thread's
    std::condition_variable stopCv_;
    std::atomic<OSStatus> status_{noErr};
    // Only the owner writes it, and never while writeAsync runs; it is
    // atomic so a late writeAsync is refused rather than queued forever.
    std::atomic<bool> disposed_{false};
    OSStatus disposeStatus_ = noErr;
};

}  // namespace

OSStatus createWriter(std::unique_ptr<FileSink> sink, const AudioStreamBasicDescription& format,
    std::unique_ptr<SafeFile> file, bool appearWhenComplete, std::unique_ptr<ExtAudioFile>& out)
{
    auto writer = std::make_unique<ExtAudioFileWriter>(std::move(sink), format, std::move(file));
    // Until the owner says otherwise the client speaks the file's own PCM,
    // or float planes for a compressed file or packed 24-bit samples.
    ClientLayout own;
    const AudioStreamBasicDescription client = format.mFormatID == kAudioFormatLinearPCM && clientLayoutFor(format, own)
        ? format
        : floatPlanarFormat(format.mSampleRate, format.mChannelsPerFrame);
    OSStatus s = writer->setClientFormat(client);
    if (s == noErr && !appearWhenComplete)
        s = writer->commitNow();
    if (s != noErr) {
        writer->abandon(s);  // its temporary file goes with it
        return s;
    }
    out = std::move(writer);
    return noErr;
}

}  // namespace audiofile
