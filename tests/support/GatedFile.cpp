#include "support/GatedFile.h"

#include <thread>

bool GatedFile::install(AudioFileStream* stream, std::shared_ptr<FileGate> gate)
{
    if (!stream)
        return false;
    ExtAudioFileRef& file = AudioFileStreamTestAccess::file(*stream);
    if (!file)
        return false;
    file = std::make_unique<GatedFile>(std::move(file), std::move(gate));
    return true;
}

GatedFile::GatedFile(ExtAudioFileRef inner, std::shared_ptr<FileGate> gate)
    : inner_(std::move(inner)), gate_(std::move(gate))
{ }

GatedFile::~GatedFile()
{
    dispose();
}

OSStatus GatedFile::getProperty(ExtAudioFilePropertyID id, std::uint32_t* ioSize, void* outData)
{
    return inner_->getProperty(id, ioSize, outData);
}

OSStatus GatedFile::setProperty(ExtAudioFilePropertyID id, std::uint32_t size, const void* data)
{
    return inner_->setProperty(id, size, data);
}

OSStatus GatedFile::read(std::uint32_t* ioFrames, AudioBufferList* ioData)
{
    return inner_->read(ioFrames, ioData);
}

OSStatus GatedFile::seek(std::int64_t frame)
{
    return inner_->seek(frame);
}

OSStatus GatedFile::write(std::uint32_t frames, const AudioBufferList* data)
{
    return inner_->write(frames, data);
}

OSStatus GatedFile::writeAsync(std::uint32_t frames, const AudioBufferList* data)
{
    gate_->insideWrite.store(true);
    while (gate_->hold.load())
        std::this_thread::yield();
    OSStatus status;
    if (gate_->refuse.load() > 0) {
        gate_->refuse.fetch_sub(1);
        status = kExtAudioFileError_AsyncWriteBufferOverflow;
    } else {
        status = inner_->writeAsync(frames, data);
    }
    gate_->insideWrite.store(false);
    return status;
}

OSStatus GatedFile::writerStatus() const
{
    return inner_->writerStatus();
}

OSStatus GatedFile::dispose()
{
    if (gate_->insideWrite.load())
        gate_->disposedDuringWrite.store(true);
    gate_->disposed.store(true);
    return inner_->dispose();
}
