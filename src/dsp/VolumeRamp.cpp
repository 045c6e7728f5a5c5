#include "dsp/VolumeRamp.h"

#include <cmath>

VolumeRamp::VolumeRamp(double sampleRate) {
    m_rate = sampleRate < 1.0 || !std::isfinite(sampleRate) ? 44100.0 : sampleRate;
    m_fastStep.store(m_rate / 44100.0 * 0.002, std::memory_order_relaxed);
    m_slowStep.store(m_rate / 44100.0 * 0.0004, std::memory_order_relaxed);
}

VolumeRamp::~VolumeRamp() = default;

void VolumeRamp::setVolume(double target) {
    // A NaN target would never be reached and would poison whatever the gain feeds.
    if (!std::isfinite(target)) return;
    m_target.store(target, std::memory_order_relaxed);
}

void VolumeRamp::setPan(double pan) {
    if (std::isnan(pan)) return;
    m_pan.store(pan < 0.0 ? 0.0 : pan > 1.0 ? 1.0 : pan, std::memory_order_relaxed);
    m_panChanged.store(true, std::memory_order_release);
}

void VolumeRamp::setFastRamp(double step) {
    if (step > 0.0 && std::isfinite(step)) m_fastStep.store(step, std::memory_order_relaxed);
}

void VolumeRamp::setSlowRamp(double step) {
    if (step > 0.0 && std::isfinite(step)) m_slowStep.store(step, std::memory_order_relaxed);
}

void VolumeRamp::setSamplerate(double rate) {
    if (!(rate >= 1.0) || !std::isfinite(rate) || rate == m_rate) return;
    double scale = rate / m_rate;
    m_fastStep.store(m_fastStep.load(std::memory_order_relaxed) * scale, std::memory_order_relaxed);
    m_slowStep.store(m_slowStep.load(std::memory_order_relaxed) * scale, std::memory_order_relaxed);
    m_rate = rate;
}

bool VolumeRamp::rampPending() const {
    return m_current.load(std::memory_order_relaxed) != m_target.load(std::memory_order_relaxed) ||
           m_panChanged.load(std::memory_order_relaxed);
}

void VolumeRamp::doRamp() {
    bool panChanged =
        m_panChanged.load(std::memory_order_relaxed) && m_panChanged.exchange(false, std::memory_order_acquire);
    double current = m_current.load(std::memory_order_relaxed);
    const double target = m_target.load(std::memory_order_relaxed);
    if (current == target && !panChanged) return;

    const double fast = m_fastStep.load(std::memory_order_relaxed);
    const double slow = m_slowStep.load(std::memory_order_relaxed);
    const double gap = std::fabs(current - target);
    if (gap >= 2.0 * fast)
        current += target > current ? fast : -fast;
    else if (gap >= slow)
        current += target > current ? slow : -slow;
    else
        current = target;
    m_current.store(current, std::memory_order_relaxed);

    const double pan = m_pan.load(std::memory_order_relaxed);
    m_leftGain = float(std::fmin(1.0, 2.0 - 2.0 * pan) * current);
    m_rightGain = float(std::fmin(1.0, 2.0 * pan) * current);
}

void VolumeRamp::process(float* left, float* right) {
    if (rampPending()) doRamp();
    *left *= m_leftGain;
    *right *= m_rightGain;
}

void VolumeRamp::processWithPan(float* left, float* right) {
    doRamp();
    const double pan = m_pan.load(std::memory_order_relaxed);
    if (pan < 0.1) {
        *left *= float(m_current.load(std::memory_order_relaxed));
        *right = 0.0f;
    } else if (pan > 0.9) {
        *left = 0.0f;
        *right *= float(m_current.load(std::memory_order_relaxed));
    } else {
        *left *= m_leftGain;
        *right *= m_rightGain;
    }
}

float VolumeRamp::processSample(float sample) {
    doRamp();
    return sample * m_leftGain;
}

void VolumeRamp::processSamples(float* left, float* right, int count) {
    if (rampPending()) {
        for (int i = 0; i < count; ++i)
            process(&left[i], &right[i]);
        return;
    }
    for (int i = 0; i < count; ++i) {
        left[i] *= m_leftGain;
        right[i] *= m_rightGain;
    }
}

void VolumeRamp::processAndMix(float** in, float** out, int channels, int frames) {
    if (channels > 2) channels = 2;
    if (channels <= 0 || frames <= 0) return;
    if (rampPending()) {
        for (int i = 0; i < frames; ++i) {
            doRamp();
            out[0][i] += in[0][i] * m_leftGain;
            if (channels > 1) out[1][i] += in[1][i] * m_rightGain;
        }
        return;
    }
    // No ramp: the gains stay, and each channel is one loop the compiler can run several samples at a time.
    const float leftGain = m_leftGain, rightGain = m_rightGain;
    for (int i = 0; i < frames; ++i)
        out[0][i] += in[0][i] * leftGain;
    if (channels > 1)
        for (int i = 0; i < frames; ++i)
            out[1][i] += in[1][i] * rightGain;
}
