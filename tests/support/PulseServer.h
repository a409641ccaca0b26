// A private sound server for one test process, so tests never reach the
// user's own: PulseAudio, or PipeWire with WirePlumber and its pulse server,
// as TRAYTAPE_TEST_SOUND_SERVER says ("pulseaudio", the default, or
// "pipewire"). Tests speak the pulse protocol to either.
//
// start() makes a fresh folder, points HOME, XDG_RUNTIME_DIR, PULSE_SERVER
// and the client configuration of this process at it, and runs the daemons
// there: `pulseaudio -n -F <script>` with a native socket and the chosen null
// sinks, or a session bus (dbus-daemon), pipewire, wireplumber (no hardware
// monitors) and pipewire-pulse, whose null sinks are loaded with pactl. The
// daemons run in a process group of their own under a keeper shell that ends
// the whole group and removes the folder when it is told to, or when the
// thread that started it ends, even by SIGKILL (start it from the main
// thread); the destructor tells it. Start it before
// the first connection is made (the backends read the environment when they
// connect): a GoogleTest environment, PulseServerEnvironment, does that for a
// whole executable.
//
// Threads: the main thread owns the server; a TonePlayer feeds its player
// from a thread of its own.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace testsupport {

struct CommandResult {
    int exitCode = -1;   // -1 when it could not run, was killed or timed out
    std::string output;  // standard output
    std::string errors;  // standard error
    bool ok() const { return exitCode == 0; }
};

// Runs argv[0] (found in PATH) with this process's environment, and waits for
// it, killing it after `timeout`.
CommandResult runCommand(
    const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(10));

struct NullSink {
    std::string name;  // the sink's pulse name; its monitor is "<name>.monitor"
    std::uint32_t rate = 48000;
    std::uint32_t channels = 2;
    std::string description;  // shown as the device name; the sink's name when empty
};

// Plays a sine into one sink through `pacat` until the time is up or stop().
class TonePlayer {
public:
    TonePlayer(pid_t pid, int input, double frequency, double amplitude, std::uint32_t rate, std::uint32_t channels,
        double seconds);
    ~TonePlayer();
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

    void stop();
    // Blocks until the tone has been handed over in full (or stop()).
    void waitUntilFed();

private:
    void feed();

    pid_t pid_;
    int input_;
    double frequency_, amplitude_;
    std::uint32_t rate_, channels_;
    double seconds_;  // 0: until stopped
    std::atomic<bool> stopping_{false};
    std::thread feeder_;
};

enum class SoundServer { PulseAudio, PipeWire };

// The server TRAYTAPE_TEST_SOUND_SERVER asks for; none for a value it does not know.
std::optional<SoundServer> soundServerOfThisRun();
const char* soundServerName(SoundServer server);

class PulseServer {
public:
    explicit PulseServer(std::vector<NullSink> sinks = {});
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the daemon and waits until it answers. On failure returns false
    // and says why in error().
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    void stop();
    bool running() const { return pid_ > 0; }
    const std::string& error() const { return error_; }

    SoundServer kind() const { return kind_.value_or(SoundServer::PulseAudio); }
    const std::string& folder() const { return folder_; }
    // "unix:<socket>", the value of PULSE_SERVER while it runs.
    std::string address() const;

    // pactl against this server.
    CommandResult pactl(const std::vector<std::string>& args) const;
    // The module index, or none when loading failed.
    std::optional<std::uint32_t> loadNullSink(const NullSink& sink) const;
    bool unloadModule(std::uint32_t index) const;
    // Both return once the server names it as its default (false after 5 s).
    bool setDefaultSink(const std::string& name) const;
    bool setDefaultSource(const std::string& name) const;
    // The server's default sink or source name ("" when it has none).
    std::string defaultSink() const;
    std::string defaultSource() const;

    // A sine of `amplitude` (linear, 1 = full scale) into `sink`, in float32
    // at `rate` with the same sample on every channel; for `seconds`, or until
    // the player is stopped or destroyed when seconds is 0.
    std::unique_ptr<TonePlayer> playTone(const std::string& sink, double frequency, double amplitude,
        std::uint32_t rate = 48000, std::uint32_t channels = 2, double seconds = 0) const;

private:
    bool startPulseAudio();
    bool startPipeWire();
    // Runs the shell lines `daemons` under /bin/sh, as the keeper of a new process group.
    bool spawnKeeper(const std::string& daemons);
    // Waits until the server answers (and, with `ready`, is ready for tests).
    template <class Ready> bool waitUntilAnswering(std::chrono::milliseconds timeout, Ready ready);

    std::optional<SoundServer> kind_;  // none: the run asked for a server this support does not know
    std::vector<NullSink> sinks_;
    std::string folder_;
    std::string socket_;
    std::string error_;
    pid_t pid_ = -1;
};

// One private server for a whole test executable:
//   ::testing::AddGlobalTestEnvironment(new PulseServerEnvironment({...}));
// A failed start fails every test with the reason.
class PulseServerEnvironment : public ::testing::Environment {
public:
    explicit PulseServerEnvironment(std::vector<NullSink> sinks) : server_(std::move(sinks)) { }
    void SetUp() override;
    void TearDown() override;
    // The running server; only valid between SetUp and TearDown.
    static PulseServer& server();

private:
    PulseServer server_;
    static PulseServer* current_;
};

}  // namespace testsupport
