// The sizes in a WAVE file's header, shared by the writer and the
// completion of a file cut off by a crash. A file starts as plain RIFF/WAVE
// with a reserved 'JUNK' chunk first; once its RIFF size outgrows 32 bits
// the chunk becomes a 'ds64' holding 64-bit sizes and the file says "RF64",
// which FFmpeg and sox read. Whoever owns the file descriptor calls these.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <atomic>
#include <cstdint>

namespace audiofile {

// Where the sizes live in one file.
struct WaveLayout {
    std::int64_t reservedAt = -1;  // the 'JUNK' or 'ds64' chunk, -1 when the file has none
    std::int64_t dataAt = 0;       // the first byte of audio
    std::uint32_t blockAlign = 1;
    bool rf64 = false;            // the header already says RF64
    std::uint64_t afterData = 0;  // bytes of the chunks that follow the audio (its markers)
};

// The reserved chunk's body: RIFF size, data size and sample count (64-bit
// each) and an empty table.
constexpr std::uint32_t kDs64Bytes = 28;

// The largest RIFF size a plain header states; above it the file turns into
// RF64. A variable so tests reach it without writing 4 GiB.
extern std::atomic<std::uint64_t> plainRiffLimit;

// Brings the sizes up to date for dataBytes of audio: the data size first,
// as a reader trusts it over the RIFF size. Turns the file into RF64 when
// needed, each step leaving a header that FFmpeg and sox still read.
OSStatus writeWaveSizes(int fd, WaveLayout& layout, std::uint64_t dataBytes);

}  // namespace audiofile
