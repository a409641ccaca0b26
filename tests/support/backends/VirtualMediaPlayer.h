// A player for tests that consumes audio in virtual time: nothing is heard,
// and the position moves only when the test advances the clock, so loops,
// the end of a file and volume envelopes are checked without waiting.
//
// VirtualMediaOutput::install() makes every later MediaPlayer::playerWithAsset()
// call return a virtual player fed by this output; the output keeps every
// volume change with the position it was made at. Destroying the output
// empties the factory slot (no player).
//
// Threads: the test's thread only.
#pragma once

#include "platform/MediaPlayer.h"

#include <memory>
#include <vector>

class VirtualMediaOutput {
public:
    struct VolumeChange {
        double position;  // seconds, the player's position when it was set
        float volume;
    };

    // Installs the factory; only one output may be installed at a time.
    static std::unique_ptr<VirtualMediaOutput> install();
    ~VirtualMediaOutput();
    VirtualMediaOutput(const VirtualMediaOutput&) = delete;
    VirtualMediaOutput& operator=(const VirtualMediaOutput&) = delete;

    // Plays `seconds` of audio on the newest live player, if it is playing:
    // its position moves on; at the end of the file it stops there with rate 0.
    void advance(double seconds);

    // Players made so far (live or not).
    int playersMade() const;
    // Of the newest live player; empty or zero without one.
    const std::vector<VolumeChange>& volumeChanges() const;
    int seeks() const;

    struct State;

private:
    VirtualMediaOutput();
    std::shared_ptr<State> state_;
};
