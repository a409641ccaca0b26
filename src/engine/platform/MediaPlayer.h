// Playback of one recording for the library's preview: an asset (what the
// file holds) and a player (play, pause, rate, position, seek, volume).
//
// The real player decodes with FFmpeg on a thread of its own into a sound
// server playback stream; the test player consumes audio in virtual time,
// advanced by the test. Which one playerWithAsset() makes is chosen by the
// process-wide factory slot, filled by installPulsePlatform()
// (platform/pulse/PulsePlatform.h) or by a test; while it is empty there is
// no player.
//
// Threads: an asset and a player are made and used from one thread (the main
// thread); the player's own threads are internal and never call back.
#pragma once

#include "platform/FadeEnvelope.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// A rational time: value / timescale seconds. A timescale of 0 means "no
// time" (an unmeasurable length) and reads as 0 seconds, never as NaN.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;

    double seconds() const { return timescale > 0 ? double(value) / double(timescale) : 0.0; }
};

class MediaAsset {
public:
    // Null when the file cannot be opened or read as audio at all.
    static std::shared_ptr<MediaAsset> assetWithPath(const std::string& path);

    virtual ~MediaAsset() = default;
    const std::string& path() const { return path_; }
    // The length with the file's sample rate as timescale, so a seek lands on
    // an exact frame. A file that states no length (a fragmented MPEG-4 file
    // cut off by a crash) is measured from its packets.
    MediaTime duration() const { return duration_; }
    // Number of audio streams in the file (0: nothing to play).
    int audioTrackCount() const { return audioTracks_; }

protected:
    MediaAsset(std::string path, MediaTime duration, int audioTracks)
        : path_(std::move(path)), duration_(duration), audioTracks_(audioTracks)
    {
    }

private:
    std::string path_;
    MediaTime duration_;
    int audioTracks_;
};

class MediaPlayer {
public:
    using Factory = std::function<std::unique_ptr<MediaPlayer>(std::shared_ptr<MediaAsset>)>;

    // A paused player at position 0, or null when the asset cannot be played.
    static std::unique_ptr<MediaPlayer> playerWithAsset(std::shared_ptr<MediaAsset> asset);
    // Installs the factory playerWithAsset() uses (empty: none); returns the previous one.
    static Factory setFactory(Factory factory);

    virtual ~MediaPlayer() = default;

    virtual void play() = 0;
    virtual void pause() = 0;
    // 1 while playing, 0 while paused and once the end of the file is reached.
    virtual float rate() const = 0;
    // The audible position: what the listener hears now. Right after a seek
    // it reads back the seek target.
    virtual MediaTime currentTime() const = 0;
    // Drops whatever is queued and continues from the given time, playing or
    // paused as before.
    virtual void seekToTime(MediaTime time) = 0;
    // Linear gain 0..1, ramped over a few milliseconds so that changes do not click.
    virtual void setVolume(float volume) = 0;
    virtual float volume() const = 0;
    // How often the sound server ran out of what was written while playing
    // (the machine too busy to keep up): each is a gap in what is heard.
    virtual std::uint32_t underruns() const { return 0; }
    // The trimmed range and its fades, applied to each frame as it is played,
    // as the export applies them to each frame it writes; with `onlyRange`
    // the frames outside the range are silence (a preview plays only what an
    // export would hold). None: every frame as it is.
    struct Envelope {
        FadeEnvelope fades;
        bool onlyRange = false;
    };
    virtual void setEnvelope(std::optional<Envelope> envelope) = 0;
};
