// The skin engine's hot paths: loading a large skin, drawing a frame of it, rendering text.
// Each comes with a reference measured in the same run: the bare tag search over the same skin
// text, the same frame with every object skipped, and Cairo's own text drawing of the same labels.
#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "platform/AppPaths.h"
#include "platform/GL.h"
#include "platform/GLPrimitives.h"
#include "support/HeadlessGL.h"
#include "support/TempDir.h"
#include "skin/Skin.h"
#include "skin/SkinFont.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinWindow.h"

#include "skin/SkinTestSupport.h"

#include <benchmark/benchmark.h>
#include <cairo.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The loader prints its time on every load: silenced while a benchmark runs.
class QuietStdout {
public:
    QuietStdout() {
        fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }

private:
    int saved;
};

class NullGL : public GLPrimitives {
public:
    long calls = 0;
    void setTexturing(bool) override { ++calls; }
    void setBlending(bool) override { ++calls; }
    void blendFunc(BlendFactors) override { ++calls; }
    void setLineSmooth(bool) override { ++calls; }
    void lineWidth(float) override { ++calls; }
    void begin(Primitive) override { ++calls; }
    void end() override { ++calls; }
    void color(float, float, float, float) override { ++calls; }
    void vertex(float, float) override { ++calls; }
};

class BenchInterface : public SkinInterface {
public:
    BenchInterface() { gl = &nullGL; }
    // Pictures reach OpenGL only when a context is current (the llvmpipe frames).
    void bitblt(void* target, int x, int y, int w, int h, void* src, int sx, int sy) override {
        ++blits;
        if (gl != &nullGL) SkinInterface::bitblt(target, x, y, w, h, src, sx, sy);
    }
    std::string getValueStr(int id, std::string* spec, int deck) override {
        if (id == 50) return "Artist " + *spec + " - Title of the track";
        return SkinInterface::getValueStr(id, spec, deck);
    }
    double getValueDbl(int id, std::string* spec, int deck) override {
        if (id == 51) return (frame % 100) / 100.0; // values that move every frame
        return SkinInterface::getValueDbl(id, spec, deck);
    }
    int getValue(const std::string& name) override {
        if (name == "tracktext") return 50;
        if (name == "level") return 51;
        return SkinInterface::getValue(name);
    }
    NullGL nullGL;
    long blits = 0;
    int frame = 0;
};

// 50 windows of 100 objects: buttons with pictures, sliders, knobs, texts, in two tabs each.
const std::string& syntheticSkin() {
    static std::string path = [] {
        static const testsupport::TempDir scratch("bench-skin"); // removed when the program ends
        std::string root = scratch.path;
        std::string folder = root + "big/";
        writeSolidBmp(folder + "back.bmp", 400, 200, 0x606060);
        writeSolidBmp(folder + "elements.bmp", 256, 256, 0x606060);
        std::string skin = "<skin><info><name>Big</name></info><elements><picture>elements</picture>";
        for (int i = 0; i < 20; ++i)
            skin += "<element><name>e" + intToStr(i) + "</name><position><x>" + intToStr(i * 10) +
                    "</x><y>0</y><width>10</width><height>20</height></position></element>";
        skin += "</elements><fonts><font><name>small</name><size>11</size></font><font><name>big</name><size>16"
                "</size><bold>yes</bold></font></fonts><colors><color><name>accent</name><r>200</r><g>80</g>"
                "</color></colors>";
        for (int w = 0; w < 50; ++w) {
            std::string objects[2];
            for (int o = 0; o < 100; ++o) {
                std::string position = "<position><x>" + intToStr((o % 10) * 38) + "</x><y>" + intToStr((o / 10) * 19) +
                                       "</y><width>36</width><height>18</height></position>";
                std::string object;
                switch (o % 4) {
                case 0:
                    object = "<type>button</type><value>showwindow</value><valuespecifier>w" + intToStr(w) +
                             "</valuespecifier><additionalpic_1><name>e" + intToStr(o % 20) +
                             "</name></additionalpic_1><additionalpic_3><name>e" + intToStr((o + 1) % 20) +
                             "</name></additionalpic_3>";
                    break;
                case 1:
                    object = "<type>slider</type><value>level</value><drawtype>0</drawtype><color>accent</color>"
                             "<color2><r>30</r></color2>";
                    break;
                case 2:
                    object = "<type>knob</type><value>level</value><valuespecifier>k|2</valuespecifier>"
                             "<color><r>255</r><g>255</g><b>255</b></color>";
                    break;
                default:
                    object = "<type>text</type><value>tracktext</value><valuespecifier>" + intToStr(o) +
                             "</valuespecifier><font>small</font><color>accent</color>";
                    break;
                }
                objects[o % 2] += "<object><name>o" + intToStr(o) + "</name>" + object + position +
                                  "<left-action>default</left-action></object>";
            }
            skin += "<window><name>w" + intToStr(w) +
                    "</name><background>back</background><tabs><tab><name>a"
                    "</name>" +
                    objects[0] + "</tab></tabs>" + objects[1] + "</window>";
        }
        skin += "</skin>";
        writeFile(root + "big.xml", skin);
        return root + "big.xml";
    }();
    return path;
}

void BM_LoadSyntheticSkin(benchmark::State& state) {
    const std::string& path = syntheticSkin();
    QuietStdout quiet;
    for (auto _ : state) {
        BenchInterface iface;
        Skin skin(&iface);
        skin.loadSkin(path);
        benchmark::DoNotOptimize(skin.windows.size());
    }
    state.SetLabel("50 windows, 5000 objects");
}
BENCHMARK(BM_LoadSyntheticSkin)->Unit(benchmark::kMillisecond);

// Reference: reading the file and finding every object element once, with nothing built.
void BM_LoadReferenceTagWalk(benchmark::State& state) {
    const std::string& path = syntheticSkin();
    for (auto _ : state) {
        std::string text = readFileContents(path);
        std::string lower = strtolower(text);
        size_t from = 0, end = 0, count = 0;
        while (true) {
            end = std::string::npos;
            getXMLElementCIFast(text, lower, "object", from, &end);
            if (end == std::string::npos) break;
            from = end;
            ++count;
        }
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(BM_LoadReferenceTagWalk)->Unit(benchmark::kMillisecond);

// One frame: layer 0 of every window drawn, values moving (texts rendered once, then reused).
// The null backend counts the OpenGL calls a frame makes; llvmpipe draws them into a headless
// framebuffer, beside a reference frame of the 50 window backgrounds alone.
void BM_DrawFrameNullGL(benchmark::State& state) {
    QuietStdout quiet;
    BenchInterface iface;
    Skin skin(&iface);
    skin.loadSkin(syntheticSkin());
    for (auto& window : skin.windows)
        window->draw(0);
    long before = iface.nullGL.calls;
    for (auto _ : state) {
        ++iface.frame;
        for (auto& window : skin.windows)
            window->draw(0);
    }
    state.counters["gl calls"] = double(iface.nullGL.calls - before) / double(state.iterations());
    state.counters["blits"] = double(iface.blits) / double(state.iterations() + 1);
}
BENCHMARK(BM_DrawFrameNullGL)->Unit(benchmark::kMillisecond);

void drawFramesGL(benchmark::State& state, bool objects) {
    QuietStdout quiet;
    HeadlessGL context;
    if (!context.open(1280, 800)) {
        state.SkipWithError(("no headless OpenGL: " + context.error()).c_str());
        return;
    }
    BenchInterface iface;
    iface.gl = GLPrimitives::immediate();
    Skin skin(&iface);
    skin.loadSkin(syntheticSkin());
    auto frame = [&] {
        glClear(GL_COLOR_BUFFER_BIT);
        int i = 0;
        for (auto& window : skin.windows) {
            glPushMatrix();
            glTranslatef(float((i % 3) * 420), float((i / 3 % 4) * 200), 0);
            if (objects)
                window->draw(0);
            else
                iface.SkinInterface::bitblt(window->layerPictures[0], 0, 0, 400, 200, window->backgroundPicture, 0, 0);
            glPopMatrix();
            ++i;
        }
        glFinish();
    };
    for (auto& window : skin.windows)
        window->draw(0); // layer targets made, texts rendered
    frame();
    for (auto _ : state) {
        ++iface.frame;
        frame();
    }
}

void BM_DrawFrameLlvmpipe(benchmark::State& state) {
    drawFramesGL(state, true);
}
BENCHMARK(BM_DrawFrameLlvmpipe)->Unit(benchmark::kMillisecond);

void BM_DrawFrameLlvmpipeReferenceBackgroundsOnly(benchmark::State& state) {
    drawFramesGL(state, false);
}
BENCHMARK(BM_DrawFrameLlvmpipeReferenceBackgroundsOnly)->Unit(benchmark::kMillisecond);

std::vector<std::string> labels() {
    std::vector<std::string> l;
    for (int i = 0; i < 1000; ++i)
        l.push_back("Artist number " + intToStr(i) + " - A title of some length (" + intToStr(i * 7) + " mix)");
    return l;
}

// 1,000 labels rendered into a list picture of 20-pixel rows, each cut to its column with "...".
void BM_TextLabels(benchmark::State& state) {
    BenchInterface iface;
    std::string fontText = "<face>DejaVu Sans</face><size>13</size>";
    SkinFont font(&fontText);
    CPicture picture;
    picture.create(300, 400);
    std::vector<std::string> text = labels();
    TEXTDRAWMODES mode = state.range(0) ? TEXTDRAW_SHORTEN : TEXTDRAW_NORMAL;
    for (auto _ : state) {
        for (size_t i = 0; i < text.size(); ++i)
            iface.drawTextOnPic(&picture, &text[i], 2, float((i % 20) * 20), 200, 20, 0xFFFFFF, &font, nullptr, mode,
                                TEXTALIGN_LEFT);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    state.SetLabel(mode ? "shortened to 200 px" : "whole");
}
BENCHMARK(BM_TextLabels)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Reference: Cairo's own text drawing (its "toy" API, no layout) of the same labels.
void BM_TextLabelsReferenceCairoToy(benchmark::State& state) {
    CPicture picture;
    picture.create(300, 400);
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(picture.pixels, CAIRO_FORMAT_ARGB32, 300, 400, 300 * 4);
    cairo_t* cr = cairo_create(surface);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 13);
    cairo_set_source_rgb(cr, 1, 1, 1);
    std::vector<std::string> text = labels();
    for (auto _ : state) {
        for (size_t i = 0; i < text.size(); ++i) {
            cairo_move_to(cr, 2, double((i % 20) * 20 + 13));
            cairo_show_text(cr, text[i].c_str());
        }
        cairo_surface_flush(surface);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_TextLabelsReferenceCairoToy)->Unit(benchmark::kMillisecond);

// A 20-row, 5-column list redraw: 100 cells shortened to 60 pixels.
void BM_ListRedraw(benchmark::State& state) {
    BenchInterface iface;
    std::string fontText = "<face>DejaVu Sans</face><size>12</size>";
    SkinFont font(&fontText);
    CPicture picture;
    picture.create(320, 340);
    std::vector<std::string> text = labels();
    for (auto _ : state) {
        std::memset(picture.pixels, 0, picture.byteSize());
        for (int row = 0; row < 20; ++row)
            for (int column = 0; column < 5; ++column)
                iface.drawTextOnPic(&picture, &text[size_t(row * 5 + column)], float(column * 64), float(row * 17), 60,
                                    17, 0xFFFFFF, &font, nullptr, TEXTDRAW_SHORTEN, TEXTALIGN_LEFT);
    }
}
BENCHMARK(BM_ListRedraw)->Unit(benchmark::kMillisecond);

// Shortening a 1,000-character text to 100 pixels.
void BM_ShortenLongText(benchmark::State& state) {
    BenchInterface iface;
    std::string fontText = "<face>DejaVu Sans</face><size>12</size>";
    SkinFont font(&fontText);
    CPicture picture;
    picture.create(200, 20);
    std::string text;
    while (text.size() < 1000)
        text += "abcdefghij";
    for (auto _ : state)
        iface.drawTextOnPic(&picture, &text, 0, 0, 100, 20, 0xFFFFFF, &font, nullptr, TEXTDRAW_SHORTEN, TEXTALIGN_LEFT);
}
BENCHMARK(BM_ShortenLongText)->Unit(benchmark::kMillisecond);

} // namespace
