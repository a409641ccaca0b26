#include "AudioRecord/AudioRecordDevice.h"

#include "AudioRecord/RecordRecipe.h"

#include <algorithm>
#include <limits>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

namespace {

// The list's frames from `first` on, in `rest` (which the answer may point into).
const AudioBufferList* framesFrom(const AudioBufferList* list, std::int32_t first, AudioBufferList& rest)
{
    if (first <= 0 || !list)
        return list;
    rest = *list;
    for (std::uint32_t b = 0; b < rest.mNumberBuffers; ++b) {
        AudioBuffer& buffer = rest.mBuffers[b];
        const std::uint32_t bytes = std::min(buffer.mDataByteSize, std::uint32_t(first) * 4);
        buffer.mData = buffer.mData ? static_cast<float*>(buffer.mData) + bytes / 4 : nullptr;
        buffer.mDataByteSize -= bytes;
    }
    return &rest;
}

constexpr std::uint32_t kNameBufferSize = 256;

AudioObjectPropertyAddress address(std::uint32_t selector, std::uint32_t scope, std::uint32_t element)
{
    return {selector, scope, element};
}

// Drops a multi-byte character that a byte limit cut in half, so the name stays valid UTF-8.
void trimToCharacterBoundary(std::string& s)
{
    std::size_t lead = s.size();
    std::size_t back = 0;
    while (lead > 0 && back < 4 && (std::uint8_t(s[lead - 1]) & 0xC0) == 0x80) {
        --lead;
        ++back;
    }
    if (lead == 0)
        return;
    const std::uint8_t c = std::uint8_t(s[lead - 1]);
    const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (need > 1 && back + 1 < need)
        s.resize(lead - 1);
}

// The sound server's default input, or output; kAudioObjectUnknown when it has none.
AudioObjectID defaultDeviceID(std::uint32_t selector = kAudioHardwarePropertyDefaultInputDevice)
{
    const auto defaultAddress = address(selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster);
    AudioObjectID id = kAudioObjectUnknown;
    std::uint32_t size = sizeof id;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &defaultAddress, &size, &id) != noErr || size != sizeof id)
        return kAudioObjectUnknown;
    return id;
}

bool isMonitorDevice(AudioObjectID id)
{
    const auto monitorAddress
        = address(kAudioDevicePropertyIsMonitor, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster);
    std::uint32_t monitor = 0;
    std::uint32_t size = sizeof monitor;
    return AudioObjectGetPropertyData(id, &monitorAddress, &size, &monitor) == noErr && monitor != 0;
}

// The order users expect: the default input, other microphones and line
// inputs, outputs' monitors, and last the computer's own sound.
int inputRank(const AudioRecordMicDevice& device, AudioObjectID defaultInput)
{
    if (device.deviceID() == defaultInput)
        return 0;
    if (device.deviceName() == kLoopbackDeviceName)
        return 3;
    return isMonitorDevice(device.deviceID()) ? 2 : 1;
}

// The system object's properties the device list follows.
// The applications playing are choices too.
constexpr std::uint32_t kWatchedSelectors[] = {
    kAudioHardwarePropertyDevices, kAudioHardwarePropertyDefaultInputDevice, kAudioHardwarePropertyProcessObjectList};

}  // namespace

// ---------------------------------------------------------------------------
// AudioRecordMicDevice

std::shared_ptr<AudioRecordMicDevice> AudioRecordMicDevice::defaultInput()
{
    auto device = std::make_shared<AudioRecordMicDevice>();
    device->followsDefault_ = true;
    return device;
}

std::shared_ptr<AudioRecordMicDevice> AudioRecordMicDevice::computerSound()
{
    auto device = std::make_shared<AudioRecordMicDevice>();
    device->computerSound_ = true;
    return device;
}

std::shared_ptr<AudioRecordMicDevice> AudioRecordMicDevice::application(
    const std::string& named, const std::string& title)
{
    auto device = std::make_shared<AudioRecordMicDevice>();
    device->application_ = named;
    device->title_ = title;
    return device;
}

AudioRecordMicDevice::~AudioRecordMicDevice()
{
    if (audioUnit_)
        audioUnit_->stop();
}

void AudioRecordMicDevice::open()
{
    if (followsDefault_)
        deviceID_ = defaultDeviceID();  // where the capture starts; the unit follows from there
    createAudioUnit();
    if (!audioUnit_)
        return;
    configAudioUnit();
    start();
}

void AudioRecordMicDevice::close()
{
    stop();
    audioUnit_.reset();
}

void AudioRecordMicDevice::start()
{
    if (!audioUnit_ || status_ != noErr)
        return;
    OSStatus result = audioUnit_->initialize();
    if (result == noErr) {
        // The scratch must be in place before the first call-back, which may
        // come as soon as the unit starts.
        std::uint32_t maxFrames = 4096;
        std::uint32_t size = sizeof maxFrames;
        audioUnit_->getProperty(kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &maxFrames, &size);
        scratchFrames_ = maxFrames;
        separates_ = false;
        scratch_.assign(std::size_t(cycleBuffers()) * maxFrames, 0.0f);
        result = audioUnit_->start();
    }
    status_ = result;
    std::uint32_t parts = 0;
    std::uint32_t size = sizeof parts;
    separates_ = result == noErr && partsAsked_
        && audioUnit_->getProperty(kAudioOutputUnitProperty_SeparateSources, kAudioUnitScope_Global, 0, &parts, &size)
            == noErr
        && parts != 0;
}

std::uint32_t AudioRecordMicDevice::cycleBuffers() const
{
    const std::uint32_t channels = std::min(deviceFormat_.mChannelsPerFrame, kMaxAudioChannels);
    return partsAsked_ ? 3 * channels : channels;
}

void AudioRecordMicDevice::stop()
{
    if (!audioUnit_)
        return;
    audioUnit_->stop();
    audioUnit_->uninitialize();
}

std::string AudioRecordMicDevice::deviceName() const
{
    if (computerSound_)
        return kLoopbackDeviceName;
    if (!application_.empty())
        return title_.empty() ? application_ : title_;
    char buffer[kNameBufferSize] = {};
    std::uint32_t size = sizeof buffer;
    const auto nameAddress = address(kAudioDevicePropertyDeviceName, kAudioObjectPropertyScopeGlobal, 0);
    AudioObjectGetPropertyData(followsDefault_ ? defaultDeviceID() : deviceID_, &nameAddress, &size, buffer);
    buffer[kNameBufferSize - 1] = '\0';
    std::string name(buffer);
    trimToCharacterBoundary(name);
    return name;
}

AudioStreamBasicDescription AudioRecordMicDevice::inputFormat() const
{
    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    // The computer's sound, or an application's, comes in the format the default output plays.
    const bool output = computerSound_ || !application_.empty();
    const auto formatAddress = address(
        kAudioDevicePropertyStreamFormat, output ? kAudioDevicePropertyScopeOutput : kAudioDevicePropertyScopeInput, 0);
    const AudioObjectID device = output ? defaultDeviceID(kAudioHardwarePropertyDefaultOutputDevice)
        : followsDefault_               ? defaultDeviceID()
                                        : deviceID_;
    AudioObjectGetPropertyData(device, &formatAddress, &size, &format);
    return format;
}

bool AudioRecordMicDevice::isMuted() const
{
    // The server mutes a source as a whole: channel 1 speaks for all.
    std::uint32_t muted = 0;
    std::uint32_t size = sizeof muted;
    const auto muteAddress = address(kAudioDevicePropertyMute, kAudioDevicePropertyScopeInput, 1);
    return AudioObjectGetPropertyData(deviceID_, &muteAddress, &size, &muted) == noErr && muted != 0;
}

std::optional<std::string> AudioRecordMicDevice::uniqueID() const
{
    if (followsDefault_)
        return kDefaultInputUID;
    if (computerSound_)
        return kComputerSoundUID;
    if (!application_.empty())
        return kApplicationUIDPrefix + application_;
    std::string uid;
    std::uint32_t size = sizeof uid;
    const auto uidAddress = address(kAudioDevicePropertyDeviceUID, kAudioDevicePropertyScopeOutput, 0);
    if (AudioObjectGetPropertyData(deviceID_, &uidAddress, &size, &uid) != noErr)
        return std::nullopt;
    return uid;
}

bool AudioRecordMicDevice::isInputDevice() const
{
    if (followsDefault_ || computerSound_ || !application_.empty())
        return true;
    std::uint32_t size = 256;
    const auto streamsAddress = address(kAudioDevicePropertyStreams, kAudioDevicePropertyScopeInput, 1);
    AudioObjectGetPropertyDataSize(deviceID_, &streamsAddress, &size);
    return size > 0;
}

bool AudioRecordMicDevice::isRunning() const
{
    if (!isOpen())
        return false;
    std::uint32_t running = 1;
    std::uint32_t size = sizeof running;
    if (audioUnit_->getProperty(kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0, &running, &size)
        != noErr)
        return true;  // a unit that cannot tell is taken at its word that it started
    return running != 0;
}

void AudioRecordMicDevice::createAudioUnit()
{
    const AudioComponentDescription description{
        kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0};
    audioUnit_.reset();
    AudioComponent component = AudioComponentFindNext(nullptr, &description);
    if (!component)
        return;
    AudioComponentInstance unit;
    if (AudioComponentInstanceNew(component, &unit) == noErr)
        audioUnit_ = std::move(unit);
}

void AudioRecordMicDevice::configAudioUnit()
{
    AudioUnit* unit = audioUnit_.get();
    if (!unit)
        return;
    const std::uint32_t enable = 1;
    const std::uint32_t disable = 0;
    const AURenderCallbackStruct callback{&AudioRecordMicDevice::AudioRecordDeviceInputProc, this};
    AudioStreamBasicDescription format{};
    std::uint32_t formatSize = sizeof format;

    OSStatus result
        = unit->setProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &enable, sizeof enable);
    if (result == noErr)
        result
            = unit->setProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &disable, sizeof disable);
    // The computer's sound is asked for as such, never as a device: it moves with the default output.
    if (result == noErr && computerSound_)
        result = unit->setProperty(
            kAudioOutputUnitProperty_CaptureSystemAudio, kAudioUnitScope_Global, 0, &enable, sizeof enable);
    else if (result == noErr && !application_.empty())
        result = unit->setProperty(
            kAudioOutputUnitProperty_CaptureApplication, kAudioUnitScope_Global, 0, &application_, sizeof application_);
    else if (result == noErr)
        result = unit->setProperty(
            kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &deviceID_, sizeof deviceID_);
    if (result == noErr && followsDefault_)
        result = unit->setProperty(
            kAudioOutputUnitProperty_FollowsDefaultInput, kAudioUnitScope_Global, 0, &enable, sizeof enable);
    if (result == noErr)
        result = unit->setProperty(
            kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, &callback, sizeof callback);
    // A unit that cannot hear one application must not record the input
    // alone in its place: that would be the wrong sound, unnoticed.
    if (result == noErr && application_.empty() && !computerSound_ && !mixApplication_.empty())
        result = unit->setProperty(kAudioOutputUnitProperty_CaptureApplication, kAudioUnitScope_Global, 0,
            &mixApplication_, sizeof mixApplication_);
    else if (result == noErr && mixSystemAudio_) {
        // A unit that cannot mix captures the input alone rather than nothing.
        const std::uint32_t mix = 1;
        result = unit->setProperty(kAudioOutputUnitProperty_MixSystemAudio, kAudioUnitScope_Global, 0, &mix, sizeof mix);
        if (result == kAudioUnitErr_InvalidProperty)
            result = noErr;
    }
    // Only a mix has parts; a unit that cannot hand them out records the mix alone.
    const bool mixes = application_.empty() && !computerSound_ && (mixSystemAudio_ || !mixApplication_.empty());
    partsAsked_ = false;
    if (result == noErr && mixes && separateSources_)
        partsAsked_ = unit->setProperty(
                          kAudioOutputUnitProperty_SeparateSources, kAudioUnitScope_Global, 0, &enable, sizeof enable)
            == noErr;
    if (result == noErr)
        result = unit->getProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, &format, &formatSize);
    if (result == noErr) {
        format.mChannelsPerFrame = std::max<std::uint32_t>(format.mChannelsPerFrame, 2);
        format.mFormatID = kAudioFormatLinearPCM;
        format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
        format.mBitsPerChannel = 32;
        format.mBytesPerFrame = format.mBitsPerChannel / 8;
        format.mFramesPerPacket = 1;
        format.mBytesPerPacket = format.mBytesPerFrame * format.mFramesPerPacket;
        result = unit->setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &format, sizeof format);
    }
    if (result == noErr)
        deviceFormat_ = format;
    // The mix and its two parts share one list.
    partsAsked_ = partsAsked_ && 3 * format.mChannelsPerFrame <= kMaxAudioChannels;
    status_ = result;
}

std::optional<AudioSourceLevels> AudioRecordMicDevice::sourceLevels() const
{
    AudioSourceLevels levels;
    std::uint32_t size = sizeof levels;
    if (!isOpen()
        || audioUnit_->getProperty(kAudioOutputUnitProperty_SourceLevels, kAudioUnitScope_Global, 0, &levels, &size)
            != noErr)
        return std::nullopt;
    return levels;
}

void AudioRecordMicDevice::recieveAudioBuffer(const AudioBufferList* list, std::int32_t frames, std::uint64_t takenAt)
{
    if (AudioCaptureDelegate* target = delegate())
        target->recieveAudioBuffer(list, frames, takenAt);
}

OSStatus AudioRecordMicDevice::AudioRecordDeviceInputProc(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
    const AudioTimeStamp* inTimeStamp, std::uint32_t inBusNumber, std::uint32_t inNumberFrames, AudioBufferList*)
{
    auto* device = static_cast<AudioRecordMicDevice*>(inRefCon);
    device->makeAudioBufferFrames(std::int32_t(inNumberFrames), [&](AudioBufferList* list) {
        if (device->audioUnit_->render(ioActionFlags, inTimeStamp, inBusNumber, inNumberFrames, list) == noErr)
            device->recieveAudioBuffer(list, std::int32_t(inNumberFrames),
                inTimeStamp && (inTimeStamp->mFlags & kAudioTimeStampHostTimeValid) ? inTimeStamp->mHostTime : 0);
    });
    return noErr;
}

// ---------------------------------------------------------------------------
// AudioRecordDevice

AudioRecordDevice::~AudioRecordDevice()
{
    for (const std::uint32_t selector : kWatchedSelectors) {
        const auto watched = address(selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster);
        if (watchingDevices_)  // once this returns, the listener runs no more
            AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &watched, &onDevicesChanged, this);
    }
    // Unlike a reference-counted original, nothing keeps this object alive for
    // a running device's call-backs: stop them before the members go.
    if (device_) {
        device_->close();
        device_->setDelegate(nullptr);
    }
    closeOutput();
}

std::vector<std::shared_ptr<AudioRecordMicDevice>> AudioRecordDevice::allAudioInputDevices() const
{
    const auto devicesAddress
        = address(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster);
    std::uint32_t size = 0;
    AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devicesAddress, &size);
    // The table is sized by the query rather than fixed, so no device beyond a fixed count is dropped.
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (!ids.empty()) {
        std::uint32_t readSize = std::uint32_t(ids.size() * sizeof(AudioObjectID));
        if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &devicesAddress, &readSize, ids.data()) != noErr)
            readSize = 0;
        ids.resize(std::min<std::size_t>(ids.size(), readSize / sizeof(AudioObjectID)));
    }
    std::vector<std::shared_ptr<AudioRecordMicDevice>> devices;
    for (AudioObjectID id : ids) {
        auto device = std::make_shared<AudioRecordMicDevice>(id);
        if (device->isInputDevice())
            devices.push_back(std::move(device));
    }
    // The server lists an output's monitor as readily as a microphone, often
    // first; entry 0 is what a new user records, so it must be the input they
    // mean. The sort is stable: within a rank the server's order stands.
    const AudioObjectID defaultInput = defaultDeviceID();
    std::vector<std::pair<int, std::shared_ptr<AudioRecordMicDevice>>> ranked;
    ranked.reserve(devices.size());
    for (auto& device : devices)
        ranked.emplace_back(inputRank(*device, defaultInput), std::move(device));
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    devices.clear();
    for (auto& entry : ranked)
        devices.push_back(std::move(entry.second));
    return devices;
}

bool AudioRecordDevice::devicesChanged()
{
    if (!watchingDevices_) {
        watchingDevices_ = true;
        for (const std::uint32_t selector : kWatchedSelectors) {
            const auto watched = address(selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster);
            AudioObjectAddPropertyListener(kAudioObjectSystemObject, &watched, &onDevicesChanged, this);
        }
    }
    return devicesChanged_.exchange(false, std::memory_order_acq_rel);
}

OSStatus AudioRecordDevice::onDevicesChanged(
    AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*, void* self)
{
    static_cast<AudioRecordDevice*>(self)->devicesChanged_.store(true, std::memory_order_release);
    return noErr;
}

void AudioRecordDevice::configDevice(std::shared_ptr<AudioRecordMicDevice> device)
{
    recordToPath(std::nullopt);
    if (device_) {
        device_->close();
        device_->setDelegate(nullptr);
        device_.reset();
    }
    // No call-back runs now: the ring goes with the device.
    liveRing_.store(nullptr, std::memory_order_seq_cst);
    ring_.reset();
    if (!device)
        return;
    device->setMixSystemAudio(withSystemAudio_);
    device->setMixApplication(withApplication_);
    device->setSeparateSources(separateSources_);
    device->open();
    if (!device->isOpen())
        return;
    mixBuffers_.store(std::min(device->deviceFormat().mChannelsPerFrame, kMaxAudioChannels), std::memory_order_seq_cst);
    device->setDelegate(this);
    device_ = std::move(device);
    device_->setSystem(device_->deviceName() == kLoopbackDeviceName);
    // Kept audio is the device's own: none from the one before it.
    ring_.reset();
    keepLast(keepSeconds_);
}

bool AudioRecordDevice::recordToPath(const std::optional<std::string>& path, OSStatus* failure)
{
    if (!path) {
        closeOutput();
        return true;
    }
    const AudioFormat* format = audioFormatForPath(*path);
    if (!format) {
        closeOutput();
        if (failure)
            *failure = kAudioFileUnsupportedFileTypeError;
        return false;
    }
    return recordToPath(*path, *format, failure);
}

bool AudioRecordDevice::recordToPath(
    const std::string& path, const AudioFormat& format, const AudioQuality& quality, OSStatus* failure)
{
    closeOutput();
    auto stream = newOutput(path, format, quality, failure);
    if (!stream)
        return false;
    outputRate_ = device_ ? device_->deviceFormat().mSampleRate : 0;
    audioOutput_ = std::move(stream);
    lostFrames_.store(0, std::memory_order_relaxed);
    partsWrited_.store(0, std::memory_order_relaxed);
    partsTaken_ = 0;
    readFor_ = nullptr;  // no output is live, so the audio thread does not read it
    liveOutput_.store(audioOutput_.get(), std::memory_order_seq_cst);
    return true;
}

std::unique_ptr<AudioFileStream> AudioRecordDevice::newOutput(
    const std::string& path, const AudioFormat& format, const AudioQuality& quality, OSStatus* failure) const
{
    const double rate = device_ ? device_->deviceFormat().mSampleRate : 0;
    auto stream = AudioFileStream::streamForWritingAtPath(path, format, quality, rate, failure);
    if (stream)
        stream->setClientDataFormat(device_ ? device_->deviceFormat() : AudioStreamBasicDescription{});
    // In the order the device hands the parts out; one that cannot be made leaves the mix as it is.
    if (stream && separateSources_ && device_ && device_->separates())
        for (const char* source :
            {kInputSource, device_->mixApplication().empty() ? kSystemSource : kApplicationSource})
            stream->addSource(sourceOf({{}, path}, source).path(), format, quality, rate);
    return stream;
}

bool AudioRecordDevice::recordNextPartToPath(
    const std::string& path, const AudioFormat& format, const AudioQuality& quality, OSStatus* failure)
{
    if (!audioOutput_ || nextOutput_)
        return false;
    nextOutput_ = newOutput(path, format, quality, failure);
    if (!nextOutput_)
        return false;
    spareOutput_.store(nextOutput_.get(), std::memory_order_seq_cst);
    return true;
}

std::optional<std::string> AudioRecordDevice::takeFullPart()
{
    if (!audioOutput_ || !nextOutput_ || liveOutput_.load(std::memory_order_seq_cst) != nextOutput_.get())
        return std::nullopt;
    // The audio thread wrote the full part's last frames before it published the next one.
    std::string path = audioOutput_->audioPath();
    partsTaken_ += audioOutput_->writedFrames();
    completer_.complete(std::move(audioOutput_), lostFrames(), device_ ? device_->deviceFormat().mSampleRate : 0.0);
    audioOutput_ = std::move(nextOutput_);
    return path;
}

void AudioRecordDevice::start(std::int64_t preRollFrames, std::int64_t fromFrame)
{
    // Seen by the audio thread once it sees writing unpaused (a sequentially consistent store).
    preRollFrames_.store(std::max<std::int64_t>(preRollFrames, 0), std::memory_order_relaxed);
    startFrame_.store(fromFrame, std::memory_order_relaxed);
    startAt_.store(AudioHostTimeNow(), std::memory_order_relaxed);
    setIsRecordFilePaused(false);
}

void AudioRecordDevice::holdAudioThread()
{
    // The audio thread reads the ring, and feeds the trigger, only through
    // liveRing_ and inside a write: with it cleared and no write under way,
    // both are ours until liveRing_ is published again.
    liveRing_.store(nullptr, std::memory_order_seq_cst);
    while (writing_.load(std::memory_order_seq_cst))
        std::this_thread::yield();
}

void AudioRecordDevice::keepLast(double seconds)
{
    seconds = std::isfinite(seconds) ? std::max(seconds, 0.0) : 0.0;
    const double rate = device_ ? device_->deviceFormat().mSampleRate : 0.0;
    const auto frames = std::int64_t(std::ceil(seconds * rate));
    // The parts, when the device hands them out, are kept beside the mix.
    const std::uint32_t channels = device_ ? device_->cycleBuffers() : 0;
    keepSeconds_ = seconds;
    if (ring_ && ring_->capacity() == frames && ring_->channels() == std::min(channels, kMaxAudioChannels))
        return;
    holdAudioThread();
    ring_.reset();  // before the next is made: two 60-second rings at once would be twice the memory
    if (frames > 0 && channels > 0)
        ring_ = std::make_unique<PreRollRing>(channels, frames);
    readFor_ = nullptr;
    // The trigger's positions were the old ring's.
    trigger_ = SoundTrigger(trigger_.threshold(), trigger_.holdFrames());
    triggerStart_.store(-1, std::memory_order_relaxed);
    triggerStop_.store(-1, std::memory_order_relaxed);
    liveRing_.store(ring_.get(), std::memory_order_seq_cst);
}

void AudioRecordDevice::arm(float threshold, std::int64_t holdFrames)
{
    holdAudioThread();
    trigger_ = SoundTrigger(threshold, holdFrames);
    triggerStart_.store(-1, std::memory_order_relaxed);
    triggerStop_.store(-1, std::memory_order_relaxed);
    armed_.store(true, std::memory_order_seq_cst);
    liveRing_.store(ring_.get(), std::memory_order_seq_cst);
}

void AudioRecordDevice::disarm()
{
    holdAudioThread();
    armed_.store(false, std::memory_order_seq_cst);
    triggerStart_.store(-1, std::memory_order_relaxed);
    triggerStop_.store(-1, std::memory_order_relaxed);
    liveRing_.store(ring_.get(), std::memory_order_seq_cst);
}

void AudioRecordDevice::pause()
{
    setIsRecordFilePaused(true);
    // The take's length as shown on pausing is what the file holds: a write
    // that read the flag before it was set ends before we return.
    while (writing_.load(std::memory_order_seq_cst))
        std::this_thread::yield();
}

double AudioRecordDevice::stop()
{
    const double length = stopWriting();
    closeOutput();
    return length;
}

double AudioRecordDevice::stopWriting()
{
    // What was taken in before the click is still on its way here (a
    // fragment, the server's buffer, the mixer's delay): the take waits for
    // it. Not when the cycles carry no time, or none come.
    if (!isRecordFilePaused() && liveOutput_.load(std::memory_order_seq_cst) && device_ && device_->isRunning()
        && lastTakenAt_.load(std::memory_order_relaxed) != 0) {
        stopReached_.store(false, std::memory_order_relaxed);
        stopAt_.store(AudioHostTimeNow(), std::memory_order_release);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kMostStopWaitSeconds);
        while (!stopReached_.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pause();
    stopAt_.store(0, std::memory_order_relaxed);
    return audioLength();
}

void AudioRecordDevice::closeOutput()
{
    // A part made ahead and not taken yet is never taken now.
    AudioFileStream* const untaken = spareOutput_.exchange(nullptr, std::memory_order_seq_cst);
    const double rate = device_ ? device_->deviceFormat().mSampleRate : 0.0;
    if (audioOutput_) {
        // Either the audio thread saw the cleared pointer, or we see it inside a
        // write and wait for that one write (a few microseconds) to end. Twice:
        // a write that took the next part before the exchange publishes it.
        for (int i = 0; i < 2; ++i) {
            liveOutput_.store(nullptr, std::memory_order_seq_cst);
            while (writing_.load(std::memory_order_seq_cst))
                std::this_thread::yield();
        }
        if (nextOutput_ && !untaken) {  // moved on to: the full part is completed first
            completer_.complete(std::move(audioOutput_), lostFrames(), rate);
            audioOutput_ = std::move(nextOutput_);
        }
        completer_.complete(std::move(audioOutput_), lostFrames(), rate);
    }
    // Never written: its writer removes it as it closes.
    if (nextOutput_)
        nextOutput_->close();
    nextOutput_.reset();
}

std::optional<std::string> AudioRecordDevice::audioPath() const
{
    if (!audioOutput_)
        return std::nullopt;
    return audioOutput_->audioPath();
}

double AudioRecordDevice::deviceRate() const
{
    const double rate = device_ ? device_->deviceFormat().mSampleRate : 0.0;
    return rate >= 100 ? rate : 100;  // no device, a device reporting 0, or not a number
}

std::int64_t AudioRecordDevice::recordedFrames() const
{
    std::int64_t frames = partsTaken_ + (audioOutput_ ? audioOutput_->writedFrames() : 0);
    // The audio thread moved on to the next part, not taken over yet.
    if (nextOutput_ && !spareOutput_.load(std::memory_order_acquire))
        frames += nextOutput_->writedFrames();
    return frames;
}

double AudioRecordDevice::audioLength() const
{
    return double(recordedFrames()) / deviceRate();
}

bool AudioRecordDevice::isSystem() const
{
    return device_ && device_->system();
}

RecordFault AudioRecordDevice::fault() const
{
    if (device_ && !device_->isRunning())
        return RecordFault::DeviceLost;
    if (audioOutput_ && audioOutput_->writeStatus() != noErr)
        return RecordFault::WriteFailed;
    return RecordFault::None;
}

void AudioRecordDevice::recieveAudioBuffer(const AudioBufferList* list, std::int32_t frames, std::uint64_t takenAt)
{
    double level = 0.0;
    if (list && list->mNumberBuffers > 0 && list->mBuffers[0].mData) {
        const auto* samples = static_cast<const float*>(list->mBuffers[0].mData);
        const std::uint32_t count = list->mBuffers[0].mDataByteSize / 4;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (double(samples[i]) > level)
                level = samples[i];
        }
    }
    setAudioDataLevel(level);
    // Every channel counts: a line input may carry one side only.
    const std::uint32_t mixBuffers
        = list ? std::min(list->mNumberBuffers, mixBuffers_.load(std::memory_order_relaxed)) : 0;
    for (std::uint32_t b = 0; b < mixBuffers; ++b) {
        const auto* samples = static_cast<const float*>(list->mBuffers[b].mData);
        const std::uint32_t count = samples ? list->mBuffers[b].mDataByteSize / 4 : 0;
        if (std::any_of(samples, samples + count, [](float x) { return std::fabs(x) >= kSilenceLevel; })) {
            heardBuffers_.store(heardBuffers() + 1, std::memory_order_relaxed);
            break;
        }
    }

    lastTakenAt_.store(takenAt, std::memory_order_relaxed);
    // Flagged before the pause is read: pause() then either finds this write
    // in progress and waits for it, or is seen here and nothing is written.
    writing_.store(true, std::memory_order_seq_cst);
    PreRollRing* ring = liveRing_.load(std::memory_order_seq_cst);
    const std::int64_t at = ring ? ring->end() : 0;  // this cycle's first frame among the kept ones
    if (ring) {
        if (armed_.load(std::memory_order_seq_cst) && trigger_.state() != SoundTrigger::State::Stopped) {
            float peak = 0;
            for (std::uint32_t b = 0; b < mixBuffers; ++b) {
                const auto* samples = static_cast<const float*>(list->mBuffers[b].mData);
                const std::uint32_t count = samples ? list->mBuffers[b].mDataByteSize / 4 : 0;
                for (std::uint32_t i = 0; i < count; ++i)
                    peak = std::max(peak, std::fabs(samples[i]));
            }
            const SoundTrigger::State state = trigger_.feed(peak, at, frames);
            if (state != SoundTrigger::State::Armed && triggerStart_.load(std::memory_order_relaxed) < 0)
                triggerStart_.store(trigger_.startFrame(), std::memory_order_release);
            if (state == SoundTrigger::State::Stopped)
                triggerStop_.store(trigger_.stopFrame(), std::memory_order_release);
        }
    }
    bool pushed = false;
    AudioFileStream* output = isStart() ? liveOutput_.load(std::memory_order_seq_cst) : nullptr;
    if (output) {
        // The frames taken in before the start are not the take's.
        // Only until the take's first frame: a later cycle stamped early (a
        // server's latency estimate jumps now and then) is the take's all the same.
        std::int32_t skip = 0;
        bool joins = false;  // the take's first frame is in this cycle, or (kept audio) before it
        const std::uint64_t startAt = startAt_.load(std::memory_order_relaxed);
        if (startAt) {
            const double early = takenAt != 0 && takenAt < startAt ? double(startAt - takenAt) * 1e-9 : 0;
            if (early <= kMostLeftOutSeconds && outputRate_ > 0)
                skip = std::int32_t(std::min<double>(std::ceil(early * outputRate_), frames));
            joins = skip < frames || (ring && startFrame_.load(std::memory_order_relaxed) >= 0);
            if (joins) {
                std::uint64_t expected = startAt;
                startAt_.compare_exchange_strong(expected, 0, std::memory_order_relaxed);
            }
        }
        // Past the stop, what is taken in is the next take's.
        std::int32_t end = frames;
        bool endsHere = false;
        if (const std::uint64_t stopAt = stopAt_.load(std::memory_order_acquire)) {
            const double before = takenAt != 0 && takenAt < stopAt ? double(stopAt - takenAt) * 1e-9 : 0;
            end = outputRate_ > 0 ? std::int32_t(std::min<double>(std::ceil(before * outputRate_), frames)) : 0;
            endsHere = end < frames || takenAt == 0;
        }
        if (!ring) {
            AudioBufferList rest;
            // Past the limit the cycle's frames are not wanted, so none is lost.
            const auto wanted = std::int32_t(std::min<std::int64_t>(framesLeft(*output), std::max(end - skip, 0)));
            const std::int32_t taken = writeOut(output, framesFrom(list, skip, rest), wanted);
            if (taken < wanted)
                lostFrames_.store(lostFrames() + (wanted - taken), std::memory_order_relaxed);
        } else if (joins || !startAt) {
            // With kept audio the file is written from the ring: the pre-roll
            // and this cycle are one run of frames, so the join can neither
            // drop nor repeat one.
            if (joins) {
                const std::int64_t from = startFrame_.load(std::memory_order_relaxed);
                // Never before what the ring still holds: the source was
                // opened, or the ring made, less than the pre-roll ago.
                readFrom_ = std::max(
                    ring->begin(), from >= 0 ? from : at + skip - preRollFrames_.load(std::memory_order_relaxed));
                readFor_ = output;
            } else if (readFor_ != output) {
                readFrom_ = at;
                readFor_ = output;
            }
            std::int64_t until = at + end;
            if (const std::int64_t silent = triggerStop_.load(std::memory_order_relaxed); silent >= 0)
                until = std::min(until, silent);
            // What the ring holds first, before this cycle takes the room of
            // its oldest frames: a ring of the pre-roll's length is enough.
            bool drained = drainRing(*ring, output, std::min(until, at));
            ring->push(list, frames);
            pushed = true;
            drained = drained && drainRing(*ring, output, until);
            endsHere = endsHere && drained;
        }
        if (endsHere)
            stopReached_.store(true, std::memory_order_release);
    }
    if (ring && !pushed)
        ring->push(list, frames);
    writing_.store(false, std::memory_order_release);
}

bool AudioRecordDevice::drainRing(PreRollRing& ring, AudioFileStream*& output, std::int64_t until)
{
    // Frames the ring let go of before the file took them (its queue was
    // full for longer than the ring holds) are lost.
    if (readFrom_ < ring.begin()) {
        lostFrames_.store(lostFrames() + (ring.begin() - readFrom_), std::memory_order_relaxed);
        readFrom_ = ring.begin();
    }
    std::int64_t wanted = std::min(std::max<std::int64_t>(until - readFrom_, 0), framesLeft(*output));
    // A full queue keeps the rest in the ring for the next cycle.
    AudioBufferList piece;
    while (wanted > 0) {
        const std::int32_t count
            = ring.run(readFrom_, std::int32_t(std::min<std::int64_t>(wanted, kMostFramesPerWrite)), piece);
        const std::int32_t taken = count > 0 ? writeOut(output, &piece, count) : 0;
        readFrom_ += taken;
        wanted -= taken;
        if (taken < count || count == 0)
            return false;
    }
    return true;
}

std::int64_t AudioRecordDevice::framesLeft(const AudioFileStream& output) const
{
    const std::int64_t limit = frameLimit_.load(std::memory_order_relaxed);
    return limit > 0
        ? std::max<std::int64_t>(limit - partsWrited_.load(std::memory_order_relaxed) - output.writedFrames(), 0)
        : std::numeric_limits<std::int64_t>::max();
}

std::int32_t AudioRecordDevice::writeOut(AudioFileStream*& output, const AudioBufferList* list, std::int32_t frames)
{
    // A full part: the first frames end it, the rest begin the next one, made ahead. The full
    // part is closed to more, so what it refused is lost and the rest goes on in the next.
    std::int32_t taken = 0;
    AudioBufferList seam;
    if (const std::int64_t part = partFrames_.load(std::memory_order_relaxed);
        part > 0 && output->writedFrames() + frames > part) {
        if (AudioFileStream* next = spareOutput_.exchange(nullptr, std::memory_order_acq_rel)) {
            const auto head = std::int32_t(std::clamp<std::int64_t>(part - output->writedFrames(), 0, frames));
            const std::int32_t accepted = head > 0 ? output->writeBufferList(list, head) : 0;
            if (accepted < head)
                lostFrames_.store(lostFrames() + (head - accepted), std::memory_order_relaxed);
            partsWrited_.store(
                partsWrited_.load(std::memory_order_relaxed) + output->writedFrames(), std::memory_order_relaxed);
            liveOutput_.store(next, std::memory_order_seq_cst);
            if (readFor_ == output)
                readFor_ = next;
            output = next;
            list = framesFrom(list, head, seam);
            frames -= head;
            taken = head;
        }
    }
    return taken + (frames > 0 ? output->writeBufferList(list, frames) : 0);
}
