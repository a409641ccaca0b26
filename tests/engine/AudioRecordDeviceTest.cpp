// The capture unit and the recorder, on the virtual backend with real files.
// Every capture cycle a test runs through cycles() is counted for heap
// allocations on the thread that runs it (see AllocationCounter.h; not under
// the sanitizers, whose allocators stay in place).
#include "AudioRecord/AudioRecordDevice.h"
#include "ExtAudioFileTestHelpers.h"
#include "support/AllocationCounter.h"
#include "support/backends/VirtualAudio.h"
#include "support/GatedFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace eaf_test;
using signal_test::slice;
using signal_test::toneAmplitude;

namespace {

// What a device hands its delegate: the calls, and the last call's buffer
// size and first sample of each buffer.
struct CountingDelegate : AudioCaptureDelegate {
    std::atomic<int> calls{0};
    std::uint32_t bytes = 0;
    std::vector<float> firstSamples;
    void recieveAudioBuffer(const AudioBufferList* list, std::int32_t, std::uint64_t) override
    {
        ++calls;
        bytes = list->mBuffers[0].mDataByteSize;
        firstSamples.clear();
        for (std::uint32_t b = 0; b < list->mNumberBuffers; ++b)
            firstSamples.push_back(static_cast<const float*>(list->mBuffers[b].mData)[0]);
    }
};

VirtualAudio::SampleFunction sineSource(double frequency, double rate, float amplitude = 0.5f)
{
    return [=](std::uint32_t, std::uint32_t frame) {
        return amplitude * float(std::sin(2 * M_PI * frequency * frame / rate));
    };
}

double seconds(const Decoded& d)
{
    return double(d.frames()) / d.fileFormat.mSampleRate;
}

// Waits up to `limit` for `done`; whether it came.
template <typename Condition> bool waitFor(Condition done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);  // the recordings' overviews
        audio = VirtualAudio::install();
    }
    void TearDown() override { setAudioBackend(nullptr); }
    std::string file(const std::string& name) const { return dir.file(name); }

    AudioObjectID addInput(const std::string& name, std::uint32_t channels = 2, double rate = 48000)
    {
        return audio->addDevice({name, "uid:" + name, channels, 0, rate});
    }

    // Pauses the recorder on the device and, given a path, records into it.
    void arm(AudioRecordDevice& recorder, AudioObjectID id, const std::string& path = "")
    {
        recorder.pause();
        recorder.configDevice(deviceWithID(recorder, id));
        ASSERT_TRUE(recorder.device());
        if (path.empty())
            return;
        ASSERT_TRUE(recorder.recordToPath(path));
        recorder.start();
    }

    // Capture cycles, none of which may allocate: from the unit's call-back
    // through the level and into the file's queue, writing or not.
    void cycles(AudioObjectID id, int count, std::uint32_t frames, const VirtualAudio::SampleFunction& samples)
    {
        for (int i = 0; i < count; ++i) {
            alloc_count::allocations = 0;
            alloc_count::counting = true;
            const bool ran = audio->runCycle(id, frames, samples);
            alloc_count::counting = false;
            ASSERT_TRUE(ran) << "cycle " << i;
            ASSERT_EQ(alloc_count::allocations, 0) << "cycle " << i << " allocated";
        }
    }

    static std::shared_ptr<AudioRecordMicDevice> deviceWithID(AudioRecordDevice& recorder, AudioObjectID id)
    {
        for (auto& device : recorder.allAudioInputDevices())
            if (device->deviceID() == id)
                return device;
        return nullptr;
    }

    // Stops the recording and waits for its file to be complete; what the completion reported.
    static CompletedRecording stopAndComplete(AudioRecordDevice& recorder)
    {
        CompletedRecording done;
        recorder.setCompletionHandler([&done](const CompletedRecording& d) { done = d; });
        recorder.stop();
        EXPECT_TRUE(recorder.waitForCompletion(std::chrono::seconds(60)));
        recorder.setCompletionHandler(nullptr);
        return done;
    }

    VirtualAudio* audio = nullptr;  // owned by the backend slot
    TempDir dir;
};

}  // namespace

// ---------------------------------------------------------------------------
// The capture unit

// One float buffer per channel, at least two, the input's mute left as the
// user set it; a failed render drops its own cycle; nothing after close. A
// failing set-up step leaves the device closed with that step's status.
TEST_F(RecorderTest, CaptureDeliversOneFloatBufferPerChannelAndAFailedSetUpLeavesItClosed)
{
    for (const std::uint32_t channels : {1u, 2u, 4u}) {
        SCOPED_TRACE(channels);
        const AudioObjectID id = audio->addDevice({"in", "in" + std::to_string(channels), channels, 0, 48000, true});
        AudioRecordMicDevice device(id);
        CountingDelegate delegate;
        device.setDelegate(&delegate);
        device.open();
        ASSERT_TRUE(device.isOpen());
        EXPECT_TRUE(device.isMuted()) << "the user's mute stays";
        const AudioStreamBasicDescription& f = device.deviceFormat();
        EXPECT_EQ(std::tuple(f.mChannelsPerFrame, f.mFormatFlags, f.mSampleRate),
            std::tuple(std::max(channels, 2u), 41u, 48000.0));
        ASSERT_TRUE(
            audio->runCycle(id, 512, [](std::uint32_t c, std::uint32_t f) { return c == 0 ? 0.5f + f : 9.0f; }));
        EXPECT_EQ(delegate.bytes, 2048u);
        std::vector<float> first(std::max(channels, 2u), 9.0f);
        first[0] = first[channels == 1 ? 1 : 0] = 0.5f;
        EXPECT_EQ(delegate.firstSamples, first) << "mono fills both buffers";
        audio->failNext(VirtualStep::Render);
        EXPECT_TRUE(audio->runCycle(id, 128, sineSource(440, 48000)));
        EXPECT_TRUE(audio->runCycle(id, 128, sineSource(440, 48000)));
        EXPECT_EQ(delegate.calls, 2) << "a failed render drops only its own cycle";
        device.close();
        EXPECT_FALSE(audio->runCycle(id, 512, sineSource(440, 48000))) << "no call-back after close";
    }

    const AudioObjectID id = addInput("mic", 4);
    OSStatus status = 100;
    for (const VirtualStep step : {VirtualStep::Component, VirtualStep::EnableInput, VirtualStep::DisableOutput,
             VirtualStep::CurrentDevice, VirtualStep::SetInputCallback, VirtualStep::GetInputFormat,
             VirtualStep::SetOutputFormat, VirtualStep::Initialize, VirtualStep::Start}) {
        SCOPED_TRACE(int(step));
        audio->failNext(step, ++status);
        AudioRecordMicDevice device(id);
        CountingDelegate delegate;
        device.setDelegate(&delegate);
        device.open();
        device.start();  // does nothing once failed
        EXPECT_FALSE(device.isOpen());
        EXPECT_EQ(device.status(), step == VirtualStep::Component ? noErr : status) << "no unit at all: no status";
        EXPECT_FALSE(audio->runCycle(id, 256, sineSource(440, 48000)));
        EXPECT_EQ(delegate.calls, 0);
    }
    AudioRecordMicDevice device(id);
    device.open();
    EXPECT_TRUE(device.isOpen()) << "an injected failure fires once";
}

TEST_F(RecorderTest, TheListKeepsInputsInOrderWithNamesCutTo255BytesWithoutSplittingACharacter)
{
    const std::string euro = "\xE2\x82\xAC";
    // 254 ASCII bytes then a three-byte character: the byte limit falls inside it.
    addInput(std::string(254, 'a') + euro + "tail", 1);
    audio->addDevice({"speakers", "spk", 0, 2, 48000});
    addInput(std::string(252, 'b') + euro + "more", 4);
    addInput(std::string(300, 'x'));
    for (int i = 0; i < 70; ++i)
        addInput("many" + std::to_string(i));
    AudioRecordDevice recorder;
    const auto devices = recorder.allAudioInputDevices();
    ASSERT_EQ(devices.size(), 73u) << "outputs are left out, and no input beyond 64 is lost";
    std::vector<std::string> names;
    for (std::size_t i = 0; i < 3; ++i)
        names.push_back(devices[i]->deviceName());
    EXPECT_EQ(
        names, (std::vector<std::string>{std::string(254, 'a'), std::string(252, 'b') + euro, std::string(255, 'x')}));
    EXPECT_EQ(devices[1]->uniqueID(), "uid:" + std::string(252, 'b') + euro + "more");
    EXPECT_FALSE(devices[0]->isOpen()) << "listing opens nothing";
}

// ---------------------------------------------------------------------------
// The recorder

TEST_F(RecorderTest, LevelAndLengthFollowPauseStartAndStop)
{
    const AudioObjectID id = addInput("mic", 2, 44100);
    AudioRecordDevice recorder;
    EXPECT_TRUE(recorder.isStart()) << "a new recorder is not paused";
    arm(recorder, id);
    EXPECT_FALSE(recorder.isStart());

    // The level is the positive peak of the first channel, not clamped.
    for (const auto& [left, level] : std::vector<std::pair<std::vector<float>, float>>{
             {{-0.9f, 0.2f, 0.5f}, 0.5f}, {{-0.9f, -0.1f}, 0.0f}, {{1.3f}, 1.3f}}) {
        ASSERT_TRUE(audio->runCycle(id, {left, std::vector<float>(left.size(), 0.99f)}));
        EXPECT_DOUBLE_EQ(recorder.audioLevel(), double(level));
    }

    // A file that cannot be created (nor one named for no format) leaves no output, and writing on.
    EXPECT_FALSE(recorder.recordToPath(file("take.wma")));
    EXPECT_FALSE(recorder.recordToPath(file("missing/take.m4a")));
    recorder.start();
    EXPECT_TRUE(recorder.isStart());
    ASSERT_TRUE(audio->runCycle(id, 441, sineSource(1000, 44100)));
    EXPECT_EQ(recorder.audioOutput(), nullptr);
    EXPECT_EQ(recorder.audioPath(), std::nullopt);
    recorder.pause();

    const std::string path = file("take.wav");
    ASSERT_TRUE(recorder.recordToPath(path));
    EXPECT_EQ(recorder.audioPath(), path);
    cycles(id, 1, 441, sineSource(1000, 44100));
    EXPECT_EQ(recorder.audioOutput()->writedFrames(), 0) << "paused: measured, not written";
    EXPECT_GT(recorder.audioLevel(), 0.4);
    recorder.start();
    cycles(id, 200, 441, sineSource(1000, 44100));
    EXPECT_DOUBLE_EQ(recorder.audioLength(), 2.0);
    EXPECT_EQ(stopAndComplete(recorder).status, noErr);
    EXPECT_FALSE(recorder.isStart());
    EXPECT_EQ(recorder.audioPath(), std::nullopt);
    EXPECT_EQ(stopAndComplete(recorder).status, noErr) << "stopping twice is harmless";
    const Decoded decoded = decodeFile(path);
    ASSERT_EQ(decoded.frames(), 88200u);
    EXPECT_NEAR(toneAmplitude(decoded.channels[1], 1000, 44100), 0.5, 0.01);

    // What was taken in before the start is left out, to the frame; a cycle
    // stamped more than a second back is mis-stamped and written whole.
    for (const auto& [early, name] : {std::pair{0.005, "stamped.wav"}, {1.5, "misstamped.wav"}}) {
        ASSERT_TRUE(recorder.recordToPath(file(name)));
        // The start is asked for somewhere between `before` and `after`; a
        // loaded machine may take a while over it, and the frames taken in
        // meanwhile are before the start too.
        const std::uint64_t before = AudioHostTimeNow();
        audio->stampCycles(before - std::uint64_t(early * 1e9));
        recorder.start();
        const double asking = double(AudioHostTimeNow() - before) / 1e9;
        ASSERT_TRUE(audio->runCycle(id, 441, [](std::uint32_t, std::uint32_t f) { return float(f) / 1024; }));
        const double written = double(recorder.audioOutput()->writedFrames());
        if (early < 1) {
            EXPECT_LE(written, 441 - std::ceil(early * 44100) + 1) << name;
            EXPECT_GE(written, 441 - std::ceil((early + asking) * 44100) - 1) << name;
        } else {
            EXPECT_EQ(written, 441) << name;
        }
        // Once the take has begun, a cycle stamped as early is the take's all the same.
        const auto begun = recorder.audioOutput()->writedFrames();
        ASSERT_TRUE(audio->runCycle(id, 441, [](std::uint32_t, std::uint32_t f) { return float(f + 441) / 1024; }));
        audio->stampCycles(0);
        EXPECT_EQ(recorder.audioOutput()->writedFrames(), begun + 441) << name;
        stopAndComplete(recorder);
        const Decoded d = decodeFile(file(name));
        ASSERT_GT(d.frames(), 0u);
        EXPECT_EQ(d.channels[0][0], float(882 - d.frames()) / 1024) << name << ": the last frames, unbroken";
    }

    // A device reporting no sample rate keeps the length finite.
    const AudioObjectID broken = addInput("broken", 2, 0);
    arm(recorder, broken, file("zero.wav"));
    cycles(broken, 10, 256, sineSource(440, 48000));
    EXPECT_TRUE(std::isfinite(recorder.audioLength()));
    stopAndComplete(recorder);
}

TEST_F(RecorderTest, AnotherDeviceCompletesTheFileAndAFailedOneLeavesNone)
{
    const AudioObjectID loop = addInput("Vortanx System Audio");
    const AudioObjectID other = addInput("vortanx system audio");
    const AudioObjectID first = addInput("first", 4, 48000);
    const AudioObjectID second = addInput("second", 1, 44100);
    AudioRecordDevice recorder;

    // The loopback device is known by its exact name.
    arm(recorder, other);
    EXPECT_FALSE(recorder.isSystem());
    arm(recorder, loop);
    EXPECT_TRUE(recorder.isSystem());

    // Four channels at 48 kHz into a 44.1 kHz stereo file: the first two stay
    // apart through the resampler, the others are dropped. Another device
    // mid-recording completes the file and writes nothing more.
    const std::string path = file("four.wav");
    arm(recorder, first, path);
    // Whole periods in each 10 ms cycle, whose frames count from 0.
    static constexpr double freq[] = {400, 1300, 3000, 5000};
    cycles(first, 150, 480,
        [](std::uint32_t c, std::uint32_t f) { return 0.4f * float(std::sin(2 * M_PI * freq[c] * f / 48000)); });
    recorder.configDevice(deviceWithID(recorder, second));
    EXPECT_TRUE(recorder.isStart()) << "writing stays on";
    EXPECT_EQ(recorder.audioOutput(), nullptr);
    EXPECT_FALSE(audio->runCycle(first, 512, sineSource(440, 48000))) << "the old device is closed";
    EXPECT_TRUE(audio->runCycle(second, 512, sineSource(440, 44100)));
    ASSERT_TRUE(recorder.waitForCompletion(std::chrono::seconds(60)));
    const Decoded decoded = decodeFile(path);
    ASSERT_EQ(decoded.channels.size(), 2u);
    EXPECT_NEAR(seconds(decoded), 1.5, 0.001) << "everything captured before the change, and nothing after";
    for (std::size_t ch = 0; ch < 2; ++ch) {
        const std::vector<float> mid = slice(decoded.channels[ch], 4410, 39690);
        EXPECT_NEAR(toneAmplitude(mid, freq[ch], 44100), 0.4, 0.04) << ch;
        for (const double f : {freq[1 - ch], freq[2]})
            EXPECT_LT(toneAmplitude(mid, f, 44100), 0.02) << ch << " holds " << f;
    }

    // A device that vanishes mid-recording is reported, and what it captured kept.
    ASSERT_TRUE(recorder.recordToPath(file("lost.wav")));
    cycles(second, 100, 441, sineSource(1000, 44100));
    EXPECT_EQ(recorder.fault(), RecordFault::None);
    ASSERT_TRUE(audio->removeDevice(second));
    EXPECT_EQ(recorder.fault(), RecordFault::DeviceLost);
    EXPECT_FALSE(audio->runCycle(second, 441, sineSource(1000, 44100)));
    EXPECT_EQ(deviceWithID(recorder, second), nullptr);
    ASSERT_EQ(stopAndComplete(recorder).status, noErr);
    EXPECT_NEAR(seconds(decodeFile(file("lost.wav"))), 1.0, 0.001);

    // A device that fails to open leaves no device and the level as it was.
    arm(recorder, loop);
    ASSERT_TRUE(audio->runCycle(loop, {{0.25f}, {0.0f}}));
    audio->failNext(VirtualStep::Start);
    recorder.configDevice(deviceWithID(recorder, first));
    EXPECT_EQ(recorder.device(), nullptr);
    EXPECT_FALSE(recorder.isSystem());
    EXPECT_DOUBLE_EQ(recorder.audioLevel(), 0.25);
}

// Start, stop and switch outputs, devices, kept audio and the trigger on this thread while another
// thread runs capture cycles as fast as it can; run under ThreadSanitizer.
TEST_F(RecorderTest, StartStopAndSwitchWhileCaptureRuns)
{
    const AudioObjectID a = addInput("a", 2, 48000);
    const AudioObjectID b = addInput("b", 1, 44100);
    AudioRecordDevice recorder;
    arm(recorder, a);
    std::atomic<bool> done{false};
    std::atomic<long> ran{0};
    std::thread audioThread([&] {
        for (std::uint32_t n = 0; !done.load(); ++n)
            if (audio->runCycle((n & 1) ? a : b, 256, sineSource(440, 48000)))
                ran.fetch_add(1);
    });
    std::vector<std::string> files;
    for (int i = 0; i < 20; ++i) {
        const std::string path = file("stress" + std::to_string(i) + (i % 2 ? ".wav" : ".m4a"));
        ASSERT_TRUE(recorder.recordToPath(path));
        // Kept audio made and dropped, armed and not, a take begun from it or not.
        recorder.keepLast(i % 3 ? 0.05 * i : 0);
        if (i % 4 == 1)
            recorder.arm(0.1f, 256);
        recorder.start(i % 2 ? 4800 : 0);
        const long until = ran.load() + 20;
        while (ran.load() < until)
            std::this_thread::yield();
        if (i % 5 == 4)
            recorder.configDevice(deviceWithID(recorder, i % 10 == 4 ? b : a));
        else if (i % 3 == 0)
            recorder.pause();
        else if (i % 4 == 3)
            recorder.disarm();
        if (recorder.audioOutput() && recorder.audioOutput()->writedFrames() > 0)
            files.push_back(path);
        recorder.stop();
    }
    done.store(true);
    audioThread.join();
    recorder.configDevice(nullptr);
    ASSERT_TRUE(recorder.waitForCompletion(std::chrono::seconds(120)));
    EXPECT_FALSE(files.empty());
    for (const auto& path : files)
        EXPECT_EQ(decodeFile(path).status, noErr) << path;
}

// A stall the queue could not ride out costs frames that are counted as
// lost, not written; stop() waits out a write under way before the file is
// handed on to be completed.
TEST_F(RecorderTest, RefusedFramesAreLostNotWrittenAndStopWaitsOutAWriteUnderWay)
{
    const AudioObjectID id = addInput("mic", 2, 44100);
    AudioRecordDevice recorder;
    const std::string path = file("stall.wav");
    arm(recorder, id, path);
    auto gate = std::make_shared<FileGate>();
    ASSERT_TRUE(GatedFile::install(recorder.audioOutput(), gate));
    cycles(id, 50, 441, sineSource(1000, 44100));
    gate->refuse = 30;
    cycles(id, 80, 441, sineSource(1000, 44100));
    EXPECT_EQ(recorder.audioOutput()->writedFrames(), 100 * 441);
    EXPECT_DOUBLE_EQ(recorder.audioLength(), 1.0);
    EXPECT_EQ(recorder.lostFrames(), 30 * 441);
    EXPECT_EQ(recorder.fault(), RecordFault::None) << "the recording goes on";

    CompletedRecording done;
    recorder.setCompletionHandler([&done](const CompletedRecording& d) { done = d; });
    gate->hold = true;
    std::thread audioThread([&] { audio->runCycle(id, 441, sineSource(1000, 44100)); });
    while (!gate->insideWrite)
        std::this_thread::yield();
    std::atomic<bool> stopped{false};
    std::thread mainThread([&] {
        recorder.stop();
        stopped = true;
    });
    // A stop that does not wait returns at once.
    EXPECT_FALSE(waitFor([&] { return stopped.load(); }, std::chrono::milliseconds(100)))
        << "stop() returned while the audio thread was inside a write";
    EXPECT_FALSE(gate->disposed);
    gate->hold = false;
    audioThread.join();
    mainThread.join();
    ASSERT_TRUE(recorder.waitForCompletion(std::chrono::seconds(60)));
    EXPECT_TRUE(gate->disposed);
    EXPECT_FALSE(gate->disposedDuringWrite);
    EXPECT_EQ(done.status, noErr);
    EXPECT_EQ(done.writedFrames, 101 * 441);
    EXPECT_EQ(done.lostFrames, 30 * 441);
    EXPECT_EQ(decodeFile(path).frames(), 101u * 441) << "the file holds what the recorder counted";
    recorder.setCompletionHandler(nullptr);
    ASSERT_TRUE(recorder.recordToPath(file("next.wav")));
    EXPECT_EQ(recorder.lostFrames(), 0) << "a new file starts with nothing lost";
}

// Files are completed one after another on a thread of their own, while
// stop() returns at once. A rewrite that fails keeps the fragmented file,
// which plays and holds the whole recording: no failure. A file deleted
// under the recording holds nothing: that is a failure.
TEST_F(RecorderTest, CompletionRunsInOrderOnItsOwnThreadAndJudgesWhatTheFileHolds)
{
    const AudioObjectID id = addInput("mic", 2, 48000);
    AudioRecordDevice recorder;
    arm(recorder, id);
    auto record = [&](
                      const std::string& path, const std::function<void()>& beforeStop = [] {}) {
        ASSERT_TRUE(recorder.recordToPath(path));
        recorder.start();
        cycles(id, 200, 480, sineSource(440, 48000));
        beforeStop();
        recorder.stop();
    };
    // The first file's report holds the completion thread until the test lets it go.
    std::atomic<bool> release{false};
    std::atomic<int> reported{0};
    std::vector<CompletedRecording> done;
    std::thread::id completionThread;
    recorder.setCompletionHandler([&](const CompletedRecording& d) {
        completionThread = std::this_thread::get_id();
        done.push_back(d);
        reported.fetch_add(1);
        while (!release)
            std::this_thread::yield();
    });
    const std::string first = file("first.m4a"), second = file("second.m4a");
    const std::string kept = file("kept.m4a"), gone = file("gone.m4a");
    record(first);
    while (reported == 0)
        std::this_thread::yield();
    record(second);
    EXPECT_TRUE(recorder.isCompleting());
    // The writer thread may still be draining: give it time to cut a fragment.
    EXPECT_TRUE(waitFor([&] { return boxCount(second, "moof") > 0; }, std::chrono::seconds(10)))
        << "stop() left the rewrite to the completion thread";
    EXPECT_EQ(reported, 1) << "the second file is not complete yet";
    release = true;
    // A file no one may write is not replaced: the rewrite fails.
    record(kept, [&] { ::chmod(kept.c_str(), 0444); });
    record(gone, [&] { fs::remove(gone); });
    ASSERT_TRUE(recorder.waitForCompletion(std::chrono::seconds(60)));
    EXPECT_FALSE(recorder.isCompleting());
    EXPECT_NE(completionThread, std::this_thread::get_id());
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done[0].path, first);
    EXPECT_EQ(done[1].path, second);
    for (const CompletedRecording& d : {done[0], done[1], done[2]}) {
        EXPECT_EQ(d.status, noErr) << d.path;
        EXPECT_EQ(d.writedFrames, 200 * 480);
        EXPECT_NEAR(seconds(decodeFile(d.path)), 2.0, 0.03);
    }
    EXPECT_EQ(boxCount(first, "moof") + boxCount(second, "moof"), 0u) << "completed into ordinary files";
    EXPECT_GT(boxCount(kept, "moof"), 0u) << "the rewrite did not fail";
    EXPECT_NE(done[3].status, noErr);
}
