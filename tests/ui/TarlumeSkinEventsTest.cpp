// Presses, releases, drags, jog turns and keys reaching a real engine.
#include "UiTestSupport.h"
#include "support/DeckLoads.h"

#include "audio/effects/EffectGroup.h"
#include "skin/SkinListBox.h"
#include "skin/SkinTabGroup.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include "support/MissingComponent.h"

using namespace uitest;

namespace {

bool playing(TarlumePlayer* p) {
    return p->getParam(PLAYERPARAM_PLAYING) > 0.5;
}

// A controller that only notes the tabs it is asked to show.
struct TabController : EngineController {
    std::vector<std::pair<std::string, int>>* tabs;
    explicit TabController(std::vector<std::pair<std::string, int>>* t) : tabs(t) {}
    void loadDevice(const std::string&) override {}
    void connect(enHIDType, const std::string&) override {}
    bool isConnected() override { return true; }
    void disconnect() override {}
    void update() override {}
    std::string getDeviceName() override { return "pad"; }
    void selectTab(const std::string& tab, int deck) override { tabs->emplace_back(tab, deck); }
};

} // namespace

TEST(SkinEvents, DispatchByActionAndDeck) {
    UiFixture f;
    TestObject rec(VALUE_CUEREC);
    f.ui->handleMouseClick(rec.get(), 0, 0, ACTION_NONE, 1, 0, nullptr, 0, false);
    press(*f.ui, rec.get(), 0, ACTION_RESET); // a reset on a button belongs to the base
    EXPECT_FALSE(f.deck(0)->cueStoreArmed);
    for (int player : {-1, 4}) {
        rec->player = player;
        press(*f.ui, rec.get(), 3);
        EXPECT_TRUE(f.deck(3)->cueStoreArmed) << player;
        press(*f.ui, rec.get(), 3);
    }
    rec->player = 2;
    press(*f.ui, rec.get(), 0);
    EXPECT_TRUE(f.deck(2)->cueStoreArmed);
    EXPECT_FALSE(f.deck(0)->cueStoreArmed);
    // "play" is a name without an action.
    TestObject play(VALUE_PLAY);
    press(*f.ui, play.get(), 0);
    EXPECT_FALSE(playing(f.deck(0)));
}

TEST(SkinEvents, CueRecordAndDeleteModes) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    TestObject rec(VALUE_CUEREC), del(VALUE_CUEDEL), cue3(VALUE_CUEPOINT, "3");
    press(*f.ui, del.get(), 0);
    press(*f.ui, rec.get(), 0);
    EXPECT_TRUE(p->cueStoreArmed);
    EXPECT_FALSE(p->cueDeleteArmed);

    p->setPosition(12000);
    press(*f.ui, cue3.get(), 0);
    EXPECT_NEAR(p->getCuePoint(3), 12000, 1);
    EXPECT_NEAR(p->cuePoint, 12000, 1);
    EXPECT_FALSE(p->cueStoreArmed);

    for (const char* ignored : {"0", "101", ""}) {
        TestObject other(VALUE_CUEPOINT, ignored);
        press(*f.ui, rec.get(), 0);
        press(*f.ui, other.get(), 0);
        EXPECT_TRUE(p->cueStoreArmed) << ignored; // nothing used the mode
        press(*f.ui, rec.get(), 0);
    }

    // A stopped deck jumps to the memory cue and starts playing.
    p->setPosition(30000);
    press(*f.ui, cue3.get(), 0);
    EXPECT_NEAR(p->getPosition(), 12000, 50);
    EXPECT_TRUE(playing(p));

    press(*f.ui, del.get(), 0);
    press(*f.ui, cue3.get(), 0);
    EXPECT_EQ(p->getCuePoint(3), 0.0);
    EXPECT_FALSE(p->cueDeleteArmed);
}

TEST(SkinEvents, LoopButtons) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    TestObject four(VALUE_LOOP, "4"), nearlyFour(VALUE_LOOP, "4.04"), eight(VALUE_LOOP, "8"), plain(VALUE_LOOP);
    p->setPosition(5000);
    press(*f.ui, four.get(), 0);
    ASSERT_TRUE(p->loopIsStarted());
    EXPECT_NEAR(p->loopGetLength(), 4.0, 1e-9);
    press(*f.ui, nearlyFour.get(), 0);
    EXPECT_FALSE(p->loopIsStarted());
    press(*f.ui, four.get(), 0);
    press(*f.ui, eight.get(), 0);
    EXPECT_TRUE(p->loopIsStarted());
    EXPECT_NEAR(p->loopGetLength(), 8.0, 1e-9);
    std::string eightBeats = "8";
    EXPECT_TRUE(f.ui->getValueBool(VALUE_LOOP, &eightBeats, 0, nullptr));
    std::string fourBeats = "4";
    EXPECT_FALSE(f.ui->getValueBool(VALUE_LOOP, &fourBeats, 0, nullptr));

    // A factor of 0 or below, or none, leaves the length.
    for (const char* factor : {"0", "-2", "", "x"}) {
        TestObject multiply(VALUE_LOOPLENGTH_MULTIPLY, factor);
        press(*f.ui, multiply.get(), 0);
        EXPECT_NEAR(p->loopGetLength(), 8.0, 1e-9) << factor;
    }
    press(*f.ui, plain.get(), 0);
    EXPECT_FALSE(p->loopIsStarted());
}

TEST(SkinEvents, StoredLoopsAndTheLoopOut) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    TestObject rec(VALUE_CUEREC), del(VALUE_CUEDEL), store(VALUE_LOOP_STORE, "2"), retrieve(VALUE_LOOP_RETRIEVE, "2");
    TestObject start(VALUE_LOOP, "4"), in(VALUE_LOOP_SETIN), out(VALUE_LOOP_SETOUT), exit(VALUE_LOOP_SETOUT, "exit");
    p->setPosition(4000);
    press(*f.ui, start.get(), 0);
    press(*f.ui, store.get(), 0);
    EXPECT_NEAR(p->getLoopIn(2), 4000, 1);
    EXPECT_NEAR(p->getLoopOut(2), 6000, 1); // four beats at 120 BPM
    EXPECT_TRUE(f.ui->getValueBool(VALUE_LOOP_RETRIEVEACTIVE, &store->valueSpecifier, 0, nullptr));

    press(*f.ui, exit.get(), 0); // "exit" leaves a playing loop
    EXPECT_FALSE(p->loopIsStarted());
    p->setPosition(30000);
    press(*f.ui, retrieve.get(), 0);
    EXPECT_TRUE(p->loopIsStarted());
    EXPECT_NEAR(p->getPosition(), 4000, 1);

    // A loop set by hand: in, then out further on.
    press(*f.ui, exit.get(), 0);
    p->setPosition(10000);
    press(*f.ui, in.get(), 0);
    EXPECT_TRUE(f.ui->getValueBool(VALUE_LOOP_SETIN, nullptr, 0, nullptr));
    p->setPosition(11000);
    press(*f.ui, out.get(), 0);
    EXPECT_TRUE(p->loopIsStarted());
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_LOOP_MOVE, nullptr, 0), 10000, 1);

    // With the record mode a retrieve button stores; with the delete mode it empties the slot.
    press(*f.ui, rec.get(), 0);
    press(*f.ui, retrieve.get(), 0);
    EXPECT_NEAR(p->getLoopIn(2), 10000, 1);
    EXPECT_FALSE(p->cueStoreArmed);
    press(*f.ui, del.get(), 0);
    press(*f.ui, retrieve.get(), 0);
    EXPECT_EQ(p->getLoopIn(2), 0.0);
    EXPECT_FALSE(f.ui->getValueBool(VALUE_LOOP_STORE, &store->valueSpecifier, 0, nullptr));
}

TEST(SkinEvents, PitchButtonsBendsAndTheDiscDrag) {
    UiFixture f;
    TarlumePlayer* p = f.deck(1);
    TestObject up(VALUE_PITCH_UP), upOne(VALUE_PITCH_UP, "1"), bend(VALUE_PITCHBEND_DOWN), reverse(VALUE_PITCH_REVERSE);
    press(*f.ui, up.get(), 1);
    EXPECT_NEAR(p->getPitch(true), 1.001, 1e-9);
    press(*f.ui, upOne.get(), 1);
    EXPECT_NEAR(p->getPitch(true), 1.011, 1e-9);
    for (int i = 0; i < 10; ++i) // the steps stop at the end of the 8 % range
        press(*f.ui, upOne.get(), 1);
    EXPECT_NEAR(p->getPitch(true), 1.08, 1e-9);
    p->setPitch(1.0, true);

    press(*f.ui, bend.get(), 1);
    EXPECT_EQ(p->pitchMode, PITCHMODE_BEND);
    EXPECT_EQ(p->pitchModeA, -1.5);
    release(*f.ui, bend.get(), 1);
    EXPECT_EQ(p->pitchMode, PITCHMODE_NORMAL);

    press(*f.ui, reverse.get(), 1);
    EXPECT_EQ(p->pitchMode, PITCHMODE_REVERSE);
    press(*f.ui, reverse.get(), 1);
    EXPECT_EQ(p->pitchMode, PITCHMODE_NORMAL);

    TestObject disc(VALUE_DISC, "", OBJECT_SPECIAL);
    press(*f.ui, disc.get(), 1, ACTION_BEND);
    EXPECT_EQ(p->pitchMode, PITCHMODE_BEND);
    f.ui->handleMouseMove(disc.get(), 0, 90, 0, 100, ACTION_BEND, 1, 0, nullptr, 1);
    f.ui->handleMouseMove(disc.get(), 0, 70, 0, 90, ACTION_BEND, 1, 0, nullptr, 1);
    EXPECT_NEAR(p->pitchModeA, 3.0, 1e-9); // drag up: 1, then 2 more
    release(*f.ui, disc.get(), 1, ACTION_BEND);
    EXPECT_EQ(p->pitchMode, PITCHMODE_NORMAL);
    press(*f.ui, disc.get(), 1); // the default action does not bend
    EXPECT_EQ(p->pitchMode, PITCHMODE_NORMAL);
}

TEST(SkinEvents, JogWheelBranches) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    f.ui->handleJogWheel(VALUE_PITCHBEND_UP, nullptr, 0, 0.3, 5.0, 0);
    EXPECT_EQ(p->pitchMode, PITCHMODE_FOLLOW);
    EXPECT_EQ(p->pitchModeA, 0.3); // the factor does not count on a stopped deck
    EXPECT_EQ(p->pitchModeB, 1.0);
    EXPECT_EQ(p->pitchModeC, 1.0);

    // That follow started the deck; ending it stops the deck again.
    p->setPitchMode(PITCHMODE_NORMAL, 0, 0, 0);
    ASSERT_FALSE(playing(p));
    p->playPause();
    ASSERT_TRUE(playing(p));
    p->setPitchMode(PITCHMODE_FOLLOW, 0, 7.0, 9.0);
    f.ui->handleJogWheel(VALUE_PITCHBEND_DOWN, nullptr, 0, -0.2, 1.0, 0);
    EXPECT_EQ(p->pitchModeA, -0.2);
    EXPECT_EQ(p->pitchModeB, 7.0);
    EXPECT_EQ(p->pitchModeC, 9.0);

    p->setPitchMode(PITCHMODE_NORMAL, 0, 0, 0);
    f.ui->handleJogWheel(VALUE_PITCHBEND_UP, nullptr, 0, 0.5, 0.0, 0); // factor 0 counts as 1
    EXPECT_EQ(p->pitchMode, PITCHMODE_BEND);
    EXPECT_EQ(p->pitchModeB, 150.0);
    EXPECT_EQ(p->pitchModeC, 0.0);

    // A touched wheel follows the hand.
    std::string touch = "touch";
    p->setPitchMode(PITCHMODE_NORMAL, 0, 0, 0);
    TestObject touched(VALUE_JOGWHEELTOUCH);
    press(*f.ui, touched.get(), 0);
    EXPECT_TRUE(p->jogTouched);
    f.ui->handleJogWheel(VALUE_PITCH, &touch, 0, 0.5, 2.0, 0);
    EXPECT_EQ(p->pitchMode, PITCHMODE_FOLLOW);
    EXPECT_EQ(p->pitchModeA, 1.0);
    EXPECT_EQ(p->pitchModeB, 0.0);
    EXPECT_EQ(p->pitchModeC, 0.0);

    release(*f.ui, touched.get(), 0);
    EXPECT_FALSE(p->jogTouched);

    // "pitch" with "pitch" turns the pitch value itself.
    std::string pitch = "pitch";
    p->setPitchMode(PITCHMODE_NORMAL, 0, 0, 0);
    p->setPitch(1.0, true);
    f.ui->handleJogWheel(VALUE_PITCH, &pitch, 0, 0.5, 2.0, 0);
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_PITCH, nullptr, 0), 1.0, 1e-9);
    f.ui->handleJogWheel(VALUE_PITCH, &pitch, 0, -64, 2.0, 0); // held at the end of the range
    EXPECT_NEAR(f.ui->getValueDbl(VALUE_PITCH, nullptr, 0), -8.0, 1e-9);
    // A value in percent turns as far as the wheel goes: it has no slider's range of 0 to 1.
    f.ui->handleJogWheel(VALUE_PITCHRANGE, nullptr, 0, 1, 2.0, 0);
    EXPECT_EQ(p->pitchRange, 10.0);
}

TEST(SkinEvents, SeekByWholeBars) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    struct Case {
        int value;
        const char* spec;
        bool released;
        double moved; // ms
    };
    const Case cases[] = {{VALUE_SEEKFWD, "2|8", false, 8000},  {VALUE_SEEKBCK, "2|8", false, -8000},
                          {VALUE_SEEKFWD, "2|1", false, 0},     {VALUE_SEEKFWD, "1|8", false, 0},
                          {VALUE_SEEKFWD, "2|8", true, 0},      {VALUE_SEEKFWD, "", false, 0},
                          {VALUE_SEEKFWD, "2|9.9", false, 8000}};
    for (const Case& c : cases) {
        p->setPosition(20000);
        TestObject seek(c.value, c.spec);
        f.ui->handleMouseClick(seek.get(), 0, 0, ACTION_DEFAULT, 1, 0, nullptr, 0, c.released);
        EXPECT_NEAR(p->getPosition(), 20000 + c.moved, 1) << c.spec;
    }
}

TEST(SkinEvents, WholeTrackWaveformClickMovesByTwoBeatSteps) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    TestObject wave(VALUE_WAVEFORMCOMPLETE, "", OBJECT_SPECIAL);
    wave->rect->left = 10;
    wave->rect->top = 5;
    wave->rect->width = 200;
    wave->rect->height = 20;
    // The track is 2646000 frames; at 120 BPM two beats are 44100 frames.
    struct Case {
        float x, y;
        int vertical;
        int steps;
    };
    const Case cases[] = {
        {210, 0, 0, 57}, // the end, less than two beats short of it
        {110, 0, 0, 27}, // the middle
        {900, 0, 0, 57}, // a release past the object means its end
        {-50, 0, 0, -2}, // and before it the start
        {0, 15, 1, 27},  // a vertical object by y
    };
    for (const Case& c : cases) {
        p->setParam(PLAYERPARAM_POSITION, 100000);
        wave->rect->vertical = c.vertical;
        f.ui->handleMouseClick(wave.get(), c.x, c.y, ACTION_DEFAULT, 1, 0, nullptr, 0, true);
        EXPECT_EQ(p->getParam(PLAYERPARAM_POSITION), 100000 + 44100.0 * c.steps) << c.x;
    }
    p->setParam(PLAYERPARAM_POSITION, 100000);
    wave->rect->vertical = 0;
    wave->rect->width = 0;
    f.ui->handleMouseClick(wave.get(), 50, 0, ACTION_DEFAULT, 1, 0, nullptr, 0, true);
    EXPECT_EQ(p->getParam(PLAYERPARAM_POSITION), 100000);
}

TEST(SkinEvents, MixerButtons) {
    UiFixture f;
    TestObject exclusive(VALUE_CROSSFADERSELECTION, "left_exclusive");
    f.deck(3)->setCrossfaderSide(CROSSFADER_LEFT);
    press(*f.ui, exclusive.get(), 2);
    int left = 0;
    for (int d = 0; d < 4; ++d)
        left += f.deck(d)->getCrossfaderSide() == CROSSFADER_LEFT;
    EXPECT_EQ(left, 1);
    EXPECT_EQ(f.deck(2)->getCrossfaderSide(), CROSSFADER_LEFT);

    // The cue button toggles the deck's cue; it lights through the base's reading of its number.
    TestObject cue(VALUE_VOLUME_CUE);
    press(*f.ui, cue.get(), 3);
    EXPECT_TRUE(f.ui->getValueBool(VALUE_VOLUME_CUE, nullptr, 3, nullptr));
    press(*f.ui, cue.get(), 3);
    EXPECT_FALSE(f.ui->getValueBool(VALUE_VOLUME_CUE, nullptr, 3, nullptr));

    // Crossfader curves: only the four that exist.
    TestObject type(VALUE_CROSSFADERTYPE, "2", OBJECT_SPECIAL);
    press(*f.ui, type.get(), 0);
    EXPECT_EQ(f.engine->crossfaderType, 2);
    for (const char* refused : {"7", "-1", "", "1.5"}) {
        TestObject other(VALUE_CROSSFADERTYPE, refused, OBJECT_SPECIAL);
        press(*f.ui, other.get(), 0);
        EXPECT_EQ(f.engine->crossfaderType, 2) << refused;
    }

    // Key lock keeps the pitch the deck plays at (1.0 when stopped).
    TarlumePlayer* p = f.deck(1);
    p->setPitch(1.04, true);
    TestObject keyLock(VALUE_EFFECTONOFF, "TempoControl");
    press(*f.ui, keyLock.get(), 1);
    EXPECT_TRUE(p->tempoControl);
    EXPECT_EQ(p->tempoControlTempo, 1.0);
    EXPECT_EQ(keyLock->valueSpecifier, "TempoControl");
    press(*f.ui, keyLock.get(), 1);
    EXPECT_FALSE(p->tempoControl);

    TestObject kill(VALUE_EFFECT, "eq_mid_kill"), echo(VALUE_EFFECT, " echo_echo | 0.5 ");
    press(*f.ui, kill.get(), 1);
    EXPECT_EQ(p->effects->getParameter(EFFECT_EQ_KILLS, 5, 0), 1.0);
    std::string midKill = "eq_mid_kill";
    EXPECT_TRUE(f.ui->getValueBool(VALUE_EFFECT, &midKill, 1, nullptr));
    press(*f.ui, echo.get(), 1);
    EXPECT_NEAR(p->effects->getParameter(EFFECT_ECHO, 2, 0), 0.5, 1e-6);

    TestObject filter(VALUE_EFFECTONOFF, "Filter");
    bool before = p->effects->getEffectState(EFFECT_FILTER) > 0;
    press(*f.ui, filter.get(), 1);
    EXPECT_NE(p->effects->getEffectState(EFFECT_FILTER) > 0, before);
    std::string filterName = "FILTER";
    EXPECT_EQ(f.ui->getValueBool(VALUE_EFFECTONOFF, &filterName, 1, nullptr), !before);
}

TEST(SkinEvents, KeyLockOnAPlayingDeckKeepsItsPitch) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    p->setPitch(1.04, true);
    p->playPause();
    TestObject keyLock(VALUE_EFFECTONOFF, "tempocontrol");
    press(*f.ui, keyLock.get(), 0);
    EXPECT_NEAR(p->tempoControlTempo, p->getPitch(true), 1e-9);
}

// Every keyboard command, pressed and released alone, each from the same state: deck 0 at 11 s with the click
// track, pitch 1 and no loop-in mark, the crossfader heading to a quarter, the file list (three tracks, the second
// selected) taking the keys.
TEST(SkinEvents, KeyboardCommands) {
    UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* p = f.deck(0);
    SkinRect rect;
    rect.width = 200;
    rect.height = 100;
    SkinListBox files(f.ui.get(), &rect, nullptr), playlist(f.ui.get(), &rect, nullptr),
        folders(f.ui.get(), &rect, nullptr);
    files.setColumns({"Text", "FileName"});
    std::vector<SkinListItem*> rows;
    for (const char* name : {"a", "b", "c"})
        rows.push_back(files.addRow({name, clickTrack()}));
    f.engine->fileList[0] = &files;
    f.engine->playlistList[0] = &playlist;
    f.engine->folderList[0] = &folders;

    auto pitch = [&] { return p->getPitch(true); };
    auto loopInLit = [&] { return double(f.ui->getValueBool(VALUE_LOOP_SETIN, nullptr, 0, nullptr)); };
    auto looping = [&] { return double(p->loopIsStarted()); };
    auto crossfader = [&] { return f.engine->getCrossfader(true); };
    auto selectedRow = [&] {
        return double(std::find(rows.begin(), rows.end(), files.getSelectedItem(0)) - rows.begin());
    };
    auto activeList = [&] {
        return double(f.engine->activeList == &playlist ? 1 : f.engine->activeList == &folders ? 2 : 0);
    };
    auto loaded = [&](int deck) {
        return [&f, deck] {
            testsupport::finishLoads(f.engine.get());
            return double(f.deck(deck)->tag != nullptr);
        };
    };
    struct Key {
        const char* specifier;
        int deck;
        std::function<double()> seen;
        double afterPress;
        bool onReleaseToo;             // else a release alone changes nothing
        std::function<void()> prepare; // beyond the common state
    } keys[] = {
        {"pitch_up", 0, pitch, 1.001, false, {}},
        {"pitch_down 2", 0, pitch, 0.98, false, {}},
        {"loop_setin", 0, loopInLit, 1, false, {}},
        {"loop_setout", 0, looping, 1, false,
         [&] {
             p->setPosition(10000);
             p->loopSetIn();
             p->setPosition(11000);
         }},
        {"fade_right_full", 0, crossfader, 1.0, true, {}},
        {"fade_left_full", 0, crossfader, 0.0, true, {}},
        {"fade_center", 0, crossfader, 0.5, true, {}},
        {"pl_active_scrolldown", 0, selectedRow, 2, false, {}},
        {"pl_active_scrollup", 0, selectedRow, 0, false, {}},
        {"pl_active_switch", 0, activeList, 1, false, {}},
        {"pl_active_load", 1, loaded(1), 1, false, {}},
        {"pl_active_select", 2, loaded(2), 1, false, {}},
        {"pitch_sideways", 0, pitch, 1.0, false, {}}, // not a command
    };
    for (const Key& key : keys) {
        SCOPED_TRACE(key.specifier);
        TestObject object(VALUE_KEYBOARD, key.specifier);
        auto reset = [&] {
            p->setPitch(1.0, true);
            p->loopStop();
            p->loopInMark = -1.0;
            p->setPosition(11000);
            f.engine->setCrossfader(0.25, true);
            files.selectItem(rows[1], false);
            f.engine->activeList = &files;
            if (key.prepare) key.prepare();
        };
        reset();
        const double before = key.seen();
        release(*f.ui, object.get(), key.deck);
        EXPECT_NEAR(key.seen(), key.onReleaseToo ? key.afterPress : before, 1e-9) << "released";
        reset();
        press(*f.ui, object.get(), key.deck);
        EXPECT_NEAR(key.seen(), key.afterPress, 1e-9) << "pressed";
    }
    f.engine->fileList[0] = f.engine->playlistList[0] = f.engine->folderList[0] = nullptr;
    f.engine->activeList = nullptr;
}

// A track chosen with the mouse alone loads too: with no list active yet, the file list becomes it, also in a
// skin without a playlist list, whose folder list would come next when cycling.
TEST(SkinEvents, ActiveListLoadsTheSelectedFile) {
    UiFixture f;
    if (clickTrack().empty()) {
        TARLUME_MISSING_COMPONENT() << "sox missing";
    }
    SkinRect rect;
    rect.width = 200;
    rect.height = 100;
    SkinListBox list(f.ui.get(), &rect, nullptr);
    list.setColumns({"Text", "FileName"});
    list.selectItem(list.addRow({"click", clickTrack()}), false);
    TestObject load(VALUE_KEYBOARD, "pl_active_load");
    SkinListBox folders(f.ui.get(), &rect, nullptr);
    folders.setColumns({"Text", "Path"});
    folders.selectItem(folders.addRow({"data", f.data.path}), false);
    f.engine->fileList[0] = &list;
    f.engine->folderList[0] = &folders;
    const std::string folderBefore = f.engine->currentFolder[0];
    press(*f.ui, load.get(), 2);
    testsupport::finishLoads(f.engine.get());
    EXPECT_NE(f.deck(2)->tag, nullptr);
    EXPECT_EQ(f.engine->activeList, &list);
    EXPECT_EQ(f.engine->currentFolder[0], folderBefore);

    f.engine->fileList[0] = nullptr;
    f.engine->folderList[0] = nullptr;
    f.engine->activeList = nullptr;
}

TEST(SkinEvents, TabAndWindowButtons) {
    UiFixture f;
    std::vector<std::pair<std::string, int>> tabs;
    f.engine->controllers.emplace_back(new TabController(&tabs));
    TestObject tab(VALUE_TABSELECT, "fx_more");
    f.ui->handleMouseClick(tab.get(), 0, 0, ACTION_DEFAULT, 1, 0, f.window("fx"), 2, false);
    ASSERT_EQ(tabs.size(), 1u);
    EXPECT_EQ(tabs[0], std::make_pair(std::string("fx_more"), 2));
    EXPECT_EQ(f.window("fx")->tabGroups[1]->getCurTab(2), 1);
    f.engine->controllers.clear();

    TestObject showPl(VALUE_BUTTON_SHOWPL), showDeck(VALUE_BUTTON_SHOWDECK, "3"), showFx(VALUE_BUTTON_SHOWFX);
    press(*f.ui, showPl.get(), 1);
    EXPECT_TRUE(f.shown("playlist", 1));
    EXPECT_TRUE(f.ui->getValueBool(VALUE_BUTTON_SHOWPL, nullptr, 1, nullptr));
    press(*f.ui, showDeck.get(), 0);
    EXPECT_TRUE(f.shown("player", 3));
    EXPECT_FALSE(f.shown("player", 0));
    EXPECT_TRUE(f.ui->getValueBool(VALUE_BUTTON_SHOWDECK, &showDeck->valueSpecifier, 0, nullptr));

    // The effects of every deck with a player window appear together, and vanish together.
    press(*f.ui, showDeck.get(), 0);
    TestObject deck0(VALUE_BUTTON_SHOWDECK, "0"), deck2(VALUE_BUTTON_SHOWDECK, "2");
    press(*f.ui, deck0.get(), 0);
    press(*f.ui, deck2.get(), 0);
    press(*f.ui, showFx.get(), 1);
    for (int d = 0; d < 4; ++d)
        EXPECT_EQ(f.shown("fx", d), d == 0 || d == 2) << d;
    press(*f.ui, showFx.get(), 1);
    for (int d = 0; d < 4; ++d)
        EXPECT_FALSE(f.shown("fx", d)) << d;
}
