// The sound-server backend against a private PulseAudio daemon: the device
// list and its properties as the server sees them, volume and mute on real
// sources, capture of a tone played into a null sink, a source vanishing
// mid-capture, and no server at all.
//
// This file registers the executable's one private server; other files of
// the suite use PulseServerEnvironment::server() and must not add another.
#include "AudioRecord/AudioRecordDevice.h"
#include "AudioRecord/IOService.h"
#include "platform/MediaPlayer.h"
#include "platform/pulse/PulseCaptureUnit.h"
#include "platform/pulse/PulsePlatform.h"
#include "support/DeviceQueries.h"
#include "support/PulseServer.h"
#include "support/Signal.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using testsupport::NullSink;
using testsupport::PulseServer;
using testsupport::PulseServerEnvironment;

using testsupport::addr;
using testsupport::deviceList;

namespace {

const AudioObjectPropertyAddress kDevicesAddress = addr(kAudioHardwarePropertyDevices);
const NullSink kStereo{"alpha", 44100, 2, "Alpha Speakers"};
const NullSink kMono{"solo", 48000, 1, "Solo Line"};

[[maybe_unused]] auto* const environment
    = ::testing::AddGlobalTestEnvironment(new PulseServerEnvironment({kStereo, kMono}));

// After the server: every file of the suite talks to it through the installed platform.
class PulsePlatformEnvironment final : public ::testing::Environment {
    void SetUp() override { installPulsePlatform(); }
};
[[maybe_unused]] auto* const platform = ::testing::AddGlobalTestEnvironment(new PulsePlatformEnvironment);

std::string uidOf(AudioObjectID id)
{
    std::string uid;
    std::uint32_t size = sizeof uid;
    const auto a = addr(kAudioDevicePropertyDeviceUID, kAudioDevicePropertyScopeOutput);
    return AudioObjectGetPropertyData(id, &a, &size, &uid) == noErr ? uid : "<none>";
}

std::string nameOf(AudioObjectID id)
{
    char name[256] = {};
    std::uint32_t size = sizeof name;
    const auto a = addr(kAudioDevicePropertyDeviceName);
    AudioObjectGetPropertyData(id, &a, &size, name);
    name[255] = 0;
    return name;
}

std::uint32_t streamsSize(AudioObjectID id, std::uint32_t scope)
{
    std::uint32_t size = 256;
    const auto a = addr(kAudioDevicePropertyStreams, scope, 1);
    AudioObjectGetPropertyDataSize(id, &a, &size);
    return size;
}

AudioObjectID byUid(const std::string& uid)
{
    for (AudioObjectID id : deviceList())
        if (uidOf(id) == uid)
            return id;
    return 0;
}

template <class T>
T get(AudioObjectID id, std::uint32_t selector, std::uint32_t scope = kAudioObjectPropertyScopeGlobal,
    std::uint32_t element = 0, OSStatus* status = nullptr)
{
    T value{};
    std::uint32_t size = sizeof value;
    const auto a = addr(selector, scope, element);
    const OSStatus s = AudioObjectGetPropertyData(id, &a, &size, &value);
    if (status)
        *status = s;
    return value;
}

template <class T> OSStatus set(AudioObjectID id, std::uint32_t selector, std::uint32_t element, T value)
{
    const auto a = addr(selector, kAudioDevicePropertyScopeInput, element);
    return AudioObjectSetPropertyData(id, &a, sizeof value, &value);
}

// "index<TAB>name<TAB>..." lines of `pactl list short sources|sinks`, as (index, name).
std::vector<std::pair<std::uint32_t, std::string>> pactlList(const char* what)
{
    std::vector<std::pair<std::uint32_t, std::string>> out;
    std::istringstream lines(PulseServerEnvironment::server().pactl({"list", "short", what}).output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::uint32_t index;
        std::string name;
        if (fields >> index >> name)
            out.emplace_back(index, name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Samples where a sine of `frequency` does not go on as the two before
// predict, ignoring the edges of silence: PulseAudio leaves them exact, while
// PipeWire, which resamples a 44.1 kHz sink in its 48 kHz graph, rounds them
// off over a few dozen samples.
std::size_t sineJumps(const std::vector<float>& x, double frequency, double rate)
{
    constexpr std::size_t kEdge = 100, kQuietRun = 8;
    const auto nearSilence = [&](std::size_t i) {
        std::size_t run = 0;
        for (std::size_t j = i > kEdge ? i - kEdge : 0; j < std::min(x.size(), i + kEdge); ++j) {
            run = std::fabs(x[j]) < 0.01f ? run + 1 : 0;
            if (run >= kQuietRun)
                return true;
        }
        return false;
    };
    const double k = 2 * std::cos(2 * M_PI * frequency / rate);
    std::size_t jumps = 0;
    for (std::size_t i = 2; i < x.size(); ++i)
        if (std::fabs(k * x[i - 1] - x[i - 2] - x[i]) > 0.02 && !nearSilence(i))
            ++jumps;
    return jumps;
}

// Captures into storage set aside before the unit starts: the call-back only
// renders, copies and counts.
class Capture {
public:
    explicit Capture(std::size_t capacityFrames = 48000 * 4) : capacity_(capacityFrames) { }

    // The set-up sequence of the capture device; the first failing status, or 0.
    OSStatus open(AudioObjectID device)
    {
        const AudioComponentDescription d{
            kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple};
        AudioComponent component = AudioComponentFindNext(nullptr, &d);
        if (!component)
            return -1;
        if (OSStatus s = AudioComponentInstanceNew(component, &unit))
            return s;
        const std::uint32_t one = 1, zero = 0;
        AURenderCallbackStruct cb{&Capture::proc, this};
        AudioStreamBasicDescription f;
        std::uint32_t size = sizeof f;
        OSStatus s = unit->setProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &one, 4);
        if (!s)
            s = unit->setProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &zero, 4);
        if (!s)
            s = unit->setProperty(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &device, 4);
        if (!s)
            s = unit->setProperty(kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, &cb, sizeof cb);
        if (!s)
            s = unit->getProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, &f, &size);
        if (s)
            return s;
        deviceFormat = f;
        f.mChannelsPerFrame = std::max<std::uint32_t>(f.mChannelsPerFrame, 2);
        f.mFormatFlags = 41;
        f.mBytesPerFrame = f.mBytesPerPacket = 4;
        f.mFramesPerPacket = 1;
        if (OSStatus s2 = unit->setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &f, sizeof f))
            return s2;
        format = f;
        channels_.assign(f.mChannelsPerFrame, std::vector<float>(capacity_));
        if (OSStatus s2 = unit->initialize())
            return s2;
        return unit->start();
    }

    std::size_t frames() const { return frames_.load(std::memory_order_acquire); }
    int callbacks() const { return callbacks_.load(std::memory_order_acquire); }
    bool running() const
    {
        std::uint32_t on = 0, size = 4;
        unit->getProperty(kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0, &on, &size);
        return on != 0;
    }
    bool waitForFrames(std::size_t n, std::chrono::milliseconds timeout = 5s) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (frames() < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return frames() >= n;
    }
    // After stop(): what was captured of one channel, and the call-back sizes.
    std::vector<float> channel(std::size_t c) const
    {
        return {channels_[c].begin(), channels_[c].begin() + std::ptrdiff_t(frames())};
    }
    std::vector<std::uint32_t> sizes() const
    {
        return {sizes_.begin(), sizes_.begin() + std::min<int>(callbacks(), int(sizes_.size()))};
    }

    AudioComponentInstance unit;
    AudioStreamBasicDescription deviceFormat, format;

private:
    static OSStatus proc(void* ref, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, std::uint32_t bus,
        std::uint32_t frames, AudioBufferList*)
    {
        auto* self = static_cast<Capture*>(ref);
        const std::size_t at = self->frames_.load(std::memory_order_relaxed);
        const std::uint32_t n = std::uint32_t(std::min<std::size_t>(frames, self->capacity_ - at));
        AudioBufferList list;
        list.mNumberBuffers = std::uint32_t(self->channels_.size());
        for (std::uint32_t c = 0; c < list.mNumberBuffers; ++c)
            list.mBuffers[c] = {1, n * 4, self->channels_[c].data() + at};
        if (n == frames && self->unit->render(flags, stamp, bus, frames, &list) == noErr)
            self->frames_.store(at + n, std::memory_order_release);
        const int i = self->callbacks_.load(std::memory_order_relaxed);
        if (i < int(self->sizes_.size()))
            self->sizes_[std::size_t(i)] = frames;
        self->callbacks_.store(i + 1, std::memory_order_release);
        return noErr;
    }

    std::size_t capacity_;
    std::vector<std::vector<float>> channels_;
    std::vector<std::uint32_t> sizes_ = std::vector<std::uint32_t>(4096);
    std::atomic<std::size_t> frames_{0};
    std::atomic<int> callbacks_{0};
};

class PulseBackend : public ::testing::Test {
protected:
    void SetUp() override { installPulsePlatform(); }  // a fresh connection for each test
    PulseServer& server() { return PulseServerEnvironment::server(); }
};

TEST_F(PulseBackend, DeviceListIsEverySourceThenEverySinkWithTheirPropertiesAndTheDefaults)
{
    // Ids follow the server's indices: sources first, then sinks, each in index order.
    std::vector<AudioObjectID> expected;
    std::vector<std::string> uids;
    for (const auto& [index, name] : pactlList("sources")) {
        expected.push_back(2 * index + 2);
        uids.push_back(name);
    }
    for (const auto& [index, name] : pactlList("sinks")) {
        expected.push_back(2 * index + 3);
        uids.push_back(name);
    }
    const auto ids = deviceList();
    ASSERT_EQ(ids, expected);
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(uidOf(ids[i]), uids[i]);

    const AudioObjectID sink = byUid("alpha"), monitor = byUid("alpha.monitor"), mono = byUid("solo.monitor");
    ASSERT_TRUE(sink && monitor && mono);
    EXPECT_EQ(nameOf(sink), "Alpha Speakers");
    EXPECT_EQ(nameOf(monitor), "Monitor of Alpha Speakers");
    // Sources have input streams, sinks output streams only.
    EXPECT_EQ(streamsSize(monitor, kAudioDevicePropertyScopeInput), 4u);
    EXPECT_EQ(streamsSize(monitor, kAudioDevicePropertyScopeOutput), 0u);
    EXPECT_EQ(streamsSize(sink, kAudioDevicePropertyScopeInput), 0u);
    EXPECT_EQ(streamsSize(sink, kAudioDevicePropertyScopeOutput), 4u);
    EXPECT_EQ(get<double>(monitor, kAudioDevicePropertyNominalSampleRate), 44100.0);
    EXPECT_EQ(get<double>(mono, kAudioDevicePropertyNominalSampleRate), 48000.0);
    const auto f
        = get<AudioStreamBasicDescription>(mono, kAudioDevicePropertyStreamFormat, kAudioDevicePropertyScopeInput);
    EXPECT_EQ(f.mChannelsPerFrame, 1u);
    EXPECT_EQ(f.mSampleRate, 48000.0);
    EXPECT_EQ(f.mFormatFlags & kAudioFormatFlagIsFloat, kAudioFormatFlagIsFloat);

    // A long name is cut to the caller's buffer; vanished ids fail.
    const std::string longName(300, 'n');
    const auto module = server().loadNullSink({"lengthy", 48000, 2, longName});
    ASSERT_TRUE(module);
    const AudioObjectID lengthy = byUid("lengthy");
    EXPECT_EQ(nameOf(lengthy), longName.substr(0, 255));
    ASSERT_TRUE(server().unloadModule(*module));
    OSStatus status = noErr;
    get<double>(lengthy, kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0, &status);
    EXPECT_NE(status, noErr);
    const auto after = deviceList();
    EXPECT_EQ(std::count(after.begin(), after.end(), lengthy), 0);

    // The default devices follow the server.
    ASSERT_TRUE(server().setDefaultSink("solo"));
    ASSERT_TRUE(server().setDefaultSource("alpha.monitor"));
    EXPECT_EQ(get<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), byUid("solo"));
    EXPECT_EQ(
        get<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice), byUid("alpha.monitor"));
    ASSERT_TRUE(server().setDefaultSink("alpha"));
    EXPECT_EQ(get<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), byUid("alpha"));
}

TEST_F(PulseBackend, VolumeAndMuteActOnTheSourcesOwnChannels)
{
    const AudioObjectID stereo = byUid("alpha.monitor"), mono = byUid("solo.monitor"), sink = byUid("alpha");
    const auto volumeText = [&](const char* source) { return server().pactl({"get-source-volume", source}).output; };
    ASSERT_EQ(set(stereo, kAudioDevicePropertyVolumeScalar, 1, 0.5f), noErr);
    ASSERT_EQ(set(stereo, kAudioDevicePropertyVolumeScalar, 2, 0.25f), noErr);
    EXPECT_NE(volumeText("alpha.monitor").find("50%"), std::string::npos) << volumeText("alpha.monitor");
    EXPECT_NE(volumeText("alpha.monitor").find("25%"), std::string::npos) << volumeText("alpha.monitor");
    EXPECT_FLOAT_EQ(get<float>(stereo, kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyScopeInput, 2), 0.25f);

    ASSERT_EQ(set(stereo, kAudioDevicePropertyMute, 1, std::uint32_t(1)), noErr);
    EXPECT_NE(server().pactl({"get-source-mute", "alpha.monitor"}).output.find("yes"), std::string::npos);
    ASSERT_EQ(set(stereo, kAudioDevicePropertyMute, 2, std::uint32_t(0)), noErr);
    EXPECT_NE(server().pactl({"get-source-mute", "alpha.monitor"}).output.find("no"), std::string::npos);
    ASSERT_EQ(set(stereo, kAudioDevicePropertyVolumeScalar, 1, 1.0f), noErr);
    ASSERT_EQ(set(stereo, kAudioDevicePropertyVolumeScalar, 2, 1.0f), noErr);
    EXPECT_EQ(volumeText("alpha.monitor").find("50%"), std::string::npos);

    // A mono source has channel 1 only; the master element and sinks are not volumes here.
    ASSERT_EQ(set(mono, kAudioDevicePropertyVolumeScalar, 1, 0.5f), noErr);
    EXPECT_NE(set(mono, kAudioDevicePropertyVolumeScalar, 2, 1.0f), noErr);
    EXPECT_NE(set(mono, kAudioDevicePropertyVolumeScalar, 0, 1.0f), noErr);
    EXPECT_NE(volumeText("solo.monitor").find("50%"), std::string::npos) << volumeText("solo.monitor");
    EXPECT_NE(set(sink, kAudioDevicePropertyVolumeScalar, 1, 0.5f), noErr);
    ASSERT_EQ(set(mono, kAudioDevicePropertyVolumeScalar, 1, 1.0f), noErr);
}

TEST_F(PulseBackend, MonitorCaptureCarriesTheToneAtTheDeviceRateInFortyMillisecondCallbacks)
{
    struct Case {
        const char* sink;
        double rate;
        std::uint32_t deviceChannels;
    };
    for (const Case c : {Case{"alpha", 44100, 2}, Case{"solo", 48000, 1}}) {
        SCOPED_TRACE(c.sink);
        auto tone = server().playTone(c.sink, 1000, 0.5, std::uint32_t(c.rate), c.deviceChannels);
        ASSERT_TRUE(tone);
        Capture capture(std::size_t(c.rate) * 3);
        ASSERT_EQ(capture.open(byUid(std::string(c.sink) + ".monitor")), noErr);
        EXPECT_EQ(capture.deviceFormat.mSampleRate, c.rate);
        EXPECT_EQ(capture.deviceFormat.mChannelsPerFrame, c.deviceChannels);
        EXPECT_TRUE(capture.running());
        ASSERT_TRUE(capture.waitForFrames(std::size_t(c.rate * 1.5)));
        const auto start = std::chrono::steady_clock::now();
        const std::size_t before = capture.frames();
        std::this_thread::sleep_for(1s);
        const double measuredRate = double(capture.frames() - before)
            / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_EQ(capture.unit->stop(), noErr);
        EXPECT_NEAR(measuredRate, c.rate, c.rate * 0.1);

        // The tone in every channel (a mono source is spread over both), unbroken:
        // a lost or repeated block shows as a jump in the sine. The player may
        // underrun on a busy machine, which leaves silence (exact zeros), not a jump.
        for (std::uint32_t ch = 0; ch < 2; ++ch) {
            const auto samples = capture.channel(ch);
            EXPECT_EQ(sineJumps(samples, 1000, c.rate), 0u) << ch;
            std::vector<double> amplitudes;
            for (std::size_t at = samples.size() - std::size_t(c.rate); at + std::size_t(c.rate / 10) <= samples.size();
                 at += std::size_t(c.rate / 10))
                amplitudes.push_back(
                    signal_test::toneAmplitude(samples.data() + at, std::size_t(c.rate / 10), 1000, c.rate));
            std::sort(amplitudes.begin(), amplitudes.end());
            EXPECT_NEAR(amplitudes[amplitudes.size() / 2], 0.5, 0.03) << ch;
            const auto last = signal_test::slice(samples, samples.size() - std::size_t(c.rate), std::size_t(c.rate));
            EXPECT_NEAR(signal_test::dominantFrequency(last, c.rate, 200, 4000, 10), 1000, 10) << ch;
        }

        auto sizes = capture.sizes();
        ASSERT_GT(sizes.size(), 10u);
        std::sort(sizes.begin(), sizes.end());
        const double medianMs = 1000.0 * sizes[sizes.size() / 2] / c.rate;
        std::cout << "[ frames ] " << c.sink << ": median " << sizes[sizes.size() / 2] << " frames (" << medianMs
                  << " ms), max " << sizes.back() << ", " << sizes.size() << " call-backs\n";
        EXPECT_GE(medianMs, 30.0) << "no more wake-ups than the meter needs";
        EXPECT_LE(medianMs, 50.0) << "the meter needs a fresh level at least 20 times a second";
        EXPECT_LE(sizes.back(), kPulseMaximumFramesPerSlice);
    }
}

// Stopped, disposed of or left without its source, a unit calls back no more;
// a vanished source ends the capture and is never replaced by another.
TEST_F(PulseBackend, NoCallbackRunsOnceStopDisposalOrTheSourcesLossReturns)
{
    const auto module = server().loadNullSink({"doomed", 48000, 2, "Doomed"});
    ASSERT_TRUE(module);
    auto tone = server().playTone("doomed", 500, 0.4, 48000);
    const AudioObjectID monitor = byUid("doomed.monitor");
    const auto callbacksHold = [](const Capture& capture) {
        const int seen = capture.callbacks();
        std::this_thread::sleep_for(100ms);
        return capture.callbacks() == seen;
    };
    for (int round = 0; round < 4; ++round) {
        auto capture = std::make_unique<Capture>();
        ASSERT_EQ(capture->open(monitor), noErr);
        ASSERT_TRUE(capture->waitForFrames(480));
        if (round % 2 == 0) {
            ASSERT_EQ(capture->unit->stop(), noErr);
            EXPECT_TRUE(callbacksHold(*capture));
            EXPECT_FALSE(capture->running());
            ASSERT_EQ(capture->unit->start(), noErr);  // started again, it captures again
            ASSERT_TRUE(capture->waitForFrames(capture->frames() + 480));
        }
        capture->unit.reset();  // disposal of a running unit, then its storage right after
    }

    Capture capture;
    ASSERT_EQ(capture.open(monitor), noErr);
    ASSERT_TRUE(capture.waitForFrames(4800));
    ASSERT_TRUE(server().unloadModule(*module));
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (capture.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(capture.running());
    EXPECT_TRUE(callbacksHold(capture)) << "the stream went on from another source";
    EXPECT_EQ(server().pactl({"list", "short", "source-outputs"}).output, "");
    EXPECT_EQ(capture.unit->stop(), noErr);
}

TEST(WithoutServer, BackendRegistrySystemAudioAndPlayerFailCleanlyAndQuickly)
{
    TempDir dir;
    const std::string tone = dir.file("tone.wav");
    ASSERT_EQ(writeToneFile(tone, 0.1), noErr);
    // The suite's server stays up; this backend is pointed elsewhere.
    const std::string saved = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/traytape/native", 1);
    const auto start = std::chrono::steady_clock::now();
    installPulsePlatform();
    std::uint32_t size = 1234;
    EXPECT_NE(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &kDevicesAddress, &size), noErr);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(deviceList().empty());
    const AudioComponentDescription capture{kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple};
    EXPECT_FALSE(AudioComponentFindNext(nullptr, &capture));
    AudioComponentInstance unit;
    EXPECT_NE(audioBackend().newCaptureUnit(unit), noErr);
    EXPECT_FALSE(unit);
    EXPECT_EQ(nameOf(2), "");
    EXPECT_NE(set(2, kAudioDevicePropertyVolumeScalar, 1, 1.0f), noErr);
    // Nothing to find for the registry, and the system-audio source is
    // neither loaded nor waited for.
    EXPECT_TRUE(IOService::getServicesByClassName("IOAudioEngine").empty());
    AudioRecordDevice::resetSystemAudioConnectedForTesting();
    AudioRecordDevice recorder;
    recorder.connectSystemAudioRecord(true);
    EXPECT_TRUE(AudioRecordDevice::systemAudioConnected());
    recorder.connectSystemAudioRecord(false);
    if (const auto player = MediaPlayer::playerWithAsset(MediaAsset::assetWithPath(tone))) {
        // A player for a good file is none, or one that never plays.
        player->play();
        EXPECT_EQ(player->rate(), 0.0f);
    }
    AudioRecordDevice::resetSystemAudioConnectedForTesting();
    setenv("PULSE_SERVER", saved.c_str(), 1);
    installPulsePlatform();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(PulseServerEnvironment::server().pactl({"list", "short", "modules"}).output.find("traytape_system_audio"),
        std::string::npos);
}

}  // namespace

TEST_F(PulseBackend, InputListPutsTheDefaultFirstThenInputsThenMonitorsThenSystemAudio)
{
    // A microphone the server lists after the speakers' monitors, and the
    // system-audio source over the default speakers' monitor.
    // Any source that is not a sink's monitor stands for a microphone here.
    const auto mic = server().pactl({"load-module", "module-remap-source",
        "source_name=desk_mic master=solo.monitor source_properties=device.description=Desk-Mic"});
    ASSERT_TRUE(mic.ok()) << mic.errors;
    struct Unload {
        PulseServer& server;
        std::string module;
        ~Unload()
        {
            AudioRecordDevice().connectSystemAudioRecord(false);
            server.unloadModule(std::uint32_t(std::stoul(module)));
        }
    } unload{server(), mic.output};
    ASSERT_TRUE(server().setDefaultSink("alpha"));
    AudioRecordDevice().connectSystemAudioRecord(true);
    EXPECT_EQ(get<std::uint32_t>(byUid("alpha.monitor"), kAudioDevicePropertyIsMonitor), 1u);
    EXPECT_EQ(get<std::uint32_t>(byUid("desk_mic"), kAudioDevicePropertyIsMonitor), 0u);

    const auto names = [] {
        std::vector<std::string> list;
        for (const auto& device : AudioRecordDevice().allAudioInputDevices())
            list.push_back(device->deviceName());
        return list;
    };
    const std::vector<std::string> inputsFirst{
        "Desk-Mic", "Monitor of Alpha Speakers", "Monitor of Solo Line", "Vortanx System Audio"};
    ASSERT_TRUE(server().setDefaultSource("desk_mic"));
    EXPECT_EQ(names(), inputsFirst);
    ASSERT_TRUE(server().setDefaultSource("solo.monitor"));
    EXPECT_EQ(names(),
        (std::vector<std::string>{
            "Monitor of Solo Line", "Desk-Mic", "Monitor of Alpha Speakers", "Vortanx System Audio"}))
        << "whatever the user made the default comes first";
}
