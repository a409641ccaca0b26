// Captures a device through the installed backend's capture unit into storage
// set aside before it starts: the call-back only renders, copies and counts.
// Float, one buffer per channel, at the device's rate, at least two channels.
// Main thread, except the call-back (the audio thread).
#pragma once

#include "platform/AudioHardware.h"

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

class PulseServer;

// The device whose unique identifier is `uid`, or 0.
AudioObjectID deviceByUid(const std::string& uid);

// Makes `uid` the server's default output (or input) and waits until this
// process's own connection names it too: PipeWire answers each client from
// that client's view, which may trail the one that set it by a moment.
bool setDefaultDevice(const PulseServer& server, const std::string& uid, bool output);

class MonitorCapture {
public:
    explicit MonitorCapture(std::size_t capacityFrames) : capacity_(capacityFrames) { }
    // The unit goes before the storage its call-back fills, even when a test stops early.
    ~MonitorCapture() { unit.reset(); }

    // The set-up sequence of a capture device; the first failing status, or noErr.
    OSStatus open(AudioObjectID device);
    std::size_t frames() const { return frames_.load(std::memory_order_acquire); }
    int callbacks() const { return callbacks_.load(std::memory_order_acquire); }
    bool running() const;
    // Waits until `frames` more have arrived (or `timeout` passed); true if they did.
    bool waitForMore(std::size_t frames, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // What was captured of one channel, and the call-backs' sizes; read them after stopping.
    std::vector<float> channel(std::size_t c) const;
    std::vector<std::uint32_t> sizes() const;
    // The longest time between two call-backs as they came, in seconds: how
    // long the server held the device's sound back at most.
    double longestWait() const { return longestWait_.load(std::memory_order_acquire); }

    AudioComponentInstance unit;
    AudioStreamBasicDescription deviceFormat{}, format{};

private:
    static OSStatus proc(void* ref, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, std::uint32_t bus,
        std::uint32_t frames, AudioBufferList*);

    // What the call-back renders from: `unit` itself reads null while a
    // disposal waits to stop the call-backs, which may still run meanwhile.
    AudioUnit* rendering_ = nullptr;
    std::size_t capacity_;
    std::vector<std::vector<float>> channels_;
    std::vector<std::uint32_t> sizes_ = std::vector<std::uint32_t>(4096);
    std::atomic<std::size_t> frames_{0};
    std::atomic<int> callbacks_{0};
    std::chrono::steady_clock::time_point last_;  // the call-backs' own
    std::atomic<double> longestWait_{0};
};

}  // namespace testsupport
