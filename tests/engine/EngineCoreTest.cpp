#include "EngineTestSupport.h"

#include "engine/EngineClock.h"
#include "foundation/modTools.h"

#include <gtest/gtest.h>

#include <cmath>

using testsupport::EngineHome;
using testsupport::TestSoundBackend;

TEST(EngineCore, BuildsRunsAndDestroysWithoutSkinControllersOrShell) {
    EngineHome home;
    TestSoundBackend backend;
    const int card = backend.addDevice("Card", 2, 4);
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
