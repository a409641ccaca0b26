#include "platform/pulse/PulseApplicationFollower.h"

#include <algorithm>

namespace {

double secondsOf(pa_usec_t usec)
{
    return double(usec) / double(PA_USEC_PER_SEC);
}

}  // namespace

bool PulseApplicationFollower::follow(const std::string& named, const pa_sample_spec& format, const pa_channel_map& map,
    const pa_buffer_attr& attr, DriftMixer& mixer, bool byServerTiming)
{
    named_ = named;
    format_ = format;
    map_ = map;
    attr_ = attr;
    mixer_ = &mixer;
    byServerTiming_ = byServerTiming;
    slots_ = std::vector<Slot>(mixer.others());
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].owner = this;
        slots_[i].source = i;
    }
    heard_ = false;
    refusedCount_ = 0;
    if (!connection_.watch(this))
        return false;
    following_ = true;
    scan();
    return true;
}

bool PulseApplicationFollower::settled() const
{
    if (heard_)
        return true;
    if (list_ && pa_operation_get_state(list_.get()) == PA_OPERATION_RUNNING)
        return false;
    for (const Slot& slot : slots_) {
        const bool asking = slot.query && pa_operation_get_state(slot.query.get()) == PA_OPERATION_RUNNING;
        const bool opening = slot.stream && PA_STREAM_IS_GOOD(pa_stream_get_state(slot.stream.get()));
        if (slot.sinkInput != PA_INVALID_INDEX && (asking || opening))
            return false;
    }
    return true;
}

void PulseApplicationFollower::stop()
{
    following_ = false;
    connection_.unwatch(this);
    // Their call-backs point at this follower and its slots.
    if (list_ && pa_operation_get_state(list_.get()) == PA_OPERATION_RUNNING)
        pa_operation_cancel(list_.get());
    list_.reset();
    for (Slot& slot : slots_)
        release(slot);
    again_ = false;
}

// Loop thread, or the main thread under the lock.
void PulseApplicationFollower::release(Slot& slot)
{
    if (slot.query && pa_operation_get_state(slot.query.get()) == PA_OPERATION_RUNNING)
        pa_operation_cancel(slot.query.get());
    slot.query.reset();
    slot.stream.reset();
    slot.sinkInput = PA_INVALID_INDEX;
    slot.sink = PA_INVALID_INDEX;
    slot.delivered = false;
    if (mixer_)
        mixer_->restart(slot.source);  // whatever takes the slot next is placed afresh
}

// A sink input came, went or changed (moved, corked, renamed): the set is
// looked at again. One that changed since it was refused may be taken now:
// it moved back to the sink it was refused on.
void PulseApplicationFollower::onServerEvent(pa_context*, pa_subscription_event_type_t event, std::uint32_t index)
{
    if (!following_ || (event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT)
        return;
    for (Refusal& refusal : refused_)
        if (refusal.sinkInput == index)
            refusal = {};
    scan();
}

// One scan at a time; events during one make one more after it, which sees them all.
void PulseApplicationFollower::scan()
{
    if (list_ && pa_operation_get_state(list_.get()) == PA_OPERATION_RUNNING) {
        again_ = true;
        return;
    }
    ++generation_;
    list_.reset(pa_context_get_sink_input_info_list(connection_.context(), &onSinkInput, this));
}

void PulseApplicationFollower::onSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* u)
{
    auto* self = static_cast<PulseApplicationFollower*>(u);
    if (!self->following_)
        return;
    if (eol != 0) {
        // What the scan did not find has ended; a stream of ours that the
        // server ended after it ran (its sink input moved) is opened anew by
        // the next, one it ended at once is not asked for again.
        bool dead = false;
        for (Slot& slot : self->slots_) {
            if (slot.sinkInput == PA_INVALID_INDEX)
                continue;
            const bool ended = slot.stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(slot.stream.get()));
            if (ended && !slot.delivered)
                self->refused_[self->refusedCount_++ % kRefusedKept] = {slot.sinkInput, slot.sink};
            if (slot.seen != self->generation_ || ended) {
                dead = dead || (ended && slot.delivered);
                self->release(slot);
            }
        }
        self->list_.reset();
        pulse::signalLoop(self->connection_.loop());  // settled() may have changed
        if (self->again_ || dead) {
            self->again_ = false;
            self->scan();
        }
        return;
    }
    if (!info)
        return;
    const pulse::StreamOwner owner = pulse::ownerOf(info->proplist);
    if (!applicationNamed(owner.name, owner.binary, owner.pid, self->named_))
        return;
    Slot* empty = nullptr;
    for (Slot& slot : self->slots_) {
        if (slot.sinkInput == info->index) {
            slot.seen = self->generation_;
            return;
        }
        if (!empty && slot.sinkInput == PA_INVALID_INDEX)
            empty = &slot;
    }
    if (!empty)
        return;  // more streams at once than the mixer takes: the first ones are heard
    for (std::size_t i = 0; i < std::min(self->refusedCount_, kRefusedKept); ++i)
        if (self->refused_[i].sinkInput == info->index && self->refused_[i].sink == info->sink)
            return;
    empty->sinkInput = info->index;
    empty->seen = self->generation_;
    empty->query.reset(pa_context_get_sink_info_by_index(context, info->sink, &onSink, empty));
    if (!empty->query)
        self->release(*empty);
}

// The sink input's own stream, read on the monitor of the sink it plays to.
void PulseApplicationFollower::onSink(pa_context* context, const pa_sink_info* info, int eol, void* u)
{
    auto* slot = static_cast<Slot*>(u);
    PulseApplicationFollower* self = slot->owner;
    pulse::signalLoop(self->connection_.loop());  // settled() may change with this answer
    if (eol != 0 || !info || !self->following_ || slot->sinkInput == PA_INVALID_INDEX || slot->stream)
        return;
    slot->stream.reset(pa_stream_new(context, "TrayTape application", &self->format_, &self->map_));
    pa_stream* stream = slot->stream.get();
    if (!stream || pa_stream_set_monitor_stream(stream, slot->sinkInput) < 0) {
        slot->stream.reset();
        return;
    }
    slot->sink = info->index;
    pa_stream_set_state_callback(stream, &onState, slot);
    pa_stream_set_read_callback(stream, &onRead, slot);
    // Never moved by the server: elsewhere it would carry another sound.
    const auto flags = pa_stream_flags_t(
        PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(stream, info->monitor_source_name, &self->attr_, flags) < 0)
        slot->stream.reset();
}

// The server may restore a lower level for a stream of ours: it is heard at
// full level. One that ends went with its sink input (or was refused), which
// the next scan sees.
void PulseApplicationFollower::onState(pa_stream* stream, void* u)
{
    auto* slot = static_cast<Slot*>(u);
    PulseApplicationFollower* self = slot->owner;
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        pa_context* context = pa_stream_get_context(stream);
        const std::uint32_t index = pa_stream_get_index(stream);
        pa_cvolume full;
        pa_cvolume_set(&full, self->format_.channels, PA_VOLUME_NORM);
        if (pa_operation* volume = pa_context_set_source_output_volume(context, index, &full, nullptr, nullptr))
            pa_operation_unref(volume);
        if (pa_operation* mute = pa_context_set_source_output_mute(context, index, 0, nullptr, nullptr))
            pa_operation_unref(mute);
        return;
    }
    pulse::signalLoop(self->connection_.loop());  // settled() may have changed
    if (!PA_STREAM_IS_GOOD(state) && self->following_)
        self->scan();
}

// Peek, push, drop: as the computer's sound is read.
void PulseApplicationFollower::onRead(pa_stream* stream, std::size_t, void* u)
{
    auto* slot = static_cast<Slot*>(u);
    PulseApplicationFollower* self = slot->owner;
    slot->delivered = true;
    if (!self->heard_) {
        self->heard_ = true;
        pulse::signalLoop(self->connection_.loop());
    }
    pulse::pushRecorded(
        stream, *self->mixer_, slot->source, pa_frame_size(&self->format_), self->format_.rate, self->byServerTiming_);
}

namespace pulse {

void pushRecorded(
    pa_stream* stream, DriftMixer& mixer, std::size_t which, std::size_t frameBytes, double rate, bool byServerTiming)
{
    const double now = secondsOf(pa_rtclock_now());
    double taken = DriftMixer::kUnknown;
    pa_usec_t age = 0;
    int negative = 0;
    if (byServerTiming && pa_stream_get_latency(stream, &age, &negative) == 0 && !negative)
        taken = now - secondsOf(age);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            return;
        const std::size_t frames = bytes / frameBytes;
        if (data != nullptr)
            mixer.push(which, static_cast<const float*>(data), frames, now, taken);
        if (taken >= 0)
            taken += double(frames) / rate;
        pa_stream_drop(stream);
    }
}

}  // namespace pulse
