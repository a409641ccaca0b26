#include "Tray/AppNotices.h"

#include "Desktop/Translations.h"
#include "Preferences/AppControl.h"
#include "platform/audiofile/AudioFileCommon.h"

#include <QDir>

#include <algorithm>

namespace {
// Why a file could not be made or written.
QString reasonFor(OSStatus status)
{
    return engineWords(audiofile::reasonFor(status));
}

QString quoted(const QString& device)
{
    return QStringLiteral("\u201C%1\u201D").arg(device);
}
}  // namespace

Notice AppNotices::noInputDevice()
{
    return {tr("Recording could not start"),
        tr("No input device could be opened. Connect a microphone, or check that the sound server is running, "
           "then choose the input in Preferences.")};
}

Notice AppNotices::deviceGoneAtStart(const QString& device)
{
    return {tr("Recording could not start"),
        tr("The input device %1 is no longer available. Choose another input in Preferences.")
            .arg(device.isEmpty() ? tr("in use") : quoted(device))};
}

Notice AppNotices::recordingFromFallback(const QString& gone, const QString& fallback)
{
    return {tr("Recording from another input"),
        tr("%1 is gone: recording from %2")
            .arg(quoted(gone), fallback.isEmpty() ? tr("the default input") : quoted(fallback))};
}

Notice AppNotices::fileNotCreated(const QString& path, OSStatus status)
{
    return {tr("Recording could not start"),
        tr("TrayTape could not create the file %1 (%2). Choose another folder in Preferences.")
            .arg(QDir::toNativeSeparators(path), reasonFor(status))};
}

Notice AppNotices::sourceNotCreated(const QString& path, OSStatus status)
{
    return {tr("Recording without a source's own file"),
        tr("TrayTape could not create the file %1 (%2). The mix is recorded without it.")
            .arg(QDir::toNativeSeparators(path), reasonFor(status))};
}

Notice AppNotices::deviceLost(const QString& device, const QString& file)
{
    return {tr("Recording stopped"),
        tr("The input device %1 is no longer available. The recording up to that moment is saved as %2.")
            .arg(device.isEmpty() ? tr("in use") : quoted(device), file)};
}

Notice AppNotices::writeFailed(const QString& file, OSStatus status)
{
    return {tr("Recording stopped"),
        tr("TrayTape could not write to %1 (%2). What was recorded before is kept.").arg(file, reasonFor(status))};
}

Notice AppNotices::fileRemoved(const QString& file)
{
    return {tr("Recording stopped"), tr("The file %1 was removed while recording: the take is lost.").arg(file)};
}

Notice AppNotices::fileMoved(const QString& path)
{
    return {tr("Recording moved"),
        tr("The file being recorded was moved: recording continues at %1").arg(QDir::toNativeSeparators(path))};
}

Notice AppNotices::recordingIncomplete(const QString& path)
{
    return {tr("Recording incomplete"),
        tr("TrayTape could not finish writing %1; the end of the recording may be missing.")
            .arg(QDir::toNativeSeparators(path))};
}

Notice AppNotices::audioLost(double seconds)
{
    // A loss of a few frames still deserves a figure the user can see.
    return {tr("Audio lost"), tr("%1 s of audio were lost").arg(std::max(seconds, 0.1), 0, 'f', 1)};
}

Notice AppNotices::silence(bool muted, const QString& device)
{
    if (muted)
        return {tr("Input muted"), tr("%1 is muted: the recording will be silent").arg(quoted(device))};
    return {tr("Recording silence"), tr("TrayTape is recording silence from %1").arg(quoted(device))};
}

Notice AppNotices::applicationSilent(const QString& application, qint64 seconds)
{
    return {tr("Recording silence"), tr("%1 has played nothing for %2 s").arg(application).arg(seconds)};
}

Notice AppNotices::saveFolderRefused(const QString& folder, const QString& inUse)
{
    const QString why = folder.contains(QChar::ReplacementCharacter)
        ? tr("its name is not valid text in this system's encoding")
        : tr("it is not a folder TrayTape can find");
    return {tr("Save folder not changed"),
        tr("TrayTape cannot save into %1: %2. New recordings still go to %3.")
            .arg(QDir::toNativeSeparators(folder), why, QDir::toNativeSeparators(inUse))};
}

Notice AppNotices::saveFolderMissing(const QString& folder)
{
    // A name whose bytes are no text in the system's encoding reaches TrayTape
    // with stand-ins for them, and names no folder: the folder may well be
    // there, under its true name.
    if (folder.contains(QChar::ReplacementCharacter))
        return {tr("Save folder cannot be used"),
            tr("The name of the folder %1 is not valid text in this system's encoding, so TrayTape cannot save "
               "into it. New recordings go to %2 until you rename it or choose another folder in Preferences.")
                .arg(QDir::toNativeSeparators(folder), QDir::toNativeSeparators(AppControl::defaultSaveAudioPath()))};
    return {tr("Save folder not found"),
        tr("The folder %1 no longer exists. New recordings go to %2 until you choose another folder in "
           "Preferences.")
            .arg(QDir::toNativeSeparators(folder), QDir::toNativeSeparators(AppControl::defaultSaveAudioPath()))};
}
