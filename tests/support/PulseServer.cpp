#include "support/PulseServer.h"

#include "support/Signal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <thread>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// A child with the given descriptors as its standard ones (-1: /dev/null).
pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int fds[3] = {in, out, err};
    for (int target = 0; target < 3; ++target) {
        if (fds[target] >= 0)
            posix_spawn_file_actions_adddup2(&actions, fds[target], target);
        else
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for a child up to `timeout`; kills it after that. Its exit code, or -1.
int reap(pid_t pid, std::chrono::milliseconds timeout, int firstSignal = 0)
{
    if (firstSignal)
        kill(pid, firstSignal);
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// WirePlumber without its hardware monitors: the private server holds only
// the devices a test makes, whatever cards or cameras the machine has.
void writeWirePlumberConfig(const std::string& configHome)
{
    namespace fs = std::filesystem;
    // Read before the monitors are enabled (90-enable-all.lua) and after their defaults.
    fs::create_directories(configHome + "/wireplumber/main.lua.d");
    fs::create_directories(configHome + "/wireplumber/bluetooth.lua.d");
    std::ofstream(configHome + "/wireplumber/main.lua.d/51-traytape-tests.lua")
        << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n";
    std::ofstream(configHome + "/wireplumber/bluetooth.lua.d/51-traytape-tests.lua")
        << "bluez_monitor.enabled = false\n";
}

// Waits, without blocking a signal, for `path` to exist; part of a keeper script.
std::string waitForSocket(const std::string& path)
{
    return "i=0; while [ ! -S " + path + " ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n";
}

// The longest a single test may run before it is taken for hung: the
// longest take about 40 s on a loaded machine, and the suites' own timeouts
// (300 s and more) kill a hung one with nothing said.
constexpr auto kMostTestTime = std::chrono::seconds(150);

std::string firstLineOf(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Where each thread of this process waits, what it started, and with gdb at
// hand every thread's stack: what a hang leaves to find it by.
void reportHang(const std::string& test)
{
    std::ostringstream report;
    report << "[ hang ] " << test << " has run for " << kMostTestTime.count() << " s; its threads:\n";
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string dir = task.path().string();
        report << "  " << task.path().filename().string() << " " << firstLineOf(dir + "/comm") << ": waits in "
               << firstLineOf(dir + "/wchan") << ", system call " << firstLineOf(dir + "/syscall") << "\n";
    }
    const std::string self = std::to_string(getpid());
    std::vector<std::string> stacked{self};  // this process and the programs under test
    std::vector<pid_t> children;
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
        // The name is in parentheses and may hold spaces: the fields after it are counted from its end.
        const std::string status = firstLineOf(process.path().string() + "/stat");
        const auto close = status.rfind(')');
        if (close == std::string::npos)
            continue;
        std::string state, parent;
        std::istringstream(status.substr(close + 1)) >> state >> parent;
        if (parent != self)
            continue;
        std::string command = firstLineOf(process.path().string() + "/cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        report << "  child " << process.path().filename().string() << " (" << state << "): " << command << "\n";
        children.push_back(std::stoi(process.path().filename().string()));
        if (command.substr(0, command.find(' ')).ends_with("/traytape"))
            stacked.push_back(process.path().filename().string());
    }
    std::cerr << report.str() << std::flush;
    if (std::system("command -v gdb >/dev/null") == 0)
        for (const std::string& pid : stacked)
            std::system(("echo '[ hang ] process " + pid + ":' >&2; gdb -p " + pid
                + " -batch -ex 'thread apply all bt 20' 2>&1 | grep -E '^(Thread|#)' >&2")
                            .c_str());
    // Ended here, as the suite's timeout would not: a display or a program
    // left running. Asked, not killed: the server's keeper ends its daemons.
    for (const pid_t child : children)
        ::kill(child, SIGTERM);
}

// The test under way, kept where the watching thread can read it to the
// end of the process: never destroyed, unlike the test framework's own.
struct TestUnderWay {
    std::mutex lock;
    std::string name;  // empty between tests
    Clock::time_point since;
};

TestUnderWay& underWay()
{
    static auto* const test = new TestUnderWay;
    return *test;
}

class HangWatch : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& info) override { begin(info); }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        const std::lock_guard held(underWay().lock);
        underWay().name.clear();
    }

public:
    static void begin(const ::testing::TestInfo& info)
    {
        const std::lock_guard held(underWay().lock);
        underWay().name = std::string(info.test_suite_name()) + "." + info.name();
        underWay().since = Clock::now();
    }
};

// Once per process: a test that runs past kMostTestTime is reported and the
// process ends, well before the suite's timeout.
void watchForHangs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (const ::testing::TestInfo* current = ::testing::UnitTest::GetInstance()->current_test_info())
            HangWatch::begin(*current);
        ::testing::UnitTest::GetInstance()->listeners().Append(new HangWatch);
        std::thread([] {
            for (;; std::this_thread::sleep_for(std::chrono::seconds(1))) {
                std::string hung;
                {
                    const std::lock_guard held(underWay().lock);
                    if (!underWay().name.empty() && Clock::now() - underWay().since > kMostTestTime)
                        hung = underWay().name;
                }
                if (!hung.empty()) {
                    reportHang(hung);
                    std::abort();
                }
            }
        }).detach();
    });
}

}  // namespace

// All a memory file holds.
static std::string contentsOf(int fd)
{
    const off_t size = fd >= 0 ? ::lseek(fd, 0, SEEK_END) : 0;
    std::string bytes(std::size_t(std::max<off_t>(size, 0)), '\0');
    bytes.resize(std::size_t(std::max<ssize_t>(::pread(fd, bytes.data(), bytes.size(), 0), 0)));
    return bytes;
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    // Memory files rather than pipes: a full pipe cannot hold the child up,
    // and nothing has to be read while it runs.
    CommandResult result;
    const int out = ::memfd_create("output", MFD_CLOEXEC), err = ::memfd_create("errors", MFD_CLOEXEC);
    const pid_t pid = argv.empty() || out < 0 || err < 0 ? -1 : spawn(argv, -1, out, err);
    if (pid > 0)
        result.exitCode = reap(pid, timeout);
    result.output = contentsOf(out);
    result.errors = pid > 0 ? contentsOf(err) : "cannot run " + (argv.empty() ? std::string() : argv[0]);
    for (int fd : {out, err})
        if (fd >= 0)
            ::close(fd);
    return result;
}

void TonePlayer::stop()
{
    for (pid_t* pid : {&player_, &generator_}) {
        if (*pid > 0)
            reap(*pid, std::chrono::seconds(5), SIGTERM);
        *pid = -1;
    }
}

PulseServer::PulseServer(std::vector<NullSink> sinks) : sinks_(std::move(sinks))
{
    const char* wanted = std::getenv("TRAYTAPE_TEST_SOUND_SERVER");
    name_ = wanted && *wanted ? wanted : "pulseaudio";
}

PulseServer::~PulseServer()
{
    stop();
}

bool PulseServer::start()
{
    watchForHangs();
    namespace fs = std::filesystem;
    if (pid_ > 0)
        return true;
    const bool pipeWire = name_ == "pipewire";
    if (!pipeWire && name_ != "pulseaudio") {
        error_ = "TRAYTAPE_TEST_SOUND_SERVER is \"" + name_ + "\", not pulseaudio or pipewire";
        return false;
    }
    char pattern[] = "/tmp/traytape-pulse-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error_ = "cannot make a temporary folder";
        return false;
    }
    folder_ = pattern;
    const std::string home = folder_ + "/home", runtime = folder_ + "/runtime", state = folder_ + "/state";
    for (const auto& dir : {home + "/.config/pulse", runtime + "/pulse", state})
        fs::create_directories(dir);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    // pipewire-pulse listens in the runtime folder's pulse/ as a desktop's does.
    socket_ = pipeWire ? runtime + "/pulse/native" : runtime + "/native";

    // Clients here must find this server or none: no autospawn, no X11 or
    // localhost fallback, no user cookie.
    const std::string clientConf = home + "/.config/pulse/client.conf";
    std::ofstream(clientConf) << "autospawn = no\nauto-connect-localhost = no\nauto-connect-display = no\n";

    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (runtime + "/pulse").c_str(), 1);
    setenv("PULSE_STATE_PATH", state.c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", clientConf.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
    for (const char* name : {"PULSE_SINK", "PULSE_SOURCE", "PULSE_COOKIE", "PULSE_LATENCY_MSEC", "PULSE_PROP",
             "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR"})
        unsetenv(name);

    std::string daemons;
    if (pipeWire) {
        // The session bus is the daemons' own: this process keeps whatever bus it had.
        writeWirePlumberConfig(home + "/.config");
        const std::string bus = runtime + "/bus";
        daemons = "export DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus + "\n"
            + "dbus-daemon --session --nofork --nopidfile --address=$DBUS_SESSION_BUS_ADDRESS &\n" + waitForSocket(bus)
            + "pipewire &\n" + waitForSocket(runtime + "/pipewire-0") + "wireplumber &\npipewire-pulse &\n";
    } else {
        daemons = "pulseaudio -n -L 'module-native-protocol-unix socket=" + socket_
            + " auth-anonymous=1' --daemonize=no --exit-idle-time=-1 --disallow-exit --system=false"
              " --use-pid-file=no --realtime=no --high-priority=no --log-target=stderr &\n";
    }
    // Both servers get their sinks the same way, once they answer.
    if (!spawnKeeper(daemons) || !waitUntilReady()) {
        stop();
        return false;
    }
    for (const auto& sink : sinks_) {
        if (!loadNullSink(sink)) {
            error_ = name_ + " did not load the null sink " + sink.name;
            stop();
            return false;
        }
    }
    return true;
}

bool PulseServer::spawnKeeper(const std::string& daemons)
{
    // The keeper shell leads the group; told to end, or orphaned, it ends
    // every daemon in it, reaps them and removes the server's folder before
    // it exits itself. Once every daemon has exited the keeper exits too,
    // keeping the folder and its log, so a server that dies at start is seen
    // as the keeper's exit.
    const std::string script = "trap 'trap \"\" TERM INT HUP; kill 0; wait; rm -rf " + folder_
        + "; exit 0' TERM INT HUP\n" + daemons + "wait\n";
    const int log = open((folder_ + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        dup2(devnull, 0);
        dup2(log, 1);
        dup2(log, 2);
        execve(argv[0], const_cast<char**>(argv), environ);
        _exit(127);
    }
    if (log >= 0)
        close(log);
    if (devnull >= 0)
        close(devnull);
    if (pid < 0) {
        error_ = "cannot start the sound server";
        return false;
    }
    // Also here, so that stop() right after the fork reaches the group.
    setpgid(pid, pid);
    pid_ = pid;
    return true;
}

bool PulseServer::waitUntilReady()
{
    const auto timeout = std::chrono::seconds(15);
    const auto deadline = Clock::now() + timeout;
    // WirePlumber links streams: until it is there, nothing plays or records.
    const auto ready = [&] {
        return name_ != "pipewire" || pactl({"list", "clients"}).output.find("WirePlumber") != std::string::npos;
    };
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            std::ifstream in(folder_ + "/daemon.log");
            error_ = name_ + " exited at start:\n" + std::string(std::istreambuf_iterator<char>(in), {});
            return false;
        }
        if (std::filesystem::exists(socket_) && pactl({"info"}).ok() && ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::ifstream in(folder_ + "/daemon.log");
    error_ = name_ + " did not answer within " + std::to_string(timeout.count()) + " s:\n"
        + std::string(std::istreambuf_iterator<char>(in), {});
    return false;
}

void PulseServer::stop()
{
    if (pid_ > 0) {
        // The whole group: the keeper and every daemon it started.
        kill(-pid_, SIGTERM);
        reap(pid_, std::chrono::seconds(10));
        kill(-pid_, SIGKILL);  // only a daemon that ignored the request is left
        pid_ = -1;
    }
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        folder_.clear();
    }
}

CommandResult PulseServer::pactl(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv{"pactl", "--server=unix:" + socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

std::optional<std::uint32_t> PulseServer::loadNullSink(const NullSink& sink) const
{
    // pactl hands the arguments to the module parser as one string.
    const auto load = [&] {
        return pactl({"load-module", "module-null-sink",
            "sink_name=" + sink.name + " rate=" + std::to_string(sink.rate)
                + " channels=" + std::to_string(sink.channels) + " sink_properties='device.description=\""
                + sink.description + "\"'"});
    };
    // Once, under load, pipewire-pulse refused a sink within 72 ms of the
    // unloading of one of the same name: what it says is shown, and the
    // load asked again for a while.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    CommandResult r = load();
    if (!r.ok())
        std::cerr << "[ server ] loading the sink " << sink.name << " failed: " << r.errors << r.output << "\n";
    while (!r.ok() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        r = load();
    }
    if (!r.ok())
        return std::nullopt;
    std::uint32_t index = 0;
    try {
        index = std::uint32_t(std::stoul(r.output));
    } catch (...) {
        return std::nullopt;
    }
    // pipewire-pulse answers once the node exists, but lists it only a moment
    // later: a client asking straight away (as the tests do) would not find it.
    const auto listed = [&](const char* what, const std::string& name) {
        std::istringstream lines(pactl({"list", "short", what}).output);
        for (std::string line, number, found; std::getline(lines, line);)
            if (std::istringstream(line) >> number >> found && found == name)
                return true;
        return false;
    };
    const auto listedBy = Clock::now() + std::chrono::seconds(5);
    while (!listed("sinks", sink.name) || !listed("sources", sink.name + ".monitor")) {
        if (Clock::now() > listedBy)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return index;
}

bool PulseServer::unloadModule(std::uint32_t index) const
{
    return pactl({"unload-module", std::to_string(index)}).ok();
}

// pipewire-pulse only records the choice; WirePlumber makes it the default a
// moment later. Returns once the server says so.
bool PulseServer::setDefault(const std::string& kind, const std::string& name) const
{
    if (!pactl({"set-default-" + kind, name}).ok())
        return false;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (defaultOf(kind) != name) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string PulseServer::defaultOf(const std::string& kind) const
{
    std::string name = pactl({"get-default-" + kind}).output;
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back())))
        name.pop_back();
    return name;
}

std::unique_ptr<TonePlayer> PulseServer::playTone(
    const std::string& sink, double frequency, double amplitude, std::uint32_t rate, std::uint32_t channels,
    double burstPeriod) const
{
    std::string sine = std::to_string(amplitude) + "*sin(2*PI*" + std::to_string(frequency) + "*t)";
    if (burstPeriod > 0)
        sine += "*lt(mod(t\\," + std::to_string(burstPeriod) + ")\\," + std::to_string(kBurstSeconds) + ")";
    return play(sink, sine, rate, channels);
}

std::unique_ptr<TonePlayer> PulseServer::play(
    const std::string& sink, const std::string& expression, std::uint32_t rate, std::uint32_t channels) const
{
    return play(sink, expression, rate, channels, {"pacat", ""});
}

std::unique_ptr<TonePlayer> PulseServer::playToneAs(
    const Player& player, const std::string& sink, double frequency, double amplitude) const
{
    return play(sink, std::to_string(amplitude) + "*sin(2*PI*" + std::to_string(frequency) + "*t)", 48000, 2, player);
}

std::unique_ptr<TonePlayer> PulseServer::play(const std::string& sink, const std::string& expression,
    std::uint32_t rate, std::uint32_t channels, const Player& as) const
{
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0)
        return nullptr;
    // The same sample on every channel: one expression each.
    std::string each = expression;
    for (std::uint32_t c = 1; c < channels; ++c)
        each += "|" + expression;
    const pid_t generator = spawn({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                      "aevalsrc=" + each + ":s=" + std::to_string(rate), "-f", "f32le", "-"},
        -1, pipe[1], -1);
    // Half a second of buffer: with the sanitized suites and a build beside
    // them, a player on 100 ms went short now and then, and the silence it
    // left in the sink was measured as a recording's fault.
    std::vector<std::string> argv{as.program, "--playback", "--server=unix:" + socket_, "--device=" + sink,
        "--format=float32le", "--rate=" + std::to_string(rate), "--channels=" + std::to_string(channels), "--raw",
        "--latency-msec=500"};
    if (!as.client.empty())
        argv.push_back("--client-name=" + as.client);
    const pid_t player = spawn(argv, pipe[0], -1, -1);
    close(pipe[0]);
    close(pipe[1]);
    auto tone = std::make_unique<TonePlayer>(generator, player);
    return generator > 0 && player > 0 ? std::move(tone) : nullptr;
}

bool PulseServer::waitForTone(
    const std::string& sink, double frequency, double amplitude, std::uint32_t rate, std::uint32_t channels) const
{
    // 0.3 s read afresh each time, its last 0.1 s of the first channel judged:
    // a monitor's first block may be older than the player. In the player's
    // format: as many channels, so no server mixes them down (PipeWire by
    // 3 dB), and its rate, so no idle sink is moved to another one.
    const std::size_t frames = rate * 3 / 10, judged = rate / 10;
    const std::size_t frameBytes = 4 * std::size_t(channels);
    const std::vector<std::string> read{"sh", "-c", "pacat \"$@\" | head -c " + std::to_string(frames * frameBytes),
        "sh", "--record", "--raw", "--server=unix:" + socket_, "--device=" + sink + ".monitor", "--format=float32le",
        "--channels=" + std::to_string(channels), "--rate=" + std::to_string(rate), "--latency-msec=20"};
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        const CommandResult heard = runCommand(read, std::chrono::seconds(5));
        if (heard.output.size() < frames * frameBytes)
            continue;
        std::vector<float> samples(judged);
        for (std::size_t i = 0; i < judged; ++i)
            std::memcpy(&samples[i], heard.output.data() + (frames - judged + i) * frameBytes, 4);
        if (std::abs(signal_test::toneAmplitude(samples, frequency, rate) - amplitude) < amplitude / 10)
            return true;
    }
    return false;
}

MonitorListener::~MonitorListener()
{
    stop();
}

bool MonitorListener::hearing() const
{
    return output_ >= 0 && ::lseek(output_, 0, SEEK_END) > 0;
}

std::vector<float> MonitorListener::stop()
{
    if (reader_ > 0)
        reap(reader_, std::chrono::seconds(5), SIGTERM);
    reader_ = -1;
    const std::string bytes = contentsOf(output_);
    if (output_ >= 0)
        ::close(output_);
    output_ = -1;
    std::vector<float> first(bytes.size() / (4 * std::size_t(channels_)));
    for (std::size_t i = 0; i < first.size(); ++i)
        std::memcpy(&first[i], bytes.data() + i * 4 * channels_, 4);
    return first;
}

std::unique_ptr<MonitorListener> PulseServer::listen(
    const std::string& sink, std::uint32_t rate, std::uint32_t channels, std::optional<std::uint32_t> stream) const
{
    const int out = ::memfd_create("heard", MFD_CLOEXEC);
    std::vector<std::string> command{"pacat", "--record", "--raw", "--server=unix:" + socket_,
        "--device=" + sink + ".monitor", "--format=float32le", "--channels=" + std::to_string(channels),
        "--rate=" + std::to_string(rate), "--latency-msec=20"};
    if (stream)
        command.push_back("--monitor-stream=" + std::to_string(*stream));
    const pid_t reader = out < 0 ? -1 : spawn(command, -1, out, -1);
    auto listener = std::make_unique<MonitorListener>(reader, out, channels);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (reader > 0 && !listener->hearing() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return listener->hearing() ? std::move(listener) : nullptr;
}

PulseServer* PulseServerEnvironment::current_ = nullptr;

void PulseServerEnvironment::SetUp()
{
    ASSERT_TRUE(server_.start()) << "private sound server: " << server_.error();
    current_ = &server_;
}

void PulseServerEnvironment::TearDown()
{
    current_ = nullptr;
    server_.stop();
}

PulseServer& PulseServerEnvironment::server()
{
    return *current_;
}

}  // namespace testsupport
