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
        .completeAfterCrash = completeMp4AfterCrash},
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
        .completeAfterCrash = completeWaveAfterCrash},
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
        .completeAfterCrash = completeFlacAfterCrash},
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
        .completeAfterCrash = completeOggAfterCrash},
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
        .completeAfterCrash = completeOggAfterCrash},
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
        .completeAfterCrash = completeMp3AfterCrash},
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
