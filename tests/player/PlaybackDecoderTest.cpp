// The real player's decoder thread and its FIFO without a sound server: a
// consumer thread drains it under a lock, as the stream's call-back does under
// the loop's, while the owner seeks. Every frame read after a seek must be the
// file's own, from the target on, never a stale frame of before.
#include "platform/PlaybackDecoder.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <random>
#include <thread>

namespace {

// Each frame carries its own index (mod 65536), exactly, in both channels.
float frameMark(std::size_t i)
{
    return float(i % 65536) / 65536.0f;
}

TEST(PlaybackDecoder, AfterEverySeekTheConsumerReadsTheFileFromTheTargetOnAndTheEndIsReported)
{
    TempDir dir;
    const std::string path = dir.file("marks.wav");
    constexpr std::size_t kFrames = 150000;
    std::vector<float> marks(kFrames);
    for (std::size_t i = 0; i < kFrames; ++i)
        marks[i] = frameMark(i);
    ASSERT_EQ(writeStereoFile(path, 44100, marks, marks), noErr);
    auto decoder = PlaybackDecoder::open(path, 44100, 2);
    ASSERT_TRUE(decoder);

    std::mutex loopLock;                  // stands for the sound server loop's lock
    std::int64_t expected = 0;            // the next frame the consumer must read; under the lock
    bool finished = false, stop = false;  // under the lock
    int wrong = 0, readFrames = 0;
    std::thread consumer([&] {
        for (;;) {
            {
                std::lock_guard lock(loopLock);
                if (stop)
                    return;
                if (decoder->ready()) {
                    const std::size_t n = std::min<std::size_t>(decoder->availableFrames(), 512);
                    const SpscFifo::Region r = decoder->peek(n);
                    for (std::size_t f = 0; f < n; ++f) {
                        const std::size_t i = 2 * f;
                        const float left = i < r.firstCount ? r.first[i] : r.second[i - r.firstCount];
                        wrong += left == frameMark(std::size_t(expected)) ? 0 : 1;
                        ++expected;
                    }
                    decoder->consume(n);
                    readFrames += int(n);
                    finished = decoder->finished();
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 8));
        std::lock_guard lock(loopLock);
        expected = std::int64_t(random() % kFrames);
        finished = false;
        decoder->seek(expected);
    }
    {
        std::lock_guard lock(loopLock);
        expected = std::int64_t(kFrames) - 5000;
        finished = false;
        decoder->seek(expected);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (bool done = false; !done && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard lock(loopLock);
        done = finished;
    }
    {
        std::lock_guard lock(loopLock);
        stop = true;
        EXPECT_TRUE(finished) << "the end of the file was never reported";
        EXPECT_EQ(expected, std::int64_t(kFrames)) << "the last frames were not all read";
        EXPECT_EQ(wrong, 0) << "frames that were not the file's from the target on, of " << readFrames;
    }
    consumer.join();
}

}  // namespace
