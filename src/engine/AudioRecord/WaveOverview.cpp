#include "AudioRecord/WaveOverview.h"

#include <algorithm>
#include <cmath>

float WaveOverview::peakBetween(double from, double to) const
{
    if (frames <= 0 || peaks.empty())
        return -1;
    const double blocks = double(frames) / kBlockFrames;
    const auto first = std::size_t(std::max(0.0, std::floor(from * blocks)));
    // A stretch narrower than a block still shows the block it lies in.
    const auto last = std::max(first + 1, std::size_t(std::max(0.0, std::ceil(to * blocks))));
    if (first >= peaks.size())
        return -1;
    const auto end = peaks.begin() + std::ptrdiff_t(std::min(last, peaks.size()));
    return float(*std::max_element(peaks.begin() + std::ptrdiff_t(first), end)) / kPeakScale;
}

std::uint16_t WaveOverview::quantize(float magnitude)
{
    return std::uint16_t(std::lround(std::clamp(magnitude, 0.0F, 1.0F) * kPeakScale));
}

std::int64_t WaveOverviewBuilder::blockEnd(std::size_t block) const
{
    return std::int64_t(std::ceil(double(block + 1) * WaveOverview::kBlockFrames * clientRate_ / overview_.rate));
}

void WaveOverviewBuilder::framesWritten(const float* interleaved, int frames, int channels, double clientRate)
{
    if (!interleaved || frames <= 0 || channels <= 0 || !(overview_.rate > 0))
        return;
    if (clientRate_ == 0) {
        if (!(clientRate > 0))
            return;
        clientRate_ = clientRate;
        blockEnd_ = blockEnd(0);
    }
    int done = 0;
    while (done < frames) {
        const auto take = int(std::min<std::int64_t>(frames - done, blockEnd_ - clientFrames_));
        const float* p = interleaved + std::size_t(done) * std::size_t(channels);
        float peak = current_;
        for (std::size_t i = 0, n = std::size_t(take) * std::size_t(channels); i < n; ++i) {
            const float magnitude = std::fabs(p[i]);
            peak = magnitude > peak ? magnitude : peak;  // a NaN sample is passed over
        }
        current_ = peak;
        clientFrames_ += take;
        done += take;
        if (clientFrames_ == blockEnd_) {
            overview_.peaks.push_back(WaveOverview::quantize(current_));
            current_ = 0;
            blockEnd_ = blockEnd(overview_.peaks.size());
        }
    }
}

WaveOverview WaveOverviewBuilder::finish() const
{
    WaveOverview done = overview_;
    if (clientRate_ > 0) {
        done.frames = std::llround(double(clientFrames_) * overview_.rate / clientRate_);
        if (clientFrames_ > (done.peaks.empty() ? 0 : blockEnd(done.peaks.size() - 1)))
            done.peaks.push_back(WaveOverview::quantize(current_));
    }
    return done;
}

std::optional<WaveOverview> computeWaveOverview(
    const std::string& path, const std::function<bool(const WaveOverview&)>& progress)
{
    ExtAudioFileRef file;
    if (ExtAudioFile::open(path, file) != noErr)
        return std::nullopt;
    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    std::int64_t length = 0;
    std::uint32_t lengthSize = sizeof length;
    if (file->getProperty(kExtAudioFileProperty_FileDataFormat, &size, &format) != noErr || !(format.mSampleRate > 0)
        || format.mChannelsPerFrame == 0)
        return std::nullopt;
    file->getProperty(kExtAudioFileProperty_FileLengthFrames, &lengthSize, &length);
    // Interleaved float at the file's own rate: the reader converts nothing
    // but the sample layout, and the builder folds every channel in one pass.
    const std::uint32_t channels = format.mChannelsPerFrame;
    AudioStreamBasicDescription client{};
    client.mSampleRate = format.mSampleRate;
    client.mFormatID = kAudioFormatLinearPCM;
    client.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    client.mBytesPerPacket = client.mBytesPerFrame = 4 * channels;
    client.mFramesPerPacket = 1;
    client.mChannelsPerFrame = channels;
    client.mBitsPerChannel = 32;
    if (file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client) != noErr)
        return std::nullopt;

    constexpr std::uint32_t kReadFrames = 64 * WaveOverview::kBlockFrames;
    std::vector<float> samples(std::size_t(kReadFrames) * channels);
    WaveOverviewBuilder builder(format.mSampleRate);
    std::int64_t read = 0;
    for (;;) {
        std::uint32_t frames = kReadFrames;
        AudioBufferList list;
        list.mNumberBuffers = 1;
        list.mBuffers[0] = {channels, std::uint32_t(samples.size() * sizeof(float)), samples.data()};
        if (file->read(&frames, &list) != noErr)
            return std::nullopt;
        if (frames == 0)
            break;
        builder.framesWritten(samples.data(), int(frames), int(channels), format.mSampleRate);
        read += frames;
        if (progress && !progress(builder.partial(std::max(read, length))))
            return std::nullopt;
    }
    return builder.finish();
}
