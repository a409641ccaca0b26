// The process-wide player factory: the sound server's once the platform is
// installed, or a test's; none before either.
#include "platform/MediaPlayer.h"

#include <mutex>

namespace {

std::mutex factoryMutex;
MediaPlayer::Factory installedFactory;

}  // namespace

std::unique_ptr<MediaPlayer> MediaPlayer::playerWithAsset(std::shared_ptr<MediaAsset> asset)
{
    if (!asset || asset->audioTrackCount() == 0)
        return nullptr;
    Factory factory;
    {
        std::lock_guard lock(factoryMutex);
        factory = installedFactory;
    }
    return factory ? factory(std::move(asset)) : nullptr;
}

MediaPlayer::Factory MediaPlayer::setFactory(Factory factory)
{
    std::lock_guard lock(factoryMutex);
    std::swap(installedFactory, factory);
    return factory;
}
