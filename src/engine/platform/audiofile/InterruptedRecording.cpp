#include "platform/InterruptedRecording.h"

#include "platform/AudioFormat.h"
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/CrashRecovery.h"
#include "platform/audiofile/Mp4Remux.h"
#include "platform/audiofile/WaveHeader.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

using namespace audiofile;

namespace {

std::uint32_t get32le(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint64_t get64be(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | p[i];
    return v;
}

bool readAt(int fd, void* buf, std::size_t size, std::int64_t at)
{
    return ::pread(fd, buf, size, off_t(at)) == ssize_t(size);
}

std::uint64_t get64le(const std::uint8_t* p)
{
    return std::uint64_t(get32le(p)) | std::uint64_t(get32le(p + 4)) << 32;
}

// A WAVE (or RF64) file whose header sizes were last updated before the
// crash: they are set to the whole frames on disk, and a partial last frame
// is cut off. A file whose sizes already agree with its length is left as it
// is.
OSStatus completeWave(int fd, std::int64_t fileBytes, bool rf64)
{
    WaveLayout layout;
    layout.rf64 = rf64;
    std::int64_t at = 12;
    std::int64_t dataAt = -1;
    std::uint64_t declared = 0;
    std::uint32_t blockAlign = 0;
    std::uint8_t head[8];
    if (!readAt(fd, head, 8, 0))
        return kAudioFileUnspecifiedError;
    std::uint64_t riff = get32le(head + 4);  // or the ds64 chunk's, below
    while (at + 8 <= fileBytes) {
        std::uint8_t chunk[8];
        if (!readAt(fd, chunk, 8, at))
            return kAudioFileUnspecifiedError;
        const std::uint32_t size = get32le(chunk + 4);
        if (at == 12 && size == kDs64Bytes
            && (std::memcmp(chunk, "JUNK", 4) == 0 || std::memcmp(chunk, "ds64", 4) == 0))
            layout.reservedAt = at;
        if (std::memcmp(chunk, "ds64", 4) == 0 && rf64 && size >= 16) {
            std::uint8_t sizes[16];
            if (!readAt(fd, sizes, 16, at + 8))
                return kAudioFileUnspecifiedError;
            riff = get64le(sizes);
            declared = get64le(sizes + 8);
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            std::uint8_t fmt[16];
            if (!readAt(fd, fmt, 16, at + 8))
                return kAudioFileUnspecifiedError;
            blockAlign = std::uint32_t(fmt[12]) | std::uint32_t(fmt[13]) << 8;
        }
        if (std::memcmp(chunk, "data", 4) == 0) {
            dataAt = at + 8;
            if (!rf64)
                declared = size;
            break;
        }
        at += 8 + std::int64_t(size) + (size & 1);
    }
    if (dataAt < 0 || blockAlign == 0 || (rf64 && layout.reservedAt < 0))
        return kAudioFileUnsupportedFileTypeError;
    const std::int64_t onDisk = fileBytes - dataAt;
    // Chunks after the audio (a tag list) make the data shorter than the
    // file; the RIFF size then tells whether the header is current.
    if (std::int64_t(riff) + 8 == fileBytes && std::int64_t(declared) <= onDisk)
        return noErr;
    const std::int64_t whole = onDisk - onDisk % blockAlign;
    if (!rf64 && layout.reservedAt < 0 && std::uint64_t(dataAt - 8 + whole) > plainRiffLimit.load())
        return kAudioFileUnsupportedFileTypeError;  // no room for the sizes of this much audio
    if (whole != onDisk && ::ftruncate(fd, off_t(dataAt + whole)) != 0)
        return writeFailure(statusFromErrno(errno));
    layout.dataAt = dataAt;
    layout.blockAlign = blockAlign;
    if (OSStatus s = writeWaveSizes(fd, layout, std::uint64_t(whole)))
        return s;
    return dataSync.load(std::memory_order_relaxed)(fd) == 0 ? noErr : writeFailure(statusFromErrno(errno));
}

// Eight bytes of the file at `at`, zero where it has none.
std::array<std::uint8_t, 8> bytesAt(int fd, std::int64_t at)
{
    std::array<std::uint8_t, 8> v{};
    readAt(fd, v.data(), 8, at);
    return v;
}

// A CAF recording whose data size still says "to the end of the file": its
// packet table names the packets written up to the last checkpoint; the
// data is cut after them and its size stated. A table that names none
// leaves a file no reader opens: it is left as it is and not called whole.
OSStatus completeCaf(int fd, std::int64_t fileBytes)
{
    std::int64_t at = 8;
    std::int64_t tableAt = -1;
    while (at + 12 <= fileBytes) {
        std::uint8_t chunk[12];
        if (!readAt(fd, chunk, 12, at))
            return kAudioFileUnspecifiedError;
        const std::uint64_t size = get64be(chunk + 4);
        if (std::memcmp(chunk, "pakt", 4) == 0)
            tableAt = at + 12;
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (size != ~std::uint64_t(0))
                return noErr;  // sized: complete
            if (tableAt < 0)
                return kAudioFileUnsupportedFileTypeError;
            std::uint8_t counts[24];
            if (!readAt(fd, counts, 24, tableAt))
                return kAudioFileUnspecifiedError;
            const std::uint64_t packets = get64be(counts);
            const std::int64_t audioAt = at + 12 + 4;  // after the edit count
            std::uint64_t kept = 0;
            // Sum the sizes the table names, in bytes read a block at a time.
            std::uint64_t whole = 0;
            std::int64_t entryAt = tableAt + 24;
            std::uint8_t block[4096];
            std::size_t have = 0, used = 0;
            for (std::uint64_t p = 0; p < packets; ++p) {
                std::uint64_t value = 0;
                for (;;) {
                    if (used == have) {
                        const ssize_t n = ::pread(fd, block, sizeof block, off_t(entryAt));
                        if (n <= 0)
                            return kAudioFileUnsupportedFileTypeError;
                        entryAt += n;
                        have = std::size_t(n);
                        used = 0;
                    }
                    const std::uint8_t b = block[used++];
                    value = value << 7 | (b & 0x7F);
                    if (!(b & 0x80))
                        break;
                }
                // A power loss may keep the table but not all of the audio it names.
                if (audioAt + std::int64_t(whole + value) > fileBytes)
                    break;
                whole += value;
                ++kept;
            }
            if (kept == 0)
                return kAudioFileUnsupportedFileTypeError;
            if (kept != packets) {
                // The 'desc' chunk's frames per packet, after its rate, format, flags and bytes per packet.
                const std::uint32_t framesPerPacket = std::uint32_t(get64be(bytesAt(fd, 8 + 12 + 20).data()) >> 32);
                const std::int64_t priming = std::int64_t(get64be(counts + 16) >> 32);
                const std::int64_t valid = std::max<std::int64_t>(0, std::int64_t(kept * framesPerPacket) - priming);
                std::uint8_t fixed[16];
                for (int i = 0; i < 8; ++i) {
                    fixed[i] = std::uint8_t(kept >> (8 * (7 - i)));
                    fixed[8 + i] = std::uint8_t(std::uint64_t(valid) >> (8 * (7 - i)));
                }
                if (::pwrite(fd, fixed, 16, off_t(tableAt)) != 16)
                    return writeFailure(statusFromErrno(errno));
            }
            if (::ftruncate(fd, off_t(audioAt + std::int64_t(whole))) != 0)
                return writeFailure(statusFromErrno(errno));
            std::uint8_t sized[8];
            for (int i = 0; i < 8; ++i)
                sized[i] = std::uint8_t((4 + whole) >> (8 * (7 - i)));
            if (::pwrite(fd, sized, 8, off_t(at + 4)) != 8)
                return writeFailure(statusFromErrno(errno));
            return dataSync.load(std::memory_order_relaxed)(fd) == 0 ? noErr : writeFailure(statusFromErrno(errno));
        }
        if (std::int64_t(size) < 0)
            return kAudioFileUnsupportedFileTypeError;
        at += 12 + std::int64_t(size);
    }
    return kAudioFileUnsupportedFileTypeError;
}

// Whether an MPEG-4 file holds movie fragments: a crash leaves them behind,
// where a completed recording has one sample table.
bool hasMovieFragments(int fd, std::int64_t fileBytes)
{
    std::int64_t at = 0;
    while (at + 8 <= fileBytes) {
        std::uint8_t box[16];
        if (!readAt(fd, box, 8, at))
            return false;
        std::uint64_t size = get64be(box) >> 32;
        if (std::memcmp(box + 4, "moof", 4) == 0)
            return true;
        if (size == 1) {
            if (!readAt(fd, box + 8, 8, at + 8))
                return false;
            size = get64be(box + 8);
        }
        if (size < 8 || size > std::uint64_t(fileBytes - at))
            return false;  // to the end of the file, or damaged
        at += std::int64_t(size);
    }
    return false;
}

std::string bytesOf(int fd, std::int64_t fileBytes, std::int64_t at, std::size_t size)
{
    std::string v(size, '\0');
    return at + std::int64_t(size) <= fileBytes && readAt(fd, v.data(), size, at) ? v : std::string();
}

// The format whose writer laid out the file, and the bytes at its start
// that the writer put there once and never changes (the sizes it keeps
// rewriting left out); null for any other file.
const AudioFormat* writtenHeader(int fd, std::int64_t fileBytes, std::string& out)
{
    for (const AudioFormat& format : audioFormats())
        if (format.writtenHeader(fd, fileBytes, out))
            return &format;
    return nullptr;
}

std::string hexOfHash(const std::string& bytes)
{
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : bytes)
        h = (h ^ c) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

constexpr const char* kMarkTag = "\ntraytape-recording ";

// "<device>:<inode>:<header hash>", as a mark and a rewrite's box state it.
std::string identityText(unsigned long long device, unsigned long long inode, const std::string& headerHash)
{
    return std::to_string(device) + ":" + std::to_string(inode) + ":" + headerHash;
}

// Whether the file is the ordinary MPEG-4 file this program's rewrite made
// of the recording `identity` names: the rewrite ends it with a box naming
// it (the new file took another inode when it took the recording's place).
bool finishedRewriteOf(int fd, std::int64_t fileBytes, const std::string& identity)
{
    const std::string box = audiofile::rewriteIdentityBox(identity);
    std::uint8_t head[12] = {};
    std::string tail(box.size(), '\0');
    return fileBytes > std::int64_t(box.size() + sizeof head) && readAt(fd, head, sizeof head, 0)
        && std::memcmp(head + 4, "ftyp", 4) == 0 && std::memcmp(head + 8, "M4A ", 4) == 0
        && !hasMovieFragments(fd, fileBytes)
        && readAt(fd, tail.data(), tail.size(), fileBytes - std::int64_t(tail.size())) && tail == box;
}

// Whether the file at path holds audio a player can play.
bool decodes(const std::string& path)
{
    ExtAudioFileRef file;
    std::int64_t frames = 0;
    std::uint32_t size = sizeof frames;
    return ExtAudioFile::open(path, file) == noErr
        && file->getProperty(kExtAudioFileProperty_FileLengthFrames, &size, &frames) == noErr && frames > 0;
}

struct Identity {
    unsigned long long device = 0, inode = 0;
    std::string header;
};

// The path a mark names and, for a mark of this version, the identity.
std::string parseMark(const std::string& mark, std::optional<Identity>& identity)
{
    const std::size_t tag = mark.rfind(kMarkTag);
    if (tag == std::string::npos)
        return mark;  // an older mark: the path alone
    Identity id;
    char header[17] = {};
    if (std::sscanf(mark.c_str() + tag + std::strlen(kMarkTag), "%llu:%llu:%16[0-9a-f]", &id.device, &id.inode, header) != 3)
        return mark;
    id.header = header;
    identity = id;
    return mark.substr(0, tag);
}

}  // namespace

namespace audiofile {

bool waveWrittenHeader(int fd, std::int64_t fileBytes, std::string& out)
{
    std::uint8_t head[80] = {};
    if (fileBytes < 80 || !readAt(fd, head, sizeof head, 0)
        || (std::memcmp(head, "RIFF", 4) != 0 && std::memcmp(head, "RF64", 4) != 0)
        || std::memcmp(head + 8, "WAVE", 4) != 0)
        return false;
    // WavSink's layout: a 28-byte reserved chunk, a 16-byte 'fmt ', then 'data'.
    if (get32le(head + 16) != kDs64Bytes || std::memcmp(head + 48, "fmt ", 4) != 0 || get32le(head + 52) != 16
        || std::memcmp(head + 72, "data", 4) != 0)
        return false;
    out = bytesOf(fd, fileBytes, 8, 4) + bytesOf(fd, fileBytes, 48, 28);
    return true;
}

OSStatus completeWaveAfterCrash(int fd, std::int64_t fileBytes, const std::string&)
{
    std::uint8_t head[4] = {};
    if (!readAt(fd, head, sizeof head, 0))
        return kAudioFileUnspecifiedError;
    return completeWave(fd, fileBytes, std::memcmp(head, "RF64", 4) == 0);
}

bool cafWrittenHeader(int fd, std::int64_t fileBytes, std::string& out)
{
    std::uint8_t head[32] = {};
    // CafFile's recording layout: 'desc' of AAC, 'kuki', the reserved 'pakt'.
    if (fileBytes < 32 || !readAt(fd, head, sizeof head, 0) || std::memcmp(head, "caff", 4) != 0
        || std::memcmp(head + 8, "desc", 4) != 0 || std::memcmp(head + 28, "aac ", 4) != 0)
        return false;
    std::int64_t at = 8;
    while (at + 12 <= fileBytes && at < 65536) {
        const std::string chunk = bytesOf(fd, fileBytes, at, 12);
        if (chunk.empty())
            return false;
        if (chunk.compare(0, 4, "pakt") == 0) {
            out = bytesOf(fd, fileBytes, 0, std::size_t(at));
            return !out.empty();
        }
        if (chunk.compare(0, 4, "data") == 0)
            return false;
        // A size past the end (or one that would step back) is damage, not a chunk to skip.
        const std::uint64_t size = get64be(reinterpret_cast<const std::uint8_t*>(chunk.data()) + 4);
        if (size > std::uint64_t(fileBytes - at - 12))
            return false;
        at += 12 + std::int64_t(size);
    }
    return false;
}

OSStatus completeCafAfterCrash(int fd, std::int64_t fileBytes, const std::string&)
{
    return completeCaf(fd, fileBytes);
}

bool mp4WrittenHeader(int fd, std::int64_t fileBytes, std::string& out)
{
    std::uint8_t head[12] = {};
    if (fileBytes < 12 || !readAt(fd, head, sizeof head, 0) || std::memcmp(head + 4, "ftyp", 4) != 0)
        return false;
    // AacSink's fragmented MPEG-4: an "M4A " 'ftyp' and an empty 'moov' of AAC.
    const std::int64_t moovAt = std::int64_t(get64be(head) >> 32);
    if (std::memcmp(head + 8, "M4A ", 4) != 0 || moovAt < 8 || moovAt + 8 > fileBytes)
        return false;
    const std::string moovHead = bytesOf(fd, fileBytes, moovAt, 8);
    const std::int64_t moovEnd
        = moovAt + std::int64_t(get64be(reinterpret_cast<const std::uint8_t*>(moovHead.data())) >> 32);
    if (moovHead.compare(4, 4, "moov") != 0 || moovEnd > fileBytes || moovEnd - moovAt > 65536)
        return false;
    out = bytesOf(fd, fileBytes, 0, std::size_t(moovEnd));
    return out.find("mp4a") != std::string::npos;
}

OSStatus completeMp4AfterCrash(int fd, std::int64_t fileBytes, const std::string& path)
{
    return hasMovieFragments(fd, fileBytes) ? remuxToOrdinaryMp4(fd, path, -1, -1, true) : noErr;
}

}  // namespace audiofile

namespace {

// Between the marks of a recording and of each of its sources: a line no
// mark of one file holds (a path holds no newline there, in practice).
constexpr const char* kSourceTag = "\ntraytape-source\n";

// The recording's mark, then its sources'.
std::vector<std::string> splitMarks(const std::string& mark)
{
    std::vector<std::string> marks;
    const std::size_t tagLength = std::strlen(kSourceTag);
    std::size_t from = 0;
    for (std::size_t at; (at = mark.find(kSourceTag, from)) != std::string::npos; from = at + tagLength)
        marks.push_back(mark.substr(from, at - from));
    marks.push_back(mark.substr(from));
    return marks;
}

}  // namespace

std::string recordingMark(const std::string& path, const std::vector<std::string>& sources)
{
    std::string mark = recordingMark(path);
    for (const std::string& source : sources)
        mark += kSourceTag + recordingMark(source);
    return mark;
}

std::vector<std::string> recordingMarkSources(const std::string& mark)
{
    std::vector<std::string> marks = splitMarks(mark);
    marks.erase(marks.begin());
    return marks;
}

std::string recordingMark(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return path;
    struct stat st { };
    const std::string identity = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? recordingIdentity(fd) : std::string();
    ::close(fd);
    return identity.empty() ? path : path + kMarkTag + identity;
}

std::string recordingIdentity(int fd)
{
    struct stat st { };
    std::string header;
    return ::fstat(fd, &st) == 0 && writtenHeader(fd, st.st_size, header)
        ? identityText(st.st_dev, st.st_ino, hexOfHash(header))
        : std::string();
}

std::string recordingMarkPath(const std::string& mark)
{
    std::optional<Identity> identity;
    return parseMark(splitMarks(mark).front(), identity);
}

namespace {

OSStatus completeOne(const std::string& mark);

}  // namespace

OSStatus completeInterruptedRecording(const std::string& mark)
{
    // The sources first, each as a recording of its own; the recording's answer is the one given.
    for (const std::string& source : recordingMarkSources(mark))
        completeOne(source);
    return completeOne(splitMarks(mark).front());
}

namespace {

OSStatus completeOne(const std::string& mark)
{
    quietFFmpegLog();
    std::optional<Identity> identity;
    const std::string path = parseMark(mark, identity);
    // Never through a link, and never waiting on a FIFO's writer. A mark of
    // an older version only ever reads.
    int fd = ::open(path.c_str(), (identity ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? kInterruptedRecordingNotOurs : statusFromErrno(errno);
    struct stat st { };
    OSStatus status = kAudioFileUnsupportedFileTypeError;
    std::string header;
    const AudioFormat* format = nullptr;
    if (::fstat(fd, &st) != 0) {
        status = statusFromErrno(errno);
    } else if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        status = kInterruptedRecordingNotOurs;
    } else if (!identity) {
        // Nothing says which file the older version was writing: any file
        // shaped like a recording could stand there. It is offered back as
        // it is when it plays, and never changed.
        status = decodes(path) ? noErr : kInterruptedRecordingNotOurs;
    } else if (!(format = writtenHeader(fd, st.st_size, header)) || identity->device != st.st_dev
        || identity->inode != st.st_ino || identity->header != hexOfHash(header)) {
        // The rewrite of a stopped M4A renames a new file over the recording
        // before the mark is cleared: a crash in between leaves the finished
        // file, which is whole. Anything else is not the file this program
        // was writing: left byte for byte.
        status = finishedRewriteOf(fd, st.st_size, identityText(identity->device, identity->inode, identity->header))
            ? noErr
            : kInterruptedRecordingNotOurs;
    } else {
        status = format->completeAfterCrash(fd, st.st_size, path);
    }
    ::close(fd);
    return status;
}

}  // namespace

bool recordingMarkNames(const std::string& combined, const std::string& path)
{
    struct stat target { };
    // A link to the recording, or a second name of it, is the recording too.
    if (combined.empty() || ::stat(path.c_str(), &target) != 0)
        return false;
    const std::vector<std::string> marks = splitMarks(combined);
    if (marks.size() > 1)
        return std::any_of(
            marks.begin(), marks.end(), [&](const std::string& one) { return recordingMarkNames(one, path); });
    const std::string& mark = combined;
    std::optional<Identity> identity;
    const std::string marked = parseMark(mark, identity);
    if (identity && identity->device == target.st_dev && identity->inode == target.st_ino)
        return true;
    struct stat st { };
    return ::stat(marked.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino;
}

namespace {

// One value of an INI file as Qt's settings write it: quoted stretches,
// backslash escapes (\n, \t, \", \\, \xhhhh as a code point, octal), and
// the rest in UTF-8.
std::string iniValue(const std::string& raw)
{
    std::string out;
    const auto putCodePoint = [&out](unsigned long c) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    };
    bool quoted = false;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\' && i + 1 < raw.size()) {
            const char e = raw[++i];
            if (e == 'x') {
                std::size_t digits = 0;
                const unsigned long code = std::stoul("0" + raw.substr(i + 1, 4), &digits, 16);
                i += digits - 1;
                putCodePoint(code);
            } else if (e >= '0' && e <= '7') {
                std::size_t digits = 0;
                const unsigned long code = std::stoul(raw.substr(i, 3), &digits, 8);
                i += digits - 1;
                putCodePoint(code);
            } else {
                static const std::string from = "ntrabfv", to = "\n\t\r\a\b\f\v";
                const std::size_t at = from.find(e);
                out += at == std::string::npos ? e : to[at];
            }
        } else if (quoted || (c != ' ' && c != '\t') || !out.empty()) {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string storedRecordingMark()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config && config[0] == '/') {
        folder = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            const passwd* user = ::getpwuid(::geteuid());
            home = user ? user->pw_dir : nullptr;
        }
        if (!home)
            return {};
        folder = std::string(home) + "/.config";
    }
    // Never waiting on a FIFO put in the file's place.
    const int fd = ::open((folder + "/traytape/TrayTape.conf").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    struct stat st { };
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[8192];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            text.append(buffer, std::size_t(n));
    }
    ::close(fd);
    static const std::string key = "RecordingInProgress=";
    bool general = false;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[')
            general = line == "[General]";
        else if (general && line.compare(0, key.size(), key) == 0)
            return iniValue(line.substr(key.size()));
    }
    return {};
}
