// Hears one application: a record stream on the monitor of each of its sink
// inputs (pa_stream_set_monitor_stream, on the monitor of the sink that
// input plays to), each fed to a mixer's source of its own. The server's
// sink-input events keep the set current: a stream the application opens
// later gets one of ours, one that ends (or moves, which ends ours) loses
// it. Nothing on the server is created, moved or rerouted: only record
// streams of our own, which the server ends with the stream they watch.
//
// Threads: follow() and stop() on the main thread with the loop's lock held;
// everything else on the loop thread, where only requests to libpulse are
// made and the mixer is fed. The owner stops it before the mixer, the
// streams or the connection go.
#pragma once

#include "platform/DriftMixer.h"
#include "platform/pulse/PulseConnection.h"

#include <cstdint>
#include <string>
#include <vector>

class PulseApplicationFollower final : private pulse::ServerEventWatcher {
public:
    explicit PulseApplicationFollower(PulseConnection& connection) : connection_(connection) { }
    ~PulseApplicationFollower() = default;
    PulseApplicationFollower(const PulseApplicationFollower&) = delete;
    PulseApplicationFollower& operator=(const PulseApplicationFollower&) = delete;

    // Lock held, main thread: follows the application `named` (applicationNamed()),
    // one stream of `format` per sink input, each into its own source of
    // `mixer` (as many as it has), stamped by the server's timing when
    // `byServerTiming`, else by arrival. False when the server's events cannot be heard.
    bool follow(const std::string& named, const pa_sample_spec& format, const pa_channel_map& map,
        const pa_buffer_attr& attr, DriftMixer& mixer, bool byServerTiming);
    // Lock held: no call-back of this follower runs after it returns.
    void stop();
    // Lock held: some stream of the application has sent sound, or none is
    // on its way (it plays nothing, or the server refused every one).
    bool settled() const;

private:
    // One of the application's sink inputs and our stream on it.
    struct Slot {
        PulseApplicationFollower* owner = nullptr;
        std::size_t source = 0;                      // in the mixer
        std::uint32_t sinkInput = PA_INVALID_INDEX;  // none: free
        std::uint32_t sink = PA_INVALID_INDEX;       // whose monitor our stream was asked on
        std::uint64_t seen = 0;                      // the scan that last found it
        bool delivered = false;                      // our stream has sent something
        pulse::Operation query;                      // its sink's monitor, being asked
        pulse::Stream stream;
    };

    void onServerEvent(pa_context* context, pa_subscription_event_type_t event, std::uint32_t index) override;
    void scan();
    static void onSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* u);
    static void onSink(pa_context* context, const pa_sink_info* info, int eol, void* u);
    static void onState(pa_stream* stream, void* u);
    static void onRead(pa_stream* stream, std::size_t, void* u);
    void release(Slot& slot);

    PulseConnection& connection_;  // not owned; outlives the follower
    // Written under the lock by the main thread, then the loop thread's.
    std::string named_;
    pa_sample_spec format_{};
    pa_channel_map map_{};
    pa_buffer_attr attr_{};
    DriftMixer* mixer_ = nullptr;  // not owned
    bool byServerTiming_ = true;
    bool following_ = false;
    std::vector<Slot> slots_;  // sized by follow(), one per mixer source
    pulse::Operation list_;    // the scan under way
    std::uint64_t generation_ = 0;
    bool again_ = false;  // an event came while a scan was under way
    bool heard_ = false;  // some stream has sent sound
    // Sink inputs whose stream of ours ended before it sent anything, with
    // the sink it was asked on: the server refused it, and asking again would
    // only be refused again, unless the sink input has moved since (the
    // server refuses a monitor of the sink it has just left).
    struct Refusal {
        std::uint32_t sinkInput = PA_INVALID_INDEX;
        std::uint32_t sink = PA_INVALID_INDEX;
    };
    static constexpr std::size_t kRefusedKept = 16;
    Refusal refused_[kRefusedKept] = {};
    std::size_t refusedCount_ = 0;
};

namespace pulse {

// Loop thread: every block `stream` holds (`frameBytes` a frame, at `rate`),
// pushed into `mixer` as other source `which` and dropped; each stamped with
// when it was captured where the server's timing tells it (`byServerTiming`).
// The computer's sound and an application's streams are read alike.
void pushRecorded(
    pa_stream* stream, DriftMixer& mixer, std::size_t which, std::size_t frameBytes, double rate, bool byServerTiming);

}  // namespace pulse
