#include "platform/audiofile/OggSink.h"

#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/SafeFile.h"

#include <unistd.h>

#include <cmath>

namespace audiofile {
namespace {

// Opus or Vorbis in Ogg: libopus or libvorbis through libavformat's Ogg
// muxer, whose pages are closed and handed to the kernel each quarter of a
// second, so a crash loses at most the page being filled (plus the
// encoder's delay and what the queue held). Ogg needs no header that states the length: the
// last page's granule position is the end, priming left out by the stream
// header's pre-skip (Opus) or the first page's granule (Vorbis).
class OggSink final : public EncoderSink {
public:
    static constexpr double kPageSeconds = 0.25;

    static OSStatus create(
        const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, std::unique_ptr<FileSink>& out)
    {
        std::unique_ptr<OggSink> sink(new OggSink(fd));
        const AVCodec* codec = avcodec_find_encoder_by_name(row.codec);
        if (!codec)
            return kAudioFileUnsupportedDataFormatError;
        const int rate = int(f.mSampleRate);
        bool rateKnown = codec->supported_samplerates == nullptr;
        for (const int* r = codec->supported_samplerates; r && *r; ++r)
            rateKnown = rateKnown || *r == rate;
        if (!rateKnown || double(rate) != f.mSampleRate)
            return kAudioFileUnsupportedDataFormatError;
        AVSampleFormat format = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        for (const AVSampleFormat* s = codec->sample_fmts; s && *s != AV_SAMPLE_FMT_NONE; ++s)
            if (*s == AV_SAMPLE_FMT_FLT || *s == AV_SAMPLE_FMT_FLTP)
                format = *s;

        AVFormatContext* rawFmt = nullptr;
        if (avformat_alloc_output_context2(&rawFmt, nullptr, "ogg", nullptr) < 0)
            return kAudioFileUnsupportedFileTypeError;
        sink->fmt_.reset(rawFmt);
        if (!sink->makeEncoder(codec, format, f))
            return kAudioFileUnspecifiedError;
        AVCodecContext* enc = sink->enc_.get();
        enc->bit_rate = row.bitRates[f.mChannelsPerFrame == 1 ? 0 : 1];
        if (rawFmt->oformat->flags & AVFMT_GLOBALHEADER)
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(enc, codec, nullptr) < 0 || enc->frame_size <= 0)
            return kAudioFileUnsupportedDataFormatError;
        sink->stream_ = avformat_new_stream(rawFmt, nullptr);
        if (!sink->stream_ || avcodec_parameters_from_context(sink->stream_->codecpar, enc) < 0)
            return kAudioFileUnspecifiedError;
        sink->stream_->time_base = enc->time_base;
        if (!sink->prepareEncoding())
            return kAudioFileUnspecifiedError;

        // Everything that can be refused is checked: only now touch the disk.
        sink->io_ = openFdIo(fd, true);
        if (!sink->io_)
            return kAudioFileUnspecifiedError;
        rawFmt->pb = sink->io_.get();
        rawFmt->flags |= AVFMT_FLAG_CUSTOM_IO;
        AVDictionary* opts = nullptr;
        av_dict_set_int(&opts, "page_duration", std::int64_t(kPageSeconds * 1e6), 0);
        const int err = avformat_write_header(rawFmt, &opts);
        av_dict_free(&opts);
        if (err < 0 || rawFmt->pb->error < 0)
            return statusFromAv(err < 0 ? err : rawFmt->pb->error);
        avio_flush(rawFmt->pb);
        sink->cutInterval_ = std::llround(rate * kPageSeconds);
        out = std::move(sink);
        return noErr;
    }

    ~OggSink() override
    {
        fmt_.reset();
        io_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }

    OSStatus checkpoint() override { return unflushed_ > 0 ? cut() : noErr; }
    double checkpointSeconds() const override { return kPageSeconds; }
    std::uint64_t checkpoints() const override { return pages_; }

    OSStatus finish(bool failed) override
    {
        OSStatus s = noErr;
        if (!failed) {
            s = encodeRest();
        }
        const OSStatus st = writeTrailer(fmt_.get());
        return s != noErr ? s : st;
    }

private:
    explicit OggSink(int fd) : fd_(fd) { }

    OSStatus writePacket(AVPacket* packet) override
    {
        const std::int64_t duration = packet->duration > 0 ? packet->duration : enc_->frame_size;
        if (OSStatus s = writeMuxed(fmt_.get(), stream_, enc_->time_base, packet))
            return s;
        unflushed_ += duration;
        if (unflushed_ >= cutInterval_)
            if (OSStatus s = cut())
                return s;
        return noErr;
    }

    // Closes the page being filled and pushes it to the kernel, where it
    // survives the process.
    OSStatus cut()
    {
        unflushed_ = 0;
        const int err = av_write_frame(fmt_.get(), nullptr);
        avio_flush(fmt_->pb);
        ++pages_;
        if (err < 0 || fmt_->pb->error < 0)
            return writeFailure(statusFromAv(err < 0 ? err : fmt_->pb->error));
        return noErr;
    }

    int fd_;
    FdIoPtr io_;  // through fd_, for fmt_
    ffmpeg::OutputFormatPtr fmt_;
    AVStream* stream_ = nullptr;  // owned by fmt_
    std::int64_t unflushed_ = 0;
    std::int64_t cutInterval_ = 0;
    std::uint64_t pages_ = 0;
};

}  // namespace

OSStatus acceptOggFormat(AudioStreamBasicDescription& f)
{
    if ((f.mFormatID != kAudioFormatOpus && f.mFormatID != kAudioFormatVorbis)
        || std::floor(f.mSampleRate) != f.mSampleRate || (f.mFormatID == kAudioFormatOpus && f.mSampleRate != 48000))
        return kAudioFileUnsupportedDataFormatError;
    f.mFormatFlags = 0;
    f.mBytesPerPacket = f.mBytesPerFrame = f.mBitsPerChannel = 0;
    return noErr;
}

OSStatus createOggSink(
    const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool, std::unique_ptr<FileSink>& out)
{
    return OggSink::create(row, fd, f, out);
}

}  // namespace audiofile
