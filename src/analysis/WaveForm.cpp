// Waveform stripes and views: overview, detailed stripes with their envelope, frequency stripes, the music
// state and limit points.
#include "analysis/WaveForm.h"

#include "dsp/Interpolator6.h"
#include "dsp/filter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {
const auto relaxed = std::memory_order_relaxed;

void clearArray(std::atomic<float>* a, size_t n) {
    for (size_t i = 0; i < n; ++i)
        a[i].store(0.0f, relaxed);
}

void raise(std::atomic<float>& max, float v) {
    if (v > max.load(relaxed)) max.store(v, relaxed);
}
} // namespace

struct WaveForm::DetailBlock {
    size_t capacity; // entries of each array
    std::unique_ptr<std::atomic<float>[]> stripes, envelope, band[3];

    explicit DetailBlock(size_t n)
        : capacity(n), stripes(new std::atomic<float>[n]), envelope(new std::atomic<float>[n]) {
        for (auto& b : band)
            b.reset(new std::atomic<float>[n]);
        clear(n);
    }
    void clear(size_t n) {
        n = std::min(n, capacity);
        clearArray(stripes.get(), n);
        clearArray(envelope.get(), n);
        for (auto& b : band)
            clearArray(b.get(), n);
    }
};

WaveForm::WaveForm(double rate, double length, TrackSamples* track) : m_track(track) {
    clearArray(m_overview, kOverviewStripes);
    clearArray(m_cached, kOverviewStripes);
    for (auto& c : m_coarse)
        clearArray(c, kOverviewStripes);
    clearArray(m_fineMax, 3);
    clearArray(m_coarseMax, 3);
    if (track) {
        m_lowPass = std::make_unique<dsp::filter>(44100.0f);
        m_lowPass->setType(dsp::filter::LowPass);
        m_lowPass->setFrequency(250);
        m_lowPass->setGain(-1);
        m_highPass = std::make_unique<dsp::filter>(44100.0f);
        m_highPass->setType(dsp::filter::HighPass);
        m_highPass->setFrequency(50);
        m_highPass->setGain(-1);
    }
    initStripes(rate, length);
}

WaveForm::~WaveForm() = default;

void WaveForm::initStripes(double rate, double length) {
    {
        std::lock_guard<std::mutex> guard(m_stripeLock);
        resetStripesLocked(rate, length);
    }
    {
        std::lock_guard<std::mutex> guard(m_limitLock);
        m_limitA.clear();
        m_limitB.clear();
        m_limitComputed = false;
    }
    std::lock_guard<std::mutex> guard(m_beatLock);
    resetGridLocked(rate, length);
}

void WaveForm::resetStripesLocked(double rate, double length) {
    if (!(rate > 0) || !std::isfinite(rate)) rate = 0;
    if (!(length > 0) || !std::isfinite(length)) length = 0;
    m_rate.store(rate, relaxed);
    m_length.store(length, relaxed);
    m_initLength.store(length, relaxed);
    m_lastOverview.store(0, relaxed);
    m_lastDetailed.store(0, relaxed);
    m_lastCoarse.store(-1, relaxed);
    m_sum1 = m_sum2 = m_sum3 = 0;
    m_overviewMax.store(0, relaxed);
    m_detailedMax.store(0, relaxed);
    m_envelopeMax.store(0, relaxed);
    m_maxPeak.store(0, relaxed);
    clearArray(m_fineMax, 3);
    clearArray(m_coarseMax, 3);

    int count = 0;
    if (length > 0 && rate > 0) {
        double n = length / rate * m_stripesPerSecond.load(relaxed);
        count = int(std::min(n, double(kMaxDetailedStripes)));
    }
    // Arrays only grow; a block a reader may still hold stays allocated until the waveform goes.
    DetailBlock* block = m_detail.load(relaxed);
    if (!block || block->capacity < size_t(count) + 1) {
        size_t capacity = block ? std::max(size_t(count) + 1, block->capacity * 3 / 2) : size_t(count) + 1;
        m_blocks.push_back(std::make_unique<DetailBlock>(capacity));
        block = m_blocks.back().get();
        m_detail.store(block, std::memory_order_release);
    } else {
        block->clear(block->capacity);
    }
    m_detailedCount.store(count, relaxed);
    m_overviewFactor.store(length > 0 ? kOverviewStripes / length : 0, relaxed);
    m_detailedFactor.store(length > 0 ? count / length : 0, relaxed);

    clearArray(m_overview, kOverviewStripes);
    clearArray(m_cached, kOverviewStripes);
    for (auto& c : m_coarse)
        clearArray(c, kOverviewStripes);
}

void WaveForm::setLength(double newLength) {
    const double length = m_length.load(relaxed);
    if (!(length > 0) || !(newLength > 0) || !std::isfinite(newLength)) return;
    const double r = newLength / length;
    if (std::fabs(std::trunc(kOverviewStripes - kOverviewStripes * r)) < 1.5) return;
    std::lock_guard<std::mutex> guard(m_stripeLock);
    // From a copy: with r < 1 a stripe reads one below it, which an in-place pass would already have changed.
    float old[kOverviewStripes];
    for (int i = 0; i < kOverviewStripes; ++i)
        old[i] = m_overview[i].load(relaxed);
    for (int i = 0; i < kOverviewStripes; ++i) {
        double from = std::trunc(r * i);
        if (from < kOverviewStripes) m_overview[i].store(float(r * old[int(from)]), relaxed);
    }
    m_overviewMax.store(float(m_overviewMax.load(relaxed) * r), relaxed);
    if (newLength < length) {
        m_length.store(newLength, relaxed);
        m_overviewFactor.store(kOverviewStripes / newLength, relaxed);
    }
}

void WaveForm::setDetailedStripesPerSecond(int n) {
    if (n <= 0) return;
    double rate, length;
    {
        std::lock_guard<std::mutex> guard(m_stripeLock);
        m_stripesPerSecond.store(n, relaxed);
        rate = m_rate.load(relaxed);
        length = m_initLength.load(relaxed);
    }
    // Re-sizing clears the stripes and the beat grid, as for a new track.
    initStripes(rate, length);
}

// ---------------------------------------------------------------------------------------------------------
// Producers

int WaveForm::process(unsigned position, float left, float right, bool clearNew) {
    std::unique_lock<std::mutex> lock(m_stripeLock, std::try_to_lock);
    if (!lock.owns_lock()) return 0;
    m_lastPosition.store(position, relaxed);
    if (!(double(position) < m_initLength.load(relaxed))) return 1;
    const float v = std::fabs(left) + std::fabs(right);

    const int i = toIndex(position * m_overviewFactor.load(relaxed));
    if (i < kOverviewStripes) {
        if (clearNew && i != m_lastOverview.load(relaxed)) m_overview[i].store(0, relaxed);
        const float s = m_overview[i].load(relaxed) + v;
        m_overview[i].store(s, relaxed);
        raise(m_overviewMax, s);
    }
    m_lastOverview.store(i, relaxed);
    // The peak of either sign: a gain held to the positive peak alone clipped tracks whose troughs go deeper.
    raise(m_maxPeak, std::fabs(left));
    raise(m_maxPeak, std::fabs(right));

    DetailBlock* b = m_detail.load(relaxed);
    const int count = m_detailedCount.load(relaxed);
    const double factor = m_detailedFactor.load(relaxed);
    const int d = toIndex(position * factor);
    const int last = m_lastDetailed.load(relaxed);
    if (clearNew && d != last) {
        if (d < count) b->stripes[d].store(0, relaxed);
        // After a jump the envelope's running sums start over.
        if (std::abs(d - last) > 10) m_sum1 = m_sum2 = m_sum3 = 0;
    }
    m_lastDetailed.store(d, relaxed);
    if (d < count) {
        const float s = b->stripes[d].load(relaxed) + v;
        b->stripes[d].store(s, relaxed);
        raise(m_detailedMax, s);
    }

    // The stripe of the previous frame, just completed when it differs from this frame's.
    const int e = toIndex((double(position) - 1.0) * factor);
    if (e != d && e >= 0 && e < count) {
        auto D = [&](int k) { return k >= 0 ? b->stripes[k].load(relaxed) : 0.0f; };
        m_sum1 += D(e - 100) - D(e - 200); // stripes e-199 .. e-100
        m_sum2 += D(e) - D(e - 100);       // stripes e-99 .. e
        m_sum3 += D(e - 90) - D(e - 110);  // stripes e-109 .. e-90
        if (e >= 100) {
            // The 100-stripe sum on the side of stripe e-100 that matches its local level.
            const float local = 5 * m_sum3;
            const float env = std::fabs(m_sum1 - local) < std::fabs(m_sum2 - local) ? m_sum1 : m_sum2;
            b->envelope[e - 100].store(env, relaxed);
            raise(m_envelopeMax, std::fabs(env));
        }
        if (clearNew) m_envelopeMax.store(m_envelopeMax.load(relaxed) * 0.99999f, relaxed);
    }
    return 1;
}

int WaveForm::processSpectrum(unsigned position, float low, float mid, float high) {
    std::unique_lock<std::mutex> lock(m_stripeLock, std::try_to_lock);
    if (!lock.owns_lock()) return 0;
    if (!(double(position) < m_initLength.load(relaxed))) return 1;
    const float values[3] = {low, mid, high};
    DetailBlock* b = m_detail.load(relaxed);
    const int f = toIndex(position * m_detailedFactor.load(relaxed) + 0.5);
    if (f < m_detailedCount.load(relaxed)) {
        for (int k = 0; k < 3; ++k) {
            b->band[k][f].store(values[k], relaxed);
            raise(m_fineMax[k], values[k]);
        }
        const int c = toIndex(position * m_overviewFactor.load(relaxed) + 0.5);
        if (c < kOverviewStripes) {
            const bool same = c == m_lastCoarse.load(relaxed);
            for (int k = 0; k < 3; ++k) {
                const float v = same ? m_coarse[k][c].load(relaxed) + values[k] : values[k];
                m_coarse[k][c].store(v, relaxed);
                raise(m_coarseMax[k], v);
            }
            m_lastCoarse.store(c, relaxed);
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------------------
// Readers

float WaveForm::getStripe(unsigned i) const {
    if (i >= unsigned(kOverviewStripes)) return 0;
    const float v = m_overview[i].load(relaxed);
    const float cached = m_cached[i].load(relaxed);
    // The stripe still being filled holds part of its audio; a cached one, when larger, holds all of it.
    if (int(i) == m_lastOverview.load(relaxed)) return std::max(v, cached);
    return v == 0 ? cached : v;
}

void WaveForm::notePeak(float sample) {
    raise(m_maxPeak, std::fabs(sample));
}

void WaveForm::setStripeCached(unsigned i, float v) {
    if (i >= unsigned(kOverviewStripes)) return;
    m_cached[i].store(v, relaxed);
    raise(m_overviewMax, v);
}

float WaveForm::getDetailedStripe(unsigned i) const {
    const DetailBlock* b = detail();
    const int count = m_detailedCount.load(relaxed);
    if (!b || i >= unsigned(count) || i >= b->capacity || int(i) >= m_lastDetailed.load(relaxed)) return 0;
    return b->stripes[i].load(relaxed);
}

float WaveForm::getDetailedStripe2(unsigned i) const {
    const DetailBlock* b = detail();
    if (!b || i >= unsigned(m_detailedCount.load(relaxed)) || i >= b->capacity) return 0;
    return b->envelope[i].load(relaxed);
}

float WaveForm::getDetailedStripe2Max() const {
    const float max = m_envelopeMax.load(relaxed);
    return max > 0 ? max : 1.0f;
}

void WaveForm::getFrequencyStripe(unsigned i, float* low, float* mid, float* high) const {
    const DetailBlock* b = detail();
    if (!b || i >= unsigned(m_detailedCount.load(relaxed)) || i >= b->capacity) return;
    float* out[3] = {low, mid, high};
    for (int k = 0; k < 3; ++k) {
        const float max = m_fineMax[k].load(relaxed);
        if (max > 0 && out[k]) *out[k] = b->band[k][i].load(relaxed) / max;
    }
}

void WaveForm::getCoarseFrequencyStripe(unsigned i, float* low, float* mid, float* high) const {
    if (i >= unsigned(kOverviewStripes)) return;
    float* out[3] = {low, mid, high};
    for (int k = 0; k < 3; ++k) {
        const float max = m_coarseMax[k].load(relaxed);
        if (max > 0 && out[k]) *out[k] = m_coarse[k][i].load(relaxed) / max;
    }
}

float WaveForm::getDetailedStripeInterp(float position, int mode) const {
    // Beyond the stripes (and their six neighbours) everything reads 0.
    if (!(position >= 0) || position > float(m_detailedCount.load(relaxed)) + 16) return 0;
    const int k = int(position);
    double x = position - k;
    if (mode == 1)
        x = x / 2;
    else if (mode == 2)
        x = x / 4 + 0.5;
    auto D = [this](long i) { return i < 0 || i > INT32_MAX ? 0.0f : getDetailedStripe(unsigned(i)); };
    float y[6];
    for (int m = -2; m <= 3; ++m) {
        const long base = k;
        if (mode == 1)
            y[m + 2] = (D(base + 2 * m) + D(base + 2 * m + 1)) / 2;
        else if (mode == 2)
            y[m + 2] = (D(base + 4 * m - 2) + D(base + 4 * m - 1) + D(base + 4 * m) + D(base + 4 * m + 1)) / 4;
        else
            y[m + 2] = D(base + m);
    }
    dsp::Interpolator6 interp;
    interp.fit(y);
    return float(interp.at(x));
}

float WaveForm::getEnvelope(unsigned i) const {
    return getDetailedStripe2(i) / getDetailedStripe2Max();
}

int WaveForm::getMusicState(int stripe) const {
    const unsigned s = unsigned(std::max(0, stripe));
    const float r = getEnvelope(s);
    if (r > 0.8f) return 0;
    if (r < 0.2f) return 1;
    if (r > 0.7f) {
        for (unsigned j = 1; j < 40; ++j) {
            const float v = getEnvelope(s + j);
            if (v < 0.5f) break;
            if (v > 0.8f) return 0;
        }
    }
    if (r >= 0.6f) return -1;
    double sum = 0;
    int n = 0;
    for (unsigned j = 1; j < 40; ++j) {
        const float v = getEnvelope(s + j);
        if (v < 0.2f) return 1;
        sum += v;
        ++n;
        if (v > 0.8f) break;
    }
    return n > 0 && sum / n >= 0.4 ? -1 : 1;
}

// ---------------------------------------------------------------------------------------------------------
// Limit points

void WaveForm::calculateLimPoints(double minimumMs) {
    const double tempo = getGridBPM();
    const double sps = m_stripesPerSecond.load(relaxed);
    const int N = m_detailedCount.load(relaxed);
    std::vector<std::pair<double, double>> pairs;
    const double L = tempo > 0 ? 16 * (60000 / tempo / 1000) * sps : 0; // 16 beats, in stripes
    if (L >= 1 && L <= N) {
        const double q = L / 4;
        const float M = std::max(1.0f, m_detailedMax.load(relaxed));
        // How much stripe j differs from the stripe one block later, in level and in each band.
        std::vector<double> prefix(size_t(N) + 1, 0.0);
        for (int j = 0; j < N; ++j) {
            const long later = long(j + L);
            float a[3] = {0, 0, 0}, b[3] = {0, 0, 0};
            getFrequencyStripe(unsigned(j), &a[0], &a[1], &a[2]);
            if (later < N) getFrequencyStripe(unsigned(later), &b[0], &b[1], &b[2]);
            const float dj = getDetailedStripe(unsigned(j)) / M;
            const float dl = later < N ? getDetailedStripe(unsigned(later)) / M : 0.0f;
            const double term =
                std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) + std::fabs(a[2] - b[2]) + std::fabs(dj - dl);
            prefix[size_t(j) + 1] = prefix[size_t(j)] + term;
        }
        // novelty[i]: the sum over stripes i - q .. i + L + q (running sums, one pass).
        const int first = int(q);
        const double end = N - 2 * L - q;
        std::vector<double> novelty(size_t(N), 0.0);
        std::vector<int> order; // the candidates, least novel first (the earlier of equals first)
        for (int i = first; i < end; ++i) {
            const long from = std::max(0L, long(i - q));
            const long to = std::min(long(N), long(std::ceil(i + L + q)));
            novelty[size_t(i)] = from < to ? prefix[size_t(to)] - prefix[size_t(from)] : 0.0;
            order.push_back(i);
        }
        std::stable_sort(order.begin(), order.end(),
                         [&](int x, int y) { return novelty[size_t(x)] < novelty[size_t(y)]; });
        // Each pick takes the least novel block not yet taken; a taken block and its neighbours count as more
        // novel than any other, so once every candidate is taken the first of the range is picked again.
        std::vector<char> taken(size_t(N), 0);
        size_t next = 0;
        // A minimum below 0 counts as 0: each pair takes a block, so there are at most N / L of them.
        const double keep = std::max(0.0, sps * minimumMs / 1000);
        for (double remaining = N; remaining > keep; remaining -= L) {
            while (next < order.size() && taken[size_t(order[next])])
                ++next;
            const int p = next < order.size() ? order[next] : first;
            pairs.emplace_back(p * 1000 / sps, (L + p) * 1000 / sps);
            const long from = std::max(0L, long(p - L));
            const long to = std::min(long(N), long(2 * L + p));
            for (long i = from; i < to; ++i)
                taken[size_t(i)] = 1;
        }
        std::stable_sort(
            pairs.begin(), pairs.end(),
            [](const std::pair<double, double>& x, const std::pair<double, double>& y) { return x.first < y.first; });
    }
    std::lock_guard<std::mutex> guard(m_limitLock);
    m_limitA.clear();
    m_limitB.clear();
    for (const auto& pr : pairs) {
        m_limitA.push_back(pr.first);
        m_limitB.push_back(pr.second);
    }
    m_limitComputed = true;
}

bool WaveForm::hasLimitPoints() const {
    std::lock_guard<std::mutex> guard(m_limitLock);
    return m_limitComputed;
}

double WaveForm::getLimitPoint(int list, int i) const {
    std::lock_guard<std::mutex> guard(m_limitLock);
    const std::vector<double>& v = list == 0 ? m_limitA : m_limitB;
    if (i < 0 || size_t(i) >= v.size()) return -1;
    return v[size_t(i)];
}
