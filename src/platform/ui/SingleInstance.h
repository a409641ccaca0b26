// One TrayTape per user: the first start listens on a local socket in the
// user's runtime folder; a later start finds it, asks it to come forward and
// ends. A lock file beside the socket decides who is first, so two starts at
// the same moment cannot both win; the lock and socket of a run that crashed
// are taken over rather than obeyed.
//
// Main thread. main owns it for the whole run.
#pragma once

#include <QLockFile>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

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
};
