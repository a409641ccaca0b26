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
    if (!wanted || !*wanted)
        return;
    if (current && std::strcmp(current, wanted) == 0)
        self->next_.reset();  // back to where it reads: a stream on the way is not wanted
    else
        self->query_.reset(pa_context_get_source_info_by_name(context, wanted, &onSourceInfo, self));
}

// Whether the new default has flat volumes decides how its stream is brought to full level.
void PulseDefaultSourceFollower::onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* u)
{
    auto* self = static_cast<PulseDefaultSourceFollower*>(u);
    if (eol != 0 || !info || !info->name || !self->following_)
        return;
    self->flatVolume_ = (info->flags & PA_SOURCE_FLAT_VOLUME) != 0;
    self->openNext(context, info->name);
}

// Only requests to libpulse, as the loopback's watch makes. A stream still
// connecting to an earlier default gives way.
void PulseDefaultSourceFollower::openNext(pa_context* context, const char* source)
{
    next_.reset(pa_stream_new(context, "TrayTape capture", &sampleSpec_, &map_));
    if (!next_)
        return;
    pa_stream_set_state_callback(next_.get(), &PulseDefaultSourceFollower::onNextState, this);
    // Timed as the capture's own stream, which it takes over.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(next_.get(), source, &attr_, flags) < 0)
        next_.reset();
}

// The server may restore a lower volume or a mute for a new stream of ours:
// the stream is set to full level, as the capture's first one was, before
// it is taken over. The server answers in order, so the mute's answer comes
// after the volume is set.
void PulseDefaultSourceFollower::onNextState(pa_stream* stream, void* u)
{
    auto* self = static_cast<PulseDefaultSourceFollower*>(u);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        pa_context* context = pa_stream_get_context(stream);
        const std::uint32_t index = pa_stream_get_index(stream);
        if (!self->flatVolume_) {
            pa_cvolume full;
            pa_cvolume_set(&full, self->sampleSpec_.channels, PA_VOLUME_NORM);
            if (pa_operation* volume = pa_context_set_source_output_volume(context, index, &full, nullptr, nullptr))
                pa_operation_unref(volume);
        }
        self->query_.reset(pa_context_set_source_output_mute(context, index, 0, &onFullLevel, self));
        if (!self->query_)
            onFullLevel(context, 0, self);
    } else if (!PA_STREAM_IS_GOOD(state)) {
        self->next_.reset();  // the old stream goes on
    }
}

// Success or not, the capture goes on from the new default: at whatever level the server gives.
void PulseDefaultSourceFollower::onFullLevel(pa_context*, int, void* u)
{
    auto* self = static_cast<PulseDefaultSourceFollower*>(u);
    if (self->next_ && pa_stream_get_state(self->next_.get()) == PA_STREAM_READY)
        self->capture_.takeOver(std::move(self->next_));
}
