#include "Desktop/Trash.h"

#include "platform/ExtAudioFile.h"
#include "platform/audiofile/SafeFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>

namespace {

bool taken(const QString& path)
{
    struct stat st { };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// The n-th name tried for a file called `name`: its own, then "take.2.wav", "take.3.wav", ...
QString candidate(const QString& name, int n)
{
    if (n == 1)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) + QStringLiteral(".%1").arg(n) + name.mid(dot)
                   : name + QStringLiteral(".%1").arg(n);
}

}  // namespace

namespace trash {

QString homeTrash()
{
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (!data.startsWith(QLatin1Char('/')))
        data = QFile::decodeName(audiofile::homeFolder().c_str()) + QStringLiteral("/.local/share");
    return data + QStringLiteral("/Trash");
}

QString moveToTrash(const QString& path)
{
    const QFileInfo source(path);
    if (!source.isFile() || source.isSymLink())
        return QCoreApplication::translate("Trash", "it is not a file that is there");
    const QString trash = homeTrash();
    for (const char* folder : {"/files", "/info"})
        if (OSStatus s = audiofile::privateFolder(QFile::encodeName(trash + QLatin1String(folder)).toStdString()))
            return QString::fromStdString(audiofile::reasonFor(s));
    // The path's bytes, percent-encoded, and the local time without a zone, as the trash format has them.
    const QByteArray info = "[Trash Info]\nPath=" + QFile::encodeName(source.absoluteFilePath()).toPercentEncoding("/")
        + "\nDeletionDate=" + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1()
        + '\n';
    for (int n = 1; n < 1000; ++n) {
        const QString name = candidate(source.fileName(), n);
        const QString trashed = trash + QStringLiteral("/files/") + name;
        const QString infoPath = trash + QStringLiteral("/info/") + name + QStringLiteral(".trashinfo");
        // The information file first: claiming its name is what reserves the
        // name against another program trashing a file of the same name.
        if (OSStatus s = audiofile::writeWholeFile(
                QFile::encodeName(infoPath).toStdString(), info.constData(), std::size_t(info.size()), true, false)) {
            if (taken(infoPath))
                continue;
            return QString::fromStdString(audiofile::reasonFor(s));
        }
        if (::renameat2(AT_FDCWD, QFile::encodeName(path).constData(), AT_FDCWD, QFile::encodeName(trashed).constData(),
                RENAME_NOREPLACE)
            == 0)
            return {};
        const int error = errno;
        // The information file is ours, written a moment ago, and names nothing now.
        QFile::remove(infoPath);
        if (error == EEXIST)
            continue;
        return error == EXDEV ? QCoreApplication::translate("Trash", "it is on another disk than the Trash")
                              : qt_error_string(error);
    }
    return QCoreApplication::translate("Trash", "the Trash holds too many files of that name");
}

}  // namespace trash
