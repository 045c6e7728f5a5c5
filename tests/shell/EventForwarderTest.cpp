// SDL events to the bridge's calls, recorded through the BridgeCalls seam.
#include "shell/EventForwarder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class RecordingBridge : public BridgeCalls {
public:
    std::vector<std::string> calls;
    void mouseClick(float x, float y, bool released, int button) override {
        add("click", x, y, std::to_string(button) + (released ? " up" : " down"));
    }
    void mouseMove(float x, float y, int button) override { add("move", x, y, std::to_string(button)); }
    void scrollWheel(float x, float y, float dx, float dy) override {
        add("wheel", x, y, std::to_string(int(dx)) + " " + std::to_string(int(dy)));
    }
    void keyPress(int code, const std::string& chars, bool released) override {
        calls.push_back("key " + std::to_string(code) + " '" + chars + "'" + (released ? " up" : " down"));
    }
    void dropFile(const std::string& path, float x, float y) override { add("drop", x, y, path); }
    void popupClick(float x, float y, bool released, int button) override {
        add("popupclick", x, y, std::to_string(button) + (released ? " up" : " down"));
    }
    void popupMove(float x, float y, int button) override { add("popupmove", x, y, std::to_string(button)); }

private:
    void add(const char* what, float x, float y, const std::string& rest) {
        calls.push_back(std::string(what) + " " + std::to_string(int(x)) + "," + std::to_string(int(y)) + " " + rest);
    }
};

constexpr Uint32 mainId = 7, popupId = 9;

struct Fixture {
    RecordingBridge bridge;
    EventForwarder fw{bridge};
    Fixture() {
        fw.setMainWindow(mainId, 500);
        fw.setMainSize(1000, 500);
        fw.pointerInWindow = [](float* x, float* y) {
            *x = 120;
            *y = 80;
        };
    }
    void button(Uint32 type, int b, int x, int y, int clicks = 1, Uint32 window = mainId) {
        SDL_Event e{};
        e.type = type;
        e.button.windowID = window;
        e.button.button = Uint8(b);
        e.button.clicks = Uint8(clicks);
        e.button.x = x;
        e.button.y = y;
        fw.handle(e);
    }
    void motion(int x, int y, Uint32 state = 0, Uint32 window = mainId) {
        SDL_Event e{};
        e.type = SDL_MOUSEMOTION;
        e.motion.windowID = window;
        e.motion.x = x;
        e.motion.y = y;
        e.motion.state = state;
        fw.handle(e);
    }
    void key(Uint32 type, SDL_Scancode sc, Uint16 mod = 0) {
        SDL_Event e{};
        e.type = type;
        e.key.windowID = mainId;
        e.key.keysym.scancode = sc;
        e.key.keysym.mod = mod;
        fw.handle(e);
    }
    void text(const char* t) {
        SDL_Event e{};
        e.type = SDL_TEXTINPUT;
        strncpy(e.text.text, t, sizeof e.text.text - 1);
        fw.handle(e);
    }
    void drop(Uint32 type, const char* file = nullptr) {
        SDL_Event e{};
        e.type = type;
        e.drop.windowID = mainId;
        e.drop.file = const_cast<char*>(file);
        fw.handle(e);
    }
};

using Calls = std::vector<std::string>;

} // namespace

TEST(ShellEventForwarder, ButtonsDoubleClickAddsButtonFourMovesAndWheel) {
    Fixture f;
    f.button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 10, 100, 2);
    f.button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 10, 100, 2);
    f.button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 10, 100, 2); // only the left button doubles
    f.button(SDL_MOUSEBUTTONUP, SDL_BUTTON_MIDDLE, 10, 100);
    f.motion(20, 30);
    f.motion(20, 30, SDL_BUTTON_RMASK);
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.windowID = mainId;
    e.wheel.mouseX = 40;
    e.wheel.mouseY = 50;
    e.wheel.preciseX = 0;
    e.wheel.preciseY = 3;
    f.fw.handle(e);
    EXPECT_EQ(f.bridge.calls, (Calls{"click 10,400 1 down", "click 10,400 4 down", "click 10,400 1 up",
                                     "click 10,400 4 up", "click 10,400 2 down", "click 10,400 3 up", "move 20,470 1",
                                     "move 20,470 2", "wheel 40,450 0 24"})); // a notch: 8 units of 6 px
}

TEST(ShellEventForwarder, KeysPairWithTheirTextSpecialKeysGoAtOnceModifiersAloneNot) {
    Fixture f;
    f.key(SDL_KEYDOWN, SDL_SCANCODE_LSHIFT);
    f.key(SDL_KEYDOWN, SDL_SCANCODE_A, KMOD_LSHIFT);
    f.text("A");
    f.key(SDL_KEYUP, SDL_SCANCODE_A, KMOD_LSHIFT);
    f.key(SDL_KEYUP, SDL_SCANCODE_LSHIFT);
    f.key(SDL_KEYDOWN, SDL_SCANCODE_KP_ENTER);
    f.key(SDL_KEYDOWN, SDL_SCANCODE_E); // no text follows (a dead key): sent without text
    f.fw.flush();
    f.key(SDL_KEYDOWN, SDL_SCANCODE_C, KMOD_LCTRL); // a shortcut produces no text: at once
    f.text("é");                                    // text of its own, from an input method
    EXPECT_EQ(f.bridge.calls, (Calls{"key 0 'A' down", "key 0 'A' up", "key 36 '' down", "key 14 '' down",
                                     "key 8 '' down", "key 4096 'é' down", "key 4096 'é' up"}));
    f.bridge.calls.clear();
    f.key(SDL_KEYDOWN, SDL_SCANCODE_Q, KMOD_LCTRL);
    f.key(SDL_KEYDOWN, SDL_SCANCODE_COMMA, KMOD_LCTRL);
    EXPECT_TRUE(f.bridge.calls.empty());
    EXPECT_TRUE(f.fw.takeQuit());
    EXPECT_FALSE(f.fw.takeQuit());
    EXPECT_TRUE(f.fw.takePreferences());
}

TEST(ShellEventForwarder, ThreeFilesDroppedLoadTheFirstAtThePointer) {
    Fixture f;
    f.drop(SDL_DROPBEGIN);
    f.drop(SDL_DROPFILE, "/music/one.mp3");
    f.drop(SDL_DROPFILE, "/music/two.mp3");
    f.drop(SDL_DROPFILE, "/music/three.mp3");
    f.drop(SDL_DROPCOMPLETE);
    f.drop(SDL_DROPBEGIN);
    f.drop(SDL_DROPFILE, "/music/next.mp3");
    EXPECT_EQ(f.bridge.calls, (Calls{"drop 120,80 /music/one.mp3", "drop 120,80 /music/next.mp3"}));
}

TEST(ShellEventForwarder, DraggedRowDropsWhereTheButtonComesUpInsideTheWindow) {
    Fixture f;
    f.fw.startDrag("/music/row.mp3", 100, 100);
    f.motion(101, 102, SDL_BUTTON_LMASK); // jiggle: no ghost yet
    EXPECT_FALSE(f.fw.ghostVisible());
    f.motion(300, 200, SDL_BUTTON_LMASK);
    EXPECT_TRUE(f.fw.ghostVisible());
    EXPECT_EQ(f.fw.dragX(), 300);
    f.button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 300, 200);
    EXPECT_FALSE(f.fw.dragging());
    // Moves are the drag's own; the release reaches the skin first, then the drop (skin coordinates).
    EXPECT_EQ(f.bridge.calls, (Calls{"click 300,300 1 up", "drop 300,200 /music/row.mp3"}));

    f.bridge.calls.clear();
    f.fw.startDrag("/music/row.mp3", 100, 100);
    f.motion(101, 101, SDL_BUTTON_LMASK);
    f.button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 101, 101); // a click on the row, not a drag
    f.fw.startDrag("/music/row.mp3", 100, 100);
    f.motion(300, 200, SDL_BUTTON_LMASK);
    f.button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 1200, 200); // released outside the window
    f.fw.startDrag("/music/row.mp3", 100, 100);
    f.motion(300, 200, SDL_BUTTON_LMASK);
    f.key(SDL_KEYDOWN, SDL_SCANCODE_ESCAPE); // Escape cancels
    f.button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 300, 200);
    for (const std::string& c : f.bridge.calls)
        EXPECT_EQ(c.find("drop"), std::string::npos) << c;
}

TEST(ShellEventForwarder, PopupEventsGoToTheListAndAPressOutsideClosesIt) {
    Fixture f;
    f.fw.setPopupWindow(popupId, 100);
    f.button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 5, 10, 1, popupId);
    f.motion(6, 20, SDL_BUTTON_LMASK, popupId);
    EXPECT_FALSE(f.fw.takeClosePopup());
    f.button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 5, 10);
    EXPECT_TRUE(f.fw.takeClosePopup());
    EXPECT_EQ(f.bridge.calls, (Calls{"popupclick 5,90 1 down", "popupmove 6,80 1", "click 5,490 1 down"}));
}

TEST(ShellEventForwarder, ThePointerLeavingTheWindowMovesItOutsideUnlessAButtonHoldsAControl) {
    Fixture f;
    SDL_Event leave{};
    leave.type = SDL_WINDOWEVENT;
    leave.window.windowID = mainId;
    leave.window.event = SDL_WINDOWEVENT_LEAVE;
    f.fw.handle(leave); // into the pop-up list, say: nothing stays hovered
    f.button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 5, 10);
    f.fw.handle(leave); // a fader dragged past the window's edge stays where the drag put it
    f.button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 5, 10);
    EXPECT_EQ(f.bridge.calls, (Calls{"move -1,501 1", "click 5,490 1 down", "click 5,490 1 up"}));
}
