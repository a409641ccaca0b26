#pragma once

#include "platform/ExtAudioFile.h"
#include "platform/audiofile/FileSink.h"
#include "platform/audiofile/SafeFile.h"

#include <memory>
#include <string>

namespace audiofile {

// A writer of the given sink, which writes into file, holding format; its
// client format starts as the file's own PCM, or float planes for a
// compressed file. The file takes its destination's place at once, or with
// appearWhenComplete only when dispose() succeeds. out is set only on
// success; on failure nothing at the destination has changed.
OSStatus createWriter(std::unique_ptr<FileSink> sink, const AudioStreamBasicDescription& format,
    std::unique_ptr<SafeFile> file, bool appearWhenComplete, std::unique_ptr<ExtAudioFile>& out);

}  // namespace audiofile
