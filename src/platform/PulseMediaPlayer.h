// The real player: FFmpeg decoding on a thread of its own into a playback
// stream of the sound server. See MediaPlayer.h for the contract.
#pragma once

#include "platform/MediaPlayer.h"

// Null when the sound server cannot be reached or the file cannot be decoded.
std::unique_ptr<MediaPlayer> makePulseMediaPlayer(std::shared_ptr<MediaAsset> asset);
