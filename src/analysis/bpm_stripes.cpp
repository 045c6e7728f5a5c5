#include "analysis/bpm_stripes.h"

#include <algorithm>
#include <cmath>

bpm_stripes::bpm_stripes(double rate, double minBPM, double maxBPM, double step)
    : m_rate(44100.0), m_minBPM(minBPM > 1.0 ? minBPM : 1.0), m_step(step > 0.0 ? step : 0.1), m_samplesPerStep(294) {
    int count = int(std::min(std::max((maxBPM - m_minBPM) / m_step + 0.5, 1.0), 100000.0));
    m_accumulators.assign(size_t(count), 0.0);
    m_ring.assign(size_t(60.0 / m_minBPM * kBeatSpan * kStepsPerSecond + 1), 0.0);
    const int ringLength = int(m_ring.size());
    for (int i = 0; i < count; ++i) {
        double bpm = m_minBPM + i * m_step;
        m_lag16.push_back(std::min(int(16 * 60.0 / bpm * kStepsPerSecond), ringLength - 1));
        m_lag8.push_back(std::min(int(kStepsPerSecond * (8 * 60.0 / bpm)), ringLength - 1));
    }
    setSamplerate(rate);
}

void bpm_stripes::setSamplerate(double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate)) return;
    m_rate = rate;
    // Below 150 Hz a step would hold no sample at all.
    m_samplesPerStep = std::max(1, int(std::min(rate / kStepsPerSecond, 1e9)));
}

void bpm_stripes::reset() {
    std::fill(m_accumulators.begin(), m_accumulators.end(), 0.0);
    m_write = 0;
    m_stepSamples = 0;
    m_full = false;
    m_samples = 0;
    m_ring[0] = 0.0;
}

void bpm_stripes::process(float x) {
    m_ring[size_t(m_write)] += std::fabs(x);
    ++m_samples;
    if (++m_stepSamples < m_samplesPerStep) return;

    const int length = int(m_ring.size());
    const double now = m_ring[size_t(m_write)];
    if (m_full) {
        for (size_t i = 0; i < m_accumulators.size(); ++i) {
            int back16 = m_write - m_lag16[i], back8 = m_write - m_lag8[i];
            if (back16 < 0) back16 += length;
            if (back8 < 0) back8 += length;
            m_accumulators[i] = m_accumulators[i] * 0.999984 + std::fabs(now - m_ring[size_t(back16)]) +
                                std::fabs(now - m_ring[size_t(back8)]);
        }
    }
    if (++m_write == length) {
        m_write = 0;
        m_full = true;
    }
    m_ring[size_t(m_write)] = 0.0;
    m_stepSamples = 0;
}

float bpm_stripes::getBPM() {
    const int count = int(m_accumulators.size());
    int winner = 0;
    for (int i = 1; i < count; ++i)
        if (m_accumulators[size_t(i)] < m_accumulators[size_t(winner)]) winner = i;
    const double w = m_minBPM + winner * m_step;
    const double apart = 4 * m_step; // 0.4 BPM at the usual step
    int rival = -1;
    for (int i = 0; i < count; ++i) {
        const double b = m_minBPM + i * m_step;
        if (std::fabs(b - w) <= apart || std::fabs(b / 2 - w) <= apart || std::fabs(2 * b - w) <= apart) continue;
        if (rival < 0 || m_accumulators[size_t(i)] < m_accumulators[size_t(rival)]) rival = i;
    }
    const double best = m_accumulators[size_t(winner)];
    if (best > 0.0 && rival >= 0 && m_accumulators[size_t(rival)] > 0.0)
        m_accuracy = 1.0 - best / m_accumulators[size_t(rival)];
    return float(w);
}

float bpm_stripes::getAccuracy() {
    if (!m_full) return 0.0f;
    getBPM();
    const double seconds = double(m_samples) / m_rate;
    const double scale = seconds < 32.0 ? 10.0 : seconds < 120.0 ? 40.0 : 100.0;
    return float(m_accuracy * scale);
}
