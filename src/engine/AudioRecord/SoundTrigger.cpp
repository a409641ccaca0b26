#include "AudioRecord/SoundTrigger.h"

#include <cmath>

float SoundTrigger::threshold(double dBFS)
{
    return float(std::pow(10.0, dBFS / 20.0));
}

SoundTrigger::State SoundTrigger::feed(float peak, std::int64_t position, std::int32_t frames)
{
    const bool loud = peak >= threshold_;
    const std::int64_t end = position + frames;
    switch (state_) {
    case State::Armed:
        if (loud) {
            state_ = State::Recording;
            start_ = position;
            loudEnd_ = end;
        }
        break;
    case State::Recording:
        if (loud)
            loudEnd_ = end;
        else if (hold_ > 0 && end - loudEnd_ >= hold_)
            state_ = State::Stopped;
        break;
    case State::Stopped:
        break;
    }
    return state_;
}
