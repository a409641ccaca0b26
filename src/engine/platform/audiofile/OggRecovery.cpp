// How recovery knows and finishes an Ogg recording a crash cut off
// (CrashRecovery.h): Ogg states no length anywhere but in its pages'
// granule positions, so a file cut after its last whole page is complete.
// Pages are walked from the first, each checked by its CRC.
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/CrashRecovery.h"

extern "C" {
#include <libavutil/crc.h>
}

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace audiofile {
namespace {

constexpr int kPageHeaderBytes = 27;

// The length of the whole page at `at` whose CRC holds; 0 for anything else.
std::int64_t wholePage(int fd, std::int64_t fileBytes, std::int64_t at, std::vector<std::uint8_t>& page)
{
    std::uint8_t head[kPageHeaderBytes + 255];
    if (at + kPageHeaderBytes > fileBytes || ::pread(fd, head, kPageHeaderBytes, off_t(at)) != kPageHeaderBytes
        || std::memcmp(head, "OggS", 4) != 0 || head[4] != 0)
        return 0;
    const int segments = head[26];
    if (at + kPageHeaderBytes + segments > fileBytes
        || ::pread(fd, head + kPageHeaderBytes, std::size_t(segments), off_t(at + kPageHeaderBytes)) != segments)
        return 0;
    std::int64_t size = kPageHeaderBytes + segments;
    for (int i = 0; i < segments; ++i)
        size += head[kPageHeaderBytes + i];
    if (at + size > fileBytes)
        return 0;
    page.resize(std::size_t(size));
    if (::pread(fd, page.data(), page.size(), off_t(at)) != ssize_t(size))
        return 0;
    const std::uint32_t stated
        = std::uint32_t(page[22]) << 24 | std::uint32_t(page[23]) << 16 | std::uint32_t(page[24]) << 8 | page[25];
    std::memset(page.data() + 22, 0, 4);
    return av_crc(av_crc_get_table(AV_CRC_32_IEEE), 0, page.data(), page.size()) == stated ? size : 0;
}

}  // namespace

bool oggWrittenHeader(int fd, std::int64_t fileBytes, std::string& out)
{
    // OggSink's first page: the stream's beginning, holding only the Opus or
    // Vorbis identification header (with the stream's serial number, drawn
    // at random for each file).
    std::vector<std::uint8_t> page;
    const std::int64_t size = wholePage(fd, fileBytes, 0, page);
    if (size < kPageHeaderBytes + 1 + 8 || !(page[5] & 0x02) || page[26] != 1)
        return false;
    const char* packet = reinterpret_cast<const char*>(page.data()) + kPageHeaderBytes + 1;
    if (std::memcmp(packet, "OpusHead", 8) != 0 && std::memcmp(packet, "\x01vorbis", 7) != 0)
        return false;
    out.assign(reinterpret_cast<const char*>(page.data()), page.size());
    return true;
}

OSStatus completeOggAfterCrash(int fd, std::int64_t fileBytes, const std::string&)
{
    std::vector<std::uint8_t> page;
    std::int64_t end = 0;
    while (const std::int64_t size = wholePage(fd, fileBytes, end, page))
        end += size;
    if (end == fileBytes)
        return noErr;  // finished by its writer, or cut between two pages
    if (::ftruncate(fd, off_t(end)) != 0)
        return writeFailure(statusFromErrno(errno));
    return dataSync.load(std::memory_order_relaxed)(fd) == 0 ? noErr : writeFailure(statusFromErrno(errno));
}

}  // namespace audiofile
