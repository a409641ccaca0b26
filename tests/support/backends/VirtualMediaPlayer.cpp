// The virtual-time player: a position in frames of the asset's timescale
// that moves only in VirtualMediaOutput::advance(). Test thread only.
#include "support/backends/VirtualMediaPlayer.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace {

class VirtualMediaPlayer;

}  // namespace

// What the output and its players share. Players hold it too, so a player
// that outlives its output stays usable (it just no longer advances).
struct VirtualMediaOutput::State {
    int playersMade = 0;
    // Live players, oldest first; not owned (each removes itself when destroyed).
    std::vector<VirtualMediaPlayer*> live;
};

namespace {

bool outputInstalled = false;

class VirtualMediaPlayer final : public MediaPlayer {
public:
    VirtualMediaPlayer(std::shared_ptr<MediaAsset> asset, std::shared_ptr<VirtualMediaOutput::State> state)
        : asset_(std::move(asset)), state_(std::move(state))
    {
        const MediaTime d = asset_->duration();
        timescale_ = d.timescale > 0 ? d.timescale : 1;
        end_ = d.timescale > 0 ? std::max<std::int64_t>(d.value, 0) : 0;
        state_->live.push_back(this);
    }
    ~VirtualMediaPlayer() override { std::erase(state_->live, this); }

    void play() override { playing_ = position_ < end_; }
    void pause() override { playing_ = false; }
    float rate() const override { return playing_ ? 1.0f : 0.0f; }
    MediaTime currentTime() const override { return MediaTime{position_, timescale_}; }

    void seekToTime(MediaTime time) override
    {
        position_ = std::clamp<std::int64_t>(toFrames(time), 0, end_);
        ++seeks_;
    }

    void setVolume(float volume) override
    {
        volume_ = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
        volumeChanges_.push_back({currentTime().seconds(), volume_});
    }
    float volume() const override { return volume_; }

    void advance(double seconds)
    {
        if (!playing_ || !(seconds > 0))
            return;
        const double frames = std::round(seconds * double(timescale_));
        position_ = frames >= double(end_ - position_) ? end_ : position_ + std::int64_t(frames);
        if (position_ >= end_)
            playing_ = false;
    }

    const std::vector<VirtualMediaOutput::VolumeChange>& volumeChanges() const { return volumeChanges_; }
    int seeks() const { return seeks_; }

private:
    std::int64_t toFrames(MediaTime t) const
    {
        if (t.timescale <= 0)
            return 0;
        if (t.timescale == timescale_)
            return t.value;
        return std::int64_t(std::llround(double(t.value) * timescale_ / t.timescale));
    }

    std::shared_ptr<MediaAsset> asset_;
    std::shared_ptr<VirtualMediaOutput::State> state_;
    std::int32_t timescale_ = 1;
    std::int64_t end_ = 0;
    std::int64_t position_ = 0;
    bool playing_ = false;
    float volume_ = 1.0f;
    int seeks_ = 0;
    std::vector<VirtualMediaOutput::VolumeChange> volumeChanges_;
};

}  // namespace

VirtualMediaOutput::VirtualMediaOutput() : state_(std::make_shared<State>()) { }

std::unique_ptr<VirtualMediaOutput> VirtualMediaOutput::install()
{
    assert(!outputInstalled && "only one VirtualMediaOutput at a time");
    std::unique_ptr<VirtualMediaOutput> output(new VirtualMediaOutput);
    outputInstalled = true;
    std::weak_ptr<State> weak = output->state_;
    MediaPlayer::setFactory([weak](std::shared_ptr<MediaAsset> asset) -> std::unique_ptr<MediaPlayer> {
        auto state = weak.lock();
        if (!state)
            return nullptr;
        ++state->playersMade;
        return std::make_unique<VirtualMediaPlayer>(std::move(asset), std::move(state));
    });
    return output;
}

VirtualMediaOutput::~VirtualMediaOutput()
{
    MediaPlayer::setFactory(nullptr);
    outputInstalled = false;
}

void VirtualMediaOutput::advance(double seconds)
{
    if (!state_->live.empty())
        state_->live.back()->advance(seconds);
}

int VirtualMediaOutput::playersMade() const
{
    return state_->playersMade;
}

const std::vector<VirtualMediaOutput::VolumeChange>& VirtualMediaOutput::volumeChanges() const
{
    static const std::vector<VolumeChange> none;
    return state_->live.empty() ? none : state_->live.back()->volumeChanges();
}

int VirtualMediaOutput::seeks() const
{
    return state_->live.empty() ? 0 : state_->live.back()->seeks();
}
