#include "Desktop/Autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString kEntryName = QStringLiteral("org.traytape.TrayTape.desktop");

}  // namespace

namespace Autostart {

QString quotedArgument(const QString& argument)
{
    QString quoted;
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    // A literal percent sign is written twice in Exec.
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    // The file's string escapes are undone before the quoting is read, so every backslash is written twice.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/")
        + kEntryName;
}

bool isEnabled()
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly))
        return false;
    // Session settings switch an entry off this way instead of deleting it.
    while (!entry.atEnd()) {
        const QByteArray line = entry.readLine().trimmed();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")
            return false;
    }
    return true;
}

bool setEnabled(bool enabled)
{
    const QString path = entryPath();
    if (!enabled)
        return !QFileInfo::exists(path) || QFile::remove(path);

    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    // The program that is running, wherever it was installed or built.
    const QString program = QCoreApplication::applicationFilePath();
    const QByteArray text = "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=TrayTape\n"
                            "Comment=Record a microphone or the computer's own sound from the system tray\n"
                            "Exec="
        + quotedArgument(program).toUtf8()
        + "\n"
          "Icon=org.traytape.TrayTape\n"
          "Terminal=false\n"
          "X-GNOME-Autostart-enabled=true\n";
    QSaveFile entry(path);
    return entry.open(QIODevice::WriteOnly) && entry.write(text) == text.size() && entry.commit();
}

}  // namespace Autostart
