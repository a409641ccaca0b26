#pragma once

#include "platform/AudioFormat.h"
#include "platform/audiofile/FileSink.h"

#include <memory>

namespace audiofile {

// Opus (at 48 kHz, the only rate it takes) or Vorbis at a whole rate: f completed.
OSStatus acceptOggFormat(AudioStreamBasicDescription& f);
// Opus or Vorbis in an Ogg file, encoded with the row's codec at its bit rate
// and written through fd, an empty file the sink owns from here on. Its
// pages are closed each quarter of a second, so it always reads up to the last one
// (OggRecovery.cpp cuts a page a crash left half written). out is set only
// on success.
OSStatus createOggSink(const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool crashSafe,
    std::unique_ptr<FileSink>& out);

}  // namespace audiofile
