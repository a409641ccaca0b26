#include "platform/audiofile/AacSink.h"

#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/CafFile.h"
#include "platform/audiofile/SafeFile.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace audiofile {
namespace {

constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

// AAC: an MPEG-4 file written through libavformat in short fragments (each
// complete on disk, so a crash loses at most the last one), or a CAF file.
class AacSink final : public EncoderSink {
public:
    static OSStatus create(const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool crashSafe,
        std::unique_ptr<FileSink>& out)
    {
        std::unique_ptr<AacSink> sink(new AacSink);
        sink->fd_ = fd;
        const int rate = int(f.mSampleRate);
        if (double(rate) != f.mSampleRate
            || std::find(std::begin(kAacRates), std::end(kAacRates), rate) == std::end(kAacRates))
            return kAudioFileUnsupportedDataFormatError;
        const AVCodec* codec = avcodec_find_encoder_by_name(row.codec);
        if (!codec)
            return kAudioFileUnsupportedDataFormatError;

        sink->fragmented_ = row.fileType == kAudioFileM4AType;
        const int channels = int(f.mChannelsPerFrame);

        if (!sink->makeEncoder(codec, AV_SAMPLE_FMT_FLTP, f))
            return kAudioFileUnspecifiedError;
        AVCodecContext* enc = sink->enc_.get();
        enc->bit_rate = row.bitRates[channels == 1 ? 0 : 1];

        if (!sink->fragmented_) {
            // The CAF writer needs the decoder configuration up front.
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if (avcodec_open2(enc, codec, nullptr) < 0)
                return kAudioFileUnsupportedDataFormatError;
            const int cafFd = std::exchange(sink->fd_, -1);
            if (OSStatus st = CafFile::create(cafFd, *enc, crashSafe, sink->caf_))
                return st;
        } else {
            AVFormatContext* rawFmt = nullptr;
            if (avformat_alloc_output_context2(&rawFmt, nullptr, "ipod", nullptr) < 0)
                return kAudioFileUnsupportedFileTypeError;
            sink->fmt_.reset(rawFmt);
            if (sink->fmt_->oformat->flags & AVFMT_GLOBALHEADER)
                enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if (avcodec_open2(enc, codec, nullptr) < 0)
                return kAudioFileUnsupportedDataFormatError;

            sink->stream_ = avformat_new_stream(rawFmt, nullptr);
            if (!sink->stream_ || avcodec_parameters_from_context(sink->stream_->codecpar, enc) < 0)
                return kAudioFileUnspecifiedError;
            sink->stream_->time_base = enc->time_base;

            // Everything that can be refused is checked: only now touch the disk.
            sink->io_ = openFdIo(fd, true);
            if (!sink->io_)
                return kAudioFileUnspecifiedError;
            rawFmt->pb = sink->io_.get();
            rawFmt->flags |= AVFMT_FLAG_CUSTOM_IO;
            AVDictionary* opts = nullptr;
            av_dict_set(&opts, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
            const int err = avformat_write_header(rawFmt, &opts);
            av_dict_free(&opts);
            if (err < 0 || rawFmt->pb->error < 0)
                return statusFromAv(err < 0 ? err : rawFmt->pb->error);
            avio_flush(rawFmt->pb);
        }

        if (!sink->prepareEncoding())
            return kAudioFileUnspecifiedError;
        sink->cutInterval_ = std::llround(rate * kFragmentSeconds);
        out = std::move(sink);
        return noErr;
    }

    // Audio per MPEG-4 fragment: a crash loses at most one fragment (plus
    // the encoder's delay and what the queue held). Shorter fragments make a
    // larger file and a slower final rewrite.
    static constexpr double kFragmentSeconds = 0.5;

    AVSampleFormat sampleFormat() const override { return AV_SAMPLE_FMT_FLTP; }
    bool fragmented() const { return fragmented_; }
    int priming() const { return enc_->initial_padding; }

    OSStatus checkpoint() override { return unflushed_ > 0 ? cut() : noErr; }
    double checkpointSeconds() const override { return kFragmentSeconds; }
    std::uint64_t checkpoints() const override { return fragments_; }

    OSStatus finish(bool failed) override
    {
        OSStatus s = noErr;
        if (!failed) {
            s = encodeRest();
        }
        if (caf_) {
            const OSStatus st = caf_->finish(nextPts_, failed || s != noErr);
            return s != noErr ? s : st;
        }
        const OSStatus st = writeTrailer(fmt_.get());
        return s != noErr ? s : st;
    }

    ~AacSink() override
    {
        fmt_.reset();
        io_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }

private:
    AacSink() = default;

    OSStatus writePacket(AVPacket* packet) override
    {
        const std::int64_t duration = packet->duration;
        if (caf_) {
            const OSStatus st = caf_->writePacket(packet->data, packet->size);
            av_packet_unref(packet);
            if (st != noErr)
                return st;
            unflushed_ += duration > 0 ? duration : enc_->frame_size;
            if (unflushed_ >= cutInterval_)
                if (OSStatus c = cut())
                    return c;
            return noErr;
        }
        if (OSStatus s = writeMuxed(fmt_.get(), stream_, enc_->time_base, packet))
            return s;
        unflushed_ += duration > 0 ? duration : enc_->frame_size;
        if (fragmented_ && unflushed_ >= cutInterval_)
            if (OSStatus s = cut())
                return s;
        return noErr;
    }

    // Closes the current fragment and pushes it to the kernel, where it
    // survives the process.
    OSStatus cut()
    {
        unflushed_ = 0;
        if (caf_) {
            ++fragments_;
            return caf_->checkpoint();
        }
        if (!fragmented_)
            return noErr;
        const int err = av_write_frame(fmt_.get(), nullptr);
        avio_flush(fmt_->pb);
        ++fragments_;
        if (err < 0 || fmt_->pb->error < 0)
            return writeFailure(statusFromAv(err < 0 ? err : fmt_->pb->error));
        return noErr;
    }

    bool fragmented_ = false;
    int fd_ = -1;                   // the MPEG-4 file; CafFile owns its own
    FdIoPtr io_;                    // through fd_, for fmt_
    ffmpeg::OutputFormatPtr fmt_;   // MPEG-4
    std::unique_ptr<CafFile> caf_;  // or CAF
    AVStream* stream_ = nullptr;    // owned by fmt_
    std::int64_t unflushed_ = 0;
    std::int64_t cutInterval_ = 0;
    std::uint64_t fragments_ = 0;
};

}  // namespace

OSStatus acceptAacFormat(AudioStreamBasicDescription& f)
{
    if (f.mFormatID != kAudioFormatMPEG4AAC || (f.mFramesPerPacket != 0 && f.mFramesPerPacket != 1024))
        return kAudioFileUnsupportedDataFormatError;
    f.mFramesPerPacket = 1024;
    return noErr;
}

OSStatus createAacSink(const AudioFormat& row, int fd, const AudioStreamBasicDescription& f, bool crashSafe,
    std::unique_ptr<FileSink>& out)
{
    return AacSink::create(row, fd, f, crashSafe, out);
}

int fragmentedMp4Priming(const FileSink& sink)
{
    const auto* aac = dynamic_cast<const AacSink*>(&sink);
    return aac && aac->fragmented() ? aac->priming() : -1;
}

}  // namespace audiofile
