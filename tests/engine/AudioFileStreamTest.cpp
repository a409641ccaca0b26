// AudioFileStream: the file type a path's extension chooses, the counted
// writes, seeking by seconds, and the stream's life from open to closed.
#include "AudioRecord/AudioFileStream.h"
#include "ExtAudioFileTestHelpers.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace eaf_test;

namespace {

// Each sample says which frame it is. The folder's dots must not count as an
// extension; only the lower-cased extension after the last one does.
TEST(AudioFileStream, ChoosesTheTypeByExtensionCountsWritesAndSeeksBySeconds)
{
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("take.v2.wav").c_str(), 0755), 0);
    Channels ramp(2, std::vector<float>(70560));
    for (std::size_t i = 0; i < ramp[0].size(); ++i)
        ramp[0][i] = ramp[1][i] = float(double(i) / 1048576.0);
    for (const auto& [name, magic, at] : std::vector<std::tuple<std::string, std::string, std::size_t>>{
             {"rec.WAV", "RIFF", 0}, {"rec.m4a", "ftyp", 4}, {"rec.mp3", "ftyp", 4}, {"rec", "ftyp", 4},
             {"rec.caf", "caff", 0}}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file("take.v2.wav/" + name);
        auto stream = AudioFileStream::streamForWritingAtPath(path);
        ASSERT_NE(stream, nullptr);
        stream->setClientDataFormat(pcmClient(44100, 2));
        const std::size_t frames = name == "rec.WAV" ? ramp[0].size() : 4410;  // long enough to seek in
        for (std::size_t frame = 0; frame < frames; frame += 4410) {
            AudioBufferList list = planarList(ramp, frame, 4410);
            ASSERT_EQ(stream->writeBufferList(&list, 4410), 4410);
        }
        AudioBufferList list = planarList(ramp, 0, 512);
        list.mBuffers[1].mDataByteSize = 100;  // shorter than the frames claimed
        EXPECT_EQ(stream->writeBufferList(&list, 512), 0);
        EXPECT_EQ(stream->writedFrames(), std::int64_t(frames)) << "a failed write is not counted";
        EXPECT_EQ(stream->close(), noErr);
        EXPECT_FALSE(stream->isOpen());
        EXPECT_EQ(stream->close(), noErr) << "a second close is harmless";
        EXPECT_EQ(fileBytes(path).substr(at, 4), magic);
        const Decoded d = decodeFile(path);
        EXPECT_EQ(d.fileFormat.mSampleRate, 44100);
        EXPECT_EQ(d.fileFormat.mChannelsPerFrame, 2u);
        EXPECT_NEAR(double(d.lengthFrames), double(frames), 1);
        if (name != "rec.WAV")
            continue;
        stream = AudioFileStream::streamForReadingAtPath(path);
        ASSERT_NE(stream, nullptr);
        stream->setClientDataFormat(pcmClient(44100, 2));
        Channels out(2, std::vector<float>(16));
        for (const auto& [seconds, frame] : {std::pair{1.5, 66150}, {0.00001, 0}}) {
            stream->seekToTime(seconds);
            list = planarList(out, 0, 16);
            EXPECT_EQ(stream->readBufferList(&list, 16), 16);
            EXPECT_EQ(std::llround(double(out[0][0]) * 1048576.0), frame) << seconds;
        }
    }
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
    // The stored setting's code 1 alone means WAVE.
    EXPECT_EQ(AudioFileStream::extensionForAudioFormat(1), "wav");
    for (long long code : {0LL, 2LL, -1LL, 7LL})
        EXPECT_EQ(AudioFileStream::extensionForAudioFormat(code), "m4a") << code;
}

}  // namespace
