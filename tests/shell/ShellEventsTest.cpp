// The shell's pure helpers: the key table, buttons, window and pop-up placement, frame pacing, the
// input wake-up.
#include "shell/ShellEvents.h"

#include <gtest/gtest.h>

#include <SDL2/SDL_keyboard.h>
#include <SDL2/SDL_mouse.h>

#include <atomic>
#include <chrono>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

using namespace shell;

TEST(ShellKeys, TableGivesMacCodesAndSendsNothingForModifiersAlone) {
    struct Case {
        SDL_Scancode scancode;
        int mac;
        bool text;
    } cases[] = {
        {SDL_SCANCODE_RETURN, 36, false},  {SDL_SCANCODE_KP_ENTER, 36, false},  {SDL_SCANCODE_BACKSPACE, 51, false},
        {SDL_SCANCODE_DELETE, 117, false}, {SDL_SCANCODE_HOME, 115, false},     {SDL_SCANCODE_END, 119, false},
        {SDL_SCANCODE_PAGEUP, 116, false}, {SDL_SCANCODE_PAGEDOWN, 121, false}, {SDL_SCANCODE_DOWN, 125, false},
        {SDL_SCANCODE_UP, 126, false},     {SDL_SCANCODE_LEFT, 123, false},     {SDL_SCANCODE_ESCAPE, 53, false},
        {SDL_SCANCODE_A, 0, true},         {SDL_SCANCODE_Q, 12, true},          {SDL_SCANCODE_1, 18, true},
        {SDL_SCANCODE_SPACE, 49, true},    {SDL_SCANCODE_KP_5, 87, true},       {SDL_SCANCODE_F1, 122, false},
    };
    for (const Case& c : cases) {
        KeyInfo k = macKeyFor(c.scancode);
        EXPECT_EQ(k.macCode, c.mac) << SDL_GetScancodeName(c.scancode);
        EXPECT_EQ(k.producesText, c.text) << SDL_GetScancodeName(c.scancode);
    }
    for (SDL_Scancode m :
         {SDL_SCANCODE_LSHIFT, SDL_SCANCODE_RCTRL, SDL_SCANCODE_LALT, SDL_SCANCODE_LGUI, SDL_SCANCODE_CAPSLOCK})
        EXPECT_EQ(macKeyFor(m).macCode, -1) << SDL_GetScancodeName(m);

    // Every key gets a code of its own (Return's three places share one), and no unknown key
    // takes a code the skin acts on.
    const std::set<int> acted = {36, 51, 117, 115, 119, 116, 121, 125, 126};
    std::set<int> seen;
    for (int s = SDL_SCANCODE_A; s < SDL_NUM_SCANCODES; ++s) {
        SDL_Scancode sc = SDL_Scancode(s);
        int code = macKeyFor(sc).macCode;
        if (code < 0 || sc == SDL_SCANCODE_RETURN2 || sc == SDL_SCANCODE_KP_ENTER) continue;
        EXPECT_TRUE(seen.insert(code).second) << "code " << code << " twice, at " << s;
        if (code >= unknownKeyBase) {
            EXPECT_EQ(acted.count(code), 0u);
        }
    }
}

TEST(ShellMouse, ButtonsMovesAndTheYFlip) {
    EXPECT_EQ(bridgeButton(SDL_BUTTON_LEFT), 1);
    EXPECT_EQ(bridgeButton(SDL_BUTTON_RIGHT), 2);
    EXPECT_EQ(bridgeButton(SDL_BUTTON_MIDDLE), 3);
    EXPECT_EQ(bridgeButton(SDL_BUTTON_X1), 3);
    EXPECT_EQ(bridgeMoveButton(0), 1); // a plain move passes button 1
    EXPECT_EQ(bridgeMoveButton(SDL_BUTTON_LMASK | SDL_BUTTON_RMASK), 1);
    EXPECT_EQ(bridgeMoveButton(SDL_BUTTON_RMASK), 2);
    EXPECT_EQ(bridgeMoveButton(SDL_BUTTON_MMASK), 3);
    EXPECT_EQ(viewY(0, 500), 500);
    EXPECT_EQ(viewY(499, 500), 1);
}

TEST(ShellPlacement, MainWindowCentredFirstThenMovedNeverAboveTheUsableTop) {
    Rect usable{0, 30, 1600, 970};
    bool first = true;
    Rect r = placeMainWindow({100, 200, 1280, 500}, usable, 1000, 700, 5, 5, first);
    EXPECT_FALSE(first);
    EXPECT_EQ(r.x, 300);
    EXPECT_EQ(r.y, 30);
    EXPECT_EQ(r.w, 1000);
    EXPECT_EQ(r.h, 700);
    r = placeMainWindow(r, usable, 1000, 700, 12, 40, first);
    EXPECT_EQ(r.x, 312);
    EXPECT_EQ(r.y, 70);
    r = placeMainWindow(r, usable, 1000, 700, 0, -100, first); // dragged above the top: stops there
    EXPECT_EQ(r.y, 30);
    r = placeMainWindow(r, usable, 1000, 2000, 0, 0, first); // taller than the screen
    EXPECT_EQ(r.h, 970);
}

TEST(ShellPlacement, PopupOpensUpwardsFromThePointAndStaysBelowTheUsableTop) {
    Rect usable{0, 30, 1600, 970};
    Rect main{100, 40, 1280, 700};
    Rect p = placePopup(main, usable, 50, 400, 200, 150);
    EXPECT_EQ(p.x, 150);
    EXPECT_EQ(p.y, 40 + 400 - 150); // the point is the bottom-left corner
    EXPECT_EQ(p.w, 200);
    EXPECT_EQ(p.h, 150);
    p = placePopup(main, usable, 0, 20, 200, 300);
    EXPECT_EQ(p.y, 30);
}

TEST(ShellPacing, ThirtyFramesASecondTwentyForThePopupNoBurstAfterAStall) {
    double now = 1000.0;
    FramePacer pacer([&] { return now; });
    int main = 0, popup = 0;
    pacer.setPopupOpen(true);
    for (int step = 0; step < 1000; ++step, now += 1.0) { // one simulated second in 1 ms steps
        if (pacer.mainDue()) ++main;
        if (pacer.popupDue()) ++popup;
    }
    EXPECT_EQ(main, 30);
    EXPECT_EQ(popup, 20);

    EXPECT_EQ(pacer.waitMs(), 0); // the next second's first frames are due now
    EXPECT_TRUE(pacer.mainDue());
    EXPECT_TRUE(pacer.popupDue());
    EXPECT_GT(pacer.waitMs(), 0);
    EXPECT_LE(pacer.waitMs(), 34);
    now += 500.0; // a stall of half a second
    EXPECT_EQ(pacer.waitMs(), 0);
    EXPECT_TRUE(pacer.mainDue());
    EXPECT_FALSE(pacer.mainDue()); // one frame, not fifteen to catch up
    pacer.setPopupOpen(false);
    EXPECT_FALSE(pacer.popupDue());
    int wait = pacer.waitMs();
    now += wait;
    EXPECT_TRUE(pacer.mainDue()); // waking after waitMs finds the frame due
}

TEST(ShellWake, EachSignalOfTheDescriptorWakesOnceAndStoppingJoins) {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::atomic<int> wakes{0};
    {
        shell::DescriptorWatcher watcher(fd, [&] { ++wakes; });
        ASSERT_TRUE(watcher.running());
        for (int n = 1; n <= 3; ++n) {
            uint64_t one = 1;
            ASSERT_EQ(write(fd, &one, sizeof one), ssize_t(sizeof one));
            for (int i = 0; i < 10000 && wakes < n; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_EQ(wakes, n);
        }
    }
    uint64_t left = 0;
    EXPECT_LT(read(fd, &left, sizeof left), 0) << "the watcher consumes what it announced";
    close(fd);
}
