// One audio file opened for writing (a recording) or for reading, with
// conversion between the caller's buffers and the stored format.
//
// The record device creates one per recording on the main thread; the audio
// thread then calls writeBufferList() only, which queues without touching the
// disk. Every other call is the main thread's. close() must not overlap a
// write; the record device sees to that.
#pragma once

#include "AudioRecord/WaveOverview.h"
#include "platform/AudioFormat.h"
#include "platform/ExtAudioFile.h"

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class AudioFileStream {
public:
    // `failure`, when given, hears why no file could be made. Without a
    // format, the one of the path's extension (audioFormatForPath()); an
    // extension no format has makes no file (kAudioFileUnsupportedFileTypeError).
    static std::unique_ptr<AudioFileStream> streamForWritingAtPath(
        const std::string& path, OSStatus* failure = nullptr);
    static std::unique_ptr<AudioFileStream> streamForWritingAtPath(
        const std::string& path, const AudioFormat& format, OSStatus* failure = nullptr);
    // In the format with the recording's choices (AudioQuality), from a
    // source at sourceRate; a choice the format does not take makes no
    // file (kAudioFileUnsupportedDataFormatError).
    static std::unique_ptr<AudioFileStream> streamForWritingAtPath(const std::string& path, const AudioFormat& format,
        const AudioQuality& quality, double sourceRate, OSStatus* failure = nullptr);
    static std::unique_ptr<AudioFileStream> streamForReadingAtPath(const std::string& path);

    AudioFileStream() = default;
    // Completes a file its owner left open rather than leaving it unfinished.
    ~AudioFileStream();
    AudioFileStream(const AudioFileStream&) = delete;
    AudioFileStream& operator=(const AudioFileStream&) = delete;

    // Returns why the file could not be opened or made; noErr when it is open.
    OSStatus configWithPath(const std::string& path, bool isRead);
    OSStatus configForWriting(
        const std::string& path, const AudioFormat& format, const AudioQuality& quality = {}, double sourceRate = 0);
    bool isOpen() const { return audioFile_ != nullptr; }
    // Completes the file. Returns the first failure met while writing or
    // completing it. A file written whole leaves its overview in the cache
    // (WaveOverviewCache.h), so the library draws it without decoding it.
    OSStatus close();

    // Main thread, before the audio thread writes: one more file written
    // with this one, frame for frame, in the same client format, from the
    // buffers of each list after those before it (this file's, then each
    // source's in the order added). It is completed with this one.
    OSStatus addSource(
        const std::string& path, const AudioFormat& format, const AudioQuality& quality, double sourceRate);
    // The sources' files: while recording, those made; after close(), those that hold audio.
    const std::vector<std::string>& sourcePaths() const { return sourcePaths_; }
    // The sources asked for that could not be made, and why; the recording goes on without them.
    const std::vector<std::pair<std::string, OSStatus>>& missingSources() const { return missingSources_; }

    // Audio thread while recording. With sources, a list that carries them
    // is taken by every file or by none, so they stay frame for frame; a
    // source whose writer failed is left behind and the rest go on.
    std::int32_t writeBufferList(const AudioBufferList* list, std::int32_t frames);
    std::int64_t writedFrames() const { return frames_writed_.load(std::memory_order_relaxed); }
    // Main thread while recording: a marker at the frames written so far
    // (a second one at the same frame adds nothing). close() puts them in
    // the file, at its rate.
    void addMarker();
    // The markers in the caller's frames, ascending.
    const AudioMarkers& markers() const { return markers_; }
    // The first failure of the file's writer (disk full, I/O error); 0 while none. Any thread.
    OSStatus writeStatus() const;

    std::int32_t readBufferList(AudioBufferList* list, std::int32_t frames);
    void seekToTime(double seconds);

    AudioStreamBasicDescription audioFileFormat() const;
    AudioStreamBasicDescription clientDataFormat() const;
    void setClientDataFormat(AudioStreamBasicDescription format);
    // What a file of this type holds when written here (AudioFormat.h); all zero for a type no format has.
    static AudioStreamBasicDescription audioStreamBasicDescription(AudioFileTypeID fileType);

    const std::string& audioPath() const { return audioPath_; }
    void setAudioPath(const std::string& path) { audioPath_ = path; }
    ExtAudioFile* audioFile() const { return audioFile_.get(); }
    std::int64_t frames_writed() const { return writedFrames(); }
    void setFrames_writed(std::int64_t frames) { frames_writed_.store(frames, std::memory_order_relaxed); }
    bool isRead() const { return isRead_; }
    void setIsRead(bool isRead) { isRead_ = isRead; }

private:
    friend struct AudioFileStreamTestAccess;

    std::string audioPath_;
    ExtAudioFileRef audioFile_;
    // Fed by the file's writer thread; read once the file is disposed of.
    std::unique_ptr<WaveOverviewBuilder> overview_;
    // Written by the audio thread only; read by the main thread a buffer late at worst.
    std::atomic<std::int64_t> frames_writed_{0};
    bool isRead_ = false;
    AudioMarkers markers_;
    std::vector<std::unique_ptr<AudioFileStream>> sources_;
    std::vector<std::string> sourcePaths_;
    std::vector<std::pair<std::string, OSStatus>> missingSources_;
    std::uint32_t clientChannels_ = 0;
};
