// ExtAudioFile on FFmpeg: a writer (WAVE by hand, MPEG-4 and CAF through
// libavformat with the native AAC encoder) and a reader (anything FFmpeg
// decodes), each converting through libswresample.
#include "platform/ExtAudioFile.h"

#include "platform/audiofile/AacSink.h"
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/ExtAudioFileReader.h"
#include "platform/audiofile/ExtAudioFileWriter.h"
#include "platform/audiofile/SafeFile.h"
#include "platform/audiofile/WavSink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cmath>

using namespace audiofile;

ExtAudioFile::~ExtAudioFile() = default;

OSStatus ExtAudioFile::create(const std::string& path, AudioFileTypeID fileType,
    const AudioStreamBasicDescription& fileFormat, std::uint32_t flags, std::unique_ptr<ExtAudioFile>& out)
{
    quietFFmpegLog();
    AudioStreamBasicDescription format = fileFormat;
    if (format.mChannelsPerFrame < 1 || format.mChannelsPerFrame > 2 || !usableRate(format.mSampleRate))
        return kAudioFileUnsupportedDataFormatError;
    const bool erase = (flags & kAudioFileFlags_EraseFile) != 0;
    switch (fileType) {
    case kAudioFileWAVEType:
        if (format.mFormatID != kAudioFormatLinearPCM || (format.mFormatFlags & kAudioFormatFlagIsBigEndian)
            || (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved)
            || std::floor(format.mSampleRate) != format.mSampleRate)
            return kAudioFileUnsupportedDataFormatError;
        completePcm(format);
        break;
    case kAudioFileM4AType:
    case kAudioFileCAFType:
        if (format.mFormatID != kAudioFormatMPEG4AAC
            || (format.mFramesPerPacket != 0 && format.mFramesPerPacket != 1024))
            return kAudioFileUnsupportedDataFormatError;
        format.mFramesPerPacket = 1024;
        break;
    default:
        return kAudioFileUnsupportedFileTypeError;
    }

    std::unique_ptr<SafeFile> file;
    if (OSStatus s = SafeFile::create(path, erase, file))
        return s;
    // The sink writes through a descriptor of its own on the same file.
    const int fd = ::fcntl(file->fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return statusFromErrno(errno);
    const bool appearWhenComplete = (flags & kExtAudioFileFlags_AppearWhenComplete) != 0;
    std::unique_ptr<FileSink> sink;
    const OSStatus status = fileType == kAudioFileWAVEType
        ? createWavSink(fd, format, !appearWhenComplete, sink)
        : createAacSink(fd, fileType, format, !appearWhenComplete, sink);
    if (status != noErr)
        return status;
    return createWriter(std::move(sink), format, std::move(file), appearWhenComplete, out);
}

OSStatus ExtAudioFile::open(const std::string& path, std::unique_ptr<ExtAudioFile>& out)
{
    quietFFmpegLog();
    // A FIFO would block the open until a writer came; a device never ends.
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        return statusFromErrno(errno);
    if (!S_ISREG(st.st_mode))
        return kAudioFileNotRegularFileError;
    return openReader(path, out);
}

OSStatus AudioFormatGetProperty(
    std::uint32_t propertyID, std::uint32_t, const void*, std::uint32_t* ioPropertyDataSize, void* outPropertyData)
{
    if (propertyID != kAudioFormatProperty_FormatInfo)
        return kAudioHardwareUnknownPropertyError;
    if (!ioPropertyDataSize || !outPropertyData || *ioPropertyDataSize < sizeof(AudioStreamBasicDescription))
        return kAudioHardwareBadPropertySizeError;
    auto& f = *static_cast<AudioStreamBasicDescription*>(outPropertyData);
    completePcm(f);
    *ioPropertyDataSize = sizeof(AudioStreamBasicDescription);
    return noErr;
}
