// The built tray application under a virtual X display with a private sound
// server, its tray items reached over the D-Bus StatusNotifierItem protocol
// (KDE, GNOME's tray extension, Xfce, sway's bars) on a private session bus
// with a minimal watcher written here: both items register, the exported
// menu records the played sound into the library, a second start hands over
// to the first, a start after a crash is not mistaken for a second one, and
// a termination signal ends the program cleanly.
#include "AppTestSupport.h"
#include "support/DecodedFile.h"
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

const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");

// Just enough of a tray host for Qt to choose the D-Bus protocol and register its items with.
class Watcher : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)

public:
    explicit Watcher(QObject* parent) : QDBusAbstractAdaptor(parent) { }
    bool isStatusNotifierHostRegistered() const { return true; }

    // Each item: the bus name that registered it and the path it gave (a name or a path).
    QStringList items;

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        const QString path = service.startsWith(QLatin1Char('/')) ? service : QStringLiteral("/StatusNotifierItem");
        items.append(message.service() + path);
    }
    void RegisterStatusNotifierHost(const QString&) { }
};

// The id of the entry with this label in an exported menu layout (0: none).
int findEntry(const QDBusArgument& layout, const QString& label)
{
    int id = 0, found = 0;
    QVariantMap properties;
    layout.beginStructure();
    layout >> id >> properties;
    if (properties.value(QStringLiteral("label")).toString().remove(QLatin1Char('&')) == label)
        found = id;
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        const int inChild = findEntry(child.variant().value<QDBusArgument>(), label);
        found = found ? found : inChild;
    }
    layout.endArray();
    layout.endStructure();
    return found;
}

// The built program with a private sound server, X display, session bus with
// a tray watcher on it, home and settings.
class TrayEndToEnd : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (bus.isConnected())
            QDBusConnection::disconnectFromBus(bus.name());
        // Children first, the display and the bus last; one that ignores the request is killed with its object.
        for (QProcess* p : {&app_, &display_, &bus_}) {
            p->terminate();
            p->waitForFinished(5000);
        }
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

    // A sink a tone plays into, settings that record from its monitor without
    // the help window, the display, the bus and its watcher, then the program.
    void launch()
    {
        for (const char* tool : {"dbus-daemon", "Xvfb"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                GTEST_SKIP() << tool << " is missing (scripts/install-deps.sh --test)";
        server_ = std::make_unique<testsupport::PulseServer>(
            std::vector<testsupport::NullSink>{{"e2e_speakers", 48000, 2, "E2E Speakers"}});
        ASSERT_TRUE(server_->start()) << server_->error();
        QSettings settings(home_.path() + QStringLiteral("/.config/traytape/TrayTape.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("AudioDeviceUniqueID"), QStringLiteral("e2e_speakers.monitor"));
        settings.setValue(QStringLiteral("OpenAppShowHelpWnd"), 0);
        settings.sync();

        QString number, address;
        ASSERT_TRUE(startPrinting(
            display_, "Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, number));
        ASSERT_TRUE(
            startPrinting(bus_, "dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"}, address));
        bus = QDBusConnection::connectToBus(address, QStringLiteral("status-notifier-test"));
        watcher = new Watcher(&watcherHolder);
        ASSERT_TRUE(bus.registerObject(
            QStringLiteral("/StatusNotifierWatcher"), &watcherHolder, QDBusConnection::ExportAdaptors));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));

        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + number);
        env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env_.insert(QStringLiteral("HOME"), home_.path());
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/.config"));
        env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
        env_.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        env_.insert(
            QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" TRAYTAPE_SOURCE_DIR "/tests/app/lsan.supp"));
        ASSERT_TRUE(start(app_));
        ASSERT_TRUE(QTest::qWaitFor([&] { return watcher->items.size() == 2; }, 20000)) << "both items register";
    }

    bool start(QProcess& program)
    {
        program.setProcessEnvironment(env_);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape"), {});
        return program.waitForStarted(5000);
    }

    // An item is "<bus name>/<object path>".
    static QString serviceOf(const QString& item) { return item.left(item.indexOf(QLatin1Char('/'))); }
    static QString pathOf(const QString& item) { return item.mid(item.indexOf(QLatin1Char('/'))); }

    // Chooses the entry from the first item whose exported menu holds it.
    // Each call waits with events running: the app asks this process's
    // watcher whether a tray is there, and a plain blocking call here would
    // leave both waiting on each other until the timeout.
    bool clickMenuEntry(const QString& label) const
    {
        for (const QString& item : watcher->items) {
            QDBusMessage get = QDBusMessage::createMethodCall(serviceOf(item), pathOf(item),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
            get << kItemInterface << QStringLiteral("Menu");
            const QVariant reply = bus.call(get, QDBus::BlockWithGui, 5000).arguments().value(0);
            const QString menu = reply.value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
            QDBusMessage call
                = QDBusMessage::createMethodCall(serviceOf(item), menu, kMenuInterface, QStringLiteral("GetLayout"));
            call << 0 << -1 << QStringList();
            const QDBusMessage layout = bus.call(call, QDBus::BlockWithGui, 5000);
            if (menu.isEmpty() || layout.type() != QDBusMessage::ReplyMessage || layout.arguments().size() < 2)
                continue;
            const int id = findEntry(layout.arguments().at(1).value<QDBusArgument>(), label);
            QDBusMessage event
                = QDBusMessage::createMethodCall(serviceOf(item), menu, kMenuInterface, QStringLiteral("Event"));
            event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
            if (id && bus.call(event, QDBus::BlockWithGui, 5000).type() == QDBusMessage::ReplyMessage)
                return true;
        }
        return false;
    }

    QString folder() const { return home_.path() + QStringLiteral("/Music/org.traytape.TrayTape"); }
    QStringList recordings() const
    {
        return QDir(folder()).entryList({QStringLiteral("*_Audio*.m4a")}, QDir::Files, QDir::Name);
    }

    std::unique_ptr<testsupport::PulseServer> server_;
    QTemporaryDir home_;
    QProcess display_, app_, bus_;
    QProcessEnvironment env_;
    QObject watcherHolder;
    Watcher* watcher = nullptr;  // owned by watcherHolder
    QDBusConnection bus{QString()};
};

}  // namespace

TEST_F(TrayEndToEnd, TheExportedMenuRecordsIntoTheLibraryAndOneCopyRunsAtATime)
{
    ASSERT_NO_FATAL_FAILURE(launch());
    QTest::qWait(2000);  // an idle sound server may take a second or two to deliver its first block
    auto tone = server_->playTone("e2e_speakers", 440, 0.2);
    // The entry is chosen as soon as the exported menu answers with it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return clickMenuEntry(QStringLiteral("Start Record")); }, 10000))
        << "the menu is exported";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recordings().isEmpty(); }, 5000))
        << "choosing Start Record in the exported menu starts a recording";

    // A second start hands over to the running program and leaves.
    QProcess second;
    ASSERT_TRUE(start(second));
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(app_.state(), QProcess::Running);

    QTest::qWait(2000);  // the recording's length
    EXPECT_TRUE(QTest::qWaitFor([&] { return clickMenuEntry(QStringLiteral("Stop Record")); }, 10000));
    tone->stop();
    const QString settings = home_.path() + QStringLiteral("/.config/traytape/TrayTape.conf");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return QSettings(settings, QSettings::IniFormat).value("AudioItemData").toList().size() == 1; }, 5000))
        << "the stopped recording is in the stored library";
    const DecodedFile sound = decodeFile((folder() + QLatin1Char('/') + recordings()[0]).toStdString());
    ASSERT_GT(sound.frames(), 44100u);
    EXPECT_GT(toneAmplitude(sound.channels[0], 44100, 440, 4410, sound.frames() - 4410), 0.1);

    // After a crash the program starts again, and a termination signal ends it cleanly.
    app_.kill();
    ASSERT_TRUE(app_.waitForFinished(10000));
    ASSERT_TRUE(start(app_));
    EXPECT_TRUE(QTest::qWaitFor([&] { return watcher->items.size() == 4; }, 20000)) << "the items come back";
    ::kill(pid_t(app_.processId()), SIGTERM);
    ASSERT_TRUE(app_.waitForFinished(10000));
    EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app_.exitCode(), 0);
}

#include "TrayEndToEndTest.moc"
