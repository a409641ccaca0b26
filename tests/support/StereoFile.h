// Writes test sources: two channels of float samples into a new audio file
// through the engine's writer, WAVE (32-bit PCM) or AAC by the extension as
// the recorder picks it. Test thread only.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <string>
#include <vector>

OSStatus writeStereoFile(
    const std::string& path, double rate, const std::vector<float>& left, const std::vector<float>& right);

// 1 kHz on the left and 500 Hz on the right, amplitude 0.5, at 44.1 kHz.
OSStatus writeToneFile(const std::string& path, double seconds);
