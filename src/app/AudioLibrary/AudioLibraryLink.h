// What the application controller and the record command ask of the
// recordings library. The library window implements it; until it does, the
// controller is built without one and the library steps are skipped.
//
// Main thread. The application controller owns the one instance for the
// whole run.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class QWidget;

class AudioLibraryLink {
public:
    virtual ~AudioLibraryLink() = default;

    // The library window, loaded (with the stored library) on first use.
    virtual QWidget* window() = 0;
    // A finished recording: measured, appended and chosen, with the markers
    // set while it was recorded (in seconds), or none: its file's.
    // `sources`: the files of the recording's sources, listed right after it, grouped with it.
    virtual void addAudioItemFromPath(
        const QString& path, const std::vector<double>& markers = {}, const QStringList& sources = {})
        = 0;
    // Lays the rows out again.
    virtual void flushAudioLibrary() = 0;
    // Stores the library list.
    virtual void writeData() = 0;
    // A recording a crash cut off: completed as a stop would have completed
    // it (off the main thread), then listed with its measured length unless
    // it is listed already, and the list stored. `finished` runs on the main
    // thread once that is done, also when there was no file to recover.
    // `path` is the recovery mark (recordingMark()): a file that is not the
    // marked recording is left as it is and not listed.
    virtual void recoverAudioItemFromPath(const QString& path, std::function<void()> finished) = 0;
    // Where the recorder writes now (empty when idle), asked at each export:
    // that file is never an export's destination.
    virtual void setRecordingInProgress(std::function<QString()> path) = 0;
};
