// Desktop notifications that offer actions (freedesktop Notifications over
// the session bus): sent only where the server lists the "actions"
// capability, and each answered by the action the user picks, for as long as
// the server keeps the notification.
//
// Main thread. One for the whole run, owned by the application object and
// made on first use; the notifications it sent stay with the server.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class NotificationActions : public QObject {
    Q_OBJECT

public:
    static NotificationActions& shared();

    // A finished recording's notification with "Open" and "Show in File
    // Manager"; nothing where the server takes no actions (the file manager
    // and the library show the file already). Returns at once.
    void offerRecording(const QString& title, const QString& message, const QString& path);

private slots:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    explicit NotificationActions(QObject* parent);
    void send(const QString& title, const QString& message, const QString& path);
    void act(const QString& path, const QString& action);

    QHash<uint, QString> paths_;  // the file each notification still shown acts on, by the server's id
    // Actions on ids not (yet) known: the server's answer to Notify and a
    // click on what it showed may reach us in either order. The newest few.
    QList<QPair<uint, QString>> early_;
};
