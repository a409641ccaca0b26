// The table of formats (AudioFormat.h).
#include "platform/AudioFormat.h"

#include "platform/audiofile/AacSink.h"
#include "platform/audiofile/CrashRecovery.h"
#include "platform/audiofile/FlacSink.h"
#include "platform/audiofile/Mp3Sink.h"
#include "platform/audiofile/OggSink.h"
#include "platform/audiofile/WavSink.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

using namespace audiofile;

namespace {

constexpr AudioStreamBasicDescription kAac44100Stereo{
    .mSampleRate = 44100, .mFormatID = kAudioFormatMPEG4AAC, .mFramesPerPacket = 1024, .mChannelsPerFrame = 2};

constexpr AudioStreamBasicDescription kPcm32Bit44100Stereo{.mSampleRate = 44100,
    .mFormatID = kAudioFormatLinearPCM,
    .mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
    .mBytesPerPacket = 8,
    .mFramesPerPacket = 1,
    .mBytesPerFrame = 8,
    .mChannelsPerFrame = 2,
    .mBitsPerChannel = 32};

// Lossless at the 24 bits the sound server's float samples carry.
constexpr AudioStreamBasicDescription kFlac24Bit44100Stereo{
    .mSampleRate = 44100, .mFormatID = kAudioFormatFLAC, .mChannelsPerFrame = 2, .mBitsPerChannel = 24};

// Opus takes 48 kHz only.
constexpr AudioStreamBasicDescription kOpus48000Stereo{
    .mSampleRate = 48000, .mFormatID = kAudioFormatOpus, .mChannelsPerFrame = 2};

constexpr AudioStreamBasicDescription kVorbis44100Stereo{
    .mSampleRate = 44100, .mFormatID = kAudioFormatVorbis, .mChannelsPerFrame = 2};

constexpr AudioStreamBasicDescription kMp344100Stereo{
    .mSampleRate = 44100, .mFormatID = kAudioFormatMPEGLayer3, .mFramesPerPacket = 1152, .mChannelsPerFrame = 2};

// The depths a WAVE file stores, and a FLAC file, each format's own first.
constexpr SampleDepth kWavDepths[] = {SampleDepth::Int32, SampleDepth::Int16, SampleDepth::Int24, SampleDepth::Float32};
constexpr SampleDepth kFlacDepths[] = {SampleDepth::Int24, SampleDepth::Int16};
constexpr int kOpusRates[] = {48000};

// The first row is the default.
constexpr AudioFormat kFormats[] = {
    {.id = "m4a",
        .displayName = "AAC (.m4a)",
        .audioFormatCode = 0,
        .kindName = "MPEG-4 audio",
        .extensions = {"m4a"},
        .fileType = kAudioFileM4AType,
        .fileFormat = kAac44100Stereo,
        .codec = "aac",
        .bitRates = {128000, 192000},
        .lossless = false,
        .exportable = true,
        .crashSafety = "every fragment written, one each half second; a stop or recovery makes it an ordinary file",
        .acceptFormat = acceptAacFormat,
        .createSink = createAacSink,
        .writtenHeader = mp4WrittenHeader,
        .completeAfterCrash = completeMp4AfterCrash,
        // FFmpeg's encoder tops out near 256 kb/s a channel at 44.1 kHz.
        .bitRateRange = {32000, 256000}},
    {.id = "wav",
        .displayName = "WAVE (.wav)",
        .audioFormatCode = 1,
        .kindName = "WAVE audio",
        .extensions = {"wav"},
        .fileType = kAudioFileWAVEType,
        .fileFormat = kPcm32Bit44100Stereo,
        .codec = "pcm_s32le",
        .bitRates = {0, 0},
        .lossless = true,
        .exportable = true,
        .crashSafety = "all but what the queue held: the header's sizes follow each batch of audio",
        .acceptFormat = acceptWavFormat,
        .createSink = createWavSink,
        .writtenHeader = waveWrittenHeader,
        .completeAfterCrash = completeWaveAfterCrash,
        .depths = kWavDepths},
    {.id = "caf",
        .displayName = nullptr,
        .audioFormatCode = -1,
        .kindName = "Core Audio Format",
        .extensions = {"caf"},
        .fileType = kAudioFileCAFType,
        .fileFormat = kAac44100Stereo,
        .codec = "aac",
        .bitRates = {128000, 192000},
        .lossless = false,
        .exportable = true,
        .crashSafety = "the packets its packet table names, brought up to date each half second",
        .acceptFormat = acceptAacFormat,
        .createSink = createAacSink,
        .writtenHeader = cafWrittenHeader,
        .completeAfterCrash = completeCafAfterCrash},
    {.id = "flac",
        .displayName = "FLAC (.flac)",
        .audioFormatCode = 2,
        .kindName = "FLAC audio",
        .extensions = {"flac"},
        .fileType = kAudioFileFLACType,
        .fileFormat = kFlac24Bit44100Stereo,
        .codec = "flac",
        .bitRates = {0, 0},
        .lossless = true,
        .exportable = true,
        .crashSafety
        = "every whole frame (a tenth of a second each) as it is encoded; a stop or recovery states the length",
        .acceptFormat = acceptFlacFormat,
        .createSink = createFlacSink,
        .writtenHeader = flacWrittenHeader,
        .completeAfterCrash = completeFlacAfterCrash,
        .depths = kFlacDepths},
    {.id = "opus",
        .displayName = "Opus (.opus)",
        .audioFormatCode = 3,
        .kindName = "Opus audio",
        .extensions = {"opus"},
        .fileType = kAudioFileOggOpusType,
        .fileFormat = kOpus48000Stereo,
        .codec = "libopus",
        .bitRates = {48000, 96000},
        .lossless = false,
        .exportable = true,
        .crashSafety = "every Ogg page written, one each quarter of a second",
        .acceptFormat = acceptOggFormat,
        .createSink = createOggSink,
        .writtenHeader = oggWrittenHeader,
        .completeAfterCrash = completeOggAfterCrash,
        .sampleRates = kOpusRates,
        .takesSourceRate = false,
        .bitRateRange = {24000, 256000}},
    {.id = "ogg",
        .displayName = "Ogg Vorbis (.ogg)",
        .audioFormatCode = 4,
        .kindName = "Ogg Vorbis audio",
        .extensions = {"ogg", "oga"},
        .fileType = kAudioFileOggVorbisType,
        .fileFormat = kVorbis44100Stereo,
        .codec = "libvorbis",
        .bitRates = {80000, 128000},
        .lossless = false,
        .exportable = true,
        .crashSafety = "every Ogg page written, one each quarter of a second",
        .acceptFormat = acceptOggFormat,
        .createSink = createOggSink,
        .writtenHeader = oggWrittenHeader,
        .completeAfterCrash = completeOggAfterCrash,
        // libvorbis's managed bit rates exist for 44.1 and 48 kHz, from 48
        // kb/s (stereo's lowest) to 240 (mono's highest); at 96 kHz none does.
        .takesSourceRate = false,
        .bitRateRange = {48000, 240000}},
    {.id = "mp3",
        .displayName = "MP3 (.mp3)",
        .audioFormatCode = 5,
        .kindName = "MP3 audio",
        .extensions = {"mp3"},
        .fileType = kAudioFileMP3Type,
        .fileFormat = kMp344100Stereo,
        .codec = "libmp3lame",
        .bitRates = {0, 0},
        .lossless = false,
        .exportable = true,
        .crashSafety = "every frame as it is encoded; a stop or recovery states the length in the Info frame",
        .acceptFormat = acceptMp3Format,
        .createSink = createMp3Sink,
        .writtenHeader = mp3WrittenHeader,
        .completeAfterCrash = completeMp3AfterCrash,
        // MPEG audio has no rates above 48 kHz; a chosen bit rate is constant,
        // LAME's own range for stereo music.
        .takesSourceRate = false,
        .bitRateRange = {128000, 320000}},
};

}  // namespace

std::span<const AudioFormat> audioFormats()
{
    return kFormats;
}

const AudioFormat& defaultAudioFormat()
{
    return kFormats[0];
}

const AudioFormat* audioFormatNamed(std::string_view id)
{
    const auto* row
        = std::find_if(std::begin(kFormats), std::end(kFormats), [id](const AudioFormat& f) { return f.id == id; });
    return row == std::end(kFormats) ? nullptr : row;
}

const AudioFormat* audioFormatOfFileType(AudioFileTypeID fileType)
{
    const auto* row = std::find_if(
        std::begin(kFormats), std::end(kFormats), [fileType](const AudioFormat& f) { return f.fileType == fileType; });
    return row == std::end(kFormats) ? nullptr : row;
}

const AudioFormat* audioFormatForPath(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size())
        return &defaultAudioFormat();
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const AudioFormat& f : kFormats)
        if (std::find(f.extensions.begin(), f.extensions.end(), ext) != f.extensions.end())
            return &f;
    return nullptr;
}

std::string audioFormatExtensions(bool exportableOnly)
{
    std::string text;
    for (const AudioFormat& f : kFormats)
        if (f.exportable || !exportableOnly)
            text += (text.empty() ? "." : ", .") + std::string(f.extension());
    return text;
}

const AudioFormat& audioFormatForCode(long long audioFormatCode)
{
    for (const AudioFormat& f : kFormats)
        if (f.recordable() && f.audioFormatCode == audioFormatCode)
            return f;
    return defaultAudioFormat();
}

namespace {

std::string kbps(int bitsPerSecond)
{
    return std::to_string(bitsPerSecond / 1000);
}

bool takesRate(const AudioFormat& format, int rate)
{
    if (rate == AudioQuality::kSourceRate)
        return format.takesSourceRate;
    return std::find(format.sampleRates.begin(), format.sampleRates.end(), rate) != format.sampleRates.end();
}

}  // namespace

std::string qualityRefusal(const AudioFormat& format, const AudioQuality& quality)
{
    const std::string name = "." + std::string(format.extension());
    if (quality.sampleRate != 0 && !takesRate(format, quality.sampleRate)) {
        std::string rates;
        for (const int rate : format.sampleRates)
            rates += (rates.empty() ? "" : ", ") + std::to_string(rate);
        return name + " records at " + rates + " Hz" + (format.takesSourceRate ? " or the source's rate" : "")
            + " only";
    }
    if (quality.channels != 0 && quality.channels != 1 && quality.channels != 2)
        return "a recording has 1 or 2 channels";
    if (quality.depth && std::find(format.depths.begin(), format.depths.end(), *quality.depth) == format.depths.end()) {
        if (format.depths.empty())
            return name + " is compressed: it takes no bit depth";
        std::string depths;
        for (const SampleDepth depth : format.depths)
            depths += (depths.empty() ? "" : ", ") + std::string(sampleDepthName(depth));
        return name + " takes the bit depths " + depths + " only";
    }
    if (quality.bitRate != 0) {
        const auto [least, most] = format.bitRateRange;
        if (most == 0)
            return name + " takes no bit rate";
        if (quality.bitRate < least || quality.bitRate > most)
            return name + " takes a bit rate from " + kbps(least) + " to " + kbps(most) + " kb/s";
    }
    return {};
}

AudioStreamBasicDescription recordedFormat(const AudioFormat& format, const AudioQuality& quality, double sourceRate)
{
    AudioStreamBasicDescription f = format.fileFormat;
    if (quality.sampleRate == AudioQuality::kSourceRate)
        f.mSampleRate = sourceRate;
    else if (quality.sampleRate > 0)
        f.mSampleRate = quality.sampleRate;
    if (quality.channels > 0)
        f.mChannelsPerFrame = std::uint32_t(quality.channels);
    if (quality.depth) {
        const bool isFloat = *quality.depth == SampleDepth::Float32;
        f.mBitsPerChannel = *quality.depth == SampleDepth::Int16 ? 16 : *quality.depth == SampleDepth::Int24 ? 24 : 32;
        if (f.mFormatID == kAudioFormatLinearPCM)
            f.mFormatFlags
                = (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked;
    }
    if (f.mFormatID == kAudioFormatLinearPCM) {
        // Derived from the fields above, afresh.
        f.mBytesPerFrame = f.mBitsPerChannel / 8 * f.mChannelsPerFrame;
        f.mBytesPerPacket = f.mBytesPerFrame * f.mFramesPerPacket;
    }
    return f;
}

int recordedBitRate(const AudioFormat& format, const AudioQuality& quality, int channels)
{
    if (format.bitRateRange[1] == 0)
        return format.bitRates[channels == 1 ? 0 : 1];
    return quality.bitRate > 0 ? quality.bitRate : format.bitRates[channels == 1 ? 0 : 1];
}

std::string_view sampleDepthName(SampleDepth depth)
{
    switch (depth) {
    case SampleDepth::Int16:
        return "16";
    case SampleDepth::Int24:
        return "24";
    case SampleDepth::Int32:
        return "32";
    case SampleDepth::Float32:
        return "32f";
    }
    return {};
}

std::optional<SampleDepth> sampleDepthNamed(std::string_view name)
{
    for (const SampleDepth depth : {SampleDepth::Int16, SampleDepth::Int24, SampleDepth::Int32, SampleDepth::Float32})
        if (sampleDepthName(depth) == name)
            return depth;
    return std::nullopt;
}

std::optional<SampleDepth> sampleDepthOf(const AudioStreamBasicDescription& f)
{
    if (f.mFormatID != kAudioFormatLinearPCM && f.mFormatID != kAudioFormatFLAC)
        return std::nullopt;
    if (f.mFormatFlags & kAudioFormatFlagIsFloat)
        return f.mBitsPerChannel == 32 ? std::optional(SampleDepth::Float32) : std::nullopt;
    switch (f.mBitsPerChannel) {
    case 16:
        return SampleDepth::Int16;
    case 24:
        return SampleDepth::Int24;
    case 32:
        return SampleDepth::Int32;
    default:
        return std::nullopt;
    }
}
