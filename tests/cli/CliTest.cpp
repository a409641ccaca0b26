// traytape-cli as a user runs it: recording from a private sound server,
// and exporting real files into real files.
#include "AudioRecord/RecordRecipe.h"
#include "platform/AudioFormat.h"
#include "platform/FFmpegUtil.h"
#include "platform/InterruptedRecording.h"
#include "support/DecodedFile.h"
#include "support/PulseServer.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::CommandResult;
using testsupport::PulseServer;
using testsupport::PulseServerEnvironment;
using testsupport::runCommand;

namespace {

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(
    new PulseServerEnvironment({{"cli", 48000, 2, "CLI Sink"}, {"other", 44100, 2, "Other Sink"}}));

const std::string cli = TRAYTAPE_BINARY_DIR "/traytape-cli";

// The tab-separated fields of the first line.
std::vector<std::string> fields(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text.substr(0, text.find('\n')));
    for (std::string field; std::getline(in, field, '\t');)
        out.push_back(field);
    return out;
}

// Every file in the folder with its bytes.
std::map<std::string, std::string> snapshot(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.symlink_status().type() != fs::file_type::regular) {  // a FIFO would block the read
            files[entry.path().filename().string()] = "type " + std::to_string(int(entry.symlink_status().type()));
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;  // in one read: a character at a time took seconds under the sanitizers
        bytes << in.rdbuf();
        files[entry.path().filename().string()] = std::move(bytes).str();
    }
    return files;
}

// Whether the tone's player ran short while a take was made: the tone is
// missing for 30 ms in a row or more. A recorder that loses or repeats
// samples leaves the tone in place with its phase broken, which shows as a
// weak tone over the whole take, never as its absence.
bool playerRanShort(const std::vector<float>& samples, double frequency)
{
    constexpr std::size_t kStretch = 441;
    int missing = 0;
    for (std::size_t at = 4410; at + kStretch + 4410 <= samples.size(); at += kStretch) {
        missing = toneAmplitude(samples, 44100, frequency, at, at + kStretch) < 0.1 ? missing + 1 : 0;
        if (missing == 3)
            return true;
    }
    return false;
}

class Cli : public ::testing::Test {
protected:
    static CommandResult run(std::vector<std::string> args, std::chrono::milliseconds timeout = 60s)
    {
        args.insert(args.begin(), cli);
        return runCommand(args, timeout);
    }
    std::string file(const std::string& name) const { return dir.file(name); }

    TempDir dir;
};

}  // namespace

// Stopped by --seconds or by a signal, the file is complete: it holds
// everything the recorder said it captured, and info describes it.
TEST_F(Cli, RecordingsFromAListedSourceEndAtTheAskedLengthOrASignalWithTheFileComplete)
{
    // Sinks are no input devices: only their monitors are listed, each with its own format.
    const CommandResult devices = run({"devices"});
    ASSERT_TRUE(devices.ok()) << devices.errors;
    EXPECT_EQ(devices.output.rfind("0\t", 0), 0u) << devices.output;
    EXPECT_NE(devices.output.find("\tMonitor of CLI Sink\tcli.monitor\t2\t48000\n"), std::string::npos);
    EXPECT_NE(devices.output.find("\tother.monitor\t2\t44100\n"), std::string::npos) << devices.output;
    EXPECT_EQ(devices.output.find("\tcli\t"), std::string::npos) << devices.output;

    // The user turned our own stream down and muted it in a mixer in an
    // earlier run. The server brings both back (PulseAudio with this module,
    // PipeWire's session manager by itself); the recordings below must still
    // be at full level.
    auto& server = PulseServerEnvironment::server();
    server.pactl({"load-module", "module-stream-restore"});
    auto earlier = std::async(std::launch::async, [this] {
        return run({"record", "--device", "other.monitor", "--seconds", "4", file("earlier.wav")});
    });
    std::vector<std::string> stream;
    while (stream.empty() && earlier.wait_for(10ms) == std::future_status::timeout)
        stream = fields(server.pactl({"list", "short", "source-outputs"}).output);
    ASSERT_FALSE(stream.empty());
    ASSERT_TRUE(server.pactl({"set-source-output-volume", stream[0], "30%"}).ok());
    ASSERT_TRUE(server.pactl({"set-source-output-mute", stream[0], "1"}).ok());
    ASSERT_TRUE(earlier.get().ok());

    // What the default output plays, heard only in the take that mixes it in.
    // (Chosen first: a session manager moves playing streams to a new default.)
    ASSERT_TRUE(server.setDefaultSink("other"));
    auto tone = server.playTone("cli", 880, 0.5);
    auto heard = server.playTone("other", 440, 0.3, 44100);
    ASSERT_TRUE(tone && heard && server.waitForTone("cli", 880, 0.5) && server.waitForTone("other", 440, 0.3, 44100))
        << "the tones reach their sinks";
    for (const auto& [name, signal] : {std::pair{"take.wav", ""}, std::pair{"take.m4a", ""}, std::pair{"mixed.wav", ""},
             std::pair{"int.m4a", "INT"}, std::pair{"term.flac", "TERM"}, std::pair{"take.mp3", ""}}) {
        SCOPED_TRACE(name);
        const std::string out = file(name);
        const AudioFormat& format = *audioFormatForPath(out);
        const bool mixed = std::string(name) == "mixed.wav";
        // A take during which a player ran short (on a busy machine) cannot
        // judge the recorder: it is taken again.
        CommandResult rec;
        DecodedFile decoded;
        for (int attempt = 1;; ++attempt) {
            std::vector<std::string> args{"record", "--device", "cli.monitor", "--force", out};
            if (mixed)
                args.insert(args.begin() + 1, "--with-system-audio");
            if (*signal == '\0') {
                args.insert(args.end() - 1, {"--seconds", "1.5"});
                rec = run(args, 30s);
            } else {
                args.insert(args.begin(), {"timeout", "--preserve-status", "-s", signal, "3", cli});
                rec = runCommand(args, 30s);
            }
            ASSERT_TRUE(rec.ok()) << rec.errors;
            decoded = decodeFile(out);
            ASSERT_TRUE(decoded.ok);
            if (!playerRanShort(decoded.channels[0], 880))
                break;
            ASSERT_LT(attempt, 3) << "the tone's player ran short during every take";
            std::fprintf(stderr, "%s: the tone's player ran short; taken again\n", name);
        }
        const double captured = std::stod(fields(rec.output).at(1));
        // Asked a length, the recorder stops writing at its very frame.
        EXPECT_TRUE(*signal != '\0' || fields(rec.output) == (std::vector<std::string>{"66150", "1.500"}))
            << rec.output;
        const CommandResult info = run({"info", out});
        ASSERT_TRUE(info.ok()) << info.errors;
        // The codec as FFmpeg names it, not its encoder ("mp3", not "libmp3lame").
        const std::string codec = avcodec_get_name(avcodec_find_encoder_by_name(format.codec)->id);
        const std::optional<SampleDepth> depth = sampleDepthOf(format.fileFormat);
        EXPECT_EQ(fields(info.output),
            (std::vector<std::string>{
                fields(info.output).at(0), "44100", "2", codec, depth ? std::string(sampleDepthName(*depth)) : "-"}));
        EXPECT_NEAR(std::stod(fields(info.output)[0]), captured, 0.03);

        // The frames are the file's (44.1 kHz), not the 48 kHz device's.
        // An MP3's Info frame states the length as exactly as a lossless header.
        EXPECT_NEAR(double(std::stoll(fields(rec.output)[0])), double(decoded.frames()),
            format.lossless || format.fileType == kAudioFileMP3Type ? 0 : 441);
        const double level = toneAmplitude(decoded.channels[0], 44100, 880, 4410, decoded.frames() - 4410);
        EXPECT_NEAR(level, 0.5, 0.05);
        if (std::fabs(level - 0.5) > 0.05) {  // a level that changed, or a phase that jumped: which, and where
            for (std::size_t at = 4410; at + 4410 <= decoded.frames(); at += 4410)
                std::fprintf(stderr, "%.1f s: %.3f\n", double(at) / 44100,
                    toneAmplitude(decoded.channels[0], 44100, 880, at, at + 4410));
        }
        // Judged over 0.1 s stretches: the mix may bend its pitch by a hair while it settles.
        double other = 0;
        int stretches = 0;
        for (std::size_t at = 13230; at + 4410 <= decoded.frames(); at += 4410, ++stretches)
            other += toneAmplitude(decoded.channels[0], 44100, 440, at, at + 4410);
        EXPECT_NEAR(other / std::max(stretches, 1), mixed ? 0.3 : 0, 0.05);
        // A peer decoder reads it too, and no fragments are left in an MPEG-4 file.
        EXPECT_TRUE(runCommand({"ffmpeg", "-v", "error", "-i", out, "-f", "null", "-"}).ok());
        std::ifstream in(out, std::ios::binary);
        EXPECT_TRUE(format.fileType != kAudioFileM4AType
            || std::string(std::istreambuf_iterator<char>(in), {}).find("moof") == std::string::npos);
    }

    // A take far shorter than a capture fragment still plays, at its real length.
    const CommandResult brief
        = run({"record", "--device", "cli.monitor", "--seconds", "0.001", file("brief.m4a")}, 30s);
    ASSERT_TRUE(brief.ok()) << brief.errors;
    const CommandResult briefInfo = run({"info", file("brief.m4a")});
    ASSERT_TRUE(briefInfo.ok()) << briefInfo.errors;
    EXPECT_NEAR(std::stod(fields(briefInfo.output).at(0)), std::stod(fields(brief.output).at(1)), 0.03);

    // A file size limit fails the writes as a full disk does: called so, and the audio it cost is no slow disk's.
    const CommandResult full = runCommand({"sh", "-c", "trap '' XFSZ; ulimit -f 100; exec \"$0\" \"$@\"", cli, "record",
        "--device", "cli.monitor", "--seconds", "3", file("full.wav")});
    EXPECT_TRUE(full.exitCode == 3 && full.errors.find("lost") == std::string::npos
        && full.errors.find(file("full.wav") + " failed (the disk is full); kept") != std::string::npos)
        << full.errors;
}

// A fresh desktop has no default input chosen by hand: the server picks one,
// and a new source must not become it.
// --split-every over a frame counter (sixteen-bit steps, exact in the sink and the file) played into a
// sink: the parts are named as each is complete, hold the asked length to the frame, and joined are one
// unbroken count, seams included. A player held up on a busy machine leaves exact zeros in the sink,
// which are no recorder's fault and are stepped over; a sink that skipped or repeated frames itself
// (a second listener hears that too) is no recorder's fault either, and the take is made again.
TEST_F(Cli, ASplitTakesPartsJoinIntoOneUnbrokenCount)
{
    // Where the count does not go on by one, and how many steps were judged.
    const auto breaksIn = [](const std::vector<float>& count, std::size_t& counted) {
        std::vector<std::size_t> at;
        for (std::size_t i = 1; i < count.size(); ++i) {
            if (count[i - 1] == 0.0f || count[i] == 0.0f)
                continue;
            if (std::remainder(double(count[i] - count[i - 1]) * 32768, 65536) != 1)
                at.push_back(i);
            ++counted;
        }
        return at;
    };
    for (int attempt = 1;; ++attempt) {
        auto& server = PulseServerEnvironment::server();
        auto counter = server.play("cli", "(mod(n\\,65536)-32768)/32768");
        auto listener = server.listen("cli");
        ASSERT_TRUE(counter && listener);
        const CommandResult r = run({"record", "--device", "cli.monitor", "--rate", "48000", "--seconds", "2.5",
                                        "--split-every", "1", file("day.wav")},
            60s);
        const std::vector<float> heard = listener->stop();
        counter.reset();
        ASSERT_TRUE(r.ok()) << r.errors;
        std::size_t heardCounted = 0;
        const auto sinkBreaks = breaksIn(heard, heardCounted).size();
        if (sinkBreaks > 0 && attempt < 3) {
            std::cout << "[ split ] the sink itself skipped or repeated frames at " << sinkBreaks
                      << " place(s); taken again\n";
            for (const char* part : {"day 001.wav", "day 002.wav", "day 003.wav"})
                fs::remove(file(part));
            continue;
        }
        EXPECT_EQ(r.output,
            file("day 001.wav") + "\n" + file("day 002.wav") + "\n" + file("day 003.wav") + "\n120000\t2.500\n");
        std::vector<float> joined;
        std::vector<std::size_t> seams;
        for (const char* part : {"day 001.wav", "day 002.wav", "day 003.wav"}) {
            const DecodedFile decoded = decodeFile(file(part));
            ASSERT_TRUE(decoded.ok) << part;
            EXPECT_EQ(decoded.frames(), std::string(part) == "day 003.wav" ? 24000u : 48000u) << part;
            joined.insert(joined.end(), decoded.channels[0].begin(), decoded.channels[0].end());
            seams.push_back(joined.size());
        }
        EXPECT_FALSE(fs::exists(file("day.wav")) || fs::exists(file("day 004.wav")));
        std::size_t counted = 0;
        const auto breaks = breaksIn(joined, counted);
        // What the count did there, and whether the listener heard silence
        // amid it (a player held up, or a hole the server left in both
        // streams, which a listener fills with silence).
        const auto jump = [&](std::size_t i) {
            return long(std::lround(std::remainder(double(joined[i] - joined[i - 1]) * 32768, 65536)));
        };
        std::size_t silences = 0;
        for (std::size_t i = 1; i + 1 < heard.size(); ++i)
            silences
                += heard[i - 1] != 0.0f && heard[i] == 0.0f && heard[i + 1] == 0.0f;  // the count's own 0 is one frame
        EXPECT_TRUE(breaks.empty()) << "the count went on by " << jump(breaks.front()) << " before frame "
                                    << breaks.front() << "; the listener heard silence amid the count " << silences
                                    << " time(s)";
        std::size_t seamsCounted = 0;
        for (const std::size_t seam : {seams[0], seams[1]})
            seamsCounted += seam < joined.size() && joined[seam - 1] != 0.0f && joined[seam] != 0.0f;
        EXPECT_EQ(seamsCounted, 2u) << "both seams are judged";
        EXPECT_GT(counted, joined.size() / 2);
        break;
    }
}

TEST_F(Cli, SystemAudioLeavesTheDefaultInputAlone)
{
    auto& server = PulseServerEnvironment::server();
    const std::string before = server.defaultSource();
    ASSERT_FALSE(before.empty());
    const CommandResult on = run({"system-audio", "on"});
    ASSERT_TRUE(on.ok()) << on.errors;
    // A session manager decides a moment after the source appears.
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(server.defaultSource(), before);
        std::this_thread::sleep_for(100ms);
    }
    const CommandResult off = run({"system-audio", "off"});
    ASSERT_TRUE(off.ok()) << off.errors;
    EXPECT_EQ(server.defaultSource(), before);
}

// The lines of a pactl short listing, each cut to the fields that name
// what the user set up (a sink's state, idle or running, is left out).
std::vector<std::string> setUp(const CommandResult& listing, std::size_t fields)
{
    std::vector<std::string> lines;
    std::istringstream in(listing.output);
    for (std::string line; std::getline(in, line);) {
        std::size_t end = 0;
        for (std::size_t f = 0; f < fields && end != std::string::npos; ++f)
            end = line.find('\t', end + (f > 0));
        lines.push_back(line.substr(0, end));
    }
    return lines;
}

// Two applications play into the default output. A take of one holds its
// tone alone (the other's below -50 dBFS), from its first stretch to its
// last, judged in 0.1 s stretches as a listener hears it; a stream the
// application opens mid-take comes in and stays; mixed into an input, the
// input is there too. The server's streams, sinks and modules are as the
// user had them, and a name that plays nothing is refused with no file.
TEST_F(Cli, OneApplicationIsRecordedAloneOrMixedAndTheServerIsLeftAsItWas)
{
    auto& server = PulseServerEnvironment::server();
    const std::string output = server.defaultSink();
    const std::string input = output == "cli" ? "other" : "cli";
    // Each player a program of its own name, as the server tells applications apart.
    const PulseServer::Player a{file("tone-a"), "Tone A"}, b{file("tone-b"), "Tone B"};
    for (const auto* player : {&a, &b})
        fs::copy_file("/usr/bin/pacat", player->program);
    // The input's tone is off the mixer's delay (0.4 s) and its blocks by a
    // fraction of its period: an input part taken from other frames than the
    // mix's cannot pass for the right one. The players' tones are whole
    // periods in each stretch judged, so none leaks into another's measure.
    constexpr double kMic = 1001, kToneB = 660;
    auto toneA = server.playToneAs(a, output, 440, 0.3);
    auto toneB = server.playToneAs(b, output, kToneB, 0.3);
    const std::uint32_t inputRate = input == "other" ? 44100 : 48000;
    auto heard = server.playTone(input, kMic, 0.2, inputRate);
    ASSERT_TRUE(toneA && toneB && heard && server.waitForTone(input, kMic, 0.2, inputRate));
    CommandResult apps;
    const auto listed = [&apps](const std::string& line) { return apps.output.find(line) != std::string::npos; };
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         !(listed("\tTone A\ttone-a\t") && listed("\tTone B\ttone-b\t")) && std::chrono::steady_clock::now() < until;)
        apps = run({"apps"});
    ASSERT_TRUE(apps.ok()) << apps.errors;
    ASSERT_TRUE(listed("\tTone A\ttone-a\t") && listed("\tTone B\ttone-b\t")) << apps.output;
    std::string pidOfB;
    for (std::istringstream lines(apps.output); std::getline(lines, pidOfB);)
        if (pidOfB.find("\tTone B\t") != std::string::npos)
            break;
    EXPECT_EQ(fields(pidOfB).size(), 5u) << pidOfB;
    EXPECT_EQ(fields(pidOfB).at(4), "1") << "one stream";
    pidOfB = fields(pidOfB).at(3);

    const auto streams = [&server] { return setUp(server.pactl({"list", "short", "sink-inputs"}), 4); };
    // The sink input a program plays first.
    const auto streamOf = [&server](const std::string& program) {
        std::optional<std::uint32_t> found;
        std::istringstream lines(server.pactl({"list", "sink-inputs"}).output);
        std::uint32_t index = 0;
        for (std::string line; !found && std::getline(lines, line);) {
            if (line.starts_with("Sink Input #"))
                index = std::uint32_t(std::stoul(line.substr(12)));
            else if (line.find("application.process.binary = \"" + program + "\"") != std::string::npos)
                found = index;
        }
        EXPECT_TRUE(found) << program << " plays no stream";
        return found;
    };
    const auto sinks = [&server] { return setUp(server.pactl({"list", "short", "sinks"}), 2); };
    const auto modules = [&server] { return setUp(server.pactl({"list", "short", "modules"}), 2); };
    const auto userStreams = streams();
    const auto userSinks = sinks();
    const auto userModules = modules();
    ASSERT_EQ(userStreams.size(), 3u);

    struct Case {
        const char* name;
        std::string app;     // as named on the command line
        const char* device;  // mixed into it; null: the application alone
        double tone, other;  // the application's, and the one that must not be heard
        bool secondStream;   // the application opens another stream mid-take
        bool separate;       // each source in its own file too (ignored alone)
        bool moved;          // its stream is moved between two outputs, over and over, mid-take
    };
    for (const Case& c : {Case{"by program, alone", "tone-a", nullptr, 440, kToneB, true, true, false},
             Case{"by name, alone, moved between outputs", "Tone B", nullptr, kToneB, 440, false, false, true},
             Case{"by process id, mixed into an input, each source in its own file too", pidOfB, "", kToneB, 440, false,
                 true, false}}) {
        SCOPED_TRACE(c.name);
        // A take whose player ran short is taken again, twice at most: a
        // starved server plays silence in its place and tells the player
        // nothing. What the take hears is heard beside it too, to tell that
        // silence from the recorder's loss: the input's sink, or alone, the
        // application's own first stream.
        DecodedFile decoded;
        std::string decodedPath;
        std::size_t judgedFrom = 0;  // the first frame judged: once the moves are over and it came back
        const std::string program = c.tone == 440 ? "tone-a" : "tone-b";
        for (int attempt = 1;; ++attempt) {
            const std::string out = file(c.name + (attempt > 1 ? " take " + std::to_string(attempt) : "") + ".wav");
            const std::uint32_t heardRate = c.device ? inputRate : 48000;
            const std::unique_ptr<testsupport::MonitorListener> sink
                = c.device ? server.listen(input, inputRate) : server.listen(output, 48000, 2, streamOf(program));
            ASSERT_TRUE(sink);
            std::vector<std::string> args{"record", "--app", c.app, "--seconds", "3", out};
            if (c.device)
                args.insert(args.begin() + 1, {"--device", input + ".monitor"});
            // 16 bits: the three files' rounding leaves the mix within 1 LSB of its parts' sum.
            if (c.separate)
                args.insert(args.begin() + 1, {"--separate", "--bits", "16"});
            auto take = std::async(std::launch::async, [&args] { return run(args, 60s); });
            std::unique_ptr<testsupport::TonePlayer> second;
            if (c.secondStream) {
                // Once the take has begun: the file is there.
                while (!fs::exists(out) && take.wait_for(5ms) == std::future_status::timeout) { }
                second = server.playToneAs(a, output, 550, 0.2);
                ASSERT_TRUE(second);
            }
            if (c.moved) {
                // PulseAudio ends a monitor stream whose sink input moves, and
                // refuses one asked for on the sink it has just left: each
                // move must find the stream again, however they fall.
                while (!fs::exists(out) && take.wait_for(5ms) == std::future_status::timeout) { }
                // Twenty moves, or as many pairs as 0.8 s allows: a busy machine runs pactl slowly.
                const auto began = std::chrono::steady_clock::now();
                const auto stream = streamOf(program);
                ASSERT_TRUE(stream);
                int moves = 0;
                for (; moves < 20 && (moves % 2 || std::chrono::steady_clock::now() - began < 800ms); ++moves)
                    ASSERT_TRUE(
                        server.pactl({"move-sink-input", std::to_string(*stream), moves % 2 ? output : input}).ok());
                const std::chrono::duration<double> moving = std::chrono::steady_clock::now() - began;
                judgedFrom = std::size_t((moving.count() + 0.6) * 44100);
                ASSERT_LT(judgedFrom, std::size_t(2.5 * 44100)) << moves << " moves took " << moving.count() << " s";
            }
            const CommandResult rec = take.get();
            second.reset();
            ASSERT_TRUE(rec.ok()) << rec.errors;
            EXPECT_EQ(fields(rec.output), (std::vector<std::string>{"132300", "3.000"}));
            decoded = decodeFile(out);
            decodedPath = out;
            ASSERT_TRUE(decoded.ok);
            // From the first sound it heard: a new reading of a monitor may begin with silence of its own.
            const std::vector<float> played = sink->stop();
            std::size_t silent = 0, longestSilence = 0;
            for (auto at = std::find_if(played.begin(), played.end(), [](float x) { return x != 0.0f; });
                 at != played.end(); ++at)
                longestSilence = std::max(longestSilence, silent = *at == 0.0f ? silent + 1 : 0);
            if (longestSilence < heardRate / 1000 || attempt == 3)
                break;
            std::cout << "[ app ] " << c.name << ": " << (c.device ? "the input's sink" : program.c_str()) << " played "
                      << longestSilence * 1000 / heardRate << " ms of silence; taken again\n";
        }
        const auto& left = decoded.channels[0];
        std::string levels;
        bool secondCame = false;
        for (std::size_t at = 0; at + 4410 <= decoded.frames(); at += 4410) {
            const double own = toneAmplitude(left, 44100, c.tone, at, at + 4410);
            const double other = toneAmplitude(left, 44100, c.other, at, at + 4410);
            const double mic = toneAmplitude(left, 44100, kMic, at, at + 4410);
            const double next = toneAmplitude(left, 44100, 550, at, at + 4410);
            char line[96];
            std::snprintf(
                line, sizeof line, "%.1f s: %.3f %.5f %.3f %.3f\n", double(at) / 44100, own, other, mic, next);
            levels += line;
            // Neither the stretches of the moves nor the one where the second
            // stream begins are judged: a seam or an onset spreads over every frequency.
            if (at < judgedFrom)
                continue;
            const bool onset = !secondCame && next > 0.005;
            if (!onset) {
                EXPECT_NEAR(own, 0.3, 0.03) << levels;
                EXPECT_LT(other, 0.00316) << "-50 dBFS\n" << levels;
            }
            // The input's own first frame is placed by its own timing (the
            // take-start tests judge that); from the second stretch on it is whole.
            if (at > 0 || !c.device) {
                EXPECT_NEAR(mic, c.device ? 0.2 : 0, 0.03) << levels;
            }
            // The second stream, once it came, stays to the end (its first stretch may hold its start).
            if (secondCame) {
                EXPECT_NEAR(next, 0.2, 0.03) << levels;
            }
            secondCame = secondCame || next > 0.01;
        }
        EXPECT_EQ(secondCame, c.secondStream) << levels;
        const std::string inputPart = sourceOf({{}, decodedPath}, "input").path();
        const std::string appPart = sourceOf({{}, decodedPath}, "app").path();
        EXPECT_EQ(fs::exists(inputPart), c.separate && c.device) << inputPart;
        EXPECT_EQ(fs::exists(appPart), c.separate && c.device) << appPart;
        if (c.separate && c.device) {
            const DecodedFile in = decodeFile(inputPart), app = decodeFile(appPart);
            ASSERT_TRUE(in.ok && app.ok);
            // The same frames: as many, and the mix their sum, clipped, to 1 LSB wherever
            // the limiter left it alone (the sum below full scale for the second before, which
            // outlasts the limiter's hold and release).
            ASSERT_EQ(in.frames(), decoded.frames());
            ASSERT_EQ(app.frames(), decoded.frames());
            std::size_t compared = 0, apart = 0;
            for (std::size_t ch = 0; ch < decoded.channels.size(); ++ch) {
                std::size_t loudAt = 0;
                for (std::size_t f = 0; f < decoded.frames(); ++f) {
                    const float sum = in.channels[ch][f] + app.channels[ch][f];
                    if (std::fabs(sum) >= 1.0f)
                        loudAt = f + 1;
                    if (loudAt > 0 && f - loudAt < 44100)
                        continue;
                    ++compared;
                    if (std::fabs(decoded.channels[ch][f] - std::clamp(sum, -1.0f, 1.0f)) > 1.0f / 32768 && apart++ < 5)
                        ADD_FAILURE() << "channel " << ch << ", frame " << f << ": mix " << decoded.channels[ch][f]
                                      << ", parts " << in.channels[ch][f] << " + " << app.channels[ch][f];
                }
            }
            EXPECT_EQ(apart, 0u);
            EXPECT_EQ(compared, decoded.frames() * decoded.channels.size())
                << "tones at 0.2 and 0.3 never reach the limiter";
            // Each part holds only its own source.
            for (std::size_t at = 4410; at + 4410 <= decoded.frames(); at += 4410) {
                EXPECT_NEAR(toneAmplitude(in.channels[0], 44100, kMic, at, at + 4410), 0.2, 0.03) << at;
                EXPECT_LT(toneAmplitude(in.channels[0], 44100, c.tone, at, at + 4410), 0.00316) << at;
                EXPECT_NEAR(toneAmplitude(app.channels[0], 44100, c.tone, at, at + 4410), 0.3, 0.03) << at;
                EXPECT_LT(toneAmplitude(app.channels[0], 44100, kMic, at, at + 4410), 0.00316) << at;
            }
        }
        // Nothing of ours is left on the server, nothing of the user's moved.
        std::vector<std::string> now;
        for (const auto until = std::chrono::steady_clock::now() + 5s;
             (now = streams()) != userStreams && std::chrono::steady_clock::now() < until;) { }
        EXPECT_EQ(now, userStreams);
        EXPECT_EQ(sinks(), userSinks);
        EXPECT_EQ(modules(), userModules);
    }

    // An application that plays only silence is told as such once the warning time has passed.
    auto quiet = server.playToneAs({a.program, "Quiet"}, output, 440, 0);
    ASSERT_TRUE(quiet);
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         run({"apps"}).output.find("\tQuiet\t") == std::string::npos && std::chrono::steady_clock::now() < until;) { }
    const CommandResult silent
        = run({"record", "--app", "quiet", "--seconds", "1.5", "--warn-silence", "0.5", file("quiet.wav")});
    EXPECT_TRUE(silent.ok()) << silent.errors;
    EXPECT_NE(silent.errors.find("quiet has played nothing for 0.5 s\n"), std::string::npos) << silent.errors;

    const std::string none = file("none.wav");
    const CommandResult nothing = run({"record", "--app", "no-such-player", "--seconds", "1", none});
    EXPECT_EQ(nothing.exitCode, 2);
    EXPECT_EQ(nothing.errors, "traytape-cli: no application called no-such-player is playing\n");
    EXPECT_FALSE(fs::exists(none));
}

// An input that gives only silence is told once the warning time has
// passed; a muted one (turned down to 30 % too) at once, and after the
// program it is as the user set it.
TEST_F(Cli, SilenceAndAMutedInputAreToldAndTheInputIsLeftAsTheUserSetIt)
{
    auto& server = PulseServerEnvironment::server();
    const auto setting = [&server] {
        return server.pactl({"get-source-volume", "other.monitor"}).output
            + server.pactl({"get-source-mute", "other.monitor"}).output;
    };
    const auto record = [](const std::string& out) {
        return run({"record", "--device", "other.monitor", "--seconds", "1.5", "--warn-silence", "0.5", out});
    };
    const std::string silence = "TrayTape is recording silence from \"Monitor of Other Sink\"\n";
    const CommandResult quiet = record(file("quiet.wav"));
    ASSERT_TRUE(quiet.ok()) << quiet.errors;
    const auto at = quiet.errors.find(silence);
    EXPECT_NE(at, std::string::npos) << quiet.errors;
    EXPECT_EQ(quiet.errors.find(silence, at + 1), std::string::npos) << "once: " << quiet.errors;

    ASSERT_TRUE(server.pactl({"set-source-volume", "other.monitor", "30%"}).ok());
    ASSERT_TRUE(server.pactl({"set-source-mute", "other.monitor", "1"}).ok());
    const std::string users = setting();
    const CommandResult muted = record(file("muted.wav"));
    ASSERT_TRUE(muted.ok()) << muted.errors;
    EXPECT_EQ(muted.errors.rfind("\"Monitor of Other Sink\" is muted: the recording will be silent\n", 0), 0u)
        << muted.errors;
    EXPECT_EQ(muted.errors.find(silence), std::string::npos) << "the mute said it: " << muted.errors;
    EXPECT_EQ(setting(), users);
    ASSERT_TRUE(server.pactl({"set-source-volume", "other.monitor", "100%"}).ok());
    ASSERT_TRUE(server.pactl({"set-source-mute", "other.monitor", "0"}).ok());
}

TEST_F(Cli, ExportWritesTheTrimmedRangeInTheFormatOfItsExtensionAndPrintsItsLength)
{
    const std::string in = file("take.wav");
    ASSERT_EQ(writeToneFile(in, 10), noErr);

    // 2 to 5 s: the 3 s between, to the frame, silent at both ends (but for
    // the codec's noise in an MP3, whose Info frame states the length).
    for (const char* name : {"part.wav", "part.flac", "part.mp3"}) {
        SCOPED_TRACE(name);
        const CommandResult exported
            = run({"export", "--start", "2", "--end", "5", "--fade-in", "1", "--fade-out", "1", in, file(name)});
        ASSERT_TRUE(exported.ok()) << exported.errors;
        EXPECT_EQ(fields(exported.output), (std::vector<std::string>{"132300", "3.000"}));
        const DecodedFile part = decodeFile(file(name));
        ASSERT_TRUE(part.ok);
        EXPECT_EQ(part.frames(), 132300u);
        const float noise = audioFormatForPath(name)->lossless ? 0.0F : 0.01F;
        EXPECT_NEAR(part.channels[0].front(), 0.0F, noise) << "the fade-in starts silent";
        EXPECT_NEAR(part.channels[0].back(), 0.0F, noise) << "the fade-out ends silent";
        EXPECT_NEAR(toneAmplitude(part.channels[1], 44100, 500, 60000, 80000), 0.5, 0.02);
    }
    // Record's choices: 48 kHz, the mean of the channels, 16 bits.
    const CommandResult chosen = run(
        {"export", "--rate", "48000", "--channels", "1", "--bits", "16", "--end", "3", in, file("mono.wav")});
    ASSERT_TRUE(chosen.ok()) << chosen.errors;
    EXPECT_EQ(fields(chosen.output), (std::vector<std::string>{"144000", "3.000"}));
    EXPECT_EQ(fields(run({"info", file("mono.wav")}).output),
        (std::vector<std::string>{"3.000", "48000", "1", "pcm_s16le", "16"}));
    EXPECT_NEAR(toneAmplitude(decodeFile(file("mono.wav")).channels[0], 48000, 500, 60000, 80000), 0.25, 0.02);

    // --loudness: pink noise brought from about -30 LUFS to -16, as FFmpeg's
    // own EBU R128 meter reads both the source and the export.
    const auto ebur128 = [](const std::string& path) {
        const CommandResult r = runCommand({"ffmpeg", "-nostdin", "-hide_banner", "-i", path, "-af",
                                               "ebur128=peak=true", "-f", "null", "-"},
            std::chrono::seconds(60));
        const std::size_t summary = r.errors.rfind("Summary:");
        const auto after = [&](const std::string& label) {
            const std::size_t at = summary == std::string::npos ? summary : r.errors.find(label, summary);
            return at == std::string::npos ? NAN : std::strtod(r.errors.c_str() + at + label.size(), nullptr);
        };
        return std::pair{after("I:"), after("Peak:")};
    };
    const std::string pink = file("pink.wav");
    ASSERT_TRUE(runCommand({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
        "anoisesrc=color=pink:amplitude=0.17:duration=20:seed=7", "-ac", "2", "-ar", "44100", "-c:a", "pcm_f32le", pink})
                    .ok());
    const CommandResult normalised = run({"export", "--loudness", "-16", pink, file("podcast.wav")});
    ASSERT_TRUE(normalised.ok()) << normalised.errors;
    const auto [sourceLufs, sourcePeak] = ebur128(pink);
    const auto [lufs, peak] = ebur128(file("podcast.wav"));
    double measured = NAN, gain = NAN, written = NAN;
    ASSERT_EQ(std::sscanf(normalised.output.c_str(), "%*s %*s\nloudness %lf LUFS, gain %lf dB, true peak %lf dBTP",
                  &measured, &gain, &written),
        3)
        << normalised.output;
    EXPECT_NEAR(measured, sourceLufs, 0.1) << "the meter agrees with FFmpeg's";
    EXPECT_NEAR(sourceLufs, -30, 3);
    EXPECT_NEAR(gain, -16 - measured, 0.051);
    EXPECT_NEAR(lufs, -16, 0.5);
    EXPECT_LE(peak, -1.0);
    EXPECT_NEAR(written, peak, 0.2);

    // The codec is named as FFmpeg names it, whatever the file holds.
    for (const std::string codec : {"pcm_alaw", "adpcm_ima_wav"}) {
        const std::string path = file(codec + ".wav");
        if (!runCommand({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "sine=d=1", "-c:a", codec, path}).ok())
            continue;
        const CommandResult info = runCommand({cli, "info", path});
        ASSERT_TRUE(info.ok()) << info.errors;
        EXPECT_EQ(fields(info.output).at(3), codec);
    }
}

// Help and the version, asked for, go to standard output with status 0 and
// nothing on standard error (mistakes in the command line are refused below).
TEST_F(Cli, HelpAndTheVersionGoToStandardOutput)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--version"}, "traytape-cli " TRAYTAPE_VERSION "\n"},
        {{"--help"}, "usage: traytape-cli devices\n"},
        {{"devices", "--help"}, "usage: traytape-cli devices\n\ndevices lists"},
        {{"record", "--seconds", "1", "--help"}, "usage: traytape-cli record [--device"},
        {{"info", "-h"}, "usage: traytape-cli info FILE\n\ninfo prints"},
        {{"export", "--help", "in.wav"}, "usage: traytape-cli export [--start"},
        {{"system-audio", "--help"}, "usage: traytape-cli system-audio on|off\n\nsystem-audio on"},
    };
    for (const auto& [args, begins] : cases) {
        const CommandResult result = run(args);
        EXPECT_TRUE(result.ok() && result.errors.empty() && result.output.rfind(begins, 0) == 0)
            << args.front() << ": " << result.exitCode << ' ' << result.output << result.errors;
    }
    const std::string record = run({"record", "--help"}).output;
    EXPECT_TRUE(record.find("--with-system-audio") != std::string::npos && record.find("export") == std::string::npos)
        << "a command's help is its own: " << record;
}

TEST_F(Cli, BadInputIsRefusedWithOneLineAndHarmsNoFile)
{
    const std::string in = file("take.wav");
    ASSERT_EQ(writeToneFile(in, 3), noErr);
    const std::string garbage = file("garbage.m4a");
    std::ofstream(garbage) << "this is not audio";
    const std::string out = file("out.wav");
    std::ofstream(out) << "an export the user wants to keep";
    fs::create_hard_link(in, file("link.wav"));
    const std::string fifo = file("fifo.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string readonly = file("readonly.wav");
    std::ofstream(readonly) << "a file the user protected";
    ::chmod(readonly.c_str(), 0444);
    // The tray app's recording, marked in its settings file as Qt writes it
    // (quoted for the comma, the line break escaped); reached by a second name too.
    const std::string recording = file("take, being recorded.wav");
    ASSERT_EQ(writeToneFile(recording, 1), noErr);
    fs::create_hard_link(recording, file("recording link.wav"));
    std::string mark;
    for (const char c : recordingMark(recording))
        mark += c == '\n' ? std::string("\\n") : c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    ASSERT_NE(mark.find("\\n"), std::string::npos) << "a mark with the file's identity";
    const std::string settings = std::string(std::getenv("XDG_CONFIG_HOME")) + "/traytape/TrayTape.conf";
    fs::create_directories(fs::path(settings).parent_path());
    std::ofstream(settings) << "[General]\nSaveAudioPath=" << dir.path() << "\nRecordingInProgress=\"" << mark
                            << "\"\n\n[Other]\nRecordingInProgress=/elsewhere\n";
    const std::string dangling = file("dangling.wav");
    fs::create_symlink(file("nowhere.wav"), dangling);
    const std::string longName = file(std::string(252, 'n') + ".wav");
    std::string longPath = dir.path();
    while (longPath.size() < 4100)
        longPath += "/" + std::string(200, 'd');
    longPath += "/out.wav";
    std::ofstream(file("kept.input.wav")) << "an earlier take's input, beside a free name";
    const auto before = snapshot(dir.path());

    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"record", "--device", "no such device", "--seconds", "1", file("a.wav")}, "no such input device"},
        {{"record", "--seconds", "1", file("missing/c.wav")}, "folder does not exist"},
        // Another format under the name would be taken for what the name says.
        {{"record", "--seconds", "1", file("take.v2/out.WMA")},
            "unknown format .WMA: use " + audioFormatExtensions(false)},
        {{"export", in, file("out.xyz")}, "unknown format .xyz: use " + audioFormatExtensions(true)},
        {{"record", "--seconds", "1", out}, "file exists"},
        {{"record", "--seconds", "1", dangling}, "file exists"},
        {{"record", "--with-system-audio", "--separate", "--seconds", "1", file("kept.wav")},
            "file exists (use --force to replace it): " + file("kept.input.wav")},
        {{"record", "--device", "no such device", "--", "-x.wav"}, "no such input device"},
        {{"record", "--seconds", "1", longName}, "(name too long)"},
        {{"export", in, longName}, "(name too long)"},
        {{"export", in, longPath}, "(path too long)"},
        {{"record", "--seconds", "-3", file("d.wav")}, "--seconds"},
        // A choice the format does not take, or no format does.
        {{"record", "--rate", "44100", file("d.opus")}, ".opus records at 48000 Hz only"},
        {{"record", "--rate", "source", file("d.ogg")}, ".ogg records at 44100, 48000 Hz only"},
        {{"record", "--bits", "24", file("d.opus")}, ".opus is compressed: it takes no bit depth"},
        {{"record", "--bits", "32f", file("d.flac")}, ".flac takes the bit depths 24, 16 only"},
        {{"record", "--bitrate", "128", file("d.wav")}, ".wav takes no bit rate"},
        {{"record", "--bitrate", "300", file("d.opus")}, ".opus takes a bit rate from 24 to 256 kb/s"},
        {{"export", "--bits", "24", in, file("d.opus")}, ".opus is compressed: it takes no bit depth"},
        {{"record", "--channels", "3", file("d.wav")}, "a recording has 1 or 2 channels"},
        {{"record", "--bits", "20", file("d.wav")}, "--bits needs 16, 24, 32 or 32f"},
        {{"record", "--rate", "fast", file("d.wav")}, "--rate needs 44100, 48000 or source"},
        {{"record", "--warn-silence", "inf", file("d.wav")}, "--warn-silence needs a positive number"},
        {{"info", file("nothing.wav")}, "no such file"},
        {{"frobnicate"}, "usage"},
        {{"--verbose", "--bogus"}, "usage"},
        {{"info", "--", "--help"}, "no such file: --help"},
        {{"export", file("missing.wav"), out}, "no such file"},
        {{"export", garbage, out}, "not a readable audio file"},
        {{"info", fifo}, "not a regular file"},
        {{"export", fifo, out}, "not a regular file"},
        {{"export", in, fifo}, "cannot create file: " + fifo + " (not a regular file)"},
        {{"export", in, file("no folder/out.wav")}, "(no such folder)"},
        {{"export", "--start", "1e10", in, out}, "out of range"},
        {{"export", "--", "-in.wav", out}, "no such file: -in.wav"},
        {{"record", "--force", "--seconds", "1", fifo}, "cannot create file: " + fifo + " (not a regular file)"},
        {{"record", "--seconds", "1", "/sys/take.wav"}, "cannot create file: /sys/take.wav (permission denied)"},
        {{"export", "--start", "-1", in, out}, "--start"},
        {{"export", "--end", "2s", in, out}, "--end"},
        {{"export", "--start", "2", "--end", "1", in, out}, "not after --start"},
        {{"export", "--start", "2", "--end", "2", in, out}, "not after --start"},
        {{"export", "--start", "3", in, out}, "not before the end"},
        {{"export", "--fade-in", "5.1", in, out}, "--fade-in"},
        {{"export", "--loudness", "0", in, out}, "--loudness needs LUFS from -60 to -5"},
        {{"export", in, in}, "onto itself"},
        {{"export", in, file("link.wav")}, "onto itself"},
        {{"export", in, dir.path()}, "is a folder"},
        {{"export", in, readonly}, "cannot create file: " + readonly + " (write-protected)"},
        {{"export", in, recording}, recording + " is being recorded"},
        {{"export", in, file("recording link.wav")}, "is being recorded"},
        {{"export", in}, "usage"},
        // A name's control characters reach the terminal escaped, on the one line.
        {{"info", file("a\x1b[2J\r\nb\\\xc2\x9b\t.wav")},
            "no such file: " + file("a\\x1b[2J\\r\\nb\\\\\\xc2\\x9b\\t.wav")},
    };
    for (const auto& [args, says] : cases) {
        SCOPED_TRACE(args.front() + " ... " + args.back());
        const CommandResult result = run(args);
        EXPECT_NE(result.exitCode, 0);
        // One line, ours: FFmpeg's own say nothing without --verbose.
        EXPECT_NE(result.errors.find(says), std::string::npos) << result.errors;
        EXPECT_TRUE(says == "usage"
            || (result.errors.rfind("traytape-cli: ", 0) == 0
                && std::count(result.errors.begin(), result.errors.end(), '\n') == 1))
            << result.errors;
        EXPECT_TRUE(result.output.empty()) << result.output;
        EXPECT_EQ(snapshot(dir.path()), before);
        if (says.find("being recorded") != std::string::npos || says == "usage" || says.rfind("unknown format", 0) == 0
            || says.rfind("--", 0) == 0 || says[0] == '.' || says.rfind("a recording", 0) == 0) {
            EXPECT_EQ(result.exitCode, 2);
        }
    }
    fs::remove(settings);
}
