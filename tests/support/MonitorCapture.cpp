#include "support/MonitorCapture.h"

#include "support/DeviceQueries.h"
#include "support/PulseServer.h"

#include <algorithm>
#include <thread>

namespace testsupport {

AudioObjectID deviceByUid(const std::string& uid)
{
    const auto a = addr(kAudioDevicePropertyDeviceUID, kAudioDevicePropertyScopeOutput);
    for (AudioObjectID id : deviceList()) {
        std::string found;
        std::uint32_t size = sizeof found;
        if (AudioObjectGetPropertyData(id, &a, &size, &found) == noErr && found == uid)
            return id;
    }
    return 0;
}

bool setDefaultDevice(const PulseServer& server, const std::string& uid, bool output)
{
    const auto a = addr(
        output ? kAudioHardwarePropertyDefaultOutputDevice : kAudioHardwarePropertyDefaultInputDevice,
        kAudioObjectPropertyScopeGlobal);
    // WirePlumber may still be settling on a default of its own after a
    // device came or went, and move it away again: then it is asked again.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    auto askAgain = Clock::now();
    for (;;) {
        if (Clock::now() >= askAgain) {
            if (!(output ? server.setDefaultSink(uid) : server.setDefaultSource(uid)))
                return false;
            askAgain = Clock::now() + std::chrono::seconds(1);
        }
        AudioObjectID id = 0;
        std::uint32_t size = sizeof id;
        if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, &size, &id) == noErr && id != 0
            && id == deviceByUid(uid))
            return true;
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

OSStatus MonitorCapture::open(AudioObjectID device)
{
    const AudioComponentDescription d{kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple};
    AudioComponent component = AudioComponentFindNext(nullptr, &d);
    if (!component)
        return -1;
    if (OSStatus s = AudioComponentInstanceNew(component, &unit))
        return s;
    rendering_ = unit.get();
    const std::uint32_t one = 1, zero = 0;
    const AURenderCallbackStruct cb{&MonitorCapture::proc, this};
    std::uint32_t size = sizeof deviceFormat;
    OSStatus s = unit->setProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &one, 4);
    if (!s)
        s = unit->setProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &zero, 4);
    if (!s)
        s = unit->setProperty(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &device, 4);
    if (!s)
        s = unit->setProperty(kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, &cb, sizeof cb);
    if (!s)
        s = unit->getProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, &deviceFormat, &size);
    if (s)
        return s;
    format = deviceFormat;
    format.mChannelsPerFrame = std::max<std::uint32_t>(format.mChannelsPerFrame, 2);
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    format.mBytesPerFrame = format.mBytesPerPacket = 4;
    format.mFramesPerPacket = 1;
    channels_.assign(format.mChannelsPerFrame, std::vector<float>(capacity_));
    if ((s = unit->setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &format, sizeof format)))
        return s;
    if ((s = unit->initialize()))
        return s;
    return unit->start();
}

bool MonitorCapture::running() const
{
    std::uint32_t on = 0, size = 4;
    unit->getProperty(kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0, &on, &size);
    return on != 0;
}

bool MonitorCapture::waitForMore(std::size_t more, std::chrono::milliseconds timeout) const
{
    const std::size_t until = frames() + more;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (frames() < until && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return frames() >= until;
}

std::vector<float> MonitorCapture::channel(std::size_t c) const
{
    return {channels_[c].begin(), channels_[c].begin() + std::ptrdiff_t(frames())};
}

std::vector<std::uint32_t> MonitorCapture::sizes() const
{
    return {sizes_.begin(), sizes_.begin() + std::min<std::ptrdiff_t>(callbacks(), std::ptrdiff_t(sizes_.size()))};
}

// A call-back that no longer fits is counted, not rendered: the storage is full.
OSStatus MonitorCapture::proc(void* ref, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp,
    std::uint32_t bus, std::uint32_t frames, AudioBufferList*)
{
    auto* self = static_cast<MonitorCapture*>(ref);
    const std::size_t at = self->frames_.load(std::memory_order_relaxed);
    if (at + frames <= self->capacity_) {
        AudioBufferList list;
        list.mNumberBuffers = std::uint32_t(self->channels_.size());
        for (std::uint32_t c = 0; c < list.mNumberBuffers; ++c)
            list.mBuffers[c] = {1, frames * 4, self->channels_[c].data() + at};
        if (self->rendering_->render(flags, stamp, bus, frames, &list) == noErr)
            self->frames_.store(at + frames, std::memory_order_release);
    }
    const int i = self->callbacks_.load(std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    if (i > 0) {
        const double waited = std::chrono::duration<double>(now - self->last_).count();
        if (waited > self->longestWait_.load(std::memory_order_relaxed))
            self->longestWait_.store(waited, std::memory_order_release);
    }
    self->last_ = now;
    if (i < int(self->sizes_.size()))
        self->sizes_[std::size_t(i)] = frames;
    self->callbacks_.store(i + 1, std::memory_order_release);
    return noErr;
}

}  // namespace testsupport
