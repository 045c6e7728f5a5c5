// Memory over a long evening: the default skin drawn on a real engine, tracks with covers loaded onto the
// four decks in turn, played, shown (cover, waveforms, texts) and the library listed and searched, faster
// than real time. The resident memory is printed as it goes (the curve), and may grow by at most 20 MB
// after the first ten loads (7 to 10 MB measured in either run): what the program keeps per track or per
// minute must stay small. A leak of a quarter of the 80 MB per 500 loads once kept goes past it.
// Labelled "slow"; the curve: ctest --test-dir build -L slow -R LongSet --verbose
#include "UiTestSupport.h"
#include "support/DeckLoads.h"

#include "engine/EngineClock.h"
#include "platform/GL.h"
#include "platform/GLPrimitives.h"
#include "support/HeadlessGL.h"
#include "support/SkinFrame.h"
#include "support/TestSoundBackend.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>
#include "support/MissingComponent.h"

namespace {

constexpr double kAllowedGrowthMB = 20.0;

double residentMB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// `count` tracks of `seconds` with covers, made by the project's script into `folder`; their paths in
// order, none when the script failed.
std::vector<std::string> makeTracks(const std::string& folder, int count, int seconds) {
    const std::string command = std::string(TARLUME_SOURCE_DIR) + "/scripts/make-longset-tracks '" + folder + "' " +
                                std::to_string(count) + " " + std::to_string(seconds) + " >/dev/null 2>&1";
    std::vector<std::string> tracks;
    if (std::system(command.c_str()) != 0) return tracks;
    for (int i = 0; i < count; ++i) {
        char name[96];
        snprintf(name, sizeof name, "%04d - Artist %d - Title %d.mp3", i, i % 37, i);
        tracks.push_back(folder + name);
    }
    return tracks;
}

// The program as it runs: the engine on a test card, the user interface and the default skin, drawn
// into a headless framebuffer, with the browser on a folder of `count` tracks of `seconds` with covers.
// The engine's clock is the test's. `missing` says what the machine lacks to run it.
struct Evening {
    HeadlessGL gl;
    testsupport::TempDir folder{"longset-tracks"};
    std::vector<std::string> tracks;
    std::string missing;
    EngineClock::ManualScope clock{1e6};
    testsupport::TempDir home{"longset"};
    uitest::EnvScope homeEnv{"HOME", home.path}, dataEnv{"XDG_DATA_HOME", home.path};
    testsupport::TestSoundBackend backend;
    int card = backend.addDevice("Card", 2, 4);
    // Ended in the program's order: the engine (which reads the skin while it shuts down), the skin,
    // then the interface the skin was bound to.
    std::unique_ptr<TarlumeSkinInterface> ui;
    std::unique_ptr<Skin> skin;
    std::unique_ptr<Tarlume> engine;
    double afterTen = 0, peak = 0;
    int loads = 0;

    Evening(int count, int seconds) {
        if (!gl.open(1280, 720)) {
            missing = "no headless OpenGL: " + gl.error();
            return;
        }
        tracks = makeTracks(folder.path, count, seconds);
        if (tracks.empty()) {
            missing = "sox, lame, ImageMagick or python3-mutagen missing";
            return;
        }
        engine = std::make_unique<Tarlume>();
        engine->warnWhenLoadingTrack = false;
        engine->initAudio();
        ui = std::make_unique<TarlumeSkinInterface>(engine.get());
        ui->gl = GLPrimitives::immediate();
        skin = std::make_unique<Skin>(ui.get());
        engine->skin = skin.get();
        skin->loadSkin(std::string(TARLUME_SOURCE_DIR) + "/data/skins/kolt-1280.xml");
        engine->changeFolder(0, folder.path);
    }
    ~Evening() {
        engine.reset();
        skin.reset();
    }

    // `ms` of the evening: its sound when `sound`, the engine's update and, when `draw`, the frame
    // (finished, as the swap at the end of the program's frame finishes it).
    void frame(double ms, bool draw, bool sound = true) {
        EngineClock::advance(ms);
        if (sound) backend.pump(card, int(44100 * ms / 1000));
        engine->update();
        if (!draw) return;
        testsupport::drawSkinFrame(*skin);
        glFinish();
    }
    bool load(int deck, const std::string& track) {
        TarlumePlayer* d = engine->players[deck];
        if (!testsupport::loadSong(d, track, true)) return false;
        d->playPause();
        ++loads;
        return true;
    }
    // One point of the curve.
    void measure(const char* what, long n) {
        const double mb = residentMB();
        if (loads <= 10) afterTen = mb;
        peak = std::max(peak, mb);
        printf("[long set] %-8s %5ld  loads %4d  RSS %7.1f MB\n", what, n, loads, mb);
        fflush(stdout);
    }
    double growth() const { return peak - afterTen; }
};

} // namespace

// 500 loads of different tracks with covers, the four decks in turn, each played for a few frames on
// screen; the folder searched and listed again every 25 loads.
TEST(SlowLongSet, FiveHundredLoadsOfTracksWithCovers) {
    Evening e(500, 20);
    if (!e.missing.empty()) {
        TARLUME_MISSING_COMPONENT() << e.missing;
    }
    ASSERT_TRUE(e.skin->loaded);
    for (int f = 0; f < 30; ++f)
        e.frame(1000.0 / 30, true);
    e.measure("loads", 0);
    for (int n = 1; n <= int(e.tracks.size()); ++n) {
        ASSERT_TRUE(e.load((n - 1) % 4, e.tracks[size_t(n - 1)]));
        for (int f = 0; f < 4; ++f)
            e.frame(1000.0 / 30, true);
        if (n % 25 == 0) {
            e.engine->changeFolder(0, "search:Title " + std::to_string(n / 25));
            for (int f = 0; f < 5; ++f)
                e.frame(1000.0 / 30, true);
            e.engine->changeFolder(0, e.folder.path);
        }
        if (n <= 10 || n == 20 || n == 50 || n % 50 == 0) e.measure("loads", n);
    }
    EXPECT_LE(e.growth(), kAllowedGrowthMB) << "from " << e.afterTen << " MB after ten loads to " << e.peak << " MB";
}

// Two hours of a set: every 90 seconds the next deck in turn loads the next of 80 three-minute tracks and
// plays it to its end, so two decks play at once and every track enters the history; each minute the
// browser searches the library and lists its folder again. The engine runs in steps of 250 ms, the skin
// is drawn every fifth second.
TEST(SlowLongSet, TwoHourSetOnFourDecks) {
    Evening e(80, 180);
    if (!e.missing.empty()) {
        TARLUME_MISSING_COMPONENT() << e.missing;
    }
    ASSERT_TRUE(e.skin->loaded);
    e.measure("minute", 0);
    constexpr int kStepsPerSecond = 4;
    for (long step = 0; step < 2L * 3600 * kStepsPerSecond; ++step) {
        const long second = step / kStepsPerSecond;
        const bool onSecond = step % kStepsPerSecond == 0;
        if (onSecond && second % 90 == 0) {
            const long k = second / 90;
            ASSERT_TRUE(e.load(int(k % 4), e.tracks[size_t(k)]));
            if (e.loads == 10) e.measure("minute", second / 60);
        }
        if (onSecond && second % 60 == 30) e.engine->changeFolder(0, "search:Title " + std::to_string(second / 60));
        if (onSecond && second % 60 == 45) e.engine->changeFolder(0, e.folder.path);
        // A quarter of each second is mixed; the playing decks skip the rest (mixing four decks is most
        // of the cost of a set).
        e.frame(1000.0 / kStepsPerSecond, onSecond && second % 5 == 0, onSecond);
        if (onSecond)
            for (TarlumePlayer* d : e.engine->players)
                if (d->getParam(PLAYERPARAM_PLAYING) > 0.5 && d->getPosition() + 750 < d->getLength())
                    d->setPosition(d->getPosition() + 750);
        if (onSecond && second % 600 == 0 && second > 0) e.measure("minute", second / 60);
    }
    e.measure("minute", 120);
    EXPECT_GE(e.engine->playedRecords.size(), 70u); // the tracks played through
    EXPECT_LE(e.growth(), kAllowedGrowthMB) << "from " << e.afterTen << " MB after ten loads to " << e.peak << " MB";
}
