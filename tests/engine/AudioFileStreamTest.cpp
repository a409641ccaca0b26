// AudioFileStream: the file type a path's extension chooses, and the counted writes.
#include "AudioRecord/AudioFileStream.h"
#include "ExtAudioFileTestHelpers.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace eaf_test;

// The folder's dots must not count as an extension; only the lower-cased
// extension after the last one does, and anything unknown is MPEG-4.
TEST(AudioFileStream, ChoosesTheTypeByExtensionAndCountsOnlyWhatItWrites)
{
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("take.v2.wav").c_str(), 0755), 0);
    EXPECT_EQ(AudioFileStream::streamForWritingAtPath(dir.file("no/such/folder/rec.m4a")), nullptr);
    Channels tone(2, signal_test::sine(1000, 44100, 4410));
    for (const auto& [name, magic, at] : std::vector<std::tuple<std::string, std::string, std::size_t>>{
             {"rec.WAV", "RIFF", 0}, {"rec.mp3", "ftyp", 4}, {"rec", "ftyp", 4}, {"rec.caf", "caff", 0}}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file("take.v2.wav/" + name);
        auto stream = AudioFileStream::streamForWritingAtPath(path);
        ASSERT_NE(stream, nullptr);
        stream->setClientDataFormat(pcmClient(44100, 2));
        AudioBufferList list = planarList(tone, 0, 4410);
        ASSERT_EQ(stream->writeBufferList(&list, 4410), 4410);
        list.mBuffers[1].mDataByteSize = 100;  // shorter than the frames claimed
        EXPECT_EQ(stream->writeBufferList(&list, 512), 0);
        EXPECT_EQ(stream->writedFrames(), 4410) << "a failed write is not counted";
        EXPECT_EQ(stream->close(), noErr);
        EXPECT_FALSE(stream->isOpen());
        EXPECT_EQ(stream->close(), noErr) << "a second close is harmless";
        EXPECT_EQ(fileBytes(path).substr(at, 4), magic);
        EXPECT_NEAR(double(decodeFile(path).lengthFrames), 4410, 1);
    }
}
