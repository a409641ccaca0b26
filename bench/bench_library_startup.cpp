// Start-up of the tray application up to its tray icons, with the library
// window loading a stored list of 0 or 1,000 recordings (every file present,
// so each gets its row). The difference between the two is what a large
// library adds to every start. Offscreen Qt platform, virtual sound backend,
// settings in a temporary folder.
#include "AppDelegate.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "Control/AppControl.h"
#include "support/backends/VirtualAudio.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

namespace {

QTemporaryDir& scratch()
{
    static QTemporaryDir dir;
    return dir;
}

// A stored library of `count` items whose files exist (one tiny file each).
void storeLibrary(int count)
{
    QVariantList items;
    for (int i = 0; i < count; ++i) {
        const QString path
            = scratch().filePath(QStringLiteral("24_03_05 14_%1_Audio.m4a").arg(i, 4, 10, QLatin1Char('0')));
        if (!QFile::exists(path)) {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write("x");
        }
        items.append(QVariantMap{{QStringLiteral("AudioPath"), path}, {QStringLiteral("AudioLength"), 61.5F}});
    }
    AppControl::AppWriteKeyValue(items, SettingsKey::AudioItemData);
}

void StartUpToTrayIcons(benchmark::State& state)
{
    const int items = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        QSettings().clear();
        AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppShowHelpWnd);
        AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppRecordingPanel);
        storeLibrary(items);
        state.ResumeTiming();

        auto app = std::make_unique<AppDelegate>();
        app->setAudioLibraryFactory([] { return std::make_unique<AudioLibraryWnd>(); });
        app->applicationWillFinishLaunching();
        app->applicationDidFinishLaunching();
        benchmark::DoNotOptimize(app->window());

        state.PauseTiming();
        app.reset();
        state.ResumeTiming();
    }
    state.counters["items"] = items;
}
BENCHMARK(StartUpToTrayIcons)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", scratch().path().toLocal8Bit());
    QApplication app(argc, argv);
    // The offscreen platform has no tray; Qt says so once per icon.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qobject.connect=false"));
    QCoreApplication::setOrganizationName(QStringLiteral("traytape"));
    QCoreApplication::setApplicationName(QStringLiteral("TrayTape"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch().path());
    auto audio = std::make_unique<VirtualAudio>();
    VirtualDevice mic;
    mic.name = "Built-in Microphone";
    mic.uid = "virtual.mic";
    audio->addDevice(mic);
    setAudioBackend(std::move(audio));

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    setAudioBackend(nullptr);
    return 0;
}
