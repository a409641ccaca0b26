#pragma once

#include "platform/AudioFormat.h"
#include "platform/audiofile/FileSink.h"

#include <memory>

namespace audiofile {

// FLAC of 16 or 24 bits a sample (24 when unsaid) at a whole rate: f completed.
OSStatus acceptFlacFormat(AudioStreamBasicDescription& f);
// A FLAC file encoded by FFmpeg's own encoder and laid out by hand: "fLaC",
// STREAMINFO as the only metadata block, then the frames, each written as
// the encoder hands it over, so a crash loses at most the frame being
// filled (FlacRecovery.cpp finishes such a file). Written through fd, an
// empty file the sink owns from here on. out is set only on success.
OSStatus createFlacSink(const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool crashSafe,
    std::unique_ptr<FileSink>& out);

// FlacSink's layout: STREAMINFO's block header and body, the first frame after them.
constexpr int kFlacStreamInfoAt = 8;
constexpr int kFlacStreamInfoBytes = 34;
constexpr int kFlacFramesAt = kFlacStreamInfoAt + kFlacStreamInfoBytes;

}  // namespace audiofile
