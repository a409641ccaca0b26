#include "platform/pulse/PulseAudioBackend.h"

#include "platform/PropertyData.h"
#include "platform/pulse/PulseCaptureUnit.h"

#include <algorithm>
#include <cstring>
#include <vector>

using pulse::DeviceInfo;

// The server's events as property changes of the system object. The
// listeners change on the main thread under the watched connection's lock,
// which the loop thread holds while it calls them.
class PulseAudioBackend::DeviceEvents final : private pulse::ServerEventWatcher {
public:
    struct Listener {
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc proc;
        void* data;
    };

    ~DeviceEvents() { follow(nullptr); }

    void add(const Listener& listener)
    {
        pulse::MainloopLock lock(watched_ ? watched_->loop() : nullptr);
        listeners_.push_back(listener);
    }

    bool remove(const Listener& l)
    {
        pulse::MainloopLock lock(watched_ ? watched_->loop() : nullptr);
        return std::erase_if(listeners_, [&](const Listener& x) {
            return x.address.mSelector == l.address.mSelector && x.proc == l.proc && x.data == l.data;
        }) > 0;
    }

    // Watches `connection` instead of the one watched so far (none: stops).
    void follow(const std::shared_ptr<PulseConnection>& connection)
    {
        if (connection == watched_)
            return;
        if (watched_) {
            pulse::MainloopLock lock(watched_->loop());
            watched_->unwatch(this);
        }
        watched_.reset();
        if (!connection)
            return;
        pulse::MainloopLock lock(connection->loop());
        if (connection->watch(this))
            watched_ = connection;
    }

private:
    // Loop thread: the addresses on the stack, the listeners called in place.
    void onServerEvent(pa_context*, pa_subscription_event_type_t event, std::uint32_t) override
    {
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        const auto systemAddress = [](std::uint32_t selector) {
            return AudioObjectPropertyAddress{
                selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
        };
        AudioObjectPropertyAddress changed[3];
        std::uint32_t count = 0;
        // A source's or sink's own changes (volume, state) leave the list as it is.
        if ((facility == PA_SUBSCRIPTION_EVENT_SOURCE || facility == PA_SUBSCRIPTION_EVENT_SINK)
            && type != PA_SUBSCRIPTION_EVENT_CHANGE)
            changed[count++] = systemAddress(kAudioHardwarePropertyDevices);
        // A stream that comes or goes may be an application's first or last.
        if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && type != PA_SUBSCRIPTION_EVENT_CHANGE)
            changed[count++] = systemAddress(kAudioHardwarePropertyProcessObjectList);
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            changed[count++] = systemAddress(kAudioHardwarePropertyDefaultInputDevice);
            changed[count++] = systemAddress(kAudioHardwarePropertyDefaultOutputDevice);
        }
        for (const Listener& listener : listeners_)
            for (std::uint32_t i = 0; i < count; ++i)
                if (changed[i].mSelector == listener.address.mSelector)
                    listener.proc(kAudioObjectSystemObject, 1, &changed[i], listener.data);
    }

    std::shared_ptr<PulseConnection> watched_;
    std::vector<Listener> listeners_;
};

PulseAudioBackend::PulseAudioBackend(std::shared_ptr<PulseConnector> connector)
    : connector_(std::move(connector)), events_(std::make_shared<DeviceEvents>())
{ }

std::shared_ptr<PulseConnection> PulseAudioBackend::connection()
{
    auto conn = connector_->connection();
    if (conn)
        events_->follow(conn);
    return conn;
}

OSStatus PulseAudioBackend::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
    AudioObjectPropertyListenerProc listener, void* clientData)
{
    const auto s = address.mSelector;
    if (object != kAudioObjectSystemObject
        || (s != kAudioHardwarePropertyDevices && s != kAudioHardwarePropertyDefaultInputDevice
            && s != kAudioHardwarePropertyDefaultOutputDevice && s != kAudioHardwarePropertyProcessObjectList))
        return kAudioHardwareUnknownPropertyError;
    connection();  // none yet: the listener waits for one
    events_->add({address, listener, clientData});
    return noErr;
}

OSStatus PulseAudioBackend::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
    AudioObjectPropertyListenerProc listener, void* clientData)
{
    if (object != kAudioObjectSystemObject || !events_->remove({address, listener, clientData}))
        return kAudioHardwareUnknownPropertyError;
    return noErr;
}

OSStatus PulseAudioBackend::getPropertyDataSize(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize)
{
    if (ioSize == nullptr)
        return kAudioHardwareBadPropertySizeError;
    return getPropertyData(object, address, ioSize, nullptr);
}

OSStatus PulseAudioBackend::getPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize, void* outData)
{
    // outData null: only the size is asked for (getPropertyDataSize).
    if (ioSize == nullptr)
        return kAudioHardwareBadPropertySizeError;
    const auto conn = connection();
    if (object == kAudioObjectSystemObject) {
        switch (address.mSelector) {
        case kAudioHardwarePropertyDevices: {
            std::vector<DeviceInfo> devices;
            if (!conn || !conn->devices(devices)) {
                *ioSize = 0;
                return kAudioHardwareUnspecifiedError;
            }
            const std::size_t count = outData ? std::min<std::size_t>(*ioSize / 4, devices.size()) : devices.size();
            for (std::size_t i = 0; outData && i < count; ++i) {
                const AudioObjectID id = pulse::deviceId(devices[i]);
                std::memcpy(static_cast<std::byte*>(outData) + 4 * i, &id, 4);
            }
            *ioSize = std::uint32_t(4 * count);
            return noErr;
        }
        case kAudioHardwarePropertyDefaultOutputDevice:
        case kAudioHardwarePropertyDefaultInputDevice: {
            const auto id = conn ? conn->defaultDevice(address.mSelector == kAudioHardwarePropertyDefaultOutputDevice)
                                 : std::nullopt;
            if (!id)
                return conn ? kAudioHardwareUnspecifiedError : kAudioHardwareBadObjectError;
            return writePropertyValue(*id, ioSize, outData);
        }
        case kAudioHardwarePropertyProcessObjectList: {
            if (outData == nullptr) {
                *ioSize = sizeof(std::vector<AudioProcessInfo>);
                return noErr;
            }
            if (*ioSize != sizeof(std::vector<AudioProcessInfo>))
                return kAudioHardwareBadPropertySizeError;
            if (!conn)
                return kAudioHardwareBadObjectError;
            return conn->applications(*static_cast<std::vector<AudioProcessInfo>*>(outData))
                ? noErr
                : kAudioHardwareUnspecifiedError;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    const auto d = conn ? conn->device(object) : std::nullopt;
    if (!d)
        return kAudioHardwareBadObjectError;
    switch (address.mSelector) {
    case kAudioDevicePropertyDeviceName: {
        const std::uint32_t full = std::uint32_t(d->description.size() + 1);
        // Like the platform: as many bytes as fit, the terminator only if there is room.
        const std::uint32_t n = outData ? std::min(*ioSize, full) : full;
        if (outData)
            std::memcpy(outData, d->description.c_str(), n);
        *ioSize = n;
        return noErr;
    }
    case kAudioDevicePropertyDeviceUID:
        if (outData == nullptr) {
            *ioSize = sizeof(std::string);
            return noErr;
        }
        if (*ioSize != sizeof(std::string))
            return kAudioHardwareBadPropertySizeError;
        *static_cast<std::string*>(outData) = d->name;
        return noErr;
    case kAudioDevicePropertyStreams: {
        const bool has = address.mScope == kAudioObjectPropertyScopeGlobal
            || (address.mScope == kAudioDevicePropertyScopeInput) == d->source;
        const std::uint32_t size = has ? 4 : 0;
        if (outData && has && *ioSize >= 4)
            std::memcpy(outData, &object, 4);
        *ioSize = outData ? std::min(*ioSize, size) : size;
        return noErr;
    }
    case kAudioDevicePropertyVolumeScalar:
    case kAudioDevicePropertyMute: {
        if (!d->source || address.mScope != kAudioDevicePropertyScopeInput || address.mElement == 0
            || address.mElement > d->volume.channels)
            return kAudioHardwareUnknownPropertyError;
        if (address.mSelector == kAudioDevicePropertyMute)
            return writePropertyValue(std::uint32_t(d->muted), ioSize, outData);
        return writePropertyValue(
            float(double(d->volume.values[address.mElement - 1]) / PA_VOLUME_NORM), ioSize, outData);
    }
    case kAudioDevicePropertyNominalSampleRate:
        return writePropertyValue(double(d->sampleSpec.rate), ioSize, outData);
    case kAudioDevicePropertyStreamFormat: {
        const bool wanted = address.mScope == kAudioObjectPropertyScopeGlobal
            || (address.mScope == kAudioDevicePropertyScopeInput) == d->source;
        if (!wanted)
            return kAudioHardwareUnknownPropertyError;
        return writePropertyValue(pulse::floatFormat(d->sampleSpec.rate, d->sampleSpec.channels, false), ioSize, outData);
    }
    case kAudioDevicePropertyDeviceIsAlive:
        return writePropertyValue(std::uint32_t(1), ioSize, outData);
    case kAudioDevicePropertyIsMonitor:
        return writePropertyValue(std::uint32_t(d->monitorOfSink != PA_INVALID_INDEX), ioSize, outData);
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus PulseAudioBackend::setPropertyData(
    AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*)
{
    // Nothing here is the program's to change: an input's volume and mute
    // belong to the user and every other program (the capture's level is set
    // on its own stream instead, see PulseCaptureUnit).
    return kAudioHardwareUnknownPropertyError;
}

bool PulseAudioBackend::hasCaptureComponent()
{
    return connection() != nullptr;
}

OSStatus PulseAudioBackend::newCaptureUnit(AudioComponentInstance& out)
{
    auto conn = connection();
    if (!conn)
        return kAudioUnitErr_NoConnection;
    out = makePulseCaptureUnit(std::move(conn));
    return noErr;
}
