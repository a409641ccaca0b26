#include "AudioRecord/WaveOverviewCache.h"

#include "platform/audiofile/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

namespace wave_overview_cache {
namespace {

constexpr char kMagic[8] = {'T', 'T', 'P', 'E', 'A', 'K', 'S', '1'};
// Far above the 310 KB of an hour; a larger file is no overview of ours.
constexpr std::int64_t kLargestFile = std::int64_t(64) << 20;

struct Header {
    char magic[8];
    std::uint32_t blockFrames;
    std::uint32_t pathBytes;
    double rate;
    std::int64_t frames;
    std::uint64_t device;
    std::uint64_t inode;
    std::int64_t size;
    std::int64_t modifiedSeconds;
    std::int64_t modifiedNanoseconds;
    std::uint64_t blocks;
};
static_assert(std::is_trivially_copyable_v<Header> && sizeof(Header) == 80, "no padding: the bytes are the file");

std::uint64_t fnv1a(const std::string& text)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Whether the folder is one to read this user's overviews from: another
// user's (a link to theirs included) could show made-up ones.
bool folderIsOurs(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

}  // namespace

std::optional<FileIdentity> identify(const std::string& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileIdentity{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::int64_t(st.st_size),
        std::int64_t(st.st_mtim.tv_sec), std::int64_t(st.st_mtim.tv_nsec)};
}

std::string folder()
{
    // XDG's rule for its folders: a relative value is to be ignored.
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && cache[0] == '/')
        return std::string(cache) + "/traytape";
    // Without a home there is no cache: never a shared folder in its place.
    const std::string home = audiofile::homeFolder();
    return home.empty() ? std::string() : home + "/.cache/traytape";
}

std::string fileFor(const std::string& recording)
{
    char name[17 + 6];
    std::snprintf(name, sizeof name, "%016llx.peaks", static_cast<unsigned long long>(fnv1a(recording)));
    return folder() + "/" + name;
}

std::optional<WaveOverview> read(const std::string& recording)
{
    const std::optional<FileIdentity> now = identify(recording);
    if (!now || !folderIsOurs(folder()))
        return std::nullopt;
    const int fd = ::open(fileFor(recording).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st { };
    std::vector<char> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= std::int64_t(sizeof(Header))
        && st.st_size <= kLargestFile) {
        bytes.resize(std::size_t(st.st_size));
        if (::pread(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()))
            bytes.clear();
    }
    ::close(fd);
    if (bytes.empty())
        return std::nullopt;
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    const FileIdentity madeFrom{h.device, h.inode, h.size, h.modifiedSeconds, h.modifiedNanoseconds};
    const std::uint64_t wholeBlocks = h.frames >= 0 ? std::uint64_t(h.frames) / WaveOverview::kBlockFrames : 0;
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.blockFrames != WaveOverview::kBlockFrames
        || madeFrom != *now || !(h.rate > 0) || h.frames < 0 || h.blocks < wholeBlocks || h.blocks > wholeBlocks + 1
        || bytes.size() != sizeof h + h.pathBytes + h.blocks * sizeof(std::uint16_t)
        || recording.compare(0, std::string::npos, bytes.data() + sizeof h, h.pathBytes) != 0)
        return std::nullopt;
    WaveOverview overview;
    overview.rate = h.rate;
    overview.frames = h.frames;
    overview.peaks.resize(h.blocks);
    if (h.blocks > 0)  // a recording stopped at once has none, and no buffer to copy into
        std::memcpy(overview.peaks.data(), bytes.data() + sizeof h + h.pathBytes, h.blocks * sizeof(std::uint16_t));
    return overview;
}

OSStatus write(const std::string& recording, const FileIdentity& madeFrom, const WaveOverview& overview)
{
    if (OSStatus s = audiofile::privateFolder(folder()))
        return s;
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.blockFrames = WaveOverview::kBlockFrames;
    h.pathBytes = std::uint32_t(recording.size());
    h.rate = overview.rate;
    h.frames = overview.frames;
    h.device = madeFrom.device;
    h.inode = madeFrom.inode;
    h.size = madeFrom.size;
    h.modifiedSeconds = madeFrom.modifiedSeconds;
    h.modifiedNanoseconds = madeFrom.modifiedNanoseconds;
    h.blocks = overview.peaks.size();
    std::vector<char> bytes(sizeof h + recording.size() + overview.peaks.size() * sizeof(std::uint16_t));
    std::memcpy(bytes.data(), &h, sizeof h);
    std::memcpy(bytes.data() + sizeof h, recording.data(), recording.size());
    if (!overview.peaks.empty())
        std::memcpy(bytes.data() + sizeof h + recording.size(), overview.peaks.data(),
            overview.peaks.size() * sizeof(std::uint16_t));
    // Not waited for on the disk: this runs as every recording ends, and a
    // cache that a crash left short or empty is refused by read() and remade.
    return audiofile::writeWholeFile(fileFor(recording), bytes.data(), bytes.size(), false);
}

}  // namespace wave_overview_cache
