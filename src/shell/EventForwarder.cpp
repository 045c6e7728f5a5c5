#include "shell/EventForwarder.h"

#include "shell/ShellEvents.h"

#include <cmath>

using namespace shell;

namespace {
const float kWheelUnitsPerNotch = 8.0f;
}

void EventForwarder::handle(const SDL_Event& e) {
    if (e.type != SDL_TEXTINPUT) flush();
    switch (e.type) {
    case SDL_KEYDOWN:
        keyDown(e.key);
        break;
    case SDL_KEYUP:
        keyUp(e.key);
        break;
    case SDL_TEXTINPUT:
        text(e.text.text);
        break;
    case SDL_MOUSEBUTTONDOWN:
        buttonEvent(e.button, false);
        break;
    case SDL_MOUSEBUTTONUP:
        buttonEvent(e.button, true);
        break;
    case SDL_MOUSEMOTION:
        motion(e.motion);
        break;
    case SDL_WINDOWEVENT:
        // The pointer left the main window (into the pop-up list, say): what it hovered is no longer under
        // it. A move to a point outside every layer tells them; not while a button holds a control.
        if (e.window.windowID == mainId_ && e.window.event == SDL_WINDOWEVENT_LEAVE && heldButtons_ == 0)
            bridge_.mouseMove(-1.0f, viewY(-1.0f, mainHeight_), bridgeMoveButton(0));
        break;
    case SDL_MOUSEWHEEL: {
        if (e.wheel.windowID != mainId_) break;
        // SDL gives 1 a notch, without the acceleration the Mac adds to its wheel deltas, and a list
        // moves 6 pixels a unit: a notch counts as 8 units, about three rows, as on other desktops.
        float flip = (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1.0f : 1.0f) * kWheelUnitsPerNotch;
        // SDL counts right as positive; the skin, like the Mac, counts a scroll to the left.
        bridge_.scrollWheel(float(e.wheel.mouseX), viewY(float(e.wheel.mouseY), mainHeight_), -flip * e.wheel.preciseX,
                            flip * e.wheel.preciseY);
        break;
    }
    case SDL_DROPBEGIN:
        dropTaken_ = false;
        break;
    case SDL_DROPFILE:
        // Only the first file of a drop loads.
        if (!dropTaken_ && e.drop.file) {
            dropTaken_ = true;
            float x = 0, y = 0;
            if (pointerInWindow) pointerInWindow(&x, &y);
            bridge_.dropFile(e.drop.file, x, y);
        }
        break;
    case SDL_DROPCOMPLETE:
        dropTaken_ = false;
        break;
    default:
        break;
    }
}

void EventForwarder::flush() {
    if (pendingKey_ < 0) return;
    int code = pendingKey_;
    pendingKey_ = -1;
    keyText_[pendingScancode_].clear();
    bridge_.keyPress(code, "", false);
}

void EventForwarder::keyDown(const SDL_KeyboardEvent& key) {
    SDL_Keymod mods = SDL_Keymod(key.keysym.mod);
    bool ctrl = (mods & (KMOD_CTRL | KMOD_GUI)) != 0;
    if (ctrl && key.keysym.scancode == SDL_SCANCODE_Q) {
        quit_ = true;
        return;
    }
    if (ctrl && key.keysym.scancode == SDL_SCANCODE_COMMA) {
        preferences_ = true;
        return;
    }
    if (key.keysym.scancode == SDL_SCANCODE_ESCAPE) {
        if (dragging()) {
            endDrag(0, 0, false);
            return;
        }
        if (popupId_ != 0) {
            closePopup_ = true;
            return;
        }
    }
    KeyInfo info = macKeyFor(key.keysym.scancode);
    if (info.macCode < 0) return; // a modifier alone
    if (info.producesText && !ctrl) {
        pendingKey_ = info.macCode;
        pendingScancode_ = key.keysym.scancode;
        return;
    }
    keyText_[key.keysym.scancode].clear();
    bridge_.keyPress(info.macCode, "", false);
}

void EventForwarder::text(const char* utf8) {
    if (pendingKey_ < 0) {
        // Text without a key of its own (an input method, a compose sequence).
        bridge_.keyPress(unknownKeyBase, utf8, false);
        bridge_.keyPress(unknownKeyBase, utf8, true);
        return;
    }
    int code = pendingKey_;
    pendingKey_ = -1;
    keyText_[pendingScancode_] = utf8;
    bridge_.keyPress(code, utf8, false);
}

void EventForwarder::keyUp(const SDL_KeyboardEvent& key) {
    SDL_Keymod mods = SDL_Keymod(key.keysym.mod);
    bool ctrl = (mods & (KMOD_CTRL | KMOD_GUI)) != 0;
    if (ctrl && (key.keysym.scancode == SDL_SCANCODE_Q || key.keysym.scancode == SDL_SCANCODE_COMMA)) return;
    KeyInfo info = macKeyFor(key.keysym.scancode);
    if (info.macCode < 0) return;
    std::string chars;
    auto it = keyText_.find(key.keysym.scancode);
    if (it != keyText_.end()) {
        chars = it->second;
        keyText_.erase(it);
    }
    bridge_.keyPress(info.macCode, chars, true);
}

void EventForwarder::buttonEvent(const SDL_MouseButtonEvent& b, bool released) {
    float x = float(b.x), y = float(b.y);
    int button = bridgeButton(b.button);
    const unsigned bit = 1u << (b.button & 31);
    if (released)
        heldButtons_ &= ~bit;
    else if (b.windowID == mainId_)
        heldButtons_ |= bit;
    if (popupId_ != 0 && b.windowID == popupId_) {
        float vy = viewY(y, popupHeight_);
        bridge_.popupClick(x, vy, released, button);
        if (button == 1 && b.clicks > 1) bridge_.popupClick(x, vy, released, 4);
        return;
    }
    if (b.windowID != mainId_) return;
    // A press in the main window closes an open pop-up list.
    if (!released && popupId_ != 0) closePopup_ = true;
    float vy = viewY(y, mainHeight_);
    bridge_.mouseClick(x, vy, released, button);
    if (button == 1 && b.clicks > 1) bridge_.mouseClick(x, vy, released, 4);
    // A dragged row drops after the release has reached the list (which ends its drag there).
    if (released && dragging()) endDrag(x, y, true);
}

void EventForwarder::motion(const SDL_MouseMotionEvent& m) {
    float x = float(m.x), y = float(m.y);
    if (popupId_ != 0 && m.windowID == popupId_) {
        bridge_.popupMove(x, viewY(y, popupHeight_), bridgeMoveButton(m.state));
        return;
    }
    if (m.windowID != mainId_) return;
    if (dragging()) {
        // The dragged row follows the pointer; the skin sees no moves until the drop.
        dragX_ = x;
        dragY_ = y;
        if (std::fabs(x - dragStartX_) >= ghostThreshold || std::fabs(y - dragStartY_) >= ghostThreshold)
            ghostShown_ = true;
        return;
    }
    bridge_.mouseMove(x, viewY(y, mainHeight_), bridgeMoveButton(m.state));
}

void EventForwarder::startDrag(const std::string& path, float x, float y) {
    dragPath_ = path;
    dragStartX_ = dragX_ = x;
    dragStartY_ = dragY_ = y;
    ghostShown_ = false;
}

void EventForwarder::endDrag(float x, float y, bool deliver) {
    std::string path;
    path.swap(dragPath_);
    // Outside the window (SDL holds the pointer while a button is down) the drag is cancelled.
    bool inside = x >= 0 && y >= 0 && x < mainWidth_ && y < mainHeight_;
    // A press that never moved far is a click on the row, not a drag.
    bool moved = ghostShown_;
    ghostShown_ = false;
    if (deliver && moved && inside && !path.empty()) bridge_.dropFile(path, x, y);
}
