// AudioFileStream: the format a path's extension chooses from the format
// table, the counted writes, and the overview a recording leaves.
#include "AudioRecord/AudioFileStream.h"
#include "AudioRecord/WaveOverviewCache.h"
#include "ExtAudioFileTestHelpers.h"
#include "platform/AudioFormat.h"
#include "platform/FFmpegUtil.h"
#include "platform/InterruptedRecording.h"
#include "support/GatedFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/avstring.h>
}

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

using namespace eaf_test;

// Every row of the format table, through the table: a name with one of its
// extensions, in any case, makes the recorder write that format, which
// FFmpeg reads back in the row's container and codec, and which recovery
// knows as a recording of its writer's. A name without an extension (the
// folder's dots do not count) is the default format; a stored code names a recording format,
// any other code the default. A name of another extension makes no file.
TEST(AudioFileStream, EveryFormatRowRoundTripsFromItsExtensionThroughItsWriter)
{
    TempDir dir;
    ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);
    ASSERT_EQ(::mkdir(dir.file("take.v2.wav").c_str(), 0755), 0);
    EXPECT_EQ(AudioFileStream::streamForWritingAtPath(dir.file("no/such/folder/rec.m4a")), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("no"))) << "no folder made";
    std::vector<std::pair<std::string, const AudioFormat*>> names{{"rec.wma", nullptr}, {"rec", &defaultAudioFormat()}};
    for (const AudioFormat& row : audioFormats())
        for (const std::string_view extension : row.extensions)
            if (!extension.empty()) {
                std::string ext(extension);
                names.emplace_back("rec." + ext, &row);
                std::transform(ext.begin(), ext.end(), ext.begin(), ::toupper);
                names.emplace_back("REC." + ext, &row);
            }
    Channels tone(2, signal_test::sine(1000, 44100, 4410));
    for (const auto& [name, row] : names) {
        SCOPED_TRACE(name);
        const std::string path = dir.file("take.v2.wav/" + name);
        if (!row) {
            OSStatus failure = noErr;
            EXPECT_EQ(AudioFileStream::streamForWritingAtPath(path, &failure), nullptr);
            EXPECT_EQ(failure, kAudioFileUnsupportedFileTypeError);
            EXPECT_FALSE(std::filesystem::exists(path));
            continue;
        }
        if (!avcodec_find_encoder_by_name(row->codec))
            continue;  // an encoder this FFmpeg lacks
        auto stream = AudioFileStream::streamForWritingAtPath(path);
        ASSERT_NE(stream, nullptr);
        EXPECT_NE(recordingMark(path), path) << "recovery knows the layout its writer gives a recording";
        stream->setClientDataFormat(pcmClient(44100, 2));
        AudioBufferList list = planarList(tone, 0, 4410);
        ASSERT_EQ(stream->writeBufferList(&list, 4410), 4410);
        list.mBuffers[1].mDataByteSize = 100;  // shorter than the frames claimed
        EXPECT_EQ(stream->writeBufferList(&list, 512), 0);
        EXPECT_EQ(stream->writedFrames(), 4410) << "a failed write is not counted";
        EXPECT_EQ(stream->close(), noErr);
        EXPECT_FALSE(stream->isOpen());
        EXPECT_EQ(stream->close(), noErr) << "a second close is harmless";

        AVFormatContext* raw = nullptr;
        ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
        ffmpeg::InputFormatPtr input(raw);
        ASSERT_GE(avformat_find_stream_info(raw, nullptr), 0);
        // FFmpeg names its demuxers by the containers they read ("mov,mp4,m4a,..."); Opus is read as Ogg.
        const std::string container = row->fileType == kAudioFileOggOpusType ? "ogg" : std::string(row->extension());
        EXPECT_TRUE(av_match_name(container.c_str(), raw->iformat->name)) << raw->iformat->name;
        const AVCodecParameters& codec = *raw->streams[0]->codecpar;
        EXPECT_EQ(codec.codec_id, avcodec_find_encoder_by_name(row->codec)->id);
        EXPECT_EQ(std::tuple(double(codec.sample_rate), std::uint32_t(codec.ch_layout.nb_channels)),
            std::tuple(row->fileFormat.mSampleRate, row->fileFormat.mChannelsPerFrame));
        EXPECT_NEAR(double(decodeFile(path).lengthFrames), 4410 * row->fileFormat.mSampleRate / 44100, 1);
    }
    for (const auto& [code, extension] :
        {std::pair{0, "m4a"}, {1, "wav"}, {2, "flac"}, {3, "opus"}, {4, "ogg"}, {5, "mp3"}, {6, "m4a"}, {-1, "m4a"}})
        EXPECT_EQ(audioFormatForCode(code).extension(), extension) << code;

    // Sources beside a recording, each from its own buffers after the mix's:
    // one that cannot be made is told and keeps its place, so the next still
    // gets its own; a cycle one file's full queue refuses is taken by none.
    const AudioFormat& wav = *audioFormatForPath("x.wav");
    auto mix = AudioFileStream::streamForWritingAtPath(dir.file("mix.wav"));
    ASSERT_NE(mix, nullptr);
    mix->setClientDataFormat(pcmClient(44100, 2));
    EXPECT_NE(mix->addSource(dir.file("no/such/mix.input.wav"), wav, {}, 44100), noErr);
    ASSERT_EQ(mix->addSource(dir.file("mix.app.wav"), wav, {}, 44100), noErr);
    ASSERT_EQ(mix->missingSources().size(), 1u);
    EXPECT_EQ(mix->missingSources()[0].first, dir.file("no/such/mix.input.wav"));
    Channels cycle(6, std::vector<float>(4410, 0.0f));
    for (std::size_t c = 0; c < 6; ++c)
        cycle[c] = signal_test::sine(200.0 * double(c + 1), 44100, 4410);
    auto gate = std::make_shared<FileGate>();
    ASSERT_TRUE(GatedFile::install(AudioFileStreamTestAccess::source(*mix, 1), gate));
    gate->refuse = 1 << 30;  // a full queue: no room
    AudioBufferList list = planarList(cycle, 0, 4410);
    EXPECT_EQ(mix->writeBufferList(&list, 4410), 0);
    EXPECT_EQ(mix->writedFrames(), 0) << "the mix waits with its source";
    gate->refuse = 0;
    ASSERT_EQ(mix->writeBufferList(&list, 4410), 4410);
    ASSERT_EQ(mix->close(), noErr);
    EXPECT_EQ(mix->sourcePaths(), std::vector<std::string>{dir.file("mix.app.wav")});
    const Decoded mixed = decodeFile(dir.file("mix.wav")), app = decodeFile(dir.file("mix.app.wav"));
    ASSERT_EQ(app.frames(), mixed.frames());
    EXPECT_EQ(app.frames(), 4410u);
    for (std::size_t c = 0; c < 2; ++c)
        for (std::size_t f = 0; f < app.frames(); ++f)
            ASSERT_NEAR(app.channels[c][f], cycle[4 + c][f], 1e-6) << "channel " << c << ", frame " << f;
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
