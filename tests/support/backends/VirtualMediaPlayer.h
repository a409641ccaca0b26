// A player for tests that consumes audio in virtual time: nothing is heard,
// and the position moves only when the test advances the clock, so loops,
// the end of a file and volume envelopes are checked without waiting.
//
// VirtualMediaOutput::install() makes every later MediaPlayer::playerWithAsset()
// call return a virtual player fed by this output, until the output goes.
// One output at a time; the test's thread only.
#pragma once

#include "platform/MediaPlayer.h"

#include <memory>
#include <optional>

class VirtualMediaOutput {
public:
    static std::unique_ptr<VirtualMediaOutput> install();
    ~VirtualMediaOutput();

    // Plays `seconds` of audio on the newest live player, if it is playing:
    // its position moves on; at the end of the file it stops there with rate 0.
    void advance(double seconds);

    int playersMade() const;  // live or not
    // The envelope the newest live player shapes its frames with; none without one.
    std::optional<MediaPlayer::Envelope> envelope() const;

    struct State;

private:
    VirtualMediaOutput() = default;
    std::shared_ptr<State> state_;
};
