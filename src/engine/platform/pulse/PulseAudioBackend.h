// The audio hardware layer on the sound server (PulseAudio, or PipeWire's
// pulse server): the mapping from the hardware layer's properties to what
// the server says of its sources and sinks.
//
// Devices (ids as in PulseConnection.h): name = the description, unique
// identifier = the pulse name; sources have input streams, sinks output
// streams; 'volm' and 'mute' on input channel N read channel N-1 of a
// source's volume (scalar s = s × 100 % on the server's volume scale) and
// its mute. No property is written. Capture units: PulseCaptureUnit.h.
//
// Property listeners on the system object hear of the server's events: a
// source or sink come or gone changes 'dev#', a change of the server (its
// defaults among others) 'dIn ' and 'dOut'. They are called on the loop
// thread, and follow the connector onto a new connection when the backend
// next asks for one.
//
// Threads: main thread (any one thread, never the audio thread). The
// process-wide backend slot owns the backend; the connector it is handed is
// shared with the player factory (see PulsePlatform.h).
#pragma once

#include "platform/AudioHardware.h"
#include "platform/pulse/PulseConnection.h"

#include <memory>

class PulseAudioBackend final : public AudioBackend {
public:
    explicit PulseAudioBackend(std::shared_ptr<PulseConnector> connector);

    OSStatus getPropertyDataSize(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize) override;
    OSStatus getPropertyData(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize, void* outData) override;
    OSStatus setPropertyData(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size, const void* data) override;
    // False while no server can be reached.
    bool hasCaptureComponent() override;
    OSStatus newCaptureUnit(AudioComponentInstance& out) override;
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
        AudioObjectPropertyListenerProc listener, void* clientData) override;
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
        AudioObjectPropertyListenerProc listener, void* clientData) override;

private:
    class DeviceEvents;

    // The connector's live connection, with the listeners moved onto it.
    std::shared_ptr<PulseConnection> connection();

    std::shared_ptr<PulseConnector> connector_;
    std::shared_ptr<DeviceEvents> events_;
};
