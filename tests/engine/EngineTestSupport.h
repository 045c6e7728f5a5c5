// An engine in a scratch home: HOME and XDG_DATA_HOME point into a temporary folder for the life of
// the fixture, and a test sound backend with one card stands in for the system's devices.
#pragma once

#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "support/Sanitized.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestSoundBackend.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

namespace testsupport {

struct EngineHome {
    TempDir home{"engine"};
    ScopedEnv homeEnv{"HOME", home.path};
    ScopedEnv xdgEnv{"XDG_DATA_HOME", home.path + "data"};
    std::string dataFolder() const { return home.path + "data/tarlume/"; }
};

// An engine on the test backend whose decks play input slots; the test sets routing, then build().
struct Rig {
    EngineHome home;
    TestSoundBackend backend;
    int card = backend.addDevice("Card", 4, 4, 48000.0);
    std::unique_ptr<Tarlume> engine = std::make_unique<Tarlume>();

    // Deck d plays input slot d, taken from card inputs 2d and 2d+1.
    void passThrough(int deck) {
        engine->inputChannels[deck][0] = 2 * deck;
        engine->inputChannels[deck][1] = 2 * deck + 1;
        engine->players[deck]->loadInputPassthrough(deck);
    }
    void build() {
        engine->initAudio();
        engine->updateAudioInputs();
    }
    // Pumps enough blocks for the ramps to settle; the last block's output.
    std::vector<float> settle(int device, const std::vector<float>& frame, int channels) {
        std::vector<float> input;
        for (int i = 0; i < 256; i++)
            input.insert(input.end(), frame.begin(), frame.end());
        (void)channels;
        std::vector<float> out;
        for (int b = 0; b < 12; b++)
            out = backend.pump(device, 256, input);
        return out;
    }
};

// Mean of channel c over an interleaved block.
inline double level(const std::vector<float>& block, int channels, int c) {
    if (block.empty()) return NAN;
    double sum = 0;
    int frames = int(block.size()) / channels;
    for (int f = 0; f < frames; f++)
        sum += block[size_t(f * channels + c)];
    return sum / frames;
}

} // namespace testsupport
