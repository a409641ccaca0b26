// The sound-server backend against a private server: the device list and its
// properties as the server sees them, volume and mute on real sources,
// capture of a tone played into a null sink, a source vanishing mid-capture,
// the input list's order, and no server at all.
//
// This file registers the executable's one private server; other files of
// the suite use PulseServerEnvironment::server() and must not add another.
#include "AudioRecord/AudioRecordDevice.h"
#include "AudioRecord/IOService.h"
#include "platform/MediaPlayer.h"
#include "platform/pulse/PulseCaptureUnit.h"
#include "platform/pulse/PulsePlatform.h"
#include "support/DeviceQueries.h"
#include "support/MonitorCapture.h"
#include "support/PulseServer.h"
#include "support/Signal.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using testsupport::addr;
using testsupport::deviceList;
using testsupport::MonitorCapture;
using testsupport::PulseServer;
using testsupport::PulseServerEnvironment;
const auto byUid = testsupport::deviceByUid;

namespace {

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(
    new PulseServerEnvironment({{"alpha", 44100, 2, "Alpha Speakers"}, {"solo", 48000, 1, "Solo Line"}}));

// After the server: every file of the suite talks to it through the installed platform.
class PulsePlatformEnvironment final : public ::testing::Environment {
    void SetUp() override { installPulsePlatform(); }
};
[[maybe_unused]] auto* const platform = ::testing::AddGlobalTestEnvironment(new PulsePlatformEnvironment);

std::string nameOf(AudioObjectID id)
{
    char name[256] = {};
    std::uint32_t size = sizeof name;
    const auto a = addr(kAudioDevicePropertyDeviceName);
    AudioObjectGetPropertyData(id, &a, &size, name);
    name[255] = 0;
    return name;
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

class PulseBackend : public ::testing::Test {
protected:
    void SetUp() override { installPulsePlatform(); }  // a fresh connection for each test
    PulseServer& server() { return PulseServerEnvironment::server(); }
};

TEST_F(PulseBackend, DevicesVolumesAndDefaultsAreTheServersOwn)
{
    // Every source and sink, once; sources have input streams, sinks output streams only.
    std::vector<std::string> listed, uids;
    for (const char* what : {"sources", "sinks"}) {
        std::istringstream lines(server().pactl({"list", "short", what}).output);
        for (std::string line, index, name; std::getline(lines, line);)
            if (std::istringstream(line) >> index >> name)
                listed.push_back(name);
    }
    const auto uid = addr(kAudioDevicePropertyDeviceUID, kAudioDevicePropertyScopeOutput);
    for (AudioObjectID id : deviceList())
        uids.push_back(get<std::string>(id, uid.mSelector, uid.mScope));
    std::sort(listed.begin(), listed.end());
    std::sort(uids.begin(), uids.end());
    EXPECT_EQ(uids, listed);
    const AudioObjectID sink = byUid("alpha"), monitor = byUid("alpha.monitor"), mono = byUid("solo.monitor");
    ASSERT_TRUE(sink && monitor && mono);
    EXPECT_EQ(nameOf(monitor), "Monitor of Alpha Speakers");
    for (const auto& [id, scope, size] : {std::tuple{monitor, kAudioDevicePropertyScopeInput, 4u},
             {monitor, kAudioDevicePropertyScopeOutput, 0u}, {sink, kAudioDevicePropertyScopeInput, 0u}}) {
        std::uint32_t got = 256;
        const auto a = addr(kAudioDevicePropertyStreams, scope, 1);
        AudioObjectGetPropertyDataSize(id, &a, &got);
        EXPECT_EQ(got, size) << nameOf(id) << " " << scope;
    }
    const auto f
        = get<AudioStreamBasicDescription>(mono, kAudioDevicePropertyStreamFormat, kAudioDevicePropertyScopeInput);
    EXPECT_EQ(f.mChannelsPerFrame, 1u);
    EXPECT_EQ(f.mSampleRate, 48000.0);

    // A long name is cut to the caller's buffer; a vanished id fails and leaves the list.
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
    ASSERT_TRUE(testsupport::setDefaultDevice(server(), "solo", true));
    ASSERT_TRUE(testsupport::setDefaultDevice(server(), "alpha.monitor", false));
    EXPECT_EQ(get<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), byUid("solo"));
    EXPECT_EQ(get<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice), monitor);
    ASSERT_TRUE(server().setDefaultSink("alpha"));

    // Volume and mute read the source's own channels, as the user set them;
    // a mono source has channel 1 only. They are the user's: nothing writes them.
    ASSERT_TRUE(server().pactl({"set-source-volume", "alpha.monitor", "50%", "25%"}).ok());
    ASSERT_TRUE(server().pactl({"set-source-mute", "alpha.monitor", "1"}).ok());
    // The server tells its clients one by one: PipeWire's may tell ours a moment after pactl has its answer.
    const auto heard = [&] {
        return get<std::uint32_t>(monitor, kAudioDevicePropertyMute, kAudioDevicePropertyScopeInput, 2) == 1u;
    };
    for (const auto deadline = std::chrono::steady_clock::now() + 5s;
         !heard() && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    EXPECT_NEAR(get<float>(monitor, kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyScopeInput, 2), 0.25f, 1e-3);
    EXPECT_EQ(get<std::uint32_t>(monitor, kAudioDevicePropertyMute, kAudioDevicePropertyScopeInput, 2), 1u);
    get<float>(mono, kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyScopeInput, 2, &status);
    EXPECT_NE(status, noErr);
    EXPECT_NE(set(monitor, kAudioDevicePropertyMute, 1, std::uint32_t(0)), noErr);
    ASSERT_TRUE(server().pactl({"set-source-volume", "alpha.monitor", "100%"}).ok());
    ASSERT_TRUE(server().pactl({"set-source-mute", "alpha.monitor", "0"}).ok());
    // The next test hears this monitor: a mute still in force would make it silent.
    const auto restored = [&] {
        return get<std::uint32_t>(monitor, kAudioDevicePropertyMute, kAudioDevicePropertyScopeInput, 2) == 0u
            && get<float>(monitor, kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyScopeInput, 2) > 0.999f;
    };
    for (const auto deadline = std::chrono::steady_clock::now() + 5s;
         !restored() && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(restored());
}

TEST_F(PulseBackend, MonitorCaptureCarriesTheToneAtTheDeviceRateInFortyMillisecondCallbacks)
{
    for (const auto& [sink, rate, deviceChannels] : {std::tuple{"alpha", 44100.0, 2u}, {"solo", 48000.0, 1u}}) {
        SCOPED_TRACE(sink);
        auto tone = server().playTone(sink, 1000, 0.5, std::uint32_t(rate), deviceChannels);
        ASSERT_TRUE(tone);
        MonitorCapture capture(std::size_t(rate) * 3);
        ASSERT_EQ(capture.open(byUid(std::string(sink) + ".monitor")), noErr);
        EXPECT_EQ(capture.deviceFormat.mSampleRate, rate);
        EXPECT_EQ(capture.deviceFormat.mChannelsPerFrame, deviceChannels);
        ASSERT_TRUE(capture.waitForMore(std::size_t(rate / 2)));
        const auto start = std::chrono::steady_clock::now();
        const std::size_t before = capture.frames();
        ASSERT_TRUE(capture.waitForMore(std::size_t(rate)));
        const double measuredRate = double(capture.frames() - before)
            / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_EQ(capture.unit->stop(), noErr);
        EXPECT_NEAR(measuredRate, rate, rate * 0.1);

        // The tone in every channel (a mono source is spread over both), unbroken:
        // a lost or repeated block shows as a jump in the sine. The player may
        // underrun on a busy machine, which leaves silence (exact zeros), not a jump.
        for (std::uint32_t ch = 0; ch < 2; ++ch) {
            const auto samples = capture.channel(ch);
            EXPECT_EQ(sineJumps(samples, 1000, rate), 0u) << ch;
            std::vector<double> amplitudes;
            const auto tenth = std::size_t(rate / 10);
            for (std::size_t at = samples.size() - std::size_t(rate); at + tenth <= samples.size(); at += tenth)
                amplitudes.push_back(signal_test::toneAmplitude(samples.data() + at, tenth, 1000, rate));
            std::sort(amplitudes.begin(), amplitudes.end());
            EXPECT_NEAR(amplitudes[amplitudes.size() / 2], 0.5, 0.03) << ch;
            const auto last = signal_test::slice(samples, samples.size() - std::size_t(rate), std::size_t(rate));
            EXPECT_NEAR(signal_test::dominantFrequency(last, rate, 200, 4000, 10), 1000, 10) << ch;
        }

        auto sizes = capture.sizes();
        ASSERT_GT(sizes.size(), 10u);
        std::sort(sizes.begin(), sizes.end());
        const double medianMs = 1000.0 * sizes[sizes.size() / 2] / rate;
        std::cout << "[ frames ] " << sink << ": median " << medianMs << " ms, max " << sizes.back() << "\n";
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
    const auto callbacksHold = [](const MonitorCapture& capture) {
        const int seen = capture.callbacks();
        std::this_thread::sleep_for(100ms);  // no event marks a call-back that never comes
        return capture.callbacks() == seen;
    };
    for (const bool stopFirst : {true, false}) {
        auto capture = std::make_unique<MonitorCapture>(48000 * 4);
        ASSERT_EQ(capture->open(monitor), noErr);
        ASSERT_TRUE(capture->waitForMore(480));
        if (stopFirst) {
            ASSERT_EQ(capture->unit->stop(), noErr);
            EXPECT_TRUE(callbacksHold(*capture));
            EXPECT_FALSE(capture->running());
            ASSERT_EQ(capture->unit->start(), noErr);  // started again, it captures again
            ASSERT_TRUE(capture->waitForMore(480));
        }
        capture->unit.reset();  // disposal of a running unit, then its storage right after
    }

    MonitorCapture capture(48000 * 4);
    ASSERT_EQ(capture.open(monitor), noErr);
    ASSERT_TRUE(capture.waitForMore(4800));
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
    const auto devices = addr(kAudioHardwarePropertyDevices);
    EXPECT_NE(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, &size), noErr);
    EXPECT_EQ(size, 0u);
    AudioComponentInstance unit;
    EXPECT_NE(audioBackend().newCaptureUnit(unit), noErr);
    EXPECT_FALSE(unit);
    EXPECT_NE(set(2, kAudioDevicePropertyVolumeScalar, 1, 1.0f), noErr);
    // Nothing to find for the registry, and the system-audio source is
    // neither loaded nor waited for.
    EXPECT_TRUE(IOService::getServicesByClassName("IOAudioEngine").empty());
    AudioRecordDevice::resetSystemAudioConnectedForTesting();
    AudioRecordDevice recorder;
    recorder.connectSystemAudioRecord(true);
    recorder.connectSystemAudioRecord(false);
    if (const auto player = MediaPlayer::playerWithAsset(MediaAsset::assetWithPath(tone))) {
        player->play();  // a player for a good file is none, or one that never plays
        EXPECT_EQ(player->rate(), 0.0f);
    }
    AudioRecordDevice::resetSystemAudioConnectedForTesting();
    setenv("PULSE_SERVER", saved.c_str(), 1);
    installPulsePlatform();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(PulseServerEnvironment::server().pactl({"list", "short", "modules"}).output.find("traytape_system_audio"),
        std::string::npos);
}

TEST_F(PulseBackend, InputListPutsTheDefaultFirstThenInputsThenMonitorsThenSystemAudio)
{
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
    ASSERT_TRUE(testsupport::setDefaultDevice(server(), "alpha", true));
    AudioRecordDevice().connectSystemAudioRecord(true);
    const auto names = [] {
        std::vector<std::string> list;
        for (const auto& device : AudioRecordDevice().allAudioInputDevices())
            list.push_back(device->deviceName());
        return list;
    };
    ASSERT_TRUE(testsupport::setDefaultDevice(server(), "desk_mic", false));
    EXPECT_EQ(names(),
        (std::vector<std::string>{
            "Desk-Mic", "Monitor of Alpha Speakers", "Monitor of Solo Line", "Vortanx System Audio"}));
    ASSERT_TRUE(testsupport::setDefaultDevice(server(), "solo.monitor", false));
    EXPECT_EQ(names(),
        (std::vector<std::string>{
            "Monitor of Solo Line", "Desk-Mic", "Monitor of Alpha Speakers", "Vortanx System Audio"}))
        << "whatever the user made the default comes first";
}

}  // namespace
