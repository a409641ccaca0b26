// A deterministic audio backend for tests: devices with chosen names,
// identifiers, channel counts and rates, failures injected at any set-up step,
// a record of everything written to devices and units, and capture cycles
// driven by the test itself.
//
// Install it with setAudioBackend(std::make_unique<VirtualAudio>()) and keep a
// raw, non-owning pointer to drive it; the process-wide slot owns it. Units it
// makes share its state, so a unit may outlive the backend harmlessly.
//
// Threads: every call may come from any thread. runCycle() is the test's
// "audio thread": it calls the unit's input call-back on the calling thread,
// and AudioUnit::stop(), uninitialize(), destruction and removeDevice() wait
// for a cycle under way, so no call-back runs once they return. A call-back
// must not start, stop or dispose of its own unit (the real path forbids it
// too). The locks here are the test backend's own; the real audio path has none.
#pragma once

#include "platform/AudioHardware.h"

#include <cstddef>
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
    // Starting input volume and mute of every channel.
    float volume = 1.0f;
    bool muted = false;
    // An output's monitor rather than a microphone or line input.
    bool monitor = false;
};

// The places a failure can be injected.
enum class VirtualStep {
    Component,         // hasCaptureComponent() answers false; no unit can be found
    InstanceNew,       // newCaptureUnit()
    EnableInput,       // unit EnableIO, input scope
    DisableOutput,     // unit EnableIO, output scope
    CurrentDevice,     // unit CurrentDevice
    SetInputCallback,  // unit SetInputCallback
    SetOutputFormat,   // unit StreamFormat set, output scope
    GetInputFormat,    // unit StreamFormat get, input scope
    Initialize,
    Start,
    Render,
    DeviceList,  // 'dev#' size and data
    Name,        // 'name' size and data
    UID,         // 'uid '
    Streams,     // 'stm#' size and data
    SetVolume,   // 'volm' set
    SetMute,     // 'mute' set
};

// One AudioObjectSetPropertyData call, successful or not.
struct VirtualPropertyWrite {
    AudioObjectID object = 0;
    AudioObjectPropertyAddress address;
    std::vector<std::byte> data;
    OSStatus status = noErr;  // what the call answered

    float asFloat() const;           // NaN unless data is 4 bytes
    std::uint32_t asUInt32() const;  // ~0u unless data is 4 bytes
};

// What a live unit has been told, in the order units were made.
struct VirtualUnitState {
    AudioObjectID currentDevice = 0;
    bool inputEnabled = false;  // EnableIO input scope element 1
    bool outputEnabled = true;  // EnableIO output scope element 0; on until told otherwise
    AURenderCallbackStruct callback;
    AudioStreamBasicDescription outputFormat;  // StreamFormat output scope element 1, all zero until set
    std::uint32_t maximumFramesPerSlice = 0;
    bool initialized = false;
    bool running = false;  // started, not stopped, device still present
};

class VirtualAudio final : public AudioBackend {
public:
    static constexpr std::uint32_t kDefaultMaximumFramesPerSlice = 4096;

    VirtualAudio();
    ~VirtualAudio() override;
    VirtualAudio(const VirtualAudio&) = delete;
    VirtualAudio& operator=(const VirtualAudio&) = delete;

    // Devices. Ids are unique, never 0 or 1, and never reused; 'dev#' lists
    // present devices in insertion order.
    AudioObjectID addDevice(VirtualDevice device);
    // The device vanishes: it leaves 'dev#', property calls on it fail, and a
    // unit running on it stops calling back and reports IsRunning 0. Waits for
    // a cycle under way. Returns false for an unknown id.
    bool removeDevice(AudioObjectID device);
    void setDefaultOutputDevice(AudioObjectID device);  // 'dOut'; 0 means none
    void setDefaultInputDevice(AudioObjectID device);   // 'dIn '; 0 means none

    // Failures: failNext fails the step once, failAlways until cleared. A
    // one-shot failure is used before a standing one.
    void failNext(VirtualStep step, OSStatus status = kAudioHardwareUnspecifiedError);
    void failAlways(VirtualStep step, OSStatus status = kAudioHardwareUnspecifiedError);
    void clearFailures();

    // Everything written through setPropertyData, in call order.
    std::vector<VirtualPropertyWrite> propertyWrites() const;
    void clearPropertyWrites();
    // A device's current input volume and mute of one channel (1-based);
    // none for an unknown device or channel.
    std::optional<float> inputVolume(AudioObjectID device, std::uint32_t channel) const;
    std::optional<bool> inputMuted(AudioObjectID device, std::uint32_t channel) const;

    // Units.
    std::vector<VirtualUnitState> units() const;  // live units, in creation order
    int unitsCreated() const;                     // all units ever made, disposed ones included

    // One capture cycle for the unit running on `device`: its input call-back
    // is called on this thread with `frames` frames, and render() inside it
    // copies sample(channel, frame) for the device's channels (a one-channel
    // device's sample goes into every buffer, as the sound server spreads
    // mono). False when no unit with an input call-back is running on the
    // device, or frames exceeds the unit's MaximumFramesPerSlice; true once
    // the call-back was called.
    using SampleFunction = std::function<float(std::uint32_t channel, std::uint32_t frame)>;
    bool runCycle(AudioObjectID device, std::uint32_t frames, const SampleFunction& sample);
    // The same with one vector per device channel, all of one length.
    bool runCycle(AudioObjectID device, const std::vector<std::vector<float>>& channels);

    // AudioBackend.
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
    std::shared_ptr<Core> core_;
};
