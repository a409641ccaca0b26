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
#include <QIntValidator>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <functional>

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

QString ConfigAudioWndController::shownDeviceName(const AudioRecordMicDevice& device)
{
    if (!device.application().empty())
        return tr("Application: %1").arg(QString::fromStdString(device.deviceName()));
    return shownDeviceName(device.deviceName());
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
    connect(ui_->popAudioFormat, &QComboBox::activated, this, [this] {
        // What the user chose within the last format carries over where the new one takes it.
        showQualityOf(audioFormatForCode(audioFormat_()), listedQuality());
        writeSaveData();
    });
    fillQualityLists();
    for (QComboBox* list : {ui_->popSampleRate, ui_->popChannels, ui_->popBitDepth, ui_->popBitRate})
        connect(list, &QComboBox::activated, this, [this] { writeSaveData(); });
    connect(ui_->btnChooseSavePath, &QPushButton::clicked, this, [this] { chooseSavePath(); });
    connect(ui_->btnOpenSavePath, &QPushButton::clicked, this, [this] { openSavePath(); });
    connect(ui_->btnRecordComputerAudioHelp, &QPushButton::clicked, this, [this] { recordComputerAudioHelp(); });
    ui_->btnWithSystemAudio->setChecked(audioDevices_ && audioDevices_->withComputerSound());
    connect(ui_->btnWithSystemAudio, &QCheckBox::toggled, this, [this](bool on) { setWithSystemAudio(on); });
    // Only a mix has sources to keep apart; the next recording reads the choice.
    ui_->btnSeparateSources->setChecked(
        AppControl::AppReadKeyValue(SettingsKey::RecordSeparateSources, false).toBool());
    ui_->btnSeparateSources->setEnabled(ui_->btnWithSystemAudio->isChecked());
    connect(ui_->btnSeparateSources, &QCheckBox::toggled, this,
        [](bool on) { AppControl::AppWriteKeyValue(on, SettingsKey::RecordSeparateSources); });
    ui_->btnStartAtLogin->setChecked(Autostart::isEnabled());
    connect(ui_->btnStartAtLogin, &QCheckBox::toggled, this, [this](bool on) { setStartAtLogin(on); });
    // Stored as it is clicked, as every other choice here: there is no OK button.
    ui_->btnRevealNewRecording->setChecked(AppControl::AppReadKeyValue(SettingsKey::RevealNewRecording, true).toBool());
    connect(ui_->btnRevealNewRecording, &QCheckBox::toggled, this,
        [](bool on) { AppControl::AppWriteKeyValue(on, SettingsKey::RevealNewRecording); });
    // The list's entries, in seconds; a stored length it does not offer reads as one file.
    static constexpr int kSplitSeconds[] = {0, 900, 1800, 3600, 7200};
    const int split = AppControl::AppReadKeyValue(SettingsKey::SplitEverySeconds, 0).toInt();
    const int* const found = std::find(std::begin(kSplitSeconds), std::end(kSplitSeconds), split);
    ui_->popSplitEvery->setCurrentIndex(found == std::end(kSplitSeconds) ? 0 : int(found - kSplitSeconds));
    connect(ui_->popSplitEvery, &QComboBox::currentIndexChanged, this, [](int index) {
        if (index >= 0 && index < int(std::size(kSplitSeconds)))
            AppControl::AppWriteKeyValue(kSplitSeconds[index], SettingsKey::SplitEverySeconds);
    });
    ui_->btnListenWhenIdle->setChecked(AppControl::AppReadKeyValue(SettingsKey::ListenWhenIdle, true).toBool());
    connect(ui_->btnListenWhenIdle, &QCheckBox::toggled, this, [this](bool on) {
        AppControl::AppWriteKeyValue(on, SettingsKey::ListenWhenIdle);
        if (delegate_)
            delegate_->chooseListenWhenIdle(on);
    });
    // The quick choices; any whole second from 0 to 60 may be typed.
    for (const int seconds : {0, 5, 10, 30, 60})
        ui_->popPreRoll->addItem(QString::number(seconds));
    ui_->popPreRoll->setValidator(new QIntValidator(0, 60, ui_->popPreRoll));
    ui_->popPreRoll->setCurrentText(
        QString::number(std::clamp(AppControl::AppReadKeyValue(SettingsKey::PreRollSeconds, 0).toInt(), 0, 60)));
    connect(ui_->popPreRoll, &QComboBox::currentTextChanged, this, [this](const QString& text) {
        bool ok = false;
        const int seconds = text.toInt(&ok);
        if (!ok || seconds < 0 || seconds > 60)
            return;
        AppControl::AppWriteKeyValue(seconds, SettingsKey::PreRollSeconds);
        if (delegate_)
            delegate_->choosePreRoll(seconds);
    });
    ui_->spinSoundLevel->setValue(AppControl::AppReadKeyValue(SettingsKey::SoundStartLevel, -40).toInt());
    connect(ui_->spinSoundLevel, &QSpinBox::valueChanged, this,
        [](int level) { AppControl::AppWriteKeyValue(level, SettingsKey::SoundStartLevel); });
    ui_->spinSoundSilence->setValue(AppControl::AppReadKeyValue(SettingsKey::SoundStopSilence, 5).toInt());
    connect(ui_->spinSoundSilence, &QSpinBox::valueChanged, this,
        [](int seconds) { AppControl::AppWriteKeyValue(seconds, SettingsKey::SoundStopSilence); });
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
        const QString name = device ? shownDeviceName(*device) : QString();
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

namespace {

// The bit rates offered, in kb/s; each format enables those in its range.
constexpr int kOfferedBitRates[] = {24, 32, 48, 64, 96, 128, 160, 192, 256};

// The entry of `list` whose data is `value`, when it is enabled; else -1.
int enabledEntry(const QComboBox& list, const QVariant& value)
{
    const int at = list.findData(value);
    const auto* model = qobject_cast<const QStandardItemModel*>(list.model());
    return at >= 0 && model && model->item(at)->isEnabled() ? at : -1;
}

void enableEntries(QComboBox& list, const std::function<bool(const QVariant&)>& takes)
{
    auto* model = qobject_cast<QStandardItemModel*>(list.model());
    bool any = false;
    for (int i = 0; model && i < list.count(); ++i) {
        const bool on = takes(list.itemData(i));
        model->item(i)->setEnabled(on);
        any = any || on;
    }
    list.setEnabled(any);
}

}  // namespace

void ConfigAudioWndController::fillQualityLists()
{
    ui_->popSampleRate->addItem(tr("44.1 kHz"), 44100);
    ui_->popSampleRate->addItem(tr("48 kHz"), 48000);
    ui_->popSampleRate->addItem(tr("Source's rate"), AudioQuality::kSourceRate);
    ui_->popChannels->addItem(tr("Stereo"), 2);
    ui_->popChannels->addItem(tr("Mono"), 1);
    ui_->popBitDepth->addItem(tr("16-bit"), QStringLiteral("16"));
    ui_->popBitDepth->addItem(tr("24-bit"), QStringLiteral("24"));
    ui_->popBitDepth->addItem(tr("32-bit"), QStringLiteral("32"));
    ui_->popBitDepth->addItem(tr("32-bit float"), QStringLiteral("32f"));
    ui_->popBitRate->addItem(tr("Automatic bit rate"), 0);
    for (const int kbps : kOfferedBitRates)
        ui_->popBitRate->addItem(tr("%1 kb/s").arg(kbps), kbps * 1000);
}

void ConfigAudioWndController::showQualityOf(const AudioFormat& format, const AudioQuality& wanted)
{
    enableEntries(*ui_->popSampleRate,
        [&format](const QVariant& v) { return qualityRefusal(format, {.sampleRate = v.toInt()}).empty(); });
    enableEntries(*ui_->popChannels, [](const QVariant&) { return true; });
    enableEntries(*ui_->popBitDepth, [&format](const QVariant& v) {
        return qualityRefusal(format, {.depth = sampleDepthNamed(v.toString().toStdString())}).empty();
    });
    enableEntries(*ui_->popBitRate, [&format](const QVariant& v) {
        return format.bitRateRange[1] > 0 && qualityRefusal(format, {.bitRate = v.toInt()}).empty();
    });
    const auto select = [](QComboBox& list, const QVariant& want, const QVariant& own) {
        int at = enabledEntry(list, want);
        if (at < 0)
            at = enabledEntry(list, own);
        // A list this format takes nothing from keeps the choice for the next that does, or shows none.
        if (at < 0)
            at = list.findData(want);
        list.setCurrentIndex(at);
    };
    const AudioStreamBasicDescription own = format.fileFormat;
    select(*ui_->popSampleRate, wanted.sampleRate, int(own.mSampleRate));
    select(*ui_->popChannels, wanted.channels, int(own.mChannelsPerFrame));
    const std::optional<SampleDepth> ownDepth = sampleDepthOf(own);
    const auto depthText = [](std::optional<SampleDepth> d) {
        return d ? QString::fromLatin1(sampleDepthName(*d).data(), qsizetype(sampleDepthName(*d).size())) : QString();
    };
    select(*ui_->popBitDepth, depthText(wanted.depth), depthText(ownDepth));
    select(*ui_->popBitRate, wanted.bitRate, 0);
}

AudioQuality ConfigAudioWndController::listedQuality() const
{
    if (!ui_)
        return {};
    AudioQuality quality;
    quality.sampleRate = ui_->popSampleRate->currentData().toInt();
    quality.channels = ui_->popChannels->currentData().toInt();
    quality.depth = sampleDepthNamed(ui_->popBitDepth->currentData().toString().toStdString());
    quality.bitRate = ui_->popBitRate->currentData().toInt();
    return quality;
}

AudioQuality ConfigAudioWndController::audioQuality() const
{
    AudioQuality quality = listedQuality();
    if (ui_ && !ui_->popBitDepth->isEnabled())
        quality.depth.reset();
    if (ui_ && !ui_->popBitRate->isEnabled())
        quality.bitRate = 0;
    return quality;
}

void ConfigAudioWndController::readSaveData()
{
    // The device is restored by the application controller, which opens it.
    const int format = AppControl::AppReadKeyValue(SettingsKey::AudioFormatNSNumberKey, 0).toInt();
    ui_->popAudioFormat->setCurrentIndex(ui_->popAudioFormat->findData(audioFormatForCode(format).audioFormatCode));
    AudioQuality stored;
    stored.sampleRate = AppControl::AppReadKeyValue(SettingsKey::RecordSampleRate, 0).toInt();
    stored.channels = AppControl::AppReadKeyValue(SettingsKey::RecordChannels, 0).toInt();
    stored.depth = sampleDepthNamed(
        AppControl::AppReadKeyValue(SettingsKey::RecordBitDepth, QString()).toString().toStdString());
    stored.bitRate = AppControl::AppReadKeyValue(SettingsKey::RecordBitRate, 0).toInt();
    showQualityOf(audioFormatForCode(format), stored);
}

void ConfigAudioWndController::writeSaveData()
{
    // The device's keys are stored by the application controller as the pick reaches it.
    if (!ui_)
        return;
    AppControl::AppWriteKeyValue(audioFormat_(), SettingsKey::AudioFormatNSNumberKey);
    // Each list as it shows, so a format that takes a choice again finds it.
    AppControl::AppWriteKeyValue(ui_->popSampleRate->currentData(), SettingsKey::RecordSampleRate);
    AppControl::AppWriteKeyValue(ui_->popChannels->currentData(), SettingsKey::RecordChannels);
    if (ui_->popBitDepth->isEnabled())
        AppControl::AppWriteKeyValue(ui_->popBitDepth->currentData(), SettingsKey::RecordBitDepth);
    if (ui_->popBitRate->isEnabled())
        AppControl::AppWriteKeyValue(ui_->popBitRate->currentData(), SettingsKey::RecordBitRate);
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
    ui_->btnSeparateSources->setEnabled(!recording && ui_->btnWithSystemAudio->isChecked());
    if (recording) {
        for (QComboBox* list : {ui_->popSampleRate, ui_->popChannels, ui_->popBitDepth, ui_->popBitRate})
            list->setEnabled(false);
    } else {
        showQualityOf(audioFormatForCode(audioFormat_()), listedQuality());
    }
}

void ConfigAudioWndController::setWithSystemAudio(bool on)
{
    ui_->btnSeparateSources->setEnabled(on);
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

QCheckBox* ConfigAudioWndController::btnSeparateSources() const
{
    return ui_ ? ui_->btnSeparateSources : nullptr;
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
QComboBox* ConfigAudioWndController::popSampleRate() const
{
    return ui_ ? ui_->popSampleRate : nullptr;
}
QComboBox* ConfigAudioWndController::popChannels() const
{
    return ui_ ? ui_->popChannels : nullptr;
}
QComboBox* ConfigAudioWndController::popBitDepth() const
{
    return ui_ ? ui_->popBitDepth : nullptr;
}
QComboBox* ConfigAudioWndController::popBitRate() const
{
    return ui_ ? ui_->popBitRate : nullptr;
}
QLabel* ConfigAudioWndController::lblAudioPath() const
{
    return ui_ ? ui_->lblAudioPath : nullptr;
}
