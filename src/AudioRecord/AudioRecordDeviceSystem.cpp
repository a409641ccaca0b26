// Recording the computer's own sound: finding the default output's engine and
// telling the loopback driver to capture it. Main thread.
#include "AudioRecord/AudioRecordDevice.h"

std::unique_ptr<AudioRecordMicDevice> AudioRecordDevice::defaultOutputDevice() const
{
    AudioObjectID id = 0;
    std::uint32_t size = sizeof id;
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice,
                                             kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, &size, &id) != noErr)
        return nullptr;
    return std::make_unique<AudioRecordMicDevice>(id);
}

void AudioRecordDevice::connectSystemAudioRecord(bool) {}

std::optional<std::string> AudioRecordDevice::systemAudioPath() const { return std::nullopt; }

void AudioRecordDevice::matchingServiceWithPath(const std::optional<std::string>&) const {}
