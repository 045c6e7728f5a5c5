#include "engine/LinuxAudioDevice.h"

#include "audio/vinyl/FinalScratch.h"
#include "engine/EngineClock.h"
#include "engine/Tarlume.h"
#include "engine/TarlumeDeckAccess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

// The names of the devices listed in this run, by id (main thread): a device chosen, and gone since, is said by its
// name. One chosen in an earlier run and not listed in this one is known by its id only.
std::map<unsigned long, std::string>& namesSeen() {
    static std::map<unsigned long, std::string> names;
    return names;
}

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

bool LinuxAudioDevice::resolve(SoundDeviceInfo* info) {
    unsigned long id = configuredId;
    // A device that isn't there (unplugged, or named on another machine) gives way to the default; the
    // settings keep its id, so it is used again once it is back.
    if (id != 0 && !SoundDevices::findDevice(int(id), isInput, nullptr)) id = 0;
    if (id == 0) id = (unsigned long)SoundDevices::backend().getDefaultDevice(isInput);
    return id != 0 && SoundDevices::findDevice(int(id), isInput, info);
}

std::unique_ptr<SoundStream> LinuxAudioDevice::open(SoundBackend& backend, const SoundDeviceInfo& info, double rate,
                                                    std::string* error) {
    SoundStreamConfig config;
    config.deviceId = info.id;
    config.outputChannels = hasOutput.load() ? info.outputChannels : 0;
    config.inputChannels = hasInput.load() ? info.inputChannels : 0;
    config.sampleRate = rate;
    config.frames = std::clamp(requestedFrames, 0, kMaxFrames);
    std::unique_ptr<SoundStream> stream = backend.open(config, this, error);
    if (!stream && config.inputChannels > 0 && config.outputChannels > 0) {
        // The device refuses its inputs (busy, or not at this rate): its outputs play all the same.
        config.inputChannels = 0;
        stream = backend.open(config, this, error);
    }
    return stream;
}

void LinuxAudioDevice::release() {
    if (!stream_) return;
    stream_->stop(); // returns once the last block has left, or gave up waiting for a stalled one
    if (!stream_->idle()) stalled_.push_back(std::move(stream_));
    stream_.reset();
}

bool LinuxAudioDevice::idle() {
    stalled_.erase(std::remove_if(stalled_.begin(), stalled_.end(), [](const auto& s) { return s->idle(); }),
                   stalled_.end());
    return stalled_.empty();
}

bool LinuxAudioDevice::adopt(std::unique_ptr<SoundStream> stream) {
    release();
    stream_ = std::move(stream);
    nbOutputChannels_ = stream_->getOutputChannels();
    nbInputChannels_ = stream_->getInputChannels();
    sampleRate.store(stream_->getSampleRate());
    connected.store(true, std::memory_order_release);
    if (stream_->start()) return true;
    connected.store(false);
    stream_.reset();
    nbOutputChannels_ = nbInputChannels_ = 0;
    return false;
}

bool LinuxAudioDevice::connect() {
    if (stream_) disconnect();
    fallback_.reset();
    seeking_ = false;
    connectError.clear();
    // Said on standard error and kept for the preferences window.
    auto fail = [this](const std::string& why) {
        connectError = why;
        fprintf(stderr, "%s\n", why.c_str());
        return false;
    };
    if (configuredId != 0 && !SoundDevices::findDevice(int(configuredId), isInput, nullptr)) {
        const auto seen = namesSeen().find(configuredId);
        const std::string which = seen != namesSeen().end()
                                      ? "\"" + seen->second + "\""
                                      : "chosen in the settings (" + std::to_string(configuredId) + ")";
        fprintf(stderr, "Sound device %s is not present: using the default %s device\n", which.c_str(),
                isInput ? "input" : "output");
    }
    SoundDeviceInfo info;
    idInUse = 0;
    if (!resolve(&info)) return fail(std::string("No sound ") + (isInput ? "input" : "output") + " device to open.");
    idInUse = (unsigned long)info.id;
    namesSeen()[idInUse] = info.name;
    deviceName_ = info.name;
    const double now = EngineClock::now();
    // One rate for every device: the master device's own default, which the engine then takes.
    const double rate = setsRate ? 0.0 : (engine ? engine->getSamplerate() : 0.0);
    std::string error;
    std::unique_ptr<SoundStream> stream = open(SoundDevices::backend(), info, rate, &error);
    std::string why;
    if (!stream)
        why = "Sound device \"" + info.name + "\" could not be opened: " + error + ".";
    else if (!(stream->getSampleRate() > 0))
        why = "Sound device \"" + info.name + "\" gave no sample rate.";
    if (why.empty()) {
        if (setsRate && engine) engine->setSamplerate(stream->getSampleRate());
        if (!adopt(std::move(stream))) why = "Sound device \"" + info.name + "\" could not be started.";
    }
    if (!why.empty()) {
        // A device that is there but busy (a JACK server that turns clients away): the mix runs on without it
        // and the device is tried again, as a lost one is.
        runOnNull(info.name, hasInput.load() ? info.inputChannels : 0, hasOutput.load() ? info.outputChannels : 0,
                  rate > 0 ? rate : info.defaultSampleRate, now);
        propertyChanged(0, 0); // the master's null device sets the engine's rate, as the device would have
        seeking_ = true;
        return fail(why);
    }
    // No device at all when the program started (a JACK server that starts after it): one is looked for.
    if (SoundDevices::standingIn()) {
        seeking_ = true;
        retryDelay_ = kRetryMs;
        retryAt_ = now + retryDelay_;
    }
    return true;
}

void LinuxAudioDevice::disconnect() {
    if (!stream_) return;
    connected.store(false, std::memory_order_release);
    release();
    nbOutputChannels_ = nbInputChannels_ = 0;
}

void LinuxAudioDevice::propertyChanged(unsigned long, unsigned long) {
    if (!stream_) return;
    const double rate = stream_->getSampleRate();
    if (!(rate > 0)) return;
    sampleRate.store(rate);
    if (setsRate && engine) engine->setSamplerate(rate);
    if (captures())
        for (TarlumePlayer* deck : vinylDeck)
            if (deck)
                if (FinalScratch* timecode = deckAccess::timecode(deck)) timecode->setSampleRate(rate);
}

void LinuxAudioDevice::runOnNull(const std::string& name, int inputs, int outputs, double rate, double nowMs) {
    SoundDeviceInfo shape;
    shape.name = name;
    shape.hostApi = "Null";
    shape.id = SoundDevices::stableId(shape.hostApi, shape.name);
    shape.inputChannels = inputs;
    shape.outputChannels = outputs;
    shape.defaultSampleRate = rate > 0 ? rate : 44100.0;
    fallback_ = SoundDevices::makeNullBackend({shape});
    std::unique_ptr<SoundStream> stream = open(*fallback_, shape, shape.defaultSampleRate, nullptr);
    if (!stream || !adopt(std::move(stream))) disconnect();
    // A server stopped and started again is up a quarter of a second later: the first looks come soon.
    retryDelay_ = kFirstRetryMs;
    retryAt_ = nowMs + retryDelay_;
}

LinuxAudioDevice::Health LinuxAudioDevice::watch(double nowMs) {
    if (!stream_) return Health::Fine;
    const double engineRate = engine ? engine->getSamplerate() : 0.0;
    if (fallback_ || seeking_) {
        const unsigned arrivals = SoundDevices::serverArrivals();
        if (arrivals != arrivals_) {
            arrivals_ = arrivals;
            retryDelay_ = kFirstRetryMs; // a server just started: now, and soon again while it gets ready
            retryAt_ = nowMs;
        }
        if (nowMs < retryAt_) return Health::Fine;
        retryDelay_ = std::min(retryDelay_ * 2, kRetryMs);
        retryAt_ = nowMs + retryDelay_;
        SoundDeviceInfo info;
        if (!SoundDevices::revive() || !resolve(&info)) return Health::Fine;
        std::unique_ptr<SoundStream> stream = open(SoundDevices::backend(), info, setsRate ? 0.0 : engineRate, nullptr);
        if (!stream || !(stream->getSampleRate() > 0)) return Health::Fine;
        idInUse = (unsigned long)info.id;
        deviceName_ = info.name;
        if (adopt(std::move(stream))) {
            const bool found = seeking_;
            fallback_.reset();
            seeking_ = false;
            connectError.clear();
            propertyChanged(0, 0); // the device may be back at another rate
            return found ? Health::Found : Health::Back;
        }
        // Started no more: on to the null device again.
    } else if (stream_->isAlive()) {
        const double rate = stream_->getSampleRate();
        if (rate > 0 && rate != sampleRate.load()) {
            propertyChanged(0, 0);
            return Health::Changed;
        }
        return Health::Fine;
    }
    // Lost: the mix runs on at the same rate and shape on a null device, so the decks, the timecode and a
    // recording go on while the device is away.
    runOnNull(deviceName_, nbInputChannels_, nbOutputChannels_, sampleRate.load(), nowMs);
    if (!seeking_) return Health::Lost;
    return Health::Fine;
}

void LinuxAudioDevice::soundIO(SoundBufferList* output, const SoundBufferList* input) {
    processBuffer(output, input);
}

void LinuxAudioDevice::processBuffer(SoundBufferList* output, const SoundBufferList* input) {
    // Never wait on the audio thread: while the main thread holds the lock, this block stays silent.
    CriticalSectionGuard guard(&lock, std::try_to_lock);
    if (!guard.ownsLock() || !connected.load(std::memory_order_acquire)) return;
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
            namesSeen()[(unsigned long)d.id] = d.name;
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
