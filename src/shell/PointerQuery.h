// Where the pointer and the keyboard are, asked of the window system itself.
#pragma once

struct SDL_Window;

namespace shell {

// The pointer's place relative to the window's top-left corner, from the X server when the window is
// an X window (SDL's own copy is not updated while another program's drag holds the pointer, so a
// second file dropped from a file manager would land where the first did); otherwise SDL's global
// pointer state less the window's position.
void pointerInWindow(SDL_Window* window, float* x, float* y);

// Who the X server sends the keys to, seen from the window: that window, nobody (the window holding them went and
// nobody took them: the X server then gives them to no program, or to the root window, which hands each key to
// whatever window the pointer is in), or another (another window; whichever the pointer is in, as a window manager
// may leave it between two windows; or a window system that doesn't tell).
enum class KeyboardHolder { ThisWindow, Nobody, Another };
KeyboardHolder keyboardHolder(SDL_Window* window);

// The window takes the keyboard when nobody holds it, or when `going` (another window of the program, about to
// go) holds it. With no window manager nobody else gives it back after a window of the program went. Another
// program's keyboard, or one a window manager has given, is left where it is.
void takeKeyboard(SDL_Window* window, SDL_Window* going = nullptr);

} // namespace shell
