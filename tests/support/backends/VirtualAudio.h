// A deterministic audio backend for tests: devices with chosen names,
// identifiers, channel counts, rates and mutes, failures injected at set-up
// steps, and capture cycles driven by the test itself.
//
// Install it with setAudioBackend() and keep a raw, non-owning pointer to
// drive it; the process-wide slot owns it. Units share its state, so a unit
// may outlive it harmlessly.
//
// Threads: any. runCycle() is the test's "audio thread"; AudioUnit::stop(),
// uninitialize(), destruction and removeDevice() wait out a cycle under way,
// as the real unit's contract demands. The locks are the test backend's own.
#pragma once

#include "platform/AudioHardware.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct VirtualDevice {
    std::string name;
    std::string uid;
    std::uint32_t inputChannels = 2;
    std::uint32_t outputChannels = 0;
    double sampleRate = 48000;
    bool muted = false;  // the input, as the user set it
};

// Where a failure can be injected: the unit's set-up calls in the capture
// path's order, a cycle's render, and the device list ('dev#').
enum class VirtualStep {
    Component,  // hasCaptureComponent() answers false
    EnableInput,
    DisableOutput,
    CurrentDevice,
    SetInputCallback,
    GetInputFormat,
    SetOutputFormat,
    Initialize,
    Start,
    Render,
    DeviceList,
};

// What a live unit has been told.
struct VirtualUnitState {
    AudioObjectID currentDevice = 0;
    AURenderCallbackStruct callback;
    std::uint32_t outputChannels = 0;  // of the StreamFormat set
    std::uint32_t followsDefault = 0;  // moves with setDefaultInputDevice()
    // Captures what the default output plays (currentDevice is that output)
    // and moves with setDefaultOutputDevice().
    std::uint32_t capturesSystemAudio = 0;
    // Asked for each source of a mix: each cycle then carries the input's and
    // the other sources' buffers after the mix's, each the same samples as the mix.
    std::uint32_t separates = 0;
    bool running = false;              // started, not stopped, device still present
};

class VirtualAudio final : public AudioBackend {
public:
    VirtualAudio();
    ~VirtualAudio() override;
    // A new one, installed as the process's backend (which owns it).
    static VirtualAudio* install()
    {
        auto made = std::make_unique<VirtualAudio>();
        VirtualAudio* audio = made.get();
        setAudioBackend(std::move(made));
        return audio;
    }

    // Ids are unique, never 0 or 1, never reused; 'dev#' lists devices in
    // the order they came.
    AudioObjectID addDevice(VirtualDevice device);
    // The device vanishes and a unit running on it stops. False for an unknown id.
    bool removeDevice(AudioObjectID device);
    void setDefaultOutputDevice(AudioObjectID device);  // 0: none; units capturing system audio move to it
    void setDefaultInputDevice(AudioObjectID device);   // units following the default move to it

    // failNext fails the step once (queued ones first), failAlways until cleared.
    void failNext(VirtualStep step, OSStatus status = kAudioHardwareUnspecifiedError);
    void failAlways(VirtualStep step, OSStatus status = kAudioHardwareUnspecifiedError);
    void clearFailures();

    std::vector<VirtualUnitState> units() const;  // live units, in creation order
    int unitsCreated() const;                     // disposed ones included

    // One capture cycle on the unit running on `device`: its input call-back
    // runs on this thread, and render() inside it copies sample(channel,
    // frame) into the buffers (a one-channel device's sample into every
    // buffer, as the sound server spreads mono; silence beyond the device's
    // channels, an output's when the unit captures what it plays). False
    // when no unit with a call-back runs on the device or frames exceeds
    // MaximumFramesPerSlice.
    using SampleFunction = std::function<float(std::uint32_t channel, std::uint32_t frame)>;
    bool runCycle(AudioObjectID device, std::uint32_t frames, const SampleFunction& sample);
    // One vector per device channel, all of one length.
    bool runCycle(AudioObjectID device, const std::vector<std::vector<float>>& channels);
    // The cycles that follow say their first frame was taken in at `hostTime`
    // (AudioHostTimeNow()'s clock); 0, as made, for cycles that do not say.
    void stampCycles(std::uint64_t hostTime) { stamp_ = hostTime; }

    OSStatus getPropertyDataSize(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize) override;
    OSStatus getPropertyData(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize, void* outData) override;
    OSStatus setPropertyData(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size, const void* data) override;
    bool hasCaptureComponent() override;
    OSStatus newCaptureUnit(AudioComponentInstance& out) override;

    struct Core;

private:
    std::atomic<std::uint64_t> stamp_{0};
    template <class F> auto locked(F f) const;  // f(core) under the core's mutex

    std::shared_ptr<Core> core_;
};
