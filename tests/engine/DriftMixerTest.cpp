// The mix of two sources on two clocks, in simulated time: the computer's
// sound starts 0.3 s after the input, on a clock up to 250 ppm off, in
// blocks of 10 ms to 2 s that arrive late (captured up to their arrival) or
// early (rendered at their first frame's moment, as under a player with a
// long buffer), with jitter; mixed into a silent input of 40 ms blocks for
// ten minutes (one in the sanitized builds). It carries a 1 kHz tone, whose
// phase in 20 ms windows shows any skipped or repeated sample, and a 5 Hz
// one, whose phase in whole seconds shows how far it is from the input's
// moment. Then silence mixed into an input leaves the input's samples as
// they were.
#include "platform/DriftMixer.h"
#include "support/Signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <random>
#include <vector>

namespace {
// The sanitized builds run this single-threaded arithmetic 3 to 30 times
// slower and look for memory and thread faults, which the first minute
// shows as well as ten: one minute there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kMinutes = 1;
#else
constexpr double kMinutes = 10;
#endif

struct Arrivals {
    const char* name;
    double drift;                     // the other clock's rate error
    std::vector<double> blocks;       // seconds, in turn
    bool early;                       // arrives at its first frame's moment, not after its last
    double jitter;                    // random lateness up to this, seconds
    bool aligned;                     // its moments can be known at the start (else it may come up to a block late)
};
}  // namespace

TEST(DriftMixer, BurstyAndDriftingArrivalsAreResampledSmoothlyInStepAndTheSumIsLimited)
{
    constexpr double kRate = 48000, kTone = 1000, kLow = 5, kLater = 0.3;
    constexpr std::size_t kInputBlock = 1920;
    const Arrivals cases[] = {
        {"10 ms, +250 ppm, a little late, every seventh with the next", 250e-6, {0.01}, false, 0.005, true},
        {"10 ms, -250 ppm, up to 30 ms late under load", -250e-6, {0.01}, false, 0.03, true},
        {"2 s rendered ahead, one clock", 0, {2.0}, true, 0.002, true},
        {"10 ms to 2 s rendered ahead, +250 ppm", 250e-6, {0.01, 0.01, 0.5, 0.01, 2.0, 0.1}, true, 0.01, true},
        {"0.5 s captured, -250 ppm, late", -250e-6, {0.5}, false, 0.02, false},
    };
    for (const Arrivals& a : cases) {
        SCOPED_TRACE(a.name);
        const auto moment = [&](std::uint64_t frame) { return kLater + double(frame) / (kRate * (1 + a.drift)); };
        DriftMixer mixer;
        mixer.prepare(2, kRate);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> late(0, a.jitter);
        std::vector<float> block, input(kInputBlock * 2), out;
        std::uint64_t produced = 0;
        double arrived = 0;
        std::size_t blocks = 0;
        const auto frames = [&] { return std::size_t(std::lround(a.blocks[blocks % a.blocks.size()] * kRate)); };
        const auto nextArrival = [&] {
            const double at = a.early ? moment(produced) : moment(produced + frames());
            // Steady blocks: every seventh waits for the next.
            const double held = a.blocks.size() == 1 && !a.early && blocks % 7 == 0 ? 0.0105 : 0.0;
            return std::max(arrived, at + held + late(random));
        };
        double next = nextArrival();
        const auto inputs = std::size_t(kMinutes * 60 * kRate / double(kInputBlock));
        out.reserve(inputs * kInputBlock);
        for (std::size_t i = 0; i < inputs;) {
            const double inputAt = double(i + 1) * double(kInputBlock) / kRate;
            if (next < inputAt) {
                arrived = next;
                block.resize(frames() * 2);
                for (std::size_t f = 0; f < frames(); ++f, ++produced) {
                    const double t = moment(produced);
                    block[2 * f] = block[2 * f + 1]
                        = float(0.5 * std::sin(2 * M_PI * kTone * t) + 0.3 * std::sin(2 * M_PI * kLow * t));
                }
                mixer.push(block.data(), frames(), arrived);
                ++blocks;
                next = nextArrival();
                continue;
            }
            // Silent but for once 0.8: with the tones the sum would reach 1.6.
            std::fill(input.begin(), input.end(), i == 125 ? 0.8f : 0.0f);
            mixer.mixInto(input.data(), kInputBlock, inputAt);
            ++i;
            for (std::size_t f = 0; f < kInputBlock; ++f) {
                ASSERT_LE(std::fabs(input[2 * f]), 1.0f) << "the limiter lets nothing over full scale";
                out.push_back(input[2 * f]);
            }
        }
        EXPECT_EQ(mixer.alignments(), 1u) << "the reader jumped after its start";
        // Judged from 6 s on: the start, placed at 0.3 s, and the limiter's work at 5 s are over.
        const auto from = std::size_t(6 * kRate);
        const std::vector<double> delay
            = signal_test::toneDelays(out.data() + from, out.size() - from, kTone, kRate, 960, 480);
        const double step = signal_test::largestStep(delay);
        const double drift = -signal_test::slope(delay, 0.01, 400);
        std::cout << "[ mix ] " << a.name << ": largest phase step " << step * 1000 << " ms, rate error "
                  << drift * 1e6 << " ppm";
        EXPECT_LT(step, 0.015e-3) << "a skip or repeat of samples (one is 0.021 ms)";
        if (a.drift == 0) {
            EXPECT_LT(std::fabs(drift), 20e-6) << "the tone's pitch bent";
        }
        if (a.aligned) {
            // The 5 Hz tone's delay, in whole seconds, against the input's moment
            // (its frame k captured at k / rate, handed out after the delay).
            const std::vector<double> offset
                = signal_test::toneDelays(out.data() + from, out.size() - from, kLow, kRate, 48000, 48000);
            // (Whole periods from the first window on do not count.)
            const auto apart = [&](double o) { return std::remainder(o - mixer.delaySeconds(), 1 / kLow); };
            double worst = 0;
            for (double o : offset)
                worst = std::max(worst, std::fabs(apart(o)));
            std::cout << ", offset first " << apart(offset.front()) * 1000 << " ms, last "
                      << apart(offset.back()) * 1000 << " ms";
            EXPECT_LT(worst, 0.02) << "the two sources' moments apart";
            EXPECT_LT(signal_test::largestStep(offset), 0.001) << "the offset moved fast";
        }
        std::cout << "\n";
    }
}

// Silence mixed in leaves the input's samples exactly as they were, each
// once and in order, only later by the delay; the other source stalling for
// a second (its frames then come at once) moves its reader once.
TEST(DriftMixer, TheInputComesOutBitExactWhenTheOtherSourceIsSilentAndAStallMovesTheReaderOnce)
{
    constexpr double kRate = 48000;
    DriftMixer mixer;
    mixer.prepare(2, kRate);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> sample(-0.99f, 0.99f);
    const std::vector<float> silence(480 * 2, 0.0f);
    std::vector<float> in, out, block;
    double pushed = 0;
    for (int i = 0; i < 500; ++i) {
        const double now = (i + 1) * 0.04;
        for (; pushed < now && (now < 10 || now > 11); pushed += 0.01)
            mixer.push(silence.data(), 480, pushed + 0.003);
        block.resize(1920 * 2);
        for (float& v : block)
            v = sample(random);
        in.insert(in.end(), block.begin(), block.end());
        mixer.mixInto(block.data(), 1920, now);
        out.insert(out.end(), block.begin(), block.end());
    }
    EXPECT_EQ(mixer.alignments(), 2u);
    const auto delay = std::size_t(mixer.delaySeconds() * 48000) * 2;
    ASSERT_EQ(out.size(), in.size());
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + delay, [](float v) { return v == 0.0f; }));
    EXPECT_TRUE(std::equal(in.begin(), in.end() - delay, out.begin() + delay));
}
