// Turns SDL events into the host bridge's calls: mouse and wheel positions in view coordinates
// (y from the bottom), buttons as the skin counts them, a double click adding button 4, keys as
// Mac virtual key codes paired with the text that follows them, the first file of a drop at the
// pointer, and a list row dragged inside the window dropped where the button comes up.
// Main thread. The calls go through BridgeCalls so tests can record them.
#pragma once

#include <SDL2/SDL_events.h>

#include <functional>
#include <map>
#include <string>

class BridgeCalls {
public:
    virtual ~BridgeCalls() = default;
    virtual void mouseClick(float x, float y, bool released, int button) = 0;
    virtual void mouseMove(float x, float y, int button) = 0;
    virtual void scrollWheel(float x, float y, float deltaX, float deltaY) = 0;
    virtual void keyPress(int keyCode, const std::string& characters, bool released) = 0;
    virtual void dropFile(const std::string& path, float x, float y) = 0; // skin coordinates
    virtual void popupClick(float x, float y, bool released, int button) = 0;
    virtual void popupMove(float x, float y, int button) = 0;
};

// The real bridge.
class HostBridgeCalls : public BridgeCalls {
public:
    void mouseClick(float x, float y, bool released, int button) override;
    void mouseMove(float x, float y, int button) override;
    void scrollWheel(float x, float y, float deltaX, float deltaY) override;
    void keyPress(int keyCode, const std::string& characters, bool released) override;
    void dropFile(const std::string& path, float x, float y) override;
    void popupClick(float x, float y, bool released, int button) override;
    void popupMove(float x, float y, int button) override;
};

class EventForwarder {
public:
    // Pixels the pointer must travel before a dragged row shows its ghost (a jiggled click would
    // otherwise flash one).
    static constexpr float ghostThreshold = 4.0f;

    explicit EventForwarder(BridgeCalls& bridge) : bridge_(bridge) {}

    void setMainWindow(Uint32 windowId, float viewHeight) {
        mainId_ = windowId;
        mainHeight_ = viewHeight;
    }
    void setMainSize(float width, float height) {
        mainWidth_ = width;
        mainHeight_ = height;
    }
    // 0: no pop-up window.
    void setPopupWindow(Uint32 windowId, float viewHeight) {
        popupId_ = windowId;
        popupHeight_ = viewHeight;
    }
    // Where the pointer is, in main-window pixels (y from the top), when a file is dropped: SDL's
    // drop event carries no point.
    std::function<void(float* x, float* y)> pointerInWindow;

    void handle(const SDL_Event& event);
    // Sends a key press still waiting for its text, without text (call when the events run out).
    void flush();

    // A list row is being dragged inside the window; (x, y) in skin coordinates.
    void startDrag(const std::string& path, float x, float y);
    bool dragging() const { return !dragPath_.empty(); }
    const std::string& dragPath() const { return dragPath_; }
    bool ghostVisible() const { return dragging() && ghostShown_; }
    float dragX() const { return dragX_; }
    float dragY() const { return dragY_; }

    // Shell commands seen since last asked (each answers true once).
    bool takeQuit() { return take(quit_); }
    bool takePreferences() { return take(preferences_); }
    bool takeClosePopup() { return take(closePopup_); }

private:
    static bool take(bool& flag) {
        bool was = flag;
        flag = false;
        return was;
    }
    void keyDown(const SDL_KeyboardEvent& key);
    void keyUp(const SDL_KeyboardEvent& key);
    void text(const char* utf8);
    void buttonEvent(const SDL_MouseButtonEvent& b, bool released);
    void motion(const SDL_MouseMotionEvent& m);
    void endDrag(float x, float y, bool deliver);

    BridgeCalls& bridge_;
    Uint32 mainId_ = 0, popupId_ = 0;
    float mainWidth_ = 0, mainHeight_ = 0, popupHeight_ = 0;

    int pendingKey_ = -1; // Mac code of a key press waiting for its text
    SDL_Scancode pendingScancode_ = SDL_SCANCODE_UNKNOWN;
    std::map<SDL_Scancode, std::string> keyText_; // text of each held key, sent again on release

    unsigned heldButtons_ = 0; // buttons held down in the main window, one bit each
    bool dropTaken_ = false;   // the first file of the current drop has been loaded

    std::string dragPath_;
    float dragStartX_ = 0, dragStartY_ = 0, dragX_ = 0, dragY_ = 0;
    bool ghostShown_ = false;

    bool quit_ = false, preferences_ = false, closePopup_ = false;
};
