// The library window: the rows of the stored recordings, the preview of the
// chosen one (play, trim range, fades, looped preview) and the export
// command. The list is kept by an AudioLibraryStore and the preview's state
// by an AudioPreview; the window holds the widgets, wires them to those two
// and shows their state, and hands each export to an AudioExportTask as one
// AudioExportRequest.
//
// The list shows any number of recordings with the few row widgets of an
// AudioRowPool; a row is known by its item's index in the store's order.
// Each recording keeps its own trim range and fades, in its item.
//
// Everything is reached from the keyboard: Tab walks the list, the chosen
// row's delete button, the waveform, the trim bar, the buttons and the
// fields; Return presses the focused button and Space plays; Left and Right
// seek (Shift: further); [ and ] (or I and O) set the trim at the play
// position; the Menu key or Shift+F10 opens the chosen row's menu; Delete
// removes the chosen row, which Ctrl+Z (or the bar that offers it) brings back.
//
// Main thread only. The application controller owns the one instance for the
// whole run; the window, its rows, the store and the preview are its own.
#pragma once

#include "AudioLibrary/AudioItemView.h"
#include "AudioLibrary/AudioLibraryStore.h"
#include "AudioLibrary/AudioPreview.h"
#include "AudioLibrary/AudioLibraryLink.h"
#include "View/PlayProgressView.h"
#include "platform/AudioFormat.h"

#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>

class AudioExportTask;
class AudioRowPool;
struct LoudnessResult;
class QFileDialog;
class FocusRingStyle;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace Ui {
class AudioLibraryWnd;
}

class AudioLibraryWnd : public QObject,
                        public AudioLibraryLink,
                        public AudioItemViewDelegate,
                        public PlayProgressViewDelegate {
    Q_OBJECT

public:
    // The accepted fade lengths, in seconds.
    static constexpr float kMaxFade = 5.0F;

    // Reads the stored list; the window is built on the first window() call.
    explicit AudioLibraryWnd(QObject* parent = nullptr);
    ~AudioLibraryWnd() override;

    // AudioLibraryLink
    QWidget* window() override;
    void addAudioItemFromPath(
        const QString& path, const std::vector<double>& markers = {}, const QStringList& sources = {}) override;
    void flushAudioLibrary() override;
    void writeData() override;
    void recoverAudioItemFromPath(const QString& path, std::function<void()> finished) override;

    // List half.
    void loadOldLibary();
    // A row widget asks for the item it shows to be chosen.
    void chooseTheAudioItem(AudioItemView* row) override;
    // Makes item `index` the chosen one and loads it; -1 (or any index
    // outside the list) chooses none.
    void chooseTheAudioItemAt(qsizetype index);
    // Removes the chosen row; a recording's sources' rows too when the user says so, asked.
    void deleteChooseAudioItem() override;
    // The user closed the window: playback stops and the list is stored.
    bool windowShouldClose();
    void audioSourceNil();
    void flushAllState();
    // The chosen item's index; -1 for none.
    qsizetype chooseAudioItem() const { return chosen_; }
    // The row removed last comes back in its place, chosen; offered for
    // kUndoMilliseconds after the removal.
    void undoRemoval();
    static constexpr int kUndoMilliseconds = 10000;
    // The row's file goes to the trash and its row off the list; a file that
    // cannot go is told of, and its row stays.
    void moveToTrash(AudioItemView* row) override;
    // Asks for files to list, in a window-modal open dialog.
    void addRecordings() override;
    // Lists each file that holds audio and is not listed yet, at the bottom,
    // and chooses the first of them.
    void addRecordingsFromPaths(const QStringList& paths);

    // Preview half: the window's part is showing the preview's state.
    void loadAudioPath(const QString& path);
    void playAndPause() { preview_.playAndPause(); }
    void previewAndStop() { preview_.previewAndStop(); }
    void playAudio() { preview_.play(); }
    void pausePlay() { preview_.pause(); }
    void stopPlay() { preview_.stop(); }
    bool isPreviewPlay_() const { return preview_.isPreview(); }
    void setIsPreviewPlay_(bool on) { preview_.setPreview(on); }
    void flushPlayTime() { preview_.tick(); }
    void seekPlayRate(float rate) override { preview_.seek(rate); }
    // Moves the play position by `seconds`, within the recording.
    void seekBy(float seconds);
    // Moves the play position to the next marker (step 1) or the one before
    // (-1); while playing, "before" skips the one just passed.
    void seekMarker(int step);
    void leftTrimRate(float rate) override;
    void rightTrimRate(float rate) override;
    void StartTrimSetPlayTime() { leftTrimRate(preview_.playRate()); }
    void EndTrimSetPlayTime() { rightTrimRate(preview_.playRate()); }
    void setFadeInTime(float seconds);
    void setFadeOutTime(float seconds);
    // After each edit of a fade field: the edit is kept when it reads as a
    // length of 0 to 5 seconds, otherwise the last accepted value returns.
    void controlTextDidChange(QLineEdit* field);
    void flushFadeInAndOut(float) { preview_.applyFades(); }
    // Export: asks for the destination in a window-modal save dialog that
    // offers only getStrFormat()'s extension; exportAudioToPath is its
    // completion. Below the file name the dialog offers to normalise the
    // loudness to a target (both kept in the settings, which
    // exportAudioToPath reads). The export runs on a worker thread with a
    // progress bar, the editing controls locked until it ends; a finished
    // export is listed under its recording (once) and shown in the file
    // manager, with the loudness measured and the gain applied told through
    // userNotified when it was normalised; a failed one is told there too.
    void exportAudio();
    void exportAudioToPath(const QString& path);
    // The line the finished notice gives of a normalised export.
    static QString loudnessText(const LoudnessResult& result);
    // The Cancel beside the export's progress: the export stops, its
    // temporary file goes, and the destination is left as it was.
    void cancelExport();
    // Nor is the file the settings mark as being recorded.
    void setRecordingInProgress(std::function<QString()> path) override { recordingInProgress_ = std::move(path); }
    // What the loaded recording is exported as: its own format when that is
    // a recording format the export offers, else the default (AudioFormat.h).
    const AudioFormat& getFormatNum() const;
    // The one extension the save dialog offers for getFormatNum().
    QString getStrFormat() const;
    bool isExporting() const;

    // What a fade field's text reads as: its leading decimal number, 0 when
    // it starts with none; NaN for text that names no finite number, so that
    // the range test rejects it.
    static float fadeFieldValue(const QString& text);

signals:
    // A failure the user must hear of (an export that failed), for the tray's notification.
    void userNotified(const QString& title, const QString& message);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend struct AudioLibraryWndTestAccess;

    void windowDidLoad();
    void connectOutlets();
    void connectKeys();
    void buildUndoBar();
    // The chosen recording's trim and fades, kept in its item.
    void keepTrim();
    // The Menu key or Shift+F10: the chosen row's menu, under the row.
    void openRowMenu();
    // The indexes kept of items from `at` on follow an insertion (`by` 1) or a removal (-1) before them.
    void shiftIndexes(qsizetype at, qsizetype by);
    // Removes `count` items from `index` on, kept for an undo.
    void removeItems(qsizetype index, qsizetype count);
    // Up/Down: the row before or after the chosen one.
    void chooseNeighbour(int step);
    // Shows the preview's state on the trim bar, the time labels and the two play buttons.
    void showPreview();
    void rememberGeometry();
    void setEditingLocked(bool locked);
    void exportFinished();
    // An export of a range without audio: told, nothing written.
    void refuseEmptyRange();
    void addLoudnessChoice(QFileDialog* dialog);

    // Set on the window's buttons and fields; outlives them.
    std::unique_ptr<FocusRingStyle> focusRing_;
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<Ui::AudioLibraryWnd> ui_;
    AudioLibraryStore store_;
    // Made with the window's widgets; null until then.
    std::unique_ptr<AudioRowPool> rows_;
    qsizetype chosen_ = -1;
    // Where a deleted row stood, so that Up and Down go on from there; -1 when nothing was.
    qsizetype deletedAt_ = -1;
    AudioPreview preview_;
    // The chosen recording's markers, in seconds: the list's, else its file's.
    std::vector<double> markers_;
    // Trims are stored a moment after the last change, not at every step of a drag.
    QTimer trimStore_;
    // The row removed last, for undoRemoval().
    struct Removed {
        qsizetype index = -1;
        QVariantList entries;  // the row's item, and its sources' when they went with it
    } removed_;
    QWidget* undoBar_ = nullptr;  // in the window, between the list and the controls
    QLabel* undoText_ = nullptr;
    QTimer undoTimer_;

    std::function<QString()> recordingInProgress_;
    std::unique_ptr<AudioExportTask> exportTask_;
    QProgressBar* exportProgress_ = nullptr;  // in the window's control row, shown while exporting
    QPushButton* exportCancel_ = nullptr;     // beside it
    // The item exported from, after which the exported file is listed.
    qsizetype exportSource_ = -1;
};
