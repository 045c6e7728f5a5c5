#include "audio/effects/BitCrusher.h"

#include <cmath>

namespace {

constexpr float kKnee1 = 29490.3f; // 90 % of full scale: first, gentle stage
constexpr float kKnee2 = 32767.0f; // full scale: second, harder stage
constexpr float kMaxDrive = 1000.0f;

float softClip(float x) {
    if (x > kKnee1)
        x = (x - kKnee1) / 10.0f + kKnee1;
    else if (x < -kKnee1)
        x = (x + kKnee1) / 10.0f - kKnee1;
    if (x > kKnee2)
        x = (x - kKnee2) / 20.0f + kKnee2;
    else if (x < -kKnee2)
        x = (x + kKnee2) / 20.0f - kKnee2;
    return x;
}

} // namespace

void BitCrusher::process(float* left, float* right) {
    const float drive = drive_.load(std::memory_order_relaxed);
    const float downsample = downsample_.load(std::memory_order_relaxed);
    const float bits = bits_.load(std::memory_order_relaxed);

    // Saturating: a counter of frames cannot overflow even when the factor is huge.
    if (counter_ < 0x7fffffff) ++counter_;
    if (drive > 1.0f) {
        *left *= drive;
        *right *= drive;
    }
    if (float(counter_) >= downsample) {
        counter_ = 0;
        heldLeft_ = *left;
        heldRight_ = *right;
    } else {
        *left = heldLeft_;
        *right = heldRight_;
    }
    if (drive > 1.0f) {
        *left = softClip(*left);
        *right = softClip(*right);
    }
    if (bits < 16.0f) {
        const float q = std::pow(2.0f, bits - 1.0f) / 32767.0f;
        *left = std::trunc(q * *left) / q;
        *right = std::trunc(q * *right) / q;
    }
}

void BitCrusher::setParameter(int id, double value) {
    if (!std::isfinite(value)) return; // a broken value keeps the last good one
    const float v = float(value);
    switch (id) {
    case 0:
        bits_.store(v < 2.0f ? 2.0f : v, std::memory_order_relaxed);
        break;
    case 1:
        downsample_.store(v, std::memory_order_relaxed);
        break;
    // Beyond 60 dB of drive nothing but the clip is heard; the cap keeps products finite.
    case 2:
        drive_.store(v > kMaxDrive ? kMaxDrive : v, std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

double BitCrusher::getParameter(int id) const {
    switch (id) {
    case 0:
        return bits_.load(std::memory_order_relaxed);
    case 1:
        return downsample_.load(std::memory_order_relaxed);
    case 2:
        return drive_.load(std::memory_order_relaxed);
    default:
        return 0.0;
    }
}
