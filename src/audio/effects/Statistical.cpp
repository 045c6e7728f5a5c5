#include "audio/effects/Statistical.h"

#include "audio/effects/EffectMath.h"

#include <cmath>
#include <cstdlib>

namespace {

// |x| truncated to an integer; out-of-range and NaN levels are held at the int range's edge.
int level(float x) {
    return int(effectmath::clampToInt(std::fabs(double(x)), 0, 0x7fffffff));
}

} // namespace

void Statistical::takeReset() {
    if (!resetRequest_.load(std::memory_order_relaxed)) return;
    if (!resetRequest_.exchange(false, std::memory_order_acquire)) return;
    maxAfter_ = maxBefore_ = 0;
    shownMaxAfter_.store(0, std::memory_order_relaxed);
    shownMaxBefore_.store(0, std::memory_order_relaxed);
}

void Statistical::processBefore(float left, float right) {
    processBeforeBlock(&left, &right, 1);
}

void Statistical::processBeforeBlock(const float* left, const float* right, int frames) {
    takeReset();
    int m = 0;
    for (int i = 0; i < frames; ++i) {
        const int l = level(left[i]), r = level(right[i]);
        if (l > m) m = l;
        if (r > m) m = r;
    }
    if (m > maxBefore_) {
        maxBefore_ = m;
        shownMaxBefore_.store(m, std::memory_order_relaxed);
    }
}

void Statistical::processBlock(const float* left, const float* right, int frames) {
    takeReset();
    for (int i = 0; i < frames; ++i)
        after(left[i], right[i]);
}

void Statistical::process(float left, float right) {
    processBlock(&left, &right, 1);
}

inline void Statistical::after(float left, float right) {
    const int l = level(left), r = level(right);
    const int m = l > r ? l : r;
    totalFrames_ += 1;
    // A frame at the chain's running peak, repeating the previous frame's level, is a flat top: clipping.
    if (m == lastLevel_ && m == maxAfter_ && m >= 1) ++clipFrames_;
    lastLevel_ = m;

    Slot& s = slots_[slot_];
    if (l > s.maxLeft) s.maxLeft = l;
    if (r > s.maxRight) s.maxRight = r;

    if (++blockFrames_ < kBlockFrames) return;
    blockFrames_ = 0;
    if (s.maxLeft > maxAfter_) maxAfter_ = s.maxLeft;
    if (s.maxRight > maxAfter_) maxAfter_ = s.maxRight;
    shownMaxAfter_.store(maxAfter_, std::memory_order_relaxed);
    lastBlockLeft_.store(s.maxLeft, std::memory_order_relaxed);
    lastBlockRight_.store(s.maxRight, std::memory_order_relaxed);

    slot_ = (slot_ + 1) % kSlots;
    slots_[slot_] = Slot{0, 0, totalFrames_ / 44.1};
    clipFraction_.store(double(clipFrames_) / kBlockFrames, std::memory_order_relaxed);
    clipFrames_ = 0;
}

void Statistical::setParameter(int id, double value) {
    if (id == 5)
        stored_.store(effectmath::clampToInt(value), std::memory_order_relaxed);
    else if (id == 6) {
        // Readers see the reset at once; the audio thread, which owns the peaks, clears them at its next frame.
        shownMaxAfter_.store(0, std::memory_order_relaxed);
        shownMaxBefore_.store(0, std::memory_order_relaxed);
        resetRequest_.store(true, std::memory_order_release);
    }
}

double Statistical::getParameter(int id) const {
    switch (id) {
    case 0:
        return clipFraction_.load(std::memory_order_relaxed);
    case 1:
        return shownMaxAfter_.load(std::memory_order_relaxed);
    case 2:
        return shownMaxBefore_.load(std::memory_order_relaxed);
    case 3:
        return lastBlockLeft_.load(std::memory_order_relaxed);
    case 4:
        return lastBlockRight_.load(std::memory_order_relaxed);
    default:
        return 0.0;
    }
}
