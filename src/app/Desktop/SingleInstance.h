// One TrayTape per user: the first start listens on a local socket in the
// user's runtime folder; a later start finds it, asks it to come forward and
// ends. A lock file beside the socket decides who is first, so two starts at
// the same moment cannot both win; the lock and socket of a run that crashed
// are taken over rather than obeyed.
//
// The same channel carries commands to the running instance (start, pause,
// status…): one line each way, a request of at most a short line naming one
// of kCommands, an answer "0 text" (done) or "2 reason" (refused). Only the
// user who runs the instance reaches it: the folder is private, the socket
// is the user's alone, and the peer's user is checked on every connection.
//
// Main thread. main owns it for the whole run.
#pragma once

#include <QLockFile>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;

class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Claim {
        First,        // this is the one instance: run
        HandedOver,   // a running instance was asked to come forward: end quietly
        Unreachable,  // another instance holds the lock but does not answer
    };

    // `folder` holds the lock and the socket; empty means the user's runtime folder.
    explicit SingleInstance(const QString& name, const QString& folder = QString());
    ~SingleInstance() override;

    Claim claim();
    // The commands the channel accepts; anything else is refused unread.
    static const QStringList kCommands;
    // Main thread: runs an accepted command other than "show"; true when done, with what to answer.
    using CommandHandler = std::function<bool(const QString& command, QString& answer)>;
    void setCommandHandler(CommandHandler handler) { handler_ = std::move(handler); }

    enum class Sent { Done, Refused, NotRunning };
    // From another process: sends one command to the running instance and
    // waits for its answer (the text printed, or why it was refused).
    static Sent sendCommand(
        const QString& name, const QString& command, QString& answer, const QString& folder = QString());
    QString socketPath() const { return socketPath_; }

signals:
    // A later start asked this instance to come forward.
    void activated();

private:
    QString socketPath_;
    QString lockPath_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
    QList<QPointer<QLocalSocket>> clients_;  // connected now, oldest first; owned by server_
    QTimer relisten_;
    CommandHandler handler_;

    void answer(QLocalSocket* socket);
};
