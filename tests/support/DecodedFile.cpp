#include "support/DecodedFile.h"

#include "AudioRecord/AudioFileStream.h"

#include <cmath>

DecodedFile decodeFile(const std::string& path)
{
    DecodedFile result;
    auto stream = AudioFileStream::streamForReadingAtPath(path);
    if (!stream)
        return result;
    const AudioStreamBasicDescription file = stream->audioFileFormat();
    AudioStreamBasicDescription client{};
    client.mSampleRate = file.mSampleRate;
    client.mFormatID = kAudioFormatLinearPCM;
    client.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    client.mBitsPerChannel = 32;
    client.mBytesPerFrame = 4;
    client.mBytesPerPacket = 4;
    client.mFramesPerPacket = 1;
    client.mChannelsPerFrame = file.mChannelsPerFrame;
    stream->setClientDataFormat(client);
    if (file.mChannelsPerFrame == 0 || file.mChannelsPerFrame > kMaxAudioChannels)
        return result;

    constexpr std::uint32_t kChunk = 4096;
    std::vector<std::vector<float>> chunk(file.mChannelsPerFrame, std::vector<float>(kChunk));
    result.channels.resize(file.mChannelsPerFrame);
    for (;;) {
        AudioBufferList list;
        list.mNumberBuffers = file.mChannelsPerFrame;
        for (std::uint32_t c = 0; c < file.mChannelsPerFrame; ++c)
            list.mBuffers[c] = {1, kChunk * 4, chunk[c].data()};
        const std::int32_t got = stream->readBufferList(&list, kChunk);
        if (got <= 0)
            break;
        for (std::uint32_t c = 0; c < file.mChannelsPerFrame; ++c)
            result.channels[c].insert(result.channels[c].end(), chunk[c].begin(), chunk[c].begin() + got);
    }
    result.sampleRate = file.mSampleRate;
    result.ok = true;
    return result;
}

double toneAmplitude(
    const std::vector<float>& samples, double sampleRate, double frequency, std::size_t begin, std::size_t end)
{
    if (end == 0 || end > samples.size())
        end = samples.size();
    if (begin >= end)
        return 0;
    const double w = 2 * M_PI * frequency / sampleRate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const double s0 = samples[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / double(end - begin);
}
