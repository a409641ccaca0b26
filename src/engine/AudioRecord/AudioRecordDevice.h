// The recording engine's two device classes.
//
// AudioRecordMicDevice is one device of the sound server: it answers
// questions about it and, once opened, captures its input through a capture
// unit, handing every buffer to its delegate on the audio thread.
//
// AudioRecordDevice is the recorder: it lists the input devices, keeps the one
// open device, measures the level of every captured buffer and writes the
// buffers to the current output file unless writing is paused.
//
// Threads: the capture call-back and recieveAudioBuffer() run on the audio
// thread and only copy, count and publish; a completion thread completes the
// files the recorder lets go of and runs the completion handler; everything
// else is the main thread's. The application owns the AudioRecordDevice; it
// owns its open device (shared with the device list), its output stream and,
// until they are complete, the files it let go of.
#pragma once

#include "AudioRecord/AudioFileStream.h"
#include "AudioRecord/IOService.h"
#include "AudioRecord/PreRollRing.h"
#include "AudioRecord/RecordCompleter.h"
#include "AudioRecord/SoundTrigger.h"
#include "platform/AudioHardware.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Receives captured buffers on the audio thread. The list lives only for the
// call; `takenAt` is when its first frame was taken in (AudioHostTimeNow()'s
// clock), 0 when the capture does not say.
class AudioCaptureDelegate {
public:
    virtual void recieveAudioBuffer(const AudioBufferList* list, std::int32_t frames, std::uint64_t takenAt) = 0;

protected:
    ~AudioCaptureDelegate() = default;
};

// The unique identifier of the device that stands for the default input:
// the name the sound server itself gives its default source, which no
// device of its own can bear, so it stays apart from every device's in the settings.
inline constexpr char kDefaultInputUID[] = "@DEFAULT_SOURCE@";
// The unique identifier of the device that stands for the computer's sound:
// the loopback driver's device's, so that device chosen by its identifier (a
// stored choice, a command line) is the computer's sound, whether or not the
// server lists it now.
inline constexpr const char* kComputerSoundUID = kLoopbackDeviceUID;
// An application recorded alone is identified by this and the name it was
// given, which no device of the server can bear.
inline constexpr char kApplicationUIDPrefix[] = "@APPLICATION@:";

class AudioRecordMicDevice {
public:
    AudioRecordMicDevice() = default;
    explicit AudioRecordMicDevice(AudioObjectID deviceID) : deviceID_(deviceID) { }
    // The sound server's default input, whichever device that is: opened, it
    // captures the default and moves with it when it changes. Its name is
    // the present default's, its unique identifier kDefaultInputUID.
    static std::shared_ptr<AudioRecordMicDevice> defaultInput();
    // What the default output plays, whichever output that is: opened, it
    // asks the capture unit for the computer's sound, which moves with the
    // default output and ends only when no output is left. It needs no
    // loopback device. Its name is the loopback device's, its unique
    // identifier kComputerSoundUID, its format the default output's.
    static std::shared_ptr<AudioRecordMicDevice> computerSound();
    // What the application `named` plays (applicationNamed()), alone:
    // silence while it plays nothing, its streams as they come and go. Its
    // name is `title` (what the application calls itself), else the one
    // given; its unique identifier kApplicationUIDPrefix and the name given;
    // its format the default output's.
    static std::shared_ptr<AudioRecordMicDevice> application(const std::string& named, const std::string& title = {});
    // Stops and disposes of a unit left running, so no call-back outlives the object.
    ~AudioRecordMicDevice();
    AudioRecordMicDevice(const AudioRecordMicDevice&) = delete;
    AudioRecordMicDevice& operator=(const AudioRecordMicDevice&) = delete;

    void open();
    void close();
    bool isOpen() const { return audioUnit_ != nullptr && status_ == noErr; }
    void start();
    void stop();
    std::string deviceName() const;
    std::optional<std::string> uniqueID() const;
    bool isInputDevice() const;
    // Whether the sound server mutes the input (for every program).
    bool isMuted() const;
    // The channels and rate the server takes the input in, as it says now.
    AudioStreamBasicDescription inputFormat() const;
    // False once an open device has stopped delivering because it vanished.
    bool isRunning() const;
    bool followsDefault() const { return followsDefault_; }
    bool isComputerSound() const { return computerSound_; }
    // The application this device records alone; empty for any other.
    const std::string& application() const { return application_; }

    void createAudioUnit();
    void configAudioUnit();
    // Audio thread: a zeroed buffer list of `frames` frames in the capture
    // format, valid while action runs.
    template <class Action> void makeAudioBufferFrames(std::int32_t frames, Action&& action);
    void recieveAudioBuffer(const AudioBufferList* list, std::int32_t frames, std::uint64_t takenAt);

    bool system() const { return system_; }
    void setSystem(bool system) { system_ = system; }
    // Whether the next open() mixes the computer's sound into this input.
    bool mixSystemAudio() const { return mixSystemAudio_; }
    void setMixSystemAudio(bool mix) { mixSystemAudio_ = mix; }
    // The application the next open() mixes into this input; empty: none.
    const std::string& mixApplication() const { return mixApplication_; }
    void setMixApplication(std::string named) { mixApplication_ = std::move(named); }
    // Whether the next open() asks the capture for each mixed source too.
    bool separateSources() const { return separateSources_; }
    void setSeparateSources(bool separate) { separateSources_ = separate; }
    // Open: whether each cycle carries the parts of the mix after it (the
    // input's channels, then the other sources'), frame for frame.
    bool separates() const { return separates_; }
    // The buffers of a cycle: the format's channels, with the parts three times as many.
    std::uint32_t cycleBuffers() const;
    // Open and mixing: each part's level over the last capture cycle.
    std::optional<AudioSourceLevels> sourceLevels() const;
    OSStatus status() const { return status_; }
    void setStatus(OSStatus status) { status_ = status; }
    AudioObjectID deviceID() const { return deviceID_; }
    void setDeviceID(AudioObjectID deviceID) { deviceID_ = deviceID; }
    AudioCaptureDelegate* delegate() const { return delegate_.load(std::memory_order_acquire); }
    void setDelegate(AudioCaptureDelegate* delegate) { delegate_.store(delegate, std::memory_order_release); }
    // Written only while the unit is stopped, so the audio thread reads it without a lock.
    AudioStreamBasicDescription deviceFormat() const { return deviceFormat_; }
    void setDeviceFormat(const AudioStreamBasicDescription& format) { deviceFormat_ = format; }
    AudioUnit* audioUnit() const { return audioUnit_.get(); }

    static OSStatus AudioRecordDeviceInputProc(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
        const AudioTimeStamp* inTimeStamp, std::uint32_t inBusNumber, std::uint32_t inNumberFrames,
        AudioBufferList* ioData);

private:
    bool followsDefault_ = false;
    bool computerSound_ = false;
    bool system_ = false;
    bool mixSystemAudio_ = false;
    std::string application_;     // recorded alone
    std::string title_;           // of that application
    std::string mixApplication_;  // mixed into the input
    bool separateSources_ = false;
    bool partsAsked_ = false;  // the unit took the request: its cycles say by their buffers whether parts came
    bool separates_ = false;   // as the started unit says
    OSStatus status_ = noErr;
    AudioObjectID deviceID_ = 0;
    std::atomic<AudioCaptureDelegate*> delegate_{nullptr};  // not owned
    AudioStreamBasicDescription deviceFormat_{};
    AudioComponentInstance audioUnit_;
    // Capture scratch, sized before the unit starts so a cycle never allocates.
    std::vector<float> scratch_;
    std::uint32_t scratchFrames_ = 0;
};

// Why a recording ended without being asked to.
// FileRemoved: the file being recorded was deleted; what it held is lost with it.
enum class RecordFault { None, DeviceLost, WriteFailed, FileRemoved };

class AudioRecordDevice final : public AudioCaptureDelegate {
public:
    AudioRecordDevice() = default;
    ~AudioRecordDevice();
    AudioRecordDevice(const AudioRecordDevice&) = delete;
    AudioRecordDevice& operator=(const AudioRecordDevice&) = delete;

    std::vector<std::shared_ptr<AudioRecordMicDevice>> allAudioInputDevices() const;
    void configDevice(std::shared_ptr<AudioRecordMicDevice> device);
    // Hands the current output to the completion thread; given a path,
    // creates the new output file, in the format given or else the one of
    // the path's extension (none for an unknown one). Returns false when the file could not be
    // created; `failure`, when given, then hears why.
    bool recordToPath(const std::optional<std::string>& path, OSStatus* failure = nullptr);
    bool recordToPath(const std::string& path, const AudioFormat& format, OSStatus* failure = nullptr)
    {
        return recordToPath(path, format, {}, failure);
    }
    // With the recording's choices within the format, the source's rate being the open device's.
    bool recordToPath(
        const std::string& path, const AudioFormat& format, const AudioQuality& quality, OSStatus* failure = nullptr);
    // Writing starts (or resumes) with the audio taken in from this moment
    // on: a capture cycle under way, or a server's buffer, still holds
    // audio from before it. With a pre-roll, the file begins that many
    // frames earlier, as far as the kept frames reach (keepLast()), and goes
    // on with the very next frame. Given `fromFrame` (a kept frame's
    // position, as triggeredAt() counts), it begins there instead.
    void start(std::int64_t preRollFrames = 0, std::int64_t fromFrame = -1);
    // Main thread. Keeps the last `seconds` of what the open device takes in
    // (the mix, when the computer's sound is mixed in), from now on and for
    // every device opened later: what a start may reach back to. A change of
    // length, or of device, starts the kept audio afresh; 0 keeps nothing.
    void keepLast(double seconds);
    double keptSeconds() const { return keepSeconds_; }
    // Main thread. While armed, each captured buffer is weighed against the
    // threshold (a linear peak); `holdFrames` below it end the take (0:
    // never). Needs kept audio (keepLast()) to count frames. Arming afresh
    // forgets an earlier trigger.
    void arm(float threshold, std::int64_t holdFrames);
    void disarm();
    bool armed() const { return armed_.load(std::memory_order_relaxed); }
    // The position of the first frame of the buffer that reached the
    // threshold, -1 before; then, once the take fell silent for the hold,
    // the frame it ends at (writing stops there by itself), -1 before.
    std::int64_t triggeredAt() const { return triggerStart_.load(std::memory_order_acquire); }
    std::int64_t silentFrom() const { return triggerStop_.load(std::memory_order_acquire); }
    void pause();
    // Main thread. Writing ends by itself once the current output holds this
    // many device frames, to the frame, wherever a capture cycle ends; 0 (as
    // made) for no end.
    void setFrameLimit(std::int64_t frames) { frameLimit_.store(frames, std::memory_order_relaxed); }
    // Main thread. A part of the take holds this many device frames: once
    // the current output holds them, the rest of the cycle goes into the
    // next part, to the frame; 0 (as made) for one file. The next part must
    // be made ahead (recordNextPartToPath), or the current one goes on.
    void setPartFrames(std::int64_t frames) { partFrames_.store(frames, std::memory_order_relaxed); }
    // Main thread: makes the file the take moves on to when the current
    // part is full. It exists before the current one is closed, so the audio
    // thread only swaps a pointer and no cycle falls between the two.
    bool recordNextPartToPath(
        const std::string& path, const AudioFormat& format, const AudioQuality& quality, OSStatus* failure = nullptr);
    // Main thread, on its timer: once the audio thread has moved on to the
    // next part, hands the full one to the completion thread, makes the
    // next one the current output, and returns the full one's path.
    std::optional<std::string> takeFullPart();
    // Writes on until the audio taken in before the call has come (a few
    // hundredths of a second, kMostStopWaitSeconds at most), then stops and
    // hands the file to the completion thread; returns the take's length as
    // audioLength() would. The completion handler hears when the file is complete.
    double stop();
    // stop() without the hand-over: writing ends, the output stays, and a
    // part the audio thread moved on to is still there for takeFullPart().
    double stopWriting();
    // Called on the completion thread with each file stop(), recordToPath()
    // or configDevice() handed over, once it is complete. Set it before the
    // first recording.
    void setCompletionHandler(RecordCompleter::Handler handler) { completer_.setHandler(std::move(handler)); }
    // Main thread: true once every handed-over file is complete and its
    // handler has returned; false when the timeout passed first.
    bool waitForCompletion(std::chrono::milliseconds timeout) { return completer_.waitUntilIdle(timeout); }
    bool isCompleting() const { return !completer_.idle(); }
    // The process ends without waiting for a completion under way (see RecordCompleter::abandon).
    void abandonCompletion() { completer_.abandon(); }
    bool isStart() const { return !isRecordFilePaused(); }
    double audioLevel() const { return audioDataLevel(); }
    // Below this on every channel (-60 dBFS) a buffer is silence.
    static constexpr float kSilenceLevel = 0.001f;
    // Captured buffers that were not silence, counted since the recorder was
    // made; the main thread watches it change.
    std::uint64_t heardBuffers() const { return heardBuffers_.load(std::memory_order_relaxed); }
    std::optional<std::string> audioPath() const;
    // The take's frames so far, its full parts' included, and in seconds.
    std::int64_t recordedFrames() const;
    double audioLength() const;
    // The open device's frames per second, for turning its frames into
    // seconds: 100 without a device or a usable rate, so a length stays finite.
    double deviceRate() const;
    bool isSystem() const;
    // Whether configDevice() mixes the computer's sound into the input it opens.
    bool withSystemAudio() const { return withSystemAudio_; }
    void setWithSystemAudio(bool with) { withSystemAudio_ = with; }
    // The application mixed into the next device opened; empty: none.
    void setWithApplication(std::string named) { withApplication_ = std::move(named); }
    // Whether the next device opened, when it mixes, hands each source out
    // too: each recording's file then has one file a source beside it
    // (sourceOf(): "input", and "system" or "app"), written frame for frame with it.
    void setSeparateSources(bool separate) { separateSources_ = separate; }
    bool separateSources() const { return separateSources_; }
    // Mixing: the input's and the computer's sound's levels, over the last capture cycle.
    std::optional<AudioSourceLevels> sourceLevels() const { return device_ ? device_->sourceLevels() : std::nullopt; }
    // Main thread, on its timer: what, if anything, has ended the capture or
    // the writing behind the caller's back (the device vanished, the disk filled).
    RecordFault fault() const;
    // Client frames of the current output that the file refused because its
    // queue was full (the disk stalled for longer than the queue holds).
    // They are not in audioLength(). Main thread.
    std::int64_t lostFrames() const { return lostFrames_.load(std::memory_order_relaxed); }
    // Main thread. From the first call on, listens for the sound server's
    // device list and default input; true once either changed since the last call.
    bool devicesChanged();

    void recieveAudioBuffer(const AudioBufferList* list, std::int32_t frames, std::uint64_t takenAt) override;

    // The loopback driver, which makes an input device carry the computer's
    // own sound for whoever lists it; recording the computer's sound needs it
    // not (AudioRecordMicDevice::computerSound()).
    std::unique_ptr<AudioRecordMicDevice> defaultOutputDevice() const;
    void connectSystemAudioRecord(bool on);
    std::optional<std::string> systemAudioPath() const;
    void matchingServiceWithPath(const std::optional<std::string>& path) const;
    // The entries whose path contains key, in order; `services` itself when none does.
    std::vector<IOService> findDeviceByKey(const std::string& key, const std::vector<IOService>& services) const;
    // Whether the loopback driver was last told an engine path (process-wide).
    static bool systemAudioConnected();
    // Tests: back to the state of a fresh process, without telling the driver.
    static void resetSystemAudioConnectedForTesting();

    bool isRecordFilePaused() const { return isRecordFilePaused_.load(std::memory_order_seq_cst); }
    void setIsRecordFilePaused(bool paused) { isRecordFilePaused_.store(paused, std::memory_order_seq_cst); }
    const std::shared_ptr<AudioRecordMicDevice>& device() const { return device_; }
    double audioDataLevel() const { return audioDataLevel_.load(std::memory_order_relaxed); }
    void setAudioDataLevel(double level) { audioDataLevel_.store(level, std::memory_order_relaxed); }
    AudioFileStream* audioOutput() const { return audioOutput_.get(); }

private:
    // Detaches the output from the audio thread, waits out a write under way,
    // then hands the file to the completion thread.
    void closeOutput();
    std::unique_ptr<AudioFileStream> newOutput(
        const std::string& path, const AudioFormat& format, const AudioQuality& quality, OSStatus* failure) const;
    // Main thread: until it returns, the audio thread touches neither the ring nor the trigger.
    void holdAudioThread();
    // Audio thread: writes the kept frames from readFrom_ up to `until` into
    // the output, as far as its queue takes them; true once all are written.
    bool drainRing(PreRollRing& ring, AudioFileStream*& output, std::int64_t until);
    // Audio thread: the frames the current output may still take before the
    // take's length is reached (the limit counts across a split take's parts).
    std::int64_t framesLeft(const AudioFileStream& output) const;
    // Audio thread: writes `frames` of `list`, moving on to the next part
    // (made ahead) where the current one fills, and publishing it as the live
    // output; returns how many of them are done with, taken or lost at a seam.
    std::int32_t writeOut(AudioFileStream*& output, const AudioBufferList* list, std::int32_t frames);

    std::atomic<bool> isRecordFilePaused_{false};
    bool withSystemAudio_ = false;
    std::string withApplication_;
    bool separateSources_ = false;
    std::shared_ptr<AudioRecordMicDevice> device_;
    std::atomic<double> audioDataLevel_{0.0};
    std::unique_ptr<AudioFileStream> audioOutput_;
    // What the audio thread writes to, and whether it is inside a write.
    std::atomic<AudioFileStream*> liveOutput_{nullptr};
    std::atomic<bool> writing_{false};
    // Written by the audio thread only (a load and a store, no read-modify-write).
    std::atomic<std::int64_t> lostFrames_{0};
    std::atomic<std::uint64_t> heardBuffers_{0};  // audio thread writes, as lostFrames_
    // The buffers of a cycle that hold the mix; the parts after them hold the
    // same sound again, so the silence check and the trigger skip them.
    std::atomic<std::uint32_t> mixBuffers_{0};
    std::atomic<std::int64_t> frameLimit_{0};
    std::atomic<std::int64_t> partFrames_{0};
    // The part made ahead, until the audio thread takes it (and publishes it
    // as liveOutput_); the main thread owns it in nextOutput_ all along.
    std::unique_ptr<AudioFileStream> nextOutput_;
    std::atomic<AudioFileStream*> spareOutput_{nullptr};
    // Frames of the take's full parts: as the audio thread counts them (for
    // the frame limit), and as the main thread has taken them over.
    std::atomic<std::int64_t> partsWrited_{0};
    std::int64_t partsTaken_ = 0;
    // When start() was asked for (AudioHostTimeNow()); 0 once the take's
    // first frame is written. Set by the main thread, cleared by the audio thread.
    std::atomic<std::uint64_t> startAt_{0};
    // Audio taken in up to this long before a start is left out of the file.
    // A cycle stamped further back is mis-stamped (no server holds a second
    // for a reader that keeps up): it is written, rather than lost.
    static constexpr double kMostLeftOutSeconds = 1.0;
    // When stop() was asked for while recording (AudioHostTimeNow()); 0 otherwise.
    // The audio thread writes the frames taken in before it, then sets stopReached_.
    std::atomic<std::uint64_t> stopAt_{0};
    std::atomic<bool> stopReached_{false};
    // The host time of the latest cycle (0: not stamped), by the audio thread.
    std::atomic<std::uint64_t> lastTakenAt_{0};
    // How long stop() waits for the audio taken in before it: a fragment and
    // the server's latency, and the mixer's delay, are some 450 ms.
    static constexpr double kMostStopWaitSeconds = 0.8;
    double outputRate_ = 0;  // set before liveOutput_ is published
    // The kept audio: the main thread makes and replaces it while the audio
    // thread is held off (holdAudioThread), and publishes it in liveRing_.
    double keepSeconds_ = 0;
    std::unique_ptr<PreRollRing> ring_;
    std::atomic<PreRollRing*> liveRing_{nullptr};
    // What a start asks the audio thread for, set before writing is unpaused; taken at the take's first frame.
    std::atomic<std::int64_t> preRollFrames_{0};
    std::atomic<std::int64_t> startFrame_{-1};
    // The audio thread's: the next kept frame the output takes, and which output that is for.
    std::int64_t readFrom_ = 0;
    const AudioFileStream* readFor_ = nullptr;
    // The largest piece written at a time: the file's queue takes all of a piece or none of it.
    static constexpr std::int32_t kMostFramesPerWrite = 4096;
    // Armed: the trigger is the audio thread's while armed_ is set, and the
    // main thread's (holdAudioThread) to replace.
    SoundTrigger trigger_;
    std::atomic<bool> armed_{false};
    std::atomic<std::int64_t> triggerStart_{-1};
    std::atomic<std::int64_t> triggerStop_{-1};
    // Set by the hardware layer's listener on its own thread, taken by the main thread.
    static OSStatus onDevicesChanged(AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*, void* self);
    std::atomic<bool> devicesChanged_{false};
    bool watchingDevices_ = false;
    // Last: its destructor waits for the files handed to it.
    RecordCompleter completer_;
};

template <class Action> void AudioRecordMicDevice::makeAudioBufferFrames(std::int32_t frames, Action&& action)
{
    const AudioStreamBasicDescription format = deviceFormat_;
    const std::uint32_t channels = cycleBuffers();
    const std::uint32_t count = frames > 0 ? std::uint32_t(frames) : 0;
    if (count > scratchFrames_)
        return;  // more than the unit promised; never reached with a well-behaved unit
    AudioBufferList list;
    list.mNumberBuffers = channels;
    for (std::uint32_t c = 0; c < channels; ++c) {
        float* data = scratch_.data() + std::size_t(c) * scratchFrames_;
        std::fill_n(data, count, 0.0f);
        list.mBuffers[c] = {1, format.mBytesPerFrame * count, data};
    }
    action(&list);
}
