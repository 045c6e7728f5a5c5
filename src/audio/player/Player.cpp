#include "audio/player/Player.h"

#include "analysis/GainAnalysis.h"
#include "analysis/WaveForm.h"
#include "analysis/bpm_detection.h"
#include "analysis/fft.h"
#include "audio/decoders/AudioDecoder.h"
#include "audio/player/TrackLoading.h"
#include "dsp/Resample.h"
#include "dsp/VolumeRamp.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

std::atomic<int> Player::objectCount{0};
std::atomic<bool> Player::speedLoading{false};
std::atomic<bool> Player::sml_separateLoadingThread{true};
int Player::initResult = 0;

namespace {

// An index or count handed in as a double: -1 when it is not a number or out of the int range.
int boundedInt(double v) {
    if (!(v > -2147483648.0 && v < 2147483648.0)) return -1;
    return int(v);
}

const double kMaxRate = 1e7; // Hz: rates from parameters above it are ignored

// A frame handed in as a double, clamped to the unsigned 32-bit range and truncated.
unsigned clampFrame(double v) {
    if (!(v > 0)) return 0;
    if (v >= 4294967295.0) return 4294967295u;
    return unsigned(v);
}

} // namespace

Player::Player() {
    InitializeCriticalSection(&m_decodeLock);
    InitializeCriticalSection(&m_stateLock);
    m_decoder = std::make_unique<AudioDecoder>();
    for (auto& rs : m_resamplers)
        rs = std::make_unique<Resample>();
    m_resampler = m_resamplers[0].get();
    m_ramp = std::make_unique<VolumeRamp>(44100);
    // The ramp starts at full volume: one step large enough to land on the target, then the usual steps.
    m_ramp->setVolume(1.0);
    m_ramp->setFastRamp(10);
    m_ramp->setSlowRamp(10);
    float l = 0, r = 0;
    m_ramp->process(&l, &r);
    m_ramp->setFastRamp(0.002);
    m_ramp->setSlowRamp(0.0004);
    m_waveForm = std::make_unique<WaveForm>(44100, 0, this);
    m_fft = std::make_unique<fft>(44100);
    m_fft->getBPMDetection()->setWaveForm(m_waveForm.get());
    ++objectCount;
    {
        CriticalSectionGuard decodeGuard(&m_decodeLock);
        CriticalSectionGuard stateGuard(&m_stateLock);
        openTrack("", 0, 0, 0, true);
    }
    // The slot is reserved now, in creation order; the loading thread sees the player only once its first
    // init has run, when every constructor has finished.
    m_registrySlot = TrackLoading::reserve();
}

Player::~Player() {
    unregisterFromLoading();
    Player::close();
    --objectCount;
    m_fft.reset(); // its detector points at the waveform
    m_waveForm.reset();
    pthread_mutex_destroy(&m_stateLock);
    pthread_mutex_destroy(&m_decodeLock);
}

void Player::registerForLoading() {
    if (m_registrySlot < 0 || m_registered.load()) return;
    TrackLoading::publish(m_registrySlot, this);
    m_registered = true;
}

void Player::unregisterFromLoading() {
    if (m_registrySlot < 0) return;
    TrackLoading::release(m_registrySlot, this);
    m_registrySlot = -1;
    m_registered = false;
}

double Player::init(const std::string& file, int zeroCrossings, int openArgument, int scan) {
    double bytes;
    {
        CriticalSectionGuard decodeGuard(&m_decodeLock);
        CriticalSectionGuard stateGuard(&m_stateLock);
        close();
        int result = openTrack(file, zeroCrossings, openArgument, scan, true);
        bytes = result < 0 ? result : double(m_length) * 2.0 * m_channels;
    }
    registerForLoading();
    TrackLoading::wake();
    return bytes;
}

int Player::openTrack(const std::string& file, int zeroCrossings, int openArgument, int scan, bool forceMonoApplies) {
    // Commands still queued for the previous track are dropped now (the state lock makes this thread the
    // mailbox's reader), so nothing asked of the old track reads back on the new one.
    m_generation = m_generation + 1;
    drainCommands(true);

    m_position = 0;
    m_readHead = 0;
    m_switchPosition = -1;
    m_nextPosition = -1;
    m_speed = 1;
    m_glideStart = m_glideTarget = 1;
    m_glideLength = m_glideDone = 0;
    m_loopStart = -1;
    m_loopEnd = -1;
    m_loopOn = false;
    m_windowStart = m_windowEnd = -1;
    m_windowLength = -1;
    m_returnPosition = -1;
    m_stopFade = 0;
    m_startFade = 0;
    m_fadeCounter = 0;
    m_tailCounter = 0;
    m_fadeLength = 128;
    m_framesSinceSwitch = -1;
    m_needsTarget = false;

    m_tcCorrection = m_tcKeptSpeed = m_tcSmoothedDrift = 0;
    m_tcLastDrift = 0;
    m_tcSmoothedSpeed = m_tcOutputSpeed = m_tcHistoryAverage = 0;
    m_tcFramesSincePitch = m_tcFramesSinceTime = m_tcSlowFrames = m_tcCalls = 0;
    std::fill(std::begin(m_tcShortHistory), std::end(m_tcShortHistory), 0.0);
    std::fill(std::begin(m_tcLongHistory), std::end(m_tcLongHistory), 0.0);
    m_tcShortIndex = m_tcLongIndex = m_tcLongCount = 0;
    m_tcPastEnd = false;
    m_tcResync = true;

    m_nextAnalysisFrame = 0;
    m_nextGainFrame = 0;
    m_nextStripeFrame = 0;
    m_gainDone = false;
    m_titleGain = 0;
    m_blocksPerCycle = std::max(1.0, m_blocksPerCycle * 0.8);
    m_processedCounter = 0;
    m_decodedCounter = 0;
    m_endOfFile = false;
    m_fileOpen = false;
    m_fft->resetBPM();

    bool ok = true;
    int result = 0;
    if (!file.empty() && m_openedDecoder) {
        // Opened already, on another thread: taken as it is.
        m_decoder = std::move(m_openedDecoder);
        if (m_decoder->getType() == AudioDecoder::TYPE_NONE) result = -1;
    } else if (!file.empty()) {
        result = m_decoder->openFile(file, scan > 0, openArgument);
    }
    m_openedDecoder.reset();
    if (file.empty() || result < 0) {
        // A silent one-frame track; a file that did not open leaves the player unloaded.
        ok = file.empty();
        m_unreadable = !ok;
        m_openResult = result;
        m_fileRate = 44100;
        m_monoFile = false;
        m_monoBuffer = false;
        m_channels = 2;
        m_length = 1;
        m_waveForm->initStripes(44100, 0);
    } else {
        float rate = m_decoder->getSamplerate();
        m_fileRate = rate > 0 ? rate : 44100.0f;
        m_length = m_decoder->getLength();
        m_monoFile = m_decoder->getNbChannels() == 1;
        m_monoBuffer = m_monoFile || (forceMonoApplies && m_forceMono);
        m_channels = m_monoBuffer ? 1 : 2;
        m_waveForm->initStripes(m_fileRate, m_length);
        m_fileOpen = true;
        m_unreadable = false;
    }
    initResult = result;
    setSpeed(1.0, 0);
    if (zeroCrossings > 0) {
        unsigned N = unsigned(zeroCrossings);
        m_resamplers[0]->init(N);
        m_resamplers[1]->init(N * 3 / 4);
        m_resamplers[2]->init(N * 3 / 2);
    }
    applyResamplerFormat();
    m_fft->setParameter(3, m_fileRate);
    m_gain = std::make_unique<GainAnalysis>(long(m_fileRate));
    m_gainAnalysisOn = true;
    m_loaded = ok;
    return ok ? 0 : (result < 0 ? result : -1);
}

void Player::close() {
    m_closing = true;
    // The loading thread decodes only under the decode lock: holding it, no decode runs.
    {
        CriticalSectionGuard decodeGuard(&m_decodeLock);
        CriticalSectionGuard stateGuard(&m_stateLock);
        m_decoder->close();
        m_fileOpen = false;
        m_loaded = false;
    }
    m_closing = false;
}

void Player::readDataFromFMod(short* out, unsigned int* bytes) {
    int got = m_decoder->readData(out, AudioDecoder::maxReadBytes / 4);
    if (got < 0) got = 0;
    int frames = got / (2 * std::max(1, m_decoder->getNbChannels()));
    if (m_monoBuffer && m_decoder->getNbChannels() == 2) {
        // A stereo file played as mono keeps its left channel.
        for (int i = 0; i < frames; ++i)
            out[i] = out[2 * i];
        got /= 2;
    }
    *bytes = unsigned(got);
    m_decodedCounter += frames;
    m_readSinceDecay = true;
    m_progress = true;
}

void Player::readDataFromFMod(float* out, unsigned int* bytes) {
    int got = m_decoder->readData(out, AudioDecoder::maxReadBytes / 4);
    if (got < 0) got = 0;
    int frames = got / (4 * std::max(1, m_decoder->getNbChannels()));
    *bytes = unsigned(got);
    m_decodedCounter += frames;
    m_readSinceDecay = true;
    m_progress = true;
}

void Player::callback(void*, void* data, unsigned int frames, int) {
    if (!m_buffer || !data || m_closing || !m_loaded) return;
    const int ch = m_channels;
    const unsigned loaded = m_loadedFrames.load(std::memory_order_relaxed);
    const unsigned cap = unsigned(std::max(0, int(m_capacity)));
    if (loaded >= cap || frames > cap) return;
    unsigned room = std::min<unsigned>(cap, m_length) - std::min(loaded, std::min<unsigned>(cap, m_length));
    unsigned n = std::min(frames, room);
    std::memcpy(m_buffer + size_t(loaded) * ch, data, size_t(n) * ch * sizeof(short));
    m_loadedFrames.store(loaded + n, std::memory_order_release);
    updateResampler();
}

float Player::getSample(unsigned int frame, int channel) {
    if (!m_buffer || frame >= m_length || frame >= m_loadedFrames.load(std::memory_order_acquire)) return 0.0f;
    if (m_channels == 1) return m_buffer[frame];
    return m_buffer[size_t(frame) * 2 + (channel == 1 ? 1 : 0)];
}

void Player::mixWithCurrent(short* frames, unsigned int count) {
    if (!frames) return;
    CriticalSectionGuard stateGuard(&m_stateLock);
    const unsigned loaded = m_loadedFrames.load(std::memory_order_relaxed);
    if (m_buffer && m_channels == 2 && loaded >= m_length && !isStreaming() && m_state == STATE_PLAYING &&
        m_position >= 2) {
        double start = m_mixBehind ? m_position - 2 : m_position + 2;
        unsigned first = unsigned(start);
        unsigned end = std::min<unsigned>(std::min<unsigned>(loaded, unsigned(std::max(0, int(m_capacity)))), m_length);
        for (unsigned i = 0; i < count && first + i < end; ++i) {
            for (int c = 0; c < 2; ++c) {
                int sum = m_buffer[size_t(first + i) * 2 + c] + frames[size_t(i) * 2 + c];
                m_buffer[size_t(first + i) * 2 + c] = short(std::clamp(sum, -32767, 32767));
            }
        }
        applyResamplerFormat();
    }
}

void Player::updateBuffer(short* buffer, int bytes) {
    CriticalSectionGuard decodeGuard(&m_decodeLock);
    CriticalSectionGuard stateGuard(&m_stateLock);
    m_buffer = buffer;
    m_capacity = buffer && bytes > 0 ? bytes / (2 * m_channels) : 0;
    if (m_loadedFrames.load(std::memory_order_relaxed) > unsigned(int(m_capacity)))
        m_loadedFrames.store(unsigned(int(m_capacity)), std::memory_order_release);
    applyResamplerFormat();
}

void Player::updateBufferFormat(int channels) {
    CriticalSectionGuard decodeGuard(&m_decodeLock);
    CriticalSectionGuard stateGuard(&m_stateLock);
    bool mono = channels == 1;
    m_monoBuffer = mono;
    m_monoFile = mono;
    m_channels = mono ? 1 : 2;
    applyResamplerFormat();
}

double Player::getBPMParameter(int id) {
    switch (id) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 5:
    case 6:
        return m_fft->getBPMDetection()->getParameter(id);
    default:
        return 0;
    }
}

void Player::setBPMParameter(int id, double, double) {
    if (id == 4) m_fft->getBPMDetection()->setParameter(4, 1);
}

void Player::setCPU(double load, int framesPerCycle) {
    double old = m_loadEstimate;
    m_loadEstimate = load > old ? load : (old + load) / 2;
    double target = m_cpuTarget;
    if (m_loadEstimate > 1.1 * target) m_blocksPerCycle = std::max(1.0, m_blocksPerCycle * 0.75);
    TrackLoading::setCpuUse(std::clamp((target - 1.01 * m_loadEstimate) / 100.0, 0.1, 0.75));
    if (framesPerCycle > 0) m_framesPerCycle = framesPerCycle;
    updateResampler(); // the audio thread picks the resampler for the new load at its next frame
}

// ---------------------------------------------------------------------------------------------------------
// Parameters

double Player::getParameter(int id, int index) {
    switch (id) {
    case PLAYERPARAM_PLAYING:
        if (m_requestedState.pending > 0) return m_requestedState.value == STATE_PLAYING ? 1 : 0;
        // A player fading out after stop already reads as stopped.
        return m_state == STATE_PLAYING && m_stopFade == 0 ? 1 : 0;
    case PLAYERPARAM_POSITION: {
        if (m_requestedPosition.pending > 0) return m_requestedPosition.value;
        double next = m_nextPosition;
        if (next > 0) return next;
        int st = m_state;
        if (st != STATE_STUTTER_AHEAD && st != STATE_STUTTER_BEHIND && m_tempoSpeed >= 0.099) return m_readHead;
        return m_position;
    }
    case PLAYERPARAM_LENGTH:
        return m_length;
    case PLAYERPARAM_FILERATE:
        return m_fileRate;
    case PLAYERPARAM_SPEED:
        return m_requestedSpeed.pending > 0 ? m_requestedSpeed.value : m_speed;
    case PLAYERPARAM_BPMANALYSIS:
        return m_bpmAnalysis ? 1 : 0;
    case PLAYERPARAM_LOADED:
        return m_loadedFrames.load(std::memory_order_relaxed);
    case PLAYERPARAM_LOOPTRACK:
        return m_loopTrack ? 1 : 0;
    case PLAYERPARAM_STRIPEPOS:
        return m_waveForm->getStripePos();
    case PLAYERPARAM_STRIPE: {
        if (index < 0 || index >= m_waveForm->getNbStripes()) return 0;
        double max = m_waveForm->getStripeMax();
        return max > 0 ? m_waveForm->getStripe(unsigned(index)) / max : 0;
    }
    case PLAYERPARAM_STRIPES:
        return m_stripesOn ? 1 : 0;
    case PLAYERPARAM_STRIPEMAX:
        return m_waveForm->getStripeMax();
    case PLAYERPARAM_LOOPSTART:
        return m_loopStart;
    case PLAYERPARAM_LOOPEND:
        return m_loopEnd;
    case PLAYERPARAM_LOOP:
        if (m_requestedLoop.pending > 0) return m_requestedLoop.value > 0.5 ? 1 : 0;
        return m_loopOn ? 1 : 0;
    case PLAYERPARAM_MONO:
        return m_monoFile ? 1 : 0;
    case PLAYERPARAM_DETAILEDSTRIPE: {
        if (index < 0 || index >= m_waveForm->getNbDetailedStripes()) return 0;
        double max = m_waveForm->getDetailedStripeMax();
        return max > 0 ? m_waveForm->getDetailedStripe(unsigned(index)) / max : 0;
    }
    case PLAYERPARAM_DETAILEDSTRIPE2:
        if (index < 0 || index >= m_waveForm->getNbDetailedStripes()) return 0;
        return m_waveForm->getDetailedStripe2(unsigned(index)) / m_waveForm->getDetailedStripe2Max();
    case PLAYERPARAM_DETAILEDSTRIPERATE:
        return m_waveForm->getDetailedStripesPerSecond();
    case PLAYERPARAM_DETAILEDSTRIPEMAX:
        return m_waveForm->getDetailedStripeMax();
    case PLAYERPARAM_TIMECODEDRIFT:
        return m_tcLastDrift;
    case PLAYERPARAM_MUTEDIRECTION:
        return m_muteDirection;
    case PLAYERPARAM_REPLAYGAIN:
        if (!m_gainDone.load(std::memory_order_acquire)) return 0;
        if (m_titleGain == 0) m_titleGain = fetchTitleGain();
        return m_titleGain;
    case PLAYERPARAM_MAXPEAK:
        return m_waveForm->getMaxPeak();
    case PLAYERPARAM_FULLYLOADED:
        return m_loadedFrames.load(std::memory_order_relaxed) == m_length ? 1 : 0;
    case PLAYERPARAM_LOADSTEP:
        return getSomeDataNow(0);
    case PLAYERPARAM_JITTERMEASURE: {
        int count = m_jitterCount;
        return count == 0 ? 0.0035 : m_jitterSum / count;
    }
    case PLAYERPARAM_JITTERTHRESHOLD:
        return m_jitterThreshold;
    case PLAYERPARAM_CPUTARGET:
        return m_cpuTarget;
    case PLAYERPARAM_ISSTREAMING:
        return isStreaming() ? 1 : 0;
    case PLAYERPARAM_CLOSESTBEAT:
        return m_waveForm->getClosestBeat(unsigned(std::max(0, index)), false);
    case PLAYERPARAM_FIRSTBEAT:
        return m_waveForm->getClosestBeat(unsigned(std::max(0, index)), true);
    case PLAYERPARAM_DETAILEDSTRIPEAT0:
    case PLAYERPARAM_DETAILEDSTRIPEAT1:
    case PLAYERPARAM_DETAILEDSTRIPEAT2: {
        double max = m_waveForm->getDetailedStripeMax();
        if (!(max > 0)) return 0;
        return m_waveForm->getDetailedStripeInterp(float(index / 1000.0), id - PLAYERPARAM_DETAILEDSTRIPEAT0) / max;
    }
    case PLAYERPARAM_TEMPOSPEED:
        return m_requestedTempo.pending > 0 ? m_requestedTempo.value : m_tempoSpeed;
    case PLAYERPARAM_SPLICE:
        return m_smoothedError;
    case PLAYERPARAM_SPECTRUM1:
        return m_spectrum1 ? 1 : 0;
    case PLAYERPARAM_SPECTRUM2:
        return m_spectrum2 ? 1 : 0;
    case PLAYERPARAM_MIXBEHIND:
        return m_mixBehind ? 1 : 0;
    case PLAYERPARAM_LIMITPOINT:
    case PLAYERPARAM_LIMITPOINT2:
        if (!m_waveForm->hasLimitPoints()) {
            if (id == PLAYERPARAM_LIMITPOINT2 || double(analysedFrames()) < double(m_length) - 2) return -2;
            m_waveForm->calculateLimPoints(180000.0);
        }
        return m_waveForm->getLimitPoint(id == PLAYERPARAM_LIMITPOINT ? 0 : 1, index);
    case PLAYERPARAM_NBSTRIPES:
        return m_waveForm->getNbStripes();
    default:
        return 0;
    }
}

void Player::setParameter(int id, double v, double w) {
    switch (id) {
    case PLAYERPARAM_PLAYING:
        post(PlayerCommand::Play, boundedInt(v), 0, &m_requestedState);
        break;
    case PLAYERPARAM_POSITION:
        if (std::isfinite(v)) post(PlayerCommand::Jump, v, 0, &m_requestedPosition);
        break;
    case PLAYERPARAM_LENGTH:
        if (v > 0 && std::isfinite(v)) {
            m_length = clampFrame(v);
            m_waveForm->initStripes(m_fileRate, m_length);
            {
                CriticalSectionGuard decodeGuard(&m_decodeLock);
                m_nextStripeFrame = 0;
            }
            post(PlayerCommand::Reposition, 0, 0, nullptr);
        }
        break;
    case PLAYERPARAM_OUTPUTRATE:
        // A rate of 0 or below would make the increment infinite; no sound runs at 10 MHz either.
        if (v > 0 && v < kMaxRate) {
            m_outputRate = int(v);
            post(PlayerCommand::Rates, 0, 0, nullptr);
        }
        break;
    case PLAYERPARAM_FILERATE:
        if (v > 0 && v < kMaxRate) {
            m_fileRate = float(v);
            post(PlayerCommand::Rates, 0, 0, nullptr);
            m_waveForm->initStripes(v, m_length);
            CriticalSectionGuard decodeGuard(&m_decodeLock);
            m_nextStripeFrame = 0;
        }
        break;
    case PLAYERPARAM_SPEED:
        if (std::isfinite(v)) post(PlayerCommand::Speed, v, std::max(0, boundedInt(w)), &m_requestedSpeed);
        break;
    case PLAYERPARAM_BPMANALYSIS:
        m_bpmAnalysis = v == 1;
        break;
    case PLAYERPARAM_LOADED:
        // The fill index of the whole-track buffer, kept within what the buffer holds; a ring's write index is
        // the loading thread's alone.
        if (!isStreaming() && v >= 0) {
            CriticalSectionGuard decodeGuard(&m_decodeLock);
            unsigned most = std::min<unsigned>(unsigned(std::max(0, int(m_capacity))), m_length);
            m_loadedFrames.store(std::min(clampFrame(v), most), std::memory_order_release);
            updateResampler();
        }
        break;
    case PLAYERPARAM_LOOPTRACK:
        m_loopTrack = v == 1;
        break;
    case PLAYERPARAM_STRIPE: {
        int i = boundedInt(w);
        if (i >= 0 && i < m_waveForm->getNbStripes()) m_waveForm->setStripeCached(unsigned(i), float(v));
        break;
    }
    case PLAYERPARAM_STRIPES:
        m_stripesOn = v > 0.5;
        break;
    case PLAYERPARAM_LOOPSTART:
        if (std::isfinite(v)) {
            m_loopStart = v;
            post(PlayerCommand::LoopEdges, 0, 0, nullptr);
        }
        break;
    case PLAYERPARAM_LOOPWINDOW:
        if (std::isfinite(v)) m_windowLength = v;
        break;
    case PLAYERPARAM_LOOPEND:
        if (std::isfinite(v)) {
            m_loopEnd = v;
            post(PlayerCommand::LoopEdges, 0, 0, nullptr);
        }
        break;
    case PLAYERPARAM_LOOP:
        if (v > 0.5)
            post(PlayerCommand::Loop, 1, 0, &m_requestedLoop);
        else if (v < 0.5)
            post(PlayerCommand::Loop, 0, 0, &m_requestedLoop);
        break;
    case PLAYERPARAM_DETAILEDSTRIPERATE:
        if (v > 0 && v < 300) m_waveForm->setDetailedStripesPerSecond(int(v));
        break;
    case PLAYERPARAM_MUTEDIRECTION:
        m_muteDirection = boundedInt(v);
        break;
    case PLAYERPARAM_REPLAYGAIN:
        m_gainAnalysisOn = v == 1;
        break;
    case PLAYERPARAM_JITTERMEASURE:
        post(PlayerCommand::Jitter, v == 1 ? 1 : 0, 0, nullptr);
        break;
    case PLAYERPARAM_JITTERTHRESHOLD:
        m_jitterThreshold = v < 0.0001 || !std::isfinite(v) ? 0.0001 : v;
        break;
    case PLAYERPARAM_CPUTARGET:
        if (std::isfinite(v)) m_cpuTarget = v;
        break;
    case PLAYERPARAM_FORCEMONO:
        m_forceMono = v > 0.5;
        break;
    case PLAYERPARAM_LOADINGTHREAD:
        sml_separateLoadingThread = v > 0.5;
        if (v > 0.5)
            trackLoading_Start();
        else
            trackLoading_Stop();
        break;
    case PLAYERPARAM_VOLUMEFOLLOWSSPEED:
        m_volumeFollowsSpeed = v > 0.5;
        break;
    case PLAYERPARAM_FIRSTBEAT:
        m_waveForm->setFirstBeat(clampFrame(v));
        break;
    case PLAYERPARAM_SPEEDSMOOTHING:
        m_speedSmoothing = boundedInt(v);
        break;
    case PLAYERPARAM_SPEEDLOADING:
        speedLoading = v > 0.5;
        break;
    case PLAYERPARAM_TEMPOSPEED: {
        double tempo = v * m_fileRate / std::max(1, int(m_outputRate));
        if (std::isfinite(tempo)) post(PlayerCommand::TempoSpeed, tempo, 0, &m_requestedTempo);
        break;
    }
    case PLAYERPARAM_SPLICE:
        m_spliceQuality = v;
        m_fadeLength = v < 0.3 ? 64 : v < 0.7 ? 128 : 256;
        break;
    case PLAYERPARAM_SPECTRUM1:
        m_spectrum1 = v > 0.5;
        break;
    case PLAYERPARAM_SPECTRUM2:
        m_spectrum2 = v > 0.5;
        break;
    case PLAYERPARAM_MIXBEHIND:
        m_mixBehind = v > 0.5;
        break;
    case PLAYERPARAM_USERBEAT:
        if (v < 0) {
            m_waveForm->clearUserBeats();
        } else if (std::isfinite(v)) {
            double whole = std::floor(v);
            // The tempo rides in the fraction (441000.128: 128 BPM); rounded so the double's last bits do not
            // show as 127.99999997.
            double bpm = std::round((v - whole) * 1e9) / 1e6;
            m_waveForm->addBeat(clampFrame(whole), 999.0f, bpm, 0.0f, false, true);
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------------------
// The mailbox

void Player::post(PlayerCommand::Type type, double a, double b, Requested* shadow) {
    PlayerCommand c;
    c.type = type;
    c.generation = m_generation;
    c.a = a;
    c.b = b;
    if (shadow) {
        shadow->value = a;
        shadow->pending += 1;
    }
    if (m_commands.push(c)) return;
    // Nobody drains the mailbox (no audio runs, or a burst filled it): apply in order here.
    CriticalSectionGuard stateGuard(&m_stateLock);
    drainCommands(true);
    applyCommand(c, true);
}

Player::Requested* Player::shadowOf(PlayerCommand::Type type) {
    switch (type) {
    case PlayerCommand::Jump:
        return &m_requestedPosition;
    case PlayerCommand::Play:
        return &m_requestedState;
    case PlayerCommand::Speed:
        return &m_requestedSpeed;
    case PlayerCommand::Loop:
        return &m_requestedLoop;
    case PlayerCommand::TempoSpeed:
        return &m_requestedTempo;
    default:
        return nullptr;
    }
}

void Player::drainCommands(bool force) {
    for (;;) {
        PlayerCommand c;
        if (m_holding)
            c = m_held;
        else if (!m_commands.pop(c))
            return;
        if (!applyCommand(c, force)) {
            m_held = c;
            m_holding = true;
            return;
        }
        m_holding = false;
    }
}

bool Player::applyCommand(const PlayerCommand& c, bool force) {
    if (c.generation == m_generation) {
        switch (c.type) {
        case PlayerCommand::Jump:
            setNextPosition(c.a);
            break;
        case PlayerCommand::Play:
            setPlaying(int(c.a));
            break;
        case PlayerCommand::Speed:
            setSpeed(c.a, int(c.b));
            break;
        case PlayerCommand::Loop:
            setLoop(c.a > 0.5);
            break;
        case PlayerCommand::LoopEdges:
            rebaseLoopWindow();
            break;
        case PlayerCommand::TempoSpeed:
            if (!setTempoSpeed(c.a, force)) return false;
            break;
        case PlayerCommand::Reposition:
            setPosition(m_position);
            applyResamplerFormat();
            break;
        case PlayerCommand::Rates:
            setSpeed(m_speed, 0);
            break;
        case PlayerCommand::Jitter:
            startJitterMeasure(c.a > 0.5);
            break;
        }
    }
    if (Requested* shadow = shadowOf(c.type)) shadow->pending -= 1;
    return true;
}

void Player::startJitterMeasure(bool on) {
    if (on) {
        m_jitterSum = 0;
        m_jitterCount = 0;
        m_jitterMax = 0;
        m_jitterSamples = 0;
        m_tcKeptSpeed = m_tcOutputSpeed;
    }
    m_jitterMeasure = on;
}
