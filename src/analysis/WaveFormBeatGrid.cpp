// The beat grid of a waveform: beats at sample positions (eight slots per second of track), the grid tempo and
// first beat, the beats' numbers within an eight-beat cycle, and the grid beat nearest a position.
#include "analysis/WaveForm.h"

#include "dsp/filter.h"

#include <algorithm>
#include <cmath>

namespace {
bool isDetected(int type) {
    return type == WaveForm::BEAT_STRONG || type == WaveForm::BEAT_WEAK;
}

// (n mod 8) + 1 for a whole number n held as a double (however large), the remainder taking n's sign, as the
// beats are numbered.
int beatNumber(double n) {
    return std::isfinite(n) ? int(std::fmod(n, 8.0)) + 1 : 1;
}
} // namespace

void WaveForm::resetGridLocked(double rate, double length) {
    int count = 1;
    if (length > 0 && rate > 0) count = int(std::min(length * 8 / rate, double(kMaxBeatSlots - 1))) + 1;
    m_beats.assign(size_t(count), Beat());
    m_gridBPM = 50;
    m_gridWeight = 0;
    m_firstBeat = 0;
    m_strongBeats = m_userBeats = 0;
    m_gridChanged = false;
    m_gridLength = length > 0 ? length : 0;
    m_gridRate = rate > 0 ? rate : 44100;
    m_deferredBPM.store(-1, std::memory_order_relaxed);
}

int WaveForm::homeSlot(double position) const {
    const double slot = position / m_gridLength * double(m_beats.size());
    if (!(slot > 0)) return 0;
    return slot >= double(m_beats.size()) ? int(m_beats.size()) : int(slot);
}

int WaveForm::slotsSpanning(double beats) const {
    if (!(m_gridBPM > 0) || !(m_gridLength > 0)) return 0;
    const double frames = beats * m_gridRate * 60 / m_gridBPM;
    const double slots = frames / m_gridLength * double(m_beats.size());
    return slots >= double(m_beats.size()) ? int(m_beats.size()) : slots > 0 ? int(slots) : 0;
}

void WaveForm::applyDeferredTempoLocked() {
    const double bpm = m_deferredBPM.exchange(-1, std::memory_order_relaxed);
    if (bpm < 0) return;
    const float weight = m_deferredWeight.load(std::memory_order_relaxed);
    if (weight >= m_gridWeight && bpm > 5) {
        m_gridBPM = bpm;
        m_gridWeight = weight;
        m_gridChanged = true;
    }
}

void WaveForm::addBeat(unsigned position, float strength, double bpm, float weight, bool marker, bool user) {
    // The onset search reads the player's samples for a while: done before the lock is taken.
    double refined = position;
    float onsetRatio = 0;
    const bool moved = !user && bpm > 1 && m_track && refineBeat(position, bpm, &refined, &onsetRatio);

    std::unique_lock<std::mutex> lock(m_beatLock, std::defer_lock);
    if (user)
        lock.lock(); // the user's beat is never dropped for a busy lock
    else if (!lock.try_lock())
        return;
    applyDeferredTempoLocked();
    if (!(m_gridLength > 0) || m_beats.empty()) return;

    size_t slot = size_t(homeSlot(position));
    while (slot < m_beats.size() && m_beats[slot].type != BEAT_EMPTY)
        ++slot;
    if (slot >= m_beats.size()) return;
    Beat& b = m_beats[slot];
    b.position = moved ? refined : double(position);
    b.beatInMeasure = -1;
    if (user) {
        b.type = BEAT_USER;
        b.beatInMeasure = 1;
        ++m_userBeats;
    } else if (marker) {
        b.type = BEAT_MARKER;
    } else if (strength >= 10) {
        b.type = BEAT_STRONG;
        ++m_strongBeats;
    } else {
        b.type = BEAT_WEAK;
    }
    b.strength = strength;
    b.bpm = bpm;
    b.onsetRatio = moved ? onsetRatio : 0;
    m_gridChanged = true;
    if (weight > m_gridWeight && bpm > 0) {
        m_gridWeight = weight;
        m_gridBPM = bpm;
    }
}

bool WaveForm::refineBeat(double position, double bpm, double* refined, float* onsetRatio) {
    if (!m_lowPass || !m_highPass) return false;
    const double rate = m_track->getFileRate();
    if (!(rate > 0 && rate < 1e7)) return false;
    const double span = rate * 60 / bpm; // frames per beat
    const double start = std::floor(position - 0.6 * span);
    const double end = position + 0.6 * span;
    const int w = std::max(1, int(rate * 3 / 1000)); // 3 ms windows
    const double windows = std::floor((end - start) / w);
    const int n = int(std::min(1024.0, windows));
    if (n < 10) return false;

    std::lock_guard<std::mutex> guard(m_refineLock);
    m_lowPass->setSamplerate(float(rate));
    m_highPass->setSamplerate(float(rate));
    float energy[1024];
    double frame = start;
    for (int m = 0; m < n; ++m) {
        double sum = 0;
        for (int k = 0; k < w; ++k, frame += 1) {
            float x = frame >= 0 && frame < 4294967295.0 ? m_track->getSample(unsigned(frame), 0) : 0.0f;
            m_lowPass->processMono(&x);
            m_highPass->processMono(&x);
            sum += std::fabs(x);
        }
        energy[m] = float(sum / w);
    }

    const int half = n / 2;
    double total = 0, largest = -1, best = position;
    int examined = 0;
    for (int m = 4; m < n - 5; ++m) {
        double rise = (energy[m + 1] + energy[m + 2] + energy[m + 3] + energy[m + 4]) / 4.0 -
                      (energy[m - 1] + energy[m - 2] + energy[m - 3] + energy[m - 4]) / 4.0;
        if (rise < 0) rise = 0;
        total += rise;
        ++examined;
        // A rise in the middle of the span counts fully, one at its edges half.
        const double weighted = rise * (0.5 + 0.5 * (half - std::abs(half - m)) / double(half));
        if (weighted > largest) {
            largest = weighted;
            best = start + double(w) * m;
        }
    }
    const double average = examined > 0 ? total / examined : 0;
    if (!(average > 0) || !(largest / average > 3)) return false;
    *refined = std::max(0.0, best);
    *onsetRatio = float(largest / average);
    return true;
}

void WaveForm::setBPM(double bpm, float weight) {
    std::unique_lock<std::mutex> lock(m_beatLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        // The loading thread never waits: the next holder of the lock applies the proposal.
        m_deferredWeight.store(weight, std::memory_order_relaxed);
        m_deferredBPM.store(bpm, std::memory_order_relaxed);
        return;
    }
    applyDeferredTempoLocked();
    if (weight >= m_gridWeight && bpm > 5) {
        m_gridBPM = bpm;
        m_gridWeight = weight;
        m_gridChanged = true;
    }
}

void WaveForm::setFirstBeat(unsigned position) {
    std::lock_guard<std::mutex> guard(m_beatLock);
    m_firstBeat = position;
    m_gridChanged = true;
}

void WaveForm::clearUserBeats() {
    std::lock_guard<std::mutex> guard(m_beatLock);
    for (Beat& b : m_beats)
        if (b.type == BEAT_USER) b = Beat();
    m_userBeats = 0;
}

double WaveForm::getGridBPM() const {
    std::lock_guard<std::mutex> guard(m_beatLock);
    return m_gridBPM;
}

int WaveForm::getNbBeatSlots() const {
    std::lock_guard<std::mutex> guard(m_beatLock);
    return int(m_beats.size());
}

void WaveForm::updateBeatInMeasures() {
    std::lock_guard<std::mutex> guard(m_beatLock);
    applyDeferredTempoLocked();
    updateBeatInMeasuresLocked();
}

void WaveForm::updateBeatInMeasuresLocked() {
    if (!(m_gridLength > 0) || m_beats.empty() || !m_gridChanged) return;
    m_gridChanged = false;
    const int count = int(m_beats.size());
    const double f = m_firstBeat;

    int k = -1;
    for (int j = std::max(0, std::min(count - 1, homeSlot(f) - 1)); j < count; ++j) {
        if (m_beats[size_t(j)].type != BEAT_EMPTY && m_beats[size_t(j)].position >= f) {
            k = j;
            break;
        }
    }
    if (k < 0) return;

    const int wanted = m_strongBeats > 0 ? BEAT_STRONG : BEAT_WEAK;
    if (m_beats[size_t(k)].type != BEAT_STRONG) {
        for (int j = k + 1; j < count; ++j) {
            if (m_beats[size_t(j)].type == wanted) {
                k = j;
                break;
            }
        }
    }
    // The strongest beat of the wanted kind within 36 beats becomes the reference.
    const int w = slotsSpanning(36);
    int best = k;
    for (int j = std::max(0, k - w); j <= std::min(count - 1, k + w); ++j) {
        const Beat& b = m_beats[size_t(j)];
        if (b.type == wanted && b.strength > m_beats[size_t(best)].strength) best = j;
    }
    k = best;

    double B = m_gridRate * 60 / m_gridBPM;
    m_beats[size_t(k)].beatInMeasure = beatNumber(std::trunc((m_beats[size_t(k)].position - f) / B + 0.5));
    int reference = k;
    for (int j = k + 1; j < count; ++j) {
        Beat& b = m_beats[size_t(j)];
        if ((b.type == BEAT_USER || (b.type != BEAT_EMPTY && b.strength > 40)) && b.bpm > 0)
            B = m_gridRate * 60 / b.bpm;
        if (isDetected(b.type) || b.type == BEAT_MARKER) {
            const Beat& ref = m_beats[size_t(reference)];
            b.beatInMeasure = beatNumber(std::trunc((b.position - ref.position) / B + 0.5) + ref.beatInMeasure - 1);
            if (b.strength >= ref.strength || b.strength > 80) reference = j;
        }
    }
}

double WaveForm::getClosestBeat(unsigned position, bool grid, double* beatPosition, double* strength,
                                double* onsetRatio, double* bpm) {
    std::lock_guard<std::mutex> guard(m_beatLock);
    applyDeferredTempoLocked();
    if (!(m_gridLength > 0) || m_beats.empty()) return -1;
    const int count = int(m_beats.size());
    const double pos = position;

    if (!grid) {
        for (int j = std::max(0, std::min(count - 1, homeSlot(pos) - 1)); j < count; ++j) {
            const Beat& b = m_beats[size_t(j)];
            if (b.type != BEAT_EMPTY && b.position >= pos) return std::floor(b.position);
        }
        return -1;
    }

    // The nearest beat of a kind, scanning in table order until the distance stops shrinking.
    auto nearest = [&](bool (*kind)(int)) {
        int chosen = -1;
        double best = 0;
        for (int j = 0; j < count; ++j) {
            const Beat& b = m_beats[size_t(j)];
            if (!kind(b.type)) continue;
            const double d = std::fabs(std::trunc(b.position - pos));
            if (chosen >= 0 && !(d < best)) break;
            chosen = j;
            best = d;
        }
        return chosen;
    };

    int chosen;
    double tempo;
    if (m_userBeats == 0) {
        updateBeatInMeasuresLocked();
        chosen = nearest(isDetected);
        if (chosen < 0) return -1;
        // A strong, clear beat nearby may stand in for the nearest one.
        const int c = std::min(count - 1, toIndex(count * pos / m_gridLength));
        const int w = slotsSpanning(128);
        for (int j = std::max(0, c - w); j <= std::min(count - 1, c + w); ++j) {
            const Beat& b = m_beats[size_t(j)];
            if (!isDetected(b.type)) continue;
            const double score = b.strength - std::abs(c - j) / 4 + b.onsetRatio;
            if (score > m_beats[size_t(chosen)].strength) chosen = j;
        }
        tempo = m_beats[size_t(chosen)].strength > 50 ? m_beats[size_t(chosen)].bpm : m_gridBPM;
    } else {
        chosen = nearest([](int type) { return type == BEAT_USER; });
        if (chosen < 0) return -1;
        tempo = m_beats[size_t(chosen)].bpm > 5 ? m_beats[size_t(chosen)].bpm : m_gridBPM;
        if (m_userBeats >= 2) {
            // A whole number of beats fits between neighbouring user beats.
            double gap = -1;
            for (int j = chosen + 1; j < count; ++j) {
                if (m_beats[size_t(j)].type == BEAT_USER) {
                    gap = m_beats[size_t(j)].position - m_beats[size_t(chosen)].position;
                    break;
                }
            }
            for (int j = chosen - 1; j >= 0; --j) {
                if (m_beats[size_t(j)].type == BEAT_USER) {
                    const double g = m_beats[size_t(chosen)].position - m_beats[size_t(j)].position;
                    gap = gap < 0 ? g : std::min(gap, g);
                    break;
                }
            }
            if (gap > 0 && tempo > 0) {
                const double beats = std::max(1.0, std::trunc(gap / (m_gridRate * 60 / tempo) + 0.5));
                tempo = m_gridRate * 60 / (gap / beats);
            }
        }
    }
    // A tempo of no musical meaning (0, negative, absurd) falls back to the grid's, then to 50 BPM.
    if (!(tempo > 0.001 && tempo < 1e6)) tempo = m_gridBPM > 0.001 && m_gridBPM < 1e6 ? m_gridBPM : 50;

    const Beat& ref = m_beats[size_t(chosen)];
    const double B = m_gridRate * 60 / tempo;
    double p = ref.position;
    // Whole beats from the reference to the query, kept in doubles: a tiny beat length makes huge counts.
    double m = ref.beatInMeasure - 1;
    if (p > pos + B / 2) {
        const double k = std::ceil((p - (pos + B / 2)) / B);
        p -= k * B;
        m -= k;
    }
    if (pos - B / 2 > p) {
        const double k = std::ceil((pos - B / 2 - p) / B);
        p += k * B;
        m += k;
    }
    m = std::isfinite(m) ? std::fmod(std::fmod(m, 8.0) + 8.0, 8.0) : 0;
    if (beatPosition) *beatPosition = ref.position;
    if (strength) *strength = ref.strength;
    if (onsetRatio) *onsetRatio = ref.onsetRatio;
    if (bpm) *bpm = tempo;
    return std::trunc(p) + (std::trunc(m) + 1) / 10.0;
}
