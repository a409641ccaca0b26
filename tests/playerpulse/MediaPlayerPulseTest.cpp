// The real player against a private PulseAudio daemon: recorded files played
// into a null sink and heard back from its monitor (tone, level, seek
// landing, pause and resume, the end of the file, volume ramps). Without a
// server: the sound-server suite.
#include "engine/ExtAudioFileTestHelpers.h"
#include "platform/MediaPlayer.h"
#include "platform/pulse/PulsePlatform.h"
#include "support/MonitorCapture.h"
#include "support/PulseServer.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <thread>

using namespace std::chrono_literals;
using namespace eaf_test;
using testsupport::NullSink;
using testsupport::PulseServerEnvironment;

namespace {

constexpr double kRate = 44100;
const NullSink kDeck{"deck", 44100, 2, "Deck"};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new PulseServerEnvironment({kDeck}));

class PulsePlatformEnvironment final : public ::testing::Environment {
    void SetUp() override { installPulsePlatform(); }
};
[[maybe_unused]] auto* const platform = ::testing::AddGlobalTestEnvironment(new PulsePlatformEnvironment);

// The deck's monitor, recorded while the player plays; its frames are the clock for "now".
struct Monitor : testsupport::MonitorCapture {
    Monitor(double seconds) : MonitorCapture(std::size_t(seconds * kRate)) { }
    bool start() { return open(testsupport::deviceByUid("deck.monitor")) == noErr; }
    void waitFor(double seconds) const { waitForMore(std::size_t(seconds * kRate)); }
    std::vector<float> samples()
    {
        unit->stop();
        return channel(0);
    }
};

// A stereo file whose left and right channels are the same, made by `make`
// from the frame index; its extension picks the format.
void writeFile(const std::string& path, std::size_t frames, const std::function<float(std::size_t)>& make)
{
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i)
        samples[i] = make(i);
    ASSERT_EQ(writeStereoFile(path, kRate, samples, samples), noErr);
}

float tone(std::size_t i, double frequency = 1000, double amplitude = 0.5)
{
    return float(amplitude * std::sin(2 * M_PI * frequency * double(i) / kRate));
}

// The peak of each 40-frame window (one period of a 1102.5 Hz tone).
std::vector<float> envelope(const std::vector<float>& x)
{
    std::vector<float> out;
    for (std::size_t at = 0; at + 40 <= x.size(); at += 40) {
        float peak = 0;
        for (std::size_t i = at; i < at + 40; ++i)
            peak = std::max(peak, std::fabs(x[i]));
        out.push_back(peak);
    }
    return out;
}

// Each change between full level (0.5) and silence in windows [from, to) of
// the envelope, as the number of windows spent between the two: a step has at
// most one, a ramp of several milliseconds several. Falls and rises in the
// order heard, each with the window that reached its new level.
struct Transition {
    bool rise;
    int between;
    std::size_t at;
};
struct Changes {
    std::vector<Transition> transitions;
    // Sound that left one level and came back to it without reaching the
    // other: a player's ramp cut by a stretch the server dropped (PipeWire,
    // starved, mixes silence for a late stream), the rest read as a step.
    int turnedBack = 0;
};
Changes changesIn(const std::vector<float>& env, std::size_t from, std::size_t to)
{
    Changes out;
    int state = -1;  // 0 silent, 1 loud, -1 not yet known
    int between = 0;
    for (std::size_t i = from; i < std::min(to, env.size()); ++i) {
        const int now = env[i] < 0.01f ? 0 : env[i] > 0.45f ? 1 : -1;
        if (now == -1) {
            ++between;
            continue;
        }
        if (state != -1 && now != state)
            out.transitions.push_back({now == 1, between, i});
        else if (state == now && between > 0)
            ++out.turnedBack;
        state = now;
        between = 0;
    }
    return out;
}

class MediaPlayerPulse : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(PulseServerEnvironment::server().setDefaultSink("deck")); }

    std::unique_ptr<MediaPlayer> playerFor(const std::string& path)
    {
        asset_ = MediaAsset::assetWithPath(path);
        return asset_ ? MediaPlayer::playerWithAsset(asset_) : nullptr;
    }

    // Plays the tone file through every change the test listens for (start,
    // volume 0, volume 1, pause, play, the end) and returns what the sink
    // played; calls_ holds how much the monitor had heard as each was asked for.
    std::vector<float> playThrough(const std::string& path, std::size_t total)
    {
        auto player = playerFor(path);
        EXPECT_TRUE(player);
        if (!player)
            return {};
        Monitor monitor(10);
        EXPECT_TRUE(monitor.start());
        monitor.waitFor(0.2);
        calls_[0] = monitor.frames();
        player->play();
        const auto started = std::chrono::steady_clock::now();
        monitor.waitFor(0.4);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_NEAR(player->currentTime().seconds(), elapsed, 0.15) << "the position is what is heard now";
        calls_[1] = monitor.frames();
        player->setVolume(0.0f);
        monitor.waitFor(0.3);
        calls_[2] = monitor.frames();
        player->setVolume(1.0f);
        monitor.waitFor(0.3);
        calls_[3] = monitor.frames();
        player->pause();
        EXPECT_EQ(player->rate(), 0.0f);
        monitor.waitFor(0.2);
        const MediaTime held = player->currentTime();
        monitor.waitFor(0.4);
        EXPECT_EQ(player->currentTime().value, held.value) << "paused: the position holds";
        const auto corked = [] {
            return PulseServerEnvironment::server().pactl({"list", "sink-inputs"}).output.find("Corked: yes")
                != std::string::npos;
        };
        EXPECT_TRUE(corked()) << "a paused player keeps the device busy";
        calls_[4] = monitor.frames();
        player->play();
        EXPECT_EQ(player->rate(), 1.0f);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (player->rate() != 0.0f && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(player->rate(), 0.0f) << "the end of the file stops the player";
        EXPECT_EQ(player->currentTime().value, std::int64_t(total)) << "at the very end";
        player->play();
        EXPECT_EQ(player->rate(), 0.0f) << "nothing left to play";
        monitor.waitFor(0.4);
        EXPECT_TRUE(corked()) << "a player at its end keeps the device busy";
        player->seekToTime(MediaTime{std::int64_t(total), 44100});
        player->play();
        EXPECT_EQ(player->rate(), 0.0f) << "sought to the end: nothing left to play";
        underruns_ = player->underruns();
        return monitor.samples();
    }

    TempDir dir_;
    std::shared_ptr<MediaAsset> asset_;
    std::uint32_t underruns_ = 0;  // of the last playThrough()
    std::array<std::size_t, 5> calls_{};
};

// Silence with a tone burst from 2.0 s on. A seek away from the burst drops
// what was queued of it at once; a seek to 2.0 s from the silence is heard
// as the burst's onset, promptly, and reads back as 2.0 s at once.
TEST_F(MediaPlayerPulse, ASeekDropsWhatIsQueuedIsHeardWithinFiftyMillisecondsAndReadsBackAtOnce)
{
    if (!haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    const std::string path = dir_.file("marker.m4a");
    writeFile(path, std::size_t(4 * kRate), [](std::size_t i) { return i >= 2 * 44100 ? tone(i) : 0.0f; });
    auto player = playerFor(path);
    ASSERT_TRUE(player);
    Monitor monitor(4);
    ASSERT_TRUE(monitor.start());
    player->seekToTime(MediaTime{5, 2});
    player->play();
    monitor.waitFor(0.4);
    const std::size_t awayAt = monitor.frames();
    player->seekToTime(MediaTime{1, 1});
    monitor.waitFor(0.3);
    const std::size_t seekedAt = monitor.frames();
    player->seekToTime(MediaTime{88200, 44100});
    const MediaTime back = player->currentTime();
    EXPECT_EQ(std::pair(back.value, back.timescale), std::pair(std::int64_t(88200), 44100));
    monitor.waitFor(0.5);
    EXPECT_EQ(player->rate(), 1.0f);
    EXPECT_GT(player->currentTime().seconds(), 2.2);

    const auto heard = monitor.samples();
    std::size_t lastLoud = awayAt;
    for (std::size_t i = awayAt; i < seekedAt; ++i)
        lastLoud = std::fabs(heard[i]) > 0.05f ? i : lastLoud;
    std::size_t onset = seekedAt;
    while (onset < heard.size() && std::fabs(heard[onset]) < 0.05f)
        ++onset;
    ASSERT_LT(onset, heard.size()) << "the marker was never heard";
    const double stopped = double(lastLoud - awayAt) / kRate, started = double(onset - seekedAt) / kRate;
    std::cout << "[ seek ] burst stopped " << stopped * 1000 << " ms, marker heard " << started * 1000
              << " ms after the seek\n";
    EXPECT_LE(stopped, 0.020) << "what was queued played on";
    EXPECT_LE(started, 0.050);
}

// A recorded 1102.5 Hz tone (40 frames a period) is heard at its frequency
// and level while the position follows the clock; the fade of a volume
// change, a pause and a resumption is a ramp of several periods, never a
// step; a paused player holds its position; the end of the file stops it
// there with rate 0; a paused or ended player releases the device.
// A preview plays the trimmed range as the export writes it: from its first
// frame to its last, each at the fade envelope's gain (here of a constant
// level, so each heard sample is that gain, to a sixteen-bit sink's step: a
// frame early or late is eight steps off on the ramps), and silence after it.
// At 48 kHz, the rate PipeWire runs its graph at, so no resampler smooths it.
TEST_F(MediaPlayerPulse, APreviewPlaysEachFrameOfTheRangeAtTheExportsGain)
{
    constexpr double rate = 48000;
    const auto sink = PulseServerEnvironment::server().loadNullSink({"level", 48000, 2, "Level"});
    ASSERT_TRUE(sink && PulseServerEnvironment::server().setDefaultSink("level"));
    const std::string path = dir_.file("level.wav");
    const std::vector<float> level(std::size_t(2 * rate), 0.9f);
    ASSERT_EQ(writeStereoFile(path, rate, level, level), noErr);
    const FadeEnvelope fades{0.5f, 1.5f, 0.05f, 0.1f};
    const std::int64_t first = fades.firstFrame(rate), count = fades.endFrame(rate) - first;
    // What was heard, where the range's first frame (the fade-in's silence,
    // before the first sound) lies in it, and the range's frames that are
    // not at the export's gain (the first of them).
    std::vector<float> heard;
    std::size_t at = 0, wrong = 0;
    std::int64_t firstWrong = -1;
    // A busy machine now and then makes the server drop a stretch of the
    // playback or the capture: such a run is played again, as above; a player
    // that shapes frames wrongly does so every time.
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto player = playerFor(path);
        ASSERT_TRUE(player);
        player->setEnvelope(MediaPlayer::Envelope{fades, true});
        player->seekToTime({first, std::int32_t(rate)});
        testsupport::MonitorCapture monitor(std::size_t(3 * rate));
        ASSERT_EQ(monitor.open(testsupport::deviceByUid("level.monitor")), noErr);
        monitor.waitForMore(std::size_t(rate / 10));
        player->play();
        monitor.waitForMore(std::size_t(1.3 * rate));
        monitor.unit->stop();
        heard = monitor.channel(0);
        const auto sound = std::find_if(heard.begin(), heard.end(), [](float x) { return x != 0; });
        ASSERT_NE(sound, heard.end());
        at = std::size_t(sound - heard.begin()) - 1;
        ASSERT_GE(heard.size(), at + std::size_t(count + first / 5));
        wrong = 0;
        firstWrong = -1;
        for (std::int64_t i = 0; i < count; ++i)
            if (std::fabs(heard[at + std::size_t(i)] - 0.9f * fades.gainOfFrame(i, count, rate)) > 2.0f / 32768) {
                firstWrong = firstWrong < 0 ? i : firstWrong;
                ++wrong;
            }
        if (wrong == 0)
            break;
        std::cout << "[ preview ] " << wrong << " frames off, the first at frame " << firstWrong << "; playing again\n";
    }
    PulseServerEnvironment::server().unloadModule(*sink);
    EXPECT_EQ(wrong, 0u) << "frames of the range not at the export's gain, the first at frame " << firstWrong << ": "
                         << (firstWrong < 0 ? 0 : heard[at + std::size_t(firstWrong)]);
    EXPECT_TRUE(std::all_of(heard.begin() + std::ptrdiff_t(at + std::size_t(count)),
        heard.begin() + std::ptrdiff_t(at + std::size_t(count + first / 5)), [](float x) { return x == 0; }))
        << "the range ends at its last frame";
}

TEST_F(MediaPlayerPulse, PlaysAToneRampsEveryChangeHoldsWhenPausedAndStopsAtTheEnd)
{
    if (!haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    const std::string path = dir_.file("tone.m4a");
    const std::size_t total = std::size_t(2 * kRate);
    writeFile(path, total, [](std::size_t i) { return tone(i, 1102.5); });
    // A busy machine now and then makes the server drop a stretch of the
    // playback: silence that reads as two more changes, both steps, or,
    // inside a ramp, a ramp that turns back and a step after it; or the
    // player runs short, and the server's rewind as it catches up cuts into a
    // ramp. So each change is judged in the quarter second from its call,
    // from the first run that heard that stretch whole: one change, none cut
    // short, no underrun. A player without ramps is heard with steps in
    // whole stretches, every time.
    const std::array<const char*, 5> names{"the start", "volume 0", "volume 1", "pause", "play"};
    std::array<std::optional<Transition>, 5> judged;
    std::vector<float> first;  // a run that heard the start whole
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto heard = playThrough(path, total);
        ASSERT_FALSE(HasFatalFailure());
        const auto env = envelope(heard);
        for (std::size_t i = 0; i < judged.size(); ++i) {
            if (judged[i])
                continue;
            const std::size_t from = (calls_[i] + 39) / 40;
            const Changes changes = changesIn(env, from, from + std::size_t(0.25 * kRate / 40));
            if (underruns_ == 0 && changes.turnedBack == 0 && changes.transitions.size() == 1) {
                judged[i] = changes.transitions[0];
                if (i == 0)
                    first = heard;
                continue;
            }
            std::cout << "[ ramps ] " << names[i] << ": " << changes.turnedBack << " change(s) cut short, the player ran short "
                      << underruns_ << " time(s), heard:";
            for (const Transition& t : changes.transitions)
                std::cout << ' ' << (t.rise ? "rise" : "fall") << " at " << double(t.at * 40) / kRate << " s over "
                          << t.between;
            std::cout << "; playing again\n";
        }
        if (std::all_of(judged.begin(), judged.end(), [](const auto& t) { return t.has_value(); }))
            break;
    }
    for (std::size_t i = 0; i < judged.size(); ++i) {
        ASSERT_TRUE(judged[i]) << names[i] << " was not heard whole within a quarter second of its call in any run";
        EXPECT_EQ(judged[i]->rise, i % 2 == 0) << names[i];
        EXPECT_GE(judged[i]->between, 3) << names[i] << " is a step, not a ramp";
    }

    const auto env = envelope(first);
    const auto loud
        = std::size_t(std::find_if(env.begin(), env.end(), [](float e) { return e > 0.45f; }) - env.begin());
    const auto steady = signal_test::slice(first, 40 * loud + 2205, 8820);
    EXPECT_NEAR(signal_test::dominantFrequency(steady, kRate, 200, 4000, 5), 1102.5, 5);
    EXPECT_NEAR(signal_test::toneAmplitude(steady, 1102.5, kRate), 0.5, 0.03);
}

}  // namespace
