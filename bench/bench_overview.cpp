// What the library's waveform costs when a recording is chosen: with its
// overview kept in the cache (open the asset, read the overview, fold it into
// the strip's columns), and without (decode the whole file, as the window's
// worker does). The source is $TRAYTAPE_OVERVIEW_SOURCE (bench/compare_overview.sh
// passes an hour of AAC), or else ten minutes of M4A written here through the
// engine. Reports milliseconds, and the decoding's speed against real time.
#include "AudioRecord/WaveOverview.h"
#include "AudioRecord/WaveOverviewCache.h"
#include "platform/MediaPlayer.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kStripColumns = 610;  // the strip's track in a window of the default width (654 - 2 x 13 - 2 x 9)

std::string writeSource()
{
    const std::string path = "/tmp/traytape-bench-overview-" + std::to_string(getpid()) + ".m4a";
    AudioStreamBasicDescription format{};
    format.mSampleRate = 44100;
    format.mFormatID = kAudioFormatMPEG4AAC;
    format.mFramesPerPacket = 1024;
    format.mChannelsPerFrame = 2;
    ExtAudioFileRef file;
    if (ExtAudioFile::create(path, kAudioFileM4AType, format, kAudioFileFlags_EraseFile, file) != noErr)
        return {};
    // Speech-like: a tone whose loudness rises and falls every few seconds.
    constexpr std::size_t kBlock = 44100;
    std::vector<float> left(kBlock), right(kBlock);
    for (std::size_t second = 0; second < 600; ++second) {
        for (std::size_t i = 0; i < kBlock; ++i) {
            const double t = double(second) + double(i) / 44100;
            const float level = float(0.4 + 0.4 * std::sin(2 * M_PI * t / 7));
            left[i] = level * float(std::sin(2 * M_PI * 440 * t));
            right[i] = level * float(std::sin(2 * M_PI * 660 * t));
        }
        AudioBufferList list;
        list.mNumberBuffers = 2;
        list.mBuffers[0] = {1, std::uint32_t(kBlock * 4), left.data()};
        list.mBuffers[1] = {1, std::uint32_t(kBlock * 4), right.data()};
        if (file->write(std::uint32_t(kBlock), &list) != noErr)
            return {};
    }
    return file->dispose() == noErr ? path : std::string();
}

struct Source {
    std::string path;
    bool ours = false;
    std::string cache;
    Source()
    {
        const char* given = std::getenv("TRAYTAPE_OVERVIEW_SOURCE");
        ours = !(given && *given);
        path = ours ? writeSource() : std::string(given);
        // A cache of its own, never the user's.
        cache = "/tmp/traytape-bench-overview-cache-" + std::to_string(getpid());
        ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    }
    ~Source()
    {
        if (ours)
            std::filesystem::remove(path);
        std::filesystem::remove_all(cache);
    }
};

const Source& source()
{
    static const Source s;
    return s;
}

void BM_DecodeOverview(benchmark::State& state)
{
    const std::string& path = source().path;
    double seconds = 0;
    for (auto _ : state) {
        const std::optional<WaveOverview> overview = computeWaveOverview(path);
        if (!overview) {
            state.SkipWithError("the source does not decode");
            return;
        }
        seconds = overview->seconds();
        benchmark::DoNotOptimize(overview->peaks.data());
    }
    state.counters["audio_s"] = seconds;
    state.counters["x_real_time"]
        = benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeOverview)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_OpenWithCachedOverview(benchmark::State& state)
{
    const std::string& path = source().path;
    const auto identity = wave_overview_cache::identify(path);
    const std::optional<WaveOverview> made = computeWaveOverview(path);
    if (!identity || !made || wave_overview_cache::write(path, *identity, *made) != noErr) {
        state.SkipWithError("no overview to keep");
        return;
    }
    std::vector<float> columns(kStripColumns);
    for (auto _ : state) {
        // What choosing the row does on the main thread, less the sound server's stream.
        const auto asset = MediaAsset::assetWithPath(path);
        const std::optional<WaveOverview> kept = wave_overview_cache::read(path);
        if (!asset || !kept) {
            state.SkipWithError("the overview was not read back");
            return;
        }
        for (int c = 0; c < kStripColumns; ++c)
            columns[std::size_t(c)] = kept->peakBetween(double(c) / kStripColumns, double(c + 1) / kStripColumns);
        benchmark::DoNotOptimize(columns.data());
    }
    state.counters["blocks"] = double(made->peaks.size());
    state.counters["cache_bytes"] = double(std::filesystem::file_size(wave_overview_cache::fileFor(path)));
}
BENCHMARK(BM_OpenWithCachedOverview)->Unit(benchmark::kMillisecond)->UseRealTime();

// The two parts of the above apart: the file's own open (the asset: its
// container's index) and the overview's (read, checked, folded).
void BM_OpenAssetOnly(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(MediaAsset::assetWithPath(source().path));
}
BENCHMARK(BM_OpenAssetOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadCachedOverviewOnly(benchmark::State& state)
{
    std::vector<float> columns(kStripColumns);
    for (auto _ : state) {
        const std::optional<WaveOverview> kept = wave_overview_cache::read(source().path);
        if (!kept) {
            state.SkipWithError("no kept overview (run after BM_OpenWithCachedOverview)");
            return;
        }
        for (int c = 0; c < kStripColumns; ++c)
            columns[std::size_t(c)] = kept->peakBetween(double(c) / kStripColumns, double(c + 1) / kStripColumns);
        benchmark::DoNotOptimize(columns.data());
    }
}
BENCHMARK(BM_ReadCachedOverviewOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
