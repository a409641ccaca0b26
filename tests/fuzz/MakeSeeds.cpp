// Writes the fuzz corpus's seeds into a folder: small files of every kind
// the writer makes (WAVE, an ordinary and a fragmented MPEG-4, CAF), so the
// fuzzer starts from valid structure.
#include "platform/ExtAudioFile.h"

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace {

int writeSeed(const std::string& path, AudioFileTypeID type, bool keepFragmented)
{
    AudioStreamBasicDescription f;
    f.mSampleRate = 8000;
    f.mChannelsPerFrame = type == kAudioFileWAVEType ? 2 : 1;
    if (type == kAudioFileWAVEType) {
        f.mFormatID = kAudioFormatLinearPCM;
        f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
        f.mBitsPerChannel = 16;
    } else {
        f.mFormatID = kAudioFormatMPEG4AAC;
    }
    ExtAudioFileRef file;
    if (ExtAudioFile::create(path, type, f, kAudioFileFlags_EraseFile, file) != noErr)
        return 1;
    std::vector<float> tone(1600);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5f * float(std::sin(2 * M_PI * 440 * double(i) / 8000));
    AudioStreamBasicDescription c;
    c.mSampleRate = 8000;
    c.mFormatID = kAudioFormatLinearPCM;
    c.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    c.mBitsPerChannel = 32;
    c.mBytesPerFrame = c.mBytesPerPacket = 4;
    c.mFramesPerPacket = 1;
    c.mChannelsPerFrame = 1;
    if (file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof c, &c) != noErr)
        return 1;
    AudioBufferList list;
    list.mNumberBuffers = 1;
    list.mBuffers[0] = AudioBuffer{1, std::uint32_t(tone.size() * 4), tone.data()};
    if (file->write(std::uint32_t(tone.size()), &list) != noErr)
        return 1;
    if (keepFragmented)  // the file as a crash would leave it
        std::filesystem::copy_file(path, path + ".fragmented.m4a");
    return file->dispose() == noErr ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    return writeSeed(dir + "/seed.wav", kAudioFileWAVEType, false)
        | writeSeed(dir + "/seed.m4a", kAudioFileM4AType, true)
        | writeSeed(dir + "/seed.caf", kAudioFileCAFType, false);
}
