#include "analysis/fft.h"

#include "analysis/bpm_detection.h"
#include "analysis/bandReduction.h"
#include "dsp/fftsg.h"

#include <algorithm>
#include <cmath>
#include <mutex>

double fft::fft_sinetable_w[4096];

namespace {

const double kPi = 3.14159265358979323846;
const int kTableSize = 8192; // the largest transform the shared table serves

// Builds the shared table once, whichever thread makes the first analyser; every analyser's work area then
// records that size, so no transform ever rebuilds the table while another reads it.
void ensureSineTable() {
    static std::once_flag once;
    std::call_once(once, [] {
        int ip[2] = {0, 0};
        std::vector<double> scratch(kTableSize, 0.0);
        rdft(kTableSize, 1, scratch.data(), ip, fft::fft_sinetable_w);
    });
}

} // namespace

fft::fft(double rate) : m_rate(rate > 0.0 && std::isfinite(rate) ? rate : 44100.0) {
    ensureSineTable();
    m_ip[0] = m_ip[1] = kTableSize / 4;
    InitializeCriticalSection(&m_lock);
    m_detector.reset(new bpm_detection(m_rate.load(), 5, 105, 80, 190, 0.9f, true, false, true));
    setWindowParams(2, 1024, 1);
}

fft::~fft() {
    pthread_mutex_destroy(&m_lock);
}

void fft::setWindowParams(int count, int size, int type) {
    CriticalSectionGuard guard(&m_lock);
    const int oldCount = m_count.load(std::memory_order_relaxed), oldSize = m_size.load(std::memory_order_relaxed),
              oldType = m_type.load(std::memory_order_relaxed);
    if (count < 1 || count > 16) count = oldCount;
    if (size != 1024 && size != 2048) size = oldSize;
    if (type != 0 && type != 1) type = oldType;
    const bool sizeChanged = size != oldSize;
    if (count != oldCount || sizeChanged) {
        m_windows.assign(size_t(count) * size_t(size), 0.0);
        for (int w = 0; w < count; ++w)
            m_writeIndex[w] = w * size / count; // staggered evenly
    }
    if (sizeChanged) m_coefficients.assign(size_t(size), 0.0);
    if (sizeChanged || type != oldType) {
        for (int i = 0; i < size; ++i) {
            double c;
            if (type == 0) { // Nuttall, periodic
                double x = double(i) / size;
                c = 0.355768 - 0.487396 * std::cos(2 * kPi * x) + 0.144232 * std::cos(4 * kPi * x) -
                    0.012604 * std::cos(6 * kPi * x);
            } else { // Hamming, symmetric
                c = 0.53836 - 0.46164 * std::cos(2 * kPi * i / (size - 1));
            }
            // Samples come on the 16-bit scale; the spectrum is taken on the unit scale.
            m_coefficients[size_t(i)] = float(c / 32767.0);
        }
    }
    m_count.store(count, std::memory_order_relaxed);
    m_size.store(size, std::memory_order_relaxed);
    m_type.store(type, std::memory_order_relaxed);
}

int fft::addSample(float x, int applyWindow, int position) {
    CriticalSectionGuard guard(&m_lock, std::try_to_lock);
    if (!guard.ownsLock()) return 0;
    m_counter = position > -2147483647 ? position - 1 : -2147483647;
    return addSample(x, applyWindow);
}

int fft::addSample(float x, int applyWindow) {
    CriticalSectionGuard guard(&m_lock, std::try_to_lock);
    if (!guard.ownsLock()) return 0;
    // A sample that is not finite, or absurdly far beyond the 16-bit scale, counts as silence: it would stay
    // in the detector's envelopes for good.
    if (!(std::fabs(x) <= 1e9f)) x = 0.0f;
    m_counter = m_counter >= 2147483645 ? 0 : m_counter + 1;
    if (m_detectorOn.load(std::memory_order_relaxed)) m_detector->process(x);
    int completed = 0;
    const int count = m_count.load(std::memory_order_relaxed), size = m_size.load(std::memory_order_relaxed);
    for (int w = 0; w < count; ++w) {
        double* window = m_windows.data() + size_t(w) * size_t(size);
        window[m_writeIndex[w]] = x;
        if (++m_writeIndex[w] == size) {
            m_writeIndex[w] = 0;
            analyse(window, size, applyWindow);
            completed = 1;
        }
    }
    return completed;
}

void fft::analyse(double* window, int size, int applyWindow) {
    if (applyWindow == 1)
        for (int i = 0; i < size; ++i)
            window[i] *= m_coefficients[size_t(i)];
    rdft(size, 1, window, m_ip, fft_sinetable_w);
    const int bins = size / 2;
    for (int k = 0; k < bins; ++k)
        m_power[k] = float(window[2 * k] * window[2 * k] + window[2 * k + 1] * window[2 * k + 1]);
    Frame& frame = m_ring[m_next];
    vis_SimplifySpectrum(m_power, frame.bands32, 32);
    vis_SimplifySpectrum(m_power, frame.bands16, 16);
    frame.stamp = m_counter / (m_rate.load(std::memory_order_relaxed) / 1000.0);
    if (m_detectorOn.load(std::memory_order_relaxed)) m_detector->calculateBPM(m_power, frame.stamp, frame.bands16, 16);
    m_next = (m_next + 1) % 16;
}

double fft::getFFT_Data(float* bands16, float* bands32, double delayMs, int count) {
    int slot;
    if (delayMs < 20.0) {
        slot = (m_next + 15) % 16;
    } else {
        // A repeated call without new samples looks 15 ms further on each time.
        if (m_counter == m_lastCounter) {
            ++m_repeats;
        } else {
            m_repeats = 0;
            m_lastCounter = m_counter;
        }
        const double target = m_lastCounter / (m_rate.load(std::memory_order_relaxed) / 1000.0) - delayMs +
                              (m_repeats > 0 ? (m_repeats - 1) * 15.0 : 0.0);
        // The oldest frame first, then backwards from the newest; the second oldest when none is late enough.
        slot = m_next;
        bool found = false;
        for (int step = 0; step < 15; ++step) {
            if (m_ring[slot].stamp >= target) {
                found = true;
                break;
            }
            slot = (slot + 15) % 16;
        }
        if (!found) slot = (m_next + 1) % 16;
    }
    const Frame& frame = m_ring[slot];
    if (frame.stamp == m_lastStamp) return -1.0;
    m_lastStamp = frame.stamp;
    if (count >= 48) {
        std::copy(frame.bands16, frame.bands16 + 16, bands16);
        std::copy(frame.bands32, frame.bands32 + 32, bands32);
    } else if (count >= 32) {
        std::copy(frame.bands32, frame.bands32 + 32, bands16);
    } else if (count > 0) {
        std::copy(frame.bands16, frame.bands16 + std::min(count, 16), bands16);
    }
    return frame.stamp;
}

void fft::getMostRecentData(float* out) {
    std::copy(m_power, m_power + 512, out);
}

float fft::getBPM() const {
    float bpm = m_detector->getBPM();
    return bpm < 0.0f || bpm > 300.0f ? 0.0f : bpm;
}

int fft::getNrOfBeats() const {
    return int(m_detector->getConfidence());
}

void fft::resetBPM() {
    CriticalSectionGuard guard(&m_lock);
    m_detector->reset();
    m_counter = 0;
}

void fft::setParameter(int id, double v) {
    switch (id) {
    // The other two settings go as values setWindowParams ignores, so it keeps them as they are under its
    // lock: a change made meanwhile from another thread is not undone.
    case 0:
        if (v >= 0.0 && v < 1e9) setWindowParams(0, int(v), -1);
        break;
    case 1:
        if (v >= 0.0 && v < 1e9) setWindowParams(int(v), 0, -1);
        break;
    case 2:
        if (v >= 0.0 && v < 1e9) setWindowParams(0, 0, int(v));
        break;
    case 3:
        // A rate that is not positive would make every stamp infinite or NaN.
        if (v > 0.0 && std::isfinite(v)) {
            m_rate.store(v, std::memory_order_relaxed);
            m_detector->setParameter(9, v);
        }
        break;
    case 4:
        m_detectorOn.store(v > 0.5, std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

double fft::getParameter(int id) const {
    switch (id) {
    case 0:
        return m_size.load(std::memory_order_relaxed);
    case 1:
        return m_count.load(std::memory_order_relaxed);
    case 2:
        return m_type.load(std::memory_order_relaxed);
    case 3:
        return m_rate.load(std::memory_order_relaxed);
    default:
        return 0.0;
    }
}
