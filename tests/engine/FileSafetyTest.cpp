// What the engine does to the paths it is given: a recording, its MPEG-4
// rewrite and an export change nothing but the file they were told to
// write, whatever links, FIFOs, folders or permissions lie in their way.
#include "Control/AudioConverter.h"
#include "ExtAudioFileTestHelpers.h"
#include "platform/InterruptedRecording.h"
#include "platform/audiofile/SafeFile.h"
#include "support/Signal.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <fstream>
#include <thread>

using namespace eaf_test;
namespace fs = std::filesystem;

namespace {

const std::string kPrecious = "precious bytes of another program";

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t modeOf(const std::string& path)
{
    struct stat st { };
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A fifth of a second of tone, recorded as the recorder does (the file in
// place from the start) or exported as the converter does.
OSStatus record(const std::string& path, AudioFileTypeID type)
{
    ExtAudioFileRef file;
    if (OSStatus s = ExtAudioFile::create(path, type, fileFormatFor(type), kAudioFileFlags_EraseFile, file))
        return s;
    const AudioStreamBasicDescription client = pcmClient(44100, 2);
    file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
    Channels tone{signal_test::sine(1000, 44100, 8820), signal_test::sine(1000, 44100, 8820)};
    if (OSStatus s = writeAll(*file, tone, false))
        return s;
    return file->dispose();
}

OSStatus exportTo(
    const std::string& source, const std::string& path, AudioFileTypeID type, const std::string& recording = {})
{
    AudioConverter converter;
    converter.setSourceAudioPath(source);
    converter.setExportAudioPath(path);
    converter.setRecordings({recording});
    converter.setTrimEndTime(0.5f);
    converter.setAudioFromat(type == kAudioFileWAVEType ? 0 : type == kAudioFileCAFType ? 2 : 1);
    converter.startAudioConvert();
    return converter.status();
}

class FileSafetyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldMask_ = ::umask(027);
        source_ = dir_.file("source.wav");
        std::vector<float> tone = signal_test::sine(440, 44100, 44100);
        ASSERT_EQ(writeStereoFile(source_, 44100, tone, tone), noErr);
    }
    void TearDown() override { ::umask(oldMask_); }

    TempDir dir_;
    std::string source_;
    mode_t oldMask_ = 0;
};

// Each kind of thing at the destination, for each writer and format: what
// is refused stays as it was, what is replaced becomes a new regular file,
// and nothing else in the folder changes.
TEST_F(FileSafetyTest, DestinationsAreReplacedOrRefusedAndNothingElseChanges)
{
    struct Kind {
        const char* name;
        OSStatus expected;   // what creating the file answers
        mode_t modeAfter;    // the destination's permission bits after success
    };
    static const std::string longName(251, 'n');
    const std::vector<Kind> kinds{
        {"absent", noErr, 0640},             // 0666 less the umask, in every format
        {"private", noErr, 0600},            // a replaced file keeps its bits
        {"link", noErr, 0640},               // the link is replaced, its target untouched
        {"fifo", kAudioFileNotRegularFileError, 0},
        {"folder", kAudioFileNotRegularFileError, 0},
        {"readonly", kAudioFilePermissionsError, 0},
        {"remux-link", noErr, 0640},         // a link planted where a rewrite once went
        {longName.c_str(), noErr, 0640},     // the longest name a file may have still works
        // The recording in progress, named by the mark's path, through a second
        // name or a link, or moved since it was marked: never an export's destination.
        {"recording", kAudioFilePermissionsError, 0},
        {"recording-hardlink", kAudioFilePermissionsError, 0},
        {"recording-symlink", kAudioFilePermissionsError, 0},
        {"recording-moved", kAudioFilePermissionsError, 0},
    };
    for (AudioFileTypeID type : {kAudioFileWAVEType, kAudioFileM4AType, kAudioFileCAFType}) {
        if (type != kAudioFileWAVEType && !haveAac())
            continue;
        // A recording cut off as it was being written, as the one in progress is.
        const std::string inProgress = dir_.file("in progress " + std::to_string(type));
        ASSERT_EQ(recordThenKill(inProgress, type, 0.05), "");
        for (bool exporting : {false, true}) {
            for (const Kind& kind : kinds) {
                const std::string name = kind.name;
                const bool recording = name.rfind("recording", 0) == 0;
                if (recording && !exporting)
                    continue;
                SCOPED_TRACE(name + (exporting ? " export " : " recording ") + std::to_string(type));
                TempDir dir;
                const std::string precious = dir.file("precious");
                std::ofstream(precious) << kPrecious;
                const std::string ext = type == kAudioFileWAVEType ? ".wav" : type == kAudioFileCAFType ? ".caf" : ".m4a";
                const std::string path = dir.file(name.size() > 200 ? name.substr(0, 251) + ext : "out" + ext);
                if (name == "private" || name == "readonly") {
                    std::ofstream(path) << kPrecious;
                    ::chmod(path.c_str(), name == "private" ? 0600 : 0444);
                } else if (name == "link") {
                    fs::create_symlink(precious, path);
                } else if (name == "remux-link") {
                    fs::create_symlink(precious, path + ".remux.m4a");
                } else if (name == "fifo") {
                    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
                } else if (name == "folder") {
                    fs::create_directory(path);
                }
                std::string mark;
                if (recording) {
                    const std::string take = dir.file("take" + ext);
                    fs::copy_file(inProgress, take);
                    mark = recordingMark(take);
                    ASSERT_NE(mark, take) << "a mark with the file's identity";
                    if (name == "recording")  // and the mark an older version wrote: the path alone
                        fs::rename(take, path), mark = path;
                    else if (name == "recording-hardlink")
                        fs::create_hard_link(take, path);
                    else if (name == "recording-symlink")
                        fs::create_symlink(take, path);
                    else
                        fs::rename(take, path);
                }
                const mode_t before = modeOf(path);
                const std::vector<std::string> namesBefore = namesIn(dir.path());

                const std::string recorded = recording ? fileBytes(path) : std::string();
                const OSStatus status = exporting ? exportTo(source_, path, type, mark) : record(path, type);

                EXPECT_EQ(status, kind.expected);
                EXPECT_EQ(fileBytes(precious), kPrecious);
                if (kind.expected != noErr) {
                    EXPECT_EQ(modeOf(path), before) << "a refused destination changed";
                    EXPECT_EQ(namesIn(dir.path()), namesBefore) << "something was left beside it";
                    if (name == "readonly") {
                        EXPECT_EQ(fileBytes(path), kPrecious);
                    }
                    if (recording) {
                        EXPECT_EQ(fileBytes(path), recorded);
                    }
                    continue;
                }
                EXPECT_TRUE(S_ISREG(modeOf(path)));
                EXPECT_EQ(modeOf(path) & 07777, kind.modeAfter);
                EXPECT_EQ(decodeFile(path).status, noErr);
                std::vector<std::string> namesAfter = namesBefore;
                if (name == "absent" || name == "remux-link" || name.size() > 200)
                    namesAfter.push_back(fs::path(path).filename().string());
                std::sort(namesAfter.begin(), namesAfter.end());
                EXPECT_EQ(namesIn(dir.path()), namesAfter) << "a temporary file was left behind";
            }
        }
    }
}

// An export cut short by a signal leaves neither its temporary file nor a
// partial destination. (One that cannot make its temporary file is the CLI's
// "cannot create file" table.)
TEST_F(FileSafetyTest, TemporaryFilesGoWithASignalOrAFailure)
{
    // Long enough that the export is still running when the signal comes.
    const std::string longSource = dir_.file("long.wav");
    {
        std::vector<float> tone = signal_test::sine(440, 44100, 44100 * 120);
        ASSERT_EQ(writeStereoFile(longSource, 44100, tone, tone), noErr);
    }
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        const std::vector<std::string> before = namesIn(dir_.path());
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            audiofile::removeTemporariesOnQuitSignals();
            AudioConverter converter;
            converter.setSourceAudioPath(longSource);
            converter.setExportAudioPath(dir_.file("cut.m4a"));
            converter.setTrimEndTime(120);
            std::thread signaller([&] {
                // Once the export has written something, as a user's Ctrl+C would come.
                while (converter.framesDone() == 0)
                    std::this_thread::yield();
                ::kill(::getpid(), signalNumber);
            });
            converter.startAudioConvert();
            signaller.join();
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the export ended before the signal";
        EXPECT_EQ(WTERMSIG(status), signalNumber);
        EXPECT_EQ(namesIn(dir_.path()), before);
    }
}

// Recovery finishes the recording its mark names, and only that: another
// program's file, a link, a file put in its place, or one named by an older
// mark that this program did not write, is left byte for byte, and nothing
// beside it is touched.
TEST_F(FileSafetyTest, RecoveryFinishesOnlyTheMarkedRecording)
{
    std::map<AudioFileTypeID, std::string> killed;
    for (AudioFileTypeID type : {kAudioFileWAVEType, kAudioFileM4AType, kAudioFileCAFType}) {
        if (type != kAudioFileWAVEType && !haveAac())
            continue;
        killed[type] = dir_.file("killed" + std::to_string(type));
        ASSERT_EQ(recordThenKill(killed[type], type, 0.8), "");
    }
    const std::string otherWave = dir_.file("other.wav");  // a plain header whose sizes are stale
    {
        std::string header("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0\x20\x62\x05\0\x08\0\x20\0data\0\0\0\0", 44);
        std::ofstream(otherWave, std::ios::binary) << header << std::string(8000, '\x11');
    }
    const std::string looping = dir_.file("looping.caf");  // a chunk whose size steps back onto itself
    {
        std::string caf("caff\0\x01\0\0desc\0\0\0\0\0\0\0\x20", 20);
        caf += std::string(8, '\0') + "aac " + std::string(20, '\0');
        std::ofstream(looping, std::ios::binary) << caf << std::string("free\xff\xff\xff\xff\xff\xff\xff\xf4", 12)
                                                 << std::string(64, '\0');
    }
    const std::string text = dir_.file("notes.txt");
    std::ofstream(text) << kPrecious;
    std::string alac;
    if (haveTool("ffmpeg")) {
        alac = dir_.file("alac.m4a");
        testsupport::runCommand({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "sine=d=3", "-c:a", "alac",
            "-movflags", "frag_keyframe+empty_moov", alac});
    }

    enum class Mark { Full, Bare, OfLink, ThenReplaced };
    struct Case {
        std::string file;
        Mark mark;
        bool ours;
    };
    std::vector<Case> cases{{otherWave, Mark::Bare, false}, {text, Mark::Bare, false}, {looping, Mark::Bare, false}};
    if (!alac.empty())
        cases.push_back({alac, Mark::Bare, false});
    for (const auto& [type, path] : killed) {
        cases.push_back({path, Mark::Full, true});
        cases.push_back({path, Mark::Bare, true});  // a mark an older version wrote
        cases.push_back({path, Mark::OfLink, false});
        cases.push_back({path, Mark::ThenReplaced, false});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " mark " + std::to_string(int(c.mark)));
        TempDir dir;
        const std::string path = dir.file("24_03_05 14_07_09_Audio" + fs::path(c.file).extension().string());
        fs::copy_file(c.file, path);
        if (c.ours && c.file == killed[kAudioFileWAVEType])  // a kill part-way through a frame
            fs::resize_file(path, fs::file_size(path) - 3);
        const std::string planted = path + ".remux.m4a";  // once the rewrite's name
        std::ofstream(planted) << kPrecious;
        std::string mark = c.mark == Mark::Bare ? path : recordingMark(path);
        if (c.mark == Mark::OfLink) {
            fs::rename(path, dir.file("target"));
            fs::create_symlink(dir.file("target"), path);
            mark = path;
        } else if (c.mark == Mark::ThenReplaced) {
            fs::copy_file(path, dir.file("copy"));
            fs::rename(dir.file("copy"), path);
        }
        const std::string before = fileBytes(path);
        const OSStatus status = completeInterruptedRecording(mark);
        EXPECT_EQ(recordingMarkPath(mark), path);
        EXPECT_EQ(fileBytes(planted), kPrecious);
        if (!c.ours) {
            EXPECT_EQ(status, kInterruptedRecordingNotOurs);
            EXPECT_TRUE(fileBytes(path) == before) << "a file that is not ours was changed";
            continue;
        }
        EXPECT_EQ(status, noErr);
        EXPECT_FALSE(fileBytes(path) == before) << "the recording was not completed";
        EXPECT_EQ(decodeFile(path).status, noErr);
    }
}

}  // namespace
