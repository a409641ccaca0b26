// The connection to the sound server (PulseAudio, or PipeWire's pulse
// server) that capture and playback share: one threaded main loop, whose
// thread is the audio thread, and its context.
//
// PulseConnection is one live connection and the queries the hardware layer
// asks of it. PulseConnector hands out the live one, making it on first use
// and again after the server went away. The installer (PulsePlatform.h)
// makes one connector and gives it to the audio backend and to the player
// factory, so that capture and playback run on the same loop.
//
// Device ids: every source and every sink is a device in one id space,
// sources first, each in the server's index order: source index i is id
// 2i+2, sink index i is id 2i+3 (so no id is 0 or 1).
//
// Threads: main thread (any one thread, never the loop's own); every member
// function takes the loop's lock itself, except those marked "lock held".
// Streams and units hold the connection, so the loop outlives every stream on it.
#pragma once

#include "platform/AudioHardware.h"
#include "platform/pulse/PulseUtil.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pulse {

// A query that takes longer than this is taken for a hung server.
constexpr std::chrono::milliseconds kQueryTimeout{5000};

// A source or a sink as the server describes it.
struct DeviceInfo {
    bool source = false;
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    pa_sample_spec sampleSpec{};
    pa_channel_map map{};
    pa_cvolume volume{};
    bool muted = false;
    bool flatVolume = false;  // sources only: a stream's volume is the source's own
    std::uint32_t ownerModule = PA_INVALID_INDEX;
    std::uint32_t monitorOfSink = PA_INVALID_INDEX;  // sources only
};

AudioObjectID deviceId(const DeviceInfo& d);

// Who plays a sink input, as its properties say; the strings are the
// proplist's own (empty when missing), valid while it is.
struct StreamOwner {
    std::string_view name;
    std::string_view binary;
    std::uint32_t pid = 0;
};
StreamOwner ownerOf(const pa_proplist* properties);

inline void signalLoop(pa_threaded_mainloop* loop)
{
    pa_threaded_mainloop_signal(loop, 0);
}

// Told of the server's sink, source, sink-input, source-output and server
// (default device) events, on the loop thread; each watcher picks the facilities it cares for.
class ServerEventWatcher {
public:
    virtual void onServerEvent(pa_context* context, pa_subscription_event_type_t event, std::uint32_t index) = 0;

protected:
    ~ServerEventWatcher() = default;
};

}  // namespace pulse

class PulseConnection {
public:
    // Null when no server answers.
    static std::shared_ptr<PulseConnection> open();
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* loop() const { return loop_.get(); }
    pa_context* context() const { return context_.get(); }
    bool alive() const;
    // PipeWire's pulse server, rather than PulseAudio itself.
    bool isPipeWire() const { return pipeWire_; }

    // Lock held: waits until done() or the time is up. Whatever the loop
    // thread changes must signal the loop.
    template <class Done> bool waitFor(Done done, std::chrono::milliseconds timeout) const;
    // Lock held: runs an operation to its end. False when it could not be
    // started, the context died or the server did not answer in time.
    bool await(pa_operation* raw) const;

    // Every source, then every sink, each in index order.
    bool devices(std::vector<pulse::DeviceInfo>& out) const;
    std::optional<pulse::DeviceInfo> device(AudioObjectID id) const;
    std::optional<pulse::DeviceInfo> deviceLocked(AudioObjectID id) const;  // lock held
    std::optional<AudioObjectID> defaultDevice(bool output) const;
    // The applications playing now (each sink input counted to its
    // application), in the order the server lists their first streams.
    bool applications(std::vector<AudioProcessInfo>& out) const;

    // Lock held: the watcher hears of the server's events (ServerEventWatcher)
    // until it unwatches. The subscription, once made, stays for the connection.
    bool watch(pulse::ServerEventWatcher* watcher);
    void unwatch(pulse::ServerEventWatcher* watcher) { std::erase(watchers_, watcher); }  // lock held

private:
    PulseConnection() = default;
    bool connect();
    static void onServerEvent(pa_context* context, pa_subscription_event_type_t event, std::uint32_t index, void* u);

    pulse::Mainloop loop_;
    pulse::Context context_;
    bool pipeWire_ = false;  // learnt as the connection is made
    // Under the loop's lock.
    bool subscribed_ = false;
    std::vector<pulse::ServerEventWatcher*> watchers_;  // not owned
};

// Hands out the live connection. Main thread (any one thread at a time).
class PulseConnector {
public:
    // Null when none can be made (tried again at most twice a second).
    std::shared_ptr<PulseConnection> connection();

private:
    std::mutex mutex_;
    std::shared_ptr<PulseConnection> connection_;
    std::chrono::steady_clock::time_point nextAttempt_{};
};

template <class Done> bool PulseConnection::waitFor(Done done, std::chrono::milliseconds timeout) const
{
    struct Alarm {
        pa_threaded_mainloop* loop;
        bool rang = false;
    } alarm{loop()};
    pa_time_event* event = pa_context_rttime_new(
        context(), pa_rtclock_now() + pa_usec_t(timeout.count()) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* a) {
            auto* alarm = static_cast<Alarm*>(a);
            alarm->rang = true;
            pulse::signalLoop(alarm->loop);
        },
        &alarm);
    while (!done() && !alarm.rang && event != nullptr)
        pa_threaded_mainloop_wait(loop());
    if (event)
        pa_threaded_mainloop_get_api(loop())->time_free(event);
    return done();
}
