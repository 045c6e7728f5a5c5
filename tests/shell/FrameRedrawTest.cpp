// Frames drawn only where they changed, through the bridge into a framebuffer kept from frame to frame
// as the window keeps its own: a frame where nothing changed draws nothing, and after each kind of
// change the next frame draws it, and its picture equals the same frame drawn whole.
#include "shell/HostBridge.h"

#include "analysis/TestWav.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "platform/GL.h"
#include "platform/GLRetainedFrame.h"
#include "skin/Skin.h"
#include "skin/SkinWindow.h"
#include "support/DeckLoads.h"
#include "support/HeadlessGL.h"
#include "support/MissingComponent.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

constexpr int width = 1280, height = 720;

struct Frames {
    // No sound device: a PortAudio start still at work on the JACK thread as the process ends is a thread the leak
    // checker's stop of the world meets.
    testsupport::ScopedEnv noSound{"TARLUME_SOUND", "null"};
    testsupport::TempDir data{"frame-redraw"};
    HeadlessGL gl;
    std::string oldCwd = std::filesystem::current_path();
    GLRetainedFrame& screen = GLRetainedFrame::screen();

    // The application folder's default skin, or the shell's test skin in its place.
    explicit Frames(bool testSkin) {
        setenv("XDG_DATA_HOME", data.path.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        if (testSkin) {
            std::filesystem::create_directories(data.path + "app/skins");
            std::filesystem::copy_file(TARLUME_SOURCE_DIR "/tests/shell/skin/testskin.xml",
                                       data.path + "app/skins/kolt-1280.xml");
        }
        setApplicationFolder(testSkin ? data.path + "app" : TARLUME_SOURCE_DIR "/data");
        if (!gl.open(width, height)) return;
        screen.setRetained(true);
        initTLM();
        frame();
    }
    ~Frames() {
        destroyStuff();
        screen.setRetained(false);
        setApplicationFolder("");
        unsetenv("XDG_DATA_HOME");
        std::filesystem::current_path(oldCwd);
    }
    // Frames until three in a row draw nothing (the browser lists its folders on a thread of its own);
    // false when that never happens.
    bool settle() {
        int idle = 0;
        for (int i = 0; i < 500 && idle < 3; ++i) {
            idle = frame().groupsDrawn == 0 ? idle + 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return idle == 3;
    }
    const GLRetainedFrame::Stats& frame() {
        float dx = 0, dy = 0;
        drawTLM(width, height, nullptr, &dx, &dy);
        return screen.stats();
    }
    // Pixels of the frame last drawn that differ from the same recording drawn whole.
    size_t differencesFromWhole() {
        std::vector<unsigned char> kept = gl.readPixels();
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        const GLDrawList& list = screen.list();
        for (size_t g = 0; g < list.groups(); ++g)
            list.draw(g);
        return differences(kept, gl.readPixels());
    }
    static size_t differences(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
        size_t n = 0;
        for (size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4)
            n += a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2];
        return n;
    }
    // Skin points, through view coordinates (y from the bottom).
    void press(float x, float y, bool released) { doMouseClick(x, height - y, released, 1, nullptr); }
    void move(float x, float y) { doMouseMove(x, height - y, false, 0); }
    SkinWindowStateInfo* layer(const char* window, int l) { return tlm->skin->getWindow(window)->layerState(l); }
};

} // namespace

TEST(FrameRedraw, AFrameWhereNothingChangedDrawsNothing) {
    Frames f(true);
    if (!f.gl.isOpen()) {
        TARLUME_MISSING_COMPONENT() << "no headless OpenGL: " << f.gl.error();
    }
    // Once the browser has listed its folder nothing moves: frames draw nothing.
    EXPECT_TRUE(f.settle());
    EXPECT_TRUE(f.screen.damage().empty());
    // A small window shown is drawn, with what lies under it, and little else.
    f.layer("overlap", 0)->visible = true;
    EXPECT_GT(f.frame().groupsDrawn, 0u);
    EXPECT_LT(f.screen.stats().pixelsDrawn, width * height / 50);
    EXPECT_EQ(f.differencesFromWhole(), 0u);
    EXPECT_EQ(f.frame().groupsDrawn, 0u);
}

TEST(FrameRedraw, EachChangeShowsOnTheNextFrameAsTheWholeFrameWouldShowIt) {
    Frames f(false);
    if (!f.gl.isOpen()) {
        TARLUME_MISSING_COMPONENT() << "no headless OpenGL: " << f.gl.error();
    }
    std::vector<float> left(44100 * 8), right(left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        left[i] = 9000.0f * std::sin(float(i) * 0.031f) * (i % 22050 < 3000 ? 2.0f : 0.5f);
        right[i] = 9000.0f * std::sin(float(i) * 0.047f);
    }
    std::string track = f.data.path + "track.wav";
    ASSERT_TRUE(writeStereoWav(track, left, right, 44100));
    f.settle();

    // Skin points of the default skin: deck 1's play and load buttons, the folder list's first row,
    // the search field.
    const struct {
        const char* what;
        std::function<void()> change;
    } changes[] = {
        {"a value", [] { tlm->crossfader = tlm->crossfaderTarget = 0.1; }},
        {"a button pressed", [&] { f.press(78, 261, false); }},
        {"and released", [&] { f.press(78, 261, true); }},
        {"the mouse over a button", [&] { f.move(78, 291); }},
        {"and away", [&] { f.move(300, 60); }},
        {"a list row chosen", [&] { f.press(60, 369, false), f.press(60, 369, true); }},
        {"a text typed", [&] { f.press(100, 338, false), f.press(100, 338, true), doKeyPress(0, "k", false); }},
        {"a window shown", [&] { f.layer("player", 2)->visible = true; }},
        {"and hidden", [&] { f.layer("player", 2)->visible = false; }},
        {"a window moved", [&] { f.layer("main", 0)->x += 7; }},
        {"a row dragged", [] { setDragGhost("/music/Some Track.mp3", 300, 400); }},
        {"its ghost moved", [] { setDragGhost("/music/Some Track.mp3", 340, 380); }},
        {"and dropped", [] { setDragGhost(nullptr, 0, 0); }},
        // The load ends as a frame's update would end it, but without a frame: the loaded deck is the next one's.
        {"a track loaded", [&] { ASSERT_TRUE(testsupport::loadSong(tlm->players[0], track)); }},
        {"and playing", [] { tlm->players[0]->playPause(); }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.what);
        f.frame();
        std::vector<unsigned char> before = f.gl.readPixels();
        c.change();
        EXPECT_GT(f.frame().groupsDrawn, 0u);
        EXPECT_GT(Frames::differences(f.gl.readPixels(), before), 0u) << "the change does not show";
        EXPECT_EQ(f.differencesFromWhole(), 0u);
    }
    // The deck plays on: its waveform, times, meters and platter move from frame to frame.
    int moved = 0;
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        SCOPED_TRACE(i);
        moved += f.frame().groupsDrawn > 0;
        EXPECT_EQ(f.differencesFromWhole(), 0u);
    }
    EXPECT_GT(moved, 0);
}
