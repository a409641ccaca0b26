// The formats recordings and exports are written in, as data: one row a
// format. The recorder's writer, recovery after a crash, the export's file
// types, the preferences' format list and the command line's extension
// check all read this table, so a new format is a row (audiofile/AudioFormat.cpp)
// and its writer. Rows live for the whole program; any thread may read them.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace audiofile {
class FileSink;
}

struct AudioFormat {
    // What the code and the command line call it.
    std::string_view id;
    // Its entry in the preferences' format list, and the number the settings
    // keep for that entry (AudioFormatNSNumberKey); -1 for a format a
    // recording is never made in.
    const char* displayName;
    int audioFormatCode;
    // What a save dialog calls its files.
    const char* kindName;
    // Lower case, without the dot; a new file takes the first.
    std::array<std::string_view, 2> extensions;
    // The container, and what a recording or an export in it holds.
    AudioFileTypeID fileType;
    AudioStreamBasicDescription fileFormat;
    // The encoder as FFmpeg names it ("libopus" for the codec "opus"), and
    // its bit rate for one and for two channels (0 for PCM, written by hand,
    // for lossless codecs, and for MP3, encoded at a quality instead).
    const char* codec;
    std::array<int, 2> bitRates;
    bool lossless;
    // Whether an export may be written in it.
    bool exportable;
    // What a file being written holds if the program is killed.
    const char* crashSafety;

    // The writer. acceptFormat checks and completes the stream description
    // of what a file is to hold, before anything touches the disk;
    // createSink then writes such a file through fd (FileSink.h).
    OSStatus (*acceptFormat)(AudioStreamBasicDescription& format);
    OSStatus (*createSink)(const AudioFormat& row, int fd, const AudioStreamBasicDescription& format, bool crashSafe,
        std::unique_ptr<audiofile::FileSink>& out);
    // Recovery. writtenHeader gives the bytes at the start of a recording
    // that its writer put there once and never changes (false for a file
    // its writer did not lay out); completeAfterCrash finishes such a file
    // a crash cut off, as a normal stop would have.
    bool (*writtenHeader)(int fd, std::int64_t fileBytes, std::string& out);
    OSStatus (*completeAfterCrash)(int fd, std::int64_t fileBytes, const std::string& path);

    bool recordable() const { return audioFormatCode >= 0; }
    std::string_view extension() const { return extensions[0]; }
};

// Every format; the first is the default, taken by a name without an
// extension.
std::span<const AudioFormat> audioFormats();
const AudioFormat& defaultAudioFormat();
// Null for an id no format has.
const AudioFormat* audioFormatNamed(std::string_view id);
// Null for a container no format writes.
const AudioFormat* audioFormatOfFileType(AudioFileTypeID fileType);
// The format a file at path is written in: the one of its extension (after
// the name's last dot, in any case); the default for a name without one.
// Null for an extension no format has: writing another format under that
// name would mislabel the file.
const AudioFormat* audioFormatForPath(const std::string& path);
// The extensions of the formats an export may write (or every format), as
// a refusal lists them: ".m4a, .wav, ...".
std::string audioFormatExtensions(bool exportableOnly);
// The recording format a stored audio format code names: the default for a
// code no format has.
const AudioFormat& audioFormatForCode(long long audioFormatCode);
