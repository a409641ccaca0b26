#include "Desktop/Workspace.h"

#include "Desktop/NotificationActions.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QWidget>

namespace {
Workspace* installed = nullptr;
}

Workspace& Workspace::shared()
{
    static Workspace desktop;
    return installed ? *installed : desktop;
}

void Workspace::setShared(Workspace* workspace)
{
    installed = workspace;
}

void Workspace::revealInFileManager(const QString& path)
{
    const QFileInfo info(path);
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(info.absoluteFilePath()).toString()} << QString();
    // Asked without waiting: a file manager that is slow to start must not
    // stall the level meter and the recorded-time clock on this thread. The
    // application owns the watcher, so one still pending at quit goes with it.
    const QUrl folder = QUrl::fromLocalFile(info.absolutePath());
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(call, 5000), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [folder](QDBusPendingCallWatcher* w) {
        if (w->isError())
            QDesktopServices::openUrl(folder);
        w->deleteLater();
    });
}

bool Workspace::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

void Workspace::raiseAboveOtherApps(QWidget* window)
{
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}

void Workspace::offerRecording(const QString& title, const QString& message, const QString& path)
{
    NotificationActions::shared().offerRecording(title, message, path);
}

void Workspace::notify(const QString& title, const QString& message)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("org.traytape.TrayTape")},
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))}};
    call << QStringLiteral("TrayTape") << 0u << QStringLiteral("org.traytape.TrayTape") << title << message
         << QStringList() << hints << -1;
    // Not waited for: nothing here depends on the answer.
    QDBusConnection::sessionBus().asyncCall(call, 5000);
}
