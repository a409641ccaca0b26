// Finding the default output's engine and talking to the loopback driver, on
// an in-memory registry and the virtual audio backend: the edge cases a real
// server cannot be made to show at will.
#include "AudioRecord/AudioRecordDevice.h"
#include "AudioRecord/IOService.h"
#include "support/backends/MemoryRegistry.h"
#include "support/backends/VirtualAudio.h"

#include <gtest/gtest.h>

namespace {

const std::string kKey = "kCaptureDriverPathKey";
const std::vector<std::string> kEngine{"IOAudioEngine", "IOService", "IORegistryEntry"};

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
    std::uint32_t driver()
    {
        return registry->addDriver({"com_Vortanx_driver_LoopbackEngine", "IOService", "IORegistryEntry"},
            "IOService:/Loopback/" + std::to_string(++drivers));
    }
    // The tables the driver was handed, as the path sent or "" for another table.
    std::vector<std::string> sent() const
    {
        std::vector<std::string> paths;
        for (const auto& handed : registry->handed())
            paths.push_back(handed.table.size() == 1 && handed.table.contains(kKey) ? handed.table.at(kKey) : "");
        return paths;
    }
    // The path the driver was handed by connecting a fresh process.
    std::string sentOnConnect()
    {
        registry->clearHanded();
        AudioRecordDevice::resetSystemAudioConnectedForTesting();
        AudioRecordDevice().connectSystemAudioRecord(true);
        return sent().size() == 1 ? sent()[0] : "<" + std::to_string(sent().size()) + " tables>";
    }

    VirtualAudio* audio = nullptr;       // owned by the audio backend slot
    MemoryRegistry* registry = nullptr;  // owned by the registry slot
    int drivers = 0;
};

}  // namespace

// Each part of the default output's identifier, in turn, keeps the engines
// whose path holds it, unless none does.
TEST_F(SystemAudio, TheDefaultOutputsIdentifierNarrowsTheEnginesPartByPart)
{
    driver();
    const std::uint32_t last = driver();  // only the last driver entry of the walk is addressed
    setDefaultOutput("alpha:beta:0");
    AudioRecordDevice().connectSystemAudioRecord(true);
    ASSERT_EQ(registry->handed().size(), 1u);
    EXPECT_TRUE(registry->handed()[0].table.empty()) << "without engines the driver gets an empty table";
    EXPECT_EQ(registry->handed()[0].driver, last);

    registry->addEntry(kEngine, "IOService:/pci/alpha/beta/engine");
    registry->addEntry(kEngine, "IOService:/pci/alpha/other/engine");
    registry->addEntry({"IOService"}, "IOService:/pci/alpha/beta/not-an-engine");
    for (const auto& [uid, path] : std::vector<std::pair<std::string, std::string>>{
             {"alpha:beta:0", "IOService:/pci/alpha/beta/engine"}, {"alpha::other", "IOService:/pci/alpha/other/engine"},
             {"ALPHA:Beta", "IOService:/pci/alpha/other/engine"}, {"", "IOService:/pci/alpha/other/engine"}}) {
        if (uid.empty())
            audio->setDefaultOutputDevice(0);  // no default output narrows nothing either
        else
            setDefaultOutput(uid);
        EXPECT_EQ(sentOnConnect(), path) << uid;
    }
}

// The connection is the process's, not a recorder's; each change reaches the
// driver once, and a new default output only through disconnect and connect.
// Choosing the loopback device connects; a look-alike name does not.
TEST_F(SystemAudio, ConnectingAndDisconnectingSendEachChangeOnce)
{
    registry->addEntry(kEngine, "IOService:/pci/alpha");
    registry->addEntry(kEngine, "IOService:/pci/beta");
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
    EXPECT_TRUE(sent().empty()) << "not connected: nothing to disconnect";

    const AudioObjectID look = audio->addDevice({"Vortanx System Audio 2", "look-alike"});
    const AudioObjectID loop = audio->addDevice({"Vortanx System Audio", "loopback"});
    const auto choose = [&](AudioObjectID id) {
        for (auto& d : recorder.allAudioInputDevices())
            if (d->deviceID() == id)
                recorder.configDevice(d);
    };
    choose(look);
    EXPECT_TRUE(sent().empty()) << "a look-alike is not the loopback device";
    choose(loop);
    choose(loop);
    recorder.connectSystemAudioRecord(true);
    AudioRecordDevice().connectSystemAudioRecord(true);
    setDefaultOutput("beta");
    recorder.connectSystemAudioRecord(true);
    EXPECT_EQ(sent(), (std::vector<std::string>{"IOService:/pci/alpha"}));
    EXPECT_TRUE(AudioRecordDevice::systemAudioConnected());

    recorder.connectSystemAudioRecord(false);
    recorder.connectSystemAudioRecord(false);
    EXPECT_EQ(sent(), (std::vector<std::string>{"IOService:/pci/alpha", kKey}));
    EXPECT_FALSE(AudioRecordDevice::systemAudioConnected());
    recorder.connectSystemAudioRecord(true);
    EXPECT_EQ(sent(), (std::vector<std::string>{"IOService:/pci/alpha", kKey, "IOService:/pci/beta"}));
    for (const auto& handed : registry->handed())
        EXPECT_EQ(handed.driver, last);
    recorder.configDevice(nullptr);
    recorder.connectSystemAudioRecord(false);
    EXPECT_EQ(registry->outstandingReferences(), 0);
}

TEST_F(SystemAudio, UnderATestAudioBackendTheDefaultRegistryIsEmpty)
{
    // Nothing may reach a real sound server from a test that runs on virtual devices.
    setIORegistryBackend(nullptr);
    const auto root = IORegistryGetRootEntry(kIOMasterPortDefault);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->children().empty());
}
