#include "audio/effects/Flanger.h"

#include "dsp/Interpolator6.h"

#include <cmath>

using effectmath::flushNonNormal;

namespace {

constexpr float kMinSpeed = 1.0f;   // frames: a speed of 0 would make the sweep step infinite
constexpr double kMaxSetting = 1e3; // strength, feedback and sound
// Strong feedback with a strong tap can loop above unity gain; holding the fed-back signal at four times
// full scale keeps it from running away to infinity (and then NaN, which would never leave the ring).
constexpr float kFeedbackCeiling = 4.0f * 32768.0f;

float bounded(float x) {
    return x > kFeedbackCeiling ? kFeedbackCeiling : x < -kFeedbackCeiling ? -kFeedbackCeiling : x;
}

} // namespace

Flanger::Flanger(float sampleRate)
    : size_(int(880.0f * sampleRate / 44100.0f) > 16 ? int(880.0f * sampleRate / 44100.0f) : 16),
      depth_(340.0f * sampleRate / 44100.0f), ringLeft_(size_t(size_ + kGuard), 0.0f),
      ringRight_(size_t(size_ + kGuard), 0.0f), lowCut_(sampleRate) {
    lowCut_.setType(dsp::filter::LowShelf);
    lowCut_.setFrequency(5.0f);
    lowCut_.setGain(-24.0f);
}

void Flanger::setParameter(int id, double value) {
    if (!std::isfinite(value)) return; // a broken value keeps the last good one
    const float v = effectmath::boundedFloat(value, kMaxSetting);
    switch (id) {
    case 0: {
        const double phase = value * M_PI / 2.0;
        phaseRequest_.post(phase);
        shownPhase_.store(phase, std::memory_order_relaxed);
        break;
    }
    case 1:
        strength_.store(v, std::memory_order_relaxed);
        break;
    case 2:
        automaticValue_.store(v, std::memory_order_relaxed);
        automatic_.store(value > 0.5, std::memory_order_relaxed);
        break;
    case 3:
        speed_.store(value < kMinSpeed ? kMinSpeed : effectmath::boundedFloat(value, 1e9), std::memory_order_relaxed);
        break;
    case 4: {
        const int64_t reach = size_ - 1; // an offset beyond the ring means nothing
        offset_.store(int(effectmath::clampToInt(value, -reach, reach)), std::memory_order_relaxed);
        break;
    }
    case 5:
        mode_.store(v, std::memory_order_relaxed);
        break;
    case 6:
        lowCut_.setFrequency(float(value)); // Hz, held by the section within 5 Hz .. the sample rate
        break;
    case 7:
        sound_.store(v, std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

double Flanger::getParameter(int id) const {
    switch (id) {
    case 0:
        return shownPhase_.load(std::memory_order_relaxed) / M_PI;
    case 1:
        return strength_.load(std::memory_order_relaxed);
    case 2:
        return automaticValue_.load(std::memory_order_relaxed);
    case 3:
        return speed_.load(std::memory_order_relaxed);
    case 4:
        return offset_.load(std::memory_order_relaxed);
    case 5:
        return mode_.load(std::memory_order_relaxed);
    case 6:
        return lowCut_.getFrequency();
    case 7:
        return sound_.load(std::memory_order_relaxed);
    default:
        return 0.0;
    }
}

// Where a read lands in the ring: the first of the six entries the interpolator takes, and the fraction.
inline double Flanger::locate(double position, int* first) const {
    // A true modulo: the position lands in 0 .. size - 1 whatever the delay and offset. The sweep and the
    // offset keep it within two rings either side, where one exact step does what fmod does.
    const double size = double(size_);
    if (position >= size && position < 2 * size)
        position -= size;
    else if (position <= -size && position > -2 * size)
        position += size;
    else if (!(position > -size && position < size))
        position = std::fmod(position, size);
    if (position < 0) position += size;
    const double whole = std::floor(position);
    *first = int(whole) - 2;
    if (*first < 0) *first += size_;
    return position - whole;
}

// Reads both rings between samples with the 6-point interpolator the resamplers use, the left and the right
// read side by side in one vector (the same arithmetic as one read at a time). The guard after each ring
// holds the entries past its end, so the six are always in a row.
inline void Flanger::tap(double positionLeft, double positionRight, float* left, float* right) const {
    typedef double Pair __attribute__((vector_size(16)));
    int firstLeft, firstRight;
    const double fractionLeft = locate(positionLeft, &firstLeft);
    const double fractionRight = locate(positionRight, &firstRight);
    const float* l = ringLeft_.data() + firstLeft;
    const float* r = ringRight_.data() + firstRight;
    Pair y[6];
    for (int k = 0; k < 6; ++k)
        y[k] = Pair{double(l[k]), double(r[k])};
    dsp::BasicInterpolator6<Pair> interpolator;
    interpolator.fit(y);
    const Pair v = interpolator.at(Pair{fractionLeft, fractionRight});
    *left = float(v[0]);
    *right = float(v[1]);
}

void Flanger::write(std::vector<float>& ring, float value) {
    ring[size_t(write_)] = value;
    if (write_ < kGuard) ring[size_t(size_ + write_)] = value;
}

void Flanger::process(float* left, float* right) {
    processBlock(left, right, 1);
}

void Flanger::processBlock(float* left, float* right, int frames) {
    double requested;
    bool exact = phaseRequest_.take(requested);
    if (exact) phase_ = requested;
    const float sound = sound_.load(std::memory_order_relaxed);
    const bool automatic = automatic_.load(std::memory_order_relaxed);
    if (automatic) {
        double period = 4.0 * speed_.load(std::memory_order_relaxed);
        if (sound > 0.75f) period /= (sound - 0.75) * 36.0 + 1.0;
        if (period < kMinSpeed) period = kMinSpeed;
        if (period != period_) {
            period_ = period;
            step_ = M_PI / period;
            stepSin_ = std::sin(step_);
            stepCos_ = std::cos(step_);
            exact = true;
        }
    }
    const float strength = strength_.load(std::memory_order_relaxed);
    const int offset = offset_.load(std::memory_order_relaxed);
    const float mode = mode_.load(std::memory_order_relaxed);
    const bool lowCut = lowCut_.getFrequency() > 5.0f;
    for (int i = 0; i < frames; ++i, exact = false) {
        if (automatic) {
            phase_ += step_;
            if (phase_ > M_PI) {
                phase_ = std::fmod(phase_, M_PI); // one step, however far a set phase lay
                exact = true;
            }
            const double s = lfoSin_ * stepCos_ + lfoCos_ * stepSin_;
            lfoCos_ = lfoCos_ * stepCos_ - lfoSin_ * stepSin_;
            lfoSin_ = s;
            if (++sinceResync_ >= kLfoResync) exact = true;
        }
        if (exact) {
            lfoSin_ = std::sin(phase_);
            lfoCos_ = std::cos(phase_);
            sinceResync_ = 0;
        }
        const double s = lfoSin_;
        const double delay = s * s * depth_ + 6.0;

        const float inL = left[i], inR = right[i];
        float outL = inL, outR = inR;
        // At no strength the taps (finite: the ring holds bounded values) weigh nothing: the frame passes as it is.
        if (strength != 0.0f) {
            float tapL, tapR;
            tap(write_ - delay, write_ - delay - offset, &tapL, &tapR);
            outL = (1.0f - strength / 5.0f) * inL + strength * 0.9f * tapL;
            outR = (1.0f - strength / 5.0f) * inR + strength * 0.9f * tapR;
            if (sound > 0.0f) {
                const float amount = (sound < 0.75f ? sound / 0.75f : 1.0f - 4.0f * (sound - 0.75f)) * strength;
                tap(write_ - delay / 2.002, write_ - delay / 2.001 - offset, &tapL, &tapR);
                outL += amount * 0.7f * tapL;
                outR += amount * 0.7f * tapR;
            }
        }
        left[i] = outL;
        right[i] = outR;

        float fbL = inL, fbR = inR;
        if (mode != 0.0f) {
            fbL += mode * 0.55f * outL;
            fbR += mode * 0.55f * outR;
        }
        if (lowCut) lowCut_.process(&fbL, &fbR);
        write(ringLeft_, bounded(flushNonNormal(fbL)));
        write(ringRight_, bounded(flushNonNormal(fbR)));
        if (++write_ >= size_) write_ = 0;
    }
    if (automatic) shownPhase_.store(phase_, std::memory_order_relaxed);
}
