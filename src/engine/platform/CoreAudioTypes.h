// The audio data types shared by the engine: stream descriptions, buffer
// lists, statuses and the four-char codes that name formats and properties.
// Plain data, usable from any thread, including the audio thread.
#pragma once

#include <chrono>
#include <cstdint>

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
using AudioFormatID = std::uint32_t;
using AudioFileTypeID = std::uint32_t;

constexpr std::uint32_t fourCC(const char (&s)[5])
{
    return (std::uint32_t(std::uint8_t(s[0])) << 24) | (std::uint32_t(std::uint8_t(s[1])) << 16)
        | (std::uint32_t(std::uint8_t(s[2])) << 8) | std::uint32_t(std::uint8_t(s[3]));
}

constexpr OSStatus noErr = 0;
// Statuses the platform layer answers with; callers only ever test for non-zero.
constexpr OSStatus kAudioHardwareUnspecifiedError = fourCC("what");
constexpr OSStatus kAudioHardwareBadObjectError = fourCC("!obj");
constexpr OSStatus kAudioHardwareUnknownPropertyError = fourCC("who?");
constexpr OSStatus kAudioHardwareBadPropertySizeError = fourCC("!siz");
constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;
constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
constexpr OSStatus kAudioFileUnspecifiedError = fourCC("wht?");
constexpr OSStatus kAudioFileUnsupportedFileTypeError = fourCC("typ?");
constexpr OSStatus kAudioFileUnsupportedDataFormatError = fourCC("fmt?");
constexpr OSStatus kAudioFilePermissionsError = fourCC("prm?");
constexpr OSStatus kAudioFileNotOpenError = -38;
constexpr OSStatus kAudioFileEndOfFileError = -39;
constexpr OSStatus kAudioFileFileNotFoundError = -43;
constexpr OSStatus kAudioFileDiskFullError = -34;  // also any other I/O failure of the writer
// A path that names a device, FIFO, socket or folder where a file was meant.
constexpr OSStatus kAudioFileNotRegularFileError = fourCC("reg?");
// A file name longer than the file system allows, and a whole path longer than a path may be.
constexpr OSStatus kAudioFileNameTooLongError = fourCC("nam?");
constexpr OSStatus kAudioFilePathTooLongError = fourCC("pth?");
// The hidden file written was no longer at its name when it was to take the destination's place.
constexpr OSStatus kAudioFileSwappedError = fourCC("swp?");
// A folder (or the folder a link points to) that belongs to another user.
constexpr OSStatus kAudioFileFolderNotOwnedError = fourCC("usr?");
// A recording stopped before any audio reached it: its file is removed.
constexpr OSStatus kAudioFileNothingRecordedError = fourCC("emp?");
// The caller gave the file up before it was complete (an export cancelled).
constexpr OSStatus kAudioFileCancelledError = fourCC("cnc?");
constexpr OSStatus kExtAudioFileError_InvalidProperty = -66561;
constexpr OSStatus kExtAudioFileError_InvalidSeek = -66565;
constexpr OSStatus kExtAudioFileError_AsyncWriteBufferOverflow = -66570;
constexpr OSStatus kAudioFormatUnsupportedDataFormatError = fourCC("fmt?");

// Format identifiers and flags.
constexpr AudioFormatID kAudioFormatLinearPCM = fourCC("lpcm");
constexpr AudioFormatID kAudioFormatMPEG4AAC = fourCC("aac ");
constexpr AudioFormatID kAudioFormatFLAC = fourCC("flac");
constexpr AudioFormatID kAudioFormatOpus = fourCC("opus");
constexpr AudioFormatID kAudioFormatVorbis = fourCC("vorb");
constexpr AudioFormatID kAudioFormatMPEGLayer3 = fourCC(".mp3");
constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

// File types.
constexpr AudioFileTypeID kAudioFileWAVEType = fourCC("WAVE");
constexpr AudioFileTypeID kAudioFileM4AType = fourCC("m4af");
constexpr AudioFileTypeID kAudioFileCAFType = fourCC("caff");
constexpr AudioFileTypeID kAudioFileFLACType = fourCC("flac");
constexpr AudioFileTypeID kAudioFileOggOpusType = fourCC("Opus");
constexpr AudioFileTypeID kAudioFileOggVorbisType = fourCC("OggV");
constexpr AudioFileTypeID kAudioFileMP3Type = fourCC("MPG3");
constexpr std::uint32_t kAudioFileFlags_EraseFile = 1;

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    AudioFormatID mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;

    friend bool operator==(const AudioStreamBasicDescription&, const AudioStreamBasicDescription&) = default;
};

// The most channels any device or file here carries (the sound server's own limit).
constexpr std::uint32_t kMaxAudioChannels = 32;

struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// A fixed-capacity list, so that one fits on the audio thread's stack without
// the variable-length tail of the C original.
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[kMaxAudioChannels];
};

// mHostTime counts nanoseconds of the monotonic clock (AudioHostTimeNow()):
// on a capture, when the slice's first frame was taken in.
struct AudioTimeStamp {
    double mSampleTime = 0;
    std::uint64_t mHostTime = 0;
    std::uint32_t mFlags = 0;
};
constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 1;
constexpr std::uint32_t kAudioTimeStampHostTimeValid = 2;

inline std::uint64_t AudioHostTimeNow()
{
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

using AudioUnitRenderActionFlags = std::uint32_t;
