// A deck reading its file faster than the output rate keeps the file's top octave from folding back into the
// audible band; at or below the file's own rate its reads are the plain interpolated reads they always were.
#include "PlayerTestUtil.h"
#include "support/SweepAnalysis.h"

using namespace playertest;
using A = PlayerTestAccess;

namespace {

// The sweep played through a deck at `speed` (key lock off, level not following the speed): the left channel.
std::vector<float> playSweep(const testsupport::Sweep& sweep, double speed) {
    MemoryTrack t(sweep.stereo());
    t->setParameter(PLAYERPARAM_VOLUMEFOLLOWSSPEED, 0);
    t->setParameter(PLAYERPARAM_SPEED, speed, 0);
    t->setParameter(PLAYERPARAM_PLAYING, 1);
    std::vector<float> stereo = run(*t, int(sweep.frames() / speed) - 64);
    std::vector<float> left(stereo.size() / 2);
    for (size_t i = 0; i < left.size(); ++i)
        left[i] = stereo[2 * i];
    return left;
}

} // namespace

TEST(BandLimitedRead, SweepsPlayedFasterKeepTheirEnergyInBand) {
    NoLoadingThread noThread;
    testsupport::Sweep sweep;
    // Limits between what the plain read gave (-18.7 dB at 1.5, where the top octave folds back at full level,
    // and -58.6 dB at 1.08) and what the band-limited read gives (-87 and -84 dB).
    struct Case {
        double speed, limit;
    };
    for (const Case& c : {Case{1.5, -80}, Case{1.08, -70}}) {
        std::vector<float> out = playSweep(sweep, c.speed);
        EXPECT_LT(testsupport::outOfBandEnergy(out, sweep, c.speed, 0, 4096), c.limit) << c.speed;
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
    for (size_t i = 2 * 4096; i < out.size(); i += 2, ++frames)
        energy += double(out[i]) * out[i];
    const double rms = std::sqrt(energy / frames);
    EXPECT_LT(20 * std::log10(rms / (amplitude / std::sqrt(2.0))), -60);
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
