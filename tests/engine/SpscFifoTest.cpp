// SpscFifo: two threads pass a counter through it in blocks of random sizes,
// so regions split across the wrap; a value lost, repeated (a refused block
// that published part of itself is pushed again) or torn shows.
#include "platform/SpscFifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

// A fault makes either side wait for what never comes: both give up when the
// other has stopped or a deadline has passed, instead of hanging.
TEST(SpscFifo, TwoThreadsPassACounterWithoutGaps)
{
    SpscFifo fifo(1000);
    constexpr std::uint32_t kTotal = 2'000'000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::atomic<bool> consumerStopped{false};
    std::thread producer([&] {
        std::mt19937 rng(1);
        std::vector<float> block(300);
        for (std::uint32_t next = 0;
             next < kTotal && !consumerStopped && std::chrono::steady_clock::now() < deadline;) {
            const std::uint32_t n = std::min(std::uniform_int_distribution<std::uint32_t>(1, 300)(rng), kTotal - next);
            for (std::uint32_t i = 0; i < n; ++i)
                block[i] = float((next + i) % (1u << 24));  // exact in float
            if (fifo.push(block.data(), n))
                next += n;
            else
                std::this_thread::yield();
        }
    });
    std::uint32_t expected = 0;
    std::vector<float> out(257);
    bool ok = true;
    while (expected < kTotal && ok && std::chrono::steady_clock::now() < deadline) {
        const std::size_t n = fifo.pop(out.data(), out.size());
        for (std::size_t i = 0; i < n && ok; ++i, ++expected)
            ok = out[i] == float(expected % (1u << 24));
        if (n == 0)
            std::this_thread::yield();
    }
    consumerStopped = true;
    producer.join();
    EXPECT_TRUE(ok) << "wrong value at " << expected - 1;
    EXPECT_EQ(expected, kTotal) << "the counter stopped arriving";
}

}  // namespace
