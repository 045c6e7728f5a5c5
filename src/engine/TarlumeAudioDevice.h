// One sound device as the mixer sees it: the float buffers of a block (one stereo buffer per deck,
// per input slot, the master bus and the cue bus, all on the 16-bit scale), the routing of decks,
// inputs and buses onto the device's channels, a recursive lock, an optional recorder, and the
// per-block mix (calculateBuffers).
//
// Threads: the routing fields and the recorder are changed on the main thread under the device's
// lock; the audio thread reads them while it holds the lock for a block. The audio thread only
// tries the lock: when the main thread holds it, the block plays silence instead of waiting.
// Buffers are allocated once, at construction, for the largest block (kMaxFrames) and freed at
// destruction only, so no device ever frees memory another device's thread writes. Samples that
// cross devices (the cue bus, forwarded inputs) go through single-producer rings.
#pragma once

#include "foundation/PlatformIndependent.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class Recorder;
class Tarlume;
class TarlumePlayer;
struct SoundBufferList;

// Stereo frames handed from one device's audio thread to another's, without locks.
class StereoRing {
public:
    static constexpr int kFrames = 16384; // about 0.37 s at 44.1 kHz
    StereoRing() : data_(size_t(kFrames) * 2, 0.0f) {}
    // Producer thread: as many frames as fit.
    void push(const float* left, const float* right, int frames);
    // Consumer thread: exactly `frames` frames, the missing ones silent. A consumer that falls more
    // than two blocks behind skips ahead, so the delay between devices stays short.
    void pop(float* left, float* right, int frames);
    // Consumer thread: forgets what is queued.
    void clear() { read_.store(write_.load(std::memory_order_acquire), std::memory_order_release); }
    bool hasData() const { return write_.load(std::memory_order_acquire) != read_.load(std::memory_order_relaxed); }

private:
    std::vector<float> data_;        // interleaved
    std::atomic<uint64_t> write_{0}; // frames written, producer
    std::atomic<uint64_t> read_{0};  // frames read, consumer
};

class TarlumeAudioDevice {
public:
    static constexpr int kDecks = 4;
    static constexpr int kSlots = 4;
    // Largest block processed at once (frames); a larger call is processed in chunks.
    static constexpr int kMaxFrames = 8192;

    explicit TarlumeAudioDevice(Tarlume* engine);
    virtual ~TarlumeAudioDevice();
    TarlumeAudioDevice(const TarlumeAudioDevice&) = delete;
    TarlumeAudioDevice& operator=(const TarlumeAudioDevice&) = delete;

    // Interleave a stereo buffer (16-bit scale) into two output channels, scaled by 1/32768,
    // unclipped; the first writes, the second adds. A pair outside the list's channels is skipped.
    virtual void fillOutputFromBuffer(SoundBufferList* output, int frames, float** source, int left, int right);
    virtual void fillOutputFromBufferAccumulate(SoundBufferList* output, int frames, float** source, int left,
                                                int right);
    virtual bool isConnected() { return connected.load(std::memory_order_acquire); }
    virtual bool connect() { return false; }
    std::string connectError; // why the last connect failed (main thread)
    virtual void disconnect() {}
    virtual bool isDevice(const std::string&) { return true; }

    // Main thread (the audio thread takes it for a block; it only tries).
    void enterCS() { pthread_mutex_lock(&lock); }
    void leaveCS() { pthread_mutex_unlock(&lock); }
    struct Guard {
        explicit Guard(TarlumeAudioDevice* d) : device(d) { device->enterCS(); }
        ~Guard() { device->leaveCS(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        TarlumeAudioDevice* device;
    };

    // Audio thread: the block length becomes `frames`, at most kMaxFrames (never reallocates).
    void initBuffers(int frames);
    // Audio thread, lock held: the per-block mix.
    void calculateBuffers();
    // Another device's audio thread: queues its captured input of a slot for this device.
    void fillInputBuffer(float** source, int frames, int slot);
    // Another device's audio thread: queues its cue bus for this device to play.
    void fillCueOutBuffer(float** source, int frames);

    // Swaps the recorder under the lock; returns the one that was installed (the caller deletes it
    // outside the lock). Main thread.
    Recorder* swapRecorder(Recorder* recorder);
    Recorder* getRecorder() const { return recorder; }
    double getCPULoad() const { return cpuLoad.load(std::memory_order_relaxed); }
    double getSampleRate() const { return sampleRate.load(std::memory_order_relaxed); }

    Tarlume* engine;
    std::atomic<bool> connected{false};
    int requestedFrames = 0; // frames per block to ask for; 0 = the device's own

    // Buffers of the current block (16-bit scale), each kMaxFrames long.
    float* deckBuffers[kDecks][2];
    float* masterBus[2];
    float* cueBus[2];
    float* inputBuffers[kSlots][2];
    int frames = 0; // length of the current block; audio thread

    // Routing: written on the main thread under the lock.
    TarlumeAudioDevice* cueDevice = nullptr;              // plays this device's cue bus
    TarlumeAudioDevice* inputForward[kSlots] = {nullptr}; // renders the deck fed by this slot
    TarlumePlayer* vinylDeck[kSlots] = {nullptr};         // decodes its timecode from this slot
    bool deckRouted[kDecks] = {false, false, false, false};
    int deckOutputChannels[kDecks][2] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
    int inputChannels[kSlots][2] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
    bool master = false;
    int masterChannels[2] = {-1, -1};
    int cueChannels[2] = {-1, -1};
    std::atomic<bool> hasInput{false};
    std::atomic<bool> hasOutput{false};

protected:
    // Audio thread, lock held: one block of at most kMaxFrames through inputs, mix and outputs.
    void processBlock(SoundBufferList* output, const SoundBufferList* input, int blockFrames);
    virtual void fillBufferFromInput(const SoundBufferList* input, int frames, float** dest, int left, int right);
    void renderDeck(int deck);

    CRITICAL_SECTION lock;
    Recorder* recorder = nullptr; // owned while recording; changed under the lock
    std::atomic<double> cpuLoad{0.0};
    std::atomic<double> sampleRate{44100.0}; // Hz, the device's own

    std::vector<float> storage_; // every buffer, allocated once
    StereoRing cueRing_;         // cue bus from the master device
    StereoRing inputRing_[kSlots];
    std::atomic<bool> cueFed_{false}; // another device feeds cueRing_
    std::atomic<bool> inputFed_[kSlots] = {{false}, {false}, {false}, {false}};
    bool deckActive_[kDecks] = {false, false, false, false}; // audio thread
};
