// One export through the converter: decode a WAVE source, scale each frame
// by the fade envelope, encode to WAVE or MPEG-4 AAC. Reports time per 512-frame block,
// speed against real time and heap allocations per block on the exporting
// thread (malloc and operator new both counted): through the whole export,
// through the same reads and writes without the converter (FFmpeg's own
// demuxing, encoding and muxing), and the difference, the converter's.
// Per block means
// the difference between a long export and a one-block export, divided by
// the extra blocks: what opening and closing the files cost is left out.
#include "Export/AudioConverter.h"
#include "support/AllocationCounter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <unistd.h>
#include <vector>

using namespace alloc_count;

namespace {

constexpr double kSourceSeconds = 60;

const std::string& sourcePath()
{
    static const std::string path = [] {
        const std::string p = "/tmp/traytape-bench-export-" + std::to_string(getpid()) + ".wav";
        const auto frames = std::size_t(44100 * kSourceSeconds);
        std::vector<float> left(frames), right(frames);
        for (std::size_t i = 0; i < frames; ++i) {
            left[i] = 0.5f * float(std::sin(2 * M_PI * 440 * double(i) / 44100));
            right[i] = 0.5f * float(std::sin(2 * M_PI * 660 * double(i) / 44100));
        }
        AudioConverter wav;
        ExtAudioFileRef file;
        ExtAudioFile::create(
            p, kAudioFileWAVEType, audioFormatNamed("wav")->fileFormat, kAudioFileFlags_EraseFile, file);
        const AudioStreamBasicDescription client = wav.defaultFormat();
        file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
        AudioBufferList list;
        list.mNumberBuffers = 2;
        list.mBuffers[0] = {1, std::uint32_t(frames * 4), left.data()};
        list.mBuffers[1] = {1, std::uint32_t(frames * 4), right.data()};
        file->write(std::uint32_t(frames), &list);
        file->dispose();
        return p;
    }();
    return path;
}

// Allocations on this thread during one export, and the blocks it wrote.
std::pair<long, std::int64_t> countedExport(AudioConverter& converter, float start, float end)
{
    converter.setTrimStartTime(start);
    converter.setTrimEndTime(end);
    allocations = 0;
    counting = true;
    converter.startAudioConvert();
    counting = false;
    return {allocations, converter.writtenFrames() / AudioConverter::kBlockFrames};
}

// The same reads without the converter: 512-frame blocks from the source
// at 10 s, each written as it comes into a new file, completed (for MPEG-4
// that rewrites it, packet by packet). Allocations on this thread.
long plainCopy(const AudioFormat& format, const std::string& out, std::int64_t blocks)
{
    AudioConverter formats;
    const AudioStreamBasicDescription client = formats.defaultFormat();
    ExtAudioFileRef source, destination;
    ExtAudioFile::open(sourcePath(), source);
    source->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
    source->seek(441000);
    ExtAudioFile::create(out, format.fileType, format.fileFormat, kAudioFileFlags_EraseFile, destination);
    destination->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
    std::vector<float> left(AudioConverter::kBlockFrames), right(AudioConverter::kBlockFrames);
    AudioBufferList list;
    list.mNumberBuffers = 2;
    allocations = 0;
    counting = true;
    for (std::int64_t b = 0; b < blocks; ++b) {
        list.mBuffers[0] = {1, std::uint32_t(left.size() * 4), left.data()};
        list.mBuffers[1] = {1, std::uint32_t(right.size() * 4), right.data()};
        std::uint32_t frames = AudioConverter::kBlockFrames;
        source->read(&frames, &list);
        destination->write(frames, &list);
    }
    destination->dispose();
    counting = false;
    return allocations;
}

void BM_Export(benchmark::State& state, std::string_view id)
{
    const std::string out = "/tmp/traytape-bench-export-out-" + std::to_string(getpid()) + "." + std::string(id);
    const AudioFormat& format = *audioFormatNamed(id);
    AudioConverter converter;
    converter.setSourceAudioPath(sourcePath());
    converter.setExportAudioPath(out);
    converter.setFadeInTime(2);
    converter.setFadeOutTime(3);
    converter.setAudioFromat(format);

    std::int64_t blocks = 0;
    for (auto _ : state)
        blocks += countedExport(converter, 10, 50).second;
    if (converter.failure() != AudioConvertFailure::None)
        state.SkipWithError(converter.failureText().c_str());

    const auto [longAllocs, longBlocks] = countedExport(converter, 10, 50);
    // One block: an empty range would be refused before any file is made.
    const auto [shortAllocs, shortBlocks] = countedExport(converter, 10, float(10 + 512 / 44100.0));
    const double perBlock = double(longAllocs - shortAllocs) / double(longBlocks - shortBlocks);
    const double plainPerBlock
        = double(plainCopy(format, out, longBlocks) - plainCopy(format, out, 1)) / double(longBlocks - 1);
    state.counters["allocs/block"] = perBlock;
    state.counters["read+write allocs/block"] = plainPerBlock;
    state.counters["converter allocs/block"] = perBlock - plainPerBlock;
    state.counters["block"]
        = benchmark::Counter(double(blocks), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["x realtime"]
        = benchmark::Counter(double(blocks) * AudioConverter::kBlockFrames / 44100, benchmark::Counter::kIsRate);
    ::unlink(out.c_str());
}

}  // namespace

BENCHMARK_CAPTURE(BM_Export, wav, "wav")->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_CAPTURE(BM_Export, m4a, "m4a")->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::unlink(sourcePath().c_str());
    return 0;
}
