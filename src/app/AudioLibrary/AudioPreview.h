// The preview of the chosen recording: its player, the 0.1 s play timer that
// follows it, the play position, the trim range and the fades as rates and
// seconds, and the preview loop over the trim range. No widgets: after every
// change it says changed(), and the library window shows the new state on
// its bar, labels and buttons.
//
// Main thread; the player plays on its own threads and is only sent
// commands. The library window owns the one preview.
#pragma once

#include "AudioLibrary/WaveOverviewLoader.h"
#include "platform/FadeEnvelope.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>

class MediaPlayer;

class AudioPreview : public QObject {
    Q_OBJECT

public:
    static constexpr int kPlayTimerMilliseconds = 100;

    explicit AudioPreview(QObject* parent = nullptr);
    ~AudioPreview() override;

    // A player for the recording at `path`; false (and nothing loaded) when
    // it holds no audio that plays.
    bool load(const QString& path);
    // No player, no length; the timer stops.
    void unload();
    bool isLoaded() const { return player_ != nullptr; }
    // The loaded recording's path, empty when none is.
    const QString& path() const { return path_; }

    void play();
    void pause();
    void playAndPause();
    // Pauses and leaves the preview loop.
    void stop();
    // Entering the preview loop starts at the trim start.
    void setPreview(bool on);
    void previewAndStop();
    // The play timer's step: follows the player, keeps a preview inside the
    // trim range and rewinds at the end.
    void tick();

    // Rates are fractions of the length, clamped to 0..1 and to each other.
    void seek(float rate);
    void setStartTrim(float rate);
    void setEndTrim(float rate);
    void setFadeIn(float seconds);
    void setFadeOut(float seconds);
    // Hands the player the trim range and fades to apply to every frame; in
    // the preview loop, silence outside the range. Each change does it.
    void applyFades();

    bool isPlaying() const { return timer_.isActive(); }
    bool isPreview() const { return preview_; }
    float length() const { return length_; }
    // The position shown, in seconds.
    float position() const { return position_; }
    float playRate() const { return playRate_; }
    float startTrimRate() const { return startTrimRate_; }
    float endTrimRate() const { return endTrimRate_; }
    float fadeIn() const { return fadeIn_; }
    float fadeOut() const { return fadeOut_; }
    // The trim range and fades in seconds of the recording.
    FadeEnvelope envelope() const;
    // The loaded recording's overview, as far as it is known; says changed() as it grows.
    const WaveOverviewLoader& overview() const { return overview_; }

signals:
    void changed();

private:
    friend struct AudioLibraryWndTestAccess;

    std::unique_ptr<MediaPlayer> player_;
    WaveOverviewLoader overview_;
    QTimer timer_;
    QString path_;
    std::int32_t timeScale_ = 0;
    float length_ = 0;
    float position_ = 0;
    float playRate_ = 0;
    float startTrimRate_ = 0;
    float endTrimRate_ = 1;
    float fadeIn_ = 0;
    float fadeOut_ = 0;
    bool preview_ = false;
};
