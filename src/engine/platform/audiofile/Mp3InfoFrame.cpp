#include "platform/audiofile/Mp3InfoFrame.h"

extern "C" {
#include <libavutil/crc.h>
}

#include <algorithm>
#include <cstring>

namespace audiofile {
namespace {

// Layer III's bit rates in kb/s by index: MPEG-1, then MPEG-2 and 2.5.
constexpr int kBitRates[2][15] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
constexpr int kRates[3] = {44100, 48000, 32000};  // MPEG-1's; halved for MPEG-2, quartered for 2.5

int rateOf(int version, int rateIndex)
{
    return kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
}

void putBe(std::uint8_t* p, std::uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = std::uint8_t(v >> (8 * (bytes - 1 - i)));
}

}  // namespace

bool readMp3FrameHeader(const std::uint8_t* p, std::int64_t available, Mp3FrameHeader& out)
{
    if (available < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    const int version = p[1] >> 3 & 3, layer = p[1] >> 1 & 3;
    const int bitRateIndex = p[2] >> 4, rateIndex = p[2] >> 2 & 3;
    if (version == 1 || layer != 1 || bitRateIndex == 0 || bitRateIndex == 15 || rateIndex == 3)
        return false;
    out.version = version;
    out.rateIndex = rateIndex;
    out.mono = (p[3] >> 6) == 3;
    out.samples = version == 3 ? 1152 : 576;
    const int bitRate = kBitRates[version == 3 ? 0 : 1][bitRateIndex] * 1000;
    out.bytes = out.samples / 8 * bitRate / rateOf(version, rateIndex) + (p[2] >> 1 & 1);
    return true;
}

void Mp3SeekTable::addFrame(std::uint32_t frameBytes)
{
    bytes_ += frameBytes;
    if (++seen_ < want_)
        return;
    seen_ = 0;
    bag_[pos_] = bytes_;
    if (++pos_ == kBags) {
        // Full: every second position kept, each bag now twice the frames.
        for (int i = 1; i < kBags; i += 2)
            bag_[i / 2] = bag_[i];
        want_ *= 2;
        pos_ = kBags / 2;
    }
}

void Mp3SeekTable::write(std::uint8_t* toc, std::uint32_t totalBytes) const
{
    toc[0] = 0;
    for (int i = 1; i < 100; ++i) {
        const std::uint64_t before = pos_ > 0 ? bag_[i * pos_ / 100] : 0;
        toc[i] = std::uint8_t(std::min<std::uint64_t>(255, totalBytes ? 256 * before / totalBytes : 0));
    }
}

std::uint16_t mp3Crc(std::uint16_t crc, const std::uint8_t* p, std::size_t size)
{
    return std::uint16_t(av_crc(av_crc_get_table(AV_CRC_16_ANSI_LE), crc, p, size));
}

std::vector<std::uint8_t> makeMp3InfoFrame(int rate, int channels, const char* vendor, int delay)
{
    int version = -1, rateIndex = 0;
    for (const int v : {3, 2, 0})
        for (int i = 0; i < 3; ++i)
            if (version < 0 && rateOf(v, i) == rate) {
                version = v;
                rateIndex = i;
            }
    if (version < 0 || channels < 1 || channels > 2)
        return {};
    // No CRC, stereo or mono, the smallest bit rate whose frame holds the tag.
    std::uint8_t head[4]
        = {0xFF, std::uint8_t(0xE0 | version << 3 | 1 << 1 | 1), 0, std::uint8_t(channels == 1 ? 3 << 6 : 0)};
    Mp3FrameHeader h;
    for (int bitRateIndex = 1; bitRateIndex < 15; ++bitRateIndex) {
        head[2] = std::uint8_t(bitRateIndex << 4 | rateIndex << 2);
        if (readMp3FrameHeader(head, 4, h) && h.bytes >= h.tagAt() + kXingEnd)
            break;
    }
    std::vector<std::uint8_t> frame(std::size_t(h.bytes), 0);
    std::memcpy(frame.data(), head, 4);
    std::uint8_t* tag = frame.data() + h.tagAt();
    std::memcpy(tag, "Xing", 4);
    putBe(tag + 4, 0x0F, 4);  // frames, bytes, seek table and quality present
    std::memcpy(tag + kXingVendorAt, vendor, std::min<std::size_t>(std::strlen(vendor), 9));
    fillInfoFrame(frame.data(), h, Mp3InfoFields{.delay = delay}, Mp3SeekTable());
    return frame;
}

void fillInfoFrame(
    std::uint8_t* frame, const Mp3FrameHeader& header, const Mp3InfoFields& fields, const Mp3SeekTable& seekTable)
{
    std::uint8_t* tag = frame + header.tagAt();
    putBe(tag + kXingFramesAt, fields.frames, 4);
    putBe(tag + kXingFramesAt + 4, fields.bytes, 4);
    seekTable.write(tag + kXingTocAt, fields.bytes);
    // Twelve bits each.
    putBe(tag + kXingDelayAt,
        std::uint32_t(std::clamp(fields.delay, 0, 4095) << 12 | std::clamp(fields.padding, 0, 4095)), 3);
    putBe(tag + kXingMusicLengthAt, fields.bytes, 4);
    putBe(tag + kXingAudioCrcAt, fields.audioCrc, 2);
    const int crcAt = header.tagAt() + kXingTagCrcAt;
    putBe(frame + crcAt, mp3Crc(0, frame, std::size_t(crcAt)), 2);
}

}  // namespace audiofile
