// Shared by the file suites: stream descriptions, buffer lists over
// per-channel vectors, whole-file writes and decodes, a recording killed
// mid-write, file structure, and command-line decoders as independent judges.
#pragma once

#include "platform/AudioFormat.h"
#include "platform/ExtAudioFile.h"
#include "support/PulseServer.h"
#include "support/Signal.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace eaf_test {

using Channels = std::vector<std::vector<float>>;

// What the format table's row of the type holds, at another rate (0: its
// own) and channel count.
inline AudioStreamBasicDescription fileFormatFor(AudioFileTypeID type, double rate = 0, std::uint32_t channels = 2)
{
    AudioStreamBasicDescription f = audioFormatOfFileType(type)->fileFormat;
    f.mSampleRate = rate > 0 ? rate : f.mSampleRate;
    f.mChannelsPerFrame = channels;
    f.mBytesPerPacket = f.mBytesPerFrame = 0;
    std::uint32_t size = sizeof f;
    AudioFormatGetProperty(kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &f);
    return f;
}

// Whether this FFmpeg has the encoder the type's row writes with.
inline bool haveEncoderFor(AudioFileTypeID type)
{
    const AudioFormat* row = audioFormatOfFileType(type);
    return row && avcodec_find_encoder_by_name(row->codec) != nullptr;
}

// Linear PCM: float (bits 32) or signed integer (bits 16 or 32).
inline AudioStreamBasicDescription pcmClient(
    double rate, std::uint32_t channels, bool interleaved = false, bool isFloat = true, std::uint32_t bits = 32)
{
    AudioStreamBasicDescription f;
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked
        | (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
    f.mBytesPerPacket = f.mBytesPerFrame = bits / 8 * (interleaved ? channels : 1);
    f.mFramesPerPacket = 1;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = bits;
    return f;
}

// A list of one float buffer per channel, pointing into the vectors from frame `first`.
inline AudioBufferList planarList(Channels& channels, std::size_t first, std::uint32_t frames)
{
    AudioBufferList list;
    list.mNumberBuffers = std::uint32_t(channels.size());
    for (std::size_t c = 0; c < channels.size(); ++c)
        list.mBuffers[c] = {1, frames * std::uint32_t(sizeof(float)), channels[c].data() + first};
    return list;
}

// Writes all of the channels' frames, in blocks of `block` frames.
inline OSStatus writeAll(ExtAudioFile& file, Channels& channels, bool async, std::uint32_t block = 512)
{
    const std::size_t total = channels.at(0).size();
    for (std::size_t at = 0; at < total; at += block) {
        const auto n = std::uint32_t(std::min<std::size_t>(block, total - at));
        AudioBufferList list = planarList(channels, at, n);
        if (OSStatus s = async ? file.writeAsync(n, &list) : file.write(n, &list))
            return s;
    }
    return noErr;
}

// Creates path (in the type's usual format unless given one) with float
// planes of `clientRate` as the client format.
inline OSStatus createFile(const std::string& path, AudioFileTypeID type, double clientRate, std::uint32_t channels,
    ExtAudioFileRef& file, const AudioStreamBasicDescription* format = nullptr)
{
    const AudioStreamBasicDescription f = format ? *format : fileFormatFor(type);
    if (OSStatus s = ExtAudioFile::create(path, type, f, kAudioFileFlags_EraseFile, file))
        return s;
    const AudioStreamBasicDescription client = pcmClient(clientRate, channels);
    return file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
}

// A whole file read through ExtAudioFile as float planes at the file's rate,
// with the format and length it states; the status of the first failure.
struct Decoded {
    OSStatus status = noErr;
    AudioStreamBasicDescription fileFormat;
    std::int64_t lengthFrames = -1;
    Channels channels;
    std::size_t frames() const { return channels.empty() ? 0 : channels[0].size(); }
};

inline Decoded decodeFile(const std::string& path)
{
    Decoded d;
    ExtAudioFileRef file;
    if ((d.status = ExtAudioFile::open(path, file)))
        return d;
    std::uint32_t size = sizeof d.fileFormat;
    file->getProperty(kExtAudioFileProperty_FileDataFormat, &size, &d.fileFormat);
    size = sizeof d.lengthFrames;
    file->getProperty(kExtAudioFileProperty_FileLengthFrames, &size, &d.lengthFrames);
    Channels block(d.fileFormat.mChannelsPerFrame, std::vector<float>(4096));
    d.channels.resize(block.size());
    for (std::uint32_t frames = 4096; frames > 0;) {
        AudioBufferList list = planarList(block, 0, frames = 4096);
        if ((d.status = file->read(&frames, &list)) != noErr)
            break;
        for (std::size_t c = 0; c < block.size(); ++c)
            d.channels[c].insert(d.channels[c].end(), block[c].begin(), block[c].begin() + frames);
    }
    return d;
}

// Tests of AAC files are skipped, not failed, on an FFmpeg built without it.
inline bool haveAac()
{
    return avcodec_find_encoder_by_name("aac") != nullptr;
}

inline bool haveTool(const char* name)
{
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Frames a command-line decoder ("ffmpeg" or "sox") gets out of the file as
// 44.1 kHz stereo; -1 when it fails, and when the tool is missing.
inline std::int64_t framesDecodedBy(const std::string& tool, const std::string& path)
{
    const std::vector<std::string> argv = tool == "sox"
        ? std::vector<std::string>{"sox", "-V1", path, "-t", "f32", "-r", "44100", "-c", "2", "-"}
        : std::vector<std::string>{
            "ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "f32le", "-ar", "44100", "-ac", "2", "-"};
    const testsupport::CommandResult r = testsupport::runCommand(argv, std::chrono::seconds(60));
    return r.ok() ? std::int64_t(r.output.size() / 8) : -1;
}

// Records `seconds` of a 1 kHz tone (amplitude 0.5) from 48 kHz float planes
// through writeAsync at the pace of a real capture (512 frames every
// 10.7 ms) in a fork()ed child, and kills it with SIGKILL while the writer
// thread runs and the file is open, as a crash would. The kill waits for
// the writer to have taken all it was given, so that what is lost is what
// the file's checkpoints had not yet made readable, not what a writer
// starved of the processor (a loaded test machine) had not reached. With
// `untilItPlays` the child goes on recording until the file as it stands
// holds audio. `whileRecording` runs over and over on this side until the
// child is gone. Empty on success, otherwise what went wrong.
inline std::string recordThenKill(const std::string& path, AudioFileTypeID type, double seconds,
    const std::function<void()>& whileRecording = [] {}, bool untilItPlays = false)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        constexpr double kRate = 48000;
        struct Taken final : ExtAudioFileWriteObserver {
            void framesWritten(const float*, int n, int, double) override { frames += std::size_t(n); }
            std::atomic<std::size_t> frames{0};
        } taken;
        ExtAudioFileRef file;
        if (createFile(path, type, kRate, 2, file) != noErr || file->setWriteObserver(&taken) != noErr)
            ::_exit(20);
        const auto total = std::size_t(seconds * kRate);
        std::size_t given = 0;
        const std::size_t toneFrames = std::max<std::size_t>(total, 512);
        Channels tone{signal_test::sine(1000, kRate, toneFrames), signal_test::sine(1000, kRate, toneFrames)};
        const auto plays = [&] {
            const Decoded d = decodeFile(path);
            return d.status == noErr && d.frames() > 0;
        };
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t at = 0, more = 0;; at += 512) {
            if (at >= total) {
                // Looked at every tenth of a second, for at most half a minute.
                if (!untilItPlays || (more % 10 == 0 && plays()))
                    break;
                if (++more > 3000)
                    ::_exit(23);
            }
            const auto n = std::uint32_t(at < total ? std::min<std::size_t>(512, total - at) : 512);
            AudioBufferList list = planarList(tone, at < total ? at : 0, n);
            if (file->writeAsync(n, &list) != noErr)
                ::_exit(22);
            given += n;
            std::this_thread::sleep_until(start + std::chrono::microseconds(std::int64_t((at + n) * 1e6 / kRate)));
        }
        while (taken.frames.load() < given && file->writerStatus() == noErr)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // The writer's pass, checkpoint included, holds the lock this takes.
        file->setWriteObserver(&taken);
        ::raise(SIGKILL);
        ::_exit(99);
    }
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        whileRecording();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!WIFSIGNALED(status))
        return "child ended with code " + std::to_string(WEXITSTATUS(status));
    return WTERMSIG(status) == SIGKILL ? "" : "child died by signal " + std::to_string(WTERMSIG(status));
}

// -1 when there is no such file.
inline std::int64_t fileSize(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 ? std::int64_t(st.st_size) : -1;
}

// In one read: a byte-wise read takes most of a minute under ThreadSanitizer.
// At most `limit` bytes from the start.
inline std::string fileBytes(const std::string& path, std::size_t limit = std::string::npos)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error)
        return {};
    std::string bytes(std::min(std::size_t(size), limit), '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), std::streamsize(bytes.size()));
    bytes.resize(std::size_t(in.gcount()));  // a file cut short since
    return bytes;
}

// How many top-level boxes of `type` an MPEG-4 file holds; "?" counts a box
// that runs past the end of the file.
inline std::size_t boxCount(const std::string& path, const std::string& type)
{
    const std::string bytes = fileBytes(path);
    std::size_t count = 0, at = 0;
    while (at + 8 <= bytes.size()) {
        const auto* h = reinterpret_cast<const unsigned char*>(bytes.data() + at);
        std::uint64_t size = (std::uint64_t(h[0]) << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
        if (size == 1 && at + 16 <= bytes.size()) {
            size = 0;
            for (int i = 8; i < 16; ++i)
                size = size << 8 | h[i];
        }
        if (size < 8 || at + size > bytes.size())
            return count + (type == "?");
        count += bytes.compare(at + 4, 4, type) == 0;
        at += size;
    }
    return count;
}

// The sizes a WAVE (or RF64) header states, and where its audio starts.
struct WavSizes {
    std::int64_t riff = -1;
    std::int64_t data = -1;
    std::int64_t dataAt = -1;
    bool rf64 = false;
};

inline WavSizes wavSizes(const std::string& path)
{
    const std::string h = fileBytes(path, 4096) + std::string(32, '\0');  // reads past the end give 0
    const auto le = [&](std::size_t at, int bytes) {
        std::uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | static_cast<unsigned char>(h[at + std::size_t(i)]);
        return std::int64_t(v);
    };
    WavSizes s;
    s.rf64 = h.compare(0, 4, "RF64") == 0;
    s.riff = le(4, 4);
    for (std::size_t at = 12; at + 40 <= h.size(); at += 8 + std::size_t(le(at + 4, 4) + (le(at + 4, 4) & 1))) {
        if (h.compare(at, 4, "ds64") == 0 && s.rf64)
            std::tie(s.riff, s.data) = std::pair(le(at + 8, 8), le(at + 16, 8));
        if (h.compare(at, 4, "data") == 0) {
            s.dataAt = std::int64_t(at + 8);
            s.data = s.rf64 ? s.data : le(at + 4, 4);
            break;
        }
    }
    return s;
}

}  // namespace eaf_test
