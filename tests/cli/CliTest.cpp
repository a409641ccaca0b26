// traytape-cli as a user runs it: recording from a private sound server,
// and exporting real files into real files.
#include "support/DecodedFile.h"
#include "support/PulseServer.h"
#include "support/Signal.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::CommandResult;
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

// Starts traytape-cli with the test's environment, its standard output into
// `output` (discarded when empty); the caller signals and reaps it.
pid_t spawn(const std::vector<std::string>& args, const std::string& output = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(cli.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int devnull = ::open("/dev/null", O_WRONLY);
        const int out = output.empty() ? devnull : ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(devnull, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int reap(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
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
        files[entry.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

class Cli : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return dir.file(name); }

    static CommandResult run(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 30s)
    {
        std::vector<std::string> argv{cli};
        argv.insert(argv.end(), args.begin(), args.end());
        return runCommand(argv, timeout);
    }

    // Waits until the file has been created and then grown past what its
    // creation wrote: captured audio has reached it. (An idle sound server
    // may take a second or two to deliver its first block.)
    static bool waitForAudio(const std::string& path)
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::optional<std::uintmax_t> created;
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code ec;
            const std::uintmax_t size = fs::file_size(path, ec);
            if (!ec && !created)
                created = size;
            else if (!ec && size > *created)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    TempDir dir;
};

}  // namespace

TEST_F(Cli, DevicesListsEverySourceWithItsFormat)
{
    const CommandResult result = run({"devices"});
    ASSERT_TRUE(result.ok()) << result.errors;
    // Sinks are no input devices: only their monitors are listed, each with its own format.
    EXPECT_NE(result.output.find("\tMonitor of CLI Sink\tcli.monitor\t2\t48000\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("\tother.monitor\t2\t44100\n"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("\tcli\t"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.rfind("0\t", 0), 0u) << result.output;
}

// Stopped by --seconds or by a signal, the file is complete: it holds
// everything the recorder said it captured, and info describes it.
TEST_F(Cli, RecordingsEndAtTheAskedLengthOrASignalWithTheFileComplete)
{
    auto tone = PulseServerEnvironment::server().playTone("cli", 880, 0.5);
    for (const auto& [name, signal] : {std::pair{"take.wav", 0}, std::pair{"take.m4a", 0}, std::pair{"int.m4a", SIGINT},
             std::pair{"term.wav", SIGTERM}}) {
        SCOPED_TRACE(name);
        const std::string out = file(name);
        const bool wav = fs::path(out).extension() == ".wav";
        std::string printed;
        if (signal == 0) {
            const CommandResult rec = run({"record", "--device", "cli.monitor", "--seconds", "1.5", out});
            ASSERT_TRUE(rec.ok()) << rec.errors;
            printed = rec.output;
            EXPECT_NEAR(std::stod(fields(printed).at(1)), 1.5, 0.05);
        } else {
            const pid_t pid = spawn({"record", "--device", "cli.monitor", out}, file("printed.txt"));
            ASSERT_TRUE(waitForAudio(out));
            std::this_thread::sleep_for(1500ms);
            kill(pid, signal);
            const int status = reap(pid);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 0);
            std::ifstream said(file("printed.txt"));
            std::getline(said, printed);
        }
        const double captured = std::stod(fields(printed).at(1));
        const CommandResult info = run({"info", out});
        ASSERT_TRUE(info.ok()) << info.errors;
        EXPECT_EQ(fields(info.output),
            (std::vector<std::string>{fields(info.output).at(0), "44100", "2", wav ? "pcm_s32le" : "aac"}));
        EXPECT_NEAR(std::stod(fields(info.output)[0]), captured, 0.03);

        const DecodedFile decoded = decodeFile(out);
        ASSERT_TRUE(decoded.ok);
        // The frames are the file's (44.1 kHz), not the 48 kHz device's.
        EXPECT_NEAR(double(std::stoll(fields(printed)[0])), double(decoded.frames()), 441);
        EXPECT_NEAR(toneAmplitude(decoded.channels[0], 44100, 880, 4410, decoded.frames() - 4410), 0.5, 0.05);
        // A peer decoder reads it too, and no fragments are left in an MPEG-4 file.
        EXPECT_TRUE(runCommand({"ffmpeg", "-v", "error", "-i", out, "-f", "null", "-"}).ok());
        std::ifstream in(out, std::ios::binary);
        EXPECT_TRUE(wav || std::string(std::istreambuf_iterator<char>(in), {}).find("moof") == std::string::npos);
    }
}

// A fresh desktop has no default input chosen by hand: the server picks one,
// and a new source must not become it.
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

TEST_F(Cli, ExportWritesTheTrimmedRangeInTheFormatOfItsExtensionAndPrintsItsLength)
{
    const std::string in = file("take.wav");
    ASSERT_EQ(writeToneFile(in, 10), noErr);

    // 2 to 5 s stops at the first 512-frame block at or after 4.9 s: 250 blocks.
    const CommandResult wav
        = run({"export", "--start", "2", "--end", "5", "--fade-in", "1", "--fade-out", "1", in, file("part.wav")}, 60s);
    ASSERT_TRUE(wav.ok()) << wav.errors;
    EXPECT_EQ(fields(wav.output), (std::vector<std::string>{"128000", "2.902"}));
    const DecodedFile part = decodeFile(file("part.wav"));
    ASSERT_TRUE(part.ok);
    EXPECT_EQ(part.frames(), 128000u);
    EXPECT_EQ(signal_test::peak(signal_test::slice(part.channels[0], 0, 512)), 0.0f) << "the fade-in starts silent";
    EXPECT_NEAR(toneAmplitude(part.channels[1], 44100, 500, 60000, 80000), 0.5, 0.02);

    // No times: the whole source, less the end margin. An unknown extension gives MPEG-4.
    for (const std::string name : {"all.aac", "all.caf"}) {
        SCOPED_TRACE(name);
        const CommandResult whole = run({"export", in, file(name)}, 60s);
        ASSERT_TRUE(whole.ok()) << whole.errors;
        EXPECT_EQ(fields(whole.output), (std::vector<std::string>{"436736", "9.903"}));
        const CommandResult info = runCommand({cli, "info", file(name)});
        ASSERT_TRUE(info.ok()) << info.errors;
        EXPECT_NE(info.output.find("\t44100\t2\taac"), std::string::npos) << info.output;
    }
    const CommandResult probe = runCommand(
        {"ffprobe", "-v", "error", "-show_entries", "format=format_name", "-of", "default=nw=1:nk=1", file("all.aac")});
    EXPECT_NE(probe.output.find("mp4"), std::string::npos) << probe.output;

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
    const auto before = snapshot(dir.path());

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {{"record", "--device", "no such device", "--seconds", "1", file("a.wav")}, "no such input device"},
             {{"record", "--seconds", "1", file("missing/c.wav")}, "folder does not exist"},
             {{"record", "--seconds", "1", out}, "file exists"},
             {{"record", "--seconds", "-3", file("d.wav")}, "--seconds"},
             {{"info", file("nothing.wav")}, "no such file"},
             {{"frobnicate"}, "usage"},
             {{"export", file("missing.wav"), out}, "no such file"},
             {{"export", garbage, out}, "not a readable audio file"},
             {{"export", dir.path(), out}, "not a regular file"},
             {{"info", fifo}, "not a regular file"},
             {{"export", fifo, out}, "not a regular file"},
             {{"export", in, fifo}, "cannot create file: " + fifo + " (not a regular file)"},
             {{"export", in, file("no folder/out.wav")}, "(no such folder)"},
             {{"export", "--start", "1e10", in, out}, "out of range"},
             {{"export", "--", "-in.wav", out}, "no such file: -in.wav"},
             {{"info", "--", "-in.wav"}, "no such file: -in.wav"},
             {{"record", "--force", "--seconds", "1", fifo}, "cannot create file"},
             {{"export", "--start", "-1", in, out}, "--start"},
             {{"export", "--end", "nan", in, out}, "--end"},
             {{"export", "--end", "2s", in, out}, "--end"},
             {{"export", "--start", "2", "--end", "1", in, out}, "before --start"},
             {{"export", "--start", "3.5", in, out}, "not before the end"},
             {{"export", "--fade-in", "5.1", in, out}, "--fade-in"},
             {{"export", in, in}, "onto itself"},
             {{"export", in, file("link.wav")}, "onto itself"},
             {{"export", in, dir.path()}, "is a folder"},
             {{"export", in}, "usage"},
         }) {
        SCOPED_TRACE(c.args.front() + " ... " + c.args.back());
        const CommandResult result = run(c.args, 60s);
        EXPECT_NE(result.exitCode, 0);
        // One line, ours: FFmpeg's own say nothing without --verbose.
        if (c.says != "usage") {
            EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
            EXPECT_EQ(result.errors.rfind("traytape-cli: ", 0), 0u) << result.errors;
            EXPECT_NE(result.errors.find(c.says), std::string::npos) << result.errors;
        } else {
            EXPECT_NE(result.errors.find(c.says), std::string::npos) << result.errors;
        }
        EXPECT_TRUE(result.output.empty()) << result.output;
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}
