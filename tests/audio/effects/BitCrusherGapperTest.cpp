#include "audio/effects/BitCrusher.h"
#include "audio/effects/EffectMath.h"
#include "audio/effects/Gapper.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "audio/effects/EffectTesting.h"

namespace {

// The gain a gapper applies at each frame of its cycle, read with a constant input of 1.
std::vector<Frame> gains(Gapper& g, int frames) {
    std::vector<Frame> out;
    for (int i = 0; i < frames; ++i) {
        float l = 1.0f, r = 1.0f;
        g.process(&l, &r);
        out.push_back({l, r});
    }
    return out;
}

} // namespace

TEST(BitCrusher, DefaultsPassAudioUnchanged) {
    BitCrusher c;
    for (float x : {0.0f, 1.5f, -1.5f, 12345.678f, -32768.0f, 32767.0f, 40000.0f}) {
        Frame f = run(c, x, -x);
        EXPECT_EQ(f.l, x);
        EXPECT_EQ(f.r, -x);
    }
}

TEST(BitCrusher, TwoBitsLeaveThreeLevels) {
    BitCrusher c;
    c.setParameter(0, 2.0);
    struct Case {
        float in, out;
    } cases[] = {{0.0f, 0.0f},         {100.0f, 0.0f},         {16383.0f, 0.0f},       {16384.0f, 16383.5f},
                 {32766.0f, 16383.5f}, {-16384.0f, -16383.5f}, {-32000.0f, -16383.5f}, {-5.0f, 0.0f}};
    for (const Case& k : cases) {
        Frame f = run(c, k.in, k.in);
        EXPECT_FLOAT_EQ(f.l, k.out) << k.in;
        EXPECT_FLOAT_EQ(f.r, k.out) << k.in;
    }
    c.setParameter(0, 0.5); // below 2 bits means 2 bits
    EXPECT_EQ(c.getParameter(0), 2.0);
}

TEST(BitCrusher, DriveSoftClipsInTwoStages) {
    BitCrusher c;
    c.setParameter(2, 2.0);
    Frame f = run(c, 20000.0f, -20000.0f);
    EXPECT_FLOAT_EQ(f.l, 30541.27f); // 40000 past the first knee; still under full scale
    EXPECT_FLOAT_EQ(f.r, -30541.27f);
    f = run(c, 32767.0f, 0.0f); // 65534 -> 33094.67 after the first knee -> past the second
    EXPECT_NEAR(f.l, (((65534.0f - 29490.3f) / 10.0f + 29490.3f) - 32767.0f) / 20.0f + 32767.0f, 0.01f);
    c.setParameter(2, 1e12); // an absurd drive is capped, never infinite
    f = run(c, 32767.0f, -32767.0f);
    EXPECT_TRUE(std::isfinite(f.l) && std::isfinite(f.r));
}

TEST(BitCrusher, DownsampleHoldsEveryFourthFrame) {
    BitCrusher c;
    c.setParameter(1, 4.0);
    std::vector<float> out;
    for (int i = 1; i <= 12; ++i)
        out.push_back(run(c, float(i), float(-i)).l);
    EXPECT_EQ(out, (std::vector<float>{0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12}));
}

TEST(BitCrusher, ParametersReadBackAndIgnoreBrokenValues) {
    BitCrusher c;
    c.setParameter(1, 3.0);
    c.setParameter(1, std::numeric_limits<double>::quiet_NaN());
    c.setParameter(2, std::numeric_limits<double>::infinity());
    EXPECT_EQ(c.getParameter(1), 3.0);
    EXPECT_EQ(c.getParameter(2), 1.0);
    c.setParameter(9, 5.0);
    EXPECT_EQ(c.getParameter(9), 0.0);
}

TEST(Gapper, ShortCyclesDoNothing) {
    for (int length : {0, 1, 5, -100}) {
        Gapper g;
        g.setParameter(0, length);
        g.setParameter(1, 1.0);
        for (const Frame& f : gains(g, 50))
            EXPECT_EQ(f.l, 1.0f);
    }
}

TEST(Gapper, LinearShapeOverOneCycle) {
    Gapper g;
    g.setParameter(0, 1000);
    g.setParameter(1, 0.8);
    std::vector<Frame> f = gains(g, 1000); // positions 1 .. 1000
    auto at = [&](int q) { return f[size_t(q - 1)].l; };
    EXPECT_NEAR(at(50), 1.0f - 0.8f * 50 / 100, 1e-6); // falling over the first tenth
    EXPECT_NEAR(at(100), 0.2f, 1e-6);                  // held down to the half
    EXPECT_NEAR(at(499), 0.2f, 1e-6);
    EXPECT_NEAR(at(550), 1.0f - 0.8f * 50 / 100, 1e-6); // falls again from 1 after the half
    EXPECT_EQ(at(600), 1.0f);                           // open for the rest of the cycle
    EXPECT_EQ(at(1000), 1.0f);
    for (const Frame& x : f)
        EXPECT_EQ(x.l, x.r); // no offset: both channels alike
}

TEST(Gapper, CyclesUnderTenFramesStayBetweenTheirDepthAndOne) {
    // Such cycles have no tenth to fall over: the gain must still be a number, or it would feed NaN to the reverb.
    for (int length = 6; length <= 12; ++length) {
        Gapper g;
        g.setParameter(0, length);
        g.setParameter(1, 1.0);
        const float depth = float(length - 5) / 200.0f;
        for (const Frame& f : gains(g, 3 * length)) {
            ASSERT_GE(f.l, 1.0f - depth - 1e-6f) << length;
            ASSERT_LE(f.l, 1.0f) << length;
        }
    }
}

TEST(Gapper, ShortCycleUsesPartOfItsDepth) {
    Gapper g;
    g.setParameter(0, 105); // (105 - 5) / 200: half the depth
    g.setParameter(1, 1.0);
    std::vector<Frame> f = gains(g, 105);
    EXPECT_NEAR(f[30].l, 0.5f, 1e-6);
}

TEST(Gapper, SineShapeAndStereoOffset) {
    Gapper g;
    g.setParameter(0, 1024);
    g.setParameter(1, 1.0);
    g.setParameter(3, 1.0);
    g.setParameter(4, -1024 * 3 - 512); // any sign and size: the right channel runs half a cycle behind
    std::vector<Frame> f = gains(g, 1024);
    EXPECT_NEAR(f[511].l, std::sin(512 * 1023 / 1024 * M_PI / 1024), 1e-6); // position 512
    EXPECT_NEAR(f[511].r, 0.0f, 1e-6);                                      // right at position 0
    EXPECT_NEAR(f[1023].r, std::sin(512 * 1023 / 1024 * M_PI / 1024), 1e-6);
}

TEST(Gapper, PositionPastTheCycleRestartsItAndANegativeOneWraps) {
    Gapper g;
    g.setParameter(0, 100);
    g.setParameter(1, 1.0);
    g.setParameter(3, 1.0);
    struct Case {
        double set;
        int after; // position after one frame
    } cases[] = {{10.9, 11}, {99, 100}, {100, 0}, {250, 0}, {1e12, 0}, {-5, 96}, {-250, 51}, {-1e6, 1}};
    for (const Case& k : cases) {
        g.setParameter(2, k.set);
        Frame f = gains(g, 1)[0];
        EXPECT_EQ(g.getParameter(2), k.after) << k.set;
        EXPECT_TRUE(f.l >= 0.0f && f.l <= 1.0f) << k.set;
    }
}

// The rings' index wrap skips the division for indices within a turn of the ring: every index, near the
// turns and far from them, lands where the true modulo puts it.
TEST(EffectMath, WrapIndexIsTheTrueModulo) {
    for (int64_t n : {1, 7, 441000}) {
        for (int64_t a : {int64_t(0), n - 1, n, 2 * n - 1, 2 * n, 5 * n + 3, int64_t(-1), -n + 1, -n, -n - 1, -2 * n,
                          -7 * n - 2, std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()}) {
            const int64_t r = a % n;
            EXPECT_EQ(effectmath::wrapIndex(a, n), r < 0 ? r + n : r) << a << " mod " << n;
        }
    }
}
