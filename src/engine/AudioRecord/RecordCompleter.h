// Completes recording files away from the main thread.
//
// Completing a file drains what is still queued for it, flushes the encoder
// and, for MPEG-4, rewrites the fragmented file as an ordinary one: seconds
// for a long recording, too long to freeze the tray's meter, menu and clock.
// The record device hands each detached output here; one completion thread
// completes them in order and reports each result through the handler.
//
// Threads: complete(), waitUntilIdle() and the destructor are the owner's
// (the main thread's); the handler runs on the completion thread. The record
// device owns the completer.
#pragma once

#include "AudioRecord/AudioFileStream.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct CompletedRecording {
    std::string path;
    // The failure that cost audio written to the file (a full disk, an I/O
    // error); 0 when the file holds everything the recorder counted. A failed
    // rewrite of a whole fragmented MPEG-4 file is no such failure: the file
    // plays as it is.
    OSStatus status = noErr;
    // The markers the user set, in seconds from the start.
    std::vector<double> markers;
    // The files of its sources, written beside it (AudioFileStream::addSource), that hold audio.
    std::vector<std::string> sources;
    // What completing the file answered, a failed rewrite included.
    OSStatus completionStatus = noErr;
    std::int64_t writedFrames = 0;  // client frames the file accepted
    std::int64_t lostFrames = 0;    // client frames refused while recording
    double clientRate = 0;          // of those frames
};

class RecordCompleter {
public:
    using Handler = std::function<void(const CompletedRecording&)>;

    RecordCompleter();
    // Waits for every handed-over file unless abandon() was called.
    ~RecordCompleter();
    RecordCompleter(const RecordCompleter&) = delete;
    RecordCompleter& operator=(const RecordCompleter&) = delete;

    // Runs on the completion thread after each file is complete. Set it
    // before the first complete().
    void setHandler(Handler handler);
    // Takes the stream, which no other thread may still write to.
    void complete(std::unique_ptr<AudioFileStream> stream, std::int64_t lostFrames, double clientRate);
    // True once every handed-over file is complete and reported; false when
    // the timeout passed first.
    bool waitUntilIdle(std::chrono::milliseconds timeout);
    bool idle() const;
    // The process is ending and may not wait any longer: the destructor will
    // not wait for the completion under way. What is being rewritten stays a
    // whole, playable fragmented file.
    void abandon();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    bool abandoned_ = false;
};
