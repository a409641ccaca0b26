// The configuration window on its own, with a delegate that records the
// device choices it is told.
#include "AppTestSupport.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "Control/AppControl.h"
#include "Controller/ConfigAudioWndController.h"

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSettings>

namespace {

struct RecordingDelegate : ConfigAudioWndControllerDelegate {
    void chooseAudioDeviceNum(std::int32_t index) override { chosen.push_back(index); }
    std::vector<std::int32_t> chosen;
};

class ConfigWindowTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        for (const char* name : {"Built-in Microphone", "USB Headset", "Vortanx System Audio"})
            addInput(name);
        devices_ = AudioRecordDevice().allAudioInputDevices();
    }
    std::unique_ptr<ConfigAudioWndController> load()
    {
        auto controller = std::make_unique<ConfigAudioWndController>();
        controller->setDelegate(&delegate_);
        controller->setAudioDevices(devices_);
        controller->loadWindow();
        return controller;
    }

    ConfigAudioWndController::Devices devices_;
    RecordingDelegate delegate_;
};

QStringList entries(const QComboBox* list)
{
    QStringList titles;
    for (int i = 0; i < list->count(); ++i)
        titles.append(list->itemText(i));
    return titles;
}

}  // namespace

TEST_F(ConfigWindowTest, FirstLoadMakesTheSaveFolderListsTheDevicesAndChoosesEntryZero)
{
    ASSERT_EQ(devices_.size(), 3u);
    const QString folder = home_.path() + QStringLiteral("/Music/org.traytape.TrayTape");
    ASSERT_FALSE(QDir(home_.path() + QStringLiteral("/Music")).exists());

    auto controller = load();
    EXPECT_EQ(controller->saveAudioPath(), folder);
    EXPECT_EQ(controller->lblAudioPath()->text(), folder);
    EXPECT_TRUE(QDir(folder).exists());
    EXPECT_EQ(entries(controller->popAudioDevices()),
        (QStringList{"Built-in Microphone", "USB Headset", "Vortanx System Audio"}));
    EXPECT_EQ(controller->popAudioDevices()->currentIndex(), 0);
    EXPECT_EQ(controller->audioFormat_(), 0);
    EXPECT_EQ(entries(controller->popAudioFormat()).size(), 2);
    EXPECT_EQ(delegate_.chosen, std::vector<std::int32_t>{0});
    EXPECT_FALSE(controller->window()->isVisible());
}

TEST_F(ConfigWindowTest, MusicReachedThroughALinkIsResolved)
{
    QDir(home_.path()).mkpath(QStringLiteral("elsewhere/Tunes"));
    ASSERT_TRUE(
        QFile::link(home_.path() + QStringLiteral("/elsewhere/Tunes"), home_.path() + QStringLiteral("/Music")));
    EXPECT_EQ(ConfigAudioWndController::defaultSaveAudioPath(),
        QDir(home_.path()).canonicalPath() + QStringLiteral("/elsewhere/Tunes/org.traytape.TrayTape"));
}

TEST_F(ConfigWindowTest, StoredChoicesAreRestoredAndOutOfRangeIndexReachesTheDelegateUnchecked)
{
    AppControl::AppWriteKeyValue(2, SettingsKey::AudioDeviceNSNumberChoose);
    AppControl::AppWriteKeyValue(1, SettingsKey::AudioFormatNSNumberKey);
    auto controller = load();
    EXPECT_EQ(controller->popAudioDevices()->currentIndex(), 2);
    EXPECT_EQ(controller->audioFormat_(), 1);
    EXPECT_EQ(delegate_.chosen, std::vector<std::int32_t>{2});

    AppControl::AppWriteKeyValue(7, SettingsKey::AudioDeviceNSNumberChoose);
    delegate_.chosen.clear();
    auto again = load();
    EXPECT_EQ(delegate_.chosen, std::vector<std::int32_t>{-1});
}

TEST_F(ConfigWindowTest, ChoicesAreStoredOnlyWhenTheUserClosesTheWindow)
{
    auto controller = load();
    controller->window()->show();
    controller->popAudioDevices()->setCurrentIndex(1);
    controller->popAudioFormat()->setCurrentIndex(1);
    controller->close();  // from code, as start-up does
    EXPECT_FALSE(QSettings().contains(SettingsKey::AudioDeviceNSNumberChoose));

    controller->window()->show();
    controller->window()->close();  // the user's close
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::AudioDeviceNSNumberChoose, 0).toInt(), 1);
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::AudioFormatNSNumberKey, 0).toInt(), 1);
}

TEST_F(ConfigWindowTest, UserChoiceGoesToTheDelegateAtOnce)
{
    auto controller = load();
    delegate_.chosen.clear();
    controller->popAudioDevices()->setCurrentIndex(2);
    emit controller->popAudioDevices()->activated(2);
    EXPECT_EQ(delegate_.chosen, std::vector<std::int32_t>{2});

    controller->setDelegate(nullptr);
    controller->chooseAudioDevice();  // goes nowhere, harmlessly
}

TEST_F(ConfigWindowTest, RecordingLocksTheListsButNotTheFolder)
{
    auto controller = load();
    controller->setISRecording(true);
    EXPECT_FALSE(controller->popAudioDevices()->isEnabled());
    EXPECT_FALSE(controller->popAudioFormat()->isEnabled());
    const QString other = home_.path() + QStringLiteral("/other");
    controller->chooseSavePathFinished(QDialog::Accepted, other);
    EXPECT_EQ(controller->saveAudioPath(), other);
    EXPECT_EQ(controller->lblAudioPath()->text(), other);

    controller->chooseSavePathFinished(QDialog::Rejected, home_.path());
    EXPECT_EQ(controller->saveAudioPath(), other) << "a cancelled panel keeps the folder";

    controller->setISRecording(false);
    EXPECT_TRUE(controller->popAudioDevices()->isEnabled());
    EXPECT_TRUE(controller->popAudioFormat()->isEnabled());
}

TEST_F(ConfigWindowTest, HelpDocumentIsCopiedOnceAndOpenedFromTheTemporaryFolder)
{
    auto controller = load();
    const QString copy = QDir::temp().filePath(QStringLiteral("Record Help.pdf"));
    controller->recordComputerAudioHelp();
    ASSERT_TRUE(QFile::exists(copy));
    QFile pdf(copy);
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(pdf.read(5).startsWith("%PDF"));
    controller->recordComputerAudioHelp();
    ASSERT_EQ(workspace_.opened.size(), 2);
    EXPECT_EQ(workspace_.opened[0], QUrl::fromLocalFile(copy));
    EXPECT_EQ(workspace_.opened[1], QUrl::fromLocalFile(copy));

    controller->openSavePath();
    EXPECT_EQ(workspace_.revealed, QStringList{controller->saveAudioPath()});
}
