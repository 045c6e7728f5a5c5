// The default skin on a real engine, two decks playing a track: drawn as the application draws a
// frame, its windows show their art and the engine's pictures (waveforms, overview, platter), and
// the scrolling waveform moves as the decks play. TARLUME_SKIN_SHOT=<file.ppm> keeps the last frame.
#include "UiTestSupport.h"
#include "support/DeckLoads.h"

#include "foundation/modTools.h"
#include "platform/GL.h"
#include "platform/GLPrimitives.h"
#include "support/HeadlessGL.h"
#include "support/SkinFrame.h"
#include "support/TestSoundBackend.h"

#include <chrono>
#include <memory>
#include <cstdio>
#include <set>
#include <thread>
#include "support/MissingComponent.h"

namespace {

constexpr int screenWidth = 1280, screenHeight = 720;

// Twenty seconds that look like music in a waveform: a low tone on the left and noise on the
// right, pulsing twice a second (120 beats per minute).
std::string makeTrack(const std::string& folder) {
    std::string path = folder + "pulse.wav";
    std::string command =
        "sox -n -r 44100 -c 2 '" + path + "' synth 20 sine 70 pinknoise tremolo 2 95 gain -3 >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 ? path : std::string();
}

} // namespace

TEST(ShippedSkinDraw, DefaultSkinWithTwoDecksPlaying) {
    HeadlessGL gl;
    if (!gl.open(screenWidth, screenHeight)) {
        TARLUME_MISSING_COMPONENT() << "no headless OpenGL: " << gl.error();
    }
    testsupport::TempDir home("skin-draw");
    uitest::EnvScope homeEnv("HOME", home.path), dataEnv("XDG_DATA_HOME", home.path);
    std::string track = makeTrack(home.path);
    if (track.empty()) {
        TARLUME_MISSING_COMPONENT() << "sox missing";
    }
    testsupport::TestSoundBackend backend;
    const int card = backend.addDevice("Card", 2, 4);
    // Declared so that they end in the program's order: the engine (which reads the skin while it
    // shuts down), then the skin, then the interface the skin was bound to.
    std::unique_ptr<TarlumeSkinInterface> ui;
    std::unique_ptr<Skin> skinOwner;
    std::unique_ptr<Tarlume> engineOwner = std::make_unique<Tarlume>();
    Tarlume& engine = *engineOwner;
    engine.initAudio();
    ui = std::make_unique<TarlumeSkinInterface>(&engine);
    ui->gl = GLPrimitives::immediate();
    skinOwner = std::make_unique<Skin>(ui.get());
    Skin& skin = *skinOwner;
    engine.skin = &skin;
    skin.loadSkin(std::string(TARLUME_SOURCE_DIR) + "/data/skins/kolt-1280.xml");
    ASSERT_TRUE(skin.loaded);

    for (int deck = 0; deck < 2; ++deck) {
        TarlumePlayer* p = engine.players[deck];
        ASSERT_TRUE(testsupport::loadSong(p, track.c_str(), true));
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!(p->getLength() > 19000.0) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GT(p->getLength(), 19000.0);
        p->setPosition(deck == 0 ? 4000.0 : 9000.0);
        p->playPause();
    }

    std::vector<unsigned char> pixels;
    auto frame = [&] {
        backend.pump(card, 1470); // a thirtieth of a second of sound
        engine.update();
        testsupport::drawSkinFrame(skin);
        pixels = gl.readPixels();
    };
    auto colour = [&](int x, int y) { return testsupport::pixelColour(pixels, screenWidth, x, y); };
    // An area of the frame as colours: deck 1's scrolling waveform, and its elapsed time.
    auto area = [&](int x0, int y0, int x1, int y1) {
        std::vector<unsigned> colours;
        for (int y = y0; y < y1; y += 2)
            for (int x = x0; x < x1; x += 2)
                colours.push_back(colour(x, y));
        return colours;
    };
    auto waveform = [&] { return area(6, 52, 514, 120); };
    auto elapsed = [&] { return area(350, 5, 430, 25); };
    for (int i = 0; i < 10; ++i)
        frame();
    std::vector<unsigned> waveBefore = waveform(), timeBefore = elapsed();
    for (int i = 0; i < 20; ++i)
        frame();
    EXPECT_GT(engine.players[0]->getPosition(), 4400.0); // the deck played on
    EXPECT_NE(timeBefore, elapsed());                    // and its time shows it
    // Where the user interface draws the waveform, it moves with the deck.
    std::vector<unsigned> waveAfter = waveform();
    if (std::set<unsigned>(waveAfter.begin(), waveAfter.end()).size() > 1) {
        EXPECT_NE(waveBefore, waveAfter);
    }

    testsupport::keepSkinShot(pixels, screenWidth, screenHeight);
    // Every window shows more than a flat fill, and nothing of the empty screen.
    testsupport::expectDefaultSkinWindowsDrawn(pixels, screenWidth);
}
