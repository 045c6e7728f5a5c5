#include "analysis/bpm_wavelist.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

bpm_wavelist::bpm_wavelist(int minBPM, int maxBPM, double seconds, int gridMs) {
    m_gridMs = gridMs > 0 ? gridMs : 12;
    const double lower = minBPM > 90 ? minBPM : 90;
    const double upper = maxBPM > lower ? maxBPM : lower;
    double slots = 1000.0 / m_gridMs * seconds;
    m_slots = int(std::min(std::max(slots, 2.0), 1e6)) + 1;
    m_lagMin = std::max(1, int(60000.0 / upper / m_gridMs * 4));
    m_lagMax = std::min(m_slots - 1, std::max(m_lagMin, int(60000.0 / lower / m_gridMs * 4)));
    m_lagMin = std::min(m_lagMin, m_lagMax);
    m_record.assign(size_t(m_slots), 0);
    m_accumulators.assign(size_t(m_lagMax - m_lagMin + 1), 0);
}

bpm_wavelist::~bpm_wavelist() = default;

void bpm_wavelist::clear() {
    std::fill(m_record.begin(), m_record.end(), int16_t(0));
    m_mean = 0.0;
    m_bpm = 0.0f;
    // Restart the cycle too: slots of a new track starting near 0 ms would otherwise fall before the old
    // cycle's start and the list would stay silent.
    m_lastSlot = -1;
}

void bpm_wavelist::AddSample(double timeMs, double value) {
    if (m_lastSlot == -1) {
        m_cycleStart = timeMs;
        std::fill(m_accumulators.begin(), m_accumulators.end(), 0);
        m_runningMean = 0.0;
        m_bestValue = -1;
    }
    const double due = (timeMs - m_cycleStart) / m_gridMs;
    if (!(due >= 0.0)) return;
    const int dueSlot = due > m_slots - 1 ? m_slots - 1 : int(due);
    // The level is kept in 16 bits at 1/256 steps.
    const double scaled = std::isnan(value) ? 0.0 : std::min(std::max(value * 256.0, -32768.0), 32767.0);
    const int16_t level = int16_t(scaled);
    while (m_lastSlot < dueSlot) {
        const int s = ++m_lastSlot;
        m_record[size_t(s)] = level;
        m_runningMean += double(level) / (m_slots - 1);
        if (s > m_lagMax) {
            for (int lag = m_lagMin; lag <= m_lagMax; ++lag)
                m_accumulators[size_t(lag - m_lagMin)] += std::abs(level - m_record[size_t(s - lag)]);
        }
        if (s == m_slots - 1) {
            for (int lag = m_lagMin; lag <= m_lagMax; ++lag) {
                int v = m_accumulators[size_t(lag - m_lagMin)];
                if (m_bestValue < 0 || v < m_bestValue) {
                    m_bestValue = v;
                    m_bestBPM = float(240000.0 / (lag * m_gridMs)); // the lag spans four beats
                }
            }
        }
    }
    if (m_lastSlot == m_slots - 1) {
        m_bpm = m_bestBPM;
        m_mean = m_runningMean;
        m_error = int(std::min(m_bestValue * m_runningMean / 256.0, 2147483647.0));
        m_lastSlot = -1;
    }
}
