// ExtAudioFile: what comes back out of the files it writes (length, rate,
// channels, tones and levels), the formats it converts, seeking, and how it
// refuses what it cannot do.
#include "ExtAudioFileTestHelpers.h"
#include "support/Signal.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <thread>

using namespace eaf_test;
using signal_test::sine;
using signal_test::slice;
using signal_test::toneAmplitude;

namespace {

constexpr double kFileRate = 44100;
// One tone per client channel, so a channel that lands in the wrong place shows.
constexpr double kTones[] = {1000, 2500, 4000, 5500};

struct RoundTripCase {
    AudioFileTypeID type;
    const char* name;
    double clientRate;
    std::uint32_t clientChannels;
    bool async;
};

std::string caseName(const testing::TestParamInfo<RoundTripCase>& info)
{
    const RoundTripCase& c = info.param;
    return std::string(c.name) + "_" + std::to_string(int(c.clientRate)) + "Hz_" + std::to_string(c.clientChannels)
        + "ch_" + (c.async ? "async" : "sync");
}

class ExtAudioFileRoundTrip : public testing::TestWithParam<RoundTripCase> { };

TEST_P(ExtAudioFileRoundTrip, DecodesToTheSameTonesAtTheFileRateAndLength)
{
    const RoundTripCase c = GetParam();
    if (c.type != kAudioFileWAVEType && !haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    TempDir dir;
    const std::string path = dir.file(std::string("tone.") + c.name);
    const std::size_t clientFrames = std::size_t(c.clientRate * 1.5) + 333;  // not a multiple of any block
    Channels in;
    for (std::uint32_t ch = 0; ch < c.clientChannels; ++ch)
        in.push_back(sine(kTones[ch], c.clientRate, clientFrames));

    {
        ExtAudioFileRef file;
        ASSERT_EQ(ExtAudioFile::create(path, c.type, fileFormatFor(c.type), kAudioFileFlags_EraseFile, file), noErr);
        const AudioStreamBasicDescription client = pcmClient(c.clientRate, c.clientChannels);
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        ASSERT_EQ(writeAll(*file, in, c.async), noErr);
        ASSERT_EQ(file->dispose(), noErr);
        EXPECT_EQ(file->dispose(), noErr) << "a second dispose repeats the first's answer";
    }

    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.status, noErr);
    EXPECT_EQ(d.fileFormat.mSampleRate, kFileRate);
    EXPECT_EQ(d.fileFormat.mChannelsPerFrame, 2u);
    if (c.type == kAudioFileWAVEType) {
        EXPECT_EQ(d.fileFormat.mFormatID, kAudioFormatLinearPCM);
        EXPECT_EQ(d.fileFormat.mBitsPerChannel, 32u);
        EXPECT_EQ(d.fileFormat.mBytesPerFrame, 8u);
        EXPECT_EQ(d.fileFormat.mFormatFlags & (kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsFloat),
            kAudioFormatFlagIsSignedInteger);
    } else {
        EXPECT_EQ(d.fileFormat.mFormatID, kAudioFormatMPEG4AAC);
        EXPECT_EQ(d.fileFormat.mFramesPerPacket, 1024u);
    }

    const auto expected = std::int64_t(std::llround(double(clientFrames) * kFileRate / c.clientRate));
    // Exact but for the resampler's rounding: the MPEG-4 edit and the CAF
    // packet table both state the priming and the valid frames.
    EXPECT_NEAR(double(d.lengthFrames), double(expected), 1);
    EXPECT_NEAR(double(d.frames()), double(expected), 1);
    EXPECT_EQ(std::int64_t(d.frames()), d.lengthFrames) << "the length property must match what read() delivers";

    // Middle half second, away from the resampler's and the codec's edges.
    const std::size_t from = std::size_t(0.5 * kFileRate), count = std::size_t(0.5 * kFileRate);
    const std::vector<float> left = slice(d.channels[0], from, count);
    const std::vector<float> right = slice(d.channels[1], from, count);
    EXPECT_NEAR(toneAmplitude(left, kTones[0], kFileRate), 0.5, 0.03);
    if (c.clientChannels == 1) {
        EXPECT_NEAR(toneAmplitude(right, kTones[0], kFileRate), 0.5, 0.03) << "mono is spread over both channels";
    } else {
        EXPECT_NEAR(toneAmplitude(right, kTones[1], kFileRate), 0.5, 0.03);
        EXPECT_LT(toneAmplitude(right, kTones[0], kFileRate), 0.01);
        EXPECT_LT(toneAmplitude(left, kTones[1], kFileRate), 0.01);
    }
    for (double extra : {kTones[2], kTones[3]}) {
        EXPECT_LT(toneAmplitude(left, extra, kFileRate), 0.01) << "channels past the second are dropped, not mixed in";
        EXPECT_LT(toneAmplitude(right, extra, kFileRate), 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(ExtAudioFile, ExtAudioFileRoundTrip,
    testing::Values(RoundTripCase{kAudioFileWAVEType, "wav", 48000, 1, false},
        RoundTripCase{kAudioFileWAVEType, "wav", 48000, 2, true},
        RoundTripCase{kAudioFileWAVEType, "wav", 48000, 4, false},
        RoundTripCase{kAudioFileWAVEType, "wav", 44100, 2, true},
        RoundTripCase{kAudioFileM4AType, "m4a", 48000, 1, true},
        RoundTripCase{kAudioFileM4AType, "m4a", 48000, 2, false},
        RoundTripCase{kAudioFileM4AType, "m4a", 48000, 4, true},
        RoundTripCase{kAudioFileM4AType, "m4a", 44100, 2, false},
        RoundTripCase{kAudioFileCAFType, "caf", 48000, 2, false},
        RoundTripCase{kAudioFileCAFType, "caf", 48000, 1, true}),
    caseName);

// --- Exactness at the file rate ---------------------------------------------

// Each sample carries its own frame index, exactly representable in float
// and in 32-bit integers, so any lost, repeated or shifted frame shows.
Channels indexRamp(std::size_t frames)
{
    Channels ch(2, std::vector<float>(frames));
    for (std::size_t i = 0; i < frames; ++i) {
        ch[0][i] = float(double(i) / 1048576.0);
        ch[1][i] = -ch[0][i];
    }
    return ch;
}

std::string writeRampWav(const TempDir& dir, std::size_t frames)
{
    const std::string path = dir.file("ramp.wav");
    Channels ramp = indexRamp(frames);
    ExtAudioFileRef file;
    EXPECT_EQ(ExtAudioFile::create(path, kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
    const AudioStreamBasicDescription client = pcmClient(kFileRate, 2);
    EXPECT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
    EXPECT_EQ(writeAll(*file, ramp, true, 441), noErr);
    EXPECT_EQ(file->dispose(), noErr);
    return path;
}

TEST(ExtAudioFileExactness, WavAtTheFileRateKeepsEverySampleAndSeeksToTheFrame)
{
    TempDir dir;
    const std::size_t frames = 100000;
    const std::string path = writeRampWav(dir, frames);
    EXPECT_EQ(fileSize(path), wavSizes(path).dataAt + std::int64_t(frames) * 8) << "nothing after the data";

    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.frames(), frames);
    const Channels ramp = indexRamp(frames);
    for (std::size_t i = 0; i < frames; ++i)
        if (d.channels[0][i] != ramp[0][i] || d.channels[1][i] != ramp[1][i])
            FAIL() << "frame " << i << " differs";

    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
    Channels block(2, std::vector<float>(64, 7.0f));
    AudioBufferList list = planarList(block, 0, 64);
    list.mBuffers[1].mDataByteSize = 10 * sizeof(float);  // the smaller buffer rules
    std::uint32_t n = 64;
    ASSERT_EQ(file->read(&n, &list), noErr);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(block[0][10], 7.0f) << "nothing written past the frames delivered";
    list = planarList(block, 0, 64);
    ASSERT_EQ(file->read(&n, &list), noErr);
    EXPECT_EQ(block[0][0], ramp[0][10]) << "the next read goes on where the short one stopped";

    for (std::int64_t target : {std::int64_t(0), std::int64_t(1), std::int64_t(4095), std::int64_t(66150),
             std::int64_t(99999), std::int64_t(12345)}) {
        ASSERT_EQ(file->seek(target), noErr);
        list = planarList(block, 0, 64);
        n = 64;
        ASSERT_EQ(file->read(&n, &list), noErr);
        ASSERT_EQ(n, std::uint32_t(std::min<std::int64_t>(64, std::int64_t(frames) - target)));
        EXPECT_EQ(block[0][0], ramp[0][std::size_t(target)]) << "seek to " << target;
        EXPECT_EQ(block[1][n - 1], ramp[1][std::size_t(target) + n - 1]);
    }

    // The end, and past it, give 0 frames every time without an error.
    for (std::int64_t target : {std::int64_t(frames), std::int64_t(frames), std::int64_t(frames) + 5000}) {
        ASSERT_EQ(file->seek(target), noErr);
        list = planarList(block, 0, 64);
        n = 64;
        EXPECT_EQ(file->read(&n, &list), noErr);
        EXPECT_EQ(n, 0u);
    }
    EXPECT_NE(file->seek(-1), noErr);
}

// Written through the queue and completed by the destructor: an ordinary
// file with its true length, the priming removed, and seeks that land on the
// same samples as a plain read.
TEST(ExtAudioFileExactness, FinalM4aIsAnOrdinaryFileWithoutPrimingThatSeeksToTheSameSamples)
{
    if (!haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    TempDir dir;
    const std::string path = dir.file("tone.m4a");
    const std::size_t frames = 3 * 44100 + 77;
    Channels in{sine(440, kFileRate, frames), sine(660, kFileRate, frames)};
    {
        ExtAudioFileRef file;
        ASSERT_EQ(
            ExtAudioFile::create(path, kAudioFileM4AType, aacFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
        ASSERT_EQ(writeAll(*file, in, true, 1000), noErr);  // default client: float planes at the file's rate
    }

    const std::vector<std::string> top = topLevelBoxes(path);
    EXPECT_EQ(countOf(top, "moov"), 1u);
    EXPECT_EQ(countOf(top, "mdat"), 1u);
    EXPECT_EQ(countOf(top, "moof"), 0u) << "still fragmented";
    const std::string bytes = fileBytes(path);
    EXPECT_EQ(bytes.find("mvex"), std::string::npos) << "still announces fragments";
    EXPECT_NE(bytes.find("elst"), std::string::npos) << "the priming edit is missing";
    EXPECT_FALSE(std::ifstream(path + ".remux.m4a").good()) << "temporary file left behind";
    if (haveTool("ffprobe")) {
        const double seconds = std::stod(testsupport::runCommand(
            {"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path})
                                             .output);
        EXPECT_NEAR(seconds, double(frames) / kFileRate, 0.001);
    }
    if (haveTool("ffmpeg")) {
        // ffmpeg skips the priming but keeps the last packet's padding.
        const std::int64_t ff = framesDecodedBy("ffmpeg", path);
        EXPECT_GE(ff, std::int64_t(frames) - 1);
        EXPECT_LT(ff, std::int64_t(frames) + 1024);
    }

    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.frames(), frames);
    EXPECT_EQ(d.lengthFrames, std::int64_t(frames));
    // Aligned with the input: a shift by the encoder's 1024 priming frames
    // would leave an error as large as the signal.
    double error = 0, power = 0;
    for (std::size_t i = 4096; i < 4096 + 8192; ++i) {
        error += std::pow(d.channels[0][i] - in[0][i], 2);
        power += std::pow(in[0][i], 2);
    }
    EXPECT_LT(std::sqrt(error / power), 0.05);

    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
    Channels block(2, std::vector<float>(2048));
    for (std::int64_t target : {std::int64_t(0), std::int64_t(1), std::int64_t(1023), std::int64_t(1024),
             std::int64_t(5000), std::int64_t(44117), std::int64_t(frames - 100)}) {
        ASSERT_EQ(file->seek(target), noErr);
        AudioBufferList list = planarList(block, 0, 2048);
        std::uint32_t n = 2048;
        ASSERT_EQ(file->read(&n, &list), noErr);
        ASSERT_EQ(n, std::uint32_t(std::min<std::int64_t>(2048, std::int64_t(frames) - target)))
            << "seek to " << target;
        double worst = 0;
        for (std::uint32_t i = 0; i < n; ++i)
            worst = std::max(worst, double(std::fabs(block[0][i] - d.channels[0][std::size_t(target) + i])));
        // Noise-substituted bands decode differently after a restart; a
        // shift by a single frame would show as ~0.03 here.
        EXPECT_LT(worst, 0.01) << "seek to " << target;
    }
}

// --- Client formats ---------------------------------------------------------

struct PcmCase {
    bool isFloat;
    std::uint32_t bits;
    bool interleaved;
    double rate;
};

class ExtAudioFileClientFormats : public testing::TestWithParam<PcmCase> { };

// A tone written in the client's layout and scale reaches the file at the
// same level, and comes back out the same in that layout and scale: full
// scale of each integer width is 1.0.
TEST_P(ExtAudioFileClientFormats, WriteAndReadTheToneAtTheSameLevelInTheClientsLayout)
{
    const PcmCase c = GetParam();
    TempDir dir;
    const std::string path = dir.file("tone.wav");
    const auto frames = std::size_t(c.rate);
    const std::size_t bytes = c.bits / 8, step = c.interleaved ? 2 : 1;
    const AudioStreamBasicDescription client = pcmClient(c.rate, 2, c.interleaved, c.isFloat, c.bits);
    // One buffer, or one per channel, over `raw`.
    auto listOver = [&](std::vector<std::vector<std::uint8_t>>& raw, std::size_t firstFrame) {
        AudioBufferList list;
        list.mNumberBuffers = std::uint32_t(raw.size());
        for (std::size_t b = 0; b < raw.size(); ++b) {
            const std::size_t offset = firstFrame * bytes * step;
            list.mBuffers[b]
                = AudioBuffer{std::uint32_t(step), std::uint32_t(raw[b].size() - offset), raw[b].data() + offset};
        }
        return list;
    };
    auto at = [&](std::vector<std::vector<std::uint8_t>>& raw, int ch, std::size_t i) {
        return raw[c.interleaved ? 0 : std::size_t(ch)].data() + (c.interleaved ? i * 2 + std::size_t(ch) : i) * bytes;
    };
    auto fresh = [&] {
        return std::vector<std::vector<std::uint8_t>>(3 - step, std::vector<std::uint8_t>(2 * frames * bytes * step));
    };

    // Left 1 kHz, right 2.5 kHz, so a swapped or mixed channel shows.
    const std::vector<float> tones[] = {sine(1000, c.rate, frames), sine(2500, c.rate, frames)};
    auto raw = fresh();
    for (int ch = 0; ch < 2; ++ch) {
        for (std::size_t i = 0; i < frames; ++i) {
            const double v = tones[ch][i];
            if (c.isFloat) {
                const float x = float(v);
                std::memcpy(at(raw, ch, i), &x, 4);
            } else if (c.bits == 16) {
                const auto x = std::int16_t(std::lround(v * 32767.0));
                std::memcpy(at(raw, ch, i), &x, 2);
            } else {
                const auto x = std::int32_t(std::llround(v * 2147483647.0));
                std::memcpy(at(raw, ch, i), &x, 4);
            }
        }
    }
    {
        ExtAudioFileRef file;
        ASSERT_EQ(
            ExtAudioFile::create(path, kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        AudioBufferList list = listOver(raw, 0);
        for (std::size_t b = 0; b < raw.size(); ++b)
            list.mBuffers[b].mDataByteSize = std::uint32_t(frames * bytes * step);
        ASSERT_EQ(file->writeAsync(std::uint32_t(frames), &list), noErr);
        list.mBuffers[0].mDataByteSize = 10;  // too small for what is claimed
        EXPECT_NE(file->writeAsync(100, &list), noErr);
        ASSERT_EQ(file->dispose(), noErr);
    }
    const Decoded d = decodeFile(path);
    EXPECT_NEAR(double(d.frames()), frames * kFileRate / c.rate, 1);
    EXPECT_NEAR(toneAmplitude(slice(d.channels[0], 10000, 20000), 1000, kFileRate), 0.5, 0.01) << "written";
    EXPECT_NEAR(toneAmplitude(slice(d.channels[1], 10000, 20000), 2500, kFileRate), 0.5, 0.01) << "written";

    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
    ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
    AudioStreamBasicDescription back;
    std::uint32_t size = sizeof back;
    ASSERT_EQ(file->getProperty(kExtAudioFileProperty_ClientDataFormat, &size, &back), noErr);
    EXPECT_EQ(back, client);
    raw = fresh();
    std::uint32_t got = 0;
    for (;;) {  // one read may deliver less than asked; keep going to the end
        AudioBufferList list = listOver(raw, got);
        std::uint32_t n = std::uint32_t(2 * frames) - got;
        ASSERT_EQ(file->read(&n, &list), noErr);
        if (n == 0)
            break;
        got += n;
    }
    EXPECT_NEAR(double(got), double(frames), 2);
    std::vector<float> read[2];
    for (int ch = 0; ch < 2; ++ch) {
        for (std::size_t i = got / 4; i < got * 3 / 4; ++i) {
            const std::uint8_t* p = at(raw, ch, i);
            if (c.isFloat)
                read[ch].push_back(*reinterpret_cast<const float*>(p));
            else if (c.bits == 16)
                read[ch].push_back(float(*reinterpret_cast<const std::int16_t*>(p)) / 32768.0f);
            else
                read[ch].push_back(float(double(*reinterpret_cast<const std::int32_t*>(p)) / 2147483648.0));
        }
    }
    EXPECT_NEAR(toneAmplitude(read[0], 1000, c.rate), 0.5, 0.01) << "read";
    EXPECT_NEAR(toneAmplitude(read[1], 2500, c.rate), 0.5, 0.01) << "read";
    EXPECT_LT(toneAmplitude(read[0], 2500, c.rate), 0.005);
}

INSTANTIATE_TEST_SUITE_P(ExtAudioFile, ExtAudioFileClientFormats,
    testing::Values(PcmCase{true, 32, true, 44100}, PcmCase{false, 16, true, 44100}, PcmCase{false, 32, false, 44100},
        PcmCase{false, 16, false, 48000}, PcmCase{true, 32, false, 22050}, PcmCase{false, 32, true, 32000}),
    [](const testing::TestParamInfo<PcmCase>& i) {
        return std::string(i.param.isFloat ? "float" : "int") + std::to_string(i.param.bits)
            + (i.param.interleaved ? "_interleaved_" : "_planar_") + std::to_string(int(i.param.rate));
    });

// Formats it cannot convert are refused; frames queued for one client format
// are never dropped by a change to another, and a change refused leaves the
// writer draining the queue.
TEST(ExtAudioFileFormats, ARefusedClientFormatKeepsTheWriterAndWhatWasQueued)
{
    TempDir dir;
    const std::string path = dir.file("change.wav");
    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::create(path, kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
    AudioStreamBasicDescription bigEndian = pcmClient(48000, 2);
    bigEndian.mFormatFlags |= kAudioFormatFlagIsBigEndian;
    for (const AudioStreamBasicDescription& bad :
        {bigEndian, pcmClient(48000, 2, true, false, 24), pcmClient(0, 2), aacFileFormat()})
        EXPECT_NE(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof bad, &bad), noErr);
    AudioStreamBasicDescription client;
    std::uint32_t size = sizeof client;
    ASSERT_EQ(file->getProperty(kExtAudioFileProperty_ClientDataFormat, &size, &client), noErr);
    EXPECT_EQ(client, wavFileFormat()) << "the file's own format stays the client format after the refusals";

    const AudioStreamBasicDescription floats = pcmClient(kFileRate, 2);
    ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof floats, &floats), noErr);
    Channels tone{sine(1000, kFileRate, 44100), sine(1000, kFileRate, 44100)};
    AudioBufferList list = planarList(tone, 0, 512);
    ASSERT_EQ(file->writeAsync(512, &list), noErr);
    // At once, before the writer can have drained the queue.
    const AudioStreamBasicDescription other = pcmClient(48000, 2);
    EXPECT_NE(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof other, &other), noErr);
    // Everything after the refusal still reaches the file, more than the
    // queue holds in a second, so a writer that stopped draining shows.
    for (std::size_t at = 512; at + 512 <= tone[0].size(); at += 512) {
        list = planarList(tone, at, 512);
        ASSERT_EQ(file->writeAsync(512, &list), noErr);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (wavSizes(path).data < 86 * 512 * 8 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(wavSizes(path).data, 86 * 512 * 8) << "the writer stopped after the refusal";
    ASSERT_EQ(file->dispose(), noErr);
    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.frames(), 86u * 512);
    EXPECT_NEAR(toneAmplitude(slice(d.channels[0], 0, 4096), 1000, kFileRate), 0.5, 0.01) << "the first block was lost";
}

TEST(ExtAudioFileFormats, FormatInfoCompletesPackedPcmOnly)
{
    AudioStreamBasicDescription wav;
    wav.mSampleRate = 44100;
    wav.mFormatID = kAudioFormatLinearPCM;
    wav.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    wav.mChannelsPerFrame = 2;
    wav.mBitsPerChannel = 32;
    std::uint32_t size = sizeof wav;
    ASSERT_EQ(AudioFormatGetProperty(kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &wav), noErr);
    EXPECT_EQ(wav, wavFileFormat());

    AudioStreamBasicDescription planar = pcmClient(48000, 2);
    planar.mBytesPerFrame = planar.mBytesPerPacket = 0;
    ASSERT_EQ(AudioFormatGetProperty(kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &planar), noErr);
    EXPECT_EQ(planar.mBytesPerFrame, 4u) << "one channel per buffer";
    EXPECT_EQ(planar.mBytesPerPacket, 4u);

    AudioStreamBasicDescription aac = aacFileFormat();
    const AudioStreamBasicDescription before = aac;
    AudioFormatGetProperty(kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &aac);
    EXPECT_EQ(aac, before);
}

// --- Creating and opening ---------------------------------------------------

TEST(ExtAudioFileCreate, ReplacesAnExistingFileOnlyWhenAskedTo)
{
    TempDir dir;
    for (AudioFileTypeID type : {kAudioFileWAVEType, kAudioFileM4AType}) {
        if (type != kAudioFileWAVEType && !haveAac())
            continue;
        const std::string path = dir.file(type == kAudioFileWAVEType ? "old.wav" : "old.m4a");
        std::ofstream(path) << std::string(300000, 'x');
        ExtAudioFileRef file;
        EXPECT_NE(ExtAudioFile::create(path, type, fileFormatFor(type), 0, file), noErr);
        EXPECT_FALSE(file);
        EXPECT_EQ(fileSize(path), 300000) << "refused creation must leave the old file alone";

        ASSERT_EQ(ExtAudioFile::create(path, type, fileFormatFor(type), kAudioFileFlags_EraseFile, file), noErr);
        const AudioStreamBasicDescription client = pcmClient(kFileRate, 2);
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        Channels in{sine(1000, kFileRate, 4410), sine(1000, kFileRate, 4410)};
        ASSERT_EQ(writeAll(*file, in, false), noErr);
        ASSERT_EQ(file->dispose(), noErr);
        const Decoded d = decodeFile(path);
        ASSERT_EQ(d.status, noErr);
        EXPECT_NEAR(double(d.frames()), 4410, 1);
    }
}

TEST(ExtAudioFileCreate, FailsCleanlyWhereItCannotWriteOrWhatItCannotStore)
{
    TempDir dir;
    struct Attempt {
        std::string path;
        AudioFileTypeID type;
        AudioStreamBasicDescription format;
    };
    AudioStreamBasicDescription threeChannels = wavFileFormat(44100, 3);
    AudioStreamBasicDescription odd = aacFileFormat(44099);
    AudioStreamBasicDescription bigEndian = wavFileFormat();
    bigEndian.mFormatFlags |= kAudioFormatFlagIsBigEndian;
    AudioStreamBasicDescription pcmInM4a = wavFileFormat();
    const std::vector<Attempt> attempts{
        {dir.file("missing/a.wav"), kAudioFileWAVEType, wavFileFormat()},
        {dir.file("missing/a.m4a"), kAudioFileM4AType, aacFileFormat()},
        {dir.file("three.wav"), kAudioFileWAVEType, threeChannels},
        {dir.file("odd.m4a"), kAudioFileM4AType, odd},
        {dir.file("be.wav"), kAudioFileWAVEType, bigEndian},
        {dir.file("pcm.m4a"), kAudioFileM4AType, pcmInM4a},
        {dir.file("zero.wav"), kAudioFileWAVEType, AudioStreamBasicDescription{}},
        {dir.file("other.aiff"), fourCC("AIFF"), wavFileFormat()},
    };
    for (const Attempt& a : attempts) {
        ExtAudioFileRef file;
        EXPECT_NE(ExtAudioFile::create(a.path, a.type, a.format, kAudioFileFlags_EraseFile, file), noErr) << a.path;
        EXPECT_FALSE(file) << a.path;
        EXPECT_EQ(fileSize(a.path), -1) << "stray file left at " << a.path;
    }
}

// What is not an audio file is refused; a WAVE file cut short reads what is
// there; a file opened for reading, or disposed of, refuses writes.
TEST(ExtAudioFileOpen, RefusesWhatIsNotAnAudioFileAndReadsATruncatedOne)
{
    TempDir dir;
    const std::string whole = writeRampWav(dir, 10000);
    const std::string bytes = fileBytes(whole);
    std::ofstream(dir.file("empty.wav"));
    std::ofstream(dir.file("garbage.m4a"), std::ios::binary) << std::string(5000, '\x5a');
    std::ofstream(dir.file("text.wav")) << "RIFF this is not really a wave file at all";
    std::ofstream(dir.file("cut-header.wav"), std::ios::binary) << bytes.substr(0, 20);
    std::ofstream(dir.file("cut.wav"), std::ios::binary)
        << bytes.substr(0, std::size_t(wavSizes(whole).dataAt) + 4000 * 8);
    for (const std::string name : {"nothing.wav", "empty.wav", "garbage.m4a", "text.wav", "cut-header.wav", "."}) {
        ExtAudioFileRef file;
        EXPECT_NE(ExtAudioFile::open(dir.file(name), file), noErr) << name;
        EXPECT_FALSE(file) << name;
    }

    const Decoded d = decodeFile(dir.file("cut.wav"));
    ASSERT_EQ(d.status, noErr);
    EXPECT_EQ(d.frames(), 4000u);
    EXPECT_EQ(d.channels[0][3999], float(3999 / 1048576.0));

    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(whole, file), noErr);
    Channels in{std::vector<float>(10), std::vector<float>(10)};
    AudioBufferList list = planarList(in, 0, 10);
    EXPECT_NE(file->write(10, &list), noErr);
    EXPECT_NE(file->writeAsync(10, &list), noErr);
    AudioStreamBasicDescription client;
    std::uint32_t size = sizeof client;
    ASSERT_EQ(file->getProperty(kExtAudioFileProperty_ClientDataFormat, &size, &client), noErr);
    EXPECT_EQ(client, pcmClient(kFileRate, 2)) << "the default: float planes at the file's rate and channels";

    ASSERT_EQ(
        ExtAudioFile::create(dir.file("d.wav"), kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file),
        noErr);
    ASSERT_EQ(file->dispose(), noErr);
    EXPECT_NE(file->write(10, &list), noErr);
    EXPECT_NE(file->writeAsync(10, &list), noErr);
    const Decoded empty = decodeFile(dir.file("d.wav"));
    EXPECT_EQ(empty.status, noErr) << "an empty recording is still a valid file";
    EXPECT_EQ(empty.frames(), 0u);
}

// --- The asynchronous queue -------------------------------------------------

TEST(ExtAudioFileAsync, AFullQueueRefusesWholeBlocksAndLosesNothingAccepted)
{
    TempDir dir;
    const std::string path = dir.file("full.wav");
    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::create(path, kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
    const AudioStreamBasicDescription client = pcmClient(kFileRate, 2);
    ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);

    // More than the four seconds the queue holds, in one call: none of it is taken.
    Channels big{sine(1000, kFileRate, 200000), sine(1000, kFileRate, 200000)};
    AudioBufferList list = planarList(big, 0, 200000);
    EXPECT_EQ(file->writeAsync(200000, &list), kExtAudioFileError_AsyncWriteBufferOverflow);
    EXPECT_EQ(file->writerStatus(), noErr) << "a full queue is the caller's loss, not a writer failure";

    // Blocks of three seconds outrun a 10 ms poll; count what is taken.
    std::int64_t accepted = 0;
    int refused = 0;
    for (int i = 0; i < 40 && refused == 0; ++i) {
        AudioBufferList block = planarList(big, 0, 132300);
        if (file->writeAsync(132300, &block) == noErr)
            accepted += 132300;
        else
            ++refused;
    }
    EXPECT_GT(refused, 0) << "the queue never filled";
    ASSERT_EQ(file->dispose(), noErr);
    EXPECT_EQ(fileSize(path), wavSizes(path).dataAt + accepted * 8) << "refused blocks must leave nothing behind";
}

}  // namespace
