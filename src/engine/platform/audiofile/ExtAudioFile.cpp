// ExtAudioFile on FFmpeg: a writer (the sink of the file type's row in the
// format table) and a reader (anything FFmpeg decodes), each converting
// through libswresample.
#include "platform/ExtAudioFile.h"

#include "platform/AudioFormat.h"
#include "platform/audiofile/AudioFileCommon.h"
#include "platform/audiofile/ExtAudioFileReader.h"
#include "platform/audiofile/ExtAudioFileWriter.h"
#include "platform/audiofile/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

using namespace audiofile;

ExtAudioFile::~ExtAudioFile() = default;

OSStatus ExtAudioFile::create(const std::string& path, AudioFileTypeID fileType,
    const AudioStreamBasicDescription& fileFormat, std::uint32_t flags, std::unique_ptr<ExtAudioFile>& out, int bitRate)
{
    quietFFmpegLog();
    AudioStreamBasicDescription format = fileFormat;
    if (format.mChannelsPerFrame < 1 || format.mChannelsPerFrame > 2 || !usableRate(format.mSampleRate))
        return kAudioFileUnsupportedDataFormatError;
    const AudioFormat* table = audioFormatOfFileType(fileType);
    if (!table)
        return kAudioFileUnsupportedFileTypeError;
    // The sink reads the bit rate from the row it is handed, as it is made.
    AudioFormat chosen = *table;
    if (bitRate > 0)
        chosen.bitRates = {bitRate, bitRate};
    const AudioFormat* row = &chosen;
    if (OSStatus s = row->acceptFormat(format))
        return s;
    const bool erase = (flags & kAudioFileFlags_EraseFile) != 0;

    std::unique_ptr<SafeFile> file;
    if (OSStatus s = SafeFile::create(path, erase, file))
        return s;
    // The sink writes through a descriptor of its own on the same file.
    const int fd = ::fcntl(file->fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return statusFromErrno(errno);
    const bool appearWhenComplete = (flags & kExtAudioFileFlags_AppearWhenComplete) != 0;
    std::unique_ptr<FileSink> sink;
    const OSStatus status = row->createSink(*row, fd, format, !appearWhenComplete, sink);
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
