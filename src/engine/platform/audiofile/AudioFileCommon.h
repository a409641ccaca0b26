// What the writer, the reader and the sinks of an audio file share: statuses
// from errno and FFmpeg, the client formats, the resampler and its buffers.
// Any thread; nothing here keeps state between calls.
#pragma once

#include "platform/ExtAudioFile.h"
#include "platform/FFmpegUtil.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace audiofile {

OSStatus statusFromErrno(int err);
OSStatus statusFromAv(int err);
// A writer failure is always reported as the disk failing, whatever errno
// said, because that is what the user can act on.
OSStatus writeFailure(OSStatus s);
// Ends a muxer's file: its trailer, then everything its I/O still holds, in
// the file; the failure of either, as a write failure.
OSStatus writeTrailer(AVFormatContext* fmt);
// One encoded packet (timed in `from`) into the muxer's stream, unreferenced
// after; a failure to write it, as a write failure.
OSStatus writeMuxed(AVFormatContext* fmt, AVStream* stream, AVRational from, AVPacket* packet);
// Writes all `size` bytes at the descriptor's position, through short writes
// and interruptions; `written` counts what reached the file even on failure.
OSStatus writeAll(int fd, const std::uint8_t* p, std::size_t size, std::uint64_t& written);

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

bool usableRate(double rate);
bool clientLayoutFor(const AudioStreamBasicDescription& f, ClientLayout& out);
AudioStreamBasicDescription floatPlanarFormat(double rate, std::uint32_t channels);
void completePcm(AudioStreamBasicDescription& f);
// The frames a buffer list can carry for this layout (limited by the smallest
// buffer), or -1 when the list lacks the buffers the layout needs.
std::int64_t framesRoom(const AudioBufferList& list, const ClientLayout& l, int channelsNeeded);

// A converter from one layout and rate to another. Output channel c takes
// input channel c, or the last input channel when the input has fewer.
ffmpeg::SwrContextPtr makeResampler(
    int inChannels, AVSampleFormat inFormat, int inRate, int outChannels, AVSampleFormat outFormat, int outRate);

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

// The properties every open file answers, writer and reader alike.
OSStatus answerProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData,
    const AudioStreamBasicDescription& fileFormat, const AudioStreamBasicDescription& clientFormat,
    std::int64_t lengthFrames);

// fdatasync, behind a pointer that tests replace to count the calls.
extern std::atomic<int (*)(int)> dataSync;

// Keeps FFmpeg's informational lines off the terminal.
void quietFFmpegLog();

// Makes a rename in the file's folder durable.
void syncFolderOf(const std::string& path);

}  // namespace audiofile
