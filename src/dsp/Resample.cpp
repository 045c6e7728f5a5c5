#include "dsp/Resample.h"

#include <cmath>

namespace {

const unsigned int kPerZero = 4096; // table entries per zero crossing
const int kMaxTaps = 50;            // samples one wing reads at the largest filter size, 100
const double kMinFactor = 0.25;     // the most a band-limited read stretches the filter
// Samples one wing of a band-limited read reads at most: the largest table at the smallest factor.
const int kMaxStretchedTaps = int(kMaxTaps / kMinFactor) + 2;
const double kPi = 3.14159265358979323846;

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

// lrsFilterUp over interleaved stereo samples: one coefficient for both channels at each tap, each channel summed
// exactly as lrsFilterUp sums it.
void filterUpStereo(const float* imp, const float* impD, unsigned int length, const short* samples, double phase,
                    int step, float* left, float* right) {
    const double scaled = phase * kPerZero;
    unsigned int k, end;
    upWing(scaled, phase, length, step, &k, &end);
    const float a = float(scaled - std::floor(scaled));
    float l = 0.0f, r = 0.0f;
    for (; k < end; k += kPerZero) {
        const float c = imp[k] + impD[k] * a;
        l += c * float(samples[0]);
        r += c * float(samples[1]);
        samples += step;
    }
    *left = l;
    *right = r;
}

// lrsFilterUD over interleaved stereo samples: one coefficient for both channels at each tap.
void filterUDStereo(const float* imp, const float* impD, unsigned int length, const short* samples, double phase,
                    int step, double tableStep, float* left, float* right) {
    double position = phase * tableStep;
    double end = length;
    if (step > 0) {
        end = length - 1;
        if (phase == 0.0) position += tableStep;
    }
    float l = 0.0f, r = 0.0f;
    for (; position < end; position += tableStep) {
        const unsigned int k = unsigned(position);
        const float c = imp[k] + impD[k] * float(position - double(k));
        l += c * float(samples[0]);
        r += c * float(samples[1]);
        samples += step;
    }
    *left = l;
    *right = r;
}

} // namespace

Resample::Resample() {
    init(0);
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
            filterUpStereo(m_table.data(), m_diff.data(), length, center, fraction, -2, &l1, &r1);
            filterUpStereo(m_table.data(), m_diff.data(), length, center + 2, 1.0 - fraction, 2, &l2, &r2);
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

bool Resample::prepareStretched(double& position, double& factor, int64_t& frame, double& fraction, int& taps) const {
    if (!(factor >= kMinFactor)) factor = kMinFactor; // NaN too
    if (!(position >= 0.0) || std::isinf(position) || !m_src || m_available <= 0) return false;
    if (m_ring) {
        if (position >= double(m_length)) position = std::fmod(position, double(m_length));
    } else if (position >= double(m_available) + 3.0) {
        return false;
    }
    frame = int64_t(position);
    fraction = position - double(frame);
    taps = int(double(m_table.size()) / (kPerZero * factor)) + 2; // samples one wing reads at most
    return true;
}

float Resample::getResample(double position, int channel, double factor) {
    if (!(factor < 1.0)) return getOverSample(position, channel);
    int64_t i = 0;
    double fraction = 0;
    int taps = 0;
    if (channel < 0 || !prepareStretched(position, factor, i, fraction, taps)) return 0.0f;
    if (channel >= m_channels) channel = 0;
    const unsigned int length = unsigned(m_table.size());
    const double tableStep = kPerZero * factor;
    const int64_t frames = m_ring ? m_length : m_available;

    float v;
    if (i >= taps - 1 && i + taps < frames) {
        const short* center = m_src + i * m_channels + channel;
        v = lrsFilterUD(m_table.data(), m_diff.data(), length, center, fraction, -m_channels, tableStep) +
            lrsFilterUD(m_table.data(), m_diff.data(), length, center + m_channels, 1.0 - fraction, m_channels,
                        tableStep);
    } else {
        // Near an edge (silence beyond it) or across a ring's wrap: gather the neighbours in order first.
        if (m_ring && m_length <= 2 * int64_t(taps) + 2) return sixPoint(i, fraction, channel);
        short run[2 * kMaxStretchedTaps];
        for (int m = 0; m < 2 * taps; ++m)
            run[m] = sampleAt(i - (taps - 1) + m, channel);
        const short* center = run + taps - 1;
        v = lrsFilterUD(m_table.data(), m_diff.data(), length, center, fraction, -1, tableStep) +
            lrsFilterUD(m_table.data(), m_diff.data(), length, center + 1, 1.0 - fraction, 1, tableStep);
    }
    // The stretched filter sums to 1 / factor: scaled back to unity gain.
    v *= float(factor);
    if (v > -65000.0f && v < 65000.0f) return v;
    return sixPoint(i, fraction, channel);
}

void Resample::getResampleFrame(double position, double factor, float* left, float* right) {
    if (m_channels != 2 || !(factor < 1.0)) {
        *left = getResample(position, 0, factor);
        *right = m_channels == 2 ? getResample(position, 1, factor) : *left;
        return;
    }
    int64_t i = 0;
    double fraction = 0;
    int taps = 0;
    if (!prepareStretched(position, factor, i, fraction, taps)) {
        *left = *right = 0.0f;
        return;
    }
    const unsigned int length = unsigned(m_table.size());
    const double tableStep = kPerZero * factor;
    const int64_t frames = m_ring ? m_length : m_available;

    const short* center;
    short run[4 * kMaxStretchedTaps];
    if (i >= taps - 1 && i + taps < frames) {
        center = m_src + i * 2;
    } else {
        if (m_ring && m_length <= 2 * int64_t(taps) + 2) {
            *left = sixPoint(i, fraction, 0);
            *right = sixPoint(i, fraction, 1);
            return;
        }
        for (int m = 0; m < 2 * taps; ++m) {
            run[2 * m] = sampleAt(i - (taps - 1) + m, 0);
            run[2 * m + 1] = sampleAt(i - (taps - 1) + m, 1);
        }
        center = run + 2 * (taps - 1);
    }
    float l1, r1, l2, r2;
    filterUDStereo(m_table.data(), m_diff.data(), length, center, fraction, -2, tableStep, &l1, &r1);
    filterUDStereo(m_table.data(), m_diff.data(), length, center + 2, 1.0 - fraction, 2, tableStep, &l2, &r2);
    const float l = (l1 + l2) * float(factor), r = (r1 + r2) * float(factor);
    *left = l > -65000.0f && l < 65000.0f ? l : sixPoint(i, fraction, 0);
    *right = r > -65000.0f && r < 65000.0f ? r : sixPoint(i, fraction, 1);
}
