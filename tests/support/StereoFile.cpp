#include "support/StereoFile.h"

#include "AudioRecord/AudioFileStream.h"
#include "Export/AudioConverter.h"
#include "platform/AudioFormat.h"
#include "support/Signal.h"

OSStatus writeStereoFile(
    const std::string& path, double rate, const std::vector<float>& left, const std::vector<float>& right)
{
    const AudioFormat* row = audioFormatForPath(path);
    if (!row)
        return kAudioFileUnsupportedFileTypeError;
    const AudioFileTypeID type = row->fileType;
    AudioStreamBasicDescription format = AudioFileStream::audioStreamBasicDescription(type);
    format.mSampleRate = rate;
    ExtAudioFileRef file;
    // Made whole, as an export is: an empty one stays (a recording of nothing would not).
    if (OSStatus s = ExtAudioFile::create(
            path, type, format, kAudioFileFlags_EraseFile | kExtAudioFileFlags_AppearWhenComplete, file))
        return s;
    AudioStreamBasicDescription client = AudioConverter().defaultFormat();
    client.mSampleRate = rate;
    if (OSStatus s = file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client))
        return s;
    AudioBufferList list;
    list.mNumberBuffers = 2;
    list.mBuffers[0] = {1, std::uint32_t(left.size() * sizeof(float)), const_cast<float*>(left.data())};
    list.mBuffers[1] = {1, std::uint32_t(right.size() * sizeof(float)), const_cast<float*>(right.data())};
    if (OSStatus s = file->write(std::uint32_t(left.size()), &list))
        return s;
    return file->dispose();
}

OSStatus writeToneFile(const std::string& path, double seconds)
{
    const auto frames = std::size_t(44100 * seconds);
    return writeStereoFile(path, 44100, signal_test::sine(1000, 44100, frames), signal_test::sine(500, 44100, frames));
}
