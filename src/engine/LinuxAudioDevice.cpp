#include "engine/LinuxAudioDevice.h"

#include "engine/Tarlume.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// The part of a list from frame `offset` on, `count` frames long.
SoundBufferList slice(const SoundBufferList& list, int offset, int count) {
    SoundBufferList part;
    part.count = list.count;
    for (int i = 0; i < list.count; i++) {
        const SoundBuffer& b = list.buffers[i];
        SoundBuffer& p = part.buffers[i];
        p.channels = b.channels;
        int held = b.channels > 0 ? int(b.bytes / (uint32_t(b.channels) * 4u)) : 0;
        int from = std::min(offset, held);
        int n = std::clamp(held - from, 0, count);
        p.data = b.data ? b.data + size_t(from) * size_t(std::max(b.channels, 0)) : nullptr;
        p.bytes = uint32_t(n) * uint32_t(std::max(b.channels, 0)) * 4u;
    }
    return part;
}

} // namespace

LinuxAudioDevice::LinuxAudioDevice(Tarlume* e, unsigned long deviceId, bool input, int frames)
    : TarlumeAudioDevice(e), configuredId(deviceId), isInput(input) {
    hasInput.store(input);
    hasOutput.store(!input);
    requestedFrames = frames;
}

LinuxAudioDevice::~LinuxAudioDevice() {
    disconnect();
}

bool LinuxAudioDevice::connect() {
    if (stream_) disconnect();
    connectError.clear();
    // Said on standard error and kept for the preferences window.
    auto fail = [this](const std::string& why) {
        connectError = why;
        fprintf(stderr, "%s\n", why.c_str());
        return false;
    };
    SoundBackend& backend = SoundDevices::backend();
    SoundDeviceInfo info;
    idInUse = configuredId;
    // A device that isn't there (unplugged, or named on another machine) gives way to the default; the
    // settings keep its id, so it is used again once it is back.
    if (idInUse != 0 && !SoundDevices::findDevice(int(idInUse), isInput, nullptr)) {
        fprintf(stderr, "Sound device %lu is not present: using the default %s device\n", idInUse,
                isInput ? "input" : "output");
        idInUse = 0;
    }
    if (idInUse == 0) idInUse = (unsigned long)backend.getDefaultDevice(isInput);
    if (idInUse == 0 || !SoundDevices::findDevice(int(idInUse), isInput, &info))
        return fail(std::string("No sound ") + (isInput ? "input" : "output") + " device to open.");
    SoundStreamConfig config;
    config.deviceId = info.id;
    config.outputChannels = hasOutput.load() ? info.outputChannels : 0;
    config.inputChannels = hasInput.load() ? info.inputChannels : 0;
    // One rate for every device: the master device's own default, which the engine then takes.
    config.sampleRate = setsRate ? 0.0 : (engine ? engine->getSamplerate() : 0.0);
    config.frames = std::clamp(requestedFrames, 0, kMaxFrames);
    std::string error;
    stream_ = backend.open(config, this, &error);
    if (!stream_) return fail("Sound device \"" + info.name + "\" could not be opened: " + error + ".");
    nbOutputChannels_ = stream_->getOutputChannels();
    nbInputChannels_ = stream_->getInputChannels();
    const double rate = stream_->getSampleRate();
    if (rate <= 0) {
        stream_.reset();
        return fail("Sound device \"" + info.name + "\" gave no sample rate.");
    }
    sampleRate.store(rate);
    if (setsRate && engine) engine->setSamplerate(rate);
    connected.store(true, std::memory_order_release);
    if (!stream_->start()) {
        connected.store(false);
        stream_.reset();
        return fail("Sound device \"" + info.name + "\" could not be started.");
    }
    return true;
}

void LinuxAudioDevice::disconnect() {
    if (!stream_) return;
    stream_->stop(); // returns once the last block has left
    connected.store(false, std::memory_order_release);
    stream_.reset();
}

void LinuxAudioDevice::propertyChanged(unsigned long, unsigned long) {
    if (!stream_) return;
    const double rate = stream_->getSampleRate();
    if (rate <= 0) return;
    sampleRate.store(rate);
    if (setsRate && engine) engine->setSamplerate(rate);
}

void LinuxAudioDevice::soundIO(SoundBufferList* output, const SoundBufferList* input) {
    processBuffer(output, input);
}

void LinuxAudioDevice::processBuffer(SoundBufferList* output, const SoundBufferList* input) {
    // Never wait on the audio thread: while the main thread holds the lock, this block stays silent.
    if (!TryEnterCriticalSection(&lock)) return;
    if (!connected.load(std::memory_order_acquire)) {
        leaveCS();
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    if (output && output->totalChannels() > 0) hasOutput.store(true, std::memory_order_relaxed);
    if (input && input->totalChannels() > 0) hasInput.store(true, std::memory_order_relaxed);
    int total = output ? output->frames() : 0;
    if (total == 0 && input) total = input->frames();

    SoundBufferList empty;
    for (int offset = 0; offset < total; offset += kMaxFrames) {
        const int n = std::min(kMaxFrames, total - offset);
        SoundBufferList out = output ? slice(*output, offset, n) : empty;
        SoundBufferList in = input ? slice(*input, offset, n) : empty;
        processBlock(&out, input ? &in : nullptr, n);
    }

    const double rate = sampleRate.load(std::memory_order_relaxed);
    if (total > 0 && rate > 0) {
        const double elapsed =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const double load = elapsed / (total * 1000.0 / rate);
        cpuLoad.store(0.99 * cpuLoad.load(std::memory_order_relaxed) + 0.01 * load, std::memory_order_relaxed);
    }
    leaveCS();
}

void LinuxAudioDevice::fillBufferFromInput(const SoundBufferList* input, int n, float** dest, int left, int right) {
    TarlumeAudioDevice::fillBufferFromInput(input, n, dest, left, right);
}

int LinuxAudioDevice::getNbChannels(unsigned long deviceId, bool input) {
    SoundDeviceInfo info;
    if (!SoundDevices::findDevice(int(deviceId), input, &info)) return 0;
    return input ? info.inputChannels : info.outputChannels;
}

bool LinuxAudioDevice::getDeviceName(int index, char* name, unsigned long length, bool input, unsigned long* deviceId) {
    if (index < 0) return false;
    std::string text;
    unsigned long id = 0;
    if (index == 0) {
        text = input ? "Default Input Device" : "Default Output Device";
    } else {
        int k = 0;
        bool found = false;
        for (const SoundDeviceInfo& d : SoundDevices::backend().getDevices()) {
            if ((input ? d.inputChannels : d.outputChannels) <= 0) continue;
            if (++k == index) {
                text = d.name;
                id = (unsigned long)d.id;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    if (name) {
        size_t n = std::min<size_t>(text.size(), length);
        std::memcpy(name, text.data(), n);
        name[n] = '\0';
    }
    if (deviceId) *deviceId = id;
    return true;
}
