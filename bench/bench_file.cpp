// ExtAudioFile costs: the audio thread's writeAsync (time and heap
// allocations per call, which must be zero) and how fast a file is encoded
// (seconds of audio per CPU second, all threads counted).
#include "platform/ExtAudioFile.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

// Allocations made by the calling thread only: the writer thread's own
// (growing its buffers) must not be charged to writeAsync.
static thread_local std::size_t tAllocations = 0;

// GCC takes the replaced pair for a mismatch; they do match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size)
{
    ++tAllocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        char name[] = "/tmp/traytape-bench-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
};

AudioStreamBasicDescription fileFormat(AudioFileTypeID type)
{
    AudioStreamBasicDescription f;
    f.mSampleRate = 44100;
    f.mChannelsPerFrame = 2;
    if (type == kAudioFileWAVEType) {
        f.mFormatID = kAudioFormatLinearPCM;
        f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
        f.mBitsPerChannel = 32;
        f.mBytesPerFrame = f.mBytesPerPacket = 8;
        f.mFramesPerPacket = 1;
    } else {
        f.mFormatID = kAudioFormatMPEG4AAC;
        f.mFramesPerPacket = 1024;
    }
    return f;
}

AudioStreamBasicDescription captureFormat()
{
    AudioStreamBasicDescription f;
    f.mSampleRate = 48000;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    f.mBitsPerChannel = 32;
    f.mBytesPerFrame = f.mBytesPerPacket = 4;
    f.mFramesPerPacket = 1;
    f.mChannelsPerFrame = 2;
    return f;
}

ExtAudioFileRef makeFile(const std::string& path, AudioFileTypeID type)
{
    ExtAudioFileRef file;
    if (ExtAudioFile::create(path, type, fileFormat(type), kAudioFileFlags_EraseFile, file) != noErr)
        return nullptr;
    const AudioStreamBasicDescription client = captureFormat();
    file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
    return file;
}

double processCpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void BM_WriteAsync512(benchmark::State& state)
{
    const AudioFileTypeID type = state.range(0) ? kAudioFileM4AType : kAudioFileWAVEType;
    ScratchDir dir;
    ExtAudioFileRef file = makeFile(dir.path + (type == kAudioFileWAVEType ? "/a.wav" : "/a.m4a"), type);
    if (!file) {
        state.SkipWithError("create failed");
        return;
    }
    std::vector<float> left(512), right(512);
    for (int i = 0; i < 512; ++i)
        left[i] = right[i] = float(0.5 * std::sin(i * 0.13));
    AudioBufferList list;
    list.mNumberBuffers = 2;
    list.mBuffers[0] = AudioBuffer{1, 512 * 4, left.data()};
    list.mBuffers[1] = AudioBuffer{1, 512 * 4, right.data()};

    std::size_t calls = 0, allocations = 0, refused = 0;
    for (auto _ : state) {
        const std::size_t before = tAllocations;
        OSStatus s = file->writeAsync(512, &list);
        allocations += tAllocations - before;
        ++calls;
        if (s != noErr) {
            // Faster than real time the queue fills: let the writer catch up, untimed.
            ++refused;
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            state.ResumeTiming();
        }
    }
    state.counters["allocs_per_call"] = double(allocations) / double(calls);
    state.counters["refused"] = double(refused);
    file->dispose();
}
// A fixed count (about 213 s of audio): refused calls wait untimed for the
// writer, so an open-ended run would never reach its minimum time.
BENCHMARK(BM_WriteAsync512)->Arg(0)->Arg(1)->ArgNames({"m4a"})->Iterations(20000);

void BM_Encode10s(benchmark::State& state)
{
    const AudioFileTypeID type = state.range(0) ? kAudioFileM4AType : kAudioFileWAVEType;
    ScratchDir dir;
    const std::size_t frames = 48000 * 10;
    std::vector<float> left(frames), right(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        left[i] = float(0.4 * std::sin(double(i) * 2 * M_PI * 440 / 48000));
        right[i] = float(0.4 * std::sin(double(i) * 2 * M_PI * 660 / 48000));
    }
    double cpu = 0, audio = 0;
    for (auto _ : state) {
        const double start = processCpuSeconds();
        ExtAudioFileRef file = makeFile(dir.path + (type == kAudioFileWAVEType ? "/e.wav" : "/e.m4a"), type);
        for (std::size_t at = 0; at < frames; at += 4096) {
            const auto n = std::uint32_t(std::min<std::size_t>(4096, frames - at));
            AudioBufferList list;
            list.mNumberBuffers = 2;
            list.mBuffers[0] = AudioBuffer{1, n * 4, left.data() + at};
            list.mBuffers[1] = AudioBuffer{1, n * 4, right.data() + at};
            file->write(n, &list);
        }
        file->dispose();  // includes the MPEG-4 rewrite
        cpu += processCpuSeconds() - start;
        audio += 10.0;
    }
    state.counters["audio_s_per_cpu_s"] = audio / cpu;
}
BENCHMARK(BM_Encode10s)->Arg(0)->Arg(1)->ArgNames({"m4a"})->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
