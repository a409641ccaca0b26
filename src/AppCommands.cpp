#include "AppCommands.h"

#include "AppDelegate.h"

CommandAnswer AppCommands::obey(AppDelegate& app, const QString& command)
{
    if (!app.session_)
        return {false, tr("still starting")};
    RecordSession& session = *app.session_;
    const RecordSession::State state = session.state();
    const auto refused = [](const QString& why) { return CommandAnswer{false, why}; };
    if (command == QLatin1String("status")) {
        if (state == RecordSession::State::Idle)
            return {true, QStringLiteral("idle")};
        return {true,
            QStringLiteral("%1 %2 %3")
                .arg(state == RecordSession::State::Paused ? QStringLiteral("paused") : QStringLiteral("recording"))
                .arg(app.audioRecord_->audioLength(), 0, 'f', 1)
                .arg(QString::fromStdString(session.path().value_or("")))};
    }
    if (command == QLatin1String("show-library")) {
        if (!app.audioLibraryWnd_)
            return refused(tr("the library is not available"));
        app.showAudioibiary();
        return {true, {}};
    }
    const bool idle = state == RecordSession::State::Idle;
    if (command == QLatin1String("start-recording") && !idle)
        return refused(tr("already recording"));
    if ((command == QLatin1String("stop-recording") || command == QLatin1String("pause")
            || command == QLatin1String("resume"))
        && idle)
        return refused(tr("not recording"));
    if (command == QLatin1String("pause") && state == RecordSession::State::Paused)
        return refused(tr("already paused"));
    if (command == QLatin1String("resume") && state == RecordSession::State::Recording)
        return refused(tr("not paused"));
    if (command == QLatin1String("pause") || command == QLatin1String("resume")) {
        app.pauseAndResumeRecord();
        return {true, {}};
    }
    if (command == QLatin1String("toggle-recording") || command == QLatin1String("start-recording")
        || command == QLatin1String("stop-recording")) {
        // What went wrong is answered to the caller, and told on the desktop as from the menu.
        QString why;
        const auto connection = QObject::connect(
            &app, &AppDelegate::userNotified, &app, [&why](const QString&, const QString& message) { why = message; },
            Qt::DirectConnection);
        app.startAndStopRecord();
        QObject::disconnect(connection);
        if (idle && !session.isActive())
            return refused(why.isEmpty() ? tr("the recording could not start") : why);
        return {true, {}};
    }
    return refused(tr("unknown command"));
}
