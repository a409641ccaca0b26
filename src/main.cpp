// The tray application: builds the application controller from the main
// interface file, runs its two launch hooks in order and the event loop.
#include "AppDelegate.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "QuitSignals.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("traytape"));
    QCoreApplication::setApplicationName(QStringLiteral("TrayTape"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.traytape.TrayTape"));

    AppDelegate delegate;
    delegate.setAudioLibraryFactory([] { return std::make_unique<AudioLibraryWnd>(); });
    // Being ended from outside completes a running recording, as Quit does.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &delegate, [&delegate] { delegate.quitTheApp(); });

    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
