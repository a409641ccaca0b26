// The recorder against a real (private) sound server: a tone played into a
// null sink is recorded from its monitor into real files.
#include "AudioRecord/AudioRecordDevice.h"
#include "support/DecodedFile.h"
#include "support/PulseServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::PulseServerEnvironment;

namespace {

class RecordIntegration : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/traytape-record-XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::shared_ptr<AudioRecordMicDevice> device(AudioRecordDevice& recorder, const std::string& uid)
    {
        for (auto& d : recorder.allAudioInputDevices())
            if (d->uniqueID() == uid)
                return d;
        return nullptr;
    }

    // Waits until the recorder has written `seconds` of audio, or fails after a generous timeout.
    static bool waitForLength(const AudioRecordDevice& recorder, double seconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds + 10);
        while (recorder.audioLength() < seconds) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    fs::path dir;
};

}  // namespace

TEST_F(RecordIntegration, ToneFromASinkMonitorIsRecordedIntoWavAndM4a)
{
    auto& server = PulseServerEnvironment::server();
    struct Case {
        std::uint32_t rate;
        const char* extension;
    };
    for (const Case c : {Case{44100, "wav"}, Case{44100, "m4a"}, Case{48000, "wav"}, Case{48000, "m4a"}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " " + c.extension);
        const std::string sink = "rec" + std::to_string(c.rate);
        const auto module = server.loadNullSink({sink, c.rate, 2, "Record test " + std::to_string(c.rate)});
        ASSERT_TRUE(module);
        auto tone = server.playTone(sink, 1000, 0.5, c.rate);

        AudioRecordDevice recorder;
        recorder.pause();
        auto monitor = device(recorder, sink + ".monitor");
        ASSERT_TRUE(monitor);
        recorder.configDevice(monitor);
        ASSERT_TRUE(recorder.device());
        EXPECT_EQ(recorder.device()->deviceFormat().mSampleRate, c.rate);
        // The level follows the tone before any recording starts.
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (recorder.audioLevel() < 0.3 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_NEAR(recorder.audioLevel(), 0.5, 0.05);

        const std::string path = (dir / (sink + "." + c.extension)).string();
        ASSERT_TRUE(recorder.recordToPath(path));
        recorder.start();
        ASSERT_TRUE(waitForLength(recorder, 2.0));
        EXPECT_EQ(recorder.fault(), RecordFault::None);
        const double written = recorder.audioLength();
        OSStatus completed = -1;
        recorder.setCompletionHandler([&](const CompletedRecording& done) { completed = done.status; });
        recorder.stop();
        recorder.configDevice(nullptr);
        ASSERT_TRUE(recorder.waitForCompletion(60s));
        EXPECT_EQ(completed, noErr);
        tone.reset();
        server.unloadModule(*module);

        const DecodedFile decoded = decodeFile(path);
        ASSERT_TRUE(decoded.ok);
        EXPECT_EQ(decoded.sampleRate, 44100);
        ASSERT_EQ(decoded.channels.size(), 2u);
        EXPECT_NEAR(decoded.seconds(), written, 0.03);
        for (int ch = 0; ch < 2; ++ch) {
            const auto& samples = decoded.channels[ch];
            EXPECT_NEAR(toneAmplitude(samples, 44100, 1000, 4410, samples.size() - 4410), 0.5, 0.05);
            EXPECT_LT(toneAmplitude(samples, 44100, 1500, 4410, samples.size() - 4410), 0.02);
        }
    }
}
