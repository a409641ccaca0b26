// The tray application: builds the application controller from the main
// interface file, runs its two launch hooks in order and the event loop.
// Given one of the commands below, it is instead a client of the running
// instance: it hands the command over, prints the answer and ends.
#include "AppDelegate.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "QuitSignals.h"
#include "platform/pulse/PulsePlatform.h"
#include "platform/ui/SingleInstance.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

const char kInstanceName[] = "org.traytape.TrayTape";

// Exit status: 0 done, 1 no TrayTape runs, 2 the running one could not do it.
int sendToRunningInstance(int argc, char** argv, const QString& command)
{
    // No display is needed to ask: a script over ssh may ask too.
    QCoreApplication client(argc, argv);
    QString answer;
    switch (SingleInstance::sendCommand(QLatin1String(kInstanceName), command, answer)) {
    case SingleInstance::Sent::Done:
        if (!answer.isEmpty())
            std::printf("%s\n", answer.toLocal8Bit().constData());
        return 0;
    case SingleInstance::Sent::Refused:
        std::fprintf(stderr, "traytape --%s: %s\n", qPrintable(command), answer.toLocal8Bit().constData());
        return 2;
    case SingleInstance::Sent::NotRunning:
        break;
    }
    std::fprintf(stderr, "traytape --%s: %s\n", qPrintable(command), answer.toLocal8Bit().constData());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) != 0)
            continue;
        const QString command = QString::fromLocal8Bit(argv[i] + 2);
        if (command != QLatin1String("show") && SingleInstance::kCommands.contains(command))
            return sendToRunningInstance(argc, argv, command);
    }

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("traytape"));
    QCoreApplication::setApplicationName(QStringLiteral("TrayTape"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.traytape.TrayTape"));

    // A second copy would add two more tray icons and a second capture, and
    // whichever quit first would remove the shared system-audio source under
    // the other: hand over to the running one instead.
    SingleInstance instance{QLatin1String(kInstanceName)};
    switch (instance.claim()) {
    case SingleInstance::Claim::First:
        break;
    case SingleInstance::Claim::HandedOver:
        return 0;
    case SingleInstance::Claim::Unreachable:
        std::fputs("TrayTape is already running but does not answer.\n", stderr);
        return 1;
    }

    installPulsePlatform();
    AppDelegate delegate;
    delegate.setAudioLibraryFactory([] { return std::make_unique<AudioLibraryWnd>(); });
    QObject::connect(&instance, &SingleInstance::activated, &delegate, [&delegate] { delegate.showRecordingPanel(); });
    instance.setCommandHandler([&delegate](const QString& command, QString& answer) {
        const AppDelegate::CommandAnswer done = delegate.obeyCommand(command);
        answer = done.text;
        return done.done;
    });
    // Being ended from outside completes a running recording, as Quit does.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &delegate, [&delegate] { delegate.quitTheApp(); });

    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
