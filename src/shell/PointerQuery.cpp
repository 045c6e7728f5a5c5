#include "shell/PointerQuery.h"

#include <SDL.h>
#include <SDL_syswm.h>

namespace {

bool x11Window(SDL_Window* window, SDL_SysWMinfo* info) {
    SDL_VERSION(&info->version);
    return window && SDL_GetWindowWMInfo(window, info) && info->subsystem == SDL_SYSWM_X11;
}

} // namespace

void shell::pointerInWindow(SDL_Window* window, float* x, float* y) {
    SDL_SysWMinfo info;
    if (x11Window(window, &info)) {
        ::Window root = 0, child = 0;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned int mask = 0;
        if (XQueryPointer(info.info.x11.display, info.info.x11.window, &root, &child, &rootX, &rootY, &winX, &winY,
                          &mask)) {
            *x = float(winX);
            *y = float(winY);
            return;
        }
    }
    int gx = 0, gy = 0, wx = 0, wy = 0;
    SDL_GetGlobalMouseState(&gx, &gy);
    if (window) SDL_GetWindowPosition(window, &wx, &wy);
    *x = float(gx - wx);
    *y = float(gy - wy);
}

shell::KeyboardHolder shell::keyboardHolder(SDL_Window* window) {
    SDL_SysWMinfo info;
    if (!x11Window(window, &info)) return KeyboardHolder::Another;
    ::Window focus = None;
    int revertTo = 0;
    XGetInputFocus(info.info.x11.display, &focus, &revertTo);
    if (focus == info.info.x11.window) return KeyboardHolder::ThisWindow;
    if (focus == None) return KeyboardHolder::Nobody;
    // A window that took the keyboard reverting to its parent (as GTK's windows do with no window manager) leaves
    // it on the root when it goes.
    XWindowAttributes attributes;
    if (focus != PointerRoot && XGetWindowAttributes(info.info.x11.display, info.info.x11.window, &attributes) &&
        focus == attributes.root)
        return KeyboardHolder::Nobody;
    return KeyboardHolder::Another;
}

void shell::takeKeyboard(SDL_Window* window, SDL_Window* going) {
    if (!window) return;
    if (keyboardHolder(window) == KeyboardHolder::Nobody ||
        (going && keyboardHolder(going) == KeyboardHolder::ThisWindow))
        SDL_SetWindowInputFocus(window);
}
