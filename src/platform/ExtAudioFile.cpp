// ExtAudioFile on FFmpeg: a writer (WAVE by hand, MPEG-4 and CAF through
// libavformat with the native AAC encoder) and a reader (anything FFmpeg
// decodes), each converting through libswresample.
#include "platform/ExtAudioFile.h"
#include "platform/InterruptedRecording.h"

#include "platform/FFmpegUtil.h"
#include "platform/SpscFifo.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

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

// A writer failure is always reported as the disk failing, whatever errno
// said, because that is what the user can act on.
OSStatus writeFailure(OSStatus s)
{
    return s == noErr ? noErr : kAudioFileDiskFullError;
}

// --- Client formats ---------------------------------------------------------

enum class SampleType { Float32, Int16, Int32 };

// The caller's side of a conversion, checked once when it is set.
struct ClientLayout {
    SampleType type = SampleType::Float32;
    bool planar = true;
    int channels = 0;
    int bytesPerSample = 0;
    double rate = 0;
    AVSampleFormat avFormat() const
    {
        switch (type) {
        case SampleType::Int16:
            return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
        case SampleType::Int32:
            return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
        case SampleType::Float32:
            break;
        }
        return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    }
};

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

// The frames a buffer list can carry for this layout (limited by the smallest
// buffer), or -1 when the list lacks the buffers the layout needs.
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

template <typename T> inline float toFloat(T v);
template <> inline float toFloat<float>(float v)
{
    return v;
}
template <> inline float toFloat<std::int16_t>(std::int16_t v)
{
    return float(v) * (1.0f / 32768.0f);
}
template <> inline float toFloat<std::int32_t>(std::int32_t v)
{
    return float(double(v) * (1.0 / 2147483648.0));
}

// Copies the first `channels` channels of the caller's frames, interleaved
// as float, into a FIFO region. Real-time safe: no allocation, no calls out.
// Every FIFO index is a whole number of frames, so a region splits only
// between frames.
template <typename T>
void stageFrames(const AudioBufferList& list, const ClientLayout& l, int channels, const SpscFifo::Region& region)
{
    std::size_t frame = 0;
    auto fill = [&](float* dst, std::size_t samples) {
        const std::size_t count = samples / std::size_t(channels);
        for (int c = 0; c < channels; ++c) {
            const T* src = l.planar
                ? static_cast<const T*>(list.mBuffers[c].mData) + frame
                : static_cast<const T*>(list.mBuffers[0].mData) + frame * std::size_t(l.channels) + std::size_t(c);
            const std::size_t stride = l.planar ? 1 : std::size_t(l.channels);
            for (std::size_t i = 0; i < count; ++i)
                dst[i * std::size_t(channels) + std::size_t(c)] = toFloat<T>(src[i * stride]);
        }
        frame += count;
    };
    fill(region.first, region.firstCount);
    if (region.secondCount)
        fill(region.second, region.secondCount);
}

void stage(const AudioBufferList& list, const ClientLayout& l, int channels, const SpscFifo::Region& region)
{
    switch (l.type) {
    case SampleType::Float32:
        stageFrames<float>(list, l, channels, region);
        break;
    case SampleType::Int16:
        stageFrames<std::int16_t>(list, l, channels, region);
        break;
    case SampleType::Int32:
        stageFrames<std::int32_t>(list, l, channels, region);
        break;
    }
}

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

ffmpeg::SwrContextPtr makeResampler(
    int inChannels, AVSampleFormat inFormat, int inRate, int outChannels, AVSampleFormat outFormat, int outRate)
{
    ffmpeg::ChannelLayout in(inChannels), out(outChannels);
    SwrContext* raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &out.layout, outFormat, outRate, &in.layout, inFormat, inRate, 0, nullptr) < 0)
        return nullptr;
    ffmpeg::SwrContextPtr swr(raw);
    if (setChannelMatrix(swr.get(), inChannels, outChannels) < 0 || swr_init(swr.get()) < 0)
        return nullptr;
    return swr;
}

// Sample planes owned by a vector, grown on demand off the audio thread.
class SampleBuffer {
public:
    void configure(AVSampleFormat format, int channels)
    {
        format_ = format;
        channels_ = channels;
        frames_ = 0;
        planes_.clear();
    }
    std::uint8_t** reserve(int frames)
    {
        if (frames > frames_) {
            const bool planar = av_sample_fmt_is_planar(format_);
            const int planes = planar ? channels_ : 1;
            const std::size_t bytes = std::size_t(frames) * av_get_bytes_per_sample(format_) * (planar ? 1 : channels_);
            storage_.assign(planes, std::vector<std::uint8_t>(bytes));
            planes_.resize(planes);
            for (int p = 0; p < planes; ++p)
                planes_[p] = storage_[p].data();
            frames_ = frames;
        }
        return planes_.data();
    }

private:
    AVSampleFormat format_ = AV_SAMPLE_FMT_NONE;
    int channels_ = 0;
    int frames_ = 0;
    std::vector<std::vector<std::uint8_t>> storage_;
    std::vector<std::uint8_t*> planes_;
};

// --- File sinks -------------------------------------------------------------

// Where converted samples end up. Writer thread (or the owner during a
// synchronous write or dispose), always under the writer's mutex.
class FileSink {
public:
    virtual ~FileSink() = default;
    virtual AVSampleFormat sampleFormat() const = 0;
    virtual OSStatus writeSamples(const std::uint8_t* const* data, int frames) = 0;
    // Nothing arrived for a while: make what was written so far readable.
    virtual OSStatus idle() = 0;
    // Flushes and completes the file. After a failure, completes only what
    // can be without writing more audio.
    virtual OSStatus finish(bool failed) = 0;
};

// A RIFF/WAVE file written with plain POSIX I/O, so the header's sizes can
// be rewritten in place while recording: a reader then sees all but the
// last moments of audio even if the process dies.
class WavSink final : public FileSink {
public:
    static constexpr std::uint32_t kHeaderBytes = 44;

    static OSStatus create(
        const std::string& path, const AudioStreamBasicDescription& f, bool erase, std::unique_ptr<FileSink>& out)
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
        } else {
            return kAudioFileUnsupportedDataFormatError;
        }
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (erase ? O_TRUNC : O_EXCL), 0644);
        if (fd < 0)
            return statusFromErrno(errno);
        std::unique_ptr<WavSink> sink(new WavSink(fd, format, tag, int(f.mChannelsPerFrame), int(f.mSampleRate)));
        const OSStatus s = sink->writeHeader();
        if (s != noErr) {
            sink.reset();
            ::unlink(path.c_str());
            return s;
        }
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
        const std::uint8_t* p = data[0];
        std::size_t left = std::size_t(frames) * frameBytes_;
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return writeFailure(statusFromErrno(errno));
            }
            dataBytes_ += std::uint64_t(n);
            p += n;
            left -= std::size_t(n);
        }
        if (dataBytes_ - headerBytes_ >= headerInterval_)
            return updateSizes();
        return noErr;
    }

    OSStatus idle() override { return dataBytes_ != headerBytes_ ? updateSizes() : noErr; }

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
        if (::close(fd_) != 0 && s == noErr)
            s = writeFailure(statusFromErrno(errno));
        fd_ = -1;
        return s;
    }

private:
    WavSink(int fd, AVSampleFormat format, std::uint16_t tag, int channels, int rate)
        : fd_(fd),
          format_(format),
          tag_(tag),
          channels_(channels),
          rate_(rate),
          frameBytes_(std::uint32_t(av_get_bytes_per_sample(format) * channels)),
          // Five header updates per second of audio keep a crash's loss under a quarter second.
          headerInterval_(std::uint64_t(rate) * frameBytes_ / 5)
    { }

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

    std::uint32_t dataSize() const { return std::uint32_t(std::min<std::uint64_t>(dataBytes_, 0xFFFFFFFFu - 36)); }

    OSStatus writeHeader()
    {
        std::uint8_t h[kHeaderBytes] = {};
        std::memcpy(h, "RIFF", 4);
        put32(h + 4, 36);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        put32(h + 16, 16);
        put16(h + 20, tag_);
        put16(h + 22, std::uint16_t(channels_));
        put32(h + 24, std::uint32_t(rate_));
        put32(h + 28, std::uint32_t(rate_) * frameBytes_);
        put16(h + 32, std::uint16_t(frameBytes_));
        put16(h + 34, std::uint16_t(av_get_bytes_per_sample(format_) * 8));
        std::memcpy(h + 36, "data", 4);
        put32(h + 40, 0);
        if (::pwrite(fd_, h, sizeof h, 0) != ssize_t(sizeof h))
            return statusFromErrno(errno);
        if (::lseek(fd_, kHeaderBytes, SEEK_SET) < 0)
            return statusFromErrno(errno);
        return noErr;
    }

    // The data size first: a reader trusts it over the RIFF size.
    OSStatus updateSizes()
    {
        std::uint8_t v[4];
        put32(v, dataSize());
        if (::pwrite(fd_, v, 4, 40) != 4)
            return writeFailure(statusFromErrno(errno));
        put32(v, 36 + dataSize());
        if (::pwrite(fd_, v, 4, 4) != 4)
            return writeFailure(statusFromErrno(errno));
        headerBytes_ = dataBytes_;
        return noErr;
    }

    int fd_;
    AVSampleFormat format_;
    std::uint16_t tag_;
    int channels_;
    int rate_;
    std::uint32_t frameBytes_;
    std::uint64_t headerInterval_;
    std::uint64_t dataBytes_ = 0;
    std::uint64_t headerBytes_ = 0;
};

// A CAF file of AAC packets, written by hand because FFmpeg's caf muxer
// refuses AAC. Chunks: header, 'desc', 'kuki' (the decoder configuration as
// an MPEG-4 ES descriptor), 'data' (sized at the end), then 'pakt' with every
// packet's size and the priming and remainder frames. Export only: no crash
// safety is asked of it. Used under the writer's mutex.
class CafFile {
public:
    static OSStatus create(const std::string& path, const AVCodecContext& enc, std::unique_ptr<CafFile>& out)
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return statusFromErrno(errno);
        std::unique_ptr<CafFile> caf(new CafFile(fd));
        std::vector<std::uint8_t> h;
        append(h, "caff");
        put(h, 1, 2);
        put(h, 0, 2);
        append(h, "desc");
        put(h, 32, 8);
        std::uint64_t rateBits;
        const double rate = enc.sample_rate;
        std::memcpy(&rateBits, &rate, 8);
        put(h, rateBits, 8);
        append(h, "aac ");
        put(h, 2, 4);  // MPEG-4 object type AAC LC
        put(h, 0, 4);
        put(h, std::uint64_t(enc.frame_size), 4);
        put(h, std::uint64_t(enc.ch_layout.nb_channels), 4);
        put(h, 0, 4);
        const std::vector<std::uint8_t> cookie = esDescriptor(enc);
        append(h, "kuki");
        put(h, cookie.size(), 8);
        h.insert(h.end(), cookie.begin(), cookie.end());
        append(h, "data");
        caf->dataSizeAt_ = h.size();
        put(h, 4, 8);
        put(h, 0, 4);  // edit count
        if (OSStatus st = caf->writeBytes(h.data(), h.size())) {
            caf.reset();
            ::unlink(path.c_str());
            return st;
        }
        out = std::move(caf);
        return noErr;
    }

    ~CafFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    OSStatus writePacket(const std::uint8_t* data, int size)
    {
        if (OSStatus st = writeBytes(data, std::size_t(size)))
            return st;
        dataBytes_ += std::uint64_t(size);
        sizes_.push_back(std::uint32_t(size));
        return noErr;
    }

    OSStatus finish(std::int64_t validFrames, int priming, int framesPerPacket, bool failed)
    {
        OSStatus st = noErr;
        std::vector<std::uint8_t> v;
        put(v, 4 + dataBytes_, 8);
        if (::pwrite(fd_, v.data(), v.size(), off_t(dataSizeAt_)) != ssize_t(v.size()))
            st = writeFailure(statusFromErrno(errno));
        if (st == noErr && !failed) {
            std::vector<std::uint8_t> table;
            for (std::uint32_t size : sizes_)
                putVarint(table, size);
            const std::int64_t total = std::int64_t(sizes_.size()) * framesPerPacket;
            std::vector<std::uint8_t> p;
            append(p, "pakt");
            put(p, 24 + table.size(), 8);
            put(p, sizes_.size(), 8);
            put(p, std::uint64_t(validFrames), 8);
            put(p, std::uint64_t(priming), 4);
            put(p, std::uint64_t(std::max<std::int64_t>(0, total - validFrames - priming)), 4);
            p.insert(p.end(), table.begin(), table.end());
            st = writeBytes(p.data(), p.size());
        }
        if (::close(fd_) != 0 && st == noErr)
            st = writeFailure(statusFromErrno(errno));
        fd_ = -1;
        return st;
    }

private:
    explicit CafFile(int fd) : fd_(fd) { }

    static void append(std::vector<std::uint8_t>& v, const char (&tag)[5]) { v.insert(v.end(), tag, tag + 4); }
    static void put(std::vector<std::uint8_t>& v, std::uint64_t value, int bytes)
    {
        for (int i = bytes - 1; i >= 0; --i)
            v.push_back(std::uint8_t(value >> (8 * i)));
    }
    static void putVarint(std::vector<std::uint8_t>& v, std::uint32_t value)
    {
        std::uint8_t groups[5];
        int n = 0;
        do {
            groups[n++] = std::uint8_t(value & 0x7F);
            value >>= 7;
        } while (value);
        while (n-- > 0)
            v.push_back(std::uint8_t(groups[n] | (n ? 0x80 : 0)));
    }
    // Descriptor tag and length in the four-byte form Core Audio writes.
    static void descriptor(std::vector<std::uint8_t>& v, std::uint8_t tag, std::size_t length)
    {
        v.push_back(tag);
        v.push_back(std::uint8_t(0x80 | ((length >> 21) & 0x7F)));
        v.push_back(std::uint8_t(0x80 | ((length >> 14) & 0x7F)));
        v.push_back(std::uint8_t(0x80 | ((length >> 7) & 0x7F)));
        v.push_back(std::uint8_t(length & 0x7F));
    }
    static std::vector<std::uint8_t> esDescriptor(const AVCodecContext& enc)
    {
        const std::size_t config = std::size_t(std::max(enc.extradata_size, 0));
        std::vector<std::uint8_t> v;
        descriptor(v, 0x03, 3 + 5 + 13 + 5 + config + 5 + 1);
        put(v, 0, 2);  // ES id
        put(v, 0, 1);  // flags
        descriptor(v, 0x04, 13 + 5 + config);
        put(v, 0x40, 1);  // MPEG-4 audio
        put(v, 0x15, 1);  // audio stream
        put(v, 0, 3);
        put(v, std::uint64_t(enc.bit_rate), 4);
        put(v, std::uint64_t(enc.bit_rate), 4);
        descriptor(v, 0x05, config);
        v.insert(v.end(), enc.extradata, enc.extradata + config);
        descriptor(v, 0x06, 1);
        put(v, 2, 1);
        return v;
    }

    OSStatus writeBytes(const std::uint8_t* p, std::size_t left)
    {
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return writeFailure(statusFromErrno(errno));
            }
            p += n;
            left -= std::size_t(n);
        }
        return noErr;
    }

    int fd_;
    std::size_t dataSizeAt_ = 0;
    std::uint64_t dataBytes_ = 0;
    std::vector<std::uint32_t> sizes_;
};

constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

// AAC: an MPEG-4 file written through libavformat in short fragments (each
// complete on disk, so a crash loses at most the last one), or a CAF file.
class AacSink final : public FileSink {
public:
    static OSStatus create(const std::string& path, AudioFileTypeID type, const AudioStreamBasicDescription& f,
        std::unique_ptr<FileSink>& out)
    {
        const int rate = int(f.mSampleRate);
        if (double(rate) != f.mSampleRate
            || std::find(std::begin(kAacRates), std::end(kAacRates), rate) == std::end(kAacRates))
            return kAudioFileUnsupportedDataFormatError;
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec)
            return kAudioFileUnsupportedDataFormatError;

        std::unique_ptr<AacSink> sink(new AacSink);
        sink->fragmented_ = type == kAudioFileM4AType;
        const int channels = int(f.mChannelsPerFrame);

        sink->enc_.reset(avcodec_alloc_context3(codec));
        if (!sink->enc_)
            return kAudioFileUnspecifiedError;
        AVCodecContext* enc = sink->enc_.get();
        enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
        enc->sample_rate = rate;
        av_channel_layout_default(&enc->ch_layout, channels);
        enc->bit_rate = channels == 1 ? 128000 : 192000;
        enc->time_base = AVRational{1, rate};

        if (!sink->fragmented_) {
            // The CAF writer needs the decoder configuration up front.
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if (avcodec_open2(enc, codec, nullptr) < 0)
                return kAudioFileUnsupportedDataFormatError;
            if (OSStatus st = CafFile::create(path, *enc, sink->caf_))
                return st;
        } else {
            AVFormatContext* rawFmt = nullptr;
            if (avformat_alloc_output_context2(&rawFmt, nullptr, "ipod", path.c_str()) < 0)
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
            if (int err = avio_open(&rawFmt->pb, path.c_str(), AVIO_FLAG_WRITE); err < 0)
                return statusFromAv(err);
            AVDictionary* opts = nullptr;
            av_dict_set(&opts, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
            const int err = avformat_write_header(rawFmt, &opts);
            av_dict_free(&opts);
            if (err < 0 || rawFmt->pb->error < 0) {
                const OSStatus st = statusFromAv(err < 0 ? err : rawFmt->pb->error);
                sink->fmt_.reset();
                ::unlink(path.c_str());
                return st;
            }
            avio_flush(rawFmt->pb);
        }

        sink->fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, enc->frame_size * 4));
        sink->frame_ = ffmpeg::makeFrame();
        sink->packet_ = ffmpeg::makePacket();
        if (!sink->fifo_ || !sink->frame_ || !sink->packet_) {
            sink->fmt_.reset();
            sink->caf_.reset();
            ::unlink(path.c_str());
            return kAudioFileUnspecifiedError;
        }
        // Well under the half second a crash may cost, allowing for the encoder's delay.
        sink->cutInterval_ = rate * 2 / 5;
        out = std::move(sink);
        return noErr;
    }

    AVSampleFormat sampleFormat() const override { return AV_SAMPLE_FMT_FLTP; }
    bool fragmented() const { return fragmented_; }
    int priming() const { return enc_->initial_padding; }

    OSStatus writeSamples(const std::uint8_t* const* data, int frames) override
    {
        if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(const_cast<std::uint8_t**>(data)), frames)
            < frames)
            return kAudioFileUnspecifiedError;
        while (av_audio_fifo_size(fifo_.get()) >= enc_->frame_size)
            if (OSStatus s = encode(enc_->frame_size))
                return s;
        return noErr;
    }

    OSStatus idle() override { return unflushed_ > 0 ? cut() : noErr; }

    OSStatus finish(bool failed) override
    {
        OSStatus s = noErr;
        if (!failed) {
            if (const int rest = av_audio_fifo_size(fifo_.get()); rest > 0)
                s = encode(rest);
            if (s == noErr)
                s = drain(nullptr);
        }
        if (caf_) {
            const OSStatus st = caf_->finish(nextPts_, priming(), enc_->frame_size, failed || s != noErr);
            return s != noErr ? s : st;
        }
        const int err = av_write_trailer(fmt_.get());
        if (s == noErr && (err < 0 || fmt_->pb->error < 0))
            s = writeFailure(statusFromAv(err < 0 ? err : fmt_->pb->error));
        const int closeErr = avio_closep(&fmt_->pb);
        if (s == noErr && closeErr < 0)
            s = writeFailure(statusFromAv(closeErr));
        return s;
    }

private:
    AacSink() = default;

    OSStatus encode(int frames)
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

    OSStatus drain(AVFrame* frame)
    {
        if (avcodec_send_frame(enc_.get(), frame) < 0)
            return kAudioFileUnspecifiedError;
        AVPacket* packet = packet_.get();
        for (;;) {
            const int r = avcodec_receive_packet(enc_.get(), packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return noErr;
            if (r < 0)
                return kAudioFileUnspecifiedError;
            const std::int64_t duration = packet->duration;
            if (caf_) {
                const OSStatus st = caf_->writePacket(packet->data, packet->size);
                av_packet_unref(packet);
                if (st != noErr)
                    return st;
                continue;
            }
            av_packet_rescale_ts(packet, enc_->time_base, stream_->time_base);
            packet->stream_index = stream_->index;
            const int err = av_write_frame(fmt_.get(), packet);
            av_packet_unref(packet);
            if (err < 0 || fmt_->pb->error < 0)
                return writeFailure(statusFromAv(err < 0 ? err : fmt_->pb->error));
            unflushed_ += duration > 0 ? duration : enc_->frame_size;
            if (fragmented_ && unflushed_ >= cutInterval_)
                if (OSStatus s = cut())
                    return s;
        }
    }

    // Closes the current fragment and pushes it to the kernel, where it
    // survives the process.
    OSStatus cut()
    {
        unflushed_ = 0;
        if (!fragmented_)
            return noErr;
        const int err = av_write_frame(fmt_.get(), nullptr);
        avio_flush(fmt_->pb);
        if (err < 0 || fmt_->pb->error < 0)
            return writeFailure(statusFromAv(err < 0 ? err : fmt_->pb->error));
        return noErr;
    }

    bool fragmented_ = false;
    ffmpeg::OutputFormatPtr fmt_;   // MPEG-4
    std::unique_ptr<CafFile> caf_;  // or CAF
    ffmpeg::CodecContextPtr enc_;
    ffmpeg::AudioFifoPtr fifo_;
    ffmpeg::FramePtr frame_;
    ffmpeg::PacketPtr packet_;
    AVStream* stream_ = nullptr;  // owned by fmt_
    std::int64_t nextPts_ = 0;
    std::int64_t unflushed_ = 0;
    std::int64_t cutInterval_ = 0;
};

// Flushes a file's data and size to the disk, so a rename that follows
// cannot outlive what it names.
OSStatus syncFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return statusFromErrno(errno);
    const int r = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    return r == 0 ? noErr : writeFailure(statusFromErrno(err));
}

// Makes a rename in the file's folder durable.
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

// The encoder delay at the start of an AAC stream. A fragmented file written
// here does not state it (the muxer has nowhere to put it before the first
// fragment), so it is the delay of the encoder that wrote the file.
int primingOf(const AVCodecParameters& par)
{
    if (par.initial_padding > 0)
        return par.initial_padding;
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    ffmpeg::CodecContextPtr enc(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!enc || par.sample_rate <= 0 || par.ch_layout.nb_channels <= 0)
        return 0;
    enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    enc->sample_rate = par.sample_rate;
    enc->time_base = AVRational{1, par.sample_rate};
    av_channel_layout_default(&enc->ch_layout, par.ch_layout.nb_channels);
    if (avcodec_open2(enc.get(), codec, nullptr) < 0)
        return 0;
    return enc->initial_padding;
}

// The demuxer hands out the part of a packet that made it to the disk; the
// fragment's sample table says how long it should have been.
bool wholeOnDisk(AVStream& stream, const AVPacket& packet, std::int64_t fileBytes)
{
    if (packet.flags & AV_PKT_FLAG_CORRUPT)
        return false;
    if (packet.pos >= 0 && packet.pos + packet.size > fileBytes)
        return false;
    const int i = av_index_search_timestamp(&stream, packet.dts, AVSEEK_FLAG_ANY);
    const AVIndexEntry* entry = i >= 0 ? avformat_index_get_entry(&stream, i) : nullptr;
    return !entry || entry->timestamp != packet.dts || entry->size == packet.size;
}

std::string remuxTemporaryFor(const std::string& path)
{
    return path + ".remux.m4a";
}

// Rewrites a fragmented MPEG-4 file as an ordinary one (one moov with a
// sample table and the priming edit), beside it, then renames it over it.
// On failure the fragmented file stays: it plays as it is.
//
// The fragments keep neither the priming (the muxer shifted it to zero) nor,
// for the demuxer, the short last packet's duration; both are put back, so
// the final file states its true length. frames < 0: a file cut off by a
// crash, whose length is its packets' and whose last fragment may be
// incomplete (the packets wholly on disk are kept).
OSStatus remuxToOrdinaryMp4(const std::string& path, int priming, std::int64_t frames)
{
    const bool salvage = frames < 0;
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        return statusFromErrno(errno);
    const std::int64_t fileBytes = st.st_size;
    AVFormatContext* rawIn = nullptr;
    if (int err = avformat_open_input(&rawIn, path.c_str(), nullptr, nullptr); err < 0)
        return statusFromAv(err);
    ffmpeg::InputFormatPtr in(rawIn);
    if (int err = avformat_find_stream_info(rawIn, nullptr); err < 0)
        return statusFromAv(err);
    if (rawIn->nb_streams != 1)
        return kAudioFileUnspecifiedError;
    AVStream* inStream = rawIn->streams[0];
    if (priming < 0)
        priming = primingOf(*inStream->codecpar);

    const std::string temp = remuxTemporaryFor(path);
    AVFormatContext* rawOut = nullptr;
    if (avformat_alloc_output_context2(&rawOut, nullptr, "ipod", temp.c_str()) < 0)
        return kAudioFileUnspecifiedError;
    ffmpeg::OutputFormatPtr out(rawOut);
    AVStream* outStream = avformat_new_stream(rawOut, nullptr);
    if (!outStream || avcodec_parameters_copy(outStream->codecpar, inStream->codecpar) < 0)
        return kAudioFileUnspecifiedError;
    outStream->codecpar->codec_tag = 0;
    outStream->time_base = inStream->time_base;

    OSStatus status = noErr;
    auto fail = [&](int err) {
        if (status == noErr)
            status = writeFailure(statusFromAv(err));
    };
    if (int err = avio_open(&rawOut->pb, temp.c_str(), AVIO_FLAG_WRITE); err < 0)
        return statusFromAv(err);
    // The edit's length is counted in the movie's time scale, 1/1000 s by
    // default; counting in samples makes it exact.
    AVDictionary* opts = nullptr;
    av_dict_set_int(&opts, "movie_timescale", inStream->codecpar->sample_rate, 0);
    const int headerErr = avformat_write_header(rawOut, &opts);
    av_dict_free(&opts);
    if (headerErr < 0)
        fail(headerErr);

    const AVRational perFrame{1, inStream->codecpar->sample_rate};
    const std::int64_t primingTs = av_rescale_q(priming, perFrame, inStream->time_base);
    const std::int64_t endTs = av_rescale_q(frames, perFrame, inStream->time_base);
    auto emit = [&](AVPacket* p) {
        av_packet_rescale_ts(p, inStream->time_base, outStream->time_base);
        p->stream_index = 0;
        p->pos = -1;
        if (int err = av_write_frame(rawOut, p); err < 0)
            fail(err);
        av_packet_unref(p);
    };
    // Each packet waits for the next, which gives it its duration.
    std::int64_t shift = AV_NOPTS_VALUE;
    ffmpeg::PacketPtr packet = ffmpeg::makePacket(), held = ffmpeg::makePacket();
    bool holding = false;
    while (status == noErr) {
        const int r = av_read_frame(rawIn, packet.get());
        if (r == AVERROR_EOF || (r < 0 && salvage && holding))
            break;
        if (r < 0) {
            status = statusFromAv(r);
            break;
        }
        if (salvage && !wholeOnDisk(*inStream, *packet, fileBytes)) {
            av_packet_unref(packet.get());
            break;
        }
        if (packet->dts == AV_NOPTS_VALUE)
            packet->dts = packet->pts;
        if (shift == AV_NOPTS_VALUE)
            shift = (packet->dts != AV_NOPTS_VALUE ? packet->dts : 0) + primingTs;
        packet->pts -= shift;
        packet->dts -= shift;
        if (holding) {
            held->duration = packet->dts - held->dts;
            emit(held.get());
        }
        av_packet_move_ref(held.get(), packet.get());
        holding = true;
    }
    if (holding && status == noErr) {
        if (!salvage && endTs > held->pts)
            held->duration = endTs - held->pts;
        else if (salvage && held->duration <= 0)
            held->duration = av_rescale_q(inStream->codecpar->frame_size > 0 ? inStream->codecpar->frame_size : 1024,
                perFrame, inStream->time_base);
        emit(held.get());
    }
    if (status == noErr) {
        if (int err = av_write_trailer(rawOut); err < 0)
            fail(err);
        if (rawOut->pb->error < 0)
            fail(rawOut->pb->error);
    }
    if (int err = avio_closep(&rawOut->pb); err < 0)
        fail(err);
    if (status == noErr)
        status = syncFile(temp);
    if (status == noErr && ::rename(temp.c_str(), path.c_str()) != 0)
        status = statusFromErrno(errno);
    if (status != noErr)
        ::unlink(temp.c_str());
    else
        syncFolderOf(path);
    return status;
}

// --- The writer ---------------------------------------------------------------

// The properties every open file answers, writer and reader alike.
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

// A file being written. Owned by its creator; the owner's thread makes every
// call but writeAsync, which the audio thread makes. A writer thread (one per
// file) drains what writeAsync queued into the file.
class ExtAudioFileWriter final : public ExtAudioFile {
public:
    ExtAudioFileWriter(std::unique_ptr<FileSink> sink, const AudioStreamBasicDescription& fileFormat, std::string path)
        : sink_(std::move(sink)), fileFormat_(fileFormat), path_(std::move(path))
    { }
    ~ExtAudioFileWriter() override { dispose(); }

    OSStatus getProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData) override
    {
        return answerProperty(id, ioSize, outData, fileFormat_, clientFormat_, fileFrames_);
    }

    OSStatus setProperty(ExtAudioFilePropertyID id, std::uint32_t size, const void* data) override
    {
        if (id != kExtAudioFileProperty_ClientDataFormat)
            return kExtAudioFileError_InvalidProperty;
        if (size < sizeof(AudioStreamBasicDescription) || !data)
            return kAudioHardwareBadPropertySizeError;
        return setClientFormat(*static_cast<const AudioStreamBasicDescription*>(data));
    }

    // Called with the default client format at creation and again whenever
    // the owner sets one: everything the audio thread will need is allocated
    // here, before its first call.
    OSStatus setClientFormat(const AudioStreamBasicDescription& format)
    {
        if (disposed_)
            return kAudioFileNotOpenError;
        ClientLayout layout;
        if (!clientLayoutFor(format, layout))
            return kAudioFileUnsupportedDataFormatError;
        stopWriterThread();
        std::lock_guard lock(mutex_);
        if (started_) {
            // Samples already passed through the old converter: keep it.
            startWriterThread();
            return kExtAudioFileError_InvalidProperty;
        }
        const int fileChannels = int(fileFormat_.mChannelsPerFrame);
        const int staged = std::min(layout.channels, fileChannels);
        ffmpeg::SwrContextPtr swr = makeResampler(staged, AV_SAMPLE_FMT_FLT, int(std::lround(layout.rate)),
            fileChannels, sink_->sampleFormat(), int(fileFormat_.mSampleRate));
        if (!swr)
            return kAudioFileUnsupportedDataFormatError;
        swr_ = std::move(swr);
        client_ = layout;
        stagedChannels_ = staged;
        clientFormat_ = format;
        completePcm(clientFormat_);
        fifo_ = std::make_unique<SpscFifo>(std::size_t(std::ceil(layout.rate * kFifoSeconds)) * std::size_t(staged));
        converted_.configure(sink_->sampleFormat(), fileChannels);
        startWriterThread();
        return noErr;
    }

    OSStatus read(std::uint32_t* ioFrames, AudioBufferList*) override
    {
        if (ioFrames)
            *ioFrames = 0;
        return kAudioFilePermissionsError;
    }
    OSStatus seek(std::int64_t) override { return kExtAudioFileError_InvalidSeek; }

    OSStatus write(std::uint32_t frames, const AudioBufferList* data) override
    {
        if (disposed_)
            return kAudioFileNotOpenError;
        if (OSStatus s = writerStatus())
            return s;
        if (frames == 0)
            return noErr;
        if (!data || framesRoom(*data, client_, client_.planar ? stagedChannels_ : 1) < frames)
            return kAudioFileUnspecifiedError;
        std::lock_guard lock(mutex_);
        drainLocked();  // earlier asynchronous frames go first
        if (OSStatus s = writerStatus())
            return s;
        syncStaging_.resize(std::size_t(frames) * stagedChannels_);
        SpscFifo::Region region;
        region.first = syncStaging_.data();
        region.firstCount = syncStaging_.size();
        stage(*data, client_, stagedChannels_, region);
        consumeLocked(syncStaging_.data(), int(frames));
        return writerStatus();
    }

    // Audio thread. Copies, publishes, returns: nothing here may allocate,
    // lock, block or reach the disk.
    OSStatus writeAsync(std::uint32_t frames, const AudioBufferList* data) override
    {
        if (const OSStatus s = status_.load(std::memory_order_acquire))
            return s;
        if (!fifo_ || disposed_.load(std::memory_order_relaxed))
            return kAudioFileNotOpenError;
        if (frames == 0)
            return noErr;
        if (!data || framesRoom(*data, client_, client_.planar ? stagedChannels_ : 1) < frames)
            return kAudioFileUnspecifiedError;
        SpscFifo::Region region;
        if (!fifo_->prepareWrite(std::size_t(frames) * stagedChannels_, region))
            return kExtAudioFileError_AsyncWriteBufferOverflow;
        stage(*data, client_, stagedChannels_, region);
        fifo_->commitWrite(region.size());
        return noErr;
    }

    OSStatus writerStatus() const override { return status_.load(std::memory_order_acquire); }

    OSStatus dispose() override
    {
        if (disposed_)
            return disposeStatus_;
        stopWriterThread();
        std::lock_guard lock(mutex_);
        disposed_ = true;
        drainLocked();
        bool failed = writerStatus() != noErr;
        if (!failed && swr_) {
            // The resampler holds the last few input frames back until told the input ended.
            for (;;) {
                const int room = std::max(swr_get_out_samples(swr_.get(), 0), 1);
                std::uint8_t** out = converted_.reserve(room);
                const int n = swr_convert(swr_.get(), out, room, nullptr, 0);
                if (n <= 0)
                    break;
                fileFrames_ += n;
                if (OSStatus s = sink_->writeSamples(out, n)) {
                    recordFailure(s);
                    break;
                }
            }
            failed = writerStatus() != noErr;
        }
        const OSStatus finished = sink_->finish(failed);
        if (finished != noErr)
            recordFailure(finished);
        if (auto* aac = dynamic_cast<AacSink*>(sink_.get()); aac && aac->fragmented() && writerStatus() == noErr) {
            // Only an undamaged file is worth the copy; the fragmented one already plays.
            if (OSStatus s = remuxToOrdinaryMp4(path_, aac->priming(), fileFrames_))
                recordFailure(s);
        }
        sink_.reset();
        disposeStatus_ = writerStatus();
        return disposeStatus_;
    }

private:
    static constexpr double kFifoSeconds = 4.0;

    void recordFailure(OSStatus s)
    {
        OSStatus expected = noErr;
        status_.compare_exchange_strong(expected, s, std::memory_order_acq_rel);
    }

    void startWriterThread()
    {
        stopWriter_.store(false, std::memory_order_release);
        writer_ = std::thread([this] { writerLoop(); });
    }

    void stopWriterThread()
    {
        if (writer_.joinable()) {
            stopWriter_.store(true, std::memory_order_release);
            writer_.join();
        }
    }

    // Writer thread. The audio thread sends no wake-up (that would be a
    // system call on it); polling every 10 ms costs nothing and keeps the
    // FIFO, four seconds deep, far from full.
    void writerLoop()
    {
        while (!stopWriter_.load(std::memory_order_acquire)) {
            if (fifo_->available() == 0) {
                {
                    std::lock_guard lock(mutex_);
                    if (started_ && writerStatus() == noErr)
                        if (OSStatus s = sink_->idle())
                            recordFailure(s);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            std::lock_guard lock(mutex_);
            drainLocked();
        }
    }

    // Under mutex_. After a failure the queue is only emptied.
    void drainLocked()
    {
        if (!fifo_)
            return;
        const std::size_t chunk = std::size_t(8192) * stagedChannels_;
        for (;;) {
            const SpscFifo::Region region = fifo_->prepareRead(chunk);
            if (region.size() == 0)
                return;
            if (writerStatus() == noErr) {
                consumeLocked(region.first, int(region.firstCount / stagedChannels_));
                if (region.secondCount && writerStatus() == noErr)
                    consumeLocked(region.second, int(region.secondCount / stagedChannels_));
            }
            fifo_->commitRead(region.size());
        }
    }

    void consumeLocked(const float* samples, int frames)
    {
        started_ = true;
        const int room = swr_get_out_samples(swr_.get(), frames);
        std::uint8_t** out = converted_.reserve(std::max(room, 1));
        const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(samples);
        const int n = swr_convert(swr_.get(), out, room, &in, frames);
        if (n < 0) {
            recordFailure(kAudioFileUnspecifiedError);
            return;
        }
        fileFrames_ += n;
        if (n > 0)
            if (OSStatus s = sink_->writeSamples(out, n))
                recordFailure(s);
    }

    std::unique_ptr<FileSink> sink_;
    const AudioStreamBasicDescription fileFormat_;
    const std::string path_;
    AudioStreamBasicDescription clientFormat_;

    // Set by the owner before writing starts; read by the audio thread.
    ClientLayout client_;
    int stagedChannels_ = 0;
    std::unique_ptr<SpscFifo> fifo_;

    std::mutex mutex_;  // the converter and the sink: writer thread vs. owner
    ffmpeg::SwrContextPtr swr_;
    SampleBuffer converted_;
    std::vector<float> syncStaging_;
    bool started_ = false;
    std::int64_t fileFrames_ = 0;

    std::thread writer_;
    std::atomic<bool> stopWriter_{false};
    std::atomic<OSStatus> status_{noErr};
    // Only the owner writes it, and never while writeAsync runs; it is
    // atomic so a late writeAsync is refused rather than queued forever.
    std::atomic<bool> disposed_{false};
    OSStatus disposeStatus_ = noErr;
};

// --- The reader ---------------------------------------------------------------

AudioStreamBasicDescription describeStream(const AVCodecParameters& p)
{
    AudioStreamBasicDescription f;
    f.mSampleRate = p.sample_rate;
    f.mChannelsPerFrame = std::uint32_t(p.ch_layout.nb_channels);
    const AVCodecDescriptor* desc = avcodec_descriptor_get(p.codec_id);
    const bool pcm = p.codec_id >= AV_CODEC_ID_FIRST_AUDIO && p.codec_id < AV_CODEC_ID_ADPCM_IMA_QT && desc
        && std::strncmp(desc->name, "pcm_", 4) == 0;
    if (pcm) {
        f.mFormatID = kAudioFormatLinearPCM;
        const std::string name = desc->name;
        if (name.find("pcm_f") == 0)
            f.mFormatFlags |= kAudioFormatFlagIsFloat;
        else if (name.find("pcm_s") == 0)
            f.mFormatFlags |= kAudioFormatFlagIsSignedInteger;
        if (name.size() >= 2 && name.compare(name.size() - 2, 2, "be") == 0)
            f.mFormatFlags |= kAudioFormatFlagIsBigEndian;
        if (name.find("planar") != std::string::npos)
            f.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
        f.mBitsPerChannel = std::uint32_t(av_get_bits_per_sample(p.codec_id));
        completePcm(f);
        return f;
    }
    switch (p.codec_id) {
    case AV_CODEC_ID_AAC:
        f.mFormatID = kAudioFormatMPEG4AAC;
        f.mFramesPerPacket = p.frame_size > 0 ? std::uint32_t(p.frame_size) : 1024;
        break;
    case AV_CODEC_ID_MP3:
        f.mFormatID = fourCC(".mp3");
        f.mFramesPerPacket = 1152;
        break;
    case AV_CODEC_ID_FLAC:
        f.mFormatID = fourCC("flac");
        break;
    case AV_CODEC_ID_ALAC:
        f.mFormatID = fourCC("alac");
        break;
    case AV_CODEC_ID_OPUS:
        f.mFormatID = fourCC("opus");
        break;
    default:
        f.mFormatID = p.codec_tag;
        break;
    }
    if (f.mFramesPerPacket == 0 && p.frame_size > 0)
        f.mFramesPerPacket = std::uint32_t(p.frame_size);
    return f;
}

// A file opened for reading, decoding on demand into the client format.
// Owner's thread only.
class ExtAudioFileReader final : public ExtAudioFile {
public:
    static OSStatus open(const std::string& path, std::unique_ptr<ExtAudioFile>& out)
    {
        struct stat st { };
        if (::stat(path.c_str(), &st) != 0)
            return statusFromErrno(errno);
        if (S_ISDIR(st.st_mode))
            return kAudioFilePermissionsError;
        AVFormatContext* raw = nullptr;
        if (int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); err < 0)
            return err == AVERROR_INVALIDDATA || err == AVERROR_EOF ? kAudioFileUnsupportedFileTypeError
                                                                    : statusFromAv(err);
        std::unique_ptr<ExtAudioFileReader> r(new ExtAudioFileReader);
        r->fmt_.reset(raw);
        if (avformat_find_stream_info(raw, nullptr) < 0)
            return kAudioFileUnsupportedFileTypeError;
        const AVCodec* codec = nullptr;
        const int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (index < 0 || !codec)
            return index == AVERROR_STREAM_NOT_FOUND ? kAudioFileUnsupportedFileTypeError
                                                     : kAudioFileUnsupportedDataFormatError;
        AVStream* stream = raw->streams[index];
        const AVCodecParameters* par = stream->codecpar;
        if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0
            || par->ch_layout.nb_channels > int(kMaxAudioChannels))
            return kAudioFileUnsupportedDataFormatError;
        r->dec_.reset(avcodec_alloc_context3(codec));
        if (!r->dec_ || avcodec_parameters_to_context(r->dec_.get(), par) < 0)
            return kAudioFileUnspecifiedError;
        // Lets the decoder trim priming and keep frame times in stream units.
        r->dec_->pkt_timebase = stream->time_base;
        if (avcodec_open2(r->dec_.get(), codec, nullptr) < 0)
            return kAudioFileUnsupportedDataFormatError;
        r->streamIndex_ = index;
        r->stream_ = stream;
        r->fileFormat_ = describeStream(*par);
        r->pcm_ = r->fileFormat_.mFormatID == kAudioFormatLinearPCM;
        r->origin_ = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        r->lengthFrames_ = r->measureLength();
        // An MPEG-4 sample table (with its edit) states the length exactly,
        // where decoders would still hand out the last packet's padding.
        r->exactLength_ = !r->pcm_ && r->lengthFrames_ > 0 && std::strstr(raw->iformat->name, "mp4") != nullptr;
        r->packet_ = ffmpeg::makePacket();
        r->frame_ = ffmpeg::makeFrame();
        if (!r->packet_ || !r->frame_)
            return kAudioFileUnspecifiedError;
        if (OSStatus s
            = r->setClientFormat(floatPlanarFormat(par->sample_rate, std::uint32_t(par->ch_layout.nb_channels))))
            return s;
        out = std::move(r);
        return noErr;
    }

    OSStatus getProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData) override
    {
        return answerProperty(id, ioSize, outData, fileFormat_, clientFormat_, lengthFrames_);
    }

    OSStatus setProperty(ExtAudioFilePropertyID id, std::uint32_t size, const void* data) override
    {
        if (id != kExtAudioFileProperty_ClientDataFormat)
            return kExtAudioFileError_InvalidProperty;
        if (size < sizeof(AudioStreamBasicDescription) || !data)
            return kAudioHardwareBadPropertySizeError;
        if (!fmt_)
            return kAudioFileNotOpenError;
        const std::int64_t resumeAt = position();
        const bool moved = readStarted_;
        if (OSStatus s = setClientFormat(*static_cast<const AudioStreamBasicDescription*>(data)))
            return s;
        // Frames converted for the old format are gone: resume where the caller was.
        return moved ? seek(resumeAt) : noErr;
    }

    OSStatus read(std::uint32_t* ioFrames, AudioBufferList* ioData) override
    {
        if (!ioFrames)
            return kAudioFileUnspecifiedError;
        const std::uint32_t wanted = *ioFrames;
        *ioFrames = 0;
        if (!fmt_)
            return kAudioFileNotOpenError;
        if (!ioData)
            return kAudioFileUnspecifiedError;
        const std::int64_t room = framesRoom(*ioData, client_, client_.channels);
        if (room < 0)
            return kAudioFileUnspecifiedError;
        const int want = int(std::min<std::int64_t>({std::int64_t(wanted), room, INT32_MAX}));
        readStarted_ = true;
        OSStatus status = noErr;
        while (av_audio_fifo_size(fifo_.get()) < want && !drained_) {
            status = decodeMore();
            if (status != noErr)
                break;
        }
        const int n = std::min(want, av_audio_fifo_size(fifo_.get()));
        void* planes[kMaxAudioChannels];
        const int buffers = client_.planar ? client_.channels : 1;
        for (int b = 0; b < buffers; ++b)
            planes[b] = ioData->mBuffers[b].mData;
        const int got = n > 0 ? av_audio_fifo_read(fifo_.get(), planes, n) : 0;
        *ioFrames = std::uint32_t(std::max(got, 0));
        deliveredClientFrames_ += *ioFrames;
        return *ioFrames > 0 ? noErr : status;
    }

    OSStatus seek(std::int64_t frame) override
    {
        if (!fmt_)
            return kAudioFileNotOpenError;
        if (frame < 0)
            return kExtAudioFileError_InvalidSeek;
        // A lossy decoder needs frames before the target to rebuild its
        // overlap; those are decoded and thrown away.
        // Near the start that includes the priming packets, which sit before
        // time zero: aim before zero so the demuxer starts at the very first.
        const std::int64_t preroll = pcm_ ? 0 : 4 * 1024;
        const std::int64_t from = frame - preroll;
        int err = -1;
        if (from <= 0) {
            const AVIndexEntry* first = avformat_index_get_entry(stream_, 0);
            if (first)
                err = av_seek_frame(fmt_.get(), streamIndex_, first->timestamp, AVSEEK_FLAG_BACKWARD);
            if (err < 0)
                err = avformat_seek_file(fmt_.get(), streamIndex_, INT64_MIN, origin_, origin_, 0);
        } else {
            const std::int64_t ts
                = origin_ + av_rescale_q(from, AVRational{1, int(fileFormat_.mSampleRate)}, stream_->time_base);
            err = avformat_seek_file(fmt_.get(), streamIndex_, INT64_MIN, ts, ts, 0);
            if (err < 0)
                err = av_seek_frame(fmt_.get(), streamIndex_, ts, AVSEEK_FLAG_BACKWARD);
        }
        if (err < 0)
            return kExtAudioFileError_InvalidSeek;
        avcodec_flush_buffers(dec_.get());
        swr_.reset();
        av_audio_fifo_reset(fifo_.get());
        demuxEnded_ = false;
        drained_ = false;
        discardUntil_ = frame;
        nextFramePos_ = std::max<std::int64_t>(from, 0);
        seekBase_ = frame;
        deliveredClientFrames_ = 0;
        return noErr;
    }

    OSStatus write(std::uint32_t, const AudioBufferList*) override { return kAudioFilePermissionsError; }
    OSStatus writeAsync(std::uint32_t, const AudioBufferList*) override { return kAudioFilePermissionsError; }
    OSStatus writerStatus() const override { return noErr; }

    OSStatus dispose() override
    {
        swr_.reset();
        fifo_.reset();
        dec_.reset();
        fmt_.reset();
        return noErr;
    }

private:
    ExtAudioFileReader() = default;

    // Frames as read() delivers them at the file's rate. Container
    // durations already leave out the priming an edit list skips; PCM
    // durations are exact.
    std::int64_t measureLength() const
    {
        const AVRational perFrame{1, int(fileFormat_.mSampleRate)};
        if (stream_->duration != AV_NOPTS_VALUE && stream_->duration > 0)
            return av_rescale_q(stream_->duration, stream_->time_base, perFrame);
        if (fmt_->duration != AV_NOPTS_VALUE && fmt_->duration > 0)
            return av_rescale_q(fmt_->duration, AV_TIME_BASE_Q, perFrame);
        return 0;
    }

    std::int64_t position() const
    {
        const double ratio = fileFormat_.mSampleRate / client_.rate;
        return seekBase_ + std::int64_t(std::llround(double(deliveredClientFrames_) * ratio));
    }

    OSStatus setClientFormat(const AudioStreamBasicDescription& format)
    {
        ClientLayout layout;
        if (!clientLayoutFor(format, layout))
            return kAudioFileUnsupportedDataFormatError;
        ffmpeg::AudioFifoPtr fifo(av_audio_fifo_alloc(layout.avFormat(), layout.channels, 4096));
        if (!fifo)
            return kAudioFileUnspecifiedError;
        fifo_ = std::move(fifo);
        client_ = layout;
        clientFormat_ = format;
        completePcm(clientFormat_);
        converted_.configure(layout.avFormat(), layout.channels);
        swr_.reset();
        return noErr;
    }

    // One step: a decoded frame into the client FIFO, a packet into the
    // decoder, or the end of the stream.
    OSStatus decodeMore()
    {
        const int r = avcodec_receive_frame(dec_.get(), frame_.get());
        if (r == 0) {
            const OSStatus s = convertFrame(*frame_);
            av_frame_unref(frame_.get());
            return s;
        }
        if (r == AVERROR_EOF) {
            flushResampler();
            drained_ = true;
            return noErr;
        }
        if (r != AVERROR(EAGAIN))
            return kAudioFileUnspecifiedError;
        if (demuxEnded_)
            return avcodec_send_packet(dec_.get(), nullptr) < 0 ? kAudioFileUnspecifiedError : noErr;
        for (;;) {
            const int err = av_read_frame(fmt_.get(), packet_.get());
            if (err < 0) {
                demuxEnded_ = true;
                avcodec_send_packet(dec_.get(), nullptr);
                return noErr;
            }
            if (packet_->stream_index == streamIndex_)
                break;
            av_packet_unref(packet_.get());
        }
        const int err = avcodec_send_packet(dec_.get(), packet_.get());
        av_packet_unref(packet_.get());
        // A damaged packet is skipped, as players do, rather than ending the read.
        return err < 0 && err != AVERROR_INVALIDDATA ? kAudioFileUnspecifiedError : noErr;
    }

    OSStatus convertFrame(const AVFrame& frame)
    {
        const std::int64_t ts = frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
        const std::int64_t pos = ts != AV_NOPTS_VALUE
            ? av_rescale_q(ts - origin_, stream_->time_base, AVRational{1, int(fileFormat_.mSampleRate)})
            : nextFramePos_;
        nextFramePos_ = pos + frame.nb_samples;
        const std::int64_t skip = std::clamp<std::int64_t>(discardUntil_ - pos, 0, frame.nb_samples);
        // The encoder's padding after the last real frame.
        const std::int64_t keepEnd
            = exactLength_ ? std::clamp<std::int64_t>(lengthFrames_ - pos, 0, frame.nb_samples) : frame.nb_samples;
        if (skip >= keepEnd)
            return noErr;
        discardUntil_ = 0;
        const int channels = frame.ch_layout.nb_channels;
        const auto format = AVSampleFormat(frame.format);
        if (!swr_ || swrInFormat_ != format || swrInRate_ != frame.sample_rate || swrInChannels_ != channels) {
            if (swr_)
                flushResampler();
            swr_ = makeResampler(channels, format, frame.sample_rate, client_.channels, client_.avFormat(),
                int(std::lround(client_.rate)));
            if (!swr_)
                return kAudioFileUnsupportedDataFormatError;
            swrInFormat_ = format;
            swrInRate_ = frame.sample_rate;
            swrInChannels_ = channels;
        }
        const std::uint8_t* in[kMaxAudioChannels];
        const bool planar = av_sample_fmt_is_planar(format);
        const int bps = av_get_bytes_per_sample(format);
        const int planes = planar ? channels : 1;
        for (int p = 0; p < planes && p < int(kMaxAudioChannels); ++p)
            in[p] = frame.extended_data[p] + skip * bps * (planar ? 1 : channels);
        const int frames = int(keepEnd - skip);
        const int room = swr_get_out_samples(swr_.get(), frames);
        std::uint8_t** out = converted_.reserve(std::max(room, 1));
        const int n = swr_convert(swr_.get(), out, room, in, frames);
        if (n < 0)
            return kAudioFileUnspecifiedError;
        if (n > 0 && av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out), n) < n)
            return kAudioFileUnspecifiedError;
        return noErr;
    }

    void flushResampler()
    {
        if (!swr_)
            return;
        for (;;) {
            const int room = std::max(swr_get_out_samples(swr_.get(), 0), 1);
            std::uint8_t** out = converted_.reserve(room);
            const int n = swr_convert(swr_.get(), out, room, nullptr, 0);
            if (n <= 0)
                break;
            av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out), n);
        }
    }

    ffmpeg::InputFormatPtr fmt_;
    ffmpeg::CodecContextPtr dec_;
    ffmpeg::PacketPtr packet_;
    ffmpeg::FramePtr frame_;
    ffmpeg::SwrContextPtr swr_;
    ffmpeg::AudioFifoPtr fifo_;  // converted frames not yet delivered
    SampleBuffer converted_;
    AVStream* stream_ = nullptr;  // owned by fmt_
    int streamIndex_ = -1;
    AudioStreamBasicDescription fileFormat_;
    AudioStreamBasicDescription clientFormat_;
    ClientLayout client_;
    bool pcm_ = false;
    bool exactLength_ = false;
    std::int64_t origin_ = 0;
    std::int64_t lengthFrames_ = 0;
    AVSampleFormat swrInFormat_ = AV_SAMPLE_FMT_NONE;
    int swrInRate_ = 0;
    int swrInChannels_ = 0;
    bool demuxEnded_ = false;
    bool drained_ = false;
    bool readStarted_ = false;
    std::int64_t discardUntil_ = 0;
    std::int64_t nextFramePos_ = 0;
    std::int64_t seekBase_ = 0;
    std::int64_t deliveredClientFrames_ = 0;
};

}  // namespace

namespace {
// FFmpeg's informational lines (the AAC encoder's statistics among them)
// would otherwise land on the terminal of whoever runs us; failures come back
// as statuses.
void quietFFmpegLog()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}
}  // namespace

ExtAudioFile::~ExtAudioFile() = default;

OSStatus ExtAudioFile::create(const std::string& path, AudioFileTypeID fileType,
    const AudioStreamBasicDescription& fileFormat, std::uint32_t flags, std::unique_ptr<ExtAudioFile>& out)
{
    quietFFmpegLog();
    AudioStreamBasicDescription format = fileFormat;
    if (format.mChannelsPerFrame < 1 || format.mChannelsPerFrame > 2 || !usableRate(format.mSampleRate))
        return kAudioFileUnsupportedDataFormatError;
    const bool erase = (flags & kAudioFileFlags_EraseFile) != 0;
    if (!erase && ::access(path.c_str(), F_OK) == 0)
        return kAudioFilePermissionsError;

    std::unique_ptr<FileSink> sink;
    OSStatus status;
    switch (fileType) {
    case kAudioFileWAVEType:
        if (format.mFormatID != kAudioFormatLinearPCM || (format.mFormatFlags & kAudioFormatFlagIsBigEndian)
            || (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved)
            || std::floor(format.mSampleRate) != format.mSampleRate)
            return kAudioFileUnsupportedDataFormatError;
        completePcm(format);
        status = WavSink::create(path, format, erase, sink);
        break;
    case kAudioFileM4AType:
    case kAudioFileCAFType:
        if (format.mFormatID != kAudioFormatMPEG4AAC
            || (format.mFramesPerPacket != 0 && format.mFramesPerPacket != 1024))
            return kAudioFileUnsupportedDataFormatError;
        format.mFramesPerPacket = 1024;
        status = AacSink::create(path, fileType, format, sink);
        break;
    default:
        return kAudioFileUnsupportedFileTypeError;
    }
    if (status != noErr)
        return status;

    auto writer = std::make_unique<ExtAudioFileWriter>(std::move(sink), format, path);
    // Until the owner says otherwise the client speaks the file's own PCM,
    // or float planes for a compressed file.
    const AudioStreamBasicDescription client = format.mFormatID == kAudioFormatLinearPCM
        ? format
        : floatPlanarFormat(format.mSampleRate, format.mChannelsPerFrame);
    if (OSStatus s = writer->setClientFormat(client)) {
        writer.reset();
        ::unlink(path.c_str());
        return s;
    }
    out = std::move(writer);
    return noErr;
}

OSStatus ExtAudioFile::open(const std::string& path, std::unique_ptr<ExtAudioFile>& out)
{
    quietFFmpegLog();
    return ExtAudioFileReader::open(path, out);
}

OSStatus AudioFormatGetProperty(
    std::uint32_t propertyID, std::uint32_t, const void*, std::uint32_t* ioPropertyDataSize, void* outPropertyData)
{
    if (propertyID != kAudioFormatProperty_FormatInfo)
        return kAudioHardwareUnknownPropertyError;
    if (!ioPropertyDataSize || !outPropertyData || *ioPropertyDataSize < sizeof(AudioStreamBasicDescription))
        return kAudioHardwareBadPropertySizeError;
    auto& f = *static_cast<AudioStreamBasicDescription*>(outPropertyData);
    completePcm(f);
    *ioPropertyDataSize = sizeof(AudioStreamBasicDescription);
    return noErr;
}

// --- Completing an interrupted recording ------------------------------------

namespace {

std::uint32_t get32le(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint64_t get64be(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | p[i];
    return v;
}

bool readAt(int fd, void* buf, std::size_t size, std::int64_t at)
{
    return ::pread(fd, buf, size, off_t(at)) == ssize_t(size);
}

// A WAVE file whose header sizes were last updated before the crash: they
// are set to the whole frames on disk, and a partial last frame is cut off.
// A file whose sizes already agree with its length is left as it is.
OSStatus completeWave(int fd, std::int64_t fileBytes)
{
    std::int64_t at = 12;
    std::int64_t dataAt = -1;
    std::uint32_t declared = 0;
    std::uint32_t blockAlign = 0;
    while (at + 8 <= fileBytes) {
        std::uint8_t chunk[8];
        if (!readAt(fd, chunk, 8, at))
            return kAudioFileUnspecifiedError;
        const std::uint32_t size = get32le(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            std::uint8_t fmt[16];
            if (!readAt(fd, fmt, 16, at + 8))
                return kAudioFileUnspecifiedError;
            blockAlign = std::uint32_t(fmt[12]) | std::uint32_t(fmt[13]) << 8;
        }
        if (std::memcmp(chunk, "data", 4) == 0) {
            dataAt = at + 8;
            declared = size;
            break;
        }
        at += 8 + std::int64_t(size) + (size & 1);
    }
    if (dataAt < 0 || blockAlign == 0)
        return kAudioFileUnsupportedFileTypeError;
    std::uint8_t riff[4];
    if (!readAt(fd, riff, 4, 4))
        return kAudioFileUnspecifiedError;
    const std::int64_t onDisk = fileBytes - dataAt;
    // Chunks after the audio (a tag list) make the data shorter than the
    // file; the RIFF size then tells whether the header is current.
    if (std::int64_t(get32le(riff)) + 8 == fileBytes && std::int64_t(declared) <= onDisk)
        return noErr;
    const std::int64_t whole = onDisk - onDisk % blockAlign;
    if (dataAt - 8 + whole > 0xFFFFFFFFll)
        return kAudioFileUnsupportedFileTypeError;  // no room for the size in a plain RIFF header
    if (whole != onDisk && ::ftruncate(fd, off_t(dataAt + whole)) != 0)
        return writeFailure(statusFromErrno(errno));
    std::uint8_t v[4];
    const auto put = [&](std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            v[i] = std::uint8_t(value >> (8 * i));
    };
    // The data size first: a reader trusts it over the RIFF size.
    put(std::uint32_t(whole));
    if (::pwrite(fd, v, 4, off_t(dataAt - 4)) != 4)
        return writeFailure(statusFromErrno(errno));
    put(std::uint32_t(dataAt - 8 + whole));
    if (::pwrite(fd, v, 4, 4) != 4)
        return writeFailure(statusFromErrno(errno));
    return ::fsync(fd) == 0 ? noErr : writeFailure(statusFromErrno(errno));
}

// Whether an MPEG-4 file holds movie fragments: a crash leaves them behind,
// where a completed recording has one sample table.
bool hasMovieFragments(int fd, std::int64_t fileBytes)
{
    std::int64_t at = 0;
    while (at + 8 <= fileBytes) {
        std::uint8_t box[16];
        if (!readAt(fd, box, 8, at))
            return false;
        std::uint64_t size = get64be(box) >> 32;
        if (std::memcmp(box + 4, "moof", 4) == 0)
            return true;
        if (size == 1) {
            if (!readAt(fd, box + 8, 8, at + 8))
                return false;
            size = get64be(box + 8);
        }
        if (size < 8)
            return false;  // to the end of the file, or damaged
        at += std::int64_t(size);
    }
    return false;
}

}  // namespace

OSStatus completeInterruptedRecording(const std::string& path)
{
    quietFFmpegLog();
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return statusFromErrno(errno);
    // A rewrite cut short left only its temporary: the original is intact.
    ::unlink(remuxTemporaryFor(path).c_str());
    struct stat st { };
    std::uint8_t head[12] = {};
    OSStatus status = kAudioFileUnsupportedFileTypeError;
    bool fragmented = false;
    if (::fstat(fd, &st) != 0) {
        status = statusFromErrno(errno);
    } else if (S_ISREG(st.st_mode) && readAt(fd, head, sizeof head, 0)) {
        if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) {
            status = completeWave(fd, st.st_size);
        } else if (std::memcmp(head + 4, "ftyp", 4) == 0) {
            fragmented = hasMovieFragments(fd, st.st_size);
            status = noErr;
        }
    }
    ::close(fd);
    if (status == noErr && fragmented)
        status = remuxToOrdinaryMp4(path, -1, -1);
    return status;
}
