#include "Tray/AppDelegate.h"

#include "AudioLibrary/AudioLibraryWnd.h"
#include "Preferences/AppControl.h"
#include "View/AudioWaveView.h"
#include "platform/audiofile/SafeFile.h"
#include "Desktop/Contrast.h"
#include "Desktop/Resources.h"
#include "Desktop/SleepInhibitor.h"
#include "Desktop/WindowPlacement.h"
#include "Desktop/Workspace.h"
#include "ui_MainMenu.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLayout>
#include <QStyle>
#include <QTextBrowser>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cmath>

const QList<int> AppDelegate::kLevelIconPixels{22, 24, 44, 48};

namespace {
constexpr int kNotificationMilliseconds = 15000;
const QString& kRecordingInProgress = SettingsKey::RecordingInProgress;
// How often to look whether a tray has come or gone (a panel restarting, an extension switched off).
constexpr int kTrayCheckMilliseconds = 2000;
// How long quitting waits for a recording's completion. A cut wait leaves the
// fragmented file, which plays; only the rewrite into an ordinary file is lost.
constexpr std::chrono::seconds kQuitCompletionWait{20};

// A take's length as a tray tooltip says it: "0:42", "1:02:03".
// How long the panel tells where a marker went.
constexpr int kMarkerShownMilliseconds = 2000;

QString elapsedText(double seconds)
{
    const auto whole = std::int64_t(std::clamp(std::isnan(seconds) ? 0.0 : seconds, 0.0, 1e9));
    const auto minutes = whole / 60 % 60, hours = whole / 3600;
    const QString tail = QStringLiteral("%1:%2")
                             .arg(minutes, hours ? 2 : 1, 10, QLatin1Char('0'))
                             .arg(whole % 60, 2, 10, QLatin1Char('0'));
    return hours ? QStringLiteral("%1:%2").arg(hours).arg(tail) : tail;
}
}  // namespace

QUrl supportPageUrl()
{
    if (kSupportPageAddress[0] != '\0')
        return QUrl(QString::fromUtf8(kSupportPageAddress));
#ifdef TRAYTAPE_README_IN_RESOURCES
    return QUrl::fromLocalFile(ConfigAudioWndController::documentCopy(QStringLiteral("README.md")));
#else
    return {};
#endif
}

void AppDelegate::setSystemTrayProbe(std::function<bool()> probe)
{
    TrayIcons::setProbe(std::move(probe));
}

AppDelegate::AppDelegate(QObject* parent) : QObject(parent)
{
    // A tray program: closing its last window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    mainInterface_ = std::make_unique<QWidget>();
    ui_ = std::make_unique<Ui::MainMenu>();
    ui_->setupUi(mainInterface_.get());

    menuTop_ = ui_->menuTop;
    recordMenuItem_ = ui_->recordMenuItem;
    timeMenuItem_ = ui_->timeMenuItem;
    pauseMenuItem_ = ui_->pauseMenuItem;
    window_ = ui_->helpWindow;
    btnShowHelpWnd_ = ui_->btnShowHelpWnd;
    wndRecordingPanel_ = ui_->wndRecordingPanel;
    btnShowRecordingPanel_ = ui_->btnShowRecordingPanel;
    lblRecordAudioTime_ = ui_->lblRecordAudioTime;
    btnStartRecord_ = ui_->btnStartRecord;
    btnPauseRecord_ = ui_->btnPauseRecord;
    lblRecordTip_ = ui_->lblRecordTip;

    // The two windows stay children of the interface holder (which owns
    // them) but are windows of their own.
    const QIcon appIcon = resources::scalableIcon(QStringLiteral("TrayTape"));
    for (QWidget* w : {window_, wndRecordingPanel_}) {
        w->setWindowFlags(Qt::Window);
        w->setWindowIcon(appIcon);
        WindowPlacement::leaveToWindowManager(w);
    }
    wndRecordingPanel_->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    // Designer gives the layouts of windows nested in one interface file no
    // margins; as windows of their own they take the style's.
    for (QWidget* w : {window_, wndRecordingPanel_}) {
        QStyle* style = w->style();
        w->layout()->setContentsMargins(style->pixelMetric(QStyle::PM_LayoutLeftMargin, nullptr, w),
            style->pixelMetric(QStyle::PM_LayoutTopMargin, nullptr, w),
            style->pixelMetric(QStyle::PM_LayoutRightMargin, nullptr, w),
            style->pixelMetric(QStyle::PM_LayoutBottomMargin, nullptr, w));
    }
    btnStartRecord_->setIcon(resources::icon(QStringLiteral("StartRecord.png")));
    btnPauseRecord_->setIcon(resources::icon(QStringLiteral("Pause.png")));
    sleepInhibitor_ = new SleepInhibitor(this);
    // Without a library there is nothing to show for this item.
    ui_->showLibraryItem->setVisible(false);
    panelMenuButton_ = TrayIcons::addPanelMenuButton(wndRecordingPanel_, ui_->recordRow, menuTop_);
    // The timers sit by the record entries: "Start At…" while idle, "Stop After" while a take runs.
    startAtMenuItem_ = new QAction(tr("Start At\u2026"), mainInterface_.get());
    startAtMenuItem_->setObjectName(QStringLiteral("startAtMenuItem"));
    menuTop_->insertAction(timeMenuItem_, startAtMenuItem_);
    stopAfterMenu_ = new QMenu(tr("Stop After"), menuTop_);
    stopAfterMenu_->setObjectName(QStringLiteral("stopAfterMenu"));
    for (const auto& [seconds, text] : {std::pair{600, tr("10 Minutes")}, {1800, tr("30 Minutes")},
             {3600, tr("1 Hour")}, {7200, tr("2 Hours")}, {0, tr("Don't Stop")}}) {
        QAction* choice = stopAfterMenu_->addAction(text);
        choice->setObjectName(QStringLiteral("stopAfter%1").arg(seconds));
        connect(choice, &QAction::triggered, this, [this, s = seconds] { stopAfter(s); });
    }
    menuTop_->insertMenu(timeMenuItem_, stopAfterMenu_);
    timersTimer_ = new QTimer(this);
    timersTimer_->setInterval(1000);
    connect(timersTimer_, &QTimer::timeout, this, [this] { checkTimers(); });
    window_->installEventFilter(this);
    connectOutlets();
}

AppDelegate::~AppDelegate()
{
    // Capture ends first, so no call-back runs while the rest is torn down.
    session_.reset();
    audioRecord_.reset();
}

void AppDelegate::connectOutlets()
{
    connect(recordMenuItem_, &QAction::triggered, this, [this] { startAndStopRecord(); });
    connect(btnStartRecord_, &QToolButton::clicked, this, [this] { startAndStopRecord(); });
    connect(pauseMenuItem_, &QAction::triggered, this, [this] { pauseAndResumeRecord(); });
    connect(ui_->recordOnSoundItem, &QAction::triggered, this, [this] { armOrDisarm(); });
    connect(btnPauseRecord_, &QToolButton::clicked, this, [this] { pauseAndResumeRecord(); });
    connect(ui_->markMenuItem, &QAction::triggered, this, [this] { addMarker(); });
    connect(ui_->btnAddMarker, &QToolButton::clicked, this, [this] { addMarker(); });
    connect(ui_->showRecordingPanelItem, &QAction::triggered, this, [this] { showRecordingPanel(); });
    connect(ui_->showLibraryItem, &QAction::triggered, this, [this] { showAudioibiary(); });
    connect(ui_->showConfigItem, &QAction::triggered, this, [this] { showConfigWnd(); });
    connect(ui_->showHelpItem, &QAction::triggered, this, [this] { shoHelpWindow(); });
    connect(ui_->supportItem, &QAction::triggered, this, [this] { support(); });
    connect(ui_->quitItem, &QAction::triggered, this, [this] { quitTheApp(); });
    connect(startAtMenuItem_, &QAction::triggered, this, [this] {
        if (startAt_)
            scheduleStart({});
        else
            chooseStartTime();
    });
    connect(btnShowHelpWnd_, &QCheckBox::clicked, this, [this] { setChooseOrNotShowHelp(); });
    connect(btnShowRecordingPanel_, &QCheckBox::clicked, this, [this] { setChooseOrNotShowRecordingPanel(); });
    connect(ui_->btnHelpClose, &QPushButton::clicked, this, [this] { helpClose(); });
}

void AppDelegate::applicationWillFinishLaunching()
{
    if (AppControl::AppReadKeyValue(SettingsKey::OpenAppShowHelpWnd, 1).toInt() == 0) {
        btnShowHelpWnd_->setChecked(false);
        helpOpenAtLaunch_ = false;
    }
    if (AppControl::AppReadKeyValue(SettingsKey::OpenAppRecordingPanel, 1).toInt() == 0) {
        btnShowRecordingPanel_->setChecked(false);
        panelOpenAtLaunch_ = false;
    } else {
        btnShowRecordingPanel_->setChecked(true);
    }
    // The windows the interface file opens at launch appear now; those the
    // settings closed never do.
    if (helpOpenAtLaunch_)
        window_->show();
    if (panelOpenAtLaunch_)
        wndRecordingPanel_->show();
    checkSystemTray();
}

void AppDelegate::applicationDidFinishLaunching()
{
    // 1. The level meter the level tray icon is drawn from.
    audioWaveView_ = std::make_unique<AudioWaveView>();
    audioWaveView_->setGeometry(0, 0, AudioWaveView::kWidth, AudioWaveView::kHeight);

    // 2.
    timerForShow_.reset();

    // 3. Capture starts when a device is opened (8); until a recording starts nothing is written.
    audioRecord_ = std::make_unique<AudioRecordDevice>();
    RecordSession::Hooks hooks;
    hooks.readMark
        = [] { return AppControl::AppReadKeyValue(kRecordingInProgress, QString()).toString().toStdString(); };
    // Written through at once: a crash from here on leaves it for the next start.
    hooks.writeMark = [](const std::string& path) {
        AppControl::AppWriteKeyValue(QString::fromStdString(path), kRecordingInProgress);
    };
    hooks.wake = [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (session_)
                    session_->deliverCompleted();
            },
            Qt::QueuedConnection);
    };
    hooks.delivered = [this](const RecordSession::Delivery& done) { deliverRecording(done); };
    hooks.moved = [this](const std::string& path) { notify(AppNotices::fileMoved(QString::fromStdString(path))); };
    hooks.audioLost = [this](double seconds) { notify(AppNotices::audioLost(seconds)); };
    hooks.silence = [this](RecordSession::Silence silence) {
        const auto& device = audioRecord_->device();
        if (device && !device->application().empty() && silence == RecordSession::Silence::Silent)
            notify(AppNotices::applicationSilent(QString::fromStdString(device->deviceName()),
                std::chrono::duration_cast<std::chrono::seconds>(session_->silenceAfter()).count()));
        else
            notify(AppNotices::silence(silence == RecordSession::Silence::Muted, deviceName_));
    };
    hooks.ended = [this](RecordFault fault) { recordingEnded(fault); };
    hooks.devicesChanged = [this] { followDeviceList(); };
    hooks.sourceMissing = [this](const std::string& path, OSStatus why) {
        notify(AppNotices::sourceNotCreated(QString::fromStdString(path), why));
    };
    // Sound started a take, or silence ended one.
    hooks.changed = [this](RecordSession::State state) {
        if (state == RecordSession::State::Recording)
            showTakeStarted();
        else
            showTakeStopped();
    };
    // Qt timers also fire inside the nested loops of open menus and modal dialogs.
    hooks.every = [this](std::chrono::milliseconds interval, std::function<void()> check) {
        sessionTimer_ = new QTimer(this);
        sessionTimer_->setTimerType(Qt::PreciseTimer);
        sessionTimer_->setInterval(interval);
        connect(sessionTimer_, &QTimer::timeout, this, std::move(check));
        sessionTimer_->start();
    };
    // The session listens to the server's device list from here on, so no change after its first read is missed.
    session_ = std::make_unique<RecordSession>(*audioRecord_, std::move(hooks));
    session_->keepBeforeStart(preRollSeconds());
    audioRecord_->connectSystemAudioRecord(true);
    audioRecord_->pause();

    // 4. Loading the library window loads the stored library.
    if (libraryFactory_) {
        audioLibraryWnd_ = libraryFactory_();
        if (auto* library = dynamic_cast<AudioLibraryWnd*>(audioLibraryWnd_.get()))
            connect(library, &AudioLibraryWnd::userNotified, this, &AppDelegate::notifyUser);
        if (audioLibraryWnd_) {
            audioLibraryWnd_->setRecordingInProgress([this] {
                return session_ && session_->isActive() && session_->path() ? QString::fromStdString(*session_->path())
                                                                            : QString();
            });
            if (QWidget* libraryWindow = audioLibraryWnd_->window())
                libraryWindow->hide();
            ui_->showLibraryItem->setVisible(true);
            const QString interrupted = AppControl::AppReadKeyValue(kRecordingInProgress, QString()).toString();
            if (!interrupted.isEmpty())
                audioLibraryWnd_->recoverAudioItemFromPath(interrupted, [interrupted] {
                    // A recording started meanwhile has a mark of its own.
                    if (AppControl::AppReadKeyValue(kRecordingInProgress, QString()).toString() == interrupted)
                        AppControl::AppWriteKeyValue(QString(), kRecordingInProgress);
                });
        }
    }

    // 5. The devices were listed as the session was made (3); the stored choice among them.
    AudioDeviceChoice& devices = session_->devices();
    const QString storedUID = AppControl::AppReadKeyValue(SettingsKey::AudioDeviceUniqueID, QString()).toString();
    const QVariant legacyIndex = AppControl::AppReadKeyValue(SettingsKey::AudioDeviceNSNumberChoose, QVariant());
    devices.restore(storedUID.toStdString(), legacyIndex.isValid() ? std::optional(legacyIndex.toInt()) : std::nullopt);
    devices.setWithComputerSound(AppControl::AppReadKeyValue(SettingsKey::RecordWithSystemAudio, false).toBool());

    // 6. The record icon opens the status menu on any click, as a menu-bar item does.
    trayIcons_.addRecordIcon(menuTop_);
    showRecordState();
    trayIcons_.recordIcon()->show();

    // 7. The level icon; a click on it brings up the recording panel and its full-size meter.
    trayIcons_.addLevelIcon(menuTop_, [this] { showRecordingPanel(); });
    pushLevelIcon();
    trayIcons_.levelIcon()->show();

    // 8. Delegate and devices go in before loading; the saved device opens once the list shows it.
    configAudioWndController_ = std::make_unique<ConfigAudioWndController>();
    configAudioWndController_->setDelegate(this);
    configAudioWndController_->setAudioDevices(&devices);
    connect(configAudioWndController_.get(), &ConfigAudioWndController::saveFolderMissing, this,
        [this](const QString& folder) { notify(AppNotices::saveFolderMissing(folder)); });
    connect(configAudioWndController_.get(), &ConfigAudioWndController::saveFolderRefused, this,
        [this](const QString& folder) {
            notify(AppNotices::saveFolderRefused(folder, configAudioWndController_->saveAudioPath()));
        });
    configAudioWndController_->loadWindow();
    openWantedDevice();
    configAudioWndController_->close();

    // 9.
    // The grey, shaded as far as the palette's text needs to read on it.
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window,
        contrast::backgroundFor(palette.color(QPalette::WindowText), QColor::fromRgbF(0.6f, 0.6f, 0.6f, 1.0f)));
    window_->setPalette(palette);
    window_->setAutoFillBackground(true);

    // 10. Qt timers also fire inside the nested loops of open menus and modal dialogs.
    levelTimer_ = new QTimer(this);
    levelTimer_->setTimerType(Qt::PreciseTimer);
    levelTimer_->setInterval(1000 / 30);
    connect(levelTimer_, &QTimer::timeout, this, [this] { showAudioLevel(); });
    levelTimer_->start();
    trayTimer_ = new QTimer(this);
    trayTimer_->setInterval(kTrayCheckMilliseconds);
    connect(trayTimer_, &QTimer::timeout, this, [this] { checkSystemTray(); });
    trayTimer_->start();

    // However the program ends (the session ending included), a running recording is completed.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { sessionWillEnd(); });
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { applicationWillTerminate(); });
}

void AppDelegate::showAudioLevel()
{
    const auto level = float(audioRecord_->audioLevel());
    audioWaveView_->appendBuildInAudioWave(level);
    pushLevelIcon();
    ui_->panelAudioWaveView->appendBuildInAudioWave(level);
    // Repainted only when its cells move: most ticks between page flips change nothing.
    ui_->panelAudioWaveView->redrawIfChanged();
    showSourceLevels();
}

void AppDelegate::followDeviceList()
{
    const AudioDeviceChoice& devices = session_->devices();
    const auto& open = audioRecord_->device();
    // A recording keeps its device; the wanted one opens once it stops.
    if (!session_->isActive() || !open) {
        openWantedDevice();
        return;
    }
    // Until then the list shows the device recorded from.
    std::size_t shown = devices.wantedIndex();
    for (std::size_t i = 0; i < devices.devices().size(); ++i)
        if (devices.devices()[i]->uniqueID() == open->uniqueID())
            shown = i;
    configAudioWndController_->reloadAudioDevices(int(shown));
    nameRecordingSource();
}

void AppDelegate::openWantedDevice()
{
    const AudioDeviceChoice& devices = session_->devices();
    const std::size_t index = devices.wantedIndex();
    configAudioWndController_->reloadAudioDevices(int(index));
    const auto& open = audioRecord_->device();
    if (listening() && open && open->isRunning() && open->uniqueID() == devices.devices()[index]->uniqueID())
        return;
    openDevice(index);
}

void AppDelegate::showSourceLevels()
{
    // The meter shows the mix; the panel says what each part brings to it.
    const auto levels = audioRecord_->sourceLevels();
    ui_->lblSourceLevels->setVisible(levels.has_value());
    if (!levels)
        return;
    const auto decibels
        = [](float peak) { return peak > 0.001f ? tr("%1 dB").arg(std::lround(20 * std::log10(peak))) : tr("silent"); };
    ui_->lblSourceLevels->setText(tr("Input %1 · Computer %2").arg(decibels(levels->input), decibels(levels->system)));
}

void AppDelegate::pushLevelIcon()
{
    // Every redraw advances the peak hold; only a changed picture goes to the tray.
    trayIcons_.showLevel(audioWaveView_->redrawCompact(kLevelIconPixels));
}

void AppDelegate::chooseAudioDeviceNum(std::int32_t index)
{
    AudioDeviceChoice& devices = session_->devices();
    if (index < 0 || std::size_t(index) >= devices.devices().size())
        return;
    // The identifier stays wanted while the device is missing, and opens again when it comes back.
    const std::string uid = devices.devices()[std::size_t(index)]->uniqueID().value_or(std::string());
    devices.setWantedUID(uid);
    // Stored the moment it is made: a session that ends abruptly must not start the next one on the old device.
    AppControl::AppWriteKeyValue(index, SettingsKey::AudioDeviceNSNumberChoose);
    AppControl::AppWriteKeyValue(QString::fromStdString(uid), SettingsKey::AudioDeviceUniqueID);
    openDevice(std::size_t(index));
}

void AppDelegate::chooseWithSystemAudio(bool on)
{
    session_->devices().setWithComputerSound(on);
    AppControl::AppWriteKeyValue(on, SettingsKey::RecordWithSystemAudio);
    // The input is opened again, with the computer's sound or without.
    openDevice(session_->devices().wantedIndex());
}

bool AppDelegate::listening() const
{
    return session_->state() != RecordSession::State::Idle
        || AppControl::AppReadKeyValue(SettingsKey::ListenWhenIdle, true).toBool();
}

double AppDelegate::preRollSeconds()
{
    const double seconds = AppControl::AppReadKeyValue(SettingsKey::PreRollSeconds, 0).toDouble();
    return std::isfinite(seconds) ? std::clamp(seconds, 0.0, 60.0) : 0.0;
}

void AppDelegate::choosePreRoll(double seconds)
{
    session_->keepBeforeStart(seconds);
}

void AppDelegate::armOrDisarm()
{
    if (session_->state() != RecordSession::State::Idle) {
        // Disarms, and ends a take under way as Stop Record does.
        finishRecording(RecordSession::Ending::User);
        return;
    }
    RecordRecipe recipe = recordRecipe();
    recipe.destination.name.clear();  // each take is named when its sound comes
    recipe.onSound
        = SoundStart{std::clamp(AppControl::AppReadKeyValue(SettingsKey::SoundStartLevel, -40).toDouble(), -60.0, 0.0),
            std::max(AppControl::AppReadKeyValue(SettingsKey::SoundStopSilence, 5).toDouble(), 0.0), true};
    const RecordSession::StartResult started = session_->start(recipe);
    if (started == RecordSession::StartResult::NoDevice)
        notify(AppNotices::noInputDevice());
    else if (started == RecordSession::StartResult::DeviceGone)
        notify(AppNotices::deviceGoneAtStart(deviceName_));
    showTakeStopped();
}

void AppDelegate::chooseListenWhenIdle(bool)
{
    if (!session_->isActive())
        openDevice(session_->devices().wantedIndex());
}

void AppDelegate::openDevice(std::size_t index)
{
    const AudioDeviceChoice& devices = session_->devices();
    const auto& device = devices.devices().at(index);
    audioRecord_->setWithSystemAudio(devices.withComputerSound());
    // Opened as the next recording will want it, so a start need not open it again.
    audioRecord_->setSeparateSources(AppControl::AppReadKeyValue(SettingsKey::RecordSeparateSources, false).toBool());
    // Not listening between takes, the input stays closed until one starts:
    // the session opens it then, from the recipe's sources.
    const bool listen = listening();
    session_->configDevice(listen ? device : nullptr);
    // Kept for telling the user which device vanished, when it can no longer be asked.
    deviceName_ = ConfigAudioWndController::shownDeviceName(*device);
    chosenSources_.clear();
    if (audioRecord_->device() || !listen)
        chosenSources_ = devices.sourcesOf(*device);
    // The panel names the input before anything is recorded from it.
    nameRecordingSource();
}

void AppDelegate::startAndStopRecord()
{
    if (session_->isActive())
        finishRecording(RecordSession::Ending::User);
    else
        startRecording();
}

void AppDelegate::startRecording()
{
    configAudioWndController_->setISRecording(true);
    const RecordRecipe recipe = recordRecipe();
    const QString path = QString::fromStdString(recipe.destination.path());
    // The M4A rewrite of a take killed outright left its hidden file here.
    audiofile::removeStaleTemporaries(QFile::encodeName(QFileInfo(path).absolutePath()).toStdString());
    const RecordSession::StartResult started = session_->start(recipe);
    if (started != RecordSession::StartResult::Started) {
        // Counting time into a file that does not exist would only mislead: stay idle and say why.
        configAudioWndController_->setISRecording(false);
        if (started == RecordSession::StartResult::NoDevice)
            notify(AppNotices::noInputDevice());
        else if (started == RecordSession::StartResult::DeviceGone)
            notify(AppNotices::deviceGoneAtStart(deviceName_));
        else
            notify(AppNotices::fileNotCreated(path, session_->failure()));
        return;
    }
    // The chosen input left while idle and the default input stood in: recorded, but said.
    if (const auto gone = session_->devices().missingWanted())
        notify(AppNotices::recordingFromFallback(ConfigAudioWndController::shownDeviceName(*gone), deviceName_));

    showTakeStarted();
}

void AppDelegate::showTakeStarted()
{
    configAudioWndController_->setISRecording(true);
    recordMenuItem_->setText(tr("Stop Record"));
    lblRecordTip_->setText(tr("Stop Record"));
    btnStartRecord_->setIcon(resources::icon(QStringLiteral("StopRecord.png")));
    showRecordTime();
    showRecordState();

    timerForShow_ = std::make_unique<QTimer>();
    timerForShow_->setInterval(1000);
    connect(timerForShow_.get(), &QTimer::timeout, this, [this] { showRecordTime(); });
    timerForShow_->start();
}

void AppDelegate::finishRecording(RecordSession::Ending ending)
{
    timerForShow_.reset();
    stopAt_.reset();  // the take it was for has ended
    // Returns at once: the file is completed on the record device's completion thread.
    session_->stop(ending);
    showTakeStopped();
}

void AppDelegate::showTakeStopped()
{
    timerForShow_.reset();

    recordMenuItem_->setText(tr("Start Record"));
    lblRecordTip_->setText(tr("Start Record"));
    btnStartRecord_->setIcon(resources::icon(QStringLiteral("StartRecord.png")));
    // The next take starts from nothing; the last one's length is in the library.
    lblRecordAudioTime_->setText(AppControl::timeText(0));
    timeMenuItem_->setText(tr("Recorded Time: %1").arg(AppControl::timeText(0)));
    configAudioWndController_->setISRecording(false);
    // A device that came back during the recording, or the fallback for one that went.
    openWantedDevice();
    showRecordState();
}

void AppDelegate::pauseAndResumeRecord()
{
    if (session_->state() == RecordSession::State::Recording)
        session_->pause();
    else
        session_->resume();
    showRecordState();
}

void AppDelegate::addMarker()
{
    const std::optional<double> at = session_->addMarker();
    if (!at)
        return;
    // Told on the panel for a moment, in place of what its button does.
    lblRecordTip_->setText(tr("Marker at %1").arg(elapsedText(*at)));
    QTimer::singleShot(kMarkerShownMilliseconds, this, [this] { showRecordState(); });
}

void AppDelegate::showRecordState()
{
    const RecordSession::State state = session_->state();
    const bool paused = state == RecordSession::State::Paused;
    const bool armed = state == RecordSession::State::Armed;
    ui_->markMenuItem->setEnabled(session_->isActive());
    ui_->btnAddMarker->setEnabled(session_->isActive());
    pauseMenuItem_->setEnabled(session_->isActive());
    pauseMenuItem_->setText(paused ? tr("Resume Recording") : tr("Pause Recording"));
    btnPauseRecord_->setEnabled(session_->isActive());
    btnPauseRecord_->setToolTip(pauseMenuItem_->text());
    btnPauseRecord_->setIcon(resources::icon(paused ? QStringLiteral("Resume.png") : QStringLiteral("Pause.png")));
    // Checked while sound starts the takes, a take under way included.
    ui_->recordOnSoundItem->setChecked(session_->startsOnSound());
    if (armed)
        lblRecordTip_->setText(tr("Waiting for sound"));
    else if (state != RecordSession::State::Idle)
        lblRecordTip_->setText(paused ? tr("Paused") : tr("Stop Record"));
    // A laptop that suspends mid-take loses the rest of it; a paused take is still one.
    if (state == RecordSession::State::Idle)
        sleepInhibitor_->release();
    else
        sleepInhibitor_->hold();
    trayIcons_.showRecordState(state, resources::kIconPixels, startAt_.has_value());
    nameRecordingSource();
    showTimers();
}

void AppDelegate::scheduleStart(const QTime& time)
{
    startAt_.reset();
    if (time.isValid()) {
        const QDateTime now = clock_();
        QDateTime at(now.date(), QTime(time.hour(), time.minute()));
        if (at <= now)
            at = at.addDays(1);
        startAt_ = at;
    }
    showRecordState();
}

void AppDelegate::stopAfter(int seconds)
{
    stopAt_.reset();
    if (seconds > 0 && session_->isActive())
        stopAt_ = clock_().addSecs(seconds);
    showTimers();
}

void AppDelegate::checkTimers()
{
    const QDateTime now = clock_();
    if (startAt_ && now >= *startAt_) {
        startAt_.reset();
        // One already running is the take the user wanted at this time.
        if (!session_->isActive())
            startRecording();
        showRecordState();
    }
    if (stopAt_ && now >= *stopAt_ && session_->isActive())
        finishRecording(RecordSession::Ending::User);
}

void AppDelegate::showTimers()
{
    const bool idle = !session_->isActive();
    startAtMenuItem_->setText(
        startAt_ ? tr("Cancel Start at %1").arg(startAt_->toString(QStringLiteral("HH:mm"))) : tr("Start At\u2026"));
    startAtMenuItem_->setEnabled(idle || startAt_);
    stopAfterMenu_->setEnabled(!idle);
    stopAfterMenu_->setTitle(
        stopAt_ ? tr("Stop at %1").arg(stopAt_->toString(QStringLiteral("HH:mm"))) : tr("Stop After"));
    // The clock is looked at only while something waits for it.
    if (startAt_ || stopAt_)
        timersTimer_->start();
    else
        timersTimer_->stop();
}

void AppDelegate::chooseStartTime()
{
    // Modeless, as the tray's other windows: the menu's loop is not held while the user picks.
    auto* dialog = new QDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Start Recording At"));
    auto* layout = new QVBoxLayout(dialog);
    auto* time = new QTimeEdit(clock_().time().addSecs(3600), dialog);
    time->setDisplayFormat(QStringLiteral("HH:mm"));
    layout->addWidget(time);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    connect(dialog, &QDialog::accepted, this, [this, time] { scheduleStart(time->time()); });
    Workspace::shared().raiseAboveOtherApps(dialog);
}

void AppDelegate::nameRecordingSource()
{
    // Asked of the server only here, not at every tick of the clock: at the
    // start, a pause or a resume, and when the devices or the default change
    // ("Default input" records whichever device is the default now).
    const auto& device = audioRecord_->device();
    recordingSource_ = device ? ConfigAudioWndController::shownDeviceName(*device) : deviceName_;
    if (audioRecord_->withSystemAudio())
        recordingSource_ = tr("%1 + computer's sound").arg(recordingSource_);
    ui_->lblRecordSource->setText(recordingSource_);
    showTrayToolTip();
}

void AppDelegate::showTrayToolTip()
{
    const RecordSession::State state = session_->state();
    if (state == RecordSession::State::Idle) {
        trayIcons_.showToolTip(QStringLiteral("TrayTape"));
        return;
    }
    if (state == RecordSession::State::Armed) {
        trayIcons_.showToolTip(QStringLiteral("%1 \u2014 %2").arg(tr("Waiting for sound"), recordingSource_));
        return;
    }
    const QString what = state == RecordSession::State::Paused ? tr("Paused") : tr("Recording");
    trayIcons_.showToolTip(
        QStringLiteral("%1 %2 \u2014 %3").arg(what, elapsedText(audioRecord_->audioLength()), recordingSource_));
}

AppDelegate::CommandAnswer AppDelegate::obeyCommand(const QString& command)
{
    CommandSteps steps;
    steps.session = session_.get();
    steps.recordedSeconds = [this] { return audioRecord_->audioLength(); };
    steps.hasLibrary = audioLibraryWnd_ != nullptr;
    steps.showLibrary = [this] { showAudioibiary(); };
    steps.pauseOrResume = [this] { pauseAndResumeRecord(); };
    steps.addMarker = [this] { addMarker(); };
    steps.scheduledStart = [this] { return startAt_; };
    steps.scheduleStart = [this](const QTime& time) { scheduleStart(time); };
    steps.startOrStop = [this] {
        QString why;
        const auto connection = connect(
            this, &AppDelegate::userNotified, this, [&why](const QString&, const QString& message) { why = message; },
            Qt::DirectConnection);
        startAndStopRecord();
        disconnect(connection);
        return why;
    };
    return AppCommands::obey(steps, command);
}

void AppDelegate::deliverRecording(const RecordSession::Delivery& done)
{
    // Stopped before any audio arrived: no file was left, and no row is.
    if (done.status == kAudioFileNothingRecordedError)
        return;
    const QString path = QString::fromStdString(done.path);
    // Deleted while or after it was recorded: there is nothing to list or show.
    if (!QFileInfo::exists(path))
        return;
    const bool byUser = done.ending == RecordSession::Ending::User;
    if (done.status != noErr && done.ending != RecordSession::Ending::Fault)
        notify(AppNotices::recordingIncomplete(path));
    if (byUser && AppControl::AppReadKeyValue(SettingsKey::RevealNewRecording, true).toBool())
        Workspace::shared().revealInFileManager(path);
    if (audioLibraryWnd_) {
        // Each source's file right after the mix, where the list groups it with the mix.
        QStringList sources;
        for (const std::string& source : done.sources)
            sources.append(QString::fromStdString(source));
        audioLibraryWnd_->addAudioItemFromPath(path, done.markers, sources);
        audioLibraryWnd_->flushAudioLibrary();
    }
    if (byUser) {
        showAudioibiary();
        if (done.status == noErr)
            Workspace::shared().offerRecording(tr("Recording saved"), QFileInfo(path).fileName(), path);
    }
}

void AppDelegate::waitForRecordingCompletion()
{
    session_->completeBeforeExit(kQuitCompletionWait);
}

void AppDelegate::recordingEnded(RecordFault fault)
{
    const QString name = deviceName_;  // finishing may open another device
    finishRecording(RecordSession::Ending::Fault);
    const QString file = QFileInfo(QString::fromStdString(session_->path().value_or(""))).fileName();
    if (fault == RecordFault::DeviceLost)
        notify(AppNotices::deviceLost(name, file));
    else if (fault == RecordFault::FileRemoved)
        notify(AppNotices::fileRemoved(file));
    else
        notify(AppNotices::writeFailed(file, session_->failure()));
}

void AppDelegate::notifyUser(const QString& title, const QString& message)
{
    // A tray icon's message needs a tray to appear from.
    if (trayIcons_.recordIcon() && trayAvailable_.value_or(true))
        trayIcons_.recordIcon()->showMessage(title, message, QSystemTrayIcon::Warning, kNotificationMilliseconds);
    else
        Workspace::shared().notify(title, message);
    emit userNotified(title, message);
}

void AppDelegate::showRecordTime()
{
    // The audio in the file, so a pause stops the clock.
    const QString text = AppControl::timeText(audioRecord_->audioLength());
    lblRecordAudioTime_->setText(text);
    timeMenuItem_->setText(tr("Recorded Time: %1").arg(text));
    showTrayToolTip();
}

QString AppDelegate::getSaveAudioPath() const
{
    return QString::fromStdString(recordRecipe().destination.path());
}

RecordRecipe AppDelegate::recordRecipe() const
{
    RecordRecipe recipe;
    recipe.sources = chosenSources_;
    recipe.format = &audioFormatForCode(configAudioWndController_->audioFormat_());
    recipe.quality = configAudioWndController_->audioQuality();
    recipe.splitEvery = std::max(0, AppControl::AppReadKeyValue(SettingsKey::SplitEverySeconds, 0).toInt());
    const QString folder = QDir(configAudioWndController_->saveAudioPath()).path();
    recipe.destination = nameRecording({folder.toStdString(), {}}, *recipe.format, clock_().toSecsSinceEpoch());
    recipe.preRoll = preRollSeconds();
    recipe.separate = AppControl::AppReadKeyValue(SettingsKey::RecordSeparateSources, false).toBool();
    return recipe;
}

void AppDelegate::setChooseOrNotShowHelp()
{
    AppControl::AppWriteKeyValue(btnShowHelpWnd_->isChecked() ? 1 : 0, SettingsKey::OpenAppShowHelpWnd);
}

void AppDelegate::setChooseOrNotShowRecordingPanel()
{
    AppControl::AppWriteKeyValue(btnShowRecordingPanel_->isChecked() ? 1 : 0, SettingsKey::OpenAppRecordingPanel);
}

void AppDelegate::showWelcomeText(bool tray)
{
    const QString where = tray ? tr("<p>TrayTape sits in the system tray with two icons: a <b>tape</b> icon that "
                                    "opens its menu and shows a red dot while it records, and a small <b>level "
                                    "meter</b> that shows the sound of the chosen input as it comes in.</p>")
                               : tr("<p>This desktop has no system tray, so TrayTape lives in its <b>recording "
                                    "panel</b>: the panel's <b>Menu</b> button opens TrayTape's menu, and its "
                                    "<b>level meter</b> shows the sound of the chosen input as it comes in. Closed, "
                                    "the panel comes back when you start TrayTape again.</p>");
    const QString menu = tray ? tr("the tape icon's menu") : tr("the panel's menu");
    ui_->helpText->setHtml(
        (tray ? tr("<h2>TrayTape records sound from your tray</h2>") : tr("<h2>TrayTape records sound</h2>")) + where
        + tr("<ol><li>Open <b>Preferences…</b> from %1 and choose what to record from: a microphone, a line "
             "input, or <b>Computer's sound (what you hear)</b> for the sound the computer itself plays.</li>"
             "<li>Choose <b>Start Record</b> in the menu, or press the red button on the recording panel.</li>"
             "<li>Choose <b>Stop Record</b> when you are done. The new file is shown in your file manager; it is "
             "never written over an older one.</li></ol>"
             "<p>Recordings are saved in <i>Music/org.traytape.TrayTape</i> in your home folder unless you choose "
             "another folder in Preferences. <b>TrayTape Help</b> in the menu opens the full guide.</p>")
              .arg(menu));
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_ && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape
        && static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
        helpClose();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::helpClose()
{
    window_->close();
}

void AppDelegate::showConfigWnd()
{
    Workspace::shared().raiseAboveOtherApps(configAudioWndController_->window());
}

void AppDelegate::showRecordingPanel()
{
    Workspace::shared().raiseAboveOtherApps(wndRecordingPanel_);
}

void AppDelegate::showAudioibiary()
{
    if (audioLibraryWnd_)
        Workspace::shared().raiseAboveOtherApps(audioLibraryWnd_->window());
}

void AppDelegate::shoHelpWindow()
{
    // The full guide; the welcome window is the short one shown at start-up.
    Workspace::shared().openUrl(QUrl::fromLocalFile(ConfigAudioWndController::helpDocumentCopy()));
}

void AppDelegate::support()
{
    Workspace::shared().openUrl(supportPageUrl());
}

void AppDelegate::quitTheApp()
{
    applicationWillTerminate();
    QCoreApplication::quit();
}

void AppDelegate::sessionWillEnd()
{
    // The session may still cancel its logout, so this ends the recording but not the program.
    if (!session_)
        return;
    if (session_->isActive())
        finishRecording(RecordSession::Ending::Quit);
    waitForRecordingCompletion();
    if (audioLibraryWnd_)
        audioLibraryWnd_->writeData();
}

void AppDelegate::applicationWillTerminate()
{
    if (terminated_ || !audioRecord_)
        return;
    terminated_ = true;
    if (session_->isActive())
        finishRecording(RecordSession::Ending::Quit);
    waitForRecordingCompletion();
    if (audioLibraryWnd_)
        audioLibraryWnd_->writeData();
    audioRecord_->connectSystemAudioRecord(false);
    if (levelTimer_)
        levelTimer_->stop();
    if (sessionTimer_)
        sessionTimer_->stop();
}

void AppDelegate::checkSystemTray()
{
    const bool available = TrayIcons::trayAvailable();
    if (trayAvailable_ && *trayAvailable_ == available)
        return;
    trayAvailable_ = available;
    panelMenuButton_->setVisible(!available);
    showWelcomeText(available);
    // With nothing in a tray the panel is the only way in, whatever the start-up setting says.
    if (!available)
        wndRecordingPanel_->show();
}
