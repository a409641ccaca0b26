// The export converter on real files. The sources are ramps whose samples
// name their own frame (frame / 2^24, exact through 32-bit PCM), so every
// exported sample tells which source frame it came from and by what gain it
// was scaled.
#include "Control/AudioConverter.h"
#include "ExtAudioFileTestHelpers.h"
#include "support/Signal.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace eaf_test;
namespace fs = std::filesystem;

namespace {

constexpr double kRampScale = 16777216.0;  // 2^24

// Left carries +frame / 2^24, right -frame / 2^24.
std::string writeRamp(const TempDir& dir, const std::string& name, double rate, double seconds)
{
    const std::string path = dir.file(name);
    const auto frames = std::size_t(rate * seconds);
    std::vector<float> left(frames), right(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        left[i] = float(double(i) / kRampScale);
        right[i] = -left[i];
    }
    EXPECT_EQ(writeStereoFile(path, rate, left, right), noErr);
    return path;
}

struct CountingDelegate : AudioConverterDelegate {
    void finishAudioConverter() override { ++finished; }
    int finished = 0;
};

struct Export {
    float start = 0, end = 0, fadeIn = 0, fadeOut = 0;
    std::int32_t format = 0;
};

AudioConvertFailure runExport(
    AudioConverter& converter, const std::string& source, const std::string& destination, const Export& e)
{
    converter.setSourceAudioPath(source);
    converter.setExportAudioPath(destination);
    converter.setTrimStartTime(e.start);
    converter.setTrimEndTime(e.end);
    converter.setFadeInTime(e.fadeIn);
    converter.setFadeOutTime(e.fadeOut);
    converter.setAudioFromat(e.format);
    converter.startAudioConvert();
    return converter.failure();
}

// The source frame an exported ramp sample came from, and its gain.
double frameOf(float sample)
{
    return double(sample) * kRampScale;
}

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class AudioConverterTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        rampDir = new TempDir;
        ramp = writeRamp(*rampDir, "ramp.wav", 44100, 40);
    }
    static void TearDownTestSuite() { delete rampDir; }

    static inline TempDir* rampDir = nullptr;
    static inline std::string ramp;
    TempDir dir;
    AudioConverter converter;
    CountingDelegate delegate;
};

}  // namespace

TEST_F(AudioConverterTest, TrimEntersAtTheStartFrameAndEndsAtTheBlockAfterTheMargin)
{
    converter.setDelegate(&delegate);
    const std::string out = dir.file("out.wav");
    std::ofstream(out) << "an older export";

    // 0 to 30 s: the first block boundary at or after 1 318 590 is 2576 blocks in.
    ASSERT_EQ(runExport(converter, ramp, out, {0, 30}), AudioConvertFailure::None) << converter.failureText();
    EXPECT_EQ(delegate.finished, 1);
    Decoded d = decodeFile(out);
    ASSERT_EQ(d.status, noErr);
    EXPECT_EQ(d.fileFormat.mSampleRate, 44100);
    EXPECT_EQ(d.fileFormat.mChannelsPerFrame, 2u);
    EXPECT_EQ(d.fileFormat.mBitsPerChannel, 32u);
    ASSERT_EQ(d.frames(), 1318912u);
    EXPECT_EQ(converter.writtenFrames(), 1318912);
    EXPECT_EQ(converter.framesToDo(), 1318912);
    for (std::size_t k : {std::size_t(0), std::size_t(1), std::size_t(700000), d.frames() - 1}) {
        EXPECT_EQ(frameOf(d.channels[0][k]), double(k)) << k;
        EXPECT_EQ(d.channels[1][k], -d.channels[0][k]) << "both channels kept as recorded, at " << k;
    }

    // Trim start 10 s: the source is entered at frame 441 000.
    ASSERT_EQ(runExport(converter, ramp, out, {10, 12}), AudioConvertFailure::None);
    d = decodeFile(out);
    ASSERT_GT(d.frames(), 0u);
    EXPECT_EQ(frameOf(d.channels[0][0]), 441000.0);
    EXPECT_EQ(d.frames(), 83968u);  // ceil((11.9 - 10) * 44100 / 512) blocks

    // A trim end within the margin of the start, or equal to it: exactly one block.
    for (float end : {5.0f, 5.05f}) {
        ASSERT_EQ(runExport(converter, ramp, out, {5, end}), AudioConvertFailure::None);
        d = decodeFile(out);
        EXPECT_EQ(d.frames(), 512u) << end;
        EXPECT_EQ(converter.framesToDo(), 512) << end;
        EXPECT_EQ(frameOf(d.channels[0][0]), 220500.0);
    }
    EXPECT_EQ(delegate.finished, 4);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.wav"}) << "no temporary file is left behind";

    // A source of another rate is entered at the trim start's time.
    const std::string source = writeRamp(dir, "48k.wav", 48000, 15);
    ASSERT_EQ(runExport(converter, source, out, {10, 11}), AudioConvertFailure::None);
    d = decodeFile(out);
    EXPECT_EQ(d.fileFormat.mSampleRate, 44100);
    ASSERT_EQ(d.frames(), std::size_t(std::ceil(0.9 * 44100 / 512)) * 512);
    // Past the resampler's first few frames the ramp reads as 48 kHz frames.
    EXPECT_NEAR(frameOf(d.channels[0][2000]), 480000 + 2000 * 48000.0 / 44100, 3);
    EXPECT_NEAR(frameOf(d.channels[1][2000]), -(480000 + 2000 * 48000.0 / 44100), 3);
}

TEST_F(AudioConverterTest, FadesScaleEachBlockByOneGainOfTheEnvelope)
{
    const std::string out = dir.file("faded.wav");
    // The gain of the block starting at exported frame k, with its first
    // frame standing for all of them.
    auto blockGain = [](const Decoded& d, std::size_t startFrame, std::size_t k) {
        const float first = d.channels[0][k] / float(double(startFrame + k) / kRampScale);
        for (std::size_t i = k; i < k + 512 && i < d.frames(); ++i)
            EXPECT_NEAR(d.channels[0][i] / float(double(startFrame + i) / kRampScale), first, 1e-4) << i;
        return first;
    };

    // A 2 s fade-in: the block t seconds in is scaled by t / 2, the first one silent.
    ASSERT_EQ(runExport(converter, ramp, out, {0, 30, 2}), AudioConvertFailure::None);
    Decoded d = decodeFile(out);
    ASSERT_EQ(d.frames(), 1318912u);
    for (std::size_t i = 0; i < 512; ++i)
        ASSERT_EQ(d.channels[0][i], 0.0f) << i;
    for (std::size_t block : {1, 10, 86, 172}) {
        const std::size_t k = block * 512;
        EXPECT_NEAR(blockGain(d, 0, k), std::min(1.0, k / 44100.0 / 2), 1e-4) << block;
    }

    // A 5 s fade-out: the last block starts at 1 318 400 and ends at about 0.0209, not 0.
    ASSERT_EQ(runExport(converter, ramp, out, {0, 30, 0, 5}), AudioConvertFailure::None);
    d = decodeFile(out);
    ASSERT_EQ(d.frames(), 1318912u);
    EXPECT_NEAR(blockGain(d, 0, 1318400), (30 - 1318400 / 44100.0) / 5, 1e-4);
    EXPECT_NEAR(blockGain(d, 0, 1318400), 0.0209, 1e-4);
    EXPECT_EQ(frameOf(d.channels[0][100]), 100.0) << "no fade-in: the first block passes unchanged";

    // Fade-in 0, fade-out 3 from a later start: the first block is not scaled.
    ASSERT_EQ(runExport(converter, ramp, out, {10, 20, 0, 3}), AudioConvertFailure::None);
    d = decodeFile(out);
    EXPECT_EQ(frameOf(d.channels[0][0]), 441000.0);
    EXPECT_NEAR(blockGain(d, 441000, 512 * 700), (20 - (441000 + 512 * 700) / 44100.0) / 3, 1e-4);

    // Fades longer than the range overlap: there the fade-in's ramp applies.
    ASSERT_EQ(runExport(converter, ramp, out, {0, 6, 5, 5}), AudioConvertFailure::None);
    d = decodeFile(out);
    const std::size_t k = 512 * 345;  // 4.005 s in, where the fade-out alone would give 0.4
    EXPECT_NEAR(blockGain(d, 0, k), k / 44100.0 / 5, 1e-4);

    // The fade-in starts at the first exported frame: 1.00001 s is no whole
    // frame, and measured from the start time instead, the first block would
    // sit just before the fade-in and play at full volume.
    ASSERT_EQ(runExport(converter, ramp, out, {1.00001f, 4, 2}), AudioConvertFailure::None);
    d = decodeFile(out);
    ASSERT_GT(d.frames(), 1024u);
    for (std::size_t i = 0; i < 512; ++i)
        ASSERT_EQ(d.channels[0][i], 0.0f) << i;
    EXPECT_NEAR(d.channels[0][512] / float((44100 + 512) / kRampScale), 512 / 44100.0 / 2, 1e-4);
}

TEST_F(AudioConverterTest, AFailureLeavesTheDestinationAsItWas)
{
    converter.setDelegate(&delegate);
    const std::string garbage = dir.file("garbage.wav");
    std::ofstream(garbage) << "this is not audio";
    const std::string source = dir.file("source.wav");
    fs::copy_file(ramp, source);
    const std::string sourceBytes = fileBytes(source);
    const std::string link = dir.file("link.wav");
    fs::create_hard_link(source, link);
    const std::string kept = dir.file("kept.wav");
    const std::string keptBytes = "an export the user wants to keep";
    std::ofstream(kept) << keptBytes;

    struct Case {
        std::string source, destination;
        AudioConvertFailure failure;
    };
    for (const Case& c : std::vector<Case>{
             {dir.file("missing.wav"), kept, AudioConvertFailure::NoSource},
             {garbage, kept, AudioConvertFailure::NoSource},
             {dir.path(), kept, AudioConvertFailure::NoSource},
             {source, source, AudioConvertFailure::SameFile},
             {source, link, AudioConvertFailure::SameFile},
             {source, dir.file("no folder/out.wav"), AudioConvertFailure::CannotCreate},
         }) {
        SCOPED_TRACE(c.source + " -> " + c.destination);
        EXPECT_EQ(runExport(converter, c.source, c.destination, {0, 30, 1, 1}), c.failure);
        EXPECT_NE(converter.status(), noErr);
        EXPECT_FALSE(converter.failureText().empty());
    }
    EXPECT_EQ(delegate.finished, 0) << "an export that never started is not reported as finished";
    EXPECT_EQ(fileBytes(kept), keptBytes);
    EXPECT_EQ(fileBytes(source), sourceBytes);
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"garbage.wav", "kept.wav", "link.wav", "source.wav"}));
}

// RLIMIT_FSIZE makes the writes past the limit fail as a full disk would:
// part-way through a long export, or (one block of M4A, held in the muxer's
// buffer) only when the file is completed.
TEST_F(AudioConverterTest, AWriteFailureEndsTheExportAndKeepsTheOldFile)
{
    struct Case {
        std::int32_t format;
        Export range;
        rlim_t limit;
    };
    for (const Case& c : {Case{0, {0, 30}, 64 * 1024}, Case{1, {0, 30}, 64 * 1024}, Case{1, {5, 5}, 1000}}) {
        if (c.format == 1 && !haveAac())
            continue;
        SCOPED_TRACE(testing::Message() << c.format << " " << c.range.end << " " << c.limit);
        const std::string kept = dir.file(c.format == 0 ? "kept.wav" : "kept.m4a");
        std::ofstream(kept) << "an export the user wants to keep";
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{c.limit, c.limit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                ::_exit(30);
            CountingDelegate told;
            AudioConverter child;
            child.setDelegate(&told);
            Export range = c.range;
            range.format = c.format;
            if (runExport(child, ramp, kept, range) != AudioConvertFailure::WriteFailed)
                ::_exit(31);
            if (child.status() != kAudioFileDiskFullError)
                ::_exit(32);
            if (child.framesDone() >= child.framesToDo() && child.framesToDo() > 512 * 8)
                ::_exit(33);  // a long export went on writing after the failure
            ::_exit(told.finished == 1 ? 0 : 34);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's exit codes above";
        EXPECT_EQ(fileBytes(kept), "an export the user wants to keep");
    }
    for (const std::string& name : namesIn(dir.path()))
        EXPECT_NE(name.front(), '.') << "temporary file left: " << name;
}

TEST_F(AudioConverterTest, CompressedExportsStateExactlyTheFramesWrittenAndKeepBothChannels)
{
    if (!haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    const std::string source = dir.file("tones.wav");
    ASSERT_EQ(writeToneFile(source, 6), noErr);
    for (const auto& [format, name] : {std::pair{1, "out.m4a"}, std::pair{2, "out.caf"}}) {
        SCOPED_TRACE(name);
        const std::string out = dir.file(name);
        ASSERT_EQ(runExport(converter, source, out, {1, 4.3f, 0.5f, 0.5f, format}), AudioConvertFailure::None);
        const std::int64_t written = converter.writtenFrames();
        EXPECT_EQ(written, 141312);  // ceil((4.2 - 1) * 44100 / 512) blocks
        const Decoded d = decodeFile(out);
        ASSERT_EQ(d.status, noErr);
        EXPECT_EQ(d.fileFormat.mFormatID, kAudioFormatMPEG4AAC);
        if (format == 1) {
            EXPECT_EQ(d.lengthFrames, written);
            EXPECT_EQ(std::int64_t(d.frames()), written);
        } else {
            // Readers (ours and ffmpeg alike) hand out a CAF's 1024 priming frames too.
            EXPECT_NEAR(double(d.frames()), double(written), 1024);
        }
        if (format == 1 && haveTool("ffprobe")) {
            const auto probe = testsupport::runCommand({"ffprobe", "-v", "error", "-select_streams", "a:0",
                "-show_entries", "stream=duration", "-of", "default=nw=1:nk=1", out});
            ASSERT_TRUE(probe.ok()) << probe.errors;
            const std::string duration = probe.output;
            EXPECT_NEAR(std::stod(duration), double(written) / 44100, 1e-6) << duration;
        }
        // Left still carries the 1 kHz tone and right the 500 Hz one.
        const auto mid = signal_test::slice(d.channels[0], 44100, 44100);
        const auto midRight = signal_test::slice(d.channels[1], 44100, 44100);
        EXPECT_NEAR(signal_test::toneAmplitude(mid, 1000, 44100), 0.5, 0.05);
        EXPECT_LT(signal_test::toneAmplitude(mid, 500, 44100), 0.01);
        EXPECT_NEAR(signal_test::toneAmplitude(midRight, 500, 44100), 0.5, 0.05);
        EXPECT_LT(signal_test::toneAmplitude(midRight, 1000, 44100), 0.01);
    }
}
