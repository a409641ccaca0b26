// When a sound-activated take begins and ends, decided buffer by buffer:
// armed until a buffer's peak reaches the threshold, then recording until
// the input has stayed below it for the hold, then stopped. The hold keeps
// a pause in speech from splitting a take.
//
// Pure: its only clock is the frames it is fed. The recorder feeds it on the
// audio thread (nothing here allocates); the recorder owns it.
#pragma once

#include <cstdint>

class SoundTrigger {
public:
    enum class State { Armed, Recording, Stopped };

    SoundTrigger() = default;
    // `threshold` is a linear peak (1 is full scale); `holdFrames` the frames
    // below it that end a take, 0 for a take that ends only when stopped.
    SoundTrigger(float threshold, std::int64_t holdFrames) : threshold_(threshold), hold_(holdFrames) { }
    // The linear peak of a level in dBFS.
    static float threshold(double dBFS);

    // One buffer: its first frame's position, its length and its loudest sample (absolute).
    State feed(float peak, std::int64_t position, std::int32_t frames);
    State state() const { return state_; }
    // The first frame of the buffer that reached the threshold; -1 while armed.
    std::int64_t startFrame() const { return start_; }
    // The take's end: the hold after the last buffer that reached the
    // threshold, to the frame; -1 until stopped.
    std::int64_t stopFrame() const { return state_ == State::Stopped ? loudEnd_ + hold_ : -1; }
    float threshold() const { return threshold_; }
    std::int64_t holdFrames() const { return hold_; }

private:
    float threshold_ = 1;
    std::int64_t hold_ = 0;
    State state_ = State::Armed;
    std::int64_t start_ = -1;
    std::int64_t loudEnd_ = -1;  // just past the last buffer that reached the threshold
};
