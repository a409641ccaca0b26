// The fade envelope of a trimmed range: a linear gain ramp from 0 at the trim
// start up to 1 after the fade-in, and from 1 down to 0 over the fade-out
// before the trim end; where the two ramps overlap the fade-in wins. One
// function for the export (a gain per block) and the preview (the player's
// volume per tick), so that what the user hears is what the file gets.
//
// A plain value, any thread. All lengths and positions in seconds of the
// source, all arithmetic in 32-bit float.
#pragma once

struct FadeEnvelope {
    float trimStart = 0;
    float trimEnd = 0;
    float fadeIn = 0;
    float fadeOut = 0;

    constexpr bool fades() const { return fadeIn > 0 || fadeOut > 0; }

    // The gain at `position` seconds into the source.
    constexpr float gainAt(float position) const
    {
        const float s = trimStart;
        const float e = trimEnd;
        const float p = position;
        if (fadeIn <= 0 && fadeOut <= 0)
            return 1;
        const bool inFadeIn = s <= p && p <= s + fadeIn;
        const bool inFadeOut = e - fadeOut <= p && p <= e;
        if (!inFadeIn && !inFadeOut)
            return 1;
        // A ramp of length 0 is no ramp: full gain rather than a division by 0.
        if (p - s <= fadeIn)
            return fadeIn > 0 ? (p - s) / fadeIn : 1;
        if (e - p <= fadeOut)
            return fadeOut > 0 ? (e - p) / fadeOut : 1;
        return 1;
    }
};
