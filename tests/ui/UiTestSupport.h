// A real engine (its user data in a scratch folder, no sound device opened), the user interface on
// it, a skin of the windows "player", "fx" and "playlist" for the window and tab buttons, and a
// 120 BPM click track made with sox.
#pragma once

#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "skin/Skin.h"
#include "skin/SkinObject.h"
#include "skin/SkinWindow.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "ui/TarlumeSkinInterface.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include "support/MissingComponent.h"

namespace uitest {

// The click track: 44100 Hz stereo, a 10 ms 1 kHz tick every 0.5 s, 60 s long; "" when sox is
// missing. Made once per test program.
const std::string& clickTrack();

// Sets an environment variable for the life of the scope, then restores it.
using EnvScope = testsupport::ScopedEnv;

struct UiFixture {
    testsupport::TempDir data{"ui"};
    EnvScope xdg{"XDG_DATA_HOME", data.path};
    EnvScope home{"HOME", data.path};
    std::unique_ptr<Tarlume> engine;
    std::unique_ptr<TarlumeSkinInterface> ui;
    std::unique_ptr<Skin> skin;

    UiFixture();
    ~UiFixture();

    TarlumePlayer* deck(int i) { return engine->players[i]; }
    // Loads the click track into the deck, waits until its length is known, fixes its tempo at
    // 120 BPM; false when sox is missing (the caller skips) or loading failed.
    bool loadClick(int deck);
    // A window of the minimal skin ("player", "fx", "playlist").
    SkinWindow* window(const std::string& name);
    bool shown(const std::string& window, int deck);
};

// A button (or any type) built in code, as skin windows hand them to the interface.
struct TestObject {
    explicit TestObject(int value, const std::string& spec = "", int type = OBJECT_BUTTON, int player = -1);
    std::string empty;
    SkinObject object{&empty, nullptr, nullptr};
    SkinObject* operator->() { return &object; }
    SkinObject* get() { return &object; }
};

void press(TarlumeSkinInterface& ui, SkinObject* object, int deck, int action = ACTION_DEFAULT);
void release(TarlumeSkinInterface& ui, SkinObject* object, int deck, int action = ACTION_DEFAULT);
void click(TarlumeSkinInterface& ui, SkinObject* object, int deck);

} // namespace uitest

// Skips (or fails under CI) a test that needs the click track.
#define UI_NEED_CLICK(fixture, deck)                                                                                   \
    do {                                                                                                               \
        if (!(fixture).loadClick(deck)) {                                                                              \
            if (!uitest::clickTrack().empty()) FAIL() << "click track not loaded";                                     \
            TARLUME_MISSING_COMPONENT() << "sox missing";                                                              \
        }                                                                                                              \
    } while (0)
