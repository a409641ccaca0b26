#include "platform/ui/Workspace.h"

#include <QDBusConnection>
#include <QDBusMessage>
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
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage)
        QDesktopServices::openUrl(QUrl::fromLocalFile(info.absolutePath()));
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
