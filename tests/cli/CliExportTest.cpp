// traytape-cli export as a user runs it: real files in, real files out.
#include "support/DecodedFile.h"
#include "support/PulseServer.h"
#include "support/Signal.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::runCommand;

namespace {

const std::string cli = TRAYTAPE_BINARY_DIR "/traytape-cli";

CommandResult exportWith(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{cli, "export"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, std::chrono::seconds(60));
}

std::map<std::string, std::string> snapshot(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

std::vector<std::string> fields(const std::string& output)
{
    std::vector<std::string> out;
    std::istringstream in(output.substr(0, output.find('\n')));
    for (std::string field; std::getline(in, field, '\t');)
        out.push_back(field);
    return out;
}

}  // namespace

TEST(CliExport, WritesTheTrimmedRangeInTheFormatOfItsExtensionAndPrintsItsLength)
{
    TempDir dir;
    const std::string in = dir.file("take.wav");
    ASSERT_EQ(writeToneFile(in, 10), noErr);

    // 2 to 5 s stops at the first 512-frame block at or after 4.9 s: 250 blocks.
    const CommandResult wav
        = exportWith({"--start", "2", "--end", "5", "--fade-in", "1", "--fade-out", "1", in, dir.file("part.wav")});
    ASSERT_TRUE(wav.ok()) << wav.errors;
    EXPECT_EQ(fields(wav.output), (std::vector<std::string>{"128000", "2.902"}));
    const DecodedFile part = decodeFile(dir.file("part.wav"));
    ASSERT_TRUE(part.ok);
    EXPECT_EQ(part.frames(), 128000u);
    EXPECT_EQ(signal_test::peak(signal_test::slice(part.channels[0], 0, 512)), 0.0f) << "the fade-in starts silent";
    EXPECT_NEAR(toneAmplitude(part.channels[1], 44100, 500, 60000, 80000), 0.5, 0.02);

    // No times: the whole source, less the end margin. An unknown extension gives MPEG-4.
    for (const std::string name : {"all.aac", "all.caf"}) {
        SCOPED_TRACE(name);
        const CommandResult whole = exportWith({in, dir.file(name)});
        ASSERT_TRUE(whole.ok()) << whole.errors;
        EXPECT_EQ(fields(whole.output), (std::vector<std::string>{"436736", "9.903"}));
        const CommandResult info = runCommand({cli, "info", dir.file(name)});
        ASSERT_TRUE(info.ok()) << info.errors;
        EXPECT_NE(info.output.find("\t44100\t2\taac"), std::string::npos) << info.output;
    }
    const CommandResult probe = runCommand({"ffprobe", "-v", "error", "-show_entries", "format=format_name", "-of",
        "default=nw=1:nk=1", dir.file("all.aac")});
    EXPECT_NE(probe.output.find("mp4"), std::string::npos) << probe.output;
}

TEST(CliExport, BadInputIsRefusedWithOneLineAndHarmsNoFile)
{
    TempDir dir;
    const std::string in = dir.file("take.wav");
    ASSERT_EQ(writeToneFile(in, 3), noErr);
    const std::string garbage = dir.file("garbage.m4a");
    std::ofstream(garbage) << "this is not audio";
    const std::string out = dir.file("out.wav");
    std::ofstream(out) << "an export the user wants to keep";
    fs::create_hard_link(in, dir.file("link.wav"));
    const auto before = snapshot(dir.path());

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {{dir.file("missing.wav"), out}, "no such file"},
             {{garbage, out}, "not a readable audio file"},
             {{dir.path(), out}, "not a readable audio file"},
             {{"--start", "-1", in, out}, "--start"},
             {{"--end", "nan", in, out}, "--end"},
             {{"--start", "inf", in, out}, "--start"},
             {{"--end", "2s", in, out}, "--end"},
             {{"--start", "2", "--end", "1", in, out}, "before --start"},
             {{"--start", "3.5", in, out}, "not before the end"},
             {{"--fade-in", "5.1", in, out}, "--fade-in"},
             {{"--fade-out", "-0.5", in, out}, "--fade-out"},
             {{in, in}, "onto itself"},
             {{in, dir.file("link.wav")}, "onto itself"},
             {{in, dir.file("no folder/out.wav")}, "cannot create file"},
             {{in, dir.path()}, "is a folder"},
             {{in}, "usage"},
         }) {
        SCOPED_TRACE(c.args.front() + " ... " + c.args.back());
        const CommandResult result = exportWith(c.args);
        EXPECT_NE(result.exitCode, 0);
        EXPECT_NE(result.errors.find(c.says), std::string::npos) << result.errors;
        // Ours is the last line; FFmpeg may say what it found wrong with the file before it.
        const std::string last = result.errors.substr(result.errors.rfind('\n', result.errors.size() - 2) + 1);
        if (c.says != "usage") {
            EXPECT_EQ(last.rfind("traytape-cli: ", 0), 0u) << result.errors;
            EXPECT_NE(last.find(c.says), std::string::npos) << result.errors;
        }
        EXPECT_TRUE(result.output.empty()) << result.output;
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}
