#include "analysis/BeatReceiver.h"
#include "analysis/bpm_detection.h"

#include "KickTrain.h"

#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

struct BpmDetectionTestAccess {
    static void setConfidence(bpm_detection& d, float c) { d.m_confidence = c; }
    static bpm_beatlist& list(bpm_detection& d, int i) { return d.m_lists[size_t(i)]; }
    static float fast(const bpm_detection& d, int channel) { return d.m_fast[channel]; }
    static double rate(const bpm_detection& d) { return d.m_rate; }
};
using Access = BpmDetectionTestAccess;

namespace {

struct Receiver : BeatReceiver {
    std::vector<unsigned> beats;
    std::vector<double> proposed;
    std::vector<float> weights;
    void addBeat(unsigned position, float, double, float, bool marker, bool user) override {
        EXPECT_FALSE(marker || user);
        beats.push_back(position);
    }
    void setBPM(double bpm, float weight) override {
        proposed.push_back(bpm);
        weights.push_back(weight);
    }
};

// One analysis frame with power `x` in bins 1 .. 4 and silent bands.
void frame(bpm_detection& d, double now, float x = 0) {
    float spectrum[512] = {0};
    for (int c = 1; c < 5; ++c)
        spectrum[c] = x;
    const float bands[16] = {0};
    d.calculateBPM(spectrum, now, bands, 16);
}

bpm_detection makeDetector() {
    return bpm_detection(44100, 5, 105, 80, 190, 0.9f, true, false, true);
}

// Fills every beat list with an even series ending at `end` ms.
void fillLists(bpm_detection& d, double interval, double end) {
    for (int i = 0; i < 10; ++i)
        for (int k = 105; k >= 0; --k)
            Access::list(d, i).AddBeat(end - k * interval, false, 20);
}

} // namespace

TEST(TempoDetector, ConfidenceAgesAndIsCapped) {
    struct Case {
        float level, aged;
    };
    const Case cases[] = {{400, 299}, {250, 249}, {150, 149.5f}, {50, 49.68f}, {1, 0.88f}, {0.1f, 0.1f}, {0, 0}};
    for (const Case& c : cases) {
        bpm_detection d = makeDetector();
        Access::setConfidence(d, c.level);
        EXPECT_EQ(d.getParameter(1), std::fmin(c.level, 99.0f)) << c.level;
        d.calculateList(1000);
        EXPECT_NEAR(d.getConfidence(), c.aged, 1e-4) << c.level;
        EXPECT_EQ(d.getParameter(0), 0.0); // no beats in range: no tempo
    }
}

TEST(TempoDetector, AgreeingListsSetTempoFirstBeatAndCounter) {
    bpm_detection d = makeDetector();
    Receiver grid;
    d.setWaveForm(&grid);
    // Frames without a tempo: the counter does not step.
    for (double t = 11.6; t < 500; t += 11.6)
        frame(d, t);
    EXPECT_EQ(d.getParameter(2), 0.0);
    EXPECT_TRUE(grid.beats.empty());

    fillLists(d, 500, 60000);
    double now = 60000;
    frame(d, now); // evaluates the lists (more than 500 ms since the last evaluation)
    EXPECT_NEAR(d.getParameter(0), 120, 1e-3);
    EXPECT_EQ(d.getParameter(1), 99.0);
    EXPECT_EQ(d.getConfidence(), 299.0f); // 10 lists of 105 beats, each agreeing with 9 others
    ASSERT_EQ(grid.beats.size(), 1u);
    EXPECT_EQ(grid.beats[0], 60000u * 44100u / 1000u);

    // The counter steps once per beat.
    int steps = 0;
    double previous = d.getParameter(2);
    for (now += 11.6; now < 70000; now += 11.6) {
        frame(d, now);
        if (d.getParameter(2) != previous) {
            ++steps;
            EXPECT_EQ(d.getParameter(2), std::fmod(previous, 4) + 1);
            previous = d.getParameter(2);
            EXPECT_NEAR(d.getParameter(3), now, 1e-9);
        }
    }
    EXPECT_NEAR(steps, 20, 1);
}

TEST(TempoDetector, FrameTimingAndResets) {
    bpm_detection d = makeDetector();
    const float x = 100;
    frame(d, 12, x);
    EXPECT_NEAR(Access::fast(d, 1), (1 - 0.995) * x, 1e-4);
    float previous = Access::fast(d, 1);
    frame(d, 36, x); // 24 ms later: two 12 ms steps
    EXPECT_NEAR(Access::fast(d, 1), previous * 0.995 * 0.995 + (1 - 0.995 * 0.995) * x, 1e-4);
    previous = Access::fast(d, 1);
    frame(d, 5000, x); // more than 200 ms: counts as 12
    EXPECT_NEAR(Access::fast(d, 1), previous * 0.995 + 0.005 * x, 1e-4);

    // Going back in time resets the results.
    fillLists(d, 500, 60000);
    frame(d, 60000);
    ASSERT_GT(d.getParameter(0), 0.0);
    frame(d, 1000);
    EXPECT_EQ(d.getParameter(0), 0.0);
    EXPECT_EQ(d.getConfidence(), 0.0f);
    EXPECT_EQ(d.getParameter(2), 0.0);
}

TEST(TempoDetector, OldListsAreEmptied) {
    bpm_detection d = makeDetector();
    for (int k = 0; k < 20; ++k)
        Access::list(d, 3).AddBeat(1000 + k * 500, false, 5);
    const double newest = 1000 + 19 * 500;
    d.calculateList(newest + 29999);
    EXPECT_EQ(Access::list(d, 3).getNewestBeatTime(), newest);
    d.calculateList(newest + 30001);
    EXPECT_EQ(Access::list(d, 3).getNewestBeatTime(), 0.0);
}

TEST(TempoDetector, ParametersFromAnotherThreadApplyAtTheNextFrame) {
    bpm_detection d = makeDetector();
    fillLists(d, 500, 60000);
    frame(d, 60000);
    ASSERT_GT(d.getParameter(0), 0.0);
    std::thread([&] {
        d.setParameter(4, 1);
        d.setParameter(5, 0);
        d.setParameter(6, 1);
        d.setParameter(7, 100);
        d.setParameter(8, 150);
        d.setParameter(9, 48000);
        d.setParameter(9, -1); // ignored
        d.setParameter(42, 1); // ignored
    }).join();
    EXPECT_EQ(d.getParameter(5), 0.0);
    EXPECT_EQ(d.getParameter(6), 1.0);
    EXPECT_GT(d.getParameter(0), 0.0); // not before the feeding thread's next frame
    frame(d, 60011.6);
    EXPECT_EQ(d.getParameter(0), 0.0);
    EXPECT_EQ(Access::list(d, 9).getMinBPM(), 100.0f);
    EXPECT_EQ(Access::list(d, 0).getMaxBPM(), 150.0f);
    EXPECT_EQ(Access::rate(d), 48000.0);
    EXPECT_EQ(d.getParameter(7), 0.0);

    // More channels than the arrays hold are clamped.
    bpm_detection wide(44100, 50, 105, 80, 190, 0.9f, true, false, true);
    for (double t = 11.6; t < 2000; t += 11.6)
        frame(wide, t, float(std::fmod(t, 500) < 20 ? 1000 : 1));
}

TEST(TempoDetector, CombTempoOnlyWhileTheListsAreUnsure) {
    // Without beat lists the comb alone decides, at confidence 16, and proposes its tempo to the grid.
    KickTrain clicks;
    clicks.bpm = 128;
    clicks.frequency = 1000;
    clicks.seconds = 25;
    clicks.noiseDb = 40;
    clicks.accents = {1.0, 0.6, 0.8, 0.5, 0.9, 0.55, 0.75, 0.45};
    std::vector<float> signal = clicks.make();
    for (float preset : {0.0f, 40.0f}) {
        bpm_detection d(44100, 0, 105, 80, 190, 0.9f, true, false, true);
        Receiver grid;
        d.setWaveForm(&grid);
        Access::setConfidence(d, preset);
        for (size_t i = 0; i < signal.size(); ++i) {
            d.process(signal[i]);
            if ((i + 1) % 512 == 0) frame(d, (i + 1) / 44.1);
        }
        if (preset == 0) {
            EXPECT_NEAR(d.getParameter(0), 128, 0.2);
            EXPECT_EQ(d.getConfidence(), 16.0f);
            ASSERT_FALSE(grid.proposed.empty());
            EXPECT_EQ(grid.weights.back(), 16.0f);
        } else { // a level above 16 keeps the comb out
            EXPECT_EQ(d.getParameter(0), 0.0);
            EXPECT_TRUE(grid.proposed.empty());
        }
    }
}

TEST(TempoDetector, BandListsWhenSwitchedOn) {
    // A band that pulses once every 2 s (a measure at 120 BPM); the band lists report after 30 s.
    bpm_detection d(44100, 0, 105, 80, 190, 0.9f, true, true, false);
    float spectrum[512] = {0};
    float bands[16] = {0};
    for (double now = 11.6; now < 31000; now += 11.6) {
        for (int b = 0; b < 15; ++b)
            bands[b] = std::fmod(now + b * 37, 2000) < 100 ? 1.0f : 0.1f;
        d.calculateBPM(spectrum, now, bands, 16);
    }
    EXPECT_NEAR(d.getParameter(0), 120, 1.0);
    EXPECT_EQ(d.getConfidence(), 12.0f);
}
