// RecordSession on the virtual backend with real files: a recipe in, the
// files it makes and the events it tells out.
#include "AudioRecord/RecordSession.h"
#include "Export/AudioConverter.h"
#include "ExtAudioFileTestHelpers.h"
#include "platform/FFmpegUtil.h"
#include "platform/InterruptedRecording.h"
#include "support/GatedFile.h"
#include "support/TempDir.h"
#include "support/backends/VirtualAudio.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using Result = RecordSession::StartResult;

namespace {

class RecordSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);  // the recordings' overviews
        audio = VirtualAudio::install();
        mic = audio->addDevice({"Built-in Microphone", "uid:mic", 2, 0, 48000});
        headset = audio->addDevice({"USB Headset", "uid:headset", 1, 0, 44100});
        RecordSession::Hooks hooks;
        hooks.delivered = [this](const RecordSession::Delivery& d) { delivered.push_back(d); };
        hooks.audioLost = [this](double seconds) { lost.push_back(seconds); };
        hooks.silence = [this](RecordSession::Silence s) { silences.push_back(s); };
        hooks.readMark = [this] { return mark; };
        hooks.writeMark = [this](const std::string& m) { mark = m; };
        session = std::make_unique<RecordSession>(recorder, std::move(hooks));
    }
    void TearDown() override { setAudioBackend(nullptr); }

    Result start(const std::string& uid, const std::string& name, double seconds = 0, bool computerSound = false)
    {
        RecordRecipe recipe{{{RecordSource::Kind::Input, uid}}, audioFormatNamed("wav"), {}, seconds};
        if (computerSound)
            recipe.sources.push_back({RecordSource::Kind::ComputerSound, {}});
        recipe.destination = nameRecording({dir.path(), name}, *recipe.format, 0);
        return session->start(recipe);
    }
    bool cycles(AudioObjectID device, int count, float level = 0.25f)
    {
        for (int i = 0; i < count; ++i)
            if (!audio->runCycle(device, 480, [level](std::uint32_t, std::uint32_t) { return level; }))
                return false;
        return true;
    }
    bool stopAndDeliver()
    {
        session->stop();
        return session->waitForCompletion(60s);
    }

    TempDir dir;
    VirtualAudio* audio = nullptr;  // owned by the backend slot
    AudioObjectID mic = 0, headset = 0;
    AudioRecordDevice recorder;
    std::unique_ptr<RecordSession> session;
    std::vector<RecordSession::Delivery> delivered;
    std::vector<double> lost;
    std::vector<RecordSession::Silence> silences;
    std::string mark;
};

}  // namespace

// The recipe's format is written whatever the name says; its input is opened unless already captured;
// its length ends the file at its frame, inside a cycle, and what comes after is not lost but not wanted.
TEST_F(RecordSessionTest, ARecipeOpensItsSourceWritesItsFormatAndEndsAtItsLength)
{
    ASSERT_EQ(start("uid:headset", "take.m4a", 0.5), Result::Started);
    ASSERT_TRUE(cycles(headset, 46) && session->reachedLength());
    ASSERT_TRUE(stopAndDeliver());
    EXPECT_TRUE(lost.empty());
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].path, dir.file("take.m4a"));
    EXPECT_EQ(delivered[0].ending, RecordSession::Ending::User);
    const eaf_test::Decoded take = eaf_test::decodeFile(dir.file("take.m4a"));
    EXPECT_EQ(take.fileFormat.mFormatID, kAudioFormatLinearPCM) << "WAV, as the recipe says";
    EXPECT_EQ(take.frames(), 22050u);

    // A device change ends the file, which is handed on at the stop, whether
    // it was complete by then or not.
    const int units = audio->unitsCreated();
    for (const bool completeFirst : {true, false}) {
        ASSERT_EQ(start("uid:headset", completeFirst ? "changed.wav" : "changed2.wav"), Result::Started);
        ASSERT_TRUE(cycles(headset, 10));
        session->configDevice(recorder.device());  // chosen again, it is opened anew
        ASSERT_TRUE(!completeFirst || session->waitForCompletion(60s));
        EXPECT_EQ(delivered.size(), completeFirst ? 1u : 2u) << "nothing is handed on before the stop";
        ASSERT_TRUE(stopAndDeliver());
        EXPECT_EQ(delivered.back().path, session->path());
        EXPECT_EQ(eaf_test::decodeFile(*session->path()).frames(), 4800u);
    }
    ASSERT_EQ(start("uid:headset", "mixed.wav", 0, true), Result::Started);
    EXPECT_EQ(audio->unitsCreated(), units + 3) << "the input went on, opened anew for the change and the mix only";
    ASSERT_TRUE(stopAndDeliver());
    audio->setDefaultInputDevice(mic);
    ASSERT_EQ(start(kDefaultInputUID, "default.wav"), Result::Started);
    EXPECT_TRUE(recorder.device()->followsDefault());
    ASSERT_TRUE(stopAndDeliver());
    // The computer's sound alone is what the default output plays, asked of the unit as such, with
    // nothing mixed into it; asked again, the capture goes on.
    const AudioObjectID speakers = audio->addDevice({"Speakers", "uid:speakers", 0, 2, 44100});
    audio->setDefaultOutputDevice(speakers);
    RecordRecipe heard{{{RecordSource::Kind::ComputerSound, {}}}, audioFormatNamed("wav"), {}, 0};
    for (const char* name : {"heard.wav", "heard2.wav"}) {
        heard.destination = nameRecording({dir.path(), name}, *heard.format, 0);
        ASSERT_EQ(session->start(heard), Result::Started);
        ASSERT_TRUE(cycles(speakers, 10));
        ASSERT_TRUE(stopAndDeliver());
    }
    EXPECT_TRUE(audio->units().at(0).capturesSystemAudio && !recorder.withSystemAudio());
    EXPECT_EQ(audio->unitsCreated(), units + 5);
    EXPECT_EQ(eaf_test::decodeFile(dir.file("heard2.wav")).frames(), 4800u);

    // Nothing to open, or an input gone since it was chosen: no recording, and no file.
    EXPECT_EQ(start("uid:nothing", "none.wav"), Result::NoDevice);
    EXPECT_EQ(session->start(RecordRecipe{}), Result::NoDevice);
    ASSERT_EQ(start("uid:mic", "mic.wav"), Result::Started);
    ASSERT_TRUE(stopAndDeliver());
    ASSERT_TRUE(audio->removeDevice(mic));
    EXPECT_EQ(start("uid:mic", "gone.wav"), Result::DeviceGone);
    ASSERT_EQ(start("uid:headset", "instead.wav"), Result::Started) << "another input opens in its place";
    ASSERT_TRUE(stopAndDeliver());
    const auto files = std::filesystem::directory_iterator(dir.path());
    EXPECT_EQ(std::count_if(begin(files), end(files), [](const auto& f) { return f.is_regular_file(); }), 5);
}

// Silence (-60 dBFS and below on every channel) is told after 30 s of it, then no more than every 10
// minutes, a pause not counting; a muted input is told at the start. Audio the disk refused is told
// once the stall is over, or with the stop; it fails no recording.
TEST_F(RecordSessionTest, SilenceAndLostAudioAreToldOnceAndInTime)
{
    RecordSession::Clock::time_point now;
    session->setSilenceTimes(30s, 10min, [&now] { return now; });
    // The left channel silent, the right one below zero: a line input may carry one side only.
    const auto after = [&](RecordSession::Clock::duration wait, float right = -0.0009f) {
        now += wait;
        EXPECT_TRUE(audio->runCycle(mic, {std::vector<float>(512, 0.0f), std::vector<float>(512, right)}));
        session->check();
        return silences.size();
    };
    ASSERT_EQ(start("uid:mic", "silence.wav"), Result::Started);
    EXPECT_EQ(after(29s), 0u);
    EXPECT_EQ(after(1s), 1u);
    EXPECT_EQ(after(9min + 59s), 1u) << "not again within 10 minutes";
    EXPECT_EQ(after(1s), 2u);
    EXPECT_EQ(after(9min + 55s, -0.002f), 2u) << "sound";
    EXPECT_EQ(after(29s), 2u) << "10 minutes passed, but not 30 s of silence";
    EXPECT_EQ(after(1s), 3u);
    session->pause();
    EXPECT_EQ(after(11min), 3u) << "a pause records no silence";
    session->resume();
    EXPECT_EQ(after(29s), 3u);
    EXPECT_EQ(after(1s), 4u);
    ASSERT_TRUE(stopAndDeliver());

    const std::uint32_t muted = 1;
    ASSERT_EQ(
        audio->setPropertyData(mic, {kAudioDevicePropertyMute, kAudioDevicePropertyScopeInput, 1}, 4, &muted), noErr);
    ASSERT_EQ(start("uid:mic", "muted.wav"), Result::Started);
    EXPECT_EQ(silences.back(), RecordSession::Silence::Muted);
    EXPECT_EQ(after(9min), 5u) << "the mute was the word on this silence";
    EXPECT_EQ(after(1min), 6u);

    // 70 cycles of 480 frames refused, one look each: the stall lasts many looks.
    auto gate = std::make_shared<FileGate>();
    ASSERT_TRUE(GatedFile::install(recorder.audioOutput(), gate));
    gate->refuse = 70;
    for (int i = 0; i < 71; ++i) {
        EXPECT_TRUE(lost.empty()) << "nothing is told while the loss still grows";
        ASSERT_TRUE(cycles(mic, 1));
        session->check();
    }
    EXPECT_EQ(lost, std::vector<double>{0.7});
    gate->refuse = 3;
    ASSERT_TRUE(cycles(mic, 3));
    ASSERT_TRUE(stopAndDeliver());
    EXPECT_EQ(lost, (std::vector<double>{0.7, 0.03})) << "a loss still growing at the stop is told with it";
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].status, noErr) << "a loss is no failed recording";
}

// The one resolver of a choice: an index stored before identifiers were names an input of the server; a
// missing input stays wanted, the default input standing in under its last name; a command line names an
// input of the server by place, name or identifier, none by default. The loopback driver's device, known
// by its exact name, is the computer's sound: in its place in the list, by its identifier, and by name or
// identifier when the server lists it no more.
TEST_F(RecordSessionTest, AChoiceResolvesToItsInputOrTheDefaultInputInItsPlace)
{
    audio->setDefaultInputDevice(headset);
    AudioDeviceChoice& choice = session->devices();
    choice.refresh();
    choice.restore("", 1);  // the second of the server's inputs, its default first
    EXPECT_EQ(choice.devices()[choice.wantedIndex()]->uniqueID(), "uid:mic");
    ASSERT_TRUE(audio->removeDevice(mic));
    choice.refresh();
    EXPECT_TRUE(choice.wantedIndex() == 0 && choice.missingWanted() == "Built-in Microphone");
    for (const char* named : {"", "0", "USB Headset", "uid:headset"})
        EXPECT_EQ(choice.lookUp(named)->uniqueID(), "uid:headset") << named;
    EXPECT_FALSE(choice.lookUp("1") || choice.lookUp(kDefaultInputUID) || choice.lookUp("Built-in Microphone"));

    const AudioObjectID loop = audio->addDevice({"Vortanx System Audio", "virtual.loop", 2, 0, 48000});
    audio->addDevice({"vortanx system audio", "uid:like", 2, 0, 48000});
    choice.refresh();
    choice.restore(kComputerSoundUID, std::nullopt);
    EXPECT_TRUE(
        choice.devices().back() == choice.computerSound() && choice.wantedIndex() == choice.devices().size() - 1);
    EXPECT_EQ(choice.sourcesOf(*choice.computerSound()),
        (std::vector<RecordSource>{{RecordSource::Kind::ComputerSound, {}}}));
    ASSERT_TRUE(audio->removeDevice(loop));
    choice.refresh();
    for (const char* named : {"Vortanx System Audio", kComputerSoundUID})
        EXPECT_EQ(choice.lookUp(named), choice.computerSound()) << named;
    EXPECT_EQ(choice.lookUp("vortanx system audio")->uniqueID(), "uid:like");
}

// A recipe's choices within its format reach the file. At the source's own rate nothing is resampled:
// a counter of 24-bit steps comes back exact from float, 24-bit WAV and 24-bit FLAC; at 16 bits, within
// one step. One channel is the mean of the source's two, never their sum. A chosen bit rate is the
// encoder's, as FFmpeg measures the file. A choice the format does not take makes no file.
TEST_F(RecordSessionTest, ARecipesQualityIsWhatItsFileHolds)
{
    constexpr float kStep = 1.0f / 8388608;  // 2^-23: one step of 24 bits
    // A different value each frame and channel, across the whole range of 24 bits.
    const auto counter = [](std::uint32_t channel, std::int64_t frame) {
        return float((frame * 7919 + channel * 4194304) % 16777216 - 8388608) * kStep;
    };
    const auto record = [&](const char* name, const char* format, AudioQuality quality, int cycleCount,
                            const std::function<float(std::uint32_t, std::int64_t)>& sample) {
        RecordRecipe recipe{{{RecordSource::Kind::Input, "uid:mic"}}, audioFormatNamed(format), {}, 0, quality};
        recipe.destination = nameRecording({dir.path(), name}, *recipe.format, 0);
        const Result started = session->start(recipe);
        std::int64_t frame = 0;
        for (int i = 0; i < cycleCount && started == Result::Started; ++i, frame += 480)
            EXPECT_TRUE(
                audio->runCycle(mic, 480, [&](std::uint32_t c, std::uint32_t f) { return sample(c, frame + f); }));
        if (started == Result::Started) {
            EXPECT_TRUE(stopAndDeliver());
        }
        return started;
    };
    const AudioQuality source{.sampleRate = AudioQuality::kSourceRate};
    struct Exact {
        const char* name;
        const char* format;
        std::optional<SampleDepth> depth;
        float tolerance;
    };
    for (const Exact& c :
        {Exact{"float.wav", "wav", SampleDepth::Float32, 0}, Exact{"24.wav", "wav", SampleDepth::Int24, 0},
            Exact{"24.flac", "flac", std::nullopt, 0}, Exact{"16.wav", "wav", SampleDepth::Int16, 256 * kStep},
            Exact{"16.flac", "flac", SampleDepth::Int16, 256 * kStep}}) {
        SCOPED_TRACE(c.name);
        AudioQuality quality = source;
        quality.depth = c.depth;
        ASSERT_EQ(record(c.name, c.format, quality, 20, counter), Result::Started);
        const eaf_test::Decoded take = eaf_test::decodeFile(dir.file(c.name));
        ASSERT_EQ(take.fileFormat.mSampleRate, 48000) << "the mic's own";
        ASSERT_EQ(take.frames(), 9600u);
        float worst = 0;
        for (std::uint32_t ch = 0; ch < 2; ++ch)
            for (std::size_t i = 0; i < take.frames(); ++i)
                worst = std::max(worst, std::fabs(take.channels[ch][i] - counter(ch, std::int64_t(i))));
        EXPECT_LE(worst, c.tolerance);
    }

    // Full scale in phase stays full scale; out of phase the mean is silence; one side alone is halved.
    const AudioQuality mono{.sampleRate = AudioQuality::kSourceRate, .channels = 1, .depth = SampleDepth::Float32};
    for (const auto& [name, right, mean] :
        {std::tuple{"inphase.wav", 1.0f, 1.0f}, {"against.wav", -1.0f, 0.0f}, {"oneside.wav", 0.0f, 0.5f}}) {
        ASSERT_EQ(record(name, "wav", mono, 5, [r = right](std::uint32_t c, std::int64_t) { return c ? r : 1.0f; }),
            Result::Started);
        const eaf_test::Decoded take = eaf_test::decodeFile(dir.file(name));
        ASSERT_EQ(take.channels.size(), 1u) << name;
        EXPECT_EQ(*std::min_element(take.channels[0].begin(), take.channels[0].end()), mean) << name;
        EXPECT_EQ(*std::max_element(take.channels[0].begin(), take.channels[0].end()), mean) << name;
    }

    // Two seconds of noise at a rate away from each format's default.
    std::uint32_t seed = 1;
    const auto noise = [&seed](std::uint32_t, std::int64_t) {
        seed = seed * 1664525 + 1013904223;
        return float(seed >> 8) / 16777216.0f - 0.5f;
    };
    for (const auto& [name, format, bitRate] : {std::tuple{"rate.m4a", "m4a", 64000}, {"rate.opus", "opus", 160000},
             {"rate.ogg", "ogg", 192000}, {"rate.mp3", "mp3", 256000}}) {
        if (!avcodec_find_encoder_by_name(audioFormatNamed(format)->codec))
            continue;
        ASSERT_EQ(record(name, format, {.bitRate = bitRate}, 200, noise), Result::Started) << name;
        AVFormatContext* raw = nullptr;
        ASSERT_EQ(avformat_open_input(&raw, dir.file(name).c_str(), nullptr, nullptr), 0);
        ffmpeg::InputFormatPtr input(raw);
        ASSERT_GE(avformat_find_stream_info(raw, nullptr), 0);
        const std::int64_t measured
            = raw->streams[0]->codecpar->bit_rate ? raw->streams[0]->codecpar->bit_rate : raw->bit_rate;
        EXPECT_NEAR(double(measured), bitRate, bitRate * 0.15) << name;
    }

    // Refused before anything touches the disk.
    for (const auto& [format, quality] :
        {std::pair{"opus", AudioQuality{.depth = SampleDepth::Int24}}, {"opus", AudioQuality{.sampleRate = 44100}},
            {"wav", AudioQuality{.bitRate = 128000}}, {"ogg", AudioQuality{.bitRate = 320000}},
            {"flac", AudioQuality{.depth = SampleDepth::Float32}}, {"m4a", AudioQuality{.channels = 3}}}) {
        SCOPED_TRACE(format);
        EXPECT_FALSE(qualityRefusal(*audioFormatNamed(format), quality).empty());
        const std::string name = std::string("refused.") + format;
        EXPECT_EQ(record(name.c_str(), format, quality, 1, noise), Result::FileNotCreated);
        EXPECT_EQ(session->failure(), kAudioFileUnsupportedDataFormatError);
        EXPECT_FALSE(std::filesystem::exists(dir.file(name)));
    }
}

// A marker is the frame written when it is set (in a pause, the pause point), kept in the delivery and
// in the file at the file's rate; an export keeps those inside its range (start in, end out), moved to
// its start, whether they come from the library or from the file, and holds exactly the range.
TEST_F(RecordSessionTest, MarkersAreWrittenReadBackAndMovedByExport)
{
    EXPECT_FALSE(session->addMarker()) << "nothing is recorded";
    for (const auto& [name, format, rate] :
        {std::tuple{"marked.wav", "wav", 48000}, {"marked.m4a", "m4a", 48000}, {"marked44.m4a", "m4a", 44100}}) {
        SCOPED_TRACE(name);
        if (std::string(format) == "m4a" && !eaf_test::haveAac())
            continue;
        RecordRecipe recipe{{{RecordSource::Kind::Input, "uid:mic"}}, audioFormatNamed(format), {}, 0,
            {.sampleRate = rate == 48000 ? AudioQuality::kSourceRate : rate}};
        recipe.destination = nameRecording({dir.path(), name}, *recipe.format, 0);
        ASSERT_EQ(session->start(recipe), Result::Started);
        ASSERT_TRUE(cycles(mic, 10));
        session->pause();
        ASSERT_TRUE(cycles(mic, 3));
        EXPECT_EQ(session->addMarker(), 0.1);
        session->addMarker();
        session->resume();
        ASSERT_TRUE(cycles(mic, 10));
        EXPECT_EQ(session->addMarker(), 0.2);
        ASSERT_TRUE(cycles(mic, 10));
        delivered.clear();
        ASSERT_TRUE(stopAndDeliver());
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_EQ(delivered[0].markers, (std::vector<double>{0.1, 0.2}));
        AudioMarkers inFile;
        double fileRate = 0;
        ASSERT_TRUE(audiofile::readMarkers(dir.file(name), inFile, fileRate));
        EXPECT_EQ(fileRate, rate);
        EXPECT_EQ(inFile, (AudioMarkers{rate / 10, rate / 5}));
        if (std::string(format) == "wav") {  // the RIFF size takes the cue chunks in: recovery sees it complete
            std::uint32_t riff = 0;
            std::ifstream(dir.file(name), std::ios::binary).seekg(4).read(reinterpret_cast<char*>(&riff), 4);
            EXPECT_EQ(riff + 8, std::filesystem::file_size(dir.file(name)));
        }

        using Given = std::optional<std::vector<double>>;
        for (const Given& given : {Given{}, Given{{0.3, 0.2, 0.15}}}) {
            const std::string out = dir.file(std::string("cut.") + format);
            AudioExportRequest request;
            request.source = dir.file(name);
            request.destination = out;
            request.range = {0.15f, 0.3f, 0, 0};
            request.format = audioFormatNamed(format);
            request.markers = given;
            AudioConverter converter(request);
            converter.startAudioConvert();
            ASSERT_EQ(converter.failure(), AudioConvertFailure::None);
            const auto moved = std::int64_t(std::llround(0.05 * converter.sampleRate()));
            const AudioMarkers expected = given ? AudioMarkers{0, moved} : AudioMarkers{moved};
            ASSERT_TRUE(audiofile::readMarkers(out, inFile, fileRate));
            EXPECT_EQ(inFile, expected) << (given ? "the library's" : "the file's");
            // Exactly the range, an M4A stating it with its encoder's priming left out.
            const eaf_test::Decoded cut = eaf_test::decodeFile(out);
            EXPECT_EQ(cut.frames(), std::size_t(std::llround(0.15 * converter.sampleRate())));
            EXPECT_EQ(cut.lengthFrames, std::int64_t(cut.frames()));
        }
    }
}

// A split take's parts hold the asked length to the frame, cut inside a cycle. Each is made while the one
// before fills, so the recorder moves on at the seam between two of the session's looks; the mark names
// the part being written, and a seam at the take's very end leaves no empty part. Joined, the parts are
// the unsplit take: WAV's PCM byte for byte, a lossy format's frames in number.
TEST_F(RecordSessionTest, ASplitTakesPartsJoinIntoTheUnsplitTake)
{
    const auto take = [&](const std::string& name, double split, bool separate = false) {
        RecordRecipe recipe{{{RecordSource::Kind::Input, "uid:mic"}}, audioFormatForPath(name), {}, 0.6,
            {.sampleRate = AudioQuality::kSourceRate}};
        recipe.splitEvery = split;
        if (separate)
            recipe.sources.push_back({RecordSource::Kind::ComputerSound, {}});
        recipe.separate = separate;
        recipe.destination = nameRecording({dir.path(), name}, *recipe.format, 0);
        ASSERT_EQ(session->start(recipe), Result::Started);
        for (std::int64_t cycle = 0; cycle < 62; ++cycle) {  // the limit ends the take at 60
            ASSERT_TRUE(audio->runCycle(mic, 480, [cycle](std::uint32_t c, std::uint32_t f) {
                return float((cycle * 480 + f) % 65536 - 32768) / (c ? -32768 : 32768);
            }));
            if (cycle % 3 == 0) {  // a look every few cycles, as the owner's timer
                session->check();
                EXPECT_EQ(recordingMarkPath(mark), recorder.audioPath()) << name << ", cycle " << cycle;
                EXPECT_EQ(recordingMarkSources(mark).size(), separate ? 2u : 0u) << "recovered with it";
            }
        }
        ASSERT_TRUE(stopAndDeliver());
        EXPECT_EQ(mark, "");
    };
    const auto pcm = [&](const std::string& name) {
        const eaf_test::WavSizes sizes = eaf_test::wavSizes(dir.file(name));
        return eaf_test::fileBytes(dir.file(name)).substr(std::size_t(sizes.dataAt), std::size_t(sizes.data));
    };
    take("whole.wav", 0);
    // "kept": the recorder keeps audio for a pre-roll, so the take is written from its ring. "sources":
    // each source of the mix in a file of its own beside each part, holding the part's very frames.
    for (const auto& [name, split, parts, kept, separate] : {std::tuple{"split", 0.255, 3, false, false},
             {"even", 0.3, 2, false, false}, {"kept", 0.255, 3, true, false}, {"sources", 0.255, 3, true, true}}) {
        delivered.clear();
        session->keepBeforeStart(kept ? 0.05 : 0);
        take(std::string(name) + ".wav", split, separate);
        std::string joined;
        const auto each = std::size_t(std::lround(split * 48000));
        for (int part = 1; part <= parts; ++part) {
            const RecordDestination file = partOf({{}, std::string(name) + ".wav"}, part);
            ASSERT_EQ(delivered.at(std::size_t(part - 1)).path, dir.file(file.name)) << "handed on in order";
            EXPECT_EQ(
                eaf_test::decodeFile(dir.file(file.name)).frames(), part < parts ? each : 28800 - each * (parts - 1))
                << file.name;
            joined += pcm(file.name);
            std::vector<std::string> sources;
            for (const char* source : {kInputSource, kSystemSource})
                if (separate) {
                    sources.push_back(dir.file(sourceOf(file, source).name));
                    EXPECT_EQ(pcm(sourceOf(file, source).name), pcm(file.name)) << sources.back();
                }
            EXPECT_EQ(delivered.at(std::size_t(part - 1)).sources, sources);
        }
        EXPECT_EQ(delivered.size(), std::size_t(parts)) << name;
        EXPECT_EQ(joined, pcm("whole.wav")) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("even 003.wav"))) << "no part without a frame";
    session->keepBeforeStart(0);

    take("whole.m4a", 0);
    take("split.m4a", 0.255);
    std::size_t frames = 0;
    for (int part = 1; part <= 3; ++part)
        frames += eaf_test::decodeFile(dir.file(partOf({{}, "split.m4a"}, part).name)).frames();
    EXPECT_EQ(frames, eaf_test::decodeFile(dir.file("whole.m4a")).frames());
    EXPECT_EQ(frames, 28800u);
}

// Takes that begin before they were asked for, frame-exact, in 10 ms cycles of the mic whose right channel counts
// frames: a pre-roll before Record; armed, the buffer that reaches the threshold (a peak at it counts, one step
// below does not) begins the take with the pre-roll before it; the hold keeps a shorter pause in the take and
// ends it after a longer one; armed again, the next take begins where the pre-roll puts it. A pre-roll reaches no
// further back than the input was opened; sound that never comes leaves the session armed and makes no file.
TEST_F(RecordSessionTest, PreRollAndSoundStartsAreFrameExact)
{
    constexpr float kFrameStep = 1.0f / (1 << 30);  // exact in float for every frame here
    struct Take {
        std::int64_t first, frames;
    };
    struct Row {
        const char* name;
        std::optional<SoundStart> onSound;  // none: Record when the levels have passed
        double preRoll;
        std::vector<std::pair<float, int>> levels;  // a peak for so many cycles
        std::vector<Take> takes;
        RecordSession::State after;
    };
    const std::vector<Row> table{
        {"record", std::nullopt, 0.2, {{0.5f, 50}}, {{50 * 480 - 9600, 9600 + 20 * 480}},
            RecordSession::State::Recording},
        {"input opened 0.1 s ago", std::nullopt, 0.2, {{0.5f, 10}}, {{0, 30 * 480}}, RecordSession::State::Recording},
        {"crossing and hold", SoundStart{-20, 0.5}, 0.2, {{0.01f, 50}, {0.5f, 30}, {0.01f, 100}},
            {{50 * 480 - 9600, 80 * 480 + 24000 - (50 * 480 - 9600)}}, RecordSession::State::Idle},
        {"at the threshold", SoundStart{-20, 0.1}, 0, {{std::nextafter(0.1f, 0.0f), 20}, {0.1f, 1}, {0.0f, 40}},
            {{20 * 480, 480 + 4800}}, RecordSession::State::Idle},
        {"pause and again", SoundStart{-30, 0.5, true}, 0.1,
            {{0.5f, 10}, {0.0f, 40}, {0.5f, 10}, {0.0f, 60}, {0.5f, 5}, {0.0f, 60}},
            {{0, 60 * 480 + 24000}, {110 * 480, 125 * 480 + 24000 - 110 * 480}}, RecordSession::State::Armed},
        {"never", SoundStart{-6, 1}, 0.5, {{0.25f, 100}}, {}, RecordSession::State::Armed},
    };
    const AudioQuality exact{.sampleRate = AudioQuality::kSourceRate, .depth = SampleDepth::Float32};
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        recorder.configDevice(nullptr);  // each row's input opens afresh
        delivered.clear();
        // A folder of the row's own: its takes are named in the same second, the
        // first plainly, the next " (2)", which sorts before it.
        const std::string folder = dir.file(row.name);
        std::filesystem::create_directory(folder);
        RecordRecipe recipe{{{RecordSource::Kind::Input, "uid:mic"}}, audioFormatNamed("wav"), {folder, {}}, 0, exact,
            row.preRoll, row.onSound};
        if (row.onSound) {
            ASSERT_EQ(session->start(recipe), Result::Started);
        } else {
            session->configDevice(session->devices().find("uid:mic"));
            session->keepBeforeStart(row.preRoll);
        }
        std::int64_t frame = 0;
        for (const auto& [level, count] : row.levels)
            for (int i = 0; i < count; ++i, frame += 480) {
                ASSERT_TRUE(audio->runCycle(mic, 480, [&, l = level](std::uint32_t c, std::uint32_t f) {
                    return c ? float(frame + f) * kFrameStep : l;
                }));
                session->check();
            }
        if (!row.onSound) {
            ASSERT_EQ(session->start(recipe), Result::Started);
            for (int i = 0; i < 20; ++i, frame += 480)
                ASSERT_TRUE(audio->runCycle(mic, 480,
                    [&](std::uint32_t c, std::uint32_t f) { return c ? float(frame + f) * kFrameStep : 0.5f; }));
        }
        EXPECT_EQ(session->state(), row.after);
        session->stop();
        ASSERT_TRUE(session->waitForCompletion(60s));
        ASSERT_EQ(delivered.size(), row.takes.size());
        for (std::size_t t = 0; t < row.takes.size(); ++t) {
            const eaf_test::Decoded take = eaf_test::decodeFile(delivered[t].path);
            ASSERT_EQ(std::int64_t(take.frames()), row.takes[t].frames) << "take " << t;
            std::size_t breaks = 0;
            for (std::size_t i = 0; i < take.frames(); ++i)
                breaks += take.channels[1][i] != float(row.takes[t].first + std::int64_t(i)) * kFrameStep;
            EXPECT_EQ(breaks, 0u) << "take " << t << " begins at frame " << take.channels[1][0] / kFrameStep;
        }
    }
    EXPECT_EQ(session->state(), RecordSession::State::Idle);
}
