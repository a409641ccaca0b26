#include "platform/audiofile/SafeFile.h"

#include "platform/audiofile/AudioFileCommon.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace audiofile {
namespace {

// The temporary files alive in this process, for a signal handler to remove.
// Slots are claimed and released with atomics only, so the handler may read
// them at any moment.
struct TemporarySlot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 holds a path
    char path[PATH_MAX];
};
constexpr int kSlots = 16;
TemporarySlot slots[kSlots];

int claimSlot(const std::string& path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (slots[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
            slots[i].state.store(2);
            return i;
        }
    }
    return -1;  // more temporaries than slots: the extra ones are not removed on a signal
}

void releaseSlot(int& slot)
{
    if (slot >= 0)
        slots[slot].state.store(0);
    slot = -1;
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr std::size_t kNameMax = 255;
constexpr std::size_t kTemporaryAdded = 1 + 1 + 16 + 4;

// Whether a name has the shape temporaryName() gives.
bool isTemporaryName(const char* name)
{
    const std::size_t size = std::strlen(name);
    if (size < kTemporaryAdded + 1 || name[0] != '.' || std::strcmp(name + size - 4, ".tmp") != 0
        || name[size - 4 - 16 - 1] != '.')
        return false;
    for (std::size_t i = size - 4 - 16; i < size - 4; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i])) || std::isupper(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

// Why a path cannot be used, before anything is made: too long as a whole,
// or (once the hidden file's name is added) too long for the system.
OSStatus lengthCheck(const std::string& path)
{
    if (path.size() + 1 > PATH_MAX)
        return kAudioFilePathTooLongError;
    if (nameOf(path).size() > kNameMax)
        return kAudioFileNameTooLongError;
    return noErr;
}

// ".<name>.<16 random hex digits>.tmp", the name cut (at a character
// boundary) so the whole fits in a file name even when the destination's
// own name is as long as the file system allows.
std::string temporaryName(const std::string& name)
{
    std::string stem = name;
    if (stem.size() > kNameMax - kTemporaryAdded) {
        std::size_t cut = kNameMax - kTemporaryAdded;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80)
            --cut;
        stem.resize(cut);
    }
    unsigned char random[8];
    if (::getrandom(random, sizeof random, 0) != ssize_t(sizeof random)) {
        static std::atomic<unsigned> counter{0};
        const unsigned long long mixed = (unsigned long long)::getpid() << 32 ^ counter++ ^ (unsigned long long)clock();
        std::memcpy(random, &mixed, sizeof random);
    }
    char hex[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    return "." + stem + "." + hex + ".tmp";
}

extern "C" void removeTemporariesThenEnd(int signalNumber)
{
    removeTemporaries();
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

struct FdIo {
    int fd;
    std::int64_t position;
};

int readFd(void* opaque, std::uint8_t* buf, int size)
{
    auto* io = static_cast<FdIo*>(opaque);
    for (;;) {
        const ssize_t n = ::pread(io->fd, buf, std::size_t(size), off_t(io->position));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return AVERROR(errno);
        if (n == 0)
            return AVERROR_EOF;
        io->position += n;
        return int(n);
    }
}

int writeFd(void* opaque, std::uint8_t* buf, int size)
{
    auto* io = static_cast<FdIo*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(io->fd, buf + done, std::size_t(size - done), off_t(io->position));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return AVERROR(errno);
        io->position += n;
        done += int(n);
    }
    return done;
}

std::int64_t seekFd(void* opaque, std::int64_t offset, int whence)
{
    auto* io = static_cast<FdIo*>(opaque);
    struct stat st { };
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return ::fstat(io->fd, &st) == 0 ? std::int64_t(st.st_size) : AVERROR(errno);
    case SEEK_SET:
        io->position = offset;
        return offset;
    case SEEK_CUR:
        io->position += offset;
        return io->position;
    case SEEK_END:
        if (::fstat(io->fd, &st) != 0)
            return AVERROR(errno);
        io->position = std::int64_t(st.st_size) + offset;
        return io->position;
    default:
        return AVERROR(EINVAL);
    }
}

}  // namespace

std::atomic<void (*)(const std::string&)> beforeCommit{nullptr};

OSStatus checkDestination(const std::string& path)
{
    if (OSStatus s = lengthCheck(path))
        return s;
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? noErr : statusFromErrno(errno);
    if (S_ISLNK(st.st_mode))
        return noErr;  // the link is replaced; its target is never opened
    if (!S_ISREG(st.st_mode))
        return kAudioFileNotRegularFileError;
    // The superuser may write anything: a file no one may write is still
    // taken as one not to be replaced.
    if (::access(path.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0)
        return kAudioFilePermissionsError;
    return noErr;
}

SafeFile::~SafeFile()
{
    discard();
}

OSStatus SafeFile::create(const std::string& destination, bool replace, std::unique_ptr<SafeFile>& out)
{
    if (destination.empty() || destination.back() == '/')
        return kAudioFileNotRegularFileError;
    struct stat st { };
    const bool exists = ::lstat(destination.c_str(), &st) == 0;
    if (exists && !replace)
        return kAudioFilePermissionsError;
    if (OSStatus s = checkDestination(destination))
        return s;
    const std::string folder = folderOf(destination) + "/";
    // The hidden file's path is longer than the destination's by its added characters.
    if (folder.size() + std::min(nameOf(destination).size(), kNameMax - kTemporaryAdded) + kTemporaryAdded + 1
        > PATH_MAX)
        return kAudioFilePathTooLongError;
    auto file = std::make_unique<SafeFile>();
    file->destination_ = destination;
    file->replace_ = replace;
    for (int attempt = 0; attempt < 16 && file->fd_ < 0; ++attempt) {
        file->temporary_ = folder + temporaryName(nameOf(destination));
        // 0666: the kernel takes the umask off, as for any new file.
        file->fd_ = ::open(file->temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (file->fd_ < 0 && errno != EEXIST)
            return statusFromErrno(errno);
    }
    if (file->fd_ < 0)
        return kAudioFileUnspecifiedError;
    file->slot_ = claimSlot(file->temporary_);
    if (exists && S_ISREG(st.st_mode))
        ::fchmod(file->fd_, st.st_mode & 07777);
    out = std::move(file);
    return noErr;
}

OSStatus SafeFile::commit(bool sync)
{
    if (committed_)
        return noErr;
    if (fd_ < 0)
        return kAudioFileNotOpenError;
    if (sync && dataSync.load(std::memory_order_relaxed)(fd_) != 0)
        return writeFailure(statusFromErrno(errno));
    if (auto hook = beforeCommit.load())
        hook(temporary_);
    // The name is renamed, not the descriptor: it must still be the file
    // written, or another program's file (or link) would take the place.
    struct stat written {
    }, named{};
    if (::fstat(fd_, &written) != 0 || ::lstat(temporary_.c_str(), &named) != 0 || !S_ISREG(named.st_mode)
        || written.st_dev != named.st_dev || written.st_ino != named.st_ino) {
        temporary_.clear();  // what is at that name now is not ours to remove
        releaseSlot(slot_);
        return kAudioFileSwappedError;
    }
    // What took the destination's place since create() is judged again:
    // a device or FIFO put there meanwhile is not replaced.
    if (OSStatus s = checkDestination(destination_))
        return s;
    int r;
    if (replace_) {
        r = ::rename(temporary_.c_str(), destination_.c_str());
    } else {
        r = ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE);
        if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: a hard link never replaces either.
            r = ::link(temporary_.c_str(), destination_.c_str());
            if (r == 0)
                ::unlink(temporary_.c_str());
        }
    }
    if (r != 0)
        return statusFromErrno(errno);
    committed_ = true;
    releaseSlot(slot_);
    if (sync)
        syncFolderOf(destination_);
    return noErr;
}

bool SafeFile::lost() const
{
    struct stat here { }, there{};
    return committed_
        && (::fstat(fd_, &here) != 0 || ::lstat(destination_.c_str(), &there) != 0 || here.st_dev != there.st_dev
            || here.st_ino != there.st_ino);
}

void SafeFile::discard()
{
    if (!committed_ && !temporary_.empty())
        ::unlink(temporary_.c_str());
    releaseSlot(slot_);
    temporary_.clear();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

OSStatus writeWholeFile(const std::string& path, const void* data, std::size_t size, bool sync, bool replace)
{
    std::unique_ptr<SafeFile> file;
    if (OSStatus s = SafeFile::create(path, replace, file))
        return s;
    std::uint64_t written = 0;
    if (OSStatus s = writeAll(file->fd(), static_cast<const std::uint8_t*>(data), size, written))
        return s;
    return file->commit(sync);
}

bool regularFileHolds(const std::string& path, const void* data, std::size_t size)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st { };
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && std::uint64_t(st.st_size) == size;
    std::vector<std::uint8_t> present(same ? size : 0);
    same = same && ::pread(fd, present.data(), size, 0) == ssize_t(size)
        && (size == 0 || std::memcmp(present.data(), data, size) == 0);
    ::close(fd);
    return same;
}

std::string homeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    struct passwd entry {
    }, *found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir
        && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

OSStatus privateFolder(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return kAudioFileFileNotFoundError;
    if (path.size() + 1 > PATH_MAX)
        return kAudioFilePathTooLongError;
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return statusFromErrno(errno);
        if (slash == std::string::npos)
            break;
    }
    // Followed through links: a link to this user's own folder is theirs to
    // make; one to another user's folder would hand them the files.
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        return statusFromErrno(errno);
    if (!S_ISDIR(st.st_mode))
        return kAudioFileNotRegularFileError;
    if (st.st_uid != ::geteuid())
        return kAudioFileFolderNotOwnedError;
    return noErr;
}

int removeStaleTemporaries(const std::string& folder)
{
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return 0;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return 0;
    }
    constexpr time_t kDay = 24 * 60 * 60;
    const time_t now = std::time(nullptr);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!isTemporaryName(entry->d_name))
            continue;
        struct stat st { };
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)
            || st.st_uid != ::geteuid() || now - st.st_mtime < kDay)
            continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

void removeTemporaries()
{
    for (TemporarySlot& slot : slots)
        if (slot.state.load() == 2)
            ::unlink(slot.path);
}

void removeTemporariesOnQuitSignals()
{
    struct sigaction action { };
    action.sa_handler = removeTemporariesThenEnd;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
}

void FdIoDeleter::operator()(AVIOContext* io) const
{
    if (!io)
        return;
    avio_flush(io);
    delete static_cast<FdIo*>(io->opaque);
    av_freep(&io->buffer);
    avio_context_free(&io);
}

FdIoPtr openFdIo(int fd, bool write)
{
    constexpr int kBufferBytes = 64 * 1024;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferBytes));
    if (!buffer)
        return nullptr;
    auto* state = new FdIo{fd, 0};
    AVIOContext* io
        = avio_alloc_context(buffer, kBufferBytes, write ? 1 : 0, state, readFd, write ? writeFd : nullptr, seekFd);
    if (!io) {
        av_free(buffer);
        delete state;
        return nullptr;
    }
    return FdIoPtr(io);
}

}  // namespace audiofile
