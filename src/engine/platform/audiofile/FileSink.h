// The end of a writer's conversion: a file of one type.
#pragma once

#include "platform/FFmpegUtil.h"
#include "platform/CoreAudioTypes.h"
#include "platform/ExtAudioFile.h"

namespace audiofile {

// Where converted samples end up. Writer thread (or the owner during a
// synchronous write or dispose), always under the writer's mutex.
class FileSink {
public:
    virtual ~FileSink() = default;
    virtual AVSampleFormat sampleFormat() const = 0;
    virtual OSStatus writeSamples(const std::uint8_t* const* data, int frames) = 0;
    // Makes what was written so far readable by whoever opens the file now
    // (a header update, a fragment), when anything is new since the last.
    // The sink makes one itself after checkpointSeconds() of audio; the
    // writer asks for one when that much time passed without.
    virtual OSStatus checkpoint() = 0;
    virtual double checkpointSeconds() const = 0;
    // Checkpoints made so far.
    virtual std::uint64_t checkpoints() const = 0;
    // Flushes and completes the file. After a failure, completes only what
    // can be without writing more audio.
    virtual OSStatus finish(bool failed) = 0;
    // The markers finish() puts in the file, in its frames; a format with
    // no place of its own for them ignores them.
    virtual void setMarkers(const AudioMarkers&) { }
};

// What the sinks that encode through FFmpeg share. Their encoders take whole
// frames of their own size, so samples wait in a queue until one is full; at
// a stop the rest goes in as a short last frame and the encoder is drained.
// Each sink writes the packets its own way.
class EncoderSink : public FileSink {
public:
    AVSampleFormat sampleFormat() const override { return enc_->sample_fmt; }
    OSStatus writeSamples(const std::uint8_t* const* data, int frames) override;

protected:
    // enc_, for codec at f's rate and channels in `format`, not yet open;
    // false when there is no memory for it.
    bool makeEncoder(const AVCodec* codec, AVSampleFormat format, const AudioStreamBasicDescription& f);
    // The queue, frame and packet for enc_, once it is open; false when
    // there is no memory for them.
    bool prepareEncoding();
    // The queued rest as a last frame, then everything the encoder holds.
    OSStatus encodeRest();
    // One packet the encoder gave back; the sink unreferences it.
    virtual OSStatus writePacket(AVPacket* packet) = 0;

    ffmpeg::CodecContextPtr enc_;
    // Frames handed to the encoder so far: the next frame's timestamp.
    std::int64_t nextPts_ = 0;

private:
    OSStatus encode(int frames);
    // Sends frame (null: the end) and writes each packet it gives back,
    // until the encoder wants more.
    OSStatus drain(const AVFrame* frame);

    ffmpeg::AudioFifoPtr fifo_;
    ffmpeg::FramePtr frame_;
    ffmpeg::PacketPtr packet_;
};

}  // namespace audiofile
