// ExtAudioFile: what comes back out of the files it writes (length, rate,
// channels, tones and levels), the formats it converts, seeking, and how it
// refuses what it cannot do.
#include "ExtAudioFileTestHelpers.h"
#include "support/Signal.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

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

class ExtAudioFileRoundTrip : public testing::TestWithParam<RoundTripCase> { };

TEST_P(ExtAudioFileRoundTrip, DecodesToTheSameTonesAtTheFileRateAndLength)
{
    const RoundTripCase c = GetParam();
    const bool wav = c.type == kAudioFileWAVEType;
    const AudioFormat& row = *audioFormatOfFileType(c.type);
    if (!haveEncoderFor(c.type))
        GTEST_SKIP() << "FFmpeg has no " << row.codec << " encoder";
    TempDir dir;
    const std::string path = dir.file(std::string("tone.") + c.name);
    const std::size_t clientFrames = std::size_t(c.clientRate * 1.5) + 333;  // not a multiple of any block
    Channels in;
    for (std::uint32_t ch = 0; ch < c.clientChannels; ++ch)
        in.push_back(sine(kTones[ch], c.clientRate, clientFrames));
    {
        ExtAudioFileRef file;
        ASSERT_EQ(createFile(path, c.type, c.clientRate, c.clientChannels, file), noErr);
        ASSERT_EQ(writeAll(*file, in, c.async), noErr);
        ASSERT_EQ(file->dispose(), noErr);
        EXPECT_EQ(file->dispose(), noErr) << "a second dispose repeats the first's answer";
    }

    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.status, noErr);
    const AudioStreamBasicDescription& f = d.fileFormat;
    EXPECT_EQ(std::tuple(f.mSampleRate, f.mChannelsPerFrame, f.mFormatID, f.mBitsPerChannel),
        std::tuple(kFileRate, 2u, row.fileFormat.mFormatID, row.fileFormat.mBitsPerChannel));
    EXPECT_EQ(f, wav ? fileFormatFor(c.type) : f) << "32-bit signed integers";
    if (row.fileFormat.mFormatID == kAudioFormatMPEG4AAC) {
        EXPECT_EQ(f.mFramesPerPacket, 1024u);
    }

    // Exact but for the resampler's rounding: the MPEG-4 edit and the CAF
    // packet table both state the priming and the valid frames.
    const auto expected = std::int64_t(std::llround(double(clientFrames) * kFileRate / c.clientRate));
    EXPECT_NEAR(double(d.lengthFrames), double(expected), 1);
    EXPECT_EQ(std::int64_t(d.frames()), d.lengthFrames) << "the length property must match what read() delivers";

    // Middle half second, away from the resampler's and the codec's edges. A
    // mono client is spread over both channels; channels past the second are
    // dropped, not mixed in.
    for (std::size_t ch = 0; ch < 2; ++ch) {
        const std::vector<float> mid = slice(d.channels[ch], 22050, 22050);
        const std::size_t own = c.clientChannels == 1 ? 0 : ch;
        for (std::size_t t = 0; t < 4; ++t)
            EXPECT_NEAR(toneAmplitude(mid, kTones[t], kFileRate), t == own ? 0.5 : 0, t == own ? 0.03 : 0.01)
                << "channel " << ch << ", tone " << kTones[t];
    }
    // And where it was written, to a fraction of a frame: the encoder's
    // delay is left out, and no more.
    const std::vector<float> mid = slice(d.channels[0], 22050, 4410);
    EXPECT_NEAR(signal_test::toneDelays(mid.data(), mid.size(), kTones[0], kFileRate, 4410, 4410)[0] * kFileRate, 0,
        0.25);
}

INSTANTIATE_TEST_SUITE_P(ExtAudioFile, ExtAudioFileRoundTrip,
    testing::Values(RoundTripCase{kAudioFileWAVEType, "wav", 48000, 1, false},
        RoundTripCase{kAudioFileWAVEType, "wav", 48000, 4, true},
        RoundTripCase{kAudioFileWAVEType, "wav", 44100, 2, true},
        RoundTripCase{kAudioFileM4AType, "m4a", 48000, 1, true},
        RoundTripCase{kAudioFileM4AType, "m4a", 48000, 4, false},
        RoundTripCase{kAudioFileM4AType, "m4a", 44100, 2, true},
        RoundTripCase{kAudioFileCAFType, "caf", 48000, 2, false},
        RoundTripCase{kAudioFileCAFType, "caf", 48000, 1, true},
        RoundTripCase{kAudioFileFLACType, "flac", 48000, 1, false},
        RoundTripCase{kAudioFileFLACType, "flac", 44100, 2, true},
        RoundTripCase{kAudioFileMP3Type, "mp3", 48000, 2, true},
        RoundTripCase{kAudioFileMP3Type, "mp3", 44100, 1, false}),
    [](const testing::TestParamInfo<RoundTripCase>& i) {
        const RoundTripCase& c = i.param;
        return std::string(c.name) + "_" + std::to_string(int(c.clientRate)) + "Hz_" + std::to_string(c.clientChannels)
            + "ch_" + (c.async ? "async" : "sync");
    });

// Each sample carries its own frame index, exactly representable in float
// and in integers of the file's bits, so any lost, repeated or shifted frame
// shows. The index wraps where it would leave that range.
Channels indexRamp(std::size_t frames, int bits)
{
    Channels ch(2, std::vector<float>(frames));
    const std::size_t wrap = std::size_t(1) << (bits - 2);
    for (std::size_t i = 0; i < frames; ++i)
        ch[1][i] = -(ch[0][i] = float(std::ldexp(double(i % wrap), 1 - bits)));
    return ch;
}

std::string writeRampWav(const TempDir& dir, std::size_t frames)
{
    const std::string path = dir.file("ramp.wav");
    ExtAudioFileRef file;
    EXPECT_EQ(createFile(path, kAudioFileWAVEType, kFileRate, 2, file), noErr);
    Channels ramp = indexRamp(frames, 21);
    EXPECT_EQ(writeAll(*file, ramp, true, 441), noErr);
    EXPECT_EQ(file->dispose(), noErr);
    return path;
}

// Reads up to `frames` from the current position into `block`; what read() delivered.
std::uint32_t readInto(ExtAudioFile& file, Channels& block, std::uint32_t frames)
{
    AudioBufferList list = planarList(block, 0, frames);
    EXPECT_EQ(file.read(&frames, &list), noErr);
    return frames;
}

// A lossless format at the file's rate: what a recording's writer takes in
// (through the queue, in blocks that fit no packet) is what comes back out,
// every sample, and a seek lands on the frame.
struct ExactCase {
    AudioFileTypeID type;
    const char* name;
    // The resolution the ramp keeps to: the file's sample size (32-bit WAVE
    // takes 21-bit steps, which float keeps over the whole ramp).
    int bits;
};

class ExtAudioFileExactness : public testing::TestWithParam<ExactCase> { };

TEST_P(ExtAudioFileExactness, AtTheFileRateEverySampleComesBackAndSeeksLandOnTheFrame)
{
    const ExactCase c = GetParam();
    TempDir dir;
    const std::size_t frames = 100000;
    const std::string path = dir.file(std::string("ramp.") + std::string(audioFormatOfFileType(c.type)->extension()));
    Channels ramp = indexRamp(frames, c.bits);
    {
        AudioStreamBasicDescription format = fileFormatFor(c.type);
        if (c.type != kAudioFileWAVEType)
            format.mBitsPerChannel = std::uint32_t(c.bits);
        ExtAudioFileRef file;
        ASSERT_EQ(createFile(path, c.type, kFileRate, 2, file, &format), noErr);
        ASSERT_EQ(writeAll(*file, ramp, true, 441), noErr);
        ASSERT_EQ(file->dispose(), noErr);
    }
    if (c.type == kAudioFileWAVEType) {
        EXPECT_EQ(fileSize(path), wavSizes(path).dataAt + std::int64_t(frames) * 8) << "nothing after the data";
    }
    const Decoded d = decodeFile(path);
    EXPECT_EQ(std::pair(d.lengthFrames, d.fileFormat.mBitsPerChannel),
        std::pair(std::int64_t(frames), std::uint32_t(c.type == kAudioFileWAVEType ? 32 : c.bits)));
    EXPECT_TRUE(d.channels == ramp) << "a frame was lost, repeated or changed";

    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
    Channels block(2, std::vector<float>(64, 7.0f));
    AudioBufferList list = planarList(block, 0, 64);
    list.mBuffers[1].mDataByteSize = 10 * sizeof(float);  // the smaller buffer rules
    std::uint32_t n = 64;
    ASSERT_EQ(file->read(&n, &list), noErr);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(block[0][10], 7.0f) << "nothing written past the frames delivered";
    readInto(*file, block, 64);
    EXPECT_EQ(block[0][0], ramp[0][10]) << "the next read goes on where the short one stopped";
    for (const std::int64_t target : {0, 4095, 66150, 99999, 12345}) {
        ASSERT_EQ(file->seek(target), noErr);
        n = readInto(*file, block, 64);
        ASSERT_EQ(n, std::uint32_t(std::min<std::int64_t>(64, std::int64_t(frames) - target)));
        EXPECT_EQ(block[0][0], ramp[0][std::size_t(target)]) << "seek to " << target;
        EXPECT_EQ(block[1][n - 1], ramp[1][std::size_t(target) + n - 1]);
    }
    // The end, and past it, give 0 frames every time without an error.
    for (const std::int64_t target : {frames, frames, frames + 5000}) {
        ASSERT_EQ(file->seek(target), noErr);
        EXPECT_EQ(readInto(*file, block, 64), 0u);
    }
    EXPECT_NE(file->seek(-1), noErr);
}

INSTANTIATE_TEST_SUITE_P(ExtAudioFile, ExtAudioFileExactness,
    testing::Values(ExactCase{kAudioFileWAVEType, "wav", 21}, ExactCase{kAudioFileFLACType, "flac24", 24},
        ExactCase{kAudioFileFLACType, "flac16", 16}),
    [](const testing::TestParamInfo<ExactCase>& i) { return std::string(i.param.name); });

// Written through the queue and completed by the destructor: an ordinary
// file with its true length, the priming removed, and seeks that land on the
// same samples as a plain read.
TEST(ExtAudioFileM4a, FinalM4aIsAnOrdinaryFileWithoutPrimingThatSeeksToTheSameSamples)
{
    if (!haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    TempDir dir;
    const std::string path = dir.file("tone.m4a");
    const std::size_t frames = 3 * 44100 + 77;
    Channels in{sine(440, kFileRate, frames), sine(660, kFileRate, frames)};
    {
        ExtAudioFileRef file;
        ASSERT_EQ(ExtAudioFile::create(
                      path, kAudioFileM4AType, fileFormatFor(kAudioFileM4AType), kAudioFileFlags_EraseFile, file),
            noErr);
        ASSERT_EQ(writeAll(*file, in, true, 1000), noErr);  // default client: float planes at the file's rate
    }
    EXPECT_EQ(std::pair(boxCount(path, "moov"), boxCount(path, "moof")), std::pair(1ul, 0ul)) << "still fragmented";
    const std::string bytes = fileBytes(path);
    EXPECT_EQ(bytes.find("mvex"), std::string::npos) << "still announces fragments";
    EXPECT_NE(bytes.find("elst"), std::string::npos) << "the priming edit is missing";
    EXPECT_EQ(fileSize(path + ".remux.m4a"), -1) << "temporary file left behind";

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
    for (const std::int64_t target : {0, 1023, 5000, 44117, int(frames) - 100}) {
        ASSERT_EQ(file->seek(target), noErr);
        const std::uint32_t n = readInto(*file, block, 2048);
        ASSERT_EQ(n, std::uint32_t(std::min<std::int64_t>(2048, std::int64_t(frames) - target))) << target;
        double worst = 0;
        for (std::uint32_t i = 0; i < n; ++i)
            worst = std::max(worst, double(std::fabs(block[0][i] - d.channels[0][std::size_t(target) + i])));
        // Noise-substituted bands decode differently after a restart; a
        // shift by a single frame would show as ~0.03 here.
        EXPECT_LT(worst, 0.01) << "seek to " << target;
    }

    // The player reads interleaved floats at its own rate, and one read may
    // deliver less than asked: left and right come back apart and at their level.
    for (const double rate : {48000.0, 22050.0}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(ExtAudioFile::open(path, file), noErr);
        const AudioStreamBasicDescription client = pcmClient(rate, 2, true);
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        std::vector<float> both(8 * std::size_t(rate));  // room for more frames than there are
        std::uint32_t got = 0;
        for (std::uint32_t n = 1; n > 0; got += n) {
            AudioBufferList list{1, {{2, std::uint32_t((both.size() - 2 * got) * 4), both.data() + 2 * got}}};
            n = std::uint32_t(both.size() / 2) - got;
            ASSERT_EQ(file->read(&n, &list), noErr);
        }
        EXPECT_NEAR(double(got), double(frames) * rate / kFileRate, 2);
        Channels read(2);
        for (std::size_t i = got / 4; i < got * 3 / 4; ++i)
            read[0].push_back(both[2 * i]), read[1].push_back(both[2 * i + 1]);
        EXPECT_NEAR(toneAmplitude(read[0], 440, rate), 0.5, 0.01);
        EXPECT_NEAR(toneAmplitude(read[1], 660, rate), 0.5, 0.01);
        EXPECT_LT(toneAmplitude(read[0], 660, rate), 0.005);
    }
}

// An existing file is replaced only when asked to; a refusal leaves it as it was.
TEST(ExtAudioFileCreate, ReplacesOnlyWhenAskedAndFailsCleanly)
{
    TempDir dir;
    for (const AudioFileTypeID type : {kAudioFileWAVEType, kAudioFileM4AType}) {
        const std::string path = dir.file(type == kAudioFileWAVEType ? "old.wav" : "old.m4a");
        std::ofstream(path) << std::string(300000, 'x');
        ExtAudioFileRef file;
        EXPECT_NE(ExtAudioFile::create(path, type, fileFormatFor(type), 0, file), noErr);
        EXPECT_FALSE(file);
        EXPECT_EQ(fileSize(path), 300000) << "refused creation must leave the old file alone";
        if (type != kAudioFileWAVEType && !haveAac())
            continue;
        ASSERT_EQ(createFile(path, type, kFileRate, 2, file), noErr);
        Channels in{sine(1000, kFileRate, 4410), sine(1000, kFileRate, 4410)};
        ASSERT_EQ(writeAll(*file, in, false), noErr);
        ASSERT_EQ(file->dispose(), noErr);
        EXPECT_NEAR(double(decodeFile(path).frames()), 4410, 1);
    }
}

// What is not an audio file is refused; a WAVE file cut short reads what is
// there; a file opened for reading refuses writes.
TEST(ExtAudioFileOpen, RefusesWhatIsNotAnAudioFileAndReadsATruncatedOne)
{
    TempDir dir;
    const std::string whole = writeRampWav(dir, 10000);
    const std::string bytes = fileBytes(whole);
    std::ofstream(dir.file("garbage.m4a"), std::ios::binary) << std::string(5000, '\x5a');
    std::ofstream(dir.file("cut-header.wav"), std::ios::binary) << bytes.substr(0, 20);
    std::ofstream(dir.file("cut.wav"), std::ios::binary)
        << bytes.substr(0, std::size_t(wavSizes(whole).dataAt) + 4000 * 8 + 5);
    for (const std::string name : {"nothing.wav", "garbage.m4a", "cut-header.wav", "."}) {
        ExtAudioFileRef file;
        EXPECT_NE(ExtAudioFile::open(dir.file(name), file), noErr) << name;
        EXPECT_FALSE(file) << name;
    }
    Decoded d = decodeFile(dir.file("cut.wav"));
    ASSERT_EQ(d.status, noErr);
    EXPECT_EQ(d.frames(), 4000u) << "a frame cut short is not delivered";
    EXPECT_EQ(d.channels[0][3999], float(3999 / 1048576.0));

    ExtAudioFileRef file;
    ASSERT_EQ(ExtAudioFile::open(whole, file), noErr);
    AudioBufferList list = planarList(d.channels, 0, 10);
    EXPECT_NE(file->write(10, &list), noErr);
    EXPECT_NE(file->writeAsync(10, &list), noErr);
}

// Another encoder's MP3 (ID3 tag, Info frame, the encoder's delay and
// padding) reads at the length it was made, to the frame, as MPEG-1 stereo
// and as MPEG-2 mono.
TEST(ExtAudioFileOpen, AnMp3ReadsAtItsLengthWithoutTheEncodersDelayAndPadding)
{
    if (!haveTool("ffmpeg"))
        GTEST_SKIP() << "no ffmpeg to make the files";
    TempDir dir;
    for (const auto& [rate, channels] : {std::pair{44100, 2}, {22050, 1}}) {
        const std::string path = dir.file("made-" + std::to_string(rate) + ".mp3");
        const std::vector<std::string> argv{"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
            "sine=f=1000:d=3.676:r=" + std::to_string(rate), "-ac", std::to_string(channels), "-c:a", "libmp3lame",
            path};
        const testsupport::CommandResult made = testsupport::runCommand(argv, std::chrono::seconds(60));
        if (!made.ok() && made.errors.find("libmp3lame") != std::string::npos)
            GTEST_SKIP() << made.errors;
        ASSERT_TRUE(made.ok()) << made.errors;
        const Decoded d = decodeFile(path);
        ASSERT_EQ(d.status, noErr);
        EXPECT_EQ(d.lengthFrames, std::llround(3.676 * rate)) << path;
        EXPECT_EQ(std::int64_t(d.frames()), d.lengthFrames) << path;
    }
}

// Blocks of three seconds outrun the writer: a full queue refuses whole
// blocks, the caller's loss and not a writer failure, and keeps all it took.
// A disposed-of file refuses writes; one that never took a frame is no take
// and leaves no file.
TEST(ExtAudioFileAsync, AFullQueueRefusesWholeBlocksAndLosesNothingAccepted)
{
    TempDir dir;
    const std::string path = dir.file("full.wav");
    ExtAudioFileRef file;
    ASSERT_EQ(createFile(dir.file("empty.wav"), kAudioFileWAVEType, kFileRate, 2, file), noErr);
    EXPECT_EQ(file->dispose(), kAudioFileNothingRecordedError);
    EXPECT_FALSE(std::filesystem::exists(dir.file("empty.wav")));
    ASSERT_EQ(createFile(path, kAudioFileWAVEType, kFileRate, 2, file), noErr);
    Channels big{sine(1000, kFileRate, 132300), sine(1000, kFileRate, 132300)};
    std::int64_t accepted = 0;
    int refused = 0;
    for (int i = 0; i < 40 && refused == 0; ++i) {
        AudioBufferList block = planarList(big, 0, 132300);
        if (OSStatus s = file->writeAsync(132300, &block))
            refused += s == kExtAudioFileError_AsyncWriteBufferOverflow;
        else
            accepted += 132300;
    }
    EXPECT_GT(refused, 0) << "the queue never filled";
    EXPECT_EQ(file->writerStatus(), noErr);
    ASSERT_EQ(file->dispose(), noErr);
    EXPECT_EQ(fileSize(path), wavSizes(path).dataAt + accepted * 8) << "refused blocks must leave nothing behind";
    AudioBufferList list = planarList(big, 0, 10);
    EXPECT_NE(file->write(10, &list), noErr);
    EXPECT_NE(file->writeAsync(10, &list), noErr);
}

}  // namespace
