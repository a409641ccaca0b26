// The tray application as a whole on the offscreen platform with the
// virtual sound backend: launch, the record command and its session (pause
// included), quit, failures told in notifications, and its timers under an
// open menu.
#include "AppTestSupport.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "Control/AppControl.h"
#include "Control/AudioWaveView.h"
#include "QuitSignals.h"
#include "platform/InterruptedRecording.h"
#include "platform/ui/Resources.h"
#include "support/backends/VirtualMediaPlayer.h"
#include "support/GatedFile.h"
#include "support/StereoFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>

#include <csignal>
#include <malloc.h>

namespace {

using Access = AppDelegateTestAccess;
const QDateTime kStamp(QDate(2024, 3, 5), QTime(14, 7, 9));
const QString kMark = QStringLiteral("RecordingInProgress");

QImage iconImage(const QIcon& icon, int pixels)
{
    return normalised(icon.pixmap(QSize(pixels, pixels)).toImage());
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
        Access::levelTimer(*app)->stop();  // the tests tick by hand unless they test the timer
        app->setClock([] { return kStamp; });
        return app;
    }
    void feed(int cycles, float amplitude = 0.5f, AudioObjectID device = 0)
    {
        for (int i = 0; i < cycles; ++i)
            ASSERT_TRUE(feedTone(device ? device : mic_, amplitude));
    }
    // A recording with a few cycles of tone in it, stopped by the user.
    void recordTone(AppDelegate& app)
    {
        app.startAndStopRecord();
        feed(20);
        app.startAndStopRecord();
        completeRecordings(app);
    }
    QString stamped(const char* suffix = ".m4a") const
    {
        return saveFolder() + QStringLiteral("/24_03_05 14_07_09_Audio") + QLatin1String(suffix);
    }
    static QString mark() { return AppControl::AppReadKeyValue(kMark, QString()).toString(); }
    static QString markedPath() { return QString::fromStdString(recordingMarkPath(mark().toStdString())); }

    AudioObjectID mic_ = 0;
    AudioObjectID headset_ = 0;
};

}  // namespace

TEST_F(AppDelegateTest, LaunchFollowsTheSettingsAndOpensTheSavedDeviceQuietly)
{
    struct Case {
        QVariant help, panel;
        bool helpOpen, panelOpen;
    };
    // First start; both stored off; any non-zero value leaves a window open.
    for (const Case& c : {Case{{}, {}, true, true}, Case{0, 0, false, false}, Case{5, 1, true, true}}) {
        QSettings().clear();
        if (c.help.isValid()) {
            AppControl::AppWriteKeyValue(c.help, SettingsKey::OpenAppShowHelpWnd);
            AppControl::AppWriteKeyValue(c.panel, SettingsKey::OpenAppRecordingPanel);
        }
        auto app = launch();
        const std::string label = c.help.toString().toStdString();
        EXPECT_EQ(app->window()->isVisible(), c.helpOpen) << label;
        EXPECT_EQ(Access::find<QCheckBox>(*app, "btnShowHelpWnd")->isChecked(), c.helpOpen) << label;
        EXPECT_EQ(Access::find<QWidget>(*app, "wndRecordingPanel")->isVisible(), c.panelOpen) << label;
        EXPECT_EQ(Access::find<QCheckBox>(*app, "btnShowRecordingPanel")->isChecked(), c.panelOpen) << label;
        EXPECT_EQ(QSettings().contains(SettingsKey::OpenAppShowHelpWnd), c.help.isValid()) << "defaults are not stored";
    }

    // Toggled check boxes only store the choice; the windows stay as they are.
    QSettings().clear();
    AppControl::AppWriteKeyValue(1, SettingsKey::AudioDeviceNSNumberChoose);
    auto app = launch();
    Access::find<QCheckBox>(*app, "btnShowHelpWnd")->click();
    Access::find<QCheckBox>(*app, "btnShowRecordingPanel")->click();
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppShowHelpWnd, 1).toInt(), 0);
    EXPECT_EQ(AppControl::AppReadKeyValue(SettingsKey::OpenAppRecordingPanel, 1).toInt(), 0);
    EXPECT_TRUE(app->window()->isVisible());

    // The saved device captures from start-up, with every window but the two closed.
    EXPECT_EQ(capturingDevice(), headset_);
    EXPECT_FALSE(Access::config(*app).window()->isVisible());
    EXPECT_FALSE(Access::recorder(*app).isStart()) << "captures, but writes nothing until a recording starts";
    EXPECT_EQ(libraryLog_.value(0), QStringLiteral("window")) << "the library loads at start-up";
    EXPECT_TRUE(workspace_.raised.isEmpty());
    EXPECT_EQ(iconImage(Access::statusItem(*app)->icon(), 22), normalised(resources::image("RecordMenu.png")));
    EXPECT_EQ(Access::audioWaveView(*app)->size(), QSize(160, 21));
    EXPECT_TRUE(Access::levelTimer(*app)->isActive());
    EXPECT_EQ(Access::levelTimer(*app)->interval(), 33);

    // Indices outside the list are ignored.
    const int made = audio_->unitsCreated();
    app->chooseAudioDeviceNum(-1);
    app->chooseAudioDeviceNum(2);
    EXPECT_EQ(capturingDevice(), headset_);
    EXPECT_EQ(audio_->unitsCreated(), made);
    app->chooseAudioDeviceNum(0);
    EXPECT_EQ(capturingDevice(), mic_);
}

TEST_F(AppDelegateTest, EveryMenuItemRunsItsOwnCommand)
{
    auto app = launchPinned();
    for (const char* item : {"showConfigItem", "showRecordingPanelItem", "showHelpItem", "showLibraryItem"})
        Access::find<QAction>(*app, item)->trigger();
    ASSERT_EQ(workspace_.raised.size(), 4);
    EXPECT_EQ(workspace_.raised[0], Access::config(*app).window());
    EXPECT_EQ(workspace_.raised[1], Access::find<QWidget>(*app, "wndRecordingPanel"));
    EXPECT_EQ(workspace_.raised[2], app->window());
    EXPECT_NE(workspace_.raised[3], nullptr) << "the library window";
    QTest::mouseClick(Access::find<QPushButton>(*app, "btnHelpClose"), Qt::LeftButton);
    EXPECT_FALSE(app->window()->isVisible());

    Access::find<QAction>(*app, "supportItem")->trigger();
    ASSERT_EQ(workspace_.opened.size(), 1);
    EXPECT_EQ(workspace_.opened[0], supportPageUrl());
    if (kSupportPageAddress[0] == '\0') {
        EXPECT_TRUE(QFileInfo(workspace_.opened[0].toLocalFile()).isFile()) << "the README, until there is a page";
    }

    Access::find<QAction>(*app, "quitItem")->trigger();
    EXPECT_TRUE(libraryLog_.contains(QStringLiteral("writeData")));
}

TEST_F(AppDelegateTest, ARecordingMakesOneNewDatedFileMarkedUntilTheLibraryHasIt)
{
    auto app = launchPinned();
    ConfigAudioWndController& config = Access::config(*app);
    QAction* recordItem = Access::find<QAction>(*app, "recordMenuItem");
    QToolButton* button = Access::find<QToolButton>(*app, "btnStartRecord");
    QLabel* clock = Access::find<QLabel>(*app, "lblRecordAudioTime");
    EXPECT_FALSE(libraryLog_.join(' ').contains("recover")) << "nothing was cut off";

    recordItem->trigger();
    const QString path = stamped();
    EXPECT_EQ(recordItem->text(), QStringLiteral("Stop Record"));
    EXPECT_EQ(Access::find<QLabel>(*app, "lblRecordTip")->text(), QStringLiteral("Stop Record"));
    EXPECT_EQ(iconImage(button->icon(), 48), normalised(resources::image("StopRecord.png")));
    EXPECT_FALSE(config.popAudioDevices()->isEnabled());
    EXPECT_FALSE(config.popAudioFormat()->isEnabled());
    EXPECT_EQ(clock->text(), QStringLiteral("00:00:00")) << "unchanged until the first tick";
    // On disk at once, since a crash gives no chance to write it later.
    QFile stored(QSettings().fileName());
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_TRUE(stored.readAll().contains("RecordingInProgress=" + saveFolder().toUtf8()));
    EXPECT_EQ(markedPath(), path);
    EXPECT_NE(mark(), path) << "the mark also says what identifies the file";
    feed(20);
    app->showRecordTime();
    EXPECT_EQ(clock->text(), QStringLiteral("00:00:01"));
    EXPECT_EQ(Access::find<QAction>(*app, "timeMenuItem")->text(), QStringLiteral("Recorded Time: 00:00:01"));

    button->click();
    EXPECT_FALSE(Access::recordTimerRunning(*app));
    EXPECT_EQ(recordItem->text(), QStringLiteral("Start Record"));
    EXPECT_EQ(iconImage(button->icon(), 48), normalised(resources::image("StartRecord.png")));
    EXPECT_TRUE(config.popAudioDevices()->isEnabled());
    EXPECT_EQ(libraryLog_.mid(1), QStringList{}) << "the file goes to the library once it is complete";
    EXPECT_EQ(markedPath(), path) << "kept until the file is complete";
    completeRecordings(*app);
    EXPECT_TRUE(mark().isEmpty());
    EXPECT_EQ(workspace_.revealed, QStringList{path});
    // Added, laid out, then brought to the front.
    EXPECT_EQ(libraryLog_.mid(1), (QStringList{"add " + path, "flush", "window"}));
    EXPECT_GT(readFileSound(path).peak, 0.3f);

    // The same second again never replaces a file; format 1 is WAVE.
    recordTone(*app);
    recordTone(*app);
    config.popAudioFormat()->setCurrentIndex(1);
    recordTone(*app);
    EXPECT_EQ(recordings(),
        (QStringList{"24_03_05 14_07_09_Audio (2).m4a", "24_03_05 14_07_09_Audio (3).m4a",
            "24_03_05 14_07_09_Audio.m4a", "24_03_05 14_07_09_Audio.wav"}));
    for (const QString& name : recordings())
        EXPECT_GT(readFileSound(saveFolder() + "/" + name).peak, 0.3f) << name.toStdString();

    // A mark left by a crash: the library recovers the file, then the mark goes.
    app.reset();
    libraryLog_.clear();
    AppControl::AppWriteKeyValue(path, kMark);
    app = launchPinned();
    EXPECT_TRUE(libraryLog_.contains("recover " + path));
    EXPECT_TRUE(mark().isEmpty());
}

TEST_F(AppDelegateTest, APausedSessionWritesNothingAndResumesIntoTheSameFile)
{
    auto app = launchPinned();
    RecordSession& session = Access::session(*app);
    session.resume();
    session.pause();
    EXPECT_EQ(session.state(), RecordSession::State::Idle) << "nothing to pause or resume";
    Access::config(*app).popAudioFormat()->setCurrentIndex(1);  // WAVE: samples as captured
    app->startAndStopRecord();
    feed(20, 0.3f);
    const double before = Access::recorder(*app).audioLength();
    session.pause();
    EXPECT_EQ(session.state(), RecordSession::State::Paused);
    feed(20, 0.9f);
    EXPECT_EQ(Access::recorder(*app).audioLength(), before);
    app->showAudioLevel();  // the meter still moves; the recording is not taken for ended
    EXPECT_TRUE(session.isActive());
    session.resume();
    feed(20, 0.3f);
    EXPECT_DOUBLE_EQ(Access::recorder(*app).audioLength(), 2 * before);
    session.pause();
    app->startAndStopRecord();  // a paused recording is stopped, not started again
    EXPECT_FALSE(session.isActive());
    completeRecordings(*app);
    EXPECT_EQ(recordings().size(), 1);
    const FileSound sound = readFileSound(stamped(".wav"));
    EXPECT_NEAR(sound.peak, 0.3f, 0.02f) << "nothing of the paused stretch";
    EXPECT_NEAR(double(sound.frames) / 44100, 2 * before, 0.05);
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
        app->startAndStopRecord();
        feed(1, 0.5f, headset_);
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
            Access::config(*app).setSaveAudioPath(home_.path() + QStringLiteral("/missing/folder"));
        QSignalSpy told(app.get(), &AppDelegate::userNotified);
        app->startAndStopRecord();
        ASSERT_EQ(told.size(), 1) << cause;
        EXPECT_TRUE(told[0][1].toString().contains(cause == 0 ? "missing/folder" : "No input device")) << cause;
        EXPECT_FALSE(Access::session(*app).isActive());
        EXPECT_FALSE(Access::recordTimerRunning(*app));
        EXPECT_EQ(Access::find<QAction>(*app, "recordMenuItem")->text(), QStringLiteral("Start Record"));
        EXPECT_TRUE(Access::config(*app).popAudioDevices()->isEnabled());
        EXPECT_EQ(recordings().size(), 1) << "no empty file is made";
    }
}

TEST_F(AppDelegateTest, ATerminationSignalWhileRecordingCompletesTheFileAndStoresTheLibrary)
{
    auto app = launchPinned();
    QuitSignals quitSignals;
    ASSERT_TRUE(quitSignals.isInstalled());
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, app.get(), [&app] { app->quitTheApp(); });
    app->startAndStopRecord();
    feed(20);
    std::raise(SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Access::session(*app).isActive(); }, 5000));
    EXPECT_FALSE(Access::recorder(*app).isCompleting()) << "quitting waited for the file";
    EXPECT_EQ(libraryLog_.mid(1), (QStringList{"add " + stamped(), "flush", "writeData"}));
    EXPECT_TRUE(workspace_.revealed.isEmpty()) << "quitting reveals nothing";
    EXPECT_GT(readFileSound(stamped()).peak, 0.3f);
    app->applicationWillTerminate();  // aboutToQuit after Quit: nothing happens twice
    EXPECT_EQ(libraryLog_.count("writeData"), 1);
}

TEST_F(AppDelegateTest, AFileADeviceChangeEndedGoesToTheLibraryAtTheStopAndAVanishedDeviceEndsTheRecording)
{
    auto app = launchPinned();
    QSignalSpy told(app.get(), &AppDelegate::userNotified);
    for (const bool completeFirst : {true, false}) {
        SCOPED_TRACE(completeFirst);
        libraryLog_.clear();
        app->chooseAudioDeviceNum(0);
        app->startAndStopRecord();
        feed(20);
        app->chooseAudioDeviceNum(1);  // ends the file; the recording state stays on
        if (completeFirst)
            completeRecordings(*app);
        EXPECT_TRUE(libraryLog_.isEmpty()) << "nothing goes to the library before the stop";
        app->startAndStopRecord();
        completeRecordings(*app);
        EXPECT_EQ(libraryLog_, (QStringList{"add " + stamped(), "flush", "window"}));
        EXPECT_GT(readFileSound(stamped()).peak, 0.3f);
        QFile::remove(stamped());
    }
    EXPECT_TRUE(told.isEmpty());

    // A device that vanishes ends the recording at once, and the user is told once.
    libraryLog_.clear();
    app->chooseAudioDeviceNum(0);
    app->startAndStopRecord();
    feed(20);
    ASSERT_TRUE(audio_->removeDevice(mic_));
    app->showAudioLevel();
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0][1].toString().contains(QStringLiteral("Built-in Microphone")));
    EXPECT_FALSE(Access::session(*app).isActive());
    EXPECT_EQ(Access::find<QAction>(*app, "recordMenuItem")->text(), QStringLiteral("Start Record"));
    completeRecordings(*app);
    EXPECT_EQ(libraryLog_, (QStringList{"add " + stamped(), "flush"}));
    EXPECT_GT(readFileSound(stamped()).peak, 0.3f);
    app->showAudioLevel();
    EXPECT_EQ(told.size(), 1) << "told once";
}

TEST_F(AppDelegateTest, AudioTheDiskCouldNotTakeIsToldOnceTheStallIsOver)
{
    auto app = launchPinned();
    QSignalSpy told(app.get(), &AppDelegate::userNotified);
    app->startAndStopRecord();
    auto gate = std::make_shared<FileGate>();
    ASSERT_TRUE(GatedFile::install(Access::recorder(*app).audioOutput(), gate));
    feed(10);
    // 1.5 s refused, one cycle per level tick: the stall lasts many ticks.
    gate->refuse = 70;
    for (int i = 0; i < 70; ++i) {
        feed(1);
        app->showAudioLevel();
    }
    EXPECT_EQ(told.size(), 0) << "nothing is told while the loss still grows";
    feed(1);
    app->showAudioLevel();
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0][1].toString(), QStringLiteral("1.5 s of audio were lost"));
    EXPECT_TRUE(Access::session(*app).isActive()) << "the recording goes on";

    gate->refuse = 3;
    feed(3);
    app->startAndStopRecord();  // a loss still growing at the stop is told with it
    ASSERT_EQ(told.size(), 2);
    EXPECT_EQ(told[1][1].toString(), QStringLiteral("0.1 s of audio were lost"));
    completeRecordings(*app);
    app->showAudioLevel();
    EXPECT_EQ(told.size(), 2) << "a loss is no failed recording";
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
    for (int i = 0; i < 10; ++i)
        app->showAudioLevel();
    EXPECT_EQ(Access::levelIconPushes(*app), initial + 1) << "the page flips on the tenth tick";
    app->showAudioLevel();
    EXPECT_EQ(Access::levelIconPushes(*app), initial + 2) << "the peak cell arrives on the next redraw";
    EXPECT_EQ(Access::find<AudioWaveView>(*app, "panelAudioWaveView")->buildInAudioWave()->value(9),
        Access::recorder(*app).audioLevel())
        << "the panel's meter is fed the same levels";

    QImage slot(22, 22, QImage::Format_ARGB32_Premultiplied);
    const auto tickAndDraw = [&](int ticks) {
        for (int i = 0; i < ticks; ++i) {
            ASSERT_TRUE(feedTone(mic_, float(i % 13) / 26, 64));  // a period of 13 against pages of 10
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

    Access::levelTimer(*app)->start();
    app->startAndStopRecord();
    int levelTicks = 0;
    QObject::connect(Access::levelTimer(*app), &QTimer::timeout, [&] { ++levelTicks; });
    QString shownInMenu;
    int ticksInMenu = 0;
    QMenu* menu = Access::menu(*app);
    QTimer::singleShot(1600, menu, [&] {
        ticksInMenu = levelTicks;
        shownInMenu = Access::find<QLabel>(*app, "lblRecordAudioTime")->text();
        menu->close();
    });
    menu->exec(QPoint(100, 100));  // the menu's own nested event loop
    EXPECT_GE(ticksInMenu, 20);
    EXPECT_EQ(shownInMenu, QStringLiteral("00:00:01"));
    app->startAndStopRecord();
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
}
