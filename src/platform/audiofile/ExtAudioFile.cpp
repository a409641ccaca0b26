// ExtAudioFile on FFmpeg: a writer (WAVE by hand, MPEG-4 and CAF through
// libavformat with the native AAC encoder) and a reader (anything FFmpeg
// decodes), each converting through libswresample.
#include "platform/ExtAudioFile.h"

#include "platform/audiofile/AacSink.h"
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/ExtAudioFileReader.h"
#include "platform/audiofile/ExtAudioFileWriter.h"
#include "platform/audiofile/WavSink.h"

#include <unistd.h>

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
    if (!erase && ::access(path.c_str(), F_OK) == 0)
        return kAudioFilePermissionsError;

    std::unique_ptr<FileSink> sink;
    OSStatus status;
    switch (fileType) {
    case kAudioFileWAVEType:
        if (format.mFormatID != kAudioFormatLinearPCM || (format.mFormatFlags & kAudioFormatFlagIsBigEndian)
            || (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved)
            || std::floor(format.mSampleRate) != format.mSampleRate)
            return kAudioFileUnsupportedDataFormatError;
        completePcm(format);
        status = createWavSink(path, format, erase, sink);
        break;
    case kAudioFileM4AType:
    case kAudioFileCAFType:
        if (format.mFormatID != kAudioFormatMPEG4AAC
            || (format.mFramesPerPacket != 0 && format.mFramesPerPacket != 1024))
            return kAudioFileUnsupportedDataFormatError;
        format.mFramesPerPacket = 1024;
        status = createAacSink(path, fileType, format, sink);
        break;
    default:
        return kAudioFileUnsupportedFileTypeError;
    }
    if (status != noErr)
        return status;
    return createWriter(std::move(sink), format, path, out);
}

OSStatus ExtAudioFile::open(const std::string& path, std::unique_ptr<ExtAudioFile>& out)
{
    quietFFmpegLog();
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
