// The signal path of the timecode decoder (audio thread): peak detection, direction, pitch, classification of
// the peaks into code bits, the code searches of every record type and the taking of a found code.
#include "audio/vinyl/FinalScratch.h"
#include "audio/vinyl/TimecodeCodes.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr auto R = std::memory_order_relaxed;
constexpr int kRing = FinalScratch::kRingLength;
constexpr int kRangeSamples = 2881; // both channels counted together
constexpr int kWaitCap = 1 << 20;
constexpr int32_t kSideB = kSideBTimeOffset;

// Ring index arithmetic stays within one turn either way: no division.
int wrap(int i, int n) {
    return i < 0 ? i + n : i >= n ? i - n : i;
}

int registerLength(int type) {
    return type == TIMECODE_SERATO ? 81 : 151;
}

// Quarter-cycle places of the two peaks that carry one register bit, record-earlier first.
void registerPair(int type, int& early, int& late) {
    if (type == TIMECODE_SERATO) {
        early = 2; // right minimum
        late = 3;  // left minimum
    } else if (type == TIMECODE_MV) {
        early = 0; // right maximum
        late = 2;
    } else {
        early = 1; // left maximum
        late = 3;
    }
}

const int kSync[4] = {2, -2, 2, -1}; // record order: large max, large min, large max, small min

int16_t toInt16(float v) {
    if (!(v > -32768.0f)) return v != v ? 0 : -32768; // NaN reads as silence
    if (v > 32767.0f) return 32767;
    return int16_t(v);
}

// Input samples that are not numbers read as silence; absurdly large ones (no sound card delivers them) are held
// at a bound, so that the filters and the detectors only see numbers.
float saneSample(float v) {
    constexpr float kLimit = 1e8f; // 16-bit scale
    if (!std::isfinite(v)) return 0.0f;
    return std::min(std::max(v, -kLimit), kLimit);
}

int bumpCounter(int n) {
    return n >= 1000000 ? 0 : n + 1;
}

} // namespace

// ---- Peaks ----

const FinalScratch::Peak& FinalScratch::peakAt(const Detector& d, int c, int back) const {
    return d.ring[c][wrap(d.index[c] - 1 - back, kRing)];
}

int FinalScratch::hysteresisFor(double swing) const {
    const double h = std::min(swing * 0.12, 1e9);
    return std::max(std::min(int(h), m_maxHysteresis.load(R)), m_minHysteresis.load(R));
}

// A signal whose level falls far below the one its hysteresis was measured on swings within the hysteresis and
// closes no peak until a range window of the quieter samples alone has been measured, 33 to 65 ms at 44.1 kHz:
// the record seems to stand meanwhile, and the deck falls behind it (by more than the drift correction mends
// quickly, less than a jump). The channels run a quarter period apart, so while the carrier plays, stands or
// turns at its level, one of them is always more than half its smaller peaks away from the middle, well beyond
// half the hysteresis. Half a null pass with both nearer shows the fall: each detector's hysteresis is measured
// on those samples at once, and its range window goes on from them. The raw input decides, as the band filters
// take away the carrier of a record that turns or stands.
void FinalScratch::watchLevel(float raw, float filtered, bool band) {
    QuietStretch& q = m_quiet;
    if (std::fabs(raw - m_raw.middle) * 2 >= float(m_raw.hysteresis)) {
        if (q.samples != 0) q = QuietStretch();
        return;
    }
    q.rawHigh = std::max(q.rawHigh, raw);
    q.rawLow = std::min(q.rawLow, raw);
    q.filteredHigh = std::max(q.filteredHigh, filtered);
    q.filteredLow = std::min(q.filteredLow, filtered);
    if (++q.samples < std::max(int(getNullPassTimeSamples()), 2)) return; // both channels: half a null pass
    auto fall = [this](Detector& d, float high, float low) {
        const int h = hysteresisFor(double(high) - low);
        if (h >= d.hysteresis) return;
        d.hysteresis = h;
        d.high = high;
        d.low = low;
    };
    fall(m_raw, q.rawHigh, q.rawLow);
    if (band) fall(m_filtered, q.filteredHigh, q.filteredLow);
    q = QuietStretch();
}

bool FinalScratch::detect(Detector& d, int c, float x, bool isRaw) {
    if (x > d.high) d.high = x;
    if (x < d.low) d.low = x;
    if (++d.count >= kRangeSamples) {
        const double gain = m_inputGain.load(R);
        // Held within a billion 16-bit units, so that the average range stays an int whatever the input.
        const float r = float(std::min((double(d.high) - d.low) / gain, 1e9));
        d.range = r;
        if (isRaw) {
            m_averageRange.store(int((r + m_averageRange.load(R)) / 2), R);
            m_lastRange.store(r, R);
        }
        d.middle = (d.high + d.low) / 2;
        d.high = d.low = 0;
        d.count = 0;
        d.hysteresis = hysteresisFor(double(r) * gain);
    }
    Peak* ring = d.ring[c];
    int i = d.index[c];
    Peak& s = ring[i];
    const Peak& p = ring[wrap(i - 1, kRing)];
    // A top flattened by clipping, quantisation or the filters' ripple (values within 1/256 of the extreme)
    // counts as one peak in its middle.
    const float flatness = std::fabs(s.value) * (1.0f / 256);
    const bool near = std::fabs(x - s.value) <= flatness;
    if ((x > p.value && x > s.value) || (x < p.value && x < s.value)) {
        if (!near) {
            s.time = m_frameCount;
            s.flat = 0;
        } else {
            s.flat = int32_t(std::min<int64_t>(m_frameCount - s.time, 1 << 30));
        }
        s.value = x;
    } else if (near && x != p.value) {
        s.flat = int32_t(std::min<int64_t>(m_frameCount - s.time, 1 << 30));
    }
    const float h = float(d.hysteresis);
    const bool closesMax = s.value > p.value && x < s.value - h;
    const bool closesMin = s.value < p.value && x > s.value + h;
    if (!closesMax && !closesMin) return false;
    s.kind = closesMax ? 1 : -1;
    s.time += s.flat / 2;
    // After a pause (needle lifted, silence) the peaks before it do not continue the ones after it: codes are
    // read from new peaks only. The pause is measured up to now, as the peak that ends it may be one that formed
    // when the signal fell silent.
    if (isRaw && d.filled[c] > 0 && double(m_frameCount - p.time) > 0.1 * m_sampleRate.load(R)) {
        d.filled[c] = 0;
        m_registerHead = m_registerCount = 0;
    }
    d.stamp[c] = ++m_stamps;
    i = wrap(i + 1, kRing);
    d.index[c] = i;
    ring[i].value = x;
    ring[i].time = m_frameCount;
    ring[i].flat = 0;
    ring[i].kind = 0;
    if (d.filled[c] < kRing - 1) ++d.filled[c];
    return true;
}

// ---- Direction and null passes (new filtered peak of the right channel) ----

void FinalScratch::voteDirection(const Detector& f) {
    const int nR = std::min(15, f.filled[1]), nL = std::min(14, f.filled[0]);
    int sum = 0;
    for (int br = 0; br < nR; ++br) {
        const Peak& r = peakAt(f, 1, br);
        if (r.kind != 1) continue;
        // The first left peak after this right maximum: a maximum when the right channel leads.
        for (int bl = nL - 1; bl >= 0; --bl) {
            const Peak& l = peakAt(f, 0, bl);
            if (l.time > r.time) {
                sum += l.kind;
                break;
            }
        }
    }
    int dir = m_direction.load(R);
    if (sum >= 4)
        dir = 1;
    else if (sum < -3)
        dir = -1;
    m_direction.store(dir, R);

    if (f.filled[0] < 1 || f.filled[1] < 1) return;
    // Forwards a right maximum completes after a left minimum and a right minimum after a left maximum.
    const int vote = peakAt(f, 1, 0).kind != peakAt(f, 0, 0).kind ? 1 : -1;
    const int step = vote == 1 && m_votes[0] >= 1 && m_votes[1] >= 1 ? 1 : vote == -1 && m_votes[0] < 0 ? -1 : dir;
    // Held within a billion null passes: without a code for days (a type without a table) the count would wrap.
    m_nullPasses.store(std::min(std::max(m_nullPasses.load(R) + step, -(1 << 30)), 1 << 30), R);
    m_passCounter += step;
    m_votes[1] = m_votes[0];
    m_votes[0] = vote;
}

// ---- Pitch (new filtered peak of either channel) ----

double FinalScratch::estimate(const Detector& f, int c, int back, double units, double u) const {
    const int64_t span = peakAt(f, c, 0).time - peakAt(f, c, back).time;
    if (span <= 0) return NAN;
    return units * u / (double(span) * m_direction.load(R)) - 1.0;
}

// The peak count of the shortest span that still fits the shortest pitch span; -1 without enough peaks.
int FinalScratch::spanCount(const Detector& f, int c) const {
    const int maxM = std::min(kRing - 2, f.filled[c] - 1);
    if (maxM < 5) return -1;
    const double minSpan = m_shortestSpan.load(R) * m_sampleRate.load(R) / 1000.0; // frames
    const int64_t t0 = peakAt(f, c, 0).time;
    auto longer = [&](int m) { return double(t0 - peakAt(f, c, m).time) > minSpan; };
    if (!longer(maxM)) return 5;
    int lo = 4, hi = maxM; // spans grow with m: find the first m that is longer
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (longer(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo - 1;
}

// Estimate from the large peaks of one polarity of one channel, over a span widened while it stays within
// 0.004 of the first.
bool FinalScratch::polarityEstimate(const Detector& f, int c, bool positive, int k, double u, double& out) {
    const float half = (positive ? m_posThreshold[c] : m_negThreshold[c]) / 2;
    const int dir = m_direction.load(R);
    KeptEstimate& kept = m_kept[c][positive ? 0 : 1];
    if (kept.stamp == f.stamp[c] && kept.stamp != 0 && kept.half == half && kept.k == k && kept.u == u &&
        kept.dir == dir) {
        if (kept.have) out = kept.out;
        return kept.have;
    }
    kept.stamp = f.stamp[c];
    kept.half = half;
    kept.k = k;
    kept.u = u;
    kept.dir = dir;
    kept.have = polarityEstimate(f, c, half, positive, k, u, dir, out);
    kept.out = out;
    return kept.have;
}

bool FinalScratch::polarityEstimate(const Detector& f, int c, float half, bool positive, int k, double u, int dir,
                                    double& out) const {
    const int n = f.filled[c];
    auto large = [&](const Peak& p) {
        return positive ? p.kind == 1 && p.value > half : p.kind == -1 && p.value < half;
    };
    // The ring is walked from the newest peak back with a running slot (no index arithmetic per peak).
    const Peak* ring = f.ring[c];
    auto back = [](int slot, int steps) { return slot - steps < 0 ? slot - steps + kRing : slot - steps; };
    int b0 = 0, slot = wrap(f.index[c] - 1, kRing);
    while (b0 < n && !large(ring[slot])) {
        ++b0;
        slot = back(slot, 1);
    }
    if (b0 >= n) return false;
    const int64_t t0 = ring[slot].time;
    bool have = false;
    double first = 0;
    if (b0 + k >= n) return false;
    slot = back(slot, k);
    for (int b = b0 + k; b < n; ++b, slot = back(slot, 1)) {
        const Peak& p = ring[slot];
        if (!large(p)) continue;
        const int64_t span = t0 - p.time;
        if (span <= 0) break;
        const double e = (b - b0) * u / (double(span) * dir) - 1.0;
        if (!have) {
            first = out = e;
            have = true;
        } else if (std::fabs(e - first) < 0.004) {
            out = e;
        } else {
            break;
        }
    }
    return have;
}

void FinalScratch::measurePitch(const Detector& f, int c) {
    const double u = getNullPassTimeSamples();
    const int k = spanCount(f, c);
    if (k < 0) return;
    const double mult = m_speedMultiplier.load(R);
    const int method = m_pitchMethod.load(R);
    if (method == 0 || method == 1) {
        double e[2];
        for (int ch = 0; ch < 2; ++ch) {
            const int maxM = std::min(kRing - 2, f.filled[ch] - 1);
            if (maxM < k) return;
            e[ch] = estimate(f, ch, k, k, u);
            for (int kk = k + 1; method == 1 && kk <= maxM; ++kk) {
                const double next = estimate(f, ch, kk, kk, u);
                if (!(std::fabs(next - e[ch]) < 0.004)) break;
                e[ch] = next;
            }
        }
        if (std::fabs(e[0] - e[1]) < 1.0) {
            m_pitch.store(((e[0] + e[1]) / 2 + 1) * mult, R);
            m_newPitch.store(true, R);
        }
        return;
    }
    double est[4];
    int n = 0;
    for (int ch = 0; ch < 2; ++ch)
        for (int pol = 0; pol < 2; ++pol)
            if (polarityEstimate(f, ch, pol == 0, k, u, est[n]) && std::isfinite(est[n])) ++n;
    if (n == 0) return;
    double pair = est[0], all = 0;
    double closest = INFINITY;
    for (int i = 0; i < n; ++i) {
        all += est[i];
        for (int j = i + 1; j < n; ++j)
            if (std::fabs(est[i] - est[j]) < closest) {
                closest = std::fabs(est[i] - est[j]);
                pair = (est[i] + est[j]) / 2;
            }
    }
    all = all / n + 1;
    pair += 1;
    const double previous = mult != 0 ? m_pitch.load(R) / mult : m_pitch.load(R);
    const double ratio = std::fabs(pair - previous) <= std::fabs(all - previous) ? pair : all;
    m_pitch.store(ratio * mult, R);
    m_newPitch.store(true, R);
}

// ---- Classification (new raw peak) ----

int FinalScratch::classAt(int c, int back) const {
    return m_class[c][wrap(m_raw.index[c] - 1 - back, kRing)];
}

void FinalScratch::classify(int c, int type) {
    const Detector& d = m_raw;
    if (d.filled[c] < 20) return;
    float maxHi = -80000, maxLo = 80000, minHi = -80000, minLo = 80000;
    for (int b = 0; b < 20; ++b) {
        const Peak& p = peakAt(d, c, b);
        if (p.kind == 1) {
            maxHi = std::max(maxHi, p.value);
            maxLo = std::min(maxLo, p.value);
        } else {
            minHi = std::max(minHi, p.value);
            minLo = std::min(minLo, p.value);
        }
    }
    if (maxHi < maxLo || minHi < minLo) return; // one polarity missing: no signal to read
    const float maxSpread = maxHi - maxLo, minSpread = minHi - minLo;
    float pos = (maxLo + maxHi) / 2, neg = (minHi + minLo) / 2;
    // Peaks of one polarity that are all alike are all large ones (every layout has a large peak of each
    // polarity in any 20): put the threshold half the other polarity's swing inside them.
    if (maxSpread < 0.25f * minSpread) pos = maxHi - minSpread / 2;
    if (minSpread < 0.25f * maxSpread) neg = minLo + maxSpread / 2;
    m_posThreshold[c] = pos;
    m_negThreshold[c] = neg;
    auto classOf = [&](const Peak& p) { return p.kind == 1 ? (p.value > pos ? 2 : 1) : (p.value < neg ? -2 : -1); };

    if (type == TIMECODE_FINALSCRATCH || type == TIMECODE_VIRTUALDJ || type == TIMECODE_TARLUME) {
        // Every held peak, newest first: the slots down to 0, then down from the ring's end.
        const Peak* ring = d.ring[c];
        int8_t* classes = m_class[c];
        const int newest = wrap(d.index[c] - 1, kRing);
        int n = d.filled[c];
        if (m_classedAt[c] >= 0 && pos == m_classedPos[c] && neg == m_classedNeg[c])
            n = int(std::min<int64_t>(n, m_rawPeaks[c] - m_classedAt[c])); // older ones are classed already
        m_classedAt[c] = m_rawPeaks[c];
        m_classedPos[c] = pos;
        m_classedNeg[c] = neg;
        const int lower = std::max(newest - n + 1, 0);
        for (int slot = newest; slot >= lower; --slot)
            classes[slot] = int8_t(classOf(ring[slot]));
        for (int slot = kRing - 1, rest = n - (newest - lower + 1); rest > 0; --slot, --rest)
            classes[slot] = int8_t(classOf(ring[slot]));
        return;
    }
    if (type == TIMECODE_SERATO) {
        if (maxSpread > 1.5f * minSpread)
            ++m_polarityVotes;
        else if (minSpread > 1.5f * maxSpread)
            --m_polarityVotes;
        const Peak& p = peakAt(d, c, 10);
        if (p.kind == -1) pushRegister(c, 10, classOf(p) == -2 ? 1 : 0);
        return;
    }
    if ((type == TIMECODE_MV && c == 1) || (type == TIMECODE_TRAKTOR && c == 0)) {
        const Peak& p = peakAt(d, c, 10);
        pushRegister(c, 10, std::abs(classOf(p)) == 2 ? 1 : 0);
    }
}

void FinalScratch::pushRegister(int c, int back, int bit) {
    const Peak& p = peakAt(m_raw, c, back);
    const int length = registerLength(m_lastType);
    RegisterEntry& e = m_register[m_registerHead];
    e.bit = uint8_t(bit);
    e.quarter = uint8_t((p.kind == 1 ? 0 : 2) + (c == 0 ? 1 : 0));
    e.time = p.time;
    m_registerHead = wrap(m_registerHead + 1, length);
    m_registerCount = std::min(m_registerCount + 1, length);
    ++m_pushedSinceCode;
    // Two entries carry each bit: the dump shows it once, from the one later on the record.
    int early, late;
    registerPair(m_lastType, early, late);
    if (e.quarter == late) dumpBit(uint8_t(bit), m_lastType);
}

// ---- Code searches (new raw peak of the right channel) ----

// The peak of channel c next to frame time t: the first one after t when it lies later on the record and the
// record plays forwards (or earlier and backwards), else the last one before t. -1 when not held.
int FinalScratch::matchPeak(int c, int64_t t, bool recordLater) const {
    const bool laterInTime = recordLater == (m_direction.load(R) == 1);
    const int n = m_raw.filled[c];
    if (laterInTime) {
        if (n < 2 || peakAt(m_raw, c, 0).time <= t) return -1;
        for (int b = 1; b < n; ++b)
            if (peakAt(m_raw, c, b).time <= t) return b - 1;
        return -1;
    }
    for (int b = 0; b < n; ++b)
        if (peakAt(m_raw, c, b).time < t) return b;
    return -1;
}

// Frames of 16 peaks that open with the sync peaks (types 0 and 4). `syncChannel` carries the sync twice,
// 16 peaks apart; the other channel's first peak lies a quarter cycle later on the record when `otherLate`.
bool FinalScratch::searchFrame(int syncChannel, bool otherLate, int type, Code& code) {
    const int dir = m_direction.load(R);
    const int S = syncChannel, O = 1 - syncChannel;
    const int nS = m_raw.filled[S], nO = m_raw.filled[O];
    // Record peak m of the frame whose first peak is `b0` peaks back lies dir * m peaks nearer the present.
    auto syncAt = [&](int c, int b0, int sign) {
        for (int m = 0; m < 4; ++m)
            if (classAt(c, b0 - dir * m) != sign * kSync[m]) return false;
        return true;
    };
    const int first = dir == 1 ? 19 : 16, last = dir == 1 ? nS - 1 : nS - 16;
    // Code bits that repeat from frame to frame can look like an inverted sync pair, so an inverted pair
    // counts against the input's polarity only when the peaks hold no proper one.
    bool inverted = false, sawProper = false;
    for (int b0 = first; b0 <= last; ++b0) {
        const bool proper = syncAt(S, b0, 1) && syncAt(S, b0 - 16, 1);
        if (!proper) {
            inverted = inverted || (dir == 1 && syncAt(S, b0, -1) && syncAt(S, b0 - 16, -1));
            continue;
        }
        sawProper = true;
        if (dir == 1) --m_polarityVotes;
        const int o0 = matchPeak(O, peakAt(m_raw, S, b0).time, otherLate);
        if (o0 < 0 || (dir == 1 ? o0 < 15 : o0 + 15 > nO - 1)) continue;
        auto bitAt = [&](int c, int b0c, int m) { return std::abs(classAt(c, b0c - dir * m)) == 2 ? 1u : 0u; };
        const int right0 = S == 1 ? b0 : o0, left0 = S == 1 ? o0 : b0;
        if (type == TIMECODE_FINALSCRATCH) {
            uint32_t w1 = 0, w2 = 0;
            for (int m = 0; m < 16; ++m) {
                w2 |= bitAt(1, right0, m) << (15 - m);
                w1 |= bitAt(0, left0, m) << (15 - m);
            }
            code.w[0] = int32_t(w1);
            code.w[1] = int32_t(w2);
        } else {
            if (!syncAt(1, right0, 1)) continue;
            uint32_t word = 0, parity = 0;
            for (int m = 4; m < 16; ++m)
                word |= bitAt(0, left0, m) << (18 - (m - 4));
            for (int m = 4; m <= 10; ++m)
                word |= bitAt(1, right0, m) << (6 - (m - 4));
            for (int m = 11; m < 16; ++m)
                parity |= bitAt(1, right0, m) << (m - 11);
            if (parity != tlmParity(word)) continue;
            code.w[0] = int32_t(word);
            code.w[1] = 0;
        }
        code.anchorChannel = 1;
        code.anchorTime = peakAt(m_raw, 1, right0).time;
        code.anchorQuarter = 0;
        return true;
    }
    if (inverted && !sawProper) ++m_polarityVotes; // inverted frames only: the input's polarity is wrong
    return false;
}

bool FinalScratch::searchTimeCodeFS(Code& code) {
    return searchFrame(1, true, TIMECODE_FINALSCRATCH, code);
}

bool FinalScratch::searchTimeCodeTLM(Code& code) {
    return searchFrame(0, false, TIMECODE_TARLUME, code);
}

// Every right peak starts a code of 36 peaks: W1 the older 18, W2 the newer 18, least significant first.
bool FinalScratch::searchTimeCodeVDJ(Code& code) {
    if (m_direction.load(R) != 1 || m_raw.filled[1] < 36) return false;
    uint32_t w1 = 0, w2 = 0;
    for (int i = 0; i < 18; ++i) {
        w1 |= (std::abs(classAt(1, 35 - i)) == 2 ? 1u : 0u) << i;
        w2 |= (std::abs(classAt(1, 17 - i)) == 2 ? 1u : 0u) << i;
    }
    code.w[0] = int32_t(w1);
    code.w[1] = int32_t(w2);
    code.anchorChannel = 1;
    code.anchorTime = peakAt(m_raw, 1, 35).time;
    code.anchorQuarter = 0;
    return true;
}

// Reads `bits` register bits, each carried by two successive entries that must agree, into record order.
// The anchor becomes the record-earlier entry of bit `anchorBit`.
bool FinalScratch::readRegister(int bits, int anchorBit, Code& code, uint8_t* recordBits) {
    const int dir = m_direction.load(R);
    const int length = registerLength(m_lastType);
    int early, late;
    registerPair(m_lastType, early, late);
    const int closing = dir == 1 ? late : early, opening = dir == 1 ? early : late;
    auto entry = [&](int back) -> const RegisterEntry& { return m_register[wrap(m_registerHead - 1 - back, length)]; };
    const int start = m_registerCount > 0 && entry(0).quarter == closing ? 0 : 1;
    if (start + 2 * bits > m_registerCount) return false;
    for (int i = 0; i < bits; ++i) {
        const RegisterEntry& newer = entry(start + 2 * i);
        const RegisterEntry& older = entry(start + 2 * i + 1);
        if (newer.quarter != closing || older.quarter != opening || newer.bit != older.bit) return false;
        const int r = dir == 1 ? bits - 1 - i : i;
        recordBits[r] = newer.bit;
        if (r == anchorBit) {
            const RegisterEntry& e = dir == 1 ? older : newer;
            code.anchorTime = e.time;
            code.anchorQuarter = e.quarter;
            code.anchorChannel = (e.quarter & 1) ? 0 : 1;
        }
    }
    return true;
}

namespace {
uint32_t wordOf(const uint8_t* bits, int from, int count) {
    uint32_t w = 0;
    for (int i = 0; i < count; ++i)
        w |= uint32_t(bits[from + i]) << i;
    return w;
}
} // namespace

bool FinalScratch::searchTimeCodeSSL(Code& code) {
    if (m_wait < 8) {
        ++m_wait;
        return false;
    }
    uint8_t bits[kSeratoCodeBits + 2];
    if (!readRegister(kSeratoCodeBits + 2, 2, code, bits)) return false; // W1 starts at the third bit
    code.w[0] = int32_t(wordOf(bits, 2, kSeratoCodeBits));
    code.w[1] = int32_t(wordOf(bits, 1, kSeratoCodeBits));
    code.w[2] = int32_t(wordOf(bits, 0, kSeratoCodeBits));
    return true;
}

bool FinalScratch::searchTimeCodeMV(Code& code) {
    uint8_t bits[kMixvibesCodeBits];
    if (!readRegister(kMixvibesCodeBits, 0, code, bits)) return false;
    code.w[0] = int32_t(wordOf(bits, 0, kMixvibesCodeBits));
    code.w[1] = 0;
    return true;
}

bool FinalScratch::searchTimeCodeTS(Code& code) {
    if (m_wait < (m_direction.load(R) == 1 ? 16 : 8)) {
        ++m_wait;
        return false;
    }
    uint8_t bits[kTraktorCodeBits + 1];
    // (W1, W2) starts at the second bit, (W3, W4) at the first.
    if (!readRegister(kTraktorCodeBits + 1, 1, code, bits)) return false;
    code.w[0] = int32_t(wordOf(bits, 1, 31));
    code.w[1] = int32_t(wordOf(bits, 32, kTraktorCodeBits - 31));
    code.w[2] = int32_t(wordOf(bits, 0, 31));
    code.w[3] = int32_t(wordOf(bits, 31, kTraktorCodeBits - 31));
    return true;
}

// ---- Taking a code ----

// Null passes from the code's time to the newest filtered right peak, counted on the filtered right channel
// so that the peaks still to come continue the count without a gap or a double.
bool FinalScratch::placeCode(const Code& code, int& nullPasses) const {
    const Detector& f = m_wasBandFiltered ? m_filtered : m_raw;
    // A right anchor's own filtered peak lies within half a null pass of it: count from halfway to the next
    // right peak. A left anchor sits halfway between two right peaks already.
    double threshold = double(code.anchorTime);
    if (code.anchorChannel == 1) {
        int b = 1;
        while (b < m_raw.filled[1] && peakAt(m_raw, 1, b).time != code.anchorTime)
            ++b;
        if (b < m_raw.filled[1])
            threshold = (threshold + double(peakAt(m_raw, 1, b - 1).time)) / 2;
        else
            threshold += 0.5 * getNullPassTimeSamples();
    }
    int count = 0;
    while (count < f.filled[1] && double(peakAt(f, 1, count).time) > threshold)
        ++count;
    if (count >= f.filled[1]) return false;
    const int q = code.anchorQuarter; // half null passes after the code's time
    nullPasses = m_direction.load(R) == 1 ? q / 2 + count : (q + 1) / 2 - count;
    return true;
}

void FinalScratch::takeCode(const Code& code, int type) {
    double time = 0;
    bool ok;
    if (type == TIMECODE_TARLUME) {
        time = double(code.w[0]) * 16 * 0.38461538461538464 * 48;
        ok = true;
    } else {
        ok = lookUp(code, type, time);
    }
    if (ok && type == TIMECODE_SERATO) {
        // Three overlapping words one bit apart must read as three successive times.
        Code older = code;
        double t2 = 0, t3 = 0;
        older.w[0] = code.w[1];
        ok = lookUp(older, type, t2);
        older.w[0] = code.w[2];
        ok = ok && lookUp(older, type, t3) && t3 < t2 && t2 < time && time - t2 < 150 && t2 - t3 < 150;
    } else if (ok && type == TIMECODE_TRAKTOR) {
        Code older = code;
        double t34 = 0;
        older.w[0] = code.w[2];
        older.w[1] = code.w[3];
        ok = lookUp(older, type, t34) && t34 < time && time - t34 < 150;
    }
    if (ok && (type == TIMECODE_SERATO || type == TIMECODE_TRAKTOR)) {
        int region = m_region.load(R);
        if (time > kSideB)
            region = std::min(region + 1, 10);
        else if (time > 0)
            region = std::max(region - 1, -10);
        m_region.store(region, R);
        ok = time > kSideB ? region >= 0 : region <= 0;
    }
    m_codesLookedUp.store(bumpCounter(m_codesLookedUp.load(R)), R);
    if (!ok) return;

    const int dir = m_direction.load(R);
    bool accept = (dir == 1 && time > m_previousTime && time - m_previousTime < 4000) ||
                  (dir == -1 && time < m_previousTime && m_previousTime - time < 4000) ||
                  (type == TIMECODE_SERATO && time != m_previousTime);
    m_previousTime = time;
    int P = 0;
    if (!placeCode(code, P)) return;
    // A misread code can land within the window above; two codes in a row must also agree on where the
    // record is now, give or take three null passes (type 2 checks three words of each code instead).
    const double unitsPerPass = (type == TIMECODE_MV ? 44.1 : 48.0) * getNullPassTime();
    const double place = time + P * unitsPerPass;
    const double expected = m_previousPlace + double(m_passCounter - m_previousCounter) * unitsPerPass;
    const bool agrees = type == TIMECODE_SERATO || std::fabs(place - expected) <= 3 * unitsPerPass;
    m_previousPlace = place;
    m_previousCounter = m_passCounter;
    if (!accept || !agrees) return;

    m_codeTime.store((type == TIMECODE_SERATO || type == TIMECODE_TRAKTOR) && time >= kSideB ? time - kSideB : time, R);
    m_nullPasses.store(P, R);
    m_wait = 0;
    m_pushedSinceCode = 0;
    m_codeFrame.store(m_frameCount, R);
    m_lastW1.store(code.w[0], R);
    m_lastW2.store(code.w[1], R);
    m_newTime.store(true, R);
    m_newPitch.store(true, R);
    m_codesTaken.store(bumpCounter(m_codesTaken.load(R)), R);

    // Certain pitch: over the 16 peaks after the anchor, when all 16 are already held.
    const int c = code.anchorChannel;
    for (int b = 16; b < m_raw.filled[c]; ++b) {
        if (peakAt(m_raw, c, b).time != code.anchorTime) continue;
        const int64_t span = peakAt(m_raw, c, b - 16).time - code.anchorTime;
        if (span > 0) {
            const double ratio = 16.0 * getNullPassTimeSamples() / (double(span) * dir);
            m_certainPitch.store(ratio * m_speedMultiplier.load(R), R);
            m_newCertainPitch.store(true, R);
        }
        break;
    }
}

void FinalScratch::checkPolarity(int type) {
    if (m_polarityVotes >= (type == TIMECODE_SERATO ? 1501 : 151)) {
        m_polarityInverted = !m_polarityInverted;
        m_polarityVotes = 0;
    }
    if (type == TIMECODE_SERATO) {
        if (m_polarityVotes < -5000) m_polarityVotes = -5000;
    } else if (m_polarityVotes < -1000) {
        m_polarityVotes = -500;
    }
}

void FinalScratch::clearHistories() {
    m_raw = Detector();
    m_filtered = Detector();
    for (Detector* d : {&m_raw, &m_filtered})
        for (uint64_t& stamp : d->stamp)
            stamp = ++m_stamps;
    m_registerHead = m_registerCount = 0;
    m_quiet = QuietStretch();
    m_nullPasses.store(0, R);
    m_codeTime.store(0, R);
}

// ---- Per frame ----

void FinalScratch::calculate(float left, float right) {
    const int type = m_type.load(R);
    if (type != m_lastType) {
        m_lastType = type;
        m_registerHead = m_registerCount = 0;
        m_dumpBits = 0;
    }
    if (m_clearRequest.load(R) && m_clearRequest.exchange(false, R)) clearHistories();

    const double gain = m_inputGain.load(R);
    if (gain != 1.0) {
        left = float(left * gain);
        right = float(right * gain);
    }
    left = saneSample(left);
    right = saneSample(right);
    const int captured = m_captureCount.load(R);
    if (captured < kCaptureValues) {
        m_capture[captured].store(toInt16(left), R);
        m_capture[captured + 1].store(toInt16(right), R);
        // A capture asked for meanwhile (the count set back to 0) starts at the next frame instead of being lost.
        int expected = captured;
        m_captureCount.compare_exchange_strong(expected, captured + 2, std::memory_order_release, R);
    }
    m_frames.store(++m_frameCount, R);

    const bool band = m_bandFilters.load(R);
    if (band && !m_wasBandFiltered) { // start from the raw peaks
        m_filtered = m_raw;
        m_filtered.stamp[0] = ++m_stamps;
        m_filtered.stamp[1] = ++m_stamps;
    }
    m_wasBandFiltered = band;
    if (band) m_lowPass.process(&left, &right);
    const bool waitFlag = m_waitFlag.load(R) && type != TIMECODE_SERATO;

    const float in[2] = {left, right};
    for (int c = 0; c < 2; ++c) {
        float x = m_polarityInverted ? -in[c] : in[c];
        if (!std::isfinite(x)) x = 0;
        const bool rawPeak = detect(m_raw, c, x, true);
        if (rawPeak) ++m_rawPeaks[c];
        bool filteredPeak = rawPeak;
        const float raw = x;
        if (band) {
            m_highPass.processChannel(c, &x);
            filteredPeak = detect(m_filtered, c, x, false);
        }
        watchLevel(raw, x, band);
        const Detector& f = band ? m_filtered : m_raw;
        if (filteredPeak) {
            if (waitFlag) m_wait = std::min(m_wait + 1, kWaitCap);
            if (c == 1) voteDirection(f);
            measurePitch(f, c);
        }
        if (!rawPeak || (waitFlag && m_wait < 128)) continue;
        classify(c, type);
        if (c == 1) {
            Code code;
            bool found = false;
            switch (type) {
            case TIMECODE_FINALSCRATCH:
                found = searchTimeCodeFS(code);
                break;
            case TIMECODE_VIRTUALDJ:
                found = searchTimeCodeVDJ(code);
                break;
            case TIMECODE_SERATO:
                found = searchTimeCodeSSL(code);
                break;
            case TIMECODE_TARLUME:
                found = searchTimeCodeTLM(code);
                break;
            case TIMECODE_MV:
                found = searchTimeCodeMV(code);
                break;
            case TIMECODE_TRAKTOR:
                found = searchTimeCodeTS(code);
                break;
            default:
                break;
            }
            if (found && (code.w[0] != m_lookedW1 || code.w[1] != m_lookedW2)) {
                m_lookedW1 = code.w[0];
                m_lookedW2 = code.w[1];
                takeCode(code, type);
            }
        }
        checkPolarity(type);
    }
}
