// An OpenGL compatibility context without a window or display server (EGL on Mesa's surfaceless
// platform), drawing into an offscreen framebuffer. For tests and benchmarks of the drawing code,
// and anything else that must draw where no screen exists.
#pragma once

#include <string>
#include <vector>

class HeadlessGL {
public:
    HeadlessGL() = default;
    ~HeadlessGL() { close(); }
    HeadlessGL(const HeadlessGL&) = delete;
    HeadlessGL& operator=(const HeadlessGL&) = delete;

    // Makes a context current on this thread (which becomes the GL thread, see GL.h) with a
    // width x height RGBA framebuffer, set up as the application draws: an orthographic projection
    // with the origin at the top left, y downwards, one unit a pixel; rectangle texturing on,
    // textures modulating opaque white; cleared to transparent black. False, with error() saying
    // why, when no context can be made.
    bool open(int width, int height);
    void close();
    bool isOpen() const { return context_ != nullptr; }
    const std::string& error() const { return error_; }
    int width() const { return width_; }
    int height() const { return height_; }

    // Waits for the drawing and reads the framebuffer as B, G, R, A bytes, the top row first.
    std::vector<unsigned char> readPixels();

private:
    void* display_ = nullptr; // EGLDisplay
    void* context_ = nullptr; // EGLContext
    unsigned framebuffer_ = 0, colour_ = 0;
    int width_ = 0, height_ = 0;
    std::string error_;
};
