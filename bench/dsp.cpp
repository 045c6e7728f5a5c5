// Per-frame cost of the signal blocks: the resampler at each filter size and its fallback (beside
// libsamplerate's sinc converters), biquad sections settled, gliding and decaying, and the volume ramp.
#include "dsp/Resample.h"
#include "dsp/VolumeRamp.h"
#include "dsp/filter.h"

#include <cstdlib>
#include <vector>

#include <benchmark/benchmark.h>
#ifdef TARLUME_HAVE_SAMPLERATE
#include <samplerate.h>
#endif

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

const int kSourceFrames = 1 << 20;
const double kPitch = 1.0123; // source frames per output frame: a deck pitched up a little

const std::vector<short>& stereoSource() {
    static std::vector<short> v = [] {
        std::vector<short> s(2 * size_t(kSourceFrames));
        srand(5);
        for (auto& x : s)
            x = short(rand() % 20000 - 10000);
        return s;
    }();
    return v;
}

// One stereo output frame per item, read as the player reads it.
void readFrames(benchmark::State& state, Resample& rs, double wrapAt) {
    double position = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) {
            benchmark::DoNotOptimize(rs.getOverSample(position, 0));
            benchmark::DoNotOptimize(rs.getOverSample(position, 1));
            position += kPitch;
            if (position >= wrapAt) position -= wrapAt;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

void BM_ResampleSinc(benchmark::State& state) {
    Resample rs;
    rs.init(unsigned(state.range(0)));
    rs.setFormat(stereoSource().data(), kSourceFrames, kSourceFrames, 2);
    readFrames(state, rs, kSourceFrames - 100);
}
BENCHMARK(BM_ResampleSinc)->Arg(9)->Arg(13)->Arg(19);

// The streaming player's ring: the same reads, wrapping at the capacity.
void BM_ResampleSincRing(benchmark::State& state) {
    Resample rs;
    rs.init(13);
    rs.setFormat(stereoSource().data(), kSourceFrames, kSourceFrames, 2, true);
    readFrames(state, rs, kSourceFrames);
}
BENCHMARK(BM_ResampleSincRing);

// A source shorter than the sinc needs: every read takes the 6-point interpolator.
void BM_ResampleFallback(benchmark::State& state) {
    Resample rs;
    rs.init(13);
    rs.setFormat(stereoSource().data(), 24, 24, 2);
    readFrames(state, rs, 24);
}
BENCHMARK(BM_ResampleFallback);

#ifdef TARLUME_HAVE_SAMPLERATE
// Reference: libsamplerate converting the same source at the same ratio, per stereo output frame.
void BM_LibsamplerateReference(benchmark::State& state) {
    const std::vector<short>& source = stereoSource();
    std::vector<float> in(2 * size_t(kBlock)), out(2 * size_t(kBlock));
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = source[i] / 32768.0f;
    int error = 0;
    SRC_STATE* src = src_new(int(state.range(0)), 2, &error);
    long produced = 0;
    for (auto _ : state) {
        SRC_DATA d{};
        d.data_in = in.data();
        d.data_out = out.data();
        d.input_frames = kBlock;
        d.output_frames = kBlock;
        d.src_ratio = 1.0 / kPitch;
        src_process(src, &d);
        produced += d.output_frames_gen;
        benchmark::DoNotOptimize(out.data());
    }
    src_delete(src);
    state.SetItemsProcessed(produced);
    state.SetLabel(src_get_name(int(state.range(0))));
}
BENCHMARK(BM_LibsamplerateReference)->Arg(SRC_SINC_FASTEST)->Arg(SRC_SINC_MEDIUM_QUALITY)->Arg(SRC_LINEAR);
#endif

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
