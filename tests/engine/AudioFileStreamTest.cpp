// AudioFileStream: the file type a path's extension chooses, the counted
// writes, seeking by seconds, and the stream's life from open to closed.
#include "AudioRecord/AudioFileStream.h"
#include "ExtAudioFileTestHelpers.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace eaf_test;

namespace {

// Two channels of float, one buffer each: the capture format.
AudioStreamBasicDescription captureFormat()
{
    return pcmClient(44100, 2);
}

struct ExtensionCase {
    const char* name;  // inside a folder named "take.v2.wav", whose dots must not count
    const char* leadingBytes;
    std::size_t at;
};

class AudioFileStreamExtension : public testing::TestWithParam<ExtensionCase> { };

TEST_P(AudioFileStreamExtension, ChoosesTheFileTypeFromTheLowerCasedExtension)
{
    const ExtensionCase c = GetParam();
    TempDir dir;
    const std::string folder = dir.file("take.v2.wav");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string path = folder + "/" + c.name;
    auto stream = AudioFileStream::streamForWritingAtPath(path);
    ASSERT_NE(stream, nullptr);
    stream->setClientDataFormat(captureFormat());
    Channels tone{std::vector<float>(4096, 0.25f), std::vector<float>(4096, 0.25f)};
    AudioBufferList list = planarList(tone, 0, 512);
    EXPECT_EQ(stream->writeBufferList(&list, 512), 512);
    EXPECT_EQ(stream->writedFrames(), 512);
    list.mBuffers[1].mDataByteSize = 100;  // shorter than the frames claimed
    EXPECT_EQ(stream->writeBufferList(&list, 512), 0);
    EXPECT_EQ(stream->writedFrames(), 512) << "a failed write is not counted";
    EXPECT_EQ(stream->close(), noErr);

    EXPECT_EQ(fileBytes(path).substr(c.at, 4), c.leadingBytes);
    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.status, noErr);
    EXPECT_EQ(d.fileFormat.mSampleRate, 44100);
    EXPECT_EQ(d.fileFormat.mChannelsPerFrame, 2u);
    EXPECT_NEAR(double(d.frames()), 512, 1);
    EXPECT_NEAR(double(d.lengthFrames), 512, 1);
}

INSTANTIATE_TEST_SUITE_P(AudioFileStream, AudioFileStreamExtension,
    testing::Values(ExtensionCase{"rec.WAV", "RIFF", 0}, ExtensionCase{"rec.m4a", "ftyp", 4},
        ExtensionCase{"rec.mp3", "ftyp", 4}, ExtensionCase{"rec", "ftyp", 4}, ExtensionCase{"rec.caf", "caff", 0}),
    [](const testing::TestParamInfo<ExtensionCase>& i) {
        std::string name = i.param.name;
        for (char& ch : name)
            if (ch == '.')
                ch = '_';
        return name;
    });

TEST(AudioFileStream, SeeksBySecondsAtTheFileRateAndClosesOnce)
{
    TempDir dir;
    const std::string path = dir.file("ramp.wav");
    {
        auto stream = AudioFileStream::streamForWritingAtPath(path);
        ASSERT_NE(stream, nullptr);
        stream->setClientDataFormat(captureFormat());
        // Each sample says which frame it is.
        Channels ramp(2, std::vector<float>(2 * 44100));
        for (std::size_t i = 0; i < ramp[0].size(); ++i)
            ramp[0][i] = ramp[1][i] = float(double(i) / 1048576.0);
        for (std::size_t at = 0; at < ramp[0].size(); at += 4410) {
            AudioBufferList list = planarList(ramp, at, 4410);
            ASSERT_EQ(stream->writeBufferList(&list, 4410), 4410);
        }
        EXPECT_EQ(stream->close(), noErr);
        EXPECT_FALSE(stream->isOpen());
        EXPECT_EQ(stream->close(), noErr) << "a second close is harmless";
    }

    auto stream = AudioFileStream::streamForReadingAtPath(path);
    ASSERT_NE(stream, nullptr);
    stream->setClientDataFormat(captureFormat());
    Channels out(2, std::vector<float>(16));
    const auto firstFrameAfterSeek = [&](double seconds) {
        stream->seekToTime(seconds);
        AudioBufferList list = planarList(out, 0, 16);
        EXPECT_EQ(stream->readBufferList(&list, 16), 16);
        return std::llround(double(out[0][0]) * 1048576.0);
    };
    EXPECT_EQ(firstFrameAfterSeek(1.5), 66150);
    EXPECT_EQ(firstFrameAfterSeek(0.00001), 0);
    stream->close();
    EXPECT_FALSE(stream->isOpen());
}

TEST(AudioFileStream, OpensNothingWhereThereIsNoFileOrFolder)
{
    TempDir dir;
    EXPECT_EQ(AudioFileStream::streamForReadingAtPath(dir.file("missing.wav")), nullptr);
    EXPECT_EQ(AudioFileStream::streamForWritingAtPath(dir.file("no/such/folder/rec.m4a")), nullptr);
    AudioFileStream never;
    never.configWithPath(dir.file("missing.m4a"), true);
    EXPECT_FALSE(never.isOpen());
    EXPECT_EQ(never.audioPath(), dir.file("missing.m4a")) << "the path is kept even when opening fails";
    EXPECT_EQ(never.close(), noErr);
}

TEST(AudioFileStream, AudioFormatCodeOneAloneMeansWav)
{
    EXPECT_EQ(AudioFileStream::extensionForAudioFormat(1), "wav");
    for (long long code : {0LL, 2LL, -1LL, 7LL})
        EXPECT_EQ(AudioFileStream::extensionForAudioFormat(code), "m4a") << code;
}

}  // namespace
