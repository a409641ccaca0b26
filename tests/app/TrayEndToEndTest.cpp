// The built tray application under a virtual X display with a real tray host
// (trayer, an XEmbed tray) and a private sound server: both tray icons
// appear, a recording started and stopped from the record icon's menu makes
// a file with the played sound in it, and SIGTERM ends the program cleanly;
// recordings show up in the library window, whose trim handles are dragged
// with the mouse; a recording cut off by SIGKILL comes back at the next start.
// Screenshots go to <build>/test-artifacts/.
#include "AppTestSupport.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "platform/MediaPlayer.h"
#include "support/PulseServer.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <iostream>

namespace {

using testsupport::runCommand;

const char* const kTools[] = {"Xvfb", "trayer", "xdotool", "xwininfo", "import"};
const std::string kSinkDescription = "E2E Speakers";

// A tray icon window embedded in the tray host, in root coordinates.
struct TrayIcon {
    QString window;
    QRect rect;
};

class TrayEndToEnd : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Children first, the display last.
        for (QProcess* p : {&app_, &tray_, &display_}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(2000);
            }
        }
    }

    QString artifact(const QString& name) const
    {
        const QString folder = QStringLiteral(TRAYTAPE_BINARY_DIR "/test-artifacts");
        QDir().mkpath(folder);
        return folder + QLatin1Char('/') + name;
    }

    bool startDisplay()
    {
        display_.setProgram(QStringLiteral("Xvfb"));
        display_.setArguments({"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        display_.start();
        if (!display_.waitForStarted(5000) || !QTest::qWaitFor([&] { return display_.canReadLine(); }, 10000))
            return false;
        displayName_ = QStringLiteral(":") + QString::fromLatin1(display_.readLine()).trimmed();
        qputenv("DISPLAY", displayName_.toLatin1());
        return true;
    }

    bool startTray()
    {
        // An application started before the tray has claimed its selection
        // finds no tray: wait for the tray's panel, then a moment for the
        // claim. Under a loaded machine the tray host itself now and then
        // never shows its panel; that is the host's fault, not ours, so it
        // is started again.
        const auto panelShown = [] {
            return runCommand({"xwininfo", "-root", "-tree"}).output.find("(\"panel\" \"trayer\")")
                != std::string::npos;
        };
        for (int attempt = 0; attempt < 3; ++attempt) {
            tray_.setProgram(QStringLiteral("trayer"));
            tray_.setArguments({"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                "--transparent", "false", "--SetDockType", "true"});
            tray_.start();
            if (tray_.waitForStarted(5000) && QTest::qWaitFor(panelShown, 10000)) {
                QTest::qWait(500);
                return true;
            }
            std::cerr << "the tray host showed no panel (state " << int(tray_.state()) << ", exit " << tray_.exitCode()
                      << "): " << tray_.readAllStandardError().toStdString() << "\n";
            tray_.kill();
            tray_.waitForFinished(5000);
        }
        return false;
    }

    // The icons embedded in the tray host, left to right.
    QList<TrayIcon> trayIcons() const
    {
        const auto tree = runCommand({"xwininfo", "-root", "-tree"});
        QList<TrayIcon> icons;
        bool inTray = false;
        static const QRegularExpression line(QStringLiteral(
            R"(^\s*(0x[0-9a-f]+) .*\("traytape" "TrayTape"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))"));
        for (const QString& text : QString::fromStdString(tree.output).split('\n')) {
            if (text.contains(QStringLiteral("(\"panel\" \"trayer\")")))
                inTray = true;
            else if (inTray && text.startsWith(QStringLiteral("     0x")))
                inTray = false;  // the next top-level window
            const auto m = line.match(text);
            if (inTray && m.hasMatch())
                icons.append({m.captured(1),
                    QRect(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(2).toInt(), m.captured(3).toInt())});
        }
        std::sort(
            icons.begin(), icons.end(), [](const TrayIcon& a, const TrayIcon& b) { return a.rect.x() < b.rect.x(); });
        return icons;
    }

    QImage screenshot(const QString& name) const
    {
        const QString path = artifact(name);
        runCommand({"import", "-window", "root", path.toStdString()});
        return QImage(path).convertToFormat(QImage::Format_RGB32);
    }

    static int countPixels(const QImage& image, const QRect& rect, const std::function<bool(QColor)>& test)
    {
        int n = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                n += test(image.pixelColor(x, y)) ? 1 : 0;
        return n;
    }
    static bool isRed(QColor c) { return c.red() > 180 && c.green() < 90 && c.blue() < 90; }
    static bool isLitCell(QColor c) { return c.red() < 40 && c.green() < 40 && c.blue() < 40; }

    // Opens the status menu from the record icon and chooses its first item.
    void chooseRecordItem(const TrayIcon& icon, const QString& shotName = QString())
    {
        const QPoint centre = icon.rect.center();
        runCommand({"xdotool", "mousemove", std::to_string(centre.x()), std::to_string(centre.y()), "click", "1"});
        QTest::qWait(700);
        if (!shotName.isEmpty())
            screenshot(shotName);
        runCommand({"xdotool", "key", "Down", "Return"});
        QTest::qWait(300);
    }

    // The private sound server with the sink a tone plays into; the index of
    // its monitor among the input devices in deviceIndex_.
    bool startSoundServer(std::unique_ptr<testsupport::PulseServer>& server)
    {
        server = std::make_unique<testsupport::PulseServer>(
            std::vector<testsupport::NullSink>{{"e2e_speakers", 48000, 2, kSinkDescription}});
        if (!server->start())
            return false;
        const auto devices = AudioRecordDevice().allAudioInputDevices();
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (devices[i]->deviceName() == "Monitor of " + kSinkDescription)
                deviceIndex_ = int(i);
        return deviceIndex_ >= 0;
    }

    // A private sound server, the settings of a start that records from its
    // sink's monitor, an X display and a tray: everything but the app.
    void startDesktop(
        std::unique_ptr<testsupport::PulseServer>& server, const QString& home, bool recordingPanel = false)
    {
        ASSERT_TRUE(startSoundServer(server)) << (server ? server->error() : std::string());
        writeSettings(home, recordingPanel);
        ASSERT_TRUE(startDisplay());
        ASSERT_TRUE(startTray());
    }

    // Settings for a start that records from the sink's monitor, without the help window.
    void writeSettings(const QString& home, bool recordingPanel = false) const
    {
        QSettings settings(settingsFile(home), QSettings::IniFormat);
        settings.setValue(QStringLiteral("AudioDeviceNSNumberChoose"), deviceIndex_);
        settings.setValue(QStringLiteral("OpenAppShowHelpWnd"), 0);
        settings.setValue(QStringLiteral("OpenAppRecordingPanel"), recordingPanel ? 1 : 0);
    }
    static QString settingsFile(const QString& home)
    {
        return home + QStringLiteral("/.config/traytape/TrayTape.conf");
    }

    // Starts the application and waits for its two tray icons: the record
    // icon (the one with the red label) and the level meter, as first seen.
    bool launchApp(const QString& home, TrayIcon& recordIcon, TrayIcon* levelIcon = nullptr, QImage* idle = nullptr)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), displayName_);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        // No session bus: Qt then embeds its icons in the XEmbed tray.
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.insert(
            QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" TRAYTAPE_SOURCE_DIR "/tests/app/lsan.supp"));
        app_.setProcessEnvironment(env);
        app_.setProcessChannelMode(QProcess::ForwardedChannels);
        app_.setProgram(QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape"));
        app_.start();
        if (!app_.waitForStarted(5000) || !QTest::qWaitFor([&] { return trayIcons().size() == 2; }, 30000))
            return false;
        QTest::qWait(500);
        const QList<TrayIcon> icons = trayIcons();
        const QImage shot = screenshot(QStringLiteral("tray-idle.png"));
        const int at = countPixels(shot, icons[0].rect, isRed) > countPixels(shot, icons[1].rect, isRed) ? 0 : 1;
        recordIcon = icons[at];
        if (levelIcon)
            *levelIcon = icons[1 - at];
        if (idle)
            *idle = shot;
        return true;
    }

    // The library window's X id and its geometry in root coordinates, once it is shown.
    bool findLibraryWindow(QString& id, QRect& rect) const
    {
        const auto found = runCommand({"xdotool", "search", "--onlyvisible", "--name", "TrayTape Library"});
        id = QString::fromStdString(found.output).split('\n', Qt::SkipEmptyParts).value(0);
        if (id.isEmpty())
            return false;
        const QString info = QString::fromStdString(runCommand({"xwininfo", "-id", id.toStdString()}).output);
        static const QRegularExpression x(QStringLiteral(R"(Absolute upper-left X:\s+(-?\d+))"));
        static const QRegularExpression y(QStringLiteral(R"(Absolute upper-left Y:\s+(-?\d+))"));
        static const QRegularExpression w(QStringLiteral(R"(Width:\s+(\d+))"));
        static const QRegularExpression h(QStringLiteral(R"(Height:\s+(\d+))"));
        rect = QRect(x.match(info).captured(1).toInt(), y.match(info).captured(1).toInt(),
            w.match(info).captured(1).toInt(), h.match(info).captured(1).toInt());
        return rect.width() > 0;
    }

    // Presses at `from`, moves to `to` in a few steps and releases, in root coordinates.
    static void drag(QPoint from, QPoint to)
    {
        runCommand({"xdotool", "mousemove", std::to_string(from.x()), std::to_string(from.y()), "mousedown", "1"});
        for (int i = 1; i <= 4; ++i) {
            const QPoint p = from + (to - from) * i / 4;
            runCommand({"xdotool", "mousemove", std::to_string(p.x()), std::to_string(p.y())});
            QTest::qWait(60);
        }
        runCommand({"xdotool", "mouseup", "1"});
        QTest::qWait(200);
    }

    static bool isChosenRow(QColor c)
    {
        return std::abs(c.red() - 59) < 8 && std::abs(c.green() - 34) < 8 && c.blue() > 240;
    }
    static bool isRow(QColor c)
    {
        return std::abs(c.red() - 51) < 3 && std::abs(c.green() - 51) < 3 && std::abs(c.blue() - 51) < 3;
    }

    bool toolsMissing(std::string& which) const
    {
        if (!QFileInfo(QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape")).isExecutable()) {
            which = "the traytape target";
            return true;
        }
        for (const char* tool : kTools)
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                which = tool;
                return true;
            }
        return false;
    }

    QProcess display_, tray_, app_;
    QString displayName_;
    int deviceIndex_ = -1;
};

}  // namespace

TEST_F(TrayEndToEnd, RecordsFromTheTrayMenuIntoAFileWithSound)
{
    std::string missing;
    if (toolsMissing(missing))
        GTEST_SKIP() << missing << " is missing (build it; scripts/install-deps.sh --test)";
    std::unique_ptr<testsupport::PulseServer> server;
    QTemporaryDir home;
    ASSERT_NO_FATAL_FAILURE(startDesktop(server, home.path(), true));
    TrayIcon recordIcon, levelIcon;
    QImage idle;
    ASSERT_TRUE(launchApp(home.path(), recordIcon, &levelIcon, &idle));
    EXPECT_EQ(levelIcon.rect.size(), QSize(22, 22));
    EXPECT_EQ(countPixels(idle, levelIcon.rect, isLitCell), 0) << "silence lights no cell";

    auto tone = server->playTone("e2e_speakers", 440, 0.2);  // about four of nine cells
    chooseRecordItem(recordIcon, QStringLiteral("tray-menu.png"));
    QTest::qWait(2600);
    const QImage recording = screenshot(QStringLiteral("tray-recording.png"));
    EXPECT_GT(countPixels(recording, levelIcon.rect, isLitCell), 10) << "the tray meter moves with the tone";
    chooseRecordItem(recordIcon);

    const QString folder = home.path() + QStringLiteral("/Music/org.traytape.TrayTape");
    QStringList files;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            files = QDir(folder).entryList({QStringLiteral("*_Audio.m4a")}, QDir::Files);
            return !files.isEmpty();
        },
        5000));
    ASSERT_EQ(files.size(), 1);
    tone->stop();

    ::kill(pid_t(app_.processId()), SIGTERM);
    ASSERT_TRUE(app_.waitForFinished(10000));
    EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app_.exitCode(), 0);

    const FileSound sound = readFileSound(folder + QLatin1Char('/') + files[0]);
    ASSERT_TRUE(sound.opened);
    EXPECT_GT(sound.frames, 44100) << "about two and a half seconds were recorded";
    EXPECT_GT(sound.peak, 0.12f);
}

TEST_F(TrayEndToEnd, RecordingsAppearInTheLibraryWhereTheirTrimIsSetWithTheMouse)
{
    std::string missing;
    if (toolsMissing(missing))
        GTEST_SKIP() << missing << " is missing (build it; scripts/install-deps.sh --test)";
    std::unique_ptr<testsupport::PulseServer> server;
    QTemporaryDir home;
    ASSERT_NO_FATAL_FAILURE(startDesktop(server, home.path()));
    TrayIcon recordIcon;
    ASSERT_TRUE(launchApp(home.path(), recordIcon));

    const QString folder = home.path() + QStringLiteral("/Music/org.traytape.TrayTape");
    auto tone = server->playTone("e2e_speakers", 440, 0.3);
    QString id;
    QRect window;
    for (int n = 1; n <= 3; ++n) {
        chooseRecordItem(recordIcon);
        QTest::qWait(1500);
        chooseRecordItem(recordIcon);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return QDir(folder).entryList({QStringLiteral("*_Audio*.m4a")}, QDir::Files).size() == n; }, 5000));
        // The stop brings the library forward with the new recording chosen at the bottom.
        ASSERT_TRUE(QTest::qWaitFor([&] { return findLibraryWindow(id, window); }, 5000)) << "recording " << n;
        QTest::qWait(400);
        const QImage shot = screenshot(QStringLiteral("library-after-%1.png").arg(n));
        const QRect rows(window.x(), window.y(), window.width(), window.height() - 152);
        EXPECT_GT(countPixels(shot, rows, isChosenRow), 20000) << "one chosen row after recording " << n;
        EXPECT_GE(countPixels(shot, rows, isRow), 18000 * (n - 1)) << "the earlier rows after recording " << n;
    }
    tone->stop();
    const QString newest
        = QDir(folder).entryInfoList({QStringLiteral("*_Audio*.m4a")}, QDir::Files, QDir::Time).value(0).filePath();
    if (!MediaPlayer::playerWithAsset(MediaAsset::assetWithPath(newest.toStdString())))
        GTEST_SKIP() << "no player on this build: the trim bar stays locked";

    // The trim handles stand below the bar, left of its start and right of its end.
    const int barTop = window.y() + window.height() - 152 + 8;
    const int barLeft = window.x() + 13 + 9;
    const int barWidth = window.width() - 26 - 18;
    drag({barLeft - 4, barTop + 40}, {barLeft + barWidth / 4, barTop + 40});
    drag({barLeft + barWidth + 4, barTop + 40}, {barLeft + barWidth * 7 / 10, barTop + 40});
    QTest::qWait(300);
    const QString shotPath = artifact(QStringLiteral("library-window.png"));
    runCommand({"import", "-window", id.toStdString(), shotPath.toStdString()});
    const QImage shot = QImage(shotPath).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(shot.isNull());
    // The kept stretch is highlighted only between the handles.
    const auto highlighted = [&](int x) {
        const QColor c = shot.pixelColor(x - window.x(), barTop - window.y() + 22);
        return c.blue() > c.red() + 40;
    };
    EXPECT_FALSE(highlighted(barLeft + barWidth / 8));
    EXPECT_TRUE(highlighted(barLeft + barWidth / 2));
    EXPECT_FALSE(highlighted(barLeft + barWidth * 17 / 20));

    // Space plays the chosen recording: the play head leaves the start.
    const auto playHeadX = [&](const QImage& image) {
        long sum = 0, n = 0;
        for (int x = barLeft - 10; x < barLeft + barWidth + 10; ++x)
            for (int y = barTop; y < barTop + 8; ++y)
                if (image.pixelColor(x, y).lightness() > 225) {
                    sum += x;
                    ++n;
                }
        return n > 0 ? double(sum) / double(n) : -1.0;
    };
    const double atRest = playHeadX(screenshot(QStringLiteral("library-before-play.png")));
    EXPECT_NEAR(atRest, barLeft, 3);
    runCommand({"xdotool", "key", "space"});
    QTest::qWait(900);
    const double playing = playHeadX(screenshot(QStringLiteral("library-playing.png")));
    EXPECT_GT(playing, barLeft + barWidth / 8) << "the head moves with the playback";

    ::kill(pid_t(app_.processId()), SIGTERM);
    ASSERT_TRUE(app_.waitForFinished(10000));
    EXPECT_EQ(app_.exitCode(), 0);
    EXPECT_EQ(QSettings(settingsFile(home.path()), QSettings::IniFormat).value("AudioItemData").toList().size(), 3);
}

TEST_F(TrayEndToEnd, ARecordingCutOffByAKillComesBackAtTheNextStart)
{
    std::string missing;
    if (toolsMissing(missing))
        GTEST_SKIP() << missing << " is missing (build it; scripts/install-deps.sh --test)";
    std::unique_ptr<testsupport::PulseServer> server;
    QTemporaryDir home;
    ASSERT_NO_FATAL_FAILURE(startDesktop(server, home.path()));
    TrayIcon recordIcon;
    ASSERT_TRUE(launchApp(home.path(), recordIcon));

    const QString folder = home.path() + QStringLiteral("/Music/org.traytape.TrayTape");
    auto tone = server->playTone("e2e_speakers", 440, 0.3);
    chooseRecordItem(recordIcon);
    QTest::qWait(4000);
    ::kill(pid_t(app_.processId()), SIGKILL);
    ASSERT_TRUE(app_.waitForFinished(5000));
    tone->stop();
    const QStringList files = QDir(folder).entryList({QStringLiteral("*_Audio.m4a")}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const QString path = folder + QLatin1Char('/') + files[0];

    ASSERT_TRUE(launchApp(home.path(), recordIcon));
    const QSettings settings(settingsFile(home.path()), QSettings::IniFormat);
    QVariantList stored;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            stored = QSettings(settingsFile(home.path()), QSettings::IniFormat).value("AudioItemData").toList();
            return !stored.isEmpty();
        },
        15000))
        << "the recovered recording is listed and stored";
    ASSERT_EQ(stored.size(), 1);
    EXPECT_EQ(stored[0].toMap().value("AudioPath").toString(), path);
    const double length = stored[0].toMap().value("AudioLength").toDouble();
    EXPECT_GT(length, 2.0) << "most of the four seconds are kept";
    EXPECT_LT(length, 5.0);
    EXPECT_TRUE(
        QSettings(settingsFile(home.path()), QSettings::IniFormat).value("RecordingInProgress").toString().isEmpty());

    // An ordinary file now: a decoder reading only the first fragment would get a fraction of it.
    const FileSound sound = readFileSound(path);
    ASSERT_TRUE(sound.opened);
    EXPECT_GT(double(sound.frames) / 44100, length - 0.1);
    EXPECT_GT(sound.peak, 0.15f);
    const auto probe = runCommand(
        {"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path.toStdString()});
    EXPECT_NEAR(QString::fromStdString(probe.output).trimmed().toDouble(), length, 0.1);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 1) << "no partial files are left beside it";

    // The next recording's stop shows both in the library.
    chooseRecordItem(recordIcon);
    QTest::qWait(1200);
    chooseRecordItem(recordIcon);
    QString id;
    QRect window;
    ASSERT_TRUE(QTest::qWaitFor([&] { return findLibraryWindow(id, window); }, 5000));
    QTest::qWait(400);
    const QImage shot = screenshot(QStringLiteral("library-recovered.png"));
    const QRect rows(window.x(), window.y(), window.width(), window.height() - 152);
    EXPECT_GT(countPixels(shot, rows, isRow), 18000) << "the recovered row";
    EXPECT_GT(countPixels(shot, rows, isChosenRow), 18000) << "the new, chosen row";
}
