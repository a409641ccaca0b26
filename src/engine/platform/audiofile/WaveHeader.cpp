#include "platform/audiofile/WaveHeader.h"

#include "platform/audiofile/AudioFileCommon.h"

#include <unistd.h>

#include <cerrno>

namespace audiofile {

std::atomic<std::uint64_t> plainRiffLimit{0xFFFFFFFFu};

namespace {

OSStatus putLe(int fd, std::int64_t at, std::uint64_t value, int bytes)
{
    std::uint8_t v[8];
    for (int i = 0; i < bytes; ++i)
        v[i] = std::uint8_t(value >> (8 * i));
    if (::pwrite(fd, v, std::size_t(bytes), off_t(at)) != ssize_t(bytes))
        return writeFailure(statusFromErrno(errno));
    return noErr;
}

OSStatus putTag(int fd, std::int64_t at, const char (&tag)[5])
{
    if (::pwrite(fd, tag, 4, off_t(at)) != 4)
        return writeFailure(statusFromErrno(errno));
    return noErr;
}

}  // namespace

OSStatus writeWaveSizes(int fd, WaveLayout& layout, std::uint64_t dataBytes)
{
    const std::uint64_t riff = std::uint64_t(layout.dataAt) - 8 + dataBytes + layout.afterData;
    if (!layout.rf64 && riff <= plainRiffLimit.load(std::memory_order_relaxed)) {
        if (OSStatus s = putLe(fd, layout.dataAt - 4, dataBytes, 4))
            return s;
        return putLe(fd, 4, riff, 4);
    }
    if (layout.reservedAt < 0)
        return kAudioFileDiskFullError;  // no room for 64-bit sizes
    // RIFF size, data size and sample count sit side by side: one write
    // keeps them from disagreeing with each other after a kill.
    std::uint8_t sizes[24];
    const std::uint64_t values[3] = {riff, dataBytes, dataBytes / layout.blockAlign};
    for (int i = 0; i < 24; ++i)
        sizes[i] = std::uint8_t(values[i / 8] >> (8 * (i % 8)));
    if (::pwrite(fd, sizes, sizeof sizes, off_t(layout.reservedAt + 8)) != ssize_t(sizeof sizes))
        return writeFailure(statusFromErrno(errno));
    if (!layout.rf64) {
        // Until the last step a reader sees a plain header whose sizes say
        // "to the end of the file".
        for (const std::int64_t at : {layout.dataAt - 4, std::int64_t(4)})
            if (OSStatus s = putLe(fd, at, 0xFFFFFFFFu, 4))
                return s;
        if (OSStatus s = putTag(fd, layout.reservedAt, "ds64"))
            return s;
        if (OSStatus s = putTag(fd, 0, "RF64"))
            return s;
        layout.rf64 = true;
    }
    return noErr;
}

}  // namespace audiofile
