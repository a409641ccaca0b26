// The configuration window on its own, with a delegate that records the
// device choices it is told.
#include "AppTestSupport.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "Control/AppControl.h"
#include "Controller/ConfigAudioWndController.h"
#include "platform/ui/Autostart.h"
#include "support/PulseServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QStandardPaths>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSettings>
#include <QSignalSpy>
#include <QFileInfo>

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

TEST_F(ConfigWindowTest, FirstLoadMakesTheSaveFolderAndAStoredDeviceIsFoundByIdentifier)
{
    const QString folder = home_.path() + QStringLiteral("/Music/org.traytape.TrayTape");
    ASSERT_FALSE(QDir(home_.path() + QStringLiteral("/Music")).exists());
    struct Case {
        QVariant index, uid;
        int chosen;
    };
    const Case cases[] = {
        {{}, {}, 0},                                    // first start
        {2, {}, 2},                                     // an index stored before identifiers were
        {7, {}, 0},                                     // an index past the list: that device is gone
        {0, QStringLiteral("virtual.USB Headset"), 1},  // the identifier wins over a stale index
        {1, QStringLiteral("virtual.Unplugged Mic"), 0},
    };
    for (const Case& c : cases) {
        if (c.index.isValid()) {
            AppControl::AppWriteKeyValue(1, SettingsKey::AudioFormatNSNumberKey);
            AppControl::AppWriteKeyValue(c.index, SettingsKey::AudioDeviceNSNumberChoose);
        }
        if (c.uid.isValid())
            AppControl::AppWriteKeyValue(c.uid, SettingsKey::AudioDeviceUniqueID);
        delegate_.chosen.clear();
        auto controller = load();
        const std::string label = c.index.toString().toStdString() + "/" + c.uid.toString().toStdString();
        EXPECT_EQ(controller->popAudioDevices()->currentIndex(), c.chosen) << label << ": the window shows the choice";
        EXPECT_EQ(delegate_.chosen, std::vector<std::int32_t>{c.chosen}) << label;
        EXPECT_EQ(controller->audioFormat_(), c.index.isValid() ? 1 : 0);
        EXPECT_EQ(controller->saveAudioPath(), folder);
        EXPECT_EQ(controller->lblAudioPath()->text(), folder);
        EXPECT_TRUE(QDir(folder).exists());
        EXPECT_EQ(entries(controller->popAudioDevices()),
            (QStringList{"Built-in Microphone", "USB Headset", "Vortanx System Audio"}));
        EXPECT_EQ(entries(controller->popAudioFormat()).size(), 2);
        EXPECT_FALSE(controller->window()->isVisible());
    }
}

TEST_F(ConfigWindowTest, ADeviceChoiceGoesToTheDelegateAtOnceAndIsStoredWhenTheUserClosesTheWindow)
{
    auto controller = load();
    controller->window()->show();
    delegate_.chosen.clear();
    controller->popAudioDevices()->setCurrentIndex(1);
    emit controller->popAudioDevices()->activated(1);
    EXPECT_EQ(delegate_.chosen, std::vector<std::int32_t>{1});
    controller->popAudioFormat()->setCurrentIndex(1);
    controller->close();  // from code, as start-up does
    EXPECT_FALSE(QSettings().contains(SettingsKey::AudioDeviceNSNumberChoose));

    controller->window()->show();
    controller->window()->close();  // the user's close
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::AudioDeviceNSNumberChoose, 0).toInt(), 1);
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::AudioDeviceUniqueID, {}).toString(),
        QStringLiteral("virtual.USB Headset"));
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::AudioFormatNSNumberKey, 0).toInt(), 1);

    controller->setDelegate(nullptr);
    controller->chooseAudioDevice();  // goes nowhere, harmlessly
}

TEST_F(ConfigWindowTest, HelpDocumentIsOpenedFromAPrivateCopyKeptUpToDate)
{
    auto controller = load();
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString copy = runtime + QStringLiteral("/Record Help.pdf");
    const QString shared = QDir::temp().filePath(QStringLiteral("Record Help.pdf"));
    // A file planted where the document used to be copied, and a link where
    // the private copy goes: neither is opened, and the link's target is not written.
    const QString target = runtime + QStringLiteral("/another program's file");
    for (const QString& planted : {shared, target}) {
        QFile file(planted);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not the help document");
    }
    QFile::remove(copy);
    ASSERT_TRUE(QFile::link(target, copy));
    controller->recordComputerAudioHelp();
    controller->recordComputerAudioHelp();
    ASSERT_EQ(workspace_.opened.size(), 2);
    EXPECT_EQ(workspace_.opened[0], QUrl::fromLocalFile(copy));
    EXPECT_EQ(workspace_.opened[1], QUrl::fromLocalFile(copy));
    QFile pdf(copy);
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(pdf.read(5).startsWith("%PDF")) << "the stale copy is replaced";
    EXPECT_FALSE(QFileInfo(copy).isSymLink());
    QFile untouched(target);
    ASSERT_TRUE(untouched.open(QIODevice::ReadOnly));
    EXPECT_EQ(untouched.readAll(), QByteArray("not the help document"));

    controller->openSavePath();
    EXPECT_EQ(workspace_.revealed, QStringList{controller->saveAudioPath()});
}

TEST_F(ConfigWindowTest, AFolderPickedWhileRecordingIsRememberedAndAMissingOneFallsBackToTheDefault)
{
    QDir(home_.path()).mkpath(QStringLiteral("elsewhere/Tunes"));
    ASSERT_TRUE(
        QFile::link(home_.path() + QStringLiteral("/elsewhere/Tunes"), home_.path() + QStringLiteral("/Music")));
    const QString defaultFolder
        = QDir(home_.path()).canonicalPath() + QStringLiteral("/elsewhere/Tunes/org.traytape.TrayTape");
    EXPECT_EQ(ConfigAudioWndController::defaultSaveAudioPath(), defaultFolder) << "resolved before it exists";
    const QString picked = home_.path() + QStringLiteral("/Recordings");
    ASSERT_TRUE(QDir().mkpath(picked));
    {
        // Recording locks the lists but not the folder.
        auto controller = load();
        controller->setISRecording(true);
        EXPECT_FALSE(controller->popAudioDevices()->isEnabled());
        EXPECT_FALSE(controller->popAudioFormat()->isEnabled());
        controller->chooseSavePathFinished(QDialog::Accepted, picked);
        EXPECT_EQ(controller->lblAudioPath()->text(), picked);
        controller->chooseSavePathFinished(QDialog::Rejected, home_.path());
        EXPECT_EQ(controller->saveAudioPath(), picked) << "a cancelled panel keeps the folder";
        controller->setISRecording(false);
        EXPECT_TRUE(controller->popAudioDevices()->isEnabled());
        EXPECT_TRUE(controller->popAudioFormat()->isEnabled());
    }
    {
        ConfigAudioWndController controller;
        QSignalSpy missing(&controller, &ConfigAudioWndController::saveFolderMissing);
        controller.loadWindow();
        EXPECT_EQ(controller.saveAudioPath(), picked);
        EXPECT_EQ(controller.lblAudioPath()->text(), picked);
        EXPECT_TRUE(missing.isEmpty());
    }
    ASSERT_TRUE(QDir(picked).removeRecursively());
    ConfigAudioWndController controller;
    QSignalSpy missing(&controller, &ConfigAudioWndController::saveFolderMissing);
    controller.loadWindow();
    EXPECT_EQ(controller.saveAudioPath(), defaultFolder);
    EXPECT_TRUE(QFileInfo(defaultFolder).isDir());
    ASSERT_EQ(missing.size(), 1);
    EXPECT_EQ(missing[0][0].toString(), picked);
}

TEST_F(ConfigWindowTest, StartAtLoginWritesAndRemovesTheAutostartEntry)
{
    const QString entry = Autostart::entryPath();
    ASSERT_TRUE(entry.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME"))) << "never the real user's folder";
    QFile::remove(entry);
    auto controller = load();
    QCheckBox* box = controller->btnStartAtLogin();
    EXPECT_FALSE(box->isChecked());

    box->click();
    ASSERT_TRUE(QFileInfo::exists(entry));
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("Exec=\"%1\"").arg(QCoreApplication::applicationFilePath())));
    if (!QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty()) {
        const auto check = testsupport::runCommand({"desktop-file-validate", entry.toStdString()});
        EXPECT_TRUE(check.ok()) << check.output << check.errors;
    }
    EXPECT_TRUE(load()->btnStartAtLogin()->isChecked()) << "the window shows what is set";
    EXPECT_EQ(Autostart::quotedArgument(QStringLiteral("/opt/Tray \"Tape\" 100%/$bin`x`\\")),
        QStringLiteral(R"("/opt/Tray \\"Tape\\" 100%%/\\$bin\\`x\\`\\\\")"));

    box->click();
    EXPECT_FALSE(QFileInfo::exists(entry));

    // A folder that cannot be made: the box does not claim what did not happen.
    const QString folder = QFileInfo(entry).path();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    box->click();
    EXPECT_FALSE(box->isChecked());
    QFile::remove(folder);
}
