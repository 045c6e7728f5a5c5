#include "shell/ShellEvents.h"

#include <SDL2/SDL_mouse.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace shell {

namespace {

struct KeyEntry {
    SDL_Scancode scancode;
    int macCode;
    bool producesText;
};

// Mac virtual key codes of a US keyboard, by the key's place (scancodes name places, not symbols).
const KeyEntry keyTable[] = {
    {SDL_SCANCODE_A, 0, true},
    {SDL_SCANCODE_S, 1, true},
    {SDL_SCANCODE_D, 2, true},
    {SDL_SCANCODE_F, 3, true},
    {SDL_SCANCODE_H, 4, true},
    {SDL_SCANCODE_G, 5, true},
    {SDL_SCANCODE_Z, 6, true},
    {SDL_SCANCODE_X, 7, true},
    {SDL_SCANCODE_C, 8, true},
    {SDL_SCANCODE_V, 9, true},
    {SDL_SCANCODE_NONUSBACKSLASH, 10, true},
    {SDL_SCANCODE_B, 11, true},
    {SDL_SCANCODE_Q, 12, true},
    {SDL_SCANCODE_W, 13, true},
    {SDL_SCANCODE_E, 14, true},
    {SDL_SCANCODE_R, 15, true},
    {SDL_SCANCODE_Y, 16, true},
    {SDL_SCANCODE_T, 17, true},
    {SDL_SCANCODE_1, 18, true},
    {SDL_SCANCODE_2, 19, true},
    {SDL_SCANCODE_3, 20, true},
    {SDL_SCANCODE_4, 21, true},
    {SDL_SCANCODE_6, 22, true},
    {SDL_SCANCODE_5, 23, true},
    {SDL_SCANCODE_EQUALS, 24, true},
    {SDL_SCANCODE_9, 25, true},
    {SDL_SCANCODE_7, 26, true},
    {SDL_SCANCODE_MINUS, 27, true},
    {SDL_SCANCODE_8, 28, true},
    {SDL_SCANCODE_0, 29, true},
    {SDL_SCANCODE_RIGHTBRACKET, 30, true},
    {SDL_SCANCODE_O, 31, true},
    {SDL_SCANCODE_U, 32, true},
    {SDL_SCANCODE_LEFTBRACKET, 33, true},
    {SDL_SCANCODE_I, 34, true},
    {SDL_SCANCODE_P, 35, true},
    {SDL_SCANCODE_RETURN, MACKEY_RETURN, false},
    {SDL_SCANCODE_RETURN2, MACKEY_RETURN, false},
    {SDL_SCANCODE_KP_ENTER, MACKEY_RETURN, false},
    {SDL_SCANCODE_L, 37, true},
    {SDL_SCANCODE_J, 38, true},
    {SDL_SCANCODE_APOSTROPHE, 39, true},
    {SDL_SCANCODE_K, 40, true},
    {SDL_SCANCODE_SEMICOLON, 41, true},
    {SDL_SCANCODE_BACKSLASH, 42, true},
    {SDL_SCANCODE_COMMA, 43, true},
    {SDL_SCANCODE_SLASH, 44, true},
    {SDL_SCANCODE_N, 45, true},
    {SDL_SCANCODE_M, 46, true},
    {SDL_SCANCODE_PERIOD, 47, true},
    {SDL_SCANCODE_TAB, MACKEY_TAB, false},
    {SDL_SCANCODE_SPACE, 49, true},
    {SDL_SCANCODE_GRAVE, 50, true},
    {SDL_SCANCODE_BACKSPACE, MACKEY_DELETE, false},
    {SDL_SCANCODE_ESCAPE, MACKEY_ESCAPE, false},
    {SDL_SCANCODE_KP_PERIOD, 65, true},
    {SDL_SCANCODE_KP_MULTIPLY, 67, true},
    {SDL_SCANCODE_KP_PLUS, 69, true},
    {SDL_SCANCODE_NUMLOCKCLEAR, 71, false},
    {SDL_SCANCODE_VOLUMEUP, 72, false},
    {SDL_SCANCODE_VOLUMEDOWN, 73, false},
    {SDL_SCANCODE_MUTE, 74, false},
    {SDL_SCANCODE_KP_DIVIDE, 75, true},
    {SDL_SCANCODE_KP_MINUS, 78, true},
    {SDL_SCANCODE_KP_EQUALS, 81, true},
    {SDL_SCANCODE_KP_0, 82, true},
    {SDL_SCANCODE_KP_1, 83, true},
    {SDL_SCANCODE_KP_2, 84, true},
    {SDL_SCANCODE_KP_3, 85, true},
    {SDL_SCANCODE_KP_4, 86, true},
    {SDL_SCANCODE_KP_5, 87, true},
    {SDL_SCANCODE_KP_6, 88, true},
    {SDL_SCANCODE_KP_7, 89, true},
    {SDL_SCANCODE_KP_8, 91, true},
    {SDL_SCANCODE_KP_9, 92, true},
    {SDL_SCANCODE_F5, 96, false},
    {SDL_SCANCODE_F6, 97, false},
    {SDL_SCANCODE_F7, 98, false},
    {SDL_SCANCODE_F3, 99, false},
    {SDL_SCANCODE_F8, 100, false},
    {SDL_SCANCODE_F9, 101, false},
    {SDL_SCANCODE_F11, 103, false},
    {SDL_SCANCODE_F13, 105, false},
    {SDL_SCANCODE_F16, 106, false},
    {SDL_SCANCODE_F14, 107, false},
    {SDL_SCANCODE_F10, 109, false},
    {SDL_SCANCODE_F12, 111, false},
    {SDL_SCANCODE_F15, 113, false},
    {SDL_SCANCODE_INSERT, 114, false}, // the Help key's place
    {SDL_SCANCODE_HOME, MACKEY_HOME, false},
    {SDL_SCANCODE_PAGEUP, MACKEY_PAGEUP, false},
    {SDL_SCANCODE_DELETE, MACKEY_FORWARDDELETE, false},
    {SDL_SCANCODE_F4, 118, false},
    {SDL_SCANCODE_END, MACKEY_END, false},
    {SDL_SCANCODE_F2, 120, false},
    {SDL_SCANCODE_PAGEDOWN, MACKEY_PAGEDOWN, false},
    {SDL_SCANCODE_F1, 122, false},
    {SDL_SCANCODE_LEFT, MACKEY_LEFT, false},
    {SDL_SCANCODE_RIGHT, MACKEY_RIGHT, false},
    {SDL_SCANCODE_DOWN, MACKEY_DOWN, false},
    {SDL_SCANCODE_UP, MACKEY_UP, false},
};

bool isModifier(SDL_Scancode s) {
    return (s >= SDL_SCANCODE_LCTRL && s <= SDL_SCANCODE_RGUI) || s == SDL_SCANCODE_CAPSLOCK || s == SDL_SCANCODE_MODE;
}

} // namespace

KeyInfo macKeyFor(SDL_Scancode scancode) {
    KeyInfo info;
    if (isModifier(scancode)) return info;
    for (const KeyEntry& e : keyTable)
        if (e.scancode == scancode) {
            info.macCode = e.macCode;
            info.producesText = e.producesText;
            return info;
        }
    info.macCode = unknownKeyBase + static_cast<int>(scancode);
    return info;
}

int bridgeButton(int sdlButton) {
    if (sdlButton == SDL_BUTTON_LEFT) return 1;
    if (sdlButton == SDL_BUTTON_RIGHT) return 2;
    return 3;
}

int bridgeMoveButton(unsigned int mask) {
    if (mask & SDL_BUTTON_LMASK) return 1;
    if (mask & SDL_BUTTON_RMASK) return 2;
    if (mask != 0) return 3;
    return 1;
}

Rect placeMainWindow(const Rect& current, const Rect& usable, int width, int height, int dx, int dy, bool& first) {
    Rect r;
    r.w = width;
    r.h = usable.h > 0 ? std::min(height, usable.h) : height;
    if (first) {
        r.x = usable.x + (usable.w - width) / 2;
        r.y = usable.y;
        first = false;
    } else {
        r.x = current.x + dx;
        r.y = current.y + dy;
    }
    r.y = std::max(r.y, usable.y);
    return r;
}

Rect placePopup(const Rect& mainWindow, const Rect& usable, float popupX, float popupY, float width, float height) {
    Rect r;
    r.w = std::max(1, static_cast<int>(width));
    r.h = std::max(1, static_cast<int>(height));
    r.x = mainWindow.x + static_cast<int>(popupX);
    r.y = std::max(mainWindow.y + static_cast<int>(popupY) - r.h, usable.y);
    return r;
}

FramePacer::FramePacer(std::function<double()> clockMs) : clock_(std::move(clockMs)) {
    double t = clock_();
    mainDeadline_ = t;
    popupDeadline_ = t;
}

bool FramePacer::due(double& deadline, double period) {
    double t = clock_();
    if (t < deadline) return false;
    deadline += period;
    if (deadline <= t) deadline = t + period; // late by more than a period: no burst of frames
    return true;
}

bool FramePacer::mainDue() {
    return due(mainDeadline_, mainPeriodMs);
}

bool FramePacer::popupDue() {
    return popupOpen_ && due(popupDeadline_, popupPeriodMs);
}

void FramePacer::setPopupOpen(bool open) {
    if (open && !popupOpen_) popupDeadline_ = clock_();
    popupOpen_ = open;
}

int FramePacer::waitMs() const {
    double t = clock_();
    double next = mainDeadline_;
    if (popupOpen_) next = std::min(next, popupDeadline_);
    double wait = next - t;
    if (wait <= 0) return 0;
    return static_cast<int>(wait) + 1; // wake at or just after the deadline, never before
}

double steadyClockMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

DescriptorWatcher::DescriptorWatcher(int fd, std::function<void()> wake)
    : fd_(fd), stopFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), wake_(std::move(wake)) {
    if (fd_ >= 0 && stopFd_ >= 0) thread_ = std::thread(&DescriptorWatcher::watch, this);
}

DescriptorWatcher::~DescriptorWatcher() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        ssize_t written = write(stopFd_, &one, sizeof one);
        (void)written;
        thread_.join();
    }
    if (stopFd_ >= 0) close(stopFd_);
}

void DescriptorWatcher::watch() {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
        if (!(fds[0].revents & POLLIN)) continue;
        uint64_t count = 0;
        // Another reader may have emptied it meanwhile: then there is nothing to announce.
        if (read(fd_, &count, sizeof count) == ssize_t(sizeof count) && count > 0) wake_();
    }
}

} // namespace shell
