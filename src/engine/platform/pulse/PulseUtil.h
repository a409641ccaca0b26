// Ownership of libpulse handles: one deleter and one unique_ptr alias per
// handle type, and a scope guard for the threaded main loop's lock.
//
// The guard may be taken on any thread except the main loop's own (its
// call-backs already run under the lock). Context, stream and operation
// handles belong to the loop: destroy them with its lock held, and before the
// loop itself.
#pragma once

#include <pulse/pulseaudio.h>

#include <memory>
#include <string_view>

namespace pulse {

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* m) const
    {
        // Joins the loop's thread before freeing, so no call-back outlives it.
        pa_threaded_mainloop_stop(m);
        pa_threaded_mainloop_free(m);
    }
};

// The plain main loop, iterated by its owner on the owner's thread (short
// synchronous exchanges that have no audio thread behind them).
struct SimpleMainloopDeleter {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};

struct ContextDeleter {
    void operator()(pa_context* c) const
    {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_set_subscribe_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};

struct StreamDeleter {
    void operator()(pa_stream* s) const
    {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_set_read_callback(s, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
            pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};

struct OperationDeleter {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};

using Mainloop = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;
using SimpleMainloop = std::unique_ptr<pa_mainloop, SimpleMainloopDeleter>;
using Context = std::unique_ptr<pa_context, ContextDeleter>;
using Stream = std::unique_ptr<pa_stream, StreamDeleter>;
using Operation = std::unique_ptr<pa_operation, OperationDeleter>;

// Holds the threaded main loop's lock for its scope.
class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* loop) : loop_(loop)
    {
        if (loop_)
            pa_threaded_mainloop_lock(loop_);
    }
    ~MainloopLock()
    {
        if (loop_)
            pa_threaded_mainloop_unlock(loop_);
    }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// A capture stream's buffering: the server's own limits, and data handed
// over about every `periodUsec`.
inline pa_buffer_attr captureAttributes(pa_usec_t periodUsec, const pa_sample_spec& format)
{
    pa_buffer_attr attr;
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = std::uint32_t(-1);
    attr.fragsize = std::uint32_t(pa_usec_to_bytes(periodUsec, &format));
    return attr;
}

// The server's name as it reports it: PipeWire's pulse server names itself
// "PulseAudio (on PipeWire x.y.z)".
inline bool isPipeWireServer(const char* name)
{
    return name && std::string_view(name).find("PipeWire") != std::string_view::npos;
}

}  // namespace pulse
