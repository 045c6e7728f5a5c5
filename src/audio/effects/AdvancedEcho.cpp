#include "audio/effects/AdvancedEcho.h"

#include "audio/effects/EffectMath.h"

#include <algorithm>
#include <cmath>

using effectmath::flushNonNormal;
using effectmath::wrapIndex;

namespace {

constexpr double kMaxSpeed = 1e6;  // ring frames per frame in reverse play
constexpr double kMaxAmount = 1e3; // echo and source amounts

// Runs a ramp until it sits on its target, so a new echo starts at its initial amounts without a fade.
void settle(VolumeRamp& ramp) {
    float l = 0, r = 0;
    for (int i = 0; i < 100000 && ramp.getCurrentVolume() != ramp.getVolume(); ++i)
        ramp.process(&l, &r);
}

} // namespace

AdvancedEcho::AdvancedEcho(float sampleRate)
    : ring_(kRingFloats, 0.0f), appliedLength_(4410), echoAmount_(sampleRate), sourceAmount_(sampleRate),
      lowCut_(sampleRate), highCut_(sampleRate), limiter_(sampleRate) {
    echoAmount_.setVolume(0.0);
    sourceAmount_.setVolume(1.0);
    settle(echoAmount_);
    settle(sourceAmount_);
    lowCut_.setType(dsp::filter::LowShelf);
    lowCut_.setFrequency(5.0f);
    lowCut_.setGain(-24.0f);
    highCut_.setType(dsp::filter::HighShelf);
    highCut_.setFrequency(20000.0f);
    highCut_.setGain(-24.0f);
}

void AdvancedEcho::setSamplerate(double rate) {
    if (!(rate > 0) || !std::isfinite(rate)) return;
    lowCut_.setSamplerate(float(rate));
    highCut_.setSamplerate(float(rate));
    echoAmount_.setSamplerate(rate);
    sourceAmount_.setSamplerate(rate);
}

void AdvancedEcho::setParameter(int id, double value) {
    if (!std::isfinite(value)) return; // a broken value keeps the last good one
    switch (id) {
    case 0:
        speed_.store(std::clamp(value, -kMaxSpeed, kMaxSpeed), std::memory_order_relaxed); // kept in double
        break;
    // Lengths and offsets are held so that every read, 2 x (length + |offset|) floats back, stays in the ring.
    case 1:
        length_.store(int(effectmath::clampToInt(value, 1, kMaxReach)), std::memory_order_relaxed);
        break;
    case 2:
        echoAmount_.setVolume(effectmath::boundedFloat(value, kMaxAmount));
        break;
    case 3:
        sourceAmount_.setVolume(effectmath::boundedFloat(value, kMaxAmount));
        break;
    case 4:
        highCut_.setFrequency(float(effectmath::clampToInt(value)));
        break;
    case 5:
        lowCut_.setFrequency(float(effectmath::clampToInt(value)));
        break;
    case 6:
        lockValue_.store(float(value), std::memory_order_relaxed);
        locked_.store(value > 0.5, std::memory_order_relaxed);
        break;
    case 7:
        offset_.store(int(effectmath::clampToInt(value, -(kMaxReach - 1), kMaxReach - 1)), std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

double AdvancedEcho::getParameter(int id) {
    switch (id) {
    case 0:
        return distance_.exchange(0.0, std::memory_order_relaxed);
    case 1:
        return length_.load(std::memory_order_relaxed);
    case 2:
        return echoAmount_.getVolume();
    case 3:
        return sourceAmount_.getVolume();
    case 4:
        return highCut_.getFrequency();
    case 5:
        return lowCut_.getFrequency();
    case 6:
        return lockValue_.load(std::memory_order_relaxed);
    case 7:
        return offset_.load(std::memory_order_relaxed);
    default:
        return 0.0;
    }
}

// The 4-point, 4th-order polynomial interpolator for 2x-oversampled signals (even/odd form), reading
// ring frames around the position; coefficients are kept per channel while the integer frame stays.
float AdvancedEcho::readInterpolated(double position, int channel) {
    const double whole = std::floor(position);
    const int64_t i = wrapIndex(int64_t(whole), kRingFrames);
    Cache& c = cache_[channel];
    if (c.position != i) {
        auto at = [&](int64_t frame) { return ring_[size_t(2 * wrapIndex(frame, kRingFrames) + channel)]; };
        const float ym1 = at(i - 1), y0 = at(i), y1 = at(i + 1), y2 = at(i + 2);
        const float even1 = y1 + y0, odd1 = y1 - y0, even2 = y2 + ym1, odd2 = y2 - ym1;
        c.c0 = even1 * 0.4656725512077849f + even2 * 0.03432729708429672f;
        c.c1 = odd1 * 0.5374383075356016f + odd2 * 0.1542946255730746f;
        c.c2 = even1 * -0.25194210134021744f + even2 * 0.2519474493593906f;
        c.c3 = odd1 * -0.46896069955075126f + odd2 * 0.15578800670302476f;
        c.c4 = even1 * 0.00986988334359864f + even2 * -0.00989340017126506f;
        c.position = i;
    }
    const float z = float(position - whole) - 0.5f;
    return (((c.c4 * z + c.c3) * z + c.c2) * z + c.c1) * z + c.c0;
}

int AdvancedEcho::applyLength() {
    const int length = length_.load(std::memory_order_relaxed);
    if (length < appliedLength_) {
        // Shortening: move the write index back so the new, shorter delay is heard at once.
        write_ = int(wrapIndex(int64_t(write_) - 2 * int64_t(appliedLength_ - length), kRingFloats));
    }
    appliedLength_ = length;
    return length;
}

void AdvancedEcho::processBlock(float* left, float* right, int frames) {
    // Silent and unlocked with no fade pending, played forwards (an idle looper): nothing is read from the
    // ring, so the block passes each stage in turn, the ring recording what leaves it.
    if (locked_.load(std::memory_order_relaxed) || echoAmount_.getCurrentVolume() != 0.0 ||
        echoAmount_.getVolume() != 0.0 || !(speed_.load(std::memory_order_relaxed) > 0.0)) {
        for (int i = 0; i < frames; ++i)
            process(&left[i], &right[i]);
        return;
    }
    applyLength();
    sourceAmount_.processSamples(left, right, frames);
    for (int i = 0; i < frames; ++i) {
        left[i] = flushNonNormal(left[i]);
        right[i] = flushNonNormal(right[i]);
    }
    limiter_.processBlock(left, right, frames);
    for (int i = 0; i < frames; ++i) {
        ring_[size_t(write_)] = left[i];
        ring_[size_t(write_) + 1] = right[i];
        write_ += 2;
        if (write_ >= kRingFloats) write_ = 0;
    }
    readPosition_ = write_ / 2;
}

void AdvancedEcho::process(float* left, float* right) {
    const int length = applyLength();
    int offset = offset_.load(std::memory_order_relaxed);
    const int reach = kMaxReach - length; // room left for the offset
    if (offset > reach) offset = reach;
    if (offset < -reach) offset = -reach;

    sourceAmount_.process(left, right);

    const bool locked = locked_.load(std::memory_order_relaxed);
    float delayedL = 0, delayedR = 0;
    if (echoAmount_.getCurrentVolume() > 0.0 || locked) {
        delayedL = ring_[size_t(wrapIndex(int64_t(write_) - 2 * int64_t(length) - 2 * int64_t(offset), kRingFloats))];
        delayedR = ring_[size_t(wrapIndex(int64_t(write_) - 2 * int64_t(length) + 1, kRingFloats))];
        float l = delayedL, r = delayedR;
        if (lowCut_.getFrequency() > 5.0f) lowCut_.process(&l, &r);
        if (highCut_.getFrequency() < 20000.0f) highCut_.process(&l, &r);
        echoAmount_.process(&l, &r);
        *left += l;
        *right += r;
    } else {
        float l = 0, r = 0;
        echoAmount_.process(&l, &r);
    }
    *left = flushNonNormal(*left);
    *right = flushNonNormal(*right);

    if (locked) {
        // Frozen: the ring repeats itself unchanged.
        ring_[size_t(write_)] = flushNonNormal(delayedL);
        ring_[size_t(write_) + 1] = flushNonNormal(delayedR);
    } else {
        limiter_.process(left, right);
        ring_[size_t(write_)] = *left;
        ring_[size_t(write_) + 1] = *right;
    }
    write_ += 2;
    if (write_ >= kRingFloats) write_ = 0;

    const double speed = speed_.load(std::memory_order_relaxed);
    if (speed <= 0.0) {
        readPosition_ = std::fmod(readPosition_ + speed, double(kRingFrames));
        if (readPosition_ < 0) readPosition_ += kRingFrames;
        // Only this thread adds; a reader takes the sum and leaves 0.
        double d = distance_.load(std::memory_order_relaxed);
        while (!distance_.compare_exchange_weak(d, d - speed, std::memory_order_relaxed)) {
        }
        *left = readInterpolated(readPosition_, 0);
        *right = readInterpolated(readPosition_, 1);
    } else {
        readPosition_ = write_ / 2;
    }
}
