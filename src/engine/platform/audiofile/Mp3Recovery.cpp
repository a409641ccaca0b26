// How recovery knows and finishes an MP3 recording a crash cut off
// (CrashRecovery.h): its frames are walked from the one after the Info
// frame, the file cut after the last whole one and the Info frame filled as
// a stop fills it. The padding a stop states is the encoder's to know; here
// it is the decoder's own delay, with which a decoder gives every sample the
// frames carry whole and the stated length is what it gives.
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/CrashRecovery.h"
#include "platform/audiofile/Mp3InfoFrame.h"
#include "platform/audiofile/Mp3Sink.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace audiofile {
namespace {

// Mp3Sink's Info frame at the start of the file, whole; false for anything else.
bool infoFrame(int fd, std::int64_t fileBytes, std::vector<std::uint8_t>& frame, Mp3FrameHeader& header)
{
    std::uint8_t head[4];
    if (::pread(fd, head, 4, 0) != 4 || !readMp3FrameHeader(head, 4, header) || header.bytes > fileBytes
        || header.bytes < header.tagAt() + kXingEnd)
        return false;
    frame.resize(std::size_t(header.bytes));
    if (::pread(fd, frame.data(), frame.size(), 0) != ssize_t(frame.size()))
        return false;
    const std::uint8_t* tag = frame.data() + header.tagAt();
    static const std::uint8_t kFlags[4] = {0, 0, 0, 0x0F};
    return std::memcmp(tag, "Xing", 4) == 0 && std::memcmp(tag + 4, kFlags, 4) == 0
        && std::memcmp(tag + kXingVendorAt, "Lavc", 4) == 0;
}

}  // namespace

bool mp3WrittenHeader(int fd, std::int64_t fileBytes, std::string& out)
{
    std::vector<std::uint8_t> frame;
    Mp3FrameHeader header;
    if (!infoFrame(fd, fileBytes, frame, header))
        return false;
    // What the end fills in (counts, seek table, padding, length, CRCs) left out.
    const auto* p = reinterpret_cast<const char*>(frame.data());
    const int tag = header.tagAt();
    out.assign(p, std::size_t(tag + kXingFramesAt));
    out.append(p + tag + kXingVendorAt, kXingDelayAt - kXingVendorAt + 1);
    out += char(frame[std::size_t(tag + kXingDelayAt + 1)] & 0xF0);
    out.append(p + tag + kXingDelayAt + 3, kXingMusicLengthAt - kXingDelayAt - 3);
    out.append(p + tag + kXingEnd, frame.size() - std::size_t(tag + kXingEnd));
    return true;
}

OSStatus completeMp3AfterCrash(int fd, std::int64_t fileBytes, const std::string&)
{
    std::vector<std::uint8_t> info;
    Mp3FrameHeader header;
    if (!infoFrame(fd, fileBytes, info, header))
        return kAudioFileUnsupportedFileTypeError;
    void* map = ::mmap(nullptr, std::size_t(fileBytes), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return statusFromErrno(errno);
    const auto* d = static_cast<const std::uint8_t*>(map);
    Mp3InfoFields fields;
    Mp3SeekTable seekTable(std::uint32_t(info.size()));
    std::int64_t end = std::int64_t(info.size());
    Mp3FrameHeader h;
    while (readMp3FrameHeader(d + end, fileBytes - end, h) && h.sameStream(header) && end + h.bytes <= fileBytes) {
        ++fields.frames;
        seekTable.addFrame(std::uint32_t(h.bytes));
        fields.audioCrc = mp3Crc(fields.audioCrc, d + end, std::size_t(h.bytes));
        end += h.bytes;
    }
    ::munmap(map, std::size_t(fileBytes));
    fields.bytes = std::uint32_t(end);

    const std::uint8_t* tag = info.data() + header.tagAt();
    const auto stated = [tag](int at) {
        return std::uint32_t(tag[at]) << 24 | std::uint32_t(tag[at + 1]) << 16 | std::uint32_t(tag[at + 2]) << 8
            | tag[at + 3];
    };
    if (end == fileBytes && stated(kXingFramesAt) == fields.frames && stated(kXingFramesAt + 4) == fields.bytes)
        return noErr;  // finished by its writer
    if (end != fileBytes && ::ftruncate(fd, off_t(end)) != 0)
        return writeFailure(statusFromErrno(errno));
    fields.delay = int(tag[kXingDelayAt]) << 4 | tag[kXingDelayAt + 1] >> 4;
    fields.padding = kMp3DecoderDelay;
    fillInfoFrame(info.data(), header, fields, seekTable);
    if (::pwrite(fd, info.data(), info.size(), 0) != ssize_t(info.size()))
        return writeFailure(statusFromErrno(errno));
    return dataSync.load(std::memory_order_relaxed)(fd) == 0 ? noErr : writeFailure(statusFromErrno(errno));
}

}  // namespace audiofile
