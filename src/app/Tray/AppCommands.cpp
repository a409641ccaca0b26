#include "Tray/AppCommands.h"

#include "AudioRecord/RecordSession.h"

CommandAnswer AppCommands::obey(const CommandSteps& app, const QString& command)
{
    if (!app.session)
        return {false, tr("still starting")};
    RecordSession& session = *app.session;
    const RecordSession::State state = session.state();
    const auto refused = [](const QString& why) { return CommandAnswer{false, why}; };
    if (command == QLatin1String("status")) {
        if (const auto at = app.scheduledStart(); at && state == RecordSession::State::Idle)
            return {true, QStringLiteral("scheduled ") + at->toString(QStringLiteral("HH:mm"))};
        if (state == RecordSession::State::Idle)
            return {true, QStringLiteral("idle")};
        if (state == RecordSession::State::Armed)
            return {true, QStringLiteral("armed")};
        return {true,
            QStringLiteral("%1 %2 %3")
                .arg(state == RecordSession::State::Paused ? QStringLiteral("paused") : QStringLiteral("recording"))
                .arg(app.recordedSeconds(), 0, 'f', 1)
                .arg(QString::fromStdString(session.path().value_or("")))};
    }
    if (command == QLatin1String("show-library")) {
        if (!app.hasLibrary)
            return refused(tr("the library is not available"));
        app.showLibrary();
        return {true, {}};
    }
    // Armed, no take runs yet: Record starts one now, and stop disarms.
    const bool idle = state == RecordSession::State::Idle || state == RecordSession::State::Armed;
    if (command.startsWith(QLatin1String("start-at "))) {
        const QString asked = command.mid(9);
        const QTime time = QTime::fromString(asked, QStringLiteral("H:mm"));
        if (asked != QLatin1String("off") && !time.isValid())
            return refused(tr("not a time of day: %1 (HH:MM, or off)").arg(asked));
        app.scheduleStart(time);
        const auto at = app.scheduledStart();
        return {true, at ? QStringLiteral("scheduled ") + at->toString(QStringLiteral("HH:mm")) : QString()};
    }
    if (command == QLatin1String("start-recording") && !idle)
        return refused(tr("already recording"));
    if ((command == QLatin1String("stop-recording") || command == QLatin1String("pause")
            || command == QLatin1String("resume") || command == QLatin1String("mark"))
        && idle)
        return refused(tr("not recording"));
    if (command == QLatin1String("mark")) {
        app.addMarker();
        return {true, {}};
    }
    if (command == QLatin1String("pause") && state == RecordSession::State::Paused)
        return refused(tr("already paused"));
    if (command == QLatin1String("resume") && state == RecordSession::State::Recording)
        return refused(tr("not paused"));
    if (command == QLatin1String("pause") || command == QLatin1String("resume")) {
        app.pauseOrResume();
        return {true, {}};
    }
    if (command == QLatin1String("toggle-recording") || command == QLatin1String("start-recording")
        || command == QLatin1String("stop-recording")) {
        // What went wrong is answered to the caller, and told on the desktop as from the menu.
        const QString why = app.startOrStop();
        if (idle && !session.isActive())
            return refused(why.isEmpty() ? tr("the recording could not start") : why);
        return {true, {}};
    }
    return refused(tr("unknown command"));
}
