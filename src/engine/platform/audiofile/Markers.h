// Markers inside the files that have room for them: a WAV's 'cue ' points
// named in a 'LIST'/'adtl' list after its audio, an MPEG-4 file's chapters.
// Any thread but the audio thread; nothing here keeps state between calls.
#pragma once

#include "platform/ExtAudioFile.h"
#include "platform/FFmpegUtil.h"

#include <string>

namespace audiofile {

// The chunks that follow a WAV's audio for these markers (those a 32-bit
// cue point can hold, up to `frames`); empty for none. Each is named
// "Marker N", counted from 1.
std::string waveMarkerChunks(const AudioMarkers& markers, std::int64_t frames);

// Gives an output context, before its header is written, one chapter per
// marker up to `frames` (the file's length at `rate`), each lasting to the
// next. False when there was no memory for them.
bool addChapters(AVFormatContext& out, const AudioMarkers& markers, int rate, std::int64_t frames);

}  // namespace audiofile
