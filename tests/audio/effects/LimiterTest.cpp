#include "audio/effects/agc_limiter.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "audio/effects/EffectTesting.h"

TEST(Limiter, QuietAudioPassesUnchanged) {
    agc_limiter lim;
    for (int i = 0; i < 5000; ++i) {
        const float x = 20000.0f * float(std::sin(i * 0.05));
        Frame f = run(lim, x, -x);
        ASSERT_EQ(f.l, x);
        ASSERT_EQ(f.r, -x);
    }
    EXPECT_EQ(lim.getParameter(10), 1.0);
}

TEST(Limiter, ForcedDropsAtOnceAndNeverClips) {
    agc_limiter lim;
    run(lim, 1000.0f, 1000.0f);
    Frame f = run(lim, 50000.0f, 50000.0f);
    const float x = (32767.0f + 1000.0f) * 0.5f / 50000.0f;
    // The gain takes x at once, then smoothing starts its fall towards 0.97 x.
    EXPECT_FLOAT_EQ(float(lim.getParameter(10)), x - 1.0f / 1024.0f);
    EXPECT_LE(std::fabs(f.l), 32767.0f);

    std::mt19937 rng(5);
    std::uniform_real_distribution<float> burst(-120000.0f, 120000.0f);
    float worst = 0;
    for (int i = 0; i < 200000; ++i) {
        // Loud bursts between quiet passages, so the gain is caught both recovering and falling.
        const float scale = (i / 3000) % 2 ? 1.0f : 0.05f;
        Frame g = run(lim, burst(rng) * scale, burst(rng) * scale);
        worst = std::fmax(worst, std::fmax(std::fabs(g.l), std::fabs(g.r)));
    }
    EXPECT_LE(worst, 32767.0f);
}

TEST(Limiter, ConvergesOnASteadyLoudToneAndReleases) {
    agc_limiter lim;
    lim.setForceNoClip(false);
    float peak = 0;
    for (int i = 0; i < 44100; ++i) {
        Frame f = run(lim, 60000.0f * float(std::sin(i * 0.03)), 0.0f);
        if (i > 40000) peak = std::fmax(peak, std::fabs(f.l));
    }
    EXPECT_NEAR(lim.getParameter(10) * 60000.0, 32767.0 * 0.97, 400.0); // settled just under the limit
    EXPECT_LE(peak, 32767.0f);
    const double held = lim.getParameter(10);
    for (int i = 0; i < 4410 / 4; ++i)
        run(lim, 100.0f, 100.0f);
    // Rises by 1 / release per frame once the loud part is measured out.
    EXPECT_GT(lim.getParameter(10), held);
    for (int i = 0; i < 44100; ++i)
        run(lim, 100.0f, 100.0f);
    EXPECT_EQ(lim.getParameter(10), 1.0);
}

TEST(Limiter, AmplificationAndPan) {
    agc_limiter lim;
    lim.setParameter(9, 0); // limiter off: only the gain stage
    struct Case {
        int id;
        double v;
        float l, r;
    } cases[] = {
        {0, 2.0, 200, 200}, {1, 0.5, 100, 300}, {2, 1.5, 300, 300}, {3, 0.25, 300, 50}, {1, 0.0, 200, 200},
    };
    for (const Case& c : cases) {
        lim.setParameter(c.id, c.v);
        Frame f = run(lim, 100.0f, 100.0f);
        EXPECT_FLOAT_EQ(f.l, c.l) << c.id;
        EXPECT_FLOAT_EQ(f.r, c.r) << c.id;
    }
    EXPECT_EQ(lim.getParameter(0), 2.0);
    EXPECT_EQ(lim.getParameter(1), 0.0); // write-only ids read 0
    lim.setPanning2(0.5f, 1.0f);
    Frame f = run(lim, 100.0f, 100.0f);
    EXPECT_FLOAT_EQ(f.l, 50.0f);
    EXPECT_FLOAT_EQ(f.r, 100.0f);
}

TEST(Limiter, AGlidingAmplificationMovesEvenlyInDecibelsAndAWriteStillActsAtOnce) {
    agc_limiter lim;
    lim.setParameter(9, 0);
    lim.setParameter(0, 0.5);
    run(lim, 100.0f, 100.0f);
    lim.glideAmplification(2.0f, 400); // 12 dB in 400 frames: 0.03 dB a frame
    float previous = 50.0f;
    for (int i = 1; i <= 400; ++i) {
        const float out = run(lim, 100.0f, 100.0f).l;
        ASSERT_NEAR(20 * std::log10(out / previous), 0.030103, 1e-4) << i;
        previous = out;
    }
    EXPECT_FLOAT_EQ(previous, 200.0f);
    EXPECT_EQ(lim.getParameter(0), 2.0); // read back at once
    lim.glideAmplification(1.0f, 400);
    run(lim, 100.0f, 100.0f);
    lim.setParameter(0, 3.0); // a write during the glide ends it
    EXPECT_FLOAT_EQ(run(lim, 100.0f, 100.0f).l, 300.0f);
}

TEST(Limiter, ZeroTimesAndGainsAreClamped) {
    agc_limiter lim;
    lim.setAttack(0);
    lim.setRelease(-3);
    EXPECT_EQ(lim.getAttack(), 1.0f);
    EXPECT_EQ(lim.getRelease(), 1.0f);
    lim.setParameter(4, 1000.0); // compressor on
    for (int id : {5, 6, 7})
        lim.setParameter(id, 0.0);
    lim.setLimitMax(0.0f);
    for (int i = 0; i < 2000; ++i) {
        Frame f = run(lim, 30000.0f * float(std::sin(i * 0.1)), 5000.0f);
        ASSERT_TRUE(std::isfinite(f.l) && std::isfinite(f.r)) << i;
    }
    lim.setParameter(8, 0.2);
    EXPECT_EQ(lim.getParameter(8), 0.0);
    lim.setParameter(8, 0.7);
    EXPECT_EQ(lim.getParameter(8), 1.0);
}

TEST(Limiter, CompressorPullsALoudPassageBackByItsInputGain) {
    agc_limiter lim;
    lim.setParameter(9, 0);
    lim.setParameter(4, 10000.0); // threshold
    lim.setParameter(5, 2.0);     // input gain
    Frame f{};
    for (int i = 0; i < 20000; ++i)
        f = run(lim, 20000.0f, -20000.0f);
    EXPECT_FLOAT_EQ(f.l, 20000.0f); // x2 in, x0.5 back once the envelope is above the threshold
    for (int i = 0; i < 30000; ++i)
        f = run(lim, 100.0f, 100.0f);
    EXPECT_FLOAT_EQ(f.l, 200.0f); // released: only the input gain remains
}

TEST(Limiter, BandModeLimitsThroughItsShelves) {
    agc_limiter lim;
    lim.setBandType(1);
    lim.setBandFrequency(200.0f);
    float peak = 0;
    for (int i = 0; i < 44100; ++i) {
        Frame f = run(lim, 80000.0f * float(std::sin(i * 2 * M_PI * 50 / 44100)), 0.0f);
        if (i > 30000) peak = std::fmax(peak, std::fabs(f.l));
    }
    EXPECT_LT(peak, 60000.0f); // the low band was pulled down
    EXPECT_LT(lim.getParameter(10), 0.9);
}
