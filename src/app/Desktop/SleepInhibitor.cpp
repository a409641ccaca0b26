#include "Desktop/SleepInhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

SleepInhibitor::SleepInhibitor(QObject* parent) : QObject(parent) { }

SleepInhibitor::~SleepInhibitor()
{
    release();
}

void SleepInhibitor::hold()
{
    wanted_ = true;
    if (isHeld() || pending_)
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("TrayTape")
         << QCoreApplication::translate("SleepInhibitor", "TrayTape is recording") << QStringLiteral("block");
    // Asynchronous: a slow or hung system bus must not stall the menu that started the take.
    pending_ = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(pending_, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* watcher) {
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        pending_ = nullptr;
        watcher->deleteLater();
        if (!wanted_ || reply.isError() || !reply.value().isValid())
            return;
        // A copy of our own: the reply's copies close when the watcher goes.
        fd_ = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    });
}

void SleepInhibitor::release()
{
    wanted_ = false;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}
