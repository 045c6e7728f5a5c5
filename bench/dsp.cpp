// Per-frame cost of the signal blocks: biquad sections settled, gliding and decaying, and the volume ramp.
#include "dsp/VolumeRamp.h"
#include "dsp/filter.h"

#include <cstdlib>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

std::vector<float> noiseBlock(int n) {
    std::vector<float> v(static_cast<size_t>(n));
    srand(11);
    for (auto& x : v)
        x = float(rand() % 65536 - 32768);
    return v;
}

const int kBlock = 4096;

// One block of stereo frames through the section, the output kept alive.
void filterBlock(dsp::filter& flt, const std::vector<float>& in) {
    for (float x : in) {
        float l = x, r = -x;
        flt.process(&l, &r);
        benchmark::DoNotOptimize(l);
        benchmark::DoNotOptimize(r);
    }
}

// A peaking EQ section whose settings have settled: five multiplies and four adds per sample.
void BM_FilterSettled(benchmark::State& state) {
    dsp::filter flt(44100);
    flt.setType(3);
    flt.setFrequency(1000);
    flt.setGain(6);
    std::vector<float> in = noiseBlock(kBlock);
    for (int i = 0; i < 20000; ++i) {
        float l = 0, r = 0;
        flt.process(&l, &r);
    }
    for (auto _ : state) {
        filterBlock(flt, in);
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_FilterSettled);

// A filter knob swept back and forth: the coefficients are recomputed every sample.
void BM_FilterGliding(benchmark::State& state) {
    dsp::filter flt(44100);
    flt.setType(4);
    flt.setGain(-1);
    std::vector<float> in = noiseBlock(kBlock);
    bool up = true;
    for (auto _ : state) {
        flt.setFrequency(up ? 18000.0f : 200.0f); // never reached within a block: gliding throughout
        up = !up;
        filterBlock(flt, in);
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_FilterGliding);

// Silence after a loud signal: the tail decays towards denormals, which the section flushes.
void BM_FilterDecayingTail(benchmark::State& state) {
    dsp::filter flt(44100);
    flt.setType(3);
    flt.setFrequency(60);
    flt.setBandwidth(0.3f);
    flt.setGain(12);
    std::vector<float> in = noiseBlock(kBlock);
    for (auto _ : state) {
        state.PauseTiming();
        filterBlock(flt, in);
        state.ResumeTiming();
        for (int i = 0; i < 16 * kBlock; ++i) {
            float l = 0, r = 0;
            flt.process(&l, &r);
            benchmark::DoNotOptimize(l);
        }
    }
    state.SetItemsProcessed(state.iterations() * 16 * kBlock);
}
BENCHMARK(BM_FilterDecayingTail);

void BM_VolumeRampSettled(benchmark::State& state) {
    VolumeRamp ramp(44100);
    ramp.setVolume(0.8);
    std::vector<float> l = noiseBlock(kBlock), r = noiseBlock(kBlock);
    for (auto _ : state) {
        ramp.processSamples(l.data(), r.data(), kBlock);
        benchmark::DoNotOptimize(l.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_VolumeRampSettled);

void BM_VolumeRampMoving(benchmark::State& state) {
    VolumeRamp ramp(44100);
    ramp.setFastRamp(1e-7); // never arrives: every frame takes a ramp step
    ramp.setSlowRamp(1e-8);
    ramp.setVolume(1.0);
    float l = 1, r = 1;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) {
            l = r = 1000;
            ramp.process(&l, &r);
            benchmark::DoNotOptimize(l);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_VolumeRampMoving);

} // namespace
