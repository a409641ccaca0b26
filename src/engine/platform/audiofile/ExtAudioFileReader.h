#pragma once

#include "platform/ExtAudioFile.h"

#include <memory>
#include <string>

namespace audiofile {

// Opens any file FFmpeg decodes. out is set only on success.
OSStatus openReader(const std::string& path, std::unique_ptr<ExtAudioFile>& out);

}  // namespace audiofile
