// How long a freshly made biquad section takes to glide from its initial settings to its targets,
// for response measurements on copies: run that many zero samples through it (its history stays zero)
// and it behaves as its settled original.
#pragma once

#include "dsp/filter.h"

#include <cmath>

// Frames, an upper bound. The section starts at 200 Hz, gain 0, bandwidth 4.5 octaves, dry.
inline int filterSettleFrames(const dsp::filter& f, float sampleRate) {
    const double freq = f.getFrequency(), gain = f.getGain(), bandwidth = f.getParameter(3);
    // Frequency: 0.5 Hz per frame below 600 Hz, 8 Hz per frame above.
    double freqFrames;
    if (freq <= 600.0)
        freqFrames = std::fabs(freq - 200.0) / 0.5;
    else
        freqFrames = 400.0 / 0.5 + (freq - 600.0) / 8.0;
    // Gain, wet amount and bandwidth move one step per frame; the wet amount crosses 0..1 once.
    const double step = 0.02 * 44100.0 / (sampleRate > 0 ? sampleRate : 44100.0);
    const double gainFrames = (std::fabs(gain) + 1.0) / step;
    const double bandwidthFrames = std::fabs(bandwidth - 4.5) / step;
    double frames = freqFrames;
    if (gainFrames > frames) frames = gainFrames;
    if (bandwidthFrames > frames) frames = bandwidthFrames;
    return int(std::fmin(frames, 1e6)) + 16;
}
