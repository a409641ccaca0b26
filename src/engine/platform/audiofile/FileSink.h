// The end of a writer's conversion: a file of one type.
#pragma once

#include "platform/FFmpegUtil.h"
#include "platform/CoreAudioTypes.h"

namespace audiofile {

// Where converted samples end up. Writer thread (or the owner during a
// synchronous write or dispose), always under the writer's mutex.
class FileSink {
public:
    virtual ~FileSink() = default;
    virtual AVSampleFormat sampleFormat() const = 0;
    virtual OSStatus writeSamples(const std::uint8_t* const* data, int frames) = 0;
    // Makes what was written so far readable by whoever opens the file now
    // (a header update, a fragment), when anything is new since the last.
    // The sink makes one itself after checkpointSeconds() of audio; the
    // writer asks for one when that much time passed without.
    virtual OSStatus checkpoint() = 0;
    virtual double checkpointSeconds() const = 0;
    // Checkpoints made so far.
    virtual std::uint64_t checkpoints() const = 0;
    // Flushes and completes the file. After a failure, completes only what
    // can be without writing more audio.
    virtual OSStatus finish(bool failed) = 0;
};

}  // namespace audiofile
