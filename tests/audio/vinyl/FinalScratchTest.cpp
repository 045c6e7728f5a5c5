// The timecode decoder on synthetic records: pitch, direction and position for every record type, the
// acceptance of codes, polarity, silence and noise, and its parameters.
#include "TimecodeSignal.h"
#include "audio/vinyl/FinalScratch.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

// A small table of a table type, covering the first 300000 null passes of the test records: made once per
// process, when a run of that type first needs it.
void installTable(int type) {
    static bool done[FinalScratch::kTypes] = {};
    if (type == TIMECODE_TARLUME || type == TIMECODE_LABEL || done[type]) return;
    done[type] = true;
    tcInstallTable(type, tcSyntheticTable(type, 300000));
}

struct DeckRun {
    TimecodeSignalOptions options;
    std::unique_ptr<FinalScratch> fs;
    std::unique_ptr<TimecodeSignal> sig;
    explicit DeckRun(const TimecodeSignalOptions& o) : options(o) {
        installTable(o.type);
        fs = std::make_unique<FinalScratch>(o.rate);
        fs->setParameter(20, o.type);
        sig = std::make_unique<TimecodeSignal>(o);
    }
    DecodeStats decode(double seconds, double settle = 0.3) {
        return decodeSignal(*fs, *sig, options.rate, seconds, settle, options.type);
    }
    void feed(double seconds) {
        for (int64_t i = 0; i < int64_t(options.rate * seconds); ++i) {
            float l, r;
            sig->next(l, r);
            fs->calculate(l, r);
        }
    }
};

TimecodeSignalOptions optionsFor(int type, double speed = 1.0, double rate = 44100) {
    TimecodeSignalOptions o;
    o.type = type;
    o.rate = rate;
    o.speed = [speed](double) { return speed; };
    // Backwards play starts far enough into the record to stay on it.
    o.startNullPass = speed < 0 ? 200000 : 20000;
    return o;
}

// Within a few null passes: the position is that of the newest peak, seen some samples after it passed.
constexpr double kTimeTolerance = 3.0; // null passes
constexpr double kPitchTolerance = 0.005;

} // namespace

TEST(FinalScratchDecode, EveryTypeFollowsSpeedAndPositionAtEveryRate) {
    struct Case {
        int type;
        double speed;
        double rate;
    };
    std::vector<Case> cases;
    for (int type : {TIMECODE_TARLUME, TIMECODE_FINALSCRATCH, TIMECODE_VIRTUALDJ, TIMECODE_SERATO, TIMECODE_TRAKTOR})
        for (double speed : {0.5, 1.0, 1.5, -1.0})
            for (double rate : {44100.0, 48000.0, 96000.0})
                // Every rate for our own type and at nominal speed; the other speeds at 44.1 kHz.
                if (!(type == TIMECODE_VIRTUALDJ && speed < 0) &&
                    (type == TIMECODE_TARLUME || speed == 1.0 || rate == 44100.0))
                    cases.push_back({type, speed, rate});
    for (const Case& c : cases) {
        DeckRun run(optionsFor(c.type, c.speed, c.rate));
        const DecodeStats s = run.decode(0.6);
        const std::string what = "type " + std::to_string(c.type) + " speed " + std::to_string(c.speed) + " at " +
                                 std::to_string(int(c.rate));
        EXPECT_GT(s.pitches, 100) << what;
        EXPECT_LT(s.maxPitchError, kPitchTolerance) << what;
        EXPECT_GT(s.times, 5) << what;
        EXPECT_LT(s.maxTimeError, kTimeTolerance) << what;
        EXPECT_EQ(run.fs->getDirection(), c.speed > 0 ? 1 : -1) << what;
        EXPECT_LT(s.firstTimeAt, 0.1) << what;
    }
    // Type 3 has no codes, but its carrier gives pitch and direction.
    for (double speed : {1.0, -0.7}) {
        DeckRun label(optionsFor(TIMECODE_LABEL, speed));
        const DecodeStats s = label.decode(0.5);
        EXPECT_GT(s.pitches, 100) << speed;
        EXPECT_LT(s.maxPitchError, kPitchTolerance) << speed;
        EXPECT_EQ(s.times, 0) << speed;
        EXPECT_EQ(label.fs->getDirection(), speed > 0 ? 1 : -1) << speed;
    }
    // Type 1 reads forwards only: backwards it keeps pitch and direction but takes no time.
    DeckRun back(optionsFor(TIMECODE_VIRTUALDJ, -1.0));
    const DecodeStats s = back.decode(0.5);
    EXPECT_EQ(s.times, 0);
    EXPECT_LT(s.maxPitchError, kPitchTolerance);
    EXPECT_EQ(back.fs->getDirection(), -1);
}

// Type 5 has a table but no file; its time per null pass disagrees with its carrier, so its position drifts
// by that difference over the null passes counted since a code (under 10 null passes here).
TEST(FinalScratchDecode, MvCodesAreFoundInATable) {
    DeckRun run(optionsFor(TIMECODE_MV));
    const DecodeStats s = run.decode(0.6);
    EXPECT_GT(s.times, 50);
    EXPECT_LT(s.maxPitchError, kPitchTolerance);
    EXPECT_LT(s.maxTimeError, 10.0);
}

TEST(FinalScratchDecode, DegradedSignalsStillDecode) {
    struct Case {
        const char* what;
        double amplitude, smallRatio, noise, dc;
    };
    const Case cases[] = {
        {"quiet (-20 dB)", 1200, 0.75, 0, 0},  {"loud", 30000, 0.75, 0, 0},
        {"small ratio 0.7", 12000, 0.7, 0, 0}, {"small ratio 0.9", 12000, 0.9, 0, 0},
        {"DC offset", 12000, 0.75, 0, 4000},   {"noise at -30 dB", 12000, 0.75, 12000 * 0.0316 / 1.41421, 0},
    };
    for (int type : {TIMECODE_TARLUME, TIMECODE_SERATO, TIMECODE_TRAKTOR, TIMECODE_FINALSCRATCH})
        for (const Case& c : cases) {
            TimecodeSignalOptions o = optionsFor(type);
            o.amplitude = c.amplitude;
            o.smallRatio = c.smallRatio;
            o.noise = c.noise;
            o.dcOffset = c.dc;
            DeckRun run(o);
            const DecodeStats s = run.decode(0.8);
            const std::string what = std::string(c.what) + ", type " + std::to_string(type);
            EXPECT_LT(s.maxPitchError, kPitchTolerance) << what;
            EXPECT_GT(s.times, 20) << what;
            EXPECT_LT(s.maxTimeError, kTimeTolerance) << what;
        }
}

TEST(FinalScratchDecode, PitchMethodsAndBandFilters) {
    for (int method : {0, 1, 2})
        for (bool band : {true, false})
            for (double speed : {0.5, 1.0, 1.5}) {
                DeckRun run(optionsFor(TIMECODE_TARLUME, speed));
                run.fs->setParameter(27, method);
                run.fs->setParameter(24, band ? 1 : 0);
                const DecodeStats s = run.decode(0.6);
                const std::string what = "method " + std::to_string(method) + (band ? " filtered" : " raw") +
                                         " speed " + std::to_string(speed);
                EXPECT_GT(s.pitches, 100) << what;
                EXPECT_LT(s.maxPitchError, kPitchTolerance) << what;
                EXPECT_LT(s.maxTimeError, kTimeTolerance) << what;
            }
}

TEST(FinalScratchDecode, ReversalStopAndRampThroughZero) {
    for (int type : {TIMECODE_TARLUME, TIMECODE_SERATO, TIMECODE_TRAKTOR}) {
        // Forwards for 0.5 s, then backwards: the direction turns within 15 right maxima and P counts down.
        TimecodeSignalOptions o = optionsFor(type);
        o.speed = [](double t) { return t < 0.5 ? 1.0 : -1.0; };
        DeckRun run(o);
        run.feed(0.5);
        const int64_t turn = run.sig->frames();
        const double cycle = o.rate / tcCarrierHz(type); // frames per right maximum
        while (run.fs->getDirection() == 1 && run.sig->frames() < turn + int64_t(40 * cycle))
            run.feed(1.0 / o.rate);
        EXPECT_LE(double(run.sig->frames() - turn), 15 * cycle) << "type " << type;
        const int peaks = run.fs->getNrOfPeaks();
        run.feed(0.002);
        EXPECT_LT(run.fs->getNrOfPeaks(), peaks) << "type " << type;
        const DecodeStats back = run.decode(0.4, 0.1);
        EXPECT_GT(back.times, 5) << "type " << type;
        EXPECT_LT(back.maxTimeError, kTimeTolerance) << "type " << type;

        // Stopped for a while: no new time while the record stands; afterwards it follows again.
        o.speed = [](double t) { return t < 0.4 || t > 0.8 ? 1.0 : 0.0; };
        DeckRun stop(o);
        stop.feed(0.45);
        const DecodeStats still = stop.decode(0.35, 0.0);
        EXPECT_EQ(still.times, 0) << "type " << type;
        const DecodeStats again = stop.decode(0.5, 0.3);
        EXPECT_GT(again.times, 5) << "type " << type;
        EXPECT_LT(again.maxTimeError, kTimeTolerance) << "type " << type;

        // A ramp from full speed backwards through 0 to full speed forwards, with a little wow on top.
        o.speed = [](double t) { return (t < 1.0 ? 2 * t - 1 : 1.0) + 0.002 * std::sin(6.3 * t); };
        o.startNullPass = 60000;
        DeckRun ramp(o);
        ramp.feed(1.2);
        const DecodeStats after = ramp.decode(0.4, 0.0);
        EXPECT_EQ(ramp.fs->getDirection(), 1) << "type " << type;
        EXPECT_LT(after.maxPitchError, kPitchTolerance) << "type " << type;
        EXPECT_GT(after.times, 5) << "type " << type;
        EXPECT_LT(after.maxTimeError, kTimeTolerance) << "type " << type;
    }
}

TEST(FinalScratchDecode, SilenceAndNoiseTakeNoTime) {
    for (int type : {TIMECODE_TARLUME, TIMECODE_FINALSCRATCH, TIMECODE_VIRTUALDJ, TIMECODE_SERATO, TIMECODE_MV,
                     TIMECODE_TRAKTOR}) {
        DeckRun run(optionsFor(type, 1.2));
        run.feed(0.5);
        // The last peaks complete as the signal falls silent and the hysteresis follows the lower range; from
        // then on nothing moves.
        for (int i = 0; i < 4410; ++i)
            run.fs->calculate(0, 0);
        const double pitch = run.fs->getPitch(), time = run.fs->getTime();
        const int direction = run.fs->getDirection();
        run.fs->isNewPitch();
        run.fs->isNewTime();
        // Silence: nothing moves.
        for (int i = 0; i < 22050; ++i)
            run.fs->calculate(0, 0);
        EXPECT_FALSE(run.fs->isNewPitch()) << "type " << type;
        EXPECT_FALSE(run.fs->isNewTime()) << "type " << type;
        EXPECT_EQ(run.fs->getPitch(), pitch) << "type " << type;
        EXPECT_EQ(run.fs->getTime(), time) << "type " << type;
        EXPECT_EQ(run.fs->getDirection(), direction) << "type " << type;
        EXPECT_EQ(run.fs->getParameter(8), 0.0) << "a silent input is not a usable signal";
        // Loud white noise for two seconds: never a new time.
        uint64_t seed = 99;
        int newTimes = 0;
        for (int i = 0; i < 88200; ++i) {
            float v[2];
            for (float& x : v) {
                seed = seed * 6364136223846793005ull + 1442695040888963407ull;
                x = float(int32_t(seed >> 32)) / 2147483648.0f * 15000.0f;
            }
            run.fs->calculate(v[0], v[1]);
            newTimes += run.fs->isNewTime();
        }
        EXPECT_EQ(newTimes, 0) << "type " << type;
    }
}

// The needle lifted and put down elsewhere: after the pause no code is read from the peaks before it, however
// the signal broke off.
TEST(FinalScratchDecode, NeedleDropReadsOnlyTheNewPlace) {
    for (int type : {TIMECODE_SERATO, TIMECODE_TRAKTOR})
        for (int end = 22050; end < 22075; end += 7) {
            TimecodeSignalOptions o = optionsFor(type);
            DeckRun run(o);
            for (int i = 0; i < end; ++i) {
                float l, r;
                run.sig->next(l, r);
                run.fs->calculate(l, r);
            }
            for (int i = 0; i < 6615; ++i) // 150 ms
                run.fs->calculate(0, 0);
            o.startNullPass = 150000;
            TimecodeSignal elsewhere(o);
            const DecodeStats s = decodeSignal(*run.fs, elsewhere, o.rate, 0.1, 0.0, type);
            EXPECT_GT(s.times, 2) << "type " << type << " broken off at " << end;
            EXPECT_LT(s.maxTimeError, kTimeTolerance) << "type " << type << " broken off at " << end;
        }
}

// A sound device may hand over a sample that is not a number, or an absurdly large one: it passes like a click,
// and the signal stays usable for the player.
TEST(FinalScratchDecode, SamplesThatAreNotNumbersPassLikeClicks) {
    const float bad[] = {NAN, INFINITY, -INFINITY, 3e38f, -3e38f};
    for (float b : bad) {
        DeckRun run(optionsFor(TIMECODE_TARLUME));
        run.feed(0.4);
        run.fs->calculate(b, -b);
        run.fs->calculate(0, b);
        const DecodeStats s = run.decode(0.4, 0.1);
        EXPECT_GT(s.times, 20) << b;
        EXPECT_LT(s.maxTimeError, kTimeTolerance) << b;
        EXPECT_LT(s.maxPitchError, kPitchTolerance) << b;
        EXPECT_GT(run.fs->getParameter(8), 20000) << b;
        EXPECT_GT(run.fs->getParameter(13), 20000) << b;
        EXPECT_TRUE(std::isfinite(run.fs->getTime()) && std::isfinite(run.fs->getPitch())) << b;
    }
}

// Inverted input (both channels negated) is noticed by the polarity vote, and decoding goes on.
TEST(FinalScratchDecode, InvertedPolarityIsCorrected) {
    for (int type : {TIMECODE_TARLUME, TIMECODE_FINALSCRATCH, TIMECODE_SERATO}) {
        TimecodeSignalOptions o = optionsFor(type);
        o.amplitude = -12000;
        DeckRun run(o);
        run.feed(0.6);
        const DecodeStats s = run.decode(0.6, 0.0);
        EXPECT_GT(s.times, 20) << "type " << type;
        EXPECT_LT(s.maxTimeError, kTimeTolerance) << "type " << type;
    }

    // Where the high bits of our own code words hold 1110 at an odd peak, every frame repeats what looks like
    // an inverted sync pair (here 6:05 into the record): the proper frames must keep the polarity, so no
    // tenth of a second goes without a code.
    TimecodeSignalOptions o = optionsFor(TIMECODE_TARLUME);
    o.startNullPass = 59408.0 * 16;
    DeckRun run(o);
    run.feed(0.2);
    int silentTenths = 0;
    for (int tenth = 0; tenth < 30; ++tenth) {
        const DecodeStats s = run.decode(0.1, 0.0);
        silentTenths += s.times == 0;
        EXPECT_LT(s.maxTimeError, kTimeTolerance) << "tenth " << tenth;
    }
    EXPECT_EQ(silentTenths, 0);
}

// Type 2 takes a code only when its three words give three successive times, each step under 150 units.
TEST(FinalScratchDecode, SeratoCodeNeedsThreeSuccessiveTimes) {
    struct Case {
        int step; // table time units per cycle
        bool taken;
    };
    const Case cases[] = {{10, true}, {48, true}, {149, true}, {151, false}, {-10, false}, {0, false}};
    const std::vector<uint8_t>& bits = tcSequence(TIMECODE_SERATO);
    for (const Case& c : cases) {
        std::vector<TimecodeRecord> r;
        int32_t a, b;
        for (int n = 0; n < 60000 && windowCode(2, bits, n, a, b); ++n)
            r.push_back({a, b, 50000000 + n * c.step});
        sortTableRecords(2, r);
        tcInstallTable(TIMECODE_SERATO, r);
        TimecodeSignalOptions o = optionsFor(TIMECODE_SERATO);
        o.startNullPass = 40000;
        FinalScratch fs(44100);
        fs.setParameter(20, TIMECODE_SERATO);
        TimecodeSignal sig(o);
        const DecodeStats s = decodeSignal(fs, sig, 44100, 0.3, 0.0);
        EXPECT_EQ(s.times > 0, c.taken) << "step " << c.step;
        EXPECT_GT(fs.getParameter(15), 0) << "step " << c.step;
    }
    tcInstallTable(TIMECODE_SERATO, tcSyntheticTable(TIMECODE_SERATO, 300000));
}

// The record's sides: type-2 and type-6 codes above 20 minutes are side B, read relative to the side, with the
// side's usable length.
TEST(FinalScratchDecode, RegionCounterPicksTheSide) {
    struct Case {
        int type;
        const TimecodeLfsr* side;
        double lengthA, lengthB;
    };
    const Case cases[] = {{TIMECODE_SERATO, &kSeratoSideB, 600000, 883000},
                          {TIMECODE_TRAKTOR, &kTraktorSideB, 703200, 948000}};
    for (const Case& c : cases) {
        installTable(c.type);
        // A table of both sides: side A as the other tests have it, side B from its own sequence.
        std::vector<TimecodeRecord> r = tcSyntheticTable(c.type, 300000);
        TimecodeLfsr sideB = *c.side;
        sideB.cycles = 200000;
        appendSideRecords(c.type, sideB, int32_t(kRecordLeadMs * 48) + kSideBTimeOffset,
                          48.0 * 1000.0 / sideB.carrierHz, r);
        sortTableRecords(c.type, r);
        tcInstallTable(c.type, r);

        DeckRun a(optionsFor(c.type));
        const DecodeStats sa = a.decode(0.5);
        EXPECT_GT(sa.times, 10);
        EXPECT_EQ(a.fs->getMaxLengthMs(), c.lengthA) << "type " << c.type;
        EXPECT_LT(a.fs->getVinylTime(), 600000);

        // The signal of side B: the same phase, side B's bits.
        const std::vector<uint8_t> bits = lfsrBits(sideB, sideB.cycles);
        TimecodeSignalOptions o = optionsFor(c.type);
        TimecodeSignal sig(o);
        FinalScratch fs(44100);
        fs.setParameter(20, c.type);
        int times = 0;
        double worst = 0;
        for (int i = 0; i < 22050; ++i) {
            float lr[2];
            sig.next(lr[0], lr[1]);
            // Replace the bits: regenerate both channels from side B at the same phase.
            const double phase = sig.nullPass() * M_PI;
            for (int ch = 0; ch < 2; ++ch) {
                const int64_t m = int64_t(std::floor(ch == 1 ? phase / M_PI + 0.5 : phase / M_PI));
                const int64_t cycle = c.type == TIMECODE_SERATO ? ((m & 1) ? (m - 1) / 2 : -1) : m / 2;
                const double amp = 12000 * (cycle < 0 || bits[size_t(cycle)] ? 1.0 : 0.75);
                lr[ch] = float(amp * (ch == 1 ? std::cos(phase) : std::sin(phase)));
            }
            fs.calculate(lr[0], lr[1]);
            if (fs.isNewTime() && i > 13000) {
                ++times;
                worst = std::max(worst, std::fabs(fs.getTime() - sig.expectedTimeMs()) / tcNullPassMs(c.type));
            }
        }
        EXPECT_GT(times, 10) << "type " << c.type;
        EXPECT_LT(worst, kTimeTolerance) << "type " << c.type;
        EXPECT_EQ(fs.getMaxLengthMs(), c.lengthB) << "type " << c.type;
        EXPECT_LT(fs.getVinylTime(), 600000) << "type " << c.type;

        // The record turned over to side A: the counter stops at 10 however long side B played, so the
        // tenth plausible side-A code is taken, not one before it.
        for (int i = 0; i < 8820; ++i)
            fs.calculate(0, 0);
        fs.isNewTime(); // the last side-B peaks completed as the signal fell silent
        TimecodeSignal sideA(o);
        const int lookedUp = int(fs.getParameter(15));
        int firstAt = -1, lookupsBefore = 0;
        for (int i = 0; i < 22050 && firstAt < 0; ++i) {
            float l, r;
            sideA.next(l, r);
            fs.calculate(l, r);
            if (fs.isNewTime()) {
                firstAt = i;
                lookupsBefore = int(fs.getParameter(15)) - lookedUp;
                EXPECT_LT(std::fabs(fs.getTime() - sideA.expectedTimeMs()) / tcNullPassMs(c.type), kTimeTolerance);
            }
        }
        EXPECT_GE(lookupsBefore, 10) << "type " << c.type;
        EXPECT_LE(lookupsBefore, 14) << "type " << c.type;
        for (int i = 0; i < 4410; ++i) { // the counter goes below 0: side A's length
            float l, r;
            sideA.next(l, r);
            fs.calculate(l, r);
        }
        EXPECT_EQ(fs.getMaxLengthMs(), c.lengthA) << "type " << c.type;
        tcInstallTable(c.type, tcSyntheticTable(c.type, 300000));
    }
}

TEST(FinalScratchDecode, CodeWordsCertainPitchAndSpeedMultiplier) {
    // Type 4: the word is the frame number and the time field word x 16 null passes in 1/48 ms.
    TimecodeSignalOptions o = optionsFor(TIMECODE_TARLUME, 1.2);
    o.startNullPass = 100 * 16;
    DeckRun run(o);
    run.feed(0.2);
    const int w1 = int(run.fs->getParameter(3));
    EXPECT_GT(w1, 100);
    EXPECT_NEAR(run.fs->getVinylTime(), w1 * 16 * 0.38461538461538464, 1e-9);
    EXPECT_EQ(run.fs->getParameter(3), std::floor(run.sig->nullPass() / 16) - (run.fs->getNrOfPeaks() / 16));
    EXPECT_NEAR(run.fs->getCertainPitch(), 1.2, 0.012);
    EXPECT_GT(run.fs->getParameter(12), 20);
    EXPECT_GE(run.fs->getParameter(15), run.fs->getParameter(12));
    EXPECT_NEAR(run.fs->getParameter(5), double(run.sig->frames()), 0.02 * 44100);
    EXPECT_EQ(run.fs->getParameter(6), double(run.sig->frames()));
    EXPECT_GT(run.fs->getParameter(8), 20000);
    EXPECT_GT(run.fs->getParameter(13), 20000);

    // The multiplier scales pitch, certain pitch and time.
    DeckRun fast(optionsFor(TIMECODE_TARLUME, 1.0));
    fast.fs->setParameter(16, 1.5);
    fast.feed(0.4);
    EXPECT_NEAR(fast.fs->getPitch(), 1.5, 0.0075);
    EXPECT_NEAR(fast.fs->getCertainPitch(), 1.5, 0.015);
    EXPECT_NEAR(fast.fs->getTime(), (fast.sig->expectedTimeMs() + 2000) * 1.5 - 2000, 2.0);
    fast.fs->setParameter(17, 500);
    EXPECT_NEAR(fast.fs->getTime(), (fast.sig->expectedTimeMs() + 2000) * 1.5 - 500, 2.0);
    EXPECT_EQ(fast.fs->getParameter(17), 0.0);

    // Id 28: past the usable length (999999 ms on our own record) while codes arrive, and not once they stop
    // for ten null passes; never within the usable length.
    for (double start : {20000.0, 163000.0 * 16}) {
        o = optionsFor(TIMECODE_TARLUME);
        o.startNullPass = start;
        DeckRun end(o);
        end.feed(0.2);
        while (!end.fs->isNewTime())
            end.feed(1.0 / o.rate);
        const bool past = start > 20000;
        EXPECT_EQ(end.fs->getVinylTime() > end.fs->getMaxLengthMs(), past);
        EXPECT_EQ(end.fs->getParameter(28), past ? 1.0 : 0.0);
        for (int i = 0; i < 10 * 17 + 1; ++i)
            end.fs->calculate(0, 0);
        EXPECT_EQ(end.fs->getParameter(28), 0.0);
    }
}

TEST(FinalScratchDecode, ParametersAndTheirRanges) {
    FinalScratch fs(44100);
    // Initial settings (id, value).
    const std::pair<int, double> initial[] = {{16, 1},    {19, 1}, {20, 0}, {21, 350},
                                              {22, 4000}, {11, 7}, {14, 0}, {99, 0}};
    for (auto [id, value] : initial)
        EXPECT_EQ(fs.getParameter(id), value) << id;
    EXPECT_EQ(fs.getDirection(), 1);
    // Mode: below 0.5 is 0, below 1.5 is 1, else 2.
    const std::pair<double, int> modes[] = {{0.49, 0}, {0.5, 1}, {1.2, 1}, {1.5, 2}, {1.7, 2}, {-3, 0}};
    for (auto [value, mode] : modes) {
        fs.setParameter(14, value);
        EXPECT_EQ(fs.getVCMode(), mode) << value;
    }
    // The type is truncated; values that name no type are ignored.
    fs.setParameter(20, 6.9);
    EXPECT_EQ(fs.getParameter(20), 6.0);
    fs.setParameter(20, 7);
    fs.setParameter(20, -1);
    fs.setParameter(20, 1e12);
    EXPECT_EQ(fs.getParameter(20), 6.0);
    EXPECT_EQ(fs.getNullPassTime(), 0.25);
    EXPECT_NEAR(fs.getNullPassTimeSamples(), 11.025, 1e-12);
    fs.setSampleRate(96000);
    EXPECT_NEAR(fs.getNullPassTimeSamples(), 11.025 * 96000 / 44100, 1e-9);
    fs.setSampleRate(3000); // ignored
    EXPECT_NEAR(fs.getNullPassTimeSamples(), 11.025 * 96000 / 44100, 1e-9);
    // Settings that are not numbers are refused: they would make every pitch and time one.
    for (int id : {11, 16, 17, 19}) {
        const double before = fs.getParameter(id);
        fs.setParameter(id, INFINITY);
        fs.setParameter(id, -INFINITY);
        fs.setParameter(id, NAN);
        EXPECT_EQ(fs.getParameter(id), before) << id;
    }
    EXPECT_TRUE(std::isfinite(fs.getTime()));
    // A gain of 0 would divide the range by zero: it is held above 0.
    fs.setParameter(19, 0);
    EXPECT_GT(fs.getParameter(19), 0.0);
    for (int i = 0; i < 10000; ++i)
        fs.calculate(float(i % 50) * 100, -float(i % 50) * 100);
    EXPECT_TRUE(std::isfinite(fs.getParameter(13)));
    EXPECT_TRUE(std::isfinite(fs.getParameter(8)));
    fs.setParameter(19, 1);

    // Capture: the next 1024 frames as 16-bit values, clamped; nothing outside 0 .. 2047.
    fs.setParameter(23, 1);
    const float values[] = {100, -200, 40000, -50000, NAN, 32767.9f};
    for (int i = 0; i < 1100; ++i)
        fs.calculate(values[(2 * i) % 6], values[(2 * i + 1) % 6]);
    const std::pair<int, double> captured[] = {{0, 100},   {1, -200},    {2, 32767}, {3, -32768}, {4, 0},
                                               {5, 32767}, {2047, -200}, {2048, 0},  {-1, 0}};
    for (auto [index, value] : captured)
        EXPECT_EQ(fs.getParameter(23, index), value) << index;
}

TEST(FinalScratchDecode, ClearingAndTheWaitFlag) {
    DeckRun run(optionsFor(TIMECODE_TARLUME));
    run.feed(0.3);
    EXPECT_GT(run.fs->getVinylTime(), 0);
    run.fs->setParameter(18, 1);
    run.fs->calculate(0, 0);
    EXPECT_EQ(run.fs->getNrOfPeaks(), 0);
    EXPECT_EQ(run.fs->getVinylTime(), 0);
    const DecodeStats again = run.decode(0.6, 0.1);
    EXPECT_GT(again.times, 40);
    EXPECT_LT(again.maxTimeError, kTimeTolerance);

    // With the wait flag, 128 peaks pass after each code before the next search.
    DeckRun waiting(optionsFor(TIMECODE_TARLUME));
    waiting.fs->setParameter(25, 1);
    EXPECT_EQ(waiting.fs->getParameter(25), 1.0);
    const DecodeStats w = waiting.decode(0.6, 0.1);
    EXPECT_GT(w.times, 10);
    EXPECT_LT(w.times, again.times * 2 / 3);
    EXPECT_LT(w.maxTimeError, kTimeTolerance);
}

// A decoder moved to another rate retunes its band filters too: it then reads exactly as one made there.
TEST(FinalScratchDecode, NewSampleRateRetunesTheBandFilters) {
    TimecodeSignalOptions o = optionsFor(TIMECODE_TARLUME, 1.1, 96000);
    FinalScratch made(96000), moved(44100);
    moved.setSampleRate(96000);
    made.setParameter(20, 4);
    moved.setParameter(20, 4);
    TimecodeSignal sig(o);
    int differ = 0;
    for (int i = 0; i < 48000; ++i) {
        float l, r;
        sig.next(l, r);
        made.calculate(l, r);
        moved.calculate(l, r);
        differ += made.getPitch() != moved.getPitch() || made.getTime() != moved.getTime();
    }
    EXPECT_EQ(differ, 0);
    EXPECT_NEAR(made.getPitch(), 1.1, 0.0055);
}

// The bit dump goes to "./ts_code"; a working folder where it cannot be made is no fault.
TEST(FinalScratchDecode, CodeBitDump) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const testsupport::TempDir scratch("dump");
    ASSERT_EQ(chdir(scratch.path.c_str()), 0);
    // Back to the old working folder however the test ends, so the scratch folder can go.
    struct Back {
        const char* to;
        ~Back() {
            if (chdir(to) != 0) {
            }
        }
    } back{cwd};
    // Each code bit of the record once, in record order, 29 to a line (46 for the two-word codes).
    for (int type : {TIMECODE_SERATO, TIMECODE_MV, TIMECODE_TRAKTOR}) {
        remove("ts_code");
        const TimecodeSignalOptions o = optionsFor(type);
        {
            DeckRun run(o);
            run.fs->setRecord(true);
            run.feed(0.2);
            run.fs->setRecord(false);
        }
        std::string played; // the cycles around the stretch played
        const std::vector<uint8_t>& sequence = tcSequence(type);
        for (int64_t n = int64_t(o.startNullPass / 2) - 50; n < int64_t(o.startNullPass / 2) + 1000; ++n)
            played += char('0' + sequence[size_t(n)]);
        const size_t perLine = type == TIMECODE_SERATO ? 29 : 46;
        FILE* f = fopen("ts_code", "r");
        ASSERT_NE(f, nullptr);
        char line[256];
        int lines = 0;
        while (fgets(line, sizeof line, f)) {
            const std::string s = line;
            const size_t bits = s.find(' ');
            if (bits == std::string::npos) break; // the bits of an unfinished line end the file
            EXPECT_EQ(s.find_first_not_of("01"), bits);
            if (lines > 0) {
                EXPECT_EQ(bits, perLine) << s;
                EXPECT_NE(played.find(s.substr(0, bits)), std::string::npos) << "type " << type << ": " << s;
            }
            ++lines;
        }
        fclose(f);
        EXPECT_GE(lines, 3) << "type " << type;
        remove("ts_code");
    }

    // "./ts_code" is a folder here: no dump, decoding goes on.
    mkdir("ts_code", 0755);
    DeckRun blocked(optionsFor(TIMECODE_SERATO));
    blocked.fs->setRecord(true);
    const DecodeStats s = blocked.decode(0.4);
    blocked.fs->setRecord(false);
    EXPECT_GT(s.times, 10);
    rmdir("ts_code");
}
