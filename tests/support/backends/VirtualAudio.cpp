#include "support/backends/VirtualAudio.h"
#include "platform/PropertyData.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>

namespace {

struct DeviceRecord {
    AudioObjectID id = 0;
    VirtualDevice device;
    std::vector<float> volume;  // per input channel, index = element - 1
    std::vector<bool> muted;
};

AudioStreamBasicDescription floatFormat(double rate, std::uint32_t channels, bool nonInterleaved = false)
{
    AudioStreamBasicDescription f;
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags
        = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | (nonInterleaved ? kAudioFormatFlagIsNonInterleaved : 0);
    f.mBitsPerChannel = 32;
    f.mChannelsPerFrame = channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = f.mBytesPerPacket = nonInterleaved ? 4 : 4 * channels;
    return f;
}

}  // namespace

class VirtualUnit;

struct VirtualAudio::Core {
    // Held for the whole of a capture cycle, so whoever stops a unit waits it out.
    std::mutex cycleMutex;
    // Guards everything below. Always taken after cycleMutex, never before.
    mutable std::mutex mutex;
    std::vector<DeviceRecord> devices;
    AudioObjectID nextId = 2;
    AudioObjectID defaultOutput = 0;
    AudioObjectID defaultInput = 0;
    std::map<VirtualStep, std::deque<OSStatus>> nextFailures;
    std::map<VirtualStep, OSStatus> standingFailures;
    std::vector<VirtualPropertyWrite> writes;
    std::vector<VirtualUnit*> units;
    int unitsCreated = 0;

    // With mutex held.
    OSStatus failure(VirtualStep step)
    {
        if (auto it = nextFailures.find(step); it != nextFailures.end() && !it->second.empty()) {
            const OSStatus status = it->second.front();
            it->second.pop_front();
            return status;
        }
        if (auto it = standingFailures.find(step); it != standingFailures.end())
            return it->second;
        return noErr;
    }

    DeviceRecord* find(AudioObjectID id)
    {
        for (auto& d : devices)
            if (d.id == id)
                return &d;
        return nullptr;
    }
};

// A unit of the virtual backend. State is guarded by the core's mutex; the
// cycle fields are touched only by the thread running a cycle, under cycleMutex.
class VirtualUnit final : public AudioUnit {
public:
    explicit VirtualUnit(std::shared_ptr<VirtualAudio::Core> core) : core_(std::move(core))
    {
        state_.maximumFramesPerSlice = VirtualAudio::kDefaultMaximumFramesPerSlice;
    }

    ~VirtualUnit() override
    {
        std::scoped_lock lock(core_->cycleMutex, core_->mutex);
        std::erase(core_->units, this);
    }

    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, const void* data,
        std::uint32_t size) override
    {
        std::lock_guard lock(core_->mutex);
        switch (id) {
        case kAudioOutputUnitProperty_EnableIO: {
            const bool input = scope == kAudioUnitScope_Input && element == 1;
            const bool output = scope == kAudioUnitScope_Output && element == 0;
            if (!input && !output)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = core_->failure(input ? VirtualStep::EnableInput : VirtualStep::DisableOutput))
                return s;
            std::uint32_t on = 0;
            if (OSStatus s = readPropertyValue(data, size, on))
                return s;
            if (state_.initialized)
                return kAudioUnitErr_CannotDoInCurrentContext;
            (input ? state_.inputEnabled : state_.outputEnabled) = on != 0;
            return noErr;
        }
        case kAudioOutputUnitProperty_CurrentDevice: {
            if (scope != kAudioUnitScope_Global)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = core_->failure(VirtualStep::CurrentDevice))
                return s;
            AudioObjectID device = 0;
            if (OSStatus s = readPropertyValue(data, size, device))
                return s;
            if (state_.initialized)
                return kAudioUnitErr_CannotDoInCurrentContext;
            if (core_->find(device) == nullptr)
                return kAudioHardwareBadObjectError;
            state_.currentDevice = device;
            return noErr;
        }
        case kAudioOutputUnitProperty_SetInputCallback: {
            if (scope != kAudioUnitScope_Global)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = core_->failure(VirtualStep::SetInputCallback))
                return s;
            AURenderCallbackStruct callback;
            if (OSStatus s = readPropertyValue(data, size, callback))
                return s;
            if (state_.running)
                return kAudioUnitErr_CannotDoInCurrentContext;
            state_.callback = callback;
            return noErr;
        }
        case kAudioUnitProperty_StreamFormat: {
            if (scope != kAudioUnitScope_Output || element != 1)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = core_->failure(VirtualStep::SetOutputFormat))
                return s;
            AudioStreamBasicDescription f;
            if (OSStatus s = readPropertyValue(data, size, f))
                return s;
            if (state_.initialized)
                return kAudioUnitErr_CannotDoInCurrentContext;
            const DeviceRecord* device = core_->find(state_.currentDevice);
            const std::uint32_t least = device ? std::max<std::uint32_t>(device->device.inputChannels, 1) : 1;
            const bool floatNonInterleaved = f.mFormatID == kAudioFormatLinearPCM
                && (f.mFormatFlags & kAudioFormatFlagIsFloat) && (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved)
                && !(f.mFormatFlags & kAudioFormatFlagIsBigEndian) && f.mBitsPerChannel == 32 && f.mBytesPerFrame == 4
                && f.mFramesPerPacket == 1 && f.mBytesPerPacket == 4;
            if (!floatNonInterleaved || f.mChannelsPerFrame < least || f.mChannelsPerFrame > kMaxAudioChannels
                || (device && f.mSampleRate != device->device.sampleRate))
                return kAudioFormatUnsupportedDataFormatError;
            state_.outputFormat = f;
            return noErr;
        }
        default:
            return kAudioUnitErr_InvalidProperty;
        }
    }

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* data,
        std::uint32_t* ioSize) override
    {
        std::lock_guard lock(core_->mutex);
        // What the capture device asks of a unit; nothing else is answered.
        switch (id) {
        case kAudioUnitProperty_StreamFormat: {
            if (element != 1 || scope != kAudioUnitScope_Input)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = core_->failure(VirtualStep::GetInputFormat))
                return s;
            const DeviceRecord* device = core_->find(state_.currentDevice);
            if (device == nullptr)
                return kAudioUnitErr_NoConnection;
            return writePropertyValue(floatFormat(device->device.sampleRate, device->device.inputChannels), ioSize, data);
        }
        case kAudioUnitProperty_MaximumFramesPerSlice:
            return writePropertyValue(state_.maximumFramesPerSlice, ioSize, data);
        case kAudioOutputUnitProperty_IsRunning:
            return writePropertyValue(std::uint32_t(state_.running), ioSize, data);
        default:
            return kAudioUnitErr_InvalidProperty;
        }
    }

    OSStatus initialize() override
    {
        std::lock_guard lock(core_->mutex);
        if (OSStatus s = core_->failure(VirtualStep::Initialize))
            return s;
        const DeviceRecord* device = core_->find(state_.currentDevice);
        if (device == nullptr)
            return kAudioUnitErr_NoConnection;
        if (state_.outputFormat.mFormatID == 0)
            state_.outputFormat = floatFormat(device->device.sampleRate, device->device.inputChannels, true);
        state_.initialized = true;
        return noErr;
    }

    OSStatus uninitialize() override
    {
        std::scoped_lock lock(core_->cycleMutex, core_->mutex);
        state_.running = false;
        state_.initialized = false;
        return noErr;
    }

    OSStatus start() override
    {
        std::lock_guard lock(core_->mutex);
        if (OSStatus s = core_->failure(VirtualStep::Start))
            return s;
        if (!state_.initialized)
            return kAudioUnitErr_Uninitialized;
        if (core_->find(state_.currentDevice) == nullptr)
            return kAudioUnitErr_NoConnection;
        state_.running = true;
        return noErr;
    }

    OSStatus stop() override
    {
        std::scoped_lock lock(core_->cycleMutex, core_->mutex);
        state_.running = false;
        return noErr;
    }

    OSStatus render(AudioUnitRenderActionFlags*, const AudioTimeStamp*, std::uint32_t, std::uint32_t frames,
        AudioBufferList* ioData) override
    {
        if (cycle_.sample == nullptr)
            return kAudioUnitErr_CannotDoInCurrentContext;
        {
            std::lock_guard lock(core_->mutex);
            if (OSStatus s = core_->failure(VirtualStep::Render))
                return s;
        }
        if (ioData == nullptr)
            return kAudioUnitErr_InvalidParameter;
        if (frames > cycle_.frames)
            return kAudioUnitErr_TooManyFramesToProcess;
        const std::uint32_t buffers = std::min(ioData->mNumberBuffers, cycle_.outputChannels);
        for (std::uint32_t b = 0; b < buffers; ++b) {
            AudioBuffer& buffer = ioData->mBuffers[b];
            auto* out = static_cast<float*>(buffer.mData);
            const std::uint32_t n = out ? std::min(frames, buffer.mDataByteSize / 4) : 0;
            const bool mono = cycle_.deviceChannels == 1;
            for (std::uint32_t f = 0; f < n; ++f)
                out[f] = mono ? (*cycle_.sample)(0, f) : b < cycle_.deviceChannels ? (*cycle_.sample)(b, f) : 0.0f;
            buffer.mDataByteSize = n * 4;
        }
        return noErr;
    }

    // Everything below: with the core's mutex held, or (cycle_) by the cycle's thread.
    VirtualUnitState state_;
    struct Cycle {
        const VirtualAudio::SampleFunction* sample = nullptr;
        std::uint32_t frames = 0;
        std::uint32_t deviceChannels = 0;
        std::uint32_t outputChannels = 0;
    } cycle_;
    double sampleTime_ = 0;

private:
    std::shared_ptr<VirtualAudio::Core> core_;
};

float VirtualPropertyWrite::asFloat() const
{
    float v = std::numeric_limits<float>::quiet_NaN();
    if (data.size() == sizeof v)
        std::memcpy(&v, data.data(), sizeof v);
    return v;
}

std::uint32_t VirtualPropertyWrite::asUInt32() const
{
    std::uint32_t v = ~0u;
    if (data.size() == sizeof v)
        std::memcpy(&v, data.data(), sizeof v);
    return v;
}

VirtualAudio::VirtualAudio() : core_(std::make_shared<Core>()) { }

VirtualAudio::~VirtualAudio() = default;

AudioObjectID VirtualAudio::addDevice(VirtualDevice device)
{
    std::lock_guard lock(core_->mutex);
    DeviceRecord record;
    record.id = core_->nextId++;
    record.volume.assign(device.inputChannels, device.volume);
    record.muted.assign(device.inputChannels, device.muted);
    record.device = std::move(device);
    core_->devices.push_back(std::move(record));
    return core_->devices.back().id;
}

bool VirtualAudio::removeDevice(AudioObjectID device)
{
    std::scoped_lock lock(core_->cycleMutex, core_->mutex);
    const auto erased = std::erase_if(core_->devices, [&](const DeviceRecord& d) { return d.id == device; });
    for (VirtualUnit* unit : core_->units)
        if (unit->state_.currentDevice == device)
            unit->state_.running = false;
    return erased > 0;
}

void VirtualAudio::setDefaultOutputDevice(AudioObjectID device)
{
    std::lock_guard lock(core_->mutex);
    core_->defaultOutput = device;
}

void VirtualAudio::setDefaultInputDevice(AudioObjectID device)
{
    std::lock_guard lock(core_->mutex);
    core_->defaultInput = device;
}

void VirtualAudio::failNext(VirtualStep step, OSStatus status)
{
    std::lock_guard lock(core_->mutex);
    core_->nextFailures[step].push_back(status);
}

void VirtualAudio::failAlways(VirtualStep step, OSStatus status)
{
    std::lock_guard lock(core_->mutex);
    core_->standingFailures[step] = status;
}

void VirtualAudio::clearFailures()
{
    std::lock_guard lock(core_->mutex);
    core_->nextFailures.clear();
    core_->standingFailures.clear();
}

std::vector<VirtualPropertyWrite> VirtualAudio::propertyWrites() const
{
    std::lock_guard lock(core_->mutex);
    return core_->writes;
}

void VirtualAudio::clearPropertyWrites()
{
    std::lock_guard lock(core_->mutex);
    core_->writes.clear();
}

std::optional<float> VirtualAudio::inputVolume(AudioObjectID device, std::uint32_t channel) const
{
    std::lock_guard lock(core_->mutex);
    const DeviceRecord* d = core_->find(device);
    if (d == nullptr || channel == 0 || channel > d->volume.size())
        return std::nullopt;
    return d->volume[channel - 1];
}

std::optional<bool> VirtualAudio::inputMuted(AudioObjectID device, std::uint32_t channel) const
{
    std::lock_guard lock(core_->mutex);
    const DeviceRecord* d = core_->find(device);
    if (d == nullptr || channel == 0 || channel > d->muted.size())
        return std::nullopt;
    return bool(d->muted[channel - 1]);
}

std::vector<VirtualUnitState> VirtualAudio::units() const
{
    std::lock_guard lock(core_->mutex);
    std::vector<VirtualUnitState> states;
    for (const VirtualUnit* unit : core_->units)
        states.push_back(unit->state_);
    return states;
}

int VirtualAudio::unitsCreated() const
{
    std::lock_guard lock(core_->mutex);
    return core_->unitsCreated;
}

bool VirtualAudio::runCycle(AudioObjectID device, std::uint32_t frames, const SampleFunction& sample)
{
    std::lock_guard cycleLock(core_->cycleMutex);
    VirtualUnit* unit = nullptr;
    AURenderCallbackStruct callback;
    AudioTimeStamp stamp;
    {
        std::lock_guard lock(core_->mutex);
        const DeviceRecord* d = core_->find(device);
        if (d == nullptr)
            return false;
        for (VirtualUnit* u : core_->units)
            if (u->state_.running && u->state_.currentDevice == device) {
                unit = u;
                break;
            }
        if (unit == nullptr || unit->state_.callback.inputProc == nullptr
            || frames > unit->state_.maximumFramesPerSlice)
            return false;
        callback = unit->state_.callback;
        unit->cycle_ = {&sample, frames, d->device.inputChannels, unit->state_.outputFormat.mChannelsPerFrame};
        stamp.mSampleTime = unit->sampleTime_;
        unit->sampleTime_ += frames;
    }
    // The unit cannot stop, vanish or be destroyed while cycleMutex is held.
    AudioUnitRenderActionFlags flags = 0;
    callback.inputProc(callback.inputProcRefCon, &flags, &stamp, 1, frames, nullptr);
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

OSStatus VirtualAudio::getPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize, void* outData)
{
    // outData null: only the size is asked for (getPropertyDataSize).
    if (ioSize == nullptr)
        return kAudioHardwareBadPropertySizeError;
    std::lock_guard lock(core_->mutex);
    const std::uint32_t selector = address.mSelector;
    if (object == kAudioObjectSystemObject) {
        switch (selector) {
        case kAudioHardwarePropertyDevices: {
            if (OSStatus s = core_->failure(VirtualStep::DeviceList))
                return s;
            const std::size_t all = core_->devices.size();
            const std::size_t count = outData ? std::min<std::size_t>(*ioSize / 4, all) : all;
            auto* ids = static_cast<std::byte*>(outData);
            for (std::size_t i = 0; outData && i < count; ++i)
                std::memcpy(ids + 4 * i, &core_->devices[i].id, 4);
            *ioSize = std::uint32_t(4 * count);
            return noErr;
        }
        case kAudioHardwarePropertyDefaultOutputDevice:
            return writePropertyValue(core_->defaultOutput, ioSize, outData);
        case kAudioHardwarePropertyDefaultInputDevice:
            return writePropertyValue(core_->defaultInput, ioSize, outData);
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }
    const DeviceRecord* d = core_->find(object);
    if (d == nullptr)
        return kAudioHardwareBadObjectError;
    const VirtualDevice& dev = d->device;
    switch (selector) {
    case kAudioDevicePropertyDeviceName: {
        if (OSStatus s = core_->failure(VirtualStep::Name))
            return s;
        // Like the platform: as many bytes as fit, the terminator only if there is room.
        const auto full = std::uint32_t(dev.name.size() + 1);
        const std::uint32_t n = outData ? std::min(*ioSize, full) : full;
        if (outData)
            std::memcpy(outData, dev.name.c_str(), n);
        *ioSize = n;
        return noErr;
    }
    case kAudioDevicePropertyDeviceUID:
        if (OSStatus s = core_->failure(VirtualStep::UID))
            return s;
        if (outData == nullptr) {
            *ioSize = sizeof(std::string);
            return noErr;
        }
        if (*ioSize != sizeof(std::string))
            return kAudioHardwareBadPropertySizeError;
        *static_cast<std::string*>(outData) = dev.uid;
        return noErr;
    case kAudioDevicePropertyStreams: {
        if (OSStatus s = core_->failure(VirtualStep::Streams))
            return s;
        std::vector<std::uint32_t> streams;
        if (dev.inputChannels > 0 && address.mScope != kAudioDevicePropertyScopeOutput)
            streams.push_back(d->id * 16 + 1);
        if (dev.outputChannels > 0 && address.mScope != kAudioDevicePropertyScopeInput)
            streams.push_back(d->id * 16 + 2);
        const std::size_t count = outData ? std::min<std::size_t>(*ioSize / 4, streams.size()) : streams.size();
        if (outData)
            std::memcpy(outData, streams.data(), 4 * count);
        *ioSize = std::uint32_t(4 * count);
        return noErr;
    }
    case kAudioDevicePropertyVolumeScalar:
    case kAudioDevicePropertyMute: {
        if (address.mScope != kAudioDevicePropertyScopeInput || address.mElement == 0
            || address.mElement > dev.inputChannels)
            return kAudioHardwareUnknownPropertyError;
        const std::size_t c = address.mElement - 1;
        if (selector == kAudioDevicePropertyVolumeScalar)
            return writePropertyValue(d->volume[c], ioSize, outData);
        return writePropertyValue(std::uint32_t(d->muted[c]), ioSize, outData);
    }
    case kAudioDevicePropertyNominalSampleRate:
        return writePropertyValue(dev.sampleRate, ioSize, outData);
    case kAudioDevicePropertyStreamFormat: {
        const bool output = address.mScope == kAudioDevicePropertyScopeOutput
            || (address.mScope == kAudioObjectPropertyScopeGlobal && dev.inputChannels == 0);
        const std::uint32_t channels = output ? dev.outputChannels : dev.inputChannels;
        if (channels == 0)
            return kAudioHardwareUnknownPropertyError;
        return writePropertyValue(floatFormat(dev.sampleRate, channels), ioSize, outData);
    }
    case kAudioDevicePropertyDeviceIsAlive:
        return writePropertyValue(std::uint32_t(1), ioSize, outData);
    case kAudioDevicePropertyIsMonitor:
        return writePropertyValue(std::uint32_t(dev.monitor), ioSize, outData);
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus VirtualAudio::setPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size, const void* data)
{
    std::lock_guard lock(core_->mutex);
    VirtualPropertyWrite write;
    write.object = object;
    write.address = address;
    if (data != nullptr)
        write.data.assign(static_cast<const std::byte*>(data), static_cast<const std::byte*>(data) + size);

    const auto status = [&]() -> OSStatus {
        DeviceRecord* d = object == kAudioObjectSystemObject ? nullptr : core_->find(object);
        if (d == nullptr)
            return object == kAudioObjectSystemObject ? kAudioHardwareUnknownPropertyError
                                                      : kAudioHardwareBadObjectError;
        const bool volume = address.mSelector == kAudioDevicePropertyVolumeScalar;
        if (!volume && address.mSelector != kAudioDevicePropertyMute)
            return kAudioHardwareUnknownPropertyError;
        if (OSStatus s = core_->failure(volume ? VirtualStep::SetVolume : VirtualStep::SetMute))
            return s;
        if (address.mScope != kAudioDevicePropertyScopeInput || address.mElement == 0
            || address.mElement > d->device.inputChannels)
            return kAudioHardwareUnknownPropertyError;
        const std::size_t c = address.mElement - 1;
        if (volume) {
            float v = 0;
            if (OSStatus s = readPropertyValue(data, size, v))
                return s;
            d->volume[c] = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
        } else {
            std::uint32_t m = 0;
            if (OSStatus s = readPropertyValue(data, size, m))
                return s;
            d->muted[c] = m != 0;
        }
        return noErr;
    }();
    write.status = status;
    core_->writes.push_back(std::move(write));
    return status;
}

bool VirtualAudio::hasCaptureComponent()
{
    std::lock_guard lock(core_->mutex);
    return core_->failure(VirtualStep::Component) == noErr;
}

OSStatus VirtualAudio::newCaptureUnit(AudioComponentInstance& out)
{
    {
        std::lock_guard lock(core_->mutex);
        if (OSStatus s = core_->failure(VirtualStep::InstanceNew))
            return s;
    }
    auto unit = std::make_unique<VirtualUnit>(core_);
    {
        std::lock_guard lock(core_->mutex);
        core_->units.push_back(unit.get());
        ++core_->unitsCreated;
    }
    out = std::move(unit);
    return noErr;
}
