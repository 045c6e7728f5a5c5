// Key lock: the sound keeps the file's pitch while the position follows the deck's speed.
#include "PlayerTestUtil.h"

#include <algorithm>
#include <cmath>

using namespace playertest;
using A = PlayerTestAccess;

namespace {

// The largest change between neighbouring output samples: a click shows as a jump far above a sine's slope.
double largestStep(const std::vector<float>& stereo, size_t firstFrame) {
    double worst = 0;
    for (size_t i = firstFrame + 1; i < stereo.size() / 2; ++i)
        worst = std::max(worst, double(std::fabs(stereo[2 * i] - stereo[2 * (i - 1)])));
    return worst;
}

} // namespace

TEST(KeyLock, KeepsTheFilesPitchWhileThePositionFollowsTheSpeed) {
    NoLoadingThread noThread;
    const double amplitude = 12000;
    const double slope = 2 * kPi * 1000 / 44100 * amplitude; // the sine's largest step per sample
    for (double speed : {1.1, 0.9, 1.25}) {
        MemoryTrack t(sineFrames(1000, 44100, 44100 * 8, amplitude));
        t->setParameter(PLAYERPARAM_SPEED, speed, 0);
        t->setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
        t->setParameter(PLAYERPARAM_PLAYING, 1);
        EXPECT_EQ(t->getParameter(PLAYERPARAM_TEMPOSPEED), 1.0);
        std::vector<float> out = run(*t, 44100 * 4);
        EXPECT_NEAR(crossingFrequency(out, 44100, 2000), 1000, 2) << speed;
        // The read head never strays far from the position it follows.
        EXPECT_NEAR(A::position(*t), 44100 * 4 * speed, 1) << speed;
        EXPECT_NEAR(t->getParameter(PLAYERPARAM_POSITION), A::position(*t), 44100 * 0.5) << speed;
        // Splices land in phase: no step beyond the sine's own slope (with the crossfade's small ripple).
        EXPECT_LT(largestStep(out, 100), slope * 1.3) << speed;
    }
}

TEST(KeyLock, SwitchingOffReturnsToThePlayPosition) {
    NoLoadingThread noThread;
    MemoryTrack t(sineFrames(1000, 44100, 44100 * 4));
    t->setParameter(PLAYERPARAM_SPEED, 1.2, 0);
    t->setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    run(*t, 20000);
    t->setParameter(PLAYERPARAM_TEMPOSPEED, 0);
    run(*t, 300);
    EXPECT_EQ(t->getParameter(PLAYERPARAM_TEMPOSPEED), 0);
    std::vector<float> out = run(*t, 44100);
    EXPECT_NEAR(crossingFrequency(out, 44100), 1200, 2) << "varispeed again";
    EXPECT_EQ(t->getParameter(PLAYERPARAM_POSITION), A::position(*t));
}

TEST(KeyLock, PitchChangesUnderKeyLockMoveThePosition) {
    NoLoadingThread noThread;
    MemoryTrack t(sineFrames(1000, 44100, 44100 * 4));
    t->setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    // The deck always glides its pitch: under key lock the position must still follow it.
    t->setParameter(PLAYERPARAM_SPEED, 1.08, 661);
    run(*t, 1000);
    EXPECT_DOUBLE_EQ(A::increment(*t), 1.08);
}
