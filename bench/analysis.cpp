// Track analysis: one real FFT, the spectrum analyser's worst single call (the one that evaluates the beat
// lists), ReplayGain fed one frame per call against whole blocks, and five minutes of stereo audio analysed
// for tempo and for gain, beside aubio's tempo tools on the same file.
#include "analysis/GainAnalysis.h"
#include "analysis/fft.h"
#include "dsp/fftsg.h"

#include "../tests/analysis/KickTrain.h"
#include "../tests/analysis/TestWav.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

const double kRate = 44100;

// Five minutes of a 126 BPM groove (kicks, off-beat hats, noise 20 dB down), left and right slightly apart.
struct Track {
    std::vector<float> left, right;
    std::string wavPath;
};

const Track& fiveMinutes() {
    static Track t = [] {
        Track track;
        KickTrain kicks;
        kicks.bpm = 126;
        kicks.seconds = 300;
        kicks.offbeatHats = true;
        kicks.noiseDb = 20;
        track.left = kicks.make();
        kicks.noiseDb = 22;
        track.right = kicks.make();
        const std::string folder = std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/bench";
        mkdir(TARLUME_GENERATED_FIXTURES_DIR, 0755);
        mkdir(folder.c_str(), 0755);
        track.wavPath = folder + "/groove-5min.wav";
        struct stat st;
        if (stat(track.wavPath.c_str(), &st) != 0) writeStereoWav(track.wavPath, track.left, track.right, int(kRate));
        return track;
    }();
    return t;
}

void BM_RealFFT(benchmark::State& state) {
    const int n = int(state.range(0));
    const size_t size = static_cast<size_t>(n);
    std::vector<double> input(size), a(size), w(size);
    int ip[64] = {0};
    srand(3);
    for (double& x : input)
        x = rand() / double(RAND_MAX) - 0.5;
    rdft(n, 1, a.data(), ip, w.data()); // builds the table
    for (auto _ : state) {
        std::copy(input.begin(), input.end(), a.begin()); // a transform works in place
        rdft(n, 1, a.data(), ip, w.data());
        benchmark::DoNotOptimize(a.data());
    }
    state.SetLabel("ns per transform, copy of the input included");
}
BENCHMARK(BM_RealFFT)->Arg(1024)->Arg(2048);

double threadCpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

// Every call of the analyser timed on its own (thread CPU time, so a preemption on a busy machine does not
// count) after a minute of warm-up with full beat lists: the slowest is the one that evaluates the lists,
// which the effect chain's analyser makes on the audio thread.
void BM_AnalyserWorstCall(benchmark::State& state) {
    const Track& track = fiveMinutes();
    for (auto _ : state) {
        fft analyser(kRate);
        const size_t warm = size_t(60 * kRate), end = size_t(120 * kRate);
        for (size_t i = 0; i < warm; ++i)
            analyser.addSample(track.left[i], 1, int(i));
        double worst = 0;
        const double start = threadCpuNs();
        for (size_t i = warm; i < end; ++i) {
            const double t0 = threadCpuNs();
            analyser.addSample(track.left[i], 1, int(i));
            worst = std::max(worst, threadCpuNs() - t0);
        }
        state.counters["worst_us"] = worst / 1000;
        state.counters["mean_ns_with_clock"] = (threadCpuNs() - start) / double(end - warm);
        state.SetIterationTime(worst / 1e9);
    }
}
BENCHMARK(BM_AnalyserWorstCall)->Iterations(3)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The player's way: one stereo frame per call.
void BM_GainAnalysisPerFrame(benchmark::State& state) {
    const Track& track = fiveMinutes();
    GainAnalysis gain{long(kRate)};
    size_t i = 0;
    for (auto _ : state) {
        gain.AnalyzeSamples(&track.left[i], &track.right[i], 1, 2);
        if (++i == track.left.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GainAnalysisPerFrame);

void BM_GainAnalysisBlocks(benchmark::State& state) {
    const Track& track = fiveMinutes();
    GainAnalysis gain{long(kRate)};
    const size_t block = 4096;
    size_t i = 0;
    for (auto _ : state) {
        gain.AnalyzeSamples(&track.left[i], &track.right[i], block, 2);
        i += block;
        if (i + block > track.left.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations() * int64_t(block));
}
BENCHMARK(BM_GainAnalysisBlocks);

void BM_TempoFiveMinutes(benchmark::State& state) {
    const Track& track = fiveMinutes();
    for (auto _ : state) {
        fft analyser(kRate);
        for (size_t i = 0; i < track.left.size(); ++i)
            analyser.addSample(track.left[i], 1, int(i));
        benchmark::DoNotOptimize(analyser.getBPM());
        state.counters["bpm"] = analyser.getBPM();
    }
}
BENCHMARK(BM_TempoFiveMinutes)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_GainFiveMinutes(benchmark::State& state) {
    const Track& track = fiveMinutes();
    for (auto _ : state) {
        GainAnalysis gain{long(kRate)};
        for (size_t i = 0; i < track.left.size(); ++i)
            gain.AnalyzeSamples(&track.left[i], &track.right[i], 1, 2);
        state.counters["gain_dB"] = gain.GetTitleGain();
    }
}
BENCHMARK(BM_GainFiveMinutes)->Iterations(3)->Unit(benchmark::kMillisecond);

// References: a command run on the same WAV file, timed by the CPU it used (user + system).
double childCpuSeconds() {
    rusage r;
    getrusage(RUSAGE_CHILDREN, &r);
    return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
}

void runReference(benchmark::State& state, const std::string& command) {
    const Track& track = fiveMinutes();
    const std::string line = command + " " + track.wavPath + " > /dev/null 2>&1";
    for (auto _ : state) {
        const double before = childCpuSeconds();
        if (std::system(line.c_str()) != 0) {
            state.SkipWithError(("failed: " + command).c_str());
            break;
        }
        state.SetIterationTime(childCpuSeconds() - before);
    }
}

// The whole five minutes through `metaflac --add-replay-gain` (decoding the FLAC and the same analysis), timed
// by its CPU; the FLAC copy each run analyses is made outside the timing.
void BM_MetaflacReplayGainFiveMinutes(benchmark::State& state) {
    const Track& track = fiveMinutes();
    const std::string flac = track.wavPath + ".flac", copy = track.wavPath + ".copy.flac";
    struct stat st;
    if (stat(flac.c_str(), &st) != 0 &&
        std::system(("flac --silent -f -o " + flac + " " + track.wavPath + " > /dev/null 2>&1").c_str()) != 0) {
        state.SkipWithError("flac failed");
        return;
    }
    for (auto _ : state) {
        if (std::system(("cp " + flac + " " + copy).c_str()) != 0) {
            state.SkipWithError("copy failed");
            break;
        }
        const double before = childCpuSeconds();
        if (std::system(("metaflac --add-replay-gain " + copy + " > /dev/null 2>&1").c_str()) != 0) {
            state.SkipWithError("metaflac failed");
            break;
        }
        state.SetIterationTime(childCpuSeconds() - before);
    }
    std::remove(copy.c_str());
}
BENCHMARK(BM_MetaflacReplayGainFiveMinutes)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same five minutes in 4096-frame blocks.
void BM_GainFiveMinutesBlocks(benchmark::State& state) {
    const Track& track = fiveMinutes();
    for (auto _ : state) {
        GainAnalysis gain{long(kRate)};
        for (size_t i = 0; i < track.left.size(); i += 4096)
            gain.AnalyzeSamples(&track.left[i], &track.right[i], std::min<size_t>(4096, track.left.size() - i), 2);
        state.counters["gain_dB"] = gain.GetTitleGain();
    }
}
BENCHMARK(BM_GainFiveMinutesBlocks)->Iterations(3)->Unit(benchmark::kMillisecond);

// `aubio tempo` is a Python program: its start-up is part of the figure (see the one-second run below).
void BM_AubioTempoFiveMinutes(benchmark::State& state) {
    runReference(state, "aubio tempo -i");
}
BENCHMARK(BM_AubioTempoFiveMinutes)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_AubioTrackFiveMinutes(benchmark::State& state) {
    runReference(state, "aubiotrack -i");
}
BENCHMARK(BM_AubioTrackFiveMinutes)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_AubioTempoStartUp(benchmark::State& state) {
    const Track& track = fiveMinutes();
    const std::string path = track.wavPath + ".1s.wav";
    std::vector<float> l(track.left.begin(), track.left.begin() + long(kRate)),
        r(track.right.begin(), track.right.begin() + long(kRate));
    writeStereoWav(path, l, r, int(kRate));
    for (auto _ : state) {
        const double before = childCpuSeconds();
        if (std::system(("aubio tempo -i " + path + " > /dev/null 2>&1").c_str()) != 0) {
            state.SkipWithError("aubio tempo failed");
            break;
        }
        state.SetIterationTime(childCpuSeconds() - before);
    }
}
BENCHMARK(BM_AubioTempoStartUp)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
