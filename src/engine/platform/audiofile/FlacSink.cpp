#include "platform/audiofile/FlacSink.h"

#include "platform/audiofile/AudioFileCommon.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace audiofile {
namespace {

// FLAC through FFmpeg's encoder into a file of our own layout (FlacSink.h).
// Frames go to the kernel as they come, with plain writes: nothing waits in
// user space but the samples of the frame being filled (the encoder's block,
// about 0.1 s), so a kill loses no more than that and what the writer's
// queue held. STREAMINFO states no length until the end, when the encoder
// hands over its final one (total samples, frame sizes, the MD5 of the audio).
class FlacSink final : public EncoderSink {
public:
    // How long the writer lets pass without a checkpoint before it asks for
    // one. Every frame is readable once written, so a checkpoint only counts
    // that frames were: the writer syncs what they made readable.
    static constexpr double kCheckpointSeconds = 0.5;

    static OSStatus create(
        const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, std::unique_ptr<FileSink>& out)
    {
        std::unique_ptr<FlacSink> sink(new FlacSink(fd));
        const AVCodec* codec = avcodec_find_encoder_by_name(row.codec);
        if (!codec)
            return kAudioFileUnsupportedDataFormatError;
        // 24-bit samples travel in the top bits of 32-bit ones.
        if (!sink->makeEncoder(codec, f.mBitsPerChannel == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32, f))
            return kAudioFileUnspecifiedError;
        AVCodecContext* enc = sink->enc_.get();
        enc->bits_per_raw_sample = int(f.mBitsPerChannel);
        if (avcodec_open2(enc, codec, nullptr) < 0 || enc->extradata_size < kFlacStreamInfoBytes
            || enc->frame_size <= 0)
            return kAudioFileUnsupportedDataFormatError;
        if (!sink->prepareEncoding())
            return kAudioFileUnspecifiedError;

        // Everything that can be refused is checked: only now touch the disk.
        std::uint8_t head[kFlacFramesAt];
        std::memcpy(head, "fLaC", 4);
        head[4] = 0x80;  // the last metadata block, of type 0: STREAMINFO
        head[5] = 0;
        head[6] = 0;
        head[7] = kFlacStreamInfoBytes;
        std::memcpy(head + kFlacStreamInfoAt, enc->extradata, kFlacStreamInfoBytes);
        if (::pwrite(fd, head, sizeof head, 0) != ssize_t(sizeof head) || ::lseek(fd, sizeof head, SEEK_SET) < 0)
            return statusFromErrno(errno);
        out = std::move(sink);
        return noErr;
    }

    ~FlacSink() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    OSStatus checkpoint() override
    {
        if (framesBytes_ != checkpointedBytes_) {
            checkpointedBytes_ = framesBytes_;
            ++checkpoints_;
        }
        return noErr;
    }
    double checkpointSeconds() const override { return kCheckpointSeconds; }
    std::uint64_t checkpoints() const override { return checkpoints_; }

    OSStatus finish(bool failed) override
    {
        OSStatus s = noErr;
        if (!failed) {
            s = encodeRest();
            // Drained, the encoder's header states the whole stream.
            if (s == noErr
                && ::pwrite(fd_, enc_->extradata, kFlacStreamInfoBytes, kFlacStreamInfoAt) != kFlacStreamInfoBytes)
                s = writeFailure(statusFromErrno(errno));
        }
        if (::close(fd_) != 0 && s == noErr)
            s = writeFailure(statusFromErrno(errno));
        fd_ = -1;
        return s;
    }

private:
    explicit FlacSink(int fd) : fd_(fd) { }

    OSStatus writePacket(AVPacket* packet) override
    {
        // The last packet may be empty, carrying only the final header.
        const OSStatus s = writeAll(fd_, packet->data, std::size_t(packet->size), framesBytes_);
        av_packet_unref(packet);
        if (s != noErr)
            return writeFailure(s);
        return noErr;
    }

    int fd_;
    std::uint64_t framesBytes_ = 0;
    std::uint64_t checkpointedBytes_ = 0;
    std::uint64_t checkpoints_ = 0;
};

}  // namespace

OSStatus acceptFlacFormat(AudioStreamBasicDescription& f)
{
    if (f.mFormatID != kAudioFormatFLAC || std::floor(f.mSampleRate) != f.mSampleRate || f.mSampleRate > 655350)
        return kAudioFileUnsupportedDataFormatError;
    if (f.mBitsPerChannel == 0)
        f.mBitsPerChannel = 24;
    if (f.mBitsPerChannel != 16 && f.mBitsPerChannel != 24)
        return kAudioFileUnsupportedDataFormatError;
    f.mFormatFlags = 0;
    f.mBytesPerPacket = f.mBytesPerFrame = 0;
    return noErr;
}

OSStatus createFlacSink(
    const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool, std::unique_ptr<FileSink>& out)
{
    return FlacSink::create(row, fd, f, out);
}

}  // namespace audiofile
