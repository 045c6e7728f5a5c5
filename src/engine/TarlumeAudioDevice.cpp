#include "engine/TarlumeAudioDevice.h"

#include "audio/effects/EffectGroup.h"
#include "audio/player/Player.h"
#include "audio/recorder/Recorder.h"
#include "audio/vinyl/FinalScratch.h"
#include "dsp/VolumeRamp.h"
#include "engine/Tarlume.h"
#include "engine/TarlumeDeckAccess.h"
#include "platform/SoundDevices.h"

#include <algorithm>
#include <cstring>

// ---- StereoRing ------------------------------------------------------------------------------------

void StereoRing::push(const float* left, const float* right, int n) {
    const uint64_t w = write_.load(std::memory_order_relaxed);
    const uint64_t r = read_.load(std::memory_order_acquire);
    const int room = kFrames - int(w - r);
    n = std::min(n, room);
    for (int i = 0; i < n; i++) {
        size_t slot = size_t((w + uint64_t(i)) % kFrames) * 2;
        data_[slot] = left[i];
        data_[slot + 1] = right[i];
    }
    if (n > 0) write_.store(w + uint64_t(n), std::memory_order_release);
}

void StereoRing::pop(float* left, float* right, int n) {
    const uint64_t w = write_.load(std::memory_order_acquire);
    uint64_t r = read_.load(std::memory_order_relaxed);
    if (w - r > uint64_t(n) * 3) r = w - uint64_t(n) * 2; // fell behind: keep the delay short
    const int have = int(std::min<uint64_t>(w - r, uint64_t(n)));
    for (int i = 0; i < have; i++) {
        size_t slot = size_t((r + uint64_t(i)) % kFrames) * 2;
        left[i] = data_[slot];
        right[i] = data_[slot + 1];
    }
    for (int i = have; i < n; i++)
        left[i] = right[i] = 0.0f;
    read_.store(r + uint64_t(have), std::memory_order_release);
}

// ---- TarlumeAudioDevice ----------------------------------------------------------------------------

namespace {
constexpr int kBuffers = TarlumeAudioDevice::kDecks * 2 + 2 + 2 + TarlumeAudioDevice::kSlots * 2;
constexpr float kToFloat = 1.0f / 32768.0f;

// Walks a buffer list to the buffer holding channel c; false when c is outside the list.
bool locate(const SoundBufferList* list, int c, const SoundBuffer** buffer, int* slot) {
    if (!list || c < 0) return false;
    for (int i = 0; i < list->count; i++) {
        const SoundBuffer& b = list->buffers[i];
        if (b.channels <= 0) continue;
        if (c < b.channels) {
            *buffer = &b;
            *slot = c;
            return true;
        }
        c -= b.channels;
    }
    return false;
}

// Frames a buffer actually holds, so a list that claims more frames than its bytes never over-reads.
int framesIn(const SoundBuffer& b) {
    return b.channels > 0 ? int(b.bytes / (uint32_t(b.channels) * 4u)) : 0;
}
} // namespace

TarlumeAudioDevice::TarlumeAudioDevice(Tarlume* e) : engine(e), storage_(size_t(kBuffers) * kMaxFrames, 0.0f) {
    InitializeCriticalSection(&lock);
    float* p = storage_.data();
    auto take = [&p]() {
        float* b = p;
        p += kMaxFrames;
        return b;
    };
    for (auto& d : deckBuffers)
        d[0] = take(), d[1] = take();
    masterBus[0] = take(), masterBus[1] = take();
    cueBus[0] = take(), cueBus[1] = take();
    for (auto& in : inputBuffers)
        in[0] = take(), in[1] = take();
}

TarlumeAudioDevice::~TarlumeAudioDevice() {
    delete swapRecorder(nullptr);
    pthread_mutex_destroy(&lock);
}

void TarlumeAudioDevice::initBuffers(int n) {
    frames = std::clamp(n, 0, kMaxFrames);
}

Recorder* TarlumeAudioDevice::swapRecorder(Recorder* r) {
    Guard guard(this);
    Recorder* old = recorder;
    recorder = r;
    return old;
}

void TarlumeAudioDevice::fillInputBuffer(float** source, int n, int slot) {
    if (slot < 0 || slot >= kSlots) return;
    inputFed_[slot].store(true, std::memory_order_relaxed);
    inputRing_[slot].push(source[0], source[1], std::clamp(n, 0, kMaxFrames));
}

void TarlumeAudioDevice::fillCueOutBuffer(float** source, int n) {
    cueFed_.store(true, std::memory_order_relaxed);
    cueRing_.push(source[0], source[1], std::clamp(n, 0, kMaxFrames));
}

void TarlumeAudioDevice::fillBufferFromInput(const SoundBufferList* input, int n, float** dest, int left, int right) {
    const SoundBuffer *lb = nullptr, *rb = nullptr;
    int ls = 0, rs = 0;
    if (!locate(input, left, &lb, &ls) || !locate(input, right, &rb, &rs)) return;
    n = std::min({n, framesIn(*lb), framesIn(*rb)});
    for (int i = 0; i < n; i++) {
        dest[0][i] = lb->data[i * lb->channels + ls] * 32768.0f;
        dest[1][i] = rb->data[i * rb->channels + rs] * 32768.0f;
    }
}

void TarlumeAudioDevice::fillOutputFromBuffer(SoundBufferList* output, int n, float** source, int left, int right) {
    const SoundBuffer *lb = nullptr, *rb = nullptr;
    int ls = 0, rs = 0;
    if (!locate(output, left, &lb, &ls) || !locate(output, right, &rb, &rs)) return;
    n = std::min({n, framesIn(*lb), framesIn(*rb)});
    for (int i = 0; i < n; i++) {
        lb->data[i * lb->channels + ls] = source[0][i] * kToFloat;
        rb->data[i * rb->channels + rs] = source[1][i] * kToFloat;
    }
}

void TarlumeAudioDevice::fillOutputFromBufferAccumulate(SoundBufferList* output, int n, float** source, int left,
                                                        int right) {
    const SoundBuffer *lb = nullptr, *rb = nullptr;
    int ls = 0, rs = 0;
    if (!locate(output, left, &lb, &ls) || !locate(output, right, &rb, &rs)) return;
    n = std::min({n, framesIn(*lb), framesIn(*rb)});
    for (int i = 0; i < n; i++) {
        lb->data[i * lb->channels + ls] += source[0][i] * kToFloat;
        rb->data[i * rb->channels + rs] += source[1][i] * kToFloat;
    }
}

void TarlumeAudioDevice::processBlock(SoundBufferList* output, const SoundBufferList* input, int n) {
    initBuffers(n);
    if (frames <= 0) return;
    for (int s = 0; s < kSlots; s++) {
        if (inputChannels[s][0] >= 0) {
            fillBufferFromInput(input, frames, inputBuffers[s], inputChannels[s][0], inputChannels[s][1]);
        } else if (inputFed_[s].load(std::memory_order_relaxed)) {
            inputRing_[s].pop(inputBuffers[s][0], inputBuffers[s][1], frames);
        }
    }
    if (!master && cueFed_.load(std::memory_order_relaxed)) cueRing_.pop(cueBus[0], cueBus[1], frames);

    calculateBuffers();

    if (!output) return;
    if (master && masterChannels[0] >= 0)
        fillOutputFromBuffer(output, frames, masterBus, masterChannels[0], masterChannels[1]);
    if (cueChannels[0] >= 0) fillOutputFromBuffer(output, frames, cueBus, cueChannels[0], cueChannels[1]);
    // The output starts silent, so adding every direct deck output makes decks sharing channels sum.
    for (int d = 0; d < kDecks; d++)
        if (deckRouted[d] && deckOutputChannels[d][0] >= 0)
            fillOutputFromBufferAccumulate(output, frames, deckBuffers[d], deckOutputChannels[d][0],
                                           deckOutputChannels[d][1]);
}

void TarlumeAudioDevice::renderDeck(int d) {
    float* l = deckBuffers[d][0];
    float* r = deckBuffers[d][1];
    TarlumePlayer* deck = engine ? engine->players[d] : nullptr;
    if (!deck) {
        std::fill(l, l + frames, 0.0f);
        std::fill(r, r + frames, 0.0f);
        return;
    }
    const int slot = deckAccess::inputIndex(deck);
    if (deckAccess::inputPassthrough(deck) && slot >= 0 && slot < kSlots) {
        std::memcpy(l, inputBuffers[slot][0], sizeof(float) * size_t(frames));
        std::memcpy(r, inputBuffers[slot][1], sizeof(float) * size_t(frames));
        return;
    }
    Player* player = deckAccess::player(deck);
    if (!player) {
        std::fill(l, l + frames, 0.0f);
        std::fill(r, r + frames, 0.0f);
        return;
    }
    player->processBlock(l, r, frames);
}

void TarlumeAudioDevice::calculateBuffers() {
    Guard guard(this); // recursive: the callback already holds it
    const int n = frames;
    TarlumePlayer* decks[kDecks] = {nullptr, nullptr, nullptr, nullptr};
    if (engine)
        for (int d = 0; d < kDecks; d++)
            decks[d] = engine->players[d];

    // 1. Inputs: timecode decoding, or hand-over to the device that renders the deck.
    for (int s = 0; s < kSlots; s++) {
        if (vinylDeck[s] && deckAccess::timecode(vinylDeck[s])) {
            deckAccess::timecodeBlock(vinylDeck[s], inputBuffers[s][0], inputBuffers[s][1], n);
        } else if (inputForward[s]) {
            inputForward[s]->fillInputBuffer(inputBuffers[s], n, s);
        }
    }

    // 2. Decks.
    for (int d = 0; d < kDecks; d++) {
        if (!deckRouted[d]) continue;
        renderDeck(d);
        if (decks[d] && deckAccess::active(decks[d])) deckActive_[d] = true;
    }
    auto active = [&](int d) { return deckRouted[d] && decks[d] && deckActive_[d]; };
    const bool cueFirst = engine && engine->cueBeforeEffects.load(std::memory_order_relaxed);

    // 3. Cue before effects.
    if (master) {
        std::fill(cueBus[0], cueBus[0] + n, 0.0f);
        std::fill(cueBus[1], cueBus[1] + n, 0.0f);
        if (cueFirst)
            for (int d = 0; d < kDecks; d++)
                if (active(d))
                    if (VolumeRamp* ramp = deckAccess::cueRamp(decks[d]))
                        ramp->processAndMix(deckBuffers[d], cueBus, 2, n);
    }

    // 4. Deck effects.
    for (int d = 0; d < kDecks; d++) {
        if (!active(d)) continue;
        if (EffectGroup* fx = deckAccess::effects(decks[d])) fx->processBlock(deckBuffers[d][0], deckBuffers[d][1], n);
    }

    // 5. Master bus, cue after effects, master effects, recording.
    if (master) {
        std::fill(masterBus[0], masterBus[0] + n, 0.0f);
        std::fill(masterBus[1], masterBus[1] + n, 0.0f);
        for (int d = 0; d < kDecks; d++) {
            if (!active(d)) continue;
            if (VolumeRamp* ramp = deckAccess::mainRamp(decks[d])) ramp->processAndMix(deckBuffers[d], masterBus, 2, n);
            if (!cueFirst)
                if (VolumeRamp* ramp = deckAccess::cueRamp(decks[d])) ramp->processAndMix(deckBuffers[d], cueBus, 2, n);
        }
        EffectGroup* fx = engine ? engine->masterEffects.get() : nullptr;
        if (fx) fx->processBlock(masterBus[0], masterBus[1], n);
        if (recorder)
            for (int i = 0; i < n; i++)
                recorder->process(masterBus[0][i], masterBus[1][i]);
    }

    // 6. Direct outputs: the deck's volume, pan and crossfader gain, once, after its effects.
    for (int d = 0; d < kDecks; d++) {
        if (!deckRouted[d] || deckOutputChannels[d][0] < 0 || !decks[d]) continue;
        if (VolumeRamp* ramp = deckAccess::mainRamp(decks[d]))
            ramp->processSamples(deckBuffers[d][0], deckBuffers[d][1], n);
    }

    // 7. The cue bus to the device that plays it.
    if (cueDevice) cueDevice->fillCueOutBuffer(cueBus, n);
}
