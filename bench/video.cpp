// Video decks: scrubbing a 720p and a 1080p H.264 movie (seek to a keyframe, decode forward, convert to
// 720x480 BGRA) beside ffmpeg decoding the whole file to nowhere, and the per-frame texture upload beside a
// plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/GL.h"
#include "platform/MovieDecoder.h"
#include "support/HeadlessGL.h"
#include "support/TempDir.h"

namespace {

const std::string& clip(int height) {
    static testsupport::TempDir dir("bench-video");
    static std::string paths[2];
    std::string& path = paths[height > 720];
    if (path.empty()) {
        path = dir.path + std::to_string(height) + ".mp4";
        const std::string size = height > 720 ? "1920x1080" : "1280x720";
        const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc2=s=" + size +
                                    ":r=25:d=10 -c:v libx264 -preset veryfast -g 50 -pix_fmt yuv420p '" + path + "'";
        if (std::system(command.c_str()) != 0) path.clear();
    }
    return path;
}

void BM_Scrub(benchmark::State& state) {
    const std::string& path = clip(int(state.range(0)));
    MovieDecoder movie;
    if (path.empty() || !movie.open(path)) return state.SkipWithError("no clip");
    double t = 0;
    for (auto _ : state) {
        t = t + 3170 > 9500 ? t + 3170 - 9500 : t + 3170;
        movie.scrub(t);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Scrub)->Arg(720)->Arg(1080)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reference: ffmpeg decodes all 250 frames of the same file (items = frames).
void BM_FfmpegDecodeToNull(benchmark::State& state) {
    const std::string& path = clip(int(state.range(0)));
    if (path.empty()) return state.SkipWithError("no clip");
    const std::string command = "ffmpeg -v error -threads 1 -i '" + path + "' -f null - < /dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) return state.SkipWithError("ffmpeg failed");
    state.SetItemsProcessed(state.iterations() * 250);
}
BENCHMARK(BM_FfmpegDecodeToNull)->Arg(720)->Arg(1080)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TextureUpload(benchmark::State& state) {
    HeadlessGL gl;
    if (!gl.open(720, 480)) return state.SkipWithError("no GL");
    const int w = MovieDecoder::kWidth, h = MovieDecoder::kHeight;
    std::vector<uint8_t> pixels(size_t(w) * h * 4, 128);
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_RECTANGLE_EXT, texture);
    glTexImage2D(GL_TEXTURE_RECTANGLE_EXT, 0, GL_RGBA8, w, h, 0, GL_BGRA, GL_UNSIGNED_BYTE, pixels.data());
    for (auto _ : state) {
        pixels[0]++;
        glTexSubImage2D(GL_TEXTURE_RECTANGLE_EXT, 0, 0, 0, w, h, GL_BGRA, GL_UNSIGNED_BYTE, pixels.data());
        glFinish();
    }
    glDeleteTextures(1, &texture);
}
BENCHMARK(BM_TextureUpload)->Unit(benchmark::kMicrosecond);

// Reference: copying the same bytes.
void BM_CopyFrame(benchmark::State& state) {
    std::vector<uint8_t> from(size_t(MovieDecoder::kWidth) * MovieDecoder::kHeight * 4, 128), to(from.size());
    for (auto _ : state) {
        from[0]++;
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
    }
}
BENCHMARK(BM_CopyFrame)->Unit(benchmark::kMicrosecond);

} // namespace
