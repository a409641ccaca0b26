// Finding the default output's engine and talking to the loopback driver, on
// an in-memory registry and the virtual audio backend.
#include "AudioRecord/AudioRecordDevice.h"
#include "AudioRecord/IOService.h"
#include "support/backends/MemoryRegistry.h"
#include "support/backends/VirtualAudio.h"

#include <gtest/gtest.h>

namespace {

const std::string kKey = "kCaptureDriverPathKey";
const std::vector<std::string> kEngine{"IOAudioEngine", "IOService", "IORegistryEntry"};
const std::vector<std::string> kDriver{"com_Vortanx_driver_LoopbackEngine", "IOService", "IORegistryEntry"};

class SystemAudio : public ::testing::Test {
protected:
    void SetUp() override
    {
        AudioRecordDevice::resetSystemAudioConnectedForTesting();
        auto backend = std::make_unique<VirtualAudio>();
        audio = backend.get();
        setAudioBackend(std::move(backend));
        auto memory = std::make_unique<MemoryRegistry>();
        registry = memory.get();
        setIORegistryBackend(std::move(memory));
    }
    void TearDown() override
    {
        setIORegistryBackend(nullptr);
        setAudioBackend(nullptr);
        AudioRecordDevice::resetSystemAudioConnectedForTesting();
    }

    void setDefaultOutput(const std::string& uid)
    {
        audio->setDefaultOutputDevice(audio->addDevice({"Speakers " + uid, uid, 0, 2, 48000}));
    }
    std::uint32_t engine(const std::string& path, std::uint32_t parent = 0)
    {
        return registry->addEntry(kEngine, path, parent);
    }
    std::uint32_t driver() { return registry->addDriver(kDriver, "IOService:/Loopback/" + std::to_string(++drivers)); }
    // The path the driver was handed by connecting a fresh process.
    std::optional<std::string> pathSentOnConnect()
    {
        registry->clearHanded();
        AudioRecordDevice::resetSystemAudioConnectedForTesting();
        AudioRecordDevice().connectSystemAudioRecord(true);
        const auto handed = registry->handed();
        if (handed.size() != 1 || handed[0].table.size() != 1 || !handed[0].table.contains(kKey))
            return std::nullopt;
        return handed[0].table.at(kKey);
    }

    VirtualAudio* audio = nullptr;       // owned by the audio backend slot
    MemoryRegistry* registry = nullptr;  // owned by the registry slot
    int drivers = 0;
};

}  // namespace

TEST_F(SystemAudio, TheWalkIsDepthFirstAndFindsSubclassesButNotOtherClasses)
{
    const std::uint32_t first = engine("IOService:/A/engine");
    const std::uint32_t bus = registry->addEntry({"IOService", "IORegistryEntry"}, "IOService:/B");
    engine("IOService:/B/C/engine", registry->addEntry({"IOService"}, "IOService:/B/C", bus));
    registry->addEntry({"AppleHDAEngineOutput", "IOAudioEngine", "IOService"}, "IOService:/D/subclass");
    registry->addEntry({"IOAudioStream", "IOService"}, "IOService:/D/stream");

    std::vector<std::string> paths;
    for (const auto& service : IOService::getServicesByClassName("IOAudioEngine"))
        paths.push_back(service.path().value_or("<none>"));
    EXPECT_EQ(
        paths, (std::vector<std::string>{"IOService:/A/engine", "IOService:/B/C/engine", "IOService:/D/subclass"}));
    EXPECT_EQ(IOService::getServicesByClassName("IOService").size(), 6u);
    EXPECT_TRUE(IOService::getServicesByClassName("IOAudioEngineX").empty());
    EXPECT_EQ(IOService::getServicesByClassName("IOAudioEngine").front().object()->id(), first);
    // No wrapper outlives the search that made it.
    EXPECT_EQ(registry->outstandingReferences(), 0);
}

TEST_F(SystemAudio, TheDefaultOutputsIdentifierNarrowsTheEnginesPartByPart)
{
    driver();
    driver();  // only the last driver entry of the walk is addressed
    setDefaultOutput("alpha:beta:0");
    AudioRecordDevice().connectSystemAudioRecord(true);
    ASSERT_EQ(registry->handed().size(), 1u);
    EXPECT_TRUE(registry->handed()[0].table.empty()) << "without engines the driver gets an empty table";

    engine("IOService:/pci/alpha/beta/engine");
    engine("IOService:/pci/alpha/other/engine");
    registry->addEntry({"IOService"}, "IOService:/pci/alpha/beta/not-an-engine");

    // "alpha" keeps both, "beta" keeps only the first.
    EXPECT_EQ(pathSentOnConnect(), "IOService:/pci/alpha/beta/engine");

    // The empty part narrows nothing; "other" narrows as usual.
    setDefaultOutput("alpha::other");
    EXPECT_EQ(pathSentOnConnect(), "IOService:/pci/alpha/other/engine");

    // The test is case-sensitive; no part found leaves the last engine of the walk.
    setDefaultOutput("ALPHA:Beta");
    EXPECT_EQ(pathSentOnConnect(), "IOService:/pci/alpha/other/engine");

    // Without a default output nothing is narrowed either.
    audio->setDefaultOutputDevice(0);
    EXPECT_EQ(pathSentOnConnect(), "IOService:/pci/alpha/other/engine");
}

// The connection is the process's, not a recorder's; each change reaches the
// driver once, and a new default output only through disconnect and connect.
TEST_F(SystemAudio, ConnectingAndDisconnectingSendEachChangeOnce)
{
    engine("IOService:/pci/alpha");
    engine("IOService:/pci/beta");
    setDefaultOutput("alpha");
    AudioRecordDevice recorder;

    // Without a driver the state still follows the calls; a driver loaded
    // later is told only what happens from then on.
    recorder.connectSystemAudioRecord(true);
    EXPECT_TRUE(AudioRecordDevice::systemAudioConnected());
    recorder.connectSystemAudioRecord(false);
    EXPECT_FALSE(AudioRecordDevice::systemAudioConnected());
    driver();
    const std::uint32_t last = driver();
    recorder.connectSystemAudioRecord(false);
    EXPECT_TRUE(registry->handed().empty()) << "not connected: nothing to disconnect";

    recorder.connectSystemAudioRecord(true);
    recorder.connectSystemAudioRecord(true);
    AudioRecordDevice().connectSystemAudioRecord(true);
    setDefaultOutput("beta");
    recorder.connectSystemAudioRecord(true);
    ASSERT_EQ(registry->handed().size(), 1u);
    EXPECT_EQ(registry->handed()[0].table, (CFDictionary{{kKey, "IOService:/pci/alpha"}}));
    EXPECT_TRUE(AudioRecordDevice::systemAudioConnected());

    recorder.connectSystemAudioRecord(false);
    recorder.connectSystemAudioRecord(false);
    ASSERT_EQ(registry->handed().size(), 2u);
    EXPECT_EQ(registry->handed()[1].table, (CFDictionary{{kKey, kKey}}));
    EXPECT_FALSE(AudioRecordDevice::systemAudioConnected());

    recorder.connectSystemAudioRecord(true);
    ASSERT_EQ(registry->handed().size(), 3u);
    EXPECT_EQ(registry->handed()[2].table.at(kKey), "IOService:/pci/beta");
    for (const auto& handed : registry->handed())
        EXPECT_EQ(handed.driver, last);
    recorder.connectSystemAudioRecord(false);
    EXPECT_EQ(registry->outstandingReferences(), 0);
}

TEST_F(SystemAudio, ChoosingTheLoopbackDeviceConnectsOnce)
{
    engine("IOService:/pci/alpha");
    driver();
    setDefaultOutput("alpha");
    const AudioObjectID look = audio->addDevice({"Vortanx System Audio 2", "look-alike"});
    const AudioObjectID loop = audio->addDevice({"Vortanx System Audio", "loopback"});
    AudioRecordDevice recorder;
    const auto find = [&](AudioObjectID id) {
        for (auto& d : recorder.allAudioInputDevices())
            if (d->deviceID() == id)
                return d;
        return std::shared_ptr<AudioRecordMicDevice>();
    };

    recorder.configDevice(find(look));
    EXPECT_TRUE(registry->handed().empty());
    recorder.configDevice(find(loop));
    recorder.configDevice(find(loop));
    ASSERT_EQ(registry->handed().size(), 1u);
    EXPECT_EQ(registry->handed()[0].table, (CFDictionary{{kKey, "IOService:/pci/alpha"}}));
    recorder.configDevice(nullptr);
}

TEST_F(SystemAudio, UnderATestAudioBackendTheDefaultRegistryIsEmpty)
{
    // Nothing may reach a real sound server from a test that runs on virtual devices.
    setIORegistryBackend(nullptr);
    const auto root = IORegistryGetRootEntry(kIOMasterPortDefault);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->children().empty());
}
