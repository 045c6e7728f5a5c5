// A synthetic timecode record for tests and benchmarks: the stereo signal of any timecode type played with a
// speed profile, with the true position and speed of every frame. The bit layouts, the phase and the code
// tables follow audio/vinyl/TimecodeCodes.h, so the decoder must read back exactly what is played here.
#pragma once

#include "audio/vinyl/FinalScratch.h"
#include "audio/vinyl/TimecodeCodes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

struct TimecodeSignalOptions {
    int type = TIMECODE_TARLUME;
    double rate = 44100;          // Hz
    double startNullPass = 20000; // record position of the first frame
    double amplitude = 12000;     // large peaks, 16-bit scale
    double smallRatio = 0.75;     // small peaks / large peaks
    double noise = 0;             // RMS of white noise added to each channel, 16-bit scale
    double dcOffset = 0;          // added to both channels, 16-bit scale
    std::function<double(double)> speed = [](double) { return 1.0; }; // speed ratio at a time in seconds
};

// Samples per null pass at 44100 Hz and ms per null pass of each type, as the decoder counts them.
inline double tcSamplesPerUnit(int type) {
    static const double u[7] = {18.375, 21.0, 22.05, 18.375, 16.96153846153846, 17.143875, 11.025};
    return u[type];
}
inline double tcNullPassMs(int type) {
    static const double ms[7] = {0.4166666666666667,  0.47619047619047616, 0.5, 0.4166666666666667,
                                 0.38461538461538464, 0.4231292517006803,  0.25};
    return ms[type];
}
// Carrier in Hz: two null passes per cycle.
inline double tcCarrierHz(int type) {
    return 44100.0 / tcSamplesPerUnit(type) / 2.0;
}

// The synthetic type-0 frame word pair for frame k (no public sequence exists): a scramble of k, unique per
// frame, with the right word opening on the sync bits 1110.
inline void fsFrameWords(int64_t k, uint32_t& w1, uint32_t& w2) {
    const uint32_t x = (uint32_t(k) * 2654435761u ^ 0x5a5a5a5u) & 0x0fffffffu;
    w1 = x & 0xffffu;
    w2 = 0xe000u | (x >> 16);
}

// The bit sequence of the LFSR types (and the synthetic type-1 sequence), cycle by cycle (type 1: peak by peak).
// Each is made when first asked for.
inline const std::vector<uint8_t>& tcSequence(int type) {
    if (type == TIMECODE_SERATO) {
        static const std::vector<uint8_t> serato = lfsrBits(kSeratoSideA, 400000);
        return serato;
    }
    if (type == TIMECODE_MV) {
        static const std::vector<uint8_t> mixvibes = lfsrBits(kMixvibesV2, 400000);
        return mixvibes;
    }
    static const std::vector<uint8_t> traktor = lfsrBits(kTraktorSideA, 400000);
    return traktor;
}

// Records of a small table matching the signal of `type` (0, 1, 2, 5 or 6) for record positions up to
// `nullPasses`. Types 2 and 6 use side A of the public sequences with the real table's times.
inline std::vector<TimecodeRecord> tcSyntheticTable(int type, int64_t nullPasses) {
    std::vector<TimecodeRecord> r;
    if (type == TIMECODE_FINALSCRATCH) {
        for (int64_t k = 0; k * 16 < nullPasses; ++k) {
            uint32_t w1, w2;
            fsFrameWords(k, w1, w2);
            const double ms = double(k * 16) * tcNullPassMs(0) + 20000.0;
            r.push_back({int32_t(w2 << 16 | w1), 0, int32_t(std::lround(ms * 48))});
        }
    } else if (type == TIMECODE_VIRTUALDJ) {
        const std::vector<uint8_t>& bits = tcSequence(1);
        for (int64_t m = 0; m < nullPasses && size_t(m + 36) <= bits.size(); ++m) {
            uint32_t w1 = 0, w2 = 0;
            for (int i = 0; i < 18; ++i) {
                w1 |= uint32_t(bits[size_t(m + i)]) << i;
                w2 |= uint32_t(bits[size_t(m + 18 + i)]) << i;
            }
            r.push_back({int32_t(w1), int32_t(w2), int32_t(std::lround(double(m) * tcNullPassMs(1) * 48))});
        }
    } else {
        const std::vector<uint8_t>& bits = tcSequence(type);
        const double unitsPerMs = type == TIMECODE_MV ? 44.1 : 48.0;
        const double lead = type == TIMECODE_MV ? 0.0 : kRecordLeadMs;
        int32_t a, b;
        for (int64_t n = 0; n * 2 < nullPasses && windowCode(type, bits, int(n), a, b); ++n) {
            const double ms = double(n) * 1000.0 / tcCarrierHz(type) + lead;
            r.push_back({a, b, int32_t(std::lround(ms * unitsPerMs))});
        }
    }
    sortTableRecords(type, r);
    return r;
}

// Puts records into the decoder's table of `type` (replacing it).
inline void tcInstallTable(int type, const std::vector<TimecodeRecord>& records) {
    FinalScratch::initCodes(type, int(records.size()));
    for (size_t i = 0; i < records.size(); ++i) {
        const TimecodeRecord& t = records[i];
        if (type == TIMECODE_FINALSCRATCH)
            FinalScratch::addCode(type, int(i), int(uint32_t(t.a) & 0xffffu), int(uint32_t(t.a) >> 16), t.time);
        else
            FinalScratch::addCode(type, int(i), t.a, t.b, t.time);
    }
}

class TimecodeSignal {
public:
    explicit TimecodeSignal(const TimecodeSignalOptions& o)
        : m_o(o), m_phase(o.startNullPass * M_PI), m_step(2 * M_PI * tcCarrierHz(o.type) / o.rate) {}

    // The next frame on the 16-bit scale.
    void next(float& left, float& right) {
        m_speed = m_o.speed(double(m_frame) / m_o.rate);
        m_phase += m_step * m_speed;
        ++m_frame;
        const int64_t mR = int64_t(std::floor(m_phase / M_PI + 0.5)); // right half-cycle: centred on m pi
        const int64_t mL = int64_t(std::floor(m_phase / M_PI));       // left: centred on m pi + pi / 2
        const double aR = m_o.amplitude * (bit(1, mR) ? 1.0 : m_o.smallRatio);
        const double aL = m_o.amplitude * (bit(0, mL) ? 1.0 : m_o.smallRatio);
        right = float(aR * std::cos(m_phase) + noise() + m_o.dcOffset);
        left = float(aL * std::sin(m_phase) + noise() + m_o.dcOffset);
    }

    double nullPass() const { return m_phase / M_PI; } // record position of the last frame
    double speed() const { return m_speed; }
    int64_t frames() const { return m_frame; }
    // What the decoder's getTime should read here with its default offset of 2000 ms. (Type 5's time per null
    // pass disagrees with its carrier, so its reading drifts by the difference over the null passes counted.)
    double expectedTimeMs() const { return nullPass() * tcSamplesPerUnit(m_o.type) / 44.1 - 2000.0; }

    // Bit of peak m of a channel (0 left, 1 right), 1 = large.
    int bit(int channel, int64_t m) {
        if (m < 0) return 1;
        switch (m_o.type) {
        case TIMECODE_TARLUME:
        case TIMECODE_FINALSCRATCH: {
            const int64_t k = m / 16;
            if (k != m_frameWord) {
                m_frameWord = k;
                if (m_o.type == TIMECODE_TARLUME) {
                    tlmFrameBits(uint32_t(k) & ((1u << kTlmWordBits) - 1), m_frameBits[0], m_frameBits[1]);
                } else {
                    uint32_t w1, w2;
                    fsFrameWords(k, w1, w2);
                    for (int s = 0; s < 16; ++s) {
                        m_frameBits[0][s] = uint8_t((w1 >> (15 - s)) & 1u);
                        m_frameBits[1][s] = uint8_t((w2 >> (15 - s)) & 1u);
                    }
                }
            }
            return m_frameBits[channel][m % 16];
        }
        case TIMECODE_VIRTUALDJ:
            return seq(m);
        case TIMECODE_SERATO:
            return (m & 1) ? seq((m - 1) / 2) : 1; // bits on the minima only
        default:
            return seq(m / 2);
        }
    }

private:
    int seq(int64_t i) const {
        const std::vector<uint8_t>& s = tcSequence(m_o.type);
        return i >= 0 && size_t(i) < s.size() ? s[size_t(i)] : 1;
    }
    double noise() {
        if (m_o.noise <= 0) return 0;
        // Sum of four uniform values: close enough to Gaussian, repeatable.
        double sum = 0;
        for (int i = 0; i < 4; ++i) {
            m_seed = m_seed * 6364136223846793005ull + 1442695040888963407ull;
            sum += double(m_seed >> 11) / double(1ull << 53) - 0.5;
        }
        return sum * std::sqrt(3.0) * m_o.noise;
    }

    TimecodeSignalOptions m_o;
    double m_phase; // radians
    double m_step;  // radians per frame at speed 1
    double m_speed = 1;
    int64_t m_frame = 0;
    int64_t m_frameWord = -1;
    uint8_t m_frameBits[2][16] = {};
    uint64_t m_seed = 12345;
};

// What a decoder made of a stretch of signal, counted after a settling time.
struct DecodeStats {
    int pitches = 0;          // new pitches after settling
    int times = 0;            // new times after settling
    double maxPitchError = 0; // largest |pitch - speed| / |speed| at a new pitch after settling
    double maxTimeError = 0;  // largest |time - truth| at a new time after settling, in null passes
    double firstTimeAt = -1;  // seconds to the first new time, -1 without one
};

// Runs `seconds` of the signal through the decoder, comparing with the truth after `settle` seconds.
inline DecodeStats decodeSignal(FinalScratch& fs, TimecodeSignal& sig, double rate, double seconds, double settle = 0.3,
                                int type = -1) {
    DecodeStats s;
    const double nullPassMs = tcSamplesPerUnit(type < 0 ? int(fs.getParameter(20)) : type) / 44.1;
    const int64_t frames = int64_t(rate * seconds), settleFrames = int64_t(rate * settle);
    fs.isNewPitch(); // flags left from earlier frames are not this stretch's
    fs.isNewTime();
    for (int64_t i = 0; i < frames; ++i) {
        float l, r;
        sig.next(l, r);
        fs.calculate(l, r);
        const bool newPitch = fs.isNewPitch(), newTime = fs.isNewTime();
        if (newTime && s.firstTimeAt < 0) s.firstTimeAt = double(i) / rate;
        if (i < settleFrames) continue;
        if (newPitch && sig.speed() != 0) {
            ++s.pitches;
            s.maxPitchError = std::max(s.maxPitchError, std::fabs(fs.getPitch() / fs.getParameter(16) - sig.speed()) /
                                                            std::fabs(sig.speed()));
        }
        if (newTime) {
            ++s.times;
            s.maxTimeError = std::max(s.maxTimeError, std::fabs(fs.getTime() - sig.expectedTimeMs()) / nullPassMs);
        }
    }
    return s;
}
