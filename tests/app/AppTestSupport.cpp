#include "AppTestSupport.h"

#include "Controller/ConfigAudioWndController.h"
#include "support/DecodedFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <chrono>
#include <cmath>
#include <cstdlib>

namespace {

// One QApplication for the whole run, its settings in a private folder.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
        QCoreApplication::setOrganizationName(QStringLiteral("traytape"));
        QCoreApplication::setApplicationName(QStringLiteral("TrayTape"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config_.path());
    }
    void TearDown() override { app_.reset(); }

private:
    QTemporaryDir config_;
    int argc_ = 1;
    char name_[10] = "app_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

void AppTest::SetUp()
{
    ASSERT_TRUE(home_.isValid());
    qputenv("HOME", home_.path().toLocal8Bit());
    QDir(home_.path()).mkpath(QStringLiteral("tmp"));
    qputenv("TMPDIR", (home_.path() + QStringLiteral("/tmp")).toLocal8Bit());
    // The user's private runtime folder: the single-instance socket and the help document's copy.
    const QString runtime = home_.path() + QStringLiteral("/runtime");
    QDir(home_.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    // The offscreen platform has no tray; most tests look at a desktop that has one.
    AppDelegate::setSystemTrayProbe([] { return true; });
    QSettings().clear();
    auto audio = std::make_unique<VirtualAudio>();
    audio_ = audio.get();
    setAudioBackend(std::move(audio));
    Workspace::setShared(&workspace_);
}

void AppTest::TearDown()
{
    Workspace::setShared(nullptr);
    AppDelegate::setSystemTrayProbe(nullptr);
    setAudioBackend(nullptr);
    audio_ = nullptr;
    QSettings().clear();
}

AudioObjectID AppTest::addInput(const std::string& name, std::uint32_t inputChannels)
{
    VirtualDevice device;
    device.name = name;
    device.uid = "virtual." + name;
    device.inputChannels = inputChannels;
    return audio_->addDevice(device);
}

std::unique_ptr<AppDelegate> AppTest::launch()
{
    auto delegate = std::make_unique<AppDelegate>();
    delegate->setAudioLibraryFactory([this] { return std::make_unique<FakeLibrary>(&libraryLog_); });
    delegate->applicationWillFinishLaunching();
    delegate->applicationDidFinishLaunching();
    return delegate;
}

AudioObjectID AppTest::capturingDevice() const
{
    for (const VirtualUnitState& unit : audio_->units())
        if (unit.running)
            return unit.currentDevice;
    return 0;
}

bool AppTest::feedTone(AudioObjectID device, float amplitude, std::uint32_t frames)
{
    return audio_->runCycle(device, frames, [amplitude](std::uint32_t, std::uint32_t frame) {
        return amplitude * float(std::sin(2 * M_PI * 1000.0 * frame / 48000.0));
    });
}

QString AppTest::saveFolder() const
{
    return ConfigAudioWndController::defaultSaveAudioPath();
}

QStringList AppTest::recordings() const
{
    return QDir(saveFolder()).entryList(QDir::Files, QDir::Name);
}

void AppTest::completeRecordings(AppDelegate& app)
{
    ASSERT_TRUE(AppDelegateTestAccess::session(app).waitForCompletion(std::chrono::seconds(60)));
}

QImage normalised(const QImage& image)
{
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

FileSound readFileSound(const QString& path)
{
    FileSound sound;
    const DecodedFile decoded = decodeFile(path.toStdString());
    if (!decoded.ok)
        return sound;
    sound.opened = true;
    sound.frames = std::int64_t(decoded.frames());
    for (const float sample : decoded.channels.front())
        sound.peak = std::max(sound.peak, std::fabs(sample));
    return sound;
}
