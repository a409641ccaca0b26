#include "Export/AudioConverter.h"

#include "platform/InterruptedRecording.h"
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
    recordings_ = request.recordings;
    loudnessTarget_ = request.loudness;
    quality_ = request.quality;
    markers_ = request.markers;
}

void AudioConverter::initDefaultAudioFormat()
{
    defaultFormat_ = audiofile::floatPlanarFormat(rate_, 2);
}

// Both client channels reach a stereo file as they are: the sound server
// already spreads a mono device over both, so no channel map is set. A mono
// file takes their mean from the writer, as a mono recording does.
ExtAudioFileRef AudioConverter::createExportAudioRef(const std::string& path)
{
    ExtAudioFileRef file;
    status_ = ExtAudioFile::create(path, audioFromat_->fileType, fileFormat_,
        kAudioFileFlags_EraseFile | kExtAudioFileFlags_AppearWhenComplete, file,
        recordedBitRate(*audioFromat_, quality_, int(fileFormat_.mChannelsPerFrame)));
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
    framesMeasured_.store(0, std::memory_order_relaxed);
    framesToDo_.store(0, std::memory_order_relaxed);
    loudness_ = {};
    gain_ = 1;
    limiter_.reset();
    outputPeak_.reset();
    delayed_ = 0;
    shaped_ = 0;
    rate_ = kSampleRate;
    fileFormat_ = audioFromat_->fileFormat;

    // A quality the format does not take would fail only once the file is
    // made; the command line and the window check first, this is the last word.
    if (!qualityRefusal(*audioFromat_, quality_).empty())
        return fail(AudioConvertFailure::Refused, kAudioFileUnsupportedDataFormatError);
    // The source is opened and prepared before the destination is touched,
    // so a missing or unreadable source leaves an existing file as it was.
    if (sameFile(sourceAudioPath_, exportAudioPath_))
        return fail(AudioConvertFailure::SameFile, kAudioFilePermissionsError);
    // Renamed over, the recording would go on into a file no name reaches.
    for (const std::string& recording : recordings_)
        if (recordingMarkNames(recording, exportAudioPath_))
            return fail(AudioConvertFailure::BeingRecorded, kAudioFilePermissionsError);
    ExtAudioFileRef source = creatSourceAudioRef();
    if (!source)
        return fail(AudioConvertFailure::NoSource, status_);
    AudioStreamBasicDescription fileFormat;
    std::uint32_t size = sizeof fileFormat;
    source->getProperty(kExtAudioFileProperty_FileDataFormat, &size, &fileFormat);
    const double fileRate = fileFormat.mSampleRate > 0 ? fileFormat.mSampleRate : kSampleRate;
    // Everything from here on runs at the file's rate: the source decoded to
    // it (at the source's own rate, nothing resampled), the range, the fades
    // and the meter.
    fileFormat_ = recordedFormat(*audioFromat_, quality_, fileRate);
    rate_ = fileFormat_.mSampleRate;
    initDefaultAudioFormat();
    if (OSStatus s
        = source->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof defaultFormat_, &defaultFormat_))
        return fail(AudioConvertFailure::NoSource, s);

    std::int64_t fileFrames = 0;
    size = sizeof fileFrames;
    source->getProperty(kExtAudioFileProperty_FileLengthFrames, &size, &fileFrames);

    // Positions count frames at rate_; the seek counts the source's own, so
    // a source of another rate is entered at the trim start's time.
    const FadeEnvelope range = envelope();
    const std::int64_t startFrame = std::max<std::int64_t>(0, range.firstFrame(rate_));
    std::int64_t count = range.endFrame(rate_) - startFrame;
    // Clamped to the stated length, so that the fade-out ends where the
    // audio does; a length that is missing or says the start lies past the
    // end is not trusted: reading tells.
    const std::int64_t stated = std::llround(double(fileFrames) * rate_ / fileRate) - startFrame;
    if (fileFrames > 0 && stated > 0)
        count = std::min(count, stated);
    // A range without a frame of audio would make an empty file in the
    // destination's place and call it a success: refused, nothing touched.
    if (!(trimEndTime_ > trimStartTime_) || count <= 0)
        return fail(AudioConvertFailure::NoAudio, kAudioFileEndOfFileError);
    source->seek(std::llround(double(startFrame) * fileRate / rate_));
    AudioBufferList list;
    list.mNumberBuffers = 2;
    list.mBuffers[0] = {1, kBlockFrames * std::uint32_t(sizeof(float)), left_.data()};
    list.mBuffers[1] = {1, kBlockFrames * std::uint32_t(sizeof(float)), right_.data()};
    std::uint32_t firstFrames = std::uint32_t(std::min<std::int64_t>(kBlockFrames, count));
    if (OSStatus s = source->read(&firstFrames, &list))
        return fail(AudioConvertFailure::NoSource, s);
    if (firstFrames == 0)
        return fail(AudioConvertFailure::NoAudio, kAudioFileEndOfFileError);
    // Measured before the destination is touched, then read again from the start.
    if (loudnessTarget_) {
        framesToDo_.store(2 * count, std::memory_order_relaxed);
        if (!measureLoudness(*source, count, firstFrames))
            return;
        source->seek(std::llround(double(startFrame) * fileRate / rate_));
        firstFrames = std::uint32_t(std::min<std::int64_t>(kBlockFrames, count));
        if (OSStatus s = source->read(&firstFrames, &list))
            return fail(AudioConvertFailure::NoSource, s);
        if (firstFrames == 0)
            return fail(AudioConvertFailure::NoSource, kAudioFileEndOfFileError);
    }

    // An export killed outright (SIGKILL, a power loss) could not remove its
    // hidden file; this one removes what such exports left over a day ago.
    const std::size_t slash = exportAudioPath_.rfind('/');
    audiofile::removeStaleTemporaries(slash == std::string::npos ? "." : exportAudioPath_.substr(0, slash + 1));
    // Written beside the destination, which it replaces only once complete.
    ExtAudioFileRef destination = createExportAudioRef(exportAudioPath_);
    if (!destination)
        return fail(AudioConvertFailure::CannotCreate, status_);

    framesToDo_.store((loudnessTarget_ ? 2 : 1) * count, std::memory_order_relaxed);
    convertBlocks(*source, *destination, count, firstFrames);
    keepMarkers(*destination, startFrame, count);

    source->dispose();
    // A write that failed has left the writer failed: disposing of it removes
    // its file, as it does when completing the file fails; so does a cancel.
    if (failure_ == AudioConvertFailure::Cancelled)
        destination->abandon(kAudioFileCancelledError);
    if (OSStatus s = destination->dispose(); s != noErr && failure_ != AudioConvertFailure::WriteFailed)
        fail(AudioConvertFailure::WriteFailed, s);
    if (outputPeak_)
        loudness_.truePeakDb = loudness::gainToDb(outputPeak_->peak());
    finishAudioConverter();
}

void AudioConverter::keepMarkers(ExtAudioFile& destination, std::int64_t startFrame, std::int64_t count)
{
    writtenMarkers_.clear();
    std::vector<double> seconds;
    if (markers_) {
        seconds = *markers_;
    } else {
        AudioMarkers inSource;
        double sourceRate = 0;
        if (audiofile::readMarkers(sourceAudioPath_, inSource, sourceRate) && sourceRate > 0)
            for (const std::int64_t frame : inSource)
                seconds.push_back(double(frame) / sourceRate);
    }
    for (const double at : seconds) {
        const std::int64_t frame = std::llround(at * rate_) - startFrame;
        if (frame >= 0 && frame < count)
            writtenMarkers_.push_back(frame);
    }
    std::sort(writtenMarkers_.begin(), writtenMarkers_.end());
    writtenMarkers_.erase(std::unique(writtenMarkers_.begin(), writtenMarkers_.end()), writtenMarkers_.end());
    if (!writtenMarkers_.empty())
        destination.setMarkers(writtenMarkers_);
}

namespace {

// Scales frames [index, index + frames) of an export of `count` frames by
// their gains. Frames at full gain are left as they are: away from the
// fades, nothing is computed.
void applyFades(const FadeEnvelope& envelope, double rate, std::int64_t index, std::int64_t count,
    std::uint32_t frames, float* left, float* right)
{
    const auto rampFrames = [rate](float seconds) {
        return seconds > 0 ? std::int64_t(std::ceil(double(seconds) * rate)) : 0;
    };
    // Frames before fullFrom and from fullTo on may be below full gain.
    const std::int64_t fullFrom = rampFrames(envelope.fadeIn);
    const std::int64_t fullTo = count - 1 - rampFrames(envelope.fadeOut);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::int64_t frame = index + i;
        if (frame >= fullFrom && frame <= fullTo) {
            // Skip to the end of the full stretch within this block.
            i = std::uint32_t(std::min<std::int64_t>(fullTo - index, frames - 1));
            continue;
        }
        const float gain = envelope.gainOfFrame(frame, count, rate);
        left[i] *= gain;
        right[i] *= gain;
    }
}

}  // namespace

bool AudioConverter::measureLoudness(ExtAudioFile& source, std::int64_t count, std::uint32_t firstFrames)
{
    loudness::LoudnessMeter meter(rate_, int(fileFormat_.mChannelsPerFrame));
    loudness::TruePeakMeter peak;
    AudioBufferList list;
    list.mNumberBuffers = 2;
    std::int64_t position = 0;
    for (std::uint32_t frames = firstFrames; frames > 0;) {
        meter.add(left_.data(), right_.data(), frames);
        peak.add(left_.data(), right_.data(), frames);
        position += frames;
        framesMeasured_.fetch_add(frames, std::memory_order_relaxed);
        if (position >= count)
            break;
        if (cancelled_.load(std::memory_order_relaxed)) {
            fail(AudioConvertFailure::Cancelled, kAudioFileCancelledError);
            return false;
        }
        frames = std::uint32_t(std::min<std::int64_t>(kBlockFrames, count - position));
        list.mBuffers[0] = {1, frames * std::uint32_t(sizeof(float)), left_.data()};
        list.mBuffers[1] = {1, frames * std::uint32_t(sizeof(float)), right_.data()};
        // Nothing is written yet: a source that cannot be read through is not exported at all.
        if (OSStatus s = source.read(&frames, &list)) {
            fail(AudioConvertFailure::NoSource, s);
            return false;
        }
    }

    // Silence has no loudness to bring anywhere: it is written as it is.
    loudness_.measured = meter.integrated();
    if (loudness_.measured) {
        loudness_.gainDb = *loudnessTarget_ - *loudness_.measured;
        gain_ = float(loudness::dbToGain(loudness_.gainDb));
    }
    // The limiter only where a peak, gained, would pass the ceiling: the rest
    // of the time it would be exactly 1 anyway, and costs a pass of its own.
    const double ceiling = loudness::dbToGain(loudness::kCeilingDb);
    if (peak.peak() * gain_ > ceiling) {
        limiter_ = std::make_unique<loudness::TruePeakLimiter>(rate_, ceiling);
        delayed_ = loudness::TruePeakLimiter::kLatency;
        loudness_.limited = true;
    }
    outputPeak_ = std::make_unique<loudness::TruePeakMeter>();
    return true;
}

std::uint32_t AudioConverter::shape(float* left, float* right, std::uint32_t frames, std::int64_t count)
{
    if (gain_ != 1)
        for (std::uint32_t i = 0; i < frames; ++i) {
            left[i] *= gain_;
            right[i] *= gain_;
        }
    if (limiter_) {
        limiter_->process(left, right, frames);
        // What comes out first is the limiter's delay, not audio.
        if (delayed_ > 0) {
            const std::uint32_t skip = std::min(delayed_, frames);
            std::copy(left + skip, left + frames, left);
            std::copy(right + skip, right + frames, right);
            frames -= skip;
            delayed_ -= skip;
        }
    }
    applyFades(envelope(), rate_, shaped_, count, frames, left, right);
    if (outputPeak_)
        outputPeak_->add(left, right, frames);
    shaped_ += frames;
    return frames;
}

void AudioConverter::convertBlocks(
    ExtAudioFile& source, ExtAudioFile& destination, std::int64_t count, std::uint32_t firstFrames)
{
    const auto capacity = std::uint32_t(left_.size());
    std::int64_t position = 0;
    std::uint32_t gathered = 0;
    AudioBufferList list;
    list.mNumberBuffers = 2;
    // The limiter's last frames, pushed out by as many of silence; the
    // buffers always have a block's room left (see the loop's end).
    static_assert(loudness::TruePeakLimiter::kLatency <= kBlockFrames);
    auto flushLimiter = [&] {
        if (!limiter_)
            return;
        float* left = left_.data() + gathered;
        float* right = right_.data() + gathered;
        std::fill_n(left, loudness::TruePeakLimiter::kLatency, 0.0F);
        std::fill_n(right, loudness::TruePeakLimiter::kLatency, 0.0F);
        gathered += shape(left, right, loudness::TruePeakLimiter::kLatency, count);
    };
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
    while (position < count) {
        if (cancelled_.load(std::memory_order_relaxed))
            return fail(AudioConvertFailure::Cancelled, kAudioFileCancelledError);
        float* left = left_.data() + gathered;
        float* right = right_.data() + gathered;
        std::uint32_t frames = std::exchange(firstFrames, 0);
        if (frames == 0) {
            frames = std::uint32_t(std::min<std::int64_t>(kBlockFrames, count - position));
            list.mBuffers[0] = {1, frames * std::uint32_t(sizeof(float)), left};
            list.mBuffers[1] = {1, frames * std::uint32_t(sizeof(float)), right};
            if (OSStatus s = source.read(&frames, &list)) {
                std::fputs("read Error\n", stderr);
                // What was read before the error is kept, as it would have been written by then.
                flushLimiter();
                if (writeGathered())
                    fail(AudioConvertFailure::ReadFailed, s);
                return;
            }
            if (frames == 0)
                break;
        }
        position += frames;
        gathered += shape(left, right, frames, count);
        if (gathered + kBlockFrames > capacity && !writeGathered())
            return;
    }
    flushLimiter();
    if (gathered > 0)
        writeGathered();
}

void AudioConverter::finishAudioConverter()
{
    if (delegate_)
        delegate_->finishAudioConverter();
}

std::string AudioConverter::loudnessText() const
{
    char line[160];
    if (loudness_.measured)
        std::snprintf(line, sizeof line, "loudness %.1f LUFS, gain %+.1f dB, true peak %.1f dBTP",
            *loudness_.measured, loudness_.gainDb, loudness_.truePeakDb);
    else
        std::snprintf(line, sizeof line,
            "loudness: silent (nothing above %.0f LUFS), no gain applied, true peak %.1f dBTP",
            loudness::kAbsoluteGate, loudness_.truePeakDb);
    return line;
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
    case AudioConvertFailure::BeingRecorded:
        return exportAudioPath_ + " is being recorded: choose another file";
    case AudioConvertFailure::CannotCreate:
        return "cannot create file: " + exportAudioPath_ + " (" + destinationReason() + ")";
    case AudioConvertFailure::ReadFailed:
        return "reading " + sourceAudioPath_ + " failed part-way; " + exportAudioPath_ + " holds what was read";
    case AudioConvertFailure::WriteFailed:
        return "writing " + exportAudioPath_ + " failed (" + destinationReason() + "); nothing was written there";
    case AudioConvertFailure::Cancelled:
        return "cancelled; " + exportAudioPath_ + " was not touched";
    case AudioConvertFailure::Refused:
        return qualityRefusal(*audioFromat_, quality_);
    }
    return {};
}

std::string AudioConverter::destinationReason() const
{
    // A file that is there and refused for its permissions is the user's to
    // unprotect; a folder that may not be written is another matter.
    struct stat st { };
    if (status_ == kAudioFilePermissionsError && ::lstat(exportAudioPath_.c_str(), &st) == 0 && S_ISREG(st.st_mode)
        && audiofile::checkDestination(exportAudioPath_) == status_)
        return "write-protected";
    return audiofile::reasonFor(status_);
}
