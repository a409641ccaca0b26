// The tray application: builds the application controller from the main
// interface file, runs its two launch hooks in order and the event loop.
#include "AppDelegate.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "QuitSignals.h"
#include "View/AccessibleViews.h"
#include "platform/pulse/PulsePlatform.h"
#include "platform/ui/SingleInstance.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("traytape"));
    QCoreApplication::setApplicationName(QStringLiteral("TrayTape"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.traytape.TrayTape"));

    // A second copy would add two more tray icons and a second capture, and
    // whichever quit first would remove the shared system-audio source under
    // the other: hand over to the running one instead.
    SingleInstance instance(QStringLiteral("org.traytape.TrayTape"));
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
    installAccessibleViews();
    AppDelegate delegate;
    delegate.setAudioLibraryFactory([] { return std::make_unique<AudioLibraryWnd>(); });
    QObject::connect(&instance, &SingleInstance::activated, &delegate, [&delegate] { delegate.showRecordingPanel(); });
    // Being ended from outside completes a running recording, as Quit does.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &delegate, [&delegate] { delegate.quitTheApp(); });

    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
