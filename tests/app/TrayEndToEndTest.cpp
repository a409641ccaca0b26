// The built tray application under a virtual X display with a private sound
// server, its tray items reached over the D-Bus StatusNotifierItem protocol
// (KDE, GNOME's tray extension, Xfce, sway's bars) on a private session bus
// with a minimal watcher written here: both items register, the exported
// menu records the played sound into the library, a second start hands over
// to the first, commands from other processes drive it while a fake logind
// on the same bus (its system bus too) sees its sleep lock taken and let go, a crash
// while paused is recovered at the next start, and a termination signal
// while paused completes the file and ends the program cleanly.
#include "AppTestSupport.h"
#include "support/DecodedFile.h"
#include "support/PulseServer.h"

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

#include <poll.h>
#include <unistd.h>

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

// Just enough of logind for a sleep lock: every Inhibit gets the write end of
// a new pipe, whose read end sees end-of-file once every copy is closed.
class FakeLogin : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    explicit FakeLogin(QObject* parent) : QDBusAbstractAdaptor(parent) { }
    // Locks whose holder still keeps them (their read end sees neither data nor end-of-file).
    int held() const
    {
        return int(std::count_if(readEnds.begin(), readEnds.end(), [](int fd) {
            pollfd end{fd, POLLIN, 0};
            return ::poll(&end, 1, 0) == 0;
        }));
    }

    QString request;            // the last one's arguments
    std::vector<int> readEnds;  // left to the end of the process

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why, const QString& mode)
    {
        request = QStringList{what, who, why, mode}.join(QLatin1Char('|'));
        int ends[2] = {-1, -1};
        if (::pipe(ends) == 0)
            readEnds.push_back(ends[0]);
        const QDBusUnixFileDescriptor lock(ends[1]);  // a copy of its own
        ::close(ends[1]);
        return lock;
    }
};

// A notification server that takes actions, and a file manager: what each was asked.
class FakeNotifications : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit FakeNotifications(QObject* parent) : QDBusAbstractAdaptor(parent) { }
    QStringList capabilities{QStringLiteral("actions"), QStringLiteral("body")};
    QStringList shown;  // "summary|body|actions", the id being the index + 1

public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
        const QStringList& actions, const QVariantMap&, int)
    {
        shown.append(QStringList{summary, body, actions.join(QLatin1Char(','))}.join(QLatin1Char('|')));
        return uint(shown.size());
    }
};

class FakeFileManager : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    explicit FakeFileManager(QObject* parent) : QDBusAbstractAdaptor(parent) { }
    QStringList shown;

public slots:
    void ShowItems(const QStringList& uris, const QString&) { shown += uris; }
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
        // The private bus is the program's system bus too, with logind on it.
        login = new FakeLogin(&loginHolder);
        ASSERT_TRUE(bus.registerObject(
            QStringLiteral("/org/freedesktop/login1"), &loginHolder, QDBusConnection::ExportAdaptors));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.login1")));
        notifications = new FakeNotifications(&notificationsHolder);
        ASSERT_TRUE(bus.registerObject(
            QStringLiteral("/org/freedesktop/Notifications"), &notificationsHolder, QDBusConnection::ExportAdaptors));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        fileManager = new FakeFileManager(&fileManagerHolder);
        ASSERT_TRUE(bus.registerObject(
            QStringLiteral("/org/freedesktop/FileManager1"), &fileManagerHolder, QDBusConnection::ExportAdaptors));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.FileManager1")));

        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + number);
        env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // The menu is found by its English text, whatever this machine speaks.
        env_.insert(QStringLiteral("LANGUAGE"), QStringLiteral("en"));
        env_.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        env_.insert(QStringLiteral("HOME"), home_.path());
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/.config"));
        env_.insert(QStringLiteral("XDG_DATA_HOME"), home_.path() + QStringLiteral("/.local/share"));
        env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
        env_.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        env_.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
        env_.insert(
            QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" TRAYTAPE_SOURCE_DIR "/tests/app/lsan.supp"));
        ASSERT_TRUE(start(app_));
        ASSERT_TRUE(QTest::qWaitFor([&] { return watcher->items.size() == 2; }, 20000)) << "both items register";
    }

    bool start(QProcess& program, const QStringList& arguments = {}, const QProcessEnvironment& env = {})
    {
        program.setProcessEnvironment(env.isEmpty() ? env_ : env);
        program.setProcessChannelMode(arguments.isEmpty() ? QProcess::ForwardedChannels : QProcess::MergedChannels);
        program.start(QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape"), arguments);
        return program.waitForStarted(5000);
    }
    // `traytape <argument>` against the running program: its exit status and what it printed.
    std::pair<int, QString> command(const QString& argument, const QProcessEnvironment& env = {})
    {
        QProcess client;
        if (!start(client, {argument}, env)
            || !QTest::qWaitFor([&] { return client.state() == QProcess::NotRunning; }, 20000))
            return {-1, QStringLiteral("did not end")};
        return {client.exitCode(), QString::fromLocal8Bit(client.readAll()).trimmed()};
    }
    // The items in the stored list: its lines but the first.
    QByteArray libraryList() const
    {
        QFile list(home_.path() + QStringLiteral("/.local/share/traytape/library"));
        return list.open(QIODevice::ReadOnly) ? list.readAll() : QByteArray();
    }
    int libraryItems() const { return int(libraryList().count("\nfile://")); }

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
    QObject loginHolder;
    FakeLogin* login = nullptr;  // owned by loginHolder
    QObject notificationsHolder, fileManagerHolder;
    FakeNotifications* notifications = nullptr;  // owned by notificationsHolder
    FakeFileManager* fileManager = nullptr;      // owned by fileManagerHolder
};

}  // namespace

TEST_F(TrayEndToEnd, TheExportedMenuAndCommandsRecordIntoTheLibraryAndOneCopyRunsAtATime)
{
    ASSERT_NO_FATAL_FAILURE(launch());
    QTest::qWait(2000);  // an idle sound server may take a second or two to deliver its first block
    auto tone = server_->playTone("e2e_speakers", 440, 0.2);
    // Playing before the take begins: a player started on a busy machine may take a second to.
    ASSERT_TRUE(tone && server_->waitForTone("e2e_speakers", 440, 0.2));
    // The entry is chosen as soon as the exported menu answers with it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return clickMenuEntry(QStringLiteral("Start Record")); }, 10000))
        << "the menu is exported";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recordings().isEmpty(); }, 5000))
        << "choosing Start Record in the exported menu starts a recording";

    QTest::qWait(2000);  // the recording's length
    EXPECT_TRUE(QTest::qWaitFor([&] { return clickMenuEntry(QStringLiteral("Stop Record")); }, 10000));
    tone->stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return libraryItems() == 1; }, 5000))
        << "the stopped recording is in the stored library";
    const DecodedFile sound = decodeFile((folder() + QLatin1Char('/') + recordings()[0]).toStdString());
    ASSERT_GT(sound.frames(), 44100u);
    EXPECT_GT(toneAmplitude(sound.channels[0], 44100, 440, 4410, sound.frames() - 4410), 0.1);
    // Shown in the file manager, and told in a notification whose "Show in
    // File Manager" shows it again; another program's notification is not ours.
    const QString file = QUrl::fromLocalFile(folder() + QLatin1Char('/') + recordings()[0]).toString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications->shown.size() == 1; }, 5000));
    EXPECT_EQ(notifications->shown[0],
        QStringLiteral("Recording saved|%1|open,Open,reveal,Show in File Manager").arg(recordings()[0]));
    EXPECT_TRUE(QTest::qWaitFor([&] { return fileManager->shown == QStringList{file}; }, 5000));
    for (const uint id : {7u, 1u}) {
        QDBusMessage invoked = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
        invoked << id << QStringLiteral("reveal");
        ASSERT_TRUE(bus.send(invoked));
    }
    const auto shownTwice = [&] { return fileManager->shown == QStringList{file, file}; };
    EXPECT_TRUE(QTest::qWaitFor(shownTwice, 5000)) << fileManager->shown.join(' ').toStdString();
    QTest::qWait(300);
    EXPECT_EQ(fileManager->shown.size(), 2) << "once, for our notification only";
    notifications->capabilities = QStringList{QStringLiteral("body")};  // from here on, a server without actions

    // Commands from other processes, each answered once done or refused with
    // the reason; a take, paused or not, keeps the computer from sleeping.
    // A plain second start hands over to the running program and leaves.
    struct Step {
        const char* argument;
        int exitCode;
        const char* says;  // the start of what it prints
        int sleepLocks;    // held once it returns
    };
    const Step steps[] = {
        {"", 0, "", 0}, {"--status", 0, "idle", 0}, {"--pause", 2, "traytape --pause: not recording", 0},
        {"--start-at=23:59", 0, "scheduled 23:59", 0}, {"--status", 0, "scheduled 23:59", 0},
        {"--start-at=off", 0, "", 0}, {"--start-at=9", 2, "traytape --start-at 9: not a time of day", 0},
        {"--mark", 2, "traytape --mark: not recording", 0}, {"--start-recording", 0, "", 1}, {"--mark", 0, "", 1},
        {"--status", 0, "recording ", 1}, {"--start-recording", 2, "traytape --start-recording: already recording", 1},
        {"--pause", 0, "", 1}, {"--status", 0, "paused ", 1}, {"--pause", 2, "traytape --pause: already paused", 1},
        {"--resume", 0, "", 1}, {"--toggle-recording", 0, "", 0},
        {"--stop-recording", 2, "traytape --stop-recording: not recording", 0}, {"--show-library", 0, "", 0},
        {"--toggle-recording", 0, "", 1}, {"--stop-recording", 0, "", 0}, {"--start-recording", 0, "", 1},
        {"--help", 0, "usage: traytape [COMMAND]\n", 1}, {"--version", 0, "traytape " TRAYTAPE_VERSION, 1},
        {"--bogus", 2, "traytape: unknown option --bogus", 1}, {"--pause", 0, "", 1},  // a crash comes next
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.argument);
        const auto [exitCode, said] = command(QString::fromLatin1(step.argument));
        EXPECT_EQ(exitCode, step.exitCode) << said.toStdString();
        EXPECT_EQ(said.toStdString().rfind(step.says, 0), 0u) << said.toStdString();
        EXPECT_TRUE(step.exitCode == 0 || !said.contains(QLatin1Char('\n'))) << "one line: " << said.toStdString();
        if (said.startsWith(QLatin1String("recording ")) || said.startsWith(QLatin1String("paused "))) {
            EXPECT_TRUE(said.contains(folder())) << said.toStdString();
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return login->held() == step.sleepLocks; }, 5000)) << login->held();
        EXPECT_EQ(app_.state(), QProcess::Running);
    }
    EXPECT_EQ(login->request, QStringLiteral("sleep|TrayTape|TrayTape is recording|block"));
    EXPECT_EQ(notifications->shown.filter(QStringLiteral("reveal")).size(), 1) << "no actions where none are taken";
    EXPECT_TRUE(QTest::qWaitFor([&] { return libraryItems() == 3; }, 10000)) << libraryItems();
    EXPECT_EQ(libraryList().count("\n# markers "), 1) << "--mark's, with the take it marked";

    // A crash while paused: the next start offers the file back.
    app_.kill();
    ASSERT_TRUE(app_.waitForFinished(10000));
    ASSERT_TRUE(start(app_));
    EXPECT_TRUE(QTest::qWaitFor([&] { return watcher->items.size() == 4; }, 20000)) << "the items come back";
    EXPECT_TRUE(QTest::qWaitFor([&] { return libraryItems() == 4; }, 20000)) << libraryItems();

    // A termination signal while paused completes the file, then ends the program cleanly.
    EXPECT_EQ(command(QStringLiteral("--start-recording")).first, 0);
    // Paused once audio is in it: a take of no audio at all leaves no file.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !command(QStringLiteral("--status")).second.startsWith(QLatin1String("recording 0.0 ")); }, 10000));
    EXPECT_EQ(command(QStringLiteral("--pause")).first, 0);
    ::kill(pid_t(app_.processId()), SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app_.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app_.exitCode(), 0);
    EXPECT_EQ(libraryItems(), 5);
    EXPECT_EQ(login->held(), 0);
    EXPECT_EQ(command(QStringLiteral("--status")),
        std::make_pair(1, QStringLiteral("traytape --status: TrayTape is not running")));

    // Help and the version need neither a display nor an instance; an unknown option is refused as above.
    QProcessEnvironment headless = env_;
    headless.remove(QStringLiteral("DISPLAY"));
    EXPECT_EQ(command(QStringLiteral("--version"), headless),
        std::make_pair(0, QStringLiteral("traytape " TRAYTAPE_VERSION)));
    const auto [helped, help] = command(QStringLiteral("-h"), headless);
    EXPECT_EQ(helped, 0);
    EXPECT_TRUE(help.startsWith(QLatin1String("usage: traytape [COMMAND]"))
        && help.contains(QLatin1String("--toggle-recording")))
        << help.toStdString();
    EXPECT_EQ(command(QStringLiteral("--bogus"), headless),
        std::make_pair(2, QStringLiteral("traytape: unknown option --bogus (traytape --help lists them)")));
}

#include "TrayEndToEndTest.moc"
