// The decoder's outside: construction, settings, results, the capture and the bit dump.
#include "audio/vinyl/FinalScratch.h"
#include "foundation/PlatformIndependent.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <thread>

namespace {

constexpr auto R = std::memory_order_relaxed;

// Per type: samples per code unit at 44100 Hz, ms per null pass, and the offset of its table times (ms).
const double kSamplesPerUnit[FinalScratch::kTypes] = {18.375,    21.0,  22.05, 18.375, 16.96153846153846,
                                                      17.143875, 11.025};
const double kNullPassMs[FinalScratch::kTypes] = {0.4166666666666667,  0.47619047619047616, 0.5, 0.4166666666666667,
                                                  0.38461538461538464, 0.4231292517006803,  0.25};
const double kTypeOffsetMs[FinalScratch::kTypes] = {20000, 0, 3900, 0, 0, 0, 3900};

} // namespace

FinalScratch::FinalScratch(double sampleRate)
    : m_lowPass(sampleRate > 4000 ? float(sampleRate) : 44100.0f),
      m_highPass(sampleRate > 4000 ? float(sampleRate) : 44100.0f), m_sampleRate(44100.0), m_rateFactor(1.0) {
    // Band filters fully filtered: gain -1 is the wet amount of a low- or high-pass section.
    m_lowPass.setType(dsp::filter::LowPass);
    m_lowPass.setFrequency(7500);
    m_lowPass.setBandwidth(2.0f);
    m_lowPass.setGain(-1);
    m_highPass.setType(dsp::filter::HighPass);
    m_highPass.setFrequency(130);
    m_highPass.setBandwidth(2.0f);
    m_highPass.setGain(-1);
    setSampleRate(sampleRate);
    for (auto& v : m_capture)
        v.store(0, R);
    for (auto& v : m_dumpQueue)
        v.store(0, R);
}

FinalScratch::~FinalScratch() {
    setRecord(false);
}

void FinalScratch::setSampleRate(double hz) {
    if (!(hz > 4000) || !std::isfinite(hz)) return;
    m_sampleRate.store(hz, R);
    m_rateFactor.store(hz / 44100.0, R);
    m_lowPass.setSamplerate(float(hz));
    m_highPass.setSamplerate(float(hz));
}

double FinalScratch::getPitch() const {
    return m_pitch.load(R);
}

double FinalScratch::getCertainPitch() const {
    return m_certainPitch.load(R);
}

int FinalScratch::getDirection() const {
    return m_direction.load(R);
}

double FinalScratch::getTime() const {
    const int type = m_type.load(R);
    const double T = m_codeTime.load(R);
    const double P = m_nullPasses.load(R);
    const double mult = m_speedMultiplier.load(R), offset = m_offset.load(R);
    if (type == TIMECODE_MV) return (T / 44.1 + P * kNullPassMs[5]) * mult - offset;
    return (T / 48.0 + P * kNullPassMs[type]) * mult - offset - kTypeOffsetMs[type];
}

double FinalScratch::getVinylTime() const {
    return m_codeTime.load(R) / 48.0;
}

double FinalScratch::getMaxLengthMs() const {
    const bool sideA = m_region.load(R) < 0;
    switch (m_type.load(R)) {
    case 0:
        return 885000;
    case 1:
        return 710000;
    case 2:
        return sideA ? 600000 : 883000;
    case 6:
        return sideA ? 703200 : 948000;
    default:
        return 999999;
    }
}

double FinalScratch::getNullPassTime() const {
    return kNullPassMs[m_type.load(R)];
}

double FinalScratch::getNullPassTimeSamples() const {
    return kSamplesPerUnit[m_type.load(R)] * m_rateFactor.load(R);
}

int FinalScratch::getNrOfPeaks() const {
    return m_nullPasses.load(R);
}

VINYLCONTROL_MODE FinalScratch::getVCMode() const {
    return VINYLCONTROL_MODE(m_mode.load(R));
}

bool FinalScratch::isNewPitch() {
    return m_newPitch.load(R) && m_newPitch.exchange(false, R);
}

bool FinalScratch::isNewTime() {
    return m_newTime.load(R) && m_newTime.exchange(false, R);
}

bool FinalScratch::isNewCertainPitch() {
    return m_newCertainPitch.load(R) && m_newCertainPitch.exchange(false, R);
}

bool FinalScratch::isNewPitch_NonDestructive() const {
    return m_newPitch.load(R);
}

void FinalScratch::setParameter(int id, double value) {
    // No setting is infinite: an infinite speed multiplier or offset would make every pitch or time one.
    if (!std::isfinite(value)) return;
    // Integer settings are truncated; values outside int's range are not settings at all.
    const bool intRange = value > -2147483648.0 && value < 2147483648.0;
    const int asInt = intRange ? int(value) : 0;
    switch (id) {
    case 11:
        m_shortestSpan.store(value, R);
        break;
    case 14:
        m_mode.store(value < 0.5 ? 0 : value < 1.5 ? 1 : 2, R);
        break;
    case 16:
        m_speedMultiplier.store(value, R);
        break;
    case 17:
        m_offset.store(value, R);
        break;
    case 18:
        m_clearRequest.store(true, R);
        break;
    case 19:
        // A gain of 0 would divide the measured range by zero.
        m_inputGain.store(std::min(std::max(value, 0.001), 1000.0), R);
        break;
    case 20:
        if (intRange && asInt >= 0 && asInt < kTypes) m_type.store(asInt, R);
        break;
    case 21:
        if (intRange) m_minHysteresis.store(asInt, R);
        break;
    case 22:
        if (intRange) m_maxHysteresis.store(asInt, R);
        break;
    case 23:
        m_captureCount.store(0, std::memory_order_release);
        break;
    case 24:
        m_bandFilters.store(value > 0.5, R);
        break;
    case 25:
        m_waitFlag.store(value > 0.5, R);
        break;
    case 27:
        if (intRange && asInt >= 0 && asInt <= 2) m_pitchMethod.store(asInt, R);
        break;
    default:
        break;
    }
}

double FinalScratch::getParameter(int id, int index) {
    switch (id) {
    case 0:
        return getPitch();
    case 1:
        return getTime();
    case 2:
        return getDirection();
    case 3:
        return m_lastW1.load(R);
    case 4:
        return m_lastW2.load(R);
    case 5:
        return double(m_codeFrame.load(R));
    case 6:
        return double(m_frames.load(R));
    case 7:
        return getNrOfPeaks();
    case 8:
        return m_averageRange.load(R) < m_minHysteresis.load(R) ? 0.0 : double(m_lastRange.load(R));
    case 9:
        return isNewPitch() ? 1.0 : 0.0;
    case 10:
        return isNewTime() ? 1.0 : 0.0;
    case 11:
        return m_shortestSpan.load(R);
    case 12:
        return m_codesTaken.load(R);
    case 13:
        return m_averageRange.load(R);
    case 14:
        return m_mode.load(R);
    case 15:
        return m_codesLookedUp.load(R);
    case 16:
        return m_speedMultiplier.load(R);
    case 19:
        return m_inputGain.load(R);
    case 20:
        return m_type.load(R);
    case 21:
        return m_minHysteresis.load(R);
    case 22:
        return m_maxHysteresis.load(R);
    case 23:
        if (index < 0 || index >= kCaptureValues || index >= m_captureCount.load(std::memory_order_acquire)) return 0.0;
        return m_capture[index].load(R);
    case 25:
        return m_waitFlag.load(R) ? 1.0 : 0.0;
    case 28: {
        // Past the usable end while codes still arrive (the last one under ten code units old).
        const double age = double(m_frames.load(R) - m_codeFrame.load(R));
        return getVinylTime() > getMaxLengthMs() && age < 10.0 * getNullPassTimeSamples() ? 1.0 : 0.0;
    }
    default:
        return 0.0;
    }
}

// ---- Dump of classified bits ----

void FinalScratch::setRecord(bool on) {
    if (m_dumpOpen.load(R)) {
        m_dumpOpen.store(false, R);
        m_dumpRun.store(false, std::memory_order_release);
        while (!m_dumpDone.load(std::memory_order_acquire))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!on) return;
    // The working folder may be read-only: then there is simply no dump.
    FILE* f = fopen("./ts_code", "w");
    if (!f) return;
    m_dumpFile = f;
    m_dumpRead.store(m_dumpWrite.load(std::memory_order_acquire), R);
    m_dumpDone.store(false, R);
    m_dumpRun.store(true, std::memory_order_release);
    THREAD_HANDLE h = CreateThread(nullptr, 0, &FinalScratch::dumpThread, 0, 0, this);
    if (!h) {
        fclose(f);
        m_dumpFile = nullptr;
        m_dumpRun.store(false, R);
        m_dumpDone.store(true, R);
        return;
    }
    CloseThreadHandle(h);
    m_dumpOpen.store(true, R);
}

// Queue events: a bit (kind 0) or the end of a line with the frame count (kind 1).
void FinalScratch::dumpBit(uint8_t bit, int type) {
    if (!m_dumpOpen.load(R)) return;
    auto queue = [this](uint64_t event) {
        const uint32_t w = m_dumpWrite.load(R);
        if (w - m_dumpRead.load(std::memory_order_acquire) >= kDumpQueue) return; // full: drop, never wait
        m_dumpQueue[w % kDumpQueue].store(event, R);
        m_dumpWrite.store(w + 1, std::memory_order_release);
    };
    queue(uint64_t(bit) << 1);
    if (++m_dumpBits >= (type == 5 || type == 6 ? 46 : 29)) {
        m_dumpBits = 0;
        queue(uint64_t(m_frames.load(R)) << 1 | 1u);
    }
}

void* FinalScratch::dumpThread(void* arg) {
    auto* self = static_cast<FinalScratch*>(arg);
    bool running = true;
    while (running) {
        running = self->m_dumpRun.load(std::memory_order_acquire);
        const uint32_t end = self->m_dumpWrite.load(std::memory_order_acquire);
        uint32_t r = self->m_dumpRead.load(R);
        for (; r != end; ++r) {
            const uint64_t e = self->m_dumpQueue[r % kDumpQueue].load(R);
            if (e & 1u)
                fprintf(self->m_dumpFile, " %" PRIu64 " \n", e >> 1);
            else
                fprintf(self->m_dumpFile, "%i", int(e >> 1));
        }
        self->m_dumpRead.store(r, std::memory_order_release);
        if (running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    fclose(self->m_dumpFile);
    self->m_dumpFile = nullptr;
    self->m_dumpDone.store(true, std::memory_order_release);
    return nullptr;
}
