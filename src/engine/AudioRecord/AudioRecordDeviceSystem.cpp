// Recording the computer's own sound: finding the default output's engine and
// telling the loopback driver to capture it. Main thread.
#include "AudioRecord/AudioRecordDevice.h"

#include "AudioRecord/IOService.h"

namespace {

constexpr const char* kLoopbackDriverClass = "com_Vortanx_driver_LoopbackEngine";
constexpr const char* kDriverPathKey = "kCaptureDriverPathKey";
constexpr const char* kAudioEngineClass = "IOAudioEngine";
constexpr char kIdentifierSeparator = ':';

// Whether the driver was last told an engine path. Shared by every record
// device, as there is one driver; unlocked, as only the main thread uses it.
bool connected = false;

// Empty parts included: "a::b" is "a", "", "b".
std::vector<std::string> splitIdentifier(const std::string& id)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = id.find(kIdentifierSeparator, start);
        parts.push_back(id.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

}  // namespace

std::unique_ptr<AudioRecordMicDevice> AudioRecordDevice::defaultOutputDevice() const
{
    AudioObjectID id = 0;
    std::uint32_t size = sizeof id;
    const AudioObjectPropertyAddress address{
        kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, &size, &id) != noErr)
        return nullptr;
    return std::make_unique<AudioRecordMicDevice>(id);
}

void AudioRecordDevice::connectSystemAudioRecord(bool on)
{
    if (on && !connected) {
        matchingServiceWithPath(systemAudioPath());
        connected = true;
    }
    if (connected && !on) {
        connected = false;
        matchingServiceWithPath(std::string(kDriverPathKey));
    }
}

bool AudioRecordDevice::systemAudioConnected()
{
    return connected;
}

void AudioRecordDevice::resetSystemAudioConnectedForTesting()
{
    connected = false;
}

std::optional<std::string> AudioRecordDevice::systemAudioPath() const
{
    auto engines = IOService::getServicesByClassName(kAudioEngineClass);
    std::optional<std::string> id;
    if (const auto output = defaultOutputDevice())
        id = output->uniqueID();
    if (id) {
        for (const auto& part : splitIdentifier(*id)) {
            engines = findDeviceByKey(part, engines);
            if (engines.size() == 1)
                break;
        }
    }
    if (engines.empty())
        return std::nullopt;
    return engines.back().path();
}

void AudioRecordDevice::matchingServiceWithPath(const std::optional<std::string>& path) const
{
    CFDictionary table;
    if (path)
        table[kDriverPathKey] = *path;
    const auto drivers = IOService::getServicesByClassName(kLoopbackDriverClass);
    if (drivers.empty())
        return;
    drivers.back().matchingServiceWithTable(table);
}

std::vector<IOService> AudioRecordDevice::findDeviceByKey(
    const std::string& key, const std::vector<IOService>& services) const
{
    std::vector<IOService> found;
    // An empty key is in no path, and an entry without a path holds no key.
    if (!key.empty()) {
        for (const auto& service : services) {
            const auto path = service.path();
            if (path && path->find(key) != std::string::npos)
                found.push_back(service);
        }
    }
    return found.empty() ? services : found;
}
