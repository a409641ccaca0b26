// The tray application: builds the application controller from the main
// interface file, runs its two launch hooks in order and the event loop.
// Given one of the commands below, it is instead a client of the running
// instance: it hands the command over, prints the answer and ends. --help
// and --version answer by themselves, before any display or instance is
// looked for; any other option is refused before either is.
#include "Tray/AppDelegate.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "Tray/QuitSignals.h"
#include "Tray/AccessibleViews.h"
#include "platform/pulse/PulsePlatform.h"
#include "platform/TerminalText.h"
#include "Desktop/SingleInstance.h"
#include "Desktop/Translations.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace {

const char kInstanceName[] = "org.traytape.TrayTape";

constexpr char kUsage[] = R"(usage: traytape [COMMAND]
Starts TrayTape in the system tray, or brings the one running forward.

Commands to the TrayTape that runs:
  --status             print "idle", or "recording" or "paused" with the
                       seconds recorded and the file
  --start-recording    start a recording
  --stop-recording     stop the recording; it goes to the library
  --toggle-recording   start a recording, or stop the one running
  --pause              pause the recording
  --resume             resume the paused recording
  --mark               add a marker to the recording where it is now
  --show-library       bring the library window forward
  --start-at HH:MM     start a recording the next time the clock reads HH:MM
                       (today or tomorrow; "off" cancels); nothing is recorded
                       unless TrayTape is running then. --status then prints
                       "scheduled HH:MM"
  --show               bring the recording panel forward (starts TrayTape
                       when none runs)

  -h, --help           print this help and exit
  --version            print the version and exit

A command exits with 0 once done, 1 when TrayTape is not running, and 2 when
it could not be done, printing why. Qt's own options (-platform, -style,
-session, ...) are handed to Qt.
)";

// Qt reads these itself (with one dash or two, a value after "=" or as the
// next argument); a session manager restarts the program with -session.
constexpr std::string_view kQtOptionsWithValue[]
    = {"platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger", "qwindowgeometry", "qwindowicon",
        "qwindowtitle", "session", "display", "name", "title", "geometry", "style", "stylesheet"};
constexpr std::string_view kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

template <std::size_t N> bool listed(const std::string_view (&names)[N], std::string_view name)
{
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// What the arguments ask for: a line to print and the exit status, or (none)
// to go on with `command` (empty: start, or bring the running one forward).
std::optional<int> readArguments(int argc, char** argv, QString& command)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("traytape %s\n", TRAYTAPE_VERSION);
            return 0;
        }
        if (argument.size() < 2 || argument[0] != '-')
            continue;
        const std::string_view name = argument.substr(argument[1] == '-' ? 2 : 1);
        const QString asked = QString::fromLocal8Bit(name.data(), qsizetype(name.size()));
        // The one command with a value: "--start-at 14:30" or "--start-at=14:30".
        if (argument.starts_with("--start-at")) {
            const std::string_view value = argument == "--start-at" && i + 1 < argc ? std::string_view(argv[++i])
                : argument.starts_with("--start-at=")                               ? argument.substr(11)
                                                                                    : std::string_view();
            if (value.empty() || value.find(' ') != std::string_view::npos) {
                std::fprintf(stderr, "traytape: --start-at needs a time, HH:MM\n");
                return 2;
            }
            if (command.isEmpty())
                command = QStringLiteral("start-at ") + QString::fromLocal8Bit(value.data(), qsizetype(value.size()));
            continue;
        }
        if (argument.starts_with("--") && SingleInstance::kCommands.contains(asked)) {
            if (command.isEmpty())
                command = asked;
            continue;
        }
        const std::string_view bare = name.substr(0, name.find('='));
        if (listed(kQtOptionsWithValue, bare)) {
            i += bare.size() == name.size() ? 1 : 0;
            continue;
        }
        if (listed(kQtFlags, name))
            continue;
        std::fprintf(
            stderr, "traytape: unknown option %s (traytape --help lists them)\n", terminalText(argument).c_str());
        return 2;
    }
    return std::nullopt;
}

// Exit status: 0 done, 1 no TrayTape runs, 2 the running one could not do it.
int sendToRunningInstance(int argc, char** argv, const QString& command)
{
    // No display is needed to ask: a script over ssh may ask too.
    QCoreApplication client(argc, argv);
    const Translations translations;
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
    QString command;
    if (const std::optional<int> answered = readArguments(argc, argv, command))
        return *answered;
    if (!command.isEmpty() && command != QLatin1String("show"))
        return sendToRunningInstance(argc, argv, command);

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("traytape"));
    QCoreApplication::setApplicationName(QStringLiteral("TrayTape"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.traytape.TrayTape"));
    // LANGUAGE, LC_ALL, LC_MESSAGES and LANG, as the desktop's other programs read them.
    const Translations translations;

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
    installAccessibleViews();
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
