// Sound devices: the list of the system's devices and streams that call an I/O procedure per block.
// Three backends stand behind one interface: PortAudio (ALSA and JACK host APIs), a null device that
// calls the procedure from a timer thread at real-time pace when the system has no device, and any
// backend a test installs (one whose procedure the test calls by hand).
//
// Device ids are stable across runs: a 31-bit hash of the host API and the device name, never 0;
// 0 stands for the default device of a direction. Samples are float, full scale +/-1.0.
//
// Threads: listing, opening, starting and stopping run on the main thread; the I/O procedure runs on
// the stream's own audio thread. stop() returns only after the last call of the procedure has left.
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
    // Returns after the last call of the I/O procedure has left. Idempotent.
    virtual void stop() = 0;
    virtual double getSampleRate() const = 0; // Hz, as opened
    virtual int getInputChannels() const = 0;
    virtual int getOutputChannels() const = 0;
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
};

namespace SoundDevices {

// The backend in use: the one a test installed, else PortAudio when it lists at least one device,
// else the null device (saying once on standard error that no sound device was found).
SoundBackend& backend();
// Tests: use this backend until it is uninstalled with null. Not owned.
void setBackend(SoundBackend* installed);
// Looks for devices again (a device plugged in or a JACK server started since). Call only while no
// stream of the current backend is open.
void rescan();

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
