// One recording's life, the same for the tray and the command line: start
// (with the crash-recovery mark), pause and resume, stop, the faults and lost
// audio the recorder reports, the hand-off of each completed file, and the
// bounded wait for completions when the program ends, and the input devices
// a recording is chosen from (AudioDeviceChoice). Menus, notifications and
// printing stay with the front end, which hears of events through Hooks:
// faults, lost audio, silence, a moved file and a changed device list are
// told, never asked for.
//
// "Recording" and "paused" are apart here: the recorder's own isStart() means
// only "writing is on", so a paused recording would read as none.
//
// Threads: every call is the owner's (the main thread's). The session's own
// checks run on a timer of the owner's loop (Hooks::every), so every hook is
// called on the owner's thread. Completions arrive on the recorder's
// completion thread; they are queued, wake() asks the owner to call
// deliverCompleted(), and `delivered` runs on the owner's thread. The
// owner owns the session and the recorder, and keeps the recorder alive
// longer than the session.
#pragma once

#include "AudioRecord/AudioDeviceChoice.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "AudioRecord/RecordRecipe.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class RecordSession {
public:
    // Armed: waiting for sound (RecordRecipe::onSound) to start a take.
    enum class State { Idle, Armed, Recording, Paused };
    // Why a file left the session: the user stopped it, a fault ended it, the program is ending,
    // or it is a full part of a split take that goes on in the next one.
    enum class Ending { User, Fault, Quit, Part };
    // NoDevice: none of the recipe's sources could be opened. DeviceGone:
    // the chosen device left the sound server after it was chosen.
    enum class StartResult { Started, NoDevice, DeviceGone, FileNotCreated };
    // Why the recording will hold nothing: the server mutes the input, or only silence has come.
    enum class Silence { Muted, Silent };

    struct Delivery {
        std::string path;
        OSStatus status = noErr;  // the failure that cost audio written to the file, as CompletedRecording says
        Ending ending = Ending::User;
        // The markers set while it was recorded, in seconds from its start.
        std::vector<double> markers;
        // Each source's file beside it (RecordRecipe::separate), as many as hold audio.
        std::vector<std::string> sources;
    };

    // Every hook may be left empty.
    struct Hooks {
        // The crash-recovery mark (recordingMark(): the file being recorded and
        // what identifies it), "" for none. A written mark must be on disk
        // when writeMark returns: a crash gives no later chance.
        std::function<std::string()> readMark;
        std::function<void(const std::string& mark)> writeMark;
        // Completion thread: a completed file waits; call deliverCompleted() soon.
        std::function<void()> wake;
        // A completed file goes to the user, each part of a split take as it
        // fills. The mark is cleared after it returns, unless it names a later part.
        std::function<void(const Delivery&)> delivered;
        // Seconds of audio the disk could not take, told once the loss stopped growing.
        std::function<void(double seconds)> audioLost;
        // Muted: at start. Silent: once only silence has come for the silence
        // time, and again no sooner than the repeat time after the last word.
        std::function<void(Silence)> silence;
        // The file being recorded was moved (renamed) to `path`; the
        // recording goes on in it there, and is delivered from there.
        std::function<void(const std::string& path)> moved;
        // A fault ended the recording (as Ending::Fault): its input vanished,
        // its file could not be written (failure() says why) or was deleted.
        std::function<void(RecordFault)> ended;
        // The server's inputs or its default input changed; devices() lists them anew.
        std::function<void()> devicesChanged;
        // A source's own file (RecordRecipe::separate) could not be made, for
        // the reason given; the take is recorded without it.
        std::function<void(const std::string& path, OSStatus why)> sourceMissing;
        // The session changed state by itself: sound started a take, or
        // silence ended one (it is delivered as stopped by the user).
        std::function<void(State)> changed;
        // The owner's loop: asked once, as the session is made, to run `check`
        // on the owner's thread every `interval` for the session's life. Left
        // empty, nothing is checked until the owner calls check() itself.
        std::function<void(std::chrono::milliseconds interval, std::function<void()> check)> every;
    };
    using Clock = std::chrono::steady_clock;

    // Armed, the recorder keeps this much beyond the pre-roll: what comes
    // between the sound and the check that starts its take (a check
    // interval, and a file's making on a busy machine).
    static constexpr double kArmedMarginSeconds = 1.0;
    // How often the session looks at the recorder, its file and the devices.
    static constexpr std::chrono::milliseconds kCheckInterval{1000 / 30};

    // Takes over the recorder's completion handler, which may outlive the
    // session: it holds only the queue it fills. Listens to the server's
    // device list from here on.
    RecordSession(AudioRecordDevice& recorder, Hooks hooks);
    RecordSession(const RecordSession&) = delete;
    RecordSession& operator=(const RecordSession&) = delete;

    State state() const { return state_; }
    // A take is under way, writing or paused (not merely armed).
    bool isActive() const { return state_ == State::Recording || state_ == State::Paused; }
    // Armed, or in a take that sound started.
    bool startsOnSound() const { return armed_.has_value(); }
    // The file of the running recording; after a stop, the last one's until the next start.
    const std::optional<std::string>& path() const { return path_; }
    // Why the last start could not make its file, or why the last file a
    // fault ended could not be written (audiofile::reasonFor words it).
    OSStatus failure() const { return failure_; }

    // Records what the recipe says: the recorder keeps capturing its
    // sources when it already does (a device that left since is one it
    // does, told as DeviceGone), else opens them; then makes the file in
    // the recipe's format and starts writing to it, its pre-roll first. The
    // mark names it at once. Split, the file is the first part, and the next
    // one is made ahead; as each part fills, the mark moves on to the next
    // one. A recipe that starts on sound arms instead: the file is named and
    // made when the sound comes (check()).
    StartResult start(const RecordRecipe& recipe);
    // What the recorder keeps of its input while no take runs, so that a
    // start can reach back (RecordRecipe::preRoll): from now on, for every
    // input it opens.
    void keepBeforeStart(double seconds);
    // True once the recording holds the recipe's length.
    bool reachedLength() const;
    // Writing stops; the file stays open and capture goes on.
    void pause();
    void resume();
    // Recording or paused: marks the take at the frames written so far (in
    // a pause, the pause point); the file and the delivery keep the marker.
    // Returns where, in seconds; nothing when idle.
    std::optional<double> addMarker();
    // Writes what was taken in up to now, stops and hands the file over for
    // completion; returns the take's length in seconds at the device's rate
    // (0 when idle, which is harmless).
    double stop(Ending ending = Ending::User);
    // A device change ends the current file; the recording itself goes on.
    void configDevice(std::shared_ptr<AudioRecordMicDevice> device);
    // The inputs to choose from, and the choice; a recipe's input is resolved here.
    AudioDeviceChoice& devices() { return devices_; }
    const AudioDeviceChoice& devices() const { return devices_; }

    // What the timer of Hooks::every runs. A fault newly seen while
    // recording ends the recording and is told (ended); a deleted file ends
    // it too (FileRemoved), a moved one is followed (moved). A loss is told
    // once it stopped growing (audioLost), silence while the input stays
    // silent (silence), a changed device list once it is read (devicesChanged).
    void check();
    // How long silence lasts before it is told (30 s), how long before it is
    // told again (10 min), and the clock they are measured on.
    void setSilenceTimes(Clock::duration after, Clock::duration repeat, std::function<Clock::time_point()> now = {});
    Clock::duration silenceAfter() const { return silenceAfter_; }

    // Hands every completed, stopped file to `delivered`.
    void deliverCompleted();
    // True once every file is complete and delivered; false when the timeout passed first.
    bool waitForCompletion(std::chrono::milliseconds timeout);
    // The program ends: waits at most `timeout`; a file still being
    // completed then is delivered as it is (a fragmented MPEG-4 file plays)
    // and its completion is abandoned.
    void completeBeforeExit(std::chrono::milliseconds timeout);

private:
    // A descriptor that names the file being recorded wherever it goes
    // (O_PATH: it neither reads nor writes), closed with the watch.
    class FileWatch {
    public:
        FileWatch() = default;
        explicit FileWatch(const std::string& path);
        FileWatch(const FileWatch&) = delete;
        FileWatch& operator=(FileWatch&& other) noexcept;
        ~FileWatch();
        explicit operator bool() const { return fd_ >= 0; }
        // Where the file is now: nullopt when it was deleted; `path` itself
        // while that still names it.
        std::optional<std::string> whereIs(const std::string& path) const;

    private:
        int fd_ = -1;
    };

    // Follows the file of the running recording; false when it was deleted.
    bool followFile();
    // Split: hands a full part on, once the recorder moved on from it, and makes the next one.
    void followParts(bool makeNext);
    RecordFault checkFault();
    void checkSilence();
    bool captures(const RecordRecipe& recipe) const;
    void open(const RecordRecipe& recipe);
    // The mark of the file being recorded, with its sources' files.
    std::string markOf(const std::string& path) const;
    void tellMissingSources();
    // Makes the file and starts writing: `fromFrame` (the recorder's kept
    // position where sound came) or now, the pre-roll before either.
    StartResult startTake(const RecordRecipe& recipe, std::int64_t fromFrame);
    void arm(const RecordRecipe& recipe);
    // stop() without disarming.
    double stopTake(Ending ending);
    void checkTrigger();
    void tell(State state);

    struct Inbox {
        std::mutex mutex;
        std::vector<CompletedRecording> arrived;
        std::function<void()> wake;
    };

    void checkLostAudio(bool finalCheck);
    void deliver(const Delivery& delivery);

    AudioRecordDevice& recorder_;  // not owned
    Hooks hooks_;
    AudioDeviceChoice devices_;
    State state_ = State::Idle;
    std::optional<std::string> path_;
    FileWatch watch_;  // on path_ while the recorder writes it
    RecordFault reportedFault_ = RecordFault::None;
    OSStatus failure_ = noErr;
    std::int64_t frameLimit_ = 0;  // device frames; 0 for none
    // A split take's recipe, and the number of the part being written (0: not split).
    RecordRecipe split_;
    int part_ = 0;
    bool nextMade_ = false;
    double keepBeforeStart_ = 0;                        // seconds the recorder keeps while no take needs more
    std::optional<RecordRecipe> armed_;                 // the recipe of takes that start on sound
    std::weak_ptr<AudioRecordMicDevice> openedDevice_;  // by configDevice(), with its identifier then
    std::optional<std::string> openedUID_;
    std::int64_t lostSeen_ = 0;      // frames, as of the last look
    std::int64_t lostReported_ = 0;  // frames the user has been told of
    Clock::duration silenceAfter_ = std::chrono::seconds(30);
    Clock::duration silenceRepeat_ = std::chrono::minutes(10);
    std::function<Clock::time_point()> now_ = [] { return Clock::now(); };
    std::uint64_t heardSeen_ = 0;  // the recorder's heardBuffers(), as of the last look
    Clock::time_point heardAt_;    // when sound was last seen, or writing last began
    std::optional<Clock::time_point> silenceToldAt_;
    // Stopped files not yet delivered, with why they were stopped, in the
    // order they stopped: takes are handed on in the order they were made,
    // whatever their names sort as.
    std::vector<std::pair<std::string, Ending>> finishing_;
    // Completed files not yet delivered (a device change may have ended them
    // before they were stopped), with their status, in the order they completed.
    std::vector<CompletedRecording> completedEarly_;
    // Filled on the completion thread, emptied on the owner's.
    std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
};
