#include "audio/effects/Reverb.h"

Reverb::Reverb(int sampleRate, float lengthMs) {
    for (int k = 0; k < kStages; ++k) {
        const float f = float(k) / kStages;
        stages_[k] = std::make_unique<AllPassFilter>(sampleRate, f * f * lengthMs + 50.0f, float(k) / 20.0f + 0.1f);
    }
}

void Reverb::process(float* left, float* right) {
    for (auto& stage : stages_)
        stage->process(left, right);
}
