#include "AudioRecord/AudioDeviceChoice.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

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
    inputCount_ = devices_.size() - 1;
    for (const AudioProcessInfo& app : playingApplications()) {
        const std::string uid = kApplicationUIDPrefix + app.binary;
        const auto listed = [&uid](const auto& device) { return device->uniqueID() == uid; };
        if (app.binary.empty() || std::any_of(devices_.begin(), devices_.end(), listed))
            continue;
        devices_.push_back(AudioRecordMicDevice::application(app.binary, app.name));
        lastNames_[uid] = app.name;
    }
    keepWantedApplication();
}

void AudioDeviceChoice::keepWantedApplication()
{
    const std::string_view prefix = kApplicationUIDPrefix;
    if (wantedUID_.compare(0, prefix.size(), prefix) != 0 || wantedUID_.size() == prefix.size())
        return;
    for (const auto& device : devices_)
        if (device->uniqueID() == wantedUID_)
            return;
    const auto seen = lastNames_.find(wantedUID_);
    devices_.push_back(AudioRecordMicDevice::application(
        wantedUID_.substr(prefix.size()), seen != lastNames_.end() ? seen->second : std::string()));
}

std::vector<AudioProcessInfo> AudioDeviceChoice::playingApplications()
{
    std::vector<AudioProcessInfo> applications;
    std::uint32_t size = sizeof applications;
    const AudioObjectPropertyAddress address{
        kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, &size, &applications) != noErr)
        applications.clear();
    return applications;
}

std::optional<AudioProcessInfo> AudioDeviceChoice::findApplication(const std::string& named)
{
    for (const AudioProcessInfo& app : playingApplications())
        if (applicationNamed(app.name, app.binary, app.pid, named))
            return app;
    return std::nullopt;
}

void AudioDeviceChoice::restore(const std::string& storedUID, std::optional<int> legacyIndex)
{
    wantedUID_ = storedUID.empty() ? std::string(kDefaultInputUID) : storedUID;
    keepWantedApplication();
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
    if (!device.application().empty())
        return {{RecordSource::Kind::Application, device.application()}};
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
