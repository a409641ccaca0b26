#include "platform/pulse/PulseDefaultSourceFollower.h"

#include <cstring>

// It asks for the default once, since that may have changed between the
// choice of the source and the stream's start.
void PulseDefaultSourceFollower::follow(const pa_sample_spec& format, const pa_channel_map& map, const pa_buffer_attr& attr)
{
    sampleSpec_ = format;
    map_ = map;
    attr_ = attr;
    if (!connection_.watch(this))
        return;
    following_ = true;
    askDefaultSource(connection_.context());
}

void PulseDefaultSourceFollower::stop()
{
    following_ = false;
    next_.reset();
    connection_.unwatch(this);
    if (query_ && pa_operation_get_state(query_.get()) == PA_OPERATION_RUNNING)
        pa_operation_cancel(query_.get());  // its call-back points at this follower
    query_.reset();
}

// A change of the server may be one of its default source.
void PulseDefaultSourceFollower::onServerEvent(pa_context* context, pa_subscription_event_type_t event, std::uint32_t)
{
    if (following_ && (event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER)
        askDefaultSource(context);
}

// Only the answer to the latest question counts, as it was asked after the latest change.
void PulseDefaultSourceFollower::askDefaultSource(pa_context* context)
{
    if (query_ && pa_operation_get_state(query_.get()) == PA_OPERATION_RUNNING)
        pa_operation_cancel(query_.get());
    query_.reset(pa_context_get_server_info(context, &PulseDefaultSourceFollower::onServerInfo, this));
}

// A stream on the default source, unless the capture reads from it already.
void PulseDefaultSourceFollower::onServerInfo(pa_context* context, const pa_server_info* info, void* u)
{
    auto* self = static_cast<PulseDefaultSourceFollower*>(u);
    if (!self->following_)
        return;
    const char* wanted = info ? info->default_source_name : nullptr;
    const char* current = pa_stream_get_device_name(self->capture_.currentStream());
    if (wanted && *wanted && !(current && std::strcmp(current, wanted) == 0))
        self->openNext(context, wanted);
}

// Only requests to libpulse, as the loopback's watch makes. A stream still
// connecting to an earlier default gives way.
void PulseDefaultSourceFollower::openNext(pa_context* context, const char* source)
{
    next_.reset(pa_stream_new(context, "TrayTape capture", &sampleSpec_, &map_));
    if (!next_)
        return;
    pa_stream_set_state_callback(next_.get(), &PulseDefaultSourceFollower::onNextState, this);
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(next_.get(), source, &attr_, flags) < 0)
        next_.reset();
}

void PulseDefaultSourceFollower::onNextState(pa_stream* stream, void* u)
{
    auto* self = static_cast<PulseDefaultSourceFollower*>(u);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY)
        self->capture_.takeOver(std::move(self->next_));
    else if (!PA_STREAM_IS_GOOD(state))
        self->next_.reset();  // the old stream goes on
}
