// The real player: FFmpeg decoding on a thread of its own into a playback
// stream of the sound server. See MediaPlayer.h for the contract.
#pragma once

#include "platform/MediaPlayer.h"
#include "platform/pulse/PulseConnection.h"

// A player whose stream lives on `connection`'s loop, which it keeps alive.
// Null when there is no connection or the file cannot be decoded.
std::unique_ptr<MediaPlayer> makePulseMediaPlayer(
    std::shared_ptr<MediaAsset> asset, std::shared_ptr<PulseConnection> connection);
