// Records the master mix to a file. The audio thread hands over one stereo frame at a time
// (process), without locks, waits or allocation; one record thread shared by every recorder
// drains the frames every 100 ms into a 16-bit stereo WAV file or an Ogg Vorbis file.
//
// Threads: construct and delete on the main thread; process() on one audio thread only;
// processBuffer() on the record thread. Hand the constructed recorder to the audio thread with a
// release store (or under the device's lock). The audio thread must have stopped calling process()
// before the recorder is deleted: detach it from the audio side first (under the device's lock),
// then delete it outside that lock, since deleting drains, encodes the end and closes the file.
//
// Failures never throw: hasFailed() and getError() tell the engine that the recording could not
// start (file not writable, encoder refused, all slots taken) or stopped writing (disk full).
// After a write failure the file keeps a valid header over what was written.
#pragma once

#include "audio/recorder/OggVorbisOutFile.h"
#include "audio/recorder/RecordRing.h"
#include "audio/recorder/WavOutFile.h"
#include "foundation/PlatformIndependent.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Recorder {
public:
    // Recording types.
    static constexpr int TYPE_WAV = 0;
    static constexpr int TYPE_NONE = 1; // frames are accepted and dropped
    static constexpr int TYPE_OGG = 2;
    // How many recorders may record at once.
    static constexpr int kSlots = 10;

    // quality: Ogg Vorbis quality on the 0..10 scale (5.0 is about 160 kbit/s); unused otherwise.
    // sampleRate: Hz of the frames that process() will receive.
    Recorder(int type, float quality, int sampleRate, const std::string& fileName);
    // The same into "working00.wav", "working00.ogg" or "working00.mp3" (by type) in the working folder.
    Recorder(int type, float quality, int sampleRate);
    virtual ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Audio thread: one frame on the 16-bit scale. A recorder that failed to start ignores it.
    void process(float left, float right) {
        if (m_accepting) m_floats.push(left, right);
    }
    void process(short left, short right) {
        if (m_accepting) m_shorts.push(left, right);
    }
    // Writes a frame straight to the output under the recorder's lock: never from the audio thread.
    void processNow(short left, short right);
    // Record thread: drains both rings into the output, unless another thread holds the lock.
    void processBuffer();

    void setParameter(int, double) {}
    double getParameter(int) { return 0.0; }

    // Any thread. True once the recording could not start or stopped writing.
    bool hasFailed() const { return m_failed.load(std::memory_order_acquire); }
    // The first failure's message, "" while all is well.
    std::string getError() const;
    // Frames the audio thread dropped because the record thread fell ten seconds behind.
    uint64_t getOverruns() const { return m_floats.overruns() + m_shorts.overruns(); }
    int getType() const { return m_type; }

private:
    void setFailure(const std::string& message);
    bool outputOpen() const;
    void drain();
    template <typename T> bool drainRing(RecordRing<T>& ring);
    void writeWav(const unsigned char* bytes, size_t count);
    void failOutput(const std::string& message);
    void closeOutput();

    const int m_type;
    const int m_sampleRate;   // Hz
    bool m_accepting = false; // set once in the constructor, before the audio thread sees the recorder
    int m_slot = -1;          // index in the registry, -1 when not registered

    RecordRing<float> m_floats;
    RecordRing<short> m_shorts;

    // Guards the output; the record thread only tries it.
    CRITICAL_SECTION m_lock;
    std::unique_ptr<WavOutFile> m_wav;
    OggVorbisOutFile m_ogg;
    std::vector<unsigned char> m_batch; // little-endian 16-bit frames on their way to the WAV file
    uint64_t m_headerBytes = 0;         // data size the WAV header last announced
    double m_lastSync = 0.0;            // ms (timeGetExactTime) of the last push to the disk

    std::atomic<bool> m_failed{false};
    std::string m_error; // written once, before m_failed becomes true
};

// The shared record thread. Start returns 1 when it started a thread (0 when one runs or none
// could be started); stop returns 1 when it stopped a running thread, after the thread has left.
// Recorders start and stop it themselves; main thread.
int recordThread_Start();
int recordThread_Stop();
