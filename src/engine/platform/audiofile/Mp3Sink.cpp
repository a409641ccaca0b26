#include "platform/audiofile/Mp3Sink.h"

#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/Mp3InfoFrame.h"

extern "C" {
#include <libavcodec/version.h>
}

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace audiofile {
namespace {

// MP3 through FFmpeg's libmp3lame into a file of our own layout (Mp3Sink.h).
// Frames go to the kernel as they come, with plain writes: nothing waits in
// user space but the samples of the frame being filled and the encoder's
// look-ahead (a few frames, well under a tenth of a second), so a kill
// loses little more than what the writer's queue held.
class Mp3Sink final : public EncoderSink {
public:
    // How long the writer lets pass without a checkpoint before it asks for
    // one. Every frame is readable once written, so a checkpoint only counts
    // that frames were: the writer syncs what they made readable.
    static constexpr double kCheckpointSeconds = 0.5;
    // LAME's VBR quality: -V 2, about 190 kb/s for stereo music.
    static constexpr int kVbrQuality = 2;

    static OSStatus create(
        const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, std::unique_ptr<FileSink>& out)
    {
        std::unique_ptr<Mp3Sink> sink(new Mp3Sink(fd));
        const AVCodec* codec = avcodec_find_encoder_by_name(row.codec);
        if (!codec)
            return kAudioFileUnsupportedDataFormatError;
        if (!sink->makeEncoder(codec, AV_SAMPLE_FMT_FLTP, f))
            return kAudioFileUnspecifiedError;
        AVCodecContext* enc = sink->enc_.get();
        const int rate = enc->sample_rate;
        // A chosen bit rate is kept constant, as users who choose one expect
        // of MP3; otherwise LAME's variable rate at its quality.
        if (const int chosen = row.bitRates[enc->ch_layout.nb_channels == 1 ? 0 : 1]; chosen > 0) {
            enc->bit_rate = chosen;
        } else {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = kVbrQuality * FF_QP2LAMBDA;
        }
        if (avcodec_open2(enc, codec, nullptr) < 0 || enc->frame_size <= 0)
            return kAudioFileUnsupportedDataFormatError;
        // FFmpeg counts the decoder's delay into the encoder's.
        sink->delay_ = std::max(0, enc->initial_padding - kMp3DecoderDelay);
        sink->info_ = makeMp3InfoFrame(rate, enc->ch_layout.nb_channels, LIBAVCODEC_IDENT, sink->delay_);
        if (sink->info_.empty()
            || !readMp3FrameHeader(sink->info_.data(), std::int64_t(sink->info_.size()), sink->infoHeader_))
            return kAudioFileUnsupportedDataFormatError;
        sink->seekTable_ = Mp3SeekTable(std::uint32_t(sink->info_.size()));
        sink->fields_.bytes = sink->checkpointedBytes_ = std::uint32_t(sink->info_.size());
        if (!sink->prepareEncoding())
            return kAudioFileUnspecifiedError;

        // Everything that can be refused is checked: only now touch the disk.
        if (::pwrite(fd, sink->info_.data(), sink->info_.size(), 0) != ssize_t(sink->info_.size())
            || ::lseek(fd, off_t(sink->info_.size()), SEEK_SET) < 0)
            return statusFromErrno(errno);
        out = std::move(sink);
        return noErr;
    }

    ~Mp3Sink() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    OSStatus checkpoint() override
    {
        if (fields_.bytes != checkpointedBytes_) {
            checkpointedBytes_ = fields_.bytes;
            ++checkpoints_;
        }
        return noErr;
    }
    double checkpointSeconds() const override { return kCheckpointSeconds; }
    std::uint64_t checkpoints() const override { return checkpoints_; }

    OSStatus finish(bool failed) override
    {
        OSStatus s = noErr;
        if (!failed)
            s = encodeRest();
        // Drained, the frames hold every sample given, the delay before them
        // and the padding after. After a failure (a full disk) the file ends
        // at the last whole frame, stated as recovery states it: that needs
        // no room the file does not already have.
        fields_.delay = delay_;
        fields_.padding = failed || s != noErr
            ? kMp3DecoderDelay
            : int(std::int64_t(fields_.frames) * infoHeader_.samples - delay_ - nextPts_);
        fillInfoFrame(info_.data(), infoHeader_, fields_, seekTable_);
        if (((failed || s != noErr) && ::ftruncate(fd_, off_t(fields_.bytes)) != 0)
            || ::pwrite(fd_, info_.data(), info_.size(), 0) != ssize_t(info_.size()))
            if (s == noErr)
                s = writeFailure(statusFromErrno(errno));
        if (::close(fd_) != 0 && s == noErr)
            s = writeFailure(statusFromErrno(errno));
        fd_ = -1;
        return s;
    }

private:
    explicit Mp3Sink(int fd) : fd_(fd) { }

    OSStatus writePacket(AVPacket* packet) override
    {
        std::uint64_t written = 0;
        const OSStatus s = writeAll(fd_, packet->data, std::size_t(packet->size), written);
        // A packet is one frame; counted by their headers all the same.
        if (s == noErr) {
            Mp3FrameHeader h;
            for (int at = 0; at < packet->size && readMp3FrameHeader(packet->data + at, packet->size - at, h);
                 at += h.bytes) {
                ++fields_.frames;
                fields_.bytes += std::uint32_t(h.bytes);
                seekTable_.addFrame(std::uint32_t(h.bytes));
            }
            fields_.audioCrc = mp3Crc(fields_.audioCrc, packet->data, std::size_t(packet->size));
        }
        av_packet_unref(packet);
        return s == noErr ? noErr : writeFailure(s);
    }

    int fd_;
    std::vector<std::uint8_t> info_;  // as written at the start, then as at the end
    Mp3FrameHeader infoHeader_;
    Mp3SeekTable seekTable_;
    Mp3InfoFields fields_;  // what the frames written so far make it
    int delay_ = 0;
    std::uint32_t checkpointedBytes_ = 0;
    std::uint64_t checkpoints_ = 0;
};

}  // namespace

OSStatus acceptMp3Format(AudioStreamBasicDescription& f)
{
    static constexpr int kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    if (f.mFormatID != kAudioFormatMPEGLayer3
        || std::find(std::begin(kRates), std::end(kRates), f.mSampleRate) == std::end(kRates) || f.mChannelsPerFrame < 1
        || f.mChannelsPerFrame > 2)
        return kAudioFileUnsupportedDataFormatError;
    f.mFramesPerPacket = f.mSampleRate >= 32000 ? 1152 : 576;
    f.mFormatFlags = 0;
    f.mBytesPerPacket = f.mBytesPerFrame = f.mBitsPerChannel = 0;
    return noErr;
}

OSStatus createMp3Sink(
    const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool, std::unique_ptr<FileSink>& out)
{
    return Mp3Sink::create(row, fd, f, out);
}

}  // namespace audiofile
