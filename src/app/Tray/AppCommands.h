// The commands other processes send to the running app (see
// SingleInstance::kCommands): each does what the same menu entry does, and
// the caller hears whether it was done.
//
// Main thread only, called by AppDelegate::obeyCommand, which hands over the
// very steps the menu runs, so a command never runs a second copy of them.
#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

class RecordSession;

// Whether a command was done, and what to print (the state, or why it could not be done).
struct CommandAnswer {
    bool done = false;
    QString text;
};

// What a command acts on: the tray's session and its menu's steps.
struct CommandSteps {
    RecordSession* session = nullptr;  // none while the app is starting
    std::function<double()> recordedSeconds;
    bool hasLibrary = false;
    std::function<void()> showLibrary;
    std::function<void()> pauseOrResume;
    std::function<void()> addMarker;
    // "Start At…": when a take is to start, and the menu's step that sets or cancels it.
    std::function<std::optional<QDateTime>()> scheduledStart;
    std::function<void(const QTime&)> scheduleStart;
    // Starts or stops as the menu entry does; what went wrong, as told on the desktop.
    std::function<QString()> startOrStop;
};

class AppCommands {
    Q_DECLARE_TR_FUNCTIONS(AppCommands)

public:
    static CommandAnswer obey(const CommandSteps& app, const QString& command);
};
