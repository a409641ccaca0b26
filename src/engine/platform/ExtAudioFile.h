// An audio file with conversion between the caller's format (the client data
// format) and the format stored in the file, on FFmpeg.
//
// Writing: the formats of the table (AudioFormat.h), created from a stream
// description. Reading: anything FFmpeg decodes.
//
// Threads: every call is made from one owning thread (the main thread),
// except writeAsync, which the audio thread may call while the owner does
// nothing but read writerStatus(). writeAsync copies into a preallocated
// lock-free FIFO that a writer thread of this file drains; it never
// allocates, locks, blocks or touches the disk. dispose() (or the destructor)
// must not overlap a writeAsync call.
//
// Crash safety: while a file is written, the writer makes what it holds
// readable at checkpoints of its format's sink (each row's crashSafety
// says which), also when the audio pauses; it pushes them to the disk with fdatasync every
// kSyncInterval (ExtAudioFileWriter.cpp). A file cut off by a crash or a
// power loss therefore decodes up to about its last checkpoint, and
// completeInterruptedRecording() finishes it. A normal dispose() turns the
// fragmented MPEG-4 file into an ordinary one, synced before it replaces it.
// A file in place from the start that never took a frame is removed by
// dispose(), which answers kAudioFileNothingRecordedError.
#pragma once

#include "platform/CoreAudioTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using ExtAudioFilePropertyID = std::uint32_t;
constexpr ExtAudioFilePropertyID kExtAudioFileProperty_FileDataFormat = fourCC("ffmt");  // AudioStreamBasicDescription
constexpr ExtAudioFilePropertyID kExtAudioFileProperty_ClientDataFormat
    = fourCC("cfmt");  // AudioStreamBasicDescription
constexpr ExtAudioFilePropertyID kExtAudioFileProperty_FileLengthFrames = fourCC("#frm");  // int64, in file frames

// With create(): the file appears at its path only when dispose() succeeds;
// until then it is a hidden file beside it, removed on failure.
constexpr std::uint32_t kExtAudioFileFlags_AppearWhenComplete = 1u << 16;

// Sees the audio a file being written takes, as the file takes it: on the
// thread that writes it into the file (the writer thread for writeAsync),
// never on the audio thread. Interleaved float frames of the client's first
// channels (at most the file's), at the client's rate, before conversion.
class ExtAudioFileWriteObserver {
public:
    virtual ~ExtAudioFileWriteObserver() = default;
    virtual void framesWritten(const float* interleaved, int frames, int channels, double clientRate) = 0;
};

// Moments the user marked in a file: frames from its first frame, at the
// file's own rate, ascending.
using AudioMarkers = std::vector<std::int64_t>;

class ExtAudioFile {
public:
    // Creates (replacing, with kAudioFileFlags_EraseFile) a file of the given
    // type holding the given data format. out is set only on success. The
    // file is written beside the path and renamed over it (SafeFile.h): a
    // link at the path is replaced, never followed; a device, FIFO or folder
    // there is refused with kAudioFileNotRegularFileError; a file there that
    // may not be written, with kAudioFilePermissionsError. bitRate (bits per
    // second) replaces the row's for an encoder that takes one; 0 keeps it.
    static OSStatus create(const std::string& path, AudioFileTypeID fileType,
        const AudioStreamBasicDescription& fileFormat, std::uint32_t flags, std::unique_ptr<ExtAudioFile>& out,
        int bitRate = 0);
    // Opens an existing file for reading. out is set only on success.
    static OSStatus open(const std::string& path, std::unique_ptr<ExtAudioFile>& out);

    ExtAudioFile(const ExtAudioFile&) = delete;
    ExtAudioFile& operator=(const ExtAudioFile&) = delete;
    // Completes the file as dispose() does.
    virtual ~ExtAudioFile();

    virtual OSStatus getProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData) = 0;
    virtual OSStatus setProperty(ExtAudioFilePropertyID id, std::uint32_t size, const void* data) = 0;

    // Reads up to *ioFrames client frames; *ioFrames becomes the frames
    // delivered (0 at the end of the file).
    virtual OSStatus read(std::uint32_t* ioFrames, AudioBufferList* ioData) = 0;
    // Later reads start at this frame of the file's data format.
    virtual OSStatus seek(std::int64_t frame) = 0;
    // Synchronous write of client frames, for the export path.
    virtual OSStatus write(std::uint32_t frames, const AudioBufferList* data) = 0;
    // Audio thread: queues all of the frames or none. Non-zero when the FIFO
    // lacks room for all of them or the writer has failed.
    virtual OSStatus writeAsync(std::uint32_t frames, const AudioBufferList* data) = 0;
    // Audio thread: how many frames writeAsync would take now. Files written
    // side by side ask each before writing any, so they all take a cycle or none do.
    virtual std::uint32_t asyncRoom() const { return 0; }
    // The first failure the writer hit (a full disk, an I/O error), 0 while
    // none. Any thread.
    virtual OSStatus writerStatus() const = 0;
    // Drains queued frames, flushes the encoder and completes the file.
    // Returns the first failure met while writing or completing. Later calls
    // do nothing and return the same.
    virtual OSStatus dispose() = 0;
    // A file being written that is no longer wanted: dispose() completes
    // nothing more and answers `why`; a file that appears only when complete
    // never appears. A file read from has nothing to give up.
    virtual void abandon(OSStatus why) { (void)why; }
    // From now on every frame the file takes is shown to observer (not
    // owned; it must outlive the file's dispose(), or be replaced by null
    // first). Only a file being written answers noErr.
    virtual OSStatus setWriteObserver(ExtAudioFileWriteObserver*) { return kExtAudioFileError_InvalidProperty; }
    // A file being written keeps these markers (replacing any given before),
    // put in when dispose() completes it where its format has room for them:
    // 'cue ' points with 'labl' names in a WAV, chapters in an M4A. Other
    // formats, and markers past the file's end, leave them out.
    virtual OSStatus setMarkers(const AudioMarkers&) { return kExtAudioFileError_InvalidProperty; }

protected:
    ExtAudioFile() = default;
};

using ExtAudioFileRef = std::unique_ptr<ExtAudioFile>;

constexpr std::uint32_t kAudioFormatProperty_FormatInfo = fourCC("fmti");
// Completes a stream description's derived fields (bytes per frame and per
// packet of packed linear PCM); other formats are returned unchanged.
OSStatus AudioFormatGetProperty(std::uint32_t propertyID, std::uint32_t specifierSize, const void* specifier,
    std::uint32_t* ioPropertyDataSize, void* outPropertyData);

// What users of audio files need of the file code beyond the class above
// (defined with the rest of it in audiofile/).
namespace audiofile {
// 32-bit float linear PCM, one buffer per channel: the client format of the
// capture and the export.
AudioStreamBasicDescription floatPlanarFormat(double rate, std::uint32_t channels);
// The file code's status for a failed system call's errno.
OSStatus statusFromErrno(int err);
// Why a file could not be made, in a few words ("permission denied").
std::string reasonFor(OSStatus s);
// The markers a file holds (setMarkers()), and the rate they count frames
// at: a WAV's cue points, the chapters FFmpeg reads of any other file. False
// when the file cannot be read; true with none when it holds none.
bool readMarkers(const std::string& path, AudioMarkers& markers, double& rate);
}  // namespace audiofile
