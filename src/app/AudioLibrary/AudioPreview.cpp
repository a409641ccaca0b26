#include "AudioLibrary/AudioPreview.h"

#include "platform/MediaPlayer.h"

#include <algorithm>
#include <cmath>

AudioPreview::AudioPreview(QObject* parent) : QObject(parent)
{
    timer_.setInterval(kPlayTimerMilliseconds);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

AudioPreview::~AudioPreview() = default;

bool AudioPreview::load(const QString& path)
{
    const auto asset = MediaAsset::assetWithPath(path.toStdString());
    std::unique_ptr<MediaPlayer> player;
    if (asset && asset->audioTrackCount() > 0 && asset->duration().seconds() > 0)
        player = MediaPlayer::playerWithAsset(asset);
    if (!player) {
        // Nothing of the previous recording may stay behind: its player,
        // length and export would act on a file that is no longer chosen.
        unload();
        return false;
    }
    const MediaTime duration = asset->duration();
    timeScale_ = duration.timescale;
    length_ = float(duration.seconds());
    player_ = std::move(player);
    applyFades();
    path_ = path;
    overview_.load(path);
    emit changed();
    return true;
}

void AudioPreview::unload()
{
    timer_.stop();
    player_.reset();
    overview_.clear();
    path_.clear();
    length_ = 0;
    emit changed();
}

void AudioPreview::play()
{
    if (!player_)
        return;
    timer_.start();
    player_->play();
    emit changed();
}

void AudioPreview::pause()
{
    timer_.stop();
    if (player_)
        player_->pause();
    emit changed();
}

void AudioPreview::playAndPause()
{
    if (!player_)
        return;
    if (player_->rate() <= 0.01F)
        play();
    else
        pause();
}

void AudioPreview::stop()
{
    pause();
    setPreview(false);
}

void AudioPreview::setPreview(bool on)
{
    preview_ = on;
    applyFades();
    if (on)
        seek(startTrimRate_);
    emit changed();
}

void AudioPreview::previewAndStop()
{
    if (!player_)
        return;
    if (preview_) {
        setPreview(false);
        if (player_->rate() >= 0.9F)
            pause();
    } else {
        setPreview(true);
        if (player_->rate() <= 0.01F)
            play();
    }
}

void AudioPreview::tick()
{
    if (!player_)
        return;
    const auto t = float(player_->currentTime().seconds());
    const float s = startTrimRate_ * length_;
    const float e = endTrimRate_ * length_;
    if (preview_ && (double(s) > double(t) + 0.1 || t > e)) {
        seek(startTrimRate_);
        return;
    }
    playRate_ = length_ > 0 ? t / length_ : 0.0F;
    position_ = t;
    emit changed();
    if (double(t) >= double(length_) - 0.1) {
        pause();
        seek(0);
    }
}

void AudioPreview::seek(float rate)
{
    if (!std::isfinite(rate))
        rate = 0;
    rate = std::clamp(rate, 0.0F, 1.0F);
    playRate_ = rate;
    if (player_) {
        const float ticks = length_ * rate * float(timeScale_);
        player_->seekToTime({std::int64_t(std::trunc(ticks)), timeScale_});
    }
    position_ = rate * length_;
    emit changed();
}

void AudioPreview::setStartTrim(float rate)
{
    if (!std::isfinite(rate))
        rate = 0;
    startTrimRate_ = std::max(std::min(rate, endTrimRate_), 0.0F);
    applyFades();
    emit changed();
}

void AudioPreview::setEndTrim(float rate)
{
    if (!std::isfinite(rate))
        rate = 1;
    endTrimRate_ = std::max(std::min(rate, 1.0F), startTrimRate_);
    applyFades();
    emit changed();
}

void AudioPreview::setFadeIn(float seconds)
{
    fadeIn_ = seconds;
    applyFades();
}

void AudioPreview::setFadeOut(float seconds)
{
    fadeOut_ = seconds;
    applyFades();
}

void AudioPreview::applyFades()
{
    if (!player_)
        return;
    // The player shapes every frame as the export does. The loop plays what
    // the export holds: nothing of what lies outside the range (a click just
    // before it, the overshoot past its end until the next tick).
    const FadeEnvelope envelope = this->envelope();
    if (preview_ || envelope.fades())
        player_->setEnvelope(MediaPlayer::Envelope{envelope, preview_});
    else
        player_->setEnvelope(std::nullopt);
}

FadeEnvelope AudioPreview::envelope() const
{
    return {startTrimRate_ * length_, endTrimRate_ * length_, fadeIn_, fadeOut_};
}
