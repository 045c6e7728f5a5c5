#include "dsp/Resample.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

const double kPi = 3.14159265358979323846;
const double kAmplitude = 10000;

// Stereo frames of a band-limited signal: a sine on the left, a cosine on the right, `cycles` per frame.
struct Tone {
    double cycles;
    double left(double t) const { return kAmplitude * std::sin(2 * kPi * cycles * t); }
    double right(double t) const { return kAmplitude * std::cos(2 * kPi * cycles * t); }
};

std::vector<short> stereoTone(const Tone& tone, int frames, int firstFrame = 0) {
    std::vector<short> v(static_cast<size_t>(2 * frames));
    for (int i = 0; i < frames; ++i) {
        v[size_t(2 * i)] = short(std::lround(tone.left(firstFrame + i)));
        v[size_t(2 * i + 1)] = short(std::lround(tone.right(firstFrame + i)));
    }
    return v;
}

// The largest error of reads at `positions`, against the tone at `time(position)`.
template <class Time>
double worstError(Resample& rs, const Tone& tone, const std::vector<double>& positions, Time time) {
    double worst = 0;
    for (double p : positions) {
        worst = std::fmax(worst, std::fabs(rs.getOverSample(p, 0) - tone.left(time(p))));
        worst = std::fmax(worst, std::fabs(rs.getOverSample(p, 1) - tone.right(time(p))));
    }
    return worst;
}

// Largest error expected at the tones used here: half a step of rounding plus the passband ripple, which
// shrinks as the filter grows (measured: about 26, 9 and 2 for sizes 9, 13 and 19).
double rippleBound(unsigned int N) {
    return N <= 9 ? 40 : N <= 13 ? 16 : 4;
}

} // namespace

TEST(Resample, TableForEachFilterSize) {
    struct Case {
        unsigned int asked, N;
        float rolloff;
    };
    const Case cases[] = {{13, 13, 0.91f}, {0, 13, 0.91f},  {2, 4, 0.90f},    {9, 9, 0.90f},
                          {19, 19, 0.91f}, {30, 30, 0.92f}, {500, 100, 0.92f}};
    Resample rs;
    EXPECT_EQ(rs.getFilterSize(), 4u);
    for (const Case& c : cases) {
        rs.init(c.asked);
        EXPECT_EQ(rs.getFilterSize(), c.N) << c.asked;
        EXPECT_EQ(rs.getTableLength(), (c.N - 1) * 2048) << c.asked;
        EXPECT_FLOAT_EQ(rs.getCoefficients()[0], c.rolloff) << c.asked;
    }
    // Size 13: the Kaiser window of beta 6 + 4 x 2.5 / 26 shapes the sinc; at the middle of the wing it is
    // I0(beta x sqrt(3/4)) / I0(beta).
    rs.init(13);
    const double beta = 6 + 4 * 2.5 / 26;
    auto i0 = [](double x) {
        double sum = 1, term = 1;
        for (int n = 1; n < 60; ++n)
            term *= (x / 2 / n) * (x / 2 / n), sum += term;
        return sum;
    };
    const unsigned int mid = rs.getTableLength() / 2;
    const double x = kPi * mid / 4096;
    const double sincAtMid = std::sin(0.91 * x) / x;
    const double window = i0(beta * std::sqrt(1 - std::pow(mid / double(rs.getTableLength() - 1), 2))) / i0(beta);
    EXPECT_NEAR(rs.getCoefficients()[mid], sincAtMid * window, 1e-6);
}

TEST(Resample, BandLimitedSignalReadsBackAtIntegerAndFractionalPositions) {
    const Tone tone{1000.0 / 44100};
    std::vector<short> buffer = stereoTone(tone, 20000);
    for (unsigned int N : {9u, 13u, 19u}) {
        Resample rs;
        rs.init(N);
        rs.setFormat(buffer.data(), 20000, 20000, 2);
        std::vector<double> positions;
        for (int i = 100; i < 19900; i += 37)
            for (double f : {0.0, 0.25, 0.5, 0.9})
                positions.push_back(i + f);
        // Stored samples carry half a step of rounding, the filter a small passband ripple.
        EXPECT_LT(worstError(rs, tone, positions, [](double p) { return p; }), rippleBound(N)) << N;
    }
}

TEST(Resample, EdgesUseTheFallbackAndStayContinuous) {
    const Tone tone{300.0 / 44100};
    const int frames = 4000;
    std::vector<short> buffer = stereoTone(tone, frames);
    Resample rs;
    rs.init(13);
    rs.setFormat(buffer.data(), frames + 1000, frames, 2); // the loaded frames end before the buffer does
    std::vector<double> positions;
    for (double p = 3; p < 40; p += 0.1)
        positions.push_back(p); // start edge zone and beyond
    for (double p = frames - 40; p < frames - 3; p += 0.1)
        positions.push_back(p); // loaded end
    EXPECT_LT(worstError(rs, tone, positions, [](double p) { return p; }), 0.002 * kAmplitude);

    EXPECT_EQ(rs.getOverSample(-0.5, 0), 0.0f);
    EXPECT_EQ(rs.getOverSample(std::nan(""), 0), 0.0f);
    EXPECT_EQ(rs.getOverSample(1e30, 1), 0.0f);
    EXPECT_EQ(rs.getSample(frames, 0), 0.0f); // beyond the loaded frames
    EXPECT_EQ(rs.getSample(-1, 0), 0.0f);
    EXPECT_EQ(rs.getSample(10, 1), buffer[21]);
}

TEST(Resample, RingReadsContinueAcrossTheWrapAndBackwardsPastSlotZero) {
    // A ring of 10000 frames whose newest frames wrapped to its start: slot s holds track frame
    // s + 25000 for s < 3000 and s + 15000 above, as the streaming player leaves it.
    const Tone tone{440.0 / 44100};
    const int capacity = 10000, wrapAt = 3000;
    std::vector<short> ring(2 * capacity);
    std::vector<short> newest = stereoTone(tone, wrapAt, 25000), older = stereoTone(tone, capacity - wrapAt, 18000);
    std::copy(newest.begin(), newest.end(), ring.begin());
    std::copy(older.begin(), older.end(), ring.begin() + 2 * wrapAt);
    auto trackTime = [&](double slot) { return slot < wrapAt ? slot + 25000 : slot + 15000; };

    std::vector<double> nearWrap;
    for (double p = capacity - 60; p < capacity; p += 0.13)
        nearWrap.push_back(p);
    for (double p = 0; p < 60; p += 0.13)
        nearWrap.push_back(p);
    for (unsigned int N : {9u, 13u, 19u}) {
        Resample rs;
        rs.init(N);
        rs.setFormat(ring.data(), capacity, capacity, 2, true);
        EXPECT_LT(worstError(rs, tone, nearWrap, trackTime), rippleBound(N)) << N;
        // Positions at or past the capacity wrap as well.
        EXPECT_FLOAT_EQ(rs.getOverSample(capacity + 12.5, 0), rs.getOverSample(12.5, 0));
        EXPECT_EQ(rs.getSample(capacity + 3, 1), ring[7]);
        EXPECT_EQ(rs.getSample(-1, 0), ring[2 * capacity - 2]);
        EXPECT_EQ(rs.getOverSample(-0.5, 0), 0.0f); // an unmapped position reads silence
        EXPECT_EQ(rs.getOverSample(INFINITY, 0), 0.0f);
        EXPECT_EQ(rs.getOverSample(std::nan(""), 1), 0.0f);
        EXPECT_NEAR(rs.getOverSample(1e6 * capacity + 12.5, 0), rs.getOverSample(12.5, 0), 1e-3 * kAmplitude);

        // The same ring read as a plain buffer clicks at slot 0: that is what the ring mode is for.
        rs.setFormat(ring.data(), capacity, capacity, 2, false);
        EXPECT_GT(worstError(rs, tone, nearWrap, trackTime), 0.05 * kAmplitude) << N;
    }
}

TEST(Resample, MonoBufferGivesItsChannelToBoth) {
    std::vector<short> mono(3000);
    for (size_t i = 0; i < mono.size(); ++i)
        mono[i] = short(i);
    Resample rs;
    rs.init(13);
    rs.setFormat(mono.data(), 3000, 3000, 1);
    EXPECT_EQ(rs.getOverSample(1500.5, 1), rs.getOverSample(1500.5, 0));
    EXPECT_NEAR(rs.getOverSample(1500.5, 0), 1500.5, 1500 * 0.01);
    EXPECT_EQ(rs.getSample(7, 1), 7.0f);
}

TEST(Resample, StretchedWingWalksTheTableInScaledSteps) {
    Resample rs;
    rs.init(13);
    const float* imp = rs.getCoefficients();
    const unsigned int length = rs.getTableLength();
    std::vector<float> diff(length);
    for (unsigned int i = 0; i + 1 < length; ++i)
        diff[i] = imp[i + 1] - imp[i];
    diff[length - 1] = -imp[length - 1];
    std::vector<short> samples(200);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = short((i * 7919) % 2001 - 1000);
    const short* center = samples.data() + 100;
    for (double phase : {0.0, 0.3, 0.75}) {
        // A step of one zero crossing is the unstretched wing.
        EXPECT_NEAR(lrsFilterUD(imp, diff.data(), length, center, phase, -1, 4096),
                    lrsFilterUp(imp, diff.data(), length, center, phase, -1), 1e-2);
        EXPECT_NEAR(lrsFilterUD(imp, diff.data(), length, center + 1, phase, 1, 4096),
                    lrsFilterUp(imp, diff.data(), length, center + 1, phase, 1), 1e-2);
        // Half the step reads twice the samples: the taps at 0, 2048, 4096, ... entries from the phase.
        double expected = 0;
        int n = 0;
        for (double k = phase * 2048; k < length; k += 2048, ++n) {
            unsigned int at = unsigned(k);
            expected += (imp[at] + diff[at] * (k - at)) * center[-n];
        }
        EXPECT_EQ(n, int(std::ceil((length - phase * 2048) / 2048)));
        EXPECT_NEAR(lrsFilterUD(imp, diff.data(), length, center, phase, -1, 2048), expected, 1e-2);
    }
}

TEST(Resample, BandLimitedReadKeepsTheBandBelowTheReadRateAndDropsWhatWouldFold) {
    const int frames = 4000;
    for (double factor : {2.0 / 3.0, 0.5, 0.25}) {
        SCOPED_TRACE(factor);
        // A tone well inside the band read at this rate passes at unity gain.
        Tone low{0.1 * factor};
        std::vector<short> a = stereoTone(low, frames);
        Resample rs;
        rs.init(13);
        rs.setFormat(a.data(), frames, frames, 2);
        double worst = 0;
        for (double p = 100.25; p < frames - 100; p += 1.0 / factor)
            worst = std::fmax(worst, std::fabs(rs.getResample(p, 0, factor) - low.left(p)));
        EXPECT_LT(worst, 0.02 * kAmplitude);
        // One above the read rate's half (it would fold back) is attenuated far below it.
        Tone high{0.45};
        std::vector<short> b = stereoTone(high, frames);
        rs.setFormat(b.data(), frames, frames, 2);
        double peak = 0, plain = 0;
        for (double p = 100.25; p < frames - 100; p += 1.0 / factor) {
            peak = std::fmax(peak, std::fabs(rs.getResample(p, 1, factor)));
            plain = std::fmax(plain, std::fabs(rs.getOverSample(p, 1)));
        }
        EXPECT_LT(peak, 0.01 * kAmplitude) << plain;
        EXPECT_GT(plain, 0.5 * kAmplitude);
    }
    // A factor of 1 or more is the plain read, bit for bit, edges and fallback included; reads near the edges
    // stay finite and quiet beyond them.
    std::vector<short> c = stereoTone(Tone{0.05}, 300);
    Resample rs;
    rs.init(13);
    rs.setFormat(c.data(), 300, 300, 2);
    for (double p : {0.0, 0.5, 3.7, 150.2, 296.9, 299.5}) {
        EXPECT_EQ(rs.getResample(p, 0, 1.0), rs.getOverSample(p, 0));
        EXPECT_EQ(rs.getResample(p, 1, 1.7), rs.getOverSample(p, 1));
        EXPECT_TRUE(std::isfinite(rs.getResample(p, 0, 0.01)));
        float l = 0, r = 0;
        rs.getResampleFrame(p, 0.6, &l, &r);
        EXPECT_NEAR(l, rs.getResample(p, 0, 0.6), 0.05);
        EXPECT_NEAR(r, rs.getResample(p, 1, 0.6), 0.05);
    }
    EXPECT_EQ(rs.getResample(-1.0, 0, 0.5), 0.0f);
    EXPECT_EQ(rs.getResample(1e9, 0, 0.5), 0.0f);
    EXPECT_EQ(rs.getResample(std::nan(""), 0, 0.5), 0.0f);
}

TEST(Resample, BandLimitedRingReadContinuesAcrossTheWrap) {
    // A ring of 1000 frames holding a tone that fits it whole: reads across the wrap equal reads inside.
    const int frames = 1000;
    Tone tone{0.01};
    std::vector<short> ring = stereoTone(tone, frames);
    Resample rs;
    rs.init(13);
    rs.setFormat(ring.data(), frames, 0, 2, true);
    for (double p : {0.3, 2.5, 998.7, 999.9, 1500.25})
        EXPECT_NEAR(rs.getResample(p, 0, 0.5), tone.left(p), 0.02 * kAmplitude) << p;
}

TEST(Resample, StereoFrameReadIsBothPlainReadsBitForBit) {
    // Whole buffers (edges, beyond the end, a full-scale square wave), a ring
    // (across its wrap) and a mono buffer: the frame read gives each channel's plain read exactly.
    std::vector<short> tone = stereoTone(Tone{0.07}, 400);
    std::vector<short> square(800);
    for (size_t i = 0; i < square.size(); ++i)
        square[i] = (i / 8) % 2 ? 32767 : -32768;
    struct Case {
        const short* buffer;
        int frames, channels;
        bool ring;
    } cases[] = {{tone.data(), 400, 2, false},
                 {square.data(), 400, 2, false},
                 {tone.data(), 400, 2, true},
                 {tone.data(), 800, 1, false}};
    for (const Case& c : cases) {
        Resample rs;
        rs.init(13);
        rs.setFormat(c.buffer, c.frames, c.frames, c.channels, c.ring);
        // Steps of a whole frame keep one fraction (the frame read keeps its coefficients meanwhile).
        for (double step : {0.37, 1.0})
            for (double p = -1.5; p < 2 * c.frames; p += step) {
                float l = 0, r = 0;
                rs.getOverSampleFrame(p, &l, &r);
                ASSERT_EQ(l, rs.getOverSample(p, 0)) << p;
                ASSERT_EQ(r, rs.getOverSample(p, 1)) << p;
            }
    }
}

TEST(Resample, BandLimitedReadsWeighingFourOrEightTapsAtOnceAgree) {
    // Whole buffers (edges and beyond them included), a ring (across its wrap) and a mono buffer, at factors from
    // just below 1 to past the smallest: both ways give the same reads, to float rounding.
    std::vector<short> tone = stereoTone(Tone{0.21}, 700);
    struct Case {
        int frames, channels;
        bool ring;
    } cases[] = {{700, 2, false}, {700, 2, true}, {1400, 1, false}};
    for (const Case& c : cases) {
        Resample rs;
        rs.setFormat(tone.data(), c.frames, c.frames, c.channels, c.ring);
        for (double factor : {0.99, 0.67, 0.5, 0.31, 0.25, 0.1}) {
            for (double p = -1.5; p < 2 * c.frames; p += 3.37) {
                float l4, r4, l8, r8;
                Resample::allowWideReads(false);
                rs.getResampleFrame(p, factor, &l4, &r4);
                Resample::allowWideReads(true);
                rs.getResampleFrame(p, factor, &l8, &r8);
                ASSERT_NEAR(l4, l8, 0.02) << factor << " " << p;
                ASSERT_NEAR(r4, r8, 0.02) << factor << " " << p;
            }
        }
    }
}

TEST(Resample, BandLimitedReadsAtAHeldRateAgreeWithTheFirstOnes) {
    // A rate held past a block's reads is read through coefficients worked out once for it; a resampler whose
    // rate keeps changing reads the filter's table every time. Both give the same reads, far below hearing.
    std::vector<short> tone = stereoTone(Tone{0.19}, 4000);
    for (int channels : {2, 1}) {
        for (double factor : {0.99, 2.0 / 3.0, 0.5, 0.3}) {
            SCOPED_TRACE(testing::Message() << channels << " channels, factor " << factor);
            Resample held, changing;
            held.setFormat(tone.data(), 4000 * 2 / channels, 4000 * 2 / channels, channels);
            changing.setFormat(tone.data(), 4000 * 2 / channels, 4000 * 2 / channels, channels);
            double worst = 0;
            for (int n = 0; n < 1000; ++n) {
                const double p = 300.3 + n / factor * 0.97;
                float l1, r1, l2, r2, unused;
                held.getResampleFrame(p, factor, &l1, &r1);
                changing.getResampleFrame(p, factor * (n % 2 ? 1.0 : 0.999), &unused, &unused);
                changing.getResampleFrame(p, factor, &l2, &r2);
                if (n > 300) worst = std::max({worst, double(std::fabs(l1 - l2)), double(std::fabs(r1 - r2))});
            }
            EXPECT_LT(worst / kAmplitude, 2e-5); // -94 dB against the tone
        }
    }
}
