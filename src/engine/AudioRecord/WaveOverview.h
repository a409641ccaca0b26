// A recording's loudness at a fixed resolution, for drawing it: one peak per
// block of kBlockFrames frames, the largest magnitude of any channel in it.
//
// 1024 frames (23 ms at 44.1 kHz) keep an hour at 155,040 blocks, 310 KB at
// 16 bits a peak, read from the cache and folded into the strip's 610
// columns in well under a millisecond (bench/bench_overview.cpp); and the
// strip still has a block or more a column for anything over 14.2 s. 256
// would show short clips finer at four times the size.
//
// A recording's overview is built while it is written (WaveOverviewBuilder,
// fed by its file's writer thread); any other file's is decoded
// (computeWaveOverview). Either is kept in the cache (WaveOverviewCache.h).
// Plain values: whoever holds one owns it.
#pragma once

#include "platform/ExtAudioFile.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct WaveOverview {
    static constexpr std::uint32_t kBlockFrames = 1024;
    static constexpr float kPeakScale = 65535.0F;  // a stored peak over this is the magnitude, 0..1

    double rate = 0;          // frames a second
    std::int64_t frames = 0;  // the length it describes; peaks may not reach it yet
    std::vector<std::uint16_t> peaks;

    double seconds() const { return rate > 0 ? double(frames) / rate : 0.0; }
    // The largest peak of the blocks from fraction `from` to fraction `to`
    // of the length (0..1); -1 where no block of that stretch is known yet.
    float peakBetween(double from, double to) const;
    static std::uint16_t quantize(float magnitude);
};

// Folds frames into blocks of the file's frames while the file is written.
// Owned beside the file it watches; called on that file's writer thread,
// then finish() by the owner once the file is disposed of.
class WaveOverviewBuilder final : public ExtAudioFileWriteObserver {
public:
    explicit WaveOverviewBuilder(double fileRate) { overview_.rate = fileRate; }

    // Client frames are placed at their time in the file: a capture at
    // 48 kHz into a 44.1 kHz file fills a block every 1114.5 frames.
    void framesWritten(const float* interleaved, int frames, int channels, double clientRate) override;
    // Everything written, the last block partial.
    WaveOverview finish() const;
    // The whole blocks so far, said to be `frames` long (the length the
    // file will have): for drawing a file as it is decoded.
    const WaveOverview& partial(std::int64_t frames)
    {
        overview_.frames = frames;
        return overview_;
    }

private:
    std::int64_t blockEnd(std::size_t block) const;

    WaveOverview overview_;
    double clientRate_ = 0;  // of the first frames; a file's client format is fixed once writing starts
    std::int64_t clientFrames_ = 0;
    std::int64_t blockEnd_ = 0;  // in client frames
    float current_ = 0;          // the open block's peak so far
};

// Decodes the file at path from its start. `progress` hears the overview so
// far after every stretch read (its length is the file's from the first
// call) and answers false to stop. The whole overview, or nothing when the
// file does not decode or was stopped.
std::optional<WaveOverview> computeWaveOverview(
    const std::string& path, const std::function<bool(const WaveOverview&)>& progress = {});
