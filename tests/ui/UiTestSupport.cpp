#include "UiTestSupport.h"
#include "support/DeckLoads.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace uitest {

namespace {

struct ClickFile {
    testsupport::TempDir dir{"ui-click"};
    std::string path;
    ClickFile() {
        std::string file = dir.path + "click.wav";
        std::string command =
            "sox -n -r 44100 -c 2 '" + file + "' synth 0.01 sine 1000 pad 0 0.49 repeat 119 >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) path = file;
    }
};

} // namespace

const std::string& clickTrack() {
    static ClickFile file;
    return file.path;
}

UiFixture::UiFixture() {
    engine = std::make_unique<Tarlume>();
    engine->setSamplerate(44100.0);
    ui = std::make_unique<TarlumeSkinInterface>(engine.get());
    skin = std::make_unique<Skin>(ui.get());
    engine->skin = skin.get();
    for (const char* name : {"player", "fx", "playlist"}) {
        std::string text = std::string("<name>") + name + "</name><tabs><tab><name>main</name></tab><tab><name>" +
                           name + "_more</name></tab></tabs>";
        skin->windows.emplace_back(new SkinWindow(skin.get(), &text));
    }
}

UiFixture::~UiFixture() {
    // The engine reads the skin while it shuts down; the skin goes after it, as in the program.
    engine.reset();
    skin.reset();
}

bool UiFixture::loadClick(int i) {
    if (clickTrack().empty()) return false;
    TarlumePlayer* p = deck(i);
    testsupport::loadSong(p, clickTrack().c_str(), true);
    // No tempo analysis: the detector's guess would replace the tempo the tests set.
    p->setParam(PLAYERPARAM_BPMANALYSIS, 0);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(p->getLength() > 59000.0)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // A tempo set by hand: the detector's guess no longer counts.
    p->bpm = 120.0;
    p->bpmConfidence = 100;
    return true;
}

SkinWindow* UiFixture::window(const std::string& name) {
    for (auto& w : skin->windows)
        if (w->name == name) return w.get();
    return nullptr;
}

bool UiFixture::shown(const std::string& name, int d) {
    return window(name)->layerState(d)->visible;
}

TestObject::TestObject(int value, const std::string& spec, int type, int player) {
    object.type = type;
    object.value = value;
    object.valueSpecifier = spec;
    object.player = player;
    object.actionLeft = ACTION_DEFAULT;
}

void press(TarlumeSkinInterface& ui, SkinObject* object, int deck, int action) {
    ui.handleMouseClick(object, 0, 0, action, 1, 0, nullptr, deck, false);
}

void release(TarlumeSkinInterface& ui, SkinObject* object, int deck, int action) {
    ui.handleMouseClick(object, 0, 0, action, 1, 0, nullptr, deck, true);
}

void click(TarlumeSkinInterface& ui, SkinObject* object, int deck) {
    press(ui, object, deck);
    release(ui, object, deck);
}

} // namespace uitest
