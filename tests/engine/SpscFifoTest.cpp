// SpscFifo: all-or-nothing writes, regions across the wrap, and two threads
// passing a counter through it without a gap, a repeat or a torn value.
#include "platform/SpscFifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

TEST(SpscFifo, AWriteThatDoesNotFitStoresNothingAndRegionsSplitAtTheEnd)
{
    SpscFifo fifo(10);
    const std::vector<float> seven{1, 2, 3, 4, 5, 6, 7};
    ASSERT_TRUE(fifo.push(seven.data(), 7));
    EXPECT_FALSE(fifo.push(seven.data(), 4));
    EXPECT_EQ(fifo.available(), 7u) << "a refused write must not publish part of itself";
    EXPECT_TRUE(fifo.push(seven.data(), 3));
    EXPECT_EQ(fifo.freeSpace(), 0u);
    float out[10];
    ASSERT_EQ(fifo.pop(out, 10), 10u);
    EXPECT_EQ(out[6], 7.0f);
    EXPECT_EQ(out[9], 3.0f);

    ASSERT_TRUE(fifo.push(seven.data(), 6));
    ASSERT_EQ(fifo.pop(out, 5), 5u);  // read index at 15, one sample queued
    SpscFifo::Region region;
    ASSERT_TRUE(fifo.prepareWrite(6, region));
    EXPECT_EQ(region.firstCount, 4u);
    EXPECT_EQ(region.secondCount, 2u);
    for (std::size_t i = 0; i < 6; ++i)
        (i < 4 ? region.first[i] : region.second[i - 4]) = float(10 + i);
    EXPECT_EQ(fifo.available(), 1u) << "nothing is visible before the commit";
    fifo.commitWrite(6);
    const SpscFifo::Region read = fifo.prepareRead(100);
    std::vector<float> got(read.first, read.first + read.firstCount);
    got.insert(got.end(), read.second, read.second + read.secondCount);
    EXPECT_EQ(got, (std::vector<float>{6, 10, 11, 12, 13, 14, 15}));
    fifo.commitRead(read.size());
    EXPECT_EQ(fifo.freeSpace(), 10u);
    EXPECT_EQ(fifo.pop(out, 10), 0u);
}

// A fault makes either side wait for what never comes: both give up when the
// other has stopped or a generous deadline has passed, so the test fails at
// once instead of hanging until the test runner's timeout.
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
