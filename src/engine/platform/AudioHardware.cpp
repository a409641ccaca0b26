#include "platform/AudioHardware.h"

#include <mutex>

namespace {

// The process-wide backend. The mutex only orders installation against use;
// the backend's own calls are made outside it.
std::mutex backendMutex;
std::unique_ptr<AudioBackend> installedBackend;

// The one component there is; its address is the token callers hold.
const int captureComponentToken = 0;

// What a program sees before a platform is installed: a machine with no
// sound server, answering as the sound server's backend does when none
// answers. A test that installs nothing thus never reaches a real server.
class NoAudioBackend final : public AudioBackend {
public:
    OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t* ioSize) override
    {
        *ioSize = 0;
        return kAudioHardwareBadObjectError;
    }
    OSStatus getPropertyData(
        AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t* ioSize, void*) override
    {
        *ioSize = 0;
        return kAudioHardwareBadObjectError;
    }
    OSStatus setPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*) override
    {
        return kAudioHardwareBadObjectError;
    }
    bool hasCaptureComponent() override { return false; }
    OSStatus newCaptureUnit(AudioComponentInstance&) override { return kAudioUnitErr_NoConnection; }
};

}  // namespace

AudioBackend& audioBackend()
{
    std::lock_guard lock(backendMutex);
    if (!installedBackend)
        installedBackend = std::make_unique<NoAudioBackend>();
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

OSStatus AudioObjectAddPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
    AudioObjectPropertyListenerProc listener, void* clientData)
{
    if (address == nullptr || listener == nullptr)
        return kAudioHardwareBadPropertySizeError;
    return audioBackend().addPropertyListener(object, *address, listener, clientData);
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
    AudioObjectPropertyListenerProc listener, void* clientData)
{
    if (address == nullptr || listener == nullptr)
        return kAudioHardwareBadPropertySizeError;
    return audioBackend().removePropertyListener(object, *address, listener, clientData);
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
