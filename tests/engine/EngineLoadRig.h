// A mixer under full load on the test backend: four decks playing a sox-made track with pitch (two with
// key lock), EQ and two effects on each deck, master effects, optionally WAV recording and one timecode
// input, all on one card whose blocks the caller runs through LinuxAudioDevice::processBuffer directly.
// Used by the callback's allocation test and the mixer benchmark.
#pragma once

#include "EngineTestSupport.h"
#include "support/DeckLoads.h"

#include "audio/effects/EffectGroup.h"
#include "audio/player/Player.h"
#include "engine/EngineClock.h"
#include "engine/LinuxAudioDevice.h"
#include "engine/TarlumePlayer.h"

#include <chrono>
#include <thread>

namespace testsupport {

// Loads `track` on the deck and waits (at most 5 s) until it is loaded; false when it did not load.
inline bool loadDeckTrack(TarlumePlayer* deck, const std::string& track) {
    testsupport::loadSong(deck, track.c_str(), true);
    for (int i = 0; i < 500 && deck->getParam(PLAYERPARAM_LOADED) < 0.5; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return deck->getParam(PLAYERPARAM_LOADED) >= 0.5;
}

// Deck d's share of the load: pitched by 2 % a deck; under the full load key lock on the first two
// decks, and echo and flanger on every deck.
inline void setUpDeckLoad(TarlumePlayer* deck, int d, bool full) {
    deck->setPitch(1.0 + 0.02 * (d + 1), true);
    if (full && d < 2) {
        deck->tempoControl = true;
        deck->updateTempoControl();
    }
    if (full) {
        deck->effects->setEffectState(EFFECT_ECHO, 1);
        deck->effects->setEffectState(EFFECT_FLANGER, 1);
    }
}

struct EngineLoadRig {
    EngineHome home;
    TestSoundBackend backend;
    int card;
    std::unique_ptr<Tarlume> engine;
    LinuxAudioDevice* device = nullptr;
    std::vector<float> in, out;
    SoundBufferList inList, outList;
    int frames = 256;
    std::string error;

    // full: effects, key lock, recording and timecode; otherwise four plain decks with pitch.
    EngineLoadRig(double rate, int blockFrames, bool full) : frames(blockFrames) {
        card = backend.addDevice("Card", 2, 4, rate);
        const std::string track = home.home.path + "track.wav";
        const std::string cmd = "sox -q -n -r 44100 -c 2 -b 16 '" + track + "' synth 30 pinknoise gain -10 2>/dev/null";
        if (system(cmd.c_str()) != 0) {
            error = "sox missing";
            return;
        }
        engine = std::make_unique<Tarlume>();
        engine->inputChannels[3][0] = 0;
        engine->inputChannels[3][1] = 1;
        engine->initAudio();
        if (engine->soundDevices.empty()) {
            error = "no device";
            return;
        }
        device = static_cast<LinuxAudioDevice*>(engine->soundDevices[0].get());
        for (int d = 0; d < 4; d++) {
            TarlumePlayer* deck = engine->players[d];
            if (!loadDeckTrack(deck, track)) {
                error = "track did not load";
                return;
            }
            deck->replayGainApplied = true;
            setUpDeckLoad(deck, d, full);
            if (full) deck->effects->setParameter(EFFECT_EQ, 0, 0.7);
            deck->playPause();
        }
        if (full) {
            engine->masterEffects->setEffectState(EFFECT_REVERB, 1);
            engine->masterEffects->setEffectState(EFFECT_FILTER, 1);
            engine->players[3]->setVinylControl(true, 3);
            engine->updateAudioInputs();
            engine->startRecording(home.home.path + "mix.wav");
        }
        device = static_cast<LinuxAudioDevice*>(engine->soundDevices[0].get());
        in.assign(size_t(frames) * 2, 0.0f);
        out.assign(size_t(frames) * 4, 0.0f);
        for (int f = 0; f < frames; f++)
            in[size_t(f) * 2] = in[size_t(f) * 2 + 1] = 0.1f * float(f % 7 - 3);
        inList.count = 1;
        inList.buffers[0] = {2, uint32_t(frames * 2 * 4), in.data()};
        outList.count = 1;
        outList.buffers[0] = {4, uint32_t(frames * 4 * 4), out.data()};
        // The decks fill their first seconds before any measure.
        for (int i = 0; i < 100; i++) {
            engine->update();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            block();
        }
    }

    // One block through the mixer, as the device's audio thread runs it.
    void block() { device->processBuffer(&outList, &inList); }
};

} // namespace testsupport
