// Waveform stripes, views, music state and limit points. Most cases size the waveform at 40 frames per
// second, so that one frame is one detailed stripe and the arithmetic stays visible.
#include "analysis/WaveForm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const double kRate = 40; // frames per second: with 40 stripes per second, one frame per detailed stripe

// Feeds `values` as detailed stripes (left channel, clearNew set, in order).
void feed(WaveForm& w, const std::vector<float>& values) {
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(w.process(unsigned(i), values[i], 0, true), 1);
}

std::vector<float> randomValues(size_t n, unsigned seed, float max = 1000) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> d(0, max);
    std::vector<float> v(n);
    for (auto& x : v)
        x = d(random);
    return v;
}

} // namespace

TEST(WaveForm, NothingIsRecordedWithoutALength) {
    WaveForm w(44100, 0, nullptr);
    EXPECT_EQ(w.process(0, 1000, 1000, true), 1);
    EXPECT_EQ(w.processSpectrum(0, 1, 1, 1), 1);
    EXPECT_EQ(w.getStripe(0), 0);
    EXPECT_EQ(w.getStripeMax(), 0);
    EXPECT_EQ(w.getNbDetailedStripes(), 0);
    EXPECT_EQ(w.getDetailedStripe(0), 0);
    EXPECT_EQ(w.getDetailedStripeMax(), 0);
    EXPECT_EQ(w.getDetailedStripe2Max(), 1);
    EXPECT_EQ(w.getMaxPeak(), 0);
    EXPECT_EQ(w.getDetailedStripeInterp(3.5f, 1), 0);
    EXPECT_EQ(w.getClosestBeat(0, false), -1);
    EXPECT_EQ(w.getClosestBeat(0, true), -1);
    // A rate of 0 or below gives no stripes either, however long the track.
    w.initStripes(0, 1e9);
    EXPECT_EQ(w.getNbDetailedStripes(), 0);
    w.initStripes(-44100, 1e9);
    EXPECT_EQ(w.getNbDetailedStripes(), 0);
    // A huge length estimate gets a bounded number of stripes.
    w.initStripes(1, 4e9);
    EXPECT_EQ(w.getNbDetailedStripes(), WaveForm::kMaxDetailedStripes);
    EXPECT_LE(w.getNbBeatSlots(), WaveForm::kMaxBeatSlots);
}

TEST(WaveForm, OverviewAndDetailedStripesSumAbsoluteAmplitude) {
    WaveForm w(kRate, 600, nullptr); // 15 s: 600 detailed stripes, 2 frames per overview stripe
    EXPECT_EQ(w.getNbDetailedStripes(), 600);
    w.process(0, 100, -50, true);
    w.process(1, -25, 25, true);
    w.process(2, 300, 0, true);
    EXPECT_EQ(w.getStripe(0), 200);
    EXPECT_EQ(w.getStripePos(), 1);
    EXPECT_EQ(w.getDetailedStripe(0), 150);
    EXPECT_EQ(w.getDetailedStripe(1), 50);
    EXPECT_EQ(w.getDetailedStripe(2), 0) << "the stripe being filled reads 0";
    EXPECT_EQ(w.getDetailedStripeMax(), 300);
    EXPECT_EQ(w.getMaxPeak(), 300);
    // Positions at or beyond the length are ignored.
    w.process(600, 1e6, 1e6, true);
    w.process(4000000000u, 1e6, 1e6, true);
    EXPECT_EQ(w.getMaxPeak(), 300);
    EXPECT_EQ(w.getStripeMax(), 300);
    // The cached overview shows where nothing was computed (or a computed stripe is exactly 0).
    w.setStripeCached(0, 999);
    w.setStripeCached(100, 7);
    w.setStripeCached(300, 5);
    EXPECT_EQ(w.getStripe(0), 200);
    EXPECT_EQ(w.getStripe(100), 7);
    EXPECT_EQ(w.getStripe(300), 0);
    EXPECT_EQ(w.getStripeMax(), 999);
    w.process(3, -400, 10, true); // the peak counts troughs too
    EXPECT_EQ(w.getMaxPeak(), 400);
}

TEST(WaveForm, FrequencyStripesNormaliseByTheirBandMaximum) {
    WaveForm w(kRate, 600, nullptr);
    w.processSpectrum(9, 2, 4, 8);
    w.processSpectrum(10, 1, 1, 1);
    w.processSpectrum(20, 4, 2, 1);
    float low = -1, mid = -1, high = -1;
    w.getFrequencyStripe(9, &low, &mid, &high);
    EXPECT_EQ(low, 0.5f);
    EXPECT_EQ(mid, 1.0f);
    EXPECT_EQ(high, 1.0f);
    low = mid = high = -1;
    w.getFrequencyStripe(600, &low, &mid, &high);
    EXPECT_EQ(low, -1) << "out of range leaves the outputs as they were";
    // Coarse stripes (rounded): frames 9 and 10 share overview stripe 5 and add up; frame 20 starts stripe 10.
    w.getCoarseFrequencyStripe(5, &low, &mid, &high);
    EXPECT_EQ(low, 3.0f / 4);
    EXPECT_EQ(mid, 1.0f);
    EXPECT_EQ(high, 1.0f);
    w.getCoarseFrequencyStripe(10, &low, &mid, &high);
    EXPECT_EQ(low, 1.0f);
    EXPECT_EQ(high, 1.0f / 9);
}

TEST(WaveForm, EnvelopeRunningSumsMatchDirectSums) {
    const int n = 3000;
    std::vector<float> D = randomValues(n, 3);
    WaveForm w(kRate, n, nullptr);
    feed(w, D);
    auto sum = [&](int from, int to) { // stripes from .. to, negative indexes left out
        double s = 0;
        for (int k = std::max(0, from); k <= to; ++k)
            s += D[size_t(k)];
        return s;
    };
    for (int e = 100; e < n - 1; ++e) {
        const double s1 = sum(e - 199, e - 100), s2 = sum(e - 99, e), s3 = sum(e - 109, e - 90);
        const double expected = std::fabs(s1 - 5 * s3) < std::fabs(s2 - 5 * s3) ? s1 : s2;
        ASSERT_NEAR(w.getDetailedStripe2(unsigned(e - 100)), expected, expected * 1e-3) << e;
    }
    EXPECT_GT(w.getDetailedStripe2Max(), 0);
    EXPECT_EQ(w.getDetailedStripe2(unsigned(n)), 0);
}

TEST(WaveForm, AJumpOfMoreThanTenStripesRestartsTheEnvelopeSums) {
    WaveForm w(kRate, 4000, nullptr);
    feed(w, std::vector<float>(1000, 100));
    // After a seek far ahead, the sums hold only what came after it.
    for (unsigned p = 3000; p < 3300; ++p)
        w.process(p, 100, 0, true);
    const float afterJump = w.getDetailedStripe2(3298 - 100);
    EXPECT_NEAR(afterJump, 100 * 100, 1) << "one full window of 100 stripes since the jump";
}

TEST(WaveForm, InterpolationOverEqualStripesIsFlatInEveryMode) {
    WaveForm w(kRate, 400, nullptr);
    feed(w, std::vector<float>(400, 250));
    for (int mode = 0; mode < 3; ++mode)
        for (float x : {20.0f, 20.25f, 100.5f, 150.99f, 333.125f})
            EXPECT_NEAR(w.getDetailedStripeInterp(x, mode), 250, 1e-3) << mode << " " << x;
    EXPECT_EQ(w.getDetailedStripeInterp(-1, 0), 0);
    // Near the unfilled end the missing stripes count as 0.
    EXPECT_LT(w.getDetailedStripeInterp(398.5f, 0), 250);
}

TEST(WaveForm, SetLengthRescalesTheOverviewFromACopy) {
    const std::vector<float> values = randomValues(300, 5);
    struct Case {
        double newLength;
        bool changes, shortens;
    };
    for (Case c : {Case{301, false, false}, Case{150, true, true}, Case{200, true, true}, Case{600, true, false},
                   Case{450, true, false}}) {
        WaveForm w(kRate, 300, nullptr); // one frame per overview stripe
        feed(w, values);
        std::vector<float> before(300);
        for (unsigned i = 0; i < 300; ++i)
            before[i] = w.getStripe(i);
        const float maxBefore = w.getStripeMax();
        w.setLength(c.newLength);
        const double r = c.newLength / 300;
        for (unsigned i = 0; i < 300; ++i) {
            const int from = int(r * i);
            const float expected = !c.changes || from >= 300 ? before[i] : float(r * before[size_t(from)]);
            ASSERT_FLOAT_EQ(w.getStripe(i), expected) << c.newLength << " stripe " << i;
        }
        EXPECT_FLOAT_EQ(w.getStripeMax(), c.changes ? float(maxBefore * r) : maxBefore);
        // A shorter length maps later frames onto the overview; a longer one keeps the length.
        w.process(149, 1e5, 0, false);
        const unsigned stripe = c.shortens ? unsigned(149 * 300 / c.newLength) : 149;
        EXPECT_GE(w.getStripe(stripe), 1e5f) << c.newLength;
    }
}

TEST(WaveForm, MusicStateFromTheEnvelope) {
    // A track whose detailed stripes form blocks of constant level: where a 100-stripe window lies inside a
    // block, the envelope is 100 x that level.
    struct Case {
        float level, after;
        int state;
    };
    const Case cases[] = {
        {0.9f, 0.1f, 0},   // loud
        {0.1f, 0.9f, 1},   // quiet
        {0.75f, 0.9f, 0},  // rising into loud
        {0.75f, 0.3f, -1}, // above 0.7 but falling
        {0.65f, 0.3f, -1}, // 0.6 .. 0.7 is undecided
        {0.5f, 0.3f, 1},   // the next stripes average below 0.4
        {0.5f, 0.5f, -1},  // average 0.4 or more
        {0.5f, 0.15f, 1},  // a stripe below 0.2 ahead
    };
    for (const Case& c : cases) {
        // Stripes 0..599 at 1.0 (the maximum), 600..899 at `level`, 900..1499 at `after`.
        std::vector<float> D(1500);
        for (size_t i = 0; i < D.size(); ++i)
            D[i] = i < 600 ? 1.0f : i < 900 ? c.level : c.after;
        WaveForm w(kRate, double(D.size()), nullptr);
        feed(w, D);
        // Envelope stripe s sums the 100 stripes on the side of s that matches its level: 895 is still the
        // `level` block's, while the 39 stripes after it pass into the next block.
        const int s = 895;
        EXPECT_EQ(w.getMusicState(s), c.state) << c.level << " then " << c.after;
    }
    WaveForm w(kRate, 1000, nullptr);
    EXPECT_EQ(w.getMusicState(-5), 1) << "before the start counts as stripe 0, silent";
}

TEST(WaveForm, LimitPointsAvoidTheOneBlockThatDoesNotRepeat) {
    // 120 BPM, 40 stripes a second: a 16-beat block is 320 stripes. The track repeats one block's pattern
    // throughout, except block 20, which is different.
    const int L = 320, N = 16000;
    const std::vector<float> pattern = randomValues(L, 9, 1);
    const std::vector<float> odd = randomValues(L, 10, 1);
    WaveForm w(kRate, N, nullptr);
    w.setBPM(120, 16);
    const int oddStart = 20 * L;
    for (int i = 0; i < N; ++i) {
        const float v = i >= oddStart && i < oddStart + L ? odd[size_t(i % L)] : pattern[size_t(i % L)];
        w.process(unsigned(i), v * 1000, 0, true);
        w.processSpectrum(unsigned(i), v, 1 - v, v * v);
    }
    w.calculateLimPoints(380000); // a few pairs only: (400 s - 380 s) / 8 s
    ASSERT_TRUE(w.hasLimitPoints());
    int pairs = 0;
    for (int i = 0; w.getLimitPoint(0, i) >= 0; ++i, ++pairs) {
        const double a = w.getLimitPoint(0, i), b = w.getLimitPoint(1, i);
        EXPECT_DOUBLE_EQ(b - a, 8000) << "16 beats at 120 BPM";
        // The block and the one after it, which it repeats, lie clear of the odd block.
        const double from = a * kRate / 1000, to = from + 2 * L;
        EXPECT_TRUE(to <= oddStart || from >= oddStart + L) << from;
        if (i > 0) {
            EXPECT_GE(a, w.getLimitPoint(0, i - 1)) << "sorted";
        }
    }
    EXPECT_EQ(pairs, 3);
    EXPECT_EQ(w.getLimitPoint(0, pairs), -1);
    EXPECT_EQ(w.getLimitPoint(1, -1), -1);
}

TEST(WaveForm, LimitPointsNeedMoreThanTheMinimumAndATempo) {
    WaveForm w(kRate, 170 * kRate, nullptr); // under three minutes
    feed(w, randomValues(size_t(170 * kRate), 4));
    w.calculateLimPoints(180000);
    EXPECT_TRUE(w.hasLimitPoints());
    EXPECT_EQ(w.getLimitPoint(0, 0), -1);
    WaveForm none(kRate, 400 * kRate, nullptr);
    none.setBPM(1e9, 20); // a block shorter than a stripe: no pairs, and no endless loop
    none.calculateLimPoints(180000);
    EXPECT_EQ(none.getLimitPoint(0, 0), -1);
}

TEST(WaveForm, LimitPointsMatchDirectNoveltySums) {
    // Random stripes: the running sums pick the same blocks as summing every window afresh.
    const int N = 4000;
    const std::vector<float> D = randomValues(N, 12, 1000);
    const std::vector<float> B = randomValues(N, 13, 1);
    WaveForm w(kRate, N, nullptr);
    w.setBPM(240, 16); // L = 16 x 0.25 s x 40 = 160 stripes
    for (int i = 0; i < N; ++i) {
        w.process(unsigned(i), D[size_t(i)], 0, true);
        w.processSpectrum(unsigned(i), B[size_t(i)], 0, 0);
    }
    w.calculateLimPoints(60000); // (100 s - 60 s) / 4 s: 10 pairs

    const double L = 160, q = 40;
    float maxD = 0, maxB = 0;
    for (int i = 0; i < N - 1; ++i) // the last stripe is still being filled and reads 0
        maxD = std::max(maxD, D[size_t(i)]), maxB = std::max(maxB, B[size_t(i)]);
    auto d = [&](long j) { return j < N - 1 ? double(D[size_t(j)]) / maxD : 0.0; };
    auto b = [&](long j) { return j < N ? double(B[size_t(j)]) / maxB : 0.0; };
    std::vector<double> novelty(N, 0);
    double largest = 0;
    for (int i = int(q); i < N - 2 * L - q; ++i) {
        double s = 0;
        for (long j = long(i - q); j < i + L + q; ++j)
            s += std::fabs(b(j) - b(j + long(L))) + std::fabs(d(j) - d(j + long(L)));
        novelty[size_t(i)] = s;
        largest = std::max(largest, s);
    }
    std::vector<double> expected;
    for (double remaining = N; remaining > kRate * 60; remaining -= L) {
        int p = int(q);
        for (int i = int(q); i < N - 2 * L - q; ++i)
            if (novelty[size_t(i)] < novelty[size_t(p)]) p = i;
        expected.push_back(p * 1000 / kRate);
        for (long i = std::max(0L, long(p - L)); i < std::min(long(N), long(2 * L + p)); ++i)
            novelty[size_t(i)] = largest + 1;
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), 10u);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_DOUBLE_EQ(w.getLimitPoint(0, int(i)), expected[i]) << i;
}

TEST(WaveForm, ReadersNeverSeeFreedArraysWhileLongerTracksAreSized) {
    WaveForm w(kRate, 1000, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        float sink = 0;
        while (!stop) {
            reads.fetch_add(1);
            const int n = w.getNbDetailedStripes();
            for (int i = 0; i < n + 10; i += 7) {
                sink += w.getDetailedStripe(unsigned(i)) + w.getDetailedStripe2(unsigned(i));
                float l = 0, m = 0, h = 0;
                w.getFrequencyStripe(unsigned(i), &l, &m, &h);
                sink += w.getDetailedStripeInterp(float(i) + 0.5f, i % 3) + l;
            }
            sink += float(w.getMusicState(n / 2));
        }
        EXPECT_GE(sink, 0);
    });
    double length = 0;
    for (int round = 1; round <= 30; ++round) {
        // The reader reads across every sizing, however late a loaded machine schedules it.
        const int before = reads.load();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        length = 1000.0 * (round % 7 + 1) * round;
        w.initStripes(kRate, length);
        for (unsigned p = 0; p < 2000; ++p)
            w.process(p, 1, 1, true);
        while (reads.load() < before + 2 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    }
    stop = true;
    reader.join();
    EXPECT_GE(reads.load(), 60);
    // The readers changed nothing: the wave form holds what the last sizing and its frames make alone.
    WaveForm alone(kRate, length, nullptr);
    for (unsigned p = 0; p < 2000; ++p)
        alone.process(p, 1, 1, true);
    ASSERT_EQ(w.getNbDetailedStripes(), alone.getNbDetailedStripes());
    for (int i = 0; i < alone.getNbDetailedStripes(); ++i)
        ASSERT_EQ(w.getDetailedStripe(unsigned(i)), alone.getDetailedStripe(unsigned(i))) << i;
}
