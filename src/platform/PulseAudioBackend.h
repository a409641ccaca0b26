// The audio hardware layer on the sound server (PulseAudio, or PipeWire's
// pulse server).
//
// Devices: every source and every sink is a device in one id space, sources
// first, each in the server's index order: source index i is id 2i+2, sink
// index i is id 2i+3 (so no id is 0 or 1). Name = the description, unique
// identifier = the pulse name; sources have input streams, sinks output
// streams; 'volm' and 'mute' on input channel N act on channel N-1 of a
// source's volume (scalar s = s × 100 % on the server's volume scale) and on
// its mute.
//
// Capture units are pulse record streams in float32 on the backend's one
// threaded main loop, whose thread is the audio thread.
//
// Threads: property calls, unit set-up, start and stop on the main thread
// (any one thread, never the audio thread); AudioUnit::render on the audio
// thread inside the input call-back. The process-wide backend slot owns the
// backend; units share its connection, so they may outlive it.
#pragma once

#include "platform/AudioHardware.h"

#include <chrono>
#include <memory>
#include <mutex>

struct pa_threaded_mainloop;
struct pa_context;

class PulseAudioBackend final : public AudioBackend {
public:
    // Frames per call-back never exceed this (a ~40 ms fragment is far smaller).
    static constexpr std::uint32_t kMaximumFramesPerSlice = 8192;

    PulseAudioBackend();
    ~PulseAudioBackend() override;
    PulseAudioBackend(const PulseAudioBackend&) = delete;
    PulseAudioBackend& operator=(const PulseAudioBackend&) = delete;

    OSStatus getPropertyDataSize(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize) override;
    OSStatus getPropertyData(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize, void* outData) override;
    OSStatus setPropertyData(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size, const void* data) override;
    // False while no server can be reached.
    bool hasCaptureComponent() override;
    OSStatus newCaptureUnit(AudioComponentInstance& out) override;

    // The live connection's loop and context, for streams made outside this
    // backend (playback). owner keeps both alive; null members when no server
    // answers. Main thread.
    struct Link {
        std::shared_ptr<void> owner;
        pa_threaded_mainloop* loop = nullptr;
        pa_context* context = nullptr;
    };
    Link link();

    class Connection;

private:
    // The live connection, made on first use and again after the server went
    // away; null when none can be made (retried at most twice a second).
    std::shared_ptr<Connection> connection();

    std::mutex mutex_;
    std::shared_ptr<Connection> connection_;
    std::chrono::steady_clock::time_point nextAttempt_{};
};
