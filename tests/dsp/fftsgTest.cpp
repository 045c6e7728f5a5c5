#include "dsp/fftsg.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

const double kPi = 3.14159265358979323846;

// The packed forward transform computed term by term in long double.
std::vector<double> naiveForward(const std::vector<double>& x) {
    const size_t n = x.size();
    std::vector<double> out(n);
    std::vector<long double> cs(n), sn(n);
    for (size_t j = 0; j < n; ++j) {
        cs[j] = std::cos(2.0L * kPi * (long double)j / n);
        sn[j] = std::sin(2.0L * kPi * (long double)j / n);
    }
    for (size_t k = 0; k <= n / 2; ++k) {
        long double re = 0, im = 0;
        for (size_t j = 0; j < n; ++j) {
            re += x[j] * cs[(j * k) % n];
            im += x[j] * sn[(j * k) % n];
        }
        if (k == 0)
            out[0] = double(re);
        else if (k == n / 2)
            out[1] = double(re);
        else
            out[2 * k] = double(re), out[2 * k + 1] = double(im);
    }
    return out;
}

struct Table {
    int ip[64] = {0};
    std::vector<double> w = std::vector<double>(4096);
};

} // namespace

TEST(RealFFT, RandomVectorsMatchTheDefinitionAndInvertForEverySize) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    Table t;
    for (int n = 2; n <= 2048; n *= 2) {
        std::vector<double> x(static_cast<size_t>(n));
        for (double& v : x)
            v = dist(rng);
        std::vector<double> a = x;
        rdft(n, 1, a.data(), t.ip, t.w.data());
        std::vector<double> want = naiveForward(x);
        double scale = 0, worst = 0;
        for (int i = 0; i < n; ++i)
            scale = std::fmax(scale, std::fabs(want[size_t(i)]));
        for (int i = 0; i < n; ++i)
            worst = std::fmax(worst, std::fabs(a[size_t(i)] - want[size_t(i)]));
        EXPECT_LT(worst / scale, 1e-12) << "n = " << n;

        rdft(n, -1, a.data(), t.ip, t.w.data());
        worst = 0;
        for (int i = 0; i < n; ++i)
            worst = std::fmax(worst, std::fabs(a[size_t(i)] * 2 / n - x[size_t(i)]));
        EXPECT_LT(worst, 1e-13) << "n = " << n;
    }
}

TEST(RealFFT, KnownSignals) {
    const int n = 1024;
    Table t;
    std::vector<double> a(n);
    // A constant gives n c at DC and nothing else.
    std::fill(a.begin(), a.end(), 0.25);
    rdft(n, 1, a.data(), t.ip, t.w.data());
    EXPECT_NEAR(a[0], n * 0.25, 1e-9);
    for (int i = 1; i < n; ++i)
        ASSERT_NEAR(a[size_t(i)], 0, 1e-9) << i;

    // A cosine of bin m: n/2 in a[2m]; a sine: +n/2 in a[2m+1].
    for (int m : {1, 7, 100, 511}) {
        for (int i = 0; i < n; ++i)
            a[size_t(i)] = std::cos(2 * kPi * m * i / n);
        rdft(n, 1, a.data(), t.ip, t.w.data());
        EXPECT_NEAR(a[size_t(2 * m)], n / 2.0, 1e-9) << m;
        EXPECT_NEAR(a[size_t(2 * m + 1)], 0, 1e-9) << m;
        for (int i = 0; i < n; ++i)
            a[size_t(i)] = std::sin(2 * kPi * m * i / n);
        rdft(n, 1, a.data(), t.ip, t.w.data());
        EXPECT_NEAR(a[size_t(2 * m + 1)], n / 2.0, 1e-9) << m;
        EXPECT_NEAR(a[size_t(2 * m)], 0, 1e-9) << m;
    }
    // Alternating +1, -1: all of it at Nyquist, packed in a[1].
    for (int i = 0; i < n; ++i)
        a[size_t(i)] = i % 2 ? -1 : 1;
    rdft(n, 1, a.data(), t.ip, t.w.data());
    EXPECT_NEAR(a[1], n, 1e-9);
    EXPECT_NEAR(a[0], 0, 1e-9);
}

TEST(RealFFT, TableServesSmallerSizesAndGrowsForLargerOnes) {
    Table t;
    std::vector<double> a(4096);
    a[1] = 1;
    rdft(1024, 1, a.data(), t.ip, t.w.data());
    EXPECT_EQ(t.ip[0], 256);
    EXPECT_EQ(t.ip[1], 256);
    // A smaller size keeps the table (and is still right).
    std::vector<double> x = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<double> b = x;
    rdft(8, 1, b.data(), t.ip, t.w.data());
    EXPECT_EQ(t.ip[0], 256);
    std::vector<double> want = naiveForward(x);
    for (size_t i = 0; i < 8; ++i)
        EXPECT_NEAR(b[i], want[i], 1e-12) << i;
    // A larger one rebuilds it.
    rdft(4096, 1, a.data(), t.ip, t.w.data());
    EXPECT_EQ(t.ip[0], 1024);
}
