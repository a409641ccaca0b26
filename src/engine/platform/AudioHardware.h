// The audio hardware layer: devices addressed by object id and property
// address (selector, scope, element), and the capture audio unit.
//
// Everything goes through one process-wide backend: the sound server's, put
// there by installPulsePlatform() (platform/pulse/PulsePlatform.h), or a
// test's. Until one is installed, a backend with no devices and no capture. Property calls run on the main thread; an AudioUnit's render
// runs on the audio thread, from inside its input call-back only.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

struct AudioObjectPropertyAddress {
    std::uint32_t mSelector = 0;
    std::uint32_t mScope = 0;
    std::uint32_t mElement = 0;
};

constexpr std::uint32_t kAudioObjectPropertyScopeGlobal = fourCC("glob");
constexpr std::uint32_t kAudioDevicePropertyScopeInput = fourCC("inpt");
constexpr std::uint32_t kAudioDevicePropertyScopeOutput = fourCC("outp");
constexpr std::uint32_t kAudioObjectPropertyElementMaster = 0;

// System object (kAudioObjectSystemObject), global scope.
constexpr std::uint32_t kAudioHardwarePropertyDevices = fourCC("dev#");              // AudioObjectID[]
constexpr std::uint32_t kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");  // AudioObjectID
constexpr std::uint32_t kAudioHardwarePropertyDefaultInputDevice = fourCC("dIn ");   // AudioObjectID
// std::vector<AudioProcessInfo>: the applications playing now, one entry
// per application (its streams counted), in the order the server lists them.
constexpr std::uint32_t kAudioHardwarePropertyProcessObjectList = fourCC("prs#");
// Devices.
constexpr std::uint32_t kAudioDevicePropertyDeviceName = fourCC("name");    // char[], NUL-terminated UTF-8
constexpr std::uint32_t kAudioDevicePropertyDeviceUID = fourCC("uid ");     // std::string (the "platform string")
constexpr std::uint32_t kAudioDevicePropertyStreams = fourCC("stm#");       // AudioObjectID[] of the scope's streams
constexpr std::uint32_t kAudioDevicePropertyVolumeScalar = fourCC("volm");  // float32, per channel element
constexpr std::uint32_t kAudioDevicePropertyMute = fourCC("mute");          // uint32, per channel element
constexpr std::uint32_t kAudioDevicePropertyNominalSampleRate = fourCC("nsrt");  // double
constexpr std::uint32_t kAudioDevicePropertyStreamFormat = fourCC("sfmt");   // AudioStreamBasicDescription of the scope
constexpr std::uint32_t kAudioDevicePropertyDeviceIsAlive = fourCC("livn");  // uint32
// uint32, 1 when the input carries an output's own sound (the server's monitor of a sink).
constexpr std::uint32_t kAudioDevicePropertyIsMonitor = fourCC("mntr");

// Audio units.
using AudioUnitPropertyID = std::uint32_t;
using AudioUnitScope = std::uint32_t;
using AudioUnitElement = std::uint32_t;
constexpr AudioUnitScope kAudioUnitScope_Global = 0;
constexpr AudioUnitScope kAudioUnitScope_Input = 1;
constexpr AudioUnitScope kAudioUnitScope_Output = 2;
constexpr AudioUnitPropertyID kAudioUnitProperty_StreamFormat = 8;               // AudioStreamBasicDescription
constexpr AudioUnitPropertyID kAudioUnitProperty_MaximumFramesPerSlice = 14;     // uint32
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CurrentDevice = 2000;     // AudioObjectID
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_IsRunning = 2001;         // uint32; 0 once the device is lost
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_EnableIO = 2003;          // uint32
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_SetInputCallback = 2005;  // AURenderCallbackStruct
// uint32, set before initialize(): 1 makes the unit capture the system's default input, moving
// with it whenever the default changes, in one stream of one format; 0 (the default) keeps it on
// CurrentDevice, and a CurrentDevice that goes away stops it.
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_FollowsDefaultInput = 2100;
// uint32, set before initialize: 1 mixes what the default output plays into the input.
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_MixSystemAudio = 3000;
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_SourceLevels = 3001;  // AudioSourceLevels
// uint32, set before initialize(): 1 makes the unit capture what the system's default output plays
// (the computer's sound) in place of CurrentDevice, which it then needs not be told, moving with the
// default output whenever it changes or goes; the unit stops only when no output is left.
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CaptureSystemAudio = 3002;

// std::string, set before initialize(): the application named so (see
// applicationNamed()) is heard, every stream it plays summed, as it opens
// and ends them. With a CurrentDevice, it is mixed into that input; without
// one, it is captured alone, silence while it plays nothing. Nothing on the
// server is created, moved or rerouted for it.
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CaptureApplication = 3003;

// uint32. Set before initialize(): 1 asks a unit that mixes something into
// its input for the sources too. Read once started: 1 while it hands them
// out. render() then fills three times the buffers: the mix, the input alone
// and the other sources summed, the parts as they went into the mix (each
// at its own level, before the limiter), frame for frame; it sets
// mNumberBuffers to the buffers it filled.
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_SeparateSources = 3004;

// An application that plays, as the server describes its streams.
struct AudioProcessInfo {
    std::string name;    // what the application calls itself
    std::string binary;  // its program's file name
    std::uint32_t pid = 0;
    std::uint32_t streams = 0;  // playing now

    bool operator==(const AudioProcessInfo&) const = default;
};

// Whether an application is the one a user named: by its name or its
// program's name (either without regard to ASCII case), or by its process
// id. Allocates nothing, so the audio thread may ask it.
inline bool applicationNamed(std::string_view name, std::string_view binary, std::uint32_t pid, std::string_view named)
{
    const auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size() || a.empty())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
            if (lower(a[i]) != lower(b[i]))
                return false;
        }
        return true;
    };
    if (same(name, named) || same(binary, named))
        return true;
    std::uint32_t number = 0;
    if (named.empty() || named.size() > 9 || pid == 0)
        return false;
    for (const char c : named) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + std::uint32_t(c - '0');
    }
    return number == pid;
}

// The peaks (linear, 1 = full scale) of the two parts of a mixed capture,
// over its last call-back, and how often the computer's sound was placed in
// time: once at the start, then once after each stall (a jump, heard).
struct AudioSourceLevels {
    float input = 0;
    float system = 0;
    std::uint32_t placements = 0;
};

constexpr std::uint32_t kAudioUnitType_Output = fourCC("auou");
constexpr std::uint32_t kAudioUnitSubType_HALOutput = fourCC("ahal");
constexpr std::uint32_t kAudioUnitManufacturer_Apple = fourCC("appl");

using AURenderCallback
    = OSStatus (*)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp* inTimeStamp,
        std::uint32_t inBusNumber, std::uint32_t inNumberFrames, AudioBufferList* ioData);

struct AURenderCallbackStruct {
    AURenderCallback inputProc = nullptr;
    void* inputProcRefCon = nullptr;
};

// A capture unit. Created through AudioComponentInstanceNew; destroying it
// stops it first. Once stop() returns, no call-back runs and none will until
// the next start(). Frames per call-back never exceed MaximumFramesPerSlice,
// which the unit reports after initialize().
class AudioUnit {
public:
    virtual ~AudioUnit() = default;
    virtual OSStatus setProperty(
        AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, const void* data, std::uint32_t size)
        = 0;
    virtual OSStatus getProperty(
        AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* data, std::uint32_t* ioSize)
        = 0;
    virtual OSStatus initialize() = 0;
    virtual OSStatus uninitialize() = 0;
    virtual OSStatus start() = 0;
    virtual OSStatus stop() = 0;
    // Audio thread, inside the input call-back only: copies this cycle's
    // captured frames into ioData (one float buffer per channel).
    virtual OSStatus render(AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp* inTimeStamp,
        std::uint32_t inBusNumber, std::uint32_t inNumberFrames, AudioBufferList* ioData)
        = 0;
};

// Told that properties of an object changed: the system object's device list
// ('dev#') or its default input or output. Called on the backend's own thread,
// the sound server's loop, which is also the audio thread: publish and return
// (an atomic store), never lock, allocate or wait. Once the listener is
// removed, it is not running and is not called again.
using AudioObjectPropertyListenerProc = OSStatus (*)(AudioObjectID inObjectID, std::uint32_t inNumberAddresses,
    const AudioObjectPropertyAddress* inAddresses, void* inClientData);

struct AudioComponentDescription {
    std::uint32_t componentType = 0;
    std::uint32_t componentSubType = 0;
    std::uint32_t componentManufacturer = 0;
    std::uint32_t componentFlags = 0;
    std::uint32_t componentFlagsMask = 0;
};
using AudioComponent = const void*;  // opaque; null when nothing was found
using AudioComponentInstance = std::unique_ptr<AudioUnit>;

// What a backend provides. Main thread only, except AudioUnit::render.
class AudioBackend {
public:
    virtual ~AudioBackend() = default;
    virtual OSStatus getPropertyDataSize(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize)
        = 0;
    virtual OSStatus getPropertyData(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t* ioSize, void* outData)
        = 0;
    virtual OSStatus setPropertyData(
        AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size, const void* data)
        = 0;
    // False when no capture unit can be made at all (no sound server).
    virtual bool hasCaptureComponent() = 0;
    virtual OSStatus newCaptureUnit(AudioComponentInstance& out) = 0;
    // A backend that tells of no change answers kAudioHardwareUnknownPropertyError.
    virtual OSStatus addPropertyListener(
        AudioObjectID, const AudioObjectPropertyAddress&, AudioObjectPropertyListenerProc, void*)
    {
        return kAudioHardwareUnknownPropertyError;
    }
    virtual OSStatus removePropertyListener(
        AudioObjectID, const AudioObjectPropertyAddress&, AudioObjectPropertyListenerProc, void*)
    {
        return kAudioHardwareUnknownPropertyError;
    }
};

// The installed backend; one with no devices until one is installed.
AudioBackend& audioBackend();
// Installs a backend; returns the previous one. Null restores the empty one on next use.
std::unique_ptr<AudioBackend> setAudioBackend(std::unique_ptr<AudioBackend> backend);

// The C-style entry points the engine is written against.
OSStatus AudioObjectGetPropertyDataSize(
    AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t* ioSize);
OSStatus AudioObjectGetPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t* ioSize, void* outData);
OSStatus AudioObjectSetPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t size, const void* data);
OSStatus AudioObjectAddPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
    AudioObjectPropertyListenerProc listener, void* clientData);
OSStatus AudioObjectRemovePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
    AudioObjectPropertyListenerProc listener, void* clientData);
AudioComponent AudioComponentFindNext(AudioComponent after, const AudioComponentDescription* description);
OSStatus AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out);
