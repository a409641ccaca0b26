// The real player: a PlaybackDecoder thread fills a FIFO that a playback
// stream on the sound server connection's threaded main loop drains.
//
// The audible position is the start of the current segment (the last seek
// target) plus what was written to the stream since, less the stream's
// latency (what was written but not yet heard), leaving out the silence
// written while paused. Gain changes, pauses and resumptions are ramped per
// frame in the write call-back so that they do not click; after a seek the
// new audio fades in.
//
// Threads: the owner's thread (the main thread) makes every call, taking the
// loop's lock for each; the write call-back and the refill timer run on the
// loop thread with that lock held. They only copy from the FIFO into
// libpulse's own buffer: no allocation, no locking of ours, no disk. The
// decoder's consumer side is used by both, always under that lock.
#include "platform/pulse/PulseMediaPlayer.h"

#include "platform/PlaybackDecoder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>

namespace {

using namespace std::chrono_literals;

// The stream's target buffer: short, so volume changes and seeks are heard promptly.
constexpr pa_usec_t kBufferUsec = 40 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kRequestUsec = 10 * PA_USEC_PER_MSEC;
// A full-scale gain change takes this long.
constexpr double kRampSeconds = 0.005;
// While the FIFO cannot fill what the stream asks for, it is looked at again this often.
constexpr pa_usec_t kRefillUsec = 5 * PA_USEC_PER_MSEC;
// Silence written after the end of the file (so that its last frames play
// out) or after a pause's fade-out, before the stream is corked, releasing
// the device: well past the stream's buffer, so all that came before is heard.
constexpr double kSilenceBeforeCork = 0.25;
// Pauses and resumptions faster than the stream's buffer plays out that are still kept apart.
constexpr std::size_t kGaps = 8;
constexpr auto kConnectTimeout = 5s;

class PulseMediaPlayer final : public MediaPlayer {
public:
    static std::unique_ptr<MediaPlayer> make(std::shared_ptr<MediaAsset> asset, std::shared_ptr<PulseConnection> connection)
    {
        if (!connection || asset->duration().timescale <= 0)
            return nullptr;
        std::unique_ptr<PulseMediaPlayer> player(new PulseMediaPlayer(std::move(asset), std::move(connection)));
        return player->connect() ? std::move(player) : nullptr;
    }

    ~PulseMediaPlayer() override
    {
        {
            pulse::MainloopLock lock(connection_->loop());
            if (stream_) {
                pa_stream_set_write_callback(stream_.get(), nullptr, nullptr);
                pa_stream_set_underflow_callback(stream_.get(), nullptr, nullptr);
            }
            if (refill_)
                pa_threaded_mainloop_get_api(connection_->loop())->time_free(refill_);
            stream_.reset();
        }
        decoder_.reset();  // joins its thread; the call-backs that read its FIFO are gone
    }

    void play() override
    {
        pulse::MainloopLock lock(connection_->loop());
        settle();
        if (live_.playing || atEnd_ || !streamGood())
            return;
        // Sought to the very end. Right after a seek's flush the stream's
        // latency may still count what was dropped, so the audible frame can
        // lag behind the segment's start; playing resumes there, never earlier.
        if (std::max(audibleFrame(), live_.segmentStart) >= end_) {
            atEnd_ = true;
            return;
        }
        live_.playing = true;
        if (live_.corked) {
            pulse::Operation(pa_stream_cork(stream_.get(), 0, nullptr, nullptr));
            live_.corked = false;
        }
        armRefill();
    }

    void pause() override
    {
        pulse::MainloopLock lock(connection_->loop());
        if (!live_.playing)
            return;
        live_.playing = false;  // the call-back fades out, then feeds silence and corks
    }

    float rate() const override
    {
        pulse::MainloopLock lock(connection_->loop());
        settle();
        return live_.playing ? 1.0f : 0.0f;
    }

    MediaTime currentTime() const override
    {
        pulse::MainloopLock lock(connection_->loop());
        settle();
        return MediaTime{atEnd_ ? end_ : std::clamp(audibleFrame(), live_.segmentStart, heardLimit()), rate_};
    }

    void seekToTime(MediaTime time) override
    {
        std::int64_t frame = 0;
        if (time.timescale > 0)
            frame = time.timescale == rate_ ? time.value
                                            : std::int64_t(std::llround(double(time.value) * rate_ / time.timescale));
        frame = std::clamp<std::int64_t>(frame, 0, end_);
        pulse::MainloopLock lock(connection_->loop());
        decoder_->seek(frame);
        live_.reset(frame);
        live_.gain = 0.0f;  // what was queued is dropped: the new audio fades in
        atEnd_ = false;
        if (streamGood()) {
            pulse::Operation(pa_stream_flush(stream_.get(), nullptr, nullptr));
            if (live_.playing && live_.corked) {  // corked after the end while nobody looked
                pulse::Operation(pa_stream_cork(stream_.get(), 0, nullptr, nullptr));
                live_.corked = false;
            }
            armRefill();
        }
    }

    void setVolume(float volume) override
    {
        pulse::MainloopLock lock(connection_->loop());
        live_.volume = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
    }

    std::uint32_t underruns() const override { return underruns_.load(std::memory_order_relaxed); }

    float volume() const override
    {
        pulse::MainloopLock lock(connection_->loop());
        return live_.volume;
    }

    void setEnvelope(std::optional<Envelope> envelope) override
    {
        pulse::MainloopLock lock(connection_->loop());
        live_.shaped = envelope.has_value();
        if (!envelope)
            return;
        live_.envelope = envelope->fades;
        live_.onlyRange = envelope->onlyRange;
        live_.first = std::clamp<std::int64_t>(envelope->fades.firstFrame(rate_), 0, end_);
        live_.end = std::clamp<std::int64_t>(envelope->fades.endFrame(rate_), live_.first, end_);
    }

private:
    PulseMediaPlayer(std::shared_ptr<MediaAsset> asset, std::shared_ptr<PulseConnection> connection)
        : connection_(std::move(connection)), asset_(std::move(asset))
    {
        rate_ = asset_->duration().timescale;
        end_ = asset_->duration().value;
    }

    // Owner's thread, before any call-back exists.
    bool connect()
    {
        pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, std::uint32_t(rate_), 0};
        {
            ExtAudioFileRef probe;
            AudioStreamBasicDescription format;
            std::uint32_t size = sizeof format;
            if (ExtAudioFile::open(asset_->path(), probe) != noErr
                || probe->getProperty(kExtAudioFileProperty_FileDataFormat, &size, &format) != noErr)
                return false;
            sampleSpec.channels = std::uint8_t(std::min<std::uint32_t>(format.mChannelsPerFrame, PA_CHANNELS_MAX));
        }
        if (!pa_sample_spec_valid(&sampleSpec))
            return false;
        frameBytes_ = pa_frame_size(&sampleSpec);
        rampStep_ = float(1.0 / (kRampSeconds * rate_));
        decoder_ = PlaybackDecoder::open(asset_->path(), rate_, sampleSpec.channels);
        if (!decoder_)
            return false;

        pa_channel_map map;
        if (!pa_channel_map_init_auto(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT))
            pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
        pulse::MainloopLock lock(connection_->loop());
        // Both exist before the stream connects: its first request for data
        // comes while connecting, and is answered with silence already.
        refill_ = pa_context_rttime_new(connection_->context(), PA_USEC_INVALID, &PulseMediaPlayer::onRefill, this);
        stream_.reset(pa_stream_new(connection_->context(), "TrayTape playback", &sampleSpec, &map));
        if (!stream_ || !refill_)
            return false;
        pa_stream* stream = stream_.get();
        pa_stream_set_state_callback(
            stream,
            [](pa_stream*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
            connection_->loop());
        pa_stream_set_write_callback(stream, &PulseMediaPlayer::onWrite, this);
        pa_stream_set_underflow_callback(
            stream,
            [](pa_stream*, void* u) {
                static_cast<PulseMediaPlayer*>(u)->underruns_.fetch_add(1, std::memory_order_relaxed);
            },
            this);
        pa_buffer_attr attr;
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = std::uint32_t(pa_usec_to_bytes(kBufferUsec, &sampleSpec));
        attr.minreq = std::uint32_t(pa_usec_to_bytes(kRequestUsec, &sampleSpec));
        attr.prebuf = std::uint32_t(-1);
        attr.fragsize = std::uint32_t(-1);
        const auto flags = pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING
            | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
            return false;
        // A failure leaves the clean-up to the destructor.
        return waitUntilConnected(stream) && pa_stream_get_state(stream) == PA_STREAM_READY;
    }

    // Lock held.
    bool waitUntilConnected(pa_stream* stream) const
    {
        struct Alarm {
            pa_threaded_mainloop* loop;
            bool rang = false;
        } alarm{connection_->loop()};
        const pa_usec_t timeout = pa_usec_t(std::chrono::microseconds(kConnectTimeout).count());
        pa_time_event* event = pa_context_rttime_new(
            connection_->context(), pa_rtclock_now() + timeout,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* a) {
                auto* alarm = static_cast<Alarm*>(a);
                alarm->rang = true;
                pa_threaded_mainloop_signal(alarm->loop, 0);
            },
            &alarm);
        while (event && !alarm.rang && pa_stream_get_state(stream) == PA_STREAM_CREATING)
            pa_threaded_mainloop_wait(connection_->loop());
        if (event)
            pa_threaded_mainloop_get_api(connection_->loop())->time_free(event);
        return pa_stream_get_state(stream) != PA_STREAM_CREATING;
    }

    // Lock held.
    bool streamGood() const { return stream_ && pa_stream_get_state(stream_.get()) == PA_STREAM_READY; }

    void armRefill() const { pa_context_rttime_restart(connection_->context(), refill_, pa_rtclock_now()); }

    // Lock held: the file frame heard now, unclamped; the segment start while
    // the stream's clock is unknown (right after a seek's flush).
    std::int64_t audibleFrame() const
    {
        pa_usec_t latency = 0;
        int negative = 0;
        if (!streamGood() || pa_stream_get_latency(stream_.get(), &latency, &negative) < 0)
            return live_.segmentStart;
        const std::int64_t queued = negative ? 0 : std::int64_t(double(latency) * rate_ / PA_USEC_PER_SEC);
        return live_.segmentStart + live_.fileFramesBefore(live_.written + live_.silence - queued);
    }
    std::int64_t heardLimit() const { return std::min(end_, live_.segmentStart + live_.written); }

    // Lock held: the transitions the call-backs cannot see: the end of the
    // file once it has been heard, and a stream the server dropped.
    void settle() const
    {
        if (!streamGood())
            live_.playing = false;
        else if (live_.playing && decoder_->ready() && decoder_->finished() && audibleFrame() >= heardLimit()) {
            live_.playing = false;
            atEnd_ = true;
        }
    }

    // Loop thread, lock held.
    static void onWrite(pa_stream*, std::size_t bytes, void* self)
    {
        static_cast<PulseMediaPlayer*>(self)->fill(bytes);
    }
    static void onRefill(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self)
    {
        auto* player = static_cast<PulseMediaPlayer*>(self);
        const std::size_t writable = pa_stream_writable_size(player->stream_.get());
        player->fill(writable == std::size_t(-1) ? 0 : writable);
    }

    // Loop thread, lock held: copy what the stream asks for, as far as the
    // FIFO has it. Once paused (faded out) or past the end, silence keeps the
    // stream fed: a starved stream would be restarted by the server with a
    // rewind that can swallow the start of the next fade-in.
    void fill(std::size_t bytes)
    {
        pa_stream* stream = stream_.get();
        if (!stream || bytes < frameBytes_ || !decoder_->ready())
            return settleRefill(bytes >= frameBytes_);
        Live& live = live_;
        std::size_t wanted = bytes / frameBytes_;
        while (wanted > 0 && (live.playing || live.gain > 0.0f)) {
            const std::size_t available = std::min(wanted, decoder_->availableFrames());
            if (available == 0)
                break;
            void* out = nullptr;
            std::size_t room = available * frameBytes_;
            if (pa_stream_begin_write(stream, &out, &room) < 0 || !out || room < frameBytes_)
                return;
            const std::size_t frames = copyWithGain(static_cast<float*>(out), std::min(available, room / frameBytes_));
            pa_stream_write(stream, out, frames * frameBytes_, nullptr, 0, PA_SEEK_RELATIVE);
            decoder_->consume(frames);
            live.written += std::int64_t(frames);
            live.inSilence = false;
            wanted -= frames;
        }
        const bool paused = !live.playing && live.gain <= 0.0f;
        if (wanted > 0 && (paused || decoder_->finished())) {
            const auto most = std::int64_t(kSilenceBeforeCork * rate_);
            const std::int64_t current = live.inSilence ? live.gaps[(live.gapCount - 1) % kGaps].length : 0;
            std::size_t frames = std::size_t(std::clamp<std::int64_t>(most - current, 0, std::int64_t(wanted)));
            void* out = nullptr;
            std::size_t room = frames * frameBytes_;
            if (frames == 0 || pa_stream_begin_write(stream, &out, &room) < 0 || !out)
                frames = 0;
            else {
                frames = std::min(frames, room / frameBytes_);
                std::fill_n(static_cast<float*>(out), frames * std::size_t(decoder_->channels()), 0.0f);
                pa_stream_write(stream, out, frames * frameBytes_, nullptr, 0, PA_SEEK_RELATIVE);
                live.addSilence(std::int64_t(frames));
            }
            if (!live.corked && current + std::int64_t(frames) >= most) {
                // Nobody may be asking the player anything now (a paused
                // window stops polling), so the stream is corked from here.
                pulse::Operation(pa_stream_cork(stream, 1, nullptr, nullptr));
                live.corked = true;
            }
            return;
        }
        settleRefill(wanted > 0);
    }

    // Loop thread: the stream wants more than the FIFO had; look again soon
    // (the stream asks only once for each stretch it misses).
    void settleRefill(bool starved) const
    {
        if (starved && refill_)
            pa_context_rttime_restart(connection_->context(), refill_, pa_rtclock_now() + kRefillUsec);
    }

    // Loop thread: up to `frames` frames from the FIFO into out, each scaled by
    // the gain as it ramps towards its target; stops after the frame where a
    // pause's fade-out reaches silence. Returns the frames written.
    std::size_t copyWithGain(float* out, std::size_t frames)
    {
        Live& live = live_;
        const int channels = decoder_->channels();
        const float target = live.playing ? live.volume : 0.0f;
        const SpscFifo::Region region = decoder_->peek(frames);
        std::size_t done = 0;
        for (; done < frames; ++done) {
            const std::int64_t frame = live.segmentStart + live.written + std::int64_t(done);
            // The range begins as the export does, without the player's own
            // ramp (its fade-in, if any, is the envelope's).
            if (live.shaped && frame == live.first)
                live.gain = target;
            if (live.gain < target)
                live.gain = std::min(target, live.gain + rampStep_);
            else if (live.gain > target)
                live.gain = std::max(target, live.gain - rampStep_);
            const float shape = live.shaped ? live.shapeOf(frame, double(rate_)) : 1.0f;
            for (int c = 0; c < channels; ++c) {
                const std::size_t i = done * std::size_t(channels) + std::size_t(c);
                const float sample = i < region.firstCount ? region.first[i] : region.second[i - region.firstCount];
                out[i] = sample * live.gain * shape;
            }
            if (!live.playing && live.gain <= 0.0f)
                return done + 1;
        }
        return done;
    }

    std::shared_ptr<PulseConnection> connection_;  // first: outlives the stream and its timer
    std::shared_ptr<MediaAsset> asset_;
    std::int32_t rate_ = 0;
    std::int64_t end_ = 0;
    std::size_t frameBytes_ = 0;
    float rampStep_ = 0.0f;
    std::unique_ptr<PlaybackDecoder> decoder_;
    pulse::Stream stream_;
    pa_time_event* refill_ = nullptr;  // owned by the loop; freed in the destructor

    // Under the loop's lock: set by the owner, read (gain, written, padding:
    // also written) by the call-backs.
    struct Live {
        bool playing = false;
        float volume = 1.0f;
        float gain = 0.0f;              // applied now, ramping towards volume (or 0 when paused)
        std::int64_t segmentStart = 0;  // file frame of the last seek
        std::int64_t written = 0;       // file frames written since
        // The stretches of silence written since the seek (after pauses and
        // after the end), newest last, in stream frames since the seek. Only the
        // last few can still lie ahead of what is heard; older ones are summed.
        struct Gap {
            std::int64_t start = 0;
            std::int64_t length = 0;
        };
        Gap gaps[kGaps];
        std::size_t gapCount = 0;
        std::int64_t silence = 0;         // in every gap
        std::int64_t retiredSilence = 0;  // in gaps no longer kept
        bool inSilence = false;           // the last frames written were silence
        bool corked = true;               // made corked; corked again after a stretch of silence
        // The envelope, its range in file frames [first, end) clamped to the file.
        bool shaped = false;
        bool onlyRange = false;
        FadeEnvelope envelope;
        std::int64_t first = 0;
        std::int64_t end = 0;

        float shapeOf(std::int64_t frame, double rate) const
        {
            if (frame < first || frame >= end)
                return onlyRange ? 0.0f : 1.0f;
            return envelope.fades() ? envelope.gainOfFrame(frame - first, end - first, rate) : 1.0f;
        }

        void addSilence(std::int64_t frames)
        {
            if (!inSilence) {
                if (gapCount >= kGaps)
                    retiredSilence += gaps[gapCount % kGaps].length;
                gaps[gapCount % kGaps] = Gap{written + silence, 0};
                ++gapCount;
                inSilence = true;
            }
            gaps[(gapCount - 1) % kGaps].length += frames;
            silence += frames;
        }
        // File frames before stream frame `at`.
        std::int64_t fileFramesBefore(std::int64_t at) const
        {
            std::int64_t file = at - retiredSilence;
            for (std::size_t i = gapCount > kGaps ? gapCount - kGaps : 0; i < gapCount; ++i)
                file -= std::clamp<std::int64_t>(at - gaps[i % kGaps].start, 0, gaps[i % kGaps].length);
            return file;
        }
        void reset(std::int64_t start)
        {
            segmentStart = start;
            written = silence = retiredSilence = 0;
            gapCount = 0;
            inSilence = false;
        }
    };
    mutable Live live_;
    // Owner, under the lock.
    mutable bool atEnd_ = false;
    std::atomic<std::uint32_t> underruns_{0};
};

}  // namespace

std::unique_ptr<MediaPlayer> makePulseMediaPlayer(
    std::shared_ptr<MediaAsset> asset, std::shared_ptr<PulseConnection> connection)
{
    return asset ? PulseMediaPlayer::make(std::move(asset), std::move(connection)) : nullptr;
}
