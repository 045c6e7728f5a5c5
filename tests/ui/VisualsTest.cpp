// The visuals drawn from engine state: primitives recorded by a subclass (no GL) over decks whose
// players are fakes with scripted parameters, and one frame of a deck playing the click track drawn
// with headless OpenGL and read back.
#include "UiTestSupport.h"

#include "analysis/WaveForm.h"
#include "audio/effects/EffectGroup.h"
#include "audio/player/Player.h"
#include "foundation/Picture.h"
#include "library/tagcache/SQLDatabase.h"
#include "library/tagcache/TagCache.h"
#include "library/tags/CID3v2Tag.h"
#include "platform/GLPrimitives.h"
#include "skin/SkinListBox.h"
#include "support/HeadlessGL.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <utime.h>
#include <vector>

namespace {

using uitest::TestObject;

// A player whose parameters are scripted: values by id, stripes (10, 40 to 42) by a function of the
// id and index. It remembers every id read.
struct FakePlayer : Player {
    std::map<int, double> values;
    std::function<double(int, int)> stripe;
    bool streaming = false;
    std::set<int> reads;
    double getParameter(int id, int index) override {
        reads.insert(id);
        if (id == PLAYERPARAM_STRIPE || (id >= PLAYERPARAM_DETAILEDSTRIPEAT0 && id <= PLAYERPARAM_DETAILEDSTRIPEAT2))
            return stripe ? stripe(id, index) : 0.0;
        auto it = values.find(id);
        return it == values.end() ? 0.0 : it->second;
    }
    bool isStreaming() override { return streaming; }
};

struct Fill {
    int x1, y1, x2, y2;
    unsigned colour;
    int transparency; // -1 opaque
};
struct Line {
    int x1, y1, x2, y2;
    unsigned colour;
    float fade;
};

// Records the primitives instead of drawing.
struct RecordingUi : TarlumeSkinInterface {
    using TarlumeSkinInterface::TarlumeSkinInterface;
    std::vector<Fill> fills;
    std::vector<Line> lines;
    std::vector<void*> blits;
    std::vector<double> knobs;
    void clear() {
        fills.clear();
        lines.clear();
        blits.clear();
        knobs.clear();
    }
    void fillRectangleBegin(void*, bool) override {}
    void fillRectangleEnd(void*, bool) override {}
    void drawLineBegin(void*, float) override {}
    void drawLineEnd(void*) override {}
    void fillRectangle(void*, int x1, int y1, int x2, int y2, unsigned c) override {
        fills.push_back({x1, y1, x2, y2, c, -1});
    }
    void fillTransparent(void*, int x1, int y1, int x2, int y2, unsigned c, int t) override {
        fills.push_back({x1, y1, x2, y2, c, t});
    }
    void drawLine(void*, int x1, int y1, int x2, int y2, float, unsigned c, float fade) override {
        lines.push_back({x1, y1, x2, y2, c, fade});
    }
    void bitblt(void*, int, int, int, int, void* src, int, int) override { blits.push_back(src); }
    void drawObjectKnob(void*, SkinObject*, int, int, double relative) override { knobs.push_back(relative); }
    // The opaque one-column bars (not the marker and shades).
    std::vector<Fill> bars() const {
        std::vector<Fill> out;
        for (const Fill& f : fills)
            if (f.transparency < 0 && f.x2 - f.x1 == 1) out.push_back(f);
        return out;
    }
};

struct VisualsFixture : ::testing::Test {
    testsupport::TempDir data{"visuals"};
    uitest::EnvScope xdg{"XDG_DATA_HOME", data.path};
    uitest::EnvScope home{"HOME", data.path};
    std::unique_ptr<Tarlume> engine = std::make_unique<Tarlume>();
    RecordingUi ui{engine.get()};
    FakePlayer* fakes[4] = {};

    ~VisualsFixture() override {
        for (int d = 0; d < 4; ++d) {
            if (fakes[d]) engine->players[d]->player = nullptr;
            delete fakes[d];
        }
    }
    // Deck d plays a fake: 44100 Hz, 60 s, 40 detailed stripes per second, every stripe 0.5.
    FakePlayer& fake(int d) {
        auto* p = new FakePlayer;
        p->values = {{PLAYERPARAM_FILERATE, 44100},
                     {PLAYERPARAM_LENGTH, 60 * 44100.0},
                     {PLAYERPARAM_LOADED, 60 * 44100.0},
                     {PLAYERPARAM_DETAILEDSTRIPERATE, 40},
                     {PLAYERPARAM_SPEED, 1}};
        p->stripe = [](int, int) { return 0.5; };
        fakes[d] = p;
        engine->players[d]->player = p;
        return *p;
    }
    static void place(SkinObject* o, float left, float top, float width, float height) {
        SkinRect* r = o->rect.get();
        r->left = left, r->top = top, r->width = width, r->height = height;
        r->right = left + width, r->bottom = top + height;
        r->vertical = width <= height ? 1 : 0;
    }
    void draw(TestObject& o, int layer = 0) { ui.drawObject(nullptr, o.get(), layer, nullptr); }
};

// A "special" object with colours 1 to 3 set.
struct Special : TestObject {
    explicit Special(int value, const std::string& spec = "", int drawType = 0)
        : TestObject(value, spec, OBJECT_SPECIAL) {
        object.drawType = drawType;
        object.colors[0] = 0x00FF00;
        object.colors[1] = 0x0000FF;
        object.colors[2] = 0xFF0000;
    }
};

bool finiteAndNear(const std::vector<Fill>& fills, const std::vector<Line>& lines) {
    auto ok = [](int v) { return std::abs(v) < 100000; };
    for (const Fill& f : fills)
        if (!ok(f.x1) || !ok(f.x2) || !ok(f.y1) || !ok(f.y2)) return false;
    for (const Line& l : lines)
        if (!ok(l.x1) || !ok(l.x2) || !ok(l.y1) || !ok(l.y2)) return false;
    return true;
}

TEST_F(VisualsFixture, ScrollingWaveformPicksTheStripeGradeByStripesPerPixel) {
    FakePlayer& p = fake(0);
    Special o(VALUE_WAVEFORMLOCAL);
    place(o.get(), 10, 20, 400, 60);
    p.values[PLAYERPARAM_POSITION] = 50 * 44100.0; // every column inside the track at every zoom
    const struct {
        double zoom, p20;
        int param;
    } cases[] = {{40, 40, PLAYERPARAM_DETAILEDSTRIPEAT0},
                 {10, 40, PLAYERPARAM_DETAILEDSTRIPEAT1},
                 {5, 40, PLAYERPARAM_DETAILEDSTRIPEAT2}};
    for (const auto& c : cases) {
        engine->waveformZoom = c.zoom;
        p.values[PLAYERPARAM_DETAILEDSTRIPERATE] = c.p20;
        p.reads.clear();
        ui.clear();
        draw(o);
        for (int id = PLAYERPARAM_DETAILEDSTRIPEAT0; id <= PLAYERPARAM_DETAILEDSTRIPEAT2; ++id)
            EXPECT_EQ(p.reads.count(id), id == c.param ? 1u : 0u) << "zoom " << c.zoom << " parameter " << id;
        // One bar per column, centred, of half height 0.5 x 30 pixels.
        std::vector<Fill> bars = ui.bars();
        ASSERT_GE(bars.size(), 400u);
        EXPECT_EQ(bars[0].x1, 10);
        EXPECT_EQ(bars[0].y1, 20 + 30 - 15);
        EXPECT_EQ(bars[0].y2, 20 + 30 + 15);
    }
}

TEST_F(VisualsFixture, CircularWaveformTurnsOnceIn1Point8SecondsFor33) {
    FakePlayer& p = fake(0);
    Special o(VALUE_WAVEFORMLOCAL, "33", 5);
    place(o.get(), 0, 0, 100, 80);
    p.stripe = [](int, int) { return 0.0; }; // spokes at radius 0.7 exactly
    auto firstSpoke = [&](double seconds) {
        p.values[PLAYERPARAM_POSITION] = seconds * 44100;
        ui.clear();
        draw(o);
        EXPECT_EQ(ui.lines.size(), 500u); // 5 x the larger side
        return ui.lines.empty() ? Line{} : ui.lines[0];
    };
    Line start = firstSpoke(0);
    EXPECT_EQ(start.x1, 50 + 35); // angle 0: to the right of the centre at 0.7 of the half width
    EXPECT_EQ(start.y1, 40);
    Line quarter = firstSpoke(0.45); // a quarter of 1.8 s: a quarter turn on
    EXPECT_NEAR(quarter.x1, 50, 1);
    EXPECT_NEAR(quarter.y1, 40 + 28, 1);
    Line turn = firstSpoke(1.8 * 3); // whole turns come back to the start
    EXPECT_EQ(turn.x1, start.x1);
    EXPECT_EQ(turn.y1, start.y1);
}

TEST_F(VisualsFixture, OverviewDarkensWhatIsNotLoadedUnlessTheDeckStreams) {
    FakePlayer& p = fake(0);
    Special o(VALUE_WAVEFORMCOMPLETE);
    place(o.get(), 0, 0, 300, 40);
    p.values[PLAYERPARAM_LOADED] = 30 * 44100.0; // half
    p.stripe = [](int id, int index) { return id == PLAYERPARAM_STRIPE && index < 150 ? 1.0 : 0.0; };
    for (bool streaming : {false, true}) {
        p.streaming = streaming;
        ui.clear();
        draw(o);
        std::vector<Fill> bars = ui.bars();
        ASSERT_GE(bars.size(), 300u);
        EXPECT_EQ(bars[10].colour, 0x00FF00u);
        EXPECT_EQ(bars[10].y2 - bars[10].y1, 40); // full height
        if (streaming) {
            EXPECT_EQ(bars[250].colour, 0x00FF00u);
            EXPECT_EQ(bars[250].y2 - bars[250].y1, 1); // no stripe yet: the thinnest bar
        } else {
            EXPECT_EQ(bars[250].colour, 0x007F00u);     // half way to black
            EXPECT_EQ(bars[250].y2 - bars[250].y1, 20); // a quarter of the height either side
        }
    }
}

TEST_F(VisualsFixture, OverviewMarksEveryMemoryCueWhateverTheSlotOrder) {
    FakePlayer& p = fake(0);
    Special o(VALUE_WAVEFORMCOMPLETE);
    place(o.get(), 0, 0, 600, 20);
    TarlumePlayer* deck = engine->players[0];
    deck->setCuePoint(1, 40000); // out of order, with an empty slot between
    deck->setCuePoint(3, 10000);
    p.values[PLAYERPARAM_POSITION] = 30 * 44100.0;
    draw(o);
    std::vector<int> white; // the cue columns (bars of the stripes' height, not the position line)
    for (const Fill& f : ui.bars())
        if (f.colour == 0xFFFFFF && f.y2 - f.y1 == 10) white.push_back(f.x1);
    ASSERT_EQ(white.size(), 2u);
    EXPECT_NEAR(white[0], 100, 1);
    EXPECT_NEAR(white[1], 400, 1);
}

TEST_F(VisualsFixture, InvertIsSetOnlyOnVerticalPitchSliders) {
    const struct {
        int value;
        float w, h;
        bool inverted;
    } cases[] = {{VALUE_PITCH, 20, 100, true},
                 {VALUE_PITCHTO, 20, 100, true},
                 {VALUE_PITCH, 100, 20, false},
                 {VALUE_CROSSFADER, 20, 100, false}};
    for (const auto& c : cases) {
        TestObject o(c.value, "", OBJECT_SLIDER);
        place(o.get(), 0, 0, c.w, c.h);
        draw(o);
        EXPECT_EQ(o->invert, c.inverted) << c.value << " " << c.w << "x" << c.h;
    }
}

TEST_F(VisualsFixture, CrossfaderCurveHighlightConverges) {
    Special o(VALUE_CROSSFADERTYPE, "2");
    place(o.get(), 0, 0, 40, 20);
    SkinObjectStateInfo* state = o->state(0);
    auto settle = [&](bool hover, int current) {
        state->hover = hover;
        engine->crossfaderType = current;
        for (int i = 0; i < 300; ++i)
            draw(o);
        return state->auxValue;
    };
    EXPECT_NEAR(settle(false, 2), 0.0, 0.01); // the current curve shows its frame
    EXPECT_NEAR(settle(true, 1), 0.8, 0.01);  // hovering another curve: a faint frame
    EXPECT_NEAR(settle(false, 1), 1.0, 0.01); // neither: hidden
    ui.clear();
    draw(o);
    EXPECT_EQ(ui.lines.size(), 2u * 39); // two curves, no frame
    engine->crossfaderType = 2;
    ui.clear();
    draw(o);
    ASSERT_EQ(ui.lines.size(), 2u * 39 + 4); // and the frame as it fades in
    EXPECT_EQ(ui.lines.back().colour, 0xC0C0C0u);
}

TEST_F(VisualsFixture, DiscAngleFollowsThePosition) {
    FakePlayer& p = fake(0);
    const struct {
        const char* spec;
        double ms, fraction;
    } cases[] = {{"33", 1000, 1000 / 1800.0}, {"33", 1800 + 450, 0.25}, {"45", 1400, 67 / (4000 / 3.0)}};
    for (const auto& c : cases) {
        Special o(VALUE_DISC, c.spec, 2);
        place(o.get(), 0, 0, 50, 50);
        p.values[PLAYERPARAM_POSITION] = c.ms * 44.1;
        ui.clear();
        draw(o);
        ASSERT_EQ(ui.knobs.size(), 1u);
        EXPECT_NEAR(ui.knobs[0], c.fraction, 1e-3) << c.spec << " at " << c.ms;
    }
}

TEST_F(VisualsFixture, CoverIsTakenAnewOnlyWhenTheTrackChanges) {
    testsupport::TempDir dir("visuals-cover");
    for (const char* name : {"a", "b"}) {
        std::string base = dir.path + "/" + name;
        if (std::system(("sox -n -r 44100 -c 2 " + base + ".wav trim 0 0.1 >/dev/null 2>&1 && convert -size 8x6 " +
                         "xc:red " + base + ".png >/dev/null 2>&1")
                            .c_str()) != 0)
            TARLUME_MISSING_COMPONENT() << "sox or convert missing";
    }
    TarlumePlayer* deck = engine->players[0];
    Special o(VALUE_SONGPICTURE);
    place(o.get(), 0, 0, 40, 40);
    auto tagOf = [&](const char* name) {
        auto* tag = new CID3v2Tag;
        tag->readFromFile(dir.path + "/" + name + ".wav");
        return tag;
    };
    deck->tag = tagOf("a");
    draw(o);
    SkinObjectStateInfo* state = o->state(0);
    ASSERT_TRUE(state->picture);
    EXPECT_EQ(state->picture->width, 8);
    ASSERT_EQ(ui.blits.size(), 1u);
    // A stand-in shows whether the next frames take the picture anew.
    CPicture* stand = new CPicture;
    stand->width = 3;
    delete state->picture;
    state->picture = stand;
    draw(o);
    EXPECT_EQ(state->picture, stand);
    delete deck->tag;
    deck->tag = tagOf("b");
    draw(o);
    EXPECT_NE(state->picture->width, 3);
    delete deck->tag;
    deck->tag = nullptr;
    draw(o);
    EXPECT_EQ(state->picture, nullptr);
}

TEST_F(VisualsFixture, BothWaveformsReadTheDecksTheSpecifierNames) {
    for (int d = 0; d < 4; ++d)
        fake(d);
    const struct {
        const char* spec;
        int objectDeck;
        int upper, lower;
    } cases[] = {{"", 3, 0, 1},    {"2|3", 0, 2, 3},         {"auto|0", 3, 3, 0},
                 {"7|2", 0, 0, 2}, {"xfade|xfade", 0, 0, 1}, {"xfade|xfade", 0, 2, 3}};
    int n = 0;
    for (const auto& c : cases) {
        if (++n == 5) // no deck on either side: the defaults
            for (int d = 0; d < 4; ++d)
                engine->players[d]->setCrossfaderSide(CROSSFADER_NONE);
        if (n == 6) {
            engine->players[2]->setCrossfaderSide(CROSSFADER_LEFT);
            engine->players[3]->setCrossfaderSide(CROSSFADER_RIGHT);
        }
        Special o(VALUE_BOTHWAVEFORMS, c.spec);
        o->player = c.objectDeck;
        place(o.get(), 0, 0, 200, 60);
        for (FakePlayer* f : fakes)
            f->reads.clear();
        draw(o);
        for (int d = 0; d < 4; ++d)
            EXPECT_EQ(fakes[d]->reads.count(PLAYERPARAM_POSITION), d == c.upper || d == c.lower ? 1u : 0u)
                << "\"" << c.spec << "\" deck " << d;
    }
}

TEST_F(VisualsFixture, DegenerateValuesDrawNothingOrStayFinite) {
    FakePlayer& p = fake(0);
    Special wave(VALUE_WAVEFORMLOCAL), round(VALUE_WAVEFORMLOCAL, "", 5), overview(VALUE_WAVEFORMCOMPLETE),
        both(VALUE_BOTHWAVEFORMS), curve(VALUE_CROSSFADERTYPE, "1");
    for (Special* o : {&wave, &round, &overview, &both})
        place(o->get(), 0, 0, 200, 50);
    place(curve.get(), 0, 0, 1, 20);
    const struct {
        int id;
        double value;
    } zeros[] = {{PLAYERPARAM_LENGTH, 0},
                 {PLAYERPARAM_FILERATE, 0},
                 {PLAYERPARAM_DETAILEDSTRIPERATE, 0},
                 {PLAYERPARAM_SPEED, 0}};
    for (const auto& z : zeros) {
        std::map<int, double> values = p.values;
        p.values[z.id] = z.value;
        for (Special* o : {&wave, &round, &overview, &both}) {
            ui.clear();
            draw(*o);
            EXPECT_TRUE(finiteAndNear(ui.fills, ui.lines)) << "parameter " << z.id << " object " << o->object.value;
            const bool empty = z.id == PLAYERPARAM_FILERATE             ? o != &both
                               : z.id == PLAYERPARAM_LENGTH             ? o == &overview
                               : z.id == PLAYERPARAM_DETAILEDSTRIPERATE ? o == &wave || o == &round
                                                                        : false;
            if (empty) {
                EXPECT_TRUE(ui.fills.empty() && ui.lines.empty()) << "parameter " << z.id;
            }
        }
        p.values = values;
    }
    engine->waveformZoom = 0;
    ui.clear();
    draw(wave);
    EXPECT_TRUE(ui.fills.empty());
    engine->waveformZoom = 40;
    // At the very start, half the view lies before the track; the beat walk starts at frame 0.
    p.values[PLAYERPARAM_POSITION] = 0;
    p.getWaveForm()->initStripes(44100, 60 * 44100.0);
    p.getWaveForm()->addBeat(22050, 999, 120, 1, false, true);
    ui.clear();
    draw(wave);
    draw(both);
    EXPECT_TRUE(finiteAndNear(ui.fills, ui.lines));
    EXPECT_LE(ui.lines.size(), 201u); // never more markers than columns (and the quarter line)
    ui.clear();
    draw(curve); // one pixel wide: no slope to draw
    EXPECT_TRUE(ui.lines.empty());
    EXPECT_TRUE(std::isfinite(curve->state(0)->auxValue));
}

TEST_F(VisualsFixture, ResponseCurveFollowsEveryParameterAndTheOnOffState) {
    Special o(VALUE_IMPULSERESPONSE);
    place(o.get(), 0, 0, 100, 40);
    EffectGroup* fx = engine->players[0]->effects;
    auto curve = [&]() {
        draw(o);
        const std::vector<double>& d = o->state(0)->auxData;
        return std::vector<double>(d.begin(), d.begin() + std::min<size_t>(d.size(), 512));
    };
    fx->setParameter(EFFECT_EQ_KILLS, 0, 0.1);  // low up
    fx->setParameter(EFFECT_EQ_KILLS, 3, -0.1); // mid down: the same sum as flat
    std::vector<double> tilted = curve();
    ASSERT_EQ(tilted.size(), 512u);
    fx->setParameter(EFFECT_EQ_KILLS, 0, 0.0);
    fx->setParameter(EFFECT_EQ_KILLS, 3, 0.0);
    std::vector<double> flat = curve();
    EXPECT_NE(flat, tilted);
    fx->setParameter(EFFECT_EQ_KILLS, 2, 1.0); // low killed
    std::vector<double> cut = curve();
    EXPECT_NE(cut, flat);
    fx->setEffectState(EFFECT_EQ, 0); // switched off: the kill no longer counts
    EXPECT_NE(curve(), cut);
}

// The file list shows its loading bar while the library reads the folder: the engine's per-frame
// update feeds it the progress (dirty only when it moved) and refills it once the folder is read. So too
// for a short search that another list's urgent request interrupted, which the library then drops.
TEST_F(VisualsFixture, FileListFollowsTheFolderLoadingAndRefillsWhenDone) {
    testsupport::TempDir music("visuals-music");
    for (const char* name : {"one", "two"})
        if (std::system(
                ("sox -n -r 44100 -c 2 " + music.path + "/" + name + ".wav trim 0 0.1 >/dev/null 2>&1").c_str()) != 0)
            TARLUME_MISSING_COMPONENT() << "sox missing";
    TestObject files(VALUE_FILES, "", OBJECT_LISTBOX, 0);
    SkinListBox* list = engine->getListBox(files.get(), files->rect.get(), 0);
    ASSERT_TRUE(list);
    auto follow = [&] {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (list->working && std::chrono::steady_clock::now() < until) {
            list->dirty = false;
            const double before = list->workingProgress;
            engine->updateBrowserLoading();
            if (list->working && list->workingProgress == before) {
                EXPECT_FALSE(list->dirty);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    engine->changeFolder(0, music.path + "/");
    follow();
    EXPECT_FALSE(list->working);
    EXPECT_EQ(list->getNbItems(), 2);

    // The search's load is held where it stores the track changed on disk, and interrupted there.
    TagCache* cache = engine->tagCache;
    ASSERT_TRUE(cache && cache->waitUntilIdle(30000));
    struct utimbuf old = {1000000000, 1000000000};
    ASSERT_EQ(utime((music.path + "/one.wav").c_str(), &old), 0);
    SQLDatabase* db = cache->getDatabase();
    db->beginTransaction();
    engine->changeFolder(0, "search:one");
    for (int i = 0; i < 30000 && db->getTransactionWaiters() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool held = db->getTransactionWaiters() > 0;
    cache->getFolder(music.path + "/elsewhere.m3u", true, true, false, false);
    db->commitTransaction();
    ASSERT_TRUE(held);
    follow();
    EXPECT_FALSE(list->working) << "the interrupted search is never read";
    EXPECT_EQ(list->getNbItems(), 1);
}

// One frame of a deck playing the click track under headless OpenGL: the scrolling waveform is
// tall at the clicks and low between them, the beat markers of the two-waveform view fall on the
// clicks, and the cover shows.
TEST(VisualsGL, ClickTrackWaveformAndBeatMarkers) {
    HeadlessGL gl;
    if (!gl.open(560, 220)) TARLUME_MISSING_COMPONENT() << "no headless OpenGL: " << gl.error();
    uitest::UiFixture f;
    UI_NEED_CLICK(f, 0);
    TarlumePlayer* deck = f.deck(0);
    // The first 12 s decoded and analysed.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (deck->getParam(PLAYERPARAM_LOADED) < 12 * 44100.0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    deck->player->getWaveForm()->addBeat(0, 999, 120, 1, false, true); // the user's beat on the first click
    f.ui->gl = GLPrimitives::immediate();
    f.engine->waveformZoom = 40;

    Special wave(VALUE_WAVEFORMLOCAL);
    VisualsFixture::place(wave.get(), 0, 0, 500, 100);
    wave->colors[3] = 0x000001;
    Special both(VALUE_BOTHWAVEFORMS);
    both->colors[0] = 0x004000;
    VisualsFixture::place(both.get(), 0, 110, 500, 100);
    // A red cover beside a track of the deck's record: the picture named like the audio file.
    testsupport::TempDir dir("visuals-gl");
    if (std::system(("sox -n -r 44100 -c 2 " + dir.path + "/c.wav trim 0 0.1 >/dev/null 2>&1 && convert -size 16x12 " +
                     "xc:red " + dir.path + "/c.png >/dev/null 2>&1")
                        .c_str()) != 0)
        TARLUME_MISSING_COMPONENT() << "convert missing";
    CID3v2Tag cover;
    cover.readFromFile(dir.path + "/c.wav");
    CID3v2Tag* own = deck->tag;
    deck->tag = &cover;
    Special picture(VALUE_SONGPICTURE);
    VisualsFixture::place(picture.get(), 520, 0, 40, 40);

    CPicture screen; // the layer drawn into: only its size counts for GL
    screen.width = gl.width();
    screen.height = gl.height();
    for (Special* o : {&wave, &both, &picture})
        f.ui->drawObject(&screen, o->get(), 0, nullptr);
    deck->tag = own;
    std::vector<unsigned char> px = gl.readPixels();
    auto lit = [&](int x, int y) {
        const unsigned char* p = &px[size_t(y * gl.width() + x) * 4];
        return p[0] + p[1] + p[2] > 150;
    };
    // Position 0 sits at column 250; a click every 0.5 s is every 20 columns after it.
    for (int click = 2; click <= 10; ++click) {
        const int x = 250 + 20 * click;
        EXPECT_TRUE(lit(x, 50 - 18)) << "no tall bar at the click of column " << x;
        EXPECT_FALSE(lit(x + 10, 50 - 18)) << "a tall bar between the clicks at column " << x + 10;
    }
    // The two-waveform view: position 0 at a quarter (125); 0.75 stripes a pixel, 20 stripes a beat.
    for (int beat = 1; beat <= 10; ++beat) {
        const int x = 125 + int(beat * 20 / 0.75);
        EXPECT_TRUE(lit(x, 112) || lit(x + 1, 112)) << "no marker at beat " << beat;
        EXPECT_FALSE(lit(x + 12, 112)) << "a marker between beats " << beat << " and " << beat + 1;
    }
    const unsigned char* red = &px[size_t(5 * gl.width() + 525) * 4];
    EXPECT_GT(red[2], 200);
    EXPECT_LT(red[1], 50);
    EXPECT_FALSE(lit(520 + 20, 20)) << "the cover is drawn at its own size";
}

} // namespace
