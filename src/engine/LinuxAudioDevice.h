// A sound device of the system (through platform/SoundDevices): opens the device at the engine's
// sample rate, runs the mixer for every block on the device's audio thread, and lists the system's
// devices for the preferences window.
#pragma once

#include "engine/TarlumeAudioDevice.h"
#include "platform/SoundDevices.h"

#include <memory>

class LinuxAudioDevice : public TarlumeAudioDevice, private SoundIOProc {
public:
    // deviceId: a stable sound-device id, 0 = the default device of the direction.
    // frames: frames per block to ask for, 0 = the backend's own.
    LinuxAudioDevice(Tarlume* engine, unsigned long deviceId, bool isInput, int frames);
    ~LinuxAudioDevice() override;

    // Opens and starts the device (disconnecting first when connected). An output device opens at
    // the engine's rate, or at its own default when `setsRate` and the engine then takes that rate.
    // False when the device can't be opened (one line on standard error says why).
    bool connect() override;
    // Stops the callback (returns after the last block has left) and closes the device.
    void disconnect() override;
    // Input devices are found by their configured id or the id in use.
    bool isDevice(const std::string&) override { return true; }

    // Audio thread: one block. Frames come from the lists (each call's own length).
    void processBuffer(SoundBufferList* output, const SoundBufferList* input);
    // A change of the device's format: the rate is chosen at open, so the engine only re-reads it.
    void propertyChanged(unsigned long device, unsigned long property);

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

    std::unique_ptr<SoundStream> stream_;
    int nbOutputChannels_ = 0, nbInputChannels_ = 0;
};
