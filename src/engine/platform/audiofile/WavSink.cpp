#include "platform/audiofile/WavSink.h"

#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/Markers.h"
#include "platform/audiofile/WaveHeader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace audiofile {
namespace {

// A RIFF/WAVE file written with plain POSIX I/O, so the header's sizes can
// be rewritten in place while recording: a reader then sees all but the
// last moments of audio even if the process dies. A 'JUNK' chunk reserves
// room for the 64-bit sizes a file beyond 4 GiB needs (RF64).
class WavSink final : public FileSink {
public:
    // RIFF header, 'JUNK' chunk, 16-byte 'fmt ' chunk, 'data' chunk header.
    static constexpr std::uint32_t kHeaderBytes = 12 + 8 + kDs64Bytes + 8 + 16 + 8;
    // The header's sizes follow each batch of audio written (a few bytes
    // rewritten in place, about as often as the writer drains its queue),
    // so a crash loses only what the queue held. This is how long the
    // writer waits before asking again after a batch whose update failed.
    static constexpr double kHeaderSeconds = 0.25;

    static OSStatus create(int fd, const AudioStreamBasicDescription& f, bool crashSafe, std::unique_ptr<FileSink>& out)
    {
        AVSampleFormat format;
        std::uint16_t tag;
        if ((f.mFormatFlags & kAudioFormatFlagIsFloat) && f.mBitsPerChannel == 32) {
            format = AV_SAMPLE_FMT_FLT;
            tag = 3;
        } else if ((f.mFormatFlags & kAudioFormatFlagIsSignedInteger) && f.mBitsPerChannel == 32) {
            format = AV_SAMPLE_FMT_S32;
            tag = 1;
        } else if ((f.mFormatFlags & kAudioFormatFlagIsSignedInteger) && f.mBitsPerChannel == 16) {
            format = AV_SAMPLE_FMT_S16;
            tag = 1;
        } else if ((f.mFormatFlags & kAudioFormatFlagIsSignedInteger) && f.mBitsPerChannel == 24) {
            // Converted to 32 bits and written as their top three bytes.
            format = AV_SAMPLE_FMT_S32;
            tag = 1;
        } else {
            ::close(fd);
            return kAudioFileUnsupportedDataFormatError;
        }
        std::unique_ptr<WavSink> sink(new WavSink(
            fd, format, tag, int(f.mBitsPerChannel), int(f.mChannelsPerFrame), int(f.mSampleRate), crashSafe));
        if (OSStatus s = sink->writeHeader())
            return s;
        out = std::move(sink);
        return noErr;
    }

    ~WavSink() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    AVSampleFormat sampleFormat() const override { return format_; }

    OSStatus writeSamples(const std::uint8_t* const* data, int frames) override
    {
        const std::uint8_t* bytes = data[0];
        if (bits_ == 24) {
            // Little-endian: each 32-bit sample's top three bytes are its last three.
            const std::size_t samples = std::size_t(frames) * std::size_t(channels_);
            packed_.resize(samples * 3);
            for (std::size_t i = 0; i < samples; ++i)
                std::memcpy(&packed_[i * 3], bytes + i * 4 + 1, 3);
            bytes = packed_.data();
        }
        if (OSStatus s = writeAll(fd_, bytes, std::size_t(frames) * frameBytes_, dataBytes_))
            return s;
        return crashSafe_ ? updateSizes() : noErr;
    }

    void setMarkers(const AudioMarkers& markers) override { markers_ = markers; }

    OSStatus checkpoint() override { return crashSafe_ && dataBytes_ != headerBytes_ ? updateSizes() : noErr; }
    double checkpointSeconds() const override { return kHeaderSeconds; }
    std::uint64_t checkpoints() const override { return headerUpdates_; }

    OSStatus finish(bool) override
    {
        // A write cut short mid-frame leaves a partial frame: drop it so the
        // header describes whole frames only.
        OSStatus s = noErr;
        const std::uint64_t whole = dataBytes_ - dataBytes_ % frameBytes_;
        if (whole != dataBytes_) {
            dataBytes_ = whole;
            if (::ftruncate(fd_, off_t(kHeaderBytes + whole)) != 0)
                s = writeFailure(statusFromErrno(errno));
        }
        const OSStatus sizes = updateSizes();
        if (s == noErr)
            s = sizes;
        if (s == noErr)
            s = writeMarkers();
        if (::close(fd_) != 0 && s == noErr)
            s = writeFailure(statusFromErrno(errno));
        fd_ = -1;
        return s;
    }

private:
    WavSink(int fd, AVSampleFormat format, std::uint16_t tag, int bits, int channels, int rate, bool crashSafe)
        : fd_(fd),
          format_(format),
          tag_(tag),
          bits_(bits),
          channels_(channels),
          rate_(rate),
          frameBytes_(std::uint32_t(bits / 8 * channels)),
          crashSafe_(crashSafe)
    {
        layout_.reservedAt = 12;
        layout_.dataAt = kHeaderBytes;
        layout_.blockAlign = frameBytes_;
    }

    static void put16(std::uint8_t* p, std::uint16_t v)
    {
        p[0] = std::uint8_t(v);
        p[1] = std::uint8_t(v >> 8);
    }
    static void put32(std::uint8_t* p, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            p[i] = std::uint8_t(v >> (8 * i));
    }

    OSStatus writeHeader()
    {
        std::uint8_t h[kHeaderBytes] = {};
        std::memcpy(h, "RIFF", 4);
        put32(h + 4, kHeaderBytes - 8);
        std::memcpy(h + 8, "WAVEJUNK", 8);
        put32(h + 16, kDs64Bytes);
        std::uint8_t* fmt = h + 20 + kDs64Bytes;
        std::memcpy(fmt, "fmt ", 4);
        put32(fmt + 4, 16);
        put16(fmt + 8, tag_);
        put16(fmt + 10, std::uint16_t(channels_));
        put32(fmt + 12, std::uint32_t(rate_));
        put32(fmt + 16, std::uint32_t(rate_) * frameBytes_);
        put16(fmt + 20, std::uint16_t(frameBytes_));
        put16(fmt + 22, std::uint16_t(bits_));
        std::memcpy(fmt + 24, "data", 4);
        put32(fmt + 28, 0);
        if (::pwrite(fd_, h, sizeof h, 0) != ssize_t(sizeof h))
            return statusFromErrno(errno);
        if (::lseek(fd_, kHeaderBytes, SEEK_SET) < 0)
            return statusFromErrno(errno);
        return noErr;
    }

    // The cue points and their names go after the audio, once it is all
    // there; the RIFF size, rewritten last, then takes them in, which tells
    // recovery the file is complete.
    OSStatus writeMarkers()
    {
        const std::string chunks = waveMarkerChunks(markers_, std::int64_t(dataBytes_ / frameBytes_));
        if (chunks.empty())
            return noErr;
        const std::string padded = (dataBytes_ % 2 ? std::string(1, '\0') : std::string()) + chunks;
        if (::pwrite(fd_, padded.data(), padded.size(), off_t(kHeaderBytes + dataBytes_)) != ssize_t(padded.size()))
            return writeFailure(statusFromErrno(errno));
        layout_.afterData = padded.size();
        return updateSizes();
    }

    OSStatus updateSizes()
    {
        if (OSStatus s = writeWaveSizes(fd_, layout_, dataBytes_))
            return s;
        headerBytes_ = dataBytes_;
        ++headerUpdates_;
        return noErr;
    }

    int fd_;
    AVSampleFormat format_;
    std::uint16_t tag_;
    int bits_;
    int channels_;
    int rate_;
    std::uint32_t frameBytes_;
    // A file that appears only once complete (an export) needs no header
    // before then: that is two system calls fewer for each batch.
    bool crashSafe_;
    std::uint64_t dataBytes_ = 0;
    std::uint64_t headerBytes_ = 0;
    std::uint64_t headerUpdates_ = 0;
    WaveLayout layout_;
    std::vector<std::uint8_t> packed_;  // 24-bit samples on their way to the file
    AudioMarkers markers_;
};

}  // namespace

OSStatus acceptWavFormat(AudioStreamBasicDescription& f)
{
    if (f.mFormatID != kAudioFormatLinearPCM || (f.mFormatFlags & kAudioFormatFlagIsBigEndian)
        || (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) || std::floor(f.mSampleRate) != f.mSampleRate)
        return kAudioFileUnsupportedDataFormatError;
    completePcm(f);
    return noErr;
}

OSStatus createWavSink(
    const AudioFormat&, int fd, const AudioStreamBasicDescription& f, bool crashSafe, std::unique_ptr<FileSink>& out)
{
    return WavSink::create(fd, f, crashSafe, out);
}

}  // namespace audiofile
