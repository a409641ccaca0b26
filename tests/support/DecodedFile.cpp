#include "support/DecodedFile.h"

#include "AudioRecord/AudioFileStream.h"

DecodedFile decodeFile(const std::string& path)
{
    DecodedFile result;
    auto stream = AudioFileStream::streamForReadingAtPath(path);
    if (!stream)
        return result;
    const AudioStreamBasicDescription file = stream->audioFileFormat();
    const std::uint32_t channels = file.mChannelsPerFrame;
    if (channels == 0 || channels > kMaxAudioChannels)
        return result;
    AudioStreamBasicDescription client{};
    client.mSampleRate = file.mSampleRate;
    client.mFormatID = kAudioFormatLinearPCM;
    client.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    client.mBitsPerChannel = 32;
    client.mBytesPerFrame = client.mBytesPerPacket = 4;
    client.mFramesPerPacket = 1;
    client.mChannelsPerFrame = channels;
    stream->setClientDataFormat(client);

    constexpr std::uint32_t kChunk = 4096;
    result.channels.assign(channels, {});
    for (;;) {
        const std::size_t at = result.frames();
        AudioBufferList list;
        list.mNumberBuffers = channels;
        for (std::uint32_t c = 0; c < channels; ++c) {
            result.channels[c].resize(at + kChunk);
            list.mBuffers[c] = {1, kChunk * 4, result.channels[c].data() + at};
        }
        const std::int32_t got = std::max(stream->readBufferList(&list, kChunk), std::int32_t(0));
        for (auto& channel : result.channels)
            channel.resize(at + std::size_t(got));
        if (got == 0)
            break;
    }
    result.sampleRate = file.mSampleRate;
    result.ok = true;
    return result;
}
