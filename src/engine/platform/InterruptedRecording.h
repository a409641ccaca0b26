// Completing a recording that a crash or power loss cut off, as a normal stop
// would have: a WAVE file gets header sizes that match the audio on disk, a
// fragmented MPEG-4 file becomes an ordinary one (players that read only the
// first fragment otherwise play a fraction of it), a CAF file gets its data
// size.
//
// Any thread but the audio thread; it reads and writes the file, so it may
// take a while for a long recording.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <string>
#include <vector>

// The file a mark names is not a recording this program was writing (or
// is a link, or was replaced since): it is left as it is.
constexpr OSStatus kInterruptedRecordingNotOurs = fourCC("own?");

// The value to keep as the mark of the recording just created at path: the
// path and what identifies the file (device, inode and the header its
// writer put there once).
std::string recordingMark(const std::string& path);
// The same of a recording written with its sources' files beside it: the
// recording's mark, then each source's. Recovery completes every one of them.
std::string recordingMark(const std::string& path, const std::vector<std::string>& sources);
// The marks of the sources a mark names beside its recording; none for a
// mark of one file.
std::vector<std::string> recordingMarkSources(const std::string& mark);
// What identifies the recording read through fd, as its mark states it: its
// device, inode and a hash of the header its writer put there once; empty
// for a file without this program's layout.
std::string recordingIdentity(int fd);
// The path a mark names (the recording's, not its sources'). A mark of an
// older version is the path alone.
std::string recordingMarkPath(const std::string& mark);

// Completes the recording a mark names, and its sources' files, each only if it is that very file (by
// device, inode and header), never through a link, touching no other file.
// noErr when the file is complete and playable afterwards (also when there
// was nothing to do, as for the finished rewrite of the marked M4A, which
// names the recording's header); the file is never left worse than it was
// found. A mark of an older version (the path alone) changes nothing: noErr
// when the file plays as it is. The answer is the recording's own.
OSStatus completeInterruptedRecording(const std::string& mark);

// Whether path (links followed) is a file a mark names (its sources' too): by the device and
// inode the mark keeps, or those of the file now at its path. A hard link
// or a symbolic link to the recording is the recording.
bool recordingMarkNames(const std::string& mark, const std::string& path);

// The mark of the recording in progress as the tray app keeps it in its
// settings file ($XDG_CONFIG_HOME/traytape/TrayTape.conf), for a process
// that does not share its settings store; empty when there is none.
std::string storedRecordingMark();
