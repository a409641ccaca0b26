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
    // Nothing arrived for a while: make what was written so far readable.
    virtual OSStatus idle() = 0;
    // Flushes and completes the file. After a failure, completes only what
    // can be without writing more audio.
    virtual OSStatus finish(bool failed) = 0;
};

}  // namespace audiofile
