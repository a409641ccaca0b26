// The application controller: builds every long-lived object at start-up,
// owns the two tray icons, the status menu, the windows and the record
// device, feeds the level meter 30 times a second, and runs the record
// command (start, pause, stop, recorded time, the new file's name), also
// when another process asks for it.
//
// Main thread only. main owns the one AppDelegate for the whole run; it owns
// everything it builds. The recordings library is reached through
// AudioLibraryLink, made by a factory set before launch (none yet: the
// library steps are then skipped).
#pragma once

#include "Tray/AppCommands.h"
#include "Tray/AppNotices.h"
#include "AudioLibrary/AudioLibraryLink.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "AudioRecord/RecordSession.h"
#include "Preferences/ConfigAudioWndController.h"
#include "Tray/TrayIcons.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class AudioWaveView;
class SleepInhibitor;
class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QTimer;
class QToolButton;
class QWidget;

namespace Ui {
class MainMenu;
}

// The support page opened from the status menu, an https address chosen
// when building (TRAYTAPE_SUPPORT_URL); empty until the project has a public one.
inline constexpr char kSupportPageAddress[] = TRAYTAPE_SUPPORT_URL;
// That page; without one (only a developer build may lack it) a copy of the
// README the program carries, in the user's own folder: no path of the
// machine it was built on.
QUrl supportPageUrl();

class AppDelegate : public QObject, public ConfigAudioWndControllerDelegate {
    Q_OBJECT

public:
    using LibraryFactory = std::function<std::unique_ptr<AudioLibraryLink>()>;
    // Tray icon sizes the level icon is drawn at (one and two pixels per point).
    static const QList<int> kLevelIconPixels;

    // Loads the main interface file: the status menu, the help window and the
    // recording panel (both open at launch unless the settings close them).
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    void setAudioLibraryFactory(LibraryFactory factory) { libraryFactory_ = std::move(factory); }
    // The clock that names new recordings (tests pin it).
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    // Whether a system tray is there to hold the icons (tests pin it); null restores Qt's answer.
    static void setSystemTrayProbe(std::function<bool()> probe);

    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();

    void showAudioLevel();
    // The user's pick in the preferences: wanted, stored and opened.
    void chooseAudioDeviceNum(std::int32_t index) override;
    void chooseWithSystemAudio(bool on) override;
    void chooseListenWhenIdle(bool on) override;
    void choosePreRoll(double seconds) override;
    void startAndStopRecord();
    // Record When Sound Starts: arms, with the preferences' level and
    // silence, a take of its own each time sound comes; chosen again, disarms.
    void armOrDisarm();
    // Pauses a running recording, resumes a paused one; nothing while idle.
    void pauseAndResumeRecord();
    // Marks the recording where it is (menu, panel button, M on the panel, --mark).
    void addMarker();
    // "Start At…": a take starts the next time the clock reads `time` (today,
    // else tomorrow), while TrayTape runs; an invalid time cancels it.
    void scheduleStart(const QTime& time);
    // "Stop After": the running take stops once `seconds` have passed; 0 cancels.
    void stopAfter(int seconds);
    // When a scheduled take starts; none while nothing is scheduled.
    const std::optional<QDateTime>& scheduledStart() const { return startAt_; }
    // A command from another process (see SingleInstance::kCommands): whether
    // it was done, and what to print (the state, or why it could not be done).
    using CommandAnswer = ::CommandAnswer;
    CommandAnswer obeyCommand(const QString& command);
    void showRecordTime();
    QString getSaveAudioPath() const;
    void setChooseOrNotShowHelp();
    void setChooseOrNotShowRecordingPanel();
    void helpClose();
    void showConfigWnd();
    void showRecordingPanel();
    void showAudioibiary();
    void shoHelpWindow();
    void support();
    // Completes a running recording, stores the library, releases the
    // system-audio capture and ends the event loop.
    void quitTheApp();
    // The part of quitting that must happen however the program ends
    // (Quit, a termination signal, the session ending); runs once.
    void applicationWillTerminate();
    // The desktop session is ending (logout): keep the user's work safe.
    void sessionWillEnd();

    QWidget* window() const { return window_; }

protected:
    // Escape closes the welcome window, as it closes a dialog.
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    // A failure the user must hear of, also shown as a tray notification.
    void userNotified(const QString& title, const QString& message);

private:
    // Whether the chosen input is kept open now: always during a take, between takes as the user chose.
    bool listening() const;
    friend struct AppDelegateTestAccess;

    void connectOutlets();
    void startRecording();
    // A new recording as the preferences describe it: the device they chose,
    // their format, and a dated name in their folder.
    RecordRecipe recordRecipe() const;
    // Preferences' "Keep the last … seconds before Record", within 0 to 60.
    static double preRollSeconds();
    void finishRecording(RecordSession::Ending ending);
    // The controls of a take that runs, or of none (armed or idle), however it began or ended.
    void showTakeStarted();
    void showTakeStopped();
    // Main thread, once a stopped recording's file is complete.
    void deliverRecording(const RecordSession::Delivery& done);
    // Quitting: waits, bounded, for files still being completed and hands them to the library.
    void waitForRecordingCompletion();
    // A fault ended the recording: the controls follow, and the user hears why.
    void recordingEnded(RecordFault fault);
    void notifyUser(const QString& title, const QString& message);
    void notify(const Notice& notice) { notifyUser(notice.title, notice.message); }
    void pushLevelIcon();
    // Menu entries, panel buttons, record icon and sleep lock as the session's state says.
    void showRecordState();
    // The record icon's tooltip: "TrayTape" while idle, else the state, the length and the source.
    void showTrayToolTip();
    // The timers' look, once a second on the clock: a take that is due starts or stops.
    void checkTimers();
    // The timers' menu entries as they stand.
    void showTimers();
    void chooseStartTime();
    void nameRecordingSource();
    void showSourceLevels();
    void checkSystemTray();
    // The welcome window's text, for a desktop with a tray or without one.
    void showWelcomeText(bool tray);
    // The server's devices or default changed: the list follows, and the wanted device opens when idle.
    void followDeviceList();
    // The list shows the wanted device (or the default input standing in),
    // which opens unless it is open and running already.
    void openWantedDevice();
    // Opens entry `index` of the session's device list.
    void openDevice(std::size_t index);

    std::unique_ptr<QWidget> mainInterface_;  // the loaded main interface file; holds its windows and menu
    std::unique_ptr<Ui::MainMenu> ui_;

    QMenu* menuTop_ = nullptr;
    QAction* recordMenuItem_ = nullptr;
    QAction* timeMenuItem_ = nullptr;
    QAction* pauseMenuItem_ = nullptr;
    TrayIcons trayIcons_;
    std::unique_ptr<ConfigAudioWndController> configAudioWndController_;
    std::unique_ptr<AudioWaveView> audioWaveView_;
    std::unique_ptr<AudioRecordDevice> audioRecord_;
    std::unique_ptr<RecordSession> session_;  // of audioRecord_; goes before it; holds the device list
    QTimer* sessionTimer_ = nullptr;          // child of this; runs the session's checks
    QWidget* wndRecordingPanel_ = nullptr;
    QCheckBox* btnShowRecordingPanel_ = nullptr;
    QLabel* lblRecordAudioTime_ = nullptr;
    QToolButton* btnStartRecord_ = nullptr;
    QToolButton* btnPauseRecord_ = nullptr;
    QLabel* lblRecordTip_ = nullptr;
    std::unique_ptr<AudioLibraryLink> audioLibraryWnd_;
    std::unique_ptr<QTimer> timerForShow_;
    QCheckBox* btnShowHelpWnd_ = nullptr;
    QWidget* window_ = nullptr;  // the help window

    QTimer* levelTimer_ = nullptr;  // child of this; runs from start-up to exit
    LibraryFactory libraryFactory_;
    std::function<QDateTime()> clock_ = [] { return QDateTime::currentDateTime(); };
    std::optional<QDateTime> startAt_;  // "Start At…", on clock_
    std::optional<QDateTime> stopAt_;   // "Stop After", on clock_; only while a take runs
    QTimer* timersTimer_ = nullptr;     // child of this; runs checkTimers() while either is set
    QAction* startAtMenuItem_ = nullptr;
    QMenu* stopAfterMenu_ = nullptr;  // child of menuTop_
    // Windows the interface file opens at launch, unless the settings close them first.
    bool helpOpenAtLaunch_ = true;
    bool panelOpenAtLaunch_ = true;
    QString deviceName_;                        // of the device last chosen
    std::vector<RecordSource> chosenSources_;  // what it opened, for the recipe
    SleepInhibitor* sleepInhibitor_ = nullptr;  // child of this
    bool terminated_ = false;
    QToolButton* panelMenuButton_ = nullptr;  // child of the recording panel
    QTimer* trayTimer_ = nullptr;             // child of this
    std::optional<bool> trayAvailable_;       // as last seen; none before the first look
    QString recordingSource_;                 // the input as the tooltip names it
};
