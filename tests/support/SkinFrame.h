// A loaded skin drawn into a headless framebuffer as the application draws a frame, and the frame
// read back: for the skin tests and the user interface's drawing tests alike.
#pragma once

#include "platform/GL.h"
#include "skin/Skin.h"
#include "skin/SkinWindow.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

namespace testsupport {

// One frame: the framebuffer cleared to transparent black, then every visible layer of every window
// at its position.
inline void drawSkinFrame(Skin& skin) {
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    for (auto& window : skin.windows)
        for (int layer = 0; layer < 4; ++layer) {
            SkinWindowStateInfo* state = window->layerStates[layer].get();
            if (!state->visible || state->hidden) continue;
            glPushMatrix();
            glTranslatef(state->x, state->y, 0);
            window->draw(layer);
            glPopMatrix();
        }
}

// 0x00RRGGBB of pixel (x, y) of a frame read as B, G, R, A bytes, `width` pixels a row.
inline unsigned pixelColour(const std::vector<unsigned char>& pixels, int width, int x, int y) {
    const unsigned char* p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 4];
    return (unsigned(p[2]) << 16) | (unsigned(p[1]) << 8) | p[0];
}

// TARLUME_SKIN_SHOT=<file.ppm> keeps the frame for a look.
inline void keepSkinShot(const std::vector<unsigned char>& pixels, int width, int height) {
    const char* shot = getenv("TARLUME_SKIN_SHOT");
    if (!shot) return;
    FILE* f = fopen(shot, "wb");
    if (!f) return;
    fprintf(f, "P6\n%d %d\n255\n", width, height);
    for (size_t i = 0; i + 3 < pixels.size(); i += 4) {
        unsigned char rgb[3] = {pixels[i + 2], pixels[i + 1], pixels[i]};
        fwrite(rgb, 1, 3, f);
    }
    fclose(f);
}

// The default skin's four windows in a 1280-pixel-wide frame: no black of the empty screen left in
// any, and more than a flat fill.
inline void expectDefaultSkinWindowsDrawn(const std::vector<unsigned char>& pixels, int width) {
    struct Area {
        const char* name;
        int x, y, w, h;
    };
    for (const Area& a : {Area{"deck 1", 0, 0, 520, 320}, Area{"mixer", 520, 0, 240, 320},
                          Area{"deck 2", 760, 0, 520, 320}, Area{"browser", 0, 320, 1280, 400}}) {
        SCOPED_TRACE(a.name);
        std::set<unsigned> colours;
        int black = 0;
        for (int y = a.y; y < a.y + a.h; y += 2)
            for (int x = a.x; x < a.x + a.w; x += 2) {
                unsigned c = pixelColour(pixels, width, x, y);
                colours.insert(c);
                if (c == 0) ++black;
            }
        EXPECT_EQ(black, 0);
        EXPECT_GT(colours.size(), 20u);
    }
}

} // namespace testsupport
