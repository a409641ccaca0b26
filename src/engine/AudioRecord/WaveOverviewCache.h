// Where overviews are kept between runs: one small file a recording in the
// user's cache folder ($XDG_CACHE_HOME/traytape, else ~/.cache/traytape,
// the home folder taken from the password database when HOME is unset; made
// 0700, and used only while this user owns it), named by a hash of the
// recording's path. Each holds the path and the
// identity of the file it was made from (device, inode, size, modification
// time); a read answers only when the file at the path still has that
// identity, so a recording changed or replaced since is never shown with
// the overview of what was there before. Written through SafeFile.
//
// Any thread; the functions share no state. The files are in the machine's
// own byte order: a cache is not carried between machines.
#pragma once

#include "AudioRecord/WaveOverview.h"

#include <cstdint>
#include <optional>
#include <string>

namespace wave_overview_cache {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at path as it is now; nothing when there is none.
std::optional<FileIdentity> identify(const std::string& path);
// The folder and the file an overview of the recording at path is kept in.
std::string folder();
std::string fileFor(const std::string& recording);

// The kept overview of the recording, when it was made from the file that is there now.
std::optional<WaveOverview> read(const std::string& recording);
// Keeps the overview of the recording, made from the file whose identity
// was taken before it was read (a file changed meanwhile then never
// matches). noErr, or why it could not be kept.
OSStatus write(const std::string& recording, const FileIdentity& madeFrom, const WaveOverview& overview);

}  // namespace wave_overview_cache
