#include "audio/effects/Gapper.h"

#include <array>
#include <cmath>

namespace {

constexpr int kTableSize = 1024;
// Length and offset bounds: a cycle of more than ten minutes at 192 kHz means nothing musically,
// and the bounds keep every product below in 64-bit range.
constexpr int kMaxLength = 1 << 27;

const float* sineTable() {
    static const std::array<float, kTableSize> table = [] {
        std::array<float, kTableSize> t{};
        for (int i = 0; i < kTableSize; ++i)
            t[size_t(i)] = float(std::sin(i * M_PI / kTableSize));
        return t;
    }();
    return table.data();
}

} // namespace

Gapper::Gapper() : sine_(sineTable()) {}

float Gapper::gain(int64_t q, int64_t n, float g, float depth, bool sine) const {
    if (sine) return g * sine_[q * (kTableSize - 1) / n] + 1.0f - depth;
    const int64_t tenth = n / 10, half = n / 2, sixTenths = 6 * n / 10;
    if (q < tenth) return 1.0f - g * float(q) / float(tenth);
    if (q < half) return 1.0f - g;
    // Cycles under ten frames have no tenth: the second fall is then a single frame at its start, gain 1.
    if (q < sixTenths) return tenth > 0 ? 1.0f - g * float(q - half) / float(tenth) : 1.0f;
    return 1.0f;
}

void Gapper::process(float* left, float* right) {
    const int64_t n = length_.load(std::memory_order_relaxed);
    if (n <= 5) return;

    const float depth = depth_.load(std::memory_order_relaxed);
    float g = depth;
    if (n < 205) g *= float(n - 5) / 200.0f;

    int requested;
    // A position past the cycle restarts it below; a negative one is taken modulo the cycle, since the
    // shapes read their tables by it.
    if (positionRequest_.take(requested)) position_ = requested < 0 ? effectmath::wrapIndex(requested, n) : requested;
    position_ += 1;
    if (position_ > n) position_ = 0;
    shownPosition_.store(int(position_), std::memory_order_relaxed);
    // The right channel's place in the cycle: a true modulo whatever the offset's sign.
    const int64_t r = effectmath::wrapIndex(position_ + offset_.load(std::memory_order_relaxed), n);

    if (g <= 0.0f) return;
    const bool sine = shape_.load(std::memory_order_relaxed) >= 0.5f;
    *left *= gain(position_, n, g, depth, sine);
    *right *= gain(r, n, g, depth, sine);
}

void Gapper::setParameter(int id, double value) {
    if (!std::isfinite(value)) return; // a broken value keeps the last good one
    switch (id) {
    case 0:
        length_.store(int(effectmath::clampToInt(value, 0, kMaxLength)), std::memory_order_relaxed);
        break;
    case 1:
        depth_.store(effectmath::boundedFloat(value, 1e3), std::memory_order_relaxed);
        break;
    case 2: {
        const int p = int(effectmath::clampToInt(value, -kMaxLength, kMaxLength));
        positionRequest_.post(p); // taken by the audio thread, which owns the position
        shownPosition_.store(p, std::memory_order_relaxed);
        break;
    }
    case 3:
        shape_.store(float(value), std::memory_order_relaxed);
        break;
    case 4:
        offset_.store(int(effectmath::clampToInt(value, -kMaxLength, kMaxLength)), std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

double Gapper::getParameter(int id) const {
    switch (id) {
    case 0:
        return length_.load(std::memory_order_relaxed);
    case 1:
        return depth_.load(std::memory_order_relaxed);
    case 2:
        return shownPosition_.load(std::memory_order_relaxed);
    case 3:
        return shape_.load(std::memory_order_relaxed);
    case 4:
        return offset_.load(std::memory_order_relaxed);
    default:
        return 0.0;
    }
}
