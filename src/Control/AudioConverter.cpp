#include "Control/AudioConverter.h"

#include "platform/audiofile/SafeFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev
        && sa.st_ino == sb.st_ino;
}

}  // namespace

AudioConverter::AudioConverter()
    : left_(std::size_t(kBlockFrames) * kBlocksPerWrite), right_(std::size_t(kBlockFrames) * kBlocksPerWrite)
{
    initDefaultAudioFormat();
}

AudioConverter::AudioConverter(const AudioExportRequest& request) : AudioConverter()
{
    sourceAudioPath_ = request.source;
    exportAudioPath_ = request.destination;
    trimStartTime_ = request.range.trimStart;
    trimEndTime_ = request.range.trimEnd;
    fadeInTime_ = request.range.fadeIn;
    fadeOutTime_ = request.range.fadeOut;
    audioFromat_ = request.format;
}

void AudioConverter::initDefaultAudioFormat()
{
    defaultFormat_ = audiofile::floatPlanarFormat(kSampleRate, 2);
}

AudioStreamBasicDescription AudioConverter::exportDescription(std::int32_t format)
{
    AudioStreamBasicDescription d;
    if (format == 0) {
        d.mSampleRate = kSampleRate;
        d.mFormatID = kAudioFormatLinearPCM;
        d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
        d.mBytesPerPacket = 8;
        d.mFramesPerPacket = 1;
        d.mBytesPerFrame = 8;
        d.mChannelsPerFrame = 2;
        d.mBitsPerChannel = 32;
        std::uint32_t size = sizeof d;
        AudioFormatGetProperty(kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &d);
    } else if (format == 1 || format == 2) {
        d.mSampleRate = kSampleRate;
        d.mFormatID = kAudioFormatMPEG4AAC;
        d.mChannelsPerFrame = 2;
        d.mFramesPerPacket = 1024;
    }
    return d;
}

AudioFileTypeID AudioConverter::exportFileType(std::int32_t format)
{
    if (format == 0)
        return kAudioFileWAVEType;
    if (format == 2)
        return kAudioFileCAFType;
    return kAudioFileM4AType;
}

// Both client channels reach the file as they are: the sound server already
// spreads a mono device over both, so no channel map is set.
ExtAudioFileRef AudioConverter::createExportAudioRef(const std::string& path)
{
    ExtAudioFileRef file;
    status_ = ExtAudioFile::create(path, exportFileType(audioFromat_), exportDescription(audioFromat_),
        kAudioFileFlags_EraseFile | kExtAudioFileFlags_AppearWhenComplete, file);
    if (status_ != noErr)
        return nullptr;
    status_ = file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof defaultFormat_, &defaultFormat_);
    if (status_ != noErr)
        return nullptr;
    return file;
}

ExtAudioFileRef AudioConverter::creatSourceAudioRef()
{
    ExtAudioFileRef file;
    status_ = ExtAudioFile::open(sourceAudioPath_, file);
    return status_ == noErr ? std::move(file) : nullptr;
}

float AudioConverter::getVolumeRate(float t) const
{
    return envelope().gainAt(t + trimStartTime_);
}

void AudioConverter::fail(AudioConvertFailure failure, OSStatus status)
{
    failure_ = failure;
    status_ = status != noErr ? status : kAudioFileUnspecifiedError;
}

void AudioConverter::startAudioConvert()
{
    failure_ = AudioConvertFailure::None;
    status_ = noErr;
    framesDone_.store(0, std::memory_order_relaxed);
    framesToDo_.store(0, std::memory_order_relaxed);

    // The source is opened and prepared before the destination is touched,
    // so a missing or unreadable source leaves an existing file as it was.
    if (sameFile(sourceAudioPath_, exportAudioPath_))
        return fail(AudioConvertFailure::SameFile, kAudioFilePermissionsError);
    ExtAudioFileRef source = creatSourceAudioRef();
    if (!source)
        return fail(AudioConvertFailure::NoSource, status_);
    if (OSStatus s
        = source->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof defaultFormat_, &defaultFormat_))
        return fail(AudioConvertFailure::NoSource, s);

    AudioStreamBasicDescription fileFormat;
    std::uint32_t size = sizeof fileFormat;
    source->getProperty(kExtAudioFileProperty_FileDataFormat, &size, &fileFormat);
    const double fileRate = fileFormat.mSampleRate > 0 ? fileFormat.mSampleRate : kSampleRate;
    std::int64_t fileFrames = 0;
    size = sizeof fileFrames;
    source->getProperty(kExtAudioFileProperty_FileLengthFrames, &size, &fileFrames);

    // Positions count 44.1 kHz frames; the seek counts the file's own, so a
    // source of another rate is entered at the trim start's time.
    const std::int64_t startFrame = std::int64_t(double(trimStartTime_) * kSampleRate);
    // A range without a frame of audio would make an empty file in the
    // destination's place and call it a success: refused, nothing touched.
    // Whether a start lies past the end is learnt by reading, before the
    // destination is made: a stated length may be missing or untrue.
    if (!(trimEndTime_ > trimStartTime_))
        return fail(AudioConvertFailure::NoAudio, kAudioFileEndOfFileError);
    source->seek(std::int64_t(double(trimStartTime_) * fileRate));
    AudioBufferList list;
    list.mNumberBuffers = 2;
    list.mBuffers[0] = {1, kBlockFrames * std::uint32_t(sizeof(float)), left_.data()};
    list.mBuffers[1] = {1, kBlockFrames * std::uint32_t(sizeof(float)), right_.data()};
    std::uint32_t firstFrames = kBlockFrames;
    if (OSStatus s = source->read(&firstFrames, &list))
        return fail(AudioConvertFailure::NoSource, s);
    if (firstFrames == 0)
        return fail(AudioConvertFailure::NoAudio, kAudioFileEndOfFileError);

    // An export killed outright (SIGKILL, a power loss) could not remove its
    // hidden file; this one removes what such exports left over a day ago.
    const std::size_t slash = exportAudioPath_.rfind('/');
    audiofile::removeStaleTemporaries(slash == std::string::npos ? "." : exportAudioPath_.substr(0, slash + 1));
    // Written beside the destination, which it replaces only once complete.
    ExtAudioFileRef destination = createExportAudioRef(exportAudioPath_);
    if (!destination)
        return fail(AudioConvertFailure::CannotCreate, status_);

    const double endLimit = (double(trimEndTime_) - kEndMargin) * kSampleRate;
    const std::int64_t blocks
        = std::max<std::int64_t>(1, std::int64_t(std::ceil((endLimit - double(startFrame)) / kBlockFrames)));
    std::int64_t toDo = blocks * kBlockFrames;
    if (fileFrames > 0)
        toDo
            = std::clamp<std::int64_t>(std::int64_t(double(fileFrames) * kSampleRate / fileRate) - startFrame, 0, toDo);
    framesToDo_.store(toDo, std::memory_order_relaxed);

    convertBlocks(*source, *destination, startFrame, firstFrames);

    source->dispose();
    // A write that failed has left the writer failed: disposing of it removes
    // its file, as it does when completing the file fails.
    if (OSStatus s = destination->dispose(); s != noErr && failure_ != AudioConvertFailure::WriteFailed)
        fail(AudioConvertFailure::WriteFailed, s);
    finishAudioConverter();
}

void AudioConverter::convertBlocks(
    ExtAudioFile& source, ExtAudioFile& destination, std::int64_t startFrame, std::uint32_t firstFrames)
{
    const double endLimit = (double(trimEndTime_) - kEndMargin) * kSampleRate;
    const auto capacity = std::uint32_t(left_.size());
    std::int64_t position = startFrame;
    std::uint32_t gathered = 0;
    AudioBufferList list;
    list.mNumberBuffers = 2;
    auto writeGathered = [&] {
        list.mBuffers[0] = {1, gathered * std::uint32_t(sizeof(float)), left_.data()};
        list.mBuffers[1] = {1, gathered * std::uint32_t(sizeof(float)), right_.data()};
        if (OSStatus s = destination.write(gathered, &list)) {
            fail(AudioConvertFailure::WriteFailed, s);
            return false;
        }
        framesDone_.fetch_add(gathered, std::memory_order_relaxed);
        gathered = 0;
        return true;
    };
    do {
        float* left = left_.data() + gathered;
        float* right = right_.data() + gathered;
        list.mBuffers[0] = {1, kBlockFrames * std::uint32_t(sizeof(float)), left};
        list.mBuffers[1] = {1, kBlockFrames * std::uint32_t(sizeof(float)), right};
        std::uint32_t frames = std::exchange(firstFrames, 0);
        if (frames == 0) {
            frames = kBlockFrames;
            if (OSStatus s = source.read(&frames, &list)) {
                std::fputs("read Error\n", stderr);
                // What was read before the error is kept, as it would have been written by then.
                if (writeGathered())
                    fail(AudioConvertFailure::ReadFailed, s);
                return;
            }
            if (frames == 0)
                break;
        }
        // Measured from the first exported frame, so that block is always the
        // fade-in's first (silent) step, whatever fraction of a frame the
        // trim start carries.
        const float gain = getVolumeRate(float(double(position - startFrame) / kSampleRate));
        if (gain <= 0.999f) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                left[i] *= gain;
                right[i] *= gain;
            }
        }
        position += frames;
        gathered += frames;
        if (gathered + kBlockFrames > capacity && !writeGathered())
            return;
    } while (double(position) < endLimit);
    if (gathered > 0)
        writeGathered();
}

void AudioConverter::finishAudioConverter()
{
    if (delegate_)
        delegate_->finishAudioConverter();
}

std::string AudioConverter::failureText() const
{
    switch (failure_) {
    case AudioConvertFailure::None:
        return {};
    case AudioConvertFailure::NoSource:
        return "not a readable audio file: " + sourceAudioPath_;
    case AudioConvertFailure::NoAudio:
        return "nothing to export: the range holds no audio of " + sourceAudioPath_ + "; " + exportAudioPath_
            + " was not touched";
    case AudioConvertFailure::SameFile:
        return "cannot export a file onto itself: " + exportAudioPath_;
    case AudioConvertFailure::CannotCreate:
        return "cannot create file: " + exportAudioPath_ + " (" + audiofile::reasonFor(status_) + ")";
    case AudioConvertFailure::ReadFailed:
        return "reading " + sourceAudioPath_ + " failed part-way; " + exportAudioPath_ + " holds what was read";
    case AudioConvertFailure::WriteFailed:
        return "writing " + exportAudioPath_ + " failed (" + audiofile::reasonFor(status_)
            + "); nothing was written there";
    }
    return {};
}
