// What one recording takes in and writes out, as both front ends describe it
// to RecordSession::start(): the tray from its preferences, the command line
// from its options. Neither front end opens a writer or reads a format out of
// a file name; the session does what the recipe says.
#pragma once

#include "platform/AudioFormat.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

struct RecordSource {
    // Input: a device of the sound server, or the default input
    // (kDefaultInputUID), by its unique identifier. ComputerSound: what the
    // default output plays; beside an input it is mixed into it, alone it is
    // recorded by itself. Application: what one application plays, every
    // stream of it, named in uniqueID by its program's name, its own name or
    // its process id (applicationNamed()); mixed or alone as the computer's sound.
    enum class Kind { Input, ComputerSound, Application };
    Kind kind = Kind::Input;
    std::string uniqueID;

    bool operator==(const RecordSource&) const = default;
};

struct RecordDestination {
    std::string folder;
    std::string name;

    // The name in the folder; with no folder, the name as it is.
    std::string path() const;
};

// A take that starts on sound: when the input's peak first reaches
// `threshold` (dBFS), and ends once it has stayed below for `silence`
// seconds (0: only when stopped). With `again`, the next take is waited
// for after each, each in a file of its own.
struct SoundStart {
    double threshold = -40;
    double silence = 0;
    bool again = false;
};

struct RecordRecipe {
    std::vector<RecordSource> sources;
    const AudioFormat* format = &defaultAudioFormat();
    RecordDestination destination;
    // Writing ends by itself once the file holds this long, to the frame; 0: only when stopped.
    double seconds = 0;
    // The rate, channels, depth and bit rate within the format; as made, the format's own.
    AudioQuality quality = {};
    // Seconds heard before the start that the file begins with (no more
    // than the input has given since it was opened).
    double preRoll = 0;
    // Waits for sound before writing; the file is named when it comes.
    std::optional<SoundStart> onSound = std::nullopt;
    // Each part of the take holds this long, to the frame, and the parts
    // join without a gap (partOf() names them); 0: one file.
    double splitEvery = 0;
    // Beside a mixed take's file, each source in a file of its own, frame
    // for frame with it (sourceOf() names them). A take of one source has none.
    bool separate = false;
};

// The one namer of recordings, for both front ends. A name the user gave is
// kept as it is. Without one, the recording is named from its start (local
// time) and format, "24_03_05 14_07_09_Audio.m4a"; when a file has that name
// already, " (2)", " (3)" … go before the extension, so a recording never
// replaces another.
RecordDestination nameRecording(RecordDestination asked, const AudioFormat& format, std::time_t startedAt);
// The take's part number `part` (from 1): "NAME 001.ext", "NAME 002.ext" …,
// so a folder lists the parts in their order.
RecordDestination partOf(RecordDestination take, int part);
// The file of one source of a mixed take: "NAME.input.ext" for the input,
// "NAME.system.ext" for the computer's sound, "NAME.app.ext" for an
// application, beside "NAME.ext", so a folder lists them together.
RecordDestination sourceOf(RecordDestination take, const std::string& source);
// The sources' names, in the order the capture hands them out after the mix.
inline constexpr const char* kInputSource = "input";
inline constexpr const char* kSystemSource = "system";
inline constexpr const char* kApplicationSource = "app";
