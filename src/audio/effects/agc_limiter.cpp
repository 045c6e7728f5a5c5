#include "audio/effects/agc_limiter.h"

#include "audio/effects/EffectMath.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

// Parameter ids:
//  0 amplification (read back), 1 panning, 2 left and 3 right amplification (times the amplification),
//  4 compressor threshold, 5 compressor input gain, 6 compressor attack, 7 compressor release,
//  8 force no clip (read back 1 or 0), 9 limiter on, 10 (read only) the smaller channel gain.

namespace {

constexpr int kRearmFrames = 512;      // frames between fresh peak measurements
constexpr int kHoldFrames = 128;       // compressor envelope hold
constexpr float kMinFrames = 1.0f;     // attack and release: at most one unit of gain per frame
constexpr float kMinInputGain = 1e-3f; // -60 dB; the compressor divides by it
constexpr float kMinLimit = 1.0f;
constexpr float kFullScale = 32767.0f;
constexpr double kMaxGain = 1e6; // 120 dB: amplifications, pan and compressor settings are held within it

float moveTowards(float value, float target, float step) {
    if (std::fabs(value - target) <= step) return target;
    return value > target ? value - step : value + step;
}

float atLeast(double v, float lo) {
    return v < lo ? lo : float(v);
}

} // namespace

agc_limiter::agc_limiter(float sampleRate) : detect_(sampleRate), reduction_(sampleRate), amplify_(sampleRate) {
    detect_.setType(dsp::filter::LowPass);
    detect_.setGain(-1.0f);
    detect_.setBandwidth(2.0f);
    reduction_.setType(dsp::filter::LowShelf);
    amplify_.setType(dsp::filter::LowShelf);
    setBandFrequency(4000.0f);
}

void agc_limiter::setLimitMax(float limit) {
    if (std::isfinite(limit)) limit_.store(limit < kMinLimit ? kMinLimit : limit, std::memory_order_relaxed);
}

void agc_limiter::setAttack(float frames) {
    if (std::isfinite(frames)) attack_.store(atLeast(frames, kMinFrames), std::memory_order_relaxed);
}

void agc_limiter::setRelease(float frames) {
    if (std::isfinite(frames)) release_.store(atLeast(frames, kMinFrames), std::memory_order_relaxed);
}

void agc_limiter::setAmplification(float amplification) {
    glideAmplification(amplification, 0.0f);
}

void agc_limiter::glideAmplification(float amplification, float frames) {
    if (!std::isfinite(amplification)) return;
    amplification = effectmath::boundedFloat(amplification, kMaxGain);
    amplification_.store(amplification, std::memory_order_relaxed);
    const float pan = panning_.load(std::memory_order_relaxed);
    ampLeft_.store((1.0f - pan) * amplification, std::memory_order_relaxed);
    ampRight_.store((1.0f + pan) * amplification, std::memory_order_relaxed);
    publishAmplification(std::isfinite(frames) ? frames : 0.0f);
    if (amplification > 0.0f) amplify_.setGain(20.0f * std::log10(amplification));
}

void agc_limiter::publishAmplification(float glide) {
    ampGlide_.store(glide, std::memory_order_relaxed);
    ampVersion_.fetch_add(1, std::memory_order_release);
}

void agc_limiter::applyAmplification(float* left, float* right) {
    const unsigned version = ampVersion_.load(std::memory_order_acquire);
    if (version != ampSeen_) {
        ampSeen_ = version;
        ampTarget_[0] = ampLeft_.load(std::memory_order_relaxed);
        ampTarget_[1] = ampRight_.load(std::memory_order_relaxed);
        const float frames = ampGlide_.load(std::memory_order_relaxed);
        ampGlideLeft_ = 0;
        // An even glide in dB needs a start and an end of the same sign above 0; anything else changes at once.
        if (frames >= 1.0f && ampNow_[0] > 0 && ampNow_[1] > 0 && ampTarget_[0] > 0 && ampTarget_[1] > 0) {
            ampGlideLeft_ = int(std::min(frames, 1e9f));
            for (int c = 0; c < 2; ++c)
                ampStep_[c] = float(std::pow(double(ampTarget_[c]) / ampNow_[c], 1.0 / ampGlideLeft_));
        } else {
            ampNow_[0] = ampTarget_[0];
            ampNow_[1] = ampTarget_[1];
        }
    }
    if (ampGlideLeft_ > 0) {
        if (--ampGlideLeft_ == 0) {
            ampNow_[0] = ampTarget_[0];
            ampNow_[1] = ampTarget_[1];
        } else {
            ampNow_[0] *= ampStep_[0];
            ampNow_[1] *= ampStep_[1];
        }
    }
    *left *= ampNow_[0];
    *right *= ampNow_[1];
}

void agc_limiter::setPanning(float panning) {
    if (!std::isfinite(panning)) return;
    panning_.store(effectmath::boundedFloat(panning, kMaxGain), std::memory_order_relaxed);
    calcAmp();
}

void agc_limiter::setPanning2(float left, float right) {
    if (std::isfinite(left)) ampLeft_.store(effectmath::boundedFloat(left, kMaxGain), std::memory_order_relaxed);
    if (std::isfinite(right)) ampRight_.store(effectmath::boundedFloat(right, kMaxGain), std::memory_order_relaxed);
    publishAmplification(0.0f);
}

void agc_limiter::calcAmp() {
    const float amp = amplification_.load(std::memory_order_relaxed);
    const float pan = panning_.load(std::memory_order_relaxed);
    ampLeft_.store((1.0f - pan) * amp, std::memory_order_relaxed);
    ampRight_.store((1.0f + pan) * amp, std::memory_order_relaxed);
    publishAmplification(0.0f);
}

float agc_limiter::getCurrentGain() const {
    return (shownGain_[0].load(std::memory_order_relaxed) + shownGain_[1].load(std::memory_order_relaxed)) * 0.5f;
}

void agc_limiter::setBandType(int type) {
    if (type == 1) {
        amplify_.setType(dsp::filter::LowShelf);
        reduction_.setType(dsp::filter::LowShelf);
        detect_.setType(dsp::filter::LowPass);
    } else if (type == 2) {
        amplify_.setType(dsp::filter::HighShelf);
        reduction_.setType(dsp::filter::HighShelf);
        detect_.setType(dsp::filter::HighPass);
    } else {
        type = 0;
    }
    bandMode_.store(type, std::memory_order_relaxed);
}

void agc_limiter::setBandFrequency(float hz) {
    if (!std::isfinite(hz)) return;
    bandFrequency_.store(hz, std::memory_order_relaxed);
    detect_.setFrequency(hz);
    reduction_.setFrequency(hz);
    amplify_.setFrequency(hz);
}

void agc_limiter::setParameter(int id, double value) {
    if (!std::isfinite(value)) return; // a broken value keeps the last good one
    const float v = effectmath::boundedFloat(value, kMaxGain);
    const float amp = amplification_.load(std::memory_order_relaxed);
    switch (id) {
    case 0:
        setAmplification(v);
        break;
    case 1:
        setPanning(v);
        break;
    case 2:
        setPanning2(v * amp, ampRight_.load(std::memory_order_relaxed));
        break;
    case 3:
        setPanning2(ampLeft_.load(std::memory_order_relaxed), v * amp);
        break;
    case 4:
        threshold_.store(v, std::memory_order_relaxed);
        break;
    case 5:
        inputGain_.store(atLeast(v, kMinInputGain), std::memory_order_relaxed);
        break;
    case 6:
        compAttack_.store(atLeast(v, kMinFrames), std::memory_order_relaxed);
        break;
    case 7:
        compRelease_.store(atLeast(v, kMinFrames), std::memory_order_relaxed);
        break;
    case 8:
        forceNoClip_.store(value > 0.5, std::memory_order_relaxed);
        break;
    case 9:
        limiterOn_.store(value > 0.5, std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

double agc_limiter::getParameter(int id) const {
    switch (id) {
    case 0:
        return amplification_.load(std::memory_order_relaxed);
    case 8:
        return forceNoClip_.load(std::memory_order_relaxed) ? 1.0 : 0.0;
    case 10: {
        const float l = shownGain_[0].load(std::memory_order_relaxed);
        const float r = shownGain_[1].load(std::memory_order_relaxed);
        return l < r ? l : r;
    }
    default:
        return 0.0;
    }
}

void agc_limiter::compress(float* left, float* right) {
    const float inputGain = inputGain_.load(std::memory_order_relaxed);
    if (inputGain != 1.0f) {
        *left *= inputGain;
        *right *= inputGain;
    }
    envelope_ *= 0.998f;
    if (++hold_ >= kHoldFrames) {
        envelope_ *= 0.92f;
        hold_ = 0;
    }
    envelope_ = effectmath::flushNonNormal(envelope_);
    for (float level : {std::fabs(*right), std::fabs(*left)}) {
        if (level > envelope_) {
            envelope_ = level;
            hold_ = 0;
        }
    }
    if (envelope_ > threshold_.load(std::memory_order_relaxed))
        compGain_ = moveTowards(compGain_, 1.0f / inputGain, 1.0f / compAttack_.load(std::memory_order_relaxed));
    else
        compGain_ = moveTowards(compGain_, 1.0f, 1.0f / compRelease_.load(std::memory_order_relaxed));
    if (compGain_ != 1.0f) {
        *left *= compGain_;
        *right *= compGain_;
    }
}

agc_limiter::Limits agc_limiter::limits() {
    const float attack = attack_.load(std::memory_order_relaxed), release = release_.load(std::memory_order_relaxed);
    if (attack != stepsAttack_) {
        stepsAttack_ = attack;
        attackStep_ = 1.0f / attack;
    }
    if (release != stepsRelease_) {
        stepsRelease_ = release;
        releaseStep_ = 1.0f / release;
    }
    return Limits{limit_.load(std::memory_order_relaxed), attackStep_, releaseStep_,
                  forceNoClip_.load(std::memory_order_relaxed)};
}

inline void agc_limiter::limitStep(Channel& ch, float a, float* sample, bool wholeBand, Limits limits) {
    const float limit = limits.limit;
    if (std::isnan(a)) a = 0.0f; // one broken sample must not poison the gain for good
    if (a > ch.peak) ch.peak = a;
    ++ch.counter;

    if (ch.counter >= kRearmFrames || ch.peak > limit) {
        float x;
        if (a > limit) {
            x = (limit + ch.lastLevel) * 0.5f / ch.peak;
            if (limits.forceNoClip && ch.gain > x) {
                if (limit >= 32766.0f) {
                    ch.gain = x;
                } else {
                    const float fullScale = kFullScale / ch.peak;
                    if (fullScale < ch.gain) ch.gain = fullScale;
                }
            }
        } else {
            x = ch.peak > 1.0f ? limit / ch.peak : 1.0f;
        }
        if (x > 1.0f) x = 1.0f;
        if (x < 1.0f) x *= 0.97f;
        if (!(ch.counter < kRearmFrames && ch.target <= x)) ch.target = x;
        if (ch.counter >= kRearmFrames) {
            ch.peak = 0;
            ch.counter = 0;
        }
    }

    if (ch.gain - limits.down > ch.target) {
        ch.gain -= limits.down;
    } else {
        const float up = ch.gain + limits.up;
        ch.gain = up < ch.target ? up : ch.target;
    }
    if (wholeBand) {
        // The drop above cushions a rising edge with the previous level, so a steeper next sample could
        // still pass full scale: when forced, the gain goes at once to whatever keeps this sample in range.
        const float level = std::fabs(*sample);
        if (limits.forceNoClip && level * ch.gain > kFullScale) ch.gain = kFullScale / level;
        if (ch.gain != 1.0f && ch.gain > 0.0f) *sample *= ch.gain;
        if (limits.forceNoClip && std::fabs(*sample) > kFullScale)
            *sample = std::copysign(kFullScale, *sample); // rounding of the division above, a few ulps
    }
    ch.lastLevel = a;
}

inline void agc_limiter::limitChannel(int c, float* sample, int band, const Limits& limits) {
    float detected = *sample;
    if (band > 0) detect_.processChannel(c, &detected);
    limitStep(channel_[c], std::fabs(detected), sample, band == 0, limits);
}

void agc_limiter::limitRun(int c, float* samples, int frames, Limits limits) {
    Channel ch = channel_[c]; // state and settings in registers meanwhile
    for (int i = 0; i < frames; ++i)
        limitStep(ch, std::fabs(samples[i]), &samples[i], true, limits);
    channel_[c] = ch;
}

inline void agc_limiter::processFrame(float* left, float* right, int band, const Limits& limits) {
    limitChannel(0, left, band, limits);
    limitChannel(1, right, band, limits);
    if (band > 0) {
        const float mean = (channel_[0].gain + channel_[1].gain) * 0.5f;
        if (mean > 0.0f) reduction_.setGain(20.0f * std::log10(mean));
        reduction_.process(left, right);
    }
}

void agc_limiter::process(float* left, float* right) {
    processBlock(left, right, 1);
}

void agc_limiter::processBlock(float* left, float* right, int frames) {
    const int band = bandMode_.load(std::memory_order_relaxed);
    if (band == 0) {
        for (int i = 0; i < frames; ++i) {
            if (ampGlideLeft_ == 0 && ampVersion_.load(std::memory_order_relaxed) == ampSeen_) {
                // Nothing new and no glide: the amplification stands for the rest of the block.
                const float ampLeft = ampNow_[0], ampRight = ampNow_[1];
                for (; i < frames; ++i) {
                    left[i] *= ampLeft;
                    right[i] *= ampRight;
                }
                break;
            }
            applyAmplification(&left[i], &right[i]);
        }
    } else {
        for (int i = 0; i < frames; ++i)
            amplify_.process(&left[i], &right[i]);
    }
    if (threshold_.load(std::memory_order_relaxed) < 32767.0f)
        for (int i = 0; i < frames; ++i)
            compress(&left[i], &right[i]);
    if (!limiterOn_.load(std::memory_order_relaxed)) return;

    const Limits l = limits();
    if (band == 0) {
        // Whole band: the channels are limited apart, each over the block in a row.
        limitRun(0, left, frames, l);
        limitRun(1, right, frames, l);
    } else {
        for (int i = 0; i < frames; ++i)
            processFrame(&left[i], &right[i], band, l);
    }
    shownGain_[0].store(channel_[0].gain, std::memory_order_relaxed);
    shownGain_[1].store(channel_[1].gain, std::memory_order_relaxed);
}
