// The mix of two sources on two clocks, in simulated time: a monitor that
// starts 0.3 s after the input, whose clock runs 300 ppm fast and which
// delivers 10 ms blocks a little late, now and then two at once, mixed into
// an input of 40 ms blocks for ten minutes (two in the sanitized builds). Both carry a 50 Hz tone of the
// same moments, the input's upside down: aligned, they cancel.
#include "platform/DriftMixer.h"
#include "support/Signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <vector>

namespace {
// The sanitized builds run this single-threaded arithmetic 3 to 30 times
// slower and find nothing more in its later minutes: two minutes there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kMinutes = 2;
#else
constexpr double kMinutes = 10;
#endif
}  // namespace

TEST(DriftMixer, TwoClocksStayAlignedForMinutesWithoutAStutterAndTheSumIsLimited)
{
    for (const double kDrift : {300e-6, -300e-6}) {
        SCOPED_TRACE(kDrift);
        constexpr double kRate = 48000, kTone = 1000, kLow = 50, kLater = 0.3;
        const auto low = [&](double t) { return 0.3 * std::sin(2 * M_PI * kLow * t); };
        DriftMixer mixer;
        mixer.prepare(2, kRate);
        std::vector<float> block(480 * 2), input(1920 * 2), lastSecond;
        std::uint64_t produced = 0;  // the other source's frames
        double worstOffset = 0, arrived = 0;
        int blocks = 0, inputs = 0;
        const auto nextArrival = [&] {
            // Late by up to 5 ms; every seventh block waits for the next.
            const double lateness = blocks % 7 == 0 ? 0.0105 : 0.001 * (blocks % 6);
            return std::max(arrived, kLater + (blocks + 1) * 0.01 / (1 + kDrift) + lateness);
        };
        while (inputs < kMinutes * 60 * 25) {
            const double input_at = (inputs + 1) * 0.04;
            if (nextArrival() < input_at) {
                arrived = nextArrival();
                // The other source's frames hold a tone of kTone Hz in the input's time.
                for (std::size_t f = 0; f < 480; ++f, ++produced) {
                    const double t = kLater + double(produced) / (kRate * (1 + kDrift));
                    block[2 * f] = block[2 * f + 1] = float(0.5 * std::sin(2 * M_PI * kTone * t) + low(t));
                }
                mixer.push(block.data(), 480, arrived);
                ++blocks;
                continue;
            }
            const double now = input_at;
            ++inputs;
            // Once, an input at 0.8: with the tone the sum would reach 1.3.
            for (std::size_t f = 0; f < 1920; ++f)
                input[2 * f] = input[2 * f + 1]
                    = float(-low((double(inputs - 1) * 1920 + double(f)) / kRate)) + (inputs == 125 ? 0.8f : 0.0f);
            mixer.mixInto(input.data(), 1920, now);
            if (now > 10)
                worstOffset = std::max(worstOffset, std::fabs(mixer.offsetFrames()));
            for (float v : input)
                ASSERT_LE(std::fabs(v), 1.0f) << "the limiter lets nothing over full scale";
            if (now > kMinutes * 60 - 1)
                for (std::size_t f = 0; f < 1920; ++f)
                    lastSecond.push_back(input[2 * f]);
        }
        std::cout << "[ drift ] worst offset after 10 s: " << worstOffset / kRate * 1000 << " ms\n";
        EXPECT_LT(worstOffset, kRate * 0.001) << "further than 1 ms from the frame of the same moment";
        // A stutter or a bent pitch would take the tone's level down over a whole second.
        EXPECT_NEAR(signal_test::toneAmplitude(lastSecond.data(), lastSecond.size(), kTone, kRate), 0.5, 0.05);
        EXPECT_LT(signal_test::toneAmplitude(lastSecond.data(), lastSecond.size(), kLow, kRate), 0.05)
            << "the two sources' moments apart";
    }
}
