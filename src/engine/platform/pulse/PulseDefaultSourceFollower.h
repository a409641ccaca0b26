// Keeps a capture on whatever source is the server's default input. When the
// default changes, a stream of the same format is opened on the new one, and
// once that one runs the capture takes it over: it hands out what is left of
// its old stream and ends it, so its call-backs go on without a break. A
// server-side move would be less work, but a session manager may leave a
// moved capture where it was (PipeWire keeps a capture of a sink's monitor on
// the monitor it was opened on).
//
// Threads: follow() and stop() on the main thread with the loop's lock held;
// everything else on the loop thread, where only requests to libpulse are
// made. The owner stops it before its streams or the connection go.
#pragma once

#include "platform/pulse/PulseConnection.h"

namespace pulse {

// The capture that follows the default input.
class DefaultSourceCapture {
public:
    // Loop thread: the stream the capture reads from now.
    virtual const pa_stream* currentStream() const = 0;
    // Loop thread: `next` runs on the new default; the capture reads from it
    // from now on, and ends its old stream once that one is drained.
    virtual void takeOver(Stream next) = 0;

protected:
    ~DefaultSourceCapture() = default;
};

}  // namespace pulse

class PulseDefaultSourceFollower final : private pulse::ServerEventWatcher {
public:
    PulseDefaultSourceFollower(PulseConnection& connection, pulse::DefaultSourceCapture& capture)
        : connection_(connection), capture_(capture)
    { }
    ~PulseDefaultSourceFollower() = default;
    PulseDefaultSourceFollower(const PulseDefaultSourceFollower&) = delete;
    PulseDefaultSourceFollower& operator=(const PulseDefaultSourceFollower&) = delete;

    // Lock held, with the capture's stream ready: every stream on a new
    // default is made with this format, map and buffer.
    void follow(const pa_sample_spec& format, const pa_channel_map& map, const pa_buffer_attr& attr);
    // Lock held: no call-back of this follower runs after it returns.
    void stop();

private:
    void onServerEvent(pa_context* context, pa_subscription_event_type_t event, std::uint32_t index) override;
    void askDefaultSource(pa_context* context);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* u);
    static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* u);
    void openNext(pa_context* context, const char* source);
    static void onNextState(pa_stream* stream, void* u);
    static void onFullLevel(pa_context* context, int success, void* u);

    PulseConnection& connection_;           // not owned; outlives the follower
    pulse::DefaultSourceCapture& capture_;  // owns the follower
    // Written under the lock by the main thread, then the loop thread's.
    bool following_ = false;
    pulse::Operation query_;       // the step under way; cancelled under the lock by stop()
    bool flatVolume_ = false;      // of the new default: its streams' volume is its own
    pulse::Stream next_;           // a stream on the new default until it runs; ended by stop()
    pa_sample_spec sampleSpec_{};  // of every stream of a capture, written before the first
    pa_channel_map map_{};
    pa_buffer_attr attr_{};
};
