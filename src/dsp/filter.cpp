#include "dsp/filter.h"

#include <cfloat>
#include <cmath>

namespace dsp {

namespace {

// Effective type by [type][gain not positive]: a negative gain turns a boost into the matching cut.
const int kEffectiveType[7][2] = {
    {filter::LowShelf, filter::HighShelf}, {filter::HighShelf, filter::LowShelf}, {filter::Notch, filter::Notch},
    {filter::Peaking, filter::Notch},      {filter::HighShelf, filter::LowPass},  {filter::LowShelf, filter::HighPass},
    {filter::BandPass, filter::BandPass},
};

// Brings `value` one step towards `target`, landing on it when within a step.
void moveTowards(float& value, float target, float step) {
    if (value > target + step)
        value -= step;
    else if (value < target - step)
        value += step;
    else
        value = target;
}

const float kMaxGainDb = 120.0f; // the largest boost or cut, either way

float stepForRate(float rate) {
    return 44100.0f / rate * 0.02f;
}

bool storeIfChanged(std::atomic<float>& target, float value) {
    if (target.load(std::memory_order_relaxed) == value) return false;
    target.store(value, std::memory_order_relaxed);
    return true;
}

} // namespace

filter::filter(float sampleRate) {
    if (!(sampleRate > 0.0f) || !std::isfinite(sampleRate)) sampleRate = 44100.0f;
    m_targetRate.store(sampleRate, std::memory_order_relaxed);
    m_rate = sampleRate;
    m_step = stepForRate(sampleRate);
}

filter::~filter() = default;

void filter::setFrequency(float hz) {
    if (std::isnan(hz)) return;
    float rate = m_targetRate.load(std::memory_order_relaxed);
    if (hz < 5.0f) hz = 5.0f;
    if (hz > rate) hz = rate;
    if (storeIfChanged(m_targetFrequency, hz)) markChanged();
}

void filter::setSamplerate(float hz) {
    if (!(hz > 0.0f) || !std::isfinite(hz)) return;
    if (storeIfChanged(m_targetRate, hz)) markChanged();
}

void filter::setSlope(float slope) {
    if (std::isnan(slope)) return;
    if (storeIfChanged(m_targetSlope, slope)) markChanged();
}

void filter::setGain(float gain) {
    if (!std::isfinite(gain)) return;
    // Beyond the largest boost anything asks for (the limiter amplifies by at most 120 dB), a gain only drives
    // the output towards float overflow, which the next stage or the mix turns into infinity.
    if (gain > kMaxGainDb) gain = kMaxGainDb;
    if (gain < -kMaxGainDb) gain = -kMaxGainDb;
    if (storeIfChanged(m_targetGain, gain)) markChanged();
}

void filter::setType(int type) {
    if (type < LowShelf || type > BandPass) return;
    if (m_targetType.load(std::memory_order_relaxed) == type) return;
    m_targetType.store(type, std::memory_order_relaxed);
    markChanged();
}

void filter::setBandwidth(float octaves) {
    if (std::isnan(octaves)) return;
    if (octaves < 0.2f) octaves = 0.2f;
    if (octaves > 20.0f) octaves = 20.0f;
    if (storeIfChanged(m_targetBandwidth, octaves)) markChanged();
}

void filter::setParameter(int id, double value) {
    switch (id) {
    case 0:
        setFrequency(float(value));
        break;
    case 1:
        setSamplerate(float(value));
        break;
    case 2:
        setSlope(float(value));
        break;
    case 3:
        setBandwidth(float(value));
        break;
    case 4:
        if (value >= -2147483648.0 && value < 2147483648.0) setType(int(value));
        break;
    case 5:
        setGain(float(value));
        break;
    default:
        break;
    }
}

double filter::getParameter(int id) const {
    switch (id) {
    case 0:
        return m_targetFrequency.load(std::memory_order_relaxed);
    case 3:
        return m_targetBandwidth.load(std::memory_order_relaxed);
    case 5:
        return m_targetGain.load(std::memory_order_relaxed);
    case 6:
        return m_sharedCurGain.load(std::memory_order_relaxed);
    default:
        return 0.0;
    }
}

// Picks up settings written since the last sample. The acquire pairs with the setters' release, so the
// targets read by update() are at least as new as the change that was taken.
bool filter::pollSettings() {
    if (m_changed.load(std::memory_order_relaxed) && m_changed.exchange(false, std::memory_order_acquire))
        m_upToDate = false;
    return m_upToDate;
}

void filter::update() {
    const float rate = m_targetRate.load(std::memory_order_relaxed);
    if (rate != m_rate) {
        m_rate = rate;
        m_step = stepForRate(rate);
    }
    const float tFreq = m_targetFrequency.load(std::memory_order_relaxed);
    const float tGain = m_targetGain.load(std::memory_order_relaxed);
    const float tSlope = m_targetSlope.load(std::memory_order_relaxed);
    const float tBandwidth = m_targetBandwidth.load(std::memory_order_relaxed);
    const int tType = m_targetType.load(std::memory_order_relaxed);

    // Settled: the coefficients stay. A changed sample rate alone still needs new coefficients.
    if (m_freq == tFreq && m_gain == tGain && m_bandwidth == tBandwidth && m_type == tType && m_slope == tSlope &&
        m_wet == m_wetTarget && m_coefRate == m_rate) {
        m_upToDate = true;
        return;
    }
    m_upToDate = false;

    if (m_type == tType) {
        moveTowards(m_freq, tFreq, m_freq >= 600.0f ? 8.0f : 0.5f);
        moveTowards(m_gain, tGain, m_step);
        m_wetTarget = m_gain == 0.0f ? 0.0f : 1.0f;
    } else {
        // A type change fades the section out, switches, then fades back in above.
        m_wetTarget = 0.0f;
        if (m_gain > m_step)
            m_gain -= m_step;
        else if (m_gain < -m_step)
            m_gain += m_step;
        else if (m_wet == 0.0f) {
            m_gain = 0.0f;
            m_type = tType;
        }
    }

    moveTowards(m_wet, m_wetTarget, m_step);
    moveTowards(m_bandwidth, tBandwidth, m_step);
    m_slope = tSlope;
    applyCurrentSettings(tGain);
}

void filter::settle() {
    // Taken before the targets are read: a setter's change after this point is picked up by the next sample.
    m_changed.exchange(false, std::memory_order_acquire);
    m_rate = m_targetRate.load(std::memory_order_relaxed);
    m_step = stepForRate(m_rate);
    m_freq = m_targetFrequency.load(std::memory_order_relaxed);
    m_gain = m_targetGain.load(std::memory_order_relaxed);
    m_slope = m_targetSlope.load(std::memory_order_relaxed);
    m_bandwidth = m_targetBandwidth.load(std::memory_order_relaxed);
    m_type = m_targetType.load(std::memory_order_relaxed);
    m_wet = m_wetTarget = m_gain == 0.0f ? 0.0f : 1.0f;
    applyCurrentSettings(m_gain);
    m_upToDate = true;
}

// Derives what processing needs from the current settings: effective type, coefficients, output factor.
void filter::applyCurrentSettings(float targetGain) {
    m_absGain = std::fabs(m_gain);
    if (m_type >= 0) {
        bool positive = m_gain > 0.0f || (m_gain == 0.0f && targetGain > 0.0f);
        m_effType = kEffectiveType[m_type][positive ? 0 : 1];
        computeCoefficients();
    }
    if (m_gain < 0.0f) m_negFactor = 1.0f / std::pow(2.0f, -m_gain / 6.0f);
    m_sharedCurGain.store(m_gain, std::memory_order_relaxed);
}

void filter::computeCoefficients() {
    // Coefficients come from a frequency kept below Nyquist: at rate / 2 sin(omega) is about 0 and alpha
    // would be infinite. The stored target stays as it was set.
    float freq = m_freq;
    if (freq > 0.49f * m_rate) freq = 0.49f * m_rate;
    const float omega = 6.2831855f * freq / m_rate;
    const float sn = std::sin(omega);
    const float cs = std::cos(omega);

    float A = 1.0f, alpha = 0.0f, beta = 0.0f;
    if (m_effType == LowShelf || m_effType == HighShelf || m_effType == Peaking) A = std::pow(10.0f, m_absGain / 40.0f);
    if (m_effType >= Notch) alpha = sn * std::sinh(0.3465736f * m_bandwidth * omega / sn);
    if (m_effType == LowShelf || m_effType == HighShelf) {
        // A slope that is not positive, or so large that the root's argument goes negative, would give an
        // infinite or NaN beta: keep it in range.
        float slope = m_slope > 1e-4f ? m_slope : 1e-4f;
        float radicand = (A * A + 1.0f) / slope - (A - 1.0f) * (A - 1.0f);
        beta = std::sqrt(radicand > 0.0f ? radicand : 0.0f);
    }

    float b0, b1, b2, a0, a1, a2;
    switch (m_effType) {
    case LowShelf:
        b0 = A * ((A + 1) - (A - 1) * cs + beta * sn);
        b1 = 2 * A * ((A - 1) - (A + 1) * cs);
        b2 = A * ((A + 1) - (A - 1) * cs - beta * sn);
        a0 = (A + 1) + (A - 1) * cs + beta * sn;
        a1 = -2 * ((A - 1) + (A + 1) * cs);
        a2 = (A + 1) + (A - 1) * cs - beta * sn;
        break;
    case HighShelf:
        b0 = A * ((A + 1) + (A - 1) * cs + beta * sn);
        b1 = -2 * A * ((A - 1) + (A + 1) * cs);
        b2 = A * ((A + 1) + (A - 1) * cs - beta * sn);
        a0 = (A + 1) - (A - 1) * cs + beta * sn;
        a1 = 2 * ((A - 1) - (A + 1) * cs);
        a2 = (A + 1) - (A - 1) * cs - beta * sn;
        break;
    case Notch:
        b0 = 1;
        b1 = -2 * cs;
        b2 = 1;
        a0 = 1 + alpha;
        a1 = -2 * cs;
        a2 = 1 - alpha;
        break;
    case Peaking:
        b0 = 1 + alpha * A;
        b1 = -2 * cs;
        b2 = 1 - alpha * A;
        a0 = 1 + alpha / A;
        a1 = -2 * cs;
        a2 = 1 - alpha / A;
        break;
    case LowPass:
        b0 = (1 - cs) / 2;
        b1 = 1 - cs;
        b2 = (1 - cs) / 2;
        a0 = 1 + alpha;
        a1 = -2 * cs;
        a2 = 1 - alpha;
        break;
    case HighPass:
        b0 = (1 + cs) / 2;
        b1 = -(1 + cs);
        b2 = (1 + cs) / 2;
        a0 = 1 + alpha;
        a1 = -2 * cs;
        a2 = 1 - alpha;
        break;
    default: // BandPass, 0 dB peak
        b0 = alpha;
        b1 = 0;
        b2 = -alpha;
        a0 = 1 + alpha;
        a1 = -2 * cs;
        a2 = 1 - alpha;
        break;
    }
    const float nb0 = b0 / a0, nb1 = b1 / a0, nb2 = b2 / a0, na1 = -a1 / a0, na2 = -a2 / a0;
    // Tried for this rate, even when kept from before: a section whose settings cannot give finite
    // coefficients must still settle rather than recompute on every sample.
    m_coefRate = m_rate;
    // A NaN in the history would silence the section for good: keep the last good coefficients instead.
    if (!std::isfinite(nb0) || !std::isfinite(nb1) || !std::isfinite(nb2) || !std::isfinite(na1) || !std::isfinite(na2))
        return;
    m_b0 = nb0;
    m_b1 = nb1;
    m_b2 = nb2;
    m_a1 = na1;
    m_a2 = na2;
}

inline float filter::filterSample(History& h, float in) const {
    h.x2 = h.x1;
    h.x1 = h.x0;
    h.x0 = in;
    float y = m_b0 * h.x0 + m_b1 * h.x1 + m_b2 * h.x2 + m_a1 * h.y1 + m_a2 * h.y2;
    // Flush denormals (and keep exact zeros) so decaying tails stay fast. An infinite or NaN result (from such
    // an input) goes too: kept in the history it would silence the section for good.
    if (!(std::fabs(y) >= FLT_MIN && std::fabs(y) <= FLT_MAX)) y = 0.0f;
    h.y0 = y;
    h.y2 = h.y1;
    h.y1 = y;

    if (m_effType == Notch || m_effType == LowPass || m_effType == HighPass)
        return m_absGain * y + (1.0f - m_absGain) * in;
    if (m_gain < 0.0f) return m_negFactor * y;
    if (m_wet >= 1.0f) return y;
    return m_wet * y + (1.0f - m_wet) * in;
}

void filter::processChannel(int channel, float* sample) {
    if (channel < 0 || channel > 2) return;
    if (!pollSettings()) update();
    if (m_gain == 0.0f) return;
    *sample = filterSample(m_hist[channel], *sample);
}

void filter::process(float* left, float* right) {
    if (!pollSettings())
        update();
    else if (m_gain == 0.0f)
        return;
    *left = filterSample(m_hist[0], *left);
    *right = filterSample(m_hist[1], *right);
}

void filter::processBlock(float* left, float* right, int frames) {
    if (!pollSettings()) {
        // Gliding: a new setting every sample.
        for (int i = 0; i < frames; ++i)
            process(&left[i], &right[i]);
        return;
    }
    if (m_gain == 0.0f) return;
    // Settled: each channel in a row, as filterSample does it, with the history in locals meanwhile.
    for (int c = 0; c < 2; ++c) {
        float* samples = c == 0 ? left : right;
        History h = m_hist[c];
        for (int i = 0; i < frames; ++i)
            samples[i] = filterSample(h, samples[i]);
        m_hist[c] = h;
    }
}

} // namespace dsp
