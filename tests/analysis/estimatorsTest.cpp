#include "analysis/bpm_beatlist.h"
#include "analysis/bpm_stripes.h"
#include "analysis/bpm_wavelist.h"

#include "KickTrain.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A list of 105 beats (80 .. 190 BPM) filled with the given times.
bpm_beatlist listOf(const std::vector<double>& times, int nbBeats = 105) {
    bpm_beatlist list(80, 190, nbBeats, 0.9f, true);
    for (double t : times)
        list.AddBeat(t, false, 10);
    list.calculate();
    return list;
}

std::vector<double> series(double first, double interval, int count) {
    std::vector<double> v;
    for (int i = 0; i < count; ++i)
        v.push_back(first + i * interval);
    return v;
}

} // namespace

TEST(BeatList, EvenSeriesGivesItsTempo) {
    struct Case {
        double interval;
        int count;
        float bpm;
        int beats; // run length
    };
    const Case cases[] = {
        {500, 106, 120, 105}, // a full list: every interval counts
        {500, 40, 120, 39},   // a partly filled list: the empty slots are no beats
        {468.75, 106, 128, 105}, {320, 106, 187.5f, 105}, {740, 106, 81.081f, 105},
    };
    for (const Case& c : cases) {
        bpm_beatlist list = listOf(series(1000, c.interval, c.count));
        EXPECT_NEAR(list.getBPM(), c.bpm, 1e-3) << c.interval << " x " << c.count;
        EXPECT_EQ(list.getNrOfBeats(), c.beats) << c.interval << " x " << c.count;
        EXPECT_EQ(list.getBeatTime(), 1000 + (c.count - 1) * c.interval);
    }
    // Too few beats for a run that starts five entries before the end.
    EXPECT_EQ(listOf(series(1000, 500, 5)).getBPM(), 0.0f);
}

TEST(BeatList, MissingSpuriousAndJitteredBeats) {
    // One missing beat: the doubled interval is halved and counts as two beats.
    std::vector<double> missing = series(1000, 500, 106);
    missing.erase(missing.begin() + 50);
    bpm_beatlist a = listOf(missing);
    EXPECT_NEAR(a.getBPM(), 120, 1e-3);
    EXPECT_EQ(a.getNrOfBeats(), 105); // 104 stored intervals, one of them counted twice

    // A spurious beat 150 ms after a real one is skipped.
    std::vector<double> spurious = series(1000, 500, 105);
    spurious.insert(spurious.begin() + 60, 1000 + 59 * 500 + 150);
    bpm_beatlist b = listOf(spurious);
    EXPECT_NEAR(b.getBPM(), 120, 1e-3);
    EXPECT_EQ(b.getNrOfBeats(), 104);

    // +-10 ms of jitter on a 500 ms series still gives 120 +- 0.5.
    std::vector<double> jittered = series(1000, 500, 106);
    for (size_t i = 0; i < jittered.size(); ++i)
        jittered[i] += (i * 7919 % 21) - 10.0;
    EXPECT_NEAR(listOf(jittered).getBPM(), 120, 0.5);
}

TEST(BeatList, IntervalBounds) {
    // Just above 60000 / 80 = 750 ms: halved, so 80.0x BPM runs count double (160 BPM).
    EXPECT_NEAR(listOf(series(1000, 751, 106)).getBPM(), 60000.0 / 375.5, 1e-2);
    // Exactly the bounds are rejected: 750 ms (80 BPM) and 60000 / 190 ms.
    EXPECT_EQ(listOf(series(1000, 750, 106)).getBPM(), 0.0f);
    EXPECT_EQ(listOf(series(1000, double(60000.0f / 190.0f), 106)).getBPM(), 0.0f);
    // A run whose tempo strays 10 BPM or more from its first interval's is rejected: here the run from the
    // first beat (316 ms, then 335 ms intervals, each within 19 ms) fails, and the one from the second wins.
    std::vector<double> drifting = {1000, 1316};
    for (int i = 1; i < 105; ++i)
        drifting.push_back(1316 + i * 335.0);
    bpm_beatlist list = listOf(drifting);
    EXPECT_NEAR(list.getBPM(), 60000.0 / 335, 1e-2);
    EXPECT_EQ(list.getNrOfBeats(), 104);
}

TEST(BeatList, ResetAndExpiry) {
    bpm_beatlist list = listOf(series(1000, 500, 106));
    list.follower.ratio = 2;
    list.follower.threshold = 5;
    list.reset();
    EXPECT_EQ(list.getBPM(), 0.0f);
    EXPECT_EQ(list.getNrOfBeats(), 0);
    EXPECT_EQ(list.getNewestBeatTime(), 0.0);
    EXPECT_EQ(list.follower.ratio, 0.6f);
    EXPECT_EQ(list.follower.threshold, 5.0f); // the threshold stays
    list.AddBeat(100, false, 4);
    EXPECT_EQ(list.getStrengthAverage(), 4.0f);
    list.AddBeat(600, true, 14);
    EXPECT_FLOAT_EQ(list.getStrengthAverage(), 5.0f);
    list.clearBeats();
    EXPECT_EQ(list.getNewestBeatTime(), 0.0);
}

TEST(BandList, ReportsOncePerCycleAndFindsTheMeasure) {
    // A band that pulses once per measure of 2 s (120 BPM), sampled every 12 ms.
    bpm_wavelist list(80, 190, 30.0, 12);
    double t = 0;
    for (; t < 29900; t += 12)
        list.AddSample(t, std::fmod(t, 2000) < 100 ? 1.0 : 0.1);
    EXPECT_EQ(list.getError(), -1); // nothing before the first 30 s
    for (; t < 30100; t += 12)
        list.AddSample(t, std::fmod(t, 2000) < 100 ? 1.0 : 0.1);
    EXPECT_NEAR(list.getBPM(), 120, 1.0);
    EXPECT_GT(list.getError(), 0);

    // A constant value repeats at every lag: error 0, which the detector ignores.
    bpm_wavelist flat(80, 190, 30.0, 12);
    for (double u = 0; u < 30100; u += 12)
        flat.AddSample(u, 0.5);
    EXPECT_EQ(flat.getError(), 0);
    EXPECT_NEAR(flat.getMean(), 128, 0.1);

    // The slowest lag is that of 90 BPM, even when the minimum asked for is lower.
    bpm_wavelist slow(60, 190, 30.0, 12);
    for (double u = 0; u < 30100; u += 12)
        slow.AddSample(u, std::fmod(u, 4000) < 100 ? 1.0 : 0.1); // 60 BPM
    EXPECT_GE(slow.getBPM(), 90.0f);
}

TEST(BandList, ClearRestartsTheCycle) {
    bpm_wavelist list(80, 190, 30.0, 12);
    for (double t = 100000; t < 110000; t += 12)
        list.AddSample(t, 0.3);
    list.clear(); // a new track starts near 0 ms
    for (double t = 0; t < 30100; t += 12)
        list.AddSample(t, std::fmod(t, 2000) < 100 ? 1.0 : 0.1);
    EXPECT_NEAR(list.getBPM(), 120, 1.0);
    // Out-of-range values are held in 16 bits without overflow.
    list.AddSample(40000, 1e9);
    list.AddSample(40012, NAN);
}

TEST(EnvelopeComb, FindsTheTempoOfAccentedClicksOnceItsRingHasFilled) {
    // Clicks repeating an eight-beat accent pattern: the envelope repeats 8 and 16 beats later at the true
    // tempo only. (Evenly loud clicks also repeat at 4/5, 2/3, ... of the tempo, which the comb cannot tell
    // apart.)
    KickTrain clicks;
    clicks.frequency = 1000;
    clicks.seconds = 25;
    clicks.accents = {1.0, 0.6, 0.8, 0.5, 0.9, 0.55, 0.75, 0.45};
    clicks.noiseDb = 40; // a perfect repetition scores 0 and leaves the accuracy unset
    for (double bpm : {100.0, 128.0, 150.0}) {
        clicks.bpm = bpm;
        std::vector<float> signal = clicks.make();
        bpm_stripes comb(clicks.rate, 80, 160, 0.1);
        float accuracyBeforeFull = -1;
        for (size_t i = 0; i < signal.size(); ++i) {
            comb.process(signal[i]);
            if (i + 1 == 1800 * 294) accuracyBeforeFull = comb.getAccuracy();
        }
        EXPECT_EQ(accuracyBeforeFull, 0.0f); // 0 for the first 1801 envelope steps
        EXPECT_GE(comb.getAccuracy(), 2.7f) << bpm;
        EXPECT_NEAR(comb.getBPM(), bpm, 0.2) << bpm;
    }
}

TEST(EnvelopeComb, ResetAndRateGuards) {
    bpm_stripes comb(44100, 80, 160, 0.1);
    for (int i = 0; i < 1000000; ++i)
        comb.process(float(i % 1000));

    comb.reset();
    EXPECT_EQ(comb.getAccuracy(), 0.0f);
    comb.setSamplerate(100); // below 150 Hz: still at least one sample per step
    for (int i = 0; i < 5000; ++i)
        comb.process(1.0f);
    comb.setSamplerate(-1);
    comb.setSamplerate(NAN);
    EXPECT_GE(comb.getBPM(), 80.0f);
}
