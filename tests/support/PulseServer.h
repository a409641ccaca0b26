// A private sound server for one test process, so tests never reach the
// user's own: PulseAudio, or PipeWire with WirePlumber and its pulse server,
// as TRAYTAPE_TEST_SOUND_SERVER says ("pulseaudio", the default, or
// "pipewire"). Tests speak the pulse protocol to either.
//
// start() makes a fresh folder, points HOME, XDG_RUNTIME_DIR, PULSE_SERVER
// and the client configuration of this process at it, and runs the daemons
// there: `pulseaudio -n` with only a native socket, or a session bus
// (dbus-daemon), pipewire, wireplumber (no hardware monitors) and
// pipewire-pulse; once it answers, the chosen null sinks are loaded with pactl. The
// daemons run in a process group of their own under a keeper shell that ends
// the whole group and removes the folder when it is told to, or when the
// thread that started it ends, even by SIGKILL (start it from the main
// thread); the destructor tells it. Start it before
// the first connection is made (the backends read the environment when they
// connect): a GoogleTest environment, PulseServerEnvironment, does that for a
// whole executable.
//
// Threads: the main thread owns the server.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
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
    std::string description;  // shown as the device name
};

// A tone from `ffmpeg` piped into `pacat`, until stop() or destruction.
class TonePlayer {
public:
    TonePlayer(pid_t generator, pid_t player) : generator_(generator), player_(player) { }
    ~TonePlayer() { stop(); }
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

    void stop();

private:
    pid_t generator_, player_;
};

// What a sink's monitor carries, read by `pacat` from start to stop(): a
// witness of what the server played, beside a take that reads it too.
class MonitorListener {
public:
    MonitorListener(pid_t reader, int output, std::uint32_t channels)
        : reader_(reader), output_(output), channels_(channels)
    { }
    ~MonitorListener();
    MonitorListener(const MonitorListener&) = delete;
    MonitorListener& operator=(const MonitorListener&) = delete;

    // Whether anything has come yet.
    bool hearing() const;
    // Ends the reading; the first channel of what came.
    std::vector<float> stop();

private:
    pid_t reader_;
    int output_;  // a memory file
    std::uint32_t channels_;
};

class PulseServer {
public:
    explicit PulseServer(std::vector<NullSink> sinks = {});
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the daemon and waits until it answers. On failure returns false
    // and says why in error().
    bool start();
    void stop();
    const std::string& error() const { return error_; }

    // pactl against this server.
    CommandResult pactl(const std::vector<std::string>& args) const;
    // The module index, or none when loading failed.
    std::optional<std::uint32_t> loadNullSink(const NullSink& sink) const;
    bool unloadModule(std::uint32_t index) const;
    // Both return once the server names it as its default (false after 5 s).
    bool setDefaultSink(const std::string& name) const { return setDefault("sink", name); }
    bool setDefaultSource(const std::string& name) const { return setDefault("source", name); }
    // The server's default sink or source name ("" when it has none).
    std::string defaultSink() const { return defaultOf("sink"); }
    std::string defaultSource() const { return defaultOf("source"); }

    // A sine of `amplitude` (linear, 1 = full scale) into `sink`, in float32
    // at `rate` with the same sample on every channel, until the player is
    // stopped or destroyed; given a period, only its first kBurstSeconds.
    static constexpr double kBurstSeconds = 0.02;
    std::unique_ptr<TonePlayer> playTone(const std::string& sink, double frequency, double amplitude,
        std::uint32_t rate = 48000, std::uint32_t channels = 2, double burstPeriod = 0) const;
    // The same, of any FFmpeg aevalsrc expression (of t, the time, or n, the sample's number).
    std::unique_ptr<TonePlayer> play(const std::string& sink, const std::string& expression, std::uint32_t rate = 48000,
        std::uint32_t channels = 2) const;
    // An application of its own to the server: a sine played by `program`
    // (a copy of pacat under another name, its binary as the server lists
    // it) that calls itself `client` (its application name).
    struct Player {
        std::string program;
        std::string client;
    };
    std::unique_ptr<TonePlayer> playToneAs(
        const Player& player, const std::string& sink, double frequency, double amplitude) const;
    // Whether the sink's monitor carries a steady tone played as above,
    // waiting up to 10 s for it: a player just started reaches its sink only
    // after a while, longer on a busy machine, and a take begun before then
    // holds silence. Its own short reading of the monitor can make PipeWire
    // renegotiate the graph, so only a test that starts a take at once asks.
    bool waitForTone(const std::string& sink, double frequency, double amplitude, std::uint32_t rate = 48000,
        std::uint32_t channels = 2) const;
    // The sink's monitor heard from now on, in float32 in the player's format
    // (so no server mixes or resamples it), once it has begun to come (null
    // when nothing came within 5 s); only sink input `stream` of it, if given.
    std::unique_ptr<MonitorListener> listen(const std::string& sink, std::uint32_t rate = 48000,
        std::uint32_t channels = 2, std::optional<std::uint32_t> stream = std::nullopt) const;

private:
    std::unique_ptr<TonePlayer> play(const std::string& sink, const std::string& expression, std::uint32_t rate,
        std::uint32_t channels, const Player& player) const;
    bool setDefault(const std::string& kind, const std::string& name) const;
    std::string defaultOf(const std::string& kind) const;
    // Runs the shell lines `daemons` under /bin/sh, as the keeper of a new process group.
    bool spawnKeeper(const std::string& daemons);
    // Waits until the server answers and is ready for tests.
    bool waitUntilReady();

    std::string name_;  // as TRAYTAPE_TEST_SOUND_SERVER says: "pulseaudio" (the default) or "pipewire"
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
