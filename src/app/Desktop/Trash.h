// The user's trash, laid out as freedesktop.org's trash format has it and
// desktop file managers use it: a trashed file is renamed into
// Trash/files, beside an information file Trash/info/NAME.trashinfo that
// says where it was and when it went, so that the file manager can put it
// back. QFile::moveToTrash is not used: it writes its information file
// outside the safe-write path, after the file has moved.
//
// Main thread (it only renames and writes a few bytes).
#pragma once

#include <QString>

namespace trash {

// $XDG_DATA_HOME/Trash, else ~/.local/share/Trash.
QString homeTrash();

// Moves the file at `path` into the home trash: first its information file
// is claimed under a name no trashed file has (never replacing one), then the
// file is renamed to that name, never replacing one either. The file is never
// copied or unlinked: one on another file system than the trash is refused.
// Empty on success, else why not, in a few words.
QString moveToTrash(const QString& path);

}  // namespace trash
