// Shared pieces of the tray application's tests: one QApplication for the
// run, a temporary home with the settings inside it, the virtual sound
// backend, a desktop that records what it is asked to do, and a library that
// records its calls.
#pragma once

#include "Tray/AppDelegate.h"
#include "AudioLibrary/AudioLibraryLink.h"
#include "Preferences/AppControl.h"
#include "Preferences/ConfigAudioWndController.h"
#include "support/backends/VirtualAudio.h"
#include "Desktop/Workspace.h"
#include "support/QtEnvironment.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <memory>

// The tests' way into the controller's inner state.
struct AppDelegateTestAccess {
    static AudioRecordDevice& recorder(AppDelegate& app) { return *app.audioRecord_; }
    static RecordSession& session(AppDelegate& app) { return *app.session_; }
    static ConfigAudioWndController& config(AppDelegate& app) { return *app.configAudioWndController_; }
    static QMenu* menu(AppDelegate& app) { return app.menuTop_; }
    static QTimer* levelTimer(AppDelegate& app) { return app.levelTimer_; }
    static QTimer* sessionTimer(AppDelegate& app) { return app.sessionTimer_; }
    // A tick of the session's timer: what it tells reaches the tray.
    static void check(AppDelegate& app) { app.session_->check(); }
    static bool recordTimerRunning(AppDelegate& app) { return app.timerForShow_ != nullptr; }
    // A tick of the timers' clock, and whether it ticks at all.
    static void checkTimers(AppDelegate& app) { app.checkTimers(); }
    static bool timersTicking(AppDelegate& app) { return app.timersTimer_->isActive(); }
    // What the session's timer does once the server's device list changed.
    static void followDeviceList(AppDelegate& app)
    {
        app.session_->devices().refresh();
        app.followDeviceList();
    }
    static int levelIconPushes(AppDelegate& app) { return app.trayIcons_.levelPushes(); }
    static QSystemTrayIcon* statusAudioWave(AppDelegate& app) { return app.trayIcons_.levelIcon(); }
    static QSystemTrayIcon* statusItem(AppDelegate& app) { return app.trayIcons_.recordIcon(); }
    // A widget or action of the main interface file (the panel's menu button included), by object name.
    template <class T> static T* find(AppDelegate& app, const char* name)
    {
        return app.mainInterface_->findChild<T*>(QLatin1String(name));
    }
};

class RecordingWorkspace : public Workspace {
public:
    void revealInFileManager(const QString& path) override { revealed.append(path); }
    bool openUrl(const QUrl& url) override
    {
        opened.append(url);
        return true;
    }
    void raiseAboveOtherApps(QWidget* window) override
    {
        raised.append(window);
        if (window)
            window->show();
    }
    void notify(const QString& title, const QString& message) override { notified.append(title + '\n' + message); }
    void offerRecording(const QString&, const QString&, const QString& path) override { offered.append(path); }

    QStringList revealed, notified, offered;
    QList<QUrl> opened;
    QList<QWidget*> raised;
};

// Records the calls the controller makes on the library, in order.
class FakeLibrary : public AudioLibraryLink {
public:
    FakeLibrary(QStringList* log, std::function<QString()>* recording) : log_(log), recording_(recording) { }
    QWidget* window() override
    {
        log_->append(QStringLiteral("window"));
        return &window_;
    }
    void addAudioItemFromPath(
        const QString& path, const std::vector<double>& markers, const QStringList& sources) override
    {
        QString line = QStringLiteral("add ") + path;
        for (const double at : markers)
            line += QLatin1Char(' ') + QString::number(at);
        for (const QString& source : sources)
            line += QStringLiteral(" + ") + source;
        log_->append(line);
    }
    void flushAudioLibrary() override { log_->append(QStringLiteral("flush")); }
    void writeData() override { log_->append(QStringLiteral("writeData")); }
    void recoverAudioItemFromPath(const QString& path, std::function<void()> finished) override
    {
        log_->append(QStringLiteral("recover ") + path);
        finished();
    }
    void setRecordingInProgress(std::function<QString()> path) override { *recording_ = std::move(path); }

private:
    QStringList* log_;
    std::function<QString()>* recording_;
    QWidget window_;
};

// Every test gets a fresh home (so a fresh default save folder), empty
// settings without the help window, a recording desktop and a virtual sound
// backend with two inputs at 48 kHz, the microphone the default.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home_.isValid());
        qputenv("HOME", home_.path().toLocal8Bit());
        QDir(home_.path()).mkpath(QStringLiteral("tmp"));
        qputenv("TMPDIR", (home_.path() + QStringLiteral("/tmp")).toLocal8Bit());
        // The user's private runtime folder: the single-instance socket and the help document's copy.
        const QString runtime = home_.path() + QStringLiteral("/runtime");
        QDir(home_.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
        // No system bus: a take must not ask the machine's own logind for a sleep lock.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (runtime + QStringLiteral("/no-bus")).toLocal8Bit());
        // The offscreen platform has no tray; most tests look at a desktop that has one.
        AppDelegate::setSystemTrayProbe([] { return true; });
        QSettings().clear();
        AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppShowHelpWnd);
        audio_ = VirtualAudio::install();
        Workspace::setShared(&workspace_);
        for (const char* name : {"Built-in Microphone", "USB Headset"}) {
            VirtualDevice device;
            device.name = name;
            device.uid = std::string("virtual.") + name;
            (mic_ ? headset_ : mic_) = audio_->addDevice(device);
        }
        audio_->setDefaultInputDevice(mic_);
    }
    void TearDown() override
    {
        Workspace::setShared(nullptr);
        AppDelegate::setSystemTrayProbe(nullptr);
        setAudioBackend(nullptr);
        QSettings().clear();
    }

    // Builds the controller and runs both launch hooks, as main does.
    std::unique_ptr<AppDelegate> launch()
    {
        auto delegate = std::make_unique<AppDelegate>();
        delegate->setAudioLibraryFactory([this] { return std::make_unique<FakeLibrary>(&libraryLog_, &libraryRecording_); });
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching();
        return delegate;
    }
    // Launched with a fixed clock and the timers stopped: the tests tick by hand.
    std::unique_ptr<AppDelegate> launchPinned()
    {
        auto app = launch();
        AppDelegateTestAccess::levelTimer(*app)->stop();
        AppDelegateTestAccess::sessionTimer(*app)->stop();
        app->setClock([] { return QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)); });
        return app;
    }
    // The file a pinned launch records to first.
    static QString stamped(const char* suffix = ".m4a")
    {
        return saveFolder() + QStringLiteral("/24_03_05 14_07_09_Audio") + QLatin1String(suffix);
    }
    // Capture cycles of 1024 frames of a 1 kHz tone.
    void feed(int cycles, float amplitude = 0.5f, AudioObjectID device = 0)
    {
        for (int i = 0; i < cycles; ++i)
            ASSERT_TRUE(audio_->runCycle(device ? device : mic_, 1024, [amplitude](std::uint32_t, std::uint32_t f) {
                return amplitude * float(std::sin(2 * M_PI * 1000.0 * f / 48000.0));
            }));
    }
    // Waits until the recordings stopped so far are complete and handed on.
    static void completeRecordings(AppDelegate& app)
    {
        ASSERT_TRUE(AppDelegateTestAccess::session(app).waitForCompletion(std::chrono::seconds(60)));
    }
    // A recording with a few cycles of tone in it, stopped by the user.
    void recordTone(AppDelegate& app)
    {
        app.startAndStopRecord();
        feed(20);
        app.startAndStopRecord();
        completeRecordings(app);
    }
    // The id of the device the one running capture unit listens to (0: none).
    AudioObjectID capturingDevice() const
    {
        for (const VirtualUnitState& unit : audio_->units())
            if (unit.running)
                return unit.currentDevice;
        return 0;
    }
    static QString saveFolder() { return AppControl::defaultSaveAudioPath(); }
    static QStringList recordings() { return QDir(saveFolder()).entryList(QDir::Files, QDir::Name); }

    QTemporaryDir home_;
    VirtualAudio* audio_ = nullptr;  // owned by the process-wide backend slot
    AudioObjectID mic_ = 0, headset_ = 0;
    RecordingWorkspace workspace_;
    QStringList libraryLog_;
    // What the library is told is being recorded now.
    std::function<QString()> libraryRecording_;
};
