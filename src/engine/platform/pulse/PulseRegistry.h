// The I/O registry on the sound server (PulseAudio, or PipeWire's pulse
// server), and the loopback driver that records what an output plays.
//
// The "IOService" plane, in walk order:
//   IOService:/PulseAudio                                  class IOService (the server)
//   IOService:/PulseAudio/IOAudioEngine/<sink name>        class IOAudioEngine, one per sink
//   IOService:/PulseAudio/com_Vortanx_driver_LoopbackEngine  the loopback driver
// The driver entry is there while the server is one known to load
// module-remap-source (PulseAudio and PipeWire both do). Handed
// {"kCaptureDriverPathKey": an engine's path}, it makes sure exactly one remap
// source named traytape_system_audio, described as "Vortanx System Audio",
// captures that sink's monitor: one already there (left by this or an earlier
// run, even one that crashed) is kept when it captures that monitor and
// replaced otherwise, and any extra one is unloaded. Any other table unloads
// them all. The source is a server module, so it outlives the process on
// purpose: recording from it in another process goes on working. Loading it
// leaves the default input as it was: a server that made the new source its
// default (PulseAudio at once, WirePlumber a moment later, when no default
// was chosen by hand) gets its earlier one back; unloading touches nothing.
//
// Every root is a fresh snapshot taken over a short connection of its own (a
// plain main loop iterated on the calling thread, each exchange bounded by a
// timeout); the driver entry keeps that connection until its last handle
// goes. No server, or one that does not answer in time: a root without
// children.
//
// Threads: main thread only. The process-wide registry slot owns it.
#pragma once

#include "platform/IORegistry.h"

#include <optional>
#include <string>
#include <string_view>

class PulseRegistry final : public IORegistryBackend {
public:
    static constexpr const char* kEnginePathPrefix = "IOService:/PulseAudio/IOAudioEngine/";
    static constexpr const char* kLoopbackSourceName = kLoopbackDeviceUID;
    static constexpr const char* kLoopbackDescription = kLoopbackDeviceName;

    io_registry_entry_t rootEntry() override;
};
