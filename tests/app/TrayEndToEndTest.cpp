// The built tray application under a virtual X display with a private sound
// server, its tray items reached over the D-Bus StatusNotifierItem protocol
// (KDE, GNOME's tray extension, Xfce, sway's bars) on a private session bus
// with a minimal watcher written here: both items register, the record
// item's exported menu records the played sound into the library, the level
// item sends a new icon only when its pixels change, and quitting ends the
// program cleanly.
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
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

namespace {

using testsupport::runCommand;

const std::string kSinkDescription = "E2E Speakers";

// The built program with a private sound server, display, session bus with
// a tray watcher on it, home and settings.
class DesktopRun : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Children first, the display and the bus last.
        for (QProcess* p : {&app_, &display_, &bus_}) {
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
    void startDesktop()
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
        settings.sync();
        QString number;
        ASSERT_TRUE(startPrinting(
            display_, "Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, number));
        displayName_ = QStringLiteral(":") + number;
        qputenv("DISPLAY", displayName_.toLatin1());
    }

    void startApp(const QString& busAddress)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), displayName_);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("HOME"), home_.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/.config"));
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
    QVariant settingsValue(const char* key) const
    {
        return QSettings(settingsFile(), QSettings::IniFormat).value(QLatin1String(key));
    }
    QString folder() const { return home_.path() + QStringLiteral("/Music/org.traytape.TrayTape"); }
    QStringList recordings() const
    {
        return QDir(folder()).entryList({QStringLiteral("*_Audio*.m4a")}, QDir::Files, QDir::Name);
    }

    std::unique_ptr<testsupport::PulseServer> server_;
    QTemporaryDir home_;
    QProcess display_, app_, bus_;
    QString displayName_;
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

class TrayEndToEnd : public DesktopRun {
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

    // The desktop with its bus and watcher, then the program; fills the two items.
    void launch()
    {
        const std::string tool = missing({"dbus-daemon", "Xvfb"});
        if (!tool.empty())
            GTEST_SKIP() << tool << " is missing (build it; scripts/install-deps.sh --test)";
        ASSERT_NO_FATAL_FAILURE(startDesktop());
        ASSERT_TRUE(
            startPrinting(bus_, "dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"}, address));
        bus = QDBusConnection::connectToBus(address, QStringLiteral("status-notifier-test"));
        watcher = new Watcher(&watcherHolder);
        ASSERT_TRUE(bus.registerObject(
            QStringLiteral("/StatusNotifierWatcher"), &watcherHolder, QDBusConnection::ExportAdaptors));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
        ASSERT_NO_FATAL_FAILURE(startApp(address));
        ASSERT_TRUE(QTest::qWaitFor([&] { return watcher->items.size() == 2; }, 20000)) << "both items register";
        QTest::qWait(500);
        const bool firstIsLevel = toolTip(watcher->items[0]).contains(QStringLiteral("input level"));
        levelItem = watcher->items[firstIsLevel ? 0 : 1];
        recordItem = watcher->items[firstIsLevel ? 1 : 0];
        ASSERT_TRUE(toolTip(levelItem).contains(QStringLiteral("input level"))) << toolTip(levelItem).toStdString();
    }

    QObject watcherHolder;
    Watcher* watcher = nullptr;  // owned by watcherHolder
    QDBusConnection bus{QString()};
    QString address, levelItem, recordItem;
};

}  // namespace

TEST_F(TrayEndToEnd, TheMenuRecordsIntoTheLibraryAndTheLevelIconFollowsItsPixels)
{
    ASSERT_NO_FATAL_FAILURE(launch());
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

    ASSERT_TRUE(QTest::qWaitFor([&] { return settingsValue("AudioItemData").toList().size() == 1; }, 5000))
        << "the stopped recording is in the stored library";
    const QString first = folder() + QLatin1Char('/') + recordings()[0];
    const FileSound sound = readFileSound(first);
    EXPECT_GT(sound.frames, 44100);
    EXPECT_GT(sound.peak, 0.1f);

    quitApp();
}

#include "TrayEndToEndTest.moc"
