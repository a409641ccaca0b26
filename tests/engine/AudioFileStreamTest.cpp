// AudioFileStream: the file type a path's extension chooses, the counted
// writes, and the overview a recording leaves.
#include "AudioRecord/AudioFileStream.h"
#include "AudioRecord/WaveOverviewCache.h"
#include "ExtAudioFileTestHelpers.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

using namespace eaf_test;

// The folder's dots must not count as an extension; only the lower-cased
// extension after the last one does, and anything unknown is MPEG-4.
TEST(AudioFileStream, ChoosesTheTypeByExtensionAndCountsOnlyWhatItWrites)
{
    TempDir dir;
    ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);
    ASSERT_EQ(::mkdir(dir.file("take.v2.wav").c_str(), 0755), 0);
    EXPECT_EQ(AudioFileStream::streamForWritingAtPath(dir.file("no/such/folder/rec.m4a")), nullptr);
    Channels tone(2, signal_test::sine(1000, 44100, 4410));
    for (const auto& [name, magic, at] : std::vector<std::tuple<std::string, std::string, std::size_t>>{
             {"rec.WAV", "RIFF", 0}, {"rec.mp3", "ftyp", 4}, {"rec", "ftyp", 4}, {"rec.caf", "caff", 0}}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file("take.v2.wav/" + name);
        auto stream = AudioFileStream::streamForWritingAtPath(path);
        ASSERT_NE(stream, nullptr);
        stream->setClientDataFormat(pcmClient(44100, 2));
        AudioBufferList list = planarList(tone, 0, 4410);
        ASSERT_EQ(stream->writeBufferList(&list, 4410), 4410);
        list.mBuffers[1].mDataByteSize = 100;  // shorter than the frames claimed
        EXPECT_EQ(stream->writeBufferList(&list, 512), 0);
        EXPECT_EQ(stream->writedFrames(), 4410) << "a failed write is not counted";
        EXPECT_EQ(stream->close(), noErr);
        EXPECT_FALSE(stream->isOpen());
        EXPECT_EQ(stream->close(), noErr) << "a second close is harmless";
        EXPECT_EQ(fileBytes(path).substr(at, 4), magic);
        EXPECT_NEAR(double(decodeFile(path).lengthFrames), 4410, 1);
    }
}

// A recording leaves its overview in the cache: peaks of its file's own
// blocks, both channels folded, placed by time although the capture ran at
// another rate; decoding the file gives the same. The overview answers only
// for the file it was made from: not once the file is changed or replaced.
TEST(AudioFileStream, ARecordingLeavesTheOverviewOfItsFileWhichAChangedFileDoesNotUse)
{
    if (!haveAac())
        GTEST_SKIP() << "no AAC encoder";
    TempDir dir;
    ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);
    // A rising tone on the left, a smooth burst on the right from 1 to 2 s.
    const double rate = 48000;
    Channels input(2, std::vector<float>(std::size_t(3 * rate)));
    for (std::size_t i = 0; i < input[0].size(); ++i) {
        const double t = double(i) / rate;
        input[0][i] = float(0.5 * t / 3 * std::sin(2 * M_PI * 440 * t));
        const double burst = t > 1 && t < 2 ? 0.5 - 0.5 * std::cos(2 * M_PI * (t - 1)) : 0;
        input[1][i] = float(0.8 * burst * std::sin(2 * M_PI * 300 * t));
    }
    const std::string path = dir.file("take.m4a");
    auto stream = AudioFileStream::streamForWritingAtPath(path);
    ASSERT_NE(stream, nullptr);
    stream->setClientDataFormat(pcmClient(rate, 2));
    for (std::size_t at = 0; at < input[0].size(); at += 480) {
        AudioBufferList list = planarList(input, at, 480);
        ASSERT_EQ(stream->writeBufferList(&list, 480), 480);
    }
    ASSERT_EQ(stream->close(), noErr);
    EXPECT_EQ(wave_overview_cache::fileFor(path).rfind(dir.path() + "/traytape/", 0), 0u);

    const Decoded file = decodeFile(path);
    std::vector<float> expected;
    for (std::size_t at = 0; at < file.frames(); at += WaveOverview::kBlockFrames) {
        float peak = 0;
        for (const auto& channel : file.channels)
            for (std::size_t i = at; i < std::min(at + WaveOverview::kBlockFrames, file.frames()); ++i)
                peak = std::max(peak, std::fabs(channel[i]));
        expected.push_back(peak);
    }
    const std::optional<WaveOverview> recorded = wave_overview_cache::read(path);
    const std::optional<WaveOverview> computed = computeWaveOverview(path);
    for (const auto* overview : {&recorded, &computed}) {
        SCOPED_TRACE(overview == &recorded ? "recorded" : "computed");
        ASSERT_TRUE(*overview);
        const WaveOverview& o = **overview;
        EXPECT_EQ(o.rate, 44100);
        EXPECT_NEAR(double(o.frames), double(file.frames()), 64);
        ASSERT_NEAR(double(o.peaks.size()), double(expected.size()), 1);
        float worst = 0;
        for (std::size_t b = 0; b < std::min(expected.size(), o.peaks.size()); ++b)
            worst = std::max(worst, std::fabs(o.peaks[b] / WaveOverview::kPeakScale - expected[b]));
        EXPECT_LT(worst, 0.01);
    }

    // Touched (a new modification time), then replaced by another file.
    const timespec later[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
    EXPECT_FALSE(wave_overview_cache::read(path));
    const auto identity = wave_overview_cache::identify(path);
    ASSERT_EQ(wave_overview_cache::write(path, *identity, *computed), noErr);
    EXPECT_TRUE(wave_overview_cache::read(path)) << "kept again for the file as it is now";
    const std::string other = dir.file("other.m4a");
    std::filesystem::copy_file(path, other);
    std::filesystem::rename(other, path);
    EXPECT_FALSE(wave_overview_cache::read(path));
    ::unsetenv("XDG_CACHE_HOME");
}
