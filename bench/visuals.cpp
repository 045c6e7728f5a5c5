// The visuals of four decks playing the click track, each 1,000 pixels wide: one frame of each visual
// through a counting primitive backend (CPU per frame, vertices per frame), all of them together, and
// the same whole frame drawn by Mesa's llvmpipe into a headless framebuffer. References measured in the
// same run: a plain frame of the same objects (one background rectangle each), counted and under GL.
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/Picture.h"
#include "platform/GL.h"
#include "platform/GLPrimitives.h"
#include "skin/SkinObject.h"
#include "support/HeadlessGL.h"
#include "support/TempDir.h"
#include "ui/TarlumeSkinInterface.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Counts vertices instead of drawing.
struct CountingGL : GLPrimitives {
    long vertices = 0;
    void setTexturing(bool) override {}
    void setBlending(bool) override {}
    void blendFunc(BlendFactors) override {}
    void setLineSmooth(bool) override {}
    void lineWidth(float) override {}
    void begin(Primitive) override {}
    void end() override {}
    void color(float, float, float, float) override {}
    void vertex(float, float) override { ++vertices; }
};

struct Visual {
    int value;
    const char* spec;
    int drawType;
    float height;
};

// The visuals of a four-deck skin, one row each; the two-waveform view and the crossfader curves are
// the mixer's, drawn once per frame (as deck 0's layer).
const Visual kDeckVisuals[] = {{VALUE_WAVEFORMLOCAL, "", 0, 80},
                               {VALUE_WAVEFORMLOCAL, "", 3, 80},
                               {VALUE_WAVEFORMLOCAL, "33", 5, 200},
                               {VALUE_WAVEFORMCOMPLETE, "", 0, 20},
                               {VALUE_WAVEFORMCOMPLETE, "", 4, 40},
                               {VALUE_IMPULSERESPONSE, "", 0, 60},
                               {VALUE_DISC, "", 0, 200},
                               {VALUE_SONGPICTURE, "", 0, 60}};
const Visual kMixerVisuals[] = {{VALUE_BOTHWAVEFORMS, "xfade|xfade", 0, 120},
                                {VALUE_CROSSFADERTYPE, "0", 0, 30},
                                {VALUE_CROSSFADERTYPE, "1", 0, 30},
                                {VALUE_CROSSFADERTYPE, "2", 0, 30},
                                {VALUE_CROSSFADERTYPE, "3", 0, 30}};

std::string emptyText;

std::unique_ptr<SkinObject> makeObject(const Visual& v, int deck, float top) {
    auto o = std::make_unique<SkinObject>(&emptyText, nullptr, nullptr);
    o->type = OBJECT_SPECIAL;
    o->value = v.value;
    o->valueSpecifier = v.spec;
    o->drawType = v.drawType;
    o->player = deck;
    o->colors[0] = 0x40C0FF;
    o->colors[1] = 0xFF8040;
    o->colors[2] = 0x40FF40;
    o->colors[3] = 0xFFFFFF;
    SkinRect* r = o->rect.get();
    const float width = v.value == VALUE_DISC || (v.value == VALUE_WAVEFORMLOCAL && v.drawType == 5) ? 200
                        : v.value == VALUE_SONGPICTURE                                               ? 60
                                                                                                     : 1000;
    r->left = 0, r->top = top, r->width = width, r->height = v.height;
    r->right = width, r->bottom = top + v.height;
    return o;
}

// An engine in a scratch home with the click track on all four decks, playing.
struct World {
    testsupport::TempDir home{"bench-visuals"};
    std::unique_ptr<Tarlume> engine;
    std::unique_ptr<TarlumeSkinInterface> ui;
    CountingGL counter;
    CPicture screen; // the layer drawn into: its size clips pictures
    bool ok = false;

    World() {
        setenv("HOME", home.path.c_str(), 1);
        setenv("XDG_DATA_HOME", home.path.c_str(), 1);
        const std::string click = home.path + "/click.wav";
        if (std::system(
                ("sox -n -r 44100 -c 2 '" + click + "' synth 0.01 sine 1000 pad 0 0.49 repeat 119 >/dev/null 2>&1")
                    .c_str()) != 0)
            return;
        engine = std::make_unique<Tarlume>();
        engine->setSamplerate(44100.0);
        ui = std::make_unique<TarlumeSkinInterface>(engine.get());
        for (int d = 0; d < 4; ++d)
            engine->players[d]->loadSong(click.c_str(), true);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (int d = 0; d < 4; ++d)
            while (engine->players[d]->getParam(PLAYERPARAM_LOADED) < 30 * 44100.0 &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int d = 0; d < 4; ++d)
            engine->players[d]->setPosition(15000.0 + 1000.0 * d);
        screen.width = 1280;
        screen.height = 1000;
        ok = true;
    }
    ~World() {
        ui.reset();
        engine.reset();
    }
};

World& world() {
    static World w;
    return w;
}

// The objects of one frame: each deck visual on its deck (four layers), the mixer visuals once.
struct Frame {
    std::vector<std::pair<std::unique_ptr<SkinObject>, int>> objects; // object, layer
    Frame(const Visual* only, bool mixer) {
        float top = 0;
        for (const Visual& v : kDeckVisuals) {
            if (only && only->value != v.value) continue;
            if (only && only->drawType != v.drawType) continue;
            for (int d = 0; d < 4; ++d)
                objects.emplace_back(makeObject(v, d, top), d);
            top += v.height;
        }
        if (mixer)
            for (const Visual& v : kMixerVisuals) {
                objects.emplace_back(makeObject(v, -1, top), 0);
                top += v.height;
            }
    }
    void draw(TarlumeSkinInterface& ui, CPicture* target, bool plain) {
        for (auto& [o, layer] : objects) {
            if (plain) {
                const SkinRect* r = o->rect.get();
                ui.fillRectangle(target, int(r->left), int(r->top), int(r->right), int(r->bottom), 0x202020);
            } else {
                ui.drawObject(target, o.get(), layer, nullptr);
            }
        }
    }
};

void run(benchmark::State& state, const Visual* only, bool mixer, bool plain) {
    World& w = world();
    if (!w.ok) {
        state.SkipWithError("sox missing");
        return;
    }
    Frame frame(only, mixer);
    w.ui->gl = &w.counter;
    frame.draw(*w.ui, &w.screen, plain); // caches filled, as after the first frame
    w.counter.vertices = 0;
    for (auto _ : state)
        frame.draw(*w.ui, &w.screen, plain);
    state.counters["vertices/frame"] = double(w.counter.vertices) / double(state.iterations());
}

void BM_DeckVisual(benchmark::State& state) {
    const Visual& v = kDeckVisuals[state.range(0)];
    state.SetLabel(std::to_string(v.value) + " drawtype " + std::to_string(v.drawType) + ", 4 decks");
    run(state, &v, false, false);
}
BENCHMARK(BM_DeckVisual)
    ->DenseRange(0, int(sizeof(kDeckVisuals) / sizeof(kDeckVisuals[0])) - 1)
    ->Unit(benchmark::kMicrosecond);

void BM_MixerVisuals(benchmark::State& state) {
    state.SetLabel("107 and four crossfader curves");
    Visual none{-1, "", 0, 0};
    run(state, &none, true, false);
}
BENCHMARK(BM_MixerVisuals)->Unit(benchmark::kMicrosecond);

void BM_AllVisualsCounted(benchmark::State& state) {
    run(state, nullptr, true, false);
}
BENCHMARK(BM_AllVisualsCounted)->Unit(benchmark::kMicrosecond);

void BM_PlainFrameCounted(benchmark::State& state) {
    state.SetLabel("reference: one rectangle per object");
    run(state, nullptr, true, true);
}
BENCHMARK(BM_PlainFrameCounted)->Unit(benchmark::kMicrosecond);

void runGL(benchmark::State& state, bool plain) {
    World& w = world();
    if (!w.ok) {
        state.SkipWithError("sox missing");
        return;
    }
    HeadlessGL context;
    if (!context.open(1280, 1000)) {
        state.SkipWithError(("no headless OpenGL: " + context.error()).c_str());
        return;
    }
    Frame frame(nullptr, true);
    w.ui->gl = GLPrimitives::immediate();
    frame.draw(*w.ui, &w.screen, plain);
    glFinish();
    for (auto _ : state) {
        glClear(GL_COLOR_BUFFER_BIT);
        frame.draw(*w.ui, &w.screen, plain);
        glFinish();
    }
    w.ui->gl = &w.counter;
}

void BM_AllVisualsLlvmpipe(benchmark::State& state) {
    runGL(state, false);
}
BENCHMARK(BM_AllVisualsLlvmpipe)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainFrameLlvmpipe(benchmark::State& state) {
    state.SetLabel("reference: one rectangle per object");
    runGL(state, true);
}
BENCHMARK(BM_PlainFrameLlvmpipe)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
