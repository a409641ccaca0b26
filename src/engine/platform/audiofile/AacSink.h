#pragma once

#include "platform/AudioFormat.h"
#include "platform/audiofile/FileSink.h"

#include <memory>
#include <string>

namespace audiofile {

// AAC of 1024 frames a packet: f completed.
OSStatus acceptAacFormat(AudioStreamBasicDescription& f);
// AAC in an MPEG-4 file (the row's type kAudioFileM4AType) or a CAF file,
// encoded with the row's codec at its bit rate, written through fd, an
// empty file the sink owns from here on. crashSafe: a CAF file readable up
// to its last checkpoint (CafFile.h); an MPEG-4 file always is. out is set
// only on success.
OSStatus createAacSink(const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool crashSafe,
    std::unique_ptr<FileSink>& out);

// The encoder's priming when the sink writes a fragmented MPEG-4 file, which
// is rewritten as an ordinary one once complete; -1 for any other sink.
int fragmentedMp4Priming(const FileSink& sink);

}  // namespace audiofile
