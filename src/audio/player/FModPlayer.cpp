#include "audio/player/FModPlayer.h"

#include "analysis/WaveForm.h"
#include "audio/decoders/AudioDecoder.h"
#include "audio/player/TrackLoading.h"
#include "dsp/Resample.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {
const double kJumpAhead = 80000;       // frames beyond the decoded data that count as a jump
const double kPreRoll = 1500;          // a forward jump restarts decoding this far before its target
const double kBackwardPreRoll = 40000; // playing backward restarts this far before the position
const double kSeekFromStart = 96000;   // restart points closer to the start decode from frame 0
} // namespace

FModPlayer::FModPlayer() {
    // Not registered yet: the loading thread sees the player from its first init.
    initRing(nullptr, 0, 0, "", 0, 0);
}

FModPlayer::~FModPlayer() {
    unregisterFromLoading();
}

int FModPlayer::init(short* buffer, int capacityFrames, int zeroCrossings, const std::string& file, int openArgument,
                     int scan) {
    int result = initRing(buffer, capacityFrames, zeroCrossings, file, openArgument, scan);
    registerForLoading();
    TrackLoading::wake();
    return result;
}

int FModPlayer::init(short* buffer, int capacityFrames, int zeroCrossings, const std::string& file,
                     std::unique_ptr<AudioDecoder> opened) {
    m_openedDecoder = std::move(opened);
    return init(buffer, capacityFrames, zeroCrossings, file, 0, 0);
}

double FModPlayer::init(const std::string& file, int zeroCrossings, int openArgument, int scan) {
    return init(m_buffer, m_capacity, zeroCrossings, file, openArgument, scan);
}

int FModPlayer::initRing(short* buffer, int capacityFrames, int zeroCrossings, const std::string& file,
                         int openArgument, int scan) {
    CriticalSectionGuard decodeGuard(&m_decodeLock);
    CriticalSectionGuard stateGuard(&m_stateLock);
    close();
    m_state = STATE_STOPPED;
    m_buffer = capacityFrames > 0 ? buffer : nullptr;
    m_capacity = m_buffer ? capacityFrames : 0;
    // The ring's channels follow the file: forcing mono applies to the whole-track player only.
    int result = openTrack(file, zeroCrossings, openArgument, scan, false);
    m_loadedFrames.store(0, std::memory_order_relaxed);
    m_ringStart = 0;
    m_fileFrames.store(0, std::memory_order_release);
    m_ringOffset = 0;
    m_seekFrame = 0;
    m_nextGainFrame = 0;
    m_pendingSeek = -1;
    m_need = 1.0;
    m_seeking = false;
    m_path = file;
    m_scanDecoder.reset();
    m_scanDone = false;
    applyResamplerFormat();
    return result < 0 ? result : 0;
}

void FModPlayer::setResamplerFormat() {
    const int capacity = std::max(0, int(m_capacity));
    for (auto& rs : m_resamplers)
        rs->setFormat(m_buffer, capacity, capacity, m_channels, true);
}

// ---------------------------------------------------------------------------------------------------------
// Ring mapping

inline void FModPlayer::edgeMargins(unsigned fileFrames, unsigned ringStart, unsigned* low, unsigned* high) const {
    *low = *high = 0;
    if (m_endOfFile || fileFrames >= m_length) return; // nothing more is being written
    *high = kEdgeMargin;
    // A full ring: the next blocks overwrite its oldest frames.
    if (double(fileFrames) - ringStart + kBlockFrames + kEdgeMargin >= double(int(m_capacity)))
        *low = kBlockFrames + kEdgeMargin;
}

long FModPlayer::slotOf(double frame, unsigned lowMargin, unsigned highMargin) const {
    const long capacity = m_capacity;
    if (capacity <= 0 || !(frame >= 0)) return -1;
    const unsigned fileFrames = m_fileFrames.load(std::memory_order_acquire);
    const unsigned ringStart = m_ringStart;
    if (frame < double(ringStart) + lowMargin || frame >= double(fileFrames) - highMargin) return -1;
    const long long f = (long long)frame;
    return long((f + m_ringOffset) % capacity);
}

double FModPlayer::peekBufferPosition(double frame) {
    unsigned low, high;
    edgeMargins(m_fileFrames.load(std::memory_order_acquire), m_ringStart, &low, &high);
    long slot = slotOf(frame, low, high);
    return slot < 0 ? -1 : double(slot) + (frame - std::floor(frame));
}

inline long FModPlayer::nearSlot(long long frame, long capacity) {
    const long offset = m_ringOffset;
    const long long step = frame - m_nearFrame;
    long long slot;
    if (m_nearSlot >= 0 && offset == m_nearOffset && capacity == m_nearCapacity && step > -capacity &&
        step < capacity) {
        slot = m_nearSlot + step;
        if (slot >= capacity)
            slot -= capacity;
        else if (slot < 0)
            slot += capacity;
    } else {
        slot = (frame + offset) % capacity;
    }
    m_nearFrame = frame;
    m_nearSlot = long(slot);
    m_nearOffset = offset;
    m_nearCapacity = capacity;
    return long(slot);
}

double FModPlayer::getBufferPosition(double frame) {
    const unsigned fileFrames = m_fileFrames.load(std::memory_order_acquire);
    const unsigned ringStart = m_ringStart;
    unsigned low, high;
    edgeMargins(fileFrames, ringStart, &low, &high);
    // The test of slotOf, with the slot stepped from the last one; a frame in the ring is at least 0, so its
    // fraction is what is left of it past its whole part.
    const long capacity = m_capacity;
    if (capacity > 0 && frame >= 0 && frame >= double(ringStart) + low && frame < double(fileFrames) - high) {
        const long long whole = (long long)frame;
        return double(nearSlot(whole, capacity)) + (frame - double(whole));
    }
    outsideRing(frame, fileFrames, ringStart, low);
    return -1;
}

void FModPlayer::outsideRing(double frame, unsigned fileFrames, unsigned ringStart, unsigned low) {
    // Silence until the frame is decoded; the fade is re-armed for every silent frame, so the sound fades in
    // when it comes, however long the gap lasted.
    m_startFade = kFadeFrames;
    if (frame < double(ringStart) + low || frame > double(fileFrames) + kJumpAhead) {
        // A jump out of the ring: ask the loading thread to restart the decoder.
        double restart;
        if (m_increment >= 0) {
            restart = frame - kPreRoll;
        } else {
            if (m_pendingSeek >= 0) return;
            restart = frame - kBackwardPreRoll;
        }
        if (restart < kSeekFromStart) restart = 0;
        const int target = restart >= double(INT_MAX) ? INT_MAX : int(restart);
        if (unsigned(target) != ringStart && m_pendingSeek.exchange(target) != target) TrackLoading::wake();
    }
    // Up to kJumpAhead frames beyond the decoded data simply read as absent while decoding catches up.
}

int FModPlayer::getBufferPositionNoAction(int frame) {
    return int(slotOf(frame, 0, 0));
}

float FModPlayer::getSample(unsigned int frame, int channel) {
    if (!m_buffer || frame >= m_length) return 0.0f;
    unsigned low, high;
    edgeMargins(m_fileFrames.load(std::memory_order_acquire), m_ringStart, &low, &high);
    long slot = slotOf(frame, low, high);
    if (slot < 0) return 0.0f;
    if (m_channels == 1) return m_buffer[slot];
    return m_buffer[slot * 2 + (channel == 1 ? 1 : 0)];
}

Player::SampleView FModPlayer::sampleView() {
    SampleView v;
    v.buffer = m_buffer;
    v.channels = m_channels;
    v.ring = m_capacity;
    const unsigned fileFrames = m_fileFrames.load(std::memory_order_acquire), ringStart = m_ringStart;
    unsigned low, high;
    edgeMargins(fileFrames, ringStart, &low, &high);
    v.first = double(ringStart) + low;
    v.end = std::min(double(fileFrames) - high, double(unsigned(m_length)));
    v.firstSlot = slotOf(v.first, 0, 0);
    if (!v.buffer || v.ring <= 0 || v.firstSlot < 0) v.end = v.first; // nothing held
    return v;
}

void FModPlayer::setPosition(double frame) {
    Player::setPosition(frame);
    // A jump out of the ring asks for its seek at once (getBufferPosition's test, without the slot).
    const double position = m_position;
    const unsigned fileFrames = m_fileFrames.load(std::memory_order_acquire);
    const unsigned ringStart = m_ringStart;
    unsigned low, high;
    edgeMargins(fileFrames, ringStart, &low, &high);
    if (!(m_capacity > 0 && position >= 0 && position >= double(ringStart) + low &&
          position < double(fileFrames) - high))
        outsideRing(position, fileFrames, ringStart, low);
}

// ---------------------------------------------------------------------------------------------------------
// Loading thread

void FModPlayer::seekData(int frame, bool force) {
    if (frame < 0) frame = 0;
    if (m_seeking || !m_loaded || m_closing || (!force && m_decoding)) {
        int none = -1;
        m_pendingSeek.compareExchange(none, frame);
        return;
    }
    m_seeking = true;
    CriticalSectionGuard decodeGuard(&m_decodeLock);
    if (m_loaded && !m_closing && m_fileOpen) m_decoder->seek(unsigned(frame));
    // The audio thread is kept out only while the ring is re-based, not while the decoder moves.
    CriticalSectionGuard stateGuard(&m_stateLock);
    // Requests the audio thread made while the decoder moved (the position played on, out of the old ring) are
    // answered by this seek when the position is within its reach: a second seek would only throw away the
    // first block. A jump elsewhere meanwhile keeps its request.
    int pending = m_pendingSeek;
    const double position = m_position;
    if (pending == frame || (pending >= 0 && position >= frame && position <= double(frame) + kJumpAhead))
        m_pendingSeek.compareExchange(pending, -1);
    m_need = 1.0;
    m_processedCounter = 0;
    m_decodedCounter = 0;
    m_endOfFile = false;
    const long long capacity = std::max(1, int(m_capacity));
    const long long writeIndex = m_loadedFrames.load(std::memory_order_relaxed);
    m_ringStart = unsigned(frame);
    m_fileFrames.store(unsigned(frame), std::memory_order_release);
    m_ringOffset = long(((writeIndex - frame) % capacity + capacity) % capacity);
    m_seekFrame = unsigned(frame);
    m_nextAnalysisFrame = unsigned(frame) + 1;
    stateGuard.unlock();
    decodeGuard.unlock();
    m_seeking = false;
}

void FModPlayer::calculateNeedMoreData() {
    const double capacity = std::max(0, int(m_capacity));
    const double position = m_position;
    const long slot = slotOf(position < 0 ? 0.0 : std::floor(position), 0, 0);
    double need;
    if (slot < 0) {
        need = 1.0;
    } else {
        double ahead = double(m_loadedFrames.load(std::memory_order_relaxed)) - slot;
        if (ahead < 0) ahead += capacity;
        if (ahead >= 0.6 * capacity)
            need = 0;
        else if (m_fileFrames.load(std::memory_order_relaxed) >= m_length)
            need = 0;
        else if (ahead < kUrgentFrames)
            need = 1.0;
        else
            need = 0.9 * (1 - ahead / (0.6 * capacity));
    }
    if (m_state != STATE_PLAYING && need > 0.5 && need < 0.99) need = 0.5;
    if (m_endOfFile && m_fileOpen) need = 0;
    m_need = need;
}

int FModPlayer::getSomeDataNow(int urgency) {
    if (!m_loaded || m_closing || !m_buffer) return 0;
    if (m_decoding || m_seeking) return 2;
    CriticalSectionGuard decodeGuard(&m_decodeLock, std::try_to_lock);
    if (!decodeGuard.ownsLock()) return 2;
    if (!m_loaded || m_closing || !m_buffer) return 0;
    m_decoding = true;
    const int pending = m_pendingSeek.exchange(-1);
    if (pending >= 0) seekData(pending, true);
    calculateNeedMoreData();
    double need = m_need;
    if (m_fileOpen && !m_endOfFile && (need > 0.9 || (urgency < 3 && need > 0.002))) {
        decodeBlock();
        calculateNeedMoreData();
        need = m_need;
    }
    bool analysed = urgency < 3 && analyseRing(urgency);
    // With the ring as full as it may be and no player short of data, the overview reads on. A ring that
    // decoded the whole file from its start left nothing to read.
    if (urgency < 3 && need <= 0.002 && !(m_endOfFile && m_seekFrame == 0)) analysed = scanOverview() || analysed;
    m_decoding = false;
    decodeGuard.unlock();
    if (need > 0.9) return 3;
    if (need <= 0.002) return analysed ? 1 : 0;
    return 2;
}

bool FModPlayer::scanOverview() {
    if (m_scanDone || !m_fileOpen || !m_stripesOn) return false;
    const int stripes = m_waveForm->getNbStripes();
    if (!m_scanDecoder) {
        const unsigned length = m_length;
        auto decoder = std::make_unique<AudioDecoder>();
        if (length == 0 || m_path.empty() || decoder->openFile(m_path, 0, 0) < 0) {
            m_scanDone = true;
            return false;
        }
        m_scanFactor = double(stripes) / double(length);
        // From the first frame of the stripe the ring's decoding stopped in; after a seek the ring's stripes
        // may have gaps anywhere, so from the start.
        unsigned start = 0;
        if (m_seekFrame == 0) {
            const int stripe = int(double(m_fileFrames.load(std::memory_order_relaxed)) * m_scanFactor);
            start = unsigned(std::min(double(length), std::ceil(stripe / m_scanFactor)));
            while (start > 0 && int(double(start - 1) * m_scanFactor) >= stripe)
                --start;
        }
        if (start > 0) decoder->seek(start);
        m_scanDecoder = std::move(decoder);
        m_scanFrame = start;
        m_scanStripe = -1;
        m_scanSum = 0;
    }
    short block[AudioDecoder::maxReadBytes / 2];
    const int got = m_scanDecoder->readData(block, AudioDecoder::maxReadBytes / 4);
    const int ch = std::max(1, m_scanDecoder->getNbChannels());
    const int frames = got > 0 ? got / (2 * ch) : 0;
    bool past = false;
    float peak = 0;
    for (int k = 0; k < frames && !past; ++k) {
        const int stripe = int(double(m_scanFrame + unsigned(k)) * m_scanFactor);
        past = stripe >= stripes;
        if (stripe != m_scanStripe) {
            if (m_scanStripe >= 0) m_waveForm->setStripeCached(unsigned(m_scanStripe), m_scanSum);
            m_scanStripe = stripe;
            m_scanSum = 0;
        }
        const short* s = block + k * ch;
        const float left = std::fabs(float(s[0])), right = std::fabs(float(s[ch - 1]));
        m_scanSum += left + right;
        peak = std::max(peak, std::max(left, right));
    }
    // The ReplayGain measure goes on with these frames: the peak stored beside its gain covers them too.
    m_waveForm->notePeak(peak);
    measureGain(m_scanFrame, block, unsigned(frames), ch);
    m_scanFrame += unsigned(frames);
    if (frames == 0 || past) {
        if (m_scanStripe >= 0 && m_scanStripe < stripes) m_waveForm->setStripeCached(unsigned(m_scanStripe), m_scanSum);
        m_scanDone = true;
        m_scanDecoder.reset();
    }
    return true;
}

void FModPlayer::raiseRingStart(long long frame) {
    if (frame > (long long)(unsigned(m_ringStart))) m_ringStart = unsigned(std::min<long long>(frame, UINT_MAX));
}

void FModPlayer::decodeBlock() {
    const int capacity = m_capacity;
    const int ch = m_channels;
    const unsigned writeIndex = m_loadedFrames.load(std::memory_order_relaxed);
    const unsigned fileFrames = m_fileFrames.load(std::memory_order_relaxed);
    unsigned bytes = 0;
    if (ch == 2 && (long long)writeIndex + kBlockFrames < capacity) {
        // The oldest frames this block may overwrite leave the ring before they are overwritten.
        raiseRingStart((long long)fileFrames + kBlockFrames - capacity);
        short* dst = m_buffer + size_t(writeIndex) * 2;
        readDataFromFMod(dst, &bytes);
        const unsigned n = bytes / 4;
        if (m_stripesOn) {
            for (unsigned i = 0; i < n; ++i)
                m_waveForm->process(fileFrames + i, dst[2 * i], dst[2 * i + 1], true);
        }
        measureGain(fileFrames, dst, n, 2);
        m_loadedFrames.store(writeIndex + n, std::memory_order_relaxed);
        m_fileFrames.store(fileFrames + n, std::memory_order_release);
    } else {
        readDataFromFMod(m_scratch, &bytes);
        callback(nullptr, m_scratch, int(bytes / unsigned(2 * ch)));
    }
    if (bytes == 0) endOfData();
}

void FModPlayer::callback(void*, void* frames, int count) {
    const int capacity = m_capacity;
    if (!m_buffer || !frames || count <= 0 || capacity <= 0) return;
    count = std::min(count, capacity);
    const short* in = static_cast<const short*>(frames);
    const int ch = m_channels;
    unsigned writeIndex = m_loadedFrames.load(std::memory_order_relaxed);
    const unsigned fileFrames = m_fileFrames.load(std::memory_order_relaxed);
    raiseRingStart((long long)fileFrames + count - capacity);
    const bool stripes = m_stripesOn;
    for (int i = 0; i < count; ++i) {
        short* out = m_buffer + size_t(writeIndex) * ch;
        out[0] = in[i * ch];
        if (ch == 2) out[1] = in[i * ch + 1];
        // A busy waveform drops the frame: the loading thread never waits for it.
        if (stripes) m_waveForm->process(fileFrames + unsigned(i), out[0], ch == 2 ? out[1] : out[0], true);
        if (++writeIndex >= unsigned(capacity)) writeIndex = 0;
    }
    measureGain(fileFrames, in, unsigned(count), ch);
    m_loadedFrames.store(writeIndex, std::memory_order_relaxed);
    m_fileFrames.store(fileFrames + unsigned(count), std::memory_order_release);
}

void FModPlayer::measureGain(unsigned first, const short* frames, unsigned count, int channels) {
    // The measure follows the track frame by frame from its start, so it takes the frames from the one it has
    // reached: frames decoded again after a jump back are passed over, and after a jump over frames never
    // decoded it waits for decoding to come back to them (a track only jumped through gets no gain).
    const unsigned next = m_nextGainFrame;
    // (Unsigned: a next frame before `first` is out of reach as well.)
    if (!m_gainAnalysisOn || m_gainDone.load(std::memory_order_relaxed) || next - first >= count) return;
    const unsigned end = unsigned(std::min<unsigned long long>((unsigned long long)first + count, m_length));
    const int ch = std::max(1, channels);
    float left[512], right[512];
    for (unsigned f = next; f < end;) {
        const unsigned n = std::min(end - f, 512u);
        const short* s = frames + size_t(f - first) * ch;
        for (unsigned i = 0; i < n; ++i) {
            left[i] = s[i * ch];
            right[i] = s[i * ch + ch - 1];
        }
        analyseGain(f, left, right, n);
        f += n;
        m_nextGainFrame = f;
    }
}

void FModPlayer::endOfData() {
    m_endOfFile = true;
    const unsigned fileFrames = m_fileFrames.load(std::memory_order_relaxed);
    if (fileFrames > m_seekFrame) {
        // Decoding reached the end: the track is as long as the decoder's data, whatever its estimate said.
        if (fileFrames != m_length) {
            m_length = fileFrames;
            m_waveForm->setLength(fileFrames);
            // A measure that took every frame up to here has the whole track.
            if (m_nextGainFrame == fileFrames) m_gainDone.store(true, std::memory_order_release);
        }
    } else {
        if (fileFrames == 0) m_unreadable = true; // not one frame from the start of the file
        if (m_length == 0) {
            m_loaded = false;
            m_length = 1;
        }
    }
}

bool FModPlayer::analyseRing(int) {
    bool any = false;
    const unsigned length = m_length;
    if (m_bpmAnalysis) {
        // Quickly through what lies behind or near the position, slowly far ahead of it.
        const int most = double(unsigned(m_nextAnalysisFrame)) < m_position + 441000 ? 1280 : 128;
        for (int n = 0; n < most; ++n) {
            const unsigned f = m_nextAnalysisFrame;
            const long slot = slotOf(f, 0, 0);
            if (f >= length || slot < 0) break;
            const short* s = m_buffer + size_t(slot) * m_channels;
            analyseFrame(f, s[0], int(std::min<unsigned>(f, INT_MAX)));
            m_nextAnalysisFrame = f + 1;
            any = true;
        }
    }
    return any;
}

double FModPlayer::getParameter(int id, int index) {
    switch (id) {
    case PLAYERPARAM_LOADED:
        return m_endOfFile ? double(m_length) : double(m_fileFrames.load(std::memory_order_relaxed));
    case PLAYERPARAM_FULLYLOADED:
        return m_need;
    case PLAYERPARAM_ISSTREAMING:
        return 1;
    default:
        return Player::getParameter(id, index);
    }
}
