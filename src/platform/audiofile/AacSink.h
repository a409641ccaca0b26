#pragma once

#include "platform/audiofile/FileSink.h"

#include <memory>
#include <string>

namespace audiofile {

// AAC in an MPEG-4 file (type kAudioFileM4AType) or a CAF file, written
// through fd, an empty file the sink owns from here on. crashSafe: a CAF
// file readable up to its last checkpoint (CafFile.h); an MPEG-4 file always
// is. out is set only on success.
OSStatus createAacSink(int fd, AudioFileTypeID type, const AudioStreamBasicDescription& f, bool crashSafe,
    std::unique_ptr<FileSink>& out);

// The encoder's priming when the sink writes a fragmented MPEG-4 file, which
// is rewritten as an ordinary one once complete; -1 for any other sink.
int fragmentedMp4Priming(const FileSink& sink);

}  // namespace audiofile
