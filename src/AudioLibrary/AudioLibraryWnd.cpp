#include "AudioLibrary/AudioLibraryWnd.h"

#include "AudioLibrary/AudioExportTask.h"
#include "AudioLibrary/AudioLibBackView.h"
#include "Control/AppControl.h"
#include "platform/InterruptedRecording.h"
#include "platform/MediaPlayer.h"
#include "platform/ui/Resources.h"
#include "platform/ui/Workspace.h"
#include "platform/ui/YUp.h"
#include "ui_AudioLibraryWnd.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QThread>

#include <atomic>
#include <memory>
#include <QTimer>
#include <QToolButton>

#include <cmath>

namespace {

const QString kAudioPath = QStringLiteral("AudioPath");
const QString kAudioLength = QStringLiteral("AudioLength");
// Where the window was and how large, so that it comes back there.
const QString kGeometryKey = QStringLiteral("AudioLibraryWndGeometry");
// Rows stand this far from the list's left edge, centring 610 in the list's 640.
constexpr int kRowX = 15;
constexpr int kPlayTimerMilliseconds = 100;
constexpr int kExportProgressSteps = 1000;

// The time text of a position or length in seconds; anything that is not a
// finite, positive number of seconds shows as zero time.
QString timeText(float seconds)
{
    if (!(std::isfinite(seconds) && seconds > 0))
        seconds = 0;
    return AppControl::getStringFromTimeValue(std::int64_t(std::trunc(seconds)));
}

QString oneDecimal(float seconds)
{
    return QString::asprintf("%.1f", double(seconds));
}

// A stored entry of the list: a map with a text path, or nothing.
QString storedPath(const QVariant& entry)
{
    if (entry.typeId() != QMetaType::QVariantMap)
        return {};
    const QVariant path = entry.toMap().value(kAudioPath);
    return path.typeId() == QMetaType::QString ? path.toString() : QString();
}

QImage artwork()
{
    // The double-density rendering, so the 40-point artwork stays sharp on any
    // screen; decoded once and shared by every row.
    static const QImage image = [] {
        QImage dense = resources::image(QStringLiteral("Artwork@2x.png"));
        return dense.isNull() ? resources::image(QStringLiteral("Artwork.png")) : dense;
    }();
    return image;
}

}  // namespace

AudioLibraryWnd::AudioLibraryWnd(QObject* parent) : QObject(parent), exportTask_(std::make_unique<AudioExportTask>())
{
    connect(exportTask_.get(), &AudioExportTask::progressed, this, [this](qint64 done, qint64 toDo) {
        if (exportProgress_)
            exportProgress_->setValue(toDo > 0 ? int(std::min(done, toDo) * kExportProgressSteps / toDo) : 0);
    });
    connect(exportTask_.get(), &AudioExportTask::finished, this, [this] { exportFinished(); });
    const QVariant stored = AppControl::AppReadKeyValue(SettingsKey::AudioItemData, QVariant());
    // Anything but a list is no library; its entries are checked as the rows are built.
    if (stored.typeId() == QMetaType::QVariantList || stored.typeId() == QMetaType::QStringList)
        aryAudioItemData_ = stored.toList();
    isPreviewPlay_flag_ = false;
}

AudioLibraryWnd::~AudioLibraryWnd()
{
    // A running export is waited for (its file completed or removed) before the window goes.
    exportTask_.reset();
    // A completion rewrites its file: it is let finish, never cut off.
    for (QThread* recovery : std::as_const(recoveries_)) {
        recovery->disconnect(this);
        recovery->wait();
        delete recovery;
    }
    showTimer_.reset();
    audioPlayer_.reset();
    if (!window_)
        return;
    // The rows go with the window; nothing in it may call back while it goes.
    for (AudioItemView* row : std::as_const(aryAudioItemView_))
        row->setDelegate(nullptr);
    ui_->playProgressView_->setDelegate(nullptr);
    window_->removeEventFilter(this);
    ui_->listScroll->removeEventFilter(this);
    window_.reset();
}

QWidget* AudioLibraryWnd::window()
{
    if (!window_) {
        window_ = std::make_unique<QWidget>();
        ui_ = std::make_unique<Ui::AudioLibraryWnd>();
        ui_->setupUi(window_.get());
        window_->setWindowIcon(resources::icon(QStringLiteral("TrayTape.png")));
        connectOutlets();
        windowDidLoad();
    }
    return window_.get();
}

void AudioLibraryWnd::connectOutlets()
{
    window_->installEventFilter(this);
    ui_->listScroll->installEventFilter(this);
    connect(ui_->playBtn_, &QToolButton::clicked, this, [this] { playAndPause(); });
    connect(ui_->previewBtn_, &QToolButton::clicked, this, [this] { previewAndStop(); });
    connect(ui_->btnStartTrim_, &QPushButton::clicked, this, [this] { StartTrimSetPlayTime(); });
    connect(ui_->btnEndTrim_, &QPushButton::clicked, this, [this] { EndTrimSetPlayTime(); });
    connect(ui_->btnExport_, &QPushButton::clicked, this, [this] { exportAudio(); });
    // Only the user's edits are checked; the window's own rewrites are not edits.
    connect(ui_->fadeInTimeEdt_, &QLineEdit::textEdited, this, [this] { controlTextDidChange(ui_->fadeInTimeEdt_); });
    connect(ui_->fadeOutTimeEdt_, &QLineEdit::textEdited, this, [this] { controlTextDidChange(ui_->fadeOutTimeEdt_); });
    // A text field keeps the space for typing; everywhere else in the window it plays and pauses.
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), window_.get());
    connect(space, &QShortcut::activated, this, [this] { playAndPause(); });
    ui_->playBtn_->setIcon(resources::icon(QStringLiteral("Play.png")));
    ui_->previewBtn_->setIcon(resources::icon(QStringLiteral("PrePlay.png")));
    exportProgress_ = new QProgressBar(window_.get());
    exportProgress_->setRange(0, kExportProgressSteps);
    exportProgress_->setTextVisible(false);
    exportProgress_->setMaximumWidth(120);
    exportProgress_->setToolTip(tr("Exporting"));
    exportProgress_->hide();
    ui_->controlRow->insertWidget(ui_->controlRow->indexOf(ui_->btnExport_), exportProgress_);
}

void AudioLibraryWnd::windowDidLoad()
{
    const QByteArray geometry = AppControl::AppReadKeyValue(kGeometryKey, QByteArray()).toByteArray();
    // The first time the window manager places the window; afterwards it returns where the user left it.
    if (!geometry.isEmpty())
        window_->restoreGeometry(geometry);
    // The list lays out against the visible area, which has its size only once the layout has run.
    window_->layout()->activate();
    ui_->playProgressView_->setDelegate(this);
    loadOldLibary();
    flushAudioLibrary();
    audioSourceNil();
}

void AudioLibraryWnd::loadOldLibary()
{
    bool dropped = false;
    for (qsizetype i = 0; i < aryAudioItemData_.size();) {
        const QString path = storedPath(aryAudioItemData_[i]);
        // Kept wherever the file is, as long as it is there: a folder the user
        // picked is as much the library's as the default one.
        if (!path.isEmpty() && QFileInfo(path).isFile()) {
            audioItemLoadFromDic(aryAudioItemData_[i].toMap());
            ++i;
        } else {
            // Only this entry: an equal one further on is tested in its turn.
            aryAudioItemData_.removeAt(i);
            dropped = true;
        }
    }
    if (dropped)
        writeData();
}

AudioItemView* AudioLibraryWnd::audioItemLoadFromDic(const QVariantMap& item)
{
    const QString path = item.value(kAudioPath).toString();
    bool isNumber = false;
    float length = item.value(kAudioLength).toFloat(&isNumber);
    if (!isNumber || !std::isfinite(length))
        length = 0;

    auto* row = new AudioItemView(QRect(kRowX, -kRowHeight - 200, kRowWidth, kRowHeight), ui_->vLibiaryBack_);
    row->setName(QFileInfo(path).completeBaseName());
    row->setImageArt(artwork());
    row->setTimeStr(timeText(length));
    row->setDicObject(item);
    row->setDelegate(this);
    row->show();
    aryAudioItemView_.append(row);
    return row;
}

float AudioLibraryWnd::measuredLength(const QString& path)
{
    const auto asset = MediaAsset::assetWithPath(path.toStdString());
    const double seconds = asset ? asset->duration().seconds() : 0.0;
    return std::isfinite(seconds) ? float(seconds) : 0.0F;
}

void AudioLibraryWnd::addAudioItemFromPath(const QString& path)
{
    window();
    QVariantMap item;
    item.insert(kAudioPath, path);
    item.insert(kAudioLength, measuredLength(path));
    aryAudioItemData_.append(item);
    AudioItemView* row = audioItemLoadFromDic(item);
    chooseTheAudioItem(row);
    // Stored at once, so a crash or a logout later in the run loses nothing.
    writeData();
}

void AudioLibraryWnd::recoverAudioItemFromPath(const QString& mark, std::function<void()> finished)
{
    window();
    const QString path = QString::fromStdString(recordingMarkPath(mark.toStdString()));
    if (!QFileInfo(path).isFile()) {
        finished();
        return;
    }
    // Finishing a long M4A rewrites the whole file: not on the main thread.
    // A file that is not the marked recording is neither changed nor listed.
    auto ours = std::make_shared<std::atomic<bool>>(false);
    QThread* recovery = QThread::create([file = mark.toStdString(), ours] {
        ours->store(completeInterruptedRecording(file) != kInterruptedRecordingNotOurs);
    });
    recoveries_.append(recovery);
    connect(recovery, &QThread::finished, this, [this, recovery, path, ours, finished = std::move(finished)] {
        recoveries_.removeOne(recovery);
        recovery->deleteLater();
        // The same file under another spelling of its path is the same recording.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        bool listed = false;
        for (const QVariant& entry : std::as_const(aryAudioItemData_))
            listed = listed || (!canonical.isEmpty() && QFileInfo(storedPath(entry)).canonicalFilePath() == canonical);
        if (!listed && !canonical.isEmpty() && ours->load()) {
            QVariantMap item;
            item.insert(kAudioPath, path);
            item.insert(kAudioLength, measuredLength(path));
            aryAudioItemData_.append(item);
            audioItemLoadFromDic(item);
            flushAudioLibrary();
            writeData();
        }
        finished();
    });
    recovery->start();
}

void AudioLibraryWnd::flushAudioLibrary()
{
    window();
    layoutRows();
    // A new recording, or what is left after a deletion, is in sight.
    if (chooseAudioItem_)
        ui_->listScroll->ensureWidgetVisible(chooseAudioItem_, 0, 0);
}

void AudioLibraryWnd::layoutRows()
{
    // The visible area is the scroll area's inside, less the scroll bar once
    // the rows need one. Read from the scroll area itself: a hidden window's
    // viewport keeps its old size until the window is shown.
    const QSize visible = ui_->listScroll->contentsRect().size();
    int listHeight = kRowPitch * int(aryAudioItemView_.size());
    if (visible.height() > listHeight)
        listHeight = visible.height();
    const int scrollBar = listHeight > visible.height() ? ui_->listScroll->verticalScrollBar()->sizeHint().width() : 0;
    ui_->vLibiaryBack_->resize(visible.width() - scrollBar, listHeight);
    for (qsizetype i = 0; i < aryAudioItemView_.size(); ++i) {
        AudioItemView* row = aryAudioItemView_[i];
        const QRectF frame(row->x(), listHeight - kRowPitch * double(i) - kRowPitch, row->width(), row->height());
        row->setGeometry(yup::toWidget(frame, listHeight).toRect());
    }
}

void AudioLibraryWnd::chooseTheAudioItem(AudioItemView* row)
{
    if (row == chooseAudioItem_)
        return;
    stopPlay();
    if (chooseAudioItem_) {
        chooseAudioItem_->setIsChoose(false);
        chooseAudioItem_->update();
        chooseAudioItem_ = nullptr;
    }
    chooseAudioItem_ = row;
    if (row) {
        row->setIsChoose(true);
        row->update();
        loadAudioPath(row->audioPath());
    }
}

void AudioLibraryWnd::deleteChooseAudioItem()
{
    AudioItemView* row = chooseAudioItem_;
    if (!row)
        return;
    // The row's own item, found by its place: an equal item elsewhere is another row's.
    const qsizetype index = aryAudioItemView_.indexOf(row);
    if (index < 0)
        return;
    aryAudioItemData_.removeAt(index);
    aryAudioItemView_.removeAt(index);
    row->setDelegate(nullptr);
    row->hide();
    // The request comes from the row's own delete button, still inside its
    // click handler: the row (and the button) may only go once that returns.
    row->deleteLater();
    chooseTheAudioItem(nullptr);
    flushAudioLibrary();
    audioSourceNil();
    writeData();
}

void AudioLibraryWnd::writeData()
{
    AppControl::AppWriteKeyValue(aryAudioItemData_, SettingsKey::AudioItemData);
    if (window_ && window_->isVisible())
        rememberGeometry();
}

void AudioLibraryWnd::rememberGeometry()
{
    AppControl::AppWriteKeyValue(window_->saveGeometry(), kGeometryKey);
}

bool AudioLibraryWnd::windowShouldClose()
{
    stopPlay();
    writeData();
    return true;
}

bool AudioLibraryWnd::eventFilter(QObject* watched, QEvent* event)
{
    if (window_ && watched == window_.get()) {
        if (event->type() == QEvent::Close) {
            if (!windowShouldClose())
                event->ignore();
        } else if (event->type() == QEvent::Hide) {
            rememberGeometry();
        }
    } else if (ui_ && watched == ui_->listScroll && event->type() == QEvent::Resize) {
        // A taller window (or a scroll bar coming or going) changes what the
        // list is laid out against; where the user scrolled to stays.
        layoutRows();
    }
    return QObject::eventFilter(watched, event);
}

void AudioLibraryWnd::audioSourceNil()
{
    audioLength_ = 0;
    showTimer_.reset();
    audioPlayer_.reset();
    seekPlayRate(0);
    leftTrimRate(0);
    rightTrimRate(1);
    setFadeInTime(0);
    setFadeOutTime(0);
    ui_->fadeInTimeEdt_->setEnabled(false);
    ui_->fadeOutTimeEdt_->setEnabled(false);
    ui_->btnExport_->setEnabled(false);
    ui_->playProgressView_->setCanEdit(false);
    // Without a recording there is no play position to put a trim point at.
    ui_->btnStartTrim_->setEnabled(false);
    ui_->btnEndTrim_->setEnabled(false);
}

void AudioLibraryWnd::flushAllState()
{
    seekPlayRate(0);
    leftTrimRate(0);
    rightTrimRate(1);
    setFadeInTime(0);
    setFadeOutTime(0);
    ui_->fadeInTimeEdt_->setEnabled(true);
    ui_->fadeOutTimeEdt_->setEnabled(true);
    ui_->btnExport_->setEnabled(true);
    ui_->btnStartTrim_->setEnabled(true);
    ui_->btnEndTrim_->setEnabled(true);
    if (isExporting())
        setEditingLocked(true);
}

void AudioLibraryWnd::loadAudioPath(const QString& path)
{
    audioConverter_.setSourceAudioPath(path.toStdString());
    const auto asset = MediaAsset::assetWithPath(path.toStdString());
    std::unique_ptr<MediaPlayer> player;
    if (asset && asset->audioTrackCount() > 0 && asset->duration().seconds() > 0)
        player = MediaPlayer::playerWithAsset(asset);
    if (!player) {
        // Nothing of the previous recording may stay behind: its player,
        // length and export would act on a file that is no longer chosen.
        audioSourceNil();
        return;
    }
    const MediaTime duration = asset->duration();
    timeScale_ = duration.timescale;
    audioLength_ = float(duration.seconds());
    audioPlayer_ = std::move(player);
    ui_->playProgressView_->setCanEdit(true);
    flushAllState();
}

void AudioLibraryWnd::setPlayButtonImage(const char* name)
{
    ui_->playBtn_->setIcon(resources::icon(QString::fromLatin1(name)));
}

void AudioLibraryWnd::playAudio()
{
    if (!audioPlayer_)
        return;
    showTimer_ = std::make_unique<QTimer>();
    showTimer_->setInterval(kPlayTimerMilliseconds);
    connect(showTimer_.get(), &QTimer::timeout, this, [this] { flushPlayTime(); });
    showTimer_->start();
    audioPlayer_->play();
    setPlayButtonImage("Pause.png");
}

void AudioLibraryWnd::pausePlay()
{
    showTimer_.reset();
    if (audioPlayer_)
        audioPlayer_->pause();
    if (ui_)
        setPlayButtonImage("Play.png");
}

void AudioLibraryWnd::playAndPause()
{
    if (!audioPlayer_)
        return;
    if (audioPlayer_->rate() <= 0.01F)
        playAudio();
    else
        pausePlay();
}

void AudioLibraryWnd::stopPlay()
{
    pausePlay();
    setIsPreviewPlay_(false);
}

void AudioLibraryWnd::setIsPreviewPlay_(bool on)
{
    isPreviewPlay_flag_ = on;
    if (!ui_)
        return;
    ui_->previewBtn_->setIcon(resources::icon(QString::fromLatin1(on ? "PrePause.png" : "PrePlay.png")));
    if (on)
        seekPlayRate(ui_->playProgressView_->startTrimRate());
}

void AudioLibraryWnd::previewAndStop()
{
    if (!audioPlayer_)
        return;
    if (isPreviewPlay_flag_) {
        setIsPreviewPlay_(false);
        if (audioPlayer_->rate() >= 0.9F)
            pausePlay();
    } else {
        setIsPreviewPlay_(true);
        if (audioPlayer_->rate() <= 0.01F)
            playAudio();
    }
}

void AudioLibraryWnd::flushPlayTime()
{
    if (!audioPlayer_)
        return;
    PlayProgressView* bar = ui_->playProgressView_;
    const auto t = float(audioPlayer_->currentTime().seconds());
    const float len = audioLength_;
    const float s = bar->startTrimRate() * len;
    const float e = bar->endTrimRate() * len;
    if (isPreviewPlay_flag_ && (double(s) > double(t) + 0.1 || t > e)) {
        seekPlayRate(bar->startTrimRate());
        return;
    }
    flushFadeInAndOut(t);
    bar->setPlayRate(len > 0 ? t / len : 0.0F);
    bar->update();
    showTimes(t);
    if (double(t) >= double(len) - 0.1) {
        pausePlay();
        seekPlayRate(0);
    }
}

void AudioLibraryWnd::showTimes(float position)
{
    ui_->showPlayTime_->setText(timeText(position) + QLatin1Char('/') + timeText(audioLength_));
}

void AudioLibraryWnd::seekPlayRate(float rate)
{
    if (!std::isfinite(rate))
        rate = 0;
    if (rate >= 1)
        rate = 1;
    if (rate <= 0)
        rate = 0;
    PlayProgressView* bar = ui_->playProgressView_;
    bar->setPlayRate(rate);
    bar->update();
    if (audioPlayer_) {
        const float ticks = audioLength_ * rate * float(timeScale_);
        audioPlayer_->seekToTime({std::int64_t(std::trunc(ticks)), timeScale_});
    }
    showTimes(rate * audioLength_);
}

void AudioLibraryWnd::leftTrimRate(float rate)
{
    PlayProgressView* bar = ui_->playProgressView_;
    if (!std::isfinite(rate))
        rate = 0;
    if (rate >= bar->endTrimRate())
        rate = bar->endTrimRate();
    if (rate <= 0)
        rate = 0;
    bar->setStartTrimRate(rate);
    bar->update();
    ui_->showStartTrim_->setText(timeText(audioLength_ * rate));
}

void AudioLibraryWnd::rightTrimRate(float rate)
{
    PlayProgressView* bar = ui_->playProgressView_;
    if (!std::isfinite(rate))
        rate = 1;
    if (rate >= 1)
        rate = 1;
    if (bar->startTrimRate() >= rate)
        rate = bar->startTrimRate();
    bar->setEndTrimRate(rate);
    bar->update();
    ui_->showEndTrim_->setText(timeText(audioLength_ * rate));
}

void AudioLibraryWnd::StartTrimSetPlayTime()
{
    leftTrimRate(ui_->playProgressView_->playRate());
}

void AudioLibraryWnd::EndTrimSetPlayTime()
{
    rightTrimRate(ui_->playProgressView_->playRate());
}

namespace {

// Rewrites a field's text, leaving the cursor where the user was typing.
void showInField(QLineEdit* field, const QString& text)
{
    if (field->text() == text)
        return;
    const int cursor = field->cursorPosition();
    field->setText(text);
    field->setCursorPosition(std::min(cursor, int(text.size())));
}

}  // namespace

void AudioLibraryWnd::setFadeInTime(float seconds)
{
    const QString shown = oneDecimal(seconds);
    // The value in use is the one the field shows, so preview and export agree with what the user reads.
    fadeInTime_ = shown.toFloat();
    showInField(ui_->fadeInTimeEdt_, shown);
}

void AudioLibraryWnd::setFadeOutTime(float seconds)
{
    const QString shown = oneDecimal(seconds);
    fadeOutTime_ = shown.toFloat();
    showInField(ui_->fadeOutTimeEdt_, shown);
}

float AudioLibraryWnd::fadeFieldValue(const QString& text)
{
    static const QRegularExpression number(QStringLiteral(R"(^\s*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?))"));
    static const QRegularExpression nonFinite(
        QStringLiteral(R"(^\s*[+-]?(?:nan|inf))"), QRegularExpression::CaseInsensitiveOption);
    if (nonFinite.match(text).hasMatch())
        return std::nanf("");
    const QRegularExpressionMatch match = number.match(text);
    if (!match.hasMatch())
        return 0;
    // Overflows to infinity, which the range test rejects like any other length above 5.
    return float(match.captured(1).toDouble());
}

void AudioLibraryWnd::controlTextDidChange(QLineEdit* field)
{
    const bool fadeIn = field == ui_->fadeInTimeEdt_;
    if (!fadeIn && field != ui_->fadeOutTimeEdt_)
        return;
    float value = fadeFieldValue(field->text());
    // Written so that NaN fails it too.
    if (!(value >= 0 && value <= kMaxFade))
        value = fadeIn ? fadeInTime_ : fadeOutTime_;
    if (fadeIn)
        setFadeInTime(value);
    else
        setFadeOutTime(value);
}

void AudioLibraryWnd::flushFadeInAndOut(float t)
{
    if (!audioPlayer_)
        return;
    const float fi = fadeInTime_;
    const float fo = fadeOutTime_;
    if (fi <= 0 && fo <= 0) {
        // Fades taken back to 0 after a fade: full volume again. A player
        // that never faded is left alone.
        if (audioPlayer_->volume() != 1.0F)
            audioPlayer_->setVolume(1.0F);
        return;
    }
    PlayProgressView* bar = ui_->playProgressView_;
    const float s = bar->startTrimRate() * audioLength_;
    const float e = bar->endTrimRate() * audioLength_;
    const bool inFadeIn = s <= t && t <= s + fi;
    const bool inFadeOut = e - fo <= t && t <= e;
    float volume = 1.0F;
    if (inFadeIn || inFadeOut) {
        if (t - s <= fi)
            volume = fi > 0 ? (t - s) / fi : 1.0F;
        else if (e - t <= fo)
            volume = fo > 0 ? (e - t) / fo : 1.0F;
    }
    audioPlayer_->setVolume(volume);
}

void AudioLibraryWnd::exportAudio()
{
    if (!audioPlayer_ || isExporting())
        return;
    auto* dialog = new QFileDialog(window_.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    const QString extension = getStrFormat();
    const QString kind = extension == QLatin1String("wav") ? tr("WAVE audio")
        : extension == QLatin1String("caf")                ? tr("Core Audio Format")
                                                           : tr("MPEG-4 audio");
    dialog->setNameFilter(QStringLiteral("%1 (*.%2)").arg(kind, extension));
    dialog->setDefaultSuffix(extension);
    // Cancelling ends the dialog without this signal: nothing changes.
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) { exportAudioToPath(path); });
    dialog->open();
}

void AudioLibraryWnd::exportAudioToPath(const QString& path)
{
    if (!audioPlayer_ || isExporting() || path.isEmpty())
        return;
    // The file's type follows the format code, so its name says the same.
    QString destination = path;
    const QString extension = getStrFormat();
    if (QFileInfo(destination).suffix().compare(extension, Qt::CaseInsensitive) != 0)
        destination += QLatin1Char('.') + extension;
    const PlayProgressView* bar = ui_->playProgressView_;
    audioConverter_.setExportAudioPath(destination.toStdString());
    audioConverter_.setTrimStartTime(audioLength_ * bar->startTrimRate());
    audioConverter_.setTrimEndTime(audioLength_ * bar->endTrimRate());
    audioConverter_.setFadeInTime(fadeInTime_);
    audioConverter_.setFadeOutTime(fadeOutTime_);
    audioConverter_.setAudioFromat(getFormatNum());
    if (!exportTask_->start(audioConverter_))
        return;
    exportProgress_->setValue(0);
    exportProgress_->show();
    setEditingLocked(true);
}

bool AudioLibraryWnd::isExporting() const
{
    return exportTask_->isRunning();
}

std::int32_t AudioLibraryWnd::getFormatNum() const
{
    return QFileInfo(QString::fromStdString(audioConverter_.sourceAudioPath())).suffix() == QLatin1String("wav") ? 0
                                                                                                                 : 1;
}

QString AudioLibraryWnd::getStrFormat() const
{
    switch (getFormatNum()) {
    case 2:
        return QStringLiteral("caf");
    case 0:
        return QStringLiteral("wav");
    default:
        return QStringLiteral("m4a");
    }
}

// While an export runs, nothing that changes what is being exported may be
// touched: the list (choosing a row loads another recording), the trim bar
// and its buttons, the fade fields and the export button. Play and preview
// go on.
void AudioLibraryWnd::setEditingLocked(bool locked)
{
    const bool loaded = audioPlayer_ != nullptr;
    ui_->listScroll->setEnabled(!locked);
    ui_->playProgressView_->setEnabled(!locked);
    ui_->btnStartTrim_->setEnabled(!locked && loaded);
    ui_->btnEndTrim_->setEnabled(!locked && loaded);
    ui_->fadeInTimeEdt_->setEnabled(!locked && loaded);
    ui_->fadeOutTimeEdt_->setEnabled(!locked && loaded);
    ui_->btnExport_->setEnabled(!locked && loaded);
}

void AudioLibraryWnd::exportFinished()
{
    exportProgress_->hide();
    setEditingLocked(false);
    const AudioConverter& done = *exportTask_->converter();
    const QString destination = QString::fromStdString(done.exportAudioPath());
    const QString source = QString::fromStdString(done.sourceAudioPath());
    switch (done.failure()) {
    case AudioConvertFailure::None:
        Workspace::shared().revealInFileManager(destination);
        return;
    case AudioConvertFailure::ReadFailed:
        Workspace::shared().revealInFileManager(destination);
        emit userNotified(tr("Export incomplete"),
            tr("%1 could not be read to its end; %2 holds the part before that.").arg(source, destination));
        return;
    case AudioConvertFailure::NoSource:
        emit userNotified(tr("Export failed"), tr("%1 could not be read; nothing was exported.").arg(source));
        return;
    case AudioConvertFailure::SameFile:
        emit userNotified(tr("Export failed"),
            tr("A recording cannot be exported onto itself; %1 was left as it is.").arg(destination));
        return;
    case AudioConvertFailure::CannotCreate:
        emit userNotified(tr("Export failed"),
            tr("%1 could not be created (does its folder exist, and may it be written?).").arg(destination));
        return;
    case AudioConvertFailure::WriteFailed:
        emit userNotified(tr("Export failed"),
            tr("Writing %1 failed (is the disk full?); nothing there was changed.").arg(destination));
        return;
    }
}

AudioLibBackView* AudioLibraryWnd::listView() const
{
    return ui_ ? ui_->vLibiaryBack_ : nullptr;
}

PlayProgressView* AudioLibraryWnd::playProgressView() const
{
    return ui_ ? ui_->playProgressView_ : nullptr;
}

QLabel* AudioLibraryWnd::showPlayTime() const
{
    return ui_ ? ui_->showPlayTime_ : nullptr;
}

QLabel* AudioLibraryWnd::showStartTrim() const
{
    return ui_ ? ui_->showStartTrim_ : nullptr;
}

QLabel* AudioLibraryWnd::showEndTrim() const
{
    return ui_ ? ui_->showEndTrim_ : nullptr;
}

QToolButton* AudioLibraryWnd::playBtn() const
{
    return ui_ ? ui_->playBtn_ : nullptr;
}

QToolButton* AudioLibraryWnd::previewBtn() const
{
    return ui_ ? ui_->previewBtn_ : nullptr;
}

QLineEdit* AudioLibraryWnd::fadeInTimeEdt() const
{
    return ui_ ? ui_->fadeInTimeEdt_ : nullptr;
}

QLineEdit* AudioLibraryWnd::fadeOutTimeEdt() const
{
    return ui_ ? ui_->fadeOutTimeEdt_ : nullptr;
}

QPushButton* AudioLibraryWnd::btnExport() const
{
    return ui_ ? ui_->btnExport_ : nullptr;
}
