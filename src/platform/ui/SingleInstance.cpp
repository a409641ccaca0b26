#include "platform/ui/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

// How long a later start waits for the first one to answer; the first may
// still be starting up (it takes the lock before it listens).
constexpr int kHandOverMilliseconds = 5000;
constexpr int kRetryMilliseconds = 50;

QString instanceFolder(const QString& folder)
{
    if (!folder.isEmpty())
        return folder;
    // Private to the user (mode 0700), unlike the shared temporary folder.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

bool askToComeForward(const QString& path)
{
    const QDeadlineTimer deadline(kHandOverMilliseconds);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(path);
        if (socket.waitForConnected(kRetryMilliseconds * 4)) {
            socket.write("show\n");
            const bool sent = socket.waitForBytesWritten(kHandOverMilliseconds);
            socket.disconnectFromServer();
            return sent;
        }
        QThread::msleep(kRetryMilliseconds);
    }
    return false;
}

}  // namespace

SingleInstance::SingleInstance(const QString& name, const QString& folder)
    : socketPath_(QDir(instanceFolder(folder)).filePath(name + QStringLiteral(".socket"))),
      lock_(QDir(instanceFolder(folder)).filePath(name + QStringLiteral(".lock")))
{ }

SingleInstance::~SingleInstance()
{
    if (server_)
        server_->close();
}

SingleInstance::Claim SingleInstance::claim()
{
    if (!lock_.tryLock(0))
        return askToComeForward(socketPath_) ? Claim::HandedOver : Claim::Unreachable;

    server_ = std::make_unique<QLocalServer>();
    // With an access option Qt binds the socket in a private folder and
    // renames it over the path, so a socket file left by a run that crashed
    // is replaced rather than refusing the address.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath_))
        qWarning("TrayTape: cannot listen on %s: %s", qPrintable(socketPath_), qPrintable(server_->errorString()));
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            emit activated();
        }
    });
    return Claim::First;
}
