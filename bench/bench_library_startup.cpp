// The tray application with a stored library of 0, 1,000 or 100,000
// recordings (every file present, so each is listed): start-up up to its
// tray icons, opening the library window and scrolling it from end to end,
// quitting with the window open, and adding one recording with the window
// open (its item stored at once). Then the first start after an upgrade,
// which moves the list out of the settings into its own file. The differences between the sizes are
// what a large library adds. Each phase reports the process's resident
// memory after it (rss_MB) and its peak so far (peak_MB); run one size per
// process for a peak of that size alone:
//   bench_library_startup --benchmark_filter='/100000/'
// Offscreen Qt platform, virtual sound backend, settings and the list file in
// a temporary folder. StartUpWithoutLengths is the start with a list whose
// lines carry no length (hand-made, or cut short), each naming a real WAVE
// file, as a list of 300 or 3,000 of them is found.
#include "Tray/AppDelegate.h"
#include "AudioLibrary/AudioLibraryStore.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "Preferences/AppControl.h"
#include "support/backends/VirtualAudio.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QUrl>

#include <malloc.h>

#include <chrono>
#include <fstream>
#include <string>

namespace {

QTemporaryDir& scratch()
{
    static QTemporaryDir dir;
    return dir;
}

// A line of /proc/self/status ("VmRSS", "VmHWM") in MB.
double statusMB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ':', 0) == 0)
            return std::stod(line.substr(field.size() + 1)) / 1024.0;
    return 0;
}

// One second of silence at 8 kHz, mono, as a WAVE file.
QByteArray shortWave()
{
    QByteArray wave;
    const auto le = [&wave](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            wave.append(char((value >> (8 * i)) & 0xff));
    };
    const quint32 data = 8000 * 2;
    wave.append("RIFF");
    le(36 + data, 4);
    wave.append("WAVEfmt ");
    le(16, 4), le(1, 2), le(1, 2), le(8000, 4), le(8000 * 2, 4), le(2, 2), le(16, 2);
    wave.append("data");
    le(data, 4);
    wave.append(QByteArray(int(data), '\0'));
    return wave;
}

// A stored library of `count` items whose files exist (one tiny file each),
// in the list file, or where earlier versions kept it; `withLengths` false
// leaves the lines of the list file without one, and their files real audio.
void storeLibrary(int count, bool inSettings = false, bool withLengths = true)
{
    QDir().mkpath(scratch().filePath(QStringLiteral("Music")));
    QVariantList items;
    QByteArray list = "# TrayTape library 1\n";
    items.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QString path = scratch().filePath(QStringLiteral("Music/24_03_05 14_%1_Audio.%2")
                                                    .arg(i, 6, 10, QLatin1Char('0'))
                                                    .arg(withLengths ? QStringLiteral("m4a") : QStringLiteral("wav")));
        if (!QFile::exists(path)) {
            static const QByteArray wave = shortWave();
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(withLengths ? QByteArray("x") : wave);
        }
        if (inSettings)
            items.append(QVariantMap{{QStringLiteral("AudioPath"), path}, {QStringLiteral("AudioLength"), 61.5F}});
        else
            list += QUrl::fromLocalFile(path).toEncoded() + (withLengths ? " 61.5\n" : "\n");
    }
    QSettings().clear();
    AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppShowHelpWnd);
    AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppRecordingPanel);
    QFile::remove(AudioLibraryStore::listPath());
    if (inSettings) {
        AppControl::AppWriteKeyValue(items, SettingsKey::AudioItemData);
    } else {
        QFile file(AudioLibraryStore::listPath());
        QDir().mkpath(QFileInfo(file).absolutePath());
        file.open(QIODevice::WriteOnly);
        file.write(list);
    }
    // As a new process finds it: Qt keeps a parsed settings file until the file changes.
    QFile settings(QSettings().fileName());
    settings.open(QIODevice::ReadWrite);
    settings.setFileTime(
        settings.fileTime(QFileDevice::FileModificationTime).addSecs(-1), QFileDevice::FileModificationTime);
    // What building the list left behind goes back to the system, and the
    // peak is counted from here, so both figures are the application's.
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

// The library window of the application last started; not owned.
AudioLibraryWnd* library = nullptr;

std::unique_ptr<AppDelegate> startUp()
{
    auto app = std::make_unique<AppDelegate>();
    app->setAudioLibraryFactory([] {
        auto made = std::make_unique<AudioLibraryWnd>();
        library = made.get();
        return made;
    });
    app->applicationWillFinishLaunching();
    app->applicationDidFinishLaunching();
    return app;
}

QWidget* libraryWindow()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == QLatin1String("AudioLibraryWnd"))
            return window;
    return nullptr;
}

// Shows the library window and scrolls its list to the end and back, a page
// at a time for the first and last few pages, with the events that follow.
void openAndScroll(AppDelegate& app)
{
    app.showAudioibiary();
    QCoreApplication::processEvents();
    QScrollBar* bar = libraryWindow()->findChild<QScrollArea*>(QStringLiteral("listScroll"))->verticalScrollBar();
    for (int page = 0; page < 5; ++page) {
        bar->setValue(bar->value() + bar->pageStep());
        QCoreApplication::processEvents();
    }
    bar->setValue(bar->maximum());
    QCoreApplication::processEvents();
    for (int page = 0; page < 5; ++page) {
        bar->setValue(bar->value() - bar->pageStep());
        QCoreApplication::processEvents();
    }
    bar->setValue(0);
    QCoreApplication::processEvents();
}

void quit(std::unique_ptr<AppDelegate>& app)
{
    app->quitTheApp();
    app.reset();
    QCoreApplication::processEvents();
}

void reportMemory(benchmark::State& state, int items)
{
    state.counters["items"] = items;
    state.counters["rss_MB"] = statusMB("VmRSS");
    state.counters["peak_MB"] = statusMB("VmHWM");
    // Any stored change rewrites the settings file, or the list file, whole.
    state.counters["settings_MB"] = double(QFileInfo(QSettings().fileName()).size()) / (1024 * 1024);
    state.counters["list_MB"] = double(QFileInfo(AudioLibraryStore::listPath()).size()) / (1024 * 1024);
}

// From start to the tray icons with a list of `state.range(0)` items stored,
// with or without their lengths.
void timeStartUp(benchmark::State& state, bool withLengths)
{
    const int items = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        storeLibrary(items, false, withLengths);
        state.ResumeTiming();
        auto app = startUp();
        benchmark::DoNotOptimize(app->window());
        state.PauseTiming();
        reportMemory(state, items);
        quit(app);
        state.ResumeTiming();
    }
}

void StartUpToTrayIcons(benchmark::State& state)
{
    timeStartUp(state, true);
}

void OpenAndScrollLibrary(benchmark::State& state)
{
    const int items = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        storeLibrary(items);
        auto app = startUp();
        state.ResumeTiming();
        openAndScroll(*app);
        state.PauseTiming();
        reportMemory(state, items);
        quit(app);
        state.ResumeTiming();
    }
}

// The quit command with the library window open, up to the application gone.
void QuitWithLibraryOpen(benchmark::State& state)
{
    const int items = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        storeLibrary(items);
        auto app = startUp();
        openAndScroll(*app);
        state.ResumeTiming();
        quit(app);
    }
    state.counters["items"] = items;
}

// A finished recording added with the window open: measured, listed, chosen
// and stored. The time is the main thread's; stored_ms adds the wait until
// the list is on the disk (written on the store's own thread).
void AddOneRecording(benchmark::State& state)
{
    const int items = int(state.range(0));
    const QString added = scratch().filePath(QStringLiteral("Music/added.m4a"));
    double storedMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        storeLibrary(items);
        auto app = startUp();
        openAndScroll(*app);
        QFile file(added);
        file.open(QIODevice::WriteOnly);
        file.write("x");
        file.close();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        library->addAudioItemFromPath(added);
        QCoreApplication::processEvents();
        state.PauseTiming();
        library->writeData();
        storedMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        reportMemory(state, items);
        quit(app);
        state.ResumeTiming();
    }
    state.counters["stored_ms"] = storedMs / double(state.iterations());
}

// Once after an upgrade: the list read from the settings, written to its
// file, and removed from the settings.
void StartUpMovingTheList(benchmark::State& state)
{
    const int items = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        storeLibrary(items, true);
        state.ResumeTiming();
        auto app = startUp();
        state.PauseTiming();
        reportMemory(state, items);
        quit(app);
        state.ResumeTiming();
    }
}

// A list whose lines have no length, up to the tray icons as above.
void StartUpWithoutLengths(benchmark::State& state)
{
    timeStartUp(state, false);
}

void sizes(benchmark::internal::Benchmark* b)
{
    b->Arg(0)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
}
BENCHMARK(StartUpToTrayIcons)->Apply(sizes);
BENCHMARK(OpenAndScrollLibrary)->Apply(sizes);
BENCHMARK(QuitWithLibraryOpen)->Apply(sizes);
BENCHMARK(AddOneRecording)->Apply(sizes);
BENCHMARK(StartUpMovingTheList)->Apply(sizes);
BENCHMARK(StartUpWithoutLengths)->Arg(300)->Arg(3000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", scratch().path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", scratch().path().toLocal8Bit());
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
