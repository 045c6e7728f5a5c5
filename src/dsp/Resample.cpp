#include "dsp/Resample.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace {

const unsigned int kPerZero = 4096; // table entries per zero crossing
const int kMaxTaps = 50;            // samples one wing reads at the largest filter size, 100
const double kMinFactor = 0.25;     // the most a band-limited read stretches its filter
const double kPi = 3.14159265358979323846;

// The band-limited read's own filter, the same for every resampler whatever its size. At the rate it is read
// at it passes 18 kHz of a 44.1 kHz output at -0.7 dB and keeps at least 87 dB down from 24.1 kHz on: what it
// lets through above the output's half rate folds back above 20 kHz, out of hearing. Faster reads stretch it.
const int kBandWing = 15;                         // filter frames per wing at the rate it is read at
const int kBandPhases = 256;                      // table entries per frame
const int kBandEntries = kBandWing * kBandPhases; // one wing
const int kMostLanes = 8;                         // taps weighed at once, at most
// Source frames one read weighs at most, in whole groups of lanes.
const int kMaxBandTaps = (2 * int(kBandWing / kMinFactor) + 2 + kMostLanes - 1) / kMostLanes * kMostLanes;
const double kFixed = 65536.0; // table positions: 16 bits of fraction
// A steady rate's bank: coefficients at fractions a 64th apart (a parabola through the nearest three errs below
// -100 dB), with a row either side; worked out once the rate has held for a block's reads.
const int kBankPhases = 64;
const int kBankRows = kBankPhases + 3;
const int kHeldReads = 256;

// Modified Bessel function of the first kind, order 0, summed as its power series.
double besselI0(double x) {
    double sum = 1.0, term = 1.0, half = x / 2.0;
    for (int n = 1; n < 500; ++n) {
        double t = half / n;
        term *= t * t;
        sum += term;
        if (term < 1e-21 * sum) break;
    }
    return sum;
}

double rolloffFor(unsigned int N) {
    return N <= 12 ? 0.90 : N <= 29 ? 0.91 : 0.92;
}
double betaFor(unsigned int N) {
    return N <= 8 ? 6.0 : 6.0 + (double(N) - 9.0) * 2.5 / 26.0;
}

} // namespace

void lrsLpFilter(float* c, unsigned int length, double frequency, double beta, unsigned int perZero) {
    if (length == 0) return;
    std::vector<double> v(length);
    v[0] = 2.0 * frequency;
    for (unsigned int i = 1; i < length; ++i) {
        double x = kPi * double(i) / perZero;
        v[i] = std::sin(2.0 * x * frequency) / x;
    }
    const double inverseI0 = 1.0 / besselI0(beta);
    const double inverseLast = length > 1 ? 1.0 / (length - 1) : 0.0;
    for (unsigned int i = 1; i < length; ++i) {
        double t = i * inverseLast;
        double radicand = 1.0 - t * t;
        v[i] *= besselI0(beta * std::sqrt(radicand > 0.0 ? radicand : 0.0)) * inverseI0;
    }
    for (unsigned int i = 0; i < length; ++i)
        c[i] = float(v[i]);
}

namespace {

// The first table entry and the end of one wing of the up-sampling filter at `phase`. The right wing
// (step > 0) leaves out the table's last entry, and at phase 0 starts one crossing later: the left wing
// has already taken the centre tap.
inline void upWing(double scaled, double phase, unsigned int length, int step, unsigned int* k, unsigned int* end) {
    *k = unsigned(scaled);
    *end = length;
    if (step > 0) {
        *end = length - 1;
        if (phase == 0.0) *k += kPerZero;
    }
}

} // namespace

float lrsFilterUp(const float* imp, const float* impD, unsigned int length, const short* samples, double phase,
                  int step) {
    const double scaled = phase * kPerZero;
    unsigned int k, end;
    upWing(scaled, phase, length, step, &k, &end);
    const float a = float(scaled - std::floor(scaled));
    float v = 0.0f;
    for (; k < end; k += kPerZero) {
        v += (imp[k] + impD[k] * a) * float(*samples);
        samples += step;
    }
    return v;
}

float lrsFilterUD(const float* imp, const float* impD, unsigned int length, const short* samples, double phase,
                  int step, double tableStep) {
    double position = phase * tableStep;
    double end = length;
    if (step > 0) {
        end = length - 1;
        if (phase == 0.0) position += tableStep;
    }
    float v = 0.0f;
    for (; position < end; position += tableStep) {
        const unsigned int k = unsigned(position);
        const float a = float(position - std::floor(position));
        v += (imp[k] + impD[k] * a) * float(*samples);
        samples += step;
    }
    return v;
}

namespace {

// The coefficients lrsFilterUp weighs one wing's samples by, in the order it walks them; their count.
int wingCoefficients(const float* imp, const float* impD, unsigned int length, double phase, int step, float* c) {
    const double scaled = phase * kPerZero;
    unsigned int k, end;
    upWing(scaled, phase, length, step, &k, &end);
    const float a = float(scaled - std::floor(scaled));
    int n = 0;
    for (; k < end; k += kPerZero)
        c[n++] = imp[k] + impD[k] * a;
    return n;
}

// One wing over interleaved stereo samples by those coefficients, each channel summed exactly as lrsFilterUp
// sums it.
void wingStereo(const float* c, int n, const short* samples, int step, float* left, float* right) {
    float l = 0.0f, r = 0.0f;
    for (int j = 0; j < n; ++j) {
        l += c[j] * float(samples[0]);
        r += c[j] * float(samples[1]);
        samples += step;
    }
    *left = l;
    *right = r;
}

struct BandFilter;
const BandFilter& bandFilter(); // the band-limited read's filter, built once

} // namespace

Resample::Resample() {
    init(0);
    m_band = &bandFilter(); // built here, never first on the audio thread
    m_bank.assign(size_t(kBankRows * kMaxBandTaps), 0.0f);
}

Resample::~Resample() = default;

void Resample::init(unsigned int N) {
    if (N != 0 || m_table.empty()) {
        if (N < 4) N = 4;
        if (N > 100) N = 100;
        if (N != m_N || m_table.empty()) buildTable(N);
    }
    m_cache[0].frame = m_cache[1].frame = -1;
}

void Resample::buildTable(unsigned int N) {
    const unsigned int length = (N - 1) * kPerZero / 2;
    m_table.assign(length, 0.0f);
    m_diff.assign(length, 0.0f);
    lrsLpFilter(m_table.data(), length, 0.5 * rolloffFor(N), betaFor(N), kPerZero);
    for (unsigned int i = 0; i + 1 < length; ++i)
        m_diff[i] = m_table[i + 1] - m_table[i];
    m_diff[length - 1] = -m_table[length - 1];
    m_taps = int((length + kPerZero - 1) / kPerZero);
    m_N = N;
    m_plainFraction = -1;
}

void Resample::setFormat(const short* buffer, int length, int loaded, int channels, bool ring) {
    m_src = buffer;
    m_length = length > 0 ? length : 0;
    m_available = loaded < length ? loaded : length;
    if (m_available < 0) m_available = 0;
    m_channels = channels == 1 ? 1 : 2;
    m_ring = ring;
    if (ring) m_available = m_length;
    // The samples behind a cached frame may have been replaced.
    m_cache[0].frame = m_cache[1].frame = -1;
}

short Resample::sampleAt(int64_t frame, int channel) const {
    if (m_ring) {
        frame %= m_length;
        if (frame < 0) frame += m_length;
    } else if (frame < 0 || frame >= m_available) {
        return 0;
    }
    return m_src[frame * m_channels + channel];
}

float Resample::getSample(int frame, int channel) const {
    if (!m_src || m_available <= 0 || channel < 0) return 0.0f;
    return sampleAt(frame, channel < m_channels ? channel : 0);
}

float Resample::sinc(const short* center, int stride, double fraction) const {
    const unsigned int length = unsigned(m_table.size());
    return lrsFilterUp(m_table.data(), m_diff.data(), length, center, fraction, -stride) +
           lrsFilterUp(m_table.data(), m_diff.data(), length, center + stride, 1.0 - fraction, stride);
}

float Resample::sixPoint(int64_t frame, double fraction, int channel) {
    Cache& cache = m_cache[channel];
    if (cache.frame != frame) {
        short y[6];
        for (int m = 0; m < 6; ++m)
            y[m] = sampleAt(frame - 2 + m, channel);
        cache.interp.fit(y);
        cache.frame = frame;
    }
    return float(cache.interp.at(fraction));
}

float Resample::getOverSample(double position, int channel) {
    // Negative, NaN and infinite positions read silence (a ring could not wrap an infinite one).
    if (!(position >= 0.0) || std::isinf(position) || !m_src || m_available <= 0 || channel < 0) return 0.0f;
    if (channel >= m_channels) channel = 0; // a mono buffer gives its one channel to both
    if (m_ring) {
        if (position >= double(m_length)) position = std::fmod(position, double(m_length));
    } else if (position >= double(m_available) + 3.0) {
        return 0.0f; // beyond every neighbour: silence, also for positions too large for an integer
    }
    const int64_t i = int64_t(position);
    const double fraction = position - double(i);
    const int64_t N = m_N;

    bool useSinc = m_ring ? m_length > 2 * int64_t(m_taps) + 2 : N < i && i + N < m_available;
    if (useSinc) {
        float v;
        if (i >= m_taps - 1 && i + m_taps < m_length) {
            v = sinc(m_src + i * m_channels + channel, m_channels, fraction);
        } else {
            // Across a ring's wrap: gather the neighbours in order, then filter them as one run.
            short run[2 * kMaxTaps];
            for (int m = 0; m < 2 * m_taps; ++m)
                run[m] = sampleAt(i - (m_taps - 1) + m, channel);
            v = sinc(run + m_taps - 1, 1, fraction);
        }
        if (v > -65000.0f && v < 65000.0f) return v;
    }
    return sixPoint(i, fraction, channel);
}

void Resample::getOverSampleFrame(double position, float* left, float* right) {
    if (m_channels == 2 && position >= 0.0 && !std::isinf(position) && m_src && m_available > 0) {
        double p = position;
        if (m_ring && p >= double(m_length)) p = std::fmod(p, double(m_length));
        const int64_t i = int64_t(p);
        const int64_t N = m_N;
        const bool useSinc = m_ring ? m_length > 2 * int64_t(m_taps) + 2 : N < i && i + N < m_available;
        if ((m_ring || p < double(m_available) + 3.0) && useSinc && i >= m_taps - 1 && i + m_taps < m_length) {
            const double fraction = p - double(i);
            const unsigned int length = unsigned(m_table.size());
            const short* center = m_src + i * 2;
            float l1, r1, l2, r2;
            if (fraction != m_plainFraction) {
                // Kept while the fraction stays: a deck at exactly its file's rate reads at one fraction.
                m_plainFraction = fraction;
                m_plainTaps[0] =
                    wingCoefficients(m_table.data(), m_diff.data(), length, fraction, -2, m_plainWeights[0]);
                m_plainTaps[1] =
                    wingCoefficients(m_table.data(), m_diff.data(), length, 1.0 - fraction, 2, m_plainWeights[1]);
            }
            wingStereo(m_plainWeights[0], m_plainTaps[0], center, -2, &l1, &r1);
            wingStereo(m_plainWeights[1], m_plainTaps[1], center + 2, 2, &l2, &r2);
            const float l = l1 + l2, r = r1 + r2;
            *left = l > -65000.0f && l < 65000.0f ? l : sixPoint(i, fraction, 0);
            *right = r > -65000.0f && r < 65000.0f ? r : sixPoint(i, fraction, 1);
            return;
        }
    }
    // Edges, a ring's wrap and mono sources: one channel at a time.
    *left = getOverSample(position, 0);
    *right = getOverSample(position, 1);
}

namespace {

typedef float Float2 __attribute__((vector_size(8)));
typedef float Float4 __attribute__((vector_size(16)));

struct BandFilter {
    // Each entry's value and its difference to the next (per 1/65536 entry) side by side, so one read fetches
    // both; zero entries past the wing's end, as far as the lanes of a last group can reach.
    std::vector<Float2> table;
    bool wide = false; // the processor has AVX2 and FMA: 8 lanes
};

std::atomic<bool> g_wideAllowed{true}; // tests and benchmarks hold the reads to 4 lanes

const BandFilter& bandFilter() {
    static const BandFilter filter = [] {
        BandFilter f;
        std::vector<float> c(kBandEntries + 1, 0.0f);
        lrsLpFilter(c.data(), kBandEntries, 0.4525, 8.8, kBandPhases);
        f.table.assign(size_t(kBandEntries + kMostLanes * kBandPhases + 2), Float2{0, 0});
        for (int i = 0; i < kBandEntries; ++i)
            f.table[size_t(i)] = Float2{c[size_t(i)], float((c[size_t(i + 1)] - c[size_t(i)]) / kFixed)};
#if defined(__x86_64__) || defined(__i386__)
        __builtin_cpu_init();
        f.wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
        return f;
    }();
    return filter;
}

// The vectors of a group of lanes.
template <int Lanes> struct BandVectors;
template <> struct BandVectors<4> {
    typedef float Float __attribute__((vector_size(16)));
    typedef int Int __attribute__((vector_size(16)));
    typedef unsigned Unsigned __attribute__((vector_size(16)));
    typedef short Samples __attribute__((vector_size(16))); // two a lane: a group's stereo frames
};
template <> struct BandVectors<8> {
    typedef float Float __attribute__((vector_size(32)));
    typedef int Int __attribute__((vector_size(32)));
    typedef unsigned Unsigned __attribute__((vector_size(32)));
    typedef short Samples __attribute__((vector_size(32)));
    typedef short Half __attribute__((vector_size(16)));
};

#define BAND_INLINE inline __attribute__((always_inline))

// The weighed samples of `count` frames from `s` on (whole groups of lanes, `Channels` interleaved samples each)
// added to `sum` (stereo: left, right, left, right, ...); `weights(k, c)` gives the coefficients of the group
// from frame k on.
template <int Lanes, int Channels, class Weights>
BAND_INLINE void bandWeigh(const short* s, int count, Weights& weights, typename BandVectors<Lanes>::Float& sum) {
    typedef BandVectors<Lanes> V;
    typedef typename V::Int Int;
    typedef typename V::Float Float;
    Float other = {};
    for (int k = 0; k < count; k += Lanes, s += Lanes * Channels) {
        Float c;
        weights(k, c);
        // The frames' samples as floats, and the coefficients lined up with them (each twice for stereo).
        typename V::Samples x = {};
        std::memcpy(&x, s, Lanes * Channels * sizeof(short));
        Float low, high, lowWeights = c, highWeights = c;
        if constexpr (Lanes == 4) {
            // Each sample into the upper half of a lane, shifted down with its sign (no widening in SSE2).
            low = __builtin_convertvector((Int)__builtin_shufflevector(x, x, 0, 0, 1, 1, 2, 2, 3, 3) >> 16, Float);
            high = __builtin_convertvector((Int)__builtin_shufflevector(x, x, 4, 4, 5, 5, 6, 6, 7, 7) >> 16, Float);
            if (Channels == 2) {
                lowWeights = __builtin_shufflevector(c, c, 0, 0, 1, 1);
                highWeights = __builtin_shufflevector(c, c, 2, 2, 3, 3);
            }
        } else {
            typedef typename V::Half Half;
            const Half x0 = __builtin_shufflevector(x, x, 0, 1, 2, 3, 4, 5, 6, 7);
            const Half x1 = __builtin_shufflevector(x, x, 8, 9, 10, 11, 12, 13, 14, 15);
            low = __builtin_convertvector(__builtin_convertvector(x0, Int), Float);
            high = __builtin_convertvector(__builtin_convertvector(x1, Int), Float);
            if (Channels == 2) {
                lowWeights = __builtin_shufflevector(c, c, 0, 0, 1, 1, 2, 2, 3, 3);
                highWeights = __builtin_shufflevector(c, c, 4, 4, 5, 5, 6, 6, 7, 7);
            }
        }
        sum += low * lowWeights;
        if (Channels == 2) other += high * highWeights;
    }
    sum += other;
}

// The frames a read `fraction` past a frame weighs: `before` up to and including that frame, `count` in all
// (whole groups of lanes; the last ones may lie past the wing and weigh nothing), the first one's table position
// (negative: it lies before the read) and the step from one frame to the next.
struct BandTaps {
    int before, count;
    int first, step;
};

BandTaps bandTaps(double fraction, double factor, int lanes) {
    const double scale = factor * kBandPhases * kFixed, wing = kBandWing / factor; // wing: source frames
    BandTaps t;
    t.step = int(scale);
    // Taps while inside the wing: before at fraction, fraction + 1, ... frames from the read, after it at
    // 1 - fraction, 2 - fraction, ... (one more than needed when the wing ends on a tap: it weighs nothing).
    t.before = int(wing - fraction) + 1;
    t.count = (t.before + int(wing - (1.0 - fraction)) + 1 + lanes - 1) & -lanes; // lanes: a power of two
    t.first = -(int(fraction * scale) + (t.before - 1) * t.step);
    return t;
}

// Frame k of a read's run weighed by the table at |first + k x step| (1/65536 entries; negative before the
// read's position, positive after it), nothing past the wing's end.
template <int Lanes> struct TableWeights {
    typedef BandVectors<Lanes> V;
    const Float2* table;
    typename V::Int signedPosition, advance;
    BAND_INLINE TableWeights(const Float2* t, int first, int step) : table(t) {
        for (int k = 0; k < Lanes; ++k)
            signedPosition[k] = first + k * step;
        advance = typename V::Int{} + Lanes * step;
    }
    BAND_INLINE void operator()(int, typename V::Float& c) {
        const typename V::Int sign = signedPosition >> 31;
        const typename V::Unsigned position = (typename V::Unsigned)((signedPosition ^ sign) - sign);
        const typename V::Unsigned index = position >> 16;
        const typename V::Float fraction =
            __builtin_convertvector((typename V::Int)(position & 0xffff), typename V::Float);
        const Float4 e01 = __builtin_shufflevector(table[index[0]], table[index[1]], 0, 1, 2, 3);
        const Float4 e23 = __builtin_shufflevector(table[index[2]], table[index[3]], 0, 1, 2, 3);
        typename V::Float value, difference;
        if constexpr (Lanes == 4) {
            value = __builtin_shufflevector(e01, e23, 0, 2, 4, 6);
            difference = __builtin_shufflevector(e01, e23, 1, 3, 5, 7);
        } else {
            const Float4 e45 = __builtin_shufflevector(table[index[4]], table[index[5]], 0, 1, 2, 3);
            const Float4 e67 = __builtin_shufflevector(table[index[6]], table[index[7]], 0, 1, 2, 3);
            // Pairs 0, 1, 4, 5 and 2, 3, 6, 7: values and differences then part within each half of the vectors.
            const typename V::Float a = __builtin_shufflevector(e01, e45, 0, 1, 2, 3, 4, 5, 6, 7);
            const typename V::Float b = __builtin_shufflevector(e23, e67, 0, 1, 2, 3, 4, 5, 6, 7);
            value = __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14);
            difference = __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
        }
        signedPosition += advance;
        c = value + difference * fraction;
    }
};

// Frame k weighed by a parabola through the three rows of a steady rate's coefficients nearest the read's
// fraction.
template <int Lanes> struct BankWeights {
    typedef BandVectors<Lanes> V;
    const float* rows[3];
    float w[3];
    BAND_INLINE void operator()(int k, typename V::Float& c) {
        typename V::Float r0, r1, r2;
        std::memcpy(&r0, rows[0] + k, sizeof r0);
        std::memcpy(&r1, rows[1] + k, sizeof r1);
        std::memcpy(&r2, rows[2] + k, sizeof r2);
        c = r0 * w[0] + r1 * w[1] + r2 * w[2];
    }
};

// Frame k weighed by one row of a steady rate's coefficients: a read at a fraction the bank holds (a rate of
// 1.5 or 2 reads at no other).
template <int Lanes> struct RowWeights {
    typedef BandVectors<Lanes> V;
    const float* row;
    BAND_INLINE void operator()(int k, typename V::Float& c) { std::memcpy(&c, row + k, sizeof c); }
};

// The run `s` of `count` frames of `channels` samples weighed; the sums of the two channels (a mono run gives
// both its one), still to be scaled by the factor.
template <int Lanes, class Weights>
BAND_INLINE void bandRead(Weights& weights, const short* s, int count, int channels, float* left, float* right) {
    typename BandVectors<Lanes>::Float sum = {};
    if (channels == 2)
        bandWeigh<Lanes, 2>(s, count, weights, sum);
    else
        bandWeigh<Lanes, 1>(s, count, weights, sum);
    // Folded in halves down to left, right, left, right.
    Float4 half;
    if constexpr (Lanes == 8)
        half = __builtin_shufflevector(sum, sum, 0, 1, 2, 3) + __builtin_shufflevector(sum, sum, 4, 5, 6, 7);
    else
        half = sum;
    const Float4 pair = half + __builtin_shufflevector(half, half, 2, 3, 2, 3);
    if (channels == 2) {
        *left = pair[0];
        *right = pair[1];
    } else {
        *left = *right = pair[0] + pair[1];
    }
}

// The reads by the table and by a bank, four lanes and (where the processor has them) eight.
struct BankRows {
    const float* rows[3];
    float w[3];
};

void tableRead4(const Float2* table, const short* s, const BandTaps& t, int channels, float* left, float* right) {
    TableWeights<4> weights(table, t.first, t.step);
    bandRead<4>(weights, s, t.count, channels, left, right);
}
void bankRead4(const BankRows& b, const short* s, int count, int channels, float* left, float* right) {
    if (b.w[0] == 0.0f && b.w[2] == 0.0f) {
        RowWeights<4> weights{b.rows[1]};
        bandRead<4>(weights, s, count, channels, left, right);
        return;
    }
    BankWeights<4> weights{{b.rows[0], b.rows[1], b.rows[2]}, {b.w[0], b.w[1], b.w[2]}};
    bandRead<4>(weights, s, count, channels, left, right);
}

#if defined(__x86_64__) || defined(__i386__)
#define BAND_WIDE __attribute__((target("avx2,fma")))
const int kWideLanes = 8;
#else
#define BAND_WIDE
const int kWideLanes = 4;
#endif

BAND_WIDE void tableRead8(const Float2* table, const short* s, const BandTaps& t, int channels, float* left,
                          float* right) {
    TableWeights<kWideLanes> weights(table, t.first, t.step);
    bandRead<kWideLanes>(weights, s, t.count, channels, left, right);
}
BAND_WIDE void bankRead8(const BankRows& b, const short* s, int count, int channels, float* left, float* right) {
    if (b.w[0] == 0.0f && b.w[2] == 0.0f) {
        RowWeights<kWideLanes> weights{b.rows[1]};
        bandRead<kWideLanes>(weights, s, count, channels, left, right);
        return;
    }
    BankWeights<kWideLanes> weights{{b.rows[0], b.rows[1], b.rows[2]}, {b.w[0], b.w[1], b.w[2]}};
    bandRead<kWideLanes>(weights, s, count, channels, left, right);
}

// The coefficient of a frame `distance` source frames from a read at `factor`, by the table as the reads
// weigh it; 0 past the wing.
float bandCoefficient(const Float2* table, double distance, double factor) {
    const double position = std::fabs(distance) * factor * kBandPhases; // table entries
    if (!(position < kBandEntries)) return 0.0f;
    const int k = int(position);
    return table[k][0] + table[k][1] * float((position - k) * kFixed);
}

} // namespace

inline bool Resample::prepareStretched(double& position, double& factor, int64_t& frame, double& fraction) const {
    if (!(factor >= kMinFactor)) factor = kMinFactor; // NaN too
    if (!(position >= 0.0) || std::isinf(position) || !m_src || m_available <= 0) return false;
    if (m_ring) {
        if (position >= double(m_length)) position = std::fmod(position, double(m_length));
    } else if (position >= double(m_available) + 3.0) {
        return false;
    }
    frame = int64_t(position);
    fraction = position - double(frame);
    return true;
}

inline const short* Resample::stretchedRun(int64_t frame, int before, int count, short* run) const {
    const int64_t first = frame - (before - 1);
    const int64_t frames = m_ring ? m_length : m_available;
    if (first >= 0 && first + count <= frames) return m_src + first * m_channels;
    gatherRun(first, count, run);
    return run;
}

void Resample::gatherRun(int64_t first, int count, short* run) const {
    // Near an edge (silence beyond it) or across a ring's wrap: the neighbours gathered in order.
    for (int m = 0; m < count; ++m)
        for (int ch = 0; ch < m_channels; ++ch)
            run[m * m_channels + ch] = sampleAt(first + m, ch);
}

void Resample::buildBank(double factor) {
    const Float2* table = static_cast<const BandFilter*>(m_band)->table.data();
    const double wing = kBandWing / factor; // source frames
    // Room for every fraction a row is taken at (-1/32 .. 1 + 1/32), in whole groups of the widest lanes.
    m_bankBefore = int(wing) + 2;
    m_bankCount = (m_bankBefore + int(wing) + 2 + kMostLanes - 1) & -kMostLanes;
    for (int r = 0; r < kBankRows; ++r) {
        const double fraction = double(r - 1) / kBankPhases;
        float* row = &m_bank[size_t(r * kMaxBandTaps)];
        for (int m = 0; m < m_bankCount; ++m)
            row[m] = bandCoefficient(table, double(m - (m_bankBefore - 1)) - fraction, factor);
    }
    m_bankFactor = factor;
}

bool Resample::allowWideReads(bool allow) {
    g_wideAllowed = allow;
    return bandFilter().wide;
}

float Resample::getResample(double position, int channel, double factor) {
    if (!(factor < 1.0)) return getOverSample(position, channel);
    if (channel < 0) return 0.0f;
    float left = 0.0f, right = 0.0f;
    getResampleFrame(position, factor, &left, &right);
    return channel == 1 ? right : left;
}

void Resample::getResampleFrame(double position, double factor, float* left, float* right) {
    if (!(factor < 1.0)) {
        *left = getOverSample(position, 0);
        *right = m_channels == 2 ? getOverSample(position, 1) : *left;
        return;
    }
    int64_t i = 0;
    double fraction = 0;
    if (!prepareStretched(position, factor, i, fraction)) {
        *left = *right = 0.0f;
        return;
    }
    const int second = m_channels == 2 ? 1 : 0;
    if (m_ring && m_length <= int64_t(kMaxBandTaps)) {
        // A ring too short for the stretched filter.
        *left = sixPoint(i, fraction, 0);
        *right = sixPoint(i, fraction, second);
        return;
    }
    const BandFilter& band = *static_cast<const BandFilter*>(m_band);
    const bool wide = band.wide && g_wideAllowed.load(std::memory_order_relaxed);
    short run[2 * kMaxBandTaps];
    // A rate held for a while is read through its bank of coefficients.
    if (factor != m_bankFactor) {
        m_heldReads = factor == m_heldFactor ? m_heldReads + 1 : 0;
        m_heldFactor = factor;
        if (m_heldReads >= kHeldReads) buildBank(factor);
    }
    if (factor == m_bankFactor) {
        // The parabola through the rows at the three fractions (n - 1 .. n + 1) / 64 nearest the read's: rows
        // n .. n + 2 (row r holds fraction (r - 1) / 64).
        const double u = fraction * kBankPhases;
        const int n = int(u + 0.5);
        const float t = float(u - n); // -0.5 .. 0.5
        const BankRows b = {{&m_bank[size_t(n * kMaxBandTaps)], &m_bank[size_t((n + 1) * kMaxBandTaps)],
                             &m_bank[size_t((n + 2) * kMaxBandTaps)]},
                            {t * (t - 1) * 0.5f, 1 - t * t, t * (t + 1) * 0.5f}};
        const short* s = stretchedRun(i, m_bankBefore, m_bankCount, run);
        if (wide)
            bankRead8(b, s, m_bankCount, m_channels, left, right);
        else
            bankRead4(b, s, m_bankCount, m_channels, left, right);
    } else {
        const BandTaps t = bandTaps(fraction, factor, wide ? kWideLanes : 4);
        const short* s = stretchedRun(i, t.before, t.count, run);
        if (wide)
            tableRead8(band.table.data(), s, t, m_channels, left, right);
        else
            tableRead4(band.table.data(), s, t, m_channels, left, right);
    }
    // The stretched filter sums to 1 / factor: scaled back to unity gain.
    *left *= float(factor);
    *right *= float(factor);
    // A sum beyond the 16-bit range (a full-scale square's overshoot) takes the 6-point read instead.
    if (!(*left > -65000.0f && *left < 65000.0f)) *left = sixPoint(i, fraction, 0);
    if (!(*right > -65000.0f && *right < 65000.0f)) *right = sixPoint(i, fraction, second);
}
