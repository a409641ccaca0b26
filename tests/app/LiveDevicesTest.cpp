// The tray application in this process on a private sound server, walked
// through inputs that come and go: an output's monitor and a microphone (a
// source alone, here a remap source) appear in Preferences and go within a
// second; the wanted device that was missing at start opens when it comes,
// with the meter on it, but never in the middle of a recording; and
// "Default input" follows a change of the server's default in the middle of
// a recording, into the same file.
#include "AppTestSupport.h"
#include "platform/pulse/PulsePlatform.h"
#include "support/DecodedFile.h"
#include "support/PulseServer.h"

#include <QComboBox>
#include <QTest>

namespace {

using Access = AppDelegateTestAccess;
using testsupport::NullSink;

constexpr double kAmplitude = 0.3;

class LiveDevices : public AppTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.start()) << server_.error();
        AppTest::SetUp();
        installPulsePlatform();
    }

    static int entryNamed(ConfigAudioWndController& config, const QString& part)
    {
        for (int i = 0; i < config.popAudioDevices()->count(); ++i)
            if (config.popAudioDevices()->itemText(i).contains(part))
                return i;
        return -1;
    }

    // A source alone, as a microphone is: its module's index.
    std::optional<std::uint32_t> plugMicrophone()
    {
        const auto loaded = server_.pactl({"load-module", "module-remap-source", "source_name=plugged",
            "master=first.monitor", "source_properties='device.description=\"Plugged Mic\"'"});
        return loaded.ok() ? std::optional(std::uint32_t(std::stoul(loaded.output))) : std::nullopt;
    }

    testsupport::PulseServer server_{{{"first", 48000, 2, "First Deck"}, {"second", 48000, 2, "Second Deck"}}};
};

// The tone's amplitude in each 10 ms of the file: whole periods of 500 and 1500 Hz, so each reads exactly.
std::vector<double> tenthsOf(const DecodedFile& file, double frequency)
{
    const auto window = std::size_t(file.sampleRate / 100);
    std::vector<double> amplitudes;
    for (std::size_t at = 0; at + window <= file.frames(); at += window)
        amplitudes.push_back(toneAmplitude(file.channels[0], file.sampleRate, frequency, at, at + window));
    return amplitudes;
}

}  // namespace

TEST_F(LiveDevices, TheListFollowsTheServerAndDefaultInputFollowsItsDefaultMidRecording)
{
    AppControl::AppWriteKeyValue(QStringLiteral("plugged"), SettingsKey::AudioDeviceUniqueID);
    auto app = launch();
    ConfigAudioWndController& config = Access::config(*app);
    AudioRecordDevice& recorder = Access::recorder(*app);
    EXPECT_EQ(config.popAudioDevices()->currentIndex(), 0) << "the missing device falls back to the default input";
    ASSERT_TRUE(server_.setDefaultSource("first.monitor"));
    auto first = server_.playTone("first", 500, kAmplitude);
    auto second = server_.playTone("second", 1500, kAmplitude);

    // An output's monitor comes and goes within a second each.
    const auto deck = server_.loadNullSink({"deck", 48000, 2, "Extra Deck"});
    ASSERT_TRUE(deck);
    EXPECT_TRUE(QTest::qWaitFor([&] { return entryNamed(config, "Extra Deck") > 0; }, 1000));
    ASSERT_TRUE(server_.unloadModule(*deck));
    EXPECT_TRUE(QTest::qWaitFor([&] { return entryNamed(config, "Extra Deck") < 0; }, 1000));

    // The wanted microphone plugged in: listed within a second, opened, and the meter on it.
    auto microphone = plugMicrophone();
    ASSERT_TRUE(microphone);
    EXPECT_TRUE(QTest::qWaitFor([&] { return entryNamed(config, "Plugged Mic") > 0; }, 1000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return recorder.device()->uniqueID() == "plugged"; }, 1000));
    EXPECT_EQ(config.popAudioDevices()->currentIndex(), entryNamed(config, "Plugged Mic"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return recorder.audioLevel() > kAmplitude / 2; }, 5000)) << "the meter follows";

    // Unplugged: gone from the list within a second, and the default input records instead.
    ASSERT_TRUE(server_.unloadModule(*microphone));
    EXPECT_TRUE(QTest::qWaitFor([&] { return entryNamed(config, "Plugged Mic") < 0; }, 1000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return recorder.device()->followsDefault(); }, 1000));

    // The default input records, and the server's default changes under it. The
    // wanted microphone coming back meanwhile leaves the recording on its input.
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.audioLevel() > kAmplitude / 2; }, 5000));
    app->startAndStopRecord();
    ASSERT_TRUE(plugMicrophone());
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.audioLength() >= 1.0; }, 5000));
    ASSERT_TRUE(entryNamed(config, "Plugged Mic") > 0 && recorder.device()->followsDefault());
    EXPECT_EQ(config.popAudioDevices()->currentIndex(), 0) << "the list shows what is recorded from";
    ASSERT_TRUE(server_.setDefaultSource("second.monitor"));
    const double switched = recorder.audioLength();  // the server names the new default by now
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.audioLength() >= switched + 1.0; }, 5000));
    const QString path = QString::fromStdString(*Access::session(*app).path());
    app->startAndStopRecord();
    completeRecordings(*app);
    EXPECT_TRUE(QTest::qWaitFor([&] { return recorder.device()->uniqueID() == "plugged"; }, 1000))
        << "once idle, the wanted device is opened";

    const DecodedFile file = decodeFile(path.toStdString());
    ASSERT_GT(file.seconds(), 1.9);
    const auto low = tenthsOf(file, 500), high = tenthsOf(file, 1500);
    const auto heard = [](double a) { return a > kAmplitude / 2; };
    const auto firstHigh = std::size_t(std::find_if(high.begin(), high.end(), heard) - high.begin());
    ASSERT_LT(firstHigh, high.size()) << "the second source is in the file";
    std::size_t lastLow = firstHigh;
    while (lastLow > 0 && !heard(low[lastLow - 1]))
        --lastLow;
    EXPECT_GT(lastLow, 50u) << "the first source's tone comes first";
    EXPECT_LE(firstHigh - lastLow, 10u) << "a gap of at most 100 ms";
    // The file holds what was captured up to one 40 ms fragment before the count was read.
    EXPECT_LE(double(firstHigh) / 100, switched + 0.1 + 0.04) << "the default is followed within 100 ms";
    for (std::size_t i = firstHigh + 1; i + 1 < low.size(); ++i)
        ASSERT_LT(low[i], kAmplitude / 4) << "nothing of the first source after the change, at " << i;
}
