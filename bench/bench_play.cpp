// Plays one file through MediaPlayer from start to end, as the library's
// preview does, for the playback CPU comparison (compare_playback.sh).
//   bench_play FILE
// Exit status 0 once the player reached the end, 1 on any failure.
#include "platform/MediaPlayer.h"
#include "platform/pulse/PulsePlatform.h"

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv)
{
    using namespace std::chrono_literals;
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_play FILE\n");
        return 1;
    }
    installPulsePlatform();
    auto asset = MediaAsset::assetWithPath(argv[1]);
    auto player = MediaPlayer::playerWithAsset(asset);
    if (!player) {
        std::fprintf(stderr, "bench_play: cannot play %s\n", argv[1]);
        return 1;
    }
    player->play();
    // Polled as the library window polls it, ten times a second.
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::duration<double>(asset->duration().seconds() * 2 + 5);
    while (player->rate() != 0.0f && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    const bool ended = player->currentTime().value == asset->duration().value;
    if (!ended)
        std::fprintf(stderr, "bench_play: stopped at %.3f s of %.3f s\n", player->currentTime().seconds(),
            asset->duration().seconds());
    return ended ? 0 : 1;
}
