// Turning a fragmented MPEG-4 file into an ordinary one. Any thread but
// the audio thread; it reads and writes the whole file.
#pragma once

#include "platform/ExtAudioFile.h"

#include <cstdint>
#include <string>

namespace audiofile {

// Rewrites the fragmented file read through fragmentedFd (which it does not
// own) as an ordinary one that takes destination's place (SafeFile.h).
// priming < 0: taken from the file (or its encoder); frames < 0: a file cut
// off by a crash, measured from its packets.
// A recording's (identify) ends with rewriteIdentityBox() of its identity
// (recordingIdentity()), so that recovery knows the finished file, a new
// inode, as that recording; an export's does not, and stays the same bytes
// for the same request. Each marker (a frame of the audio) becomes a chapter.
OSStatus remuxToOrdinaryMp4(int fragmentedFd, const std::string& destination, int priming, std::int64_t frames,
    bool identify, const AudioMarkers& markers = {});

// A top-level 'uuid' box, which players skip, naming a recording's identity.
std::string rewriteIdentityBox(const std::string& identity);

}  // namespace audiofile
