#include "AudioRecord/AudioFileStream.h"

#include "AudioRecord/WaveOverviewCache.h"
#include "platform/AudioFormat.h"

#include <sys/stat.h>

#include <algorithm>
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

OSStatus AudioFileStream::addSource(
    const std::string& path, const AudioFormat& format, const AudioQuality& quality, double sourceRate)
{
    if (!audioFile_ || isRead_)
        return kAudioFileNotOpenError;
    auto source = std::make_unique<AudioFileStream>();
    const OSStatus status = source->configForWriting(path, format, quality, sourceRate);
    // A source that could not be made keeps its place: the buffers of the ones after it are theirs.
    if (!source->isOpen()) {
        sources_.push_back(nullptr);
        missingSources_.emplace_back(path, status != noErr ? status : kAudioFileUnspecifiedError);
        return missingSources_.back().second;
    }
    source->setClientDataFormat(clientDataFormat());
    sources_.push_back(std::move(source));
    sourcePaths_.push_back(path);
    return noErr;
}

OSStatus AudioFileStream::close()
{
    // The sources first: each holds what the recording holds, or nothing.
    if (!sources_.empty()) {
        sourcePaths_.clear();
        for (auto& source : sources_) {
            if (source && source->close() != kAudioFileNothingRecordedError && fileExists(source->audioPath()))
                sourcePaths_.push_back(source->audioPath());
        }
        sources_.clear();
    }
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
    const std::uint32_t channels = clientChannels_;
    const bool withSources = !sources_.empty() && list && channels > 0
        && list->mNumberBuffers >= channels * std::uint32_t(1 + sources_.size());
    if (withSources) {
        std::uint32_t room = audioFile_->asyncRoom();
        for (const auto& source : sources_)
            if (source && source->writeStatus() == noErr)
                room = std::min(room, source->audioFile_->asyncRoom());
        if (room < std::uint32_t(frames))
            return 0;
    }
    const std::int32_t accepted = audioFile_->writeAsync(std::uint32_t(frames), list) == noErr ? frames : 0;
    if (withSources && accepted > 0) {
        AudioBufferList part;
        part.mNumberBuffers = channels;
        for (std::size_t s = 0; s < sources_.size(); ++s) {
            std::copy_n(list->mBuffers + (s + 1) * channels, channels, part.mBuffers);
            if (sources_[s] && sources_[s]->writeStatus() == noErr)
                sources_[s]->writeBufferList(&part, frames);
        }
    }
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
    if (!audioFile_)
        return;
    audioFile_->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof format, &format);
    clientChannels_ = format.mChannelsPerFrame;
    for (auto& source : sources_)
        if (source)
            source->setClientDataFormat(format);
}
