// A deck's load opens its file on the loading thread and finishes in the frame update: tests that go on
// right after a load wait for it here (the update's part done on the test's thread, as the frame loop does).
#pragma once

#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"

#include <chrono>
#include <string>
#include <thread>

namespace testsupport {

// True once the deck's load finished (at most a minute).
inline bool finishLoad(TarlumePlayer* deck) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!deck->finishLoad()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline bool finishLoads(Tarlume* engine) {
    bool all = true;
    for (TarlumePlayer* deck : engine->players)
        all = (!deck || finishLoad(deck)) && all;
    return all;
}

// loadSong, then its end.
inline bool loadSong(TarlumePlayer* deck, const std::string& path, bool force = true) {
    const bool loaded = deck->loadSong(path.c_str(), force);
    finishLoad(deck);
    return loaded;
}

} // namespace testsupport
