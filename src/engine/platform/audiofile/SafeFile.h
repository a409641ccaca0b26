// The one way the engine puts a file at a path it was given: written into a
// new hidden file beside it and renamed over it, so that nothing reached
// through that path (a link's target, a device, another program's file) is
// ever written.
//
// The temporary file is created exclusively, never through a link, under a
// name nobody can guess, and written only through the descriptor that made
// it. The destination must be absent, a regular file the caller may write,
// or a symbolic link (which is replaced, its target left alone); a device,
// FIFO, socket or folder is refused and left as it is. A replaced file's
// permission bits carry over; a new file gets 0666 less the umask.
//
// Before the rename, the hidden name must still be the file written (same
// device and inode, a regular file): one swapped for a link or another file
// meanwhile fails the commit with kAudioFileSwappedError, and neither it nor
// the destination is touched.
//
// A path longer than a path may be is refused before anything is made
// (kAudioFilePathTooLongError), a name longer than a name may be answers
// kAudioFileNameTooLongError.
//
// Threads: a SafeFile belongs to one thread at a time. removeTemporaries()
// is async-signal-safe.
#pragma once

#include "platform/CoreAudioTypes.h"
#include "platform/FFmpegUtil.h"

#include <atomic>
#include <memory>
#include <string>

namespace audiofile {

class SafeFile {
public:
    SafeFile() = default;
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;
    // Removes the temporary file unless it was committed.
    ~SafeFile();

    // Checks the destination and creates the temporary file beside it. With
    // replace false an existing destination (even a dangling link) is refused.
    static OSStatus create(const std::string& destination, bool replace, std::unique_ptr<SafeFile>& out);

    int fd() const { return fd_; }
    const std::string& destination() const { return destination_; }
    bool committed() const { return committed_; }

    // Flushes the data to the disk (when sync) and renames the temporary file
    // over the destination. The descriptor stays open: a recording goes on
    // being written through it at its final path.
    OSStatus commit(bool sync);
    // Whether the file is no longer where it should be: committed, but its
    // destination now names something else (it was deleted or moved).
    bool lost() const;
    // Removes the temporary file unless committed, and closes the descriptor.
    void discard();

private:
    std::string destination_;
    std::string temporary_;
    int fd_ = -1;
    int slot_ = -1;  // in the table removeTemporaries() walks
    bool replace_ = true;
    bool committed_ = false;
};

// Whether path may be given to SafeFile::create: noErr, kAudioFileNotRegularFileError
// or kAudioFilePermissionsError (a regular file the caller may not write).
OSStatus checkDestination(const std::string& path);

// Puts size bytes at path as a whole new file, through a SafeFile; synced to
// the disk (the file and its folder) unless `sync` is false. With `replace`
// false, a path taken (before or meanwhile) is left as it is and the call fails.
OSStatus writeWholeFile(
    const std::string& path, const void* data, std::size_t size, bool sync = true, bool replace = true);
// Whether path is a regular file (not a link, never waiting on a FIFO) that
// holds exactly these bytes.
bool regularFileHolds(const std::string& path, const void* data, std::size_t size);

// The user's home folder: $HOME when it is an absolute path, else the one
// the password database names; empty when there is neither. Never a shared
// folder in their place.
std::string homeFolder();
// Makes the folder (and any missing parent, 0700) and checks it may hold
// this user's private files: a folder, reached through links or not, owned
// by this user. kAudioFileFolderNotOwnedError for one another user owns.
OSStatus privateFolder(const std::string& path);
// Removes the hidden files in folder a SafeFile of this user left there
// more than a day ago (a process killed outright cannot remove its own).
// Another user's, a link, or anything not named as SafeFile names them
// stays. Returns how many went.
int removeStaleTemporaries(const std::string& folder);

// Called by commit() before it checks the hidden file, with its path. For
// tests that change the folder between the writing and the commit.
extern std::atomic<void (*)(const std::string& temporary)> beforeCommit;

// Removes every temporary file not yet committed or discarded. For a signal
// handler that ends the process.
void removeTemporaries();
// Ends the process on SIGINT, SIGTERM and SIGHUP as their default would,
// after removing the temporary files: an export cut short leaves nothing.
void removeTemporariesOnQuitSignals();

// An FFmpeg I/O context reading and writing through a descriptor it does not
// own, at its own position. A muxer or demuxer given it needs
// AVFMT_FLAG_CUSTOM_IO set, so that it leaves the context to this owner.
struct FdIoDeleter {
    void operator()(AVIOContext* io) const;
};
using FdIoPtr = std::unique_ptr<AVIOContext, FdIoDeleter>;
FdIoPtr openFdIo(int fd, bool write);

}  // namespace audiofile
