// The built tray application under a virtual X display with a private sound
// server, on both kinds of tray. With an XEmbed tray host (trayer): both tray
// icons appear, recordings started and stopped from the record icon's menu
// hold the played sound and show up in the library window, whose trim handles
// are dragged with the mouse; SIGTERM ends the program cleanly, and a
// recording cut off by SIGKILL comes back at the next start. With the D-Bus
// StatusNotifierItem protocol (KDE, GNOME's tray extension, Xfce, sway's bars),
// on a private session bus with a minimal watcher written here: both items
// register, the record item's exported menu records, the level item sends a
// new icon only when its pixels change, and the recording panel asks the
// window manager for no position. Screenshots go to <build>/test-artifacts/.
#include "AppTestSupport.h"
#include "platform/MediaPlayer.h"
#include "platform/pulse/PulsePlatform.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "support/PulseServer.h"

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
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

const std::string kSinkDescription = "E2E Speakers";

// A tray icon window embedded in the tray host, in root coordinates.
struct TrayIcon {
    QString window;
    QRect rect;
};

int countPixels(const QImage& image, const QRect& rect, const std::function<bool(QColor)>& test)
{
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            n += test(image.pixelColor(x, y)) ? 1 : 0;
    return n;
}
bool isRed(QColor c)
{
    return c.red() > 180 && c.green() < 90 && c.blue() < 90;
}
bool isLitCell(QColor c)
{
    return c.red() < 40 && c.green() < 40 && c.blue() < 40;
}
bool isChosenRow(QColor c)
{
    return std::abs(c.red() - 59) < 8 && std::abs(c.green() - 34) < 8 && c.blue() > 240;
}
bool isRow(QColor c)
{
    return std::abs(c.red() - 51) < 3 && std::abs(c.green() - 51) < 3 && std::abs(c.blue() - 51) < 3;
}

// The built program with a private sound server, display, home and
// settings; the tray is up to each test.
class DesktopRun : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Children first, the display and the bus last.
        for (QProcess* p : {&app_, &tray_, &display_, &bus_}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(2000);
            }
        }
    }

    // The first of the program and `tools` that is missing ("" when none is).
    static std::string missing(std::initializer_list<const char*> tools)
    {
        if (!QFileInfo(QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape")).isExecutable())
            return "the traytape target";
        for (const char* tool : tools)
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                return tool;
        return {};
    }

    static QString artifact(const QString& name)
    {
        const QString folder = QStringLiteral(TRAYTAPE_BINARY_DIR "/test-artifacts");
        QDir().mkpath(folder);
        return folder + QLatin1Char('/') + name;
    }
    static QImage screenshot(const QString& name, const std::string& window = "root")
    {
        const QString path = artifact(name);
        runCommand({"import", "-window", window, path.toStdString()});
        return QImage(path).convertToFormat(QImage::Format_RGB32);
    }

    // Reads the first line the process prints: the display's number, the bus's address.
    static bool startPrinting(QProcess& process, const char* program, const QStringList& arguments, QString& line)
    {
        process.start(QString::fromLatin1(program), arguments);
        if (!process.waitForStarted(5000) || !QTest::qWaitFor([&] { return process.canReadLine(); }, 10000))
            return false;
        line = QString::fromLatin1(process.readLine()).trimmed();
        return true;
    }

    // A private sound server with a sink a tone plays into, settings that
    // record from its monitor without the help window, and an X display.
    void startDesktop(bool recordingPanel = false)
    {
        server_ = std::make_unique<testsupport::PulseServer>(
            std::vector<testsupport::NullSink>{{"e2e_speakers", 48000, 2, kSinkDescription}});
        ASSERT_TRUE(server_->start()) << server_->error();
        installPulsePlatform();  // this process lists the devices and plays as the app does
        int device = -1;
        const auto devices = AudioRecordDevice().allAudioInputDevices();
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (devices[i]->deviceName() == "Monitor of " + kSinkDescription)
                device = int(i);
        ASSERT_GE(device, 0);
        QSettings settings(settingsFile(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("AudioDeviceNSNumberChoose"), device);
        settings.setValue(QStringLiteral("OpenAppShowHelpWnd"), 0);
        settings.setValue(QStringLiteral("OpenAppRecordingPanel"), recordingPanel ? 1 : 0);
        settings.sync();
        QString number;
        ASSERT_TRUE(startPrinting(
            display_, "Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, number));
        displayName_ = QStringLiteral(":") + number;
        qputenv("DISPLAY", displayName_.toLatin1());
    }

    // Without a session bus Qt embeds its icons in an XEmbed tray.
    void startApp(const QString& busAddress = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), displayName_);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("HOME"), home_.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/.config"));
        if (busAddress.isEmpty())
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        else
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
        env.insert(
            QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" TRAYTAPE_SOURCE_DIR "/tests/app/lsan.supp"));
        app_.setProcessEnvironment(env);
        app_.setProcessChannelMode(QProcess::ForwardedChannels);
        app_.start(QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape"), {});
        ASSERT_TRUE(app_.waitForStarted(5000));
    }

    void quitApp()
    {
        ::kill(pid_t(app_.processId()), SIGTERM);
        ASSERT_TRUE(app_.waitForFinished(10000));
        EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app_.exitCode(), 0);
    }

    QString settingsFile() const { return home_.path() + QStringLiteral("/.config/traytape/TrayTape.conf"); }
    QString folder() const { return home_.path() + QStringLiteral("/Music/org.traytape.TrayTape"); }
    QStringList recordings() const
    {
        return QDir(folder()).entryList({QStringLiteral("*_Audio*.m4a")}, QDir::Files, QDir::Name);
    }

    std::unique_ptr<testsupport::PulseServer> server_;
    QTemporaryDir home_;
    QProcess display_, tray_, app_, bus_;
    QString displayName_;
};

class TrayEndToEnd : public DesktopRun {
protected:
    void SetUp() override
    {
        const std::string tool = missing({"Xvfb", "trayer", "xdotool", "xwininfo", "import"});
        if (!tool.empty())
            GTEST_SKIP() << tool << " is missing (build it; scripts/install-deps.sh --test)";
        ASSERT_NO_FATAL_FAILURE(startDesktop());
        ASSERT_TRUE(startTray());
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
            tray_.start(QStringLiteral("trayer"),
                {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24", "--transparent",
                    "false", "--SetDockType", "true"});
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
    static QList<TrayIcon> trayIcons()
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

    // Starts the application and waits for its two tray icons: the record
    // icon (the one with the red label) and the level meter, as first seen.
    bool launchApp(TrayIcon& recordIcon, TrayIcon* levelIcon = nullptr, QImage* idle = nullptr)
    {
        startApp();
        if (!QTest::qWaitFor([&] { return trayIcons().size() == 2; }, 30000))
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

    // Opens the status menu from the record icon and chooses its first item.
    static void chooseRecordItem(const TrayIcon& icon, const QString& shotName = QString())
    {
        const QPoint centre = icon.rect.center();
        runCommand({"xdotool", "mousemove", std::to_string(centre.x()), std::to_string(centre.y()), "click", "1"});
        QTest::qWait(700);
        if (!shotName.isEmpty())
            screenshot(shotName);
        runCommand({"xdotool", "key", "Down", "Return"});
        QTest::qWait(300);
    }

    // The library window's X id and its geometry in root coordinates, once it is shown.
    static bool findLibraryWindow(QString& id, QRect& rect)
    {
        const auto found = runCommand({"xdotool", "search", "--onlyvisible", "--name", "TrayTape Library"});
        id = QString::fromStdString(found.output).split('\n', Qt::SkipEmptyParts).value(0);
        if (id.isEmpty())
            return false;
        const QString info = QString::fromStdString(runCommand({"xwininfo", "-id", id.toStdString()}).output);
        const auto number = [&info](const char* label) {
            return QRegularExpression(QString::fromLatin1(label) + QStringLiteral(R"(:\s+(-?\d+))"))
                .match(info)
                .captured(1)
                .toInt();
        };
        rect = QRect(
            number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"), number("Height"));
        return rect.width() > 0;
    }
    // The list of rows: the library window above its bottom strip.
    static QRect rowsOf(const QRect& window) { return window.adjusted(0, 0, 0, -152); }

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
};

const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");

// Just enough of a tray host for Qt to choose the D-Bus protocol and register its items with.
class Watcher : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    explicit Watcher(QObject* parent) : QDBusAbstractAdaptor(parent) { }
    QStringList registeredStatusNotifierItems() const { return items; }
    bool isStatusNotifierHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

    // Each item: the bus name that registered it and the path it gave (a name or a path).
    QStringList items;
    int newIcons = 0;

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        const QString path = service.startsWith(QLatin1Char('/')) ? service : QStringLiteral("/StatusNotifierItem");
        items.append(message.service() + path);
        emit StatusNotifierItemRegistered(items.last());
    }
    void RegisterStatusNotifierHost(const QString&) { }
    // Connected to the level item's NewIcon signal.
    void countNewIcon() { ++newIcons; }

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
};

// One entry of an exported menu, with its children.
struct MenuEntry {
    int id = 0;
    QString label;
    QList<MenuEntry> children;
};

MenuEntry readMenuEntry(const QDBusArgument& argument)
{
    MenuEntry entry;
    QVariantMap properties;
    argument.beginStructure();
    argument >> entry.id >> properties;
    entry.label = properties.value(QStringLiteral("label")).toString();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        entry.children.append(readMenuEntry(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    return entry;
}

std::optional<MenuEntry> findEntry(const MenuEntry& root, const QString& label)
{
    for (const MenuEntry& child : root.children) {
        if (QString(child.label).remove(QLatin1Char('&')) == label)
            return child;
        if (auto found = findEntry(child, label))
            return found;
    }
    return std::nullopt;
}

class StatusNotifier : public DesktopRun {
protected:
    void TearDown() override
    {
        if (bus.isConnected())
            QDBusConnection::disconnectFromBus(bus.name());
        DesktopRun::TearDown();
    }

    // An item is "<bus name>/<object path>".
    static QString serviceOf(const QString& item) { return item.left(item.indexOf(QLatin1Char('/'))); }
    static QString pathOf(const QString& item) { return item.mid(item.indexOf(QLatin1Char('/'))); }

    QVariant itemProperty(const QString& item, const QString& name) const
    {
        QDBusMessage get = QDBusMessage::createMethodCall(
            serviceOf(item), pathOf(item), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << kItemInterface << name;
        const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments().constFirst().value<QDBusVariant>().variant();
    }

    // An icon pixmap array as the host would draw it: every size's bytes, in order.
    static QByteArray readPixmaps(const QDBusArgument& pixmaps)
    {
        QByteArray all;
        pixmaps.beginArray();
        while (!pixmaps.atEnd()) {
            int width = 0, height = 0;
            QByteArray bytes;
            pixmaps.beginStructure();
            pixmaps >> width >> height >> bytes;
            pixmaps.endStructure();
            all += QByteArray::number(width) + 'x' + QByteArray::number(height) + bytes;
        }
        pixmaps.endArray();
        return all;
    }

    QByteArray iconPixels(const QString& item) const
    {
        return readPixmaps(itemProperty(item, QStringLiteral("IconPixmap")).value<QDBusArgument>());
    }

    // The tooltip's title and text, which tell the two items apart.
    QString toolTip(const QString& item) const
    {
        const QDBusArgument tip = itemProperty(item, QStringLiteral("ToolTip")).value<QDBusArgument>();
        QString icon, title, text;
        tip.beginStructure();
        tip >> icon;
        readPixmaps(tip);
        tip >> title >> text;
        tip.endStructure();
        return title + QLatin1Char(' ') + text;
    }

    bool clickMenuEntry(const QString& item, const QString& label) const
    {
        const QString menuPath = itemProperty(item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        QDBusMessage call
            = QDBusMessage::createMethodCall(serviceOf(item), menuPath, kMenuInterface, QStringLiteral("GetLayout"));
        call << 0 << -1 << QStringList();
        const QDBusMessage layout = bus.call(call, QDBus::Block, 5000);
        if (menuPath.isEmpty() || layout.type() != QDBusMessage::ReplyMessage || layout.arguments().size() < 2)
            return false;
        const auto entry = findEntry(readMenuEntry(layout.arguments().at(1).value<QDBusArgument>()), label);
        if (!entry)
            return false;
        QDBusMessage event
            = QDBusMessage::createMethodCall(serviceOf(item), menuPath, kMenuInterface, QStringLiteral("Event"));
        event << entry->id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
        return bus.call(event, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
    }

    QObject watcherHolder;
    QDBusConnection bus{QString()};
};

}  // namespace

TEST_F(TrayEndToEnd, RecordingsFromTheTrayMenuHoldTheSoundAndTheLibraryTrimsThemWithTheMouse)
{
    TrayIcon recordIcon, levelIcon;
    QImage idle;
    ASSERT_TRUE(launchApp(recordIcon, &levelIcon, &idle));
    EXPECT_EQ(levelIcon.rect.size(), QSize(22, 22));
    EXPECT_EQ(countPixels(idle, levelIcon.rect, isLitCell), 0) << "silence lights no cell";

    auto tone = server_->playTone("e2e_speakers", 440, 0.3);
    QString id;
    QRect window;
    for (int n = 1; n <= 3; ++n) {
        chooseRecordItem(recordIcon, n == 1 ? QStringLiteral("tray-menu.png") : QString());
        QTest::qWait(n == 1 ? 2600 : 1500);
        if (n == 1) {
            const QImage recording = screenshot(QStringLiteral("tray-recording.png"));
            EXPECT_GT(countPixels(recording, levelIcon.rect, isLitCell), 10) << "the tray meter moves with the tone";
        }
        chooseRecordItem(recordIcon);
        ASSERT_TRUE(QTest::qWaitFor([&] { return recordings().size() == n; }, 5000));
        // The stop brings the library forward with the new recording chosen at the bottom.
        ASSERT_TRUE(QTest::qWaitFor([&] { return findLibraryWindow(id, window); }, 5000)) << "recording " << n;
        QTest::qWait(400);
        const QImage shot = screenshot(QStringLiteral("library-after-%1.png").arg(n));
        EXPECT_GT(countPixels(shot, rowsOf(window), isChosenRow), 20000) << "one chosen row after recording " << n;
        EXPECT_GE(countPixels(shot, rowsOf(window), isRow), 18000 * (n - 1))
            << "the earlier rows after recording " << n;
    }
    tone->stop();
    const FileSound first = readFileSound(folder() + QLatin1Char('/') + recordings().value(0));
    ASSERT_TRUE(first.opened);
    EXPECT_GT(first.frames, 44100) << "about two and a half seconds were recorded";
    EXPECT_GT(first.peak, 0.12f);

    const QString newest
        = QDir(folder()).entryInfoList({QStringLiteral("*_Audio*.m4a")}, QDir::Files, QDir::Time).value(0).filePath();
    if (!MediaPlayer::playerWithAsset(MediaAsset::assetWithPath(newest.toStdString())))
        GTEST_SKIP() << "no player on this build: the trim bar stays locked";
    // The trim handles stand below the bar, left of its start and right of its end.
    const int barTop = window.y() + window.height() - 152 + 8;
    const int barLeft = window.x() + 13 + 9;
    const int barWidth = window.width() - 26 - 18;
    drag({barLeft - 4, barTop + 40}, {barLeft + barWidth / 4, barTop + 40});
    drag({barLeft + barWidth + 4, barTop + 40}, {barLeft + barWidth * 7 / 10, barTop + 40});
    QTest::qWait(300);
    const QImage shot = screenshot(QStringLiteral("library-window.png"), id.toStdString());
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
    EXPECT_NEAR(playHeadX(screenshot(QStringLiteral("library-before-play.png"))), barLeft, 3);
    runCommand({"xdotool", "key", "space"});
    QTest::qWait(900);
    EXPECT_GT(playHeadX(screenshot(QStringLiteral("library-playing.png"))), barLeft + barWidth / 8)
        << "the head moves with the playback";

    quitApp();
    EXPECT_EQ(QSettings(settingsFile(), QSettings::IniFormat).value("AudioItemData").toList().size(), 3);
}

TEST_F(TrayEndToEnd, ARecordingCutOffByAKillComesBackAtTheNextStart)
{
    TrayIcon recordIcon;
    ASSERT_TRUE(launchApp(recordIcon));
    auto tone = server_->playTone("e2e_speakers", 440, 0.3);
    chooseRecordItem(recordIcon);
    QTest::qWait(4000);
    ::kill(pid_t(app_.processId()), SIGKILL);
    ASSERT_TRUE(app_.waitForFinished(5000));
    tone->stop();
    ASSERT_EQ(recordings().size(), 1);
    const QString path = folder() + QLatin1Char('/') + recordings()[0];

    ASSERT_TRUE(launchApp(recordIcon));
    QVariantList stored;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            stored = QSettings(settingsFile(), QSettings::IniFormat).value("AudioItemData").toList();
            return !stored.isEmpty();
        },
        15000))
        << "the recovered recording is listed and stored";
    ASSERT_EQ(stored.size(), 1);
    EXPECT_EQ(stored[0].toMap().value("AudioPath").toString(), path);
    const double length = stored[0].toMap().value("AudioLength").toDouble();
    EXPECT_GT(length, 2.0) << "most of the four seconds are kept";
    EXPECT_LT(length, 5.0);
    EXPECT_TRUE(QSettings(settingsFile(), QSettings::IniFormat).value("RecordingInProgress").toString().isEmpty());

    // An ordinary file now: a decoder reading only the first fragment would get a fraction of it.
    const FileSound sound = readFileSound(path);
    ASSERT_TRUE(sound.opened);
    EXPECT_GT(double(sound.frames) / 44100, length - 0.1);
    EXPECT_GT(sound.peak, 0.15f);
    const auto probe = runCommand(
        {"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path.toStdString()});
    EXPECT_NEAR(QString::fromStdString(probe.output).trimmed().toDouble(), length, 0.1);
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files).size(), 1) << "no partial files are left beside it";

    // The next recording's stop shows both in the library.
    chooseRecordItem(recordIcon);
    QTest::qWait(1200);
    chooseRecordItem(recordIcon);
    QString id;
    QRect window;
    ASSERT_TRUE(QTest::qWaitFor([&] { return findLibraryWindow(id, window); }, 5000));
    QTest::qWait(400);
    const QImage shot = screenshot(QStringLiteral("library-recovered.png"));
    EXPECT_GT(countPixels(shot, rowsOf(window), isRow), 18000) << "the recovered row";
    EXPECT_GT(countPixels(shot, rowsOf(window), isChosenRow), 18000) << "the new, chosen row";
}

TEST_F(StatusNotifier, ItemsRegisterTheMenuRecordsAndTheLevelIconFollowsItsPixels)
{
    const std::string tool = missing({"dbus-daemon", "Xvfb", "xdotool"});
    if (!tool.empty())
        GTEST_SKIP() << tool << " is missing (build it; scripts/install-deps.sh --test)";
    ASSERT_NO_FATAL_FAILURE(startDesktop(true));
    QString address;
    ASSERT_TRUE(
        startPrinting(bus_, "dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"}, address));
    bus = QDBusConnection::connectToBus(address, QStringLiteral("status-notifier-test"));
    auto* watcher = new Watcher(&watcherHolder);
    ASSERT_TRUE(
        bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcherHolder, QDBusConnection::ExportAdaptors));
    ASSERT_TRUE(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
    ASSERT_NO_FATAL_FAILURE(startApp(address));

    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher->items.size() == 2; }, 20000)) << "both items register";
    QTest::qWait(500);
    const bool firstIsLevel = toolTip(watcher->items[0]).contains(QStringLiteral("input level"));
    const QString levelItem = watcher->items[firstIsLevel ? 0 : 1];
    const QString recordItem = watcher->items[firstIsLevel ? 1 : 0];
    ASSERT_TRUE(toolTip(levelItem).contains(QStringLiteral("input level"))) << toolTip(levelItem).toStdString();

    // The recording panel leaves its place to the window manager.
    if (!QStandardPaths::findExecutable(QStringLiteral("xprop")).isEmpty()) {
        const auto found = runCommand({"xdotool", "search", "--name", "^TrayTape Recording$"});
        ASSERT_TRUE(found.ok()) << "the recording panel is open";
        const auto hints
            = runCommand({"xprop", "-id", found.output.substr(0, found.output.find('\n')), "WM_NORMAL_HINTS"});
        EXPECT_TRUE(hints.ok());
        EXPECT_EQ(hints.output.find("specified location"), std::string::npos) << hints.output;
    }

    ASSERT_TRUE(bus.connect(serviceOf(levelItem), pathOf(levelItem), kItemInterface, QStringLiteral("NewIcon"), watcher,
        SLOT(countNewIcon())));
    // Silence: the meter is redrawn 30 times a second but its picture never changes.
    const QByteArray silent = iconPixels(levelItem);
    ASSERT_FALSE(silent.isEmpty());
    QTest::qWait(2000);
    EXPECT_EQ(watcher->newIcons, 0) << "an unchanged picture is not sent again";

    auto tone = server_->playTone("e2e_speakers", 440, 0.2);
    ASSERT_TRUE(clickMenuEntry(recordItem, QStringLiteral("Start Record"))) << "the record item's menu is exported";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recordings().isEmpty(); }, 5000))
        << "choosing Start Record in the exported menu starts a recording";
    QTest::qWait(2000);
    EXPECT_GT(watcher->newIcons, 0) << "the meter follows the tone";
    EXPECT_NE(iconPixels(levelItem), silent);
    EXPECT_TRUE(clickMenuEntry(recordItem, QStringLiteral("Stop Record")));
    tone->stop();

    quitApp();
    ASSERT_EQ(QDir(folder()).entryList(QDir::Files).size(), 1);
    const FileSound sound = readFileSound(folder() + QLatin1Char('/') + recordings()[0]);
    EXPECT_GT(sound.frames, 44100);
    EXPECT_GT(sound.peak, 0.1f);
}

#include "TrayEndToEndTest.moc"
