// Pictures: scaling, OpenGL drawing and decoding, each beside a reference measured in the same run.
#include "foundation/Picture.h"
#include "platform/GL.h"
#include "support/HeadlessGL.h"

#include <cairo.h>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include <benchmark/benchmark.h>

namespace {

// A photo-like picture: smooth gradients with some fine detail.
std::unique_ptr<CPicture> photo(int w, int h, TRANSPARENCY_MODE mode = TRANSPARENCY_OPAQUE) {
    auto p = std::make_unique<CPicture>();
    p->create(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* q = p->pixelAt(x, y);
            q[0] = (unsigned char)(x * 255 / w);
            q[1] = (unsigned char)(y * 255 / h);
            q[2] = (unsigned char)(128 + 100 * std::sin(x * 0.05) * std::cos(y * 0.07));
            q[3] = mode == TRANSPARENCY_OPAQUE ? 255 : (unsigned char)((x + y) & 255);
        }
    p->transparencyMode = mode;
    return p;
}

// ---- Scaling ---------------------------------------------------------------------------------

// A cover reduced for display, as the tag record does it (cubic after a box stage).
void BM_ResizeBest3000To300(benchmark::State& state) {
    auto src = photo(3000, 3000);
    for (auto _ : state) {
        std::unique_ptr<CPicture> r(src->resizeBest(300, 300, FILTER_CUBIC));
        benchmark::DoNotOptimize(r->pixels);
    }
    state.counters["ms/Mpixel(source)"] =
        benchmark::Counter(9.0 / 1000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ResizeBest3000To300)->Unit(benchmark::kMillisecond);

// Reference: Cairo's own good-quality reduction of the same 3000 x 3000 picture to 300 x 300.
void BM_CairoReduce3000To300(benchmark::State& state) {
    auto src = photo(3000, 3000);
    cairo_surface_t* in = cairo_image_surface_create_for_data(src->pixels, CAIRO_FORMAT_ARGB32, 3000, 3000, 3000 * 4);
    cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 300, 300);
    for (auto _ : state) {
        cairo_t* cr = cairo_create(out);
        cairo_scale(cr, 0.1, 0.1);
        cairo_set_source_surface(cr, in, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_flush(out);
        benchmark::DoNotOptimize(cairo_image_surface_get_data(out));
    }
    cairo_surface_destroy(out);
    cairo_surface_destroy(in);
}
BENCHMARK(BM_CairoReduce3000To300)->Unit(benchmark::kMillisecond);

// Lanczos, 1000 x 1000 -> 800 x 800 (0.64 Mpixel out), per output megapixel.
void BM_Lanczos(benchmark::State& state) {
    auto src = photo(1000, 1000, TRANSPARENCY_PREMULTIPLIED_INVERTED);
    for (auto _ : state) {
        std::unique_ptr<CPicture> r(src->resize(800, 800, FILTER_LANCZOS));
        benchmark::DoNotOptimize(r->pixels);
    }
    state.counters["ms/Mpixel"] =
        benchmark::Counter(0.64 / 1000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Lanczos)->Unit(benchmark::kMillisecond);

// Reference: the same Lanczos as a literal 17 x 17 sum with a sine per tap, on 200 x 200 of the
// output (0.04 Mpixel), per output megapixel.
void BM_LanczosLiteral(benchmark::State& state) {
    auto src = photo(1000, 1000, TRANSPARENCY_PREMULTIPLIED_INVERTED);
    auto sinc = [](double x) { return x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); };
    auto L = [&](double x) { return std::fabs(x) < 8 ? sinc(x) * sinc(x / 8) : 0.0; };
    std::vector<unsigned char> out(200 * 200 * 4);
    const float r = 1000.0f / 800.0f;
    for (auto _ : state) {
        for (int j = 0; j < 200; ++j)
            for (int i = 0; i < 200; ++i) {
                float sx = i * r, sy = j * r;
                int fx = int(sx), fy = int(sy);
                float acc[4] = {0, 0, 0, 0};
                for (int py = fy - 8; py <= fy + 8; ++py)
                    for (int px = fx - 8; px <= fx + 8; ++px) {
                        float k = float(L(sx - px) * L(sy - py));
                        const unsigned char* q = src->pixelAt(px < 0 ? 0 : px, py < 0 ? 0 : py);
                        for (int c = 0; c < 4; ++c)
                            acc[c] += k * q[c];
                    }
                for (int c = 0; c < 4; ++c)
                    out[size_t(j * 200 + i) * 4 + size_t(c)] = (unsigned char)acc[c];
            }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ms/Mpixel"] =
        benchmark::Counter(0.04 / 1000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LanczosLiteral)->Unit(benchmark::kMillisecond);

// ---- OpenGL drawing on llvmpipe ------------------------------------------------------------------

struct GLScene {
    HeadlessGL gl;
    CPicture screen;
    std::vector<std::unique_ptr<CPicture>> pictures; // skin-like: buttons, knobs, backgrounds
    bool ok = false;
    GLScene() {
        ok = gl.open(1280, 500);
        if (!ok) return;
        screen.create(1280, 500);
        for (int i = 0; i < 40; ++i)
            pictures.push_back(photo(32 + i % 5 * 16, 24 + i % 3 * 12,
                                     i % 2 ? TRANSPARENCY_PREMULTIPLIED_INVERTED : TRANSPARENCY_ONOFF));
    }
    bool ready(benchmark::State& state) {
        if (!ok) state.SkipWithError("no headless OpenGL");
        return ok;
    }
};

// One frame of n picture quads over a 1280 x 500 window, waited for.
void BM_BitbltGL(benchmark::State& state) {
    GLScene scene;
    if (!scene.ready(state)) return;
    const int n = int(state.range(0));
    for (auto _ : state) {
        glClear(GL_COLOR_BUFFER_BIT);
        for (int i = 0; i < n; ++i) {
            CPicture* p = scene.pictures[size_t(i) % scene.pictures.size()].get();
            CPicture::bitbltGL(&scene.screen, (i * 37) % 1240, (i * 53) % 470, p->width, p->height, p, 0, 0);
        }
        glFinish();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_BitbltGL)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

// Reference: the same quads and blend factors as plain immediate-mode GL, textures made beforehand.
void BM_RawQuadsGL(benchmark::State& state) {
    GLScene scene;
    if (!scene.ready(state)) return;
    for (auto& p : scene.pictures)
        p->generateTextureGL();
    const int n = int(state.range(0));
    for (auto _ : state) {
        glClear(GL_COLOR_BUFFER_BIT);
        for (int i = 0; i < n; ++i) {
            CPicture* p = scene.pictures[size_t(i) % scene.pictures.size()].get();
            int x = (i * 37) % 1240, y = (i * 53) % 470;
            glBindTexture(GL_TEXTURE_RECTANGLE_EXT, p->texture);
            glEnable(GL_BLEND);
            if (p->transparencyMode == TRANSPARENCY_ONOFF)
                glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
            else
                glBlendFunc(GL_ONE, GL_SRC_ALPHA);
            glBegin(GL_QUADS);
            glTexCoord2i(0, 0);
            glVertex3i(x, y, 0);
            glTexCoord2i(p->width, 0);
            glVertex3i(x + p->width, y, 0);
            glTexCoord2i(p->width, p->height);
            glVertex3i(x + p->width, y + p->height, 0);
            glTexCoord2i(0, p->height);
            glVertex3i(x, y + p->height, 0);
            glEnd();
            glDisable(GL_BLEND);
        }
        glFinish();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_RawQuadsGL)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

// A 1280 x 500 layer picture changed and drawn again every frame: upload plus one quad.
void BM_ReuploadLayerGL(benchmark::State& state) {
    GLScene scene;
    if (!scene.ready(state)) return;
    auto layer = photo(1280, 500, TRANSPARENCY_PREMULTIPLIED_INVERTED);
    for (auto _ : state) {
        layer->destroyTextureGL();
        CPicture::bitbltGL(&scene.screen, 0, 0, 1280, 500, layer.get(), 0, 0);
        glFinish();
    }
}
BENCHMARK(BM_ReuploadLayerGL)->Unit(benchmark::kMillisecond);

// ---- Decoding ------------------------------------------------------------------------------------

// A generated fixture's bytes; empty, with the benchmark skipped, when it was not built.
std::vector<unsigned char> fixtureBytes(benchmark::State& state, const char* name) {
    std::ifstream in(std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/pictures/" + name, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) state.SkipWithError("build the fixtures first");
    return bytes;
}

// A 2048 x 2048 RGBA PNG from memory into a picture; MB/s of decoded pixels (16 MiB a picture).
void BM_PngDecode2048(benchmark::State& state) {
    std::vector<unsigned char> file = fixtureBytes(state, "bench-2048.png");
    if (file.empty()) return;
    for (auto _ : state) {
        CPicture p;
        p.loadFromPNGMemory(file.data(), file.size());
        benchmark::DoNotOptimize(p.pixels);
    }
    state.SetBytesProcessed(state.iterations() * 2048 * 2048 * 4);
}
BENCHMARK(BM_PngDecode2048)->Unit(benchmark::kMillisecond);

struct PngMemory {
    const std::vector<unsigned char>* data;
    size_t pos;
};

// Reference: libpng decoding the same file from memory to RGBA rows.
void BM_LibpngDecode2048(benchmark::State& state) {
    std::vector<unsigned char> file = fixtureBytes(state, "bench-2048.png");
    if (file.empty()) return;
    std::vector<unsigned char> out(2048 * 2048 * 4);
    std::vector<png_bytep> rows(2048);
    for (int y = 0; y < 2048; ++y)
        rows[size_t(y)] = &out[size_t(y) * 2048 * 4];
    for (auto _ : state) {
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        PngMemory m{&file, 0};
        png_set_read_fn(png, &m, [](png_structp p, png_bytep to, png_size_t n) {
            PngMemory* mem = static_cast<PngMemory*>(png_get_io_ptr(p));
            if (mem->pos + n > mem->data->size()) png_error(p, "end of data");
            std::memcpy(to, mem->data->data() + mem->pos, n);
            mem->pos += n;
        });
        if (setjmp(png_jmpbuf(png)) == 0) {
            png_read_info(png, info);
            png_read_image(png, rows.data());
        }
        png_destroy_read_struct(&png, &info, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * 2048 * 2048 * 4);
}
BENCHMARK(BM_LibpngDecode2048)->Unit(benchmark::kMillisecond);

// A 3000 x 3000 JPEG (9 Mpixel) from memory into a picture, in ms per megapixel.
void BM_JpegDecode3000(benchmark::State& state) {
    std::vector<unsigned char> file = fixtureBytes(state, "bench-3000.jpg");
    if (file.empty()) return;
    for (auto _ : state) {
        CPicture p;
        p.loadFromJPGMemory(file.data(), file.size());
        benchmark::DoNotOptimize(p.pixels);
    }
    state.counters["ms/Mpixel"] =
        benchmark::Counter(9.0 / 1000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_JpegDecode3000)->Unit(benchmark::kMillisecond);

// Reference: djpeg decoding the same file to a discarded PPM, process start included (wall time).
void BM_Djpeg3000(benchmark::State& state) {
    std::string path = std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/pictures/bench-3000.jpg";
    char* argv[] = {const_cast<char*>("djpeg"), const_cast<char*>("-outfile"), const_cast<char*>("/dev/null"),
                    const_cast<char*>(path.c_str()), nullptr};
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawnp(&pid, "djpeg", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("no djpeg");
            return;
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
    state.counters["ms/Mpixel"] =
        benchmark::Counter(9.0 / 1000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Djpeg3000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
