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

TEST(CaptureAllocation, ACaptureCycleAllocatesNothingWhetherWritingOrNot)
{
    if (!alloc_count::kCountsAllocations)
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
        recorder.configDevice(recorder.allAudioInputDevices().at(0));
        ASSERT_TRUE(recorder.recordToPath(dir.file(name)));
        alloc_count::allocations = 0;
        // Three seconds written: less than the queue holds, so no cycle waits on the writer.
        for (int i = 0; i < 200; ++i) {
            if (i == 50)
                recorder.start();  // monitoring only until then
            alloc_count::counting = true;
            const bool ran = audio->runCycle(id, 960, tone);
            alloc_count::counting = false;
            ASSERT_TRUE(ran);
        }
        EXPECT_EQ(alloc_count::allocations, 0);
        EXPECT_EQ(recorder.audioOutput()->writedFrames(), 150 * 960) << "every cycle reached the file";
        recorder.stop();
        recorder.configDevice(nullptr);
        EXPECT_TRUE(recorder.waitForCompletion(std::chrono::seconds(60)));
    }
    setAudioBackend(nullptr);
}
