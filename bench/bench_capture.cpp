// One capture cycle through the recorder: level measurement and the
// asynchronous write into a real file, as the audio thread runs it.
// Reports time per cycle and heap allocations per cycle on the calling
// thread (malloc and operator new both counted; must be 0).
#include "AudioRecord/AudioRecordDevice.h"
#include "support/backends/VirtualAudio.h"
#include "support/AllocationCounter.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>

using namespace alloc_count;

static void BM_CaptureCycle(benchmark::State& state, const char* extension)
{
    auto backend = std::make_unique<VirtualAudio>();
    VirtualAudio* audio = backend.get();
    setAudioBackend(std::move(backend));
    const AudioObjectID id = audio->addDevice({"bench", "bench", 2, 0, 48000});
    const std::string path = "/tmp/traytape-bench-" + std::to_string(getpid()) + "." + extension;

    long rejected = 0;
    long cycles = 0;
    {
        AudioRecordDevice recorder;
        recorder.pause();
        for (auto& device : recorder.allAudioInputDevices())
            if (device->deviceID() == id)
                recorder.configDevice(device);
        recorder.recordToPath(path);
        recorder.start();

        constexpr std::uint32_t kFrames = 512;
        std::vector<float> left(kFrames), right(kFrames);
        for (std::uint32_t i = 0; i < kFrames; ++i)
            left[i] = right[i] = 0.5f * float(std::sin(2 * M_PI * 440 * i / 48000.0));
        AudioBufferList list;
        list.mNumberBuffers = 2;
        list.mBuffers[0] = {1, kFrames * 4, left.data()};
        list.mBuffers[1] = {1, kFrames * 4, right.data()};

        for (auto _ : state) {
            const auto before = recorder.audioOutput()->writedFrames();
            counting = true;
            recorder.recieveAudioBuffer(&list, kFrames, 0);
            counting = false;
            if (recorder.audioOutput()->writedFrames() == before)
                ++rejected;
            // Real capture arrives at 48 kHz; let the writer keep up now and then
            // (untimed) so the FIFO never fills and every cycle takes the write path.
            if (++cycles % 128 == 0) {
                state.PauseTiming();
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                state.ResumeTiming();
            }
        }
        recorder.stop();
        recorder.configDevice(nullptr);
    }
    std::filesystem::remove(path);
    setAudioBackend(nullptr);
    state.counters["allocs_per_cycle"] = double(allocations) / double(std::max(cycles, 1L));
    state.counters["rejected_cycles"] = double(rejected);
    allocations = 0;
}
BENCHMARK_CAPTURE(BM_CaptureCycle, wav, "wav")->Iterations(20000);
BENCHMARK_CAPTURE(BM_CaptureCycle, m4a, "m4a")->Iterations(20000);

BENCHMARK_MAIN();
