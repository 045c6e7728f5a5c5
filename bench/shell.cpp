// The application's frame: from start to the first frame drawn, and one drawTLM of the default skin
// with four decks playing. References measured in the same run: building the engine alone (the
// share of start that is not the skin), and the same frame with every window layer hidden.
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "shell/HostBridge.h"
#include "skin/Skin.h"
#include "skin/SkinWindow.h"
#include "support/HeadlessGL.h"
#include "support/TempDir.h"

#include "analysis/TestWav.h"

#include <benchmark/benchmark.h>

#include <GL/gl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int frameWidth = 1280, frameHeight = 720;

// Start-up prints its diagnostics (skin load time, devices): silenced while a benchmark runs.
class QuietOutput {
public:
    QuietOutput() {
        fflush(stdout);
        fflush(stderr);
        out = dup(1);
        err = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~QuietOutput() {
        fflush(stdout);
        fflush(stderr);
        dup2(out, 1);
        dup2(err, 2);
        close(out);
        close(err);
    }

private:
    int out, err;
};

struct Scratch {
    testsupport::TempDir data{"bench-shell"};
    Scratch() {
        setenv("XDG_DATA_HOME", data.path.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1); // the null device: no sound system is measured
        setApplicationFolder(TARLUME_SOURCE_DIR "/data");
    }
};

void frame() {
    float dx = 0, dy = 0;
    glClear(GL_COLOR_BUFFER_BIT);
    drawTLM(frameWidth, frameHeight, nullptr, &dx, &dy);
    glFinish();
}

void BM_StartToFirstFrame(benchmark::State& state) {
    Scratch scratch;
    HeadlessGL gl;
    if (!gl.open(frameWidth, frameHeight)) return state.SkipWithError(gl.error().c_str());
    QuietOutput quiet;
    for (auto _ : state) {
        initTLM();
        frame();
        state.PauseTiming();
        destroyStuff();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartToFirstFrame)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_StartReferenceEngineOnly(benchmark::State& state) {
    Scratch scratch;
    QuietOutput quiet;
    for (auto _ : state) {
        Tarlume* engine = new Tarlume();
        engine->initAudio();
        state.PauseTiming();
        delete engine;
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartReferenceEngineOnly)->Unit(benchmark::kMillisecond)->Iterations(5);

// Four decks playing a track each, every layer of "player" shown; `hidden` hides every layer.
void drawFrames(benchmark::State& state, bool hidden) {
    Scratch scratch;
    HeadlessGL gl;
    if (!gl.open(frameWidth, frameHeight)) return state.SkipWithError(gl.error().c_str());
    QuietOutput quiet;
    initTLM();
    std::vector<float> left(44100 * 60), right(left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        left[i] = 9000.0f * std::sin(float(i) * 0.031f) * (i % 22050 < 2000 ? 2.0f : 1.0f);
        right[i] = 9000.0f * std::sin(float(i) * 0.047f);
    }
    std::string track = scratch.data.path + "track.wav";
    writeStereoWav(track, left, right, 44100);
    for (int deck = 0; deck < 4; ++deck) {
        tlm->players[deck]->loadSong(track.c_str(), true);
        tlm->players[deck]->playPause();
    }
    Skin* skin = tlm->skin;
    if (SkinWindow* player = skin->getWindow("player"))
        for (int l = 0; l < 4; ++l)
            player->layerState(l)->visible = true;
    for (int i = 0; i < 60; ++i) // loading and the first analysis settle
        frame();
    if (hidden)
        for (auto& w : skin->windows)
            for (int l = 0; l < 4; ++l)
                w->layerState(l)->hidden = true;
    for (auto _ : state)
        frame();
    destroyStuff();
}

void BM_DrawTLMFourDecksPlaying(benchmark::State& state) {
    drawFrames(state, false);
}
BENCHMARK(BM_DrawTLMFourDecksPlaying)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DrawTLMReferenceEverythingHidden(benchmark::State& state) {
    drawFrames(state, true);
}
BENCHMARK(BM_DrawTLMReferenceEverythingHidden)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Resident memory of the process in KiB.
long residentKiB() {
    FILE* f = fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Simulated play: frames drawn as fast as they render, a track loaded on a deck every 1800 frames
// (one minute at 30 frames a second), the four decks taking turns. Reports the resident memory
// after the first simulated minute and at the end.
void BM_MemoryOverSimulatedPlay(benchmark::State& state) {
    Scratch scratch;
    HeadlessGL gl;
    if (!gl.open(frameWidth, frameHeight)) return state.SkipWithError(gl.error().c_str());
    QuietOutput quiet;
    initTLM();
    std::vector<float> left(44100 * 90), right(left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        left[i] = 9000.0f * std::sin(float(i) * 0.031f);
        right[i] = 9000.0f * std::sin(float(i) * 0.047f);
    }
    std::string tracks[2] = {scratch.data.path + "a.wav", scratch.data.path + "b.wav"};
    for (const std::string& t : tracks)
        writeStereoWav(t, left, right, 44100);
    const int minutes = int(state.range(0));
    long afterFirstMinute = 0;
    for (auto _ : state) {
        for (int minute = 0; minute < minutes; ++minute) {
            TarlumePlayer* deck = tlm->players[minute % 4];
            deck->loadSong(tracks[minute % 2].c_str(), true);
            deck->playPause();
            for (int f = 0; f < 1800; ++f)
                frame();
            if (minute == 0) afterFirstMinute = residentKiB();
        }
    }
    state.counters["rss_after_1_min_KiB"] = double(afterFirstMinute);
    state.counters["rss_at_end_KiB"] = double(residentKiB());
    destroyStuff();
}
BENCHMARK(BM_MemoryOverSimulatedPlay)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
