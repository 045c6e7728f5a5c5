#include "EngineTestSupport.h"
#include "support/DeckLoads.h"
#include "support/ProcessThreads.h"

#include "engine/EngineClock.h"
#include "engine/TarlumeAudioDevice.h"
#include "platform/JackThread.h"
#include "foundation/modTools.h"
#include "analysis/TestWav.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tags/CID3v2Tag.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

using testsupport::EngineHome;
using testsupport::TestSoundBackend;

TEST(EngineCore, BuildsRunsAndDestroysWithoutSkinControllersOrShell) {
    EngineHome home;
    TestSoundBackend backend;
    const int card = backend.addDevice("Card", 2, 4);
    const long threadsBefore = testsupport::processThreads();
    {
        Tarlume engine;
        EXPECT_TRUE(DirExist(home.dataFolder() + "playlists/logs"));
        EXPECT_TRUE(FileExist(home.dataFolder() + "playlists/current.m3u"));
        EXPECT_TRUE(FileExist(home.dataFolder() + "tagcache.db"));
        engine.initAudio();
        ASSERT_EQ(engine.soundDevices.size(), 1u);
        EXPECT_EQ(backend.pump(card, 256).size(), 256u * 4);
        for (int i = 0; i < 3; i++)
            engine.update();
        EXPECT_EQ(engine.getVariable("x"), "");
    }
    EXPECT_TRUE(FileExist(home.dataFolder() + "config.xml"));
    // Nothing the engine started runs on after it, nor is a thread started by its end.
    EXPECT_EQ(testsupport::threadsBackTo(threadsBefore), threadsBefore);
    // Nor, at the process's end, the JACK thread: it leaves and is joined once idle (a leak checker stopping every
    // thread at the end may crash on one still running or leaving).
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            static const long before = testsupport::processThreads();
            std::atexit([] { fprintf(stderr, "threads left: %ld\n", testsupport::processThreads() - before); });
            JackThread::post([] {});
            JackThread::drain();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "threads left: 0");
}

// At the end, settings, playlists and what the decks' tracks leave are written before sound and MIDI close; a
// close that does not end (a server that stopped answering) is waited for a bounded time, then the shell is told
// so it can end the program.
TEST(EngineCore, TheEndSavesFirstAndWaitsForAStuckCloseOnlyUntilItsLimit) {
    EngineHome home;
    TestSoundBackend backend;
    backend.addDevice("Card", 2, 2);
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    backend.onStop = [&] { // a stop hangs until the shell was told
        std::unique_lock<std::mutex> hold(mutex);
        released.wait_for(hold, std::chrono::seconds(10), [&] { return release; }); // ends anyway
    };
    struct QuitShell : EngineShell {
        std::function<void()> told;
        void startFileDrag(const std::string&, void*) override {}
        void showDialog(const std::string&) override {}
        void devicesDidNotClose() override { told(); }
    } shell;
    std::string settingsWhenTold, playlistWhenTold, cuesWhenTold;
    const std::string data = home.dataFolder();
    const std::string track = data + "last.wav";
    shell.told = [&] {
        settingsWhenTold = readFileContents(data + "config.xml");
        playlistWhenTold = readFileContents(data + "playlists/current.m3u");
        SQLDatabase stored(data + "tagcache.db", SQLDatabase::kReadOnly);
        cuesWhenTold = stored.getOneResult("SELECT frames.value FROM frames, files WHERE files.name = ? AND "
                                           "frames.file = files.ID AND frames.name = 'ETCO'",
                                           SQLParams{track});
        std::lock_guard<std::mutex> hold(mutex);
        release = true;
        released.notify_all();
    };
    auto engine = std::make_unique<Tarlume>();
    engine->shell = &shell;
    engine->deviceCloseLimit = std::chrono::milliseconds(200);
    engine->initAudio();
    ASSERT_EQ(engine->soundDevices.size(), 1u);
    engine->skinName = "at-the-end";
    ASSERT_TRUE(writeStereoWav(track, std::vector<float>(441), std::vector<float>(441), 44100));
    ASSERT_TRUE(testsupport::loadSong(engine->players[0], track));
    engine->players[0]->setCuePoint(1, 5);
    TagCacheDirectory* current = engine->tagCache->getFolder(engine->playlistPath[0], false, true, false, false);
    for (int i = 0; i < 1000 && !(current->isLoaded() && current->getProgress() >= 1.0); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    engine->addFileToPlaylist(0, track);
    testing::internal::CaptureStderr();
    engine.reset();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("did not close within"), std::string::npos) << said;
    EXPECT_NE(settingsWhenTold.find("<SKIN>at-the-end</SKIN>"), std::string::npos) << settingsWhenTold;
    EXPECT_NE(playlistWhenTold.find(track), std::string::npos) << playlistWhenTold;
    EXPECT_EQ(cuesWhenTold, std::string("\x02\xE0\0\0\0\x05", 6));
}

// A device busy at the start: the mix runs on without it, and it is taken within a second of letting the
// program in, without a new start of the sound.
TEST(EngineCore, ADeviceThatDoesNotOpenSaysWhyUntilItOpensByItself) {
    EngineHome home;
    TestSoundBackend backend;
    const int card = backend.addDevice("Card", 2, 2);
    EngineClock::ManualScope clock(1000.0);
    Tarlume engine;
    backend.refuseDevice = card;
    engine.initAudio();
    EXPECT_EQ(engine.audioError, "Sound device \"Card\" could not be opened: busy.");
    EXPECT_TRUE(engine.soundDevices[0]->isConnected()); // on a null device meanwhile
    backend.refuseDevice = 0;
    testing::internal::CaptureStderr();
    EngineClock::advance(1100);
    engine.update();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Sound device \"Card\" found: playing there\n");
    EXPECT_NE(backend.stream(card), nullptr);
    EXPECT_EQ(engine.audioError, "");
}

TEST(EngineCore, CrossfaderCurves) {
    EngineHome home;
    TestSoundBackend backend;
    Tarlume engine;
    struct Case {
        int type;
        double steepness, x, left, right;
    } cases[] = {
        {0, 0.0, 0.5, 1.0, 1.0},   {1, 0.0, 0.5, 0.5, 0.5},
        {2, 0.0, 0.5, 0.75, 0.75}, {3, 0.0, 0.5, std::sqrt(0.5), std::sqrt(0.5)},
        {1, 0.1, 0.5, 1.0, 1.0},   {0, 0.0, 0.0, 1.0, 0.0},
        {3, 0.0, 1.2, 0.0, 1.0},   {3, 0.0, -0.5, 1.0, 0.0},
        {7, 0.0, 0.5, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        engine.crossfaderSteepness = c.steepness;
        SCOPED_TRACE("type " + std::to_string(c.type) + " x " + std::to_string(c.x));
        EXPECT_NEAR(engine.getCrossfaderVolume(1, c.x, c.type), c.left, 1e-9);
        EXPECT_NEAR(engine.getCrossfaderVolume(2, c.x, c.type), c.right, 1e-9);
        EXPECT_EQ(engine.getCrossfaderVolume(0, c.x, c.type), 1.0); // not on the crossfader
    }
    EXPECT_FALSE(std::isnan(engine.getCrossfaderVolume(1, NAN, 3)));
    EXPECT_FALSE(engine.setCrossfaderType(4));
    EXPECT_FALSE(engine.setCrossfaderType(-1));
    EXPECT_TRUE(engine.setCrossfaderType(3));
    EXPECT_EQ(engine.crossfaderType, 3);
}

TEST(EngineCore, CrossfaderGlidesOnTheEngineClock) {
    EngineHome home;
    TestSoundBackend backend;
    Tarlume engine;
    EngineClock::ManualScope clock(1000.0);
    engine.update(); // first frame
    engine.setCrossfader(0.0, false);
    engine.setCrossfader(1.0, true);
    int frames = 0;
    while (engine.getCrossfader(false) < 1.0 && frames < 100) {
        EngineClock::advance(33.0);
        engine.update();
        frames++;
    }
    EXPECT_EQ(frames, 31);                            // thirty steps of 0.033 and a final snap
    EXPECT_EQ(engine.getCrossfaderVideo(false), 1.0); // the video crossfader follows

    // A 2 s stall and a clock that steps back each count as one 33 ms frame.
    engine.setCrossfader(0.0, true);
    EngineClock::advance(2000.0);
    engine.update();
    EXPECT_NEAR(engine.getCrossfader(false), 1.0 - 0.033, 1e-9);
    EngineClock::advance(-5000.0);
    engine.update();
    EXPECT_NEAR(engine.getCrossfader(false), 1.0 - 0.066, 1e-9);

    // A speed of 0 or less jumps.
    for (double speed : {0.0, -1.0}) {
        engine.crossfaderSpeed = speed;
        engine.setCrossfader(speed == 0.0 ? 0.25 : 0.75, true);
        EngineClock::advance(33.0);
        engine.update();
        EXPECT_EQ(engine.getCrossfader(false), engine.getCrossfader(true));
    }
}

TEST(EngineCore, KeptRecordsSharedTwiceAreDeletedOnce) {
    EngineHome home;
    TestSoundBackend backend;
    auto engine = std::make_unique<Tarlume>();
    CID3v2Tag* record = new CID3v2Tag();
    engine->keptRecords = {record, new CID3v2Tag(), record};
    engine.reset(); // ASan reports a second delete
}

namespace {
struct FakeController : EngineController {
    std::string path, name;
    bool connected = false;
    int updates = 0;
    int* disconnects;
    explicit FakeController(int* d) : disconnects(d) {}
    void loadDevice(const std::string& p) override { path = p; }
    void connect(enHIDType type, const std::string& n) override {
        name = n;
        connected = type == HIDTYPE_MIDI && n != "Absent";
    }
    bool isConnected() override { return connected; }
    void disconnect() override {
        connected = false;
        ++*disconnects;
    }
    void update() override { updates++; }
    std::string getDeviceName() override { return name; }
};
struct FakeFactory : EngineControllerFactory {
    int disconnects = 0;
    std::unique_ptr<EngineController> createController(SkinInterface*) override {
        return std::make_unique<FakeController>(&disconnects);
    }
};
} // namespace

TEST(EngineCore, ControllersConnectRunAndClose) {
    EngineHome home;
    TestSoundBackend backend;
    FakeFactory factory;
    {
        Tarlume engine;
        engine.controllerFactory = &factory;
        const std::string file = home.home.write("pad.xml", "<DEVICE></DEVICE>");
        engine.setHIDConfig("Pad", "old.xml");
        engine.setHIDConfig("Pad", file); // the same device name: its file is replaced
        engine.setHIDConfig("Absent", file);
        engine.setHIDConfig("Nofile", "missing-controller-file.xml");
        ASSERT_EQ(engine.controllerConfigs.size(), 3u);
        engine.connectHIDs();
        ASSERT_EQ(engine.controllers.size(), 1u); // not connected and missing files are dropped
        engine.update();
        engine.update();
        EXPECT_EQ(static_cast<FakeController*>(engine.controllers[0].get())->updates, 2);

        tHIDConfig* config = nullptr;
        EngineController* device = nullptr;
        EXPECT_TRUE(engine.getHIDConfig("Pad", &config, &device));
        EXPECT_EQ(config->configName, file);
        EXPECT_EQ(device, engine.controllers[0].get());
        EXPECT_TRUE(engine.getHIDConfig("Absent", &config, &device));
        EXPECT_EQ(device, nullptr);
        EXPECT_FALSE(engine.getHIDConfig("Nobody", &config, nullptr));
        EXPECT_EQ(config, nullptr);
        EXPECT_EQ(engine.getControllerConfigName(100000), "");
        EXPECT_EQ(engine.getControllerConfigName(-1), "");
    }
    EXPECT_EQ(factory.disconnects, 1);
}

TEST(EngineCore, VolumesAndLog) {
    EngineHome home;
    TestSoundBackend backend;
    Tarlume engine;
    engine.players[1]->setVolumeCue(0.8); // cue on for deck 1 only
    engine.setVolumeCue(0.0);
    EXPECT_DOUBLE_EQ(engine.getVolumeCue(), 0.05);
    EXPECT_DOUBLE_EQ(engine.players[1]->cueVolume, 0.05);
    EXPECT_DOUBLE_EQ(engine.players[0]->cueVolume, 0.0); // cue off stays off
    engine.log("one ");
    engine.log("two");
    EXPECT_EQ(readFileContents(home.dataFolder() + "log.txt"), "one two");
}

TEST(EngineCore, RunsOnTheNullDeviceAtRealTimePace) {
    EngineHome home;
    {
        testsupport::ScopedEnv nullSound("TARLUME_SOUND", "null");
        SoundDevices::rescan();
        Tarlume engine;
        engine.initAudio();
        ASSERT_EQ(engine.soundDevices.size(), 1u);
        EXPECT_TRUE(engine.soundDevices[0]->isConnected());
        EXPECT_EQ(engine.getSamplerate(), 44100.0);
        for (int i = 0; i < 10; i++) {
            engine.update();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_GT(engine.getCPUUsage(), 0.0); // its timer thread runs the mixer
    }
    SoundDevices::rescan();
}
