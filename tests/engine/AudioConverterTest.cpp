// The export converter on real files, and the fade envelope it shares with
// the preview. The sources are ramps whose samples name their own frame
// (frame / 2^24, exact through 32-bit PCM), so every exported sample tells
// which source frame it came from and by what gain it was scaled.
#include "Control/AudioConverter.h"
#include "ExtAudioFileTestHelpers.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>

using namespace eaf_test;
namespace fs = std::filesystem;

namespace {

constexpr double kRampScale = 16777216.0;  // 2^24

// Left carries +frame / 2^24, right -frame / 2^24.
std::string writeRamp(const TempDir& dir, const std::string& name, double rate, double seconds)
{
    std::vector<float> left(std::size_t(rate * seconds)), right(left.size());
    for (std::size_t i = 0; i < left.size(); ++i)
        right[i] = -(left[i] = float(double(i) / kRampScale));
    EXPECT_EQ(writeStereoFile(dir.file(name), rate, left, right), noErr);
    return dir.file(name);
}

struct CountingDelegate : AudioConverterDelegate {
    void finishAudioConverter() override { ++finished; }
    int finished = 0;
};

AudioConvertFailure runExport(AudioConverter& converter, const std::string& source, const std::string& destination,
    FadeEnvelope range, std::int32_t format = 0)
{
    converter.setSourceAudioPath(source);
    converter.setExportAudioPath(destination);
    converter.setTrimStartTime(range.trimStart);
    converter.setTrimEndTime(range.trimEnd);
    converter.setFadeInTime(range.fadeIn);
    converter.setFadeOutTime(range.fadeOut);
    converter.setAudioFromat(format);
    converter.startAudioConvert();
    return converter.failure();
}

// The source frame an exported ramp sample came from.
double frameOf(float sample)
{
    return double(sample) * kRampScale;
}

// How many files the folder holds: a temporary file left behind shows.
long filesIn(const std::string& folder)
{
    return long(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class AudioConverterTest : public testing::Test {
protected:
    static void SetUpTestSuite() { ramp = writeRamp(*(rampDir = new TempDir), "ramp.wav", 44100, 40); }
    static void TearDownTestSuite() { delete rampDir; }

    static inline TempDir* rampDir = nullptr;
    static inline std::string ramp;
    TempDir dir;
    AudioConverter converter;
    CountingDelegate delegate;
};

}  // namespace

TEST(FadeEnvelope, RampsUpFromTheTrimStartAndDownToTheTrimEndTheFadeInWinning)
{
    struct Case {
        FadeEnvelope envelope;
        float position, gain;
    };
    const FadeEnvelope both{10, 20, 2, 1}, overlap{0, 6, 5, 5}, outOnly{0, 30, 0, 3}, inOnly{0, 30, 2, 0};
    const Case cases[] = {{both, 10, 0}, {both, 11, 0.5F}, {both, 12, 1}, {both, 15, 1}, {both, 19.5F, 0.5F},
        {both, 20, 0}, {both, 5, 1}, {both, 21, 1}, {overlap, 4, 0.8F}, {outOnly, 0, 1}, {outOnly, 28.5F, 0.5F},
        {inOnly, 29.9F, 1}, {{0, 30, 0, 0}, 0, 1}};
    // In the overlap the fade-in's ramp applies (0.8), not the fade-out's (0.4).
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(c.envelope.gainAt(c.position), c.gain) << "case " << &c - cases;
}

TEST_F(AudioConverterTest, TheRangeStartsAtTheTrimStartEndsOneBlockPastTheMarginAndIsFadedPerBlock)
{
    converter.setDelegate(&delegate);
    const std::string out = dir.file("out.wav");
    std::ofstream(out) << "an older export";
    // 10 to 20 s with a 3 s fade-out: entered at frame 441 000, ended at the
    // first block boundary at or after 19.9 s; the first block unscaled, a
    // later one by the envelope at its first frame, both channels alike.
    ASSERT_EQ(runExport(converter, ramp, out, {10, 20, 0, 3}), AudioConvertFailure::None) << converter.failureText();
    Decoded d = decodeFile(out);
    ASSERT_EQ(d.frames(), 436736u);  // ceil((19.9 - 10) * 44100 / 512) blocks
    EXPECT_EQ(converter.framesToDo(), 436736);
    EXPECT_EQ(d.fileFormat.mBitsPerChannel, 32u);
    EXPECT_EQ(std::pair(frameOf(d.channels[0][0]), frameOf(d.channels[0][511])), std::pair(441000.0, 441511.0));
    const std::size_t k = 512 * 700;
    for (std::size_t i = k; i < k + 512; ++i) {
        ASSERT_NEAR(d.channels[0][i] / float((441000 + i) / kRampScale), (20 - (441000 + k) / 44100.0) / 3, 1e-4) << i;
        ASSERT_EQ(d.channels[1][i], -d.channels[0][i]) << "both channels kept as recorded, at " << i;
    }
    // A trim end within the margin of the start: exactly one block.
    ASSERT_EQ(runExport(converter, ramp, out, {5, 5.05F}), AudioConvertFailure::None);
    EXPECT_EQ(decodeFile(out).frames(), 512u);

    // The fade-in starts at the first exported frame, even where the trim
    // start is no whole frame: that block is silent, the next one not.
    ASSERT_EQ(runExport(converter, ramp, out, {1.00001F, 4, 2}), AudioConvertFailure::None);
    d = decodeFile(out);
    ASSERT_GT(d.frames(), 1024u);
    for (std::size_t i = 0; i < 512; ++i)
        ASSERT_EQ(d.channels[0][i], 0.0F) << i;
    EXPECT_NEAR(d.channels[0][512] / float((44100 + 512) / kRampScale), 512 / 44100.0 / 2, 1e-4);
    EXPECT_EQ(delegate.finished, 3);
    EXPECT_EQ(filesIn(dir.path()), 1) << "no temporary file is left behind";

    // A source of another rate is entered at the trim start's time.
    ASSERT_EQ(runExport(converter, writeRamp(dir, "48k.wav", 48000, 15), out, {10, 11}), AudioConvertFailure::None);
    d = decodeFile(out);
    ASSERT_EQ(d.frames(), std::size_t(std::ceil(0.9 * 44100 / 512)) * 512);
    // Past the resampler's first few frames the ramp reads as 48 kHz frames.
    EXPECT_NEAR(frameOf(d.channels[0][2000]), 480000 + 2000 * 48000.0 / 44100, 3);
}

// RLIMIT_FSIZE makes writes past the limit fail as a full disk would:
// part-way through a long export, or (one block of M4A, held in the muxer's
// buffer) only when the file is completed.
TEST_F(AudioConverterTest, AFailureLeavesTheDestinationAsItWas)
{
    converter.setDelegate(&delegate);
    const std::string garbage = dir.file("garbage.wav");
    std::ofstream(garbage) << "this is not audio";
    const std::string source = dir.file("source.wav");
    fs::copy_file(ramp, source);
    fs::create_hard_link(source, dir.file("link.wav"));
    const std::string kept = dir.file("kept.wav");
    const std::string keptBytes = "an export the user wants to keep";
    std::ofstream(kept) << keptBytes;
    using F = AudioConvertFailure;
    const FadeEnvelope whole{0, 30, 1, 1};
    // The ramp is 40 s long: a start there is past its last frame.
    const std::tuple<std::string, std::string, FadeEnvelope, F> cases[]
        = {{dir.file("missing.wav"), kept, whole, F::NoSource}, {garbage, kept, whole, F::NoSource},
            {dir.path(), kept, whole, F::NoSource}, {source, source, whole, F::SameFile},
            {source, dir.file("link.wav"), whole, F::SameFile},
            {source, dir.file("no folder/out.wav"), whole, F::CannotCreate}, {source, kept, {40, 45}, F::NoAudio},
            {source, kept, {5, 5}, F::NoAudio}, {source, kept, {6, 5}, F::NoAudio}};
    for (const auto& [from, to, fades, failure] : cases) {
        EXPECT_EQ(runExport(converter, from, to, fades), failure)
            << from << " -> " << to << " from " << fades.trimStart;
        EXPECT_NE(converter.status(), noErr);
        EXPECT_FALSE(converter.failureText().empty());
    }
    EXPECT_EQ(delegate.finished, 0) << "an export that never started is not reported as finished";


    // A full disk, in a child whose file size is limited.
    const std::tuple<int, FadeEnvelope, rlim_t> full[]
        = {{0, {0, 30}, 64 * 1024}, {1, {0, 30}, 64 * 1024}, {1, {5, 5.05F}, 1000}};
    for (const auto& [format, range, limit] : full) {
        if (format == 1 && !haveAac())
            continue;
        const std::string old = dir.file(format == 0 ? "kept.wav" : "kept.m4a");
        std::ofstream(old) << keptBytes;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit size{limit, limit};
            CountingDelegate told;
            AudioConverter child;
            child.setDelegate(&told);
            const bool failed = ::setrlimit(RLIMIT_FSIZE, &size) == 0
                && runExport(child, ramp, old, range, format) == F::WriteFailed
                && child.status() == kAudioFileDiskFullError
                && told.finished == 1
                // A long export stops writing at the failure.
                && !(child.framesDone() >= child.framesToDo() && child.framesToDo() > 512 * 8);
            ::_exit(failed ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << format << " up to " << range.trimEnd << " s";
        EXPECT_EQ(fileBytes(old), keptBytes);
    }
    fs::remove(dir.file("kept.m4a"));
    EXPECT_EQ(fileBytes(kept), keptBytes);
    EXPECT_EQ(fileBytes(source), fileBytes(ramp));
    EXPECT_EQ(filesIn(dir.path()), 4) << "no temporary file is left behind";
}
