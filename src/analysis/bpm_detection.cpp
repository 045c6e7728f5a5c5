#include "analysis/bpm_detection.h"

#include "analysis/BeatReceiver.h"
#include "analysis/bandReduction.h"

#include <algorithm>
#include <cmath>

bpm_detection::bpm_detection(double rate, int nChannels, int nbBeats, int minBPM, int maxBPM, float threshold,
                             bool decay, bool bandLists, bool envelopeComb)
    : m_rate(rate > 0.0 && std::isfinite(rate) ? rate : 44100.0),
      m_nChannels(std::min(std::max(nChannels, 0), kMaxChannels)),
      m_comb(m_rate, minBPM, std::min(2 * minBPM, maxBPM), 0.1), m_bandListsOn(bandLists), m_combOn(envelopeComb) {
    for (int i = 0; i < 2 * m_nChannels; ++i)
        m_lists.emplace_back(minBPM, maxBPM, nbBeats, threshold, decay);
    m_score.assign(m_lists.size(), 0);
    m_weightedBPM.assign(m_lists.size(), 0.0f);
    for (int i = 0; i < 15; ++i)
        m_bandLists.emplace_back(minBPM, maxBPM, 30.0, 12);
}

bpm_detection::~bpm_detection() = default;

void bpm_detection::setParameter(int id, double v) {
    switch (id) {
    case 4:
        request(PendingReset);
        break;
    case 5:
        m_combOn.store(v > 0.5, std::memory_order_relaxed);
        break;
    case 6:
        m_bandListsOn.store(v > 0.5, std::memory_order_relaxed);
        break;
    case 7:
        m_requestedMinBPM.store(float(v), std::memory_order_relaxed);
        request(PendingMinBPM);
        break;
    case 8:
        m_requestedMaxBPM.store(float(v), std::memory_order_relaxed);
        request(PendingMaxBPM);
        break;
    case 9:
        if (!(v > 0.0) || !std::isfinite(v)) break;
        m_requestedRate.store(v, std::memory_order_relaxed);
        request(PendingRate);
        break;
    default:
        break;
    }
}

double bpm_detection::getParameter(int id) const {
    switch (id) {
    case 0:
        return m_bpm.load(std::memory_order_relaxed);
    case 1:
        return std::min(m_confidence.load(std::memory_order_relaxed), 99.0f);
    case 2:
        return m_beatCounter.load(std::memory_order_relaxed);
    case 3:
        return m_lastStepTime.load(std::memory_order_relaxed);
    case 5:
        return m_combOn.load(std::memory_order_relaxed) ? 1.0 : 0.0;
    case 6:
        return m_bandListsOn.load(std::memory_order_relaxed) ? 1.0 : 0.0;
    default:
        return 0.0;
    }
}

void bpm_detection::applyPending() {
    const unsigned int what = m_pending.exchange(0, std::memory_order_acquire);
    if (what & PendingRate) {
        m_rate = m_requestedRate.load(std::memory_order_relaxed);
        m_comb.setSamplerate(m_rate);
    }
    if (what & PendingMinBPM)
        for (auto& list : m_lists)
            list.setMinBPM(m_requestedMinBPM.load(std::memory_order_relaxed));
    if (what & PendingMaxBPM)
        for (auto& list : m_lists)
            list.setMaxBPM(m_requestedMaxBPM.load(std::memory_order_relaxed));
    if (what & PendingReset) reset();
}

void bpm_detection::reset() {
    for (auto& list : m_lists)
        list.reset();
    m_comb.reset();
    for (auto& band : m_bandLists)
        band.clear();
    m_bpm.store(0.0f, std::memory_order_relaxed);
    m_confidence.store(0.0f, std::memory_order_relaxed);
    m_beatCounter.store(0, std::memory_order_relaxed);
    m_lastStepTime.store(0.0, std::memory_order_relaxed);
    m_firstBeat = 0.0;
    m_firstBeatStrength = 0.0f;
    m_handedFirstBeat = 0.0;
    m_nextStep = 0.0;
    for (int c = 0; c < kMaxChannels; ++c)
        m_candidate[c] = 0.0f, m_candidateTime[c] = 0.0;
    m_previousFrame = 0.0;
    m_lastEvaluation = 0.0;
}

void bpm_detection::process(float x) {
    if (m_pending.load(std::memory_order_relaxed)) applyPending();
    if (m_combOn.load(std::memory_order_relaxed)) m_comb.process(x);
}

void bpm_detection::calculateBPM(float* spectrum, double now, const float* bands16, int nbBands) {
    if (m_pending.load(std::memory_order_relaxed)) applyPending();
    if (!(now > m_previousFrame)) reset();
    double dt = now - m_previousFrame;
    if (dt < 0.0 || dt > 200.0) dt = 12.0;
    m_previousFrame = now;
    const double k = dt / 12.0; // the rates below are per 12 ms

    spectrum[0] = std::max(0.0f, bands16[0] + bands16[1] + bands16[2] + bands16[3]);

    // Peak picker: a beat wherever a 100 ms maximum stands above the blend of a fast and a slow envelope.
    const float a1 = float(std::pow(0.995, k)), a2 = float(std::pow(0.999, k));
    for (int c = 0; c < m_nChannels; ++c) {
        const float x = spectrum[c];
        m_fast[c] = a1 * m_fast[c] + (1 - a1) * x;
        m_slow[c] = a2 * m_slow[c] + (1 - a2) * m_fast[c];
        if (now - m_peakTime[c] > 100.0) {
            if (0.1f * m_fast[c] + 0.9f * m_slow[c] < m_peak[c]) {
                m_slow[c] = 0.8f * m_slow[c] + 0.2f * m_peak[c];
                m_lists[size_t(m_nChannels + c)].AddBeat(m_peakTime[c], false, m_peak[c]);
            }
            m_peak[c] = 0.0f;
        }
        if (x > m_peak[c]) {
            m_peak[c] = x;
            m_peakTime[c] = float(now);
        }
    }

    // Threshold follower: a beat at the largest value of each excursion above a threshold that follows the
    // signal's average and peak envelope.
    const float a3 = float(std::pow(0.996, k)), a4 = float(std::pow(0.9, k)), a5 = float(std::pow(0.999, k));
    for (int c = 0; c < m_nChannels; ++c) {
        const float x = spectrum[c];
        bpm_beatlist::ThresholdFollower& f = m_lists[size_t(c)].follower;
        f.average = a3 * f.average + (1 - a3) * x;
        if (f.peakEnvelope < x) {
            if (x > 2 * f.peakEnvelope && f.ratio < 0.6f) f.ratio = 0.6f;
            f.peakEnvelope = a4 * f.peakEnvelope + (1 - a4) * x;
        }
        f.peakEnvelope = a5 * f.peakEnvelope;
        if (f.decay && now - f.lastDecay > 100.0) {
            f.lastDecay = now;
            f.threshold = f.ratio * f.peakEnvelope + (1 - f.ratio) * f.average;
            const double gap = now - f.lastAbove;
            f.ratio *= gap > 1000.0 ? 0.95f : gap >= 100.0 ? 1.0006f : 1.002f;
        }
        if (x > f.threshold) {
            f.lastAbove = now;
            if (x >= m_candidate[c]) {
                m_candidate[c] = x;
                m_candidateTime[c] = now;
            }
        } else if (f.threshold < m_candidate[c]) {
            m_lists[size_t(c)].AddBeat(m_candidateTime[c], false, m_candidate[c]);
            m_candidate[c] = 0.0f;
        }
    }

    BeatReceiver* waveForm = m_waveForm.load(std::memory_order_acquire);
    if (now - m_lastEvaluation > 500.0) {
        calculateList(now);
        m_lastEvaluation = now;
        if (m_bandListsOn.load(std::memory_order_relaxed)) {
            int best = -1;
            for (int i = 0; i < int(m_bandLists.size()); ++i) {
                const int error = m_bandLists[size_t(i)].getError();
                if (error > 0 && (best < 0 || error < m_bandLists[size_t(best)].getError())) best = i;
            }
            if (best >= 0 && getConfidence() <= 12.0f && m_bandLists[size_t(best)].getBPM() > 0.0f) {
                m_bpm.store(m_bandLists[size_t(best)].getBPM(), std::memory_order_relaxed);
                m_confidence.store(12.0f, std::memory_order_relaxed);
            }
        }
        if (m_combOn.load(std::memory_order_relaxed) && getConfidence() <= 16.0f && m_comb.getAccuracy() >= 2.7f) {
            m_bpm.store(m_comb.getBPM(), std::memory_order_relaxed);
            m_confidence.store(16.0f, std::memory_order_relaxed);
            if (waveForm) waveForm->setBPM(getBPM(), 16.0f);
        }
    }

    const float bpm = getBPM();
    if (bpm > 0.0f) {
        if (m_firstBeat != m_handedFirstBeat) {
            if (waveForm) {
                double frame = std::min(std::max(m_firstBeat * m_rate / 1000.0, 0.0), 4294967295.0);
                waveForm->addBeat(unsigned(frame), m_firstBeatStrength, bpm, getConfidence(), false, false);
            }
            m_handedFirstBeat = m_firstBeat;
        }
        if (now > m_nextStep) {
            // The counter steps once per beat, 160 ms ahead of the beat grid.
            const double period = 60000.0 / bpm;
            double t = std::trunc((now - m_firstBeat) / period) * period + m_firstBeat - 160.0;
            if (t < now + period / 2) t += std::ceil((now + period / 2 - t) / period) * period;
            while (t < now + period / 2)
                t += period;
            m_beatCounter.store(m_beatCounter.load(std::memory_order_relaxed) % 4 + 1, std::memory_order_relaxed);
            m_nextStep = t;
            m_lastStepTime.store(now, std::memory_order_relaxed);
        }
    }

    if (m_bandListsOn.load(std::memory_order_relaxed) && getConfidence() < 20.0f) {
        float values[16];
        const float* bands = bands16;
        if (nbBands != 16) {
            vis_SimplifySpectrum(spectrum, values, 16);
            bands = values;
        }
        for (int i = 0; i < int(m_bandLists.size()); ++i)
            m_bandLists[size_t(i)].AddSample(now, bands[i]);
    }
}

void bpm_detection::calculateList(double now) {
    float strengthBar = m_lists.empty() ? 0.0f : 0.5f * m_lists[0].getStrengthAverage();
    int bestScore = 0, best = 0, strongScore = 0, strong = 0;
    const int count = int(m_lists.size());
    for (int i = 0; i < count; ++i) {
        bpm_beatlist& list = m_lists[size_t(i)];
        list.calculate();
        m_score[size_t(i)] = 0;
        m_weightedBPM[size_t(i)] = 0.0f;
        const float b = list.getBPM();
        const int n = list.getNrOfBeats();
        if (list.getMinBPM() < b && b < list.getMaxBPM()) {
            // Lists that agree within 0.2 BPM add to the score and, unless short, to the weighted tempo.
            int score = n;
            double weight = n, weighted = double(n) * b;
            for (int j = 0; j < count; ++j) {
                if (j == i) continue;
                const bpm_beatlist& other = m_lists[size_t(j)];
                const int nj = other.getNrOfBeats();
                if (std::fabs(other.getBPM() - b) > 0.2f || nj <= 3) continue;
                score += nj / 2;
                if (!(nj <= 25 && nj < n)) {
                    weight += nj;
                    weighted += double(nj) * other.getBPM();
                }
            }
            m_score[size_t(i)] = score;
            m_weightedBPM[size_t(i)] = weight > 0.0 ? float(weighted / weight) : 0.0f;
            if (score > bestScore) {
                bestScore = score;
                best = i;
            }
            if ((strongScore < 25 && strongScore < score) || (score >= 25 && list.getStrengthAverage() > strengthBar)) {
                strong = i;
                strongScore = score;
                strengthBar = list.getStrengthAverage();
            }
        }
        if (list.getNewestBeatTime() > 0.0 && now - list.getNewestBeatTime() > 30000.0) list.clearBeats();
    }

    float confidence = getConfidence();
    if (confidence > 200.0f)
        confidence -= 1.0f;
    else if (confidence > 100.0f)
        confidence -= 0.5f;
    else if (confidence > 35.0f)
        confidence -= 0.32f;
    else if (confidence > 0.12f)
        confidence -= 0.12f;

    if (count > 0) {
        const bpm_beatlist& strongList = m_lists[size_t(strong)];
        if (bestScore > confidence) {
            m_bpm.store(m_weightedBPM[size_t(best)], std::memory_order_relaxed);
            m_firstBeat = strongList.getBeatTime();
            m_firstBeatStrength = float(strongList.getNrOfBeats());
            confidence = float(bestScore);
        } else if (strongList.getBeatTime() > m_firstBeat + 4000.0 && strongList.getNrOfBeats() > 14) {
            m_firstBeat = strongList.getBeatTime();
            m_firstBeatStrength = float(strongList.getNrOfBeats());
        }
    }
    m_confidence.store(std::min(confidence, 299.0f), std::memory_order_relaxed);
}
