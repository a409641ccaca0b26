// Export: the trimmed range of a recording, with its linear fade-in and
// fade-out, written as a new file of one of the exportable formats
// (AudioFormat.h) at the chosen AudioQuality, each field left at its zero
// the format's own (44.1 kHz stereo; Opus 48 kHz).
//
// The source is decoded to float planes at the file's rate (at the source's
// own, nothing is resampled); the file gets exactly the frames
// round(start × rate) up to round(end × rate), the end excluded,
// clamped to the source's length, each scaled by the fade envelope's gain for
// that frame. Asked for a loudness, it first reads the range once to measure
// its integrated loudness (Loudness.h), then writes it with the one gain that
// brings it to that loudness, through a limiter that keeps every true peak at
// or below -1 dBTP (and changes nothing where none would pass it); the fades
// apply after both. It is encoded into a temporary file beside the destination,
// which replaces the destination only when the whole export succeeded: a
// failure never harms an existing file. The recording in progress is never a
// destination.
//
// Threads: startAudioConvert runs one whole export on the calling thread.
// The library window runs it on a worker thread; while it runs, other threads
// may only read framesDone() and framesToDo() and call cancel(). Everything else belongs to one
// thread at a time. The library window owns one converter for its lifetime.
#pragma once

#include "Export/Loudness.h"
#include "platform/FadeEnvelope.h"
#include "platform/AudioFormat.h"
#include "platform/ExtAudioFile.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class AudioConverterDelegate {
public:
    // Sent once when an export that started has ended, also when it ended on
    // a read or write failure (see AudioConverter::failure()); never when it
    // did not start. On the exporting thread.
    virtual void finishAudioConverter() { }

protected:
    ~AudioConverterDelegate() = default;
};

// Why the last export failed, or None.
enum class AudioConvertFailure {
    None,
    NoSource,      // the source is missing or is not a readable audio file
    NoAudio,       // the range holds no audio: it is empty, or starts at or past the source's end
    SameFile,      // the destination is the source itself
    BeingRecorded, // the destination is the recording in progress
    CannotCreate,  // the destination (its folder, its temporary file) cannot be made
    ReadFailed,    // decoding stopped part-way; the file holds what was read
    WriteFailed,   // writing or completing the file failed; nothing was kept
    Cancelled,     // cancel() stopped it; nothing was kept
    Refused,       // the format does not take the quality asked for; nothing touched
};

// What one export is to do, made whole by its caller and handed over once.
struct AudioExportRequest {
    std::string source;
    std::string destination;
    // The trimmed range and its fades, in seconds of the source.
    FadeEnvelope range;
    // What the destination is written as: one of the exportable formats.
    const AudioFormat* format = &defaultAudioFormat();
    // The recordings in progress, as recovery marks or plain paths: never replaced.
    std::vector<std::string> recordings;
    // The integrated loudness to bring the export to, in LUFS; none: as recorded.
    std::optional<double> loudness;
    // Rate, channels, depth and bit rate within the format; refused, before
    // anything is touched, where the format does not take them.
    AudioQuality quality;
    // The source's markers, in seconds of it; none: those its file holds.
    // The export keeps the ones inside the range (its end excluded), moved
    // by the range's start, where its format has room for them.
    std::optional<std::vector<double>> markers;
};

// How an export asked for a loudness went.
struct LoudnessResult {
    // The range's integrated loudness; none when it is silent (no block
    // above -70 LUFS), which gets no gain.
    std::optional<double> measured;
    double gainDb = 0;
    // Of the file as written.
    double truePeakDb = -HUGE_VAL;
    // Whether the limiter had to lower a peak.
    bool limited = false;
};

class AudioConverter {
public:
    static constexpr double kSampleRate = 44100.0;
    // Frames read at a time.
    static constexpr std::uint32_t kBlockFrames = 512;
    // Blocks gathered before they go to the file: few large writes rather
    // than one system call per block.
    static constexpr std::uint32_t kBlocksPerWrite = 16;

    AudioConverter();
    explicit AudioConverter(const AudioExportRequest& request);
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    void initDefaultAudioFormat();

    // Creates the destination at `path` (the temporary file during an export)
    // with the client format set; null on failure.
    ExtAudioFileRef createExportAudioRef(const std::string& path);
    ExtAudioFileRef creatSourceAudioRef();

    FadeEnvelope envelope() const { return {trimStartTime_, trimEndTime_, fadeInTime_, fadeOutTime_}; }

    // Runs one whole export. failure() and writtenFrames() say how it went.
    void startAudioConvert();
    // From any thread: the running export (or the next to run) stops before
    // its next block, its temporary file removed and the destination left as
    // it was (failure() Cancelled).
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    void finishAudioConverter();

    AudioConvertFailure failure() const { return failure_; }
    // The platform status behind failure(), noErr when none.
    OSStatus status() const { return status_; }
    // One line naming the failure, empty when none.
    std::string failureText() const;
    // Why the destination could not be made or written ("not a regular
    // file", "write-protected", "the disk is full", ...), for CannotCreate
    // and WriteFailed; the window and the command line say the same.
    std::string destinationReason() const;
    // The rate of the last export's frames: its file's.
    double sampleRate() const { return rate_; }
    // Frames (at sampleRate()) the last export put in its file; meaningful when it
    // kept one (failure() None or ReadFailed).
    std::int64_t writtenFrames() const { return framesDone_.load(std::memory_order_relaxed); }

    // Progress of the running export, from any thread: frames measured and
    // written so far, and the frames the export is expected to go through
    // (twice the range's when it measures first). framesToDo() is 0 until
    // the source is open.
    std::int64_t framesDone() const
    {
        return framesMeasured_.load(std::memory_order_relaxed) + framesDone_.load(std::memory_order_relaxed);
    }
    std::int64_t framesToDo() const { return framesToDo_.load(std::memory_order_relaxed); }

    const AudioStreamBasicDescription& defaultFormat() const { return defaultFormat_; }
    const std::string& sourceAudioPath() const { return sourceAudioPath_; }
    void setSourceAudioPath(const std::string& path) { sourceAudioPath_ = path; }
    const std::string& exportAudioPath() const { return exportAudioPath_; }
    void setExportAudioPath(const std::string& path) { exportAudioPath_ = path; }
    float trimStartTime() const { return trimStartTime_; }
    void setTrimStartTime(float seconds) { trimStartTime_ = seconds; }
    float trimEndTime() const { return trimEndTime_; }
    void setTrimEndTime(float seconds) { trimEndTime_ = seconds; }
    float fadeInTime() const { return fadeInTime_; }
    void setFadeInTime(float seconds) { fadeInTime_ = seconds; }
    float fadeOutTime() const { return fadeOutTime_; }
    void setFadeOutTime(float seconds) { fadeOutTime_ = seconds; }
    const AudioFormat& audioFromat() const { return *audioFromat_; }
    void setAudioFromat(const AudioFormat& format) { audioFromat_ = &format; }
    // The integrated loudness (LUFS) to export at; none: as recorded.
    const std::optional<double>& loudnessTarget() const { return loudnessTarget_; }
    void setLoudnessTarget(std::optional<double> lufs) { loudnessTarget_ = lufs; }
    const AudioQuality& quality() const { return quality_; }
    // The markers the last export gave its file, in its frames from its first.
    const AudioMarkers& writtenMarkers() const { return writtenMarkers_; }
    void setQuality(const AudioQuality& quality) { quality_ = quality; }
    // Of the last export that was asked for a loudness and got to writing.
    const LoudnessResult& loudness() const { return loudness_; }
    // One line of it: "loudness -30.2 LUFS, gain +14.2 dB, true peak -1.0 dBTP".
    std::string loudnessText() const;
    // Recordings in progress (recovery marks or paths) that the destination must not be.
    void setRecordings(std::vector<std::string> recordings) { recordings_ = std::move(recordings); }
    AudioConverterDelegate* delegate() const { return delegate_; }
    void setDelegate(AudioConverterDelegate* delegate) { delegate_ = delegate; }

private:
    void fail(AudioConvertFailure failure, OSStatus status);
    // Reads, scales and writes block after block until `count` frames are
    // written or the source ends; the first block, firstFrames long, is
    // already in the buffers.
    void convertBlocks(
        ExtAudioFile& source, ExtAudioFile& destination, std::int64_t count, std::uint32_t firstFrames);
    // Reads the range through (the first block already in the buffers) and
    // works out the gain; false when the read failed or was cancelled.
    bool measureLoudness(ExtAudioFile& source, std::int64_t count, std::uint32_t firstFrames);
    // Hands the destination the markers inside the `count` frames from startFrame, moved to its start.
    void keepMarkers(ExtAudioFile& destination, std::int64_t startFrame, std::int64_t count);
    // The gain, the limiter and the fades, in place, on `frames` frames just
    // read of an export of `count`; returns how many frames there are to
    // write, moved to the front: fewer while the limiter fills its delay.
    std::uint32_t shape(float* left, float* right, std::uint32_t frames, std::int64_t count);

    AudioStreamBasicDescription defaultFormat_;
    std::string sourceAudioPath_;
    std::string exportAudioPath_;
    float trimStartTime_ = 0;
    float trimEndTime_ = 0;
    float fadeInTime_ = 0;
    float fadeOutTime_ = 0;
    const AudioFormat* audioFromat_ = &defaultAudioFormat();
    std::vector<std::string> recordings_;
    std::optional<double> loudnessTarget_;
    AudioQuality quality_;
    std::optional<std::vector<double>> markers_;
    AudioMarkers writtenMarkers_;
    // The running export's: its file's rate, and the description of the file.
    double rate_ = kSampleRate;
    AudioStreamBasicDescription fileFormat_{};
    AudioConverterDelegate* delegate_ = nullptr;  // not owned

    // The running export's gain and limiter (none when no peak needs it),
    // the frames the limiter still holds back, and the frames shaped so far.
    LoudnessResult loudness_;
    float gain_ = 1;
    std::unique_ptr<loudness::TruePeakLimiter> limiter_;
    std::unique_ptr<loudness::TruePeakMeter> outputPeak_;
    std::uint32_t delayed_ = 0;
    std::int64_t shaped_ = 0;

    AudioConvertFailure failure_ = AudioConvertFailure::None;
    OSStatus status_ = noErr;
    std::atomic<std::int64_t> framesDone_{0};
    std::atomic<std::int64_t> framesMeasured_{0};
    std::atomic<std::int64_t> framesToDo_{0};
    std::atomic<bool> cancelled_{false};
    // kBlocksPerWrite blocks of each channel, allocated with the converter
    // and reused by every export.
    std::vector<float> left_;
    std::vector<float> right_;
};
