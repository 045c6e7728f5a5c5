#include "audio/effects/EffectGroup.h"

#include <cmath>

#include <gtest/gtest.h>

#include "audio/effects/EffectTesting.h"

TEST(EffectGroupAnalyser, RoutesToTheAnalyserAndItsTempoDetector) {
    EffectGroup g(44100);
    g.setParameter(1, 0, 2048, 0);
    EXPECT_EQ(g.getParameter(1, 0), 2048.0);
    EXPECT_EQ(g.getParameter(1, 3), 44100.0);
    g.setSamplerate(48000);
    EXPECT_EQ(g.getParameter(1, 3), 48000.0);
    g.setParameter(2, 5, 0.0, 0); // envelope comb off
    EXPECT_EQ(g.getParameter(2, 5), 0.0);
    g.setParameter(2, 5, 1.0, 0);
    EXPECT_EQ(g.getParameter(2, 5), 1.0);
}

TEST(EffectGroupAnalyser, CrusherAndTempoDetectorReadZeroUntilFirstUsed) {
    EffectGroup g(44100);
    EXPECT_EQ(g.getParameter(17, 0), 0.0);
    EXPECT_EQ(g.getParameter(2, 5), 0.0);
    g.setParameter(2, 5, 0.0, 0); // no analyser in use yet: not taken
    g.setEffectState(17, 0);      // switching off is no use
    EXPECT_EQ(g.getParameter(17, 0), 0.0);

    g.getParameter(1, 0); // reading the analyser puts it to use
    EXPECT_EQ(g.getParameter(2, 5), 1.0);
    g.setEffectState(17, 1);
    EXPECT_EQ(g.getParameter(17, 0), 16.0);

    EffectGroup h(44100);
    h.setParameter(17, 1, 3.0, 0);
    EXPECT_EQ(h.getParameter(17, 0), 16.0);
    EXPECT_EQ(h.getParameter(17, 1), 3.0);
    EffectGroup k(44100);
    k.setEffectState(1, 1);
    k.setParameter(2, 5, 0.0, 0);
    EXPECT_EQ(k.getParameter(2, 5), 0.0);
}

TEST(EffectGroupAnalyser, TempoIsReadOutEvery150000Frames) {
    EffectGroup g(44100);
    g.setEffectState(1, 1);
    g.setParameter(1000, 0, 77.0, 0);
    EXPECT_EQ(g.getParameter(1000, 0), 77.0);
    // A click every half second: 120 BPM.
    auto click = [](int i) { return i % 22050 < 200 ? 20000.0f * float(std::sin(i * 0.3)) : 0.0f; };
    for (int i = 0; i < EffectGroup::kTempoFrames - 1; ++i)
        run(g, click(i), click(i));
    EXPECT_EQ(g.getParameter(1000, 0), 77.0); // the set value holds until the count is full
    run(g, 0.0f, 0.0f);
    // Now the detector's tempo (at 44.1 kHz, unscaled), found from the clicks.
    EXPECT_NEAR(g.getParameter(1000, 0), g.getParameter(2, 0), 1e-3);
    EXPECT_NEAR(g.getParameter(1000, 0), 120.0, 1.0);
}

TEST(EffectGroupAnalyser, ResponseIsFlatThroughNothingAndShapedByTheSections) {
    EffectGroup g(44100);
    float flat[512], eq[512], knob[512];
    g.getImpulseResponse(flat, -1); // nothing switched on: the impulse itself
    for (int k = 1; k < 512; k += 37)
        EXPECT_NEAR(flat[k], 1.0f, 0.01f) << k;

    g.setEffectState(6, 1);
    g.setEffectState(15, 1);
    g.setParameter(18, 1, 300, 0);
    g.setParameter(18, 4, 1000, 0);
    g.setParameter(18, 7, 5000, 0);
    g.setParameter(18, 2, 1.0, 0);   // low killed
    g.setParameter(15, 100, 0.2, 0); // low-pass near 1.5 kHz
    g.getImpulseResponse(eq, 6);
    g.getImpulseResponse(knob, 15);
    EXPECT_LT(eq[1], 0.01f);          // 43 Hz: cut
    EXPECT_NEAR(eq[300], 1.0f, 0.1f); // 12.9 kHz: untouched
    EXPECT_NEAR(knob[5], 1.0f, 0.1f); // 215 Hz: passes
    EXPECT_LT(knob[200], 0.01f);      // 8.6 kHz: filtered
    g.getImpulseResponse(flat, -1);   // both in series
    EXPECT_LT(flat[1], 0.01f);
    EXPECT_LT(flat[200], 0.01f);
}

TEST(EffectGroupAnalyser, KnobTypeGivenAsAFractionDrawsAsTheSectionsTakeIt) {
    // The sections take a type by its whole part; the drawing must follow them, not its own reading.
    const double types[][2] = {{6.0, 6.5}, {0.0, -0.5}};
    for (const auto& t : types) {
        EffectGroup whole(44100), fraction(44100);
        float a[512], b[512];
        for (auto* g : {&whole, &fraction}) {
            g->setEffectState(15, 1);
            g->setParameter(15, 100, 0.2, 0);
            g->setParameter(15, 4, g == &whole ? t[0] : t[1], 0);
        }
        whole.getImpulseResponse(a, 15);
        fraction.getImpulseResponse(b, 15);
        for (int k = 1; k < 512; ++k)
            ASSERT_FLOAT_EQ(a[k], b[k]) << t[1] << " bin " << k;
    }
}
