#pragma once

#include "platform/audiofile/FileSink.h"

#include <memory>
#include <string>

namespace audiofile {

// A WAVE file of linear PCM (16- or 32-bit integer, 32-bit float) for the
// packed stream description f. out is set only on success.
OSStatus createWavSink(
    const std::string& path, const AudioStreamBasicDescription& f, bool erase, std::unique_ptr<FileSink>& out);

}  // namespace audiofile
