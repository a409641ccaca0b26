// The built tray application under a virtual X display with a private sound
// server, its tray items reached over the D-Bus StatusNotifierItem protocol
// (KDE, GNOME's tray extension, Xfce, sway's bars) on a private session bus
// with a minimal watcher written here: both items register, the exported
// menu records the played sound into the library, the level item sends a new
// icon only when its pixels change, a second start hands over to the first,
// and quitting ends the program cleanly.
#include "AppTestSupport.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "platform/pulse/PulsePlatform.h"
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

const std::string kSinkDescription = "E2E Speakers";
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
    // Connected to the items' NewIcon signals.
    void countNewIcon() { ++newIcons; }

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
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
            std::vector<testsupport::NullSink>{{"e2e_speakers", 48000, 2, kSinkDescription}});
        ASSERT_TRUE(server_->start()) << server_->error();
        installPulsePlatform();  // this process lists the devices as the app does
        int device = -1;
        const auto devices = AudioRecordDevice().allAudioInputDevices();
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (devices[i]->deviceName() == "Monitor of " + kSinkDescription)
                device = int(i);
        ASSERT_GE(device, 0);
        QSettings settings(home_.path() + QStringLiteral("/.config/traytape/TrayTape.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("AudioDeviceNSNumberChoose"), device);
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
        for (const QString& item : watcher->items)
            ASSERT_TRUE(bus.connect(
                serviceOf(item), pathOf(item), kItemInterface, QStringLiteral("NewIcon"), watcher, SLOT(countNewIcon())));
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

    // Chooses the entry from the first item whose exported menu holds it.
    bool clickMenuEntry(const QString& label) const
    {
        for (const QString& item : watcher->items) {
            const QString menu = itemProperty(item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
            QDBusMessage call
                = QDBusMessage::createMethodCall(serviceOf(item), menu, kMenuInterface, QStringLiteral("GetLayout"));
            call << 0 << -1 << QStringList();
            const QDBusMessage layout = bus.call(call, QDBus::Block, 5000);
            if (menu.isEmpty() || layout.type() != QDBusMessage::ReplyMessage || layout.arguments().size() < 2)
                continue;
            const int id = findEntry(layout.arguments().at(1).value<QDBusArgument>(), label);
            QDBusMessage event
                = QDBusMessage::createMethodCall(serviceOf(item), menu, kMenuInterface, QStringLiteral("Event"));
            event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
            if (id && bus.call(event, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage)
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

TEST_F(TrayEndToEnd, TheMenuRecordsIntoTheLibraryAndTheLevelIconFollowsItsPixels)
{
    ASSERT_NO_FATAL_FAILURE(launch());
    // Silence: the meter is redrawn 30 times a second but its picture never changes.
    QTest::qWait(2000);
    EXPECT_EQ(watcher->newIcons, 0) << "an unchanged picture is not sent again";

    auto tone = server_->playTone("e2e_speakers", 440, 0.2);
    ASSERT_TRUE(clickMenuEntry(QStringLiteral("Start Record"))) << "the menu is exported";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recordings().isEmpty(); }, 5000))
        << "choosing Start Record in the exported menu starts a recording";
    EXPECT_TRUE(QTest::qWaitFor([&] { return watcher->newIcons > 0; }, 5000)) << "the meter follows the tone";

    // A second start hands over to the running program and leaves.
    QProcess second;
    ASSERT_TRUE(start(second));
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(app_.state(), QProcess::Running);

    QTest::qWait(1000);  // the recording's length
    EXPECT_TRUE(clickMenuEntry(QStringLiteral("Stop Record")));
    tone->stop();
    const QString settings = home_.path() + QStringLiteral("/.config/traytape/TrayTape.conf");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return QSettings(settings, QSettings::IniFormat).value("AudioItemData").toList().size() == 1; }, 5000))
        << "the stopped recording is in the stored library";
    const DecodedFile sound = decodeFile((folder() + QLatin1Char('/') + recordings()[0]).toStdString());
    EXPECT_GT(sound.frames(), 44100u);
    EXPECT_GT(toneAmplitude(sound.channels[0], 44100, 440, 4410, sound.frames() - 4410), 0.1);

    ::kill(pid_t(app_.processId()), SIGTERM);
    ASSERT_TRUE(app_.waitForFinished(10000));
    EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app_.exitCode(), 0);
}

#include "TrayEndToEndTest.moc"
