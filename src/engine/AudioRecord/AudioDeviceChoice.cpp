#include "AudioRecord/AudioDeviceChoice.h"

#include <cstdlib>

AudioDeviceChoice::AudioDeviceChoice(const AudioRecordDevice& recorder)
    : recorder_(recorder), devices_{AudioRecordMicDevice::defaultInput()}
{
    refresh();
}

void AudioDeviceChoice::refresh()
{
    devices_.resize(1);
    for (auto& device : recorder_.allAudioInputDevices()) {
        // Recorded from itself the loopback's source would end with the
        // output it was made over, and move with none.
        if (device->deviceName() == kLoopbackDeviceName)
            device = computerSound_;
        if (const auto uid = device->uniqueID())
            lastNames_[*uid] = device->deviceName();
        devices_.push_back(std::move(device));
    }
}

void AudioDeviceChoice::restore(const std::string& storedUID, std::optional<int> legacyIndex)
{
    wantedUID_ = storedUID.empty() ? std::string(kDefaultInputUID) : storedUID;
    if (!storedUID.empty() || !legacyIndex || *legacyIndex < 0)
        return;
    const std::size_t entry = std::size_t(*legacyIndex) + 1;
    if (entry < devices_.size())
        wantedUID_ = devices_[entry]->uniqueID().value_or(wantedUID_);
}

std::size_t AudioDeviceChoice::wantedIndex() const
{
    for (std::size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i]->uniqueID() == wantedUID_)
            return i;
    return 0;
}

std::optional<std::string> AudioDeviceChoice::missingWanted() const
{
    if (devices_[wantedIndex()]->uniqueID() == wantedUID_)
        return std::nullopt;
    const auto seen = lastNames_.find(wantedUID_);
    return seen != lastNames_.end() && !seen->second.empty() ? seen->second : wantedUID_;
}

std::vector<RecordSource> AudioDeviceChoice::sourcesOf(const AudioRecordMicDevice& device) const
{
    if (device.isComputerSound())
        return {{RecordSource::Kind::ComputerSound, {}}};
    std::vector<RecordSource> sources{{RecordSource::Kind::Input, device.uniqueID().value_or(std::string())}};
    if (withComputerSound_)
        sources.push_back({RecordSource::Kind::ComputerSound, {}});
    return sources;
}

std::shared_ptr<AudioRecordMicDevice> AudioDeviceChoice::find(const std::string& uid) const
{
    for (const auto& device : devices_)
        if (device->uniqueID() == uid)
            return device;
    return nullptr;
}

std::shared_ptr<AudioRecordMicDevice> AudioDeviceChoice::lookUp(const std::string& named) const
{
    const auto listed = inputs();
    // "" reads as place 0: the server's default input, which the recorder lists first.
    char* end = nullptr;
    const unsigned long index = std::strtoul(named.c_str(), &end, 10);
    if (end && *end == '\0' && index < listed.size())
        return listed[index];
    for (const auto& device : listed)
        if (device->deviceName() == named || device->uniqueID() == named)
            return device;
    if (named == kLoopbackDeviceName || named == kComputerSoundUID)
        return computerSound_;
    return nullptr;
}
