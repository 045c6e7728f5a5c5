#include "audio/effects/EffectGroup.h"

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/effects/EffectTesting.h"

TEST(EffectGroup, SwitchesStartAsDocumentedAndOnlyOneSwitchesOn) {
    EffectGroup g(44100);
    for (int id : {0, 4, 14})
        EXPECT_EQ(g.getEffectState(id), 1) << id;
    for (int id : {1, 6, 8, 9, 10, 12, 13, 15, 17, 2, 18, 1000, -1, 3, 99})
        EXPECT_EQ(g.getEffectState(id), 0) << id;
    g.setEffectState(8, 1);
    EXPECT_EQ(g.getEffectState(8), 1);
    g.setEffectState(8, 2); // only 1 switches on
    EXPECT_EQ(g.getEffectState(8), 0);
    g.setEffectState(13, 1); // the reverb runs but reports no switch
    EXPECT_EQ(g.getEffectState(13), 0);
    for (int id : {2, 18, 1000, -7, 500})
        g.setEffectState(id, 1); // no switch: nothing happens
    EXPECT_EQ(g.getEffectState(18), 0);
}

TEST(EffectGroup, FilterKnobMapsAndReadsFromTheActiveSide) {
    EffectGroup g(44100);
    struct Case {
        double knob;
        double readFrequency; // parameter 0 read through effect 15
    } cases[] = {
        {0.3, std::pow(0.3 / 0.45, 3) * 17500}, // low-pass side
        {0.45, 17500},                          // still low-pass
        {0.46, 5},                              // flat middle reads the high-pass, still at 5 Hz
        {0.775, std::pow(0.5, 3) * 17500},      // high-pass side
    };
    for (const Case& c : cases) {
        g.setParameter(15, 100, c.knob, 0);
        EXPECT_EQ(g.getParameter(15, 100), c.knob);
        EXPECT_NEAR(g.getParameter(15, 0), c.readFrequency, 0.01) << c.knob;
    }
    g.setParameter(15, 3, 2.5, 0); // other ids go to both sections
    EXPECT_EQ(g.getParameter(15, 3), 2.5);
    g.setParameter(15, 100, 0.2, 0);
    EXPECT_EQ(g.getParameter(15, 3), 2.5);
}

TEST(EffectGroup, KillsSendAFullCutAndGiveTheGainBack) {
    EffectGroup g(44100);
    g.setParameter(18, 0, 0.5, 0);
    EXPECT_EQ(g.getParameter(6, 0), 0.5);
    g.setParameter(18, 2, 1.0, 0);
    EXPECT_EQ(g.getParameter(6, 0), -1.0);
    EXPECT_EQ(g.getParameter(18, 2), 1.0);
    EXPECT_EQ(g.getParameter(18, 0), 0.5); // the stored gain is kept
    g.setParameter(18, 0, 0.25, 0);        // moved while killed: stored, still cut
    EXPECT_EQ(g.getParameter(6, 0), -1.0);
    g.setParameter(18, 2, 0.0, 0);
    EXPECT_EQ(g.getParameter(6, 0), 0.25);

    struct Case {
        int param, eqParam;
    } map[] = {{3, 1}, {6, 3}};
    for (const Case& c : map) {
        g.setParameter(18, c.param, -0.3, 0);
        EXPECT_EQ(g.getParameter(6, c.eqParam), -0.3) << c.param;
    }
    for (int p : {1, 4, 7})
        g.setParameter(18, p, 100.0 * (p + 1), 0);
    EXPECT_EQ(g.getParameter(6, 4), 200.0);
    EXPECT_EQ(g.getParameter(6, 5), 500.0);
    EXPECT_EQ(g.getParameter(6, 7), 800.0);
    EXPECT_EQ(g.getParameter(18, 4), 500.0);
    EXPECT_EQ(g.getParameter(18, 9), 0.0);
}

TEST(EffectGroup, AllKilledOnTheSplitLayoutIsSilent) {
    EffectGroup g(44100);
    g.setEffectState(6, 1);
    g.setParameter(6, 8, 2, 0);
    for (int kill : {2, 5, 8})
        g.setParameter(18, kill, 1.0, 0);
    for (int i = 0; i < 10000; ++i) {
        Frame f = run(g, 20000.0f * float(std::sin(i * 0.013)), 5000.0f);
        ASSERT_EQ(f.l, 0.0f) << i;
        ASSERT_EQ(f.r, 0.0f) << i;
    }
}

TEST(EffectGroup, ClipAndDcBlockerCloseTheChain) {
    EffectGroup g(44100);
    g.setEffectState(4, 0);
    // DC blocker on, clip off: the blocker waits for the clip stage.
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(run(g, 5000.0f, 5000.0f).l, 5000.0f);
    g.setEffectState(10, 1);
    Frame f = run(g, 40000.0f, -40000.0f);
    EXPECT_EQ(f.l, 32767.0f);
    EXPECT_EQ(f.r, -32768.0f);
    for (int i = 0; i < 20000; ++i)
        f = run(g, 5000.0f, 5000.0f);
    EXPECT_LT(std::fabs(f.l), 1.0f); // a steady offset is removed
}

TEST(EffectGroup, StagesRunInTheirOrder) {
    EffectGroup g(44100);
    // Crusher before echo: the echo records the crushed signal, and repeats it after the crusher is off.
    g.setEffectState(17, 1);
    g.setEffectState(8, 1);
    g.setParameter(17, 0, 2, 0);
    g.setParameter(8, 2, 1.0, 0);
    for (int i = 0; i < 5000; ++i)
        run(g, 0.0f, 0.0f);
    run(g, 10000.0f, 10000.0f); // crushed to 0 on the way in
    g.setEffectState(17, 0);
    float heard = 1.0f;
    for (int i = 1; i <= 4410; ++i)
        heard = run(g, 0.0f, 0.0f).l;
    EXPECT_EQ(heard, 0.0f);

    // Limiter gain before the clip, statistics on either side.
    EffectGroup h(44100);
    h.setEffectState(10, 1);
    h.setEffectState(14, 0);
    h.setParameter(4, 9, 0, 0); // limiter stage on, limiting off: only its gain
    h.setParameter(4, 0, 2.0, 0);
    Frame f{};
    for (int i = 0; i < Statistical::kBlockFrames; ++i)
        f = run(h, 20000.0f, 100.0f);
    EXPECT_EQ(f.l, 32767.0f);
    EXPECT_EQ(h.getParameter(0, 2), 20000.0);
    EXPECT_EQ(h.getParameter(0, 3), 32767.0);
    EXPECT_EQ(h.getParameter(0, 4), 200.0);
}

TEST(EffectGroup, RoutesEveryEffectsParameters) {
    EffectGroup g(44100);
    struct Case {
        int effect, param;
        double value;
    } cases[] = {{4, 0, 1.5},   {8, 1, 22050}, {8, 7, -100}, {9, 3, 2000}, {9, 4, 25},
                 {12, 0, 4410}, {12, 3, 1},    {17, 0, 8},   {17, 1, 3},   {6, 5, 1200}};
    for (const Case& c : cases) {
        g.setParameter(c.effect, c.param, c.value, 0);
        EXPECT_EQ(g.getParameter(c.effect, c.param, 7), c.value) << c.effect << "/" << c.param;
    }
    g.setParameter(1000, 0, 128.0, 0);
    EXPECT_EQ(g.getParameter(1000, 0), 128.0);
    EXPECT_EQ(g.getParameter(77, 0), 0.0);
    g.setParameter(4, 0, std::nan(""), 0);
    EXPECT_EQ(g.getParameter(4, 0), 1.5);
}

TEST(EffectGroup, ResponseMeasurementLeavesTheLiveOutputBitIdentical) {
    EffectGroup measured(44100), untouched(44100);
    for (EffectGroup* g : {&measured, &untouched}) {
        g->setEffectState(6, 1);
        g->setEffectState(15, 1);
        g->setParameter(18, 1, 300, 0);
        g->setParameter(18, 4, 1000, 0);
        g->setParameter(18, 7, 5000, 0);
        g->setParameter(18, 0, -0.7, 0);
        g->setParameter(18, 6, 0.4, 0);
        g->setParameter(15, 100, 0.3, 0);
    }
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> noise(-10000.0f, 10000.0f);
    float response[512];
    for (int i = 0; i < 6000; ++i) {
        if (i % 1500 == 100) {
            measured.getImpulseResponse(response, -1);
            measured.getImpulseResponse(response, 6);
            measured.getImpulseResponse(response, 15);
        }
        if (i == 3000) {
            for (EffectGroup* g : {&measured, &untouched})
                g->setParameter(18, 3, 0.9, 0); // glides mid-way
        }
        const float l = noise(rng), r = noise(rng);
        Frame a = run(measured, l, r), b = run(untouched, l, r);
        ASSERT_EQ(a.l, b.l) << i;
        ASSERT_EQ(a.r, b.r) << i;
    }
}

TEST(EffectGroup, ParameterStormsStayInBoundsAndFinite) {
    const double values[] = {0, -5, 220500, 1e7, -1e7, 1e6, -1e6, 1e12, -1e12, 0.5, 1, 2, 44100, 0.0001, -0.7, 7, 9};
    const int effects[] = {0, 4, 6, 8, 9, 12, 13, 15, 17, 18, 1000};
    std::mt19937 rng(1);
    EffectGroup g(44100);
    for (int id : {6, 8, 9, 10, 12, 13, 15, 17})
        g.setEffectState(id, 1);
    for (int step = 0; step < 400; ++step) {
        for (int k = 0; k < 4; ++k) {
            const int effect = effects[rng() % (sizeof effects / sizeof *effects)];
            int param = int(rng() % 12);
            // The knob pair's raw section settings belong to the biquad; storm the knob itself.
            if (effect == 15) param = rng() % 2 ? 100 : 3;
            g.setParameter(effect, param, values[rng() % (sizeof values / sizeof *values)], 0);
        }
        for (int i = 0; i < 200; ++i) {
            Frame f = run(g, 30000.0f * float(std::sin((step * 200 + i) * 0.01)), -12000.0f);
            // The clip stage (10, on) ends the chain: whatever the settings, frames leave on the 16-bit scale.
            ASSERT_TRUE(f.l >= -32768.0f && f.l <= 32767.0f && f.r >= -32768.0f && f.r <= 32767.0f)
                << step << " " << i << ": " << f.l << " " << f.r;
        }
    }
}

TEST(EffectGroup, ABrokenFrameLeavesNoTraceInTheFeedbackPaths) {
    // A NaN or an infinity from upstream must not stay in a ring or a state and spoil every later frame.
    const float broken[] = {std::nanf(""), INFINITY, -INFINITY};
    for (int stage : {8, 9, 13, 14, 4}) {
        EffectGroup g(44100);
        g.setEffectState(stage, 1);
        g.setEffectState(10, stage == 14); // the DC blocker runs only with the clip stage
        g.setParameter(8, 2, 1.0, 0);
        g.setParameter(8, 1, 100, 0);
        g.setParameter(9, 1, 1.0, 0);
        g.setParameter(9, 5, 0.5, 0);
        g.setParameter(4, 4, 1000.0, 0); // compressor on
        for (float x : broken) {
            run(g, x, x);
            for (int i = 0; i < 500; ++i)
                run(g, 1000.0f, -1000.0f);
        }
        for (int i = 0; i < 10000; ++i) {
            Frame f = run(g, 10000.0f * float(std::sin(i * 0.03)), 2000.0f);
            ASSERT_TRUE(std::isfinite(f.l) && std::isfinite(f.r)) << stage << " " << i;
        }
    }
}

TEST(EffectGroup, SettersFromAnotherThreadWhileTheChainRuns) {
    EffectGroup g(44100);
    for (int id : {6, 8, 9, 12, 15, 17})
        g.setEffectState(id, 1);
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    double lastKnob = -1;
    std::thread control([&] {
        std::mt19937 rng(2);
        while (!stop.load()) {
            g.setParameter(18, int(rng() % 9), (rng() % 200) / 100.0 - 1.0, 0);
            lastKnob = (rng() % 100) / 100.0;
            g.setParameter(15, 100, lastKnob, 0);
            g.setParameter(8, 1, rng() % 300000, 0);
            g.setParameter(9, 0, (rng() % 100) / 100.0, 0);
            g.setParameter(12, 2, double(rng() % 10000) - 5000, 0);
            g.setEffectState(int(rng() % 18), int(rng() % 2));
            ++rounds;
        }
        // The last word of the controller, with the chain still running.
        g.setEffectState(EFFECT_ECHO, 1);
        g.setEffectState(EFFECT_GAPPER, 0);
    });
    // The chain runs on until the controller has had its say a few times, however late a loaded machine starts it.
    for (int i = 0; i < 100000 || rounds.load() < 10; ++i) {
        Frame f = run(g, 20000.0f * float(std::sin(i * 0.02)), 3000.0f);
        ASSERT_TRUE(std::isfinite(f.l) && std::isfinite(f.r));
    }
    stop = true;
    control.join();
    EXPECT_EQ(g.getParameter(EFFECT_FILTER, 100), lastKnob);
    EXPECT_EQ(g.getEffectState(EFFECT_ECHO), 1);
    EXPECT_EQ(g.getEffectState(EFFECT_GAPPER), 0);
    Frame f = run(g, 1000.0f, 1000.0f);
    EXPECT_TRUE(std::isfinite(f.l) && std::isfinite(f.r));
}

TEST(EffectGroup, ABlockIsEveryFrameInTurnBitForBit) {
    // Chains set alike, one fed a frame at a time, one in blocks of changing sizes; settings change between
    // blocks only. The mixer renders by blocks: it must hear what a frame at a time gives.
    struct Setting {
        int effect, parameter;
        double value;
    };
    const std::vector<std::vector<Setting>> chains = {
        // The deck's default chain (the echo an idle looper, here fading its source), its equaliser boosting, a
        // flanger at no strength.
        {{6, 0, 0.7}, {8, 3, 0.5}},
        // Every stage working: echo shorter than a block, flanger with its second tap and feedback, the knob's
        // low-pass, crusher, gapper, reverb, clip and DC blocker.
        {{8, 1, 300}, {8, 2, 0.6}, {9, 1, 2.0}, {9, 7, 0.9}, {9, 5, 0.5}, {15, 100, 0.3}, {17, 0, 8}, {12, 0, 4410}},
        // A cut on the split layout, the compressor, a frozen echo played backwards.
        {{6, 8, 2}, {18, 3, -0.6}, {4, 4, 8000}, {8, 2, 1.0}, {8, 0, -1.0}, {8, 6, 1.0}}};
    const int switches[] = {10, 12, 13, 15, 17};
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> noise(-12000.0f, 12000.0f);
    for (size_t c = 0; c < chains.size(); ++c) {
        SCOPED_TRACE(c);
        EffectGroup frameByFrame(44100), byBlock(44100);
        for (EffectGroup* g : {&frameByFrame, &byBlock}) {
            for (int s : {6, 8, 9})
                g->setEffectState(s, 1);
            if (c > 0)
                for (int s : switches)
                    g->setEffectState(s, 1);
        }
        std::vector<float> left(20000), right(20000);
        for (size_t i = 0; i < left.size(); ++i) {
            const float loud = i % 5000 < 300 ? 3.0f : 1.0f; // bursts for the limiter
            left[i] = noise(rng) * loud;
            right[i] = noise(rng) * loud;
        }
        std::vector<float> l2 = left, r2 = right;
        const int sizes[] = {256, 1, 7, 64, 512, 33};
        size_t done = 0;
        for (int b = 0; done < left.size(); ++b) {
            if (b == 3)
                for (EffectGroup* g : {&frameByFrame, &byBlock}) {
                    for (const Setting& s : chains[c])
                        g->setParameter(s.effect, s.parameter, s.value, 0);
                    if (c == 1) g->glideLimiterAmplification(0.5, 3000); // a replay gain fading in
                }
            const size_t n = std::min(left.size() - done, size_t(sizes[b % 6]));
            for (size_t i = done; i < done + n; ++i)
                frameByFrame.process(&left[i], &right[i]);
            byBlock.processBlock(&l2[done], &r2[done], int(n));
            done += n;
        }
        for (size_t i = 0; i < left.size(); ++i) {
            ASSERT_EQ(left[i], l2[i]) << i;
            ASSERT_EQ(right[i], r2[i]) << i;
        }
    }
}
