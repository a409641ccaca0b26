// ExtAudioFile when things go wrong under it: the process killed outright
// while recording, and the disk refusing more data. The writing runs in a
// fork()ed child so the kill and the file-size limit hit only it.
#include "ExtAudioFileTestHelpers.h"
#include "platform/InterruptedRecording.h"
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/WaveHeader.h"
#include "support/Signal.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>

#include <atomic>
#include <set>

using namespace eaf_test;
using signal_test::slice;
using signal_test::toneAmplitude;

namespace {

constexpr double kCrashFileRate = 44100;

// Disk syncs, counted across fork() in a shared page.
std::atomic<int>* syncCalls = nullptr;
int countingSync(int fd)
{
    syncCalls->fetch_add(1);
    return ::fdatasync(fd);
}

struct CrashCase {
    AudioFileTypeID type;
    const char* name;
    double maxLossSeconds;
    // The largest RIFF size a plain WAVE header states: small to reach RF64
    // without writing 4 GiB.
    std::uint64_t plainRiffLimit = 0xFFFFFFFFu;
    bool wav() const { return type == kAudioFileWAVEType; }
    bool m4a() const { return type == kAudioFileM4AType; }
    bool flac() const { return type == kAudioFileFLACType; }
    bool ogg() const { return type == kAudioFileOggOpusType || type == kAudioFileOggVorbisType; }
    bool mp3() const { return type == kAudioFileMP3Type; }
    std::string ext() const { return std::string(audioFormatOfFileType(type)->extension()); }
    bool lossless() const { return audioFormatOfFileType(type)->lossless; }
};

class ExtAudioFileCrash : public testing::TestWithParam<CrashCase> {
protected:
    void SetUp() override
    {
        void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(page, MAP_FAILED);
        syncCalls = new (page) std::atomic<int>(0);
        originalSync_ = audiofile::dataSync.exchange(countingSync);
        audiofile::plainRiffLimit = GetParam().plainRiffLimit;
    }
    void TearDown() override
    {
        audiofile::dataSync = originalSync_;
        audiofile::plainRiffLimit = 0xFFFFFFFFu;
        ::munmap(syncCalls, 4096);
    }
    int (*originalSync_)(int) = nullptr;
};

// A power loss costs what the kernel had not yet written: the writer pushes
// its checkpoints to the disk about once a second, and the completed file
// once more before it is handed over. A kill -9 costs no more than the last
// checkpoint; completing the file leaves what a normal stop would have (a
// header whose sizes match the whole frames on disk, or an ordinary MPEG-4
// file), and a second completion changes nothing.
TEST_P(ExtAudioFileCrash, AKillNineLeavesAFilePlayableToNearTheEndThatCompletionMends)
{
    const CrashCase c = GetParam();
    if (!haveEncoderFor(c.type))
        GTEST_SKIP() << "FFmpeg has no " << audioFormatOfFileType(c.type)->codec << " encoder";
    TempDir dir;
    const std::string path = dir.file("killed." + c.ext());
    constexpr double kSeconds = 3.0;
    // The header, watched while the child records: its sizes never run ahead
    // of the audio and are rewritten at their own pace, not on every drain.
    // A plain header's data size is written before its RIFF size, so a look
    // between the two writes finds the RIFF size behind, never ahead.
    std::set<std::int64_t> headerDataSizes;
    const auto watch = [&] {
        if (!c.wav())
            return;  // the processor is the writer's
        const WavSizes s = wavSizes(path);
        // 0xFFFFFFFF: "to the end of the file", while turning into RF64.
        if (s.data > 0 && s.data != 0xFFFFFFFF) {
            EXPECT_TRUE(s.rf64 ? s.riff == s.dataAt - 8 + s.data : s.riff <= s.dataAt - 8 + s.data) << s.riff;
            EXPECT_LE(s.dataAt + s.data, fileSize(path));
            headerDataSizes.insert(s.data);
        }
    };
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(recordThenKill(path, c.type, kSeconds, watch), "");
    // Once a second of the clock, however far behind a starved writer is.
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(syncCalls->load(), 1);
    EXPECT_LE(syncCalls->load(), took.count() + 1) << "about once a second";
    // A header update each time the writer drains its queue (every 50 ms),
    // or two fragments a second of recording.
    if (c.wav()) {
        EXPECT_GE(headerDataSizes.size(), std::size_t(8 * kSeconds));
        EXPECT_EQ(wavSizes(path).data % 8, 0);
    } else if (c.m4a()) {
        EXPECT_GE(boxCount(path, "moof"), std::size_t(kSeconds));
        EXPECT_LE(boxCount(path, "moof"), std::size_t(3 * kSeconds));
    }
    EXPECT_EQ(wavSizes(path).rf64, c.plainRiffLimit < 0xFFFFFFFFu);

    // Frames at the file's rate (Opus takes only 48 kHz); ffmpeg's counted at 44.1 kHz.
    const double rate = audioFormatOfFileType(c.type)->fileFormat.mSampleRate, perFfmpegFrame = rate / kCrashFileRate;
    const double lowest = (kSeconds - c.maxLossSeconds) * rate, highest = kSeconds * rate + 4096;
    Decoded d = decodeFile(path);
    ASSERT_EQ(d.status, noErr);
    EXPECT_NEAR(double(d.frames()), (lowest + highest) / 2, (highest - lowest) / 2);
    EXPECT_NEAR(toneAmplitude(slice(d.channels[0], 22050, 22050), 1000, rate), 0.5, 0.03);
    if (haveTool("ffmpeg")) {
        EXPECT_NEAR(
            double(framesDecodedBy("ffmpeg", path)) * perFfmpegFrame, (lowest + highest) / 2, (highest - lowest) / 2)
            << "ffmpeg";
    }
    if (c.wav() && haveTool("sox")) {
        EXPECT_GE(double(framesDecodedBy("sox", path)), lowest) << "sox";
    }

    // A kill in the middle of a write leaves part of a frame or of a packet;
    // a power loss may keep a file's length but not its last bytes, which
    // formats checked by CRCs (FLAC's frames, Ogg's pages) are judged by.
    // (The mark is what the recorder took at the start: the header it names
    // was written once, before any audio.)
    const std::string mark = recordingMark(path);
    if (c.flac() || c.ogg()) {
        std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(-200, std::ios::end)
            << std::string(200, '\0');
    } else {
        ASSERT_EQ(::truncate(path.c_str(), fileSize(path) - (c.wav() ? 3 : 200)), 0);
    }
    const int syncsBefore = syncCalls->load();
    ASSERT_EQ(completeInterruptedRecording(mark), noErr);
    EXPECT_EQ(syncCalls->load() - syncsBefore, 1) << "the completed file goes to the disk once";
    const std::int64_t length = fileSize(path);
    const WavSizes sizes = wavSizes(path);
    if (c.wav()) {
        EXPECT_EQ(std::tuple(sizes.riff + 8, sizes.dataAt + sizes.data, sizes.data % 8), std::tuple(length, length, 0));
    } else if (c.m4a()) {
        EXPECT_EQ(
            std::tuple(boxCount(path, "moof"), boxCount(path, "moov"), boxCount(path, "?")), std::tuple(0ul, 1ul, 0ul));
    }
    d = decodeFile(path);
    ASSERT_EQ(d.status, noErr);
    EXPECT_GE(double(d.frames()), lowest - 1024);
    EXPECT_LE(double(d.frames()), highest);
    // An MP3's Info frame, as recovery fills it, states what decodes.
    EXPECT_NEAR(double(d.lengthFrames), double(d.frames()), c.lossless() || c.mp3() ? 0 : 1024);
    if (c.wav()) {
        EXPECT_EQ(std::int64_t(d.frames()), (length - sizes.dataAt) / 8);
    }
    EXPECT_NEAR(toneAmplitude(slice(d.channels[0], 0, 4096), 1000, rate), 0.5, 0.03)
        << "priming left in or audio lost at the start";
    if (haveTool("ffmpeg")) {
        EXPECT_NEAR(double(framesDecodedBy("ffmpeg", path)) * perFfmpegFrame, double(d.frames()), 1024) << "ffmpeg";
        EXPECT_EQ(
            testsupport::runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"}).errors, "")
            << "a damaged packet was kept";
    }
    if (c.wav() && haveTool("sox")) {
        EXPECT_EQ(framesDecodedBy("sox", path), std::int64_t(d.frames())) << "sox";
    }

    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    // Killed again before the mark was cleared: the completed file (for
    // MPEG-4 the rewrite, another inode) is known as the recording and left.
    EXPECT_EQ(completeInterruptedRecording(mark), noErr);
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(std::pair(after.st_mtim.tv_nsec, after.st_ino), std::pair(before.st_mtim.tv_nsec, before.st_ino))
        << "a complete file was rewritten or replaced";

    // A normal close: sizes that match the file, in either header form, and
    // one sync of the finished file. A kill between its rename and the
    // clearing of its mark leaves a file recovery knows and lists as it is.
    const std::string closed = dir.file("closed." + c.ext());
    Channels tone{signal_test::sine(1000, 48000, 48000), signal_test::sine(1000, 48000, 48000)};
    ExtAudioFileRef file;
    ASSERT_EQ(createFile(closed, c.type, 48000, 2, file), noErr);
    const std::string closedMark = recordingMark(closed);
    ASSERT_EQ(writeAll(*file, tone, true), noErr);
    const int syncsBeforeClose = syncCalls->load();
    EXPECT_EQ(file->dispose(), noErr);
    EXPECT_EQ(syncCalls->load() - syncsBeforeClose, 1);
    const std::string closedBytes = fileBytes(closed);
    if (c.flac()) {
        EXPECT_NE(closedBytes.substr(26, 16), std::string(16, '\0')) << "STREAMINFO states the audio's MD5";
    }
    EXPECT_EQ(completeInterruptedRecording(closedMark), noErr);
    EXPECT_TRUE(fileBytes(closed) == closedBytes) << "a finished recording was changed by its recovery";
    if (c.wav()) {
        const WavSizes closedSizes = wavSizes(closed);
        EXPECT_EQ(closedSizes.rf64, c.plainRiffLimit < 0xFFFFFFFFu);
        EXPECT_EQ(std::pair(closedSizes.riff + 8, closedSizes.dataAt + closedSizes.data),
            std::pair(fileSize(closed), fileSize(closed)));
        EXPECT_EQ(std::int64_t(decodeFile(closed).frames()), closedSizes.data / 8);
        if (haveTool("sox")) {
            EXPECT_EQ(framesDecodedBy("sox", closed), closedSizes.data / 8) << "sox";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ExtAudioFile, ExtAudioFileCrash,
    // A WAVE file loses what the queue held, 0.1 s at most (the rest of the
    // margin is the scheduler's on a busy machine); MPEG-4 and CAF a fragment
    // more, as Ogg a page more; FLAC and MP3 the block being filled (and
    // MP3 the encoder's look-ahead), and the frame the cut below spoils.
    testing::Values(CrashCase{kAudioFileWAVEType, "wav", 0.15}, CrashCase{kAudioFileWAVEType, "rf64", 0.15, 100000},
        CrashCase{kAudioFileM4AType, "m4a", 1.0}, CrashCase{kAudioFileCAFType, "caf", 1.0},
        CrashCase{kAudioFileFLACType, "flac", 0.5}, CrashCase{kAudioFileOggOpusType, "opus", 1.0},
        CrashCase{kAudioFileOggVorbisType, "vorbis", 1.0}, CrashCase{kAudioFileMP3Type, "mp3", 0.5}),
    [](const testing::TestParamInfo<CrashCase>& i) { return std::string(i.param.name); });

// RLIMIT_FSIZE makes writes past the limit fail with EFBIG, as a full disk
// fails them with ENOSPC: the writer stops, reports a full disk, refuses
// more, and leaves a file that plays up to the failure.
TEST(ExtAudioFileDiskFull, WriterStopsReportsAndLeavesACompleteFileUpToTheFailure)
{
    TempDir dir;
    // CAF's limit lies past its packet table's reserved room; each a second
    // or two of the tone.
    for (const auto& [type, limit] :
        {std::pair{kAudioFileWAVEType, 256 * 1024}, {kAudioFileM4AType, 64 * 1024},
            {kAudioFileCAFType, (1 << 20) + 64 * 1024}, {kAudioFileFLACType, 160 * 1024},
            {kAudioFileOggOpusType, 24 * 1024}, {kAudioFileOggVorbisType, 12 * 1024}, {kAudioFileMP3Type, 12 * 1024}}) {
        const bool wav = type == kAudioFileWAVEType;
        if (!haveEncoderFor(type))
            continue;
        const std::string path = dir.file("full." + std::string(audioFormatOfFileType(type)->extension()));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit size{rlim_t(limit), rlim_t(limit)};
            ExtAudioFileRef file;
            // Well past the limit, but inside the queue's four seconds.
            Channels tone{signal_test::sine(1000, 48000, 168000), signal_test::sine(1000, 48000, 168000)};
            if (::setrlimit(RLIMIT_FSIZE, &size) != 0 || createFile(path, type, 48000, 2, file) != noErr)
                ::_exit(1);
            writeAll(*file, tone, true);  // refused once the writer has failed
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (file->writerStatus() == noErr && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            AudioBufferList list = planarList(tone, 0, 512);
            if (file->writerStatus() != kAudioFileDiskFullError)
                ::_exit(2);
            if (file->writeAsync(512, &list) == noErr)
                ::_exit(3);
            ::_exit(file->dispose() == kAudioFileDiskFullError ? 0 : 4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0)
            << path << ": 2, the failure not reported; 3, more accepted after it; 4, not reported at the end";
        const Decoded d = decodeFile(path);
        ASSERT_EQ(d.status, noErr);
        // Every whole frame that reached the disk, and a WAVE header that says so.
        const std::int64_t dataAt = wavSizes(path).dataAt;
        EXPECT_GT(double(d.frames()), wav ? double((limit - dataAt) / 8 - 8) : kCrashFileRate) << path;
        EXPECT_NEAR(toneAmplitude(slice(d.channels[0], 11025, 11025), 1000, d.fileFormat.mSampleRate), 0.5, 0.03);
        if (wav) {
            EXPECT_EQ(fileSize(path), dataAt + d.lengthFrames * 8);
        }
        if (type == kAudioFileMP3Type) {
            EXPECT_EQ(d.lengthFrames, std::int64_t(d.frames())) << "the Info frame states the frames kept";
        }
        if (wav && haveTool("sox")) {
            EXPECT_EQ(framesDecodedBy("sox", path), std::int64_t(d.frames())) << "sox";
        }
    }
}

}  // namespace
