#include "analysis/bpm_beatlist.h"

#include <algorithm>
#include <cmath>

bpm_beatlist::bpm_beatlist(int minBPM, int maxBPM, int nbBeats, float threshold, bool decay)
    : m_maxBPM(float(maxBPM)), m_minBPM(float(minBPM)) {
    follower.threshold = threshold;
    follower.decay = decay;
    nbBeats = std::min(std::max(nbBeats, 1), 100000);
    m_times.assign(size_t(nbBeats) + 1, 0.0);
}

bpm_beatlist::~bpm_beatlist() = default;

void bpm_beatlist::AddBeat(double timeMs, bool calculateNow, float strength) {
    m_strengthAverage = m_strengthAverage == 0.0f ? strength : 0.9f * m_strengthAverage + 0.1f * strength;
    std::move(m_times.begin() + 1, m_times.end(), m_times.begin());
    m_times.back() = timeMs;
    m_changed = true;
    if (calculateNow) calculate();
}

void bpm_beatlist::reset() {
    std::fill(m_times.begin(), m_times.end(), 0.0);
    m_bpm = 0.0f;
    m_beatTime = 0.0;
    m_nbBeatsFound = 0;
    m_strengthAverage = 0.0f;
    follower.ratio = 0.6f;
    follower.average = 0.0f;
    follower.peakEnvelope = 0.0f;
    follower.lastDecay = 0.0;
    follower.lastAbove = 0.0;
}

void bpm_beatlist::clearBeats() {
    std::fill(m_times.begin(), m_times.end(), 0.0);
    m_nbBeatsFound = 0;
}

float bpm_beatlist::calculate() {
    if (!m_changed) return m_bpm;
    m_changed = false;
    const std::vector<double>& t = m_times;
    const int N = int(t.size());
    // Interval bounds in ms, worked out in single precision.
    const float iMin = 60000.0f / m_maxBPM, iMax = 60000.0f / m_minBPM;
    int best = 0;
    float result = 0.0f;

    for (int i = 0; i < N - 5; ++i) {
        // An empty slot (0 ms) is no beat: a run starting there would count a beat that never happened.
        if (t[i] <= 0.0) continue;
        double d = t[i + 1] - t[i];
        int skipped = 0; // beats counted by the run that are not in the list (negative) or extra (positive)
        if (d > iMax) {
            d /= 2;
            skipped = -1;
        }
        if (!(iMin < d && d < iMax)) continue;

        int j = i + 1;
        while (j < N - 1) {
            const double p = t[j];
            double e = t[j + 1] - p;
            const bool halved = e > iMax;
            if (halved) e /= 2;
            double x = e - d;
            if (x > 19.0) break;
            if (x < -19.0) {
                // A beat too early: merge the following beats until one lands near the expected time.
                bool lookHalved = false, ended = false;
                int merged = 0;
                for (int k = j + 2;; ++k) {
                    if (k >= N - 1) {
                        ended = true;
                        break;
                    }
                    x = t[k] - p;
                    if (lookHalved) x /= 2;
                    if (x > iMax) {
                        if (lookHalved) {
                            ended = true;
                            break;
                        }
                        x /= 2;
                        lookHalved = true;
                    }
                    x -= d;
                    if (x > 10.0) {
                        ended = true;
                        break;
                    }
                    ++merged;
                    if (!(x < -19.0)) break;
                }
                if (ended) break;
                if (lookHalved) --skipped;
                j += merged;
                skipped += merged;
            }
            // Extra beats between two expected ones are skipped.
            int r = 0;
            while (x < 0.0 && j + r + 2 < N - 1) {
                x = t[j + r + 2] - p - d;
                if (x < 0.0) ++r;
            }
            j += r;
            skipped += r;
            ++j;
            if (halved) --skipped; // a doubled interval counts as two beats
        }

        const int length = j - i - skipped;
        if (length > best && length > 0 && d > 0.0 && j < N) {
            const double span = t[j] - t[i];
            if (span > 0.0) {
                const float tempo = float(60000.0 * length / span);
                if (m_minBPM <= tempo && tempo <= m_maxBPM && std::fabs(60000.0 / d - tempo) < 10.0) {
                    result = tempo;
                    m_beatTime = t[j];
                    best = length;
                }
            }
        }
    }
    m_nbBeatsFound = best;
    m_bpm = result;
    return result;
}
