#include "audio/effects/AllPassFilter.h"
#include "audio/effects/Reverb.h"
#include "audio/effects/Statistical.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

void feedBlock(Statistical& s, float l, float r, int frames = Statistical::kBlockFrames) {
    for (int i = 0; i < frames; ++i)
        s.process(l, r);
}

template <typename Stage> std::vector<float> impulseResponse(Stage& stage, int frames) {
    std::vector<float> out;
    for (int i = 0; i < frames; ++i) {
        float l = i == 0 ? 1.0f : 0.0f, r = l;
        stage.process(&l, &r);
        EXPECT_EQ(l, r);
        out.push_back(l);
    }
    return out;
}

} // namespace

TEST(Statistical, SteadyRunAtThePeakCountsAsClipping) {
    Statistical s;
    feedBlock(s, 32767.0f, -32767.0f);
    EXPECT_EQ(s.getParameter(0), 0.0); // the peak is only raised when a block ends
    EXPECT_EQ(s.getParameter(1), 32767.0);
    feedBlock(s, 32767.0f, -32767.0f);
    EXPECT_EQ(s.getParameter(0), 1.0);
    feedBlock(s, 100.0f, 100.0f);
    EXPECT_EQ(s.getParameter(0), 0.0);
    feedBlock(s, 0.0f, 0.0f); // silence never counts, even at a peak of 0
    EXPECT_EQ(s.getParameter(0), 0.0);
}

TEST(Statistical, BlockPeaksAndResets) {
    Statistical s;
    s.processBefore(-1234.9f, 17.0f);
    EXPECT_EQ(s.getParameter(2), 1234.0); // truncated to an integer
    for (int i = 0; i < Statistical::kBlockFrames; ++i)
        s.process(i == 10 ? -500.7f : 3.0f, i == 20 ? 800.0f : 2.0f);
    EXPECT_EQ(s.getParameter(3), 500.0);
    EXPECT_EQ(s.getParameter(4), 800.0);
    feedBlock(s, 1.0f, 1.0f, Statistical::kBlockFrames - 1); // block not finished: last block still shown
    EXPECT_EQ(s.getParameter(3), 500.0);
    s.process(1.0f, 1.0f);
    EXPECT_EQ(s.getParameter(3), 1.0);
    EXPECT_EQ(s.getParameter(1), 800.0); // the running peak keeps the loudest block

    s.setParameter(6, 0);
    EXPECT_EQ(s.getParameter(1), 0.0);
    EXPECT_EQ(s.getParameter(2), 0.0);
    s.processBefore(10.0f, 0.0f);
    EXPECT_EQ(s.getParameter(2), 10.0);
    s.setParameter(5, 3.0); // stored, read by nothing
    EXPECT_EQ(s.getParameter(5), 0.0);
}

TEST(Statistical, HugeAndBrokenLevelsStayInRange) {
    Statistical s;
    s.processBefore(1e30f, -1e30f);
    EXPECT_EQ(s.getParameter(2), 2147483647.0);
    feedBlock(s, __builtin_nanf(""), 1e30f);
    EXPECT_EQ(s.getParameter(1), 2147483647.0);
}

TEST(Reverb, FirstStageRepeatsInvertedEvery50Ms) {
    AllPassFilter stage(44100, 50.0f, 0.1f);
    std::vector<float> y = impulseResponse(stage, 4411);
    EXPECT_EQ(y[0], 1.0f);
    EXPECT_FLOAT_EQ(y[2205], -0.1f);
    EXPECT_FLOAT_EQ(y[4410], 0.01f);
    for (int i = 1; i < 4410; ++i) {
        if (i == 2205) continue;
        ASSERT_EQ(y[size_t(i)], 0.0f) << i;
    }
}

TEST(Reverb, FiveStagesInSeries) {
    Reverb reverb(44100, 200.0f);
    std::vector<float> y = impulseResponse(reverb, 3000);
    EXPECT_EQ(y[0], 1.0f);
    EXPECT_FLOAT_EQ(y[2205], -0.1f); // the 50 ms stage first; the 58 ms stage answers later
    for (int i = 1; i < 2205; ++i)
        ASSERT_EQ(y[size_t(i)], 0.0f) << i;
    const size_t second = size_t(int(44100 * 58.0f / 1000.0f)); // stage 1 repeats with gain 0.15
    EXPECT_NE(y[second], 0.0f);
}

TEST(Reverb, StageDelayChangesOnlyWithinItsRing) {
    AllPassFilter stage(1000, 10.0f, 0.5f); // ring of 10 frames
    stage.setParameter(0, 4.0);             // 4 frames: fits
    std::vector<float> y = impulseResponse(stage, 5);
    EXPECT_FLOAT_EQ(y[4], -0.5f);
    stage.setParameter(0, 50.0); // 50 frames: does not fit, ignored
    stage.setParameter(0, 0.0);  // no frame at all: ignored
    stage.setParameter(1, 0.25);
    float l = 0, r = 0;
    for (int i = 0; i < 3; ++i)
        stage.process(&l, &r);
    stage.process(&l, &r); // one 4-frame period after the -0.5 written at frame 4
    EXPECT_FLOAT_EQ(l, 0.125f);
    EXPECT_EQ(stage.getParameter(0), 0.0);
}
