#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/FileSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>

namespace audiofile {

// --- Statuses -------------------------------------------------------------

OSStatus statusFromErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return kAudioFileFileNotFoundError;
    case EACCES:
    case EPERM:
    case EROFS:
    case EEXIST:
    case EISDIR:
        return kAudioFilePermissionsError;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
    case EIO:
        return kAudioFileDiskFullError;
    case ENAMETOOLONG:
        return kAudioFileNameTooLongError;
    default:
        return kAudioFileUnspecifiedError;
    }
}

OSStatus statusFromAv(int err)
{
    if (err >= 0)
        return noErr;
    if (err == AVERROR_INVALIDDATA || err == AVERROR_DEMUXER_NOT_FOUND)
        return kAudioFileUnsupportedFileTypeError;
    if (err == AVERROR_DECODER_NOT_FOUND || err == AVERROR_ENCODER_NOT_FOUND || err == AVERROR_STREAM_NOT_FOUND)
        return kAudioFileUnsupportedDataFormatError;
    if (err > -4096)  // AVERROR(errno)
        return statusFromErrno(-err);
    return kAudioFileUnspecifiedError;
}

std::string reasonFor(OSStatus s)
{
    switch (s) {
    case kAudioFileFileNotFoundError:
        return "no such folder";
    case kAudioFilePermissionsError:
        return "permission denied";
    case kAudioFileNotRegularFileError:
        return "not a regular file";
    case kAudioFileDiskFullError:
        return "the disk is full";
    case kAudioFileUnsupportedDataFormatError:
    case kAudioFileUnsupportedFileTypeError:
        return "format not supported";
    case kAudioFileNameTooLongError:
        return "name too long";
    case kAudioFilePathTooLongError:
        return "path too long";
    case kAudioFileSwappedError:
        return "its hidden file was replaced by another program while it was written; nothing was put in place";
    case kAudioFileFolderNotOwnedError:
        return "the folder belongs to another user";
    case kAudioFileNothingRecordedError:
        return "stopped before any audio arrived; no file was kept";
    case kAudioFileCancelledError:
        return "cancelled; no file was kept";
    default:
        return "error " + std::to_string(s);
    }
}

OSStatus writeMuxed(AVFormatContext* fmt, AVStream* stream, AVRational from, AVPacket* packet)
{
    av_packet_rescale_ts(packet, from, stream->time_base);
    packet->stream_index = stream->index;
    const int err = av_write_frame(fmt, packet);
    av_packet_unref(packet);
    if (err < 0 || fmt->pb->error < 0)
        return writeFailure(statusFromAv(err < 0 ? err : fmt->pb->error));
    return noErr;
}

OSStatus writeTrailer(AVFormatContext* fmt)
{
    const int err = av_write_trailer(fmt);
    avio_flush(fmt->pb);
    if (err < 0 || fmt->pb->error < 0)
        return writeFailure(statusFromAv(err < 0 ? err : fmt->pb->error));
    return noErr;
}

OSStatus writeFailure(OSStatus s)
{
    return s == noErr ? noErr : kAudioFileDiskFullError;
}

OSStatus writeAll(int fd, const std::uint8_t* p, std::size_t size, std::uint64_t& written)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return writeFailure(statusFromErrno(errno));
        }
        written += std::uint64_t(n);
        p += n;
        size -= std::size_t(n);
    }
    return noErr;
}

bool usableRate(double rate)
{
    return std::isfinite(rate) && rate >= 1000 && rate <= 768000;
}

bool clientLayoutFor(const AudioStreamBasicDescription& f, ClientLayout& out)
{
    if (f.mFormatID != kAudioFormatLinearPCM || (f.mFormatFlags & kAudioFormatFlagIsBigEndian))
        return false;
    if (f.mChannelsPerFrame < 1 || f.mChannelsPerFrame > kMaxAudioChannels || !usableRate(f.mSampleRate))
        return false;
    ClientLayout l;
    if (f.mFormatFlags & kAudioFormatFlagIsFloat) {
        if (f.mBitsPerChannel != 32)
            return false;
        l.type = SampleType::Float32;
    } else if (f.mFormatFlags & kAudioFormatFlagIsSignedInteger) {
        if (f.mBitsPerChannel == 16)
            l.type = SampleType::Int16;
        else if (f.mBitsPerChannel == 32)
            l.type = SampleType::Int32;
        else
            return false;
    } else {
        return false;
    }
    l.planar = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    l.channels = int(f.mChannelsPerFrame);
    l.bytesPerSample = int(f.mBitsPerChannel / 8);
    l.rate = f.mSampleRate;
    const std::uint32_t frameBytes = std::uint32_t(l.bytesPerSample * (l.planar ? 1 : l.channels));
    if (f.mBytesPerFrame != 0 && f.mBytesPerFrame != frameBytes)
        return false;
    out = l;
    return true;
}

AudioStreamBasicDescription floatPlanarFormat(double rate, std::uint32_t channels)
{
    AudioStreamBasicDescription f;
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    f.mBytesPerPacket = 4;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 4;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = 32;
    return f;
}

void completePcm(AudioStreamBasicDescription& f)
{
    if (f.mFormatID != kAudioFormatLinearPCM || f.mBitsPerChannel == 0 || f.mChannelsPerFrame == 0)
        return;
    const std::uint32_t sampleBytes = (f.mBitsPerChannel + 7) / 8;
    const bool planar = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    if (f.mFramesPerPacket == 0)
        f.mFramesPerPacket = 1;
    if (f.mBytesPerFrame == 0)
        f.mBytesPerFrame = sampleBytes * (planar ? 1 : f.mChannelsPerFrame);
    if (f.mBytesPerPacket == 0)
        f.mBytesPerPacket = f.mBytesPerFrame * f.mFramesPerPacket;
    if (f.mBitsPerChannel == sampleBytes * 8)
        f.mFormatFlags |= kAudioFormatFlagIsPacked;
}

std::int64_t framesRoom(const AudioBufferList& list, const ClientLayout& l, int channelsNeeded)
{
    const int buffers = l.planar ? channelsNeeded : 1;
    if (int(list.mNumberBuffers) < buffers)
        return -1;
    const std::uint32_t frameBytes = std::uint32_t(l.bytesPerSample * (l.planar ? 1 : l.channels));
    std::int64_t room = INT64_MAX;
    for (int b = 0; b < buffers; ++b) {
        if (!list.mBuffers[b].mData)
            return -1;
        room = std::min<std::int64_t>(room, list.mBuffers[b].mDataByteSize / frameBytes);
    }
    return room;
}

namespace {

// Output channel c takes input channel c, or the last input channel when the
// input has fewer: a mono source is spread at full level, extra source
// channels are dropped. Never a mixdown: that would change levels.
int setChannelMatrix(SwrContext* swr, int inChannels, int outChannels)
{
    std::vector<double> matrix(std::size_t(inChannels) * outChannels, 0.0);
    for (int o = 0; o < outChannels; ++o)
        matrix[std::size_t(o) * inChannels + std::min(o, inChannels - 1)] = 1.0;
    return swr_set_matrix(swr, matrix.data(), inChannels);
}

}  // namespace

ffmpeg::SwrContextPtr makeResampler(
    int inChannels, AVSampleFormat inFormat, int inRate, int outChannels, AVSampleFormat outFormat, int outRate)
{
    ffmpeg::ChannelLayout in(inChannels), out(outChannels);
    SwrContext* raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &out.layout, outFormat, outRate, &in.layout, inFormat, inRate, 0, nullptr) < 0)
        return nullptr;
    ffmpeg::SwrContextPtr swr(raw);
    // A plain format conversion (as many channels, the same rate: reading
    // or exporting a WAVE file) is channel to channel by default; a matrix
    // set anyway is applied as a pass of its own over every sample. A rate
    // conversion keeps the matrix, set up as it always was.
    const bool plainConversion = inChannels == outChannels && inRate == outRate;
    if ((!plainConversion && setChannelMatrix(swr.get(), inChannels, outChannels) < 0) || swr_init(swr.get()) < 0)
        return nullptr;
    return swr;
}

OSStatus answerProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData,
    const AudioStreamBasicDescription& fileFormat, const AudioStreamBasicDescription& clientFormat,
    std::int64_t lengthFrames)
{
    if (!ioSize || !outData)
        return kExtAudioFileError_InvalidProperty;
    switch (id) {
    case kExtAudioFileProperty_FileDataFormat:
    case kExtAudioFileProperty_ClientDataFormat:
        if (*ioSize < sizeof(AudioStreamBasicDescription))
            return kAudioHardwareBadPropertySizeError;
        *static_cast<AudioStreamBasicDescription*>(outData)
            = id == kExtAudioFileProperty_FileDataFormat ? fileFormat : clientFormat;
        *ioSize = sizeof(AudioStreamBasicDescription);
        return noErr;
    case kExtAudioFileProperty_FileLengthFrames:
        if (*ioSize < sizeof(std::int64_t))
            return kAudioHardwareBadPropertySizeError;
        *static_cast<std::int64_t*>(outData) = lengthFrames;
        *ioSize = sizeof(std::int64_t);
        return noErr;
    default:
        return kExtAudioFileError_InvalidProperty;
    }
}

// FFmpeg's informational lines (the AAC encoder's statistics among them)
// would otherwise land on the terminal of whoever runs us; failures come back
// as statuses.
void quietFFmpegLog()
{
    static std::once_flag once;
    // A level a program chose for itself stays.
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO)
            av_log_set_level(AV_LOG_ERROR);
    });
}

std::atomic<int (*)(int)> dataSync{::fdatasync};

void syncFolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

OSStatus EncoderSink::writeSamples(const std::uint8_t* const* data, int frames)
{
    if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(const_cast<std::uint8_t**>(data)), frames) < frames)
        return kAudioFileUnspecifiedError;
    while (av_audio_fifo_size(fifo_.get()) >= enc_->frame_size)
        if (const OSStatus s = encode(enc_->frame_size))
            return s;
    return noErr;
}

bool EncoderSink::makeEncoder(const AVCodec* codec, AVSampleFormat format, const AudioStreamBasicDescription& f)
{
    enc_.reset(avcodec_alloc_context3(codec));
    if (!enc_)
        return false;
    const int rate = int(f.mSampleRate);
    enc_->sample_fmt = format;
    enc_->sample_rate = rate;
    av_channel_layout_default(&enc_->ch_layout, int(f.mChannelsPerFrame));
    enc_->time_base = AVRational{1, rate};
    return true;
}

bool EncoderSink::prepareEncoding()
{
    fifo_.reset(av_audio_fifo_alloc(enc_->sample_fmt, enc_->ch_layout.nb_channels, enc_->frame_size * 4));
    frame_ = ffmpeg::makeFrame();
    packet_ = ffmpeg::makePacket();
    return fifo_ && frame_ && packet_;
}

OSStatus EncoderSink::encodeRest()
{
    if (const int rest = av_audio_fifo_size(fifo_.get()); rest > 0)
        if (const OSStatus s = encode(rest))
            return s;
    return drain(nullptr);
}

OSStatus EncoderSink::encode(int frames)
{
    AVFrame* frame = frame_.get();
    av_frame_unref(frame);
    frame->nb_samples = frames;
    frame->format = enc_->sample_fmt;
    frame->sample_rate = enc_->sample_rate;
    if (av_channel_layout_copy(&frame->ch_layout, &enc_->ch_layout) < 0 || av_frame_get_buffer(frame, 0) < 0)
        return kAudioFileUnspecifiedError;
    av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), frames);
    frame->pts = nextPts_;
    nextPts_ += frames;
    return drain(frame);
}

OSStatus EncoderSink::drain(const AVFrame* frame)
{
    if (avcodec_send_frame(enc_.get(), frame) < 0)
        return kAudioFileUnspecifiedError;
    for (;;) {
        const int r = avcodec_receive_packet(enc_.get(), packet_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return noErr;
        if (r < 0)
            return kAudioFileUnspecifiedError;
        if (const OSStatus s = writePacket(packet_.get()))
            return s;
    }
}

}  // namespace audiofile
