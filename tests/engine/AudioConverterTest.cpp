// The export converter on real files, the fade envelope it shares with the
// preview, and the loudness meter and limiter of a normalised export. The
// sources are ramps whose samples name their own frame (frame / 2^24, exact
// through 32-bit PCM), so every exported sample tells which source frame it
// came from and by what gain it was scaled; the loudness cases use noise,
// tones and bursts, judged by the meter that the reference signals below
// hold to BS.1770's figures.
#include "Export/AudioConverter.h"
#include "ExtAudioFileTestHelpers.h"
#include "support/Signal.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>
#include <numbers>
#include <random>

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

struct CountingConverterDelegate : AudioConverterDelegate {
    void finishAudioConverter() override { ++finished; }
    int finished = 0;
};

AudioConvertFailure runExport(AudioConverter& converter, const std::string& source, const std::string& destination,
    FadeEnvelope range, std::string_view format = "wav", std::optional<double> loudness = {})
{
    converter.setLoudnessTarget(loudness);
    converter.setSourceAudioPath(source);
    converter.setExportAudioPath(destination);
    converter.setTrimStartTime(range.trimStart);
    converter.setTrimEndTime(range.trimEnd);
    converter.setFadeInTime(range.fadeIn);
    converter.setFadeOutTime(range.fadeOut);
    converter.setAudioFromat(*audioFormatNamed(format));
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

double loudnessOf(const std::vector<float>& left, const std::vector<float>& right, double rate = 44100)
{
    loudness::LoudnessMeter meter(rate);
    meter.add(left.data(), right.data(), left.size());
    return meter.integrated().value_or(-HUGE_VAL);
}

double truePeakDbOf(const std::vector<float>& left, const std::vector<float>& right)
{
    loudness::TruePeakMeter meter;
    meter.add(left.data(), right.data(), left.size());
    return loudness::gainToDb(meter.peak());
}

// Pink noise: white noise through Paul Kellett's filter, a -3 dB per octave
// slope within 0.05 dB above 10 Hz.
std::vector<float> pinkNoise(std::size_t frames, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> white(0.0, 0.1);
    std::vector<float> out(frames);
    double b[7] = {};
    for (float& sample : out) {
        const double w = white(random);
        b[0] = 0.99886 * b[0] + w * 0.0555179;
        b[1] = 0.99332 * b[1] + w * 0.0750759;
        b[2] = 0.96900 * b[2] + w * 0.1538520;
        b[3] = 0.86650 * b[3] + w * 0.3104856;
        b[4] = 0.55000 * b[4] + w * 0.5329522;
        b[5] = -0.7616 * b[5] - w * 0.0168980;
        sample = float((b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362) * 0.11);
        b[6] = w * 0.115926;
    }
    return out;
}

class AudioConverterTest : public testing::Test {
protected:
    static void SetUpTestSuite() { ramp = writeRamp(*(rampDir = new TempDir), "ramp.wav", 44100, 40); }
    static void TearDownTestSuite() { delete rampDir; }

    static inline TempDir* rampDir = nullptr;
    static inline std::string ramp;
    TempDir dir;
    AudioConverter converter;
    CountingConverterDelegate delegate;
};

}  // namespace

TEST(FadeEnvelope, RampsUpFromTheTrimStartAndDownToTheTrimEndFollowingTheLowerRamp)
{
    struct Case {
        FadeEnvelope envelope;
        float position, gain;
    };
    const FadeEnvelope both{10, 20, 2, 1}, overlap{0, 6, 5, 5}, outOnly{0, 30, 0, 3}, inOnly{0, 30, 2, 0};
    const Case cases[] = {{both, 10, 0}, {both, 11, 0.5F}, {both, 12, 1}, {both, 15, 1}, {both, 19.5F, 0.5F},
        {both, 20, 0}, {both, 5, 1}, {both, 21, 1}, {overlap, 2, 0.4F}, {overlap, 4, 0.4F}, {overlap, 3, 0.6F},
        {outOnly, 0, 1}, {outOnly, 28.5F, 0.5F}, {inOnly, 29.9F, 1}, {{0, 30, 0, 0}, 0, 1}};
    // Where the ramps overlap the lower applies: 0.4 on either side of the peak, never a jump.
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(c.envelope.gainAt(c.position), c.gain) << "case " << &c - cases;

    // Per frame, from the first to the last exported frame: both silent, and
    // no step larger than one frame's worth of the steeper ramp.
    const std::int64_t count = 6 * 44100;
    float largestStep = 0, peak = 0;
    for (std::int64_t i = 0; i + 1 < count; ++i) {
        largestStep = std::max(largestStep,
            std::abs(overlap.gainOfFrame(i + 1, count, 44100) - overlap.gainOfFrame(i, count, 44100)));
        peak = std::max(peak, overlap.gainOfFrame(i, count, 44100));
    }
    EXPECT_EQ(overlap.gainOfFrame(0, count, 44100), 0.0F);
    EXPECT_EQ(overlap.gainOfFrame(count - 1, count, 44100), 0.0F);
    EXPECT_LE(largestStep, 1.0F / (5 * 44100) + 2e-7F) << "a step of the ramp, give or take the float's rounding";
    EXPECT_NEAR(peak, 0.6F, 1e-4);
}

// Every exported sample is checked: its source frame, and the gain its own
// frame gets (0 at the first frame rising over the fade-in, falling to 0 at
// the last over the fade-out, the lower ramp where they overlap).
TEST_F(AudioConverterTest, TheFileHoldsExactlyTheTrimmedFramesEachScaledByItsOwnGain)
{
    converter.setDelegate(&delegate);
    const std::string out = dir.file("out.wav");
    std::ofstream(out) << "an older export";
    struct Case {
        FadeEnvelope range;
        std::size_t first, frames;
    };
    // A start and an end between frames go to the nearest; an end past the
    // source (40 s) stops at its last frame, and the fade-out ends there.
    const Case cases[] = {{{1, 4}, 44100, 132300}, {{10, 20, 2, 3}, 441000, 441000},
        {{float(22050.6 / 44100), float(44100.4 / 44100), 0.1F}, 22051, 22049}, {{0, 6, 5, 5}, 0, 264600},
        {{38, 45, 0, 1}, 38 * 44100, 2 * 44100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.range.trimStart) + " to " + std::to_string(c.range.trimEnd));
        ASSERT_EQ(runExport(converter, ramp, out, c.range), AudioConvertFailure::None) << converter.failureText();
        const Decoded d = decodeFile(out);
        ASSERT_EQ(d.frames(), c.frames);
        EXPECT_EQ(converter.writtenFrames(), std::int64_t(c.frames));
        EXPECT_EQ(converter.framesToDo(), std::int64_t(c.frames));
        EXPECT_EQ(d.fileFormat.mBitsPerChannel, 32u);
        const double count = double(c.frames), in = c.range.fadeIn * 44100.0, out = c.range.fadeOut * 44100.0;
        for (std::size_t i = 0; i < c.frames; ++i) {
            double gain = 1;
            if (in > 0)
                gain = std::min(gain, double(i) / in);
            if (out > 0)
                gain = std::min(gain, (count - 1 - double(i)) / out);
            const double expected = double(c.first + i) / kRampScale * gain;
            ASSERT_NEAR(d.channels[0][i], expected, 2e-8) << "frame " << i << " of " << c.frames;
            ASSERT_EQ(d.channels[1][i], -d.channels[0][i]) << "both channels kept as recorded, at " << i;
        }
    }
    EXPECT_EQ(delegate.finished, 5);
    EXPECT_EQ(filesIn(dir.path()), 1) << "no temporary file is left behind";

    // A source of another rate is entered at the trim start's time, to the frame.
    ASSERT_EQ(runExport(converter, writeRamp(dir, "48k.wav", 48000, 15), out, {10, 11}), AudioConvertFailure::None);
    const Decoded d = decodeFile(out);
    ASSERT_EQ(d.frames(), 44100u);
    // Past the resampler's first few frames the ramp reads as 48 kHz frames.
    EXPECT_NEAR(frameOf(d.channels[0][2000]), 480000 + 2000 * 48000.0 / 44100, 3);

    // At the source's own rate nothing is resampled: the 48 kHz ramp reaches
    // a float WAV sample for sample, and a 24-bit FLAC made of it another.
    using Q = AudioQuality;
    converter.setQuality({.sampleRate = Q::kSourceRate, .depth = SampleDepth::Float32});
    ASSERT_EQ(runExport(converter, dir.file("48k.wav"), out, {1, 3}), AudioConvertFailure::None);
    const Decoded exact = decodeFile(out);
    EXPECT_EQ(exact.fileFormat.mSampleRate, 48000);
    ASSERT_EQ(exact.frames(), 96000u);
    for (std::size_t i = 0; i < exact.frames(); ++i)
        ASSERT_EQ(frameOf(exact.channels[1][i]), -double(48000 + i)) << "frame " << i;
    converter.setQuality({.sampleRate = Q::kSourceRate, .depth = SampleDepth::Int24});
    ASSERT_EQ(runExport(converter, dir.file("48k.wav"), dir.file("48k.flac"), {0, 15}, "flac"),
        AudioConvertFailure::None);
    ASSERT_EQ(runExport(converter, dir.file("48k.flac"), dir.file("part.flac"), {1, 3}, "flac"),
        AudioConvertFailure::None);
    const Decoded whole = decodeFile(dir.file("48k.flac")), part = decodeFile(dir.file("part.flac"));
    ASSERT_EQ(part.frames(), 96000u);
    EXPECT_EQ(part.fileFormat.mBitsPerChannel, 24u);
    for (std::size_t c = 0; c < 2; ++c)
        EXPECT_TRUE(std::equal(part.channels[c].begin(), part.channels[c].end(), whole.channels[c].begin() + 48000));

    // One channel: the mean of the two, as a mono recording takes it.
    std::vector<float> left(44100), right(44100, 0.25F);
    for (std::size_t i = 0; i < left.size(); ++i)
        left[i] = float(double(i) / kRampScale);
    ASSERT_EQ(writeStereoFile(dir.file("mix.wav"), 44100, left, right), noErr);
    converter.setQuality({.channels = 1, .depth = SampleDepth::Float32});
    ASSERT_EQ(runExport(converter, dir.file("mix.wav"), out, {0, 1}), AudioConvertFailure::None);
    const Decoded mono = decodeFile(out);
    ASSERT_EQ(mono.channels.size(), 1u);
    ASSERT_EQ(mono.frames(), 44100u);
    for (std::size_t i = 0; i < left.size(); ++i)
        ASSERT_EQ(mono.channels[0][i], (left[i] + right[i]) * 0.5F) << "frame " << i;

    // A chosen bit rate reaches the encoder: 10 s of MP3 at a constant 128 kb/s.
    converter.setQuality({.bitRate = 128000});
    ASSERT_EQ(runExport(converter, ramp, dir.file("out.mp3"), {0, 10}, "mp3"), AudioConvertFailure::None);
    EXPECT_NEAR(double(fs::file_size(dir.file("out.mp3"))), 160000, 2000);
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
            {source, kept, {5, 5}, F::NoAudio}, {source, kept, {6, 5}, F::NoAudio},
            {source, kept, {5, float(5 + 0.4 / 44100)}, F::NoAudio}};  // no whole frame between
    for (const auto& [from, to, fades, failure] : cases) {
        EXPECT_EQ(runExport(converter, from, to, fades), failure)
            << from << " -> " << to << " from " << fades.trimStart;
        EXPECT_NE(converter.status(), noErr);
        EXPECT_FALSE(converter.failureText().empty());
    }
    // A quality the format does not take, before anything is opened.
    converter.setQuality({.depth = SampleDepth::Float32});
    EXPECT_EQ(runExport(converter, source, kept, whole, "flac"), F::Refused);
    EXPECT_EQ(converter.failureText(), ".flac takes the bit depths 24, 16 only");
    converter.setQuality({});
    EXPECT_EQ(delegate.finished, 0) << "an export that never started is not reported as finished";

    // A full disk, in a child whose file size is limited.
    const std::tuple<std::string_view, FadeEnvelope, rlim_t> full[]
        = {{"wav", {0, 30}, 64 * 1024}, {"m4a", {0, 30}, 64 * 1024}, {"m4a", {5, 5.05F}, 1000}};
    for (const auto& [format, range, limit] : full) {
        if (format == "m4a" && !haveAac())
            continue;
        const std::string old = dir.file("kept." + std::string(format));
        std::ofstream(old) << keptBytes;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit size{limit, limit};
            CountingConverterDelegate told;
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

// BS.1770's calibration and EBU Tech 3341's gating cases, at the export's
// rate and at 48 kHz, and the true peak of a tone whose peaks fall between samples.
TEST(Loudness, TheMeterReadsTheReferenceSignalsGatesTheQuietAndFindsPeaksBetweenSamples)
{
    using loudness::dbToGain;
    using signal_test::sine;
    for (const double rate : {44100.0, 48000.0}) {
        SCOPED_TRACE(rate);
        const std::vector<float> calibration = sine(997, rate, std::size_t(rate * 5), dbToGain(-23));
        EXPECT_NEAR(loudnessOf(calibration, calibration, rate), -23, 0.05);
        // -72, -36, -23, -36, -72 dBFS, the gating case's levels for a fifth
        // of its times (2, 2, 12, 2, 2 s): the blocks under -70 LUFS and
        // those 10 LU under the rest do not count (ungated, -24.3).
        std::vector<float> steps;
        for (const auto& [seconds, level] : {std::pair{2, -72}, {2, -36}, {12, -23}, {2, -36}, {2, -72}}) {
            const std::vector<float> part = sine(1000, rate, std::size_t(rate * seconds), dbToGain(level));
            steps.insert(steps.end(), part.begin(), part.end());
        }
        EXPECT_NEAR(loudnessOf(steps, steps, rate), -23, 0.1);
    }
    // Under the absolute gate throughout, there is no loudness to speak of.
    const std::vector<float> faint = sine(1000, 44100, 441000, dbToGain(-75));
    EXPECT_EQ(loudnessOf(faint, faint), -HUGE_VAL);

    // A quarter of the rate, 45 degrees off: every sample at 0.707, the
    // waveform between them at 1.0.
    const std::vector<float> between = sine(11025, 44100, 44100, 1.0, std::numbers::pi / 4);
    EXPECT_NEAR(signal_test::peak(between), dbToGain(-3.01), 1e-3);
    EXPECT_NEAR(truePeakDbOf(between, between), 0.0, 0.2);
}

// The range is measured, then written with one gain: pink noise at -30 LUFS
// lands at -16; a quiet range's samples come out exactly gained (the limiter
// never acts under the ceiling), the fades shaping its ends after the gain;
// loud bursts are brought under -1 dBTP by a gain that ramps, not clipped,
// and back to exactly the plain gain between them; silence gets no gain.
TEST_F(AudioConverterTest, ALoudnessTargetGainsTheRangeOnceAndKeepsItsTruePeaksUnderTheCeiling)
{
    using loudness::dbToGain;
    const auto gained = [&](float sample) { return sample * float(dbToGain(converter.loudness().gainDb)); };
    const std::string out = dir.file("out.wav");

    std::vector<float> left = pinkNoise(3 * 44100, 1), right = pinkNoise(3 * 44100, 2);
    const float toMinus30 = float(dbToGain(-30 - loudnessOf(left, right)));
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] *= toMinus30;
        right[i] *= toMinus30;
    }
    ASSERT_EQ(writeStereoFile(dir.file("pink.wav"), 44100, left, right), noErr);
    ASSERT_EQ(runExport(converter, dir.file("pink.wav"), out, {0, 3}, "wav", -16), AudioConvertFailure::None);
    ASSERT_TRUE(converter.loudness().measured);
    EXPECT_NEAR(*converter.loudness().measured, -30, 0.05);
    EXPECT_NEAR(converter.loudness().gainDb, 14, 0.05);
    EXPECT_EQ(converter.framesToDo(), 2 * 3 * 44100) << "measured, then written";
    Decoded d = decodeFile(out);
    ASSERT_EQ(d.frames(), left.size());
    EXPECT_NEAR(loudnessOf(d.channels[0], d.channels[1]), -16, 0.5);
    EXPECT_LE(truePeakDbOf(d.channels[0], d.channels[1]), -1.0);
    EXPECT_NEAR(converter.loudness().truePeakDb, truePeakDbOf(d.channels[0], d.channels[1]), 0.01);
    // At another rate, in one channel, the file holds the loudness asked for.
    converter.setQuality({.sampleRate = 48000, .channels = 1});
    ASSERT_EQ(runExport(converter, dir.file("pink.wav"), out, {0, 3}, "wav", -16), AudioConvertFailure::None);
    converter.setQuality({});
    d = decodeFile(out);
    loudness::LoudnessMeter mono(48000, 1);
    mono.add(d.channels[0].data(), d.channels[0].data(), d.frames());
    EXPECT_NEAR(mono.integrated().value_or(-HUGE_VAL), -16, 0.5);

    // Two tones near -33 LUFS to -26, with fades of 1 and 2 s.
    left = signal_test::sine(440, 44100, 4 * 44100, 0.02);
    right = signal_test::sine(3000, 44100, 4 * 44100, 0.01);
    ASSERT_EQ(writeStereoFile(dir.file("quiet.wav"), 44100, left, right), noErr);
    // The samples as the export reads them, its source's PCM rounding in.
    const auto asStored = [&](const std::string& name) {
        Decoded stored = decodeFile(dir.file(name));
        left = stored.channels[0];
        right = stored.channels[1];
    };
    asStored("quiet.wav");
    const FadeEnvelope faded{0, 4, 1, 2};
    ASSERT_EQ(runExport(converter, dir.file("quiet.wav"), out, faded, "wav", -26), AudioConvertFailure::None);
    EXPECT_GT(converter.loudness().gainDb, 5);
    EXPECT_FALSE(converter.loudness().limited);
    d = decodeFile(out);
    ASSERT_EQ(d.frames(), left.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
        const float fade = faded.gainOfFrame(std::int64_t(i), std::int64_t(left.size()), 44100);
        // Within the 32-bit PCM's rounding.
        ASSERT_NEAR(d.channels[0][i], gained(left[i]) * fade, 3e-10) << "frame " << i;
        ASSERT_NEAR(d.channels[1][i], gained(right[i]) * fade, 3e-10) << "frame " << i;
    }

    // 10 ms bursts of 2 kHz at 0.5 every second, over a faint 300 Hz bed: at
    // -16 LUFS the bursts' peaks would pass 0 dBFS.
    left = signal_test::sine(300, 44100, 4 * 44100, 0.01);
    for (std::size_t burst = 22050; burst < left.size(); burst += 44100)
        for (std::size_t i = 0; i < 441; ++i)
            left[burst + i] += float(0.5 * std::sin(2 * std::numbers::pi * 2000 * double(i) / 44100)
                * std::sin(std::numbers::pi * double(i) / 441) * std::sin(std::numbers::pi * double(i) / 441));
    ASSERT_EQ(writeStereoFile(dir.file("bursts.wav"), 44100, left, left), noErr);
    asStored("bursts.wav");
    ASSERT_EQ(runExport(converter, dir.file("bursts.wav"), out, {0, 4}, "wav", -16), AudioConvertFailure::None);
    EXPECT_TRUE(converter.loudness().limited);
    EXPECT_GT(signal_test::peak(left) * dbToGain(converter.loudness().gainDb), 1.0) << "gained, it would clip";
    d = decodeFile(out);
    ASSERT_EQ(d.frames(), left.size());
    EXPECT_LE(truePeakDbOf(d.channels[0], d.channels[1]), -1.0);
    EXPECT_LE(converter.loudness().truePeakDb, -1.0);
    double largestStep = 0, lowest = 1;
    for (std::size_t burst = 22050; burst < left.size(); burst += 44100) {
        // The gain each sample got, where it can be told: it ramps down and back.
        double last = NAN;
        for (std::size_t i = burst - 400; i < burst + 1000; ++i) {
            if (std::abs(gained(left[i])) < 0.05F)
                continue;
            const double gain = d.channels[0][i] / gained(left[i]);
            if (!std::isnan(last))
                largestStep = std::max(largestStep, std::abs(gain - last));
            lowest = std::min(lowest, gain);
            last = gain;
        }
        // From 0.7 s after a burst to the next one's look-ahead: exactly the plain gain again.
        for (std::size_t i = burst - 13000; i < burst - 300; ++i)
            ASSERT_NEAR(d.channels[0][i], gained(left[i]), 3e-10) << "frame " << i;
    }
    EXPECT_LT(lowest, 0.8) << "limited";
    EXPECT_LT(largestStep, 0.01) << "the gain ramps, never jumps as clipping would";

    // At -80 dBFS the range is below the gate: as it is, and said so.
    left = signal_test::sine(1000, 44100, 2 * 44100, dbToGain(-80));
    ASSERT_EQ(writeStereoFile(dir.file("faint.wav"), 44100, left, left), noErr);
    asStored("faint.wav");
    ASSERT_EQ(runExport(converter, dir.file("faint.wav"), out, {0, 2}, "wav", -16), AudioConvertFailure::None);
    EXPECT_FALSE(converter.loudness().measured);
    EXPECT_EQ(converter.loudness().gainDb, 0);
    EXPECT_NE(converter.loudnessText().find("silent"), std::string::npos) << converter.loudnessText();
    d = decodeFile(out);
    ASSERT_EQ(d.frames(), left.size());
    for (std::size_t i = 0; i < left.size(); ++i)
        ASSERT_NEAR(d.channels[0][i], left[i], 3e-10) << "frame " << i;
}
