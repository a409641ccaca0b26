// Keeps one record stream on what the user hears: the monitor of the
// server's default output. When the default output changes (a headset
// plugged in, a choice in the sound settings), or the output the stream
// reads goes away (the server then moves the stream to the default input, a
// session manager somewhere else), the stream is moved to the new default
// output's monitor, in the same stream, so the recording goes on without a
// new file. With no output left at all, the follower is lost.
//
// Threads: follow() and stop() on the main thread with the loop's lock held;
// everything else on the loop thread. lost() from any thread. The owner
// stops it before the stream or the connection goes.
#pragma once

#include "platform/pulse/PulseConnection.h"

#include <atomic>
#include <optional>
#include <string>

namespace pulse {

// Lock held: the monitor of the default output, by name; none without one.
std::optional<std::string> defaultMonitor(const PulseConnection& connection);

}  // namespace pulse

class PulseOutputFollower final : private pulse::ServerEventWatcher {
public:
    explicit PulseOutputFollower(PulseConnection& connection) : connection_(connection) { }
    ~PulseOutputFollower() = default;
    PulseOutputFollower(const PulseOutputFollower&) = delete;
    PulseOutputFollower& operator=(const PulseOutputFollower&) = delete;

    // Lock held: starts keeping the record stream `sourceOutput` on the default output's monitor.
    bool follow(std::uint32_t sourceOutput);
    // Lock held: no call-back of this follower runs after it returns.
    void stop();
    // No output is left to follow.
    bool lost() const { return lost_.load(std::memory_order_acquire); }

private:
    void onServerEvent(pa_context* context, pa_subscription_event_type_t event, std::uint32_t index) override;
    static void onTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* u);
    // Asks the server, in turn: its default output, that output's monitor,
    // and where the stream reads; moves the stream when that is elsewhere.
    void check();
    void restart();
    void next(pa_operation* op);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* u);
    static void onDefaultSink(pa_context* context, const pa_sink_info* info, int eol, void* u);
    static void onAnySink(pa_context* context, const pa_sink_info* info, int eol, void* u);
    static void onStreamInfo(pa_context* context, const pa_source_output_info* info, int eol, void* u);

    PulseConnection& connection_;  // not owned; outlives the follower
    // Written under the lock by the main thread, then the loop thread's.
    std::uint32_t sourceOutput_ = PA_INVALID_INDEX;
    pulse::Operation query_;  // the step of check() under way
    pa_time_event* timer_ = nullptr;
    bool again_ = false;                        // something happened while a check was under way
    std::uint32_t monitor_ = PA_INVALID_INDEX;  // of the default output, as the last check found
    bool anySink_ = false;
    std::atomic<bool> lost_{false};
};
