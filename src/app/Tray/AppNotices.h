// What the user is told when a recording goes wrong: the title and words of
// each desktop notification, kept together so every path that meets the same
// failure says the same thing. Another process asking by command hears the
// same words.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <QCoreApplication>
#include <QString>

struct Notice {
    QString title;
    QString message;
};

class AppNotices {
    Q_DECLARE_TR_FUNCTIONS(AppNotices)

public:
    static Notice noInputDevice();
    // An empty device name is one the server can no longer tell.
    static Notice deviceGoneAtStart(const QString& device);
    // The chosen input left earlier; the default input records instead.
    static Notice recordingFromFallback(const QString& gone, const QString& fallback);
    static Notice fileNotCreated(const QString& path, OSStatus status);
    // One source's own file of a mixed recording could not be made; the mix is recorded.
    static Notice sourceNotCreated(const QString& path, OSStatus status);
    static Notice deviceLost(const QString& device, const QString& file);
    static Notice writeFailed(const QString& file, OSStatus status);
    static Notice fileRemoved(const QString& file);
    static Notice fileMoved(const QString& path);
    static Notice recordingIncomplete(const QString& path);
    static Notice audioLost(double seconds);
    static Notice silence(bool muted, const QString& device);
    // The application recorded has played nothing for that long.
    static Notice applicationSilent(const QString& application, qint64 seconds);
    static Notice saveFolderMissing(const QString& folder);
    // A folder picked in Preferences that cannot be used; the one in use stays.
    static Notice saveFolderRefused(const QString& folder, const QString& inUse);
};
