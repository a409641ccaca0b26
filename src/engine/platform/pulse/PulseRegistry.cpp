#include "platform/pulse/PulseRegistry.h"

#include "platform/pulse/PulseUtil.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Main-thread calls: a server slower than this is taken for a hung one.
constexpr auto kExchangeTimeout = 2s;
// PipeWire answers a module load before the new source is listed.
constexpr auto kSourceSettleTimeout = 2s;
constexpr auto kSourcePollInterval = 20ms;
// WirePlumber makes a new source the default input some 30 ms after it is
// listed, when no default is configured; PulseAudio does it before it answers.
constexpr auto kDefaultSettleTimeout = 500ms;

constexpr const char* kCaptureDriverPathKey = "kCaptureDriverPathKey";
constexpr const char* kRemapModule = "module-remap-source";

struct SinkInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string monitor;
};

struct ModuleInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string argument;
};

// key=value words; a value may be quoted with ' or " and escape a character
// with a backslash, as both servers' module argument parsers read them.
std::optional<std::string> argumentValue(std::string_view arguments, std::string_view wanted)
{
    std::size_t i = 0;
    const auto space = [&] { return std::isspace(static_cast<unsigned char>(arguments[i])) != 0; };
    while (i < arguments.size()) {
        while (i < arguments.size() && space())
            ++i;
        const std::size_t keyStart = i;
        while (i < arguments.size() && arguments[i] != '=' && !space())
            ++i;
        const std::string_view key = arguments.substr(keyStart, i - keyStart);
        if (i >= arguments.size() || arguments[i] != '=')
            continue;
        ++i;
        char quote = 0;
        if (i < arguments.size() && (arguments[i] == '\'' || arguments[i] == '"'))
            quote = arguments[i++];
        std::string value;
        while (i < arguments.size() && (quote ? arguments[i] != quote : !space())) {
            if (arguments[i] == '\\' && i + 1 < arguments.size())
                ++i;
            value += arguments[i++];
        }
        if (quote && i < arguments.size())
            ++i;
        if (key == wanted)
            return value;
    }
    return std::nullopt;
}

// Server names are plain words; anything else is quoted so it stays one value.
std::string argumentWord(const std::string& value)
{
    const bool plain = !value.empty() && std::none_of(value.begin(), value.end(), [](char c) {
        return std::isspace(static_cast<unsigned char>(c)) || c == '\'' || c == '"' || c == '\\';
    });
    if (plain)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string loopbackArguments(const std::string& monitor)
{
    // Only arguments PulseAudio and PipeWire both read; the description is a
    // property list inside a value, hence the two quotings.
    std::string arguments = "source_name=";
    arguments.append(PulseRegistry::kLoopbackSourceName).append(" master=").append(argumentWord(monitor));
    arguments.append(" source_properties='device.description=\"").append(PulseRegistry::kLoopbackDescription);
    return arguments.append("\"'");
}

bool isLoopbackModule(const ModuleInfo& m)
{
    return m.name == kRemapModule && argumentValue(m.argument, "source_name") == PulseRegistry::kLoopbackSourceName;
}

// One short connection to the server, driven synchronously by its owner.
// Main thread; shared by a snapshot's driver entry.
class Session {
public:
    // Null when no server answers in time.
    static std::shared_ptr<Session> open()
    {
        auto s = std::shared_ptr<Session>(new Session);
        s->loop_.reset(pa_mainloop_new());
        if (!s->loop_)
            return nullptr;
        s->context_.reset(pa_context_new(pa_mainloop_get_api(s->loop_.get()), "TrayTape"));
        if (!s->context_ || pa_context_connect(s->context(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return nullptr;
        const auto ready = [&] { return pa_context_get_state(s->context()) == PA_CONTEXT_READY; };
        if (!s->runUntil(ready, Clock::now() + kExchangeTimeout) || !ready())
            return nullptr;
        const auto onServer = [](pa_context*, const pa_server_info* i, void* u) {
            if (i && i->server_name)
                *static_cast<std::string*>(u) = i->server_name;
        };
        if (!s->await(pa_context_get_server_info(s->context(), onServer, &s->serverName_)))
            return nullptr;
        return s;
    }

    // Both PulseAudio and PipeWire's pulse server ship module-remap-source.
    bool knowsRemapSource() const { return serverName_ == "pulseaudio" || isPipeWire(); }

    bool isPipeWire() const { return pulse::isPipeWireServer(serverName_.c_str()); }

    std::optional<std::vector<SinkInfo>> sinks()
    {
        Sinks found;
        if (!await(pa_context_get_sink_info_list(context(), &Sinks::collect, &found)) || found.failed)
            return std::nullopt;
        return found.list;
    }

    std::optional<SinkInfo> sink(const std::string& name)
    {
        Sinks found;
        if (!await(pa_context_get_sink_info_by_name(context(), name.c_str(), &Sinks::collect, &found)) || found.failed
            || found.list.size() != 1)
            return std::nullopt;
        return found.list.front();
    }

    // Points the loopback at `monitor`, keeping one that already does.
    bool captureMonitor(const std::string& monitor)
    {
        const auto modules = loopbackModules();
        if (!modules)
            return false;
        std::optional<std::uint32_t> kept;
        bool removed = false;
        for (const auto& m : *modules) {
            if (!kept && argumentValue(m.argument, "master") == monitor) {
                kept = m.index;
                continue;
            }
            unloadModule(m.index);
            removed = true;
        }
        if (kept)
            return true;
        // The name is free only once the old source is gone.
        if (removed && !waitForSource(false))
            return false;
        const auto before = defaultSource();
        if (!loadModule(kRemapModule, loopbackArguments(monitor)) || !waitForSource(true))
            return false;
        if (before)
            keepDefaultSource(*before);
        return true;
    }

    bool removeLoopback()
    {
        const auto modules = loopbackModules();
        if (!modules)
            return false;
        for (const auto& m : *modules)
            unloadModule(m.index);
        return waitForSource(false);
    }

private:
    Session() = default;

    pa_context* context() const { return context_.get(); }

    // Iterates the loop until done(); false when the context failed or the
    // deadline passed first.
    template <class Done> bool runUntil(Done done, Clock::time_point deadline)
    {
        while (!done()) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context())))
                return false;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            if (pa_mainloop_prepare(loop_.get(), int(left.count())) < 0 || pa_mainloop_poll(loop_.get()) < 0
                || pa_mainloop_dispatch(loop_.get()) < 0)
                return false;
        }
        return true;
    }

    // Runs one operation to its end. An unfinished one is cancelled, as its
    // call-back's data lives in the caller's frame.
    bool await(pa_operation* raw)
    {
        pulse::Operation op(raw);
        if (!op)
            return false;
        runUntil(
            [&] { return pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING; }, Clock::now() + kExchangeTimeout);
        if (pa_operation_get_state(op.get()) == PA_OPERATION_RUNNING)
            pa_operation_cancel(op.get());
        return pa_operation_get_state(op.get()) == PA_OPERATION_DONE;
    }

    std::optional<std::vector<ModuleInfo>> loopbackModules()
    {
        struct Found {
            std::vector<ModuleInfo> list;
            bool failed = false;
        } found;
        const auto collect = [](pa_context*, const pa_module_info* i, int eol, void* u) {
            auto* f = static_cast<Found*>(u);
            if (eol < 0)
                f->failed = true;
            else if (eol == 0 && i)
                f->list.push_back({i->index, i->name ? i->name : "", i->argument ? i->argument : ""});
        };
        if (!await(pa_context_get_module_info_list(context(), collect, &found)) || found.failed)
            return std::nullopt;
        std::erase_if(found.list, [](const ModuleInfo& m) { return !isLoopbackModule(m); });
        return found.list;
    }

    std::optional<std::uint32_t> loadModule(const char* name, const std::string& arguments)
    {
        std::uint32_t index = PA_INVALID_INDEX;
        const auto onLoaded = [](pa_context*, std::uint32_t i, void* u) { *static_cast<std::uint32_t*>(u) = i; };
        if (!await(pa_context_load_module(context(), name, arguments.c_str(), onLoaded, &index))
            || index == PA_INVALID_INDEX)
            return std::nullopt;
        return index;
    }

    bool unloadModule(std::uint32_t index)
    {
        int ok = 0;
        const auto onDone = [](pa_context*, int success, void* u) { *static_cast<int*>(u) = success; };
        return await(pa_context_unload_module(context(), index, onDone, &ok)) && ok;
    }

    std::optional<bool> sourceListed()
    {
        struct Found {
            bool listed = false;
            bool answered = false;
        } found;
        // A missing source answers with an error, which is an answer too.
        const auto collect = [](pa_context*, const pa_source_info* i, int eol, void* u) {
            auto* f = static_cast<Found*>(u);
            f->answered = true;
            if (eol == 0 && i)
                f->listed = true;
        };
        if (!await(pa_context_get_source_info_by_name(context(), PulseRegistry::kLoopbackSourceName, collect, &found))
            || !found.answered)
            return std::nullopt;
        return found.listed;
    }

    std::optional<std::string> defaultSource()
    {
        std::string name;
        const auto onServer = [](pa_context*, const pa_server_info* i, void* u) {
            if (i && i->default_source_name)
                *static_cast<std::string*>(u) = i->default_source_name;
        };
        if (!await(pa_context_get_server_info(context(), onServer, &name)))
            return std::nullopt;
        return name;
    }

    // A server without a configured default input takes the newest or best
    // source for it: the loopback would then feed every other program the
    // computer's output in place of the microphone. Puts back the one it
    // had before if the loopback took its place; touches nothing otherwise.
    // PipeWire acknowledges the one put back before its session manager has
    // made it the default in fact: until then every program (and the input
    // list read as soon as this returns) still has the loopback for the
    // default input, so that is waited out too.
    void keepDefaultSource(const std::string& before)
    {
        if (before.empty() || before == PulseRegistry::kLoopbackSourceName)
            return;
        auto deadline = Clock::now() + (isPipeWire() ? kDefaultSettleTimeout : Clock::duration::zero());
        for (bool putBack = false;;) {
            const auto now = defaultSource();
            if (!now)
                return;
            const bool taken = *now == PulseRegistry::kLoopbackSourceName;
            if (taken && !putBack) {
                int ok = 0;
                const auto onDone = [](pa_context*, int success, void* u) { *static_cast<int*>(u) = success; };
                if (!await(pa_context_set_default_source(context(), before.c_str(), onDone, &ok)) || !ok)
                    return;
                putBack = true;
                deadline = Clock::now() + (isPipeWire() ? kDefaultSettleTimeout : Clock::duration::zero());
                continue;
            }
            if ((putBack && !taken) || Clock::now() >= deadline)
                return;
            runUntil([] { return false; }, Clock::now() + kSourcePollInterval);
        }
    }

    bool waitForSource(bool listed)
    {
        const auto deadline = Clock::now() + kSourceSettleTimeout;
        for (;;) {
            const auto now = sourceListed();
            if (!now)
                return false;
            if (*now == listed)
                return true;
            if (Clock::now() >= deadline)
                return false;
            // Keeps serving the connection while it waits.
            runUntil([] { return false; }, Clock::now() + kSourcePollInterval);
        }
    }

    struct Sinks {
        std::vector<SinkInfo> list;
        bool failed = false;
        static void collect(pa_context*, const pa_sink_info* i, int eol, void* u)
        {
            auto* s = static_cast<Sinks*>(u);
            if (eol < 0)
                s->failed = true;
            else if (eol == 0 && i)
                s->list.push_back(
                    {i->index, i->name ? i->name : "", i->monitor_source_name ? i->monitor_source_name : ""});
        }
    };

    pulse::SimpleMainloop loop_;  // declared first: outlives the context
    pulse::Context context_;
    std::string serverName_;
};

// The loopback driver's entry: acts on the server through its snapshot's connection.
class LoopbackDriver final : public IORegistryEntry {
public:
    explicit LoopbackDriver(std::shared_ptr<Session> session)
        : IORegistryEntry({"com_Vortanx_driver_LoopbackEngine", "IOService", "IORegistryEntry"},
            "IOService:/PulseAudio/com_Vortanx_driver_LoopbackEngine"),
          session_(std::move(session))
    { }

    IOReturn matchPropertyTable(const CFDictionary& table, bool* matches) const override
    {
        std::optional<std::string> monitor;
        const auto found = table.find(kCaptureDriverPathKey);
        const std::string_view prefix = PulseRegistry::kEnginePathPrefix;
        if (found != table.end() && found->second.size() > prefix.size() && found->second.starts_with(prefix)) {
            const auto sink = session_->sink(found->second.substr(prefix.size()));
            if (sink && !sink->monitor.empty())
                monitor = sink->monitor;
        }
        const bool done = monitor ? session_->captureMonitor(*monitor) : session_->removeLoopback();
        if (matches)
            *matches = monitor.has_value() && done;
        return done ? kIOReturnSuccess : kIOReturnNotResponding;
    }

private:
    std::shared_ptr<Session> session_;
};

}  // namespace

io_registry_entry_t PulseRegistry::rootEntry()
{
    auto root = std::make_shared<IORegistryEntry>(std::vector<std::string>{"IORegistryEntry"}, "IOService:/");
    auto session = Session::open();
    if (!session)
        return root;
    auto sinks = session->sinks();
    if (!sinks)
        return root;
    auto server = std::make_shared<IORegistryEntry>(
        std::vector<std::string>{"IOService", "IORegistryEntry"}, "IOService:/PulseAudio");
    // The default output is found by the engines whose path contains its
    // name, the last of them winning. A name that holds another sink's name
    // ("x.2" holds "x") is longer, so longer names come first and every
    // sink's own engine is the last of those its name finds.
    std::stable_sort(sinks->begin(), sinks->end(), [](const SinkInfo& a, const SinkInfo& b) {
        return a.name.size() != b.name.size() ? a.name.size() > b.name.size() : a.index < b.index;
    });
    for (const auto& sink : *sinks)
        server->adopt(std::make_shared<IORegistryEntry>(
            std::vector<std::string>{"IOAudioEngine", "IOService", "IORegistryEntry"}, kEnginePathPrefix + sink.name));
    if (session->knowsRemapSource())
        server->adopt(std::make_shared<LoopbackDriver>(std::move(session)));
    root->adopt(std::move(server));
    return root;
}
