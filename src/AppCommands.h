// The commands other processes send to the running app (see
// SingleInstance::kCommands): each does what the same menu entry does, and
// the caller hears whether it was done.
//
// Main thread only, called by AppDelegate::obeyCommand. It reaches into the
// controller as a friend so a command runs the very steps the menu runs,
// never a second copy of them.
#pragma once

#include <QCoreApplication>
#include <QString>

class AppDelegate;

// Whether a command was done, and what to print (the state, or why it could not be done).
struct CommandAnswer {
    bool done = false;
    QString text;
};

class AppCommands {
    Q_DECLARE_TR_FUNCTIONS(AppCommands)

public:
    static CommandAnswer obey(AppDelegate& app, const QString& command);
};
