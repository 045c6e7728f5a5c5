// The cue button, memory cue points, beat and manual loops, loop refusals and stored loops.
#include "TarlumePlayerTestSupport.h"
#include "support/DeckLoads.h"

#include "audio/effects/EffectGroup.h"

using namespace decktest;

namespace {

// A deck on the position fixture at 120 BPM (one beat = 22,050 frames at 44.1 kHz).
struct LoopRig : Rig {
    TarlumePlayer* d;
    LoopRig() {
        d = deck();
        EXPECT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), true));
        d->bpm = 120;
        d->bpmConfidence = 100;
    }
    double start() { return d->getParam(PLAYERPARAM_LOOPSTART); }
    double end() { return d->getParam(PLAYERPARAM_LOOPEND); }
    bool playing() { return d->getParam(PLAYERPARAM_PLAYING) > 0.5; }
};

} // namespace

TEST(DeckCue, PreviewSetAndHoldWithPlay) {
    LoopRig r;
    TarlumePlayer* d = r.d;
    d->cuePoint = 1000;
    // Paused 5 ms after the cue point: cue plays from there, the release returns and pauses.
    d->setPosition(1005);
    d->cueSong();
    EXPECT_TRUE(r.playing());
    d->cueSong_Up();
    EXPECT_FALSE(r.playing());
    EXPECT_NEAR(d->getPosition(), 1000, 1e-6);
    // Paused elsewhere: the position becomes the cue point, nothing plays.
    d->setPosition(3000);
    d->cueSong();
    EXPECT_FALSE(r.playing());
    EXPECT_NEAR(d->cuePoint, 3000, 1e-6);
    d->cueSong_Up();
    // Holding cue, pressing play, then releasing cue keeps playing.
    d->cueSong();
    EXPECT_TRUE(r.playing());
    d->playPause();
    d->cueSong_Up();
    EXPECT_TRUE(r.playing());
    // Playing: cue stops and returns.
    d->setPosition(9000);
    d->cueSong();
    EXPECT_FALSE(r.playing());
    EXPECT_NEAR(d->getPosition(), 3000, 1e-6);
    d->cueSong_Up();

    // Memory cues are slots 1..100; slot 100 lies inside the list, 0 and 101 are nothing.
    d->setPosition(7000);
    d->storeCuePoint(100);
    EXPECT_NEAR(d->getCuePoint(100), 7000, 1e-6);
    EXPECT_NEAR(d->cuePoints[99], 7000, 1e-6);
    d->setPosition(2000);
    d->retrieveCuePoint(101);
    d->retrieveCuePoint(0);
    EXPECT_NEAR(d->getPosition(), 2000, 1e-6);
    d->retrieveCuePoint(100);
    EXPECT_NEAR(d->getPosition(), 7000, 1e-6);
    d->retrieveCuePoint(5); // empty: the start of the track becomes the cue point
    EXPECT_EQ(d->cuePoint, 0);
    EXPECT_NEAR(d->getPosition(), 0, 1e-6);
}

TEST(DeckLoops, BeatLoopsManualLoopsAndRefusedLengths) {
    LoopRig r;
    TarlumePlayer* d = r.d;
    // 4 beats at 120 BPM started while playing at frame 500,000: the beats just played.
    d->setParam(PLAYERPARAM_POSITION, 500000);
    d->setParam(PLAYERPARAM_PLAYING, 1);
    d->loopStart();
    EXPECT_DOUBLE_EQ(r.start(), 411800);
    EXPECT_DOUBLE_EQ(r.end(), 500000);
    EXPECT_TRUE(d->loopIsStarted());
    EXPECT_DOUBLE_EQ(d->loopGetLength(), 4);
    EXPECT_NEAR(d->loopGetLengthMs(), 2000, 1e-9);
    // Paused: the beats ahead.
    d->loopStop();
    d->setParam(PLAYERPARAM_PLAYING, 0);
    d->loopStart();
    EXPECT_DOUBLE_EQ(r.start(), 500000);
    EXPECT_DOUBLE_EQ(r.end(), 588200);

    // Lengths of 0 or below are refused everywhere; what remains keeps 40 frames.
    d->loopSetLength(0);
    d->loopLengthMultiply(0);
    d->loopSetLength(-2);
    EXPECT_DOUBLE_EQ(d->loopBeats, 4);
    EXPECT_DOUBLE_EQ(r.end(), 588200);
    d->loopDoMoveLength(0.0001, false, true);
    EXPECT_DOUBLE_EQ(r.end(), 588200);
    d->loopSetLength(0.0001);
    EXPECT_DOUBLE_EQ(r.end(), 500040);
    d->loopLengthMultiply(1e-9);
    EXPECT_DOUBLE_EQ(r.end() - r.start(), 40);
    d->loopSetLength(2);
    EXPECT_DOUBLE_EQ(r.end(), 544100);
    d->loopLengthMultiply(2);
    EXPECT_DOUBLE_EQ(r.end(), 588200);
    d->loopDoMoveLength(-1, true, false); // one beat shorter
    EXPECT_DOUBLE_EQ(r.end(), 566150);
    d->loopDoMove(1, true);
    EXPECT_DOUBLE_EQ(r.start(), 522050);
    EXPECT_DOUBLE_EQ(r.end(), 588200);
    EXPECT_NEAR(d->loopGetStartMs(), 522050 / 44.1, 1e-9);

    // Stored loops: none without a playing loop; slot 21 is out of reach.
    d->loopStop();
    d->storeLoop(3);
    EXPECT_FALSE(d->isLoopSlotUsed(3));
    d->loopStart(); // paused at 500,000: 500,000 .. 588,200
    d->storeLoop(3);
    d->storeLoop(21);
    EXPECT_TRUE(d->isLoopSlotUsed(3));
    EXPECT_NEAR(d->getLoopIn(3), 500000 / 44.1, 1e-9);
    EXPECT_NEAR(d->getLoopOut(3), 588200 / 44.1, 1e-9);
    d->loopStop();
    d->setParam(PLAYERPARAM_POSITION, 10);
    d->retrieveLoop(21, false);
    d->retrieveLoop(4, false);
    EXPECT_FALSE(d->loopIsStarted());
    d->retrieveLoop(3, false);
    EXPECT_TRUE(d->loopIsStarted());
    EXPECT_NEAR(r.start(), 500000, 1e-6);
    EXPECT_NEAR(d->getParam(PLAYERPARAM_POSITION), 500000, 1e-6);
    // A cue point after the loop's end leaves the loop.
    d->setCuePoint(2, 20000);
    d->retrieveCuePoint(2);
    EXPECT_FALSE(d->loopIsStarted());

    // Near the start a loop of the beats just played begins at 0 and keeps its length.
    d->setParam(PLAYERPARAM_POSITION, 1000);
    d->setParam(PLAYERPARAM_PLAYING, 1);
    d->loopStart();
    EXPECT_DOUBLE_EQ(r.start(), 0);
    EXPECT_DOUBLE_EQ(r.end(), 88200);
    d->loopDoMove(-500, false); // cannot move before the start
    EXPECT_DOUBLE_EQ(r.start(), 0);

    // Manual loop: in, out, and a second press of in cancels the mark.
    d->loopStop();
    d->setPosition(1000);
    d->loopSetIn();
    d->setPosition(1500);
    d->loopSetOut(false, false);
    EXPECT_NEAR(r.start(), 44100, 1e-6);
    EXPECT_NEAR(r.end(), 66150, 1e-6);
    EXPECT_EQ(d->loopInMark, -1);
    d->loopSetOut(false, true); // leaves the loop only
    EXPECT_FALSE(d->loopIsStarted());
    d->loopSetIn();
    d->loopSetIn();
    EXPECT_EQ(d->loopInMark, -1);
}

TEST(DeckLoops, AnInputLoopIsClampedToTheEchoRing) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    d->loadInputPassthrough(0);
    EXPECT_TRUE(d->inputPassthrough);
    d->bpm = 120;
    d->bpmConfidence = 100;
    d->loopSetLength(32); // 32 beats at 120 BPM: 16 s, far beyond the ring
    d->loopStart();
    EXPECT_TRUE(d->loopIsStarted());
    EXPECT_EQ(d->effects->getParameter(EFFECT_ECHO, 1), AdvancedEcho::kMaxReach);
    // The looper runs through a whole ring and more without reading outside it.
    for (int i = 0; i < 300000; ++i) {
        float l = float(i % 100), r = -l;
        d->effects->process(&l, &r);
    }
    d->loopStop();
    EXPECT_FALSE(d->loopIsStarted());
}
