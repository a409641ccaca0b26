#include "AudioRecord/AudioFileStream.h"

#include "AudioRecord/WaveOverviewCache.h"
#include "platform/AudioFormat.h"

#include <sys/stat.h>

#include <cmath>

namespace {

bool fileExists(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::unique_ptr<AudioFileStream> AudioFileStream::streamForWritingAtPath(const std::string& path, OSStatus* failure)
{
    const AudioFormat* format = audioFormatForPath(path);
    if (!format) {
        if (failure)
            *failure = kAudioFileUnsupportedFileTypeError;
        return nullptr;
    }
    return streamForWritingAtPath(path, *format, failure);
}

std::unique_ptr<AudioFileStream> AudioFileStream::streamForWritingAtPath(
    const std::string& path, const AudioFormat& format, OSStatus* failure)
{
    return streamForWritingAtPath(path, format, {}, 0, failure);
}

std::unique_ptr<AudioFileStream> AudioFileStream::streamForWritingAtPath(const std::string& path,
    const AudioFormat& format, const AudioQuality& quality, double sourceRate, OSStatus* failure)
{
    auto stream = std::make_unique<AudioFileStream>();
    const OSStatus status = stream->configForWriting(path, format, quality, sourceRate);
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
    if (!isRead) {
        const AudioFormat* format = audioFormatForPath(path);
        if (!format) {
            close();
            return kAudioFileUnsupportedFileTypeError;
        }
        return configForWriting(path, *format);
    }
    // A file already open goes first, while the overview it feeds is still there.
    close();
    audioPath_ = path;
    isRead_ = true;
    if (!fileExists(path))
        return kAudioFileFileNotFoundError;
    ExtAudioFileRef file;
    const OSStatus status = ExtAudioFile::open(path, file);
    audioFile_ = std::move(file);
    return audioFile_ ? noErr : status != noErr ? status : kAudioFileUnspecifiedError;
}

OSStatus AudioFileStream::configForWriting(
    const std::string& path, const AudioFormat& format, const AudioQuality& quality, double sourceRate)
{
    close();
    audioPath_ = path;
    isRead_ = false;
    if (!qualityRefusal(format, quality).empty())
        return kAudioFileUnsupportedDataFormatError;
    AudioStreamBasicDescription fileFormat = recordedFormat(format, quality, sourceRate);
    std::uint32_t size = sizeof fileFormat;
    AudioFormatGetProperty(kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &fileFormat);
    ExtAudioFileRef file;
    const OSStatus status = ExtAudioFile::create(path, format.fileType, fileFormat, kAudioFileFlags_EraseFile, file,
        recordedBitRate(format, quality, int(fileFormat.mChannelsPerFrame)));
    if (file) {
        overview_ = std::make_unique<WaveOverviewBuilder>(fileFormat.mSampleRate);
        file->setWriteObserver(overview_.get());
    }
    audioFile_ = std::move(file);
    return audioFile_ ? noErr : status != noErr ? status : kAudioFileUnspecifiedError;
}

OSStatus AudioFileStream::close()
{
    if (!audioFile_)
        return noErr;
    if (!markers_.empty()) {
        const double clientRate = clientDataFormat().mSampleRate;
        const double fileRate = audioFileFormat().mSampleRate;
        AudioMarkers inFile;
        for (const std::int64_t frame : markers_)
            inFile.push_back(clientRate > 0 ? std::llround(double(frame) * fileRate / clientRate) : frame);
        audioFile_->setMarkers(inFile);
    }
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

void AudioFileStream::addMarker()
{
    const std::int64_t frame = writedFrames();
    if (audioFile_ && (markers_.empty() || markers_.back() != frame))
        markers_.push_back(frame);
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
