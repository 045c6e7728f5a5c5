// The host bridge by direct calls, with the real engine (user data in a scratch folder, no sound
// device) and the shell's test skin as the application folder's default skin.
#include "shell/HostBridge.h"

#include "analysis/TestWav.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"
#include "platform/GL.h"
#include "ShellHome.h"
#include "support/ScopedEnv.h"
#include "skin/Skin.h"
#include "skin/SkinObject.h"
#include "skin/SkinWindow.h"
#include "ui/TarlumeSkinInterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

constexpr float viewHeight = 500;

// The rows need no sound device: PortAudio's start, seconds long on a loaded machine, would outlast a row's quit,
// which then ends the process as a quit that waited too long does.
struct NoSound {
    testsupport::ScopedEnv sound{"TARLUME_SOUND", "null"};
};

struct Bridge : NoSound, shelltest::ShellHome {
    using ShellHome::ShellHome;
    Skin* skin() const { return tlm ? tlm->skin : nullptr; }
    SkinWindowStateInfo* layer(const char* window, int l) const { return skin()->getWindow(window)->layerState(l); }
    void frame() {
        float dx = 0, dy = 0;
        drawTLM(1200, viewHeight, nullptr, &dx, &dy);
    }
    // A press and release at a skin point, through view coordinates (y from the bottom).
    void click(float x, float y, bool released) { doMouseClick(x, viewHeight - y, released, 1, nullptr); }
};

} // namespace

// A missing skin (a folder not plugged in) gives the default skin with one line, and stays chosen.
TEST(ShellBridge, MissingConfiguredSkinLoadsTheDefaultSkin) {
    testing::internal::CaptureStderr();
    Bridge b("no-such-skin");
    const std::string said = testing::internal::GetCapturedStderr();
    const size_t told = said.find("Skin \"no-such-skin\" is not found");
    EXPECT_NE(told, std::string::npos) << said;
    EXPECT_EQ(said.find("no-such-skin", said.find('\n', told)), std::string::npos) << said; // said once
    ASSERT_NE(b.skin(), nullptr);
    EXPECT_TRUE(b.skin()->loaded);
    EXPECT_EQ(b.skin()->skinName, "Shell Test Skin");
    EXPECT_EQ(tlm->skinName, "no-such-skin");
    EXPECT_GE(getBoundWidth(), 1200);
    EXPECT_GE(getBoundHeight(), 500);
}

// A broken skin file gives the default skin with one line saying why, and is not kept as the chosen skin.
TEST(ShellBridge, ABrokenConfiguredSkinLoadsTheDefaultSkinSaysWhyAndIsForgotten) {
    const std::string whole = readFileContents(TARLUME_SOURCE_DIR "/tests/shell/skin/testskin.xml");
    std::string random(2000, 0);
    for (size_t i = 0; i < random.size(); ++i)
        random[i] = char((i * 2654435761u) >> 11);
    const struct {
        const char* name;
        std::string file;
        const char* why;
    } cases[] = {
        {"cut at 40 %", whole.substr(0, whole.size() * 2 / 5), "cut short"},
        {"random bytes", random, "not a skin file"},
        {"empty", "", "empty"},
        {"no window", "<skin><info><name>bare</name></info></skin>", "no window"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string config;
        testing::internal::CaptureStderr();
        {
            Bridge b("broken", &c.file);
            ASSERT_NE(b.skin(), nullptr);
            EXPECT_EQ(b.skin()->skinName, "Shell Test Skin");
            EXPECT_GE(getBoundWidth(), 1200);
            destroyStuff();
            config = readFileContents(b.data.path + "tarlume/config.xml");
        }
        const std::string said = testing::internal::GetCapturedStderr();
        const size_t told = said.find("Skin \"broken\" is not used");
        EXPECT_NE(told, std::string::npos) << said;
        EXPECT_EQ(said.find("\"broken\"", said.find('\n', told)), std::string::npos) << said; // said once
        EXPECT_NE(said.find(c.why), std::string::npos) << said;
        EXPECT_NE(config.find("<SKIN>kolt-1280</SKIN>"), std::string::npos) << config;
    }
}

TEST(ShellBridge, PressesReachEveryLayerHitTheLaterKeepsFocusAndAHolderGetsItsRelease) {
    Bridge b;
    b.frame();
    b.layer("overlap", 0)->visible = true; // over the first layer of "player"
    b.click(50, 30, false);
    EXPECT_EQ(b.skin()->focusedWindow, b.skin()->getWindow("overlap"));
    EXPECT_EQ(b.layer("player", 0)->pressedObject, b.skin()->getWindow("player")->getObject("play"));
    EXPECT_NE(b.layer("overlap", 0)->pressedObject, nullptr);
    b.click(1500, -40, true); // released far outside the window
    EXPECT_EQ(b.layer("player", 0)->pressedObject, nullptr);
    EXPECT_EQ(b.layer("overlap", 0)->pressedObject, nullptr);

    b.click(950, 50, false); // the fourth layer of "player" alone: the y flip puts it there
    EXPECT_EQ(b.skin()->focusedWindow, b.skin()->getWindow("player"));
    EXPECT_EQ(b.skin()->focusedLayer, 3);
    b.click(950, 50, true);
}

TEST(ShellBridge, AnObjectLeftByAJumpOfThePointerStopsShowingIt) {
    Bridge b;
    b.frame();
    SkinObject* play = b.skin()->getWindow("player")->getObject("play");
    doMouseMove(50, viewHeight - 30, true, 1);
    ASSERT_TRUE(play->state(0)->hover);
    doMouseMove(-1, viewHeight + 1, true, 1); // outside every layer: the pointer left the window
    EXPECT_FALSE(play->state(0)->hover);
}

TEST(ShellBridge, ADropOnLayerTwoOfPlayerLoadsDeckTwo) {
    Bridge b;
    b.frame();
    ASSERT_NE(tlm->players[2], nullptr);
    std::vector<float> tone(44100);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = 8000.0f * std::sin(float(i) * 0.05f);
    std::string track = b.data.path + "tone.wav";
    ASSERT_TRUE(writeStereoWav(track, tone, tone, 44100));
    b.skin()->getWindow("player")->name = "Player"; // any case
    loadSong(track.c_str(), 650, 50);
    // The frame loop finishes a load once its file is open (at most a minute: a busy machine may be slow to open it).
    for (int i = 0; i < 6000 && (tlm->players[2]->isLoading() || tlm->players[2]->getLength() <= 0); ++i) {
        b.frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NEAR(tlm->players[2]->getLength(), 1000.0, 5.0);
    tlm->players[2]->playPause();
    for (int i = 0; i < 30; ++i) {
        b.frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(tlm->players[2]->getPosition(), 100.0); // the loaded deck plays
    for (int deck : {0, 1, 3})
        EXPECT_LE(tlm->players[deck]->getLength(), 0.0) << deck;
    loadSong(track.c_str(), 650, 450); // the play list, not a deck
    EXPECT_LE(tlm->players[0]->getLength(), 0.0);
}

TEST(ShellBridge, OnlyTheLastPendingMoveIsReportedAndEveryOneTaken) {
    Bridge b;
    SkinWindowStateInfo* a = b.layer("player", 1);
    SkinWindowStateInfo* c = b.layer("player", 3);
    a->moveX = 5;
    a->moveY = 6;
    a->lastMouseX = a->lastMouseY = 50;
    c->moveX = -7;
    c->moveY = 8;
    float dx = 0, dy = 0;
    drawTLM(1200, viewHeight, nullptr, &dx, &dy);
    EXPECT_EQ(dx, -7);
    EXPECT_EQ(dy, 8);
    EXPECT_EQ(a->moveX, 0);
    EXPECT_EQ(c->moveY, 0);
    EXPECT_EQ(a->lastMouseX, 45);
    EXPECT_EQ(a->lastMouseY, 44);
}

TEST(ShellBridge, EachPollAnswersOnceAndNothingIsPendingAfterQuitting) {
    Bridge b;
    TarlumeSkinInterface* iface = getSkinInterface();
    iface->showPopupMenu(10, 20, 30, 40);
    float x = 0, y = 0, w = 0, h = 0;
    EXPECT_TRUE(needsToShowPopupMenu(&x, &y, &w, &h));
    EXPECT_EQ(x + y + w + h, 100);
    EXPECT_FALSE(needsToShowPopupMenu(&x, &y, &w, &h));
    iface->hidePopupMenu();
    EXPECT_TRUE(needsToHidePopupMenu());
    EXPECT_FALSE(needsToHidePopupMenu());
    iface->showDialogBox(7, "script", 1, "A song is already playing");
    std::string text, prompt;
    int kind = 0;
    EXPECT_TRUE(needsToShowInputBox(&text, &prompt, &kind));
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(prompt, "A song is already playing");
    EXPECT_FALSE(needsToShowInputBox(&text, &prompt, &kind));
    iface->showFileDialog(0, "", 0, "Select name for new mix", "default.wav");
    EXPECT_TRUE(needsToShowFileDialog(&prompt, &text));
    EXPECT_EQ(prompt, "Select name for new mix");
    EXPECT_EQ(text, "default.wav");
    EXPECT_FALSE(needsToShowFileDialog(&prompt, &text));

    iface->showInputBox(0, "", 0, "Enter the name for the new case", "");
    iface->quitRequested = true;
    EXPECT_TRUE(needsToQuit());
    EXPECT_EQ(tlm, nullptr);
    EXPECT_TRUE(std::filesystem::exists(b.data.path + "tarlume/config.xml"));
    EXPECT_FALSE(needsToQuit());
    EXPECT_FALSE(needsToShowInputBox(&text, &prompt, &kind));
    // The pop-up list has nothing left to show and starts no engine.
    EXPECT_EQ(getPopupListBoxObject(), nullptr);
    EXPECT_EQ(getPopupLB(), nullptr);
    myLBDraw(100, 100);
    myLBdoMouseClick(1, 1, false, 1, nullptr);
    EXPECT_EQ(tlm, nullptr);
}

TEST(ShellBridge, PreferenceSettingsReachTheEngineAndItsSettingsFile) {
    Bridge b;
    setOutputModeInternalMixer(false);
    setBufferSize(-5);
    setOutputDeviceConfig(1, 7, 4, 5);
    setOutputDeviceConfig(9, 7, 4, 5); // no such output: ignored
    setDefaultVinylType(2, 3);
    setVinylDefaultMode(2, true);
    unsigned long device = 0;
    int left = 0, right = 0;
    getOutputDeviceConfig(1, &device, &left, &right);
    EXPECT_EQ(device, 7u);
    EXPECT_EQ(left + right, 9);
    EXPECT_FALSE(getOutputModeInternalMixer());
    EXPECT_EQ(getBufferSize(), 0);
    EXPECT_EQ(getDefaultVinylType(2), 3);
    EXPECT_TRUE(getVinylDefaultMode(2));
    EXPECT_FALSE(getVinylDefaultMode(7));
    destroyStuff();
    std::string config = readFileContents(b.data.path + "tarlume/config.xml");
    for (const char* line :
         {"<USEEXTERNALMIXER>true", "<OUTPUTDEVICE1>7", "<DEFAULTVINYL2>3", "<VC_RELATIVEMODE2>true"})
        EXPECT_NE(config.find(line), std::string::npos) << line << "\n" << config;
}

TEST(ShellBridge, TextsCopiedIntoBuffersAreCutWhereACharacterEnds) {
    char buffer[6];
    EXPECT_EQ(copyTextCut("abc", buffer, sizeof buffer), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(copyTextCut("abcd\xC3\xA9", buffer, sizeof buffer), 4u); // "é" would not fit whole
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(copyTextCut("ab\xE2\x82\xAC", buffer, sizeof buffer), 5u); // "€" fits exactly
    EXPECT_STREQ(buffer, "ab\xE2\x82\xAC");
    EXPECT_EQ(copyTextCut("abc", buffer, 0), 0u);
}

TEST(ShellBridge, ADraggedRowShowsItsFileNameNearThePointer) {
    Bridge b;
    b.frame();
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    drawDragGhost("/music/Some Track.mp3", 100, 200);
    std::vector<unsigned char> px = b.gl.readPixels(); // B, G, R, A; top row first
    auto at = [&](int x, int y) { return &px[(size_t(y) * 1200 + size_t(x)) * 4]; };
    EXPECT_EQ(at(109, 209)[1], 0x30); // the strip's corner, 8 px right of and below the pointer
    EXPECT_EQ(at(100, 200)[1], 0);    // the pointer itself stays clear
    EXPECT_EQ(at(108 + ghostWidth + 2, 212)[1], 0);
    int bright = 0;
    for (int y = 208; y < 208 + ghostHeight; ++y)
        for (int x = 108; x < 108 + ghostWidth; ++x)
            bright += at(x, y)[1] > 0xA0;
    EXPECT_GT(bright, 20) << "no name drawn on the strip";
}
