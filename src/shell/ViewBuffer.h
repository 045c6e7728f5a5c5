// The main view's picture kept from frame to frame, so that a frame draws only what changed: frames are
// drawn into a framebuffer of the view's own (one colour buffer the size of the view), which a window's
// back buffer is not (its content is undefined after a swap). A frame is shown by copying it to the
// window: only the changed areas where the window system copies part of the back buffer to the screen
// (GLX_MESA_copy_sub_buffer), else all of it followed by a buffer swap. Main thread, with the view's
// context current.
#pragma once

#include "platform/GLDrawList.h"

#include <SDL2/SDL.h>

#include <vector>

class ViewBuffer {
public:
    ViewBuffer() = default;
    ~ViewBuffer() = default; // the context deletes the framebuffer with itself
    ViewBuffer(const ViewBuffer&) = delete;
    ViewBuffer& operator=(const ViewBuffer&) = delete;

    // Binds the framebuffer for a frame of width x height pixels, making it first, or again when the
    // size changed (then lost() is true until the next bind). False when none can be made: the frame
    // goes to the window's back buffer and must be drawn whole.
    bool bind(int width, int height);
    // The framebuffer's content was lost by the last bind (made anew).
    bool lost() const { return lost_; }
    // Binds the window's own framebuffer again (other windows drawn with the same context draw there).
    void unbind();
    // Copies the areas (pixels, y downwards) to the window, or the whole frame when `all` or when a part
    // cannot be shown alone.
    void present(SDL_Window* window, const std::vector<GLRect>& areas, bool all);
    // Forgets the framebuffer (the context is about to go, and its objects with it).
    void release();

private:
    bool loadFunctions();

    unsigned framebuffer_ = 0, colour_ = 0;
    int width_ = 0, height_ = 0;
    int shownWidth_ = 0, shownHeight_ = 0; // the size of the last whole frame shown
    bool partsShown_ = false;              // parts were copied to the window since its last buffer swap
    bool lost_ = false, failed_ = false, loaded_ = false;
};
