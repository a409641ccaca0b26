// The library window: the stored list of recordings with one row each, and
// the preview of the chosen row (play, trim range, fades, looped preview).
// The list half keeps the rows, their layout and the stored list under
// "AudioItemData"; the preview half owns the player of the chosen row and the
// 0.1 s play timer that follows it.
//
// Main thread only; the player plays on its own threads and is only sent
// commands. The application controller owns the one instance for the whole
// run; the window, its rows and the player are the instance's own.
#pragma once

#include "AudioLibrary/AudioItemView.h"
#include "AudioLibraryLink.h"
#include "View/PlayProgressView.h"

#include <QList>
#include <QObject>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>

class AudioLibBackView;
class MediaPlayer;
class QLabel;
class QLineEdit;
class QPushButton;
class QThread;
class QTimer;
class QToolButton;

namespace Ui {
class AudioLibraryWnd;
}

class AudioLibraryWnd : public QObject,
                        public AudioLibraryLink,
                        public AudioItemViewDelegate,
                        public PlayProgressViewDelegate {
    Q_OBJECT

public:
    // Row size and pitch in points: 50 of row and 4 of gap.
    static constexpr int kRowWidth = 610;
    static constexpr int kRowHeight = 50;
    static constexpr int kRowPitch = 54;
    // The accepted fade lengths, in seconds.
    static constexpr float kMaxFade = 5.0F;

    // Reads the stored list; the window is built on the first window() call.
    explicit AudioLibraryWnd(QObject* parent = nullptr);
    ~AudioLibraryWnd() override;

    // AudioLibraryLink
    QWidget* window() override;
    void addAudioItemFromPath(const QString& path) override;
    void flushAudioLibrary() override;
    void writeData() override;
    void recoverAudioItemFromPath(const QString& path, std::function<void()> finished) override;

    // List half.
    void loadOldLibary();
    AudioItemView* audioItemLoadFromDic(const QVariantMap& item);
    void chooseTheAudioItem(AudioItemView* row) override;
    void deleteChooseAudioItem() override;
    // The user closed the window: playback stops and the list is stored.
    bool windowShouldClose();
    void audioSourceNil();
    void flushAllState();
    AudioItemView* chooseAudioItem() const { return chooseAudioItem_; }
    void setChooseAudioItem(AudioItemView* row) { chooseAudioItem_ = row; }

    // Preview half.
    void loadAudioPath(const QString& path);
    void playAndPause();
    void previewAndStop();
    void playAudio();
    void pausePlay();
    void stopPlay();
    bool isPreviewPlay_() const { return isPreviewPlay_flag_; }
    void setIsPreviewPlay_(bool on);
    void flushPlayTime();
    void seekPlayRate(float rate) override;
    void leftTrimRate(float rate) override;
    void rightTrimRate(float rate) override;
    void StartTrimSetPlayTime();
    void EndTrimSetPlayTime();
    void setFadeInTime(float seconds);
    void setFadeOutTime(float seconds);
    // After each edit of a fade field: the edit is kept when it reads as a
    // length of 0 to 5 seconds, otherwise the last accepted value returns.
    void controlTextDidChange(QLineEdit* field);
    void flushFadeInAndOut(float position);
    // Export is done elsewhere; the button only has to be there and enabled rightly.
    void exportAudio();

    // What a fade field's text reads as: its leading decimal number, 0 when
    // it starts with none; NaN for text that names no finite number, so that
    // the range test rejects it.
    static float fadeFieldValue(const QString& text);

    // State the tests and the export read.
    const QVariantList& aryAudioItemData() const { return aryAudioItemData_; }
    const QList<AudioItemView*>& aryAudioItemView() const { return aryAudioItemView_; }
    AudioLibBackView* listView() const;
    PlayProgressView* playProgressView() const;
    QLabel* showPlayTime() const;
    QLabel* showStartTrim() const;
    QLabel* showEndTrim() const;
    QToolButton* playBtn() const;
    QToolButton* previewBtn() const;
    QLineEdit* fadeInTimeEdt() const;
    QLineEdit* fadeOutTimeEdt() const;
    QPushButton* btnExport() const;
    MediaPlayer* audioPlayer() const { return audioPlayer_.get(); }
    float audioLength() const { return audioLength_; }
    std::int32_t timeScale() const { return timeScale_; }
    float fadeInTime() const { return fadeInTime_; }
    float fadeOutTime() const { return fadeOutTime_; }
    bool isPlayTimerRunning() const { return showTimer_ != nullptr; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void windowDidLoad();
    void connectOutlets();
    // Sizes the list view to its rows and the visible area, and places the rows.
    void layoutRows();
    void setPlayButtonImage(const char* name);
    void showTimes(float position);
    static float measuredLength(const QString& path);
    void rememberGeometry();

    std::unique_ptr<QWidget> window_;
    std::unique_ptr<Ui::AudioLibraryWnd> ui_;
    QVariantList aryAudioItemData_;
    QList<AudioItemView*> aryAudioItemView_;  // children of the list view, in display order
    AudioItemView* chooseAudioItem_ = nullptr;

    std::unique_ptr<QTimer> showTimer_;
    std::unique_ptr<MediaPlayer> audioPlayer_;
    std::int32_t timeScale_ = 0;
    float audioLength_ = 0;
    float fadeInTime_ = 0;
    float fadeOutTime_ = 0;
    bool isPreviewPlay_flag_ = false;
    // Completions of interrupted recordings still running; waited for when the library goes.
    QList<QThread*> recoveries_;
};
