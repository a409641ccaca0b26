// The virtual-time player, for what the library's own tests do not reach:
// positions in frames, the end of the file, seeks in another timescale, the
// volume log of the newest live player, and the factory's life.
#include "platform/VirtualMediaPlayer.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

TEST(VirtualPlayer, ConsumesOnlyVirtualTimeStopsAtTheEndAndLogsVolumesOfTheNewestLivePlayer)
{
    TempDir dir;
    const std::string path = dir.file("silence.wav");  // 2.5 s at 44.1 kHz
    const std::vector<float> silence(110250);
    ASSERT_EQ(writeStereoFile(path, 44100, silence, silence), noErr);
    const auto asset = MediaAsset::assetWithPath(path);
    ASSERT_TRUE(asset);
    std::unique_ptr<MediaPlayer> first;
    {
        auto output = VirtualMediaOutput::install();
        first = MediaPlayer::playerWithAsset(asset);
        ASSERT_TRUE(first);
        EXPECT_FALSE(MediaPlayer::playerWithAsset(nullptr));
        output->advance(1.0);
        EXPECT_EQ(first->currentTime().value, 0) << "paused: no time passes";
        first->play();
        output->advance(0.5);
        first->setVolume(0.25f);
        first->setVolume(0.25f);  // a repeated value is a call all the same
        ASSERT_EQ(output->volumeChanges().size(), 2u);
        EXPECT_DOUBLE_EQ(output->volumeChanges()[0].position, 0.5);

        auto second = MediaPlayer::playerWithAsset(asset);
        EXPECT_EQ(output->playersMade(), 2);
        EXPECT_TRUE(output->volumeChanges().empty()) << "the newest player has none";
        second->play();
        output->advance(10.0);
        EXPECT_EQ(first->currentTime().value, 22050) << "only the newest advances";
        EXPECT_EQ(second->currentTime().value, 110250) << "stops at the end, not past it";
        EXPECT_EQ(second->currentTime().timescale, 44100);
        EXPECT_EQ(second->rate(), 0.0f);
        second->play();
        EXPECT_EQ(second->rate(), 0.0f) << "nothing left to play";
        second->seekToTime(MediaTime{1500, 1000});  // to the nearest frame
        EXPECT_EQ(second->currentTime().value, 66150);
        second->seekToTime(MediaTime{-5, 1});
        EXPECT_EQ(second->currentTime().value, 0);
        EXPECT_EQ(output->seeks(), 2);
        second.reset();
        EXPECT_EQ(output->volumeChanges().size(), 2u) << "the first is the newest live one again";
        EXPECT_EQ(output->seeks(), 0);
    }
    first->setVolume(0.5f);  // outlives its output
    auto output = VirtualMediaOutput::install();
    EXPECT_EQ(output->playersMade(), 0);
    EXPECT_FALSE(output->hasLivePlayer());
}

}  // namespace
