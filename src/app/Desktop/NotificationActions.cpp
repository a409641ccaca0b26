#include "Desktop/NotificationActions.h"

#include "Desktop/Workspace.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kOpen = QStringLiteral("open");
const QString kReveal = QStringLiteral("reveal");
// No answer within this is no answer: nothing waits on it.
constexpr int kCallMilliseconds = 5000;

}  // namespace

NotificationActions& NotificationActions::shared()
{
    static NotificationActions* one = new NotificationActions(QCoreApplication::instance());
    return *one;
}

NotificationActions::NotificationActions(QObject* parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
    bus.connect(
        kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
}

void NotificationActions::offerRecording(const QString& title, const QString& message, const QString& path)
{
    // Asked each time: the notification server may be another by now.
    const QDBusMessage capabilities
        = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    auto* watcher
        = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(capabilities, kCallMilliseconds), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [=, this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QStringList> reply = *w;
        if (!reply.isError() && reply.value().contains(QStringLiteral("actions")))
            send(title, message, path);
    });
}

void NotificationActions::send(const QString& title, const QString& message, const QString& path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("org.traytape.TrayTape")}};
    call << QStringLiteral("TrayTape") << 0u << QStringLiteral("org.traytape.TrayTape") << title << message
         << QStringList{kOpen, tr("Open"), kReveal, tr("Show in File Manager")} << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kCallMilliseconds), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, path](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            return;
        paths_.insert(reply.value(), path);
        for (qsizetype i = 0; i < early_.size();) {
            if (early_[i].first == reply.value())
                act(path, early_.takeAt(i).second);
            else
                ++i;
        }
    });
}

void NotificationActions::actionInvoked(uint id, const QString& action)
{
    const auto found = paths_.constFind(id);
    if (found != paths_.constEnd()) {
        act(*found, action);
        return;
    }
    // Another program's notification, or ours before the server's answer.
    early_.append({id, action});
    if (early_.size() > 8)
        early_.removeFirst();
}

void NotificationActions::act(const QString& path, const QString& action)
{
    if (action == kOpen)
        Workspace::shared().openUrl(QUrl::fromLocalFile(path));
    else if (action == kReveal)
        Workspace::shared().revealInFileManager(path);
}

void NotificationActions::notificationClosed(uint id, uint)
{
    paths_.remove(id);
}
