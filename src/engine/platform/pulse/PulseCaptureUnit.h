// The capture unit on the sound server: a pulse record stream in float32 on
// the connection's threaded main loop, whose thread is the audio thread.
//
// Threads: set-up, start and stop on the main thread (never the audio
// thread); AudioUnit::render on the audio thread inside the input call-back.
// A unit holds the connection, so it may outlive the backend that made it.
#pragma once

#include "platform/AudioHardware.h"
#include "platform/pulse/PulseConnection.h"

#include <memory>

// Frames per call-back never exceed this (a ~40 ms fragment is far smaller).
constexpr std::uint32_t kPulseMaximumFramesPerSlice = 8192;

AudioComponentInstance makePulseCaptureUnit(std::shared_ptr<PulseConnection> connection);

namespace pulse {

// Float32 linear PCM, the only format the server is asked for.
AudioStreamBasicDescription floatFormat(double rate, std::uint32_t channels, bool nonInterleaved);

}  // namespace pulse
