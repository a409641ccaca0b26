#include "platform/pulse/PulseOutputFollower.h"

namespace {

// PipeWire's pulse server tells of no stream moved by its session manager,
// so the follower also asks this often: a move reaches the file within it.
constexpr pa_usec_t kCheckInterval = 40 * PA_USEC_PER_MSEC;

}  // namespace

std::optional<std::string> pulse::defaultMonitor(const PulseConnection& connection)
{
    struct Found {
        std::optional<std::string> monitor;
    } found;
    const auto onSink = [](pa_context*, const pa_sink_info* i, int eol, void* u) {
        if (eol == 0 && i && i->monitor_source_name)
            static_cast<Found*>(u)->monitor = i->monitor_source_name;
    };
    // "@DEFAULT_SINK@" is the default output on both servers.
    if (!connection.await(pa_context_get_sink_info_by_name(connection.context(), "@DEFAULT_SINK@", onSink, &found)))
        return std::nullopt;
    return found.monitor;
}

bool PulseOutputFollower::follow(std::uint32_t sourceOutput)
{
    stop();
    lost_.store(false, std::memory_order_release);
    if (sourceOutput == PA_INVALID_INDEX || !connection_.watch(this))
        return false;
    sourceOutput_ = sourceOutput;
    timer_ = pa_context_rttime_new(connection_.context(), pa_rtclock_now() + kCheckInterval, &onTimer, this);
    return true;
}

void PulseOutputFollower::stop()
{
    connection_.unwatch(this);
    if (timer_) {
        pa_threaded_mainloop_get_api(connection_.loop())->time_free(timer_);
        timer_ = nullptr;
    }
    if (query_ && pa_operation_get_state(query_.get()) == PA_OPERATION_RUNNING)
        pa_operation_cancel(query_.get());  // its call-back points at this follower
    query_.reset();
    sourceOutput_ = PA_INVALID_INDEX;
    again_ = false;
    monitor_ = PA_INVALID_INDEX;
}

// Loop thread: only index comparisons, and at most one query handed to libpulse.
void PulseOutputFollower::onServerEvent(pa_context*, pa_subscription_event_type_t event, std::uint32_t index)
{
    if (sourceOutput_ == PA_INVALID_INDEX || lost())
        return;
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    const bool stream = facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT && index == sourceOutput_;
    const bool sinkComesOrGoes = facility == PA_SUBSCRIPTION_EVENT_SINK && type != PA_SUBSCRIPTION_EVENT_CHANGE;
    // A server change is a new default device.
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER || sinkComesOrGoes || (stream && type == PA_SUBSCRIPTION_EVENT_CHANGE))
        check();
}

void PulseOutputFollower::onTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* u)
{
    auto* self = static_cast<PulseOutputFollower*>(u);
    if (self->lost())
        return;
    self->check();
    pa_context_rttime_restart(self->connection_.context(), event, pa_rtclock_now() + kCheckInterval);
}

void PulseOutputFollower::check()
{
    if (query_ && pa_operation_get_state(query_.get()) == PA_OPERATION_RUNNING) {
        again_ = true;  // the answer under way may be older than what just happened
        return;
    }
    restart();
}

// Also from the last call-back of a check, while its operation still counts as running.
void PulseOutputFollower::restart()
{
    again_ = false;
    next(pa_context_get_server_info(connection_.context(), &onServerInfo, this));
}

// Loop thread, from inside the call-back of the step before: libpulse holds
// its own reference to that operation while its call-back runs.
void PulseOutputFollower::next(pa_operation* op)
{
    query_.reset(op);
}

void PulseOutputFollower::onServerInfo(pa_context* context, const pa_server_info* info, void* u)
{
    auto* self = static_cast<PulseOutputFollower*>(u);
    self->monitor_ = PA_INVALID_INDEX;
    if (info && info->default_sink_name && *info->default_sink_name) {
        self->next(pa_context_get_sink_info_by_name(context, info->default_sink_name, &onDefaultSink, self));
        return;
    }
    // No default output: a server between two, or none left at all.
    self->anySink_ = false;
    self->next(pa_context_get_sink_info_list(context, &onAnySink, self));
}

void PulseOutputFollower::onDefaultSink(pa_context* context, const pa_sink_info* info, int eol, void* u)
{
    auto* self = static_cast<PulseOutputFollower*>(u);
    if (eol == 0 && info) {
        self->monitor_ = info->monitor_source;
        return;
    }
    if (self->monitor_ == PA_INVALID_INDEX) {
        // The default names an output that has just gone; the next event or tick sees the new one.
        if (self->again_)
            self->restart();
        return;
    }
    self->next(pa_context_get_source_output_info(context, self->sourceOutput_, &onStreamInfo, self));
}

void PulseOutputFollower::onAnySink(pa_context*, const pa_sink_info* info, int eol, void* u)
{
    auto* self = static_cast<PulseOutputFollower*>(u);
    if (eol == 0 && info) {
        self->anySink_ = true;
        return;
    }
    if (eol > 0 && !self->anySink_) {
        self->lost_.store(true, std::memory_order_release);
        pulse::signalLoop(self->connection_.loop());
    } else if (self->again_) {
        self->restart();
    }
}

void PulseOutputFollower::onStreamInfo(pa_context* context, const pa_source_output_info* info, int eol, void* u)
{
    auto* self = static_cast<PulseOutputFollower*>(u);
    if (eol == 0 && info && info->source != self->monitor_) {
        if (pa_operation* move
            = pa_context_move_source_output_by_index(context, self->sourceOutput_, self->monitor_, nullptr, nullptr))
            pa_operation_unref(move);
        return;
    }
    if (eol != 0 && self->again_)
        self->restart();
}
