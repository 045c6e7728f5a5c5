// A sound device of the system (through platform/SoundDevices): opens the device at the engine's
// sample rate, runs the mixer for every block on the device's audio thread, and lists the system's
// devices for the preferences window.
#pragma once

#include "engine/TarlumeAudioDevice.h"
#include "platform/SoundDevices.h"

#include <memory>
#include <vector>

class LinuxAudioDevice : public TarlumeAudioDevice, private SoundIOProc {
public:
    // deviceId: a stable sound-device id, 0 = the default device of the direction.
    // frames: frames per block to ask for, 0 = the backend's own.
    LinuxAudioDevice(Tarlume* engine, unsigned long deviceId, bool isInput, int frames);
    ~LinuxAudioDevice() override;

    // Opens and starts the device (disconnecting first when connected). An output device opens at
    // the engine's rate, or at its own default when `setsRate` and the engine then takes that rate.
    // An output device that also has input opens both directions; when the device refuses its inputs
    // it opens its outputs alone. False when the device can't be opened (one line on standard error
    // says why).
    bool connect() override;
    // Stops the callback (returns after the last block has left) and closes the device.
    void disconnect() override;
    // Input devices are found by their configured id or the id in use.
    bool isDevice(const std::string&) override { return true; }

    // Audio thread: one block. Frames come from the lists (each call's own length).
    void processBuffer(SoundBufferList* output, const SoundBufferList* input);
    // A change of the device's format: the output's rate becomes the engine's (master device), the
    // input's rate the timecode decoders' of the slots it carries.
    void propertyChanged(unsigned long device, unsigned long property);
    // True while the device captures input (its stream has input channels).
    bool captures() const { return nbInputChannels_ > 0; }

    // Main thread, every frame: what became of the device since the last look.
    enum class Health {
        Fine,
        Lost,    // its stream ended by itself: it now runs on a null device of the same shape
        Back,    // a lost device opened again
        Found,   // a device that was missing or busy when it was connected opened at last
        Changed, // its rate changed (propertyChanged has been called)
    };
    // A lost device, and one that was missing or busy when it was connected, is tried again once a second
    // (`nowMs` on the engine's clock) while the mix runs on a null device; a lost one 0.1, 0.3, 0.7 and 1.5 s
    // after the loss first.
    Health watch(double nowMs);
    // The name of the device as listed, for messages.
    const std::string& getDeviceName() const { return deviceName_; }
    bool isLost() const { return fallback_ != nullptr; }
    // False while a block its stream gave up waiting for may still be inside the device (see SoundStream::idle):
    // the device, and everything the mix reads, must stay until then.
    bool idle();

    // Channels of the device in that direction (id 0 = the default device); 0 when unknown.
    static int getNbChannels(unsigned long deviceId, bool input);
    // Index 0: "Default Output Device" / "Default Input Device" with id 0; index k: the k-th device
    // with channels in that direction. The name is cut at `length` bytes and terminated (the buffer
    // holds length + 1 bytes). False past the end.
    static bool getDeviceName(int index, char* name, unsigned long length, bool input, unsigned long* deviceId);

    unsigned long configuredId; // 0 = the default device
    unsigned long idInUse = 0;  // resolved at connect
    bool isInput;
    bool setsRate = false; // this device's rate becomes the engine's (the master device)

protected:
    void fillBufferFromInput(const SoundBufferList* input, int frames, float** dest, int left, int right) override;

private:
    void soundIO(SoundBufferList* output, const SoundBufferList* input) override;
    // The device to open on the backend in use; false when there is none. Quiet: the caller speaks.
    bool resolve(SoundDeviceInfo* info);
    // Opens a stream on `backend` (inputs and outputs as the device's flags ask); null with a reason.
    std::unique_ptr<SoundStream> open(SoundBackend& backend, const SoundDeviceInfo& info, double rate,
                                      std::string* error);
    // Stops the running stream and starts `stream` in its place.
    bool adopt(std::unique_ptr<SoundStream> stream);
    // Runs the mix on a null device of that shape (rate 0: 44100 Hz) until the real one is back.
    void runOnNull(const std::string& name, int inputs, int outputs, double rate, double nowMs);

    // Stops the stream and lets it go; one whose block may still be inside is kept until it has left.
    void release();

    std::unique_ptr<SoundStream> stream_;
    std::vector<std::unique_ptr<SoundStream>> stalled_; // streams given up on while a block was inside
    int nbOutputChannels_ = 0, nbInputChannels_ = 0;
    std::string deviceName_;
    std::unique_ptr<SoundBackend> fallback_; // the null device a lost device runs on
    bool seeking_ = false;                   // the device was missing or busy when connected
    static constexpr double kFirstRetryMs = 100, kRetryMs = 1000;
    double retryAt_ = 0;           // when a lost or sought device is tried next (ms)
    double retryDelay_ = kRetryMs; // and the wait before the try after
    unsigned arrivals_ = SoundDevices::serverArrivals(); // of JACK servers, when last looked
};
