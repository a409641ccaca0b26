#include "support/backends/VirtualMediaPlayer.h"

#include <algorithm>
#include <cmath>

namespace {

class VirtualMediaPlayer;

}  // namespace

// Players hold it too, so a player that outlives its output stays usable (it
// just no longer advances).
struct VirtualMediaOutput::State {
    int playersMade = 0;
    std::vector<VirtualMediaPlayer*> live;  // oldest first; each removes itself when destroyed
};

namespace {

// A position in frames of the asset's timescale.
class VirtualMediaPlayer final : public MediaPlayer {
public:
    VirtualMediaPlayer(const MediaAsset& asset, std::shared_ptr<VirtualMediaOutput::State> state)
        : state_(std::move(state))
    {
        const MediaTime d = asset.duration();
        timescale_ = std::max(d.timescale, 1);
        end_ = d.timescale > 0 ? std::max<std::int64_t>(d.value, 0) : 0;
        state_->live.push_back(this);
    }
    ~VirtualMediaPlayer() override { std::erase(state_->live, this); }

    void play() override { playing_ = position_ < end_; }
    void pause() override { playing_ = false; }
    float rate() const override { return playing_ ? 1.0f : 0.0f; }
    MediaTime currentTime() const override { return MediaTime{position_, timescale_}; }
    void seekToTime(MediaTime t) override
    {
        const std::int64_t frame = t.timescale > 0 ? std::llround(double(t.value) * timescale_ / t.timescale) : 0;
        position_ = std::clamp<std::int64_t>(frame, 0, end_);
    }
    void setVolume(float volume) override { volume_ = std::clamp(volume, 0.0f, 1.0f); }
    float volume() const override { return volume_; }
    void setEnvelope(std::optional<Envelope> envelope) override { envelope_ = envelope; }
    std::optional<Envelope> envelope_;

    void advance(double seconds)
    {
        if (!playing_)
            return;
        position_ = std::min<std::int64_t>(end_, position_ + std::llround(seconds * double(timescale_)));
        playing_ = position_ < end_;
    }

private:
    std::shared_ptr<VirtualMediaOutput::State> state_;
    std::int32_t timescale_ = 1;
    std::int64_t end_ = 0;
    std::int64_t position_ = 0;
    bool playing_ = false;
    float volume_ = 1.0f;
};

}  // namespace

std::unique_ptr<VirtualMediaOutput> VirtualMediaOutput::install()
{
    std::unique_ptr<VirtualMediaOutput> output(new VirtualMediaOutput);
    output->state_ = std::make_shared<State>();
    MediaPlayer::setFactory([weak = std::weak_ptr(output->state_)](std::shared_ptr<MediaAsset> asset) {
        auto state = weak.lock();
        if (state)
            ++state->playersMade;
        return state ? std::make_unique<VirtualMediaPlayer>(*asset, std::move(state)) : nullptr;
    });
    return output;
}

VirtualMediaOutput::~VirtualMediaOutput()
{
    MediaPlayer::setFactory(nullptr);
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

std::optional<MediaPlayer::Envelope> VirtualMediaOutput::envelope() const
{
    return state_->live.empty() ? std::nullopt : state_->live.back()->envelope_;
}
