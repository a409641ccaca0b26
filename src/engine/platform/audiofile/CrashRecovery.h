// How recovery reads and finishes each writer's recording after a crash:
// the table's writtenHeader and completeAfterCrash of the formats written
// here (AudioFormat.h). Any thread but the audio thread.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <cstdint>
#include <string>

namespace audiofile {

// WavSink's layout: the header sizes are set to the whole frames on disk.
bool waveWrittenHeader(int fd, std::int64_t fileBytes, std::string& out);
OSStatus completeWaveAfterCrash(int fd, std::int64_t fileBytes, const std::string& path);
// CafFile's: the data is cut after the packets its table names.
bool cafWrittenHeader(int fd, std::int64_t fileBytes, std::string& out);
OSStatus completeCafAfterCrash(int fd, std::int64_t fileBytes, const std::string& path);
// AacSink's fragmented MPEG-4: rewritten as an ordinary file.
bool mp4WrittenHeader(int fd, std::int64_t fileBytes, std::string& out);
OSStatus completeMp4AfterCrash(int fd, std::int64_t fileBytes, const std::string& path);
// FlacSink's: cut after the last whole frame, its total samples stated.
bool flacWrittenHeader(int fd, std::int64_t fileBytes, std::string& out);
OSStatus completeFlacAfterCrash(int fd, std::int64_t fileBytes, const std::string& path);
// OggSink's: cut after the last whole page.
bool oggWrittenHeader(int fd, std::int64_t fileBytes, std::string& out);
OSStatus completeOggAfterCrash(int fd, std::int64_t fileBytes, const std::string& path);
// Mp3Sink's: cut after the last whole frame, its Info frame filled.
bool mp3WrittenHeader(int fd, std::int64_t fileBytes, std::string& out);
OSStatus completeMp3AfterCrash(int fd, std::int64_t fileBytes, const std::string& path);

}  // namespace audiofile
