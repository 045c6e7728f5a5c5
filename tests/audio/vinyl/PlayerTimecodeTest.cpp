// A deck's player following a timecode record: the drift correction, the smoothing of the speed, jumps,
// stops and starts, driven by a scripted decoder, and end to end by the real decoder on a synthetic record.
#include "TimecodeSignal.h"
#include "audio/player/PlayerTestUtil.h"
#include "audio/player/PlayerTimecode.h"

#include <utility>

#include <gtest/gtest.h>

namespace {

using playertest::MemoryTrack;

// The decoder's accessors the player reads, with scripted values. The flags clear when read, as the
// decoder's do.
struct FakeDecoder {
    double pitch = 1.0, certainPitch = 1.0;
    double time = 0;            // ms
    double vinylTime = 10000;   // ms
    double maxLength = 600000;  // ms
    double passFrames = 16.96;  // frames per null pass
    double usableRange = 20000; // parameter 8
    bool newPitch = false, newTime = false, newCertain = false;
    VINYLCONTROL_MODE mode = VINYLCONTROL_ABSOLUTE;

    bool isNewPitch() { return std::exchange(newPitch, false); }
    bool isNewTime() { return std::exchange(newTime, false); }
    bool isNewCertainPitch() { return std::exchange(newCertain, false); }
    double getPitch() const { return pitch; }
    double getCertainPitch() const { return certainPitch; }
    double getTime() const { return time; }
    double getVinylTime() const { return vinylTime; }
    double getMaxLengthMs() const { return maxLength; }
    double getNullPassTimeSamples() const { return passFrames; }
    VINYLCONTROL_MODE getVCMode() const { return mode; }
    double getParameter(int id, int) const { return id == 8 ? usableRange : 0; }
};

double positionMs(Player& p) {
    return p.getParameter(PLAYERPARAM_POSITION) / 44.1;
}

bool playing(Player& p) {
    return p.getParameter(PLAYERPARAM_PLAYING) > 0.5;
}

// One audio frame of a vinyl deck: the decoder's state is followed, then the frame is played.
void frame(Player& p, FakeDecoder& d) {
    p.updateFromDecoder(d);
    float l, r;
    p.process(&l, &r);
}

// A frame in which the record turns at `timeMs`: a new pitch and a new time.
void turnAt(Player& p, FakeDecoder& d, double timeMs) {
    d.time = timeMs;
    d.newPitch = d.newTime = true;
    frame(p, d);
}

} // namespace

TEST(PlayerTimecode, CorrectionStepsByDriftWithBoundsInTheInnerRows) {
    struct Row {
        double D;
        double scale, add; // c' = (scale - 1) / scale * c + add / scale, as (n c + a) / (n + 1)
    };
    const Row rows[] = {
        {10.001, 9000, 0.005},
        {10, 8000, 0.002},
        {4.001, 8000, 0.002},
        {4, 3000, 0.0004},
        {1.001, 3000, 0.0004},
        {1, 1600, 0.0002},
        {0.401, 1600, 0.0002},
        {0.4, 801, 0},
        {0, 801, 0},
        {-0.4, 801, 0},
        {-0.401, 1600, -0.0002},
        {-1, 1600, -0.0002},
        {-1.001, 3000, -0.0004},
        {-4, 3000, -0.0004},
        {-4.001, 8000, -0.002},
        {-10, 8000, -0.002},
        {-10.001, 10000, -0.005},
    };
    const double c = 0.001;
    for (const Row& r : rows) {
        const double expected = r.scale == 801 ? 800 * c / 801 : ((r.scale - 1) * c + r.add) / r.scale;
        EXPECT_DOUBLE_EQ(playertimecode::correctionStep(c, r.D), expected) << "D = " << r.D;
    }
}

TEST(PlayerTimecode, DriftSteersTheSpeedAndLargeDriftJumps) {
    MemoryTrack track(playertest::counterFrames(44100 * 30));
    Player& p = *track;
    p.setParameter(PLAYERPARAM_SPEEDSMOOTHING, 0);
    float l, r;
    p.process(&l, &r);
    // A new time right after loading jumps to the record (resync), whatever the drift.
    p.updateFromTimeCode(5000, 1.0, VINYLCONTROL_ABSOLUTE, true, 0);
    EXPECT_NEAR(positionMs(p), 5000, 0.01);
    // A constant drift of +20 ms: the correction climbs by about 0.005 / 9000 a frame once the smoothed drift
    // is above 10 ms (the player stands, so the drift stays).
    double previous = 0;
    for (int i = 0; i < 40; ++i)
        p.updateFromTimeCode(5020, 1.0, VINYLCONTROL_ABSOLUTE, false, 0);
    previous = p.getParameter(PLAYERPARAM_SPEED) - 1;
    for (int i = 0; i < 1000; ++i)
        p.updateFromTimeCode(5020, 1.0, VINYLCONTROL_ABSOLUTE, false, 0);
    const double c = p.getParameter(PLAYERPARAM_SPEED) - 1;
    EXPECT_NEAR((c - previous) / 1000, 0.005 / 9000, 0.1 * 0.005 / 9000);
    EXPECT_NEAR(p.getParameter(PLAYERPARAM_TIMECODEDRIFT), 20, 1e-9);
    // Inside 10 ms the correction moves towards 0.002 in steps of 1/8000.
    for (int i = 0; i < 100; ++i)
        p.updateFromTimeCode(5007, 1.0, VINYLCONTROL_ABSOLUTE, false, 0);
    const double c7 = p.getParameter(PLAYERPARAM_SPEED) - 1;
    p.updateFromTimeCode(5007, 1.0, VINYLCONTROL_ABSOLUTE, false, 0);
    EXPECT_NEAR(p.getParameter(PLAYERPARAM_SPEED) - 1, (7999 * c7 + 0.002) / 8000, 1e-12);
    // A drift of 50 ms with a new time does not jump; 100 ms does, and the correction starts again from 0.
    p.updateFromTimeCode(5050, 1.0, VINYLCONTROL_ABSOLUTE, true, 0);
    EXPECT_NEAR(positionMs(p), 5000, 0.01);
    p.updateFromTimeCode(5100, 1.0, VINYLCONTROL_ABSOLUTE, true, 0);
    EXPECT_NEAR(positionMs(p), 5100, 0.01);
    p.updateFromTimeCode(5100, 1.0, VINYLCONTROL_ABSOLUTE, false, 0);
    EXPECT_NEAR(p.getParameter(PLAYERPARAM_SPEED), 1.0, 1e-6);
    // Relative mode: no correction, and no jump for a new time inside the record.
    p.updateFromTimeCode(9000, 1.0, VINYLCONTROL_RELATIVE, true, 0);
    EXPECT_NEAR(positionMs(p), 5100, 0.01);
    EXPECT_EQ(p.getParameter(PLAYERPARAM_SPEED), 1.0);
    // In the lead-in (negative time) relative mode still jumps.
    p.updateFromTimeCode(-500, 1.0, VINYLCONTROL_RELATIVE, false, 0);
    EXPECT_LE(p.getParameter(PLAYERPARAM_POSITION), 0.0);
}

TEST(PlayerTimecode, SmoothingModes) {
    MemoryTrack track(playertest::counterFrames(44100 * 10));
    Player& p = *track;
    float l, r;
    p.process(&l, &r);
    // Mode 0: the measured speed goes straight through.
    p.setParameter(PLAYERPARAM_SPEEDSMOOTHING, 0);
    for (double s : {1.0, 1.03, 0.97, -0.5, 1.2}) {
        p.updateFromTimeCode(1000, s, VINYLCONTROL_RELATIVE, false, 0);
        EXPECT_EQ(p.getParameter(PLAYERPARAM_SPEED), s);
    }
    // Mode 2 from a steady 1.0: a step to 1.02 is followed within a second of calls, not at once.
    p.setParameter(PLAYERPARAM_SPEEDSMOOTHING, 2);
    for (int i = 0; i < 30000; ++i)
        p.updateFromTimeCode(1000, 1.0, VINYLCONTROL_RELATIVE, false, 0);
    EXPECT_NEAR(p.getParameter(PLAYERPARAM_SPEED), 1.0, 1e-3);
    p.updateFromTimeCode(1000, 1.02, VINYLCONTROL_RELATIVE, false, 0);
    const double first = p.getParameter(PLAYERPARAM_SPEED);
    EXPECT_LT(first, 1.015);
    for (int i = 0; i < 44100; ++i)
        p.updateFromTimeCode(1000, 1.02, VINYLCONTROL_RELATIVE, false, 0);
    EXPECT_NEAR(p.getParameter(PLAYERPARAM_SPEED), 1.02, 1e-3);
    // Jitter measuring adds the largest gap between kept and smoothed speed every 500 calls.
    p.setParameter(PLAYERPARAM_JITTERMEASURE, 1);
    p.process(&l, &r);
    for (int i = 0; i < 5000; ++i)
        p.updateFromTimeCode(1000, 1.02 + ((i / 7) % 2 ? 0.004 : -0.004), VINYLCONTROL_RELATIVE, false, 0);
    EXPECT_GT(p.getParameter(PLAYERPARAM_JITTERMEASURE), 0.0);
    EXPECT_NE(p.getParameter(PLAYERPARAM_JITTERMEASURE), 0.0035);
}

TEST(PlayerTimecode, ShortSamplesRepeatAlongTheRecord) {
    struct Case {
        double seconds, recordMs, followedMs;
    };
    const Case cases[] = {{1.5, 5000, 1400}, {40, 130000, 10000}, {200, 700000, 100000}};
    for (const Case& c : cases) {
        MemoryTrack track(playertest::counterFrames(int(44100 * c.seconds)));
        Player& p = *track;
        FakeDecoder d;
        turnAt(p, d, c.recordMs);
        EXPECT_NEAR(positionMs(p), c.followedMs, 0.05) << c.seconds << " s";
    }
}

TEST(PlayerTimecode, StartsStopsAndThePastTheEnd) {
    MemoryTrack track(playertest::counterFrames(44100 * 30));
    Player& p = *track;
    FakeDecoder d;
    // The record turns: the deck starts and jumps to the record's time.
    turnAt(p, d, 3000);
    EXPECT_TRUE(playing(p));
    EXPECT_NEAR(positionMs(p), 3000, 1);

    // The needle is lifted: no zero crossing for 5500 frames stops the deck, not before.
    for (int i = 0; i < 5400; ++i)
        frame(p, d);
    EXPECT_TRUE(playing(p));
    for (int i = 0; i < 200; ++i)
        frame(p, d);
    EXPECT_FALSE(playing(p));

    // 150 slow frames stop it too.
    turnAt(p, d, 3000);
    ASSERT_TRUE(playing(p));
    d.pitch = 0.001;
    int frames = 0;
    while (playing(p) && frames < 400) {
        d.newPitch = true;
        frame(p, d);
        ++frames;
    }
    EXPECT_GE(frames, 150);
    EXPECT_LE(frames, 152);

    // A time before the lead-in stops the deck, and so does one past the end of the track (a 30 s track
    // repeats every 60 s along the record, so 45 s is past its end).
    d.pitch = 1.0;
    for (double outside : {-5000.0, 45000.0}) {
        turnAt(p, d, 3000);
        ASSERT_TRUE(playing(p));
        turnAt(p, d, outside);
        EXPECT_FALSE(playing(p)) << outside;
    }

    // Past the record's usable end the timecode neither moves, starts nor stops the deck.
    turnAt(p, d, 3000);
    ASSERT_TRUE(playing(p));
    d.vinylTime = 700000;
    d.pitch = 1.3;
    d.newPitch = d.newTime = true;
    frame(p, d);
    for (int i = 0; i < 1000; ++i) // a glide started before still runs its course
        frame(p, d);
    const double speed = p.getParameter(PLAYERPARAM_SPEED);
    for (int i = 0; i < 6000; ++i)
        frame(p, d);
    EXPECT_TRUE(playing(p));
    EXPECT_EQ(p.getParameter(PLAYERPARAM_SPEED), speed);
}

TEST(PlayerTimecode, CertainPitchAndUnusableSignal) {
    MemoryTrack track(playertest::counterFrames(44100 * 30));
    Player& p = *track;
    FakeDecoder d;
    turnAt(p, d, 3000);
    // A certain pitch far from the present speed is taken at once (over the glide).
    d.certainPitch = 1.2;
    d.newCertain = d.newPitch = true;
    frame(p, d);
    for (int i = 0; i < 40; ++i)
        frame(p, d);
    EXPECT_GT(p.getParameter(PLAYERPARAM_SPEED), 1.1);

    // Without a usable signal the time is not followed: the speed alone, for 100 slow frames.
    d.usableRange = 0;
    d.pitch = 0.8;
    for (int i = 0; i < 50; ++i) {
        d.newPitch = true;
        frame(p, d);
    }
    EXPECT_NEAR(p.getParameter(PLAYERPARAM_SPEED), 0.8, 0.01);
}

// A decoder value that is not a number (from an absurd speed multiplier, say) is passed over: kept in the
// smoothed speeds or the smoothed drift it would hold the deck's speed for good.
TEST(PlayerTimecode, ValuesThatAreNotNumbersArePassedOver) {
    for (double bad : {double(INFINITY), double(NAN)}) {
        MemoryTrack track(playertest::counterFrames(44100 * 30));
        Player& p = *track;
        FakeDecoder d;
        turnAt(p, d, 3000);
        d.pitch = bad;
        d.newPitch = true;
        frame(p, d);
        d.pitch = 1.2;
        for (int i = 0; i < 4000; ++i) {
            d.newPitch = true;
            frame(p, d);
        }
        EXPECT_NEAR(p.getParameter(PLAYERPARAM_SPEED), 1.2, 0.01) << bad;
    }
    // An infinite time in relative mode, where any time is followed, leaves no drift to correct afterwards:
    // the deck runs as one that never saw it.
    auto speedAfter = [](bool infiniteTime) {
        MemoryTrack track(playertest::counterFrames(44100 * 30));
        Player& p = *track;
        p.setParameter(PLAYERPARAM_SPEEDSMOOTHING, 0);
        float l, r;
        p.process(&l, &r);
        p.updateFromTimeCode(5000, 1.0, VINYLCONTROL_ABSOLUTE, true, 0);
        if (infiniteTime) p.updateFromTimeCode(INFINITY, 1.0, VINYLCONTROL_RELATIVE, false, 0);
        for (int i = 0; i < 1000; ++i)
            p.updateFromTimeCode(5000, 1.0, VINYLCONTROL_ABSOLUTE, false, 0);
        EXPECT_TRUE(std::isfinite(p.getParameter(PLAYERPARAM_TIMECODEDRIFT)));
        return p.getParameter(PLAYERPARAM_SPEED);
    };
    EXPECT_EQ(speedAfter(true), speedAfter(false));
}

// The real decoder on our own timecode drives the player: the deck plays at the record's speed, forwards and
// backwards, at the record's place.
TEST(PlayerTimecode, FollowsARecordEndToEnd) {
    // A loud record, one 30 dB below full scale, recorded at 16 bits, and one whose level falls from half of
    // full scale to that after the first second, playing on: the deck plays the same. (The fall once left the
    // deck standing for 60 ms, under the jump, and then 0.5 % fast for 12 s while it caught up.)
    struct Level {
        double first, then;
    };
    for (Level level : {Level{12000, 12000}, Level{1036, 1036}, Level{16384, 1036}})
        for (double speed : {1.0, 1.2, 0.7, -1.0}) {
            const std::string what =
                std::to_string(level.first) + ", " + std::to_string(level.then) + " at " + std::to_string(speed);
            MemoryTrack track(playertest::counterFrames(44100 * 40));
            Player& p = *track;
            TimecodeSignalOptions o;
            o.type = TIMECODE_TARLUME;
            o.startNullPass = 7000 / 0.38461538461538464; // 5000 ms into the track
            o.amplitude = level.first;
            o.speed = [speed](double) { return speed; };
            TimecodeSignal sig(o);
            FinalScratch fs(44100);
            fs.setParameter(20, TIMECODE_TARLUME);
            double worst = 0, from = 0, recordFrom = 0;
            for (int i = 0; i < 88200; ++i) {
                float l, r;
                sig.next(l, r);
                const float gain = float(i < 44100 ? 1.0 : level.then / level.first);
                fs.calculate(std::round(l * gain), std::round(r * gain));
                p.updateFromFinalScratch(&fs);
                p.process(&l, &r);
                if (i == 44100) from = positionMs(p), recordFrom = sig.expectedTimeMs();
                if (i > 44100) worst = std::max(worst, std::fabs(positionMs(p) - sig.expectedTimeMs()));
            }
            EXPECT_TRUE(playing(p)) << what;
            EXPECT_NEAR(p.getParameter(PLAYERPARAM_SPEED), speed, 0.01 * std::fabs(speed)) << what;
            EXPECT_LT(worst, 5.0) << what;
            // Over the second second the deck plays what the record played, to a tenth of a percent.
            EXPECT_NEAR((positionMs(p) - from) / (sig.expectedTimeMs() - recordFrom), 1.0, 0.001) << what;
        }
}
