// The playback path through a deterministic harness: a whole-track player over samples in memory, driven
// frame by frame on the test's thread.
#include "PlayerTestUtil.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

using namespace playertest;
using A = PlayerTestAccess;

namespace {

const float kLevel = 10000;

// A constant (DC) track: every output frame shows the gains applied to it.
MemoryTrack dcTrack(int frames) {
    return MemoryTrack(std::vector<short>(size_t(frames) * 2, short(kLevel)));
}

// Plays a track for a while, so the ramp has settled and fades start from a known level.
void settle(Player& p) {
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    run(p, 2000);
}

// Plays from `position` with the loop start .. end engaged, and a return window (in frames) when one is given.
void playLoop(Player& p, double start, double end, double position, double window = 0) {
    p.setParameter(PLAYERPARAM_LOOPSTART, start);
    p.setParameter(PLAYERPARAM_LOOPEND, end);
    if (window > 0) p.setParameter(PLAYERPARAM_LOOPWINDOW, window);
    p.setParameter(PLAYERPARAM_POSITION, position);
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    p.setParameter(PLAYERPARAM_LOOP, 1);
}

} // namespace

TEST(PlayerPlayback, StartFadesInAndStopFadesOutWhereStopWasPressed) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(100000);
    settle(*t);
    t->setParameter(PLAYERPARAM_PLAYING, 0);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_PLAYING), 0) << "a requested stop reads back at once";
    std::vector<float> out = run(*t, 60);
    const double stoppedAt = 2000;
    for (int i = 0; i < 50; ++i)
        EXPECT_NEAR(out[size_t(2 * i)], kLevel * (49 - i) / 50.0, 30) << i;
    EXPECT_EQ(out[100], 0);
    EXPECT_EQ(A::state(*t), Player::STATE_STOPPED);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), stoppedAt);

    t->setParameter(PLAYERPARAM_PLAYING, 1);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_PLAYING), 1);
    out = run(*t, 60);
    for (int i = 0; i < 50; ++i)
        EXPECT_NEAR(out[size_t(2 * i)], kLevel * (i + 1) / 50.0, 30) << i;
    EXPECT_NEAR(out[110], kLevel, 30);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), stoppedAt + 60);
}

TEST(PlayerPlayback, PlayPressedDuringTheStopFadeKeepsPlaying) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(100000);
    settle(*t);
    t->setParameter(PLAYERPARAM_PLAYING, 0);
    run(*t, 10);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_PLAYING), 0) << "fading out reads as stopped";
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    std::vector<float> out = run(*t, 100);
    EXPECT_EQ(A::state(*t), Player::STATE_PLAYING);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_PLAYING), 1);
    EXPECT_NEAR(out[198], kLevel, 30) << "back at full level";
}

TEST(PlayerPlayback, JumpWaitsForTheStopFadeAndThenApplies) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(100000);
    settle(*t);
    t->setParameter(PLAYERPARAM_PLAYING, 0);
    run(*t, 5);
    t->setParameter(PLAYERPARAM_POSITION, 50000);
    run(*t, 5);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), 50000) << "the pending jump reads back";
    run(*t, 50);
    EXPECT_EQ(A::position(*t), 50000);
    EXPECT_EQ(A::state(*t), Player::STATE_STOPPED);
}

// A jump that waits for the stop fade or for the stutter's wrap is taken when play or stop cuts the wait short
// (as a "stop, back to the cue, play" action does in one go): never left behind, to be taken by surprise later.
TEST(PlayerPlayback, AWaitingJumpIsTakenWhenPlayOrStopEndsTheWait) {
    NoLoadingThread noThread;
    {
        MemoryTrack t = dcTrack(200000);
        settle(*t);
        t->setParameter(PLAYERPARAM_PLAYING, 0);
        t->setParameter(PLAYERPARAM_POSITION, 50000);
        t->setParameter(PLAYERPARAM_PLAYING, 1);
        run(*t, 1000);
        EXPECT_EQ(A::state(*t), Player::STATE_PLAYING);
        EXPECT_EQ(A::position(*t), 51000);
        EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), A::position(*t));
        // A later stop leaves the position where it was pressed.
        t->setParameter(PLAYERPARAM_PLAYING, 0);
        run(*t, 100);
        EXPECT_EQ(A::position(*t), 51000);
    }
    for (int stutter : {Player::STATE_STUTTER_AHEAD, Player::STATE_STUTTER_BEHIND}) {
        for (int then : {Player::STATE_PLAYING, Player::STATE_STOPPED}) {
            MemoryTrack t = dcTrack(200000);
            t->setParameter(PLAYERPARAM_POSITION, 100000);
            t->setParameter(PLAYERPARAM_PLAYING, stutter);
            run(*t, 10);
            t->setParameter(PLAYERPARAM_POSITION, 150000);
            run(*t, 10);
            EXPECT_EQ(A::position(*t), 100000) << "waiting for the wrap";
            t->setParameter(PLAYERPARAM_PLAYING, then);
            run(*t, 100);
            EXPECT_EQ(A::state(*t), then) << stutter;
            EXPECT_EQ(A::position(*t), then == Player::STATE_PLAYING ? 150100 : 150000) << stutter << " " << then;
            EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), A::position(*t)) << stutter << " " << then;
        }
    }
}

TEST(PlayerPlayback, JumpWhilePlayingSplicesOverTheFadeLength) {
    NoLoadingThread noThread;
    struct Case {
        double quality;
        int fade;
    };
    for (Case c : {Case{0.29, 64}, Case{0.5, 128}, Case{0.7, 256}}) {
        MemoryTrack t = dcTrack(100000);
        settle(*t);
        t->setParameter(PLAYERPARAM_SPLICE, c.quality);
        t->setParameter(PLAYERPARAM_POSITION, 30000);
        run(*t, 1);
        EXPECT_EQ(A::spliceCounter(*t), c.fade - 1) << c.quality;
        EXPECT_EQ(A::position(*t), 30001) << c.quality;
    }
}

// A jump while a splice still fades (a loop's wrap during a key-lock switch, two cue presses in a row, a jump and
// a loop release together) crossfades from what is heard at that moment, not from one of its two sounds.
TEST(PlayerPlayback, ASpliceDuringASpliceDoesNotClick) {
    NoLoadingThread noThread;
    const double amplitude = 12000;
    const double slope = 2 * kPi * 440 / 44100 * amplitude; // the sine's largest step per sample
    for (int apart : {0, 1, 40, 100}) {
        MemoryTrack t(sineFrames(440, 44100, 200000, amplitude));
        settle(*t);
        std::vector<float> out = run(*t, 10);
        t->setParameter(PLAYERPARAM_POSITION, 50050); // about half a period off: the sounds cancel
        const std::vector<float> mid = run(*t, apart);
        out.insert(out.end(), mid.begin(), mid.end());
        t->setParameter(PLAYERPARAM_POSITION, 100000);
        const std::vector<float> after = run(*t, 400);
        out.insert(out.end(), after.begin(), after.end());
        double worst = 0;
        for (size_t i = 1; i < out.size() / 2; ++i)
            worst = std::max(worst, double(std::fabs(out[2 * i] - out[2 * i - 2])));
        // A crossfade over 128 samples between two sines adds at most twice the amplitude / 128 per step.
        EXPECT_LT(worst, slope + 3 * 2 * amplitude / 128) << apart << " frames apart";
        EXPECT_NEAR(A::position(*t), 100000 + 400, 1e-9);
    }
}

TEST(PlayerPlayback, LoopsWrapEngageOnlyWithLengthAndReleaseToTheReturnWindow) {
    NoLoadingThread noThread;
    {
        // Forward through a loop 1000 .. 2000 at 2000.5 continues at 1000.5.
        MemoryTrack t = dcTrack(100000);
        playLoop(*t, 1000, 2000, 1999.5);
        EXPECT_EQ(t->getParameter(PLAYERPARAM_LOOP), 1);
        run(*t, 1);
        EXPECT_DOUBLE_EQ(A::position(*t), 1000.5);
        run(*t, 5000);
        EXPECT_GE(A::position(*t), 1000);
        EXPECT_LT(A::position(*t), 2000);
        // Released without a return window, the track goes on from inside the loop.
        t->setParameter(PLAYERPARAM_LOOP, 0);
        double inside = A::position(*t);
        run(*t, 1);
        EXPECT_DOUBLE_EQ(A::position(*t), inside + 1);
        EXPECT_EQ(t->getParameter(PLAYERPARAM_LOOP), 0);
    }
    {
        // With a return window the release jumps to where the track would be without the loop.
        MemoryTrack t = dcTrack(100000);
        playLoop(*t, 1000, 2000, 1500, 8000);
        run(*t, 3000);
        t->setParameter(PLAYERPARAM_LOOP, 0);
        run(*t, 1);
        EXPECT_DOUBLE_EQ(A::position(*t), 1500 + 3000 + 1);
    }
    for (double end : {2000.0, 1500.0}) {
        // A loop of no length (or a negative one) never engages: the position would be meaningless.
        MemoryTrack t = dcTrack(100000);
        playLoop(*t, 2000, end, 1990);
        run(*t, 100);
        EXPECT_EQ(t->getParameter(PLAYERPARAM_LOOP), 0) << end;
        EXPECT_DOUBLE_EQ(A::position(*t), 2090) << end;
    }
}

TEST(PlayerPlayback, TrackEndStopsAtTheLengthOrLoopsTheTrack) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(10000);
    t->setParameter(PLAYERPARAM_POSITION, 9990);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    run(*t, 20);
    EXPECT_EQ(A::state(*t), Player::STATE_STOPPED);
    EXPECT_EQ(A::position(*t), 10000);

    t->setParameter(PLAYERPARAM_LOOPTRACK, 1);
    t->setParameter(PLAYERPARAM_POSITION, 9990);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    run(*t, 20);
    EXPECT_EQ(A::state(*t), Player::STATE_PLAYING);
    EXPECT_LT(A::position(*t), 20);
}

TEST(PlayerPlayback, OutputLevelFollowsSpeed) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(100000);
    struct Case {
        double speed;
        bool follows;
        double level;
    };
    const Case cases[] = {{0, true, 0},
                          {0.005, true, 0},
                          {0.5, true, std::pow(2.0, std::log(0.5) * 3.7712 / 6)},
                          {1, true, 1},
                          {2, true, std::pow(2.0, std::log(2.0) * 3.7712 / 6)},
                          {-1, true, 1},
                          {0.5, false, 1}};
    for (const Case& c : cases) {
        t->setParameter(PLAYERPARAM_VOLUMEFOLLOWSSPEED, c.follows ? 1 : 0);
        t->setParameter(PLAYERPARAM_SPEED, c.speed);
        EXPECT_EQ(t->getParameter(PLAYERPARAM_SPEED), c.speed) << "reads back before the audio thread runs";
        run(*t, 1);
        EXPECT_NEAR(A::rampTarget(*t), c.level, 1e-9) << c.speed;
    }
}

TEST(PlayerPlayback, GlidesReachTheirTargetAndStartFromTheirOwnLength) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(100000);
    t->setParameter(PLAYERPARAM_SPEED, 2, 1000);
    run(*t, 500);
    EXPECT_NEAR(t->getParameter(PLAYERPARAM_SPEED), 1.5, 0.01);
    run(*t, 501);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_SPEED), 2);
    EXPECT_EQ(A::glideLength(*t), 0);
    // A short glide after a long one takes its own length.
    t->setParameter(PLAYERPARAM_SPEED, 1, 10);
    run(*t, 10);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_SPEED), 1);
    // Steps 0 set the speed at once.
    t->setParameter(PLAYERPARAM_SPEED, 0.75, 0);
    run(*t, 1);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_SPEED), 0.75);
    EXPECT_DOUBLE_EQ(A::increment(*t), 0.75);
}

TEST(PlayerPlayback, RatesAndIncrement) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(100000);
    t->setParameter(PLAYERPARAM_FILERATE, 48000);
    t->setParameter(PLAYERPARAM_OUTPUTRATE, 96000);
    t->setParameter(PLAYERPARAM_SPEED, 1.5, 0);
    run(*t, 1);
    EXPECT_DOUBLE_EQ(A::increment(*t), 48000.0 / 96000 * 1.5);
    // Rates of 0 or below (and lengths) are ignored: the increment stays finite.
    for (int id : {PLAYERPARAM_OUTPUTRATE, PLAYERPARAM_FILERATE, PLAYERPARAM_LENGTH}) {
        t->setParameter(id, 0);
        t->setParameter(id, -44100);
        t->setParameter(id, NAN);
    }
    run(*t, 1);
    EXPECT_DOUBLE_EQ(A::increment(*t), 0.75);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_FILERATE), 48000);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_LENGTH), 100000);
}

TEST(PlayerPlayback, ResamplerFollowsLoadAndIncrement) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(100000);
    struct Case {
        double load, speed;
        int selected; // 0: N, 1: 3N/4, 2: 3N/2
    };
    const Case cases[] = {{35, 1.5, 0},  {20, 1.5, 2}, {20, 1.0, 0}, {20, 0.5, 2},
                          {35, 1.19, 0}, {35, 1.0, 0}, {35, 0.9, 0}, {80, 1.5, 1}};
    for (const Case& c : cases) {
        A::setLoadEstimate(*t, c.load);
        t->setParameter(PLAYERPARAM_SPEED, c.speed, 0);
        run(*t, 1);
        EXPECT_EQ(A::selectedResampler(*t), c.selected) << c.load << " " << c.speed;
    }
}

TEST(PlayerPlayback, StutterWindowsAndEnvelopes) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(200000);
    const int W = 44100 / 5;
    t->setParameter(PLAYERPARAM_POSITION, 100000);
    t->setParameter(PLAYERPARAM_PLAYING, 2);
    std::vector<float> out = run(*t, 2 * W);
    EXPECT_EQ(A::position(*t), 100000) << "stutter holds the position";
    // Ahead: rises over the first ninth, falls from 5/9 and is silent over the last ninth of 8,820 frames.
    for (int i = W * 8 / 9 + 2; i < W; ++i)
        ASSERT_EQ(out[size_t(2 * i)], 0) << i;
    EXPECT_NEAR(out[size_t(2 * (W / 18))], kLevel * 0.5, 200);
    EXPECT_NEAR(out[size_t(2 * (W / 3))], kLevel, 50);
    EXPECT_NEAR(out[size_t(2 * (W + W / 3))], kLevel, 50) << "the second window repeats the first";

    t->setParameter(PLAYERPARAM_PLAYING, 3);
    out = run(*t, W);
    double peak = 0;
    for (int i = 0; i < W; ++i)
        peak = std::max(peak, double(out[size_t(2 * i)]));
    EXPECT_NEAR(peak, kLevel, 50);
    // Stop from a stutter is immediate; a jump during a stutter waits for the window's wrap.
    t->setParameter(PLAYERPARAM_PLAYING, 2);
    run(*t, 10);
    t->setParameter(PLAYERPARAM_POSITION, 150000);
    run(*t, 10);
    EXPECT_EQ(A::position(*t), 100000);
    run(*t, W);
    EXPECT_EQ(A::position(*t), 150000);
    t->setParameter(PLAYERPARAM_PLAYING, 0);
    run(*t, 1);
    EXPECT_EQ(A::state(*t), Player::STATE_STOPPED);
}

TEST(PlayerPlayback, DirectionMuteAndPlaybackBackwards) {
    NoLoadingThread noThread;
    MemoryTrack t = dcTrack(100000);
    t->setParameter(PLAYERPARAM_POSITION, 50000);
    settle(*t);
    t->setParameter(PLAYERPARAM_SPEED, -1, 0);
    std::vector<float> out = run(*t, 100);
    EXPECT_NEAR(out[198], kLevel, 30);
    EXPECT_DOUBLE_EQ(A::position(*t), 52000 - 100);
    t->setParameter(PLAYERPARAM_MUTEDIRECTION, 1);
    out = run(*t, 10);
    EXPECT_EQ(out[18], 0);
    t->setParameter(PLAYERPARAM_MUTEDIRECTION, 2);
    out = run(*t, 10);
    EXPECT_NEAR(out[18], kLevel, 30);
    // Far before the start the player stops at 0.
    t->setParameter(PLAYERPARAM_POSITION, -88100);
    run(*t, 200);
    EXPECT_EQ(A::state(*t), Player::STATE_STOPPED);
    EXPECT_EQ(A::position(*t), 0);
}

TEST(PlayerPlayback, VarispeedReadsTheTrackAtTheIncrement) {
    NoLoadingThread noThread;
    // A 441 Hz sine played at 1.5 sounds at 661.5 Hz.
    MemoryTrack t(sineFrames(441, 44100, 200000));
    t->setParameter(PLAYERPARAM_SPEED, 1.5, 0);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    std::vector<float> out = run(*t, 44100);
    EXPECT_NEAR(crossingFrequency(out, 44100, 1000), 661.5, 0.5);
    EXPECT_DOUBLE_EQ(A::position(*t), 44100 * 1.5);
}

// The mixer renders a deck a block at a time with the state lock tried once per chunk: the sound must be the
// frame-by-frame sound exactly (key lock, a jump and a speed change inside the run), and frames whose lock
// another thread holds must come back silent at once, the deck standing still, not wait for the lock.
TEST(PlayerPlayback, BlocksSoundAsFramesAndAHeldLockSilencesWithoutWaiting) {
    NoLoadingThread noThread;
    MemoryTrack byFrame(sineFrames(441, 44100, 200000)), byBlock(sineFrames(441, 44100, 200000));
    for (Player* p : {byFrame.player.get(), byBlock.player.get()}) {
        p->setParameter(PLAYERPARAM_SPEED, 1.07, 0);
        p->setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
        p->setParameter(PLAYERPARAM_PLAYING, 1);
    }
    std::vector<float> l(700), r(700);
    for (int block = 0; block < 20; ++block) {
        if (block == 7)
            for (Player* p : {byFrame.player.get(), byBlock.player.get()})
                p->setParameter(PLAYERPARAM_POSITION, 50000);
        if (block == 12)
            for (Player* p : {byFrame.player.get(), byBlock.player.get()})
                p->setParameter(PLAYERPARAM_SPEED, 0.9, 0);
        const std::vector<float> expected = run(*byFrame, 700);
        byBlock->processBlock(l.data(), r.data(), 700);
        for (int i = 0; i < 700; ++i) {
            ASSERT_EQ(l[size_t(i)], expected[size_t(2 * i)]) << block << " " << i;
            ASSERT_EQ(r[size_t(i)], expected[size_t(2 * i + 1)]) << block << " " << i;
        }
    }

    const double before = byBlock->getParameter(PLAYERPARAM_POSITION);
    std::atomic<int> step{0};
    std::thread control([&] {
        CriticalSectionGuard guard(A::stateLock(*byBlock));
        step = 1;
        while (step != 2)
            std::this_thread::yield();
    });
    while (step != 1)
        std::this_thread::yield();
    std::fill(l.begin(), l.end(), 1.0f);
    std::fill(r.begin(), r.end(), 1.0f);
    byBlock->processBlock(l.data(), r.data(), 700);
    step = 2;
    control.join();
    for (int i = 0; i < 700; ++i)
        ASSERT_TRUE(l[size_t(i)] == 0 && r[size_t(i)] == 0) << i;
    EXPECT_EQ(byBlock->getParameter(PLAYERPARAM_POSITION), before);
    byBlock->processBlock(l.data(), r.data(), 700);
    EXPECT_GT(*std::max_element(l.begin(), l.end()), 1000) << "sound again once the lock is free";
}
