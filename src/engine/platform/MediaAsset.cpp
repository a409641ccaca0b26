// A media asset on FFmpeg: what a file holds (its audio streams) and its
// length in frames, with the file's sample rate as the timescale.
//
// The length is the one the reader (ExtAudioFile) delivers, so the player,
// which plays through that reader, ends exactly at duration(). A file that
// states no length is measured from its packets, without decoding them; so
// is an MPEG-4 file in fragments (a recording cut off by a crash), whose
// fragment headers may list a last packet that never reached the disk.
#include "platform/MediaPlayer.h"

#include "platform/ExtAudioFile.h"
#include "platform/FFmpegUtil.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace {

class FileAsset final : public MediaAsset {
public:
    FileAsset(std::string path, MediaTime duration, int audioTracks)
        : MediaAsset(std::move(path), duration, audioTracks)
    { }
};

// An MPEG-4 file written in fragments: movie fragments ('moof') after a movie
// header that holds no samples. FFmpeg flags such a file's demuxer context
// with no public field, so the top-level boxes are walked here.
bool isFragmentedMp4(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bool fragmented = false;
    unsigned char head[16];
    long long at = 0;
    for (int boxes = 0; boxes < 64 && std::fseek(f, long(at), SEEK_SET) == 0; ++boxes) {
        if (std::fread(head, 1, 8, f) != 8)
            break;
        std::uint64_t size = (std::uint64_t(head[0]) << 24) | (std::uint64_t(head[1]) << 16)
            | (std::uint64_t(head[2]) << 8) | std::uint64_t(head[3]);
        if (std::memcmp(head + 4, "moof", 4) == 0 || std::memcmp(head + 4, "mfra", 4) == 0) {
            fragmented = true;
            break;
        }
        if (size == 1) {  // a 64-bit size follows the type
            if (std::fread(head + 8, 1, 8, f) != 8)
                break;
            size = 0;
            for (int i = 8; i < 16; ++i)
                size = (size << 8) | head[i];
        }
        if (size < 8)  // 0: the box runs to the end of the file
            break;
        at += (long long)size;
    }
    std::fclose(f);
    return fragmented;
}

// The end of the last whole packet, in frames from the stream's start: what
// the reader delivers. A packet cut short by the end of the file is flagged
// corrupt by the demuxer and does not count.
std::int64_t measureFromPackets(AVFormatContext* fmt, int streamIndex, int rate)
{
    AVStream* stream = fmt->streams[streamIndex];
    const AVRational perFrame{1, rate};
    const int frameSize = stream->codecpar->frame_size;
    std::int64_t origin = stream->start_time;
    std::int64_t end = AV_NOPTS_VALUE;
    ffmpeg::PacketPtr packet = ffmpeg::makePacket();
    if (!packet)
        return 0;
    while (av_read_frame(fmt, packet.get()) >= 0) {
        if (packet->stream_index == streamIndex && !(packet->flags & AV_PKT_FLAG_CORRUPT)) {
            const std::int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (ts != AV_NOPTS_VALUE) {
                // The demuxer may not know the last packet's duration: a
                // compressed packet decodes to one codec frame.
                const std::int64_t duration = packet->duration > 0
                    ? packet->duration
                    : av_rescale_q(std::max(frameSize, 0), perFrame, stream->time_base);
                if (origin == AV_NOPTS_VALUE)
                    origin = ts;
                if (end == AV_NOPTS_VALUE || ts + duration > end)
                    end = ts + duration;
            }
        }
        av_packet_unref(packet.get());
    }
    if (end == AV_NOPTS_VALUE || origin == AV_NOPTS_VALUE || end <= origin)
        return 0;
    return av_rescale_q(end - origin, stream->time_base, perFrame);
}

}  // namespace

std::shared_ptr<MediaAsset> MediaAsset::assetWithPath(const std::string& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return nullptr;

    // The reader first: it also quietens FFmpeg's log for what follows.
    ExtAudioFileRef reader;
    const bool decodable = ExtAudioFile::open(path, reader) == noErr;

    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return nullptr;
    ffmpeg::InputFormatPtr fmt(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0)
        return nullptr;
    int tracks = 0;
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        tracks += raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? 1 : 0;
    // Audio that cannot be decoded is nothing to play: honestly no audio track.
    if (!decodable || tracks == 0)
        return std::make_shared<FileAsset>(path, MediaTime{}, 0);

    AudioStreamBasicDescription format;
    std::uint32_t size = sizeof format;
    std::int64_t frames = 0;
    if (reader->getProperty(kExtAudioFileProperty_FileDataFormat, &size, &format) != noErr || format.mSampleRate < 1
        || format.mSampleRate > INT32_MAX)
        return std::make_shared<FileAsset>(path, MediaTime{}, 0);
    size = sizeof frames;
    reader->getProperty(kExtAudioFileProperty_FileLengthFrames, &size, &frames);
    reader.reset();

    const int rate = int(format.mSampleRate);
    const bool mp4 = std::strstr(raw->iformat->name, "mp4") != nullptr;
    if (frames <= 0 || (mp4 && isFragmentedMp4(path))) {
        const int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        frames = index >= 0 ? measureFromPackets(raw, index, rate) : 0;
    }
    return std::make_shared<FileAsset>(path, MediaTime{std::max<std::int64_t>(frames, 0), rate}, tracks);
}
