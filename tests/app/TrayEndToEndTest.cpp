// The built tray application under a virtual X display with a real tray host
// (trayer, an XEmbed tray) and a private sound server: both tray icons
// appear, a recording started and stopped from the record icon's menu makes
// a file with the played sound in it, and SIGTERM ends the program cleanly.
// Screenshots go to <build>/test-artifacts/.
#include "AppTestSupport.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "support/PulseServer.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

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
        display_.setArguments({"-displayfd", "1", "-screen", "0", "640x400x24", "-nolisten", "tcp"});
        display_.start();
        if (!display_.waitForStarted(5000) || !QTest::qWaitFor([&] { return display_.canReadLine(); }, 10000))
            return false;
        displayName_ = QStringLiteral(":") + QString::fromLatin1(display_.readLine()).trimmed();
        qputenv("DISPLAY", displayName_.toLatin1());
        return true;
    }

    bool startTray()
    {
        tray_.setProgram(QStringLiteral("trayer"));
        tray_.setArguments({"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
            "--transparent", "false", "--SetDockType", "true"});
        tray_.start();
        return tray_.waitForStarted(5000);
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

    QProcess display_, tray_, app_;
    QString displayName_;
};

}  // namespace

TEST_F(TrayEndToEnd, RecordsFromTheTrayMenuIntoAFileWithSound)
{
    const QString binary = QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape");
    if (!QFileInfo(binary).isExecutable())
        GTEST_SKIP() << "build the traytape target first";
    for (const char* tool : kTools)
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh --test)";

    testsupport::PulseServer server({{"e2e_speakers", 48000, 2, kSinkDescription}});
    ASSERT_TRUE(server.start()) << server.error();

    // The monitor of the sink the tone plays into is the device to record from.
    int deviceIndex = -1;
    {
        const auto devices = AudioRecordDevice().allAudioInputDevices();
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (devices[i]->deviceName() == "Monitor of " + kSinkDescription)
                deviceIndex = int(i);
    }
    ASSERT_GE(deviceIndex, 0) << "the sink's monitor is not among the input devices";

    QTemporaryDir home;
    {
        QSettings settings(home.path() + QStringLiteral("/.config/traytape/TrayTape.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("AudioDeviceNSNumberChoose"), deviceIndex);
        settings.setValue(QStringLiteral("OpenAppShowHelpWnd"), 0);
        settings.setValue(QStringLiteral("OpenAppRecordingPanel"), 1);
    }

    ASSERT_TRUE(startDisplay());
    ASSERT_TRUE(startTray());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), displayName_);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
    // No session bus: Qt then embeds its icons in the XEmbed tray.
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.insert(
        QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" TRAYTAPE_SOURCE_DIR "/tests/app/lsan.supp"));
    app_.setProcessEnvironment(env);
    app_.setProcessChannelMode(QProcess::ForwardedChannels);
    app_.setProgram(binary);
    app_.start();
    ASSERT_TRUE(app_.waitForStarted(5000));

    ASSERT_TRUE(QTest::qWaitFor([&] { return trayIcons().size() == 2; }, 15000)) << "two tray icons expected";
    QTest::qWait(500);
    const QList<TrayIcon> icons = trayIcons();
    const QImage idle = screenshot(QStringLiteral("tray-idle.png"));
    // The record icon is the one with the red label; the other is the meter.
    const int recordAt = countPixels(idle, icons[0].rect, isRed) > countPixels(idle, icons[1].rect, isRed) ? 0 : 1;
    const TrayIcon recordIcon = icons[recordAt];
    const TrayIcon levelIcon = icons[1 - recordAt];
    EXPECT_EQ(levelIcon.rect.size(), QSize(22, 22));
    EXPECT_EQ(countPixels(idle, levelIcon.rect, isLitCell), 0) << "silence lights no cell";

    auto tone = server.playTone("e2e_speakers", 440, 0.2);  // about four of nine cells
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
