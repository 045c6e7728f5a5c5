#include "audio/recorder/Recorder.h"

#include "foundation/modTools.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace {

const size_t kBatchFrames = 4096;    // frames converted per WAV write
const double kSyncPeriodMs = 1000.0; // how often what was written is pushed to the disk

// Module state shared by all recorders. The slots are read by the record thread; they, the
// thread handle and the starting and stopping change only under registryLock (main thread).
std::atomic<Recorder*> recorders[Recorder::kSlots];
THREAD_HANDLE recordThread_Handle = nullptr;
std::atomic<int> recordThread_StopThread{0}; // 1: asked to stop; the thread sets it back to 0 as it leaves

// Never destroyed: the detached record thread may still be leaving while the process exits.
std::mutex& registryLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
struct Wake {
    std::mutex lock;
    std::condition_variable changed; // the stop flag changed
};
Wake& wake() {
    static Wake* w = new Wake;
    return *w;
}

void* recordThread_Proc(void*) {
    Wake& w = wake();
    for (;;) {
        if (recordThread_StopThread.load(std::memory_order_acquire) == 1) break;
        for (std::atomic<Recorder*>& slot : recorders)
            if (Recorder* recorder = slot.load(std::memory_order_acquire)) recorder->processBuffer();
        std::unique_lock<std::mutex> lock(w.lock);
        w.changed.wait_for(lock, std::chrono::milliseconds(100),
                           [] { return recordThread_StopThread.load(std::memory_order_acquire) == 1; });
    }
    {
        std::lock_guard<std::mutex> lock(w.lock);
        recordThread_StopThread.store(0, std::memory_order_release);
    }
    w.changed.notify_all();
    return nullptr;
}

int startThreadLocked() {
    if (recordThread_Handle) return 0;
    recordThread_StopThread.store(0, std::memory_order_relaxed);
    recordThread_Handle = CreateThread(nullptr, 0, recordThread_Proc, 0, 0, nullptr);
    return recordThread_Handle ? 1 : 0;
}

int stopThreadLocked() {
    if (!recordThread_Handle) return 0;
    Wake& w = wake();
    {
        std::unique_lock<std::mutex> lock(w.lock);
        recordThread_StopThread.store(1, std::memory_order_release);
        w.changed.notify_all();
        w.changed.wait(lock, [] { return recordThread_StopThread.load(std::memory_order_acquire) == 0; });
    }
    CloseThreadHandle(recordThread_Handle);
    recordThread_Handle = nullptr;
    return 1;
}

// Float frames reach the WAV file clamped to +/-32767 and rounded half away from zero (nearly).
inline short toPcm16(float value) {
    if (value > 32767.0f)
        value = 32767.0f;
    else if (value < -32767.0f)
        value = -32767.0f;
    else if (value != value)
        value = 0.0f; // NaN
    return static_cast<short>(value > 0.0f ? value + 0.499f : value - 0.499f);
}
inline short toPcm16(short value) {
    return value;
}

const char* defaultFileName(int type) {
    return type == Recorder::TYPE_WAV   ? "working00.wav"
           : type == Recorder::TYPE_OGG ? "working00.ogg"
                                        : "working00.mp3";
}

} // namespace

int recordThread_Start() {
    std::lock_guard<std::mutex> lock(registryLock());
    return startThreadLocked();
}

int recordThread_Stop() {
    std::lock_guard<std::mutex> lock(registryLock());
    return stopThreadLocked();
}

Recorder::Recorder(int type, float quality, int sampleRate)
    : Recorder(type, quality, sampleRate, defaultFileName(type)) {}

Recorder::Recorder(int type, float quality, int sampleRate, const std::string& fileName)
    : m_type(type), m_sampleRate(sampleRate) {
    InitializeCriticalSection(&m_lock);
    std::lock_guard<std::mutex> registry(registryLock());
    int slot = 0;
    while (slot < kSlots && recorders[slot].load(std::memory_order_relaxed))
        ++slot;
    if (slot == kSlots) {
        setFailure("Error : Unable to record: " + intToStr(kSlots) + " recordings are running already.");
        return;
    }
    if (m_type == TYPE_WAV) {
        if (m_sampleRate <= 0) {
            setFailure("Error : Unable to record at " + intToStr(m_sampleRate) + " Hz.");
            return;
        }
        try {
            m_wav.reset(new WavOutFile(fileName, m_sampleRate, 16, 2));
        } catch (const std::runtime_error& e) {
            m_wav.reset();
            setFailure(e.what());
            return;
        }
        m_batch.resize(kBatchFrames * 4);
    } else if (m_type == TYPE_OGG) {
        // The engine's quality is on the familiar 0..10 scale, libvorbisenc's on -0.1..1.0.
        if (!m_ogg.open(fileName, m_sampleRate, quality / 10.0f)) {
            setFailure(m_ogg.error());
            return;
        }
    }
    m_lastSync = timeGetExactTime();
    if (!recordThread_Handle && !startThreadLocked()) {
        setFailure("Error : Unable to start the record thread.");
        closeOutput();
        return;
    }
    m_slot = slot;
    recorders[slot].store(this, std::memory_order_release);
    m_accepting = true;
}

Recorder::~Recorder() {
    if (m_slot >= 0) {
        std::lock_guard<std::mutex> registry(registryLock());
        recorders[m_slot].store(nullptr, std::memory_order_release);
        int others = 0;
        for (std::atomic<Recorder*>& slot : recorders)
            if (slot.load(std::memory_order_relaxed)) ++others;
        // Once the thread has left, nothing but this thread touches the recorder.
        stopThreadLocked();
        {
            CriticalSectionGuard guard(&m_lock);
            drain();
            closeOutput();
        }
        if (others > 0 && !startThreadLocked()) {
            for (std::atomic<Recorder*>& slot : recorders)
                if (Recorder* other = slot.load(std::memory_order_relaxed)) {
                    CriticalSectionGuard guard(&other->m_lock);
                    other->setFailure("Error : Unable to start the record thread.");
                }
        }
    } else {
        closeOutput();
    }
    pthread_mutex_destroy(&m_lock);
}

std::string Recorder::getError() const {
    return hasFailed() ? m_error : std::string();
}

void Recorder::setFailure(const std::string& message) {
    if (m_failed.load(std::memory_order_relaxed)) return;
    m_error = message;
    m_failed.store(true, std::memory_order_release);
}

bool Recorder::outputOpen() const {
    if (m_type == TYPE_WAV) return m_wav && m_wav->isOpen();
    if (m_type == TYPE_OGG) return m_ogg.isOpen() && !m_ogg.failed();
    return false;
}

void Recorder::processBuffer() {
    CriticalSectionGuard guard(&m_lock, std::try_to_lock);
    if (guard.ownsLock()) drain();
}

void Recorder::processNow(short left, short right) {
    CriticalSectionGuard guard(&m_lock);
    if (m_type == TYPE_WAV && outputOpen()) {
        unsigned char bytes[4] = {static_cast<unsigned char>(left), static_cast<unsigned char>(left >> 8),
                                  static_cast<unsigned char>(right), static_cast<unsigned char>(right >> 8)};
        writeWav(bytes, 4);
    } else if (m_type == TYPE_OGG && outputOpen()) {
        m_ogg.encodePair(left, right);
    }
}

// Under m_lock.
void Recorder::drain() {
    bool wrote = drainRing(m_floats);
    wrote = drainRing(m_shorts) || wrote;
    double now = timeGetExactTime();
    bool sync = wrote && now - m_lastSync >= kSyncPeriodMs;
    if (sync) m_lastSync = now;
    if (m_type == TYPE_WAV && outputOpen()) {
        try {
            // The header follows the data, so a crash leaves a file that says what it holds.
            if (m_wav->getDataSizeInBytes() != m_headerBytes) {
                m_wav->updateHeader();
                m_headerBytes = m_wav->getDataSizeInBytes();
            }
            if (sync) m_wav->syncToDisk();
        } catch (const std::runtime_error& e) {
            failOutput(e.what());
        }
    } else if (m_type == TYPE_OGG && m_ogg.isOpen()) {
        if (sync) m_ogg.syncToDisk();
        if (m_ogg.failed()) failOutput(m_ogg.error());
    }
}

// Under m_lock. Takes everything the ring holds; true when some of it went to the output.
template <typename T> bool Recorder::drainRing(RecordRing<T>& ring) {
    bool wrote = false;
    const T* data = nullptr;
    while (size_t entries = ring.readable(&data)) {
        if (m_type == TYPE_WAV) {
            for (size_t done = 0; done < entries && outputOpen();) {
                size_t count = entries - done < m_batch.size() / 2 ? entries - done : m_batch.size() / 2;
                unsigned char* out = m_batch.data();
                for (size_t i = 0; i < count; ++i) {
                    short value = toPcm16(data[done + i]);
                    out[2 * i] = static_cast<unsigned char>(value);
                    out[2 * i + 1] = static_cast<unsigned char>(value >> 8);
                }
                writeWav(out, 2 * count);
                done += count;
                wrote = true;
            }
        } else if (m_type == TYPE_OGG && outputOpen()) {
            for (size_t i = 0; i < entries; i += 2)
                m_ogg.encodePair(data[i], data[i + 1]);
            wrote = true;
        }
        ring.consume(entries);
    }
    return wrote;
}

void Recorder::writeWav(const unsigned char* bytes, size_t count) {
    try {
        m_wav->write(bytes, static_cast<int>(count));
    } catch (const std::runtime_error& e) {
        failOutput(e.what());
    }
}

// The output stopped working: keep the failure and finish the file over what it holds.
void Recorder::failOutput(const std::string& message) {
    setFailure(message);
    closeOutput();
}

void Recorder::closeOutput() {
    if (m_wav) {
        try {
            m_wav->close();
        } catch (const std::runtime_error& e) {
            setFailure(e.what());
        }
    }
    if (m_ogg.isOpen() && !m_ogg.close()) setFailure(m_ogg.error());
}
