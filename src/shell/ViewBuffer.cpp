#include "shell/ViewBuffer.h"

#include "platform/GL.h"

#include <cstring>
#include <type_traits>

#include <GL/glx.h> // last: Xlib's macros

namespace {

PFNGLGENFRAMEBUFFERSPROC genFramebuffers;
PFNGLBINDFRAMEBUFFERPROC bindFramebuffer;
PFNGLGENRENDERBUFFERSPROC genRenderbuffers;
PFNGLBINDRENDERBUFFERPROC bindRenderbuffer;
PFNGLRENDERBUFFERSTORAGEPROC renderbufferStorage;
PFNGLFRAMEBUFFERRENDERBUFFERPROC framebufferRenderbuffer;
PFNGLCHECKFRAMEBUFFERSTATUSPROC checkFramebufferStatus;
PFNGLDELETEFRAMEBUFFERSPROC deleteFramebuffers;
PFNGLDELETERENDERBUFFERSPROC deleteRenderbuffers;
PFNGLBLITFRAMEBUFFERPROC blitFramebuffer;

// The window system's copy of part of the back buffer to the screen, when the context is GLX's and
// offers it; null otherwise (EGL, Wayland, SDL's off-screen driver).
PFNGLXCOPYSUBBUFFERMESAPROC subBufferCopy(Display** display) {
    static Display* asked = nullptr;
    static PFNGLXCOPYSUBBUFFERMESAPROC copy = nullptr;
    Display* current = glXGetCurrentDisplay();
    *display = current;
    if (!current || !glXGetCurrentDrawable()) return nullptr;
    if (current != asked) {
        asked = current;
        const char* extensions = glXQueryExtensionsString(current, DefaultScreen(current));
        copy = extensions && std::strstr(extensions, "GLX_MESA_copy_sub_buffer")
                   ? reinterpret_cast<PFNGLXCOPYSUBBUFFERMESAPROC>(
                         glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXCopySubBufferMESA")))
                   : nullptr;
    }
    return copy;
}

} // namespace

bool ViewBuffer::loadFunctions() {
    auto load = [](auto& f, const char* name) {
        f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(SDL_GL_GetProcAddress(name));
        return f != nullptr;
    };
    loaded_ = SDL_GL_ExtensionSupported("GL_ARB_framebuffer_object") && load(genFramebuffers, "glGenFramebuffers") &&
              load(bindFramebuffer, "glBindFramebuffer") && load(genRenderbuffers, "glGenRenderbuffers") &&
              load(bindRenderbuffer, "glBindRenderbuffer") && load(renderbufferStorage, "glRenderbufferStorage") &&
              load(framebufferRenderbuffer, "glFramebufferRenderbuffer") &&
              load(checkFramebufferStatus, "glCheckFramebufferStatus") &&
              load(deleteFramebuffers, "glDeleteFramebuffers") && load(deleteRenderbuffers, "glDeleteRenderbuffers") &&
              load(blitFramebuffer, "glBlitFramebuffer");
    return loaded_;
}

bool ViewBuffer::bind(int width, int height) {
    lost_ = false;
    if (failed_ || width < 1 || height < 1) return false;
    if (!loaded_ && !loadFunctions()) {
        failed_ = true;
        return false;
    }
    if (!framebuffer_ || width != width_ || height != height_) {
        if (!framebuffer_) {
            genFramebuffers(1, &framebuffer_);
            genRenderbuffers(1, &colour_);
        }
        bindRenderbuffer(GL_RENDERBUFFER, colour_);
        renderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
        bindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
        framebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_);
        if (checkFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
            // Frames go to the window as they always could, drawn whole.
            bindFramebuffer(GL_FRAMEBUFFER, 0);
            deleteFramebuffers(1, &framebuffer_);
            deleteRenderbuffers(1, &colour_);
            framebuffer_ = colour_ = 0;
            failed_ = true;
            return false;
        }
        width_ = width;
        height_ = height;
        lost_ = true;
    }
    bindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    return true;
}

void ViewBuffer::present(SDL_Window* window, const std::vector<GLRect>& areas, bool all) {
    if (!framebuffer_ || (!all && areas.empty())) return;
    glDisable(GL_SCISSOR_TEST);
    bindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
    bindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    Display* display = nullptr;
    // Parts only on a window that already shows a whole frame of this size.
    PFNGLXCOPYSUBBUFFERMESAPROC copy =
        all || width_ != shownWidth_ || height_ != shownHeight_ ? nullptr : subBufferCopy(&display);
    if (copy) {
        GLXDrawable drawable = glXGetCurrentDrawable();
        // GL counts rows from the bottom.
        for (const GLRect& r : areas)
            blitFramebuffer(r.x1, height_ - r.y2, r.x2, height_ - r.y1, r.x1, height_ - r.y2, r.x2, height_ - r.y1,
                            GL_COLOR_BUFFER_BIT, GL_NEAREST);
        glFlush();
        for (const GLRect& r : areas)
            copy(display, drawable, r.x1, height_ - r.y2, r.x2 - r.x1, r.y2 - r.y1);
        partsShown_ = true;
    } else {
        // Mesa's software GL reads the window's size anew only after a buffer swap, and a part shown since the
        // last one has read it already: a window resized (or asking for all of it again) since then would get
        // the frame in a back buffer of the size before, cut and with rows left unpainted. The back buffer,
        // which holds what the window shows, is swapped first, so the frame's own swap is at the window's size.
        if (partsShown_ && (all || width_ != shownWidth_ || height_ != shownHeight_)) SDL_GL_SwapWindow(window);
        partsShown_ = false;
        blitFramebuffer(0, 0, width_, height_, 0, 0, width_, height_, GL_COLOR_BUFFER_BIT, GL_NEAREST);
        SDL_GL_SwapWindow(window);
        shownWidth_ = width_;
        shownHeight_ = height_;
    }
    bindFramebuffer(GL_FRAMEBUFFER, 0);
}

void ViewBuffer::unbind() {
    if (framebuffer_) bindFramebuffer(GL_FRAMEBUFFER, 0);
}

void ViewBuffer::release() {
    framebuffer_ = colour_ = 0;
    width_ = height_ = shownWidth_ = shownHeight_ = 0;
    partsShown_ = false;
}
