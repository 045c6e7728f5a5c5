#include "dsp/filter.h"

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using dsp::filter;

namespace {

const double kPi = 3.14159265358979323846;

// Magnitude of a section of effective type `eff` at frequency f, from the cookbook's transfer functions in
// double precision, with the output mix the type's gain implies.
double expectedMagnitude(int eff, double gain, double f0, double bandwidth, double slope, double rate, double f) {
    double A = std::pow(10.0, std::fabs(gain) / 40.0);
    double w0 = 2 * kPi * f0 / rate, sn = std::sin(w0), cs = std::cos(w0);
    double alpha = sn * std::sinh(std::log(2.0) / 2 * bandwidth * w0 / sn);
    double beta = std::sqrt((A * A + 1) / slope - (A - 1) * (A - 1));
    double b0, b1, b2, a0, a1, a2;
    switch (eff) {
    case 0:
        b0 = A * ((A + 1) - (A - 1) * cs + beta * sn), b1 = 2 * A * ((A - 1) - (A + 1) * cs);
        b2 = A * ((A + 1) - (A - 1) * cs - beta * sn), a0 = (A + 1) + (A - 1) * cs + beta * sn;
        a1 = -2 * ((A - 1) + (A + 1) * cs), a2 = (A + 1) + (A - 1) * cs - beta * sn;
        break;
    case 1:
        b0 = A * ((A + 1) + (A - 1) * cs + beta * sn), b1 = -2 * A * ((A - 1) + (A + 1) * cs);
        b2 = A * ((A + 1) + (A - 1) * cs - beta * sn), a0 = (A + 1) - (A - 1) * cs + beta * sn;
        a1 = 2 * ((A - 1) - (A + 1) * cs), a2 = (A + 1) - (A - 1) * cs - beta * sn;
        break;
    case 2:
        b0 = 1, b1 = -2 * cs, b2 = 1, a0 = 1 + alpha, a1 = -2 * cs, a2 = 1 - alpha;
        break;
    case 3:
        b0 = 1 + alpha * A, b1 = -2 * cs, b2 = 1 - alpha * A, a0 = 1 + alpha / A, a1 = -2 * cs, a2 = 1 - alpha / A;
        break;
    case 4:
        b0 = (1 - cs) / 2, b1 = 1 - cs, b2 = (1 - cs) / 2, a0 = 1 + alpha, a1 = -2 * cs, a2 = 1 - alpha;
        break;
    case 5:
        b0 = (1 + cs) / 2, b1 = -(1 + cs), b2 = (1 + cs) / 2, a0 = 1 + alpha, a1 = -2 * cs, a2 = 1 - alpha;
        break;
    default:
        b0 = alpha, b1 = 0, b2 = -alpha, a0 = 1 + alpha, a1 = -2 * cs, a2 = 1 - alpha;
        break;
    }
    std::complex<double> z1 = std::polar(1.0, -2 * kPi * f / rate), z2 = z1 * z1;
    std::complex<double> h = (b0 + b1 * z1 + b2 * z2) / (a0 + a1 * z1 + a2 * z2);
    if (eff == 2 || eff == 4 || eff == 5) return std::abs(std::fabs(gain) * h + (1 - std::fabs(gain)));
    if (gain < 0) return std::abs(h) / std::pow(2.0, -gain / 6);
    return std::abs(h);
}

// Measured magnitude of a settled section at frequency f: one second of a sine after a quarter of settling,
// detected in quadrature.
double measuredMagnitude(filter& flt, double rate, double f) {
    const int n = int(rate);
    for (int i = 0; i < n / 4; ++i) {
        float l = float(1000 * std::sin(2 * kPi * f * i / rate)), r = l;
        flt.process(&l, &r);
    }
    double s = 0, c = 0;
    for (int i = 0; i < n; ++i) {
        double phase = 2 * kPi * f * (i + n / 4) / rate;
        float l = float(1000 * std::sin(phase)), r = l;
        flt.process(&l, &r);
        s += l * std::sin(phase);
        c += l * std::cos(phase);
    }
    return 2.0 / n * std::sqrt(s * s + c * c) / 1000;
}

std::vector<float> noise(int n, unsigned seed) {
    std::vector<float> v(static_cast<size_t>(n));
    srand(seed);
    for (auto& x : v)
        x = float(rand() % 65536 - 32768);
    return v;
}

} // namespace

TEST(Filter, MagnitudeOfEveryTypeAndEffectiveTypeMatchesTheCookbook) {
    struct Case {
        int type;
        float gain;
        int effective; // the type whose response the section must show
        double f0;
        double probes[3];
    };
    const Case cases[] = {
        {0, 6, 0, 200, {30, 200, 5000}},
        {1, 6, 1, 5000, {100, 5000, 15000}},
        {2, 1, 2, 1000, {300, 1000, 3000}},
        {3, 6, 3, 1000, {300, 1000, 3000}},
        {4, -1, 4, 1000, {100, 1000, 5000}},
        {5, -1, 5, 1000, {100, 1000, 5000}},
        {6, 1, 6, 1000, {300, 1000, 3000}},
        // A negative gain turns boosts into cuts, a positive one turns the passes into shelves.
        {0, -6, 1, 200, {30, 200, 5000}},
        {1, -6, 0, 5000, {100, 5000, 15000}},
        {3, -0.5f, 2, 1000, {300, 1000, 3000}},
        {4, 6, 1, 1000, {100, 1000, 5000}},
        {5, 6, 0, 1000, {100, 1000, 5000}},
        {4, -0.5f, 4, 1000, {100, 1000, 15000}},
        {6, -6, 6, 1000, {300, 1000, 3000}},
        {2, -1, 2, 1000, {300, 1000, 3000}},
    };
    const double rate = 44100, bandwidth = 1.0;
    for (const Case& c : cases) {
        filter flt{float(rate)};
        flt.setType(c.type);
        flt.setFrequency(float(c.f0));
        flt.setBandwidth(float(bandwidth));
        flt.setGain(c.gain);
        for (double f : c.probes) {
            double want = expectedMagnitude(c.effective, c.gain, c.f0, bandwidth, 1.0, rate, f);
            double got = measuredMagnitude(flt, rate, f);
            EXPECT_NEAR(got, want, 0.004 * want + 0.002) << "type " << c.type << " gain " << c.gain << " at " << f;
        }
    }
}

TEST(Filter, KnownPointsOfTheResponses) {
    struct Case {
        int type;
        float gain;
        double f;
        double magnitude;
    };
    const Case cases[] = {
        {3, 6, 1000, std::pow(10.0, 6 / 20.0)}, // a peak reaches its gain at its frequency
        {2, 1, 1000, 0.0},                      // a notch removes its frequency
        {6, 1, 1000, 1.0},                      // band-pass peaks at 0 dB
        {4, -1, 20, 1.0},                       // low-pass passes low frequencies
        {4, -0.5f, 20000, 0.5},                 // half filtered: half the dry signal remains
        {0, 6, 20, std::pow(10.0, 6 / 20.0)},   // low shelf boosts below its frequency
        {0, -6, 20, std::pow(10.0, -6 / 20.0)}, // and cuts with a negative gain
    };
    for (const Case& c : cases) {
        filter flt(44100);
        flt.setType(c.type);
        flt.setFrequency(1000);
        flt.setBandwidth(1.0f);
        flt.setGain(c.gain);
        EXPECT_NEAR(measuredMagnitude(flt, 44100, c.f), c.magnitude, 0.01) << "type " << c.type << " at " << c.f;
    }
}

TEST(Filter, StaysFiniteGlidingThroughAndBeyondNyquist) {
    struct Case {
        float rate;
        int type;
        float gain;
        float from, to;
        float slope;
    };
    const Case cases[] = {
        {44100, 4, -1, 200, 44100, 1},    // filter knob glide to the top of its range
        {44100, 5, -1, 200, 60000, 1},    // clamped to the rate itself
        {32000, 3, 6, 1000, 17500, 1},    // an EQ knob above Nyquist at 32 kHz
        {44100, 2, 1, 10000, 22050, 1},   // exactly Nyquist
        {44100, 0, 12, 200, 1000, 0},     // slope 0
        {44100, 1, 12, 200, 1000, -3},    // negative slope
        {44100, 0, 24, 200, 1000, 1e30f}, // huge slope: the root's argument goes negative
    };
    std::vector<float> in = noise(20000, 3);
    for (const Case& c : cases) {
        filter flt(c.rate);
        flt.setType(c.type);
        flt.setSlope(c.slope);
        flt.setFrequency(c.from);
        flt.setGain(c.gain);
        bool finite = true;
        for (size_t i = 0; i < in.size(); ++i) {
            if (i == 2000) flt.setFrequency(c.to);
            float l = in[i], r = -in[i];
            flt.process(&l, &r);
            finite = finite && std::isfinite(l) && std::isfinite(r) && std::fabs(l) < 1e7f;
        }
        EXPECT_TRUE(finite) << "type " << c.type << " to " << c.to << " Hz at " << c.rate;
        // The stored target is kept as it was set (within the clamp to the rate).
        EXPECT_EQ(flt.getFrequency(), std::fmin(c.to, c.rate));
        // Back to an ordinary setting, the section still filters.
        flt.setFrequency(1000);
        flt.setSlope(1);
        float l = 0, r = 0;
        for (int i = 0; i < 20000; ++i) {
            l = r = 1;
            flt.process(&l, &r);
        }
        EXPECT_TRUE(std::isfinite(l) && std::isfinite(r));
    }
}

TEST(Filter, GainsBeyondAHundredAndTwentyDecibelsAreHeldThere) {
    // A gain of 1e7 dB on a low-pass is a high-shelf boost that would glide on towards float overflow (a
    // single section reaching 1e35 leaves the next stage or the mix infinite).
    struct Case {
        int type;
        double gain, stored;
    };
    const Case cases[] = {{4, 1e7, 120}, {0, 5000, 120}, {3, 121, 120}, {5, -1e30, -120}, {1, -119.5, -119.5}};
    std::vector<float> in = noise(100000, 8);
    for (const Case& c : cases) {
        filter flt(44100);
        flt.setType(c.type);
        flt.setFrequency(1000);
        flt.setParameter(5, c.gain);
        EXPECT_EQ(flt.getParameter(5), c.stored) << c.gain;
        float loudest = 0;
        for (float x : in) {
            float l = x, r = x;
            flt.process(&l, &r);
            loudest = std::fmax(loudest, std::fmax(std::fabs(l), std::fabs(r)));
        }
        // 120 dB on 16-bit noise, with the shelf's overshoot.
        EXPECT_LT(loudest, 1e12f) << "type " << c.type << " gain " << c.gain;
        EXPECT_EQ(flt.getCurGain(), float(c.stored));
    }
}

TEST(Filter, ANonFiniteSampleDoesNotSilenceTheSectionForGood) {
    struct Case {
        int type;
        float gain;
    };
    const Case cases[] = {{4, -1}, {3, 6}, {0, -6}, {6, 1}};
    std::vector<float> in = noise(6000, 12);
    for (const Case& c : cases) {
        filter spoiled(44100), clean(44100);
        for (filter* f : {&spoiled, &clean}) {
            f->setType(c.type);
            f->setFrequency(1000);
            f->setBandwidth(1);
            f->setGain(c.gain);
        }
        float l = 0, r = 0;
        for (size_t i = 0; i < in.size(); ++i) {
            const bool bad = i == 1000 || i == 1500 || i == 1501;
            float x = in[i], y = in[i];
            if (bad) x = i == 1000 ? NAN : i == 1500 ? INFINITY : -INFINITY;
            l = x, r = -x;
            spoiled.process(&l, &r);
            float cl = bad ? 0.0f : y, cr = -cl;
            clean.process(&cl, &cr);
            if (i > 1510) {
                ASSERT_TRUE(std::isfinite(l) && std::isfinite(r)) << "type " << c.type << " at " << i;
            }
            if (i > 5000) {
                ASSERT_NEAR(l, cl, 0.5f) << "type " << c.type << " at " << i;
            }
        }
    }
}

TEST(Filter, ProcessEqualsProcessChannelOnBothChannels) {
    filter a(44100), b(44100);
    for (filter* f : {&a, &b}) {
        f->setType(3);
        f->setFrequency(2500);
        f->setBandwidth(2);
        f->setGain(-4);
    }
    // Settle both (a channel call advances the glide on its own, so compare once settled).
    for (int i = 0; i < 5000; ++i) {
        float l = 0, r = 0;
        a.process(&l, &r);
        b.processChannel(0, &l);
        b.processChannel(1, &r);
    }
    std::vector<float> left = noise(4000, 1), right = noise(4000, 2);
    for (size_t i = 0; i < left.size(); ++i) {
        float l1 = left[i], r1 = right[i], l2 = left[i], r2 = right[i];
        a.process(&l1, &r1);
        b.processChannel(0, &l2);
        b.processChannel(1, &r2);
        ASSERT_EQ(l1, l2) << i;
        ASSERT_EQ(r1, r2) << i;
    }
}

TEST(Filter, ChannelsKeepTheirOwnHistory) {
    filter flt(44100);
    flt.setType(4);
    flt.setFrequency(500);
    flt.setGain(-1);
    std::vector<float> in = noise(2000, 5);
    for (float x : in) {
        float l = x, r = 0, aux = 0;
        flt.process(&l, &r);
        flt.processChannel(2, &aux);
        ASSERT_EQ(r, 0.0f);
        ASSERT_EQ(aux, 0.0f);
    }
    float bogus = 7;
    flt.processChannel(3, &bogus); // no such channel: untouched
    EXPECT_EQ(bogus, 7.0f);
}

TEST(Filter, SettingsAndTheirSmoothing) {
    filter flt(44100);
    // A new section with gain 0 passes samples unchanged.
    for (float x : noise(100, 9)) {
        float l = x, r = x;
        flt.process(&l, &r);
        ASSERT_EQ(l, x);
        ASSERT_EQ(r, x);
    }
    // Clamps on frequency and bandwidth; targets read back at once.
    flt.setFrequency(2);
    EXPECT_EQ(flt.getParameter(0), 5.0);
    flt.setParameter(0, 60000);
    EXPECT_EQ(flt.getFrequency(), 44100.0f);
    flt.setBandwidth(0.1f);
    EXPECT_FLOAT_EQ(float(flt.getParameter(3)), 0.2f);
    flt.setParameter(3, 25);
    EXPECT_EQ(flt.getParameter(3), 20.0);
    flt.setParameter(4, 99); // no such type: ignored
    flt.setFrequency(std::nanf(""));
    EXPECT_EQ(flt.getFrequency(), 44100.0f);
    EXPECT_EQ(flt.getParameter(1), 0.0);
    EXPECT_EQ(flt.getParameter(42), 0.0);

    // 0 -> 6 dB on a peak: the gain rises 0.02 dB per sample while the target reads back at once.
    flt.setFrequency(1000);
    flt.setBandwidth(1);
    flt.setType(3);
    flt.setParameter(5, 6);
    EXPECT_EQ(flt.getParameter(5), 6.0);
    float l = 0, r = 0;
    flt.process(&l, &r); // the first update switches the type; the gain starts moving with the next
    EXPECT_EQ(flt.getParameter(6), 0.0);
    flt.process(&l, &r);
    EXPECT_NEAR(flt.getParameter(6), 0.02, 1e-6);
    for (int i = 1; i < 50; ++i)
        flt.process(&l, &r);
    EXPECT_NEAR(flt.getCurGain(), 1.0, 1e-4);
    for (int i = 50; i < 400; ++i)
        flt.process(&l, &r);
    EXPECT_EQ(flt.getCurGain(), 6.0f);
}

TEST(Filter, TypeChangeFadesOutSwitchesAndFadesBackIn) {
    filter flt(44100);
    flt.setType(3);
    flt.setGain(6);
    float l = 0, r = 0;
    for (int i = 0; i < 1000; ++i)
        flt.process(&l, &r);
    ASSERT_EQ(flt.getCurGain(), 6.0f);
    flt.setType(0);
    float lowest = 6, previous = 6;
    bool fell = true;
    int i = 0;
    for (; i < 2000 && flt.getCurGain() > 0.0f; ++i) {
        flt.process(&l, &r);
        fell = fell && flt.getCurGain() <= previous;
        previous = flt.getCurGain();
    }
    EXPECT_TRUE(fell);
    lowest = flt.getCurGain();
    EXPECT_EQ(lowest, 0.0f);
    for (int j = 0; j < 1000; ++j)
        flt.process(&l, &r);
    EXPECT_EQ(flt.getCurGain(), 6.0f);
    // The section now shows a low shelf: +6 dB far below 200 Hz.
    EXPECT_NEAR(measuredMagnitude(flt, 44100, 20), std::pow(10.0, 6 / 20.0), 0.01);
}

TEST(Filter, GlideStepsAndSettlingAtTheTargets) {
    // The response to an impulse through the auxiliary channel, from a clear history.
    auto impulseResponse = [](filter& f) {
        std::vector<float> v;
        for (int i = 0; i < 64; ++i) {
            float x = i == 0 ? 1000.0f : 0.0f;
            f.processChannel(2, &x);
            v.push_back(x);
        }
        return v;
    };
    auto silence = [](filter& f, int n) {
        for (int i = 0; i < n; ++i) {
            float z = 0;
            f.processChannel(2, &z);
        }
    };
    auto knob = [](filter& f) {
        f.setType(4);
        f.setFrequency(1400);
        f.setGain(-1);
        f.setBandwidth(1);
    };
    filter settled(44100);
    knob(settled);
    settled.settle();
    const std::vector<float> want = impulseResponse(settled);
    EXPECT_NE(want[1], 0.0f);
    // From 200 Hz: 800 steps of 0.5 Hz to 600 Hz, then 100 of 8 Hz, after the first sample takes the type.
    for (int k : {899, 900}) {
        filter gliding(44100);
        knob(gliding);
        silence(gliding, k);
        if (k == 900)
            EXPECT_EQ(impulseResponse(gliding), want);
        else
            EXPECT_NE(impulseResponse(gliding), want);
    }

    // A type change, a new rate, a slope and a negative gain: settling lands where a finished glide does.
    auto shelf = [](filter& f) {
        f.setType(3);
        f.setGain(6);
        f.setFrequency(9000);
        f.setSamplerate(48000);
        f.setType(0);
        f.setSlope(0.5f);
        f.setGain(-9);
        f.setBandwidth(3);
    };
    filter glided(44100), jumped(44100);
    shelf(glided);
    silence(glided, 20000);
    shelf(jumped);
    jumped.settle();
    EXPECT_EQ(jumped.getCurGain(), -9.0f);
    EXPECT_EQ(impulseResponse(jumped), impulseResponse(glided));

    // On a section already at its targets, settling changes nothing, and the history stays.
    filter a(44100), b(44100);
    for (filter* f : {&a, &b}) {
        f->setType(3);
        f->setGain(6);
        f->setFrequency(700);
    }
    for (float x : noise(3000, 6)) {
        float l = x, r = x;
        a.process(&l, &r);
        float m = x, n = x;
        b.process(&m, &n);
    }
    b.settle();
    for (float x : noise(100, 7)) {
        float l = x, r = x, m = x, n = x;
        a.process(&l, &r);
        b.process(&m, &n);
        ASSERT_EQ(l, m);
        ASSERT_EQ(r, n);
    }
}

TEST(Filter, ARateChangeRecomputesTheCoefficients) {
    filter flt(44100);
    flt.setType(4);
    flt.setFrequency(1000);
    flt.setGain(-1);
    double at44 = measuredMagnitude(flt, 44100, 1000);
    flt.setSamplerate(88200);
    double at88 = measuredMagnitude(flt, 88200, 1000);
    EXPECT_NEAR(at88, at44, 0.01);
    EXPECT_NEAR(at88, expectedMagnitude(4, -1, 1000, 4.5, 1, 88200, 1000), 0.005);
}

TEST(Filter, SettersFromAnotherThreadReachTheProcessingThread) {
    filter flt(44100);
    flt.setType(4);
    flt.setGain(-1);
    std::atomic<bool> done{false};
    std::thread knob([&] {
        for (int i = 0; i < 2000 && !done; ++i)
            flt.setFrequency(float(100 + (i * 37) % 20000));
        flt.setFrequency(300);
    });
    std::vector<float> in = noise(50000, 4);
    bool finite = true;
    for (float x : in) {
        float l = x, r = x;
        flt.process(&l, &r);
        finite = finite && std::isfinite(l);
    }
    done = true;
    knob.join();
    float l = 0, r = 0;
    for (int i = 0; i < 50000; ++i)
        flt.process(&l, &r);
    EXPECT_TRUE(finite);
    EXPECT_NEAR(measuredMagnitude(flt, 44100, 300), expectedMagnitude(4, -1, 300, 4.5, 1, 44100, 300), 0.005);
}
