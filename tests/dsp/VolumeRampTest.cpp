#include "dsp/VolumeRamp.h"

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Samples until the ramp's current volume reaches its target, and the steps it took on the way.
int rampLength(VolumeRamp& ramp, std::vector<double>* steps = nullptr) {
    int n = 0;
    double previous = ramp.getCurrentVolume();
    while (ramp.getCurrentVolume() != ramp.getVolume() && n < 100000) {
        float l = 1, r = 1;
        ramp.process(&l, &r);
        if (steps) steps->push_back(ramp.getCurrentVolume() - previous);
        previous = ramp.getCurrentVolume();
        ++n;
    }
    return n;
}

} // namespace

TEST(VolumeRamp, ZeroToOneRampsFastThenSlowAndEndsExactlyOnTheTarget) {
    VolumeRamp ramp(44100);
    ramp.setVolume(1.0);
    std::vector<double> steps;
    int n = rampLength(ramp, &steps);
    EXPECT_EQ(ramp.getCurrentVolume(), 1.0);
    EXPECT_GE(n, 500);
    EXPECT_LE(n, 510);
    EXPECT_NEAR(steps.front(), 0.002, 1e-12);
    EXPECT_NEAR(steps[steps.size() - 2], 0.0004, 1e-12);
    // Fast steps until within 0.004, then slow ones.
    int fast = 0;
    for (double s : steps)
        fast += std::fabs(s - 0.002) < 1e-9;
    EXPECT_GE(fast, 497);
    EXPECT_LE(fast, 499);

    // Down again, symmetric.
    ramp.setVolume(0.0);
    EXPECT_EQ(rampLength(ramp), n);
    EXPECT_EQ(ramp.getCurrentVolume(), 0.0);
}

TEST(VolumeRamp, StepsFollowTheRate) {
    VolumeRamp at44(44100), at88(88200), below1(0.5), changed(44100);
    for (VolumeRamp* r : {&at44, &at88, &below1, &changed})
        r->setVolume(1.0);
    changed.setSamplerate(88200);
    int n44 = rampLength(at44), n88 = rampLength(at88);
    EXPECT_NEAR(n88, n44 / 2, 6);
    EXPECT_EQ(rampLength(below1), n44); // a rate below 1 counts as 44100
    EXPECT_EQ(rampLength(changed), n88);

    VolumeRamp custom(44100);
    custom.setFastRamp(0.01);
    custom.setSlowRamp(0.001);
    custom.setFastRamp(-1); // ignored
    custom.setVolume(1);
    EXPECT_NEAR(rampLength(custom), 98 + 20, 2); // fast until within 0.02, then 0.001 steps
}

TEST(VolumeRamp, PanLaw) {
    struct Case {
        double pan, left, right;
    };
    const Case cases[] = {{0.5, 1, 1}, {0, 1, 0}, {0.75, 0.5, 1}, {0.25, 1, 0.5}, {1, 0, 1}, {-3, 1, 0}, {7, 0, 1}};
    for (const Case& c : cases) {
        VolumeRamp ramp(44100);
        ramp.setVolume(0.8);
        rampLength(ramp);
        ramp.setPan(c.pan);
        float l = 1000, r = 1000;
        ramp.process(&l, &r);
        EXPECT_FLOAT_EQ(l, float(1000 * 0.8 * c.left)) << "pan " << c.pan;
        EXPECT_FLOAT_EQ(r, float(1000 * 0.8 * c.right)) << "pan " << c.pan;
    }
}

TEST(VolumeRamp, PanVariantGoesHardAtTheEdgesAndTheSampleVariantTakesTheLeftGain) {
    struct Case {
        double pan, left, right;
    };
    // Hard left below 0.1 and hard right above 0.9; the pan law in between.
    const Case cases[] = {{0.05, 1, 0}, {0.09, 1, 0}, {0.1, 1, 0.2}, {0.5, 1, 1}, {0.9, 0.2, 1}, {0.95, 0, 1}};
    for (const Case& c : cases) {
        VolumeRamp ramp(44100);
        ramp.setVolume(0.8);
        ramp.setPan(c.pan);
        rampLength(ramp);
        float l = 1000, r = 1000;
        ramp.processWithPan(&l, &r);
        EXPECT_FLOAT_EQ(l, float(1000 * 0.8 * c.left)) << "pan " << c.pan;
        EXPECT_FLOAT_EQ(r, float(1000 * 0.8 * c.right)) << "pan " << c.pan;
        EXPECT_FLOAT_EQ(ramp.processSample(1000), float(1000 * 0.8 * std::fmin(1.0, 2.0 - 2.0 * c.pan)));
    }
    // Both take one ramp step per call.
    VolumeRamp ramp(44100);
    ramp.setVolume(1.0);
    float l = 1, r = 1;
    ramp.processWithPan(&l, &r);
    EXPECT_FLOAT_EQ(l, 0.002f);
    EXPECT_FLOAT_EQ(ramp.processSample(1), 0.004f);
    EXPECT_DOUBLE_EQ(ramp.getCurrentVolume(), 0.004);
}

TEST(VolumeRamp, NonFiniteSettingsAreIgnored) {
    VolumeRamp ramp(44100);
    ramp.setVolume(0.5);
    rampLength(ramp);
    ramp.setVolume(std::nan(""));
    ramp.setVolume(INFINITY);
    ramp.setPan(std::nan(""));
    EXPECT_EQ(ramp.getVolume(), 0.5);
    float l = 2, r = 2;
    ramp.process(&l, &r);
    EXPECT_EQ(l, 1.0f);
    EXPECT_EQ(r, 1.0f);
}

TEST(VolumeRamp, BlockCallsMatchFrameByFrame) {
    VolumeRamp a(44100), b(44100), c(44100);
    for (VolumeRamp* r : {&a, &b, &c}) {
        r->setVolume(0.7);
        r->setPan(0.3);
    }
    const int n = 800; // longer than the ramp: both the ramping and the settled branch run
    std::vector<float> left(n), right(n), outL(n, 1.0f), outR(n, -1.0f);
    for (int i = 0; i < n; ++i)
        left[i] = float(i), right[i] = float(-2 * i);
    std::vector<float> inL = left, inR = right;
    b.processSamples(left.data(), right.data(), 300);
    b.processSamples(left.data() + 300, right.data() + 300, n - 300);
    float* in[3] = {inL.data(), inR.data(), inL.data()};
    float* out[3] = {outL.data(), outR.data(), outL.data()};
    c.processAndMix(in, out, 3, 300); // a third channel has no gain: left out
    float* in2[2] = {inL.data() + 300, inR.data() + 300};
    float* out2[2] = {outL.data() + 300, outR.data() + 300};
    c.processAndMix(in2, out2, 2, n - 300);
    for (int i = 0; i < n; ++i) {
        float l = float(i), r = float(-2 * i);
        a.process(&l, &r);
        ASSERT_EQ(left[i], l) << i;
        ASSERT_EQ(right[i], r) << i;
        ASSERT_EQ(outL[i], 1.0f + l) << i;
        ASSERT_EQ(outR[i], -1.0f + r) << i;
    }
}

TEST(VolumeRamp, SettersFromAnotherThreadReachTheAudioThread) {
    VolumeRamp ramp(44100);
    std::atomic<bool> done{false};
    std::thread fader([&] {
        for (int i = 0; i < 5000 && !done; ++i) {
            ramp.setVolume((i % 100) / 100.0);
            ramp.setPan((i % 7) / 6.0);
        }
        ramp.setVolume(0.25);
        ramp.setPan(0.5);
    });
    for (int i = 0; i < 200000; ++i) {
        float l = 1, r = 1;
        ramp.process(&l, &r);
    }
    done = true;
    fader.join();
    rampLength(ramp);
    float l = 1, r = 1;
    ramp.process(&l, &r);
    EXPECT_EQ(l, 0.25f);
    EXPECT_EQ(r, 0.25f);
}
