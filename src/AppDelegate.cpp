#include "AppDelegate.h"

#include "AudioLibrary/AudioLibraryWnd.h"
#include "AudioRecord/AudioFileStream.h"
#include "Control/AppControl.h"
#include "Control/AudioWaveView.h"
#include "platform/ui/RedrawnIcon.h"
#include "platform/ui/Resources.h"
#include "platform/ui/SleepInhibitor.h"
#include "platform/ui/WindowPlacement.h"
#include "platform/ui/Workspace.h"
#include "platform/ui/YUp.h"
#include "ui_MainMenu.h"

#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cmath>

const QList<int> AppDelegate::kLevelIconPixels{22, 24, 44, 48};

namespace {
constexpr int kNotificationMilliseconds = 15000;
// The file of a recording that runs now. Still set at start-up, it names a
// recording a crash cut off.
const QString kRecordingInProgress = QStringLiteral("RecordingInProgress");
// How often to look whether a tray has come or gone (a panel restarting, an extension switched off).
constexpr int kTrayCheckMilliseconds = 2000;
// How long quitting waits for a recording's completion. A cut wait leaves the
// fragmented file, which plays; only the rewrite into an ordinary file is lost.
constexpr std::chrono::seconds kQuitCompletionWait{20};

// Why a file could not be made or written, in the words the CLI uses.
QString reasonFor(OSStatus status)
{
    return QString::fromStdString(audiofile::reasonFor(status));
}

// The record icon of a paused take: the cassette faded behind a pause badge
// big enough to read in a 22-pixel tray slot.
QList<QImage> drawPausedRecordIcon(const QList<int>& pixelSizes)
{
    const QImage cassette = resources::image(QStringLiteral("RecordMenu.png"));
    const QImage sharp = resources::image(QStringLiteral("RecordMenu@2x.png"));
    QList<QImage> images;
    for (const int pixels : pixelSizes) {
        QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        const double s = pixels;
        yup::Painter painter(&image, s);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(0.55);
        painter.drawImageUpright(QRectF(0, 0, s, s), pixels > cassette.width() && !sharp.isNull() ? sharp : cassette);
        painter.setOpacity(1.0);
        const QPointF centre(0.66 * s, 0.34 * s);
        const double radius = 0.32 * s;
        painter.setPen(QPen(QColor(0x33, 0x33, 0x3a), std::max(1.0, s / 22)));
        painter.setBrush(QColor(0xf5, 0xa6, 0x23));
        painter.drawEllipse(centre, radius, radius);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x33, 0x33, 0x3a));
        const double barWidth = std::max(2.0, 0.1 * s), barHeight = 0.3 * s, gap = std::max(1.5, 0.07 * s);
        for (const double left : {centre.x() - gap / 2 - barWidth, centre.x() + gap / 2})
            painter.drawRect(QRectF(left, centre.y() - barHeight / 2, barWidth, barHeight));
        painter.end();
        images.append(image);
    }
    return images;
}

std::function<bool()>& systemTrayProbe()
{
    static std::function<bool()> probe = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    return probe;
}
}  // namespace

QUrl supportPageUrl()
{
    if (kSupportPageAddress[0] != '\0')
        return QUrl(QString::fromUtf8(kSupportPageAddress));
    // Found from the program's own place, so any installation prefix works;
    // run from the build tree, nothing is installed yet.
    const QString installed
        = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../" TRAYTAPE_INSTALLED_README));
    return QUrl::fromLocalFile(QFileInfo::exists(installed) ? installed : QStringLiteral(TRAYTAPE_SOURCE_README));
}

void AppDelegate::setSystemTrayProbe(std::function<bool()> probe)
{
    systemTrayProbe() = probe ? std::move(probe) : [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
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
    const QIcon appIcon = resources::icon(QStringLiteral("TrayTape.png"));
    for (QWidget* w : {window_, wndRecordingPanel_}) {
        w->setWindowFlags(Qt::Window);
        w->setWindowIcon(appIcon);
        WindowPlacement::leaveToWindowManager(w);
    }
    wndRecordingPanel_->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    btnStartRecord_->setIcon(resources::icon(QStringLiteral("StartRecord.png")));
    btnPauseRecord_->setIcon(resources::icon(QStringLiteral("Pause.png")));
    sleepInhibitor_ = new SleepInhibitor(this);
    // Without a library there is nothing to show for this item.
    ui_->showLibraryItem->setVisible(false);
    buildPanelMenuButton();
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
    connect(btnPauseRecord_, &QToolButton::clicked, this, [this] { pauseAndResumeRecord(); });
    connect(ui_->showRecordingPanelItem, &QAction::triggered, this, [this] { showRecordingPanel(); });
    connect(ui_->showLibraryItem, &QAction::triggered, this, [this] { showAudioibiary(); });
    connect(ui_->showConfigItem, &QAction::triggered, this, [this] { showConfigWnd(); });
    connect(ui_->showHelpItem, &QAction::triggered, this, [this] { shoHelpWindow(); });
    connect(ui_->supportItem, &QAction::triggered, this, [this] { support(); });
    connect(ui_->quitItem, &QAction::triggered, this, [this] { quitTheApp(); });
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
    hooks.audioLost = [this](double seconds) {
        // A loss of a few frames still deserves a figure the user can see.
        notifyUser(tr("Audio lost"), tr("%1 s of audio were lost").arg(std::max(seconds, 0.1), 0, 'f', 1));
    };
    hooks.silence = [this](RecordSession::Silence silence) {
        const QString device = QStringLiteral("\u201C%1\u201D").arg(deviceName_);
        if (silence == RecordSession::Silence::Muted)
            notifyUser(tr("Input muted"), tr("%1 is muted: the recording will be silent").arg(device));
        else
            notifyUser(tr("Recording silence"), tr("TrayTape is recording silence from %1").arg(device));
    };
    session_ = std::make_unique<RecordSession>(*audioRecord_, std::move(hooks));
    audioRecord_->connectSystemAudioRecord(true);
    audioRecord_->pause();

    // 4. Loading the library window loads the stored library.
    if (libraryFactory_) {
        audioLibraryWnd_ = libraryFactory_();
        if (auto* library = dynamic_cast<AudioLibraryWnd*>(audioLibraryWnd_.get()))
            connect(library, &AudioLibraryWnd::userNotified, this, &AppDelegate::notifyUser);
        if (audioLibraryWnd_) {
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

    // 5. Listening starts before the list is read, so no change in between is missed.
    audioRecord_->devicesChanged();
    aryAudioDevices_ = inputDevices();

    // 6. The record icon opens the status menu on any click, as a menu-bar item does.
    statusItem_ = std::make_unique<QSystemTrayIcon>(resources::icon(QStringLiteral("RecordMenu.png")));
    statusItem_->setToolTip(QStringLiteral("TrayTape"));
    statusItem_->setContextMenu(menuTop_);
    connect(statusItem_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !menuTop_->isVisible())
            menuTop_->popup(QCursor::pos());
    });
    showRecordState();
    statusItem_->show();

    // 7. The level icon; a click on it brings up the recording panel and its full-size meter.
    statusAudioWave_ = std::make_unique<QSystemTrayIcon>();
    statusAudioWave_->setToolTip(QStringLiteral("TrayTape input level"));
    statusAudioWave_->setContextMenu(menuTop_);
    connect(
        statusAudioWave_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                showRecordingPanel();
        });
    pushLevelIcon();
    statusAudioWave_->show();

    // 8. Delegate and devices go in before loading, so the saved device opens now.
    configAudioWndController_ = std::make_unique<ConfigAudioWndController>();
    configAudioWndController_->setDelegate(this);
    configAudioWndController_->setAudioDevices(aryAudioDevices_);
    connect(configAudioWndController_.get(), &ConfigAudioWndController::saveFolderMissing, this,
        [this](const QString& folder) { tellSaveFolderMissing(folder); });
    configAudioWndController_->loadWindow();
    configAudioWndController_->close();

    // 9.
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window, QColor::fromRgbF(0.6f, 0.6f, 0.6f, 1.0f));
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
    pollRecordFault();
    session_->pollLostAudio();
    session_->pollSilence();
    if (audioRecord_->devicesChanged())
        followDeviceList();
}

std::vector<std::shared_ptr<AudioRecordMicDevice>> AppDelegate::inputDevices() const
{
    std::vector<std::shared_ptr<AudioRecordMicDevice>> devices{defaultInput_};
    for (auto& device : audioRecord_->allAudioInputDevices())
        devices.push_back(std::move(device));
    return devices;
}

void AppDelegate::followDeviceList()
{
    aryAudioDevices_ = inputDevices();
    configAudioWndController_->setAudioDevices(aryAudioDevices_);
    const int wanted = configAudioWndController_->reloadAudioDevices();
    const auto& open = audioRecord_->device();
    // A recording keeps its device; the wanted one opens once it stops.
    if (!session_->isActive() || !open) {
        openWantedDevice(wanted);
        return;
    }
    // Until then the list shows the device recorded from.
    for (std::size_t i = 0; i < aryAudioDevices_.size(); ++i)
        if (aryAudioDevices_[i]->uniqueID() == open->uniqueID())
            configAudioWndController_->popAudioDevices()->setCurrentIndex(int(i));
}

void AppDelegate::openWantedDevice(int index)
{
    if (index < 0 || std::size_t(index) >= aryAudioDevices_.size())
        return;
    const auto& open = audioRecord_->device();
    if (open && open->isRunning() && open->uniqueID() == aryAudioDevices_[std::size_t(index)]->uniqueID())
        return;
    chooseAudioDeviceNum(index);
}

void AppDelegate::showSourceLevels()
{
    // The meter shows the mix; the panel says what each part brings to it.
    const auto levels = audioRecord_->sourceLevels();
    ui_->lblSourceLevels->setVisible(levels.has_value());
    if (!levels)
        return;
    const auto decibels = [](float peak) {
        return peak > 0.001f ? QString::number(std::lround(20 * std::log10(peak))) + QStringLiteral(" dB")
                             : QStringLiteral("silent");
    };
    ui_->lblSourceLevels->setText(
        tr("Input %1 · Computer %2").arg(decibels(levels->input), decibels(levels->system)));
}

void AppDelegate::pushLevelIcon()
{
    // Every redraw advances the peak hold; only a changed picture goes to the tray.
    QList<QImage> images = audioWaveView_->redrawCompact(kLevelIconPixels);
    if (!statusAudioWave_ || images == levelIconImages_)
        return;
    // Not an icon of pixmaps: Qt would cache every one the tray draws, and each push is new.
    statusAudioWave_->setIcon(redrawnIcon(images));
    levelIconImages_ = std::move(images);
    ++levelIconPushes_;
}

void AppDelegate::chooseAudioDeviceNum(std::int32_t index)
{
    if (index < 0 || std::size_t(index) >= aryAudioDevices_.size())
        return;
    const auto& device = aryAudioDevices_[std::size_t(index)];
    audioRecord_->setWithSystemAudio(AppControl::AppReadKeyValue(SettingsKey::RecordWithSystemAudio, false).toBool());
    session_->configDevice(device);
    // Kept for telling the user which device vanished, when it can no longer be asked.
    deviceName_ = device ? QString::fromStdString(device->deviceName()) : QString();
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
    const QString path = getSaveAudioPath();
    const RecordSession::StartResult started = session_->start(path.toStdString());
    if (started != RecordSession::StartResult::Started) {
        // Counting time into a file that does not exist would only mislead: stay idle and say why.
        configAudioWndController_->setISRecording(false);
        if (started == RecordSession::StartResult::NoDevice)
            tellNoInputDevice();
        else if (started == RecordSession::StartResult::DeviceGone)
            notifyUser(tr("Recording could not start"),
                tr("The input device %1 is no longer available. Choose another input in Preferences.")
                    .arg(deviceName_.isEmpty() ? tr("in use") : QStringLiteral("\u201C%1\u201D").arg(deviceName_)));
        else
            notifyUser(tr("Recording could not start"),
                tr("TrayTape could not create the file %1 (%2). Choose another folder in Preferences.")
                    .arg(QDir::toNativeSeparators(path), reasonFor(session_->failure())));
        return;
    }

    recordMenuItem_->setText(QStringLiteral("Stop Record"));
    lblRecordTip_->setText(QStringLiteral("Stop Record"));
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
    // Returns at once: the file is completed on the record device's completion thread.
    session_->stop(ending);

    recordMenuItem_->setText(QStringLiteral("Start Record"));
    lblRecordTip_->setText(QStringLiteral("Start Record"));
    btnStartRecord_->setIcon(resources::icon(QStringLiteral("StartRecord.png")));
    configAudioWndController_->setISRecording(false);
    // A device that came back during the recording, or the fallback for one that went.
    openWantedDevice(configAudioWndController_->reloadAudioDevices());
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

void AppDelegate::showRecordState()
{
    const RecordSession::State state = session_->state();
    const bool paused = state == RecordSession::State::Paused;
    pauseMenuItem_->setEnabled(state != RecordSession::State::Idle);
    pauseMenuItem_->setText(paused ? tr("Resume Recording") : tr("Pause Recording"));
    btnPauseRecord_->setEnabled(state != RecordSession::State::Idle);
    btnPauseRecord_->setToolTip(pauseMenuItem_->text());
    btnPauseRecord_->setIcon(resources::icon(paused ? QStringLiteral("StartRecord.png") : QStringLiteral("Pause.png")));
    if (state != RecordSession::State::Idle)
        lblRecordTip_->setText(paused ? tr("Paused") : QStringLiteral("Stop Record"));
    // A laptop that suspends mid-take loses the rest of it; a paused take is still one.
    if (state == RecordSession::State::Idle)
        sleepInhibitor_->release();
    else
        sleepInhibitor_->hold();
    if (!statusItem_ || (iconState_ && paused == (*iconState_ == RecordSession::State::Paused)))
        return;
    // Pushed only when paused changes, so the tray is not handed a new icon for nothing.
    statusItem_->setIcon(paused ? redrawnIcon(drawPausedRecordIcon(kLevelIconPixels))
                                : resources::icon(QStringLiteral("RecordMenu.png")));
    iconState_ = state;
}

AppDelegate::CommandAnswer AppDelegate::obeyCommand(const QString& command)
{
    if (!session_)
        return {false, tr("still starting")};
    const RecordSession::State state = session_->state();
    const auto refused = [](const QString& why) { return CommandAnswer{false, why}; };
    if (command == QLatin1String("status")) {
        if (state == RecordSession::State::Idle)
            return {true, QStringLiteral("idle")};
        return {true,
            QStringLiteral("%1 %2 %3")
                .arg(state == RecordSession::State::Paused ? QStringLiteral("paused") : QStringLiteral("recording"))
                .arg(audioRecord_->audioLength(), 0, 'f', 1)
                .arg(QString::fromStdString(session_->path().value_or("")))};
    }
    if (command == QLatin1String("show-library")) {
        if (!audioLibraryWnd_)
            return refused(tr("the library is not available"));
        showAudioibiary();
        return {true, {}};
    }
    const bool idle = state == RecordSession::State::Idle;
    if (command == QLatin1String("start-recording") && !idle)
        return refused(tr("already recording"));
    if ((command == QLatin1String("stop-recording") || command == QLatin1String("pause")
            || command == QLatin1String("resume"))
        && idle)
        return refused(tr("not recording"));
    if (command == QLatin1String("pause") && state == RecordSession::State::Paused)
        return refused(tr("already paused"));
    if (command == QLatin1String("resume") && state == RecordSession::State::Recording)
        return refused(tr("not paused"));
    if (command == QLatin1String("pause") || command == QLatin1String("resume")) {
        pauseAndResumeRecord();
        return {true, {}};
    }
    if (command == QLatin1String("toggle-recording") || command == QLatin1String("start-recording")
        || command == QLatin1String("stop-recording")) {
        // What went wrong is answered to the caller, and told on the desktop as from the menu.
        QString why;
        const auto connection = connect(
            this, &AppDelegate::userNotified, this, [&why](const QString&, const QString& message) { why = message; },
            Qt::DirectConnection);
        startAndStopRecord();
        disconnect(connection);
        if (idle && !session_->isActive())
            return refused(why.isEmpty() ? tr("the recording could not start") : why);
        return {true, {}};
    }
    return refused(tr("unknown command"));
}

void AppDelegate::deliverRecording(const RecordSession::Delivery& done)
{
    const QString path = QString::fromStdString(done.path);
    const bool byUser = done.ending == RecordSession::Ending::User;
    if (done.status != noErr && done.ending != RecordSession::Ending::Fault)
        notifyUser(tr("Recording incomplete"),
            tr("TrayTape could not finish writing %1; the end of the recording may be missing.")
                .arg(QDir::toNativeSeparators(path)));
    if (byUser)
        Workspace::shared().revealInFileManager(path);
    if (audioLibraryWnd_) {
        audioLibraryWnd_->addAudioItemFromPath(path);
        audioLibraryWnd_->flushAudioLibrary();
    }
    if (byUser)
        showAudioibiary();
}

void AppDelegate::waitForRecordingCompletion()
{
    session_->completeBeforeExit(kQuitCompletionWait);
}

void AppDelegate::pollRecordFault()
{
    // A fault ends the recording in the session; the controls follow.
    const RecordFault fault = session_->pollFault();
    if (fault == RecordFault::None)
        return;
    const QString name = deviceName_;  // finishing may open another device
    finishRecording(RecordSession::Ending::Fault);
    const QString file = QFileInfo(QString::fromStdString(session_->path().value_or(""))).fileName();
    if (fault == RecordFault::DeviceLost) {
        notifyUser(tr("Recording stopped"),
            tr("The input device %1 is no longer available. The recording up to that moment is saved "
               "as %2.")
                .arg(name.isEmpty() ? tr("in use") : QStringLiteral("\u201C%1\u201D").arg(name), file));
    } else {
        notifyUser(tr("Recording stopped"),
            tr("TrayTape could not write to %1 (%2). What was recorded before is kept.")
                .arg(file, reasonFor(session_->failure())));
    }
}

void AppDelegate::notifyUser(const QString& title, const QString& message)
{
    // A tray icon's message needs a tray to appear from.
    if (statusItem_ && trayAvailable_.value_or(true))
        statusItem_->showMessage(title, message, QSystemTrayIcon::Warning, kNotificationMilliseconds);
    else
        Workspace::shared().notify(title, message);
    emit userNotified(title, message);
}

void AppDelegate::showRecordTime()
{
    // The audio in the file, so a pause stops the clock.
    const QString text = AppControl::getStringFromTimeValue(std::int64_t(audioRecord_->audioLength()));
    lblRecordAudioTime_->setText(text);
    timeMenuItem_->setText(QStringLiteral("Recorded Time: %1").arg(text));
}

QString AppDelegate::getSaveAudioPath() const
{
    const QDir folder(configAudioWndController_->saveAudioPath());
    const QString extension
        = QString::fromStdString(AudioFileStream::extensionForAudioFormat(configAudioWndController_->audioFormat_()));
    const QString stamp = clock_().toString(QStringLiteral("yy_MM_dd HH_mm_ss"));
    const QString base = stamp + QStringLiteral("_Audio");
    // A recording never replaces an earlier one, even one started in the same second.
    QString path = folder.filePath(base + QLatin1Char('.') + extension);
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = folder.filePath(QStringLiteral("%1 (%2).%3").arg(base).arg(n).arg(extension));
    return path;
}

void AppDelegate::setChooseOrNotShowHelp()
{
    AppControl::AppWriteKeyValue(btnShowHelpWnd_->isChecked() ? 1 : 0, SettingsKey::OpenAppShowHelpWnd);
}

void AppDelegate::setChooseOrNotShowRecordingPanel()
{
    AppControl::AppWriteKeyValue(btnShowRecordingPanel_->isChecked() ? 1 : 0, SettingsKey::OpenAppRecordingPanel);
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
    Workspace::shared().raiseAboveOtherApps(window_);
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
}

void AppDelegate::buildPanelMenuButton()
{
    // Without a tray the status menu has no icon to hang from; the panel carries it instead.
    panelMenuButton_ = new QToolButton(wndRecordingPanel_);
    panelMenuButton_->setObjectName(QStringLiteral("btnPanelMenu"));
    panelMenuButton_->setText(tr("Menu"));
    panelMenuButton_->setToolTip(tr("TrayTape menu"));
    panelMenuButton_->setIcon(QIcon::fromTheme(QStringLiteral("open-menu-symbolic")));
    panelMenuButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    panelMenuButton_->setPopupMode(QToolButton::InstantPopup);
    panelMenuButton_->setMenu(menuTop_);
    panelMenuButton_->setVisible(false);
    ui_->recordRow->addWidget(panelMenuButton_, 0, Qt::AlignTop);
}

void AppDelegate::checkSystemTray()
{
    const bool available = systemTrayProbe()();
    if (trayAvailable_ && *trayAvailable_ == available)
        return;
    trayAvailable_ = available;
    panelMenuButton_->setVisible(!available);
    // With nothing in a tray the panel is the only way in, whatever the start-up setting says.
    if (!available)
        wndRecordingPanel_->show();
}

void AppDelegate::tellNoInputDevice()
{
    notifyUser(tr("Recording could not start"),
        tr("No input device could be opened. Connect a microphone, or check that the sound server is running, "
           "then choose the input in Preferences."));
}

void AppDelegate::tellSaveFolderMissing(const QString& folder)
{
    notifyUser(tr("Save folder not found"),
        tr("The folder %1 no longer exists. New recordings go to %2 until you choose another folder in "
           "Preferences.")
            .arg(QDir::toNativeSeparators(folder),
                QDir::toNativeSeparators(ConfigAudioWndController::defaultSaveAudioPath())));
}
