#pragma once

#include "platform/AudioFormat.h"
#include "platform/audiofile/FileSink.h"

#include <memory>
#include <string>

namespace audiofile {

// Interleaved little-endian linear PCM at a whole rate: f completed.
OSStatus acceptWavFormat(AudioStreamBasicDescription& f);
// A WAVE file of linear PCM (16- or 32-bit integer, 32-bit float) for the
// packed stream description f, written through fd, an empty file the sink
// owns from here on. crashSafe: its header follows the audio, so the file
// reads up to its last checkpoint; otherwise the header is completed only
// at the end. out is set only on success.
OSStatus createWavSink(const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool crashSafe,
    std::unique_ptr<FileSink>& out);

}  // namespace audiofile
