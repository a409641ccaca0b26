// The tray application on a desktop whose tray speaks the D-Bus
// StatusNotifierItem protocol (KDE, GNOME's tray extension, Xfce, sway's
// bars): a private session bus, a minimal StatusNotifierWatcher written
// here, the built program under a virtual X display and a private sound
// server. Both items register; the record item's exported menu starts a
// recording; the level item sends a new icon only when its pixels change;
// the recording panel asks the window manager for no position.
#include "AppTestSupport.h"
#include "support/PulseServer.h"

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
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

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
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

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        const QString path = service.startsWith(QLatin1Char('/')) ? service : QStringLiteral("/StatusNotifierItem");
        items.append(message.service() + path);
        emit StatusNotifierItemRegistered(items.last());
    }
    void RegisterStatusNotifierHost(const QString&) { }

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
};

class NewIconCounter : public QObject {
    Q_OBJECT

public:
    explicit NewIconCounter(int* count) : count_(count) { }

public slots:
    void count() { ++*count_; }

private:
    int* count_;
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

class StatusNotifier : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (bus_.isConnected())
            QDBusConnection::disconnectFromBus(bus_.name());
        for (QProcess* p : {&app_, &display_, &daemon_}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(2000);
            }
        }
    }

    bool startBus()
    {
        daemon_.setProgram(QStringLiteral("dbus-daemon"));
        daemon_.setArguments({"--session", "--nofork", "--nopidfile", "--print-address=1"});
        daemon_.start();
        if (!daemon_.waitForStarted(5000) || !QTest::qWaitFor([&] { return daemon_.canReadLine(); }, 10000))
            return false;
        address_ = QString::fromLatin1(daemon_.readLine()).trimmed();
        bus_ = QDBusConnection::connectToBus(address_, QStringLiteral("status-notifier-test"));
        return bus_.isConnected();
    }

    bool startDisplay()
    {
        display_.setProgram(QStringLiteral("Xvfb"));
        display_.setArguments({"-displayfd", "1", "-screen", "0", "640x400x24", "-nolisten", "tcp"});
        display_.start();
        if (!display_.waitForStarted(5000) || !QTest::qWaitFor([&] { return display_.canReadLine(); }, 10000))
            return false;
        displayName_ = QStringLiteral(":") + QString::fromLatin1(display_.readLine()).trimmed();
        return true;
    }

    QVariant itemProperty(const QString& item, const QString& name) const
    {
        const qsizetype slash = item.indexOf(QLatin1Char('/'));
        QDBusMessage get = QDBusMessage::createMethodCall(item.left(slash), item.mid(slash),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << kItemInterface << name;
        const QDBusMessage reply = bus_.call(get, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments().constFirst().value<QDBusVariant>().variant();
    }

    // The item's icon as the host would draw it: every size's bytes, in order.
    QByteArray iconPixels(const QString& item) const
    {
        const QDBusArgument pixmaps = itemProperty(item, QStringLiteral("IconPixmap")).value<QDBusArgument>();
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

    std::optional<MenuEntry> menuOf(const QString& item, QString* path = nullptr) const
    {
        const QString service = item.left(item.indexOf(QLatin1Char('/')));
        const QString menuPath = itemProperty(item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        if (menuPath.isEmpty())
            return std::nullopt;
        if (path)
            *path = menuPath;
        QDBusMessage call
            = QDBusMessage::createMethodCall(service, menuPath, kMenuInterface, QStringLiteral("GetLayout"));
        call << 0 << -1 << QStringList();
        const QDBusMessage reply = bus_.call(call, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2)
            return std::nullopt;
        return readMenuEntry(reply.arguments().at(1).value<QDBusArgument>());
    }

    // The tooltip's title and text, which tell the two items apart.
    QString toolTip(const QString& item) const
    {
        const QDBusArgument tip = itemProperty(item, QStringLiteral("ToolTip")).value<QDBusArgument>();
        QString icon, title, text;
        tip.beginStructure();
        tip >> icon;
        tip.beginArray();
        while (!tip.atEnd()) {
            int width = 0, height = 0;
            QByteArray bytes;
            tip.beginStructure();
            tip >> width >> height >> bytes;
            tip.endStructure();
        }
        tip.endArray();
        tip >> title >> text;
        tip.endStructure();
        return title + QLatin1Char(' ') + text;
    }

    bool clickMenuEntry(const QString& item, const QString& label) const
    {
        QString path;
        const auto menu = menuOf(item, &path);
        const auto entry = menu ? findEntry(*menu, label) : std::nullopt;
        if (!entry)
            return false;
        QDBusMessage event = QDBusMessage::createMethodCall(
            item.left(item.indexOf(QLatin1Char('/'))), path, kMenuInterface, QStringLiteral("Event"));
        event << entry->id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
        return bus_.call(event, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
    }

    QObject watcherHolder_;
    QProcess daemon_, display_, app_;
    QString address_, displayName_;
    QDBusConnection bus_{QString()};
};

}  // namespace

TEST_F(StatusNotifier, ItemsRegisterTheMenuRecordsAndTheLevelIconFollowsItsPixels)
{
    const QString binary = QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape");
    if (!QFileInfo::exists(binary))
        GTEST_SKIP() << "build the traytape target first";
    for (const char* tool : {"dbus-daemon", "Xvfb", "xdotool"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh --test)";

    testsupport::PulseServer server({{"sni_speakers", 48000, 2, "SNI Speakers"}});
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(startBus());
    auto* watcher = new Watcher(&watcherHolder_);
    ASSERT_TRUE(bus_.registerObject(
        QStringLiteral("/StatusNotifierWatcher"), &watcherHolder_, QDBusConnection::ExportAdaptors));
    ASSERT_TRUE(bus_.registerService(kWatcherService));
    ASSERT_TRUE(startDisplay());

    QTemporaryDir home;
    {
        QSettings settings(home.path() + QStringLiteral("/.config/traytape/TrayTape.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("OpenAppShowHelpWnd"), 0);
        settings.setValue(QStringLiteral("OpenAppRecordingPanel"), 1);
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), displayName_);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address_);
    env.insert(
        QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" TRAYTAPE_SOURCE_DIR "/tests/app/lsan.supp"));
    app_.setProcessEnvironment(env);
    app_.setProcessChannelMode(QProcess::ForwardedChannels);
    app_.setProgram(binary);
    app_.start();
    ASSERT_TRUE(app_.waitForStarted(5000));

    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher->items.size() == 2; }, 20000)) << "both items register";
    QTest::qWait(500);
    const bool firstIsLevel = toolTip(watcher->items[0]).contains(QStringLiteral("input level"));
    const QString levelItem = watcher->items[firstIsLevel ? 0 : 1];
    const QString recordItem = watcher->items[firstIsLevel ? 1 : 0];
    ASSERT_TRUE(toolTip(levelItem).contains(QStringLiteral("input level"))) << toolTip(levelItem).toStdString();

    // The recording panel leaves its place to the window manager.
    if (!QStandardPaths::findExecutable(QStringLiteral("xprop")).isEmpty()) {
        qputenv("DISPLAY", displayName_.toLatin1());
        const auto found = testsupport::runCommand({"xdotool", "search", "--name", "^TrayTape Recording$"});
        ASSERT_TRUE(found.ok()) << "the recording panel is open";
        const std::string window = found.output.substr(0, found.output.find('\n'));
        const auto hints = testsupport::runCommand({"xprop", "-id", window, "WM_NORMAL_HINTS"});
        EXPECT_TRUE(hints.ok());
        EXPECT_EQ(hints.output.find("specified location"), std::string::npos) << hints.output;
    }

    int newIcons = 0;
    NewIconCounter counter(&newIcons);
    const QString levelService = levelItem.left(levelItem.indexOf(QLatin1Char('/')));
    ASSERT_TRUE(bus_.connect(levelService, levelItem.mid(levelItem.indexOf(QLatin1Char('/'))), kItemInterface,
        QStringLiteral("NewIcon"), &counter, SLOT(count())));
    // Silence: the meter is redrawn 30 times a second but its picture never changes.
    const QByteArray silent = iconPixels(levelItem);
    ASSERT_FALSE(silent.isEmpty());
    QTest::qWait(2000);
    EXPECT_EQ(newIcons, 0) << "an unchanged picture is not sent again";

    auto tone = server.playTone("sni_speakers", 440, 0.2);
    ASSERT_TRUE(clickMenuEntry(recordItem, QStringLiteral("Start Record"))) << "the record item's menu is exported";
    const QString folder = home.path() + QStringLiteral("/Music/org.traytape.TrayTape");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !QDir(folder).entryList(QDir::Files).isEmpty(); }, 5000))
        << "choosing Start Record in the exported menu starts a recording";
    QTest::qWait(2000);
    EXPECT_GT(newIcons, 0) << "the meter follows the tone";
    EXPECT_NE(iconPixels(levelItem), silent);
    EXPECT_TRUE(clickMenuEntry(recordItem, QStringLiteral("Stop Record")));
    tone->stop();

    ::kill(pid_t(app_.processId()), SIGTERM);
    ASSERT_TRUE(app_.waitForFinished(10000));
    EXPECT_EQ(app_.exitCode(), 0);
    const QStringList files = QDir(folder).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const FileSound sound = readFileSound(folder + QLatin1Char('/') + files[0]);
    EXPECT_GT(sound.frames, 44100);
    EXPECT_GT(sound.peak, 0.1f);
}

#include "StatusNotifierTest.moc"
