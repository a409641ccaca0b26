#include "support/PulseServer.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
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

void ignoreBrokenPipes()
{
    // A player that dies while being fed must fail the write, not end the test process.
    static const bool once = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)once;
}

std::string quoteForScript(const std::string& s)
{
    std::string out;
    for (char c : s)
        if (c != '"' && c != '\'' && c != '\n')
            out += c;
    return out;
}

std::string nullSinkArguments(const NullSink& sink)
{
    const std::string description = sink.description.empty() ? sink.name : sink.description;
    return "sink_name=" + sink.name + " rate=" + std::to_string(sink.rate)
        + " channels=" + std::to_string(sink.channels) + " sink_properties='device.description=\""
        + quoteForScript(description) + "\"'";
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    CommandResult result;
    int out[2], err[2];
    if (argv.empty() || pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    const pid_t pid = spawn(argv, -1, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        result.errors = "cannot run " + argv[0];
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.output, &result.errors};
    int open = 2;
    bool timedOut = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (poll(fds, 2, int(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, std::size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    result.exitCode = reap(pid, timedOut ? std::chrono::milliseconds(0) : std::chrono::milliseconds(5000));
    if (timedOut)
        result.exitCode = -1;
    return result;
}

TonePlayer::TonePlayer(pid_t pid, int input, double frequency, double amplitude, std::uint32_t rate,
    std::uint32_t channels, double seconds)
    : pid_(pid),
      input_(input),
      frequency_(frequency),
      amplitude_(amplitude),
      rate_(rate),
      channels_(channels),
      seconds_(seconds),
      feeder_([this] { feed(); })
{ }

TonePlayer::~TonePlayer()
{
    stop();
}

void TonePlayer::feed()
{
    const std::uint64_t total = seconds_ > 0 ? std::uint64_t(seconds_ * rate_) : UINT64_MAX;
    const std::uint32_t chunk = rate_ / 100;
    std::vector<float> samples(std::size_t(chunk) * channels_);
    const double step = 2.0 * M_PI * frequency_ / rate_;
    std::uint64_t frame = 0;
    while (!stopping_.load() && frame < total) {
        const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(chunk, total - frame));
        for (std::uint32_t i = 0; i < n; ++i) {
            const float v = float(amplitude_ * std::sin(step * double((frame + i) % (std::uint64_t(rate_) * 1000))));
            for (std::uint32_t c = 0; c < channels_; ++c)
                samples[std::size_t(i) * channels_ + c] = v;
        }
        const char* p = reinterpret_cast<const char*>(samples.data());
        std::size_t left = std::size_t(n) * channels_ * sizeof(float);
        while (left > 0 && !stopping_.load()) {
            const ssize_t w = write(input_, p, left);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return;  // the player is gone
            p += w;
            left -= std::size_t(w);
        }
        frame += n;
    }
}

void TonePlayer::waitUntilFed()
{
    if (feeder_.joinable())
        feeder_.join();
}

void TonePlayer::stop()
{
    if (pid_ <= 0)
        return;
    stopping_ = true;
    kill(pid_, SIGTERM);  // unblocks a write into a full pipe
    if (feeder_.joinable())
        feeder_.join();
    close(input_);
    reap(pid_, std::chrono::seconds(5));
    pid_ = -1;
}

PulseServer::PulseServer(std::vector<NullSink> sinks) : sinks_(std::move(sinks))
{
    ignoreBrokenPipes();
}

PulseServer::~PulseServer()
{
    stop();
}

std::string PulseServer::address() const
{
    return "unix:" + socket_;
}

bool PulseServer::start(std::chrono::milliseconds timeout)
{
    namespace fs = std::filesystem;
    if (running())
        return true;
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
    socket_ = runtime + "/native";

    // Clients here must find this server or none: no autospawn, no X11 or
    // localhost fallback, no user cookie.
    const std::string clientConf = home + "/.config/pulse/client.conf";
    std::ofstream(clientConf) << "autospawn = no\nauto-connect-localhost = no\nauto-connect-display = no\n";
    const std::string script = folder_ + "/server.pa";
    {
        std::ofstream pa(script);
        pa << "load-module module-native-protocol-unix socket=" << socket_ << " auth-anonymous=1\n";
        for (const auto& sink : sinks_)
            pa << "load-module module-null-sink " << nullSinkArguments(sink) << "\n";
    }

    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (runtime + "/pulse").c_str(), 1);
    setenv("PULSE_STATE_PATH", state.c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", clientConf.c_str(), 1);
    setenv("PULSE_SERVER", address().c_str(), 1);
    for (const char* name : {"PULSE_SINK", "PULSE_SOURCE", "PULSE_COOKIE", "PULSE_LATENCY_MSEC", "PULSE_PROP"})
        unsetenv(name);

    const int log = open((folder_ + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = spawn(
        {"pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--system=false",
            "--use-pid-file=no", "--realtime=no", "--high-priority=no", "--log-target=stderr"},
        -1, log, log);
    if (log >= 0)
        close(log);
    if (pid_ < 0) {
        error_ = "cannot run pulseaudio";
        return false;
    }

    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            std::ifstream in(folder_ + "/daemon.log");
            error_ = "pulseaudio exited at start:\n" + std::string(std::istreambuf_iterator<char>(in), {});
            return false;
        }
        if (fs::exists(socket_) && pactl({"info"}).ok())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "pulseaudio did not answer within " + std::to_string(timeout.count()) + " ms";
    stop();
    return false;
}

void PulseServer::stop()
{
    if (pid_ > 0) {
        reap(pid_, std::chrono::seconds(5), SIGTERM);
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
    std::vector<std::string> argv{"pactl", "--server=" + address()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

std::optional<std::uint32_t> PulseServer::loadNullSink(const NullSink& sink) const
{
    // pactl hands the arguments to the module parser as one string.
    const auto r = pactl({"load-module", "module-null-sink", nullSinkArguments(sink)});
    if (!r.ok())
        return std::nullopt;
    try {
        return std::uint32_t(std::stoul(r.output));
    } catch (...) {
        return std::nullopt;
    }
}

bool PulseServer::unloadModule(std::uint32_t index) const
{
    return pactl({"unload-module", std::to_string(index)}).ok();
}

bool PulseServer::setDefaultSink(const std::string& name) const
{
    return pactl({"set-default-sink", name}).ok();
}

bool PulseServer::setDefaultSource(const std::string& name) const
{
    return pactl({"set-default-source", name}).ok();
}

std::unique_ptr<TonePlayer> PulseServer::playTone(const std::string& sink, double frequency, double amplitude,
    std::uint32_t rate, std::uint32_t channels, double seconds) const
{
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return nullptr;
    const pid_t pid = spawn(
        {"pacat", "--playback", "--server=" + address(), "--device=" + sink, "--format=float32le",
            "--rate=" + std::to_string(rate), "--channels=" + std::to_string(channels), "--raw", "--latency-msec=100"},
        in[0], -1, -1);
    close(in[0]);
    if (pid < 0) {
        close(in[1]);
        return nullptr;
    }
    return std::make_unique<TonePlayer>(pid, in[1], frequency, amplitude, rate, channels, seconds);
}

PulseServer* PulseServerEnvironment::current_ = nullptr;

void PulseServerEnvironment::SetUp()
{
    ASSERT_TRUE(server_.start()) << "private PulseAudio server: " << server_.error();
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
