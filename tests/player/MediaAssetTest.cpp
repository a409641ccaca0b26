// MediaAsset: lengths exact to the frame, a crashed fragmented recording
// measured from its packets, and files that are not audio at all.
#include "engine/ExtAudioFileTestHelpers.h"
#include "platform/MediaPlayer.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace eaf_test;

namespace {

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Odd lengths, so that neither a whole AAC packet nor a round millisecond hides an error.
TEST(MediaAsset, LengthIsExactToTheFrameWithTheSampleRateAsTimescale)
{
    TempDir dir;
    for (const char* ext : {"wav", "m4a"})
        for (const std::size_t frames : {std::size_t(1), std::size_t(44100 * 3 + 517)}) {
            if (ext[0] == 'm' && !haveAac())
                continue;  // FFmpeg has no AAC encoder
            const std::string path = dir.file(std::to_string(frames) + "." + ext);
            const auto tone = signal_test::sine(440, 44100, frames);
            ASSERT_EQ(writeStereoFile(path, 44100, tone, tone), noErr);
            const auto asset = MediaAsset::assetWithPath(path);
            ASSERT_TRUE(asset) << path;
            EXPECT_EQ(asset->audioTrackCount(), 1);
            EXPECT_EQ(asset->duration().timescale, 44100);
            EXPECT_EQ(asset->duration().value, std::int64_t(frames)) << path;
            EXPECT_EQ(decodeFile(path).frames(), frames) << "the reader the player plays through agrees";
        }
}

// The fragmented file a crash leaves states no usable length in its header.
TEST(MediaAsset, AFragmentedRecordingCutOffByACrashIsMeasuredFromItsPackets)
{
    if (!haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    TempDir dir;
    const std::string path = dir.file("killed.m4a");
    constexpr double kSeconds = 3.0;
    ASSERT_EQ(recordThenKill(path, kAudioFileM4AType, kSeconds), "");

    const auto asset = MediaAsset::assetWithPath(path);
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->audioTrackCount(), 1);
    EXPECT_EQ(asset->duration().timescale, 44100);
    // At most the last one-second fragment is lost.
    EXPECT_GE(asset->duration().seconds(), kSeconds - 1.0);
    EXPECT_LE(asset->duration().seconds(), kSeconds + 0.1);
    // Exactly what the reader delivers: the player ends at duration().
    EXPECT_EQ(asset->duration().value, std::int64_t(decodeFile(path).frames()));

    // Killed in the middle of writing a packet: the fragment's header still
    // lists the packet, whose data never reached the disk.
    struct stat st { };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(::truncate(path.c_str(), st.st_size - 100), 0);
    const auto cut = MediaAsset::assetWithPath(path);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->duration().value, std::int64_t(decodeFile(path).frames()));
    EXPECT_LT(cut->duration().value, asset->duration().value);
}

TEST(MediaAsset, MissingEmptyAndNonAudioFilesGiveNoAssetOrNoAudioTrack)
{
    TempDir dir;
    EXPECT_FALSE(MediaPlayer::playerWithAsset(nullptr));
    EXPECT_FALSE(MediaAsset::assetWithPath(dir.path())) << "a folder";
    std::string garbage(64 * 1024, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 2654435761u) >> 13);
    writeBytes(dir.file("garbage.m4a"), garbage);
    writeBytes(dir.file("text.wav"), "not a recording at all\n");
    writeBytes(dir.file("empty.m4a"), "");
    for (const char* name : {"missing.m4a", "empty.m4a", "garbage.m4a", "text.wav"}) {
        const auto asset = MediaAsset::assetWithPath(dir.file(name));
        EXPECT_TRUE(!asset || (asset->audioTrackCount() == 0 && asset->duration().seconds() == 0.0)) << name;
        EXPECT_FALSE(MediaPlayer::playerWithAsset(asset)) << name;
    }
}

}  // namespace
