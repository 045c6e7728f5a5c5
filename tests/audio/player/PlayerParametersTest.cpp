// The PLAYERPARAM tables: defaults, what a write reads back as, read-only ids and bounds on indexes.
#include "PlayerTestUtil.h"

#include "analysis/WaveForm.h"

#include <cmath>
#include <limits>

using namespace playertest;

TEST(PlayerParameters, DefaultsOfAFreshPlayer) {
    NoLoadingThread noThread;
    struct Case {
        int id;
        double base, streaming;
    };
    const Case cases[] = {
        {PLAYERPARAM_PLAYING, 0, 0},
        {PLAYERPARAM_POSITION, 0, 0},
        {PLAYERPARAM_LENGTH, 1, 1},
        {PLAYERPARAM_FILERATE, 44100, 44100},
        {PLAYERPARAM_SPEED, 1, 1},
        {PLAYERPARAM_BPMANALYSIS, 0, 0},
        {PLAYERPARAM_LOOPTRACK, 0, 0},
        {PLAYERPARAM_STRIPES, 1, 1},
        {PLAYERPARAM_LOOPSTART, -1, -1},
        {PLAYERPARAM_LOOPEND, -1, -1},
        {PLAYERPARAM_LOOP, 0, 0},
        {PLAYERPARAM_MONO, 0, 0},
        {PLAYERPARAM_DETAILEDSTRIPERATE, 40, 40},
        {PLAYERPARAM_MUTEDIRECTION, 0, 0},
        {PLAYERPARAM_REPLAYGAIN, 0, 0},
        {PLAYERPARAM_JITTERMEASURE, 0.0035, 0.0035},
        {PLAYERPARAM_JITTERTHRESHOLD, 0.0035, 0.0035},
        {PLAYERPARAM_CPUTARGET, 60, 60},
        {PLAYERPARAM_ISSTREAMING, 0, 1},
        {PLAYERPARAM_TEMPOSPEED, 0, 0},
        {PLAYERPARAM_SPLICE, 0, 0},
        {PLAYERPARAM_SPECTRUM1, 0, 0},
        {PLAYERPARAM_MIXBEHIND, 1, 1},
        {PLAYERPARAM_NBSTRIPES, 300, 300},
        {PLAYERPARAM_CLOSESTBEAT, -1, -1},
        {PLAYERPARAM_FIRSTBEAT, -1, -1},
        {22, 0, 0},
        {35, 0, 0},
        {53, 0, 0},
        {-1, 0, 0},
    };
    Player base;
    FModPlayer streaming;
    for (const Case& c : cases) {
        EXPECT_EQ(base.getParameter(c.id), c.base) << c.id;
        EXPECT_EQ(streaming.getParameter(c.id), c.streaming) << c.id;
    }
}

TEST(PlayerParameters, WritesReadBack) {
    NoLoadingThread noThread;
    struct Case {
        int id;
        double value, readBack;
    };
    const Case cases[] = {
        {PLAYERPARAM_BPMANALYSIS, 1, 1},
        {PLAYERPARAM_BPMANALYSIS, 0.9, 0},
        {PLAYERPARAM_LOOPTRACK, 1, 1},
        {PLAYERPARAM_STRIPES, 0.4, 0},
        {PLAYERPARAM_STRIPES, 0.6, 1},
        {PLAYERPARAM_LOOPSTART, 1000, 1000},
        {PLAYERPARAM_LOOPEND, 2000.5, 2000.5},
        {PLAYERPARAM_MUTEDIRECTION, 2, 2},
        {PLAYERPARAM_JITTERTHRESHOLD, 0, 0.0001},
        {PLAYERPARAM_JITTERTHRESHOLD, 0.002, 0.002},
        {PLAYERPARAM_CPUTARGET, 70, 70},
        {PLAYERPARAM_SPECTRUM1, 1, 1},
        {PLAYERPARAM_SPECTRUM2, 0.6, 1},
        {PLAYERPARAM_MIXBEHIND, 0, 0},
        {PLAYERPARAM_DETAILEDSTRIPERATE, 80, 80},
        {PLAYERPARAM_DETAILEDSTRIPERATE, 300, 80},
        {PLAYERPARAM_DETAILEDSTRIPERATE, 0, 80},
        {PLAYERPARAM_POSITION, 1234.5, 1234.5},
        {PLAYERPARAM_SPEED, 1.06, 1.06},
        {PLAYERPARAM_PLAYING, 1, 1},
        {PLAYERPARAM_TEMPOSPEED, 1.0, 1.0},
    };
    Player p;
    for (const Case& c : cases) {
        p.setParameter(c.id, c.value);
        EXPECT_EQ(p.getParameter(c.id), c.readBack) << c.id << " = " << c.value;
    }
    // The loop reads back at once, before the audio thread has applied it.
    p.setParameter(PLAYERPARAM_LOOP, 1);
    EXPECT_EQ(p.getParameter(PLAYERPARAM_LOOP), 1);
}

TEST(PlayerParameters, ReadOnlyIdsIgnoreWrites) {
    NoLoadingThread noThread;
    Player p;
    const int readOnly[] = {9, 12, 17, 18, 19, 21, 23, 26, 27, 28, 33, 37, 40, 41, 42, 49, 50, 51};
    for (int id : readOnly) {
        const double before = p.getParameter(id, 0);
        p.setParameter(id, 12345, 3);
        EXPECT_EQ(p.getParameter(id, 0), before) << id;
    }
}

TEST(PlayerParameters, IndexesFromParametersAreBounded) {
    NoLoadingThread noThread;
    MemoryTrack t(std::vector<short>(88200 * 2, 1000));
    const int big = std::numeric_limits<int>::max();
    for (int id :
         {PLAYERPARAM_STRIPE, PLAYERPARAM_DETAILEDSTRIPE, PLAYERPARAM_DETAILEDSTRIPE2, PLAYERPARAM_DETAILEDSTRIPEAT0,
          PLAYERPARAM_DETAILEDSTRIPEAT2, PLAYERPARAM_CLOSESTBEAT, PLAYERPARAM_FIRSTBEAT}) {
        for (int index : {-1, -1000000, 300, big}) {
            const double v = t->getParameter(id, index);
            EXPECT_TRUE(v == 0 || v == -1) << id << " " << index << " " << v;
        }
    }
    for (double index : {-1.0, 300.0, 1e300, double(NAN), double(INFINITY)})
        t->setParameter(PLAYERPARAM_STRIPE, 0.5, index);
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(t->getParameter(PLAYERPARAM_STRIPE, i), 0) << i;
    t->setParameter(PLAYERPARAM_STRIPE, 0.5, 7);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_STRIPE, 7), 1) << "a cached stripe shows until one is computed";
    // Nonsense values of integer settings neither crash nor stick.
    t->setParameter(PLAYERPARAM_MUTEDIRECTION, 1e300);
    t->setParameter(PLAYERPARAM_SPEEDSMOOTHING, NAN);
    t->setParameter(PLAYERPARAM_PLAYING, 1e300);
    t->setParameter(PLAYERPARAM_SPEED, 1, 1e300);
    t->setParameter(PLAYERPARAM_POSITION, INFINITY);
    run(*t, 10);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), 0);
}

TEST(PlayerParameters, UserBeatsCarryTheirTempoInTheFraction) {
    NoLoadingThread noThread;
    Player p;
    p.setParameter(PLAYERPARAM_LENGTH, 44100 * 60);
    p.setParameter(PLAYERPARAM_USERBEAT, 441000.128);
    double bpm = 0, position = 0, strength = 0;
    double beat = p.getWaveForm()->getClosestBeat(441000, true, &position, &strength, nullptr, &bpm);
    EXPECT_EQ(position, 441000);
    EXPECT_EQ(strength, 999);
    EXPECT_NEAR(bpm, 128, 1e-9);
    EXPECT_DOUBLE_EQ(beat, 441000.1) << "a lone user beat is beat 1";
    EXPECT_EQ(p.getParameter(PLAYERPARAM_CLOSESTBEAT, 400000), 441000);
    // A negative value clears the user beats.
    p.setParameter(PLAYERPARAM_USERBEAT, -1);
    EXPECT_EQ(p.getParameter(PLAYERPARAM_CLOSESTBEAT, 400000), -1);
}

TEST(PlayerParameters, AnalysisResultsWaitForTheAnalysis) {
    NoLoadingThread noThread;
    MemoryTrack t(std::vector<short>(44100 * 2, 1000));
    EXPECT_EQ(t->getParameter(PLAYERPARAM_REPLAYGAIN), 0) << "nothing analysed yet";
    EXPECT_EQ(t->getParameter(PLAYERPARAM_LIMITPOINT, 0), -2);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_LIMITPOINT2, 0), -2);
}

TEST(PlayerParameters, FirstBeatIsClampedToTheFrameRange) {
    NoLoadingThread noThread;
    Player p;
    p.setParameter(PLAYERPARAM_LENGTH, 44100 * 10);
    for (double v : {-5.0, 1e12, double(NAN), 1000.7})
        p.setParameter(PLAYERPARAM_FIRSTBEAT, v);
    p.setParameter(PLAYERPARAM_USERBEAT, 1000);
    EXPECT_EQ(p.getParameter(PLAYERPARAM_CLOSESTBEAT, 0), 1000);
}

TEST(PlayerParameters, ANewTrackForgetsWhatWasAskedOfTheOldOne) {
    // No audio runs: requests wait in the mailbox and read back as asked, until a new track drops them.
    NoLoadingThread noThread;
    MemoryTrack t(std::vector<short>(88200 * 2, 1000));
    t->setParameter(PLAYERPARAM_POSITION, 5000);
    t->setParameter(PLAYERPARAM_SPEED, 1.5);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    t->setParameter(PLAYERPARAM_LOOP, 1);
    t->setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), 5000);
    t->init("", 13, 0, 0);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), 0);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_SPEED), 1);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_PLAYING), 0);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_LOOP), 0);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_TEMPOSPEED), 0);
}
