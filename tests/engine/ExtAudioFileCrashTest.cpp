// ExtAudioFile when things go wrong under it: the process killed outright
// while recording, and the disk refusing more data. Each case runs the
// writing in a fork()ed child so the kill and the file-size limit hit only it.
#include "ExtAudioFileTestHelpers.h"
#include "platform/InterruptedRecording.h"
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/WaveHeader.h"
#include "support/Signal.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

using namespace eaf_test;

namespace {

constexpr double kFileRate = 44100;
constexpr double kClientRate = 48000;

// Completing a killed recording leaves what a normal stop would have: a WAVE
// header whose sizes match the whole frames on disk, or an ordinary MPEG-4
// file. A second completion changes nothing.
void expectCompletionMendsIt(const std::string& path, AudioFileTypeID type, double lowest, double highest)
{
    // A kill in the middle of a write leaves part of a frame or of a packet.
    ASSERT_EQ(::truncate(path.c_str(), fileSize(path) - (type == kAudioFileWAVEType ? 3 : 200)), 0);
    ASSERT_EQ(completeInterruptedRecording(path), noErr);

    const std::int64_t length = fileSize(path);
    if (type == kAudioFileWAVEType) {
        const WavSizes sizes = wavSizes(path);
        EXPECT_EQ(sizes.riff + 8, length);
        EXPECT_EQ(sizes.dataAt + sizes.data, length);
        EXPECT_EQ(sizes.data % 8, 0);
    } else if (type == kAudioFileM4AType) {
        const std::vector<std::string> boxes = topLevelBoxes(path);
        EXPECT_EQ(countOf(boxes, "moof"), 0u);
        EXPECT_EQ(countOf(boxes, "moov"), 1u);
        EXPECT_EQ(countOf(boxes, "?"), 0u);
    }
    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.status, noErr);
    EXPECT_GE(double(d.frames()), lowest - 1024);
    EXPECT_LE(double(d.frames()), highest);
    EXPECT_NEAR(double(d.lengthFrames), double(d.frames()), type == kAudioFileWAVEType ? 0 : 1024);
    if (type == kAudioFileWAVEType) {
        EXPECT_EQ(std::int64_t(d.frames()), (length - wavSizes(path).dataAt) / 8);
    }
    if (d.frames() > 44100) {
        EXPECT_NEAR(signal_test::toneAmplitude(signal_test::slice(d.channels[0], 0, 4096), 1000, kFileRate), 0.5, 0.03)
            << "priming left in or audio lost at the start";
    }
    if (haveTool("ffmpeg")) {
        EXPECT_NEAR(double(framesDecodedBy("ffmpeg", path)), double(d.frames()), 1024) << "ffmpeg";
        EXPECT_EQ(
            testsupport::runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"}).errors, "")
            << "a damaged packet was kept";
    }
    if (type == kAudioFileWAVEType && haveTool("sox")) {
        EXPECT_EQ(framesDecodedBy("sox", path), std::int64_t(d.frames())) << "sox";
    }

    const std::string mended = fileBytes(path);
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    // An ordinary MPEG-4 file no longer has the layout of one being recorded.
    EXPECT_EQ(completeInterruptedRecording(path), type == kAudioFileM4AType ? kInterruptedRecordingNotOurs : noErr);
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_TRUE(fileBytes(path) == mended) << "a complete file was changed";
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << "a complete file was rewritten";
    EXPECT_EQ(after.st_ino, before.st_ino) << "a complete file was replaced";
}

struct CrashCase {
    AudioFileTypeID type;
    const char* name;
    double maxLossSeconds;
    // The largest RIFF size a plain WAVE header states: small to reach RF64
    // without writing 4 GiB; 0 for the default.
    std::uint64_t plainRiffLimit = 0;
    std::string ext() const { return type == kAudioFileWAVEType ? "wav" : type == kAudioFileCAFType ? "caf" : "m4a"; }
};

void applyLimit(const CrashCase& c)
{
    audiofile::plainRiffLimit = c.plainRiffLimit ? c.plainRiffLimit : 0xFFFFFFFFu;
}

std::atomic<int> syncCalls{0};

int countingSync(int fd)
{
    ++syncCalls;
    return ::fdatasync(fd);
}

class ExtAudioFileCrash : public testing::TestWithParam<CrashCase> { };

// A power loss costs what the kernel had not yet written: the writer pushes
// its checkpoints to the disk about once a second, and the completed file
// once more before it is handed over. A kill -9 costs no more than the last
// checkpoint, and completing the file mends it.
TEST_P(ExtAudioFileCrash, SyncsAboutOnceASecondAndAKillNineLeavesAFilePlayableToNearTheEnd)
{
    const CrashCase c = GetParam();
    if (c.type != kAudioFileWAVEType && !haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    TempDir dir;
    {
        const std::string path = dir.file("synced." + c.ext());
        applyLimit(c);
        auto* const original = audiofile::dataSync.exchange(countingSync);
        syncCalls = 0;
        ExtAudioFileRef file;
        ASSERT_EQ(recordInRealTime(path, c.type, 2.6, file), 0);
        const int whileRecording = syncCalls;
        EXPECT_EQ(file->dispose(), noErr);
        const int atTheEnd = syncCalls - whileRecording;
        audiofile::dataSync = original;
        applyLimit({});
        EXPECT_GE(whileRecording, 1);
        EXPECT_LE(whileRecording, 4);
        EXPECT_EQ(atTheEnd, 1);

        // A normal close leaves sizes that match the file, in either header form.
        if (c.type == kAudioFileWAVEType) {
            const WavSizes sizes = wavSizes(path);
            EXPECT_EQ(sizes.rf64, c.plainRiffLimit != 0);
            EXPECT_EQ(sizes.riff + 8, fileSize(path));
            EXPECT_EQ(sizes.dataAt + sizes.data, fileSize(path));
            const Decoded d = decodeFile(path);
            EXPECT_EQ(std::int64_t(d.frames()), sizes.data / 8);
            if (haveTool("sox")) {
                EXPECT_EQ(framesDecodedBy("sox", path), std::int64_t(d.frames())) << "sox";
            }
            if (haveTool("ffmpeg")) {
                EXPECT_EQ(framesDecodedBy("ffmpeg", path), std::int64_t(d.frames())) << "ffmpeg";
            }
        }
    }

    const std::string path = dir.file("killed." + c.ext());
    constexpr double kSeconds = 3.0;

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        applyLimit(c);
        ExtAudioFileRef file;
        const int rc = recordInRealTime(path, c.type, kSeconds, file);
        if (rc != 0)
            ::_exit(rc);
        ::raise(SIGKILL);  // with the writer thread running and the file open
        ::_exit(99);
    }
    // The header, watched while the child records: its sizes never run ahead
    // of the audio and are rewritten at their own pace, not on every drain.
    // A plain header's data size is written before its RIFF size, so a look
    // between the two writes finds the RIFF size behind, never ahead.
    std::set<std::int64_t> headerDataSizes;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (c.type == kAudioFileWAVEType) {
            const WavSizes sizes = wavSizes(path);
            // 0xFFFFFFFF: "to the end of the file", while turning into RF64.
            if (sizes.data > 0 && sizes.data != 0xFFFFFFFF) {
                if (sizes.rf64)
                    EXPECT_EQ(sizes.riff, sizes.dataAt - 8 + sizes.data);
                else
                    EXPECT_LE(sizes.riff, sizes.dataAt - 8 + sizes.data);
                EXPECT_LE(sizes.dataAt + sizes.data, fileSize(path));
                headerDataSizes.insert(sizes.data);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended with code " << WEXITSTATUS(status);
    ASSERT_EQ(WTERMSIG(status), SIGKILL);

    const double lowest = (kSeconds - c.maxLossSeconds) * kFileRate;
    const double highest = kSeconds * kFileRate + 4096;
    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.status, noErr);
    EXPECT_GE(double(d.frames()), lowest);
    EXPECT_LE(double(d.frames()), highest);
    if (d.frames() > 44100) {
        EXPECT_NEAR(
            signal_test::toneAmplitude(signal_test::slice(d.channels[0], 22050, 22050), 1000, kFileRate), 0.5, 0.03);
    }

    if (haveTool("ffmpeg")) {
        const std::int64_t ff = framesDecodedBy("ffmpeg", path);
        EXPECT_GE(double(ff), lowest) << "ffmpeg";
        EXPECT_LE(double(ff), highest) << "ffmpeg";
    }
    if (c.type == kAudioFileWAVEType && haveTool("sox")) {
        const std::int64_t sx = framesDecodedBy("sox", path);
        EXPECT_GE(double(sx), lowest) << "sox";
        EXPECT_LE(double(sx), highest) << "sox";
    }

    // A header update each time the writer drains its queue (every 50 ms),
    // or two fragments a second of recording.
    if (c.type == kAudioFileWAVEType) {
        EXPECT_GE(headerDataSizes.size(), std::size_t(8 * kSeconds));
        EXPECT_EQ(wavSizes(path).data % 8, 0);
    } else if (c.type == kAudioFileM4AType) {
        const std::size_t fragments = countOf(topLevelBoxes(path), "moof");
        EXPECT_GE(fragments, std::size_t(kSeconds));
        EXPECT_LE(fragments, std::size_t(3 * kSeconds));
    }
    EXPECT_EQ(wavSizes(path).rf64, c.plainRiffLimit != 0);
    applyLimit(c);
    expectCompletionMendsIt(path, c.type, lowest, highest);
    applyLimit({});
}

INSTANTIATE_TEST_SUITE_P(ExtAudioFile, ExtAudioFileCrash,
    // A WAVE file loses what the queue held, 0.1 s at most (the rest of the
    // margin is the scheduler's on a busy machine); MPEG-4 and CAF a fragment more.
    testing::Values(CrashCase{kAudioFileWAVEType, "wav", 0.15}, CrashCase{kAudioFileWAVEType, "rf64", 0.15, 200000},
        CrashCase{kAudioFileM4AType, "m4a", 1.0}, CrashCase{kAudioFileCAFType, "caf", 1.0}),
    [](const testing::TestParamInfo<CrashCase>& i) { return std::string(i.param.name); });

// --- The disk refusing data ---------------------------------------------------

struct FullCase {
    AudioFileTypeID type;
    const char* ext;
    rlim_t limitBytes;
};

class ExtAudioFileDiskFull : public testing::TestWithParam<FullCase> { };

// RLIMIT_FSIZE makes writes past the limit fail with EFBIG, as a full disk
// fails them with ENOSPC, without needing a small file system.
TEST_P(ExtAudioFileDiskFull, WriterStopsReportsAndLeavesACompleteFileUpToTheFailure)
{
    const FullCase c = GetParam();
    if (c.type != kAudioFileWAVEType && !haveAac())
        GTEST_SKIP() << "FFmpeg has no AAC encoder";
    TempDir dir;
    const std::string path = dir.file(std::string("full.") + c.ext);

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{c.limitBytes, c.limitBytes};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(30);
        ExtAudioFileRef file;
        if (ExtAudioFile::create(path, c.type, fileFormatFor(c.type), kAudioFileFlags_EraseFile, file) != noErr)
            ::_exit(31);
        const AudioStreamBasicDescription client = pcmClient(kClientRate, 2);
        if (file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client) != noErr)
            ::_exit(32);
        // Well past the limit, but inside the queue's four seconds.
        const auto total = std::size_t(3.5 * kClientRate);
        Channels tone{signal_test::sine(1000, kClientRate, total), signal_test::sine(1000, kClientRate, total)};
        for (std::size_t at = 0; at < total; at += 512) {
            const auto n = std::uint32_t(std::min<std::size_t>(512, total - at));
            AudioBufferList list = planarList(tone, at, n);
            if (file->writeAsync(n, &list) != noErr)
                break;  // the writer may already have failed
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (file->writerStatus() == noErr && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const OSStatus failure = file->writerStatus();
        if (failure != kAudioFileDiskFullError)
            ::_exit(33);
        AudioBufferList list = planarList(tone, 0, 512);
        if (file->writeAsync(512, &list) == noErr)
            ::_exit(34);
        if (file->dispose() != failure || file->dispose() != failure)
            ::_exit(35);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
    ASSERT_EQ(WEXITSTATUS(status), 0) << "see the child's exit codes above";

    struct stat st { };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_LE(rlim_t(st.st_size), c.limitBytes);
    const Decoded d = decodeFile(path);
    ASSERT_EQ(d.status, noErr);
    if (c.type == kAudioFileWAVEType) {
        // Every whole frame that reached the disk, and the header says so.
        const std::int64_t header = wavSizes(path).dataAt;
        EXPECT_EQ(std::int64_t(d.frames()), (std::int64_t(st.st_size) - header) / 8);
        EXPECT_EQ(d.lengthFrames, std::int64_t(d.frames()));
        EXPECT_EQ(st.st_size, header + d.lengthFrames * 8);
        EXPECT_GT(d.frames(), std::size_t((std::int64_t(c.limitBytes) - header) / 8 - 8));
        if (haveTool("sox")) {
            EXPECT_EQ(framesDecodedBy("sox", path), std::int64_t(d.frames()));
        }
    } else {
        EXPECT_GT(double(d.frames()), 1.0 * kFileRate) << "the fragments before the failure still play";
    }
    if (haveTool("ffmpeg")) {
        EXPECT_NEAR(double(framesDecodedBy("ffmpeg", path)), double(d.frames()), 2048);
    }
    EXPECT_NEAR(
        signal_test::toneAmplitude(signal_test::slice(d.channels[0], 11025, 11025), 1000, kFileRate), 0.5, 0.03);
}

INSTANTIATE_TEST_SUITE_P(ExtAudioFile, ExtAudioFileDiskFull,
    testing::Values(FullCase{kAudioFileWAVEType, "wav", 256 * 1024}, FullCase{kAudioFileM4AType, "m4a", 64 * 1024},
        FullCase{kAudioFileCAFType, "caf", (1 << 20) + 64 * 1024}),  // past the packet table's reserved room
    [](const testing::TestParamInfo<FullCase>& i) { return std::string(i.param.ext); });

}  // namespace
