#include "audio/player/PlayerTimecode.h"

#include <algorithm>
#include <cmath>

namespace playertimecode {

double correctionStep(double c, double D) {
    if (D > 10) return (8999 * c + 0.005) / 9000;
    if (D < -10) return (9999 * c - 0.005) / 10000;
    if (D > 4) return (7999 * c + 0.002) / 8000;
    if (D < -4) return (7999 * c - 0.002) / 8000;
    if (D > 1) return (2999 * c + 0.0004) / 3000;
    if (D < -1) return (2999 * c - 0.0004) / 3000;
    if (D > 0.4) return (1599 * c + 0.0002) / 1600;
    if (D < -0.4) return (1599 * c - 0.0002) / 1600;
    return 800 * c / 801;
}

} // namespace playertimecode

void Player::updateFromFinalScratch(FinalScratch* decoder) {
    if (decoder) updateFromDecoder(*decoder);
}

void Player::followFinalScratchBlock(FinalScratch* decoder, const float* left, const float* right, int frames) {
    if (!decoder) return;
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, kFramesPerStateLock);
        const float* l = left + done;
        const float* r = right + done;
        done += n;
        CriticalSectionGuard stateGuard(&m_stateLock, std::try_to_lock);
        const bool locked = stateGuard.ownsLock();
        for (int i = 0; i < n; ++i) {
            decoder->calculate(l[i], r[i]);
            if (locked) {
                updateFromDecoderLocked(*decoder);
            } else {
                // Held by another thread: tried again frame by frame, so the deck misses only those frames.
                CriticalSectionGuard frameGuard(&m_stateLock, std::try_to_lock);
                if (frameGuard.ownsLock()) updateFromDecoderLocked(*decoder);
            }
        }
    }
}

void Player::updateFromTimeCode(double timeMs, double speed, VINYLCONTROL_MODE mode, bool newTime, int glideFrames) {
    if (!std::isfinite(timeMs) || !std::isfinite(speed)) return;
    const double fileRate = m_fileRate > 0 ? double(m_fileRate) : 44100.0;
    const double drift = timeMs - double(m_position) / (fileRate / 1000);
    m_tcLastDrift = drift;
    m_tcSmoothedDrift = (18 * m_tcSmoothedDrift + drift) / 19;
    const double D = m_tcSmoothedDrift;
    m_tcCorrection = mode == VINYLCONTROL_ABSOLUTE ? playertimecode::correctionStep(m_tcCorrection, D) : 0.0;

    const int smoothing = m_speedSmoothing;
    const double threshold = m_jitterThreshold;
    double& K = m_tcKeptSpeed;
    if (smoothing == 0) {
        K = speed;
    } else {
        const double e = std::fabs(speed - K);
        if (e > 0.051)
            K = (2999 * K + speed) / 3000;
        else if (e > 0.011)
            K = (8999 * K + speed) / 9000;
        else if (e > 0.002)
            K = (15999 * K + speed) / 16000;
        else
            K = (59999 * K + speed) / 60000;
    }
    // The histories take a value every 50 and every 60 calls: counting round 300 keeps both cadences.
    m_tcCalls = m_tcCalls >= 300 ? 1 : m_tcCalls + 1;
    if (smoothing == 2 && m_tcCalls % 50 == 0) {
        // A steady speed over the last five samples replaces a kept speed that lags behind it.
        m_tcShortHistory[m_tcShortIndex++] = speed;
        if (m_tcShortIndex == 5) {
            double mean = 0;
            for (double h : m_tcShortHistory)
                mean += h / 5;
            bool steady = true;
            for (double h : m_tcShortHistory)
                steady = steady && std::fabs(h - mean) <= 0.01;
            if (steady && std::fabs(K - mean) > 2 * threshold) K = mean;
            m_tcShortIndex = 0;
        }
    }

    double& S = m_tcSmoothedSpeed;
    if (smoothing == 0) {
        S = speed;
    } else {
        const double f = std::fabs(S - speed);
        double n;
        if (mode == VINYLCONTROL_ABSOLUTE)
            n = f < 0.001   ? 2010
                : f < 0.002 ? 910
                : f < 0.005 ? 710
                : f < 0.01  ? 310
                : f < 0.03  ? 160
                : f < 0.06  ? 20
                            : 2;
        else
            n = f < 0.01 ? 110 : f < 0.03 ? 10 : 2;
        S = (speed + (n - 1) * S) / n;
    }

    if (m_jitterMeasure) {
        m_jitterMax = std::max(m_jitterMax, std::fabs(K - S));
        if (++m_jitterSamples >= 500) {
            if (m_jitterMax > 0) {
                m_jitterSum = m_jitterSum + m_jitterMax;
                m_jitterCount = m_jitterCount + 1;
            }
            m_jitterMax = 0;
            m_jitterSamples = 0;
        }
    }

    double O = S;
    if (smoothing == 2) {
        if (m_tcCalls % 60 == 0) {
            m_tcLongHistory[m_tcLongIndex] = S;
            const int newest = m_tcLongIndex;
            m_tcLongIndex = (m_tcLongIndex + 1) % 300;
            if (m_tcLongCount < 300) ++m_tcLongCount;
            // The mean over the newest run of entries that stay close to the newest one.
            double sum = S;
            int n = 1;
            for (int step = 1; step <= 298 && step < m_tcLongCount; ++step) {
                const double h = m_tcLongHistory[(newest - step + 300) % 300];
                if (!(std::fabs(h - S) < (step < 100 ? 1.9 : 1.3) * threshold)) break;
                sum += h;
                ++n;
            }
            m_tcHistoryAverage = sum / n;
        }
        const double H = m_tcHistoryAverage, gap = std::fabs(S - H);
        if (gap <= threshold)
            O = H;
        else if (gap <= 3 * threshold)
            O = S * ((gap - threshold) / (2 * threshold)) + H * (1 - (gap - threshold) / (2 * threshold));
    }
    m_tcOutputSpeed = O;

    if (m_tcPastEnd) return;
    const double target = timeMs * fileRate / 1000;
    if (mode == VINYLCONTROL_RELATIVE) {
        setSpeed(smoothing == 1 && std::fabs(K - O) < 1.5 * threshold ? K : O, glideFrames);
        if (timeMs < 0 && std::fabs(drift) > playertimecode::kJumpMs) changePosition(target);
        return;
    }
    const bool keep = smoothing == 1 && std::fabs(K - O) < 1.5 * threshold && std::fabs(D) < 5;
    setSpeed(keep ? K + m_tcCorrection / 3 : O + m_tcCorrection, glideFrames);
    if (newTime && ((mode == VINYLCONTROL_ABSOLUTE && std::fabs(drift) > playertimecode::kJumpMs) || m_tcResync)) {
        changePosition(target);
        m_tcCorrection = 0;
        m_tcResync = false;
    }
}
