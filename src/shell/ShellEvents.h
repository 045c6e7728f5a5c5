// The shell's pure helpers: SDL keys to the Mac virtual key codes the skin and controller files
// use, SDL mouse buttons to the bridge's buttons, the window and pop-up placement on the screen's
// usable area, and the frame pacing of the main loop. No SDL window or GL call here, so all of it
// is tested without a display.
#pragma once

#include <SDL2/SDL_scancode.h>

#include <functional>
#include <thread>

namespace shell {

// ---- Keys ---------------------------------------------------------------------------------------

// Mac virtual key codes the skin acts on by number.
enum MacKey {
    MACKEY_RETURN = 36,
    MACKEY_TAB = 48,
    MACKEY_DELETE = 51, // backspace
    MACKEY_ESCAPE = 53,
    MACKEY_HOME = 115,
    MACKEY_PAGEUP = 116,
    MACKEY_FORWARDDELETE = 117,
    MACKEY_END = 119,
    MACKEY_PAGEDOWN = 121,
    MACKEY_LEFT = 123,
    MACKEY_RIGHT = 124,
    MACKEY_DOWN = 125,
    MACKEY_UP = 126
};

// Keys the table does not know get codes from here upwards, clear of every Mac code.
constexpr int unknownKeyBase = 0x1000;

struct KeyInfo {
    int macCode = -1;          // -1: a modifier alone, which sends nothing
    bool producesText = false; // the key's characters come in the text event that follows
};

// The one key table: SDL scancode to Mac virtual key code. Keypad Enter is Return.
KeyInfo macKeyFor(SDL_Scancode scancode);

// ---- Mouse --------------------------------------------------------------------------------------

// SDL button (1 left, 2 middle, 3 right) to the bridge's (1 left, 2 right, 3 any other).
int bridgeButton(int sdlButton);
// The bridge button of a move: the lowest held button by the same mapping, or 1 with none held
// (a plain move passes button 1, as the skin expects).
int bridgeMoveButton(unsigned int sdlButtonMask);
// Window pixel rows from the top to view rows from the bottom.
inline float viewY(float windowY, float viewHeight) {
    return viewHeight - windowY;
}

// ---- Placement ----------------------------------------------------------------------------------

struct Rect {
    int x = 0, y = 0, w = 0, h = 0; // y from the top of the screen
};

// The main window's next frame: `current` moved by (dx, dy) (dy downwards), sized width x
// min(height, usable height), its top never above the usable area's; the first time centred
// horizontally with its top at the usable area's top. `first` is cleared once placed.
Rect placeMainWindow(const Rect& current, const Rect& usable, int width, int height, int dx, int dy, bool& first);
// The pop-up list's frame: the requested point (skin coordinates, y from the top of the main
// window) is its bottom-left corner, so it opens upwards; its top never above the usable area's.
Rect placePopup(const Rect& mainWindow, const Rect& usable, float popupX, float popupY, float width, float height);

// ---- Frame pacing -------------------------------------------------------------------------------

// Deadlines of the main frame (30 Hz) and, while it is open, the pop-up's frame (20 Hz), on a
// monotonic clock in milliseconds. There may be no vertical refresh to wait on, so the loop
// sleeps until the next deadline. A late frame is not caught up in a burst: the next deadline
// moves on from now.
class FramePacer {
public:
    static constexpr double mainPeriodMs = 1000.0 / 30.0;
    static constexpr double popupPeriodMs = 50.0;

    explicit FramePacer(std::function<double()> clockMs);

    // Whether each frame is due now; a due frame's deadline moves one period on.
    bool mainDue();
    bool popupDue();
    void setPopupOpen(bool open);
    bool popupOpen() const { return popupOpen_; }
    // Milliseconds until the earliest deadline (0 when one is due).
    int waitMs() const;
    double now() const { return clock_(); }

private:
    bool due(double& deadline, double period);
    std::function<double()> clock_;
    double mainDeadline_, popupDeadline_;
    bool popupOpen_ = false;
};

// steady_clock in milliseconds.
double steadyClockMs();

// ---- Waking the loop for input from other threads ------------------------------------------------

// Watches an eventfd that another thread signals (MIDI input waiting) and calls `wake` once per
// signal, from its own thread, so the loop can serve the input at once rather than at its next
// frame. The count is consumed here; whoever else reads the descriptor simply finds it empty.
class DescriptorWatcher {
public:
    DescriptorWatcher(int fd, std::function<void()> wake);
    ~DescriptorWatcher(); // stops and joins the thread
    DescriptorWatcher(const DescriptorWatcher&) = delete;
    DescriptorWatcher& operator=(const DescriptorWatcher&) = delete;
    bool running() const { return thread_.joinable(); }

private:
    void watch();
    int fd_, stopFd_;
    std::function<void()> wake_;
    std::thread thread_;
};

} // namespace shell
