// libFuzzer target: the file reader and the completion of interrupted
// recordings on arbitrary bytes. Each input is opened through a memory file,
// read whole in one client format, then read again after a seek in another,
// so the demuxer, decoder, resampler and the reader's own bookkeeping all
// meet damaged input; then, as a file on disk, it is completed and read again.
#include "platform/ExtAudioFile.h"
#include "platform/InterruptedRecording.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

AudioStreamBasicDescription client(double rate, std::uint32_t channels, bool interleaved, bool isFloat)
{
    AudioStreamBasicDescription f;
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    const std::uint32_t bits = isFloat ? 32 : 16;
    f.mFormatFlags = (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked
        | (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
    f.mBitsPerChannel = bits;
    f.mBytesPerFrame = bits / 8 * (interleaved ? channels : 1);
    f.mBytesPerPacket = f.mBytesPerFrame;
    f.mFramesPerPacket = 1;
    f.mChannelsPerFrame = channels;
    return f;
}

// Reads until the end or a bound on the work one input may cost.
void readSome(ExtAudioFile& file, const AudioStreamBasicDescription& f)
{
    constexpr std::uint32_t kBlock = 1024;
    const std::size_t planeBytes = std::size_t(kBlock) * f.mBytesPerFrame;
    const std::uint32_t buffers = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) ? f.mChannelsPerFrame : 1;
    std::vector<std::vector<std::uint8_t>> storage(buffers, std::vector<std::uint8_t>(planeBytes));
    for (int i = 0; i < 256; ++i) {
        AudioBufferList list;
        list.mNumberBuffers = buffers;
        for (std::uint32_t b = 0; b < buffers; ++b)
            list.mBuffers[b]
                = AudioBuffer{buffers == 1 ? f.mChannelsPerFrame : 1, std::uint32_t(planeBytes), storage[b].data()};
        std::uint32_t frames = kBlock;
        if (file.read(&frames, &list) != noErr || frames == 0)
            return;
    }
}

void readFile(const std::string& path, std::size_t salt)
{
    ExtAudioFileRef file;
    if (ExtAudioFile::open(path, file) == noErr) {
        AudioStreamBasicDescription format;
        std::uint32_t sizeOf = sizeof format;
        file->getProperty(kExtAudioFileProperty_FileDataFormat, &sizeOf, &format);
        std::int64_t length = 0;
        sizeOf = sizeof length;
        file->getProperty(kExtAudioFileProperty_FileLengthFrames, &sizeOf, &length);
        const AudioStreamBasicDescription planar = client(44100, 2, false, true);
        if (file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof planar, &planar) == noErr)
            readSome(*file, planar);
        const AudioStreamBasicDescription interleaved = client(22050, 3, true, false);
        if (file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof interleaved, &interleaved) == noErr) {
            file->seek(length > 0 ? std::int64_t(salt) % length : 0);
            readSome(*file, interleaved);
        }
        file->dispose();
    }
}

// One folder per fuzzing process, for the completion's file and the
// temporary it may write beside it.
struct WorkFolder {
    std::string path;
    WorkFolder()
    {
        char name[] = "/tmp/traytape-fuzz-XXXXXX";
        path = ::mkdtemp(name) ? name : "/tmp";
    }
    ~WorkFolder() { ::rmdir(path.c_str()); }
};

const std::string& workFolder()
{
    static const WorkFolder folder;
    return folder.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = ::memfd_create("input", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (::write(fd, data, size) == ssize_t(size))
        readFile("/proc/self/fd/" + std::to_string(fd), size);
    ::close(fd);

    // The extension matters to nobody: the completion looks at the bytes.
    const std::string path = workFolder() + "/input.m4a";
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return 0;
    const bool written = ::write(out, data, size) == ssize_t(size);
    ::close(out);
    if (written && completeInterruptedRecording(path) == noErr)
        readFile(path, size);
    ::unlink(path.c_str());
    return 0;
}
