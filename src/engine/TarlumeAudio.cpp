// The engine's sound devices: built from the routing fields, inputs attached as the decks use them.
#include "engine/Tarlume.h"

#include "audio/vinyl/FinalScratch.h"
#include "engine/EngineClock.h"
#include "engine/LinuxAudioDevice.h"
#include "engine/TarlumeDeckAccess.h"
#include "platform/SoundDevices.h"

#include <algorithm>
#include <cstdio>

namespace {

LinuxAudioDevice* asLinux(TarlumeAudioDevice* device) {
    return static_cast<LinuxAudioDevice*>(device);
}

} // namespace

int Tarlume::resolveDeviceId(int id, bool input) {
    // Id 0 and an id no present device has both stand for the default device of the direction, so
    // two entries naming one card compare equal and the card is opened once.
    if (id != 0 && SoundDevices::findDevice(id, input, nullptr)) return id;
    return SoundDevices::backend().getDefaultDevice(input);
}

TarlumeAudioDevice* Tarlume::findDevice(int id, bool input) {
    const int wanted = resolveDeviceId(id, input);
    TarlumeAudioDevice* found = nullptr;
    for (auto& device : soundDevices) {
        LinuxAudioDevice* d = asLinux(device.get());
        const int inUse = d->idInUse != 0 ? int(d->idInUse) : resolveDeviceId(int(d->configuredId), d->isInput);
        // An input is found on a device that captures already: an input device, or an output device opened
        // with its inputs.
        if (inUse == wanted && (!input || d->isInput || d->captures())) found = d; // the last match counts
    }
    return found;
}

void Tarlume::initAudio() {
    destroyAudio();
    SoundDevices::rescan();

    auto add = [this](int id, bool input, int frames) {
        soundDevices.push_back(std::make_unique<LinuxAudioDevice>(this, (unsigned long)id, input, frames));
        return asLinux(soundDevices.back().get());
    };
    auto makeMaster = [](LinuxAudioDevice* d) {
        d->master = true;
        d->setsRate = true;
        for (bool& routed : d->deckRouted)
            routed = true;
    };

    if (!useExternalMixer) {
        LinuxAudioDevice* master = nullptr;
        if (outputChannels[0][0] >= 0) {
            master = add(outputDevice[0], false, framesPerBuffer);
            makeMaster(master);
            master->masterChannels[0] = outputChannels[0][0];
            master->masterChannels[1] = outputChannels[0][1];
        }
        const bool sameDevice = resolveDeviceId(outputDevice[1], false) == resolveDeviceId(outputDevice[0], false);
        if (outputChannels[1][0] >= 0 && (outputChannels[1][0] != outputChannels[0][0] || !sameDevice)) {
            LinuxAudioDevice* cue = asLinux(findDevice(outputDevice[1], false));
            if (!cue) {
                cue = add(outputDevice[1], false, framesPerBuffer);
                // Without a master device the cue device builds the master bus: every deck plays there.
                if (!master)
                    makeMaster(cue);
                else
                    master->cueDevice = cue;
            }
            cue->hasOutput.store(true);
            cue->cueChannels[0] = outputChannels[1][0];
            cue->cueChannels[1] = outputChannels[1][1];
        }
    } else {
        for (int i = 0; i < kDecks; i++) {
            if (outputChannels[i][0] < 0) continue;
            LinuxAudioDevice* d = asLinux(findDevice(outputDevice[i], false));
            if (!d) {
                d = add(outputDevice[i], false, framesPerBuffer);
                // With no master, the first device chooses the rate every other device opens at.
                if (soundDevices.size() == 1) d->setsRate = true;
            }
            d->hasOutput.store(true);
            d->deckRouted[i] = true;
            d->deckOutputChannels[i][0] = outputChannels[i][0];
            d->deckOutputChannels[i][1] = outputChannels[i][1];
        }
    }
    // Inputs the settings name open with the outputs of their device, so that a deck switched to its input
    // later reopens nothing: a reopening is a gap in the sound and, on JACK, ports that vanish and return.
    for (int i = 0; i < kInputSlots; i++) {
        if (inputChannels[i][0] < 0) continue;
        const int wanted = resolveDeviceId(inputDevice[i], true);
        for (auto& device : soundDevices) {
            LinuxAudioDevice* d = asLinux(device.get());
            if (!d->isInput && wanted != 0 && resolveDeviceId(int(d->configuredId), false) == wanted)
                d->hasInput.store(true);
        }
    }
    audioError.clear();
    for (auto& device : soundDevices)
        if (!device->connect() && !device->connectError.empty())
            audioError += (audioError.empty() ? "" : " ") + device->connectError;
    updateAudioInputs();
}

void Tarlume::updateAudioInputs() {
    bool needed[kInputSlots] = {false, false, false, false};
    TarlumePlayer* vinyl[kInputSlots] = {nullptr, nullptr, nullptr, nullptr};
    int deckOfSlot[kInputSlots] = {-1, -1, -1, -1};
    for (int d = 0; d < kDecks; d++) {
        TarlumePlayer* deck = players[d];
        if (!deck || !deckAccess::usesInput(deck)) continue;
        const int slot = deckAccess::inputIndex(deck);
        if (slot < 0 || slot >= kInputSlots) continue;
        needed[slot] = true;
        deckOfSlot[slot] = d;
        if (deckAccess::vinylControl(deck)) vinyl[slot] = deck;
    }

    for (int i = 0; i < kInputSlots; i++) {
        LinuxAudioDevice* input = asLinux(findDevice(inputDevice[i], true));
        TarlumeAudioDevice* deckDevice = nullptr;
        if (deckOfSlot[i] >= 0)
            for (auto& device : soundDevices)
                if (device->deckRouted[deckOfSlot[i]]) deckDevice = device.get();

        if (!needed[i]) {
            // Whichever device held the slot lets it go (only those are locked: a lock costs a block its sound).
            for (auto& device : soundDevices) {
                TarlumeAudioDevice* d = device.get();
                if (!d->vinylDeck[i] && !d->inputForward[i] && d->inputChannels[i][0] < 0) continue;
                TarlumeAudioDevice::Guard guard(d);
                d->vinylDeck[i] = nullptr;
                d->inputForward[i] = nullptr;
                d->inputChannels[i][0] = d->inputChannels[i][1] = -1;
            }
            continue;
        }
        // A device that already captures takes the slot; otherwise a stream of its own captures it, beside
        // any output of the same device, which plays on untouched.
        if (!input) {
            soundDevices.push_back(std::make_unique<LinuxAudioDevice>(this, (unsigned long)inputDevice[i], true, 0));
            input = asLinux(soundDevices.back().get());
        }
        {
            TarlumeAudioDevice::Guard guard(input);
            input->hasInput.store(true);
            input->inputChannels[i][0] = inputChannels[i][0];
            input->inputChannels[i][1] = inputChannels[i][1];
            input->vinylDeck[i] = vinyl[i];
            input->inputForward[i] = deckDevice != input ? deckDevice : nullptr;
        }
        if (!input->isConnected()) input->connect();
        if (vinyl[i])
            if (FinalScratch* timecode = deckAccess::timecode(vinyl[i]))
                timecode->setSampleRate(input->getSampleRate());
    }
}

void Tarlume::watchAudio() {
    releaseStalledDevices();
    const double now = EngineClock::now();
    std::vector<std::string> lost, back, found;
    auto note = [](std::vector<std::string>& names, const std::string& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    for (auto& device : soundDevices) {
        LinuxAudioDevice* d = asLinux(device.get());
        switch (d->watch(now)) {
        case LinuxAudioDevice::Health::Lost:
            note(lost, d->getDeviceName());
            break;
        case LinuxAudioDevice::Health::Back:
            note(back, d->getDeviceName());
            break;
        case LinuxAudioDevice::Health::Found:
            note(found, d->getDeviceName());
            break;
        default:
            break;
        }
    }
    // One line per device and event, however many streams it carried.
    for (const std::string& name : lost)
        fprintf(stderr, "Sound device \"%s\" stopped: playing on no device until it is back\n", name.c_str());
    for (const std::string& name : back)
        fprintf(stderr, "Sound device \"%s\" is back\n", name.c_str());
    for (const std::string& name : found)
        fprintf(stderr, "Sound device \"%s\" found: playing there\n", name.c_str());
    if (!found.empty()) {
        // What could not be opened at the start is told no more once it opened.
        audioError.clear();
        for (auto& device : soundDevices)
            if (!device->connectError.empty())
                audioError += (audioError.empty() ? "" : " ") + device->connectError;
    }
}

void Tarlume::destroyAudio() {
    // Every device stops before any is deleted: one device's thread writes into another's rings.
    for (auto& device : soundDevices)
        device->disconnect();
    if (std::any_of(soundDevices.begin(), soundDevices.end(), [](auto& d) { return !asLinux(d.get())->idle(); })) {
        // A block given up on still holds its device's lock and may still write into the recording: the
        // recording ends with its device, once the block has left, instead of the window waiting for the lock.
        for (auto& device : soundDevices)
            stalledDevices.push_back(std::move(device));
    } else {
        stopRecording();
    }
    soundDevices.clear();
}

bool Tarlume::releaseStalledDevices() {
    for (auto& device : stalledDevices)
        if (!asLinux(device.get())->idle()) return false;
    stalledDevices.clear();
    return true;
}

void Tarlume::lockAudio() {
    for (auto& device : soundDevices)
        device->enterCS();
}

void Tarlume::unlockAudio() {
    for (auto it = soundDevices.rbegin(); it != soundDevices.rend(); ++it)
        (*it)->leaveCS();
}
