#pragma once

#include "platform/ExtAudioFile.h"
#include "platform/audiofile/FileSink.h"

#include <memory>
#include <string>

namespace audiofile {

// A writer of the given sink at path, holding format; its client format
// starts as the file's own PCM, or float planes for a compressed file.
// out is set only on success; on failure the file at path is removed.
OSStatus createWriter(std::unique_ptr<FileSink> sink, const AudioStreamBasicDescription& format,
    const std::string& path, std::unique_ptr<ExtAudioFile>& out);

}  // namespace audiofile
