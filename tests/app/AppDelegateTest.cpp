// The tray application as a whole on the offscreen platform with the
// virtual sound backend: launch, the record command and its session (pause
// included), quit, failures told in notifications, its timers under an open
// menu, its configuration window's settings, and how it lives on a desktop
// without a tray.
#include "AppTestSupport.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "View/AudioWaveView.h"
#include "Tray/QuitSignals.h"
#include "platform/InterruptedRecording.h"
#include "Desktop/Autostart.h"
#include "platform/pulse/PulsePlatform.h"
#include "Desktop/Resources.h"
#include "Desktop/SingleInstance.h"
#include "Desktop/Translations.h"
#include "support/DecodedFile.h"
#include "support/GatedFile.h"
#include "support/MonitorCapture.h"
#include "support/PixelContrast.h"
#include "support/PulseServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocalSocket>
#include <QPainter>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyle>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTextBrowser>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTest>
#include <QThread>
#include <QToolButton>

#include <csignal>
#include <fcntl.h>
#include <future>
#include <limits>
#include <malloc.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Access = AppDelegateTestAccess;
const QString kMark = QStringLiteral("RecordingInProgress");

// The peak absolute sample of the first channel of an audio file.
float peakOf(const QString& path)
{
    const DecodedFile decoded = decodeFile(path.toStdString());
    float peak = 0;
    for (const float sample : decoded.channels.at(0))
        peak = std::max(peak, std::fabs(sample));
    return peak;
}

class AppDelegateTest : public AppTest {
protected:
    static QString mark() { return AppControl::AppReadKeyValue(kMark, QString()).toString(); }
    static QString markedPath() { return QString::fromStdString(recordingMarkPath(mark().toStdString())); }
};

}  // namespace

TEST_F(AppDelegateTest, LaunchFollowsTheStoredSettingsAndMakesTheSaveFolder)
{
    struct Case {
        QVariant open, index, uid;  // the windows, the device's index and its identifier
        bool opened;
        int device;
    };
    const Case cases[] = {
        {{}, {}, {}, true, 0},                                    // first start: the default input
        {0, 1, {}, false, 2},                                     // an index stored before identifiers were
        {5, 7, {}, true, 0},                                      // any non-zero opens; an index past the list
        {0, 0, QStringLiteral("virtual.USB Headset"), false, 2},  // the identifier wins over a stale index
    };
    const QString folder = home_.path() + QStringLiteral("/Music/org.traytape.TrayTape");
    ASSERT_FALSE(QDir(home_.path() + QStringLiteral("/Music")).exists());
    for (const Case& c : cases) {
        const std::string label = c.open.toString().toStdString() + "/" + c.index.toString().toStdString();
        QSettings().clear();
        if (c.open.isValid()) {
            AppControl::AppWriteKeyValue(c.open, SettingsKey::OpenAppShowHelpWnd);
            AppControl::AppWriteKeyValue(c.open, SettingsKey::OpenAppRecordingPanel);
            AppControl::AppWriteKeyValue(c.index, SettingsKey::AudioDeviceNSNumberChoose);
            AppControl::AppWriteKeyValue(1, SettingsKey::AudioFormatNSNumberKey);
        }
        if (c.uid.isValid())
            AppControl::AppWriteKeyValue(c.uid, SettingsKey::AudioDeviceUniqueID);
        auto app = launch();
        ConfigAudioWndController& config = Access::config(*app);
        EXPECT_EQ(app->window()->isVisible(), c.opened) << label;
        EXPECT_EQ(Access::find<QCheckBox>(*app, "btnShowHelpWnd")->isChecked(), c.opened) << label;
        EXPECT_EQ(Access::find<QWidget>(*app, "wndRecordingPanel")->isVisible(), c.opened) << label;
        EXPECT_EQ(Access::find<QCheckBox>(*app, "btnShowRecordingPanel")->isChecked(), c.opened) << label;
        EXPECT_EQ(capturingDevice(), c.device ? headset_ : mic_) << label;
        EXPECT_EQ(config.popAudioDevices()->currentIndex(), c.device) << label << ": the window shows the choice";
        EXPECT_EQ(config.audioFormat_(), c.open.isValid() ? 1 : 0) << label;
        EXPECT_EQ(QSettings().contains(SettingsKey::OpenAppShowHelpWnd), c.open.isValid()) << "defaults are not stored";
        EXPECT_EQ(config.lblAudioPath()->text(), folder);
        EXPECT_TRUE(QDir(folder).exists());
    }

    // Toggled check boxes only store the choice; the windows stay as they are.
    QSettings().clear();
    auto app = launch();
    Access::find<QCheckBox>(*app, "btnShowHelpWnd")->click();
    Access::find<QCheckBox>(*app, "btnShowRecordingPanel")->click();
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppShowHelpWnd, 1).toInt(), 0);
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppRecordingPanel, 1).toInt(), 0);
    EXPECT_TRUE(app->window()->isVisible());
    EXPECT_FALSE(Access::config(*app).window()->isVisible());
    EXPECT_FALSE(Access::recorder(*app).isStart()) << "captures, but writes nothing until a recording starts";
    EXPECT_EQ(libraryLog_.value(0), QStringLiteral("window")) << "the library loads at start-up";
    EXPECT_TRUE(workspace_.raised.isEmpty());

    // A choice in the configuration window is taken and stored at once, on
    // disk with the window still open: an abrupt end a moment later keeps it.
    ConfigAudioWndController& config = Access::config(*app);
    config.window()->show();
    const auto choose = [](QComboBox* list, int index) {
        list->setCurrentIndex(index);
        emit list->activated(index);
    };
    // Read from a copy of the file, so that the process's own cache of it cannot answer.
    const auto onDisk = [&](const QString& key) {
        const QString copy = home_.filePath(QStringLiteral("settings on disk.ini"));
        QFile::remove(copy);
        EXPECT_TRUE(QFile::copy(QSettings().fileName(), copy));
        return QSettings(copy, QSettings::IniFormat).value(key);
    };
    choose(config.popAudioDevices(), 2);
    EXPECT_EQ(capturingDevice(), headset_);
    // Mixing the computer's sound in is stored at once and opens the input again with it;
    // only then is there a mix whose sources can each be kept in a file of their own.
    EXPECT_FALSE(config.btnSeparateSources()->isEnabled());
    config.btnWithSystemAudio()->click();
    EXPECT_TRUE(onDisk(SettingsKey::RecordWithSystemAudio).toBool());
    ASSERT_TRUE(config.btnSeparateSources()->isEnabled());
    config.btnSeparateSources()->click();
    EXPECT_TRUE(onDisk(SettingsKey::RecordSeparateSources).toBool());
    EXPECT_TRUE(Access::recorder(*app).withSystemAudio() && capturingDevice() == headset_);
    EXPECT_EQ(onDisk(SettingsKey::AudioDeviceNSNumberChoose).toInt(), 2);
    EXPECT_EQ(onDisk(SettingsKey::AudioDeviceUniqueID).toString(), QStringLiteral("virtual.USB Headset"));
    // Beside the format, its own choices as installed (M4A: 44.1 kHz stereo at the encoder's bit rate); only
    // what a format takes is enabled, and a choice carries over to the next format that takes it.
    const auto enabled = [](QComboBox* list) {
        QStringList on;
        for (int i = 0; list->isEnabled() && i < list->count(); ++i)
            if (qobject_cast<QStandardItemModel*>(list->model())->item(i)->isEnabled())
                on << list->itemData(i).toString();
        return on.join(' ');
    };
    EXPECT_EQ(config.audioQuality(), (AudioQuality{.sampleRate = 44100, .channels = 2}));
    EXPECT_EQ(enabled(config.popBitDepth()), QString());
    EXPECT_EQ(enabled(config.popBitRate()), QStringLiteral("0 32000 48000 64000 96000 128000 160000 192000 256000"));
    choose(config.popAudioFormat(), 1);
    EXPECT_EQ(onDisk(SettingsKey::AudioFormatNSNumberKey).toInt(), 1);
    EXPECT_EQ(enabled(config.popSampleRate()), QStringLiteral("44100 48000 -1"));
    EXPECT_EQ(enabled(config.popBitDepth()), QStringLiteral("16 24 32 32f"));
    EXPECT_EQ(enabled(config.popBitRate()), QString());
    EXPECT_EQ(config.audioQuality(), (AudioQuality{.sampleRate = 44100, .channels = 2, .depth = SampleDepth::Int32}));
    choose(config.popSampleRate(), 2);
    choose(config.popChannels(), 1);
    choose(config.popBitDepth(), 1);
    EXPECT_EQ(onDisk(SettingsKey::RecordSampleRate).toInt(), AudioQuality::kSourceRate);
    EXPECT_EQ(onDisk(SettingsKey::RecordChannels).toInt(), 1);
    EXPECT_EQ(onDisk(SettingsKey::RecordBitDepth).toString(), QStringLiteral("24"));
    choose(config.popAudioFormat(), 3);  // Opus: 48 kHz only, no depth
    EXPECT_EQ(enabled(config.popSampleRate()), QStringLiteral("48000"));
    EXPECT_EQ(
        enabled(config.popBitRate()), QStringLiteral("0 24000 32000 48000 64000 96000 128000 160000 192000 256000"));
    choose(config.popBitRate(), config.popBitRate()->findData(64000));
    EXPECT_EQ(config.audioQuality(), (AudioQuality{.sampleRate = 48000, .channels = 1, .bitRate = 64000}));
    choose(config.popAudioFormat(), 2);  // FLAC: the 24 bits carry over, the bit rate does not apply
    EXPECT_EQ(enabled(config.popBitDepth()), QStringLiteral("16 24"));
    const AudioQuality chosen{.sampleRate = 48000, .channels = 1, .depth = SampleDepth::Int24};
    EXPECT_EQ(config.audioQuality(), chosen);
    config.chooseSavePathFinished(QDialog::Accepted, home_.path());
    EXPECT_EQ(onDisk(SettingsKey::SaveAudioPath).toString(), home_.path());
    // A folder whose name is no text Qt can hold reaches it with stand-ins: refused for that reason, the choice kept.
    QSignalSpy told(app.get(), &AppDelegate::userNotified);
    config.chooseSavePathFinished(QDialog::Accepted, home_.filePath(QString::fromUtf8("M\xef\xbf\xbdsica")));
    EXPECT_EQ(config.lblAudioPath()->text(), home_.path());
    EXPECT_EQ(onDisk(SettingsKey::SaveAudioPath).toString(), home_.path());
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0][1].toString().contains(QStringLiteral("not valid text"))) << qPrintable(told[0][1].toString());
    EXPECT_TRUE(config.window()->isVisible());
    choose(config.popAudioDevices(), 0);
    EXPECT_EQ(onDisk(SettingsKey::AudioDeviceUniqueID).toString(), kDefaultInputUID);
    app.reset();
    app = launch();  // a restart shows and mixes in the computer's sound as chosen, each source kept apart
    EXPECT_TRUE(Access::config(*app).btnWithSystemAudio()->isChecked() && Access::recorder(*app).withSystemAudio());
    EXPECT_TRUE(Access::config(*app).btnSeparateSources()->isChecked() && Access::recorder(*app).separateSources());
    EXPECT_EQ(Access::config(*app).audioQuality(), chosen);
}

TEST_F(AppDelegateTest, HelpOpensFromAPrivateCopyAndStartAtLoginWritesAndRemovesTheAutostartEntry)
{
    const QString entry = Autostart::entryPath();
    ASSERT_TRUE(entry.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME"))) << "never the real user's folder";
    QFile::remove(entry);
    auto app = launchPinned();
    ConfigAudioWndController& config = Access::config(*app);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString copy = runtime + QStringLiteral("/Record Help.pdf");
    // A file planted where the document used to be copied, and a link where
    // the private copy goes: neither is opened, and the link's target is not written.
    const QString target = runtime + QStringLiteral("/another program's file");
    for (const QString& planted : {QDir::temp().filePath(QStringLiteral("Record Help.pdf")), target}) {
        QFile file(planted);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not the help document");
    }
    QFile::remove(copy);
    ASSERT_TRUE(QFile::link(target, copy));
    config.recordComputerAudioHelp();
    config.recordComputerAudioHelp();
    EXPECT_EQ(workspace_.opened, (QList<QUrl>{QUrl::fromLocalFile(copy), QUrl::fromLocalFile(copy)}));
    QFile pdf(copy);
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(pdf.read(5).startsWith("%PDF")) << "the link is replaced";
    EXPECT_FALSE(QFileInfo(copy).isSymLink());
    QFile untouched(target);
    ASSERT_TRUE(untouched.open(QIODevice::ReadOnly));
    EXPECT_EQ(untouched.readAll(), QByteArray("not the help document"));

    QCheckBox* box = config.btnStartAtLogin();
    EXPECT_FALSE(box->isChecked());
    box->click();
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("Exec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\""));
    ConfigAudioWndController reloaded;
    reloaded.loadWindow();
    EXPECT_TRUE(reloaded.btnStartAtLogin()->isChecked()) << "the window shows what is set";
    EXPECT_EQ(Autostart::quotedArgument(QStringLiteral("/opt/Tray \"Tape\" 100%/$bin`x`\\")),
        QStringLiteral(R"("/opt/Tray \\"Tape\\" 100%%/\\$bin\\`x\\`\\\\")"));
    box->click();
    EXPECT_FALSE(QFileInfo::exists(entry));
}

TEST_F(AppDelegateTest, EveryMenuItemRunsItsOwnCommand)
{
    auto app = launchPinned();
    for (const char* item : {"showConfigItem", "showRecordingPanelItem", "showLibraryItem"})
        Access::find<QAction>(*app, item)->trigger();
    ASSERT_EQ(workspace_.raised.size(), 3);
    EXPECT_EQ(workspace_.raised.mid(0, 2),
        (QList<QWidget*>{Access::config(*app).window(), Access::find<QWidget>(*app, "wndRecordingPanel")}));
    EXPECT_NE(workspace_.raised[2], nullptr) << "the library window";
    // Help opens the full guide, not the welcome window, which closes with its button or Escape.
    Access::find<QAction>(*app, "showHelpItem")->trigger();
    EXPECT_EQ(workspace_.opened, QList<QUrl>{QUrl::fromLocalFile(ConfigAudioWndController::helpDocumentCopy())});
    EXPECT_FALSE(app->window()->isVisible());
    QTest::mouseClick(Access::find<QPushButton>(*app, "btnHelpClose"), Qt::LeftButton);
    EXPECT_FALSE(app->window()->isVisible());
    app->window()->show();
    QTest::keyClick(Access::find<QWidget>(*app, "helpText"), Qt::Key_Escape);
    EXPECT_FALSE(app->window()->isVisible());

    // The support page is a page on the web; only a developer's build, given none, opens its README.
    Access::find<QAction>(*app, "supportItem")->trigger();
    ASSERT_EQ(workspace_.opened.size(), 2);
    EXPECT_EQ(workspace_.opened[1], supportPageUrl());
    QFile readme(TRAYTAPE_SOURCE_DIR "/README.md"), shown(supportPageUrl().toLocalFile());
    EXPECT_TRUE(kSupportPageAddress[0] ? supportPageUrl().scheme() == QLatin1String("https")
                                       : readme.open(QIODevice::ReadOnly) && shown.open(QIODevice::ReadOnly)
                && shown.fileName().startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR"))
                && shown.readAll() == readme.readAll())
        << supportPageUrl().toString().toStdString();
    Access::find<QAction>(*app, "quitItem")->trigger();
    EXPECT_TRUE(libraryLog_.contains(QStringLiteral("writeData")));
}

TEST_F(AppDelegateTest, InGermanTheMenuFollowsATakeAndACountTakesItsPlural)
{
    // Installed before the controller, as main does: the interface files are read in it.
    const Translations german(QLocale(QLocale::German, QLocale::Germany));
    auto app = launchPinned();
    const auto item = [&](const char* name) { return Access::find<QAction>(*app, name)->text(); };
    EXPECT_EQ(item("recordMenuItem"), QStringLiteral("Aufnahme starten"));
    EXPECT_EQ(item("showConfigItem"), QStringLiteral("Einstellungen\u2026"));
    EXPECT_EQ(item("quitItem"), QStringLiteral("TrayTape beenden"));
    Access::find<QAction>(*app, "recordMenuItem")->trigger();
    EXPECT_EQ(item("recordMenuItem"), QStringLiteral("Aufnahme beenden"));
    EXPECT_EQ(item("pauseMenuItem"), QStringLiteral("Aufnahme pausieren"));
    EXPECT_EQ(item("timeMenuItem"), QStringLiteral("Aufnahmedauer: 00:00:00"));
    Access::find<QAction>(*app, "recordMenuItem")->trigger();
    completeRecordings(*app);
    const auto unreadable = [](int lines) {
        return QCoreApplication::translate("AudioLibraryWnd",
            "%n line(s) of %1 name no recording TrayTape can read; they are kept there as they are.", nullptr, lines);
    };
    EXPECT_TRUE(unreadable(1).startsWith(QStringLiteral("1 Zeile in %1 nennt"))) << unreadable(1).toStdString();
    EXPECT_TRUE(unreadable(3).startsWith(QStringLiteral("3 Zeilen in %1 nennen"))) << unreadable(3).toStdString();
}

TEST_F(AppDelegateTest, ARecordingMakesOneNewDatedFileMarkedUntilTheLibraryHasIt)
{
    // The default folder: home + Music with links resolved, + the identifier.
    QDir(home_.path()).mkpath(QStringLiteral("elsewhere/Tunes"));
    ASSERT_TRUE(
        QFile::link(home_.path() + QStringLiteral("/elsewhere/Tunes"), home_.filePath(QStringLiteral("Music"))));
    EXPECT_EQ(
        saveFolder(), QDir(home_.path()).canonicalPath() + QStringLiteral("/elsewhere/Tunes/org.traytape.TrayTape"));
    auto app = launchPinned();
    ConfigAudioWndController& config = Access::config(*app);
    QAction* recordItem = Access::find<QAction>(*app, "recordMenuItem");
    QLabel* clock = Access::find<QLabel>(*app, "lblRecordAudioTime");
    EXPECT_FALSE(libraryLog_.join(' ').contains("recover")) << "nothing was cut off";

    recordItem->trigger();
    const QString path = stamped();
    EXPECT_EQ(recordItem->text(), QStringLiteral("Stop Record"));
    EXPECT_FALSE(config.popAudioDevices()->isEnabled());
    EXPECT_FALSE(config.btnWithSystemAudio()->isEnabled());
    // On disk at once, since a crash gives no chance to write it later.
    QFile stored(QSettings().fileName());
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_TRUE(stored.readAll().contains("RecordingInProgress=" + saveFolder().toUtf8()));
    EXPECT_EQ(markedPath(), path);
    EXPECT_NE(mark(), path) << "the mark also says what identifies the file";
    EXPECT_EQ(libraryRecording_(), path) << "the library never exports onto it";
    feed(50);  // the clock shows the audio written: 1.07 s
    // Markers at the frames written, handed to the library with the file.
    Access::find<QAction>(*app, "markMenuItem")->trigger();
    feed(10);
    Access::find<QToolButton>(*app, "btnAddMarker")->click();
    app->showRecordTime();
    EXPECT_EQ(clock->text(), QStringLiteral("00:00:01"));
    EXPECT_EQ(Access::find<QAction>(*app, "timeMenuItem")->text(), QStringLiteral("Recorded Time: 00:00:01"));
    EXPECT_EQ(AppControl::getStringFromTimeValue(360065), QStringLiteral("100:01:05")) << "hours never wrap";
    // A stored length of any value is clamped before it becomes whole seconds
    // or tenths; tenths are cut, so a position never reads past its end.
    for (const auto& [seconds, whole, tenths] : {std::tuple{3.4e38, "277777:46:40", "277777:46:40.0"},
             {1e300, "277777:46:40", "277777:46:40.0"}, {std::nan(""), "00:00:00", "00:00.0"},
             {-HUGE_VAL, "00:00:00", "00:00.0"}, {HUGE_VAL, "277777:46:40", "277777:46:40.0"},
             {-5.0, "00:00:00", "00:00.0"}, {59.96, "00:00:59", "00:59.9"}, {3725.25, "01:02:05", "1:02:05.2"}}) {
        EXPECT_EQ(AppControl::timeText(seconds), QLatin1String(whole)) << seconds;
        EXPECT_EQ(AppControl::tenthsText(seconds), QLatin1String(tenths)) << seconds;
    }

    Access::find<QToolButton>(*app, "btnStartRecord")->click();
    EXPECT_FALSE(Access::recordTimerRunning(*app));
    EXPECT_EQ(clock->text(), QStringLiteral("00:00:00")) << "the next take starts from nothing";
    EXPECT_EQ(recordItem->text(), QStringLiteral("Start Record"));
    EXPECT_TRUE(libraryRecording_().isEmpty()) << "until its completion, the mark names it";
    EXPECT_TRUE(config.popAudioDevices()->isEnabled());
    EXPECT_EQ(libraryLog_.mid(1), QStringList{}) << "the file goes to the library once it is complete";
    EXPECT_EQ(markedPath(), path) << "kept until the file is complete";
    completeRecordings(*app);
    EXPECT_TRUE(mark().isEmpty());
    EXPECT_EQ(workspace_.revealed, QStringList{path});
    EXPECT_EQ(workspace_.offered, QStringList{path}) << "its notification offers to open or show it";
    // Added, laid out, then brought to the front.
    EXPECT_EQ(libraryLog_.mid(1), (QStringList{"add " + path + " 1.06667 1.28", "flush", "window"}));

    // Unchecked in the preferences (and stored at once), later files are
    // listed and the library comes forward, but no file manager opens.
    auto* reveal = config.window()->findChild<QCheckBox*>(QStringLiteral("btnRevealNewRecording"));
    ASSERT_TRUE(reveal && reveal->isChecked());
    reveal->click();
    EXPECT_FALSE(QSettings().value(SettingsKey::RevealNewRecording).toBool());
    // The same second again never replaces a file; format 1 is WAVE.
    recordTone(*app);
    recordTone(*app);
    // Not listening between takes, the input is closed while idle and opened
    // for a take, which holds the sound all the same (its peak, below).
    auto* listen = config.window()->findChild<QCheckBox*>(QStringLiteral("btnListenWhenIdle"));
    ASSERT_TRUE(listen && listen->isChecked() && capturingDevice() != 0);
    listen->click();
    EXPECT_FALSE(QSettings().value(SettingsKey::ListenWhenIdle).toBool());
    EXPECT_EQ(capturingDevice(), 0u);
    // The recipe takes the choices beside the format: this WAV is mono at 48 kHz, in parts of 15 minutes.
    config.window()->findChild<QComboBox*>(QStringLiteral("popSplitEvery"))->setCurrentIndex(1);
    EXPECT_EQ(QSettings().value(SettingsKey::SplitEverySeconds).toInt(), 900);
    config.popAudioFormat()->setCurrentIndex(1);
    emit config.popAudioFormat()->activated(1);
    config.popSampleRate()->setCurrentIndex(1);
    config.popChannels()->setCurrentIndex(1);
    app->startAndStopRecord();
    EXPECT_NE(capturingDevice(), 0u);
    feed(20);
    app->startAndStopRecord();
    completeRecordings(*app);
    EXPECT_EQ(capturingDevice(), 0u);
    listen->click();
    EXPECT_NE(capturingDevice(), 0u);
    EXPECT_EQ(workspace_.revealed, QStringList{path});
    EXPECT_EQ(workspace_.offered.size(), 4) << "the notification still offers it";
    EXPECT_EQ(libraryLog_.count(QStringLiteral("window")), 5);
    EXPECT_EQ(recordings(),
        (QStringList{"24_03_05 14_07_09_Audio (2).m4a", "24_03_05 14_07_09_Audio (3).m4a",
            "24_03_05 14_07_09_Audio 001.wav", "24_03_05 14_07_09_Audio.m4a"}));
    for (const QString& name : recordings())
        EXPECT_GT(peakOf(saveFolder() + "/" + name), 0.3f) << name.toStdString();
    const DecodedFile mono = decodeFile((saveFolder() + "/24_03_05 14_07_09_Audio 001.wav").toStdString());
    EXPECT_TRUE(mono.sampleRate == 48000 && mono.channels.size() == 1) << mono.sampleRate;

    // A folder picked while recording (which locks the lists, not the folder)
    // is shown, remembered, and where the next recordings go.
    const QString picked = home_.filePath(QStringLiteral("Recordings"));
    ASSERT_TRUE(QDir().mkpath(picked));
    app->startAndStopRecord();
    config.chooseSavePathFinished(QDialog::Accepted, picked);
    config.chooseSavePathFinished(QDialog::Rejected, home_.path());
    EXPECT_EQ(config.lblAudioPath()->text(), picked) << "a cancelled panel keeps the folder";
    config.openSavePath();
    EXPECT_EQ(workspace_.revealed.last(), picked);
    app->startAndStopRecord();
    completeRecordings(*app);

    // A mark left by a crash: the library recovers the file, then the mark goes.
    app.reset();
    libraryLog_.clear();
    AppControl::AppWriteKeyValue(path, kMark);
    app = launchPinned();
    EXPECT_TRUE(libraryLog_.contains("recover " + path));
    EXPECT_TRUE(mark().isEmpty());
    recordTone(*app);
    EXPECT_EQ(QDir(picked).entryList(QDir::Files).size(), 1);
}

TEST_F(AppDelegateTest, WhatCannotRecordStartsNothingAndAGoneDeviceFallsBackToTheDefault)
{
    // The headset is the server's default input, so it heads the list.
    audio_->setDefaultInputDevice(headset_);
    AppControl::AppWriteKeyValue(1, SettingsKey::AudioDeviceNSNumberChoose);
    AppControl::AppWriteKeyValue(QStringLiteral("virtual.Unplugged USB Mic"), SettingsKey::AudioDeviceUniqueID);
    {
        auto app = launchPinned();
        EXPECT_EQ(capturingDevice(), headset_);
        Access::config(*app).window()->show();
        Access::config(*app).window()->close();  // the user's close keeps the missing device wanted
        EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::AudioDeviceUniqueID, {}).toString(),
            QStringLiteral("virtual.Unplugged USB Mic"));
        // Recorded from the default input, and said so: by the identifier
        // of a device never seen, by its name once the list showed it.
        QSignalSpy told(app.get(), &AppDelegate::userNotified);
        app->startAndStopRecord();
        feed(1, 0.5f, headset_);
        app->startAndStopRecord();
        completeRecordings(*app);
        ASSERT_EQ(recordings().size(), 1);
        EXPECT_GT(peakOf(saveFolder() + QLatin1Char('/') + recordings()[0]), 0.3f);
        const int microphone = Access::config(*app).popAudioDevices()->findText(QStringLiteral("Built-in Microphone"));
        ASSERT_GE(microphone, 0);
        Access::config(*app).popAudioDevices()->setCurrentIndex(microphone);
        emit Access::config(*app).popAudioDevices()->activated(microphone);
        EXPECT_EQ(capturingDevice(), mic_);
        ASSERT_TRUE(audio_->removeDevice(mic_));
        Access::followDeviceList(*app);
        app->startAndStopRecord();
        feed(1, 0.5f, headset_);
        app->startAndStopRecord();
        completeRecordings(*app);
        ASSERT_EQ(told.size(), 2);
        EXPECT_EQ(told[0][1].toString(),
            QStringLiteral("\u201Cvirtual.Unplugged USB Mic\u201D is gone: recording from \u201CUSB Headset\u201D"));
        EXPECT_EQ(told[1][1].toString(),
            QStringLiteral("\u201CBuilt-in Microphone\u201D is gone: recording from \u201CUSB Headset\u201D"));
        ASSERT_EQ(recordings().size(), 2);
        QFile::remove(saveFolder() + QLatin1Char('/') + recordings()[1]);
        VirtualDevice back;
        back.name = "Built-in Microphone";
        back.uid = "virtual.Built-in Microphone";
        mic_ = audio_->addDevice(back);
        // Started and stopped before any audio came, over and over: no file
        // (an M4A of no sample plays nowhere) and no row.
        libraryLog_.clear();
        for (int i = 0; i < 20; ++i)
            app->startAndStopRecord();
        completeRecordings(*app);
        EXPECT_EQ(recordings().size(), 1);
        EXPECT_FALSE(libraryLog_.join(' ').contains(QStringLiteral("add"))) << libraryLog_.join(' ').toStdString();
    }

    // A file that cannot be created, a device that cannot be opened, the
    // chosen device gone from the server since, then no device at all:
    // nothing starts, and the user is told why.
    const char* const says[] = {"missing/folder/24_03_05 14_07_09_Audio.m4a (no such folder)", "No input device",
        "No input device", "The input device \u201CUSB Headset\u201D is no longer available"};
    for (const int cause : {0, 1, 3, 2}) {
        QSettings().clear();
        if (cause == 1)
            audio_->failAlways(VirtualStep::Start);
        else
            audio_->clearFailures();
        ASSERT_TRUE(cause != 2 || audio_->removeDevice(mic_));
        auto app = launchPinned();
        audio_->clearFailures();  // a device that could not be opened is not tried again at the start
        if (cause == 0)
            Access::config(*app).setSaveAudioPath(home_.path() + QStringLiteral("/missing/folder"));
        ASSERT_TRUE(cause != 3 || audio_->removeDevice(headset_));
        QSignalSpy told(app.get(), &AppDelegate::userNotified);
        app->startAndStopRecord();
        ASSERT_EQ(told.size(), 1) << cause;
        EXPECT_TRUE(told[0][1].toString().contains(QString::fromUtf8(says[cause]))) << cause;
        EXPECT_FALSE(Access::session(*app).isActive());
        EXPECT_FALSE(Access::recordTimerRunning(*app));
        EXPECT_EQ(Access::find<QAction>(*app, "recordMenuItem")->text(), QStringLiteral("Start Record"));
        EXPECT_TRUE(Access::config(*app).popAudioDevices()->isEnabled());
        EXPECT_EQ(recordings().size(), 1) << "no empty file is made";
    }
}

TEST_F(AppDelegateTest, ATerminationSignalWhilePausedCompletesTheFileAndStoresTheLibrary)
{
    auto app = launchPinned();
    QuitSignals quitSignals;
    ASSERT_TRUE(quitSignals.isInstalled());
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, app.get(), [&app] { app->quitTheApp(); });
    app->startAndStopRecord();
    feed(20);
    app->pauseAndResumeRecord();  // a paused recording is completed as a running one
    std::raise(SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Access::session(*app).isActive(); }, 5000));
    EXPECT_FALSE(Access::recorder(*app).isCompleting()) << "quitting waited for the file";
    EXPECT_EQ(libraryLog_.mid(1), (QStringList{"add " + stamped(), "flush", "writeData"}));
    EXPECT_TRUE(workspace_.revealed.isEmpty()) << "quitting reveals nothing";
    EXPECT_GT(peakOf(stamped()), 0.3f);
    app->applicationWillTerminate();  // aboutToQuit after Quit: nothing happens twice
    EXPECT_EQ(libraryLog_.count("writeData"), 1);
}

// The session's events in the tray's words: a file moved (the take goes on
// and is listed where it is) or removed (it ends, and nothing is listed), a
// vanished device (told once, paused or not), audio the disk could not
// take, a full disk, silence and a muted input.
TEST_F(AppDelegateTest, WhatTheSessionTellsIsToldInNotificationsAndTheControlsFollow)
{
    using namespace std::chrono_literals;
    auto app = launchPinned();
    RecordSession::Clock::time_point now;
    Access::session(*app).setSilenceTimes(30s, 10min, [&now] { return now; });
    QSignalSpy told(app.get(), &AppDelegate::userNotified);
    const QString renamed = stamped(" (renamed).m4a");
    for (const bool deleted : {false, true}) {
        libraryLog_.clear();
        app->startAndStopRecord();
        feed(20);
        ASSERT_TRUE(deleted ? QFile::remove(stamped()) : QFile::rename(stamped(), renamed));
        Access::check(*app);
        feed(20);
        ASSERT_EQ(told.size(), deleted ? 2 : 1);
        EXPECT_EQ(told.back()[1].toString(),
            deleted ? QStringLiteral("The file 24_03_05 14_07_09_Audio.m4a was removed while recording: the take is lost.")
                    : QStringLiteral("The file being recorded was moved: recording continues at ") + renamed);
        EXPECT_EQ(Access::session(*app).isActive(), !deleted);
        if (!deleted)
            app->startAndStopRecord();
        completeRecordings(*app);
        EXPECT_EQ(libraryLog_, deleted ? QStringList() : (QStringList{"add " + renamed, "flush", "window"}));
        EXPECT_FALSE(QFile::exists(stamped())) << "nothing is put in its place";
    }
    EXPECT_NEAR(decodeFile(renamed.toStdString()).seconds(), 2 * 20 * 1024 / 48000.0, 0.05);

    app->startAndStopRecord();
    auto gate = std::make_shared<FileGate>();
    ASSERT_TRUE(GatedFile::install(Access::recorder(*app).audioOutput(), gate));
    gate->refuse = 70;  // 1.5 s
    feed(70);
    Access::check(*app);
    feed(1);
    Access::check(*app);
    ASSERT_EQ(told.size(), 3);
    EXPECT_EQ(told[2][1].toString(), QStringLiteral("1.5 s of audio were lost"));
    gate->failure = kAudioFileDiskFullError;
    Access::check(*app);
    EXPECT_TRUE(!Access::session(*app).isActive() && told.size() == 4
        && told.back()[1].toString().contains(QStringLiteral("(the disk is full)")));

    app->startAndStopRecord();
    now += 30s;
    ASSERT_TRUE(audio_->runCycle(mic_, {std::vector<float>(512, 0.0f), std::vector<float>(512, 0.0f)}));
    Access::check(*app);
    ASSERT_EQ(told.size(), 5);
    EXPECT_EQ(
        told[4][1].toString(), QStringLiteral("TrayTape is recording silence from \u201CBuilt-in Microphone\u201D"));
    app->startAndStopRecord();
    const std::uint32_t muted = 1;
    ASSERT_EQ(
        audio_->setPropertyData(mic_, {kAudioDevicePropertyMute, kAudioDevicePropertyScopeInput, 1}, 4, &muted), noErr);
    app->startAndStopRecord();
    ASSERT_EQ(told.size(), 6);
    EXPECT_EQ(told[5][1].toString(),
        QStringLiteral("\u201CBuilt-in Microphone\u201D is muted: the recording will be silent"));

    completeRecordings(*app);
    libraryLog_.clear();
    feed(20);
    app->pauseAndResumeRecord();
    ASSERT_TRUE(audio_->removeDevice(mic_));
    Access::check(*app);
    ASSERT_EQ(told.size(), 7);
    EXPECT_TRUE(told[6][1].toString().contains(QStringLiteral("Built-in Microphone")));
    EXPECT_FALSE(Access::session(*app).isActive());
    EXPECT_EQ(Access::find<QAction>(*app, "recordMenuItem")->text(), QStringLiteral("Start Record"));
    completeRecordings(*app);
    EXPECT_EQ(libraryLog_, (QStringList{"add " + stamped(" (3).m4a"), "flush"}));
    EXPECT_GT(peakOf(stamped(" (3).m4a")), 0.3f);
    Access::check(*app);
    EXPECT_EQ(told.size(), 7) << "told once";
}

// The tray draws every push: an XEmbed tray paints the icon into its slot, a
// StatusNotifierItem host reads each of its sizes. A day of a moving meter is
// a million pushes, so a few thousand must leave nothing behind.
TEST_F(AppDelegateTest, LevelIconIsPushedOnlyWhenItsPixelsChangeLeavesNothingBehindAndTimersRunUnderAnOpenMenu)
{
    auto app = launchPinned();
    const int initial = Access::levelIconPushes(*app);
    for (int i = 0; i < 30; ++i)
        app->showAudioLevel();  // silence: every redraw is the same dark meter
    EXPECT_EQ(Access::levelIconPushes(*app), initial);
    feed(1);
    for (int i = 0; i < 11; ++i)
        app->showAudioLevel();
    EXPECT_EQ(Access::levelIconPushes(*app), initial + 2) << "the page flips, then the peak cell arrives";
    EXPECT_EQ(Access::find<AudioWaveView>(*app, "panelAudioWaveView")->buildInAudioWave()->value(9),
        Access::recorder(*app).audioLevel())
        << "the panel's meter is fed the same levels";

    QImage slot(22, 22, QImage::Format_ARGB32_Premultiplied);
    const auto tickAndDraw = [&](int ticks) {
        for (int i = 0; i < ticks; ++i) {
            feed(1, float(i % 13) / 26);  // a period of 13 against pages of 10
            app->showAudioLevel();
            const QIcon icon = Access::statusAudioWave(*app)->icon();
            QPainter painter(&slot);
            icon.paint(&painter, slot.rect());
            for (const QSize& size : icon.availableSizes())
                EXPECT_EQ(icon.pixmap(size).size(), size);
        }
    };
    tickAndDraw(100);  // the painters' own first allocations
    const int pushes = Access::levelIconPushes(*app);
    const struct mallinfo2 before = mallinfo2();
    tickAndDraw(6000);
    const struct mallinfo2 after = mallinfo2();
    EXPECT_GT(Access::levelIconPushes(*app) - pushes, 2000) << "the meter moved at most redraws";
    EXPECT_LT(double(after.uordblks + after.hblkhd) - double(before.uordblks + before.hblkhd), 512 * 1024)
        << "bytes left on the heap";

    // Both timers tick inside the menu's own nested event loop.
    Access::levelTimer(*app)->start();
    app->startAndStopRecord();
    QMenu* menu = Access::menu(*app);
    QLabel* clock = Access::find<QLabel>(*app, "lblRecordAudioTime");
    int levelTicks = 0;
    QObject::connect(Access::levelTimer(*app), &QTimer::timeout, menu, [&] {
        if (Access::recorder(*app).audioLength() < 1.5)
            feed(5);
        if (++levelTicks >= 20 && clock->text() == QStringLiteral("00:00:01"))
            menu->close();
    });
    QTimer::singleShot(20000, menu, &QMenu::close);
    menu->exec(QPoint(100, 100));
    EXPECT_EQ(clock->text(), QStringLiteral("00:00:01"));
    EXPECT_GE(levelTicks, 20);
    app->startAndStopRecord();
}

// The record icon and its tooltip say at a glance whether a take runs: a red
// dot while recording, the pause badge while paused; the tooltip names the
// state, the length and the input, and is "TrayTape" while idle. The
// system-audio input is listed by what it carries.
TEST_F(AppDelegateTest, TheTrayShowsARunningOrPausedTakeAndItsInput)
{
    VirtualDevice system;
    system.name = "Vortanx System Audio";
    system.uid = "virtual.system";
    audio_->addDevice(system);
    auto app = launchPinned();
    QComboBox* inputs = Access::config(*app).popAudioDevices();
    EXPECT_GE(inputs->findText(QStringLiteral("Computer's sound (what you hear)")), 0);
    EXPECT_LT(inputs->findText(QStringLiteral("Vortanx"), Qt::MatchContains), 0) << "the server's name is not shown";
    QSystemTrayIcon* item = Access::statusItem(*app);
    const auto icon = [&] { return item->icon().pixmap(22, 22).toImage(); };
    // The middle of the badge in a 22-pixel slot: strong red while recording, and only then.
    const auto red = [&] {
        const QColor c = icon().pixelColor(14, 14);
        return c.red() > 180 && c.green() < 80 && c.blue() < 80;
    };
    const QImage idle = icon();
    // Drawn at every size a tray or window list asks for, never scaled from another.
    const auto sharp = [](const QIcon& i) {
        const QList<QSize> sizes = i.availableSizes();
        return std::all_of(resources::kIconPixels.begin(), resources::kIconPixels.end(),
            [&](int n) { return sizes.contains(QSize(n, n)); });
    };
    const QString input = QStringLiteral(" \u2014 Built-in Microphone");
    // The panel names the same input, and its resume button is no second record button.
    QLabel* source = Access::find<QLabel>(*app, "lblRecordSource");
    EXPECT_TRUE(sharp(item->icon()) && sharp(source->window()->windowIcon()));
    const auto image = [](const QIcon& i) { return i.pixmap(32, 32).toImage(); };
    EXPECT_TRUE(!red() && item->toolTip() == QLatin1String("TrayTape"));
    EXPECT_EQ(QStringLiteral(" \u2014 ") + source->text(), input);
    app->startAndStopRecord();
    feed(50);  // 1.07 s
    app->showRecordTime();
    EXPECT_TRUE(red() && sharp(item->icon()));
    EXPECT_EQ(item->toolTip(), QStringLiteral("Recording 0:01") + input);
    app->pauseAndResumeRecord();
    EXPECT_TRUE(!red() && icon() != idle && sharp(item->icon()));
    EXPECT_EQ(item->toolTip(), QStringLiteral("Paused 0:01") + input);
    const QIcon resume = Access::find<QToolButton>(*app, "btnPauseRecord")->icon();
    EXPECT_NE(image(resume), image(resources::icon(QStringLiteral("StartRecord.png"))));
    EXPECT_NE(image(resume), image(resources::icon(QStringLiteral("Pause.png"))));
    app->pauseAndResumeRecord();
    EXPECT_TRUE(red());
    app->startAndStopRecord();
    EXPECT_TRUE(icon() == idle && item->toolTip() == QLatin1String("TrayTape"));
    Access::config(*app).btnWithSystemAudio()->click();
    app->startAndStopRecord();
    EXPECT_EQ(item->toolTip(), QStringLiteral("Recording 0:00") + input + QStringLiteral(" + computer's sound"));
    EXPECT_TRUE(item->toolTip().endsWith(source->text()));
    app->startAndStopRecord();
    completeRecordings(*app);
}

// The timers on the tray's command path, on a clock of the test's: a start at a time already past today
// waits for tomorrow; a scheduled start shows in the status, the icon and the menu, starts the take in its
// minute, and "off" cancels it. "Stop After" ends the running take when its time comes, and no later take.
TEST_F(AppDelegateTest, ATakeStartsAtItsScheduledTimeAndStopsAfterItsDuration)
{
    auto app = launchPinned();
    QDateTime now(QDate(2024, 3, 5), QTime(14, 7, 9));
    app->setClock([&now] { return now; });
    const RecordSession& session = Access::session(*app);
    const auto icon = [&] { return Access::statusItem(*app)->icon().pixmap(22, 22).toImage(); };
    const auto say = [&](const char* command) { return app->obeyCommand(QLatin1String(command)); };
    const QImage idle = icon();
    EXPECT_EQ(say("start-at 14:07").text, QLatin1String("scheduled 14:07"));
    EXPECT_EQ(app->scheduledStart(), QDateTime(QDate(2024, 3, 6), QTime(14, 7))) << "tomorrow";
    EXPECT_FALSE(say("start-at 24:00").done || say("start-at soon").done);
    EXPECT_EQ(say("start-at 14:10").text, QLatin1String("scheduled 14:10"));
    EXPECT_EQ(say("status").text, QLatin1String("scheduled 14:10"));
    EXPECT_NE(icon(), idle);
    EXPECT_EQ(Access::find<QAction>(*app, "startAtMenuItem")->text(), QLatin1String("Cancel Start at 14:10"));
    EXPECT_TRUE(Access::timersTicking(*app));
    now = now.addSecs(170);
    Access::checkTimers(*app);
    EXPECT_FALSE(session.isActive()) << "14:09:59";
    now = now.addSecs(1);
    Access::checkTimers(*app);
    ASSERT_TRUE(session.isActive());
    EXPECT_TRUE(!app->scheduledStart() && say("status").text.startsWith(QLatin1String("recording")));
    feed(10);

    QMenu* stopAfter = Access::find<QMenu>(*app, "stopAfterMenu");
    ASSERT_TRUE(stopAfter && stopAfter->isEnabled());
    stopAfter->findChild<QAction*>(QStringLiteral("stopAfter600"))->trigger();
    EXPECT_EQ(stopAfter->title(), QLatin1String("Stop at 14:20"));
    now = now.addSecs(599);
    Access::checkTimers(*app);
    EXPECT_TRUE(session.isActive());
    now = now.addSecs(1);
    Access::checkTimers(*app);
    EXPECT_FALSE(session.isActive());
    EXPECT_TRUE(!stopAfter->isEnabled() && stopAfter->title() == QLatin1String("Stop After"));
    EXPECT_FALSE(Access::timersTicking(*app));
    completeRecordings(*app);
    EXPECT_EQ(libraryLog_.filter(QStringLiteral("add ")).size(), 1);

    // Stopped by hand, the take takes its timer with it.
    app->startAndStopRecord();
    stopAfter->findChild<QAction*>(QStringLiteral("stopAfter600"))->trigger();
    app->startAndStopRecord();
    app->startAndStopRecord();
    now = now.addSecs(3600);
    Access::checkTimers(*app);
    EXPECT_TRUE(session.isActive());
    app->startAndStopRecord();
    EXPECT_EQ(say("start-at 15:00").text, QLatin1String("scheduled 15:00"));
    EXPECT_TRUE(say("start-at off").done);
    EXPECT_TRUE(say("status").text == QLatin1String("idle") && icon() == idle);
    completeRecordings(*app);
}

TEST_F(AppDelegateTest, WithoutATrayThePanelOpensWithTheMenuFollowsTheTrayAndWindowsAreNotPlaced)
{
    AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppRecordingPanel);
    const QString gone = home_.path() + QStringLiteral("/Unmounted Drive/Recordings");
    AppControl::AppWriteKeyValue(gone, SettingsKey::SaveAudioPath);
    bool tray = false;
    AppDelegate::setSystemTrayProbe([&tray] { return tray; });
    auto app = launch();
    QWidget* panel = Access::find<QWidget>(*app, "wndRecordingPanel");
    EXPECT_TRUE(panel->isVisible()) << "the panel is the only way in";
    const auto welcome = [&] { return Access::find<QTextBrowser>(*app, "helpText")->toPlainText(); };
    EXPECT_TRUE(welcome().contains(QStringLiteral("no system tray")) && !welcome().contains(QStringLiteral("icon")))
        << welcome().toStdString();
    // The Designer geometry (0,0) would become the "user specified location" hint.
    for (QWidget* window : {app->window(), panel, Access::config(*app).window()})
        EXPECT_FALSE(window->testAttribute(Qt::WA_Moved)) << window->objectName().toStdString();
    EXPECT_FALSE(Access::find<QCheckBox>(*app, "btnShowRecordingPanel")->isChecked()) << "the stored choice stays";
    QToolButton* menuButton = Access::find<QToolButton>(*app, "btnPanelMenu");
    ASSERT_NE(menuButton, nullptr);
    EXPECT_TRUE(menuButton->isVisible());
    EXPECT_EQ(menuButton->menu(), Access::menu(*app));
    // A remembered save folder that has gone is told at start-up; the default stands in.
    ASSERT_EQ(workspace_.notified.size(), 1);
    EXPECT_TRUE(workspace_.notified[0].contains(gone));
    EXPECT_EQ(Access::config(*app).saveAudioPath(), saveFolder());

    // A tray appears: the button goes; the tray goes away again: the panel comes back with it.
    tray = true;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !menuButton->isVisible(); }, 5000));
    EXPECT_TRUE(welcome().contains(QStringLiteral("two icons"))) << welcome().toStdString();
    panel->close();
    tray = false;
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel->isVisible(); }, 5000));
    EXPECT_TRUE(menuButton->isVisible());
}

TEST_F(AppDelegateTest, ThePanelAndTheWelcomeWindowTakeTheStylesMarginsAndReadInALightAndADarkPalette)
{
    const auto restore = qScopeGuard([palette = QApplication::palette()] { QApplication::setPalette(palette); });
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        QApplication::setPalette(dark ? pixel_contrast::dark() : QApplication::style()->standardPalette());
        auto app = launch();
        QWidget* panel = Access::find<QWidget>(*app, "wndRecordingPanel");
        const int margin = panel->style()->pixelMetric(QStyle::PM_LayoutLeftMargin, nullptr, panel);
        EXPECT_GT(margin, 0);
        EXPECT_GE(Access::find<QToolButton>(*app, "btnStartRecord")->x(), margin) << "off the panel's edge";
        // The footer's text (past the box's indicator) against the window behind it.
        QWidget* welcome = app->window();
        QImage image(welcome->size(), QImage::Format_ARGB32);
        welcome->render(&image);
        const QWidget* footer = Access::find<QCheckBox>(*app, "btnShowHelpWnd");
        const QRect text(footer->mapTo(welcome, QPoint(24, 0)), footer->size() - QSize(24, 0));
        EXPECT_GE(pixel_contrast::ofTextIn(image, text), 4.5);
        EXPECT_EQ(image.pixelColor(text.right(), text.top()) == QColor(153, 153, 153), !dark)
            << "the grey, if it reads";
    }
}

// No one sharing the user's runtime folder can hang a start or starve the
// running instance: a FIFO at the lock is refused at once, clients past the
// limit are dropped, longest connected first, and later starts are answered;
// requests are bounded and known, and another user is refused.
TEST(SingleInstanceTest, TheInstanceChannelCannotBeBlockedOrStarved)
{
    QTemporaryDir home;
    const QString folder = home.path();
    const QByteArray fifo = QFile::encodeName(folder + QStringLiteral("/fifo.instance.lock"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    EXPECT_EQ(SingleInstance(QStringLiteral("fifo.instance"), folder).claim(), SingleInstance::Claim::Unreachable);
    // A command sent meanwhile answers at once too; should it block, a writer opening the FIFO frees it.
    auto sent = std::async(std::launch::async, [folder] {
        QString answer;
        const auto result = SingleInstance::sendCommand(QStringLiteral("fifo.instance"), QStringLiteral("status"), answer, folder);
        return std::make_pair(result, answer);
    });
    const bool answered = QTest::qWaitFor([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 5000);
    if (!answered)
        ::close(::open(fifo.constData(), O_WRONLY | O_NONBLOCK));
    EXPECT_TRUE(answered) << "blocked on the FIFO";
    const auto [result, answer] = sent.get();
    EXPECT_EQ(result, SingleInstance::Sent::NotRunning);
    EXPECT_TRUE(answer.contains(QStringLiteral("not a lock file"))) << qPrintable(answer);

    SingleInstance first(QStringLiteral("test.instance"), folder);
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    std::vector<std::unique_ptr<QLocalSocket>> clients;
    for (int i = 0; i < 24; ++i) {
        clients.push_back(std::make_unique<QLocalSocket>());
        clients.back()->connectToServer(first.socketPath());
        ASSERT_TRUE(clients.back()->waitForConnected(5000));
    }
    auto connected = [&] {
        return std::count_if(clients.begin(), clients.end(),
            [](const auto& c) { return c->state() == QLocalSocket::ConnectedState; });
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return connected() == 16; }, 5000)) << connected() << " still connected";
    EXPECT_EQ(clients.front()->state(), QLocalSocket::UnconnectedState);
    EXPECT_EQ(clients.back()->state(), QLocalSocket::ConnectedState);
    clients.clear();
    QSignalSpy activated(&first, &SingleInstance::activated);
    EXPECT_EQ(SingleInstance(QStringLiteral("test.instance"), folder).claim(), SingleInstance::Claim::HandedOver);
    EXPECT_TRUE(activated.count() > 0 || activated.wait(5000));

    // Out of descriptors, an accept fails; the server closes and removes its
    // socket, and must listen again once descriptors are free.
    QLocalSocket late;
    late.connectToServer(first.socketPath());
    rlimit limit{}, low{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    low = {rlim_t(::dup(0)), limit.rlim_max};  // the lowest free descriptor, the accept's, is past the limit
    ::close(int(low.rlim_cur));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const bool closed = QTest::qWaitFor([&] { return !QFile::exists(first.socketPath()); }, 5000);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_TRUE(closed);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(first.socketPath()); }, 5000)) << "listening again";

    // A request is one line naming a known command; each gets one line back.
    QStringList handled;
    first.setCommandHandler([&handled](const QString& command, QString& answer) {
        handled.append(command);
        answer = QStringLiteral("recording 1.0 /a\x1b[2J\r\nb\\\u009b.wav");
        return true;
    });
    const auto ask = [&first](const QByteArray& request) {
        QLocalSocket socket;
        socket.connectToServer(first.socketPath());
        socket.write(request);
        (void)QTest::qWaitFor([&] { return socket.canReadLine() || socket.state() != QLocalSocket::ConnectedState; });
        return socket.readLine().trimmed();
    };
    // The answer is one line whatever the path in it holds, its control characters escaped.
    EXPECT_EQ(ask("status\n"), "0 recording 1.0 /a\\x1b[2J\\r\\nb\\\\\\xc2\\x9b.wav");
    EXPECT_EQ(ask("format-disk\n"), "2 unknown command");
    EXPECT_EQ(ask(QByteArray(4096, 'p') + "status\n"), "2 unknown command") << "an overlong line";
    EXPECT_EQ(handled, QStringList{QStringLiteral("status")});

    // Another user who gets past the folder's and the socket's permissions is still refused.
    if (::geteuid() != 0)
        return;
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(first.socketPath()).constData(), 0666), 0);
    const QByteArray path = QFile::encodeName(first.socketPath());
    const pid_t child = ::fork();
    if (child == 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(
            address.sun_path, path.constData(), std::min<std::size_t>(path.size(), sizeof address.sun_path - 1));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        char reply = 0;
        const bool refused = ::setuid(65534) == 0 && ::connect(fd, (sockaddr*)&address, sizeof address) == 0
            && ::write(fd, "status\n", 7) == 7 && ::read(fd, &reply, 1) <= 0;
        ::_exit(refused ? 0 : 1);
    }
    int status = -1;
    ASSERT_TRUE(QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another user is answered";
    EXPECT_EQ(handled.size(), 1);
}

namespace {

// The tray application in this process on a private sound server, recording
// a tone played into a null sink from the sink's monitor, as WAVE.
class AppOnServer : public AppTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.start()) << server_.error();
        AppTest::SetUp();  // after the server, which points HOME elsewhere
        installPulsePlatform();
        AppControl::AppWriteKeyValue(QStringLiteral("take_speakers.monitor"), SettingsKey::AudioDeviceUniqueID);
        AppControl::AppWriteKeyValue(1, SettingsKey::AudioFormatNSNumberKey);
    }
    // Checks the condition every half millisecond: a take stopped on a count
    // must not run on by another capture fragment meanwhile.
    static bool waitClosely(const std::function<bool()>& condition, int milliseconds = 20000)
    {
        const QDeadlineTimer deadline(milliseconds);
        while (!condition()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents();
            QThread::usleep(500);
        }
        return true;
    }

    testsupport::PulseServer server_{{{"take_speakers", 48000, 2, "Take Speakers"}}};
};

}  // namespace

TEST_F(AppOnServer, PausedFromTheMenuOrThePanelATakeLeavesNeitherGapNorSilenceInTheFile)
{
    auto tone = server_.playTone("take_speakers", 1000, 0.3);
    auto app = launchPinned();
    const AudioRecordDevice& recorder = Access::recorder(*app);
    QAction* pauseItem = Access::find<QAction>(*app, "pauseMenuItem");
    QToolButton* pauseButton = Access::find<QToolButton>(*app, "btnPauseRecord");
    ASSERT_TRUE(waitClosely([&] { return recorder.audioLevel() > 0.2; })) << "the tone reaches the capture";
    EXPECT_FALSE(pauseItem->isEnabled() || pauseButton->isEnabled()) << "nothing to pause";
    app->startAndStopRecord();
    EXPECT_TRUE(pauseItem->isEnabled() && pauseButton->isEnabled());
    ASSERT_TRUE(waitClosely([&] { return recorder.audioLength() >= 2.0; }));
    pauseItem->trigger();
    const double paused = recorder.audioLength();
    EXPECT_EQ(pauseItem->text(), QStringLiteral("Resume Recording"));
    QElapsedTimer pause;
    pause.start();
    ASSERT_TRUE(waitClosely([&] { return recorder.audioLength() != paused || pause.hasExpired(2000); }));
    EXPECT_EQ(recorder.audioLength(), paused) << "two seconds of input, none of it written";
    EXPECT_GT(recorder.audioLevel(), 0.2) << "the meter still follows the input";
    app->showRecordTime();
    EXPECT_EQ(Access::find<QLabel>(*app, "lblRecordAudioTime")->text(), QStringLiteral("00:00:02"))
        << "the clock counts the audio written";
    pauseButton->click();
    EXPECT_EQ(pauseItem->text(), QStringLiteral("Pause Recording"));
    ASSERT_TRUE(waitClosely([&] { return recorder.audioLength() >= 4.0; }));
    pauseButton->click();
    const double written = recorder.audioLength();
    app->startAndStopRecord();  // a paused take is stopped, not started again
    EXPECT_FALSE(Access::session(*app).isActive() || pauseItem->isEnabled() || pauseButton->isEnabled());
    completeRecordings(*app);
    EXPECT_EQ(recordings().size(), 1);

    const DecodedFile file = decodeFile(stamped(".wav").toStdString());
    // What was counted on pausing, to the frame the rate conversion rounds:
    // however late the click came, nothing taken in after it reaches the file.
    EXPECT_NEAR(double(file.frames()), written * file.sampleRate, 1.0);
    std::size_t quiet = 0, longestQuiet = 0;
    for (const float sample : file.channels.at(0)) {
        quiet = std::fabs(sample) < 0.02f ? quiet + 1 : 0;
        longestQuiet = std::max(longestQuiet, quiet);
    }
    EXPECT_LT(double(longestQuiet) / file.sampleRate, 0.05) << "seconds of silence in one stretch";
    // Each side of the join by itself: across it the tone's phase jumps.
    const auto second = std::size_t(file.sampleRate);
    EXPECT_GT(toneAmplitude(file.channels[0], file.sampleRate, 1000, 0, second), 0.25);
    EXPECT_GT(toneAmplitude(file.channels[0], file.sampleRate, 1000, file.frames() - second), 0.25);
}

namespace {

int entryNamed(ConfigAudioWndController& config, const QString& part)
{
    for (int i = 0; i < config.popAudioDevices()->count(); ++i)
        if (config.popAudioDevices()->itemText(i).contains(part))
            return i;
    return -1;
}

// A source alone, as a microphone is, over the speakers' monitor: its module's index.
std::optional<std::uint32_t> plugMicrophone(const testsupport::PulseServer& server)
{
    const auto loaded = server.pactl({"load-module", "module-remap-source", "source_name=plugged",
        "master=take_speakers.monitor", "source_properties='device.description=\"Plugged Mic\"'"});
    return loaded.ok() ? std::optional(std::uint32_t(std::stoul(loaded.output))) : std::nullopt;
}

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

// Inputs that come and go: an output's monitor and a microphone (a source
// alone) appear in Preferences and go within a second; the wanted device
// missing at start opens when it comes, with the meter on it, but never in
// the middle of a recording; and "Default input" follows a change of the
// server's default in the middle of a recording, into the same file.
TEST_F(AppOnServer, TheDeviceListFollowsTheServerAndDefaultInputFollowsItsDefaultMidRecording)
{
    constexpr double kAmplitude = 0.3;
    ASSERT_TRUE(server_.loadNullSink({"second", 48000, 2, "Second Deck"}));
    AppControl::AppWriteKeyValue(QStringLiteral("plugged"), SettingsKey::AudioDeviceUniqueID);
    auto app = launch();
    ConfigAudioWndController& config = Access::config(*app);
    AudioRecordDevice& recorder = Access::recorder(*app);
    EXPECT_EQ(config.popAudioDevices()->currentIndex(), 0) << "the missing device falls back to the default input";
    ASSERT_TRUE(server_.setDefaultSource("take_speakers.monitor"));
    auto first = server_.playTone("take_speakers", 500, kAmplitude);
    auto second = server_.playTone("second", 1500, kAmplitude);

    // An output's monitor comes and goes within a second each.
    const auto deck = server_.loadNullSink({"deck", 48000, 2, "Extra Deck"});
    ASSERT_TRUE(deck);
    EXPECT_TRUE(QTest::qWaitFor([&] { return entryNamed(config, "Extra Deck") > 0; }, 1000));
    ASSERT_TRUE(server_.unloadModule(*deck));
    EXPECT_TRUE(QTest::qWaitFor([&] { return entryNamed(config, "Extra Deck") < 0; }, 1000));

    // The wanted microphone plugged in: listed within a second, opened, and the meter on it.
    auto microphone = plugMicrophone(server_);
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
    ASSERT_TRUE(plugMicrophone(server_));
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.audioLength() >= 1.0; }, 5000));
    ASSERT_TRUE(entryNamed(config, "Plugged Mic") > 0 && recorder.device()->followsDefault());
    EXPECT_EQ(config.popAudioDevices()->currentIndex(), 0) << "the list shows what is recorded from";
    // Another stream of ours was once turned down and muted in a mixer: the
    // server gives both to the stream opened on the new default (PulseAudio
    // with this module, PipeWire's session manager by itself).
    server_.pactl({"load-module", "module-stream-restore"});
    {
        testsupport::MonitorCapture other(48000);
        ASSERT_EQ(other.open(testsupport::deviceByUid("second.monitor")), noErr);
        std::string newest;
        for (std::istringstream outputs(server_.pactl({"list", "short", "source-outputs"}).output); outputs >> newest;)
            outputs.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        ASSERT_TRUE(server_.pactl({"set-source-output-volume", newest, "30%"}).ok());
        ASSERT_TRUE(server_.pactl({"set-source-output-mute", newest, "1"}).ok());
    }
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
    const auto heard = [&](double a) { return a > kAmplitude / 2; };
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

// An application playing is a choice of its own, "Application: ‹name›",
// stored by its program's name. Chosen, the panel names it and a take holds
// its sound alone (the other application's below -50 dBFS in every 0.1 s);
// once it quits it stays listed and chosen, to be heard when it plays again,
// while one not chosen leaves the list.
TEST_F(AppOnServer, AnApplicationIsChosenByItsProgramAndRecordedAlone)
{
    const testsupport::PulseServer::Player a{home_.filePath("tone-a").toStdString(), "Tone A"};
    const testsupport::PulseServer::Player b{home_.filePath("tone-b").toStdString(), "Tone B"};
    for (const auto* player : {&a, &b})
        ASSERT_TRUE(QFile::copy(QStringLiteral("/usr/bin/pacat"), QString::fromStdString(player->program)));
    auto toneA = server_.playToneAs(a, "take_speakers", 440, 0.3);
    auto toneB = server_.playToneAs(b, "take_speakers", 660, 0.3);
    auto app = launch();
    ConfigAudioWndController& config = Access::config(*app);
    AudioRecordDevice& recorder = Access::recorder(*app);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return entryNamed(config, "Application: Tone A") > 0 && entryNamed(config, "Application: Tone B") > 0; },
        5000));
    app->chooseAudioDeviceNum(entryNamed(config, "Application: Tone A"));
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::AudioDeviceUniqueID, QString()).toString(),
        QStringLiteral("@APPLICATION@:tone-a"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.audioLevel() > 0.2; }, 5000)) << "the meter hears it";
    app->startAndStopRecord();
    EXPECT_EQ(Access::find<QLabel>(*app, "lblRecordSource")->text(), QStringLiteral("Application: Tone A"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.audioLength() >= 1.5; }, 10000));
    const std::string path = *Access::session(*app).path();
    app->startAndStopRecord();
    completeRecordings(*app);
    const DecodedFile file = decodeFile(path);
    ASSERT_TRUE(file.ok);
    const auto tenth = std::size_t(file.sampleRate / 10);
    for (std::size_t at = 0; at + tenth <= file.frames(); at += tenth) {
        EXPECT_NEAR(toneAmplitude(file.channels[0], file.sampleRate, 440, at, at + tenth), 0.3, 0.03) << at;
        EXPECT_LT(toneAmplitude(file.channels[0], file.sampleRate, 660, at, at + tenth), 0.00316) << at;
    }

    // Both quit: the one not chosen leaves the list, the chosen one stays.
    toneA.reset();
    toneB.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return entryNamed(config, "Application: Tone B") < 0; }, 5000));
    EXPECT_GT(entryNamed(config, "Application: Tone A"), 0);
    EXPECT_EQ(config.popAudioDevices()->currentIndex(), entryNamed(config, "Application: Tone A"));
}
