// A minimal StatusNotifierItem host for the tray soak: it owns
// org.kde.StatusNotifierWatcher on the session bus it is started on, so Qt
// chooses the D-Bus tray protocol, and, as a panel does, reads an item's
// IconPixmap again every time the item announces NewIcon. Prints "ready"
// once the name is owned, then one line per registered item; on SIGTERM it
// prints how many icons it fetched.
//   status_notifier_host   (with DBUS_SESSION_BUS_ADDRESS set)
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2];

class Watcher : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    explicit Watcher(QObject* parent) : QDBusAbstractAdaptor(parent) { }
    QStringList registeredStatusNotifierItems() const { return items_; }
    bool isStatusNotifierHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    int fetched() const { return fetched_; }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        const QString path = service.startsWith(QLatin1Char('/')) ? service : QStringLiteral("/StatusNotifierItem");
        items_.append(message.service() + path);
        QDBusConnection::sessionBus().connect(message.service(), path, QStringLiteral("org.kde.StatusNotifierItem"),
            QStringLiteral("NewIcon"), this, SLOT(fetchIcon(QDBusMessage)));
        std::printf("item %s\n", qPrintable(items_.last()));
        std::fflush(stdout);
        emit StatusNotifierItemRegistered(items_.last());
    }
    void RegisterStatusNotifierHost(const QString&) { }

    void fetchIcon(const QDBusMessage& signal)
    {
        QDBusMessage get = QDBusMessage::createMethodCall(
            signal.service(), signal.path(), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("IconPixmap");
        auto* call = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get), this);
        connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
            fetched_ += done->isError() ? 0 : 1;
            done->deleteLater();
        });
    }

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();

private:
    QStringList items_;
    int fetched_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QObject root;
    auto* watcher = new Watcher(&root);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &root, QDBusConnection::ExportAdaptors)
        || !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "cannot own org.kde.StatusNotifierWatcher: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe);
    std::signal(SIGTERM, [](int) { (void)!::write(signalPipe[0], "x", 1); });
    QSocketNotifier ending(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&ending, &QSocketNotifier::activated, &app, [&] {
        std::printf("fetched %d icons\n", watcher->fetched());
        std::fflush(stdout);
        app.quit();
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "status_notifier_host.moc"
