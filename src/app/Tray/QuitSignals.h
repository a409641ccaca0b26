// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread, so
// that being ended from outside takes the same path as the Quit command (a
// running recording is completed first).
//
// The handler only writes one byte into a socket pair (async-signal-safe);
// the main thread's event loop reads it through a QSocketNotifier. One
// instance per process, owned by whoever installs it (main), main thread.
#pragma once

#include <QObject>

class QSocketNotifier;

class QuitSignals : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    // Puts the previous handlers back.
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    bool isInstalled() const { return notifier_ != nullptr; }

signals:
    void quitRequested(int signalNumber);

private:
    void readPending();

    QSocketNotifier* notifier_ = nullptr;  // child of this
};
