// A deck reading its file faster than the output rate keeps the file's top octave from folding back into the
// audible band and keeps the top end open; at or below the file's own rate its reads are the plain
// interpolated reads they always were.
#include "PlayerTestUtil.h"
#include "support/SweepAnalysis.h"

using namespace playertest;
using A = PlayerTestAccess;

namespace {

const int kSpectrum = 8192; // output frames measured for tones and noise (a power of two)
const int kSettle = 4096;   // output frames left out first: the start fade and the filter's reach

// Stereo frames played through a deck at `speed` (key lock off, level not following the speed): the left
// channel of `frames` output frames.
std::vector<float> play(std::vector<short> stereo, double speed, int frames) {
    MemoryTrack t(std::move(stereo));
    t->setParameter(PLAYERPARAM_VOLUMEFOLLOWSSPEED, 0);
    t->setParameter(PLAYERPARAM_SPEED, speed, 0);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    std::vector<float> out = run(*t, frames);
    std::vector<float> left(out.size() / 2);
    for (size_t i = 0; i < left.size(); ++i)
        left[i] = out[2 * i];
    return left;
}

// Tones of the input read at `speed` land on whole bins of the measured output (exact, unwindowed spectra):
// the input frequency that lands on output bin `bin`, and the bin an output frequency rounds to.
double inputHz(double bin, double speed) {
    return bin * 44100.0 / kSpectrum / speed;
}
int binOf(double outputHz) {
    return int(std::lround(outputHz * kSpectrum / 44100.0));
}

// Sums of sines, `amplitude` each, at `bins` (input frequencies through inputHz), random phases.
std::vector<short> tones(const std::vector<int>& bins, double speed, double amplitude, int frames) {
    std::vector<double> phases;
    unsigned seed = 12345;
    for (size_t k = 0; k < bins.size(); ++k) {
        seed = seed * 1103515245u + 12345u;
        phases.push_back(2 * kPi * (seed >> 8) / double(1u << 24));
    }
    std::vector<short> v(size_t(frames) * 2);
    for (int n = 0; n < frames; ++n) {
        double x = 0;
        for (size_t k = 0; k < bins.size(); ++k)
            x += std::sin(2 * kPi * inputHz(bins[k], speed) * n / 44100.0 + phases[k]);
        v[size_t(2 * n)] = v[size_t(2 * n + 1)] = short(std::lround(amplitude * x));
    }
    return v;
}

// The spectrum of the output of `bins` played at `speed`, in dB against one of the tones, per bin.
std::vector<double> playedSpectrum(const std::vector<int>& bins, double speed, double amplitude) {
    const int frames = kSettle + kSpectrum;
    std::vector<float> out = play(tones(bins, speed, amplitude, int(frames * speed) + 1000), speed, frames);
    std::vector<double> p = testsupport::powerSpectrum(out, kSettle, kSpectrum, false);
    for (double& v : p)
        v = testsupport::dB(v / (amplitude * amplitude / 2));
    return p;
}

const int kAudibleBins = binOf(testsupport::kAudibleHz);

} // namespace

// What a deck reading faster than the file's rate drops must not fold back into hearing: at most -80 dB against
// the tone, over the whole input band (the plain read folded the top octave back at full level; the earlier
// band-limited read reached -71 dB near its filter's edge, where the sweep's total hid it).
TEST(BandLimitedRead, SweepsOverTheWholeInputBandFoldNothingBackIntoHearing) {
    NoLoadingThread noThread;
    testsupport::Sweep sweep;
    sweep.amplitude = 30000; // the input's own rounding stays far below the limit
    for (double speed : {1.25, 1.5, 2.0}) {
        std::vector<float> out = play(sweep.stereo(), speed, int(sweep.frames() / speed) - 64);
        EXPECT_LT(testsupport::worstFoldBack(out, sweep, speed, 0, kSettle), -80) << speed;
    }
}

TEST(BandLimitedRead, TonesNearTheBandEdgesFoldNothingBackAndTheTopEndStaysOpen) {
    NoLoadingThread noThread;
    // Input tones where folding is likeliest (at the filter's edge, where what it drops would land at 20 kHz;
    // up to the top of the input band), and tones heard at 18 kHz, which pass within 1 dB up to speed 1.5.
    struct Case {
        double speed, outputHz;
        bool heard; // lands in the output band: its level is checked
    };
    const Case cases[] = {{1.08, 18000, true},       {1.25, 18000, true},       {1.5, 18000, true},
                          {1.5, 24150, false},       {1.5, 19000 * 1.5, false}, {1.5, 21000 * 1.5, false},
                          {1.5, 22000 * 1.5, false}, {2.0, 24150, false},       {2.0, 14000 * 2.0, false},
                          {2.0, 20000 * 2.0, false}, {2.0, 22000 * 2.0, false}};
    const double amplitude = 16000;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.speed << " x " << c.outputHz / c.speed << " Hz");
        const int bin = binOf(c.outputHz);
        const std::vector<double> p = playedSpectrum({bin}, c.speed, amplitude);
        double worst = -300;
        for (int b = 1; b <= kAudibleBins; ++b)
            if (b != bin) worst = std::max(worst, p[size_t(b)]);
        EXPECT_LT(worst, -80);
        if (c.heard) {
            EXPECT_GT(p[size_t(bin)], -1);
        }
    }
}

TEST(BandLimitedRead, NoiseWithAGapKeepsTheGapEmpty) {
    NoLoadingThread noThread;
    // Noise made of tones at random phases across the whole input band, 29 bins apart, but for a gap of 12-16 kHz
    // at the output, where what lies above the output's half rate would fold back.
    for (double speed : {1.5, 2.0}) {
        SCOPED_TRACE(speed);
        const int gapLow = binOf(12000), gapHigh = binOf(16000);
        std::vector<int> bins;
        for (int b = 7; inputHz(b, speed) < 22000; b += 29)
            if (b < gapLow || b > gapHigh) bins.push_back(b);
        // Loud enough to keep the input's rounding far below the limit, without clipping the sum.
        const double amplitude = 30000 / (4.8 * std::sqrt(bins.size() / 2.0));
        const std::vector<double> p = playedSpectrum(bins, speed, amplitude);
        double worst = -300;
        for (int b = gapLow; b <= gapHigh; ++b)
            worst = std::max(worst, p[size_t(b)]);
        EXPECT_LT(worst, -80);
        EXPECT_GT(p[size_t(bins[10])], -1); // the noise itself passes
    }
}

TEST(BandLimitedRead, KeyLockReadsAndTheirSplicesAreBandLimitedToo) {
    NoLoadingThread noThread;
    // Under key lock the read head moves at the tempo speed: at 1.5 a 17 kHz tone lies above what the output
    // can hold (25.5 kHz) and must vanish instead of folding back to 18.6 kHz, splices and all.
    const double amplitude = 12000;
    MemoryTrack t(sineFrames(17000, 44100, 44100 * 4, amplitude));
    t->setParameter(PLAYERPARAM_VOLUMEFOLLOWSSPEED, 0);
    t->setParameter(PLAYERPARAM_SPEED, 1.0, 0);
    t->setParameter(PLAYERPARAM_TEMPOSPEED, 1.5);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    std::vector<float> out = run(*t, 44100 * 2);
    double energy = 0;
    int frames = 0;
    for (size_t i = 2 * kSettle; i < out.size(); i += 2, ++frames)
        energy += double(out[i]) * out[i];
    EXPECT_LT(testsupport::dB(energy / frames / (amplitude * amplitude / 2)), -80);
}

TEST(BandLimitedRead, AtOrBelowTheFilesRateTheReadsAreThePlainOnes) {
    NoLoadingThread noThread;
    testsupport::Sweep sweep;
    sweep.seconds = 1;
    for (double speed : {1.0, 0.92, 0.5, -0.75}) {
        SCOPED_TRACE(speed);
        MemoryTrack t(sweep.stereo());
        t->setParameter(PLAYERPARAM_VOLUMEFOLLOWSSPEED, 0);
        const double start = speed < 0 ? sweep.frames() - 100.0 : 0.0;
        t->setParameter(PLAYERPARAM_POSITION, start);
        t->setParameter(PLAYERPARAM_SPEED, speed, 0);
        t->setParameter(PLAYERPARAM_PLAYING, 1);
        const int frames = 30000;
        std::vector<float> out = run(*t, frames);
        // The same interpolation the deck selected, read at the positions the deck passed.
        const unsigned sizes[] = {13, 13 * 3 / 4, 13 * 3 / 2};
        const int selected = A::selectedResampler(*t);
        ASSERT_GE(selected, 0);
        Resample plain;
        plain.init(sizes[selected]);
        std::vector<short> samples = sweep.stereo();
        plain.setFormat(samples.data(), sweep.frames(), sweep.frames(), 2);
        double position = start;
        const double increment = A::increment(*t);
        int differing = 0;
        for (int n = 0; n < frames; ++n, position += increment) {
            if (n < 2 * Player::kFadeFrames) continue; // the start fade
            if (out[size_t(2 * n)] != plain.getOverSample(position, 0) ||
                out[size_t(2 * n + 1)] != plain.getOverSample(position, 1))
                ++differing;
        }
        EXPECT_EQ(differing, 0);
    }
}
