#include "Desktop/SingleInstance.h"

#include "platform/TerminalText.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How long a command waits for the instance to do it: starting a recording
// opens a file, the rest returns at once.
constexpr int kAnswerMilliseconds = 10000;

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

// Whether the lock path is something other than a lock file (a FIFO, a
// device, a link): opening it to read who holds it could block for good.
bool isStrangeLock(const QString& lockPath)
{
    struct stat st { };
    return ::lstat(QFile::encodeName(lockPath).constData(), &st) == 0 && !S_ISREG(st.st_mode);
}

// Whether a live process holds the lock: without one nothing answers, and a
// command need not wait for the instance to start listening. The holder's
// pid is read without blocking and without following a link, so a FIFO put
// there after the type was checked cannot hang the command either.
bool instanceRuns(const QString& lockPath)
{
    const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st { };
    char text[32] = {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const ssize_t n = regular ? ::read(fd, text, sizeof text - 1) : -1;
    ::close(fd);
    if (n <= 0)
        return false;
    // The first line is the holder's pid, as the lock's owner writes it.
    const qint64 pid = QByteArray(text, n).split('\n').value(0).trimmed().toLongLong();
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// Whether the peer of a connected socket runs as this process's user.
bool sameUser(QLocalSocket* socket)
{
    struct ucred peer { };
    socklen_t size = sizeof peer;
    return ::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
        && peer.uid == ::geteuid();
}

}  // namespace

const QStringList SingleInstance::kCommands{QStringLiteral("show"), QStringLiteral("status"),
    QStringLiteral("toggle-recording"), QStringLiteral("start-recording"), QStringLiteral("stop-recording"),
    QStringLiteral("pause"), QStringLiteral("resume"), QStringLiteral("show-library"), QStringLiteral("mark"),
    QStringLiteral("start-at")};

SingleInstance::Sent SingleInstance::sendCommand(
    const QString& name, const QString& command, QString& answer, const QString& folder)
{
    const QDir dir(instanceFolder(folder));
    const QString path = dir.filePath(name + QStringLiteral(".socket"));
    const QString lockPath = dir.filePath(name + QStringLiteral(".lock"));
    if (isStrangeLock(lockPath)) {
        answer = tr("TrayTape is not running (%1 is not a lock file)")
                     .arg(QString::fromStdString(terminalText(QFile::encodeName(lockPath).toStdString())));
        return Sent::NotRunning;
    }
    const bool runs = instanceRuns(lockPath);
    // The one that holds the lock may still be starting: give it the hand-over's time to listen.
    const QDeadlineTimer deadline(runs ? kHandOverMilliseconds : 0);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(path);
        if (socket.waitForConnected(kRetryMilliseconds * 4))
            break;
        if (deadline.hasExpired()) {
            answer = runs ? tr("TrayTape is running but does not answer") : tr("TrayTape is not running");
            return Sent::NotRunning;
        }
        QThread::msleep(kRetryMilliseconds);
    }
    socket.write(command.toUtf8() + '\n');
    const QDeadlineTimer answered(kAnswerMilliseconds);
    while (!socket.canReadLine() && socket.state() == QLocalSocket::ConnectedState && !answered.hasExpired())
        socket.waitForReadyRead(int(std::max<qint64>(answered.remainingTime(), 1)));
    const QString line = QString::fromUtf8(socket.readLine(4096)).trimmed();
    if (line.isEmpty()) {
        answer = tr("TrayTape did not answer");
        return Sent::Refused;
    }
    answer = line.mid(2);
    return line.startsWith(QLatin1String("0")) ? Sent::Done : Sent::Refused;
}

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
    if (isStrangeLock(lockPath_)) {
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
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            if (!sameUser(socket)) {
                socket->abort();
                continue;
            }
            clients_.removeAll(nullptr);
            while (clients_.size() >= kMaxClients)
                clients_.takeFirst()->abort();
            clients_.append(socket);
            // What a client sends beyond this stays in the kernel's buffer.
            socket->setReadBufferSize(kMaxRequestBytes);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { answer(socket); });
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

void SingleInstance::answer(QLocalSocket* socket)
{
    const bool whole = socket->canReadLine();
    if (!whole && socket->bytesAvailable() < kMaxRequestBytes)
        return;  // the rest of the line is on its way
    // One request a connection: anything after it is not read.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    const QString command = QString::fromUtf8(socket->readLine(kMaxRequestBytes)).trimmed();
    QString text;
    bool done = false;
    // Only "start-at" takes a word after it, the time.
    const QString name = command.section(QLatin1Char(' '), 0, 0);
    const bool known
        = name == QLatin1String("start-at") ? command.count(QLatin1Char(' ')) == 1 : kCommands.contains(command);
    if (!whole || !known) {
        text = tr("unknown command");
    } else if (command == QLatin1String("show")) {
        done = true;
        emit activated();
    } else if (handler_) {
        done = handler_(command, text);
    } else {
        text = tr("not ready");
    }
    // One line whatever the text holds: a path with a line break in it would
    // cut the answer short, and its control characters reach a terminal.
    socket->write((done ? "0 " : "2 ") + QByteArray::fromStdString(terminalText(text.toStdString())) + '\n');
    socket->disconnectFromServer();
}
