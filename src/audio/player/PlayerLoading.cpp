// The whole-track player's load step, the fill-ratio counters the loading thread steers by, and loading
// inside the audio callback when the loading thread is switched off.
#include "audio/player/Player.h"

#include "analysis/GainAnalysis.h"
#include "analysis/WaveForm.h"
#include "analysis/fft.h"
#include "audio/decoders/AudioDecoder.h"

#include <algorithm>
#include <cstring>

int Player::getSomeDataNow(int urgency) {
    if (!m_loaded || m_closing || m_decoding || !m_fileOpen) return 0;
    // Never wait for the decode lock: init or close holds it only while it replaces the track.
    CriticalSectionGuard decodeGuard(&m_decodeLock, std::try_to_lock);
    if (!decodeGuard.ownsLock()) return 0;
    if (!m_loaded || m_closing || !m_fileOpen) return 0;
    m_decoding = true;

    int result = 0;
    const unsigned capacity = unsigned(std::max(0, int(m_capacity)));
    const double position = m_position;
    unsigned loaded = m_loadedFrames.load(std::memory_order_relaxed);
    if (m_buffer && !m_endOfFile && loaded < m_length && loaded < capacity &&
        (double(loaded) - position < kUrgentFrames || urgency < 3)) {
        const int ch = m_channels;
        unsigned bytes = 0;
        if (ch == 2 && loaded + AudioDecoder::maxReadBytes / (ch * 2) < capacity) {
            readDataFromFMod(m_buffer + size_t(loaded) * 2, &bytes);
            m_loadedFrames.store(loaded + bytes / 4, std::memory_order_release);
            updateResampler();
        } else {
            readDataFromFMod(m_scratch, &bytes);
            callback(nullptr, m_scratch, bytes / unsigned(2 * ch), 0);
        }
        if (bytes == 0) {
            // The end of the decoded data: the track is as long as what was decoded.
            loaded = m_loadedFrames.load(std::memory_order_relaxed);
            if (loaded == 0) {
                std::memset(m_buffer, 0, sizeof(short) * size_t(ch));
                m_loadedFrames.store(1, std::memory_order_release);
                loaded = 1;
            }
            m_length = loaded;
            m_waveForm->setLength(loaded);
            m_decoder->close();
            m_endOfFile = true;
            updateResampler();
        }
    }

    if (urgency < 3 && analyseSome(urgency)) result = 1;

    loaded = m_loadedFrames.load(std::memory_order_relaxed);
    if (urgency < 3 && m_stripesOn && m_nextStripeFrame < loaded && !isStreaming()) {
        int n = m_nextStripeFrame < position ? 64 : 32;
        if (urgency <= 1) n *= 2;
        for (int i = 0; i < n && m_nextStripeFrame < loaded; ++i) {
            const unsigned f = m_nextStripeFrame;
            if (!m_waveForm->process(f, getSample(f, 0), getSample(f, 1), false)) break;
            m_nextStripeFrame = f + 1;
        }
        result = 1;
    }

    if (loaded < m_length) {
        result = double(loaded) - position <= kUrgentFrames ? 3 : 2;
    } else if (loaded > m_length) {
        m_decoder->close();
        m_length = loaded;
    }
    m_decoding = false;
    return result;
}

bool Player::analyseSome(int) {
    const unsigned loaded = m_loadedFrames.load(std::memory_order_relaxed);
    const bool tempo = m_bpmAnalysis, gain = m_gainAnalysisOn;
    int n = 0;
    for (; n < 32; ++n) {
        const unsigned f = m_nextAnalysisFrame;
        if (f >= m_length || f >= loaded) break;
        const float left = getSample(f, 0);
        if (tempo) analyseFrame(f, left, -1);
        if (gain) {
            const float right = getSample(f, 1);
            analyseGain(f, &left, &right, 1);
        }
        m_nextAnalysisFrame = f + 1;
    }
    return n == 32;
}

void Player::analyseFrame(unsigned frame, float left, int position) {
    const int completed = position < 0 ? m_fft->addSample(left) : m_fft->addSample(left, 1, position);
    if (!completed || !(m_spectrum1 || m_spectrum2)) return;
    float bands[16];
    if (m_fft->getFFT_Data(bands, nullptr, 0, 16) < 0) return;
    // Three groups of the 16 display bands: low 1-4, mid 5-10, high 11-16.
    float low = 0, mid = 0, high = 0;
    for (int b = 0; b < 16; ++b)
        (b < 4 ? low : b < 10 ? mid : high) += bands[b];
    m_waveForm->processSpectrum(frame, low, mid, high);
}

void Player::analyseGain(unsigned frame, const float* left, const float* right, unsigned count) {
    m_gain->AnalyzeSamples(left, right, count, 2);
    if ((unsigned long long)frame + count >= m_length) m_gainDone.store(true, std::memory_order_release);
}

double Player::fetchTitleGain() {
    return m_gain ? m_gain->GetTitleGain() : 0;
}

void Player::countProcessedFrame() {
    m_processedCounter += 1;
    if (++m_processCount >= 8192) {
        m_processCount = 0;
        const bool filling = m_loadedFrames.load(std::memory_order_relaxed) < m_length || isStreaming();
        if (filling && m_readSinceDecay) {
            m_processedCounter *= 0.9;
            m_decodedCounter *= 0.9;
            m_readSinceDecay = false;
            if (!sml_separateLoadingThread) {
                // Loading inside the callback takes as many blocks per cycle as the processor load allows.
                const double load = m_loadEstimate, target = m_cpuTarget;
                if (load < target && m_progressSinceDecay) {
                    m_blocksPerCycle *= load < target - 10 ? 1.06 : load < target - 1 ? 1.003 : 1.0003;
                } else if (load > target) {
                    m_blocksPerCycle *= load > target + 10 ? 0.9 : load > target + 1 ? 0.99 : 0.9994;
                }
                m_blocksPerCycle = std::clamp(m_blocksPerCycle.load(), 1.0, 1000.0);
                m_progressSinceDecay = false;
            }
        }
    }
    if (!sml_separateLoadingThread) loadInsideCallback();
}

void Player::loadInsideCallback() {
    if (++m_frameCounter < m_framesPerCycle) return;
    m_frameCounter = 0;
    const int blocks = int(m_blocksPerCycle);
    for (int i = 0; i < blocks; ++i) {
        m_progress = false;
        int r = getSomeDataNow(0);
        if (m_progress) m_progressSinceDecay = true;
        if (r == 0) break;
    }
}
