#include "support/HeadlessGL.h"

#include "platform/GL.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <algorithm>
#include <mutex>

namespace {

// Framebuffer objects are GL 3.0 entry points: fetched through EGL rather than linked.
struct FramebufferCalls {
    PFNGLGENFRAMEBUFFERSPROC genFramebuffers;
    PFNGLBINDFRAMEBUFFERPROC bindFramebuffer;
    PFNGLDELETEFRAMEBUFFERSPROC deleteFramebuffers;
    PFNGLGENRENDERBUFFERSPROC genRenderbuffers;
    PFNGLBINDRENDERBUFFERPROC bindRenderbuffer;
    PFNGLDELETERENDERBUFFERSPROC deleteRenderbuffers;
    PFNGLRENDERBUFFERSTORAGEPROC renderbufferStorage;
    PFNGLFRAMEBUFFERRENDERBUFFERPROC framebufferRenderbuffer;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC checkFramebufferStatus;

    bool load() {
        genFramebuffers = reinterpret_cast<PFNGLGENFRAMEBUFFERSPROC>(eglGetProcAddress("glGenFramebuffers"));
        bindFramebuffer = reinterpret_cast<PFNGLBINDFRAMEBUFFERPROC>(eglGetProcAddress("glBindFramebuffer"));
        deleteFramebuffers = reinterpret_cast<PFNGLDELETEFRAMEBUFFERSPROC>(eglGetProcAddress("glDeleteFramebuffers"));
        genRenderbuffers = reinterpret_cast<PFNGLGENRENDERBUFFERSPROC>(eglGetProcAddress("glGenRenderbuffers"));
        bindRenderbuffer = reinterpret_cast<PFNGLBINDRENDERBUFFERPROC>(eglGetProcAddress("glBindRenderbuffer"));
        deleteRenderbuffers =
            reinterpret_cast<PFNGLDELETERENDERBUFFERSPROC>(eglGetProcAddress("glDeleteRenderbuffers"));
        renderbufferStorage =
            reinterpret_cast<PFNGLRENDERBUFFERSTORAGEPROC>(eglGetProcAddress("glRenderbufferStorage"));
        framebufferRenderbuffer =
            reinterpret_cast<PFNGLFRAMEBUFFERRENDERBUFFERPROC>(eglGetProcAddress("glFramebufferRenderbuffer"));
        checkFramebufferStatus =
            reinterpret_cast<PFNGLCHECKFRAMEBUFFERSTATUSPROC>(eglGetProcAddress("glCheckFramebufferStatus"));
        return genFramebuffers && bindFramebuffer && deleteFramebuffers && genRenderbuffers && bindRenderbuffer &&
               deleteRenderbuffers && renderbufferStorage && framebufferRenderbuffer && checkFramebufferStatus;
    }
};

FramebufferCalls g_fb; // entry points are the same for every context of the process

// The surfaceless display, initialised by the first context opened and ended with the last one's close. Ending it
// stops the driver's threads (the rasteriser's and the shader pool's), so none is left to run while the process
// exits and the leak check stops every thread. (The sanitized builds keep the driver loaded, see
// SanitizerDefaults.cpp, so what it still held stays in sight of the leak check.)
std::mutex g_displayLock;
EGLDisplay g_display = EGL_NO_DISPLAY;
int g_contexts = 0; // open contexts on g_display

EGLDisplay acquireDisplay() {
    std::lock_guard<std::mutex> guard(g_displayLock);
    if (g_contexts == 0) {
        auto getPlatformDisplay =
            reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
        if (!getPlatformDisplay) return EGL_NO_DISPLAY;
        EGLDisplay d = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        EGLint major = 0, minor = 0;
        if (d == EGL_NO_DISPLAY || !eglInitialize(d, &major, &minor)) return EGL_NO_DISPLAY;
        g_display = d;
    }
    g_contexts++;
    return g_display;
}

void releaseDisplay() {
    std::lock_guard<std::mutex> guard(g_displayLock);
    if (--g_contexts == 0) {
        eglTerminate(g_display);
        g_display = EGL_NO_DISPLAY;
    }
}

} // namespace

bool HeadlessGL::open(int width, int height) {
    close();
    error_.clear();
    if (width <= 0 || height <= 0) {
        error_ = "empty framebuffer";
        return false;
    }
    EGLDisplay display = acquireDisplay();
    if (display == EGL_NO_DISPLAY) {
        error_ = "no surfaceless EGL display";
        return false;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        releaseDisplay();
        eglReleaseThread();
        error_ = "EGL has no desktop OpenGL";
        return false;
    }
    // Configless and surfaceless: the framebuffer object below is the only drawing target.
    EGLContext context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, nullptr);
    if (context == EGL_NO_CONTEXT || !eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
        if (context != EGL_NO_CONTEXT) eglDestroyContext(display, context);
        releaseDisplay();
        eglReleaseThread();
        error_ = "no surfaceless OpenGL context";
        return false;
    }
    display_ = display;
    context_ = context;
    if (!g_fb.load()) {
        close();
        error_ = "no framebuffer objects";
        return false;
    }
    g_fb.genFramebuffers(1, &framebuffer_);
    g_fb.bindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    g_fb.genRenderbuffers(1, &colour_);
    g_fb.bindRenderbuffer(GL_RENDERBUFFER, colour_);
    g_fb.renderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    g_fb.framebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_);
    if (g_fb.checkFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        close();
        error_ = "incomplete framebuffer";
        return false;
    }
    width_ = width;
    height_ = height;
    glContextAcquired();

    glSetUpPixelProjection(width, height);
    glSetUpDrawingState();
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    return true;
}

void HeadlessGL::close() {
    if (!display_) return;
    EGLDisplay display = static_cast<EGLDisplay>(display_);
    if (context_) {
        glContextReleased();
        if (framebuffer_) g_fb.deleteFramebuffers(1, &framebuffer_);
        if (colour_) g_fb.deleteRenderbuffers(1, &colour_);
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglDestroyContext(display, static_cast<EGLContext>(context_));
    }
    releaseDisplay();
    eglReleaseThread();
    display_ = context_ = nullptr;
    framebuffer_ = colour_ = 0;
    width_ = height_ = 0;
}

std::vector<unsigned char> HeadlessGL::readPixels() {
    std::vector<unsigned char> out;
    if (!context_) return out;
    glFinish();
    std::vector<unsigned char> bottomUp(size_t(width_) * size_t(height_) * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, width_, height_, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, bottomUp.data());
    // GL counts rows from the bottom; the projection puts the picture's top row there.
    size_t row = size_t(width_) * 4;
    out.resize(bottomUp.size());
    for (int y = 0; y < height_; ++y)
        std::copy_n(&bottomUp[size_t(height_ - 1 - y) * row], row, &out[size_t(y) * row]);
    return out;
}
