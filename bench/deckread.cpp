// The deck's read of a track at speeds around and beyond the file's rate: ns per output frame of the deck's
// whole work (frame by frame and by block) and of the bare read alone (above the file's rate also held to four
// taps at once), with what a 20 Hz-22 kHz sweep read at that speed folds back into the audible band (the worst
// 4,096-frame window, dB against a tone of the sweep's level). References in the same run and on the same
// input: the bare 13-tap plain read (the read every speed used before the band-limited read), libsamplerate's
// SRC_SINC_FASTEST and SRC_SINC_MEDIUM_QUALITY converting the sweep at the same ratio, and `sox rate -v`.
#include "audio/player/Player.h"
#include "dsp/Resample.h"
#include "support/SweepAnalysis.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>
#ifdef TARLUME_HAVE_SAMPLERATE
#include <samplerate.h>
#endif

namespace {

const double kSpeeds[] = {0.5, 0.92, 1.0, 1.08, 1.25, 1.5, 2.0};

const testsupport::Sweep& sweep() {
    static const testsupport::Sweep s = [] {
        testsupport::Sweep w;
        w.amplitude = 30000; // the input's own rounding far below what is measured
        return w;
    }();
    return s;
}
const std::vector<short>& sweepFrames() {
    static const std::vector<short> v = sweep().stereo();
    return v;
}

double speedOf(const benchmark::State& state) {
    return kSpeeds[state.range(0)];
}

// A deck over the sweep in memory, playing at `speed`, its level not following the speed.
std::unique_ptr<Player> deckAt(double speed) {
    Player::sml_separateLoadingThread = false;
    auto p = std::make_unique<Player>();
    p->init("", 13, 0, 0);
    std::vector<short>& samples = const_cast<std::vector<short>&>(sweepFrames());
    p->updateBuffer(samples.data(), int(samples.size() * sizeof(short)));
    p->setParameter(PLAYERPARAM_LENGTH, sweep().frames());
    p->setParameter(PLAYERPARAM_LOADED, sweep().frames());
    p->setParameter(PLAYERPARAM_VOLUMEFOLLOWSSPEED, 0);
    p->setParameter(PLAYERPARAM_SPEED, speed, 0);
    p->setParameter(PLAYERPARAM_PLAYING, 1);
    return p;
}

// The whole deck: Player::process per output frame (BM_DeckProcess) or Player::processBlock over 256-frame
// blocks as the mixer renders (BM_DeckBlock); the sweep's out-of-band energy as the counter "oob_dB".
void deckFrames(benchmark::State& state, bool whole) {
    const double speed = speedOf(state);
    {
        std::unique_ptr<Player> p = deckAt(speed);
        std::vector<float> left(size_t(sweep().frames() / speed) - 64);
        for (float& l : left) {
            float r;
            p->process(&l, &r);
        }
        state.counters["fold_dB"] = testsupport::worstFoldBack(left, sweep(), speed, 0, 4096);
    }
    std::unique_ptr<Player> p = deckAt(speed);
    const int block = 256, blocks = 16;
    std::vector<float> left(block), right(block);
    long frames = 0;
    for (auto _ : state) {
        if (p->getParameter(PLAYERPARAM_POSITION) > sweep().frames() - 2 * block * blocks * speed)
            p->setParameter(PLAYERPARAM_POSITION, 0);
        for (int b = 0; b < blocks; ++b) {
            if (whole) {
                p->processBlock(left.data(), right.data(), block);
            } else {
                for (int i = 0; i < block; ++i)
                    p->process(&left[size_t(i)], &right[size_t(i)]);
            }
            benchmark::DoNotOptimize(left.data());
            benchmark::DoNotOptimize(right.data());
        }
        frames += block * blocks;
    }
    state.SetItemsProcessed(frames);
    state.SetLabel("speed " + std::to_string(speed).substr(0, 4));
}
void BM_DeckProcess(benchmark::State& state) {
    deckFrames(state, false);
}
void BM_DeckBlock(benchmark::State& state) {
    deckFrames(state, true);
}
BENCHMARK(BM_DeckProcess)->DenseRange(0, 6);
BENCHMARK(BM_DeckBlock)->DenseRange(0, 6);

// Reads `frames` stereo frames at `speed` through `read`, the left channel kept.
template <class Read> std::vector<float> readSweep(double speed, Read read) {
    std::vector<float> left(size_t(sweep().frames() / speed) - 64);
    double position = 0;
    for (float& l : left) {
        float r;
        read(position, &l, &r);
        position += speed;
    }
    return left;
}

// Times `read` walking the sweep at `speed`, 4096 frames a round, and counts its out-of-band energy.
template <class Read> void measureRead(benchmark::State& state, double speed, Read read) {
    state.counters["fold_dB"] = testsupport::worstFoldBack(readSweep(speed, read), sweep(), speed, 0, 4096);
    double position = 100;
    long frames = 0;
    for (auto _ : state) {
        for (int i = 0; i < 4096; ++i) {
            float l, r;
            read(position, &l, &r);
            benchmark::DoNotOptimize(l);
            benchmark::DoNotOptimize(r);
            position += speed;
        }
        if (position > sweep().frames() - 10000) position = 100;
        frames += 4096;
    }
    state.SetItemsProcessed(frames);
    state.SetLabel("speed " + std::to_string(speed).substr(0, 4));
}

// The bare read the deck makes at that speed: the band-limited read above the file's rate, the plain 13-tap read
// at or below it. BM_DeckReadFourLanes: the band-limited read held to four taps at once.
void deckRead(benchmark::State& state, bool wide) {
    const double speed = speedOf(state);
    if (!Resample::allowWideReads(wide) && wide) state.SetLabel("no 8-lane reads here");
    Resample rs;
    rs.init(13);
    rs.setFormat(sweepFrames().data(), sweep().frames(), sweep().frames(), 2);
    auto read = [&](double position, float* l, float* r) {
        if (speed > 1.0)
            rs.getResampleFrame(position, 1.0 / speed, l, r);
        else
            rs.getOverSampleFrame(position, l, r);
    };
    measureRead(state, speed, read);
    Resample::allowWideReads(true);
}
void BM_DeckRead(benchmark::State& state) {
    deckRead(state, true);
}
void BM_DeckReadFourLanes(benchmark::State& state) {
    deckRead(state, false);
}
BENCHMARK(BM_DeckRead)->DenseRange(0, 6);
BENCHMARK(BM_DeckReadFourLanes)->DenseRange(3, 6);

// Reference: the plain 13-tap read at every speed (what the deck read before).
void BM_PlainRead13(benchmark::State& state) {
    const double speed = speedOf(state);
    Resample rs;
    rs.init(13);
    rs.setFormat(sweepFrames().data(), sweep().frames(), sweep().frames(), 2);
    auto read = [&](double position, float* l, float* r) {
        *l = rs.getOverSample(position, 0);
        *r = rs.getOverSample(position, 1);
    };
    measureRead(state, speed, read);
}
BENCHMARK(BM_PlainRead13)->DenseRange(0, 6);

#ifdef TARLUME_HAVE_SAMPLERATE
// Reference: libsamplerate converting the whole sweep at ratio 1 / speed (one process call), per output frame.
void BM_Libsamplerate(benchmark::State& state) {
    const double speed = speedOf(state);
    const int converter = int(state.range(1));
    std::vector<float> in(sweepFrames().size());
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = sweepFrames()[i] / 32768.0f;
    std::vector<float> out(size_t(sweep().frames() / speed + 64) * 2);
    long produced = 0;
    std::vector<float> left;
    for (auto _ : state) {
        int error = 0;
        SRC_STATE* src = src_new(converter, 2, &error);
        SRC_DATA d{};
        d.data_in = in.data();
        d.data_out = out.data();
        d.input_frames = sweep().frames();
        d.output_frames = long(out.size() / 2);
        d.src_ratio = 1.0 / speed;
        d.end_of_input = 1;
        src_process(src, &d);
        src_delete(src);
        produced += d.output_frames_gen;
        benchmark::DoNotOptimize(out.data());
        if (left.empty()) {
            left.resize(size_t(d.output_frames_gen));
            for (size_t i = 0; i < left.size(); ++i)
                left[i] = out[2 * i] * 32768.0f;
        }
    }
    // Its output lags the input by its filter's delay: the analysis starts past it, where the windows line up
    // within their margins.
    if (left.size() > 64) left.resize(left.size() - 64);
    state.counters["fold_dB"] = testsupport::worstFoldBack(left, sweep(), speed, 0, 4096);
    state.SetItemsProcessed(produced);
    state.SetLabel(std::string(src_get_name(converter)).substr(0, 24) + ", speed " +
                   std::to_string(speed).substr(0, 4));
}
BENCHMARK(BM_Libsamplerate)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {SRC_SINC_FASTEST, SRC_SINC_MEDIUM_QUALITY}})
    ->Unit(benchmark::kMillisecond);
#endif

// Reference: sox's very high quality rate conversion of the sweep at 44.1 kHz / speed, per output frame of the
// whole sox run (start and raw files on /tmp included).
void BM_SoxRateV(benchmark::State& state) {
    const double speed = speedOf(state);
    const std::string in = "/tmp/tarlume-bench-" + std::to_string(getpid()) + ".raw", out = in + ".out.raw";
    if (FILE* f = std::fopen(in.c_str(), "wb")) {
        std::fwrite(sweepFrames().data(), sizeof(short), sweepFrames().size(), f);
        std::fclose(f);
    }
    const std::string command = "sox -t s16 -r 44100 -c 2 " + in + " -t s16 -r " + std::to_string(44100 / speed) +
                                " -c 2 " + out + " rate -v 2>/dev/null";
    std::vector<float> left;
    long produced = 0;
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("sox failed");
            break;
        }
        std::vector<short> frames;
        if (FILE* f = std::fopen(out.c_str(), "rb")) {
            short v[2];
            while (std::fread(v, sizeof(short), 2, f) == 2)
                frames.push_back(v[0]);
            std::fclose(f);
        }
        produced += long(frames.size());
        if (left.empty()) left.assign(frames.begin(), frames.end());
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    if (left.size() > 64) left.resize(left.size() - 64);
    state.counters["fold_dB"] = testsupport::worstFoldBack(left, sweep(), speed, 0, 4096);
    state.SetItemsProcessed(produced);
    state.SetLabel("speed " + std::to_string(speed).substr(0, 4));
}
BENCHMARK(BM_SoxRateV)->DenseRange(2, 6)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
