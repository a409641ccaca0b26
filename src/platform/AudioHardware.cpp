#include "platform/AudioHardware.h"

#include "platform/PulseAudioBackend.h"

#include <mutex>

namespace {

// The process-wide backend. The mutex only orders installation against use;
// the backend's own calls are made outside it.
std::mutex backendMutex;
std::unique_ptr<AudioBackend> installedBackend;

// The one component there is; its address is the token callers hold.
const int captureComponentToken = 0;

}  // namespace

AudioBackend& audioBackend()
{
    std::lock_guard lock(backendMutex);
    if (!installedBackend)
        installedBackend = std::make_unique<PulseAudioBackend>();
    return *installedBackend;
}

std::unique_ptr<AudioBackend> setAudioBackend(std::unique_ptr<AudioBackend> backend)
{
    std::lock_guard lock(backendMutex);
    std::swap(installedBackend, backend);
    return backend;
}

OSStatus AudioObjectGetPropertyDataSize(
    AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t* ioSize)
{
    if (address == nullptr || ioSize == nullptr)
        return kAudioHardwareBadPropertySizeError;
    return audioBackend().getPropertyDataSize(object, *address, ioSize);
}

OSStatus AudioObjectGetPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t* ioSize, void* outData)
{
    if (address == nullptr || ioSize == nullptr)
        return kAudioHardwareBadPropertySizeError;
    return audioBackend().getPropertyData(object, *address, ioSize, outData);
}

OSStatus AudioObjectSetPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t size, const void* data)
{
    if (address == nullptr)
        return kAudioHardwareBadPropertySizeError;
    return audioBackend().setPropertyData(object, *address, size, data);
}

AudioComponent AudioComponentFindNext(AudioComponent after, const AudioComponentDescription* description)
{
    // There is one capture component, so nothing follows it.
    if (after != nullptr || description == nullptr)
        return nullptr;
    if (description->componentType != kAudioUnitType_Output
        || description->componentSubType != kAudioUnitSubType_HALOutput
        || description->componentManufacturer != kAudioUnitManufacturer_Apple)
        return nullptr;
    return audioBackend().hasCaptureComponent() ? &captureComponentToken : nullptr;
}

OSStatus AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out)
{
    if (component != &captureComponentToken || out == nullptr)
        return kAudioUnitErr_InvalidParameter;
    return audioBackend().newCaptureUnit(*out);
}
