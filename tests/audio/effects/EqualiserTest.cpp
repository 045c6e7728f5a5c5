#include "audio/effects/ThreeBandEQ.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Peak level of a sine after the equaliser has had time to glide onto its settings.
float sineLevel(ThreeBandEQ& eq, double hz, int frames = 44100) {
    float peak = 0;
    for (int i = 0; i < frames; ++i) {
        float l = 10000.0f * float(std::sin(2 * M_PI * hz * i / 44100.0)), r = l;
        eq.process(&l, &r);
        if (i > frames / 2) peak = std::fmax(peak, std::fabs(l));
    }
    return peak;
}

ThreeBandEQ* typical(ThreeBandEQ& eq, int type) {
    eq.setParameter(8, type);
    eq.setParameter(4, 200);
    eq.setParameter(5, 1000);
    eq.setParameter(6, 2000);
    eq.setParameter(7, 4000);
    return &eq;
}

} // namespace

TEST(ThreeBandEQ, FlatPassesAudioUnchanged) {
    for (int type : {0, 1, 2}) {
        ThreeBandEQ eq(44100);
        typical(eq, type);
        for (int i = 0; i < 3000; ++i) {
            const float x = 12000.0f * float(std::sin(i * 0.07));
            float l = x, r = -x;
            eq.process(&l, &r);
            ASSERT_EQ(l, x) << type;
            ASSERT_EQ(r, -x) << type;
        }
    }
}

TEST(ThreeBandEQ, CutsAndBoostsTheirBands) {
    struct Case {
        int type, band;
        double gain, hz;
        float lo, hi; // expected level range of a 10000 sine
    } cases[] = {
        {0, 0, -1.0, 40, 0, 1000},    {0, 0, 1.0, 40, 25000, 45000},   {0, 3, -1.0, 12000, 0, 1000},
        {1, 0, -1.0, 40, 0, 1500},    {1, 1, 1.0, 1000, 25000, 45000}, {2, 1, -1.0, 1500, 0, 2500},
        {2, 0, 0.0, 40, 9500, 10500}, // untouched band, another type
    };
    for (const Case& c : cases) {
        ThreeBandEQ eq(44100);
        typical(eq, c.type)->setParameter(c.band, c.gain);
        const float level = sineLevel(eq, c.hz);
        EXPECT_GE(level, c.lo) << c.type << " " << c.band << " " << c.gain;
        EXPECT_LE(level, c.hi) << c.type << " " << c.band << " " << c.gain;
    }
}

TEST(ThreeBandEQ, SplitLayoutWithEveryBandKilledIsSilent) {
    ThreeBandEQ eq(44100);
    typical(eq, 2);
    for (int band : {0, 1, 3})
        eq.setParameter(band, -1.0);
    for (int i = 0; i < 20000; ++i) {
        float l = 20000.0f * float(std::sin(i * 0.01)), r = l;
        eq.process(&l, &r);
        ASSERT_EQ(l, 0.0f) << i;
    }
}

TEST(ThreeBandEQ, ParametersClampAndReadBack) {
    ThreeBandEQ eq(44100);
    eq.setParameter(0, 5.0);
    eq.setParameter(3, -7.0);
    eq.setParameter(1, std::nan(""));
    EXPECT_EQ(eq.getParameter(0), 1.0);
    EXPECT_EQ(eq.getParameter(3), -1.0);
    EXPECT_EQ(eq.getParameter(1), 0.0);
    EXPECT_EQ(eq.getParameter(4), 5.0); // a new equaliser's frequencies start from 0, clamped to 5 Hz
    eq.setParameter(6, 2500);
    EXPECT_EQ(eq.getParameter(6), 2500.0);
    eq.setParameter(8, 2.7);
    EXPECT_EQ(eq.getParameter(8), 2.0);
    EXPECT_EQ(eq.getParameter(9), 0.0);
}

TEST(ThreeBandEQ, LeavingTheSplitLayoutRestoresTheMid) {
    // A mid cut heard the same before and after a trip through layout 2.
    ThreeBandEQ direct(44100), roundTrip(44100);
    typical(direct, 0)->setParameter(1, -0.8);
    typical(roundTrip, 2)->setParameter(1, -0.8);
    roundTrip.setParameter(8, 0);
    EXPECT_NEAR(sineLevel(roundTrip, 1000, 88200), sineLevel(direct, 1000, 88200), 10.0f);
}

TEST(ThreeBandEQ, SettledCopyMeasuresLikeTheOriginal) {
    ThreeBandEQ live(44100);
    typical(live, 0);
    live.setParameter(0, -0.5);
    live.setParameter(1, 0.7);
    live.setParameter(3, 0.3);
    ThreeBandEQ copy(44100);
    copy.copySettingsFrom(live);
    copy.settle();
    for (int i = 0; i < 200000; ++i) { // the live one glides there through silence
        float l = 0, r = 0;
        live.process(&l, &r);
    }
    for (int i = 0; i < 2048; ++i) {
        float l = i == 3 ? 32767.0f : 0.0f, r = l, s = l;
        live.process(&l, &r);
        copy.processResponse(&s);
        ASSERT_NEAR(s, l, 1e-3f) << i;
    }
}
