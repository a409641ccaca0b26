// The virtual-time player, for what the library's own tests do not reach:
// positions in frames, the end of the file, seeks, the volume log and the
// factory's life. Files are real (the asset is measured), nothing is heard.
#include "engine/ExtAudioFileTestHelpers.h"
#include "platform/VirtualMediaPlayer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace eaf_test;

namespace {

class VirtualPlayer : public testing::Test {
protected:
    void SetUp() override
    {
        // 2.5 s at 44.1 kHz.
        path_ = dir_.file("tone.wav");
        ExtAudioFileRef file;
        ASSERT_EQ(
            ExtAudioFile::create(path_, kAudioFileWAVEType, wavFileFormat(), kAudioFileFlags_EraseFile, file), noErr);
        const AudioStreamBasicDescription client = pcmClient(44100, 2);
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        Channels silence(2, std::vector<float>(110250));
        ASSERT_EQ(writeAll(*file, silence, false), noErr);
        ASSERT_EQ(file->dispose(), noErr);
        asset_ = MediaAsset::assetWithPath(path_);
        ASSERT_TRUE(asset_);
    }

    TempDir dir_;
    std::string path_;
    std::shared_ptr<MediaAsset> asset_;
};

TEST_F(VirtualPlayer, MovesOnlyWhilePlayingAndStopsAtTheEndWithRateZero)
{
    auto output = VirtualMediaOutput::install();
    auto player = MediaPlayer::playerWithAsset(asset_);
    ASSERT_TRUE(player);
    EXPECT_EQ(output->playersMade(), 1);
    EXPECT_TRUE(output->hasLivePlayer());
    EXPECT_EQ(player->rate(), 0.0f);
    EXPECT_EQ(player->volume(), 1.0f);

    output->advance(1.0);
    EXPECT_EQ(player->currentTime().value, 0) << "paused: no time passes";
    player->play();
    EXPECT_EQ(player->rate(), 1.0f);
    output->advance(1.0);
    EXPECT_EQ(player->currentTime().value, 44100);
    EXPECT_EQ(player->currentTime().timescale, 44100);
    output->advance(10.0);
    EXPECT_EQ(player->currentTime().value, 110250) << "stops at the end, not past it";
    EXPECT_EQ(player->rate(), 0.0f);
    player->play();
    EXPECT_EQ(player->rate(), 0.0f) << "nothing left to play";

    // A seek in another timescale lands on the nearest frame; beyond the end it clamps.
    player->seekToTime(MediaTime{1500, 1000});
    EXPECT_EQ(player->currentTime().value, 66150);
    player->seekToTime(MediaTime{-5, 1});
    EXPECT_EQ(player->currentTime().value, 0);
    player->seekToTime(MediaTime{7, 1});
    EXPECT_EQ(player->currentTime().value, 110250);
    EXPECT_EQ(output->seeks(), 3);
}

TEST_F(VirtualPlayer, KeepsEveryVolumeCallWithItsPositionForTheNewestLivePlayer)
{
    auto output = VirtualMediaOutput::install();
    auto first = MediaPlayer::playerWithAsset(asset_);
    first->play();
    output->advance(0.5);
    first->setVolume(0.25f);
    first->setVolume(0.25f);  // a repeated value is a call all the same
    ASSERT_EQ(output->volumeChanges().size(), 2u);
    EXPECT_DOUBLE_EQ(output->volumeChanges()[0].position, 0.5);
    EXPECT_EQ(output->volumeChanges()[0].volume, 0.25f);
    EXPECT_EQ(first->volume(), 0.25f);

    auto second = MediaPlayer::playerWithAsset(asset_);
    EXPECT_EQ(output->playersMade(), 2);
    EXPECT_TRUE(output->volumeChanges().empty()) << "the newest player has none";
    second->play();
    output->advance(1.0);
    EXPECT_EQ(first->currentTime().value, 22050) << "only the newest advances";
    EXPECT_EQ(second->currentTime().value, 44100);
    second.reset();
    EXPECT_EQ(output->volumeChanges().size(), 2u) << "the first is the newest live one again";
    first.reset();
    EXPECT_FALSE(output->hasLivePlayer());
    EXPECT_TRUE(output->volumeChanges().empty());
    EXPECT_EQ(output->seeks(), 0);
}

TEST_F(VirtualPlayer, APlayerOutlivesItsOutputAndTheOutputTakesItsFactoryAway)
{
    std::unique_ptr<MediaPlayer> player;
    {
        auto output = VirtualMediaOutput::install();
        player = MediaPlayer::playerWithAsset(asset_);
        EXPECT_FALSE(MediaPlayer::playerWithAsset(nullptr));
    }
    player->play();
    player->setVolume(0.5f);
    EXPECT_EQ(player->currentTime().value, 0);
    // Another output can be installed once the first is gone, and starts from zero.
    auto output = VirtualMediaOutput::install();
    EXPECT_EQ(output->playersMade(), 0);
    EXPECT_FALSE(output->hasLivePlayer());
}

}  // namespace
