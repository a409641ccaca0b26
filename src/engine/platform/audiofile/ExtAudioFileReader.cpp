#include "platform/audiofile/ExtAudioFileReader.h"

#include "platform/audiofile/AudioFileCommon.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

namespace audiofile {
namespace {

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
        f.mFormatID = kAudioFormatMPEGLayer3;
        f.mFramesPerPacket = 1152;
        break;
    case AV_CODEC_ID_FLAC:
        f.mFormatID = kAudioFormatFLAC;
        f.mBitsPerChannel = std::uint32_t(p.bits_per_raw_sample);
        break;
    case AV_CODEC_ID_ALAC:
        f.mFormatID = fourCC("alac");
        break;
    case AV_CODEC_ID_OPUS:
        f.mFormatID = kAudioFormatOpus;
        break;
    case AV_CODEC_ID_VORBIS:
        f.mFormatID = kAudioFormatVorbis;
        break;
    default:
        f.mFormatID = p.codec_tag;
        break;
    }
    if (f.mFramesPerPacket == 0 && p.frame_size > 0)
        f.mFramesPerPacket = std::uint32_t(p.frame_size);
    return f;
}

// An unsigned number of `bytes` bytes, most significant first.
std::uint64_t bigEndian(const unsigned char* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | p[i];
    return v;
}

// What a CAF file's 'pakt' chunk says about its frames.
struct CafPacketTable {
    std::int64_t validFrames = 0;
    std::int64_t priming = 0;
};

bool readCafPacketTable(const std::string& path, CafPacketTable& out)
{
    std::ifstream f(path, std::ios::binary);
    unsigned char head[12];
    if (!f.read(reinterpret_cast<char*>(head), 8) || std::memcmp(head, "caff", 4) != 0)
        return false;
    while (f.read(reinterpret_cast<char*>(head), 12)) {
        const std::uint64_t size = bigEndian(head + 4, 8);
        if (std::memcmp(head, "pakt", 4) == 0) {
            unsigned char body[24];
            if (size < sizeof body || !f.read(reinterpret_cast<char*>(body), sizeof body))
                return false;
            out.validFrames = std::int64_t(bigEndian(body + 8, 8));
            out.priming = std::int64_t(bigEndian(body + 16, 4));
            return out.validFrames >= 0 && out.priming >= 0 && out.priming < (1 << 16);
        }
        if (size > std::uint64_t(INT64_MAX) || !f.seekg(std::streamoff(size), std::ios::cur))
            return false;
    }
    return false;
}

// The frames an MP3 file holds without the encoder's delay and padding, as
// its first frame (Xing or Info, with the encoder's extension) states them
// and as FFmpeg's decoder trims them; -1 for a file that does not say.
std::int64_t mp3GaplessFrames(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    // ID3v2 tags before the first frame: sizes in seven-bit bytes, and a footer when flagged.
    std::int64_t at = 0;
    unsigned char id3[10];
    while (f.seekg(at) && f.read(reinterpret_cast<char*>(id3), 10) && std::memcmp(id3, "ID3", 3) == 0)
        at += 10 + ((id3[6] & 0x7F) << 21 | (id3[7] & 0x7F) << 14 | (id3[8] & 0x7F) << 7 | (id3[9] & 0x7F))
            + (id3[5] & 0x10 ? 10 : 0);
    // Header, side information, tag, flags, frames, bytes, table of contents, quality, the encoder's 24 bytes.
    unsigned char frame[4 + 32 + 4 + 4 + 4 + 4 + 100 + 4 + 24];
    f.clear();
    if (!f.seekg(at) || !f.read(reinterpret_cast<char*>(frame), sizeof frame))
        return -1;
    const auto header = std::uint32_t(bigEndian(frame, 4));
    const std::uint32_t version = header >> 19 & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    if ((header & 0xFFE00000) != 0xFFE00000 || (header >> 17 & 3) != 1 || version == 1)
        return -1;  // not a layer III frame
    const bool mono = (header >> 6 & 3) == 3;
    const unsigned char* p = frame + 4 + (version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    if (std::memcmp(p, "Xing", 4) != 0 && std::memcmp(p, "Info", 4) != 0)
        return -1;
    const auto flags = std::uint32_t(bigEndian(p + 4, 4));
    if (!(flags & 1))
        return -1;  // no frame count
    const auto frames = std::int64_t(bigEndian(p + 8, 4));
    p += 12 + (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
    if (std::memcmp(p, "LAME", 4) != 0 && std::memcmp(p, "Lavf", 4) != 0 && std::memcmp(p, "Lavc", 4) != 0)
        return -1;  // FFmpeg trusts the delay and padding of these encoders only
    const auto pads = std::uint32_t(bigEndian(p + 21, 3));
    return std::max<std::int64_t>(0, frames * (version == 3 ? 1152 : 576) - (pads >> 12) - (pads & 0xFFF));
}

// A file opened for reading, decoding on demand into the client format.
// Owner's thread only.
class ExtAudioFileReader final : public ExtAudioFile {
public:
    static constexpr int kPcmPacketBytes = 1 << 16;

    static OSStatus open(const std::string& path, std::unique_ptr<ExtAudioFile>& out)
    {
        struct stat st { };
        if (::stat(path.c_str(), &st) != 0)
            return statusFromErrno(errno);
        if (S_ISDIR(st.st_mode))
            return kAudioFilePermissionsError;
        AVFormatContext* raw = nullptr;
        // The WAVE demuxer's packets are 4 KiB unless told otherwise: 512
        // frames of 32-bit stereo, each a packet, a decoded frame and a
        // resampler call of its own. Larger ones read a long file in a
        // fraction of the calls. Demuxers without the option ignore it.
        AVDictionary* options = nullptr;
        av_dict_set_int(&options, "max_size", kPcmPacketBytes, 0);
        const int opened = avformat_open_input(&raw, path.c_str(), nullptr, &options);
        const ffmpeg::DictionaryPtr unused(options);
        if (int err = opened; err < 0)
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
        // An Ogg Opus stream's end is exact too, but FFmpeg's demuxer counts
        // the encoder's priming (the stream header's pre-skip, in 48 kHz
        // frames) in the length, where its decoder drops it.
        if (par->codec_id == AV_CODEC_ID_OPUS && std::strcmp(raw->iformat->name, "ogg") == 0
            && par->extradata_size >= 12 && std::memcmp(par->extradata, "OpusHead", 8) == 0) {
            const int preSkip = par->extradata[10] | par->extradata[11] << 8;
            r->lengthFrames_
                = std::max<std::int64_t>(0, r->lengthFrames_ - av_rescale(preSkip, par->sample_rate, 48000));
            r->exactLength_ = r->lengthFrames_ > 0;
        }
        // An MP3 file's length counts the encoder's delay and padding, which
        // its decoder drops.
        if (par->codec_id == AV_CODEC_ID_MP3 && std::strcmp(raw->iformat->name, "mp3") == 0)
            if (const std::int64_t frames = mp3GaplessFrames(path); frames >= 0)
                r->lengthFrames_ = frames;
        // A CAF packet table states the same, but FFmpeg's demuxer ignores it.
        if (CafPacketTable table; !r->pcm_ && std::strcmp(raw->iformat->name, "caf") == 0
            && readCafPacketTable(path, table) && table.validFrames > 0) {
            r->origin_ += av_rescale_q(table.priming, AVRational{1, par->sample_rate}, stream->time_base);
            r->lengthFrames_ = table.validFrames;
            r->exactLength_ = true;
        }
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
        int err = -1;
        // A demuxer that searches the file for frames (FLAC's without a seek
        // table) finds none after a point inside the last one: it is asked
        // again a second earlier, and at worst the start is. Decoding drops
        // whatever lies before the frame asked for.
        const auto step = std::int64_t(fileFormat_.mSampleRate);
        std::int64_t from = frame - preroll;
        for (; from > 0; from -= step) {
            const std::int64_t ts
                = origin_ + av_rescale_q(from, AVRational{1, int(fileFormat_.mSampleRate)}, stream_->time_base);
            err = avformat_seek_file(fmt_.get(), streamIndex_, INT64_MIN, ts, ts, 0);
            if (err < 0)
                err = av_seek_frame(fmt_.get(), streamIndex_, ts, AVSEEK_FLAG_BACKWARD);
            if (err >= 0)
                break;
        }
        if (err < 0) {
            const AVIndexEntry* first = avformat_index_get_entry(stream_, 0);
            if (first)
                err = av_seek_frame(fmt_.get(), streamIndex_, first->timestamp, AVSEEK_FLAG_BACKWARD);
            if (err < 0)
                err = avformat_seek_file(fmt_.get(), streamIndex_, INT64_MIN, origin_, origin_, 0);
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
        // The stream's layout may change mid-file; every plane must fit the arrays below.
        const int channels = frame.ch_layout.nb_channels;
        if (channels < 1 || channels > int(kMaxAudioChannels))
            return kAudioFileUnsupportedDataFormatError;
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
        for (int p = 0; p < planes; ++p)
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

OSStatus openReader(const std::string& path, std::unique_ptr<ExtAudioFile>& out)
{
    return ExtAudioFileReader::open(path, out);
}

}  // namespace audiofile
