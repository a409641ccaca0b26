// Turning a fragmented MPEG-4 file into an ordinary one. Any thread but
// the audio thread; it reads and writes the whole file.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <cstdint>
#include <string>

namespace audiofile {

// Where the rewrite goes before it is renamed over the file.
std::string remuxTemporaryFor(const std::string& path);

// Rewrites the fragmented file at path as an ordinary one. priming < 0:
// taken from the file (or its encoder); frames < 0: a file cut off by a
// crash, measured from its packets.
OSStatus remuxToOrdinaryMp4(const std::string& path, int priming, std::int64_t frames);

}  // namespace audiofile
