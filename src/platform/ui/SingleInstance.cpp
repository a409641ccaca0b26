#include "platform/ui/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>

namespace {

// How long a later start waits for the first one to answer; the first may
// still be starting up (it takes the lock before it listens).
constexpr int kHandOverMilliseconds = 5000;
constexpr int kRetryMilliseconds = 50;
// A request is one short line, and past this many clients at once the
// longest connected is dropped, so no client can make the server hold much.
constexpr qint64 kMaxRequestBytes = 64;
constexpr int kMaxClients = 16;
// How soon a server closed by a failed accept (too many open files) listens again.
constexpr int kRelistenMilliseconds = 1000;

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
      lockPath_(QDir(instanceFolder(folder)).filePath(name + QStringLiteral(".lock"))),
      lock_(lockPath_)
{ }

SingleInstance::~SingleInstance()
{
    if (server_)
        server_->close();
}

SingleInstance::Claim SingleInstance::claim()
{
    // The lock is opened to read who holds it: a FIFO there would block that open for good.
    struct stat st { };
    if (::lstat(QFile::encodeName(lockPath_).constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        qWarning("TrayTape: %s is not a lock file", qPrintable(lockPath_));
        return Claim::Unreachable;
    }
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
            // The newest start is the one to answer: the longest connected make way.
            clients_.removeAll(nullptr);
            while (clients_.size() >= kMaxClients)
                clients_.takeFirst()->abort();
            clients_.append(socket);
            // Nothing is read: what a client sends beyond this stays in the kernel's buffer.
            socket->setReadBufferSize(kMaxRequestBytes);
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            emit activated();
        }
    });
    // A failed accept closes the server and removes its socket: listen again,
    // or every later start would take this instance for a dead one.
    relisten_.setInterval(kRelistenMilliseconds);
    connect(&relisten_, &QTimer::timeout, this, [this] {
        if (!server_->isListening())
            server_->listen(socketPath_);
    });
    relisten_.start();
    return Claim::First;
}
