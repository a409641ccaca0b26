#include "platform/pulse/PulseConnection.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <unistd.h>

using pulse::DeviceInfo;
using pulse::kQueryTimeout;
using pulse::signalLoop;

using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kLargestIndex = (UINT32_MAX - 3) / 2;

AudioObjectID sourceId(std::uint32_t index)
{
    return 2 * index + 2;
}
AudioObjectID sinkId(std::uint32_t index)
{
    return 2 * index + 3;
}

// Which device an id names; none for 0, 1 and ids no index maps to.
std::optional<std::pair<bool, std::uint32_t>> decodeId(AudioObjectID id)
{
    if (id < 2)
        return std::nullopt;
    return std::pair{(id - 2) % 2 == 0, (id - 2) / 2};
}

template <class Info> DeviceInfo toDevice(const Info& i, bool source)
{
    DeviceInfo d;
    d.source = source;
    d.index = i.index;
    d.name = i.name ? i.name : "";
    d.description = i.description && *i.description ? i.description : d.name;
    d.sampleSpec = i.sample_spec;
    d.map = i.channel_map;
    d.volume = i.volume;
    d.muted = i.mute != 0;
    d.ownerModule = i.owner_module;
    if constexpr (std::is_same_v<Info, pa_source_info>) {
        d.monitorOfSink = i.monitor_of_sink;
        d.flatVolume = (i.flags & PA_SOURCE_FLAT_VOLUME) != 0;
    }
    return d;
}

// Info call-backs run on the loop thread while a main-thread query waits
// for them; the copies they make are the query's, not the capture path's.
struct Collect {
    std::vector<DeviceInfo>* out;
    bool failed = false;
    static void source(pa_context*, const pa_source_info* i, int eol, void* u)
    {
        auto* c = static_cast<Collect*>(u);
        if (eol < 0) {
            c->failed = true;
        } else if (eol == 0 && i) {
            c->out->push_back(toDevice(*i, true));
        }
    }
    static void sink(pa_context*, const pa_sink_info* i, int eol, void* u)
    {
        auto* c = static_cast<Collect*>(u);
        if (eol < 0)
            c->failed = true;
        else if (eol == 0 && i)
            c->out->push_back(toDevice(*i, false));
    }
};

}  // namespace

AudioObjectID pulse::deviceId(const DeviceInfo& d)
{
    return d.source ? sourceId(d.index) : sinkId(d.index);
}

std::shared_ptr<PulseConnection> PulseConnection::open()
{
    auto c = std::shared_ptr<PulseConnection>(new PulseConnection);
    c->loop_.reset(pa_threaded_mainloop_new());
    if (!c->loop_)
        return nullptr;
    pa_threaded_mainloop_set_name(c->loop(), "traytape-audio");
    // A failed connection is destroyed only after the lock is released:
    // its destructor locks and joins the loop's thread.
    return c->connect() ? c : nullptr;
}

PulseConnection::~PulseConnection()
{
    if (context_) {
        pulse::MainloopLock lock(loop());
        context_.reset();
    }
    loop_.reset();  // joins the loop's thread, outside the lock
}

bool PulseConnection::alive() const
{
    pulse::MainloopLock lock(loop());
    return pa_context_get_state(context()) == PA_CONTEXT_READY;
}

bool PulseConnection::await(pa_operation* raw) const
{
    pulse::Operation op(raw);
    if (!op)
        return false;
    pa_operation_set_state_callback(
        op.get(), [](pa_operation*, void* loop) { signalLoop(static_cast<pa_threaded_mainloop*>(loop)); }, loop());
    waitFor(
        [&] {
            return pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING
                || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context()));
        },
        kQueryTimeout);
    const bool done = pa_operation_get_state(op.get()) == PA_OPERATION_DONE;
    if (pa_operation_get_state(op.get()) == PA_OPERATION_RUNNING)
        pa_operation_cancel(op.get());  // its call-backs' data lives on this stack frame
    pa_operation_set_state_callback(op.get(), nullptr, nullptr);
    return done;
}

bool PulseConnection::devices(std::vector<DeviceInfo>& out) const
{
    pulse::MainloopLock lock(loop());
    Collect sources{&out}, sinks{&out};
    out.clear();
    if (!await(pa_context_get_source_info_list(context(), &Collect::source, &sources)) || sources.failed)
        return false;
    const auto firstSink = out.size();
    if (!await(pa_context_get_sink_info_list(context(), &Collect::sink, &sinks)) || sinks.failed)
        return false;
    const auto byIndex = [](const DeviceInfo& a, const DeviceInfo& b) { return a.index < b.index; };
    std::sort(out.begin(), out.begin() + std::ptrdiff_t(firstSink), byIndex);
    std::sort(out.begin() + std::ptrdiff_t(firstSink), out.end(), byIndex);
    std::erase_if(out, [](const DeviceInfo& d) { return d.index > kLargestIndex; });
    return true;
}

std::optional<DeviceInfo> PulseConnection::device(AudioObjectID id) const
{
    pulse::MainloopLock lock(loop());
    return deviceLocked(id);
}

std::optional<DeviceInfo> PulseConnection::deviceLocked(AudioObjectID id) const
{
    const auto which = decodeId(id);
    if (!which)
        return std::nullopt;
    std::vector<DeviceInfo> found;
    Collect one{&found};
    pa_operation* op = which->first
        ? pa_context_get_source_info_by_index(context(), which->second, &Collect::source, &one)
        : pa_context_get_sink_info_by_index(context(), which->second, &Collect::sink, &one);
    if (!await(op) || one.failed || found.size() != 1)
        return std::nullopt;
    return found.front();
}

std::optional<AudioObjectID> PulseConnection::defaultDevice(bool output) const
{
    pulse::MainloopLock lock(loop());
    std::string name;
    const auto onServer = [](pa_context*, const pa_server_info* i, void* u) {
        auto* p = static_cast<std::pair<std::string*, bool>*>(u);
        const char* n = i ? (p->second ? i->default_sink_name : i->default_source_name) : nullptr;
        *p->first = n ? n : "";
    };
    std::pair<std::string*, bool> request{&name, output};
    if (!await(pa_context_get_server_info(context(), onServer, &request)) || name.empty())
        return std::nullopt;
    std::vector<DeviceInfo> found;
    Collect one{&found};
    pa_operation* op = output ? pa_context_get_sink_info_by_name(context(), name.c_str(), &Collect::sink, &one)
                              : pa_context_get_source_info_by_name(context(), name.c_str(), &Collect::source, &one);
    if (!await(op) || one.failed || found.size() != 1 || found.front().index > kLargestIndex)
        return std::nullopt;
    return deviceId(found.front());
}

pulse::StreamOwner pulse::ownerOf(const pa_proplist* properties)
{
    const auto text = [properties](const char* key) {
        const char* value = properties ? pa_proplist_gets(properties, key) : nullptr;
        return std::string_view(value ? value : "");
    };
    StreamOwner owner{text(PA_PROP_APPLICATION_NAME), text(PA_PROP_APPLICATION_PROCESS_BINARY)};
    for (const char c : text(PA_PROP_APPLICATION_PROCESS_ID)) {
        if (c < '0' || c > '9' || owner.pid > 99999999) {
            owner.pid = 0;
            break;
        }
        owner.pid = owner.pid * 10 + std::uint32_t(c - '0');
    }
    return owner;
}

bool PulseConnection::applications(std::vector<AudioProcessInfo>& out) const
{
    pulse::MainloopLock lock(loop());
    out.clear();
    const auto onInput = [](pa_context*, const pa_sink_input_info* info, int eol, void* u) {
        auto* list = static_cast<std::vector<AudioProcessInfo>*>(u);
        if (eol != 0 || !info)
            return;
        const pulse::StreamOwner owner = pulse::ownerOf(info->proplist);
        if (owner.name.empty() && owner.binary.empty())
            return;  // no application's: a loopback or a filter of the server's own
        if (owner.pid == std::uint32_t(::getpid()))
            return;  // our own preview: no source to record
        const auto same = std::find_if(list->begin(), list->end(), [&](const AudioProcessInfo& a) {
            return a.name == owner.name && a.binary == owner.binary && a.pid == owner.pid;
        });
        if (same != list->end())
            ++same->streams;
        else
            list->push_back({std::string(owner.name), std::string(owner.binary), owner.pid, 1});
    };
    return await(pa_context_get_sink_input_info_list(context(), onInput, &out));
}

bool PulseConnection::watch(pulse::ServerEventWatcher* watcher)
{
    if (!subscribed_) {
        pa_context_set_subscribe_callback(context(), &PulseConnection::onServerEvent, this);
        const auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE
            | PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SERVER);
        if (!await(pa_context_subscribe(context(), mask, nullptr, nullptr)))
            return false;
        subscribed_ = true;
    }
    watchers_.push_back(watcher);
    return true;
}

bool PulseConnection::connect()
{
    pulse::MainloopLock lock(loop());
    context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop()), "TrayTape"));
    if (!context_)
        return false;
    pa_context_set_state_callback(
        context(), [](pa_context*, void* l) { signalLoop(static_cast<pa_threaded_mainloop*>(l)); }, loop());
    if (pa_context_connect(context(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    if (pa_threaded_mainloop_start(loop()) < 0)
        return false;
    waitFor(
        [&] {
            return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context()))
                || pa_context_get_state(context()) == PA_CONTEXT_READY;
        },
        kQueryTimeout);
    if (pa_context_get_state(context()) != PA_CONTEXT_READY)
        return false;
    const auto onServer = [](pa_context*, const pa_server_info* i, void* u) {
        *static_cast<bool*>(u) = i && pulse::isPipeWireServer(i->server_name);
    };
    await(pa_context_get_server_info(context(), onServer, &pipeWire_));  // unanswered: taken as PulseAudio
    return true;
}

// Loop thread. The watchers list changes only under the lock, which the
// loop thread holds while it runs this.
void PulseConnection::onServerEvent(pa_context* context, pa_subscription_event_type_t event, std::uint32_t index, void* u)
{
    for (pulse::ServerEventWatcher* watcher : static_cast<PulseConnection*>(u)->watchers_)
        watcher->onServerEvent(context, event, index);
}
std::shared_ptr<PulseConnection> PulseConnector::connection()
{
    std::lock_guard lock(mutex_);
    if (connection_ && connection_->alive())
        return connection_;
    connection_.reset();
    const auto now = std::chrono::steady_clock::now();
    if (now < nextAttempt_)
        return nullptr;
    connection_ = PulseConnection::open();
    if (!connection_)
        nextAttempt_ = now + 500ms;
    return connection_;
}
