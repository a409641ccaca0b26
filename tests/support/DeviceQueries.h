// Short forms of the audio hardware layer's queries, for tests of either backend.
#pragma once

#include "platform/AudioHardware.h"

#include <vector>

namespace testsupport {

AudioObjectPropertyAddress addr(
    std::uint32_t selector, std::uint32_t scope = kAudioObjectPropertyScopeGlobal, std::uint32_t element = 0);
// The system object's device list, empty when the query fails.
std::vector<AudioObjectID> deviceList();

}  // namespace testsupport
