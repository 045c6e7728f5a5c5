// Sound devices: the list of the system's devices and streams that call an I/O procedure per block.
// Four backends stand behind one interface: a running JACK server, reached directly as the client
// "tarlume"; PortAudio's ALSA host API when no JACK server runs; a null device that calls the
// procedure from a timer thread at real-time pace when the system has no device; and any backend a
// test installs (one whose procedure the test calls by hand). JACK is not reached through PortAudio:
// once the server goes away, PortAudio's JACK host API blocks for good in every stop and close of its
// streams and aborts the program in Pa_Terminate, so a lost server could never be left or reached again.
//
// Device ids are stable across runs: a 31-bit hash of the host API and the device name, never 0;
// 0 stands for the default device of a direction. Samples are float, full scale +/-1.0.
//
// Threads: listing, opening, starting and stopping run on the main thread; the I/O procedure runs on
// the stream's own audio thread. stop() returns only after the last call of the procedure has left, or, where
// a block stalls, once the stream gave up waiting for it (see idle()). What waits for a JACK server is asked of the
// JACK thread (platform/JackThread.h), and waited for within its allowance: a server that does not answer (stopped,
// held in a debugger) holds no call here for longer than about a second, and keeps its device as last listed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One buffer of interleaved samples: `channels` channels, `bytes` bytes (frames x channels x 4).
struct SoundBuffer {
    int channels = 0;
    uint32_t bytes = 0;
    float* data = nullptr;
};

// The buffers of one direction for one block. Channel numbers run over the buffers in order: a
// list of a 2-channel and a 4-channel buffer holds channels 0-1 in the first and 2-5 in the second.
struct SoundBufferList {
    static constexpr int kMaxBuffers = 16;
    int count = 0;
    SoundBuffer buffers[kMaxBuffers];

    int totalChannels() const {
        int n = 0;
        for (int i = 0; i < count; i++)
            n += buffers[i].channels;
        return n;
    }
    // Frames in the block: the first buffer with channels tells; 0 for an empty list.
    int frames() const {
        for (int i = 0; i < count; i++)
            if (buffers[i].channels > 0) return int(buffers[i].bytes / (uint32_t(buffers[i].channels) * 4u));
        return 0;
    }
};

struct SoundDeviceInfo {
    int id = 0;          // stable id, never 0
    std::string name;    // as the host API names it ("system", "default", "hw:...")
    std::string hostApi; // "ALSA", "JACK Audio Connection Kit", "Null"
    int inputChannels = 0;
    int outputChannels = 0;
    double defaultSampleRate = 0.0; // Hz
};

// Called on the stream's audio thread once per block. It must not block, allocate or do I/O.
class SoundIOProc {
public:
    virtual ~SoundIOProc() = default;
    // `output` is the list to fill (its buffers hold silence on entry); `input` is null or the list
    // of captured samples. Both lists cover the same frames.
    virtual void soundIO(SoundBufferList* output, const SoundBufferList* input) = 0;
};

struct SoundStreamConfig {
    int deviceId = 0; // 0 = the default device of the direction that is asked for
    int inputChannels = 0;
    int outputChannels = 0;
    double sampleRate = 0.0; // Hz; 0 = the device's default
    int frames = 0;          // frames per block asked for; 0 = the backend's own choice
};

class SoundStream {
public:
    virtual ~SoundStream() = default; // stops first
    virtual bool start() = 0;
    // Returns after the last call of the I/O procedure has left (see idle()). Idempotent.
    virtual void stop() = 0;
    // Hz: the rate it was opened at, or the device's new rate when the device changed it since.
    virtual double getSampleRate() const = 0;
    virtual int getInputChannels() const = 0;
    virtual int getOutputChannels() const = 0;
    // False once the stream ended by itself: its device went away (an unplugged card, a JACK server
    // that stopped) or failed, and the I/O procedure is called no more. Stopping and deleting such a
    // stream is safe and quick. Main thread.
    virtual bool isAlive() const { return true; }
    // False while a block stop() gave up waiting for (a JACK block stalled past two seconds) may still be inside
    // the I/O procedure: the procedure, and all it reads, must stay until this is true. Main thread.
    virtual bool idle() const { return true; }
};

class SoundBackend {
public:
    virtual ~SoundBackend() = default;
    virtual std::string getName() const = 0;
    virtual std::vector<SoundDeviceInfo> getDevices() = 0;
    // Id of the default device of that direction; 0 when there is none.
    virtual int getDefaultDevice(bool input) = 0;
    // Null with a reason in `error` when the device can't be opened.
    virtual std::unique_ptr<SoundStream> open(const SoundStreamConfig& config, SoundIOProc* proc,
                                              std::string* error) = 0;
    // After its streams were lost: reaches the system again where that needs more than opening a
    // stream (a new client of a JACK server that was started again). False while it is still away.
    virtual bool revive() { return true; }
};

namespace SoundDevices {

// The backend in use: the one a test installed, else a running JACK server with outputs, else PortAudio when it lists
// at least one device, else the null device (saying once on standard error that no sound device was found, once that
// is known: not while a JACK server that is there has not answered).
SoundBackend& backend();
// Tests: use this backend until it is uninstalled with null. Not owned.
void setBackend(SoundBackend* installed);
// Looks for devices again (a device plugged in or a JACK server started since). Call only while no
// stream of the current backend is open.
void rescan();
// At the program's end, once its streams are closed: the program's clients of a JACK server (the sound's, and
// PortAudio's where its JACK host API holds one) are closed on the JACK thread, after what was handed over before, so
// that the server lets go of them while it answers instead of finding them dead after the program has gone (which a
// loaded server was seen to take up to 50 s over). JackThread::drain waits for it.
void closeClientsForQuit();
// The backend in use tries to reach its system again after its streams were lost (SoundBackend::revive).
// While the null device stands in for a system where no device was found, looks for one again instead
// (a JACK server started since, a sound card plugged in) and is false while there is none.
bool revive();
// Changes when a JACK server starts (JackThread::serverArrivals): a device lost is looked for at once then.
unsigned serverArrivals();
// True while the backend in use is the null device standing in for a system where no device was found
// (not the one TARLUME_SOUND=null asks for, nor a test's): streams on it are meant to move to a real
// device once one appears.
bool standingIn();

// The stable id of a device: a 31-bit hash of its host API and name, never 0.
int stableId(const std::string& hostApi, const std::string& name);
// The device of that id in the list (id 0 resolved to the backend's default of that direction);
// false when there is none.
bool findDevice(int id, bool input, SoundDeviceInfo* info);

// A null device: "Null Device" with 2 inputs and 8 outputs at 44100 Hz, whose streams call their
// procedure from a timer thread at real-time pace with silent input.
std::unique_ptr<SoundBackend> makeNullBackend();
// Null devices of the given names, channels and rates (ids as the caller set them).
std::unique_ptr<SoundBackend> makeNullBackend(const std::vector<SoundDeviceInfo>& devices);

} // namespace SoundDevices
