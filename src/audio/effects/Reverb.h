// Reverb: five feedback delay stages in series, 50 ms and longer, with rising feedback.
#pragma once

#include "audio/effects/AllPassFilter.h"

#include <memory>

class Reverb {
public:
    // Stage k (0..4) delays (k / 5)^2 x lengthMs + 50 ms with gain k / 20 + 0.1.
    Reverb(int sampleRate, float lengthMs);
    virtual ~Reverb() = default;

    // One stereo frame on the 16-bit scale, in place. Audio thread.
    void process(float* left, float* right);

    static constexpr int kStages = 5;

private:
    std::unique_ptr<AllPassFilter> stages_[kStages];
};
