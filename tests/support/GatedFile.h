// A recording file whose asynchronous writes a test controls: it can hold the
// audio thread inside a write, or refuse writes as a full queue does, and
// otherwise passes every call to the real file it wraps.
//
// Install it on a recorder's current output with GatedFile::install(); the
// output's stream then owns it. The gate is shared with the test and
// outlives the file.
#pragma once

#include "AudioRecord/AudioFileStream.h"

#include <atomic>
#include <memory>
#include <thread>

struct FileGate {
    // While true, a write that starts waits inside the file until released.
    std::atomic<bool> hold{false};
    std::atomic<bool> insideWrite{false};
    // Writes still to refuse with the queue-overflow status.
    std::atomic<int> refuse{0};
    // The writer's failure to report in place of the real file's (noErr: the real one).
    std::atomic<OSStatus> failure{noErr};
    // Set when the file was completed while a write was inside it.
    std::atomic<bool> disposedDuringWrite{false};
    std::atomic<bool> disposed{false};
};

struct AudioFileStreamTestAccess {
    static ExtAudioFileRef& file(AudioFileStream& stream) { return stream.audioFile_; }
    // The stream of source `which` (AudioFileStream::addSource), null for one not made.
    static AudioFileStream* source(AudioFileStream& stream, std::size_t which)
    {
        return which < stream.sources_.size() ? stream.sources_[which].get() : nullptr;
    }
};

class GatedFile final : public ExtAudioFile {
public:
    // Wraps the stream's file; false when the stream has none.
    static bool install(AudioFileStream* stream, std::shared_ptr<FileGate> gate)
    {
        if (!stream || !AudioFileStreamTestAccess::file(*stream))
            return false;
        ExtAudioFileRef& file = AudioFileStreamTestAccess::file(*stream);
        file = std::make_unique<GatedFile>(std::move(file), std::move(gate));
        return true;
    }

    GatedFile(ExtAudioFileRef inner, std::shared_ptr<FileGate> gate) : inner_(std::move(inner)), gate_(std::move(gate))
    { }
    ~GatedFile() override { dispose(); }

    OSStatus writeAsync(std::uint32_t frames, const AudioBufferList* data) override
    {
        gate_->insideWrite = true;
        while (gate_->hold)
            std::this_thread::yield();
        OSStatus status = kExtAudioFileError_AsyncWriteBufferOverflow;
        if (gate_->refuse.load() > 0)
            --gate_->refuse;
        else
            status = inner_->writeAsync(frames, data);
        gate_->insideWrite = false;
        return status;
    }
    std::uint32_t asyncRoom() const override { return gate_->refuse.load() > 0 ? 0 : inner_->asyncRoom(); }
    OSStatus dispose() override
    {
        if (gate_->insideWrite)
            gate_->disposedDuringWrite = true;
        gate_->disposed = true;
        return inner_->dispose();
    }

    OSStatus getProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData) override
    {
        return inner_->getProperty(id, ioSize, outData);
    }
    OSStatus setProperty(ExtAudioFilePropertyID id, std::uint32_t size, const void* data) override
    {
        return inner_->setProperty(id, size, data);
    }
    OSStatus read(std::uint32_t* ioFrames, AudioBufferList* ioData) override { return inner_->read(ioFrames, ioData); }
    OSStatus seek(std::int64_t frame) override { return inner_->seek(frame); }
    OSStatus write(std::uint32_t frames, const AudioBufferList* data) override { return inner_->write(frames, data); }
    OSStatus writerStatus() const override { return gate_->failure ? gate_->failure.load() : inner_->writerStatus(); }

private:
    ExtAudioFileRef inner_;
    std::shared_ptr<FileGate> gate_;
};
