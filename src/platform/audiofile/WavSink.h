#pragma once

#include "platform/audiofile/FileSink.h"

#include <memory>
#include <string>

namespace audiofile {

// A WAVE file of linear PCM (16- or 32-bit integer, 32-bit float) for the
// packed stream description f, written through fd, an empty file the sink
// owns from here on. out is set only on success.
OSStatus createWavSink(int fd, const AudioStreamBasicDescription& f, std::unique_ptr<FileSink>& out);

}  // namespace audiofile
