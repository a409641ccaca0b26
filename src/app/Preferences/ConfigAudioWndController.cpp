#include "Preferences/ConfigAudioWndController.h"

#include "AudioRecord/AudioDeviceChoice.h"
#include "Preferences/AppControl.h"
#include "platform/AudioFormat.h"
#include "platform/audiofile/SafeFile.h"
#include "Desktop/Autostart.h"
#include "Desktop/Resources.h"
#include "Desktop/WindowPlacement.h"
#include "Desktop/Workspace.h"
#include "ui_ConfigWnd.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace {
const QString kHelpDocument = QStringLiteral("Record Help.pdf");
// The system-audio device's description in the sound server, which the
// recorder and earlier runs recognise it by: never translated or renamed.
constexpr char kSystemAudioDeviceName[] = "Vortanx System Audio";
}  // namespace

QString ConfigAudioWndController::shownDeviceName(const std::string& name)
{
    return name == kSystemAudioDeviceName ? tr("Computer's sound (what you hear)") : QString::fromStdString(name);
}

ConfigAudioWndController::ConfigAudioWndController(QObject* parent) : QObject(parent) { }

ConfigAudioWndController::~ConfigAudioWndController() = default;

void ConfigAudioWndController::loadWindow()
{
    if (window_)
        return;
    window_ = std::make_unique<QWidget>();
    ui_ = std::make_unique<Ui::ConfigWnd>();
    ui_->setupUi(window_.get());
    window_->setWindowIcon(resources::scalableIcon(QStringLiteral("TrayTape")));
    WindowPlacement::leaveToWindowManager(window_.get());
    // Each choice is stored the moment it is made (the device's and the
    // computer's sound's by the delegate they are reported to): a session
    // that ends abruptly with the window still open must not start the next
    // one on the old device or in the old format.
    connect(ui_->popAudioDevices, &QComboBox::activated, this, [this] { chooseAudioDevice(); });
    // Each entry carries the code the settings keep for its format.
    for (const AudioFormat& format : audioFormats())
        if (format.recordable())
            ui_->popAudioFormat->addItem(tr(format.displayName), format.audioFormatCode);
    connect(ui_->popAudioFormat, &QComboBox::activated, this, [this] { writeSaveData(); });
    connect(ui_->btnChooseSavePath, &QPushButton::clicked, this, [this] { chooseSavePath(); });
    connect(ui_->btnOpenSavePath, &QPushButton::clicked, this, [this] { openSavePath(); });
    connect(ui_->btnRecordComputerAudioHelp, &QPushButton::clicked, this, [this] { recordComputerAudioHelp(); });
    ui_->btnWithSystemAudio->setChecked(audioDevices_ && audioDevices_->withComputerSound());
    connect(ui_->btnWithSystemAudio, &QCheckBox::toggled, this, [this](bool on) { setWithSystemAudio(on); });
    ui_->btnStartAtLogin->setChecked(Autostart::isEnabled());
    connect(ui_->btnStartAtLogin, &QCheckBox::toggled, this, [this](bool on) { setStartAtLogin(on); });
    // Stored as it is clicked, as every other choice here: there is no OK button.
    ui_->btnRevealNewRecording->setChecked(AppControl::AppReadKeyValue(SettingsKey::RevealNewRecording, true).toBool());
    connect(ui_->btnRevealNewRecording, &QCheckBox::toggled, this,
        [](bool on) { AppControl::AppWriteKeyValue(on, SettingsKey::RevealNewRecording); });
    ui_->btnListenWhenIdle->setChecked(AppControl::AppReadKeyValue(SettingsKey::ListenWhenIdle, true).toBool());
    connect(ui_->btnListenWhenIdle, &QCheckBox::toggled, this, [this](bool on) {
        AppControl::AppWriteKeyValue(on, SettingsKey::ListenWhenIdle);
        if (delegate_)
            delegate_->chooseListenWhenIdle(on);
    });
    awakeFromNib();
}

QWidget* ConfigAudioWndController::window()
{
    loadWindow();
    return window_.get();
}

void ConfigAudioWndController::close()
{
    if (window_)
        window_->hide();
}

void ConfigAudioWndController::awakeFromNib()
{
    setSaveAudioPath(AppControl::defaultSaveAudioPath());
    const QString picked = AppControl::AppReadKeyValue(SettingsKey::SaveAudioPath, QString()).toString();
    if (!picked.isEmpty()) {
        if (QFileInfo(picked).isDir())
            setSaveAudioPath(picked);
        else
            emit saveFolderMissing(picked);
    }
    ui_->lblAudioPath->setText(saveAudioPath_);
    // Unlike a Mac, a Linux home need not have a Music folder yet; without
    // its parent the default folder could never be made and no recording
    // could start, so the parents are made too.
    if (!QFileInfo::exists(saveAudioPath_))
        QDir().mkpath(saveAudioPath_);

    fillDeviceList();
    readSaveData();
}

const ConfigAudioWndController::Devices& ConfigAudioWndController::audioDevices() const
{
    static const Devices none;
    return audioDevices_ ? audioDevices_->devices() : none;
}

void ConfigAudioWndController::fillDeviceList()
{
    ui_->popAudioDevices->clear();
    for (const auto& device : audioDevices()) {
        const QString name = shownDeviceName(device ? device->deviceName() : std::string());
        if (!device || !device->followsDefault())
            ui_->popAudioDevices->addItem(name);
        else
            ui_->popAudioDevices->addItem(name.isEmpty() ? tr("Default input") : tr("Default input (%1)").arg(name));
    }
}

void ConfigAudioWndController::reloadAudioDevices(int chosen)
{
    if (!ui_)
        return;
    fillDeviceList();
    ui_->popAudioDevices->setCurrentIndex(chosen);
}

void ConfigAudioWndController::readSaveData()
{
    // The device is restored by the application controller, which opens it.
    const int format = AppControl::AppReadKeyValue(SettingsKey::AudioFormatNSNumberKey, 0).toInt();
    ui_->popAudioFormat->setCurrentIndex(ui_->popAudioFormat->findData(audioFormatForCode(format).audioFormatCode));
}

void ConfigAudioWndController::writeSaveData()
{
    // The device's keys are stored by the application controller as the pick reaches it.
    if (ui_)
        AppControl::AppWriteKeyValue(audioFormat_(), SettingsKey::AudioFormatNSNumberKey);
}

std::int32_t ConfigAudioWndController::audioFormat_() const
{
    return ui_ ? std::int32_t(ui_->popAudioFormat->currentData().toInt()) : 0;
}

void ConfigAudioWndController::chooseAudioDevice()
{
    if (ui_)
        chooseAudioDeviceNum(std::int32_t(ui_->popAudioDevices->currentIndex()));
}

void ConfigAudioWndController::chooseAudioDeviceNum(std::int32_t index)
{
    if (delegate_)
        delegate_->chooseAudioDeviceNum(index);
}

void ConfigAudioWndController::setISRecording(bool recording)
{
    if (!ui_)
        return;
    ui_->popAudioDevices->setEnabled(!recording);
    ui_->popAudioFormat->setEnabled(!recording);
    ui_->btnWithSystemAudio->setEnabled(!recording);
}

void ConfigAudioWndController::setWithSystemAudio(bool on)
{
    if (delegate_)
        delegate_->chooseWithSystemAudio(on);
}

QString ConfigAudioWndController::helpDocumentCopy()
{
    return documentCopy(kHelpDocument);
}

QString ConfigAudioWndController::documentCopy(const QString& name)
{
    // The viewer needs a real file. A folder of the user's own (mode 0700),
    // not the shared temporary folder, where another user could have put a
    // file of that name first.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    QDir().mkpath(folder);
    const QString destination = QDir(folder).filePath(name);

    QFile source(resources::documentPath(name));
    if (!source.open(QIODevice::ReadOnly))
        return destination;
    const QByteArray wanted = source.readAll();
    // A copy from an older version of the program is replaced; a link or a
    // FIFO put there is replaced too, never followed or waited on.
    const std::string path = QFile::encodeName(destination).toStdString();
    if (!audiofile::regularFileHolds(path, wanted.constData(), std::size_t(wanted.size())))
        audiofile::writeWholeFile(path, wanted.constData(), std::size_t(wanted.size()));
    return destination;
}

void ConfigAudioWndController::recordComputerAudioHelp()
{
    Workspace::shared().openUrl(QUrl::fromLocalFile(helpDocumentCopy()));
}

void ConfigAudioWndController::openSavePath()
{
    Workspace::shared().revealInFileManager(saveAudioPath_);
}

void ConfigAudioWndController::chooseSavePath()
{
    auto* panel = new QFileDialog(window(), tr("Choose the folder for new recordings"), saveAudioPath_);
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ShowDirsOnly);
    panel->setWindowModality(Qt::WindowModal);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    connect(panel, &QFileDialog::finished, this, [this, panel](int result) {
        const QStringList chosen = panel->selectedFiles();
        chooseSavePathFinished(result, chosen.isEmpty() ? QString() : chosen.first());
    });
    panel->open();
}

void ConfigAudioWndController::chooseSavePathFinished(int result, const QString& path)
{
    if (result != QDialog::Accepted || path.isEmpty())
        return;
    // A folder Qt cannot name (see AppNotices::saveFolderMissing) is refused
    // as it is picked; the folder in use and the stored choice stay.
    if (!QFileInfo(path).isDir()) {
        emit saveFolderRefused(path);
        return;
    }
    setSaveAudioPath(path);
    AppControl::AppWriteKeyValue(path, SettingsKey::SaveAudioPath);
    if (ui_)
        ui_->lblAudioPath->setText(path);
}

void ConfigAudioWndController::setStartAtLogin(bool on)
{
    if (Autostart::setEnabled(on))
        return;
    // The box shows what will happen at the next login, not what was asked for.
    const QSignalBlocker quiet(ui_->btnStartAtLogin);
    ui_->btnStartAtLogin->setChecked(Autostart::isEnabled());
}

QCheckBox* ConfigAudioWndController::btnStartAtLogin() const
{
    return ui_ ? ui_->btnStartAtLogin : nullptr;
}

QCheckBox* ConfigAudioWndController::btnWithSystemAudio() const
{
    return ui_ ? ui_->btnWithSystemAudio : nullptr;
}

QComboBox* ConfigAudioWndController::popAudioDevices() const
{
    return ui_ ? ui_->popAudioDevices : nullptr;
}
QComboBox* ConfigAudioWndController::popAudioFormat() const
{
    return ui_ ? ui_->popAudioFormat : nullptr;
}
QLabel* ConfigAudioWndController::lblAudioPath() const
{
    return ui_ ? ui_->lblAudioPath : nullptr;
}
