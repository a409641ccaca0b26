// Runs one export at a time off the main thread, so that the library window
// keeps answering through a long AAC encode. The converter's call stays the
// synchronous one; a worker thread makes it, and a main-thread timer reads
// the converter's atomic progress.
//
// Main thread: start(), isRunning(), cancel(), converter() once finished,
// and the signals. The worker thread touches only the task's own converter, and only
// between start() and finished(). The library window owns the one task.
#pragma once

#include "Export/AudioConverter.h"

#include <QObject>

#include <cstdint>
#include <memory>

class QThread;
class QTimer;

class AudioExportTask : public QObject {
    Q_OBJECT

public:
    // How often the progress is read while an export runs.
    static constexpr int kProgressMilliseconds = 100;

    explicit AudioExportTask(QObject* parent = nullptr);
    // Waits for a running export: its file must be completed or removed, never cut off.
    ~AudioExportTask() override;

    // Runs the export `request` asks for. False while another one runs.
    bool start(const AudioExportRequest& request);
    bool isRunning() const { return thread_ != nullptr; }
    // Stops the running export before its next block; finished() follows,
    // with nothing written (AudioConvertFailure::Cancelled).
    void cancel();
    // The converter of the last export; its failure() and writtenFrames() tell how it went.
    const AudioConverter* converter() const { return converter_.get(); }

signals:
    // Frames written so far of the frames the export is expected to write.
    void progressed(qint64 done, qint64 toDo);
    // The export has ended, well or not (converter() says which).
    void finished();

private:
    void onThreadFinished();

    std::unique_ptr<AudioConverter> converter_;
    std::unique_ptr<QThread> thread_;
    std::unique_ptr<QTimer> progressTimer_;
};
