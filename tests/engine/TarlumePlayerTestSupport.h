// An engine with its decks in a scratch home, on the test sound backend (one card, 2 inputs, 4 outputs at
// 44.1 kHz), with the deck fixtures and waits for the loading thread.
#pragma once

#include "EngineTestSupport.h"
#include "audio/player/FModPlayer.h"
#include "engine/EngineClock.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace decktest {

inline std::string fixture(const std::string& name) {
    return std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/deck/" + name;
}

inline bool waitUntil(const std::function<bool()>& ready, double timeoutMs = 60000) {
    const double start = timeGetExactTime();
    while (!ready()) {
        if (timeGetExactTime() - start > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The whole track is decoded into the deck's ring (every fixture is shorter than the ring).
inline bool waitDecoded(TarlumePlayer* deck) {
    return waitUntil([&] {
        auto* p = static_cast<FModPlayer*>(deck->player.get());
        return p && p->getFileFrames() > 0 && p->getFileFrames() >= p->getParameter(PLAYERPARAM_LENGTH);
    });
}

// The frame a sample pair of the position fixture comes from (16-bit scale). The deck's equaliser and the
// master's limiter may change the level by a fraction of a percent: the frame is good to about 16 frames.
inline long positionFrame(float left, float right) {
    const long low = std::lround(left) + 8192, high = std::lround((right + 8192) / 256.0);
    return high * 16384 + low;
}

struct Rig {
    testsupport::EngineHome home;
    testsupport::TestSoundBackend backend;
    int card = 0;
    std::unique_ptr<Tarlume> engine;

    explicit Rig(bool audio = false) {
        card = backend.addDevice("card", 2, 4, 44100.0);
        engine = std::make_unique<Tarlume>();
        engine->warnWhenLoadingTrack = false;
        if (audio) engine->initAudio();
    }
    TarlumePlayer* deck(int i = 0) { return engine->players[i]; }
    // One block of the card: its four output channels interleaved, on the 16-bit scale.
    std::vector<float> pump(int frames) {
        std::vector<float> out = backend.pump(card, frames);
        for (float& s : out)
            s *= 32768.0f;
        return out;
    }
};

} // namespace decktest
