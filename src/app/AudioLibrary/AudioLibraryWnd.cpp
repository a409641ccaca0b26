#include "AudioLibrary/AudioLibraryWnd.h"

#include "AudioLibrary/AudioExportTask.h"
#include "AudioLibrary/AudioLibBackView.h"
#include "AudioLibrary/AudioRowPool.h"
#include "Preferences/AppControl.h"
#include "platform/MediaPlayer.h"
#include "Desktop/FocusRing.h"
#include "Desktop/Resources.h"
#include "Desktop/Translations.h"
#include "Desktop/Trash.h"
#include "Desktop/Workspace.h"
#include "ui_AudioLibraryWnd.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Where the window was and how large, so that it comes back there.
const QString kGeometryKey = QStringLiteral("AudioLibraryWndGeometry");
constexpr int kExportProgressSteps = 1000;
// How long after the last change of a trim or a fade the list is stored.
constexpr int kTrimStoreMilliseconds = 1000;
// The arrow keys' steps through the recording, in seconds; with Shift the longer.
constexpr float kSeekStep = 1.0F;
// A position this close to a marker is at it (the preview keeps single precision).
constexpr double kMarkerSlack = 0.001;
constexpr double kMarkerBackSlack = 0.5;
constexpr float kLongSeekStep = 10.0F;
// The export's loudness target, in LUFS: podcasts' by default; the command line's range.
constexpr double kDefaultLoudness = -16.0;
constexpr double kLowestLoudness = -60.0;
constexpr double kHighestLoudness = -5.0;

// The local files among what is dragged onto the window.
QStringList localFiles(const QMimeData* data)
{
    QStringList files;
    for (const QUrl& url : data ? data->urls() : QList<QUrl>())
        if (url.isLocalFile())
            files.append(url.toLocalFile());
    return files;
}

QString oneDecimal(float seconds)
{
    return QString::asprintf("%.1f", double(seconds));
}

}  // namespace

AudioLibraryWnd::AudioLibraryWnd(QObject* parent) : QObject(parent), exportTask_(std::make_unique<AudioExportTask>())
{
    connect(exportTask_.get(), &AudioExportTask::progressed, this, [this](qint64 done, qint64 toDo) {
        if (exportProgress_)
            exportProgress_->setValue(toDo > 0 ? int(std::min(done, toDo) * kExportProgressSteps / toDo) : 0);
    });
    connect(exportTask_.get(), &AudioExportTask::finished, this, [this] { exportFinished(); });
    connect(&preview_, &AudioPreview::changed, this, [this] { showPreview(); });
    trimStore_.setSingleShot(true);
    trimStore_.setInterval(kTrimStoreMilliseconds);
    connect(&trimStore_, &QTimer::timeout, this, [this] { store_.write(); });
    undoTimer_.setSingleShot(true);
    undoTimer_.setInterval(kUndoMilliseconds);
    connect(&undoTimer_, &QTimer::timeout, this, [this] {
        removed_ = {};
        if (undoBar_)
            undoBar_->hide();
    });
    connect(&store_, &AudioLibraryStore::failed, this,
        [this] { emit userNotified(tr("Library not stored"), store_.problem()); });
    connect(&store_, &AudioLibraryStore::linesKept, this, [this](qsizetype count) {
        emit userNotified(tr("Library list partly unreadable"),
            tr("%n line(s) of %1 name no recording TrayTape can read; they are kept there as they are.", "", int(count))
                .arg(AudioLibraryStore::listPath()));
    });
    // The lengths measured after the start show in the rows in view.
    connect(&store_, &AudioLibraryStore::measured, this, [this] {
        if (rows_)
            rows_->bind(chosen_);
    });
    store_.load();
#ifdef __GLIBC__
    // Reading a large stored list leaves freed buffers in the heap (tens of
    // megabytes of the settings parser's when the list is moved out of the
    // settings); they go back to the system rather than stay resident for
    // the whole run.
    malloc_trim(0);
#endif
}

AudioLibraryWnd::~AudioLibraryWnd()
{
    // A running export is waited for (its file completed or removed) before the window goes.
    exportTask_.reset();
    preview_.disconnect(this);
    preview_.unload();
    if (!window_)
        return;
    // The rows go with the window; nothing in it may call back while it goes.
    rows_->detach();
    ui_->playProgressView_->setDelegate(nullptr);
    ui_->waveformStrip_->setDelegate(nullptr);
    ui_->waveformStrip_->setOverview(nullptr);
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
        rows_ = std::make_unique<AudioRowPool>(store_, ui_->listScroll, ui_->vLibiaryBack_, this);
        window_->setWindowIcon(resources::scalableIcon(QStringLiteral("TrayTape")));
        connectOutlets();
        focusRing_ = std::make_unique<FocusRingStyle>();
        focusRing_->applyTo(window_.get());
        windowDidLoad();
    }
    return window_.get();
}

void AudioLibraryWnd::connectOutlets()
{
    window_->installEventFilter(this);
    ui_->listScroll->installEventFilter(this);
    connect(ui_->listScroll->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { rows_->bind(chosen_); });
    connect(ui_->playBtn_, &QToolButton::clicked, this, [this] { playAndPause(); });
    connect(ui_->previewBtn_, &QToolButton::clicked, this, [this] { previewAndStop(); });
    connect(ui_->btnStartTrim_, &QPushButton::clicked, this, [this] { StartTrimSetPlayTime(); });
    connect(ui_->btnEndTrim_, &QPushButton::clicked, this, [this] { EndTrimSetPlayTime(); });
    connect(ui_->btnExport_, &QPushButton::clicked, this, [this] { exportAudio(); });
    // Only the user's edits are checked; the window's own rewrites are not edits.
    connect(ui_->fadeInTimeEdt_, &QLineEdit::textEdited, this, [this] { controlTextDidChange(ui_->fadeInTimeEdt_); });
    connect(ui_->fadeOutTimeEdt_, &QLineEdit::textEdited, this, [this] { controlTextDidChange(ui_->fadeOutTimeEdt_); });
    connectKeys();
    ui_->playBtn_->setIcon(resources::icon(QStringLiteral("Play.png")));
    ui_->previewBtn_->setIcon(resources::icon(QStringLiteral("PrePlay.png")));
    exportProgress_ = new QProgressBar(window_.get());
    exportProgress_->setRange(0, kExportProgressSteps);
    exportProgress_->setTextVisible(false);
    exportProgress_->setMaximumWidth(120);
    exportProgress_->setToolTip(tr("Exporting"));
    exportProgress_->hide();
    ui_->controlRow->insertWidget(ui_->controlRow->indexOf(ui_->btnExport_), exportProgress_);
    exportCancel_ = new QPushButton(tr("Cancel"), window_.get());
    exportCancel_->setObjectName(QStringLiteral("exportCancel"));
    exportCancel_->setToolTip(tr("Stop the export; nothing is written"));
    exportCancel_->hide();
    ui_->controlRow->insertWidget(ui_->controlRow->indexOf(ui_->btnExport_), exportCancel_);
    connect(exportCancel_, &QPushButton::clicked, this, [this] { cancelExport(); });
    buildUndoBar();
    // The list's own stop is its background, inside the scroll area.
    ui_->listScroll->setFocusPolicy(Qt::NoFocus);
    // Files dropped anywhere on the window are listed; the fade fields take no text from a drop.
    window_->setAcceptDrops(true);
    ui_->fadeInTimeEdt_->setAcceptDrops(false);
    ui_->fadeOutTimeEdt_->setAcceptDrops(false);
    ui_->vLibiaryBack_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui_->vLibiaryBack_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        auto* menu = new QMenu(ui_->vLibiaryBack_);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->addAction(tr("Add Recordings\u2026"), this, [this] { addRecordings(); });
        menu->popup(ui_->vLibiaryBack_->mapToGlobal(at));
    });
    // Top to bottom, left to right; the chosen row's delete button follows
    // the list (the rows put it there as the choice moves).
    QWidget* const order[] = {ui_->vLibiaryBack_, undoBar_->findChild<QPushButton*>(), ui_->waveformStrip_,
        ui_->playProgressView_, ui_->btnStartTrim_, ui_->btnEndTrim_, ui_->playBtn_, ui_->previewBtn_,
        ui_->fadeInTimeEdt_, ui_->fadeOutTimeEdt_, exportCancel_, ui_->btnExport_};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void AudioLibraryWnd::connectKeys()
{
    const auto key = [this](const QKeySequence& k, auto action) {
        connect(new QShortcut(k, window_.get()), &QShortcut::activated, this, action);
    };
    // A text field keeps the space for typing; everywhere else in the window,
    // a focused button included, it plays and pauses.
    key(Qt::Key_Space, [this] { playAndPause(); });
    // A button is pressed by Return as by a click (outside a dialog Qt's own buttons ignore it).
    for (const Qt::Key enter : {Qt::Key_Return, Qt::Key_Enter})
        key(enter, [] {
            if (auto* button = qobject_cast<QAbstractButton*>(QApplication::focusWidget()))
                button->click();
        });
    // The list from the keyboard. A text field keeps Delete, Home, End, the
    // arrows, the letters and Ctrl+Z for its own text; while an export runs
    // the list and the trim are locked, as for the mouse.
    key(Qt::Key_Up, [this] { chooseNeighbour(-1); });
    key(Qt::Key_Down, [this] { chooseNeighbour(1); });
    key(Qt::Key_Delete, [this] {
        if (!isExporting())
            deleteChooseAudioItem();
    });
    key(QKeySequence::Undo, [this] { undoRemoval(); });
    key(Qt::Key_Home, [this] { seekPlayRate(preview_.startTrimRate()); });
    key(Qt::Key_End, [this] { seekPlayRate(preview_.endTrimRate()); });
    key(Qt::Key_Left, [this] { seekBy(-kSeekStep); });
    key(Qt::Key_Right, [this] { seekBy(kSeekStep); });
    key(Qt::SHIFT | Qt::Key_Left, [this] { seekBy(-kLongSeekStep); });
    key(Qt::SHIFT | Qt::Key_Right, [this] { seekBy(kLongSeekStep); });
    for (const Qt::Key start : {Qt::Key_BracketLeft, Qt::Key_I})
        key(start, [this] {
            if (ui_->btnStartTrim_->isEnabled())
                StartTrimSetPlayTime();
        });
    for (const Qt::Key end : {Qt::Key_BracketRight, Qt::Key_O})
        key(end, [this] {
            if (ui_->btnEndTrim_->isEnabled())
                EndTrimSetPlayTime();
        });
    // Markers: comma and period, as the "<" and ">" they share keys with.
    key(Qt::Key_Comma, [this] { seekMarker(-1); });
    key(Qt::Key_Period, [this] { seekMarker(1); });
    key(Qt::Key_Menu, [this] { openRowMenu(); });
    key(Qt::SHIFT | Qt::Key_F10, [this] { openRowMenu(); });
}

void AudioLibraryWnd::buildUndoBar()
{
    undoBar_ = new QWidget(window_.get());
    auto* layout = new QHBoxLayout(undoBar_);
    layout->setContentsMargins(13, 4, 13, 4);
    undoText_ = new QLabel(undoBar_);
    auto* undo = new QPushButton(tr("Undo"), undoBar_);
    undo->setObjectName(QStringLiteral("undoButton"));
    undo->setToolTip(tr("Put the row back (Ctrl+Z)"));
    layout->addWidget(undoText_, 1);
    layout->addWidget(undo);
    connect(undo, &QPushButton::clicked, this, [this] { undoRemoval(); });
    undoBar_->hide();
    ui_->outerLayout->insertWidget(ui_->outerLayout->indexOf(ui_->bottomBack), undoBar_);
}

void AudioLibraryWnd::openRowMenu()
{
    if (chosen_ < 0)
        return;
    rows_->scrollTo(chosen_);
    if (AudioItemView* row = rows_->viewAt(chosen_))
        row->makeContextMenu()->popup(row->mapToGlobal(QPoint(int(AudioItemView::nameOrigin().x()), row->height())));
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
    // The strip seeks as the bar does, and draws the overview as it grows.
    ui_->waveformStrip_->setDelegate(this);
    ui_->waveformStrip_->setOverview(&preview_.overview().overview());
    connect(&preview_.overview(), &WaveOverviewLoader::changed, ui_->waveformStrip_,
        [this] { ui_->waveformStrip_->update(); });
    loadOldLibary();
    flushAudioLibrary();
    audioSourceNil();
}

void AudioLibraryWnd::loadOldLibary()
{
    // The drops are stored at once, not at the next close or quit. The rows
    // are made for what is in view when the list is laid out.
    store_.dropMissing();
    store_.write();
    store_.measure();
}

void AudioLibraryWnd::addAudioItemFromPath(
    const QString& path, const std::vector<double>& markers, const QStringList& sources)
{
    window();
    store_.add(path, -1, markers.empty() ? std::nullopt : std::optional(markers));
    const qsizetype added = store_.items().size() - 1;
    for (const QString& source : sources)
        store_.add(source, -1, std::nullopt);
    chooseTheAudioItemAt(added);
    // Stored at once, so a crash or a logout later in the run loses nothing.
    store_.write();
}

void AudioLibraryWnd::recoverAudioItemFromPath(const QString& mark, std::function<void()> finished)
{
    window();
    store_.recover(
        mark,
        [this](const QVariantMap&) {
            flushAudioLibrary();
            store_.write();
        },
        std::move(finished));
}

void AudioLibraryWnd::flushAudioLibrary()
{
    window();
    rows_->layout(chosen_);
    // A new recording, or what is left after a deletion, is in sight.
    if (chosen_ >= 0)
        rows_->scrollTo(chosen_);
}

void AudioLibraryWnd::chooseTheAudioItem(AudioItemView* row)
{
    // Found first: choosing rebinds the rows, and may make more.
    const qsizetype index = rows_->indexOf(row);
    if (index >= 0)
        chooseTheAudioItemAt(index);
}

void AudioLibraryWnd::chooseTheAudioItemAt(qsizetype index)
{
    if (index < 0 || index >= store_.items().size())
        index = -1;
    if (index == chosen_)
        return;
    stopPlay();
    chosen_ = index;
    deletedAt_ = -1;
    rows_->bind(chosen_);
    if (index < 0)
        return;
    if (AudioItemView* view = rows_->viewAt(index)) {
        QAccessibleEvent chosen(view, QAccessible::Selection);
        QAccessible::updateAccessibility(&chosen);
    }
    loadAudioPath(AudioLibraryStore::pathOf(store_.items()[index]));
}

void AudioLibraryWnd::chooseNeighbour(int step)
{
    const qsizetype count = store_.items().size();
    if (isExporting() || count == 0)
        return;
    qsizetype next = chosen_ + step;
    // With none chosen, Down starts at the top and Up at the bottom, or both
    // where the last deletion left a gap.
    if (chosen_ < 0)
        next = deletedAt_ >= 0 ? deletedAt_ + (step > 0 ? 0 : -1) : (step > 0 ? 0 : count - 1);
    next = std::clamp<qsizetype>(next, 0, count - 1);
    chooseTheAudioItemAt(next);
    rows_->scrollTo(next);
}

void AudioLibraryWnd::deleteChooseAudioItem()
{
    const qsizetype index = chosen_;
    if (index < 0)
        return;
    const qsizetype sources = AudioRowPool::sourcesAfter(store_.items(), index);
    if (sources == 0) {
        removeItems(index, 1);
        return;
    }
    // A recording listed with its sources' files: whether they go too is the user's to say.
    auto* ask = new QMessageBox(QMessageBox::Question, tr("Remove from the List"),
        tr("Also remove the files of each source of %1 from the list?")
            .arg(QFileInfo(AudioLibraryStore::pathOf(store_.items()[index])).completeBaseName()),
        QMessageBox::NoButton, window());
    ask->setObjectName(QStringLiteral("removeSourcesQuestion"));
    ask->setInformativeText(tr("The files stay on the disk either way."));
    QPushButton* all = ask->addButton(tr("Remove Them Too"), QMessageBox::YesRole);
    ask->addButton(tr("Keep Them Listed"), QMessageBox::NoRole);
    ask->addButton(QMessageBox::Cancel);
    ask->setDefaultButton(all);
    ask->setWindowModality(Qt::WindowModal);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    // The answer is taken for the row chosen when it was asked, if it is still there and still chosen.
    const QVariant asked = store_.items()[index];
    connect(ask, &QMessageBox::finished, this, [this, ask, all, index, sources, asked] {
        QAbstractButton* answer = ask->clickedButton();
        if (!answer || answer == ask->button(QMessageBox::Cancel) || chosen_ != index
            || store_.items().value(index) != asked)
            return;
        removeItems(index, answer == all ? 1 + sources : 1);
    });
    ask->open();
}

void AudioLibraryWnd::removeItems(qsizetype index, qsizetype count)
{
    // The chosen row's own item, found by its place: an equal item elsewhere
    // is another row's. It is kept a while for an undo.
    removed_ = {index, {}};
    for (qsizetype i = 0; i < count; ++i)
        removed_.entries.append(store_.removeAt(index));
    undoText_->setText(tr("%1 was removed from the list.")
                           .arg(QFileInfo(AudioLibraryStore::pathOf(removed_.entries.first())).completeBaseName()));
    undoBar_->show();
    undoTimer_.start();
    // The row widgets stay (a delete button may still be inside its click
    // handler); the layout rebinds them to what is left.
    chooseTheAudioItemAt(-1);
    flushAudioLibrary();
    audioSourceNil();
    store_.write();
    deletedAt_ = index;
}

void AudioLibraryWnd::undoRemoval()
{
    if (removed_.index < 0)
        return;
    const Removed back = std::exchange(removed_, {});
    undoTimer_.stop();
    undoBar_->hide();
    for (qsizetype i = 0; i < back.entries.size(); ++i)
        store_.insertAt(back.index + i, back.entries[i]);
    shiftIndexes(back.index, back.entries.size());
    chooseTheAudioItemAt(std::min(back.index, store_.items().size() - 1));
    flushAudioLibrary();
    store_.write();
}

void AudioLibraryWnd::shiftIndexes(qsizetype at, qsizetype by)
{
    for (qsizetype* index : {&chosen_, &deletedAt_, &removed_.index, &exportSource_})
        *index += *index >= at ? by : 0;
}

void AudioLibraryWnd::moveToTrash(AudioItemView* row)
{
    const qsizetype index = rows_->indexOf(row);
    if (index < 0)
        return;
    const QString path = AudioLibraryStore::pathOf(store_.items()[index]);
    // The player lets go of the file before it goes.
    const bool wasChosen = index == chosen_;
    if (wasChosen) {
        chooseTheAudioItemAt(-1);
        audioSourceNil();
    }
    if (const QString why = trash::moveToTrash(path); !why.isEmpty()) {
        emit userNotified(tr("Not moved to the Trash"), tr("%1 could not be moved to the Trash: %2.").arg(path, why));
        if (wasChosen)
            chooseTheAudioItemAt(index);
        return;
    }
    store_.removeAt(index);
    shiftIndexes(index + 1, -1);
    deletedAt_ = wasChosen ? index : deletedAt_;
    flushAudioLibrary();
    store_.write();
}

void AudioLibraryWnd::addRecordings()
{
    auto* dialog = new QFileDialog(window_.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilters(
        {tr("Recordings (*.wav *.m4a *.caf *.aac *.mp3 *.flac *.ogg *.opus *.aif *.aiff)"), tr("All files (*)")});
    if (chosen_ >= 0)
        dialog->setDirectory(QFileInfo(AudioLibraryStore::pathOf(store_.items()[chosen_])).absolutePath());
    connect(
        dialog, &QFileDialog::filesSelected, this, [this](const QStringList& paths) { addRecordingsFromPaths(paths); });
    dialog->open();
}

void AudioLibraryWnd::addRecordingsFromPaths(const QStringList& paths)
{
    window();
    qsizetype first = -1;
    QStringList refused;
    for (const QString& path : paths) {
        const QString file = QFileInfo(path).absoluteFilePath();
        if (store_.indexOfFile(file) >= 0)
            continue;
        const auto asset = MediaAsset::assetWithPath(file.toStdString());
        if (!asset || asset->audioTrackCount() == 0) {
            refused.append(QFileInfo(file).fileName());
            continue;
        }
        store_.add(file);
        first = first < 0 ? store_.items().size() - 1 : first;
    }
    if (!refused.isEmpty())
        emit userNotified(tr("Not added"),
            tr("%1: no audio TrayTape can play.", "", int(refused.size())).arg(refused.join(QStringLiteral(", "))));
    if (first < 0)
        return;
    chooseTheAudioItemAt(first);
    flushAudioLibrary();
    store_.write();
}

void AudioLibraryWnd::writeData()
{
    store_.write();
    // At quit and at a logout the list must be on the disk before the process ends.
    store_.waitForWrites();
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
        if (event->type() == QEvent::DragEnter) {
            auto* drag = static_cast<QDragEnterEvent*>(event);
            if (!localFiles(drag->mimeData()).isEmpty())
                drag->acceptProposedAction();
        } else if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            const QStringList files = localFiles(drop->mimeData());
            if (!files.isEmpty()) {
                drop->acceptProposedAction();
                addRecordingsFromPaths(files);
            }
        } else if (event->type() == QEvent::Close) {
            if (!windowShouldClose())
                event->ignore();
        } else if (event->type() == QEvent::Hide) {
            rememberGeometry();
        }
    } else if (ui_ && watched == ui_->listScroll && event->type() == QEvent::Resize) {
        // A taller window (or a scroll bar coming or going) changes what the
        // list is laid out against; where the user scrolled to stays.
        rows_->layout(chosen_);
    }
    return QObject::eventFilter(watched, event);
}

void AudioLibraryWnd::audioSourceNil()
{
    preview_.unload();
    markers_.clear();
    seekPlayRate(0);
    leftTrimRate(0);
    rightTrimRate(1);
    setFadeInTime(0);
    setFadeOutTime(0);
    ui_->fadeInTimeEdt_->setEnabled(false);
    ui_->fadeOutTimeEdt_->setEnabled(false);
    ui_->btnExport_->setEnabled(false);
    ui_->playProgressView_->setCanEdit(false);
    ui_->waveformStrip_->setCanEdit(false);
    // Without a recording there is no play position to put a trim point at.
    ui_->btnStartTrim_->setEnabled(false);
    ui_->btnEndTrim_->setEnabled(false);
}

void AudioLibraryWnd::flushAllState()
{
    // The recording comes back as the user left it: its own trim and fades,
    // the play head at its start.
    const AudioLibraryStore::Trim kept = chosen_ >= 0 && chosen_ < store_.items().size()
        ? AudioLibraryStore::trimOf(store_.items()[chosen_])
        : AudioLibraryStore::Trim{};
    seekPlayRate(0);
    leftTrimRate(0);
    rightTrimRate(kept.end);
    leftTrimRate(kept.start);
    setFadeInTime(kept.fadeIn);
    setFadeOutTime(kept.fadeOut);
    ui_->fadeInTimeEdt_->setEnabled(true);
    ui_->fadeOutTimeEdt_->setEnabled(true);
    ui_->btnExport_->setEnabled(true);
    ui_->btnStartTrim_->setEnabled(true);
    ui_->btnEndTrim_->setEnabled(true);
    if (isExporting())
        setEditingLocked(true);
}

void AudioLibraryWnd::seekBy(float seconds)
{
    if (preview_.isLoaded() && preview_.length() > 0)
        seekPlayRate((preview_.position() + seconds) / preview_.length());
}

void AudioLibraryWnd::seekMarker(int step)
{
    const float length = preview_.length();
    if (!preview_.isLoaded() || length <= 0 || markers_.empty())
        return;
    // Playing, the position has moved on from a marker it was sent to; a
    // second press goes one further back, as a player's "previous" does.
    const double here = preview_.position();
    const double slack = step < 0 && preview_.isPlaying() ? kMarkerBackSlack : kMarkerSlack;
    double to = -1;
    if (step > 0) {
        const auto next = std::upper_bound(markers_.begin(), markers_.end(), here + kMarkerSlack);
        if (next != markers_.end())
            to = *next;
    } else {
        const auto after = std::lower_bound(markers_.begin(), markers_.end(), here - slack);
        if (after != markers_.begin())
            to = *std::prev(after);
    }
    if (to >= 0 && to <= length)
        seekPlayRate(float(to / length));
}

void AudioLibraryWnd::leftTrimRate(float rate)
{
    preview_.setStartTrim(rate);
    keepTrim();
}

void AudioLibraryWnd::rightTrimRate(float rate)
{
    preview_.setEndTrim(rate);
    keepTrim();
}

void AudioLibraryWnd::keepTrim()
{
    if (store_.setTrim(
            chosen_, {preview_.startTrimRate(), preview_.endTrimRate(), preview_.fadeIn(), preview_.fadeOut()}))
        trimStore_.start();
}

void AudioLibraryWnd::loadAudioPath(const QString& path)
{
    markers_.clear();
    if (chosen_ >= 0) {
        const QVariant& item = store_.items()[chosen_];
        if (AudioLibraryStore::hasMarkers(item)) {
            markers_ = AudioLibraryStore::markersOf(item);
        } else {
            // Listed before markers were kept, or by another build: its file tells, once.
            markers_ = AudioLibraryStore::markersInFile(path);
            if (!markers_.empty() && store_.setMarkers(chosen_, markers_))
                trimStore_.start();
        }
    }
    if (!preview_.load(path)) {
        audioSourceNil();
        return;
    }
    ui_->playProgressView_->setCanEdit(true);
    ui_->waveformStrip_->setCanEdit(true);
    flushAllState();
}

void AudioLibraryWnd::showPreview()
{
    if (!ui_)
        return;
    PlayProgressView* bar = ui_->playProgressView_;
    bar->setPlayRate(preview_.playRate());
    bar->setStartTrimRate(preview_.startTrimRate());
    bar->setEndTrimRate(preview_.endTrimRate());
    bar->update();
    WaveformStripView* strip = ui_->waveformStrip_;
    strip->setPlayRate(preview_.playRate());
    strip->setStartTrimRate(preview_.startTrimRate());
    strip->setEndTrimRate(preview_.endTrimRate());
    const float length = preview_.length();
    std::vector<double> rates;
    for (const double at : markers_)
        if (length > 0 && at <= length)
            rates.push_back(at / length);
    bar->setMarkerRates(rates);
    strip->setMarkerRates(std::move(rates));
    strip->setLength(length);
    strip->update();
    // Positions and trims are set to a fraction of a second, so they show one.
    ui_->showPlayTime_->setText(
        AppControl::tenthsText(preview_.position()) + QLatin1Char('/') + AppControl::tenthsText(length));
    ui_->showStartTrim_->setText(AppControl::tenthsText(length * preview_.startTrimRate()));
    ui_->showEndTrim_->setText(AppControl::tenthsText(length * preview_.endTrimRate()));
    ui_->playBtn_->setIcon(resources::icon(QString::fromLatin1(preview_.isPlaying() ? "Pause.png" : "Play.png")));
    ui_->previewBtn_->setIcon(
        resources::icon(QString::fromLatin1(preview_.isPreview() ? "PrePause.png" : "PrePlay.png")));
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
    preview_.setFadeIn(shown.toFloat());
    showInField(ui_->fadeInTimeEdt_, shown);
    keepTrim();
}

void AudioLibraryWnd::setFadeOutTime(float seconds)
{
    const QString shown = oneDecimal(seconds);
    preview_.setFadeOut(shown.toFloat());
    showInField(ui_->fadeOutTimeEdt_, shown);
    keepTrim();
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
        value = fadeIn ? preview_.fadeIn() : preview_.fadeOut();
    if (fadeIn)
        setFadeInTime(value);
    else
        setFadeOutTime(value);
}

void AudioLibraryWnd::exportAudio()
{
    if (!preview_.isLoaded() || isExporting())
        return;
    // Asking for a file name to write nothing into would waste the user's time.
    if (const FadeEnvelope range = preview_.envelope(); !(range.trimEnd > range.trimStart))
        return refuseEmptyRange();
    auto* dialog = new QFileDialog(window_.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    const QString extension = getStrFormat();
    const QString kind = engineWords(getFormatNum().kindName);
    dialog->setNameFilter(QStringLiteral("%1 (*.%2)").arg(kind, extension));
    dialog->setDefaultSuffix(extension);
    // Where the user saved last, as a desktop's own save panel does; the
    // first time (or when that folder is gone), beside the recording rather
    // than in whatever folder the program was started from. The name offered
    // is the recording's own, marked as the part of it that it is.
    QString folder = AppControl::AppReadKeyValue(SettingsKey::ExportAudioFolder, QString()).toString();
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QFileInfo(preview_.path()).absolutePath();
    dialog->setDirectory(folder);
    // A file name, which stays the same in every language, as the recordings' own do.
    dialog->selectFile(QStringLiteral("%1 (trimmed).%2").arg(QFileInfo(preview_.path()).completeBaseName(), extension));
    addLoudnessChoice(dialog);
    // Cancelling ends the dialog without this signal: nothing changes.
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) { exportAudioToPath(path); });
    dialog->open();
}

// A row below the file name: whether to normalise the loudness, and to what.
// Only the dialog Qt draws itself takes widgets of ours, so that one is used.
// Each change is kept at once, as the other settings windows keep theirs.
void AudioLibraryWnd::addLoudnessChoice(QFileDialog* dialog)
{
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    auto* grid = qobject_cast<QGridLayout*>(dialog->layout());
    if (!grid)
        return;
    auto* normalise = new QCheckBox(tr("Normalise loudness"), dialog);
    normalise->setObjectName(QStringLiteral("normaliseLoudness"));
    normalise->setToolTip(tr("Measure the loudness (EBU R128) and bring it to the target with one gain; "
                             "true peaks are kept below -1 dBTP"));
    normalise->setChecked(AppControl::AppReadKeyValue(SettingsKey::ExportNormaliseLoudness, false).toBool());
    auto* target = new QDoubleSpinBox(dialog);
    target->setObjectName(QStringLiteral("loudnessTarget"));
    target->setRange(kLowestLoudness, kHighestLoudness);
    target->setDecimals(1);
    target->setSingleStep(1.0);
    target->setSuffix(tr(" LUFS"));
    target->setAccessibleName(tr("Loudness target"));
    target->setValue(AppControl::AppReadKeyValue(SettingsKey::ExportLoudnessTarget, kDefaultLoudness).toDouble());
    target->setEnabled(normalise->isChecked());
    connect(normalise, &QCheckBox::toggled, target, [target](bool on) {
        target->setEnabled(on);
        AppControl::AppWriteKeyValue(on, SettingsKey::ExportNormaliseLoudness);
    });
    connect(target, &QDoubleSpinBox::valueChanged, dialog,
        [](double lufs) { AppControl::AppWriteKeyValue(lufs, SettingsKey::ExportLoudnessTarget); });
    auto* row = new QHBoxLayout;
    row->addWidget(normalise);
    row->addWidget(target);
    row->addStretch();
    grid->addLayout(row, grid->rowCount(), 0, 1, grid->columnCount());
}

void AudioLibraryWnd::exportAudioToPath(const QString& path)
{
    if (!preview_.isLoaded() || isExporting() || path.isEmpty())
        return;
    // The file's type follows the format code, so its name says the same.
    QString destination = path;
    const QString extension = getStrFormat();
    if (QFileInfo(destination).suffix().compare(extension, Qt::CaseInsensitive) != 0)
        destination += QLatin1Char('.') + extension;
    AudioExportRequest request;
    request.source = preview_.path().toStdString();
    request.destination = destination.toStdString();
    request.range = preview_.envelope();
    request.markers = markers_;
    request.format = &getFormatNum();
    request.recordings.push_back(
        AppControl::AppReadKeyValue(SettingsKey::RecordingInProgress, QString()).toString().toStdString());
    if (recordingInProgress_)
        request.recordings.push_back(recordingInProgress_().toStdString());
    if (AppControl::AppReadKeyValue(SettingsKey::ExportNormaliseLoudness, false).toBool())
        request.loudness = std::clamp(
            AppControl::AppReadKeyValue(SettingsKey::ExportLoudnessTarget, kDefaultLoudness).toDouble(),
            kLowestLoudness, kHighestLoudness);
    if (!exportTask_->start(request))
        return;
    AppControl::AppWriteKeyValue(QFileInfo(destination).absolutePath(), SettingsKey::ExportAudioFolder);
    exportSource_ = chosen_;
    exportProgress_->setValue(0);
    exportProgress_->show();
    exportCancel_->show();
    setEditingLocked(true);
}

QString AudioLibraryWnd::loudnessText(const LoudnessResult& result)
{
    const QString peak = QString::number(result.truePeakDb, 'f', 1);
    if (!result.measured)
        return tr("The range is silent: no gain was applied. True peak %1 dBTP.").arg(peak);
    return tr("Loudness %1 LUFS, gain %2 dB, true peak %3 dBTP.")
        .arg(QString::number(*result.measured, 'f', 1),
            (result.gainDb >= 0 ? QStringLiteral("+") : QString()) + QString::number(result.gainDb, 'f', 1), peak);
}

void AudioLibraryWnd::refuseEmptyRange()
{
    emit userNotified(tr("Nothing to export"),
        tr("The trimmed range holds no audio: move the trim start before the trim end. No file was written."));
}

void AudioLibraryWnd::cancelExport()
{
    exportTask_->cancel();
}

bool AudioLibraryWnd::isExporting() const
{
    return exportTask_->isRunning();
}

const AudioFormat& AudioLibraryWnd::getFormatNum() const
{
    // The extension as the recorder wrote it: a name changed by hand since
    // ("X.WAV") is not taken for its own.
    const std::string path = preview_.path().toStdString();
    const AudioFormat* own = audioFormatForPath(path);
    const std::string suffix = QFileInfo(preview_.path()).suffix().toStdString();
    const bool asWritten
        = own && std::find(own->extensions.begin(), own->extensions.end(), suffix) != own->extensions.end();
    return asWritten && own->recordable() && own->exportable ? *own : defaultAudioFormat();
}

QString AudioLibraryWnd::getStrFormat() const
{
    const std::string_view extension = getFormatNum().extension();
    return QString::fromUtf8(extension.data(), qsizetype(extension.size()));
}

// While an export runs, nothing that changes what is being exported may be
// touched: the list (choosing a row loads another recording), the trim bar
// and its buttons, the fade fields and the export button. Play and preview
// go on.
void AudioLibraryWnd::setEditingLocked(bool locked)
{
    const bool loaded = preview_.isLoaded();
    ui_->listScroll->setEnabled(!locked);
    ui_->playProgressView_->setEnabled(!locked);
    ui_->waveformStrip_->setEnabled(!locked);
    ui_->btnStartTrim_->setEnabled(!locked && loaded);
    ui_->btnEndTrim_->setEnabled(!locked && loaded);
    ui_->fadeInTimeEdt_->setEnabled(!locked && loaded);
    ui_->fadeOutTimeEdt_->setEnabled(!locked && loaded);
    ui_->btnExport_->setEnabled(!locked && loaded);
}

void AudioLibraryWnd::exportFinished()
{
    exportProgress_->hide();
    exportCancel_->hide();
    setEditingLocked(false);
    const AudioConverter& done = *exportTask_->converter();
    const QString destination = QString::fromStdString(done.exportAudioPath());
    const QString source = QString::fromStdString(done.sourceAudioPath());
    // The new file is listed as a recording of its own, under the one it came from.
    const auto list = [this, &destination] {
        if (store_.indexOfFile(destination) >= 0)
            return;
        const qsizetype at = exportSource_ >= 0 && exportSource_ < store_.items().size() ? exportSource_ + 1 : -1;
        store_.add(destination, at);
        if (at >= 0)
            shiftIndexes(at, 1);
        flushAudioLibrary();
        store_.write();
    };
    switch (done.failure()) {
    case AudioConvertFailure::None:
        list();
        Workspace::shared().revealInFileManager(destination);
        if (done.loudnessTarget())
            emit userNotified(tr("Exported"), loudnessText(done.loudness()));
        return;
    case AudioConvertFailure::Cancelled:
        return;
    case AudioConvertFailure::ReadFailed:
        list();
        Workspace::shared().revealInFileManager(destination);
        emit userNotified(tr("Export incomplete"),
            tr("%1 could not be read to its end; %2 holds the part before that.").arg(source, destination));
        return;
    case AudioConvertFailure::NoSource:
        emit userNotified(tr("Export failed"), tr("%1 could not be read; nothing was exported.").arg(source));
        return;
    case AudioConvertFailure::NoAudio:
        refuseEmptyRange();
        return;
    case AudioConvertFailure::SameFile:
        emit userNotified(tr("Export failed"),
            tr("A recording cannot be exported onto itself; %1 was left as it is.").arg(destination));
        return;
    case AudioConvertFailure::BeingRecorded:
        emit userNotified(tr("Export failed"),
            tr("%1 is being recorded: choose another file. The recording goes on.").arg(destination));
        return;
    case AudioConvertFailure::Refused:
        emit userNotified(tr("Export failed"), QString::fromStdString(done.failureText()));
        return;
    case AudioConvertFailure::CannotCreate:
        emit userNotified(tr("Export failed"),
            tr("%1 could not be created (%2).").arg(destination, engineWords(done.destinationReason())));
        return;
    case AudioConvertFailure::WriteFailed:
        emit userNotified(tr("Export failed"),
            tr("Writing %1 failed (%2); nothing there was changed.")
                .arg(destination, engineWords(done.destinationReason())));
        return;
    }
}
