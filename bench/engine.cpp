// The mixer's cost per audio block: one block of 256 or 512 frames at 44.1 or 96 kHz with four decks
// playing with pitch (two with key lock), EQ and two effects per deck, master effects, WAV recording and
// one timecode input decoding. Reported as the share of the block's duration spent mixing it, on average
// and for the worst block. Reference in the same run: the same four decks with no effects, no recording
// and no timecode.
#include "engine/EngineLoadRig.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include <benchmark/benchmark.h>

namespace {

double threadCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void mixer(benchmark::State& state, bool full) {
    const double rate = double(state.range(0));
    const int frames = int(state.range(1));
    testsupport::EngineLoadRig rig(rate, frames, full);
    if (!rig.error.empty()) {
        state.SkipWithError(rig.error.c_str());
        return;
    }
    const double deadline = frames / rate; // seconds per block
    double worst = 0, total = 0, worstCpu = 0, totalCpu = 0;
    long blocks = 0;
    // Blocks come at real-time pace, as a device asks for them, so the decks' loading keeps up as it
    // does in use; the time of each block alone is measured.
    auto next = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = threadCpuSeconds();
        rig.block();
        const double cpu = threadCpuSeconds() - cpuStart;
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        worstCpu = std::max(worstCpu, cpu);
        totalCpu += cpu;
        state.SetIterationTime(took);
        worst = std::max(worst, took);
        total += took;
        blocks++;
        if (blocks % 64 == 0) rig.engine->update(); // the frame loop runs beside the audio
        next +=
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(deadline));
        std::this_thread::sleep_until(next);
    }
    state.counters["share_avg_%"] = blocks ? 100.0 * total / blocks / deadline : 0;
    state.counters["share_worst_%"] = 100.0 * worst / deadline;
    // The same in processor time of the audio thread: what the block costs without the time other
    // processes took the core away (this machine is shared while it measures).
    state.counters["cpu_avg_%"] = blocks ? 100.0 * totalCpu / blocks / deadline : 0;
    state.counters["cpu_worst_%"] = 100.0 * worstCpu / deadline;
}

void BM_MixerFullLoad(benchmark::State& state) {
    mixer(state, true);
}
void BM_MixerReferencePlainDecks(benchmark::State& state) {
    mixer(state, false);
}

// Three seconds of audio per case.
void blockSizes(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMicrosecond)->UseManualTime();
}

} // namespace

#define MIXER_CASES(fn)                                                                                                \
    BENCHMARK(fn)->Apply(blockSizes)->Args({44100, 256})->Iterations(3 * 44100 / 256);                                 \
    BENCHMARK(fn)->Apply(blockSizes)->Args({44100, 512})->Iterations(3 * 44100 / 512);                                 \
    BENCHMARK(fn)->Apply(blockSizes)->Args({96000, 256})->Iterations(3 * 96000 / 256);                                 \
    BENCHMARK(fn)->Apply(blockSizes)->Args({96000, 512})->Iterations(3 * 96000 / 512)

MIXER_CASES(BM_MixerFullLoad);
MIXER_CASES(BM_MixerReferencePlainDecks);
