// The application's frame: from start to the first frame drawn, and drawTLM of the default skin idle and
// with two and four decks playing. References measured in the same run: building the engine alone (the
// share of start that is not the skin), the same frames drawn whole, and a frame with every window
// layer hidden.
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "platform/GLRetainedFrame.h"
#include "shell/HostBridge.h"
#include "skin/Skin.h"
#include "skin/SkinWindow.h"
#include "support/HeadlessGL.h"
#include "support/TempDir.h"

#include "analysis/TestWav.h"

#include <benchmark/benchmark.h>

#include <GL/gl.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
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

// One frame; one drawn whole clears the framebuffer first, as the window does.
void frame(bool retained = false) {
    float dx = 0, dy = 0;
    if (!retained) glClear(GL_COLOR_BUFFER_BIT);
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

// Frames of the default skin as the window draws them, 30 a second, `decks` of them playing a track each (layers
// 0 to 3 of "player" shown when more than two). Retained: the window keeps its picture, so a frame draws
// only what changed since the last; the reference draws every frame whole, as every frame was drawn
// before. CPU is the whole process's (the rasteriser's threads too), per frame; the counters say how
// much of each frame was drawn again.
void drawFrames(benchmark::State& state, int decks, bool retained, bool hidden = false) {
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
    GLRetainedFrame& screen = GLRetainedFrame::screen();
    screen.setRetained(retained);
    for (int deck = 0; deck < decks; ++deck)
        tlm->players[deck]->loadSong(track.c_str(), true);
    // Loads finish in the frame update once their files are open.
    auto loaded = [&] {
        for (int deck = 0; deck < decks; ++deck)
            if (tlm->players[deck]->isLoading() || !(tlm->players[deck]->getLength() > 0)) return false;
        return true;
    };
    for (int i = 0; i < 1000 && !loaded(); ++i) {
        frame(retained);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int deck = 0; deck < decks; ++deck)
        tlm->players[deck]->playPause();
    Skin* skin = tlm->skin;
    if (SkinWindow* player = skin->getWindow("player"))
        for (int l = 0; l < 4 && decks > 2; ++l)
            player->layerState(l)->visible = true;
    for (int i = 0; i < 60; ++i) // loading and the first analysis settle
        frame(retained);
    if (hidden)
        for (auto& w : skin->windows)
            for (int l = 0; l < 4; ++l)
                w->layerState(l)->hidden = true;
    double groups = 0, drawn = 0, pixels = 0;
    // At the window's pace: what changes between frames is what 1/30 s of play changes.
    auto tick = std::chrono::steady_clock::now();
    for (auto _ : state) {
        state.PauseTiming();
        tick += std::chrono::microseconds(33333);
        std::this_thread::sleep_until(tick);
        state.ResumeTiming();
        frame(retained);
        groups += double(screen.stats().groups);
        drawn += double(screen.stats().groupsDrawn);
        pixels += double(screen.stats().pixelsDrawn);
    }
    double frames = double(state.iterations());
    state.counters["objects"] = groups / frames;
    state.counters["objects_drawn"] = drawn / frames;
    state.counters["pixels_drawn"] = pixels / frames;
    state.counters["share_drawn_%"] = 100.0 * pixels / frames / (double(frameWidth) * frameHeight);
    screen.setRetained(false);
    destroyStuff();
}

void BM_FrameIdle(benchmark::State& state) {
    drawFrames(state, 0, true);
}
BENCHMARK(BM_FrameIdle)->Unit(benchmark::kMillisecond)->Iterations(150)->MeasureProcessCPUTime();

void BM_FrameIdleReferenceDrawnWhole(benchmark::State& state) {
    drawFrames(state, 0, false);
}
BENCHMARK(BM_FrameIdleReferenceDrawnWhole)->Unit(benchmark::kMillisecond)->Iterations(150)->MeasureProcessCPUTime();

void BM_FrameTwoDecksPlaying(benchmark::State& state) {
    drawFrames(state, 2, true);
}
BENCHMARK(BM_FrameTwoDecksPlaying)->Unit(benchmark::kMillisecond)->Iterations(150)->MeasureProcessCPUTime();

void BM_FrameTwoDecksPlayingReferenceDrawnWhole(benchmark::State& state) {
    drawFrames(state, 2, false);
}
BENCHMARK(BM_FrameTwoDecksPlayingReferenceDrawnWhole)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(150)
    ->MeasureProcessCPUTime();

void BM_DrawTLMFourDecksPlaying(benchmark::State& state) {
    drawFrames(state, 4, true);
}
BENCHMARK(BM_DrawTLMFourDecksPlaying)->Unit(benchmark::kMillisecond)->Iterations(150)->MeasureProcessCPUTime();

void BM_DrawTLMReferenceEverythingHidden(benchmark::State& state) {
    drawFrames(state, 4, true, true);
}
BENCHMARK(BM_DrawTLMReferenceEverythingHidden)->Unit(benchmark::kMillisecond)->Iterations(150)->MeasureProcessCPUTime();

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
