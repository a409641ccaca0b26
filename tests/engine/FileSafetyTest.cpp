// What the engine does to the paths it is given: a recording, its MPEG-4
// rewrite and an export change nothing but the file they were told to
// write, whatever links, FIFOs, folders or permissions lie in their way.
#include "AudioRecord/RecordRecipe.h"
#include "AudioRecord/WaveOverviewCache.h"
#include "Export/AudioConverter.h"
#include "ExtAudioFileTestHelpers.h"
#include "platform/InterruptedRecording.h"
#include "platform/audiofile/SafeFile.h"
#include "support/Signal.h"
#include "support/StereoFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
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

// A fifth of a second of tone into a file made as the recorder makes it (in
// place from the start), then the file closed.
OSStatus recordInto(ExtAudioFile& file)
{
    const AudioStreamBasicDescription client = pcmClient(44100, 2);
    file.setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
    Channels tone{signal_test::sine(1000, 44100, 8820), signal_test::sine(1000, 44100, 8820)};
    if (OSStatus s = writeAll(file, tone, false))
        return s;
    return file.dispose();
}

// That tone recorded as the recorder does, or exported as the converter does.
OSStatus record(const std::string& path, AudioFileTypeID type)
{
    ExtAudioFileRef file;
    const OSStatus s = ExtAudioFile::create(path, type, fileFormatFor(type), kAudioFileFlags_EraseFile, file);
    return s ? s : recordInto(*file);
}

OSStatus exportTo(
    const std::string& source, const std::string& path, AudioFileTypeID type, const std::string& recording = {})
{
    AudioConverter converter;
    converter.setSourceAudioPath(source);
    converter.setExportAudioPath(path);
    converter.setRecordings({recording});
    converter.setTrimEndTime(0.5f);
    converter.setAudioFromat(*audioFormatOfFileType(type));
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
    // Between the writing and the commit, the hidden file is moved away and
    // a link to another file put at its name.
    audiofile::beforeCommit = [](const std::string& temporary) {
        const std::string folder = fs::path(temporary).parent_path().string();
        if (fs::exists(folder + "/swap-here")) {
            fs::rename(temporary, folder + "/moved");
            fs::create_symlink(folder + "/precious", temporary);
        }
    };
    const std::vector<Kind> kinds{
        {"absent", noErr, 0640},   // 0666 less the umask, in every format
        {"private", noErr, 0600},  // a replaced file keeps its bits
        {"link", noErr, 0640},     // the link is replaced, its target untouched
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
        {"swapped", kAudioFileSwappedError, 0},
        {"name-too-long", kAudioFileNameTooLongError, 0},
        {"path-too-long", kAudioFilePathTooLongError, 0},
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
                std::string path = dir.file(name.size() > 200 ? name.substr(0, 251) + ext : "out" + ext);
                if (name == "name-too-long") {
                    path = dir.file(std::string(256, 'n') + ext);
                } else if (name == "path-too-long") {
                    std::string deep;
                    while (deep.size() < 4100)
                        deep.append(200, 'd').append("/");
                    path = dir.file(deep + "out" + ext);
                } else if (name == "swapped") {
                    std::ofstream(dir.file("swap-here"));
                }
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
                if (name == "swapped") {
                    // The link stays where it was put, the file written where it was moved.
                    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
                    std::vector<std::string> names = namesIn(dir.path());
                    ASSERT_EQ(names.size(), namesBefore.size() + 2);
                    EXPECT_TRUE(S_ISREG(modeOf(dir.file("moved"))));
                    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                                  [&](const std::string& n) { return S_ISLNK(modeOf(dir.file(n))); }),
                        1);
                    continue;
                }
                if (kind.expected != noErr) {
                    EXPECT_EQ(modeOf(path), before) << "a refused destination changed";
                    EXPECT_EQ(namesIn(dir.path()), namesBefore) << "something was left beside it";
                    if (name == "readonly" || recording) {
                        EXPECT_EQ(fileBytes(path), recording ? recorded : kPrecious);
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
    audiofile::beforeCommit = nullptr;
}

// An export cut short by a signal leaves neither its temporary file nor a
// partial destination; one killed outright (SIGKILL) cannot, and the next
// export to that folder removes what it left once a day old, and nothing
// else. (One that cannot make its temporary file is the CLI's "cannot create
// file" table.)
TEST_F(FileSafetyTest, TemporaryFilesGoWithASignalOrAFailure)
{
    // Long enough that the export is still running when the signal comes.
    const std::string longSource = dir_.file("long.wav");
    {
        std::vector<float> tone = signal_test::sine(440, 44100, 44100 * 120);
        ASSERT_EQ(writeStereoFile(longSource, 44100, tone, tone), noErr);
    }
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signalNumber);
        std::vector<std::string> before = namesIn(dir_.path());
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
        if (signalNumber != SIGKILL) {
            EXPECT_EQ(namesIn(dir_.path()), before);
            continue;
        }
        std::vector<std::string> left = namesIn(dir_.path());
        ASSERT_EQ(left.size(), before.size() + 1);
        const auto isNew = [&](const std::string& n) { return !std::binary_search(before.begin(), before.end(), n); };
        const std::string killed = *std::find_if(left.begin(), left.end(), isNew);
        // Beside it, what looks alike but is not for this export to remove.
        const std::string fresh = ".fresh.m4a.0123456789abcdef.tmp", foreign = ".foreign.m4a.0123456789abcdef.tmp",
                          link = ".link.m4a.0123456789abcdef.tmp", other = ".notes.txt";
        for (const std::string& name : {fresh, foreign, other})
            std::ofstream(dir_.file(name)) << kPrecious;
        fs::create_symlink(dir_.file(fresh), dir_.file(link));
        ASSERT_EQ(::chown(dir_.file(foreign).c_str(), 4242, 4242), 0);
        const timespec twoDaysAgo[2] = {{::time(nullptr) - 2 * 86400, 0}, {::time(nullptr) - 2 * 86400, 0}};
        for (const std::string& name : {killed, foreign, link, other})
            ASSERT_EQ(::utimensat(AT_FDCWD, dir_.file(name).c_str(), twoDaysAgo, AT_SYMLINK_NOFOLLOW), 0);
        before = namesIn(dir_.path());

        ASSERT_EQ(exportTo(source_, dir_.file("next.wav"), kAudioFileWAVEType), noErr);
        std::vector<std::string> expected = before;
        expected.erase(std::find(expected.begin(), expected.end(), killed));
        expected.insert(std::upper_bound(expected.begin(), expected.end(), "next.wav"), "next.wav");
        EXPECT_EQ(namesIn(dir_.path()), expected);
    }
}

// Recovery finishes the recording its mark names, and only that: another
// program's file, a link, or a file put in its place is left byte for byte,
// and nothing beside it is touched. A mark of an older version (the path
// alone) says nothing of which file it was: it changes nothing, and answers
// noErr (listed as it is) only for a file that plays. The finished rewrite
// of the marked M4A (the stop's rename done, the mark not yet cleared) is
// known as the recording.
TEST_F(FileSafetyTest, RecoveryFinishesOnlyTheMarkedRecording)
{
    std::map<AudioFileTypeID, std::string> killed;
    for (AudioFileTypeID type : {kAudioFileWAVEType, kAudioFileM4AType, kAudioFileCAFType}) {
        if (type != kAudioFileWAVEType && !haveAac())
            continue;
        killed[type] = dir_.file("killed" + std::to_string(type));
        ASSERT_EQ(recordThenKill(killed[type], type, 0.8, [] {}, true), "");
    }
    // Killed before its first checkpoint: a table that names no packet, which
    // no reader takes for a file (whatever audio follows it has no bounds).
    const std::string unchecked = dir_.file("unchecked.caf");
    if (haveAac()) {
        ASSERT_EQ(recordThenKill(unchecked, kAudioFileCAFType, 0), "");
    }
    const std::string otherWave = dir_.file("other.wav");  // a plain header whose sizes are stale
    std::ofstream(otherWave, std::ios::binary) << std::string(
        "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0\x20\x62\x05\0\x08\0\x20\0data\0\0\0\0", 44)
                                               << std::string(8000, '\x11');
    const std::string looping = dir_.file("looping.caf");  // a chunk whose size steps back onto itself
    std::ofstream(looping, std::ios::binary)
        << std::string("caff\0\x01\0\0desc\0\0\0\0\0\0\0\x20", 20) << std::string(8, '\0') << "aac "
        << std::string(20, '\0') << std::string("free\xff\xff\xff\xff\xff\xff\xff\xf4", 12) << std::string(64, '\0');
    const std::string text = dir_.file("notes.txt");
    std::ofstream(text) << kPrecious;
    std::string alac;
    if (haveTool("ffmpeg")) {
        alac = dir_.file("alac.m4a");
        const std::vector<std::string> argv{"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "sine=d=3", "-c:a",
            "alac", "-movflags", "frag_keyframe+empty_moov", alac};
        const testsupport::CommandResult made = testsupport::runCommand(argv, std::chrono::seconds(60));
        ASSERT_TRUE(made.ok()) << made.errors;
    }
    // Two M4A recordings stopped normally, each with the mark taken at its
    // start (both open at once: one may not take the inode the other freed).
    std::map<std::string, std::string> finishedMark;
    if (haveAac()) {
        ExtAudioFileRef files[2];
        const std::string paths[2] = {dir_.file("finished.m4a"), dir_.file("finished-other.m4a")};
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(ExtAudioFile::create(paths[i], kAudioFileM4AType, fileFormatFor(kAudioFileM4AType), 0, files[i]),
                noErr);
            finishedMark[paths[i]] = recordingMark(paths[i]);
        }
        for (ExtAudioFileRef& file : files)
            ASSERT_EQ(recordInto(*file), noErr);
    }

    // WithSources: a mix's mark, naming its sources' files beside it, each killed as it was.
    enum class Mark { Full, Bare, OfLink, ThenReplaced, OfAnother, WithSources };
    struct Case {
        std::string file;
        Mark mark;
        OSStatus expected;
        bool completed = false;  // rewritten to be whole
    };
    const OSStatus notOurs = kInterruptedRecordingNotOurs;
    // Another program's files that play (its stale-size WAV, its fragmented
    // MPEG-4) are offered as they are, never rewritten.
    std::vector<Case> cases{
        {otherWave, Mark::Bare, noErr}, {text, Mark::Bare, notOurs}, {looping, Mark::Bare, notOurs}};
    if (!alac.empty())
        cases.push_back({alac, Mark::Bare, noErr});
    cases.push_back({killed[kAudioFileWAVEType], Mark::WithSources, noErr, true});
    for (const auto& [type, path] : killed) {
        cases.push_back({path, Mark::Full, noErr, true});
        cases.push_back({path, Mark::Bare, noErr});
        cases.push_back({path, Mark::OfLink, notOurs});
        cases.push_back({path, Mark::ThenReplaced, notOurs});
    }
    if (haveAac()) {
        cases.push_back({unchecked, Mark::Full, kAudioFileUnsupportedFileTypeError});
        cases.push_back({dir_.file("finished.m4a"), Mark::Full, noErr});
        cases.push_back({dir_.file("finished.m4a"), Mark::OfAnother, notOurs});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " mark " + std::to_string(int(c.mark)));
        TempDir dir;
        const std::string path = dir.file("24_03_05 14_07_09_Audio" + fs::path(c.file).extension().string());
        fs::copy_file(c.file, path);
        if (c.completed && c.file == killed[kAudioFileWAVEType])  // a kill part-way through a frame
            fs::resize_file(path, fs::file_size(path) - 3);
        const std::string planted = path + ".remux.m4a";  // once the rewrite's name
        std::ofstream(planted) << kPrecious;
        std::vector<std::string> sources;
        for (const char* source : {"input", "app"})
            if (c.mark == Mark::WithSources) {
                sources.push_back(sourceOf({{}, path}, source).path());
                fs::copy_file(c.file, sources.back());
                fs::resize_file(sources.back(), fs::file_size(sources.back()) - 3);  // cut off mid-frame as well
            }
        std::vector<std::string> sourcesBefore;
        for (const std::string& source : sources)
            sourcesBefore.push_back(fileBytes(source));
        std::string mark = c.mark == Mark::Bare ? path : recordingMark(path, sources);
        if (finishedMark.count(c.file)) {
            // The copy is the same file for recovery: only the mark's path differs.
            const std::string& original
                = c.mark == Mark::OfAnother ? finishedMark[dir_.file("finished-other.m4a")] : finishedMark[c.file];
            mark = path + original.substr(original.find('\n'));
        } else if (c.mark == Mark::OfLink) {
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
        EXPECT_EQ(status, c.expected);
        EXPECT_EQ(fileBytes(path) == before, !c.completed) << "changed: a file that is not to be, or not completed";
        if (status == noErr) {
            EXPECT_EQ(decodeFile(path).status, noErr);
        }
        for (std::size_t i = 0; i < sources.size(); ++i) {
            EXPECT_TRUE(fileBytes(sources[i]) != sourcesBefore[i]) << sources[i] << " is completed too";
            EXPECT_EQ(decodeFile(sources[i]).status, noErr) << sources[i];
            EXPECT_TRUE(recordingMarkNames(mark, sources[i])) << "an export onto it is refused";
        }
    }
}

// The overview cache is private: without HOME it goes to the home the
// password database names (never a shared folder), is made 0700, and a
// folder another user owns, reached through a link or not, is refused.
TEST_F(FileSafetyTest, TheCacheFolderIsTheUsersOwn)
{
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const std::string savedCache = std::getenv("XDG_CACHE_HOME") ? std::getenv("XDG_CACHE_HOME") : "";
    ::unsetenv("HOME");
    ::unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(wave_overview_cache::folder(), std::string(::getpwuid(::geteuid())->pw_dir) + "/.cache/traytape");

    const std::string recording = dir_.file("take.wav");
    ASSERT_EQ(record(recording, kAudioFileWAVEType), noErr);
    WaveOverview overview;
    overview.rate = 44100;
    overview.frames = 8820;
    overview.peaks.assign(8820 / WaveOverview::kBlockFrames + 1, 100);
    const std::string theirs = dir_.file("theirs"), ours = dir_.file("ours");
    fs::create_directory(theirs);
    fs::create_directory(ours);
    ASSERT_EQ(::chown(theirs.c_str(), 4242, 4242), 0);  // the tests run as root: any owner may be given
    struct Case {
        const char* cache;
        const char* link;  // what <cache>/traytape is a link to, if one
        OSStatus expected;
    };
    for (const Case& c : {Case{"new/cache", nullptr, noErr}, Case{"to-theirs", "theirs", kAudioFileFolderNotOwnedError},
             Case{"to-ours", "ours", noErr}}) {
        SCOPED_TRACE(c.cache);
        const std::string cache = dir_.file(c.cache);
        if (c.link) {
            fs::create_directories(cache);
            fs::create_directory_symlink(dir_.file(c.link), cache + "/traytape");
        }
        ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        EXPECT_EQ(
            wave_overview_cache::write(recording, *wave_overview_cache::identify(recording), overview), c.expected);
        EXPECT_EQ(wave_overview_cache::read(recording).has_value(), c.expected == noErr);
        if (!c.link) {
            EXPECT_EQ(modeOf(cache) & 07777, 0700);
            EXPECT_EQ(modeOf(cache + "/traytape") & 07777, 0700);
        }
    }
    EXPECT_TRUE(fs::is_empty(theirs));
    for (const auto& [name, saved] : {std::pair{"HOME", savedHome}, {"XDG_CACHE_HOME", savedCache}})
        saved.empty() ? ::unsetenv(name) : ::setenv(name, saved.c_str(), 1);
}

}  // namespace
