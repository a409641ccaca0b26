// How recovery knows and finishes a FLAC recording a crash cut off
// (CrashRecovery.h): its frames are walked from the first, each checked by
// its own CRCs, the file cut after the last whole one and their total
// samples stated in STREAMINFO, as the encoder would have at the end.
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/CrashRecovery.h"
#include "platform/audiofile/FlacSink.h"

extern "C" {
#include <libavutil/crc.h>
}

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace audiofile {
namespace {

// The frame header at p (sync code, block size, rate, channels, sample
// size, coded number, CRC-8): its length and the samples the frame holds;
// false for anything else.
bool frameHeader(const std::uint8_t* p, std::int64_t available, int& length, int& samples)
{
    if (available < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8)
        return false;
    const int sizeCode = p[2] >> 4, rateCode = p[2] & 0x0F;
    if (sizeCode == 0 || rateCode == 15 || (p[3] >> 4) > 10 || (p[3] & 1))
        return false;
    int at = 4;
    int extra = 0;
    for (std::uint8_t lead = p[at]; lead & 0x80; lead <<= 1)
        ++extra;
    if (extra == 1 || extra > 7)
        return false;
    extra = extra == 0 ? 0 : extra - 1;
    if (available < at + 1 + extra + 2 + 2 + 1)
        return false;
    for (int i = 1; i <= extra; ++i)
        if ((p[at + i] & 0xC0) != 0x80)
            return false;
    at += 1 + extra;
    if (sizeCode == 1)
        samples = 192;
    else if (sizeCode <= 5)
        samples = 576 << (sizeCode - 2);
    else if (sizeCode == 6)
        samples = p[at++] + 1;
    else if (sizeCode == 7) {
        samples = (p[at] << 8 | p[at + 1]) + 1;
        at += 2;
    } else
        samples = 256 << (sizeCode - 8);
    at += rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0;
    length = at + 1;
    return av_crc(av_crc_get_table(AV_CRC_8_ATM), 0, p, std::size_t(length)) == 0;
}

struct Frames {
    std::int64_t end = kFlacFramesAt;  // after the last whole frame
    std::uint64_t samples = 0;
    std::uint32_t smallest = 0, largest = 0;
};

// The whole frames from the first on. A frame ends where the CRC-16 of its
// bytes comes to zero just before another frame's header, or at the end of
// the file.
Frames wholeFrames(const std::uint8_t* d, std::int64_t size)
{
    const AVCRC* crc16 = av_crc_get_table(AV_CRC_16_ANSI);
    Frames found;
    std::int64_t at = kFlacFramesAt;
    int length = 0, samples = 0;
    while (frameHeader(d + at, size - at, length, samples)) {
        std::uint32_t crc = av_crc(crc16, 0, d + at, std::size_t(length));
        std::int64_t end = -1;
        for (std::int64_t p = at + length;;) {
            const void* sync = std::memchr(d + p, 0xFF, std::size_t(size - p));
            const std::int64_t q = sync ? static_cast<const std::uint8_t*>(sync) - d : size;
            crc = av_crc(crc16, crc, d + p, std::size_t(q - p));
            int nextLength = 0, nextSamples = 0;
            if (q == size || (crc == 0 && frameHeader(d + q, size - q, nextLength, nextSamples))) {
                if (crc == 0)
                    end = q;
                break;
            }
            crc = av_crc(crc16, crc, d + q, 1);
            p = q + 1;
        }
        if (end < 0)
            break;
        const auto bytes = std::uint32_t(end - at);
        found.smallest = found.samples == 0 ? bytes : std::min(found.smallest, bytes);
        found.largest = std::max(found.largest, bytes);
        found.samples += std::uint64_t(samples);
        found.end = at = end;
    }
    return found;
}

void put24(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v >> 16);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v);
}

}  // namespace

bool flacWrittenHeader(int fd, std::int64_t fileBytes, std::string& out)
{
    std::uint8_t head[kFlacFramesAt];
    static const std::uint8_t kLayout[8] = {'f', 'L', 'a', 'C', 0x80, 0, 0, kFlacStreamInfoBytes};
    if (fileBytes < kFlacFramesAt || ::pread(fd, head, sizeof head, 0) != ssize_t(sizeof head)
        || std::memcmp(head, kLayout, sizeof kLayout) != 0)
        return false;
    // What the end rewrites (frame sizes, total samples, MD5) left out: the
    // block sizes, rate, channels and sample size stay.
    const std::uint8_t* info = head + kFlacStreamInfoAt;
    out.assign(reinterpret_cast<const char*>(head), 8);
    out.append(reinterpret_cast<const char*>(info), 4);
    out.append(reinterpret_cast<const char*>(info + 10), 3);
    out += char(info[13] & 0xF0);
    return true;
}

OSStatus completeFlacAfterCrash(int fd, std::int64_t fileBytes, const std::string&)
{
    if (fileBytes < kFlacFramesAt)
        return kAudioFileUnsupportedFileTypeError;
    void* map = ::mmap(nullptr, std::size_t(fileBytes), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return statusFromErrno(errno);
    const auto* d = static_cast<const std::uint8_t*>(map);
    const Frames frames = wholeFrames(d, fileBytes);
    std::uint8_t info[kFlacStreamInfoBytes];
    std::memcpy(info, d + kFlacStreamInfoAt, sizeof info);
    ::munmap(map, std::size_t(fileBytes));

    const std::uint64_t stated = std::uint64_t(info[13] & 0x0F) << 32 | std::uint64_t(info[14]) << 24
        | std::uint64_t(info[15]) << 16 | std::uint64_t(info[16]) << 8 | info[17];
    if (frames.end == fileBytes && stated == frames.samples)
        return noErr;  // finished by its writer
    if (frames.end != fileBytes && ::ftruncate(fd, off_t(frames.end)) != 0)
        return writeFailure(statusFromErrno(errno));
    put24(info + 4, frames.smallest);
    put24(info + 7, frames.largest);
    info[13] = std::uint8_t((info[13] & 0xF0) | ((frames.samples >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i)
        info[14 + i] = std::uint8_t(frames.samples >> (8 * (3 - i)));
    // The audio's MD5 is the encoder's to give at the end: unknown (zero) here.
    std::memset(info + 18, 0, 16);
    if (::pwrite(fd, info, sizeof info, kFlacStreamInfoAt) != ssize_t(sizeof info))
        return writeFailure(statusFromErrno(errno));
    return dataSync.load(std::memory_order_relaxed)(fd) == 0 ? noErr : writeFailure(statusFromErrno(errno));
}

}  // namespace audiofile
