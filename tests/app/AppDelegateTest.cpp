// The tray application as a whole on the offscreen platform with the
// virtual sound backend: launch, start-up order, the record command, quit,
// failures told in notifications (an export the library window could not
// make among them), and its timers under an open menu.
#include "AppTestSupport.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "Control/AppControl.h"
#include "Control/AudioWaveView.h"
#include "QuitSignals.h"
#include "platform/InterruptedRecording.h"
#include "platform/ui/Resources.h"
#include "platform/VirtualMediaPlayer.h"
#include "support/GatedFile.h"
#include "support/StereoFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>

namespace {

const QDateTime kStamp(QDate(2024, 3, 5), QTime(14, 7, 9));

QImage iconImage(const QIcon& icon, int pixels)
{
    return normalised(icon.pixmap(QSize(pixels, pixels)).toImage());
}

// The status menu's item of that name, as the user finds it in the menu.
QAction* menuAction(const AppDelegate& app, const char* name)
{
    for (QAction* action : app.menuTop()->actions())
        if (action->objectName() == QLatin1String(name))
            return action;
    ADD_FAILURE() << "no menu item " << name;
    static QAction none;
    return &none;
}

class AppDelegateTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        mic_ = addInput("Built-in Microphone");
        headset_ = addInput("USB Headset", 1);
        AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppShowHelpWnd);
    }
    std::unique_ptr<AppDelegate> launchPinned()
    {
        auto app = launch();
        app->levelTimer()->stop();  // the tests tick by hand unless they test the timer
        app->setClock([] { return kStamp; });
        return app;
    }
    // A recording with a few cycles of tone in it, stopped by the user.
    void recordTone(AppDelegate& app)
    {
        app.startAndStopRecord();
        ASSERT_TRUE(app.audioRecord()->isStart());
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(feedTone(mic_, 0.5f));
        app.startAndStopRecord();
        completeRecordings(app);
    }

    AudioObjectID mic_ = 0;
    AudioObjectID headset_ = 0;
};

}  // namespace

TEST_F(AppDelegateTest, LaunchSettingsDecideWhichWindowsOpen)
{
    struct Case {
        QVariant help, panel;
        bool helpOpen, helpChecked, panelOpen, panelChecked;
    };
    const Case cases[] = {
        {{}, {}, true, true, true, true},    // first start
        {0, 0, false, false, false, false},  // both stored off
        {5, 1, true, true, true, true},      // any non-zero value leaves a window open
        {-1, 1, true, true, true, true},
    };
    for (const Case& c : cases) {
        QSettings().clear();
        if (c.help.isValid())
            AppControl::AppWriteKeyValue(c.help, SettingsKey::OpenAppShowHelpWnd);
        if (c.panel.isValid())
            AppControl::AppWriteKeyValue(c.panel, SettingsKey::OpenAppRecordingPanel);
        auto app = launch();
        const std::string label = c.help.toString().toStdString() + "/" + c.panel.toString().toStdString();
        EXPECT_EQ(app->window()->isVisible(), c.helpOpen) << label;
        EXPECT_EQ(app->btnShowHelpWnd()->isChecked(), c.helpChecked) << label;
        EXPECT_EQ(app->wndRecordingPanel()->isVisible(), c.panelOpen) << label;
        EXPECT_EQ(app->btnShowRecordingPanel()->isChecked(), c.panelChecked) << label;
        EXPECT_FALSE(app->configAudioWndController()->window()->isVisible()) << label;
        EXPECT_EQ(QSettings().contains(SettingsKey::OpenAppShowHelpWnd), c.help.isValid()) << "defaults are not stored";
    }

    // Toggled check boxes only store the choice; the windows stay as they are.
    QSettings().clear();
    auto app = launch();
    app->btnShowHelpWnd()->click();
    app->btnShowRecordingPanel()->click();
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppShowHelpWnd, 1).toInt(), 0);
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppRecordingPanel, 1).toInt(), 0);
    EXPECT_TRUE(app->window()->isVisible());
    EXPECT_TRUE(app->wndRecordingPanel()->isVisible());
    app->btnShowRecordingPanel()->click();
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppRecordingPanel, 0).toInt(), 1);
}

TEST_F(AppDelegateTest, StartUpOpensTheSavedDeviceQuietlyAndIgnoresChoicesOutsideTheList)
{
    AppControl::AppWriteKeyValue(1, SettingsKey::AudioDeviceNSNumberChoose);
    auto app = launch();
    EXPECT_EQ(capturingDevice(), headset_);
    EXPECT_FALSE(app->configAudioWndController()->window()->isVisible());
    EXPECT_FALSE(app->audioRecord()->isStart()) << "captures, but writes nothing until a recording starts";
    EXPECT_EQ(libraryLog_.value(0), QStringLiteral("window")) << "the library loads at start-up";
    EXPECT_TRUE(workspace_.raised.isEmpty());

    ASSERT_TRUE(app->statusItem() && app->statusAudioWave());
    EXPECT_EQ(app->statusItem()->contextMenu(), app->menuTop());
    EXPECT_EQ(iconImage(app->statusItem()->icon(), 22), normalised(resources::image("RecordMenu.png")));
    EXPECT_FALSE(app->statusAudioWave()->icon().isNull());
    EXPECT_EQ(app->audioWaveView()->size(), QSize(160, 21));
    EXPECT_TRUE(app->levelTimer()->isActive());
    EXPECT_EQ(app->levelTimer()->interval(), 33);

    // Indices outside the list are ignored.
    const int made = audio_->unitsCreated();
    app->chooseAudioDeviceNum(-1);
    app->chooseAudioDeviceNum(2);
    EXPECT_EQ(capturingDevice(), headset_);
    EXPECT_EQ(audio_->unitsCreated(), made);
    app->chooseAudioDeviceNum(0);
    EXPECT_EQ(capturingDevice(), mic_);
}

TEST_F(AppDelegateTest, AGoneDeviceFallsBackToTheDefaultInputAndWhatCannotRecordStartsNothing)
{
    // The headset is the server's default input, so it heads the list.
    audio_->setDefaultInputDevice(headset_);
    AppControl::AppWriteKeyValue(1, SettingsKey::AudioDeviceNSNumberChoose);
    AppControl::AppWriteKeyValue(QStringLiteral("virtual.Unplugged USB Mic"), SettingsKey::AudioDeviceUniqueID);
    {
        auto app = launchPinned();
        EXPECT_EQ(capturingDevice(), headset_);
        EXPECT_EQ(app->configAudioWndController()->popAudioDevices()->currentText(), QStringLiteral("USB Headset"));
        app->startAndStopRecord();
        ASSERT_TRUE(feedTone(headset_, 0.5f));
        app->startAndStopRecord();
        completeRecordings(*app);
        ASSERT_EQ(recordings().size(), 1);
        EXPECT_GT(readFileSound(saveFolder() + QLatin1Char('/') + recordings()[0]).peak, 0.3f);
    }

    // A file that cannot be created, a device that cannot be opened, then no
    // device at all: nothing starts, and the user is told why.
    for (const int cause : {0, 1, 2}) {
        QSettings().clear();
        if (cause == 1) {
            audio_->failAlways(VirtualStep::Start);
        } else if (cause == 2) {
            audio_->clearFailures();
            ASSERT_TRUE(audio_->removeDevice(mic_) && audio_->removeDevice(headset_));
        }
        auto app = launchPinned();
        if (cause == 0)
            app->configAudioWndController()->setSaveAudioPath(home_.path() + QStringLiteral("/missing/folder"));
        QSignalSpy told(app.get(), &AppDelegate::userNotified);
        app->startAndStopRecord();
        ASSERT_EQ(told.size(), 1) << cause;
        EXPECT_TRUE(told[0][1].toString().contains(cause == 0 ? "missing/folder" : "No input device")) << cause;
        EXPECT_FALSE(app->audioRecord()->isStart());
        EXPECT_FALSE(app->isRecordTimerRunning());
        EXPECT_EQ(app->recordMenuItem()->text(), QStringLiteral("Start Record"));
        EXPECT_TRUE(app->configAudioWndController()->popAudioDevices()->isEnabled());
        EXPECT_EQ(recordings().size(), 1) << "no empty file is made";
    }
}

TEST_F(AppDelegateTest, StartFromTheMenuAndStopFromThePanelMakeOneDatedFileAndSwitchEveryText)
{
    auto app = launchPinned();
    ConfigAudioWndController* config = app->configAudioWndController();
    EXPECT_EQ(app->recordMenuItem()->text(), QStringLiteral("Start Record"));

    menuAction(*app, "recordMenuItem")->trigger();
    EXPECT_TRUE(app->audioRecord()->isStart());
    EXPECT_EQ(app->recordMenuItem()->text(), QStringLiteral("Stop Record"));
    EXPECT_EQ(app->lblRecordTip()->text(), QStringLiteral("Stop Record"));
    EXPECT_EQ(iconImage(app->btnStartRecord()->icon(), 48), normalised(resources::image("StopRecord.png")));
    EXPECT_FALSE(config->popAudioDevices()->isEnabled());
    EXPECT_FALSE(config->popAudioFormat()->isEnabled());
    EXPECT_TRUE(app->isRecordTimerRunning());
    EXPECT_EQ(app->lblRecordAudioTime()->text(), QStringLiteral("00:00:00")) << "unchanged until the first tick";
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(feedTone(mic_, 0.5f));
    app->showRecordTime();
    EXPECT_EQ(app->lblRecordAudioTime()->text(), QStringLiteral("00:00:01"));
    EXPECT_EQ(app->timeMenuItem()->text(), QStringLiteral("Recorded Time: 00:00:01"));

    app->btnStartRecord()->click();
    const QString path = saveFolder() + QStringLiteral("/24_03_05 14_07_09_Audio.m4a");
    EXPECT_FALSE(app->audioRecord()->isStart());
    EXPECT_FALSE(app->isRecordTimerRunning());
    EXPECT_EQ(app->recordMenuItem()->text(), QStringLiteral("Start Record"));
    EXPECT_EQ(app->lblRecordTip()->text(), QStringLiteral("Start Record"));
    EXPECT_EQ(iconImage(app->btnStartRecord()->icon(), 48), normalised(resources::image("StartRecord.png")));
    EXPECT_TRUE(config->popAudioDevices()->isEnabled());
    EXPECT_TRUE(config->popAudioFormat()->isEnabled());
    EXPECT_EQ(recordings(), QStringList{QFileInfo(path).fileName()});
    EXPECT_EQ(app->recordAudioPath(), std::optional<QString>(path));
    EXPECT_EQ(libraryLog_.mid(1), QStringList{}) << "the file goes to the library once it is complete";
    completeRecordings(*app);
    EXPECT_EQ(workspace_.revealed, QStringList{path});
    // Added, laid out, then brought to the front.
    EXPECT_EQ(libraryLog_.mid(1), (QStringList{"add " + path, "flush", "window"}));
    EXPECT_EQ(workspace_.raised.size(), 1);

    const FileSound sound = readFileSound(path);
    ASSERT_TRUE(sound.opened);
    EXPECT_GT(sound.frames, 0);
    EXPECT_GT(sound.peak, 0.3f);
}

TEST_F(AppDelegateTest, NamesFollowTheClockAndTheFormatAndNeverReplaceAnEarlierFile)
{
    auto app = launch();
    app->levelTimer()->stop();
    const QDateTime before = QDateTime::currentDateTime();
    const QString name = QFileInfo(app->getSaveAudioPath()).fileName();
    const QDateTime after = QDateTime::currentDateTime();
    const QString stamp = name.left(17);
    EXPECT_TRUE(stamp == before.toString("yy_MM_dd HH_mm_ss") || stamp == after.toString("yy_MM_dd HH_mm_ss"))
        << name.toStdString();
    EXPECT_TRUE(name.endsWith("_Audio.m4a"));
    EXPECT_TRUE(recordings().isEmpty()) << "naming creates nothing";

    app->setClock([] { return kStamp; });
    recordTone(*app);
    recordTone(*app);
    recordTone(*app);
    app->configAudioWndController()->popAudioFormat()->setCurrentIndex(1);
    recordTone(*app);
    EXPECT_EQ(recordings(),
        (QStringList{"24_03_05 14_07_09_Audio (2).m4a", "24_03_05 14_07_09_Audio (3).m4a",
            "24_03_05 14_07_09_Audio.m4a", "24_03_05 14_07_09_Audio.wav"}));
    for (const QString& name : recordings())
        EXPECT_GT(readFileSound(saveFolder() + "/" + name).peak, 0.3f) << name.toStdString();
}

TEST_F(AppDelegateTest, ATerminationSignalWhileRecordingCompletesTheFileAndStoresTheLibrary)
{
    auto app = launchPinned();
    QuitSignals quitSignals;
    ASSERT_TRUE(quitSignals.isInstalled());
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, app.get(), [&app] { app->quitTheApp(); });
    app->startAndStopRecord();
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(feedTone(mic_, 0.5f));
    std::raise(SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->audioRecord()->isStart(); }, 5000));
    const QString path = saveFolder() + QStringLiteral("/24_03_05 14_07_09_Audio.m4a");
    EXPECT_FALSE(app->audioRecord()->isCompleting()) << "quitting waited for the file";
    EXPECT_EQ(libraryLog_.mid(1), (QStringList{"add " + path, "flush", "writeData"}));
    EXPECT_TRUE(workspace_.revealed.isEmpty()) << "quitting reveals nothing";
    EXPECT_GT(readFileSound(path).peak, 0.3f);
    app->applicationWillTerminate();  // aboutToQuit after Quit: nothing happens twice
    EXPECT_EQ(libraryLog_.count("writeData"), 1);
}

TEST_F(AppDelegateTest, ARunningRecordingIsMarkedUntilTheLibraryHasIt)
{
    const QString key = QStringLiteral("RecordingInProgress");
    auto app = launchPinned();
    EXPECT_FALSE(libraryLog_.join(' ').contains("recover")) << "nothing was cut off";
    app->startAndStopRecord();
    const QString path = saveFolder() + QStringLiteral("/24_03_05 14_07_09_Audio.m4a");
    // On disk at once, since a crash gives no chance to write it later; it
    // names the file and what identifies it.
    const QString mark = AppControl::AppReadKeyValue(key, QString()).toString();
    EXPECT_EQ(QString::fromStdString(recordingMarkPath(mark.toStdString())), path);
    EXPECT_NE(mark, path);
    QFile stored(QSettings().fileName());
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_TRUE(stored.readAll().contains("RecordingInProgress=" + saveFolder().toUtf8()));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(feedTone(mic_, 0.5f));
    app->startAndStopRecord();
    EXPECT_EQ(AppControl::AppReadKeyValue(key, QString()).toString(), mark) << "kept until the file is complete";
    completeRecordings(*app);
    EXPECT_TRUE(AppControl::AppReadKeyValue(key, QString()).toString().isEmpty());

    // A mark left by a crash: the library recovers the file, then the mark goes.
    app.reset();
    libraryLog_.clear();
    AppControl::AppWriteKeyValue(path, key);
    app = launchPinned();
    EXPECT_TRUE(libraryLog_.contains("recover " + path));
    EXPECT_TRUE(AppControl::AppReadKeyValue(key, QString()).toString().isEmpty());
}

TEST_F(AppDelegateTest, AFileADeviceChangeEndedGoesToTheLibraryAtTheStopAndAVanishedDeviceEndsTheRecording)
{
    auto app = launchPinned();
    QSignalSpy told(app.get(), &AppDelegate::userNotified);
    const QString path = saveFolder() + QStringLiteral("/24_03_05 14_07_09_Audio.m4a");
    for (const bool completeFirst : {true, false}) {
        SCOPED_TRACE(completeFirst);
        libraryLog_.clear();
        app->chooseAudioDeviceNum(0);
        app->startAndStopRecord();
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(feedTone(mic_, 0.5f));
        app->chooseAudioDeviceNum(1);  // ends the file; the recording state stays on
        if (completeFirst)
            completeRecordings(*app);
        EXPECT_TRUE(libraryLog_.isEmpty()) << "nothing goes to the library before the stop";
        app->startAndStopRecord();
        completeRecordings(*app);
        EXPECT_EQ(libraryLog_, (QStringList{"add " + path, "flush", "window"}));
        EXPECT_GT(readFileSound(path).peak, 0.3f);
        QFile::remove(path);
    }
    EXPECT_TRUE(told.isEmpty());

    // A device that vanishes ends the recording at once, and the user is told once.
    libraryLog_.clear();
    app->chooseAudioDeviceNum(0);
    app->startAndStopRecord();
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(feedTone(mic_, 0.5f));
    ASSERT_TRUE(audio_->removeDevice(mic_));
    app->showAudioLevel();
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0][1].toString().contains(QStringLiteral("Built-in Microphone")));
    EXPECT_FALSE(app->audioRecord()->isStart());
    EXPECT_EQ(app->recordMenuItem()->text(), QStringLiteral("Start Record"));
    completeRecordings(*app);
    EXPECT_EQ(libraryLog_, (QStringList{"add " + path, "flush"}));
    EXPECT_GT(readFileSound(path).peak, 0.3f);
    app->showAudioLevel();
    EXPECT_EQ(told.size(), 1) << "told once";
}

TEST_F(AppDelegateTest, AudioTheDiskCouldNotTakeIsToldOnceTheStallIsOver)
{
    auto app = launchPinned();
    QSignalSpy told(app.get(), &AppDelegate::userNotified);
    app->startAndStopRecord();
    auto gate = std::make_shared<FileGate>();
    ASSERT_TRUE(GatedFile::install(app->audioRecord()->audioOutput(), gate));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(feedTone(mic_, 0.5f));
    // 1.5 s refused, one cycle per level tick: the stall lasts many ticks.
    gate->refuse = 70;
    for (int i = 0; i < 70; ++i) {
        ASSERT_TRUE(feedTone(mic_, 0.5f));
        app->showAudioLevel();
    }
    EXPECT_EQ(told.size(), 0) << "nothing is told while the loss still grows";
    ASSERT_TRUE(feedTone(mic_, 0.5f));
    app->showAudioLevel();
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0][1].toString(), QStringLiteral("1.5 s of audio were lost"));
    EXPECT_TRUE(app->audioRecord()->isStart()) << "the recording goes on";

    gate->refuse = 3;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(feedTone(mic_, 0.5f));
    app->startAndStopRecord();  // a loss still growing at the stop is told with it
    ASSERT_EQ(told.size(), 2);
    EXPECT_EQ(told[1][1].toString(), QStringLiteral("0.1 s of audio were lost"));
    completeRecordings(*app);
    EXPECT_EQ(told.size(), 2) << "a loss is no failed recording";
    for (int i = 0; i < 3; ++i)
        app->showAudioLevel();
    EXPECT_EQ(told.size(), 2);
}

TEST_F(AppDelegateTest, LevelIconIsPushedOnlyWhenItsPixelsChange)
{
    auto app = launchPinned();
    const int initial = app->levelIconPushes();
    for (int i = 0; i < 30; ++i)
        app->showAudioLevel();  // silence: every redraw is the same dark meter
    EXPECT_EQ(app->levelIconPushes(), initial);

    ASSERT_TRUE(feedTone(mic_, 0.5f));
    for (int i = 0; i < 10; ++i)
        app->showAudioLevel();
    EXPECT_EQ(app->levelIconPushes(), initial + 1) << "the page flips on the tenth tick";
    EXPECT_EQ(iconImage(app->statusAudioWave()->icon(), 22), normalised(app->levelIconImages()[0]));
    app->showAudioLevel();
    EXPECT_EQ(app->levelIconPushes(), initial + 2) << "the peak cell arrives on the next redraw";
    EXPECT_EQ(app->panelAudioWaveView()->buildInAudioWave()->value(9), app->audioRecord()->audioLevel())
        << "the panel's meter is fed the same levels";
}

TEST_F(AppDelegateTest, TimersKeepFiringWhileTheStatusMenuIsOpen)
{
    auto app = launch();
    app->startAndStopRecord();
    int levelTicks = 0;
    QObject::connect(app->levelTimer(), &QTimer::timeout, [&] { ++levelTicks; });
    QString shownInMenu;
    int ticksInMenu = 0;
    QTimer::singleShot(1600, app->menuTop(), [&] {
        ticksInMenu = levelTicks;
        shownInMenu = app->lblRecordAudioTime()->text();
        app->menuTop()->close();
    });
    app->menuTop()->exec(QPoint(100, 100));  // the menu's own nested event loop
    EXPECT_GE(ticksInMenu, 20);
    EXPECT_EQ(shownInMenu, QStringLiteral("00:00:01"));
    app->startAndStopRecord();
}

TEST_F(AppDelegateTest, EveryMenuItemRunsItsOwnCommand)
{
    auto app = launchPinned();
    menuAction(*app, "showConfigItem")->trigger();
    menuAction(*app, "showRecordingPanelItem")->trigger();
    menuAction(*app, "showHelpItem")->trigger();
    menuAction(*app, "showLibraryItem")->trigger();
    ASSERT_EQ(workspace_.raised.size(), 4);
    EXPECT_EQ(workspace_.raised[0], app->configAudioWndController()->window());
    EXPECT_EQ(workspace_.raised[1], app->wndRecordingPanel());
    EXPECT_EQ(workspace_.raised[2], app->window());
    EXPECT_NE(workspace_.raised[3], nullptr) << "the library window";
    EXPECT_TRUE(app->window()->isVisible());
    QTest::mouseClick(app->window()->findChild<QPushButton*>(QStringLiteral("btnHelpClose")), Qt::LeftButton);
    EXPECT_FALSE(app->window()->isVisible());

    menuAction(*app, "supportItem")->trigger();
    ASSERT_EQ(workspace_.opened.size(), 1);
    EXPECT_EQ(workspace_.opened[0], supportPageUrl());
    if (kSupportPageAddress[0] == '\0') {
        EXPECT_TRUE(QFileInfo(workspace_.opened[0].toLocalFile()).isFile()) << "the README, until there is a page";
    }

    menuAction(*app, "quitItem")->trigger();
    EXPECT_TRUE(libraryLog_.contains(QStringLiteral("writeData")));
}

TEST_F(AppDelegateTest, AFailedExportInTheLibraryIsToldInTheTray)
{
    auto output = VirtualMediaOutput::install();
    const QString take = home_.filePath(QStringLiteral("take.wav"));
    ASSERT_EQ(writeToneFile(take.toStdString(), 1), noErr);
    AudioLibraryWnd* library = nullptr;
    auto app = std::make_unique<AppDelegate>();
    app->setAudioLibraryFactory([&library] {
        auto made = std::make_unique<AudioLibraryWnd>();
        library = made.get();
        return made;
    });
    app->applicationWillFinishLaunching();
    app->applicationDidFinishLaunching();
    ASSERT_NE(library, nullptr);
    QSignalSpy told(app.get(), &AppDelegate::userNotified);

    library->addAudioItemFromPath(take);
    library->exportAudioToPath(home_.filePath(QStringLiteral("missing/part.wav")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !library->isExporting(); }, 60000));
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0][0].toString(), QStringLiteral("Export failed"));
    EXPECT_TRUE(told[0][1].toString().contains(QStringLiteral("missing/part.wav")));
    EXPECT_TRUE(workspace_.revealed.isEmpty());
}
