// The configuration window: the input device, the recording format and the
// save folder, and the help document on recording the computer's sound.
//
// It shows the input devices and reports the user's pick; which device is
// wanted, and what a stored choice resolves to, is the engine's
// (AudioDeviceChoice, through the application controller).
//
// Main thread. The application controller owns it, sets its delegate and
// device list before the window is loaded, loads it once at start-up and
// afterwards only shows and closes it. The window it builds from "ConfigWnd"
// is its own; the delegate and the devices are not.
#pragma once

#include "platform/AudioFormat.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class AudioDeviceChoice;
class AudioRecordMicDevice;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QWidget;

namespace Ui {
class ConfigWnd;
}

// Told of the user's choices of input.
class ConfigAudioWndControllerDelegate {
public:
    // The user picked entry `index` of the device list.
    virtual void chooseAudioDeviceNum(std::int32_t index) = 0;
    // The user asked for the computer's sound to be mixed in, or no longer.
    virtual void chooseWithSystemAudio(bool on) = 0;
    // The user asked for the input to stay open between recordings, or not.
    virtual void chooseListenWhenIdle(bool on) = 0;
    // The user chose how many seconds before Record a recording keeps.
    virtual void choosePreRoll(double seconds) = 0;

protected:
    ~ConfigAudioWndControllerDelegate() = default;
};

class ConfigAudioWndController : public QObject {
    Q_OBJECT

public:
    using Devices = std::vector<std::shared_ptr<AudioRecordMicDevice>>;

    explicit ConfigAudioWndController(QObject* parent = nullptr);
    ~ConfigAudioWndController() override;

    // Builds the window from its interface file and sets it up, once.
    void loadWindow();
    bool isWindowLoaded() const { return window_ != nullptr; }
    QWidget* window();
    void close();

    // A device's name as the user reads it: the system-audio device says what
    // it carries, while the sound server keeps the name it is recognised by.
    static QString shownDeviceName(const std::string& name);
    // A device as the lists and the panel name it: an application's as such.
    static QString shownDeviceName(const AudioRecordMicDevice& device);

    void readSaveData();
    void writeSaveData();

    // The audio format code: what the settings keep for the selected entry
    // of the format list (AudioFormat.h).
    std::int32_t audioFormat_() const;
    // The choices within that format the lists beside it show: only those
    // it takes are enabled, so what they show is what a recording takes.
    AudioQuality audioQuality() const;
    QString saveAudioPath() const { return saveAudioPath_; }
    void setSaveAudioPath(const QString& path) { saveAudioPath_ = path; }
    // The engine's inputs and choice, shown, not owned: set before loading,
    // it outlives the window, and its list changes only before a
    // reloadAudioDevices(). Loading shows whether the computer's sound is mixed in.
    const Devices& audioDevices() const;
    void setAudioDevices(const AudioDeviceChoice* devices) { audioDevices_ = devices; }
    // On a loaded window: the list shows the devices as they are now, with
    // entry `chosen` selected. The delegate is not told.
    void reloadAudioDevices(int chosen);
    ConfigAudioWndControllerDelegate* delegate() const { return delegate_; }
    void setDelegate(ConfigAudioWndControllerDelegate* delegate) { delegate_ = delegate; }

    void chooseAudioDevice();
    void chooseAudioDeviceNum(std::int32_t index);
    void setISRecording(bool recording);
    // "Also record the computer's sound": told to the delegate.
    void setWithSystemAudio(bool on);
    void recordComputerAudioHelp();
    // The help document as a file of the user's own, brought up to date with
    // the program's copy; returns its path.
    static QString helpDocumentCopy();
    // The same for any document in the resources.
    static QString documentCopy(const QString& name);
    void openSavePath();
    void chooseSavePath();
    // The folder panel's completion (tests call it directly): accepted picks `path`.
    void chooseSavePathFinished(int result, const QString& path);

    // Outlets, for the application and the tests; null before loading.
    QComboBox* popAudioDevices() const;
    QComboBox* popAudioFormat() const;
    QComboBox* popSampleRate() const;
    QComboBox* popChannels() const;
    QComboBox* popBitDepth() const;
    QComboBox* popBitRate() const;
    QLabel* lblAudioPath() const;
    QCheckBox* btnStartAtLogin() const;
    QCheckBox* btnWithSystemAudio() const;
    QCheckBox* btnSeparateSources() const;

signals:
    // The save folder picked in an earlier run is gone; the default is used instead.
    void saveFolderMissing(const QString& folder);
    // A folder picked in the panel cannot be used (its name is no text Qt can
    // hold, or it went); the folder in use and the stored choice stay.
    void saveFolderRefused(const QString& folder);

private:
    void awakeFromNib();
    void fillDeviceList();
    void fillQualityLists();
    // Every list's selection, whether the format takes it or not.
    AudioQuality listedQuality() const;
    // Enables the choices the selected format takes, keeping each list's
    // selection where it may stay and else moving it to the format's own.
    void showQualityOf(const AudioFormat& format, const AudioQuality& wanted);
    void setStartAtLogin(bool on);

    std::unique_ptr<QWidget> window_;
    std::unique_ptr<Ui::ConfigWnd> ui_;
    const AudioDeviceChoice* audioDevices_ = nullptr;  // not owned
    QString saveAudioPath_;
    ConfigAudioWndControllerDelegate* delegate_ = nullptr;  // not owned
};
