#include "platform/pulse/PulsePlatform.h"

#include "platform/AudioHardware.h"
#include "platform/IORegistry.h"
#include "platform/MediaPlayer.h"
#include "platform/pulse/PulseAudioBackend.h"
#include "platform/pulse/PulseMediaPlayer.h"
#include "platform/pulse/PulseRegistry.h"

void installPulsePlatform()
{
    auto connector = std::make_shared<PulseConnector>();
    setAudioBackend(std::make_unique<PulseAudioBackend>(connector));
    setIORegistryBackend(std::make_unique<PulseRegistry>());
    MediaPlayer::setFactory([connector](std::shared_ptr<MediaAsset> asset) {
        return makePulseMediaPlayer(std::move(asset), connector->connection());
    });
}
