#include "platform/PulseMediaPlayer.h"

std::unique_ptr<MediaPlayer> makePulseMediaPlayer(std::shared_ptr<MediaAsset>)
{
    return nullptr;
}
