// The fade envelope of a trimmed range: a linear gain ramp from 0 at the trim
// start up to 1 after the fade-in, and from 1 down to 0 at the trim end over
// the fade-out; where the two ramps overlap the lower one applies, so the
// gain never jumps. One definition for the export and the preview's player,
// both a gain per frame, so that what the user hears is what the file gets.
//
// A plain value, any thread. All lengths and positions in seconds of the
// source, in 32-bit float as the window holds them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

struct FadeEnvelope {
    float trimStart = 0;
    float trimEnd = 0;
    float fadeIn = 0;
    float fadeOut = 0;

    constexpr bool fades() const { return fadeIn > 0 || fadeOut > 0; }

    // The gain at `position` seconds into the source: full outside the trim
    // range (plain play passes through it), the lower ramp inside it.
    float gainAt(float position) const
    {
        if (!fades() || !(position >= trimStart && position <= trimEnd))
            return 1;
        return ramps(position - trimStart, trimEnd - position, fadeIn, fadeOut);
    }

    // The exported frames at `rate`: from round(start × rate) up to
    // round(end × rate), the end excluded. A range past a source's end is the
    // caller's to clamp.
    std::int64_t firstFrame(double rate) const { return std::llround(double(trimStart) * rate); }
    std::int64_t endFrame(double rate) const { return std::llround(double(trimEnd) * rate); }

    // The gain of exported frame `index` of `count` at `rate`. The first and
    // the last frame are the ramps' ends: silent when that end fades, so the
    // file starts and stops without a click. A range cut short by the source's
    // end fades out where the audio ends.
    float gainOfFrame(std::int64_t index, std::int64_t count, double rate) const
    {
        return float(ramps(double(index) / rate, double(count - 1 - index) / rate, fadeIn, fadeOut));
    }

private:
    // The lower of the two ramps, `sinceStart` and `beforeEnd` seconds from
    // the ends; a ramp of length 0 is none.
    template <typename T>
    static T ramps(T sinceStart, T beforeEnd, float in, float out)
    {
        T gain = 1;
        if (in > 0)
            gain = std::min(gain, sinceStart / T(in));
        if (out > 0)
            gain = std::min(gain, beforeEnd / T(out));
        return std::max(gain, T(0));
    }
};
