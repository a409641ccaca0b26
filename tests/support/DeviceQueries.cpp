#include "support/DeviceQueries.h"

namespace testsupport {

AudioObjectPropertyAddress addr(std::uint32_t selector, std::uint32_t scope, std::uint32_t element)
{
    return {selector, scope, element};
}

std::vector<AudioObjectID> deviceList()
{
    const auto a = addr(kAudioHardwarePropertyDevices);
    std::uint32_t size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, &size) != noErr)
        return {};
    std::vector<AudioObjectID> ids(size / 4);
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, &size, ids.data()) != noErr)
        return {};
    ids.resize(size / 4);
    return ids;
}

}  // namespace testsupport
