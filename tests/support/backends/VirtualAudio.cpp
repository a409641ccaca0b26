#include "support/backends/VirtualAudio.h"
#include "platform/PropertyData.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace {

constexpr std::uint32_t kMaximumFramesPerSlice = 4096;

struct DeviceRecord {
    AudioObjectID id;
    VirtualDevice device;
};

// What a unit captures of its device: an output's channels when it records what that output plays.
std::uint32_t capturedChannels(const DeviceRecord& d, const VirtualUnitState& unit)
{
    return unit.capturesSystemAudio ? d.device.outputChannels : d.device.inputChannels;
}

// As many ids as the caller's buffer holds.
OSStatus answerIds(const std::vector<AudioObjectID>& ids, std::uint32_t* ioSize, void* outData)
{
    const std::size_t count = outData ? std::min<std::size_t>(*ioSize / 4, ids.size()) : ids.size();
    if (outData)
        std::memcpy(outData, ids.data(), 4 * count);
    *ioSize = std::uint32_t(4 * count);
    return noErr;
}

}  // namespace

class VirtualUnit;

struct VirtualAudio::Core {
    // Held for a whole capture cycle, so whoever stops a unit waits it out.
    std::mutex cycleMutex;
    // Guards everything below. Taken after cycleMutex, never before.
    std::mutex mutex;
    std::vector<DeviceRecord> devices;
    AudioObjectID nextId = 2;
    AudioObjectID defaultOutput = 0;
    AudioObjectID defaultInput = 0;
    std::map<VirtualStep, std::deque<OSStatus>> nextFailures;
    std::map<VirtualStep, OSStatus> standingFailures;
    std::vector<VirtualUnit*> units;
    int unitsCreated = 0;

    // Allocates nothing: it runs inside capture cycles, which are checked for that.
    OSStatus failure(VirtualStep step)
    {
        if (auto queued = nextFailures.find(step); queued != nextFailures.end() && !queued->second.empty()) {
            const OSStatus status = queued->second.front();
            queued->second.pop_front();
            return status;
        }
        const auto standing = standingFailures.find(step);
        return standing == standingFailures.end() ? noErr : standing->second;
    }

    DeviceRecord* find(AudioObjectID id)
    {
        const auto it = std::find_if(devices.begin(), devices.end(), [id](auto& d) { return d.id == id; });
        return it == devices.end() ? nullptr : &*it;
    }
};

// state_ is guarded by the core's mutex; cycle_ belongs to the thread running
// a cycle, under cycleMutex.
class VirtualUnit final : public AudioUnit {
public:
    explicit VirtualUnit(std::shared_ptr<VirtualAudio::Core> core) : core_(std::move(core)) { }

    ~VirtualUnit() override
    {
        std::scoped_lock lock(core_->cycleMutex, core_->mutex);
        std::erase(core_->units, this);
    }

    OSStatus setProperty(
        AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement, const void* data, std::uint32_t size) override
    {
        std::lock_guard lock(core_->mutex);
        AudioStreamBasicDescription f;
        switch (id) {
        case kAudioOutputUnitProperty_EnableIO:
            return core_->failure(
                scope == kAudioUnitScope_Input ? VirtualStep::EnableInput : VirtualStep::DisableOutput);
        case kAudioOutputUnitProperty_CurrentDevice:
            if (OSStatus s = take(VirtualStep::CurrentDevice, data, size, state_.currentDevice))
                return s;
            return core_->find(state_.currentDevice) ? noErr : kAudioHardwareBadObjectError;
        case kAudioOutputUnitProperty_SetInputCallback:
            return take(VirtualStep::SetInputCallback, data, size, state_.callback);
        case kAudioOutputUnitProperty_FollowsDefaultInput:
            return readPropertyValue(data, size, state_.followsDefault);
        case kAudioOutputUnitProperty_SeparateSources:
            return readPropertyValue(data, size, state_.separates);
        case kAudioOutputUnitProperty_CaptureSystemAudio:
            if (OSStatus s = readPropertyValue(data, size, state_.capturesSystemAudio))
                return s;
            if (state_.capturesSystemAudio)
                state_.currentDevice = core_->defaultOutput;
            return noErr;
        case kAudioUnitProperty_StreamFormat:
            // Taken as asked: the tests check the format the capture path asks for.
            if (OSStatus s = take(VirtualStep::SetOutputFormat, data, size, f))
                return s;
            state_.outputChannels = f.mChannelsPerFrame;
            return noErr;
        default:
            return kAudioUnitErr_InvalidProperty;
        }
    }

    OSStatus getProperty(
        AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, void* data, std::uint32_t* ioSize) override
    {
        std::lock_guard lock(core_->mutex);
        switch (id) {
        case kAudioUnitProperty_StreamFormat: {
            if (OSStatus s = core_->failure(VirtualStep::GetInputFormat))
                return s;
            const DeviceRecord* device = core_->find(state_.currentDevice);
            if (device == nullptr)
                return kAudioUnitErr_NoConnection;
            // The device's own format, interleaved float: rate, format, flags, bytes
            // per packet, frames per packet, bytes per frame, channels, bits.
            const std::uint32_t c = capturedChannels(*device, state_);
            const AudioStreamBasicDescription format{device->device.sampleRate, kAudioFormatLinearPCM,
                kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 4 * c, 1, 4 * c, c, 32};
            return writePropertyValue(format, ioSize, data);
        }
        case kAudioUnitProperty_MaximumFramesPerSlice:
            return writePropertyValue(kMaximumFramesPerSlice, ioSize, data);
        case kAudioOutputUnitProperty_IsRunning:
            return writePropertyValue(std::uint32_t(state_.running), ioSize, data);
        case kAudioOutputUnitProperty_SeparateSources:
            return writePropertyValue(std::uint32_t(state_.running && state_.separates), ioSize, data);
        default:
            return kAudioUnitErr_InvalidProperty;
        }
    }

    OSStatus initialize() override { return connect(VirtualStep::Initialize, false); }
    OSStatus start() override { return connect(VirtualStep::Start, true); }

    OSStatus stop() override
    {
        std::scoped_lock lock(core_->cycleMutex, core_->mutex);
        state_.running = false;
        return noErr;
    }
    OSStatus uninitialize() override { return stop(); }

    OSStatus render(AudioUnitRenderActionFlags*, const AudioTimeStamp*, std::uint32_t, std::uint32_t frames,
        AudioBufferList* ioData) override
    {
        if (cycle_.status != noErr)
            return cycle_.status;
        const std::uint32_t channels = cycle_.deviceChannels;
        const std::uint32_t wide = cycle_.outputChannels;
        const std::uint32_t sources = state_.separates && ioData->mNumberBuffers >= 3 * wide ? 3 : 1;
        ioData->mNumberBuffers = std::min(ioData->mNumberBuffers, sources * wide);
        for (std::uint32_t b = 0; b < ioData->mNumberBuffers; ++b) {
            AudioBuffer& buffer = ioData->mBuffers[b];
            buffer.mDataByteSize = std::min(frames, buffer.mDataByteSize / 4) * 4;
            const std::uint32_t c = b % wide;
            for (std::uint32_t f = 0; f < buffer.mDataByteSize / 4; ++f)
                static_cast<float*>(buffer.mData)[f] = channels == 1 ? (*cycle_.sample)(0, f)
                    : c < channels                                   ? (*cycle_.sample)(c, f)
                                                                     : 0.0f;
        }
        return noErr;
    }

    VirtualUnitState state_;
    struct Cycle {
        AURenderCallbackStruct callback;
        const VirtualAudio::SampleFunction* sample = nullptr;
        std::uint32_t deviceChannels = 0;
        std::uint32_t outputChannels = 0;
        OSStatus status = noErr;  // what render() answers
    } cycle_;

private:
    // With the core's mutex held: an injected failure, else the value read.
    template <class T> OSStatus take(VirtualStep step, const void* data, std::uint32_t size, T& out)
    {
        const OSStatus failed = core_->failure(step);
        return failed ? failed : readPropertyValue(data, size, out);
    }

    OSStatus connect(VirtualStep step, bool run)
    {
        std::lock_guard lock(core_->mutex);
        if (OSStatus s = core_->failure(step))
            return s;
        if (core_->find(state_.currentDevice) == nullptr)
            return kAudioUnitErr_NoConnection;
        if (run)
            state_.running = true;
        return noErr;
    }

    std::shared_ptr<VirtualAudio::Core> core_;
};

VirtualAudio::VirtualAudio() : core_(std::make_shared<Core>()) { }

VirtualAudio::~VirtualAudio() = default;

template <class F> auto VirtualAudio::locked(F f) const
{
    std::lock_guard lock(core_->mutex);
    return f(*core_);
}

AudioObjectID VirtualAudio::addDevice(VirtualDevice device)
{
    return locked([&](Core& c) {
        c.devices.push_back({c.nextId++, std::move(device)});
        return c.devices.back().id;
    });
}

bool VirtualAudio::removeDevice(AudioObjectID device)
{
    std::scoped_lock lock(core_->cycleMutex, core_->mutex);
    for (VirtualUnit* unit : core_->units)
        if (unit->state_.currentDevice == device)
            unit->state_.running = false;
    return std::erase_if(core_->devices, [&](const DeviceRecord& d) { return d.id == device; }) > 0;
}

void VirtualAudio::setDefaultOutputDevice(AudioObjectID device)
{
    locked([&](Core& c) {
        c.defaultOutput = device;
        for (VirtualUnit* unit : c.units)
            if (unit->state_.capturesSystemAudio && device != 0)
                unit->state_.currentDevice = device;
    });
}

void VirtualAudio::setDefaultInputDevice(AudioObjectID device)
{
    locked([&](Core& c) {
        c.defaultInput = device;
        for (VirtualUnit* unit : c.units)
            if (unit->state_.followsDefault && device != 0)
                unit->state_.currentDevice = device;
    });
}

void VirtualAudio::failNext(VirtualStep step, OSStatus status)
{
    locked([&](Core& c) { c.nextFailures[step].push_back(status); });
}

void VirtualAudio::failAlways(VirtualStep step, OSStatus status)
{
    locked([&](Core& c) { c.standingFailures[step] = status; });
}

void VirtualAudio::clearFailures()
{
    locked([](Core& c) {
        c.nextFailures.clear();
        c.standingFailures.clear();
    });
}

std::vector<VirtualUnitState> VirtualAudio::units() const
{
    return locked([](Core& c) {
        std::vector<VirtualUnitState> states;
        for (const VirtualUnit* unit : c.units)
            states.push_back(unit->state_);
        return states;
    });
}

int VirtualAudio::unitsCreated() const
{
    return locked([](Core& c) { return c.unitsCreated; });
}

bool VirtualAudio::runCycle(AudioObjectID device, std::uint32_t frames, const SampleFunction& sample)
{
    std::lock_guard cycleLock(core_->cycleMutex);
    VirtualUnit* unit = locked([&](Core& c) -> VirtualUnit* {
        const DeviceRecord* d = c.find(device);
        const auto it = std::find_if(c.units.begin(), c.units.end(),
            [device](const VirtualUnit* u) { return u->state_.running && u->state_.currentDevice == device; });
        if (d == nullptr || it == c.units.end() || (*it)->state_.callback.inputProc == nullptr
            || frames > kMaximumFramesPerSlice)
            return nullptr;
        const VirtualUnitState& state = (*it)->state_;
        (*it)->cycle_ = {
            state.callback, &sample, capturedChannels(*d, state), state.outputChannels, c.failure(VirtualStep::Render)};
        return *it;
    });
    if (unit == nullptr)
        return false;
    // The unit cannot stop, vanish or be destroyed while cycleMutex is held.
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp stamp;
    if ((stamp.mHostTime = stamp_))
        stamp.mFlags = kAudioTimeStampHostTimeValid;
    unit->cycle_.callback.inputProc(unit->cycle_.callback.inputProcRefCon, &flags, &stamp, 1, frames, nullptr);
    unit->cycle_ = {};
    return true;
}

bool VirtualAudio::runCycle(AudioObjectID device, const std::vector<std::vector<float>>& channels)
{
    const std::uint32_t frames = channels.empty() ? 0 : std::uint32_t(channels.front().size());
    return runCycle(device, frames, [&](std::uint32_t c, std::uint32_t f) {
        return c < channels.size() && f < channels[c].size() ? channels[c][f] : 0.0f;
    });
}

OSStatus VirtualAudio::getPropertyDataSize(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize)
{
    return getPropertyData(object, address, ioSize, nullptr);
}

// What the capture path asks of devices; anything else is unknown.
OSStatus VirtualAudio::getPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize, void* outData)
{
    if (ioSize == nullptr)
        return kAudioHardwareBadPropertySizeError;
    std::lock_guard lock(core_->mutex);
    if (object == kAudioObjectSystemObject) {
        if (address.mSelector == kAudioHardwarePropertyDefaultOutputDevice)
            return writePropertyValue(core_->defaultOutput, ioSize, outData);
        if (address.mSelector == kAudioHardwarePropertyDefaultInputDevice)
            return writePropertyValue(core_->defaultInput, ioSize, outData);
        if (address.mSelector != kAudioHardwarePropertyDevices)
            return kAudioHardwareUnknownPropertyError;
        if (OSStatus s = core_->failure(VirtualStep::DeviceList))
            return s;
        std::vector<AudioObjectID> ids;
        for (const DeviceRecord& device : core_->devices)
            ids.push_back(device.id);
        return answerIds(ids, ioSize, outData);
    }
    const DeviceRecord* d = core_->find(object);
    if (d == nullptr)
        return kAudioHardwareBadObjectError;
    switch (address.mSelector) {
    case kAudioDevicePropertyDeviceName: {
        // Like the platform: as many bytes as fit, the terminator only if there is room.
        const std::size_t full = d->device.name.size() + 1;
        *ioSize = std::uint32_t(outData ? std::min<std::size_t>(*ioSize, full) : full);
        if (outData)
            std::memcpy(outData, d->device.name.c_str(), *ioSize);
        return noErr;
    }
    case kAudioDevicePropertyDeviceUID:  // a std::string object
        if (outData && *ioSize != sizeof(std::string))
            return kAudioHardwareBadPropertySizeError;
        if (outData)
            *static_cast<std::string*>(outData) = d->device.uid;
        *ioSize = sizeof(std::string);
        return noErr;
    case kAudioDevicePropertyMute:  // the whole input's, on any of its channels
        if (address.mScope != kAudioDevicePropertyScopeInput || address.mElement == 0
            || address.mElement > d->device.inputChannels)
            return kAudioHardwareUnknownPropertyError;
        return writePropertyValue(std::uint32_t(d->device.muted), ioSize, outData);
    case kAudioDevicePropertyStreams: {
        // Input streams only: what the capture path asks for.
        const bool input = address.mScope == kAudioDevicePropertyScopeInput && d->device.inputChannels > 0;
        return answerIds(input ? std::vector{d->id * 16 + 1} : std::vector<AudioObjectID>{}, ioSize, outData);
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

// Only the user changes a device (a test, as the sound settings would): its input's mute.
OSStatus VirtualAudio::setPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size, const void* data)
{
    std::lock_guard lock(core_->mutex);
    DeviceRecord* d = core_->find(object);
    std::uint32_t muted = 0;
    if (d == nullptr || address.mSelector != kAudioDevicePropertyMute
        || address.mScope != kAudioDevicePropertyScopeInput)
        return kAudioHardwareUnknownPropertyError;
    if (OSStatus s = readPropertyValue(data, size, muted))
        return s;
    d->device.muted = muted != 0;
    return noErr;
}

bool VirtualAudio::hasCaptureComponent()
{
    return locked([](Core& c) { return c.failure(VirtualStep::Component) == noErr; });
}

OSStatus VirtualAudio::newCaptureUnit(AudioComponentInstance& out)
{
    auto unit = std::make_unique<VirtualUnit>(core_);
    locked([&](Core& c) {
        c.units.push_back(unit.get());
        ++c.unitsCreated;
    });
    out = std::move(unit);
    return noErr;
}
