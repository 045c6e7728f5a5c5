#include "audio/effects/AllPassFilter.h"

#include "audio/effects/EffectMath.h"

#include <cmath>

namespace {

// Frames of a delay; at least one so the ring always has a slot to read and write.
int delayFrames(int sampleRate, double delayMs) {
    const int64_t n = effectmath::clampToInt(double(sampleRate) * delayMs / 1000.0, 1, 1 << 26);
    return int(n);
}

} // namespace

AllPassFilter::AllPassFilter(int sampleRate, float delayMs, float gain)
    : sampleRate_(sampleRate), left_(size_t(delayFrames(sampleRate, delayMs))), right_(left_.size()),
      length_(int(left_.size())), gain_(gain) {}

void AllPassFilter::process(float* left, float* right) {
    const int length = length_.load(std::memory_order_relaxed);
    if (index_ >= length) index_ = 0;
    const float g = gain_.load(std::memory_order_relaxed);
    const size_t i = size_t(index_);
    left_[i] = effectmath::flushNonNormal(*left - g * left_[i]);
    right_[i] = effectmath::flushNonNormal(*right - g * right_[i]);
    *left = left_[i];
    *right = right_[i];
    if (++index_ >= length) index_ = 0;
}

void AllPassFilter::setParameter(int id, double value) {
    if (!std::isfinite(value)) return;
    if (id == 0) {
        const double frames = double(sampleRate_) * value / 1000.0;
        if (frames >= 1.0 && frames <= double(left_.size())) length_.store(int(frames), std::memory_order_relaxed);
    } else if (id == 1) {
        gain_.store(float(value), std::memory_order_relaxed);
    }
}

double AllPassFilter::getParameter(int) const {
    return 0.0;
}
