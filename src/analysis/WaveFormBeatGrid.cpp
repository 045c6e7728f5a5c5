// The beat grid of a waveform: beats at sample positions (eight slots per second of track), the grid tempo and
// first beat, the beats' numbers within an eight-beat cycle, and the grid beat nearest a position.
#include "analysis/WaveForm.h"

#include "dsp/filter.h"

#include <algorithm>
#include <cmath>
#include <limits>

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
    m_beatIndexValid = false;
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
    m_beatIndexValid = false;
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
    m_beatIndexValid = false;
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

namespace {

bool isUser(int type) {
    return type == WaveForm::BEAT_USER;
}

// The scan's distance from a beat to a query.
double scanDistance(double beat, unsigned position) {
    return std::fabs(std::trunc(beat - double(position)));
}

const int64_t kNoQuery = int64_t(1) << 33; // beyond every unsigned position

} // namespace

void WaveForm::BeatIndex::build(const std::vector<Beat>& beats, bool (*kind)(int)) {
    slots.clear();
    for (size_t j = 0; j < beats.size(); ++j)
        if (kind(beats[j].type)) slots.push_back(int(j));
    const size_t pairs = slots.empty() ? 0 : slots.size() - 1;
    low.assign(pairs, -1);
    high.assign(pairs, kNoQuery);
    blockMax.assign(beats.size() / kBlockSlots + 1, -std::numeric_limits<double>::infinity());
    for (int slot : slots) {
        double& m = blockMax[size_t(slot / kBlockSlots)];
        m = std::max(m, double(beats[size_t(slot)].strength) + double(beats[size_t(slot)].onsetRatio));
    }
    for (size_t i = 0; i < pairs; ++i) {
        const double a = beats[size_t(slots[i])].position, b = beats[size_t(slots[i + 1])].position;
        // Whether the scan goes on from beat a to beat b for a query: b strictly nearer.
        auto goesOn = [a, b](int64_t q) { return scanDistance(b, unsigned(q)) < scanDistance(a, unsigned(q)); };
        const int64_t last = 4294967295;
        // For whole-number queries the distances are linear between the beats, which gives the turning query
        // outright; it is checked, and a bisection over every query stands in when the check fails.
        const bool finite = std::isfinite(a) && std::isfinite(b) && a >= 0 && b >= 0 && a <= last && b <= last;
        if (b >= a && finite) {
            const int64_t t = int64_t(std::floor((std::ceil(a) + std::floor(b)) / 2)) + 1;
            if (t >= 1 && t <= last && goesOn(t) && !goesOn(t - 1)) {
                low[i] = t;
                if (i > 0) {
                    low[i] = std::max(low[i], low[i - 1]);
                    high[i] = std::min(high[i], high[i - 1]);
                }
                continue;
            }
        } else if (finite) {
            const int64_t u = int64_t(std::ceil((std::floor(a) + std::ceil(b)) / 2)) - 1;
            if (u >= 0 && u < last && goesOn(u) && !goesOn(u + 1)) {
                high[i] = u;
                if (i > 0) {
                    low[i] = std::max(low[i], low[i - 1]);
                    high[i] = std::min(high[i], high[i - 1]);
                }
                continue;
            }
        }
        if (b >= a) {
            // Goes on for the queries from some point up (b after a): the lowest one, or none.
            int64_t lo = 0, hi = last;
            if (!goesOn(hi)) {
                lo = kNoQuery;
            } else {
                while (lo < hi) {
                    const int64_t mid = lo + (hi - lo) / 2;
                    if (goesOn(mid))
                        hi = mid;
                    else
                        lo = mid + 1;
                }
            }
            low[i] = lo;
        } else {
            // Goes on for the queries up to some point (b before a): the highest one, or none.
            int64_t lo = 0, hi = last;
            if (!goesOn(lo)) {
                hi = -1;
            } else {
                while (lo < hi) {
                    const int64_t mid = hi - (hi - lo) / 2;
                    if (goesOn(mid))
                        lo = mid;
                    else
                        hi = mid - 1;
                }
            }
            high[i] = hi;
        }
        if (i > 0) {
            low[i] = std::max(low[i], low[i - 1]);
            high[i] = std::min(high[i], high[i - 1]);
        }
    }
}

int WaveForm::BeatIndex::nearest(unsigned position) const {
    if (slots.empty()) return -1;
    // The first pair that stops the scan: stopping at pair i means stopping at some pair up to i, a property
    // that only turns from false to true along the pairs.
    const int64_t q = position;
    size_t lo = 0, hi = low.size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (low[mid] > q || high[mid] < q)
            hi = mid;
        else
            lo = mid + 1;
    }
    return slots[lo < low.size() ? lo : slots.size() - 1];
}

void WaveForm::validateBeatIndexLocked() {
    if (m_beatIndexValid) return;
    m_detectedIndex.build(m_beats, isDetected);
    m_userIndex.build(m_beats, isUser);
    m_beatIndexValid = true;
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

    // The nearest beat of a kind: the beat a scan in table order ends on, taking each next beat of the kind while
    // the distance shrinks (found by bisection, see BeatIndex).
    validateBeatIndexLocked();

    int chosen;
    double tempo;
    if (m_userBeats == 0) {
        updateBeatInMeasuresLocked();
        chosen = m_detectedIndex.nearest(position);
        if (chosen < 0) return -1;
        // A strong, clear beat nearby may stand in for the nearest one.
        const int c = std::min(count - 1, toIndex(count * pos / m_gridLength));
        const int w = slotsSpanning(128);
        const int last = std::min(count - 1, c + w);
        const int B = BeatIndex::kBlockSlots;
        for (int j = std::max(0, c - w); j <= last;) {
            // A block none of whose beats can outscore the chosen one is passed over whole.
            const int blockEnd = std::min(last, (j / B + 1) * B - 1);
            const int closest = c < j ? j : c > blockEnd ? blockEnd : c;
            const double bound = m_detectedIndex.blockMax[size_t(j / B)] - std::abs(c - closest) / 4;
            const double threshold = m_beats[size_t(chosen)].strength;
            if (bound + 1e-3 * (1 + std::fabs(bound)) < threshold) {
                j = blockEnd + 1;
                continue;
            }
            for (; j <= blockEnd; ++j) {
                const Beat& b = m_beats[size_t(j)];
                if (!isDetected(b.type)) continue;
                const double score = b.strength - std::abs(c - j) / 4 + b.onsetRatio;
                if (score > m_beats[size_t(chosen)].strength) chosen = j;
            }
        }
        tempo = m_beats[size_t(chosen)].strength > 50 ? m_beats[size_t(chosen)].bpm : m_gridBPM;
    } else {
        chosen = m_userIndex.nearest(position);
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
