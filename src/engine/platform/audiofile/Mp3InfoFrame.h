// The first frame of Mp3Sink's files: an MPEG layer III frame of silence
// whose side information holds the Xing tag (frame count, byte count, seek
// table) and the encoder's extension after it (the encoder's delay and
// padding, the audio's length and CRC, the frame's own CRC). Players take
// the length from it and gapless players trim the delay and padding; the
// sink fills it at a stop and recovery (Mp3Recovery.cpp) after a crash, both
// with fillInfoFrame. Any thread but the audio thread.
#pragma once

#include <cstdint>
#include <vector>

namespace audiofile {

// A layer III frame header: where the frame's bytes end and what it holds.
struct Mp3FrameHeader {
    int bytes = 0;
    int samples = 0;  // 1152 for MPEG-1, 576 for MPEG-2 and 2.5
    int version = 0;  // the header's two bits: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int rateIndex = 0;
    bool mono = false;
    // The side information's size: the Xing tag follows it.
    int tagAt() const { return 4 + (version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17)); }
    bool sameStream(const Mp3FrameHeader& o) const
    {
        return version == o.version && rateIndex == o.rateIndex && mono == o.mono;
    }
};

// False for anything but a layer III header with a bit rate and a rate.
bool readMp3FrameHeader(const std::uint8_t* p, std::int64_t available, Mp3FrameHeader& out);

// The byte positions of the frames, thinned to at most 400 evenly spaced
// ones, from which the Xing tag's table of a hundred seek points is drawn
// (as LAME keeps them).
class Mp3SeekTable {
public:
    // Positions count from the Info frame's start, before the first frame.
    explicit Mp3SeekTable(std::uint32_t infoBytes = 0) : bytes_(infoBytes) { }
    void addFrame(std::uint32_t frameBytes);
    // The hundred points: each the share of the bytes (in 256ths) before
    // the frame at that share of the frames.
    void write(std::uint8_t* toc, std::uint32_t totalBytes) const;

private:
    static constexpr int kBags = 400;
    std::uint64_t bytes_ = 0;  // of the frames added so far
    std::uint32_t want_ = 1;   // frames per bag
    std::uint32_t seen_ = 0;
    int pos_ = 0;
    std::uint64_t bag_[kBags] = {};
};

// What the Info frame states once the audio is known.
struct Mp3InfoFields {
    std::uint32_t frames = 0;  // audio frames, the Info frame not counted
    std::uint32_t bytes = 0;   // the Info frame's and the audio frames'
    int delay = 0;             // the encoder's, in samples
    int padding = 0;           // samples after the audio in the last frames
    std::uint16_t audioCrc = 0;
};

// An Info frame for a stream of this rate and channel count that states
// nothing yet but the encoder (`vendor`, nine bytes at most) and its delay;
// empty for a rate layer III does not have.
std::vector<std::uint8_t> makeMp3InfoFrame(int rate, int channels, const char* vendor, int delay);
// Sets the Info frame's counts, seek table, delay and padding, and its CRCs.
void fillInfoFrame(
    std::uint8_t* frame, const Mp3FrameHeader& header, const Mp3InfoFields& fields, const Mp3SeekTable& seekTable);
// The CRC both CRC fields use (LAME's: CRC-16, polynomial 0x8005, reflected).
std::uint16_t mp3Crc(std::uint16_t crc, const std::uint8_t* p, std::size_t size);

// The Info frame's fields, as offsets from its tag ("Xing").
constexpr int kXingFramesAt = 8;
constexpr int kXingTocAt = 16;
constexpr int kXingVendorAt = 120;
constexpr int kXingDelayAt = 141;
constexpr int kXingMusicLengthAt = 148;
constexpr int kXingAudioCrcAt = 152;
// The frame's own CRC, of every byte of the frame before it.
constexpr int kXingTagCrcAt = 154;
constexpr int kXingEnd = 156;

}  // namespace audiofile
