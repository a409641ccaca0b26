// Completing a recording that a crash or power loss cut off, as a normal stop
// would have: a WAVE file gets header sizes that match the audio on disk, a
// fragmented MPEG-4 file becomes an ordinary one (players that read only the
// first fragment otherwise play a fraction of it), and the partial files an
// interrupted completion may leave beside it are removed.
//
// Any thread but the audio thread; it reads and writes the file, so it may
// take a while for a long recording.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <string>

// noErr when the file is complete and playable afterwards (also when there
// was nothing to do); the file is never left worse than it was found.
OSStatus completeInterruptedRecording(const std::string& path);
