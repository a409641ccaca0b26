// The input devices a recording can be taken from, as the sound server has
// them now, and which of them the user wants: the one place a stored choice
// (a unique identifier, the default input, or an index stored before
// identifiers were) is resolved into a device, for the tray, the command
// line and RecordSession alike. The front ends keep the stored values; this
// class only knows what they mean. The loopback driver's device is known
// here, and only here, for what it carries: listed, named or stored, it is
// the computer's sound (AudioRecordMicDevice::computerSound()), which is
// recorded without it. The applications playing follow the inputs in the
// list, one entry per program (AudioRecordMicDevice::application()), kept
// by the program's name; a wanted one stays listed while it plays nothing.
//
// Main thread. RecordSession owns the one the tray shows (and refreshes it
// when the server's devices change); the command line's commands that record
// nothing make one of their own. The devices are shared with the recorder,
// which may hold one open.
#pragma once

#include "AudioRecord/AudioRecordDevice.h"
#include "AudioRecord/RecordRecipe.h"

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class AudioDeviceChoice {
public:
    using Devices = std::vector<std::shared_ptr<AudioRecordMicDevice>>;

    // Reads the recorder's device list once; not owned, it outlives this.
    explicit AudioDeviceChoice(const AudioRecordDevice& recorder);

    // Reads the server's inputs again: the listener heard its list or its default change.
    void refresh();
    // What a user chooses from: the default input first (one object for the
    // whole run, so a new list never opens it again), then every input of
    // the server in the order the recorder lists them, the loopback device
    // (last) standing as the computer's sound (one object too), then the
    // applications playing.
    const Devices& devices() const { return devices_; }
    // The server's inputs alone, the default one first: what the command line numbers.
    std::span<const std::shared_ptr<AudioRecordMicDevice>> inputs() const
    {
        return std::span(devices_).subspan(1, inputCount_);
    }

    // The wanted input by its unique identifier (kDefaultInputUID for the
    // default input). A stored identifier of "" stands for the default input;
    // with it, an index stored before identifiers were names the input at
    // that place of a list that had no default-input entry, while it is one.
    const std::string& wantedUID() const { return wantedUID_; }
    void setWantedUID(std::string uid)
    {
        wantedUID_ = std::move(uid);
        keepWantedApplication();
    }
    void restore(const std::string& storedUID, std::optional<int> legacyIndex);
    // Whether the computer's sound is mixed into the wanted input.
    bool withComputerSound() const { return withComputerSound_; }
    void setWithComputerSound(bool with) { withComputerSound_ = with; }

    // The entry of devices() a recording takes: the wanted one while the
    // server has it, else the default input (entry 0).
    std::size_t wantedIndex() const;
    // While the wanted input is missing: the name it last had in the list,
    // else its identifier. None while it is there.
    std::optional<std::string> missingWanted() const;
    // The recipe's sources for the entry given: it, and the computer's sound
    // when mixed in; the computer's sound alone for computerSound().
    std::vector<RecordSource> sourcesOf(const AudioRecordMicDevice& device) const;

    // The device a source's identifier names now: the default input for
    // kDefaultInputUID, else the input of that identifier; null when the
    // server has none.
    std::shared_ptr<AudioRecordMicDevice> find(const std::string& uid) const;
    // An input as a user names it on a command line: its place in inputs(),
    // its name or its identifier; "" for the server's default input (else
    // the first input). The loopback device's name or identifier is the
    // computer's sound, listed or not. Null for none.
    std::shared_ptr<AudioRecordMicDevice> lookUp(const std::string& named) const;
    // The applications playing now, as the server lists them; empty when it cannot tell.
    static std::vector<AudioProcessInfo> playingApplications();
    // The first of them a user's name (applicationNamed()) is; none when none plays.
    static std::optional<AudioProcessInfo> findApplication(const std::string& named);
    // What stands for the computer's sound, in the list or not.
    const std::shared_ptr<AudioRecordMicDevice>& computerSound() const { return computerSound_; }

private:
    // A wanted application that plays nothing now is listed all the same.
    void keepWantedApplication();

    const AudioRecordDevice& recorder_;
    Devices devices_;
    std::size_t inputCount_ = 0;  // the server's inputs in devices_, after the default
    std::shared_ptr<AudioRecordMicDevice> computerSound_ = AudioRecordMicDevice::computerSound();
    std::string wantedUID_ = kDefaultInputUID;
    bool withComputerSound_ = false;
    std::map<std::string, std::string> lastNames_;  // identifier to the name the list last showed
};
