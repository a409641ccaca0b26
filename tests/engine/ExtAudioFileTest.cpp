// ExtAudioFile: what comes back out of the files it writes (length, rate,
// channels, tones and levels), the formats it converts, seeking, and how it
// refuses what it cannot do.
#include "ExtAudioFileTestHelpers.h"
#include "support/Signal.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
    // WAVE and our MPEG-4 are exact but for the resampler's rounding; CAF
    // records no priming, so decoders keep up to an AAC frame more of it.
    const std::int64_t slack = c.type == kAudioFileCAFType ? 2048 : 1;
    EXPECT_NEAR(double(d.lengthFrames), double(expected), double(slack));
    EXPECT_NEAR(double(d.frames()), double(expected), double(slack));
    if (c.type != kAudioFileCAFType) {
        EXPECT_EQ(std::int64_t(d.frames()), d.lengthFrames) << "the length property must match what read() delivers";
    }

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
    EXPECT_EQ(fileSize(path), 44 + std::int64_t(frames) * 8) << "a 44-byte header and nothing after the data";

    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.frames(), frames);
    const Channels ramp = indexRamp(frames);
    for (std::size_t i = 0; i < frames; ++i)
        if (d.channels[0][i] != ramp[0][i] || d.channels[1][i] != ramp[1][i])
            FAIL() << "frame " << i << " differs";

    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
    Channels block(2, std::vector<float>(64));
    for (std::int64_t target : {std::int64_t(0), std::int64_t(1), std::int64_t(4095), std::int64_t(66150),
             std::int64_t(99999), std::int64_t(12345)}) {
        ASSERT_EQ(file->seek(target), noErr);
        AudioBufferList list = planarList(block, 0, 64);
        std::uint32_t n = 64;
        ASSERT_EQ(file->read(&n, &list), noErr);
        ASSERT_EQ(n, std::uint32_t(std::min<std::int64_t>(64, std::int64_t(frames) - target)));
        EXPECT_EQ(block[0][0], ramp[0][std::size_t(target)]) << "seek to " << target;
        EXPECT_EQ(block[1][n - 1], ramp[1][std::size_t(target) + n - 1]);
    }

    // The end, and past it, give 0 frames every time without an error.
    ASSERT_EQ(file->seek(std::int64_t(frames)), noErr);
    for (int i = 0; i < 3; ++i) {
        AudioBufferList list = planarList(block, 0, 64);
        std::uint32_t n = 64;
        EXPECT_EQ(file->read(&n, &list), noErr);
        EXPECT_EQ(n, 0u);
    }
    ASSERT_EQ(file->seek(std::int64_t(frames) + 5000), noErr);
    AudioBufferList list = planarList(block, 0, 64);
    std::uint32_t n = 64;
    file->read(&n, &list);
    EXPECT_EQ(n, 0u);
    EXPECT_NE(file->seek(-1), noErr);
}

TEST(ExtAudioFileExactness, ReadRespectsEachBuffersByteSize)
{
    TempDir dir;
    const std::string path = writeRampWav(dir, 1000);
    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
    Channels block(2, std::vector<float>(100, 7.0f));
    AudioBufferList list = planarList(block, 0, 100);
    list.mBuffers[1].mDataByteSize = 10 * sizeof(float);  // the smaller buffer rules
    std::uint32_t n = 100;
    ASSERT_EQ(file->read(&n, &list), noErr);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(block[0][10], 7.0f) << "nothing written past the frames delivered";
    n = 100;
    list = planarList(block, 0, 100);
    ASSERT_EQ(file->read(&n, &list), noErr);
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(block[0][0], float(10 / 1048576.0)) << "the next read goes on where the short one stopped";
}

TEST(ExtAudioFileExactness, M4aRemovesPrimingAndSeeksToTheSameSamplesAsAPlainRead)
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
        ASSERT_EQ(writeAll(*file, in, false, 1000), noErr);  // default client: float planes at the file's rate
        ASSERT_EQ(file->dispose(), noErr);
    }
    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.frames(), frames);
    EXPECT_EQ(d.lengthFrames, std::int64_t(frames));

    // Aligned with the input: a shift by the encoder's 1024 priming frames
    // would leave an error as large as the signal.
    const std::size_t from = 4096, count = 8192;
    double error = 0, power = 0;
    for (std::size_t i = from; i < from + count; ++i) {
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

TEST(ExtAudioFileExactness, FinalM4aIsAnOrdinaryFileWithItsTrueDuration)
{
    if (!haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    TempDir dir;
    const std::string path = dir.file("rec.m4a");
    const std::size_t frames = 2 * 48000 + 123;
    Channels in{sine(1000, 48000, frames), sine(1000, 48000, frames)};
    {
        ExtAudioFileRef file;
        ASSERT_EQ(
            ExtAudioFile::create(path, kAudioFileM4AType, aacFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
        const AudioStreamBasicDescription client = pcmClient(48000, 2);
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        ASSERT_EQ(writeAll(*file, in, true), noErr);
    }  // the destructor completes the file

    std::ifstream f(path, std::ios::binary);
    std::vector<std::string> top;
    std::string moov;
    for (;;) {
        unsigned char h[8];
        if (!f.read(reinterpret_cast<char*>(h), 8))
            break;
        const std::uint64_t size = (std::uint64_t(h[0]) << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
        const std::string type(reinterpret_cast<char*>(h + 4), 4);
        top.push_back(type);
        ASSERT_GE(size, 8u) << "unexpected box size form";
        if (type == "moov") {
            moov.resize(size - 8);
            f.read(moov.data(), std::streamsize(moov.size()));
        } else {
            f.seekg(std::streamoff(size - 8), std::ios::cur);
        }
    }
    EXPECT_NE(std::find(top.begin(), top.end(), "moov"), top.end());
    EXPECT_NE(std::find(top.begin(), top.end(), "mdat"), top.end());
    EXPECT_EQ(std::find(top.begin(), top.end(), "moof"), top.end()) << "still fragmented";
    EXPECT_EQ(moov.find("mvex"), std::string::npos) << "still announces fragments";
    EXPECT_NE(moov.find("elst"), std::string::npos) << "the priming edit is missing";
    EXPECT_FALSE(std::ifstream(path + ".remux.m4a").good()) << "temporary file left behind";

    const std::int64_t expected = std::llround(double(frames) * kFileRate / 48000);
    const Decoded d = decodeFile(path);
    EXPECT_NEAR(double(d.lengthFrames), double(expected), 1);
    EXPECT_NEAR(double(d.frames()), double(expected), 1);
    if (haveTool("ffprobe")) {
        const double seconds
            = std::stod(run("ffprobe -v error -show_entries format=duration -of csv=p=0 " + shellQuote(path)));
        EXPECT_NEAR(seconds, double(expected) / kFileRate, 0.001);
    }
    if (haveTool("ffmpeg")) {
        // ffmpeg skips the priming but keeps the last packet's padding.
        const std::int64_t ff = framesDecodedBy("ffmpeg", path);
        EXPECT_GE(ff, expected - 1);
        EXPECT_LT(ff, expected + 1024);
    }
}

// --- Client formats ---------------------------------------------------------

struct ReadFormatCase {
    bool isFloat;
    std::uint32_t bits;
    bool interleaved;
    double rate;
};

class ExtAudioFileReadFormats : public testing::TestWithParam<ReadFormatCase> { };

TEST_P(ExtAudioFileReadFormats, DeliversTheToneInTheClientsLayout)
{
    const ReadFormatCase c = GetParam();
    TempDir dir;
    const std::string path = dir.file("tone.wav");
    const std::size_t frames = 44100;
    Channels in{sine(1000, kFileRate, frames), sine(2500, kFileRate, frames)};
    {
        ExtAudioFileRef file;
        ASSERT_EQ(
            ExtAudioFile::create(path, kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
        const AudioStreamBasicDescription client = pcmClient(kFileRate, 2);
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        ASSERT_EQ(writeAll(*file, in, false), noErr);
    }
    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
    AudioStreamBasicDescription client = pcmClient(c.rate, 2, c.interleaved, c.isFloat, c.bits);
    ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
    AudioStreamBasicDescription back;
    std::uint32_t size = sizeof back;
    ASSERT_EQ(file->getProperty(kExtAudioFileProperty_ClientDataFormat, &size, &back), noErr);
    EXPECT_EQ(back, client);

    const std::size_t bytes = c.bits / 8;
    const std::size_t capacity = std::size_t(c.rate) * 2;
    std::vector<std::vector<std::uint8_t>> raw(
        c.interleaved ? 1 : 2, std::vector<std::uint8_t>(capacity * bytes * (c.interleaved ? 2 : 1)));
    AudioBufferList list;
    list.mNumberBuffers = std::uint32_t(raw.size());
    for (std::size_t b = 0; b < raw.size(); ++b)
        list.mBuffers[b] = AudioBuffer{c.interleaved ? 2u : 1u, std::uint32_t(raw[b].size()), raw[b].data()};
    std::uint32_t got = 0;
    for (;;) {  // one read may deliver less than asked; keep going to the end
        AudioBufferList at = list;
        for (std::size_t b = 0; b < raw.size(); ++b) {
            const std::size_t offset = std::size_t(got) * bytes * (c.interleaved ? 2 : 1);
            at.mBuffers[b].mData = raw[b].data() + offset;
            at.mBuffers[b].mDataByteSize = std::uint32_t(raw[b].size() - offset);
        }
        std::uint32_t n = std::uint32_t(capacity) - got;
        ASSERT_EQ(file->read(&n, &at), noErr);
        if (n == 0)
            break;
        got += n;
    }
    EXPECT_NEAR(double(got), double(frames) * c.rate / kFileRate, 1);

    auto sample = [&](int ch, std::size_t i) -> float {
        const std::size_t index = c.interleaved ? i * 2 + std::size_t(ch) : i;
        const std::uint8_t* p = raw[c.interleaved ? 0 : std::size_t(ch)].data() + index * bytes;
        if (c.isFloat)
            return *reinterpret_cast<const float*>(p);
        if (c.bits == 16)
            return float(*reinterpret_cast<const std::int16_t*>(p)) / 32768.0f;
        return float(double(*reinterpret_cast<const std::int32_t*>(p)) / 2147483648.0);
    };
    std::vector<float> left, right;
    for (std::size_t i = got / 4; i < got * 3 / 4; ++i) {
        left.push_back(sample(0, i));
        right.push_back(sample(1, i));
    }
    EXPECT_NEAR(toneAmplitude(left, 1000, c.rate), 0.5, 0.01);
    EXPECT_NEAR(toneAmplitude(right, 2500, c.rate), 0.5, 0.01);
    EXPECT_LT(toneAmplitude(left, 2500, c.rate), 0.005);
}

INSTANTIATE_TEST_SUITE_P(ExtAudioFile, ExtAudioFileReadFormats,
    testing::Values(ReadFormatCase{true, 32, true, 44100}, ReadFormatCase{false, 16, true, 44100},
        ReadFormatCase{false, 32, false, 44100}, ReadFormatCase{false, 16, false, 48000},
        ReadFormatCase{true, 32, false, 22050}),
    [](const testing::TestParamInfo<ReadFormatCase>& i) {
        return std::string(i.param.isFloat ? "float" : "int") + std::to_string(i.param.bits)
            + (i.param.interleaved ? "_interleaved_" : "_planar_") + std::to_string(int(i.param.rate));
    });

TEST(ExtAudioFileFormats, IntegerInterleavedClientWritesTheSameTone)
{
    TempDir dir;
    const std::string path = dir.file("int.wav");
    const std::size_t frames = 44100;
    const std::vector<float> tone = sine(1000, 32000, frames);
    std::vector<std::int16_t> interleaved(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        interleaved[2 * i] = std::int16_t(std::lround(tone[i] * 32767));
        interleaved[2 * i + 1] = std::int16_t(-interleaved[2 * i]);
    }
    {
        ExtAudioFileRef file;
        ASSERT_EQ(
            ExtAudioFile::create(path, kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
        const AudioStreamBasicDescription client = pcmClient(32000, 2, true, false, 16);
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        AudioBufferList list;
        list.mNumberBuffers = 1;
        list.mBuffers[0] = AudioBuffer{2, std::uint32_t(interleaved.size() * 2), interleaved.data()};
        ASSERT_EQ(file->writeAsync(std::uint32_t(frames), &list), noErr);
        list.mBuffers[0].mDataByteSize = 10;  // too small for what is claimed
        EXPECT_NE(file->writeAsync(100, &list), noErr);
        ASSERT_EQ(file->dispose(), noErr);
    }
    const Decoded d = decodeFile(path);
    EXPECT_NEAR(double(d.frames()), frames * kFileRate / 32000, 1);
    const auto mid = slice(d.channels[0], 10000, 20000);
    EXPECT_NEAR(toneAmplitude(mid, 1000, kFileRate), 0.5, 0.01);
    EXPECT_NEAR(d.channels[1][20000], -d.channels[0][20000], 1e-4);
}

TEST(ExtAudioFileFormats, RefusesClientFormatsItCannotConvert)
{
    TempDir dir;
    ExtAudioFileRef file;
    ASSERT_EQ(
        ExtAudioFile::create(dir.file("x.wav"), kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file),
        noErr);
    AudioStreamBasicDescription bad = pcmClient(48000, 2);
    bad.mFormatFlags |= kAudioFormatFlagIsBigEndian;
    EXPECT_NE(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof bad, &bad), noErr);
    bad = pcmClient(48000, 2, true, false, 24);
    EXPECT_NE(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof bad, &bad), noErr);
    bad = pcmClient(0, 2);
    EXPECT_NE(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof bad, &bad), noErr);
    bad = aacFileFormat();
    EXPECT_NE(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof bad, &bad), noErr);
    // The file's own format stays the client format after the refusals.
    AudioStreamBasicDescription client;
    std::uint32_t size = sizeof client;
    ASSERT_EQ(file->getProperty(kExtAudioFileProperty_ClientDataFormat, &size, &client), noErr);
    EXPECT_EQ(client, wavFileFormat());
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
    std::ofstream(dir.file("plain")) << "a file, not a folder";
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
        {dir.file("plain/a.wav"), kAudioFileWAVEType, wavFileFormat()},
        {dir.file("plain/a.caf"), kAudioFileCAFType, aacFileFormat()},
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

TEST(ExtAudioFileOpen, RefusesWhatIsNotAnAudioFile)
{
    TempDir dir;
    std::ofstream(dir.file("empty.wav"));
    std::ofstream(dir.file("garbage.m4a"), std::ios::binary) << std::string(5000, '\x5a');
    {
        std::ofstream(dir.file("text.wav")) << "RIFF this is not really a wave file at all";
    }
    // A real file cut inside its header.
    const std::string whole = writeRampWav(dir, 1000);
    std::string bytes;
    {
        std::ifstream in(whole, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::ofstream(dir.file("cut.wav"), std::ios::binary) << bytes.substr(0, 20);

    for (const std::string name : {"nothing.wav", "empty.wav", "garbage.m4a", "text.wav", "cut.wav", "."}) {
        ExtAudioFileRef file;
        EXPECT_NE(ExtAudioFile::open(dir.file(name), file), noErr) << name;
        EXPECT_FALSE(file) << name;
    }
}

TEST(ExtAudioFileOpen, ATruncatedWavReadsWhatIsThere)
{
    TempDir dir;
    const std::string whole = writeRampWav(dir, 10000);
    std::string bytes;
    {
        std::ifstream in(whole, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::string cut = dir.file("cut.wav");
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, 44 + 4000 * 8);
    const Decoded d = decodeFile(cut);
    ASSERT_EQ(d.status, noErr);
    EXPECT_EQ(d.frames(), 4000u);
    EXPECT_EQ(d.channels[0][3999], float(3999 / 1048576.0));
}

TEST(ExtAudioFileOpen, AReadOnlyFileRefusesWrites)
{
    TempDir dir;
    const std::string path = writeRampWav(dir, 100);
    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
    Channels in{std::vector<float>(10), std::vector<float>(10)};
    AudioBufferList list = planarList(in, 0, 10);
    EXPECT_NE(file->write(10, &list), noErr);
    EXPECT_NE(file->writeAsync(10, &list), noErr);
    AudioStreamBasicDescription client;
    std::uint32_t size = sizeof client;
    ASSERT_EQ(file->getProperty(kExtAudioFileProperty_ClientDataFormat, &size, &client), noErr);
    EXPECT_EQ(client, pcmClient(kFileRate, 2)) << "the default: float planes at the file's rate and channels";
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
    EXPECT_EQ(fileSize(path), 44 + accepted * 8) << "refused blocks must leave nothing behind";
}

TEST(ExtAudioFileAsync, AfterDisposeWritesAreRefused)
{
    TempDir dir;
    ExtAudioFileRef file;
    ASSERT_EQ(
        ExtAudioFile::create(dir.file("d.wav"), kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file),
        noErr);
    ASSERT_EQ(file->dispose(), noErr);
    Channels in{std::vector<float>(8), std::vector<float>(8)};
    AudioBufferList list = planarList(in, 0, 8);
    EXPECT_NE(file->write(8, &list), noErr);
    EXPECT_NE(file->writeAsync(8, &list), noErr);
    const Decoded d = decodeFile(dir.file("d.wav"));
    EXPECT_EQ(d.status, noErr) << "an empty recording is still a valid file";
    EXPECT_EQ(d.frames(), 0u);
}

}  // namespace
