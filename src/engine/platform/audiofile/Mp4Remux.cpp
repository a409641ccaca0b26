#include "platform/audiofile/Mp4Remux.h"

#include "platform/InterruptedRecording.h"
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/Markers.h"
#include "platform/audiofile/SafeFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace audiofile {
namespace {

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

}  // namespace

std::string rewriteIdentityBox(const std::string& identity)
{
    static const char kUuid[17] = "\x5e\x0b\x6a\x41\x9c\x27\x4d\x1f\xb3\x88\x02\xd4\x7a\x61\xe9\x10";
    std::string body(kUuid, 16);
    body.append("traytape-recording ").append(identity);
    const std::uint32_t size = std::uint32_t(8 + body.size());
    std::string box;
    for (int shift = 24; shift >= 0; shift -= 8)
        box += char((size >> shift) & 0xFF);
    return box + "uuid" + body;
}

// Rewrites a fragmented MPEG-4 file as an ordinary one (one moov with a
// sample table and the priming edit) into a new file that takes the
// destination's place. On failure the fragmented file stays: it plays as it
// is.
//
// The fragments keep neither the priming (the muxer shifted it to zero) nor,
// for the demuxer, the short last packet's duration; both are put back, so
// the final file states its true length. frames < 0: a file cut off by a
// crash, whose length is its packets' and whose last fragment may be
// incomplete (the packets wholly on disk are kept).
OSStatus remuxToOrdinaryMp4(int fragmentedFd, const std::string& destination, int priming, std::int64_t frames,
    bool identify, const AudioMarkers& markers)
{
    const bool salvage = frames < 0;
    struct stat st { };
    if (::fstat(fragmentedFd, &st) != 0)
        return statusFromErrno(errno);
    const std::int64_t fileBytes = st.st_size;
    const std::string identity = identify ? recordingIdentity(fragmentedFd) : std::string();
    FdIoPtr inIo = openFdIo(fragmentedFd, false);
    AVFormatContext* rawIn = avformat_alloc_context();
    if (!inIo || !rawIn) {
        avformat_free_context(rawIn);
        return kAudioFileUnspecifiedError;
    }
    rawIn->pb = inIo.get();
    rawIn->flags |= AVFMT_FLAG_CUSTOM_IO;
    // On failure the demuxer frees the context itself.
    if (int err = avformat_open_input(&rawIn, nullptr, nullptr, nullptr); err < 0)
        return statusFromAv(err);
    ffmpeg::InputFormatPtr in(rawIn);
    if (int err = avformat_find_stream_info(rawIn, nullptr); err < 0)
        return statusFromAv(err);
    if (rawIn->nb_streams != 1)
        return kAudioFileUnspecifiedError;
    AVStream* inStream = rawIn->streams[0];
    if (priming < 0)
        priming = primingOf(*inStream->codecpar);

    std::unique_ptr<SafeFile> file;
    if (OSStatus s = SafeFile::create(destination, true, file))
        return s;
    FdIoPtr outIo = openFdIo(file->fd(), true);
    AVFormatContext* rawOut = nullptr;
    if (!outIo || avformat_alloc_output_context2(&rawOut, nullptr, "ipod", nullptr) < 0)
        return kAudioFileUnspecifiedError;
    ffmpeg::OutputFormatPtr out(rawOut);
    rawOut->pb = outIo.get();
    rawOut->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVStream* outStream = avformat_new_stream(rawOut, nullptr);
    if (!outStream || avcodec_parameters_copy(outStream->codecpar, inStream->codecpar) < 0)
        return kAudioFileUnspecifiedError;
    outStream->codecpar->codec_tag = 0;
    outStream->time_base = inStream->time_base;
    if (!salvage && !addChapters(*rawOut, markers, inStream->codecpar->sample_rate, frames))
        return kAudioFileUnspecifiedError;

    OSStatus status = noErr;
    auto fail = [&](int err) {
        if (status == noErr)
            status = writeFailure(statusFromAv(err));
    };
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
    avio_flush(rawOut->pb);
    if (rawOut->pb->error < 0)
        fail(rawOut->pb->error);
    if (status == noErr && !identity.empty()) {
        struct stat written { };
        const std::string box = rewriteIdentityBox(identity);
        if (::fstat(file->fd(), &written) != 0
            || ::pwrite(file->fd(), box.data(), box.size(), written.st_size) != ssize_t(box.size()))
            status = writeFailure(statusFromErrno(errno));
    }
    if (status == noErr)
        status = file->commit(true);
    return status;  // a file not committed is removed with it
}

}  // namespace audiofile
