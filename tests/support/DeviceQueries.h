// Short forms of the audio hardware layer's queries, for tests of either backend.
#pragma once

#include "platform/AudioHardware.h"

#include <vector>

namespace testsupport {

inline AudioObjectPropertyAddress addr(
    std::uint32_t selector, std::uint32_t scope = kAudioObjectPropertyScopeGlobal, std::uint32_t element = 0)
{
    return {selector, scope, element};
}

// The system object's device list, empty when the query fails.
inline std::vector<AudioObjectID> deviceList()
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
