// A capture unit on the sound server: a record stream in float32 on the
// shared connection's loop, whose thread is the audio thread. See
// PulseCaptureUnit.h.
#include "platform/pulse/PulseCaptureUnit.h"

#include "platform/DriftMixer.h"
#include "platform/PropertyData.h"
#include "platform/pulse/PulseApplicationFollower.h"
#include "platform/pulse/PulseDefaultSourceFollower.h"
#include "platform/pulse/PulseOutputFollower.h"

#include <algorithm>
#include <atomic>
#include <vector>

using pulse::DeviceInfo;
using pulse::kQueryTimeout;
using pulse::signalLoop;

namespace {

// A fragment of about this much audio per read: the meter, read 30 times a
// second, sees a fresh level 25 times a second, while the server and this
// process wake half as often as with 20 ms fragments.
constexpr pa_usec_t kFragmentUsec = 40 * PA_USEC_PER_MSEC;
// The computer's sound mixed into an input comes in blocks of about this
// much: the mixer holds the input back by a few (see DriftMixer.cpp); with
// 40 ms blocks it placed the two sources 20 to 30 ms apart. No shorter: asked for
// a shorter latency, PipeWire runs the whole output's graph at that period,
// and on a busy machine it misses cycles whose sound its monitor never
// sends (10 ms lost 200 to 1100 ppm of the frames under two busy cores,
// 20 ms none), while the user's own playback runs that tight too.
constexpr pa_usec_t kSystemFragmentUsec = 20 * PA_USEC_PER_MSEC;
// Recorded alone, a monitor that has sent nothing at all for this long (its
// stream moved from output to output faster than the server starts feeding
// it) is given the silence of that time, looked for this often: the
// recording goes on. Should the server send that time after all, it is
// heard late. Only such a stall is filled: a file that misses a moment of a
// move only ends that much sooner, while silence cut into it would be
// heard. Mixed, nothing is filled here: a sound card's clock differs from
// the system's by up to a thousandth, and the mixer follows it; a monitor
// that went quiet runs the mixer's reserve dry, and the mixer takes it up
// again where it resumes.
constexpr double kStallSeconds = 1.0;
constexpr pa_usec_t kStallCheckUsec = 100 * PA_USEC_PER_MSEC;
// At most this much silence for one stall: more means the loop thread
// itself was held up (or the machine slept), and minutes of silence in one
// call-back would hold it up again for nothing.
constexpr double kMostStallFillSeconds = 2.0;
// An application's streams heard at once; more are left out until some end.
// Each takes a ring of the mixer's (4.5 s).
constexpr std::size_t kMostApplicationStreams = 8;
// An application recorded alone is timed by the system's clock: silence is
// handed to the mixer this often, as a device would hand its frames, and the
// application's streams are placed in it as the computer's sound is placed
// in an input. A stream's first block may come a good while after it was
// asked for (PulseAudio sent one 0.3 s late, then every 20 ms); the mixer's
// delay holds the silence until it comes, so none of it is lost or late.
constexpr pa_usec_t kClockUsec = 20 * PA_USEC_PER_MSEC;
// How long the start waits for an application's first block (see startApplicationAlone()).
constexpr std::chrono::milliseconds kFirstBlockTimeout{1500};

// Loop thread: when the stream last sent anything, and the silence owed
// when that was too long ago.
struct StallFiller {
    double rate = 0;
    double heard = 0;  // when a block (or the silence for a stall) last came

    void reset(double rate_, double now)
    {
        rate = rate_;
        heard = now;
    }
    void arrived(double now) { heard = now; }
    // Frames missing at `now` where nothing came for more than `stall` seconds.
    std::size_t stalled(double now, double stall)
    {
        if (now - heard <= stall)
            return 0;
        const auto fill = std::size_t(std::min(now - heard, kMostStallFillSeconds) * rate);
        heard = now;
        return fill;
    }
};

double seconds(pa_usec_t usec)
{
    return double(usec) / double(PA_USEC_PER_SEC);
}

// A capture unit: a record stream on the connection's loop, made in start()
// and ended in stop(). The owner (the capture device) calls everything but
// render() from the main thread; the read call-back and render() run on the
// loop thread with the loop's lock held, which is why stop() holding that
// lock is enough to keep any call-back from running after it.
//
// The computer's sound is what the user hears: asked for instead of a device
// (CaptureSystemAudio) or mixed into an input, it is read straight from the
// default output's monitor by a stream of this unit's own, which a follower
// keeps on the default output as that changes or goes. A source over one
// output's monitor (the loopback driver's) would die with that output, taking
// the recording with it. With no output left, a system-audio capture ends as
// a vanished source does; a mixed input goes on alone. While a move is
// under way the monitor sends nothing: recorded alone, a long stall is
// filled with silence (StallFiller), so the recording goes on; mixed, the
// mixer takes the monitor up again once it sends.
//
// Told to follow the default input, the unit records from whatever source is
// the server's default, taking over the streams its default follower opens
// on each new default (see PulseDefaultSourceFollower.h).
class PulseCaptureUnit final : public AudioUnit, private pulse::DefaultSourceCapture {
public:
    explicit PulseCaptureUnit(std::shared_ptr<PulseConnection> connection)
        : connection_(std::move(connection)),
          follower_(*connection_),
          systemFollower_(*connection_),
          defaultFollower_(*connection_, *this),
          applicationFollower_(*connection_)
    { }

    ~PulseCaptureUnit() override { stop(); }

    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, const void* data,
        std::uint32_t size) override
    {
        switch (id) {
        case kAudioOutputUnitProperty_EnableIO: {
            const bool input = scope == kAudioUnitScope_Input && element == 1;
            const bool output = scope == kAudioUnitScope_Output && element == 0;
            std::uint32_t on = 0;
            if (!input && !output)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = readPropertyValue(data, size, on))
                return s;
            if (initialized_)
                return kAudioUnitErr_CannotDoInCurrentContext;
            // This unit only captures: output cannot be turned on.
            if (output && on != 0)
                return kAudioUnitErr_InvalidParameter;
            if (input)
                inputEnabled_ = on != 0;
            return noErr;
        }
        case kAudioOutputUnitProperty_CurrentDevice: {
            AudioObjectID device = 0;
            if (scope != kAudioUnitScope_Global)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = readPropertyValue(data, size, device))
                return s;
            if (initialized_)
                return kAudioUnitErr_CannotDoInCurrentContext;
            const auto info = connection_->device(device);
            if (!info)
                return kAudioHardwareBadObjectError;
            if (!info->source)
                return kAudioUnitErr_InvalidParameter;  // a sink has no input
            device_ = device;
            source_ = *info;
            return noErr;
        }
        case kAudioOutputUnitProperty_SetInputCallback: {
            AURenderCallbackStruct callback;
            if (scope != kAudioUnitScope_Global)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = readPropertyValue(data, size, callback))
                return s;
            if (started_)
                return kAudioUnitErr_CannotDoInCurrentContext;
            callback_ = callback;
            return noErr;
        }
        case kAudioUnitProperty_StreamFormat: {
            AudioStreamBasicDescription f;
            if (scope != kAudioUnitScope_Output || element != 1)
                return kAudioUnitErr_InvalidProperty;
            if (OSStatus s = readPropertyValue(data, size, f))
                return s;
            if (initialized_)
                return kAudioUnitErr_CannotDoInCurrentContext;
            const std::uint32_t least = device_ ? source_.sampleSpec.channels : 1;
            const bool floatNonInterleaved = f.mFormatID == kAudioFormatLinearPCM
                && (f.mFormatFlags & kAudioFormatFlagIsFloat) && (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved)
                && !(f.mFormatFlags & kAudioFormatFlagIsBigEndian) && f.mBitsPerChannel == 32 && f.mBytesPerFrame == 4
                && f.mFramesPerPacket == 1 && f.mBytesPerPacket == 4;
            // Any rate will do: the server resamples to it.
            if (!floatNonInterleaved || f.mChannelsPerFrame < least
                || f.mChannelsPerFrame > std::min<std::uint32_t>(PA_CHANNELS_MAX, kMaxAudioChannels)
                || !(f.mSampleRate >= 1 && f.mSampleRate <= PA_RATE_MAX))
                return kAudioFormatUnsupportedDataFormatError;
            outputFormat_ = f;
            return noErr;
        }
        case kAudioOutputUnitProperty_MixSystemAudio:
            return setSwitch(data, size, mixSystemAudio_);
        case kAudioOutputUnitProperty_CaptureSystemAudio:
            return setSwitch(data, size, systemAudio_);
        case kAudioOutputUnitProperty_FollowsDefaultInput:
            return setSwitch(data, size, followsDefault_);
        case kAudioOutputUnitProperty_SeparateSources:
            return setSwitch(data, size, separate_);
        case kAudioOutputUnitProperty_CaptureApplication:
            if (data == nullptr || size != sizeof(std::string))
                return kAudioHardwareBadPropertySizeError;
            if (initialized_)
                return kAudioUnitErr_CannotDoInCurrentContext;
            application_ = *static_cast<const std::string*>(data);
            return noErr;
        case kAudioUnitProperty_MaximumFramesPerSlice: {
            std::uint32_t frames = 0;
            if (OSStatus s = readPropertyValue(data, size, frames))
                return s;
            if (frames == 0)
                return kAudioUnitErr_InvalidParameter;
            if (initialized_)
                return kAudioUnitErr_CannotDoInCurrentContext;
            maximumFrames_ = frames;
            return noErr;
        }
        default:
            return kAudioUnitErr_InvalidProperty;
        }
    }

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* data,
        std::uint32_t* ioSize) override
    {
        if (ioSize == nullptr || data == nullptr)
            return kAudioUnitErr_InvalidParameter;
        switch (id) {
        case kAudioOutputUnitProperty_EnableIO:
            if (scope == kAudioUnitScope_Input && element == 1)
                return writePropertyValue(std::uint32_t(inputEnabled_), ioSize, data);
            if (scope == kAudioUnitScope_Output && element == 0)
                return writePropertyValue(std::uint32_t(0), ioSize, data);
            return kAudioUnitErr_InvalidProperty;
        case kAudioOutputUnitProperty_CurrentDevice:
            return writePropertyValue(device_, ioSize, data);
        case kAudioUnitProperty_StreamFormat: {
            if (element != 1 || (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output))
                return kAudioUnitErr_InvalidProperty;
            if (scope == kAudioUnitScope_Output && outputFormat_.mFormatID != 0)
                return writePropertyValue(outputFormat_, ioSize, data);
            // The device may have changed its format since it was chosen.
            if (OSStatus s = refreshSource())
                return s;
            return writePropertyValue(
                pulse::floatFormat(source_.sampleSpec.rate, source_.sampleSpec.channels, scope == kAudioUnitScope_Output),
                ioSize, data);
        }
        case kAudioUnitProperty_MaximumFramesPerSlice:
            return writePropertyValue(maximumFrames_, ioSize, data);
        case kAudioOutputUnitProperty_IsRunning:
            return writePropertyValue(
                std::uint32_t(running_.load(std::memory_order_acquire) && !follower_.lost()), ioSize, data);
        case kAudioOutputUnitProperty_MixSystemAudio:
            return writePropertyValue(std::uint32_t(mixSystemAudio_), ioSize, data);
        case kAudioOutputUnitProperty_CaptureSystemAudio:
            return writePropertyValue(std::uint32_t(systemAudio_), ioSize, data);
        case kAudioOutputUnitProperty_SeparateSources:
            return writePropertyValue(std::uint32_t(started_ && live_.parts != nullptr), ioSize, data);
        case kAudioOutputUnitProperty_SourceLevels:
            // Two parts only where something is mixed into an input.
            if (!systemStream_ && !(started_ && !application_.empty() && !applicationAlone()))
                return kAudioUnitErr_CannotDoInCurrentContext;
            return writePropertyValue(AudioSourceLevels{mixer_.inputPeak(), mixer_.otherPeak(), mixer_.alignments()}, ioSize, data);
        default:
            return kAudioUnitErr_InvalidProperty;
        }
    }

    // The chosen source as the server describes it now; for the computer's
    // sound, the default output, whose monitor has its format.
    OSStatus refreshSource()
    {
        const AudioObjectID device
            = systemAudio_ || applicationAlone() ? connection_->defaultDevice(true).value_or(0) : device_;
        const auto info = device ? connection_->device(device) : std::nullopt;
        if (!info)
            return kAudioUnitErr_NoConnection;
        source_ = *info;
        return noErr;
    }

    OSStatus initialize() override
    {
        if (OSStatus s = refreshSource())
            return s;
        if (outputFormat_.mFormatID == 0)
            outputFormat_ = pulse::floatFormat(source_.sampleSpec.rate, source_.sampleSpec.channels, true);
        initialized_ = true;
        return noErr;
    }

    OSStatus uninitialize() override
    {
        stop();
        initialized_ = false;
        return noErr;
    }

    OSStatus start() override
    {
        if (!initialized_)
            return kAudioUnitErr_Uninitialized;
        if (started_)
            return noErr;
        if (pa_threaded_mainloop_in_thread(connection_->loop()))
            return kAudioUnitErr_CannotDoInCurrentContext;
        pulse::MainloopLock lock(connection_->loop());
        if (applicationAlone())
            return startApplicationAlone();

        // A mono source is taken as it is and copied into every buffer by
        // render(): the server's own mono-to-stereo remix lowers it by 3 dB,
        // which would misstate the level. Wider sources keep their layout.
        const std::uint32_t wanted = outputFormat_.mChannelsPerFrame;
        const bool systemAudio = systemAudio_;
        const bool mixApplication = !application_.empty() && !systemAudio;
        const bool mix = (mixSystemAudio_ || mixApplication) && !systemAudio;
        const bool mono = source_.sampleSpec.channels == 1;
        const auto monitor
            = systemAudio || (mix && !mixApplication) ? pulse::defaultMonitor(*connection_) : std::nullopt;
        if (systemAudio && !monitor)
            return kAudioUnitErr_NoConnection;  // no output to hear
        pa_sample_spec sampleSpec{
            PA_SAMPLE_FLOAT32NE, std::uint32_t(outputFormat_.mSampleRate), std::uint8_t(mono ? 1 : wanted)};
        pa_channel_map map;
        if (mono)
            pa_channel_map_init_mono(&map);
        else if (sampleSpec.channels == source_.sampleSpec.channels && pa_channel_map_valid(&source_.map))
            map = source_.map;
        else
            pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
        if (!pa_sample_spec_valid(&sampleSpec))
            return kAudioFormatUnsupportedDataFormatError;

        pulse::Stream stream(pa_stream_new(connection_->context(), "TrayTape capture", &sampleSpec, &map));
        if (!stream)
            return kAudioUnitErr_NoConnection;
        live_ = {};
        live_.callback = callback_;
        live_.channels = sampleSpec.channels;
        live_.outputChannels = wanted;
        live_.maximumFrames = maximumFrames_;
        live_.fragmentFrames = std::uint32_t(pa_usec_to_bytes(kFragmentUsec, &sampleSpec) / pa_frame_size(&sampleSpec));
        // Mixed, the staged input is widened to the computer's sound's layout.
        live_.sliceChannels = mixApplication || (mix && monitor) ? wanted : live_.channels;
        staging_.assign(std::size_t(live_.fragmentFrames) * live_.sliceChannels, 0.0f);
        live_.staging = staging_.data();
        // The parts of a mix, made before any stream can deliver; given up below if nothing is mixed after all.
        parts_.assign(separate_ && (mixApplication || (mix && monitor)) ? staging_.size() * 2 : 0, 0.0f);
        live_.parts = parts_.empty() ? nullptr : parts_.data();
        live_.fillsCapture = systemAudio;
        live_.rate = sampleSpec.rate;
        // A monitor that never sends is silence from the start.
        live_.captureStall.reset(sampleSpec.rate, seconds(pa_rtclock_now()));
        stopping_ = false;
        if (mixApplication) {
            // The application is mixed in as the computer's sound would be.
            pa_channel_map applicationMap;
            pa_channel_map_init_extend(&applicationMap, wanted, PA_CHANNEL_MAP_DEFAULT);
            const pa_sample_spec applicationSpec{PA_SAMPLE_FLOAT32NE, sampleSpec.rate, std::uint8_t(wanted)};
            mixer_.prepare(wanted, sampleSpec.rate, kMostApplicationStreams);
            live_.mixer = &mixer_;
            live_.mixByServerTiming = !connection_->isPipeWire();
            if (!applicationFollower_.follow(application_, applicationSpec, applicationMap,
                    pulse::captureAttributes(kSystemFragmentUsec, applicationSpec), mixer_, live_.mixByServerTiming)) {
                stopping_ = true;
                stopSystemAudio();
                return kAudioUnitErr_NoConnection;
            }
            // The input starts once the application is heard, as a clock does alone (startApplicationAlone()).
            connection_->waitFor([&] { return applicationFollower_.settled(); }, kFirstBlockTimeout);
        } else if (mix && monitor) {
            const pa_sample_spec systemSpec{PA_SAMPLE_FLOAT32NE, sampleSpec.rate, std::uint8_t(wanted)};
            pa_channel_map systemMap;
            pa_channel_map_init_extend(&systemMap, wanted, PA_CHANNEL_MAP_DEFAULT);
            mixer_.prepare(wanted, sampleSpec.rate);
            live_.mixer = &mixer_;
            live_.mixByServerTiming = !connection_->isPipeWire();
            systemStream_ = connectSystemStream(*monitor, systemSpec, systemMap);
            if (!systemStream_) {
                live_.mixer = nullptr;  // the input alone, rather than nothing
                live_.sliceChannels = live_.channels;
            }
        }
        if (!live_.mixer)
            live_.parts = nullptr;  // one source: no parts
        pa_stream_set_state_callback(stream.get(), &PulseCaptureUnit::onState, this);
        pa_stream_set_read_callback(stream.get(), &PulseCaptureUnit::onRead, this);

        pa_buffer_attr attr = pulse::captureAttributes(kFragmentUsec, sampleSpec);
        // A vanished source must end the capture, never move it to another
        // device: the recording would go on from the wrong input unnoticed.
        // Only the computer's sound moves, and only by the follower's hand,
        // and a capture of the default input, which follows it.
        // ADJUST_LATENCY makes the source itself run at the fragment's
        // latency; without it an idle hardware source may wake only every
        // second or two.
        // The timing flags let a read learn how long ago its data was taken
        // in (see onRead) without asking the server.
        const auto flags = pa_stream_flags_t(((systemAudio || followsDefault_) ? 0 : PA_STREAM_DONT_MOVE)
            | PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
        const std::string& device = systemAudio ? *monitor : source_.name;
        const bool ready = pa_stream_connect_record(stream.get(), device.c_str(), &attr, flags) == 0
            && connection_->waitFor(
                [&] { return pa_stream_get_state(stream.get()) != PA_STREAM_CREATING; }, kQueryTimeout)
            && pa_stream_get_state(stream.get()) == PA_STREAM_READY;
        if (!ready || (systemAudio && !follower_.follow(pa_stream_get_index(stream.get())))) {
            stopping_ = true;
            stopSystemAudio();
            return kAudioUnitErr_NoConnection;
        }
        captureAtFullLevel(pa_stream_get_index(stream.get()), sampleSpec.channels);
        stream_ = std::move(stream);
        started_ = true;
        if (systemAudio)
            stallTimer_ = pa_context_rttime_new(
                connection_->context(), pa_rtclock_now() + kStallCheckUsec, &PulseCaptureUnit::onStallTimer, this);
        if (followsDefault_)
            defaultFollower_.follow(sampleSpec, map, attr);
        return noErr;
    }

    OSStatus stop() override
    {
        if (!started_)
            return noErr;
        if (pa_threaded_mainloop_in_thread(connection_->loop()))
            return kAudioUnitErr_CannotDoInCurrentContext;
        pulse::MainloopLock lock(connection_->loop());
        stopping_ = true;
        stopSystemAudio();
        defaultFollower_.stop();
        stream_.reset();  // detaches the call-backs before it disconnects
        started_ = false;
        running_.store(false, std::memory_order_release);
        return noErr;
    }

    OSStatus render(AudioUnitRenderActionFlags*, const AudioTimeStamp*, std::uint32_t, std::uint32_t frames,
        AudioBufferList* ioData) override
    {
        if (live_.slice == nullptr)
            return kAudioUnitErr_CannotDoInCurrentContext;
        if (ioData == nullptr)
            return kAudioUnitErr_InvalidParameter;
        if (frames > live_.sliceFrames)
            return kAudioUnitErr_TooManyFramesToProcess;
        const std::uint32_t channels = live_.sliceChannels;
        const std::uint32_t wide = live_.outputChannels;
        // The mix, then each part (live_.partSlice) in as many buffers again.
        const std::uint32_t sources = live_.partSlice && ioData->mNumberBuffers >= 3 * wide ? 3 : 1;
        const std::uint32_t buffers = std::min(ioData->mNumberBuffers, sources * wide);
        for (std::uint32_t b = 0; b < buffers; ++b) {
            AudioBuffer& buffer = ioData->mBuffers[b];
            auto* out = static_cast<float*>(buffer.mData);
            const std::uint32_t n = out ? std::min(frames, buffer.mDataByteSize / 4) : 0;
            const std::uint32_t source = b / wide, channel = b % wide;
            const float* from = source == 0 ? live_.slice : live_.partSlice + (source - 1) * live_.partsApart;
            const float* in = from + (channels == 1 ? 0 : channel);
            for (std::uint32_t f = 0; f < n; ++f)
                out[f] = in[std::size_t(f) * channels];
            buffer.mDataByteSize = n * 4;
        }
        if (ioData->mNumberBuffers > buffers)
            ioData->mNumberBuffers = buffers;
        return noErr;
    }

private:
    // A 32-bit on/off property, which like the stream's set-up may change only before initialisation.
    OSStatus setSwitch(const void* data, std::uint32_t size, bool& to)
    {
        std::uint32_t on = 0;
        if (OSStatus s = readPropertyValue(data, size, on))
            return s;
        if (initialized_)
            return kAudioUnitErr_CannotDoInCurrentContext;
        to = on != 0;
        return noErr;
    }

    // Lock held, main thread. The full level is our own record stream's:
    // the source's volume and mute are the user's, shared by every program
    // (a microphone muted for a call stays muted). The server may have
    // restored a lower volume for this program's stream, so it is set every
    // time. On a source with flat volumes a stream's volume is the source's
    // own, so there it is left alone. Failures are ignored: the capture runs
    // at whatever level the server gives.
    void captureAtFullLevel(std::uint32_t output, std::uint8_t channels)
    {
        if (!source_.flatVolume) {
            pa_cvolume full;
            pa_cvolume_set(&full, channels, PA_VOLUME_NORM);
            connection_->await(
                pa_context_set_source_output_volume(connection_->context(), output, &full, nullptr, nullptr));
        }
        connection_->await(pa_context_set_source_output_mute(connection_->context(), output, 0, nullptr, nullptr));
    }

    // Lock held, main thread: a stream on the default output's monitor, in
    // the input's format, feeding the mixer; null when none could be made.
    pulse::Stream connectSystemStream(const std::string& monitor, const pa_sample_spec& format, const pa_channel_map& map)
    {
        pulse::Stream stream(pa_stream_new(connection_->context(), "TrayTape system audio", &format, &map));
        if (!stream)
            return nullptr;
        pa_stream_set_state_callback(stream.get(), &PulseCaptureUnit::onSystemState, this);
        pa_stream_set_read_callback(stream.get(), &PulseCaptureUnit::onSystemRead, this);
        pa_buffer_attr attr = pulse::captureAttributes(kSystemFragmentUsec, format);
        const auto flags
            = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_record(stream.get(), monitor.c_str(), &attr, flags) < 0)
            return nullptr;
        connection_->waitFor([&] { return pa_stream_get_state(stream.get()) != PA_STREAM_CREATING; }, kQueryTimeout);
        if (pa_stream_get_state(stream.get()) != PA_STREAM_READY
            || !systemFollower_.follow(pa_stream_get_index(stream.get())))
            return nullptr;
        return stream;
    }

    // An application without an input: heard alone.
    bool applicationAlone() const { return !application_.empty() && device_ == 0 && !systemAudio_ && !followsDefault_; }

    // Lock held, main thread: the application alone, mixed into the silence
    // the clock hands out (kClockUsec) as it would be into an input.
    OSStatus startApplicationAlone()
    {
        const std::uint32_t channels = outputFormat_.mChannelsPerFrame;
        const pa_sample_spec sampleSpec{
            PA_SAMPLE_FLOAT32NE, std::uint32_t(outputFormat_.mSampleRate), std::uint8_t(channels)};
        if (!pa_sample_spec_valid(&sampleSpec))
            return kAudioFormatUnsupportedDataFormatError;
        pa_channel_map map;
        pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_DEFAULT);
        live_ = {};
        live_.callback = callback_;
        live_.channels = live_.outputChannels = live_.sliceChannels = channels;
        live_.maximumFrames = maximumFrames_;
        live_.fragmentFrames = std::uint32_t(pa_usec_to_bytes(kFragmentUsec, &sampleSpec) / pa_frame_size(&sampleSpec));
        staging_.assign(std::size_t(live_.fragmentFrames) * channels, 0.0f);
        live_.staging = staging_.data();
        live_.rate = sampleSpec.rate;
        mixer_.prepare(channels, sampleSpec.rate, kMostApplicationStreams);
        live_.mixer = &mixer_;
        // By arrival, on either server: with no input to be in step with,
        // the server's timing only costs slack. PulseAudio told a sink
        // input's blocks as 0.23 to 0.43 s old when they came; at 0.43 s,
        // more than the mixer's delay, the streams were read just short of
        // their newest block, and a loop woken late (it runs its timers
        // before it reads its sockets) handed out the clock's silence before
        // the blocks of the same stretch were read: a gap and a jump in the take.
        live_.mixByServerTiming = false;
        stopping_ = false;
        if (!applicationFollower_.follow(application_, sampleSpec, map,
                pulse::captureAttributes(kSystemFragmentUsec, sampleSpec), mixer_, live_.mixByServerTiming)) {
            stopping_ = true;
            stopSystemAudio();
            return kAudioUnitErr_NoConnection;
        }
        // A stream's first block comes a while after it is asked for, and
        // what the application played before that was never heard: the
        // clock starts once the application is heard (or plays nothing), so
        // a take begun now holds it from its first frame.
        connection_->waitFor([&] { return applicationFollower_.settled(); }, kFirstBlockTimeout);
        live_.clockStart = seconds(pa_rtclock_now());
        live_.clocked = 0;
        clockTimer_ = pa_context_rttime_new(
            connection_->context(), pa_rtclock_now() + kClockUsec, &PulseCaptureUnit::onClock, this);
        started_ = true;
        running_.store(true, std::memory_order_release);
        return noErr;
    }

    // Loop thread: the silence due since the last tick, by the clock. A
    // loop held up for longer than kMostStallFillSeconds (the machine
    // slept) owes no more than that: the clock starts again from there.
    static void onClock(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* u)
    {
        auto* self = static_cast<PulseCaptureUnit*>(u);
        Live& live = self->live_;
        const double now = seconds(pa_rtclock_now());
        const double most = kMostStallFillSeconds * live.rate;
        auto due = std::uint64_t(std::max(0.0, std::floor((now - live.clockStart) * live.rate))) - live.clocked;
        if (double(due) > most) {
            live.clocked = std::uint64_t(std::floor((now - live.clockStart) * live.rate)) - std::uint64_t(most);
            due = std::uint64_t(most);
        }
        live.readTime = live.clockStart + double(live.clocked) / live.rate;
        self->stage(nullptr, due);
        live.clocked += due;
        pa_context_rttime_restart(self->connection_->context(), event, pa_rtclock_now() + kClockUsec);
    }

    // Lock held, main thread.
    void stopSystemAudio()
    {
        if (clockTimer_) {
            pa_threaded_mainloop_get_api(connection_->loop())->time_free(clockTimer_);
            clockTimer_ = nullptr;
        }
        applicationFollower_.stop();
        if (stallTimer_) {
            pa_threaded_mainloop_get_api(connection_->loop())->time_free(stallTimer_);
            stallTimer_ = nullptr;
        }
        follower_.stop();
        systemFollower_.stop();
        systemStream_.reset();
        live_.mixer = nullptr;
    }

    // Loop thread: the mixed-in stream ending leaves the input recording alone.
    static void onSystemState(pa_stream*, void* u)
    {
        signalLoop(static_cast<PulseCaptureUnit*>(u)->connection_->loop());
    }

    // Loop thread: the computer's sound, copied into the mixer's ring.
    static void onSystemRead(pa_stream* stream, std::size_t, void* u)
    {
        auto* self = static_cast<PulseCaptureUnit*>(u);
        // Each block stamped with when it was captured, as for the input
        // (onRead), on a server whose timing lines the sources up (Live::mixByServerTiming).
        pulse::pushRecorded(stream, self->mixer_, 0, sizeof(float) * self->live_.sliceChannels, self->live_.rate,
            self->live_.mixByServerTiming);
    }

    // Loop thread: the computer's sound recorded alone, when it has sent
    // nothing for too long (and holds nothing unread), is given the silence of that time.
    static void onStallTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* u)
    {
        auto* self = static_cast<PulseCaptureUnit*>(u);
        Live& live = self->live_;
        const double now = seconds(pa_rtclock_now());
        const auto quiet = [](pa_stream* stream) { return stream && pa_stream_readable_size(stream) == 0; };
        if (live.fillsCapture && quiet(self->stream_.get())) {
            const std::size_t owed = live.captureStall.stalled(now, kStallSeconds);
            live.readTime = now - double(owed) / live.rate;  // the silence stands for the time just gone
            self->stage(nullptr, owed);
        }
        pa_context_rttime_restart(self->connection_->context(), event, pa_rtclock_now() + kStallCheckUsec);
    }

    // Loop thread.
    const pa_stream* currentStream() const override { return stream_.get(); }

    // Loop thread: the new stream runs, so the old one's last data goes out and the old one ends.
    void takeOver(pulse::Stream next) override
    {
        pa_stream* stream = next.get();
        onRead(stream_.get(), 0, this);
        stream_ = std::move(next);
        pa_stream_set_state_callback(stream, &PulseCaptureUnit::onState, this);
        pa_stream_set_read_callback(stream, &PulseCaptureUnit::onRead, this);
        onRead(stream, 0, this);
    }

    // Loop thread.
    static void onState(pa_stream* stream, void* u)
    {
        auto* self = static_cast<PulseCaptureUnit*>(u);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            self->running_.store(true, std::memory_order_release);
        else if (!PA_STREAM_IS_GOOD(state) && !self->stopping_)
            self->running_.store(false, std::memory_order_release);  // the device went away
        signalLoop(self->connection_->loop());
    }

    // Loop thread: the capture path. Peek, skip holes, hand out slices, drop.
    // Sources send blocks as small as a couple of milliseconds (a monitor
    // follows its sink's rhythm); they are gathered into whole fragments so
    // each call-back carries one fragment (kFragmentUsec), as a level meter wants.
    static void onRead(pa_stream* stream, std::size_t, void* u)
    {
        auto* self = static_cast<PulseCaptureUnit*>(u);
        Live& live = self->live_;
        const std::size_t frameBytes = sizeof(float) * live.channels;
        const pa_usec_t now = pa_rtclock_now();
        if (live.fillsCapture)
            live.captureStall.arrived(seconds(now));
        // When the first frame about to be read was taken in: the stream's
        // latency is that frame's age (source, transport and what waits
        // here). Without timing yet, the newest frame counts as taken now.
        pa_usec_t age = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &age, &negative) != 0 || negative)
            age = pa_bytes_to_usec(pa_stream_readable_size(stream), pa_stream_get_sample_spec(stream));
        live.readTime = seconds(now) - seconds(age);
        for (;;) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
                return;
            if (data != nullptr)
                self->stage(static_cast<const float*>(data), bytes / frameBytes);
            else
                live.readTime += double(bytes / frameBytes) / live.rate;  // a hole: its time passed
            pa_stream_drop(stream);
        }
    }

    // Loop thread: `frames` in the stream's layout (silence when `in` is
    // null) gathered into fragments, each mixed when mixing, and handed out.
    void stage(const float* in, std::size_t frames)
    {
        Live& live = live_;
        const std::uint32_t channels = live.channels;
        if (in && live.staged == 0 && frames >= live.fragmentFrames && !live.mixer) {
            deliver(in, frames, live.readTime, 0);  // already a fragment or more: no copy
            live.readTime += double(frames) / live.rate;
            return;
        }
        while (frames > 0) {
            if (live.staged == 0)
                live.stagedTime = live.readTime;
            const std::size_t n = std::min<std::size_t>(frames, live.fragmentFrames - live.staged);
            float* to = live.staging + std::size_t(live.staged) * live.sliceChannels;
            if (!in)
                std::fill_n(to, n * live.sliceChannels, 0.0f);
            else if (live.sliceChannels == channels)
                std::copy_n(in, n * channels, to);
            else  // a mono input widened for the mix
                for (std::size_t f = 0; f < n; ++f)
                    std::fill_n(to + f * live.sliceChannels, live.sliceChannels, in[f]);
            live.staged += std::uint32_t(n);
            live.readTime += double(n) / live.rate;
            if (in)
                in += n * channels;
            frames -= n;
            if (live.staged == live.fragmentFrames) {
                double taken = live.stagedTime;
                std::size_t lead = 0;
                if (live.mixer) {
                    lead = live.mixer->leadIn(live.staged);
                    live.mixer->mixInto(live.staging, live.staged, seconds(pa_rtclock_now()),
                        live.mixByServerTiming ? live.stagedTime : DriftMixer::kUnknown, live.parts);
                    // Out comes the input of the mixer's delay ago: stamped
                    // so, a take begins with what was taken in as it was asked for.
                    taken -= live.mixer->delaySeconds();
                    // Before the input's first frame, the delay line's
                    // silence is of no moment of the input's. Stamped a whole
                    // delay earlier still, it is left out of a take asked for
                    // as the input began, which starts with that first frame.
                    if (lead > 0)
                        deliver(live.staging, lead, taken - live.mixer->delaySeconds(), 0);
                }
                deliver(live.staging + lead * live.sliceChannels, live.staged - lead, taken + double(lead) / live.rate,
                    lead);
                live.staged = 0;
            }
        }
    }

    // `taken`: when the first of the frames was taken in, in seconds of pa_rtclock_now().
    // Mixing with parts, theirs begin at frame `first` of the staged fragment.
    void deliver(const float* data, std::size_t frames, double taken, std::size_t first)
    {
        const float* parts = live_.parts && live_.mixer ? live_.parts + first * live_.sliceChannels : nullptr;
        live_.partsApart = std::size_t(live_.staged) * live_.sliceChannels;
        while (frames > 0) {
            const auto n = std::uint32_t(std::min<std::size_t>(frames, live_.maximumFrames));
            live_.slice = data;
            live_.partSlice = parts;
            live_.sliceFrames = n;
            AudioTimeStamp stamp;
            stamp.mSampleTime = live_.sampleTime;
            stamp.mHostTime = std::uint64_t(std::max(taken, 0.0) * 1e9);
            stamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
            taken += double(n) / live_.rate;
            AudioUnitRenderActionFlags flags = 0;
            if (live_.callback.inputProc)
                live_.callback.inputProc(live_.callback.inputProcRefCon, &flags, &stamp, 1, n, nullptr);
            live_.sampleTime += n;
            data += std::size_t(n) * live_.sliceChannels;
            if (parts)
                parts += std::size_t(n) * live_.sliceChannels;
            frames -= n;
        }
        live_.slice = nullptr;
        live_.partSlice = nullptr;
        live_.sliceFrames = 0;
    }

    std::shared_ptr<PulseConnection> connection_;
    // Main thread.
    bool inputEnabled_ = false;
    bool initialized_ = false;
    AudioObjectID device_ = 0;
    DeviceInfo source_;
    AURenderCallbackStruct callback_;
    AudioStreamBasicDescription outputFormat_;
    std::uint32_t maximumFrames_ = kPulseMaximumFramesPerSlice;
    // Under the loop's lock: a capture following the default replaces it on the loop thread.
    pulse::Stream stream_;
    bool started_ = false;        // main thread
    std::vector<float> staging_;  // sized in start(), before the stream exists
    std::vector<float> parts_;    // likewise
    bool separate_ = false;       // main thread, set before the unit starts
    // Written under the loop's lock; read by the loop thread.
    bool stopping_ = false;
    struct Live {
        AURenderCallbackStruct callback;
        std::uint32_t channels = 0;        // in the stream
        std::uint32_t outputChannels = 0;  // handed out; a mono stream fills them all
        std::uint32_t sliceChannels = 0;   // in staging and in the slices handed out
        std::uint32_t maximumFrames = 0;
        std::uint32_t fragmentFrames = 0;
        float* staging = nullptr;  // fragmentFrames frames, interleaved
        std::uint32_t staged = 0;
        const float* slice = nullptr;  // the slice render() hands out, during a call-back only
        std::uint32_t sliceFrames = 0;
        // Mixing with parts: 2 × fragmentFrames frames (parts_), the input's, then the others'.
        float* parts = nullptr;
        const float* partSlice = nullptr;  // the input's part of the slice; the others' partsApart further
        std::size_t partsApart = 0;
        double sampleTime = 0;
        double rate = 0;
        double readTime = 0;    // when the next frame read was taken in (seconds, pa_rtclock_now())
        double stagedTime = 0;  // when the first staged frame was
        DriftMixer* mixer = nullptr;  // mixing in the computer's sound
        // The two sources are lined up by when the server says each block
        // was captured, else by when the blocks arrived. Both monitoring
        // one sink, on a busy machine: PulseAudio's stream latencies put
        // them within 0.1 ms of their true offset, while its blocks came
        // 0.3 to 0.6 s late and up to 18 ms apart; PipeWire's pulse server
        // sends each block in the cycle that captured it, the arrivals
        // within 0.2 ms in five runs of six (8 ms in the sixth), while the
        // latencies it reported were 3 to 35 ms off.
        bool mixByServerTiming = true;
        bool fillsCapture = false;  // the capture's own stream is the computer's sound
        double clockStart = 0;      // an application alone: when its clock began
        std::uint64_t clocked = 0;  // and the frames it has handed out since
        StallFiller captureStall;   // of the capture's own stream, when it is the computer's sound
    } live_;
    pa_time_event* stallTimer_ = nullptr;  // under the loop's lock; while the computer's sound is read
    pa_time_event* clockTimer_ = nullptr;  // under the loop's lock; while an application is heard alone
    std::string application_;              // main thread, set before the unit starts
    bool mixSystemAudio_ = false;  // main thread
    bool systemAudio_ = false;     // main thread: the capture's own stream is the computer's sound
    // Made in start() before the streams, ended in stop() after them.
    PulseOutputFollower follower_;        // the capture's own stream, when it is the computer's sound
    PulseOutputFollower systemFollower_;  // the mixed-in stream
    pulse::Stream systemStream_;
    DriftMixer mixer_;
    bool followsDefault_ = false;  // main thread, set before the unit starts
    PulseDefaultSourceFollower defaultFollower_;  // started with the stream, stopped before it ends
    PulseApplicationFollower applicationFollower_;  // started with the capture, stopped before the mixer goes
    // Written by the loop thread, polled by the main thread.
    std::atomic<bool> running_{false};
};

}  // namespace

AudioStreamBasicDescription pulse::floatFormat(double rate, std::uint32_t channels, bool nonInterleaved)
{
    AudioStreamBasicDescription f;
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags
        = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | (nonInterleaved ? kAudioFormatFlagIsNonInterleaved : 0);
    f.mBitsPerChannel = 32;
    f.mChannelsPerFrame = channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = nonInterleaved ? 4 : 4 * channels;
    f.mBytesPerPacket = f.mBytesPerFrame;
    return f;
}

AudioComponentInstance makePulseCaptureUnit(std::shared_ptr<PulseConnection> connection)
{
    return std::make_unique<PulseCaptureUnit>(std::move(connection));
}
