// Cost of each effect per stereo frame, and of a whole chain with everything on and gliding, beside two
// references measured in the same run: a plain stereo gain and one biquad section. The audio thread runs
// five chains (four decks and the master); at 44.1 kHz a frame lasts 22676 ns.
#include "audio/effects/EffectGroup.h"
#include "dsp/filter.h"

#include <cmath>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

constexpr int kFrames = 4096;

// A block of music-like input: two tones and a little noise, on the 16-bit scale.
const std::vector<float>& input() {
    static std::vector<float> v = [] {
        std::vector<float> s(2 * kFrames);
        unsigned seed = 1;
        for (int i = 0; i < kFrames; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const float noise = float(int(seed >> 16) - 32768) / 32768.0f * 500.0f;
            s[size_t(2 * i)] = 12000.0f * float(std::sin(i * 0.031)) + noise;
            s[size_t(2 * i + 1)] = 9000.0f * float(std::sin(i * 0.17)) - noise;
        }
        return s;
    }();
    return v;
}

template <typename Process> void runFrames(benchmark::State& state, Process process) {
    std::vector<float> buf = input();
    for (auto _ : state) {
        for (int i = 0; i < kFrames; ++i)
            process(&buf[size_t(2 * i)], &buf[size_t(2 * i + 1)]);
        benchmark::ClobberMemory();
        buf = input();
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
    state.counters["ns_per_frame"] = benchmark::Counter(double(state.iterations()) * kFrames,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ReferenceGain(benchmark::State& state) {
    volatile float g = 0.7f;
    runFrames(state, [&](float* l, float* r) {
        *l *= g;
        *r *= g;
    });
}
BENCHMARK(BM_ReferenceGain);

void BM_ReferenceBiquad(benchmark::State& state) {
    dsp::filter f(44100);
    f.setType(dsp::filter::Peaking);
    f.setFrequency(1000);
    f.setGain(6);
    runFrames(state, [&](float* l, float* r) { f.process(l, r); });
}
BENCHMARK(BM_ReferenceBiquad);

void BM_BitCrusher(benchmark::State& state) {
    BitCrusher c;
    c.setParameter(0, 6);
    c.setParameter(1, 3);
    c.setParameter(2, 2);
    runFrames(state, [&](float* l, float* r) { c.process(l, r); });
}
BENCHMARK(BM_BitCrusher);

void BM_Gapper(benchmark::State& state) {
    Gapper g;
    g.setParameter(0, 11025);
    g.setParameter(1, 0.8);
    g.setParameter(3, state.range(0));
    g.setParameter(4, 2000);
    runFrames(state, [&](float* l, float* r) { g.process(l, r); });
}
BENCHMARK(BM_Gapper)->Arg(0)->Arg(1);

void BM_Limiter(benchmark::State& state) {
    agc_limiter lim;
    lim.setParameter(0, 3.0); // drive it into limiting
    runFrames(state, [&](float* l, float* r) { lim.process(l, r); });
}
BENCHMARK(BM_Limiter);

void BM_Statistics(benchmark::State& state) {
    Statistical s;
    runFrames(state, [&](float* l, float* r) {
        s.processBefore(*l, *r);
        s.process(*l, *r);
    });
}
BENCHMARK(BM_Statistics);

void BM_Reverb(benchmark::State& state) {
    Reverb reverb(44100, 200.0f);
    runFrames(state, [&](float* l, float* r) { reverb.process(l, r); });
}
BENCHMARK(BM_Reverb);

void BM_ThreeBandEQ(benchmark::State& state) {
    ThreeBandEQ eq(44100);
    eq.setParameter(8, double(state.range(0)));
    eq.setParameter(4, 200);
    eq.setParameter(5, 1000);
    eq.setParameter(7, 5000);
    eq.setParameter(0, -0.7);
    eq.setParameter(1, state.range(0) == 2 ? -0.5 : 0.4);
    eq.setParameter(3, 0.6);
    runFrames(state, [&](float* l, float* r) { eq.process(l, r); });
}
BENCHMARK(BM_ThreeBandEQ)->Arg(0)->Arg(2);

void BM_Echo(benchmark::State& state) {
    AdvancedEcho echo(44100);
    echo.setParameter(2, 0.6);
    echo.setParameter(4, 6000);
    echo.setParameter(5, 200);
    echo.setParameter(0, state.range(0) ? -0.7 : 1.0); // forward, or reverse play through the interpolator
    runFrames(state, [&](float* l, float* r) { echo.process(l, r); });
}
BENCHMARK(BM_Echo)->Arg(0)->Arg(1);

void BM_Flanger(benchmark::State& state) {
    Flanger f(44100);
    f.setParameter(1, 0.8);
    f.setParameter(3, 2000);
    f.setParameter(4, 30);
    f.setParameter(5, 0.5);
    f.setParameter(6, 300);
    f.setParameter(7, 0.5);
    runFrames(state, [&](float* l, float* r) { f.process(l, r); });
}
BENCHMARK(BM_Flanger);

// A deck's chain as it starts (equaliser, echo, limiter), and one with every effect (the live analyser too) on and
// every gliding setting on the move.
void BM_EffectGroup(benchmark::State& state) {
    EffectGroup g(44100);
    for (int id : {6, 8, 4})
        g.setEffectState(id, 1);
    const bool all = state.range(0) != 0;
    if (all)
        for (int id : {1, 8, 9, 10, 12, 13, 15, 17})
            g.setEffectState(id, 1);
    g.setParameter(8, 2, 0.5, 0);
    g.setParameter(9, 1, 0.7, 0);
    g.setParameter(12, 0, 11025, 0);
    g.setParameter(12, 1, 0.5, 0);
    g.setParameter(17, 0, 10, 0);
    int frame = 0;
    runFrames(state, [&](float* l, float* r) {
        if (all && ++frame % 64 == 0) {
            // Knobs turning all the time: every section keeps gliding.
            const double t = frame / 44100.0;
            g.setParameter(18, 0, std::sin(t * 3), 0);
            g.setParameter(18, 3, std::sin(t * 5), 0);
            g.setParameter(18, 6, std::sin(t * 7), 0);
            g.setParameter(15, 100, 0.5 + 0.5 * std::sin(t * 2), 0);
            g.setParameter(8, 4, 4000 + 3000 * std::sin(t), 0);
        }
        g.process(l, r);
    });
}
BENCHMARK(BM_EffectGroup)->Arg(0)->Arg(1);

// Drawing the equaliser's response (main thread, once per knob change).
void BM_ImpulseResponse(benchmark::State& state) {
    EffectGroup g(44100);
    g.setEffectState(6, 1);
    g.setEffectState(15, 1);
    g.setParameter(18, 1, 300, 0);
    g.setParameter(18, 4, 1000, 0);
    g.setParameter(18, 7, 5000, 0);
    g.setParameter(18, 0, -0.7, 0);
    g.setParameter(15, 100, 0.3, 0);
    float out[512];
    for (auto _ : state) {
        g.getImpulseResponse(out, -1);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ImpulseResponse)->Unit(benchmark::kMillisecond);

} // namespace
