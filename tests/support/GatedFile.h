// A recording file whose asynchronous writes a test controls: it can hold the
// audio thread inside a write, or refuse writes as a full queue does, and
// otherwise passes every call to the real file it wraps.
//
// Install it on a recorder's current output with GatedFile::install(); the
// output's stream then owns it. The Gate is shared with the test and
// outlives the file.
#pragma once

#include "AudioRecord/AudioFileStream.h"

#include <atomic>
#include <memory>

struct FileGate {
    // While true, a write that starts waits inside the file until released.
    std::atomic<bool> hold{false};
    std::atomic<bool> insideWrite{false};
    // Writes still to refuse with the queue-overflow status.
    std::atomic<int> refuse{0};
    // Set when the file was completed while a write was inside it.
    std::atomic<bool> disposedDuringWrite{false};
    std::atomic<bool> disposed{false};
};

// The test's access to a stream's file.
struct AudioFileStreamTestAccess {
    static ExtAudioFileRef& file(AudioFileStream& stream) { return stream.audioFile_; }
};

class GatedFile final : public ExtAudioFile {
public:
    // Wraps the stream's file; false when the stream has none.
    static bool install(AudioFileStream* stream, std::shared_ptr<FileGate> gate);

    GatedFile(ExtAudioFileRef inner, std::shared_ptr<FileGate> gate);
    ~GatedFile() override;

    OSStatus getProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData) override;
    OSStatus setProperty(ExtAudioFilePropertyID id, std::uint32_t size, const void* data) override;
    OSStatus read(std::uint32_t* ioFrames, AudioBufferList* ioData) override;
    OSStatus seek(std::int64_t frame) override;
    OSStatus write(std::uint32_t frames, const AudioBufferList* data) override;
    OSStatus writeAsync(std::uint32_t frames, const AudioBufferList* data) override;
    OSStatus writerStatus() const override;
    OSStatus dispose() override;

private:
    ExtAudioFileRef inner_;
    std::shared_ptr<FileGate> gate_;
};
