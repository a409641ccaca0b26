// Copying fixed-size property values in and out of the untyped buffers of
// the audio hardware layer's property calls. Any thread.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <cstring>

// Reads a value the caller handed over; the size must match exactly.
template <class T> OSStatus readPropertyValue(const void* data, std::uint32_t size, T& out)
{
    if (data == nullptr || size != sizeof(T))
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(&out, data, sizeof(T));
    return noErr;
}

// Answers a value into the caller's buffer. With outData null only the size is asked for.
template <class T> OSStatus writePropertyValue(const T& value, std::uint32_t* ioSize, void* outData)
{
    if (ioSize == nullptr)
        return kAudioHardwareBadPropertySizeError;
    if (outData == nullptr) {
        *ioSize = sizeof(T);
        return noErr;
    }
    if (*ioSize < sizeof(T))
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(outData, &value, sizeof(T));
    *ioSize = sizeof(T);
    return noErr;
}
