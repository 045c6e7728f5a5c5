// The shipped skins on a real engine: their pitch faders move the deck's speed, and the equaliser the
// skin sets up at start cuts each band on its own, as a DJ mixer's three-band equaliser does.
#include "UiTestSupport.h"

#include "audio/effects/EffectGroup.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"

#include <cmath>
#include <functional>

namespace {

const char* const shippedSkins[] = {"kolt-1280", "kolt-mini"};

struct ShippedSkin {
    testsupport::TempDir data{"shipped-skin"};
    uitest::EnvScope xdg{"XDG_DATA_HOME", data.path};
    uitest::EnvScope home{"HOME", data.path};
    std::unique_ptr<Tarlume> engine = std::make_unique<Tarlume>();
    std::unique_ptr<TarlumeSkinInterface> ui;
    std::unique_ptr<Skin> skin;

    explicit ShippedSkin(const std::string& name) {
        engine->setSamplerate(44100.0);
        ui = std::make_unique<TarlumeSkinInterface>(engine.get());
        skin = std::make_unique<Skin>(ui.get());
        engine->skin = skin.get();
        skin->loadSkin(std::string(TARLUME_SOURCE_DIR) + "/data/skins/" + name + ".xml");
    }
    ~ShippedSkin() {
        engine.reset(); // it reads the skin while it shuts down
        skin.reset();
    }

    // The first object of this type and value that deck `deck` shows, with its window and layer.
    struct Found {
        SkinObject* object = nullptr;
        SkinWindow* window = nullptr;
        int layer = 0;
    };
    Found find(int type, int value, int deck) {
        for (auto& w : skin->windows)
            for (int layer = 0; layer < 4; ++layer) {
                if (!w->layerState(layer)->visible) continue;
                for (auto& group : w->tabGroups)
                    for (auto& o : group->getTab(group->getCurTab(layer))->objects)
                        if (o->type == type && o->value == value && (o->player < 0 ? layer : o->player) == deck)
                            return {o.get(), w.get(), layer};
            }
        return {};
    }
};

// Level in dB of a steady tone of `hz` after the deck's effect chain.
double levelDb(EffectGroup* chain, double hz) {
    const int frames = 22050, settle = 11025;
    double sum = 0;
    for (int i = 0; i < frames; ++i) {
        float l = float(3000 * std::sin(2 * M_PI * hz * i / 44100.0)), r = l;
        chain->process(&l, &r);
        if (i >= settle) sum += double(l) * l;
    }
    return 10 * std::log10(sum / (frames - settle) / (3000.0 * 3000.0 / 2));
}

} // namespace

// A right click puts the pitch fader and the headphone knobs back where the program starts them.
TEST(ShippedSkinControls, PitchFaderDragsTheDecksSpeedAndRightClicksResetWhereTheProgramStarts) {
    for (const char* name : shippedSkins) {
        ShippedSkin s(name);
        for (int deck = 0; deck < 2; ++deck) {
            SCOPED_TRACE(std::string(name) + " deck " + std::to_string(deck + 1));
            auto fader = s.find(OBJECT_SLIDER, VALUE_PITCH, deck);
            ASSERT_NE(fader.object, nullptr) << "no pitch fader";
            const SkinRect* r = fader.object->rect.get();
            const float x = r->left + r->width / 2;
            for (float endY : {r->top - 20, r->bottom + 20}) {
                fader.window->mouseDown(x, r->top + r->height / 2, 1, 0, fader.layer);
                fader.window->mouseMove(x, endY, 1, 0, fader.layer);
                fader.window->mouseUp(x, endY, 1, 0, fader.layer);
                // The default range is 8 %: each end of the fader reaches it.
                EXPECT_NEAR(std::fabs(s.engine->players[deck]->getPitch(false) - 1.0), 0.08, 1e-6);
            }
            fader.window->mouseDown(x, r->top + r->height / 2, 2, 0, fader.layer);
            fader.window->mouseUp(x, r->top + r->height / 2, 2, 0, fader.layer);
            EXPECT_EQ(s.engine->players[deck]->getPitch(false), 1.0);
        }
        for (int id : {VALUE_VOLUME_CUEMASTER, VALUE_VOLUME_CUEALLCHANNELS}) {
            SCOPED_TRACE(std::string(name) + " headphone knob " + std::to_string(id));
            auto knob = s.find(OBJECT_KNOB, id, 0);
            ASSERT_NE(knob.object, nullptr);
            const double start = s.ui->getValueDbl(id, nullptr, 0);
            s.ui->setValueDbl(id, nullptr, 0, 0.3);
            const SkinRect* r = knob.object->rect.get();
            knob.window->mouseDown(r->left + r->width / 2, r->top + r->height / 2, 2, 0, knob.layer);
            knob.window->mouseUp(r->left + r->width / 2, r->top + r->height / 2, 2, 0, knob.layer);
            EXPECT_EQ(s.ui->getValueDbl(id, nullptr, 0), start);
        }
    }
}

TEST(ShippedSkinControls, EachKillAndKnobAtItsMinimumCutsItsBandAndLeavesTheOthers) {
    const double bands[] = {60, 1000, 8000}; // a bass, a mid tone, hats
    const char* const knobs[] = {"eq_low", "eq_mid", "eq_high"};
    for (const char* name : shippedSkins) {
        ShippedSkin s(name);
        for (int deck = 0; deck < 4; ++deck) {
            EffectGroup* chain = s.engine->players[deck]->effects;
            double flat[3];
            for (int b = 0; b < 3; ++b)
                flat[b] = levelDb(chain, bands[b]);
            for (int band = 0; band < 3; ++band)
                for (bool kill : {true, false}) {
                    SCOPED_TRACE(std::string(name) + " deck " + std::to_string(deck + 1) + " " + knobs[band] +
                                 (kill ? " kill" : " knob at its minimum"));
                    std::string knob = knobs[band], killName = knob + "_kill";
                    if (kill)
                        s.ui->handleMouseClickSimple(VALUE_EFFECT, killName, deck, false);
                    else
                        s.ui->setValueDblRelative(VALUE_EFFECT, &knob, deck, 0.0);
                    for (int b = 0; b < 3; ++b) {
                        const double change = levelDb(chain, bands[b]) - flat[b];
                        if (b == band)
                            EXPECT_LT(change, band == 1 ? -12.0 : -20.0) << bands[b] << " Hz";
                        else
                            EXPECT_GT(change, -3.0) << bands[b] << " Hz";
                    }
                    if (kill)
                        s.ui->handleMouseClickSimple(VALUE_EFFECT, killName, deck, false);
                    else
                        s.ui->resetValue(VALUE_EFFECT, &knob, deck);
                }
        }
    }
}

TEST(ShippedSkinControls, TheVideoViewAndTheOptionsTakeTheBrowsersPlaceOneAtATime) {
    ShippedSkin s("kolt-1280");
    auto shown = [&] {
        std::string names;
        for (const char* name : {"main", "_options", "video"})
            if (s.skin->getWindow(name)->layerState(0)->visible) names += std::string(names.empty() ? "" : " ") + name;
        return names;
    };
    auto press = [&](const char* window, const char* object) {
        SkinWindow* w = s.skin->getWindow(window);
        SkinObject* o = w->getObject(object);
        ASSERT_NE(o, nullptr) << object;
        const float x = o->rect->left + o->rect->width / 2, y = o->rect->top + o->rect->height / 2;
        w->mouseDown(x, y, 1, 0, 0);
        w->mouseUp(x, y, 1, 0, 0);
    };
    EXPECT_EQ(shown(), "main");
    press("main", "video");
    EXPECT_EQ(shown(), "video");
    press("mixerwindow-1280", "options"); // from the video view straight to the options
    EXPECT_EQ(shown(), "_options");
    press("_options", "close");
    EXPECT_EQ(shown(), "main");
    press("main", "video");
    press("video", "video close");
    EXPECT_EQ(shown(), "main");
}

// The headphone knobs: PHONES sets how loud the cued decks are, MIX how much of the master mix joins them.
TEST(ShippedSkinControls, HeadphoneKnobsSetTheCueLevelAndTheMasterMix) {
    for (const char* name : shippedSkins) {
        ShippedSkin s(name);
        const struct {
            int value;
            std::function<double()> read;
            double low, high;
        } knobs[] = {{VALUE_VOLUME_CUEALLCHANNELS, [&] { return s.engine->getVolumeCue(); }, 0.05, 1.0},
                     {VALUE_VOLUME_CUEMASTER, [&] { return s.engine->getVolumeCueMaster(); }, 0.0, 1.0}};
        for (const auto& k : knobs) {
            SCOPED_TRACE(std::string(name) + " value " + std::to_string(k.value));
            auto knob = s.find(OBJECT_KNOB, k.value, 0);
            ASSERT_NE(knob.object, nullptr) << "no such knob";
            const SkinRect* r = knob.object->rect.get();
            const float x = r->left + r->width / 2, y = r->top + r->height / 2;
            for (float dy : {400.0f, -400.0f}) {
                knob.window->mouseDown(x, y, 1, 0, knob.layer);
                knob.window->mouseMove(x, y + dy, 1, 0, knob.layer);
                knob.window->mouseUp(x, y + dy, 1, 0, knob.layer);
                EXPECT_NEAR(k.read(), dy > 0 ? k.low : k.high, 1e-6) << dy;
            }
        }
    }
}
