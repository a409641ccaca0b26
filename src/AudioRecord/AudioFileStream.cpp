#include "AudioRecord/AudioFileStream.h"

#include "AudioRecord/WaveOverviewCache.h"
#include "platform/AudioFormat.h"

#include <sys/stat.h>

namespace {

bool fileExists(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::unique_ptr<AudioFileStream> AudioFileStream::streamForWritingAtPath(const std::string& path, OSStatus* failure)
{
    auto stream = std::make_unique<AudioFileStream>();
    const OSStatus status = stream->configWithPath(path, false);
    if (failure)
        *failure = status;
    return stream->isOpen() ? std::move(stream) : nullptr;
}

std::unique_ptr<AudioFileStream> AudioFileStream::streamForReadingAtPath(const std::string& path)
{
    auto stream = std::make_unique<AudioFileStream>();
    stream->configWithPath(path, true);
    return stream->isOpen() ? std::move(stream) : nullptr;
}

std::string AudioFileStream::extensionForAudioFormat(long long audioFormatCode)
{
    return std::string(audioFormatForCode(audioFormatCode).extension());
}

AudioFileStream::~AudioFileStream()
{
    close();
}

AudioStreamBasicDescription AudioFileStream::audioStreamBasicDescription(AudioFileTypeID fileType)
{
    const AudioFormat* row = audioFormatOfFileType(fileType);
    AudioStreamBasicDescription format = row ? row->fileFormat : AudioStreamBasicDescription{};
    std::uint32_t size = sizeof format;
    AudioFormatGetProperty(kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &format);
    return format;
}

OSStatus AudioFileStream::configWithPath(const std::string& path, bool isRead)
{
    // A file already open goes first, while the overview it feeds is still there.
    close();
    audioPath_ = path;
    isRead_ = isRead;
    ExtAudioFileRef file;
    OSStatus status = noErr;
    if (isRead) {
        if (!fileExists(path))
            return kAudioFileFileNotFoundError;
        status = ExtAudioFile::open(path, file);
    } else {
        const AudioFileTypeID type = audioFormatForPath(path).fileType;
        const AudioStreamBasicDescription format = audioStreamBasicDescription(type);
        status = ExtAudioFile::create(path, type, format, kAudioFileFlags_EraseFile, file);
        if (file) {
            overview_ = std::make_unique<WaveOverviewBuilder>(format.mSampleRate);
            file->setWriteObserver(overview_.get());
        }
    }
    audioFile_ = std::move(file);
    return audioFile_ ? noErr : status != noErr ? status : kAudioFileUnspecifiedError;
}

OSStatus AudioFileStream::close()
{
    if (!audioFile_)
        return noErr;
    const OSStatus status = audioFile_->dispose();
    audioFile_.reset();
    if (overview_ && status == noErr)
        if (const auto identity = wave_overview_cache::identify(audioPath_))
            wave_overview_cache::write(audioPath_, *identity, overview_->finish());
    overview_.reset();
    return status;
}

std::int32_t AudioFileStream::writeBufferList(const AudioBufferList* list, std::int32_t frames)
{
    if (!audioFile_ || frames < 0)
        return 0;
    const std::int32_t accepted = audioFile_->writeAsync(std::uint32_t(frames), list) == noErr ? frames : 0;
    // Only this thread writes the count; a plain load and store keep it lock-free.
    frames_writed_.store(frames_writed_.load(std::memory_order_relaxed) + accepted, std::memory_order_relaxed);
    return accepted;
}

OSStatus AudioFileStream::writeStatus() const
{
    return audioFile_ ? audioFile_->writerStatus() : noErr;
}

std::int32_t AudioFileStream::readBufferList(AudioBufferList* list, std::int32_t frames)
{
    if (!audioFile_ || frames <= 0)
        return 0;
    std::uint32_t count = std::uint32_t(frames);
    audioFile_->read(&count, list);
    return std::int32_t(count);
}

void AudioFileStream::seekToTime(double seconds)
{
    if (!audioFile_)
        return;
    audioFile_->seek(std::int64_t(seconds * audioFileFormat().mSampleRate));
}

AudioStreamBasicDescription AudioFileStream::audioFileFormat() const
{
    AudioStreamBasicDescription format{};
    if (audioFile_) {
        std::uint32_t size = sizeof format;
        audioFile_->getProperty(kExtAudioFileProperty_FileDataFormat, &size, &format);
    }
    return format;
}

AudioStreamBasicDescription AudioFileStream::clientDataFormat() const
{
    AudioStreamBasicDescription format{};
    if (audioFile_) {
        std::uint32_t size = sizeof format;
        audioFile_->getProperty(kExtAudioFileProperty_ClientDataFormat, &size, &format);
    }
    return format;
}

void AudioFileStream::setClientDataFormat(AudioStreamBasicDescription format)
{
    if (audioFile_)
        audioFile_->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof format, &format);
}
