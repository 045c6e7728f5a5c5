// The default skin (data/skins/kolt-1280.xml) as the application uses it: loading it, and drawing one
// frame of its visible windows through the user interface on an engine with empty decks, into a
// headless 1280 x 720 framebuffer. References measured in the same run: reading the skin file alone,
// and a frame of the four window backgrounds alone (the least any frame of this skin costs).
#include "engine/Tarlume.h"
#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "platform/GL.h"
#include "platform/GLPrimitives.h"
#include "skin/Skin.h"
#include "skin/SkinWindow.h"
#include "support/HeadlessGL.h"
#include "support/TempDir.h"
#include "ui/TarlumeSkinInterface.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

namespace {

const std::string skinPath = std::string(TARLUME_SOURCE_DIR) + "/data/skins/kolt-1280.xml";

// An engine in a scratch home (no sound device is opened), its user interface and the default skin.
struct DefaultSkin {
    testsupport::TempDir home{"bench-defaultskin"};
    std::unique_ptr<Tarlume> engine;
    std::unique_ptr<TarlumeSkinInterface> ui;
    std::unique_ptr<Skin> skin;
    DefaultSkin() {
        setenv("HOME", home.path.c_str(), 1);
        setenv("XDG_DATA_HOME", home.path.c_str(), 1);
        engine = std::make_unique<Tarlume>();
        ui = std::make_unique<TarlumeSkinInterface>(engine.get());
        ui->gl = GLPrimitives::immediate();
        skin = std::make_unique<Skin>(ui.get());
        engine->skin = skin.get();
        skin->loadSkin(skinPath);
    }
    ~DefaultSkin() {
        engine.reset(); // the engine reads the skin while it shuts down
        skin.reset();
    }
    // One frame: every visible layer at its place, as the host draws it.
    void frame(bool backgroundsOnly) {
        glClear(GL_COLOR_BUFFER_BIT);
        for (auto& window : skin->windows)
            for (int layer = 0; layer < 4; ++layer) {
                SkinWindowStateInfo* state = window->layerStates[layer].get();
                if (!state->visible || state->hidden) continue;
                glPushMatrix();
                glTranslatef(state->x, state->y, 0);
                if (backgroundsOnly) {
                    CPicture* b = window->backgroundPicture;
                    if (b) ui->bitblt(nullptr, 0, 0, b->width, b->height, b, 0, 0);
                } else {
                    window->draw(layer);
                }
                glPopMatrix();
            }
        glFinish();
    }
};

void drawFrames(benchmark::State& state, bool backgroundsOnly) {
    HeadlessGL context;
    if (!context.open(1280, 720)) {
        state.SkipWithError(("no headless OpenGL: " + context.error()).c_str());
        return;
    }
    DefaultSkin loaded;
    loaded.frame(false); // textures and rendered texts made once, as after the first frame
    for (auto _ : state)
        loaded.frame(backgroundsOnly);
}

void BM_DefaultSkinFrame(benchmark::State& state) {
    drawFrames(state, false);
}
BENCHMARK(BM_DefaultSkinFrame)->Unit(benchmark::kMillisecond);

void BM_DefaultSkinFrameReferenceBackgroundsOnly(benchmark::State& state) {
    drawFrames(state, true);
}
BENCHMARK(BM_DefaultSkinFrameReferenceBackgroundsOnly)->Unit(benchmark::kMillisecond);

void BM_DefaultSkinLoad(benchmark::State& state) {
    DefaultSkin first; // the engine stays: only the skin is loaded again
    for (auto _ : state) {
        Skin skin(first.ui.get());
        skin.loadSkin(skinPath);
        benchmark::DoNotOptimize(skin.windows.size());
    }
    first.ui->skin = first.skin.get(); // each skin above bound the interface to itself
}
BENCHMARK(BM_DefaultSkinLoad)->Unit(benchmark::kMillisecond);

// Reference: reading the skin file, with nothing parsed or built.
void BM_DefaultSkinLoadReferenceReadFile(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(readFileContents(skinPath).size());
}
BENCHMARK(BM_DefaultSkinLoadReferenceReadFile)->Unit(benchmark::kMillisecond);

} // namespace
