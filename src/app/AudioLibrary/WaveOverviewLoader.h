// The overview of the recording the preview has loaded: read from the cache
// at once when it is there and still describes the file; otherwise decoded
// on a thread of its own, shown as it arrives (changed() about ten times a
// second) and kept in the cache once whole.
//
// Main thread: every call, and changed(). The decoding thread only reads the
// file, writes the cache and posts what it decoded to this object; a new
// load() or the destructor stops it and waits for it (one read of the file
// at most). The preview owns the one loader.
#pragma once

#include "AudioRecord/WaveOverview.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class WaveOverviewLoader : public QObject {
    Q_OBJECT

public:
    explicit WaveOverviewLoader(QObject* parent = nullptr);
    ~WaveOverviewLoader() override;

    void load(const QString& path);
    void clear();
    // What is known so far; no peaks while nothing is.
    const WaveOverview& overview() const { return overview_; }
    // Whether the overview is whole (read from the cache or decoded to the end).
    bool complete() const { return complete_; }

signals:
    void changed();

private:
    friend struct AudioLibraryWndTestAccess;

    void stop();
    // Main thread, from the decoding thread's posts of load `generation`.
    void arrived(unsigned generation, std::int64_t frames, double rate, std::size_t first,
        std::vector<std::uint16_t> peaks, bool whole);

    WaveOverview overview_;
    bool complete_ = false;
    unsigned generation_ = 0;
    std::shared_ptr<std::atomic<bool>> stopping_;
    std::thread decoder_;
};
