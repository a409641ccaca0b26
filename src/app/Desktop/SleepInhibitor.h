// Keeps the computer from suspending while a take runs: holds a logind
// "sleep" inhibitor lock (org.freedesktop.login1.Manager.Inhibit over the
// system bus), which lasts as long as the file descriptor logind hands back
// stays open. Without logind (no system bus, a refused call) nothing is held
// and nothing is said: recording goes on as before.
//
// Main thread. The application controller owns it.
#pragma once

#include <QObject>

class QDBusPendingCallWatcher;

class SleepInhibitor : public QObject {
    Q_OBJECT

public:
    explicit SleepInhibitor(QObject* parent = nullptr);
    ~SleepInhibitor() override;

    // Asks for the lock unless it is held or asked for; returns at once.
    void hold();
    // Lets the lock go, or drops the answer of a request still under way.
    void release();
    bool isHeld() const { return fd_ >= 0; }

private:
    bool wanted_ = false;
    QDBusPendingCallWatcher* pending_ = nullptr;  // child of this while a request runs
    int fd_ = -1;                                 // the lock; owned
};
