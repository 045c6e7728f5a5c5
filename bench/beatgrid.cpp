// The beat grid's answer to "the grid beat nearest this frame" on a one-hour track (7,200 detected beats in
// 28,801 slots), as the beat-marker visual asks it once per marker per frame. Reference in the same run: the
// scan in table order that the bisection replaced, over the same table and queries.
#include "analysis/WaveForm.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include <benchmark/benchmark.h>

struct WaveFormTestAccess {
    static int scannedNearest(WaveForm& w, unsigned position) {
        std::lock_guard<std::mutex> guard(w.m_beatLock);
        int chosen = -1;
        double best = 0;
        for (size_t j = 0; j < w.m_beats.size(); ++j) {
            const int type = w.m_beats[j].type;
            if (type != WaveForm::BEAT_STRONG && type != WaveForm::BEAT_WEAK) continue;
            const double d = std::fabs(std::trunc(w.m_beats[j].position - double(position)));
            if (chosen >= 0 && !(d < best)) break;
            chosen = int(j);
            best = d;
        }
        return chosen;
    }
};

namespace {

const double kRate = 44100, kHour = 3600 * kRate;

std::unique_ptr<WaveForm> hourOfBeats() {
    auto w = std::make_unique<WaveForm>(kRate, kHour, nullptr);
    for (int beat = 0; beat < 7200; ++beat)
        w->addBeat(unsigned(beat * kRate / 2 + 300), beat % 4 == 0 ? 30.0f : 12.0f, 120, 1, false, false);
    w->getClosestBeat(0, true); // the index and the beat numbers built once
    return w;
}

// Query positions spread over the hour.
std::vector<unsigned> queries() {
    std::vector<unsigned> q;
    for (int i = 0; i < 1000; ++i)
        q.push_back(unsigned(std::fmod(i * 7919.0 * 1000, kHour)));
    return q;
}

void BM_ClosestGridBeat(benchmark::State& state) {
    std::unique_ptr<WaveForm> w = hourOfBeats();
    const std::vector<unsigned> q = queries();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(w->getClosestBeat(q[i], true));
        i = (i + 1) % q.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClosestGridBeat);

// Reference: the nearest-beat scan alone, as it ran before (the rest of the answer not included).
void BM_NearestBeatScanReference(benchmark::State& state) {
    std::unique_ptr<WaveForm> w = hourOfBeats();
    const std::vector<unsigned> q = queries();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(WaveFormTestAccess::scannedNearest(*w, q[i]));
        i = (i + 1) % q.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NearestBeatScanReference);

// The index rebuilt after every added beat (the first query of a frame while the analysis adds beats).
void BM_ClosestGridBeatAfterANewBeat(benchmark::State& state) {
    std::unique_ptr<WaveForm> w = hourOfBeats();
    unsigned at = 1;
    for (auto _ : state) {
        w->addBeat(at, 12.0f, 120, 0, false, false);
        at = (at + 22050) % unsigned(kHour);
        benchmark::DoNotOptimize(w->getClosestBeat(at, true));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClosestGridBeatAfterANewBeat);

} // namespace
