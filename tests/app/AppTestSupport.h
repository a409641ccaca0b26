// Shared pieces of the tray application's tests: a temporary home with the
// settings inside it, the virtual sound backend, a desktop that records what
// it is asked to do, and a library that records its calls.
#pragma once

#include "AppDelegate.h"
#include "AudioLibraryLink.h"
#include "support/backends/VirtualAudio.h"
#include "platform/ui/Workspace.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QMenu>
#include <QTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

#include <memory>
#include <ostream>
#include <vector>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

// The tests' way into the controller's inner state.
struct AppDelegateTestAccess {
    static AudioRecordDevice& recorder(AppDelegate& app) { return *app.audioRecord_; }
    static RecordSession& session(AppDelegate& app) { return *app.session_; }
    static ConfigAudioWndController& config(AppDelegate& app) { return *app.configAudioWndController_; }
    static QMenu* menu(AppDelegate& app) { return app.menuTop_; }
    static QTimer* levelTimer(AppDelegate& app) { return app.levelTimer_; }
    static bool recordTimerRunning(AppDelegate& app) { return app.timerForShow_ != nullptr; }
    static QSystemTrayIcon* statusItem(AppDelegate& app) { return app.statusItem_.get(); }
    static QSystemTrayIcon* statusAudioWave(AppDelegate& app) { return app.statusAudioWave_.get(); }
    static AudioWaveView* audioWaveView(AppDelegate& app) { return app.audioWaveView_.get(); }
    static int levelIconPushes(AppDelegate& app) { return app.levelIconPushes_; }
    // A widget or action of the main interface file (the panel's menu button included), by object name.
    template <class T> static T* find(AppDelegate& app, const char* name)
    {
        return app.mainInterface_->findChild<T*>(QLatin1String(name));
    }
};

class RecordingWorkspace : public Workspace {
public:
    void revealInFileManager(const QString& path) override { revealed.append(path); }
    bool openUrl(const QUrl& url) override
    {
        opened.append(url);
        return true;
    }
    void raiseAboveOtherApps(QWidget* window) override
    {
        raised.append(window);
        if (window)
            window->show();
    }

    void notify(const QString& title, const QString& message) override { notified.append(title + '\n' + message); }

    QStringList revealed;
    QStringList notified;
    QList<QUrl> opened;
    QList<QWidget*> raised;
};

// Records the calls the controller makes on the library, in order.
class FakeLibrary : public AudioLibraryLink {
public:
    explicit FakeLibrary(QStringList* log) : log_(log) { }
    QWidget* window() override
    {
        log_->append(QStringLiteral("window"));
        return &window_;
    }
    void addAudioItemFromPath(const QString& path) override { log_->append(QStringLiteral("add ") + path); }
    void flushAudioLibrary() override { log_->append(QStringLiteral("flush")); }
    void writeData() override { log_->append(QStringLiteral("writeData")); }
    void recoverAudioItemFromPath(const QString& path, std::function<void()> finished) override
    {
        log_->append(QStringLiteral("recover ") + path);
        finished();
    }

private:
    QStringList* log_;
    QWidget window_;
};

// Every test gets a fresh home (so a fresh default save folder), empty
// settings, a virtual sound backend with the given devices and a recording desktop.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a device to the virtual backend, two input channels at 48 kHz.
    AudioObjectID addInput(const std::string& name, std::uint32_t inputChannels = 2);
    // Builds the controller and runs both launch hooks, as main does.
    std::unique_ptr<AppDelegate> launch();
    // The id of the device the one running capture unit listens to (0: none).
    AudioObjectID capturingDevice() const;
    // One capture cycle of a 1 kHz tone at `amplitude` on the device, 1024 frames.
    bool feedTone(AudioObjectID device, float amplitude, std::uint32_t frames = 1024);
    QString saveFolder() const;
    QStringList recordings() const;
    // Waits until the recordings stopped so far are complete and the
    // controller has handed them on (its queued calls have run).
    static void completeRecordings(AppDelegate& app);

    QTemporaryDir home_;
    VirtualAudio* audio_ = nullptr;  // owned by the process-wide backend slot
    RecordingWorkspace workspace_;
    QStringList libraryLog_;
};

// The same image in one pixel format, so that images can be compared.
QImage normalised(const QImage& image);
// The peak absolute sample of the first channel of an audio file, and its frame count.
struct FileSound {
    bool opened = false;
    std::int64_t frames = 0;
    float peak = 0;
};
FileSound readFileSound(const QString& path);
