// The deterministic backend's behaviours that other suites lean on: device
// removal, injected failures, and capture cycles racing start/stop.
#include "platform/VirtualAudio.h"
#include "support/DeviceQueries.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using testsupport::addr;
using testsupport::deviceList;

namespace {

// What a capture-device owner sees of one cycle.
struct Capture {
    AudioUnit* unit = nullptr;
    std::uint32_t channels = 0;
    std::atomic<int> calls{0};
    std::vector<std::vector<float>> last;  // written by the cycle's thread only

    static OSStatus proc(void* ref, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, std::uint32_t bus,
        std::uint32_t frames, AudioBufferList*)
    {
        auto* self = static_cast<Capture*>(ref);
        AudioBufferList list;
        list.mNumberBuffers = self->channels;
        for (std::uint32_t c = 0; c < self->channels; ++c) {
            self->last[c].assign(frames, -9.0f);
            list.mBuffers[c] = {1, frames * 4, self->last[c].data()};
        }
        if (self->unit->render(flags, stamp, bus, frames, &list) == noErr)
            self->calls.fetch_add(1);
        return noErr;
    }
};

// The set-up sequence the capture device runs; the first failing status, or 0.
OSStatus configure(AudioUnit& unit, AudioObjectID device, Capture& capture)
{
    const std::uint32_t one = 1, zero = 0;
    if (OSStatus s = unit.setProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &one, 4))
        return s;
    if (OSStatus s = unit.setProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &zero, 4))
        return s;
    if (OSStatus s = unit.setProperty(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &device, 4))
        return s;
    AURenderCallbackStruct cb{&Capture::proc, &capture};
    if (OSStatus s
        = unit.setProperty(kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, &cb, sizeof cb))
        return s;
    AudioStreamBasicDescription f;
    std::uint32_t size = sizeof f;
    if (OSStatus s = unit.getProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, &f, &size))
        return s;
    f.mChannelsPerFrame = std::max<std::uint32_t>(f.mChannelsPerFrame, 2);
    f.mFormatFlags = 41;
    f.mBytesPerFrame = f.mBytesPerPacket = 4;
    f.mFramesPerPacket = 1;
    if (OSStatus s = unit.setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &f, sizeof f))
        return s;
    capture.unit = &unit;
    capture.channels = f.mChannelsPerFrame;
    capture.last.resize(f.mChannelsPerFrame);
    if (OSStatus s = unit.initialize())
        return s;
    return unit.start();
}

std::uint32_t isRunning(AudioUnit& unit)
{
    std::uint32_t running = 7, size = 4;
    EXPECT_EQ(unit.getProperty(kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0, &running, &size), noErr);
    return running;
}

AudioComponentInstance newUnit()
{
    const AudioComponentDescription d{kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple};
    AudioComponentInstance unit;
    if (AudioComponent c = AudioComponentFindNext(nullptr, &d))
        AudioComponentInstanceNew(c, &unit);
    return unit;
}

class VirtualAudioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto owned = std::make_unique<VirtualAudio>();
        audio = owned.get();
        setAudioBackend(std::move(owned));
    }
    void TearDown() override { setAudioBackend(nullptr); }

    VirtualAudio* audio = nullptr;  // owned by the backend slot
};

TEST_F(VirtualAudioTest, RemovedDeviceLeavesListFailsQueriesAndStopsItsUnit)
{
    const auto a = audio->addDevice({"Mic", "mic-uid", 1, 0, 44100});
    const auto b = audio->addDevice({std::string(300, 'x'), "long", 2, 0, 48000});
    const auto c = audio->addDevice({"Speaker", "spk", 0, 2, 48000});
    EXPECT_GT(a, 1u);
    EXPECT_EQ(deviceList(), (std::vector<AudioObjectID>{a, b, c}));

    // A name longer than the caller's buffer is cut to it, as the platform does.
    char name[256];
    std::uint32_t size = sizeof name;
    const auto nameAddr = addr(kAudioDevicePropertyDeviceName);
    ASSERT_EQ(AudioObjectGetPropertyData(b, &nameAddr, &size, name), noErr);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(std::string(name, 255), std::string(255, 'x'));

    Capture capture;
    auto unit = newUnit();
    ASSERT_TRUE(unit);
    ASSERT_EQ(configure(*unit, a, capture), noErr);
    EXPECT_TRUE(audio->runCycle(a, 8, [](std::uint32_t, std::uint32_t f) { return float(f); }));

    EXPECT_TRUE(audio->removeDevice(a));
    EXPECT_EQ(deviceList(), (std::vector<AudioObjectID>{b, c}));
    EXPECT_NE(AudioObjectGetPropertyData(a, &nameAddr, &size, name), noErr);
    EXPECT_EQ(isRunning(*unit), 0u);
    EXPECT_FALSE(audio->runCycle(a, 8, [](std::uint32_t, std::uint32_t) { return 0.0f; }));
    EXPECT_EQ(capture.calls.load(), 1);
    // A fresh id is never an old one.
    EXPECT_EQ(audio->addDevice({"Mic", "mic-uid", 1, 0, 44100}) > c, true);
}

TEST_F(VirtualAudioTest, MonoDeviceFillsBothBuffersAndFramesAreBounded)
{
    const auto mono = audio->addDevice({"Mono", "m", 1, 0, 44100});
    Capture capture;
    auto unit = newUnit();
    ASSERT_EQ(configure(*unit, mono, capture), noErr);
    ASSERT_TRUE(audio->runCycle(mono, 3, [](std::uint32_t c, std::uint32_t f) { return c == 0 ? 0.5f + f : 99.0f; }));
    EXPECT_EQ(capture.last[0], (std::vector<float>{0.5f, 1.5f, 2.5f}));
    EXPECT_EQ(capture.last[1], capture.last[0]);
    EXPECT_FALSE(audio->runCycle(
        mono, VirtualAudio::kDefaultMaximumFramesPerSlice + 1, [](std::uint32_t, std::uint32_t) { return 0.0f; }));

    // Render outside a call-back has nothing to give.
    AudioBufferList list;
    EXPECT_NE(unit->render(nullptr, nullptr, 1, 1, &list), noErr);
}

TEST_F(VirtualAudioTest, InjectedFailuresFireWhereAskedAndOneShotsClear)
{
    const auto dev = audio->addDevice({"Mic", "uid", 2, 0, 48000});
    audio->failNext(VirtualStep::Component);
    EXPECT_FALSE(newUnit());
    EXPECT_TRUE(newUnit());

    for (VirtualStep step : {VirtualStep::EnableInput, VirtualStep::DisableOutput, VirtualStep::CurrentDevice,
             VirtualStep::SetInputCallback, VirtualStep::GetInputFormat, VirtualStep::SetOutputFormat,
             VirtualStep::Initialize, VirtualStep::Start}) {
        audio->failNext(step, -1234);
        Capture capture;
        auto unit = newUnit();
        EXPECT_EQ(configure(*unit, dev, capture), -1234) << int(step);
        Capture again;
        auto second = newUnit();
        EXPECT_EQ(configure(*second, dev, again), noErr) << int(step);
    }

    audio->failAlways(VirtualStep::Render, -5);
    Capture capture;
    auto unit = newUnit();
    ASSERT_EQ(configure(*unit, dev, capture), noErr);
    EXPECT_TRUE(audio->runCycle(dev, 4, [](std::uint32_t, std::uint32_t) { return 1.0f; }));
    EXPECT_TRUE(audio->runCycle(dev, 4, [](std::uint32_t, std::uint32_t) { return 1.0f; }));
    EXPECT_EQ(capture.calls.load(), 0);
    audio->clearFailures();
    EXPECT_TRUE(audio->runCycle(dev, 4, [](std::uint32_t, std::uint32_t) { return 1.0f; }));
    EXPECT_EQ(capture.calls.load(), 1);

    audio->failNext(VirtualStep::DeviceList);
    EXPECT_TRUE(deviceList().empty());
    EXPECT_EQ(deviceList().size(), 1u);

    // Writes are recorded whether they succeed or not.
    const float full = 1.0f;
    const auto vol2 = addr(kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyScopeInput, 2);
    audio->failNext(VirtualStep::SetVolume, -7);
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &vol2, 4, &full), -7);
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &vol2, 4, &full), noErr);
    const auto writes = audio->propertyWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].status, -7);
    EXPECT_EQ(writes[1].address.mElement, 2u);
    EXPECT_EQ(writes[1].asFloat(), 1.0f);
}

// Runs under ThreadSanitizer too: a test "audio thread" drives cycles while
// the main thread starts, stops and disposes of units.
TEST_F(VirtualAudioTest, NoCallbackAfterStopOrDisposeReturns)
{
    const auto dev = audio->addDevice({"Mic", "uid", 2, 0, 48000});
    std::atomic<bool> done{false};
    std::thread audioThread([&] {
        while (!done.load())
            audio->runCycle(dev, 64, [](std::uint32_t, std::uint32_t) { return 0.25f; });
    });
    for (int round = 0; round < 200; ++round) {
        auto capture = std::make_unique<Capture>();
        auto unit = newUnit();
        ASSERT_EQ(configure(*unit, dev, *capture), noErr);
        while (capture->calls.load() == 0 && round % 2 == 0)
            std::this_thread::yield();
        if (round % 3 == 0) {
            unit->stop();
            const int seen = capture->calls.load();
            std::this_thread::yield();
            EXPECT_EQ(capture->calls.load(), seen);
        }
        // Disposing of a running unit waits out its cycle; the capture is freed right after.
        unit.reset();
        capture.reset();
    }
    done = true;
    audioThread.join();
}

}  // namespace
