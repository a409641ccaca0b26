// The capture path takes nothing from the heap: every capture cycle, from the
// unit's call-back through the level and into the file's queue, is counted
// for malloc, calloc and realloc (operator new comes through malloc) on the
// thread that runs it.
//
// The counting replaces the C allocator of this whole test program; the
// sanitizers bring allocators of their own, so under them the test is skipped.
#include "AudioRecord/AudioRecordDevice.h"
#include "support/backends/VirtualAudio.h"
#include "support/AllocationCounter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

using namespace alloc_count;

TEST(CaptureAllocation, ACaptureCycleAllocatesNothingWhetherWritingOrNot)
{
    if (!kCountsAllocations)
        GTEST_SKIP() << "the sanitizer's allocator is in place";
    auto backend = std::make_unique<VirtualAudio>();
    VirtualAudio* audio = backend.get();
    setAudioBackend(std::move(backend));
    // 48 kHz into 44.1 kHz files: the resampling path too.
    const AudioObjectID id = audio->addDevice({"mic", "mic", 1, 0, 48000});
    const VirtualAudio::SampleFunction tone
        = [](std::uint32_t, std::uint32_t frame) { return 0.5f * float(std::sin(2 * M_PI * 440 * frame / 48000.0)); };
    TempDir dir;

    for (const char* name : {"take.wav", "take.m4a"}) {
        SCOPED_TRACE(name);
        AudioRecordDevice recorder;
        recorder.pause();
        for (auto& device : recorder.allAudioInputDevices())
            if (device->deviceID() == id)
                recorder.configDevice(device);
        ASSERT_TRUE(recorder.recordToPath(dir.file(name)));
        auto cycles = [&](int count) {
            for (int i = 0; i < count; ++i) {
                counting = true;
                const bool ran = audio->runCycle(id, 960, tone);
                counting = false;
                ASSERT_TRUE(ran);
                if (i % 10 == 9)  // the pace of real capture, roughly, so the queue never fills
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        };
        allocations = 0;
        cycles(50);  // monitoring only
        recorder.start();
        cycles(200);
        EXPECT_EQ(allocations, 0);
        EXPECT_EQ(recorder.audioOutput()->writedFrames(), 200 * 960) << "every cycle reached the file";
        recorder.stop();
        recorder.configDevice(nullptr);
        EXPECT_TRUE(recorder.waitForCompletion(std::chrono::seconds(60)));
    }
    setAudioBackend(nullptr);
}
