#pragma once

#include "platform/AudioFormat.h"
#include "platform/audiofile/FileSink.h"

#include <memory>

namespace audiofile {

// MP3 at a rate of layer III, mono or stereo: f completed.
OSStatus acceptMp3Format(AudioStreamBasicDescription& f);
// An MP3 file encoded by LAME (through FFmpeg) at variable bit rate and laid
// out by hand: an Info frame (Mp3InfoFrame.h), then the frames, each written
// as the encoder hands it over, so a crash loses at most the frame being
// filled and what the encoder holds (Mp3Recovery.cpp finishes such a file).
// A stop states the frames, the delay and the padding in the Info frame.
// Written through fd, an empty file the sink owns from here on. out is set
// only on success.
OSStatus createMp3Sink(const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool crashSafe,
    std::unique_ptr<FileSink>& out);

// What decoders leave out at the start beyond the encoder's delay (the
// synthesis filter's), and so what the stated padding must at least hold
// for a decoder to give every frame it trims.
constexpr int kMp3DecoderDelay = 529;

}  // namespace audiofile
