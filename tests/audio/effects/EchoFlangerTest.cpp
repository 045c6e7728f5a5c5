#include "audio/effects/AdvancedEcho.h"
#include "audio/effects/Flanger.h"

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "audio/effects/EffectTesting.h"

namespace {

// Left outputs of an effect for an impulse of 1000 followed by silence.
template <typename Effect> std::vector<float> impulse(Effect& e, int frames) {
    std::vector<float> out;
    for (int i = 0; i < frames; ++i)
        out.push_back(run(e, i == 0 ? 1000.0f : 0.0f, 0.0f).l);
    return out;
}

// An echo with its echo amount already at 1 (the ramp has run).
void fullEcho(AdvancedEcho& echo) {
    echo.setParameter(2, 1.0);
    for (int i = 0; i < 2000; ++i)
        run(echo, 0.0f, 0.0f);
}

size_t loudest(const std::vector<float>& v, size_t from) {
    size_t best = from;
    for (size_t i = from; i < v.size(); ++i)
        if (std::fabs(v[i]) > std::fabs(v[best])) best = i;
    return best;
}

} // namespace

TEST(AdvancedEcho, NewEchoPassesItsSourceAndStillRecords) {
    AdvancedEcho echo(44100);
    EXPECT_EQ(echo.getParameter(3), 1.0);
    EXPECT_EQ(echo.getParameter(2), 0.0);
    std::vector<float> out = impulse(echo, 100);
    EXPECT_EQ(out[0], 1000.0f);
    for (size_t i = 1; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0.0f);
    // The impulse went into the ring: turning the echo up now brings it back 4410 frames after it was played.
    echo.setParameter(2, 1.0);
    for (int i = 100; i < 4410; ++i)
        run(echo, 0.0f, 0.0f);
    EXPECT_EQ(run(echo, 0.0f, 0.0f).l, 1000.0f);
}

TEST(AdvancedEcho, ShorteningStartsTheNewDelayAtOnce) {
    AdvancedEcho echo(44100);
    fullEcho(echo);
    std::vector<float> out;
    for (int i = 0; i < 9000; ++i) {
        if (i == 500) echo.setParameter(1, 2205.7); // truncated
        out.push_back(run(echo, i == 0 || i == 1000 ? 1000.0f : 0.0f, 0.0f).l);
    }
    EXPECT_EQ(echo.getParameter(1), 2205.0);
    // The write index moved back by the difference, so what is played after the switch repeats after the
    // new length straight away; the last 4410 frames before it are dropped rather than heard late.
    std::vector<size_t> repeats;
    for (size_t i = 1; i < out.size(); ++i)
        if (out[i] != 0.0f) repeats.push_back(i);
    EXPECT_EQ(repeats, (std::vector<size_t>{1000, 1000 + 2205, 1000 + 2 * 2205, 1000 + 3 * 2205}));
}

TEST(AdvancedEcho, LockRepeatsTheRingBitExact) {
    AdvancedEcho echo(44100);
    echo.setParameter(1, 1000);
    fullEcho(echo);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> noise(-8000.0f, 8000.0f);
    for (int i = 0; i < 3000; ++i)
        run(echo, noise(rng), noise(rng));
    echo.setParameter(6, 1.0);
    EXPECT_EQ(echo.getParameter(6), 1.0);
    std::vector<Frame> first, later;
    for (int i = 0; i < 1000; ++i)
        first.push_back(run(echo, 0.0f, 0.0f));
    for (int k = 0; k < 5; ++k)
        for (int i = 0; i < 1000; ++i)
            run(echo, 0.0f, 0.0f);
    for (int i = 0; i < 1000; ++i)
        later.push_back(run(echo, 0.0f, 0.0f));
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(first[size_t(i)].l, later[size_t(i)].l) << i;
        ASSERT_EQ(first[size_t(i)].r, later[size_t(i)].r) << i;
    }
    EXPECT_NE(first[500].l, 0.0f);
}

TEST(AdvancedEcho, ReversePlayReadsBackwardsAndCountsTheDistance) {
    AdvancedEcho echo(44100);
    for (int i = 0; i < 5000; ++i)
        run(echo, float(i), float(-i));
    echo.setParameter(0, -1.0);
    std::vector<Frame> out;
    for (int i = 0; i < 300; ++i)
        out.push_back(run(echo, 0.0f, 0.0f));
    // A ramp played backwards falls one step per frame (the interpolator is exact on a straight line).
    for (size_t i = 10; i < out.size(); ++i) {
        ASSERT_NEAR(out[i].l - out[i - 1].l, -1.0f, 1e-3f) << i;
        ASSERT_NEAR(out[i].r - out[i - 1].r, 1.0f, 1e-3f) << i;
    }
    EXPECT_EQ(echo.getParameter(0), 300.0);
    EXPECT_EQ(echo.getParameter(0), 0.0);
    echo.setParameter(0, -0.7); // a slow speed is kept as given, so the distance adds up exactly
    for (int i = 0; i < 1000; ++i)
        run(echo, 0.0f, 0.0f);
    EXPECT_NEAR(echo.getParameter(0), 700.0, 1e-6);
    echo.setParameter(0, -1e12); // an absurd speed wraps in one step
    Frame f = run(echo, 0.0f, 0.0f);
    EXPECT_TRUE(std::isfinite(f.l));
}

TEST(AdvancedEcho, LengthsAndOffsetsStayInsideTheRing) {
    struct Case {
        double set;
        double length;
    } lengths[] = {{0, 1}, {-5, 1}, {220500, AdvancedEcho::kMaxReach}, {1e7, AdvancedEcho::kMaxReach}, {88.2, 88}};
    for (const Case& c : lengths) {
        AdvancedEcho echo(44100);
        echo.setParameter(1, c.set);
        EXPECT_EQ(echo.getParameter(1), c.length);
        for (double offset : {1e6, -1e6, 0.0}) {
            echo.setParameter(7, offset);
            echo.setParameter(2, 1.0);
            for (int i = 0; i < 1000; ++i) {
                Frame f = run(echo, 30000.0f, -30000.0f);
                ASSERT_TRUE(std::isfinite(f.l) && std::isfinite(f.r));
            }
        }
    }
}

TEST(AdvancedEcho, StereoOffsetDelaysTheLeftChannelFurther) {
    for (int offset : {300, -300}) {
        AdvancedEcho echo(44100);
        echo.setParameter(1, 1000);
        echo.setParameter(7, offset);
        fullEcho(echo);
        std::vector<float> left, right;
        for (int i = 0; i < 1500; ++i) {
            Frame f = run(echo, i == 0 ? 1000.0f : 0.0f, i == 0 ? 1000.0f : 0.0f);
            left.push_back(f.l);
            right.push_back(f.r);
        }
        EXPECT_EQ(loudest(left, 1), size_t(1000 + offset)) << offset;
        EXPECT_EQ(loudest(right, 1), 1000u) << offset;
    }
}

TEST(AdvancedEcho, LooperAmountsReadBackAsTargets) {
    AdvancedEcho echo(44100);
    echo.setEchoLength(88200);
    echo.setEchoAmount(1.0f);
    echo.setSourceAmount(0.0f);
    // An input deck's loop runs while the source is at most 0.001 and the echo at least 0.999.
    EXPECT_LE(echo.getParameter(3), 0.001);
    EXPECT_GE(echo.getParameter(2), 0.999);
    echo.setLowPassFrequency(3000);
    echo.setHighPassFrequency(100);
    EXPECT_EQ(echo.getParameter(4), 3000.0);
    EXPECT_EQ(echo.getParameter(5), 100.0);
    EXPECT_EQ(echo.getParameter(8), 0.0);
}

TEST(Flanger, StrengthZeroIsDryAndFiveIsTapsOnly) {
    Flanger dry(44100);
    for (int i = 0; i < 2000; ++i) {
        const float x = 10000.0f * float(std::sin(i * 0.02));
        Frame f = run(dry, x, -x);
        ASSERT_EQ(f.l, x);
        ASSERT_EQ(f.r, -x);
    }
    Flanger wet(44100);
    wet.setParameter(1, 5.0);
    wet.setParameter(2, 0.0);
    wet.setParameter(0, 0.0); // shallowest: 6 samples
    std::vector<float> out = impulse(wet, 50);
    EXPECT_EQ(out[0], 0.0f); // no dry signal left
    EXPECT_EQ(loudest(out, 0), 6u);
}

TEST(Flanger, ManualSweepSetsTheDelay) {
    struct Case {
        double position;
        size_t delay;
    } cases[] = {{1.0, 346}, {0.0, 6}, {0.5, 176}};
    for (const Case& c : cases) {
        Flanger f(44100);
        f.setParameter(1, 1.0);
        f.setParameter(2, 0.0);
        f.setParameter(0, c.position);
        EXPECT_DOUBLE_EQ(f.getParameter(0), c.position / 2);
        std::vector<float> out = impulse(f, 600);
        EXPECT_EQ(loudest(out, 1), c.delay) << c.position;
    }
}

TEST(Flanger, StereoOffsetAndSecondTap) {
    Flanger f(44100);
    f.setParameter(1, 1.0);
    f.setParameter(2, 0.0);
    f.setParameter(0, 1.0);   // deepest: 346 samples
    f.setParameter(4, 20);    // the right channel reads 20 samples further back
    f.setParameter(7, 0.375); // second tap at about half the delay, at half the strength
    std::vector<Frame> out;
    for (int i = 0; i < 600; ++i)
        out.push_back(run(f, i == 0 ? 1000.0f : 0.0f, i == 0 ? 1000.0f : 0.0f));
    std::vector<float> left, right;
    for (const Frame& x : out) {
        left.push_back(x.l);
        right.push_back(x.r);
    }
    EXPECT_EQ(loudest(left, 1), 346u);
    EXPECT_EQ(loudest(right, 1), 366u);
    left.resize(250);
    right.resize(250);
    EXPECT_EQ(loudest(left, 1), 173u);  // 346 / 2.002
    EXPECT_EQ(loudest(right, 1), 193u); // 346 / 2.001 + 20
    // Strength 1 x 0.9 for the main tap, 0.5 x 0.7 for the second: their peaks keep that ratio closely.
    EXPECT_NEAR(left[173] / out[346].l, 0.35f / 0.9f, 0.05f);
}

TEST(Flanger, FeedbackLowCutTakesTheWholeAudioRange) {
    Flanger f(44100);
    for (double hz : {0.0, 300.0, 5000.0, 11000.0, 1e9}) {
        f.setParameter(6, hz);
        EXPECT_EQ(f.getParameter(6), hz < 5 ? 5.0 : hz > 44100 ? 44100.0 : hz) << hz;
    }
}

TEST(Flanger, ExtremeSettingsNeitherHangNorBlowUp) {
    Flanger f(44100);
    f.setParameter(3, 0.0);  // speed 0
    f.setParameter(0, 1e12); // sweep far out
    f.setParameter(1, 5.0);
    f.setParameter(5, 1e7); // feedback far above unity
    f.setParameter(7, 1e6);
    f.setParameter(4, 1e6);
    EXPECT_EQ(f.getParameter(4), 879.0);
    EXPECT_EQ(f.getParameter(3), 1.0);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000; ++i) {
        Frame x = run(f, 30000.0f * float(std::sin(i * 0.01)), 1000.0f);
        ASSERT_TRUE(std::isfinite(x.l) && std::isfinite(x.r)) << i;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    f.setParameter(4, -1e6);
    EXPECT_EQ(f.getParameter(4), -879.0);
}

// The automatic sweep moves a rotating phasor instead of calling sin every frame. Over a minute of sweeps (fast
// and slow, a phase set by hand, the faster sound, feedback on) it must sound as a flanger set to sin(phase)
// every frame. The phasor is set again from the phase every 1024 frames, so the delay stays within 1e-10
// samples of the sine's; that turns a float's last bit now and then, and the feedback carries such bits round
// (0.16 at most here). Half a 16-bit step (0.5) is the bound: nothing a 16-bit output could show.
TEST(Flanger, AutomaticSweepSoundsAsTheSineOfItsPhase) {
    Flanger swept(44100), byHand(44100);
    for (Flanger* f : {&swept, &byHand}) {
        f->setParameter(1, 1.0);
        f->setParameter(4, 30);
        f->setParameter(5, 0.5);
        f->setParameter(6, 300);
    }
    byHand.setParameter(2, 0.0);
    for (int i = 0; i < 60 * 44100; ++i) {
        if (i % (10 * 44100) == 0) {
            const int part = i / (10 * 44100);
            swept.setParameter(3, part % 2 ? 150.0 : 5000.0);
            for (Flanger* f : {&swept, &byHand})
                f->setParameter(7, part % 3 == 2 ? 0.9 : 0.4);
        }
        if (i == 25 * 44100 + 17) swept.setParameter(0, 0.3);
        const float x = 10000.0f * float(std::sin(i * 0.05)), y = 8000.0f * float(std::sin(i * 0.21));
        const Frame a = run(swept, x, y);
        byHand.setParameter(0, 2 * swept.getParameter(0));
        const Frame b = run(byHand, x, y);
        ASSERT_NEAR(a.l, b.l, 0.5) << i;
        ASSERT_NEAR(a.r, b.r, 0.5) << i;
    }
}
