// The streaming player's ring, checked with a "counter" track whose every sample names its frame: fills,
// wraps and seeks, driven by hand on the test's thread.
#include "PlayerTestUtil.h"

#include "analysis/GainAnalysis.h"
#include "analysis/WaveForm.h"
#include "audio/player/TrackLoading.h"

using namespace playertest;
using A = PlayerTestAccess;

namespace {

const int kTrackFrames = 600000;
const int kRing = 200000;

struct CounterDeck {
    NoLoadingThread noThread;
    TempDir dir;
    std::string path;
    std::vector<short> ring;
    FModPlayer player;

    explicit CounterDeck(int ringFrames = kRing, int trackFrames = kTrackFrames, int channels = 2) {
        path = (dir.path + "counter.wav");
        std::vector<short> frames = counterFrames(trackFrames);
        if (channels == 1) {
            for (int n = 0; n < trackFrames; ++n)
                frames[size_t(n)] = frames[size_t(2 * n)];
            frames.resize(size_t(trackFrames));
        }
        writeWav(path, 44100, channels, frames);
        ring.assign(size_t(ringFrames) * 2, short(0x5A5A));
        EXPECT_EQ(player.init(ring.data(), ringFrames, 13, path, 0, 0), 0);
    }

    // Load steps until `done` says so (or nothing more happens).
    template <class Done> void fill(Done done, int urgency = 0) {
        for (int i = 0; i < 2000 && !done(); ++i)
            if (player.getSomeDataNow(urgency) == 0 && !done()) break;
    }
    void fillTo(unsigned fileFrames) {
        fill([&] { return player.getFileFrames() >= fileFrames; });
    }

    // Every frame the audio thread may read holds its own number.
    void expectCounter(const char* where) {
        const unsigned first = player.getRingStart(), end = player.getFileFrames();
        int checked = 0, zero = 0;
        for (unsigned f = first; f < end; f += 97) {
            float l = player.getSample(f, 0), r = player.getSample(f, 1);
            if (l == 0 && r == 0 && f != 0) {
                ++zero; // within the margins kept from frames being written
                continue;
            }
            ASSERT_EQ(counterFrame(l, r), long(f)) << where << " frame " << f;
            ++checked;
        }
        EXPECT_GT(checked, 0) << where;
        EXPECT_LE(zero, int(FModPlayer::kBlockFrames + FModPlayer::kEdgeMargin) / 97 * 2 + 2) << where;
    }

    // Plays one frame and returns the frame number it sounded. The resampler's gain at 0 Hz is 1 to within
    // about 0.1 %, so the left channel's ramp may read a few tens of frames off.
    long playFrame() {
        float l, r;
        player.process(&l, &r);
        return counterFrame(l, r);
    }
    // Load steps until the ring starts at `start` and holds `frame`.
    void fillAround(unsigned start, unsigned frame) {
        fill([&] { return player.getRingStart() == start && player.getFileFrames() > frame + 1000; });
    }
};

} // namespace

TEST(FModPlayer, FillsTheRingAheadOfThePositionAndReportsItsNeed) {
    CounterDeck d;
    EXPECT_EQ(d.player.getParameter(PLAYERPARAM_ISSTREAMING), 1);
    EXPECT_EQ(d.player.getParameter(PLAYERPARAM_LENGTH), kTrackFrames);
    EXPECT_EQ(d.player.getSomeDataNow(0), 3) << "an empty ring needs data urgently";
    d.fill([&] { return d.player.getNeed() == 0; });
    // Full when 60 % of the ring lies ahead of the (paused) position.
    EXPECT_GE(d.player.getFileFrames(), unsigned(0.6 * kRing));
    EXPECT_LT(d.player.getFileFrames(), unsigned(0.6 * kRing) + 2 * FModPlayer::kBlockFrames);
    EXPECT_EQ(d.player.getParameter(PLAYERPARAM_FULLYLOADED), 0);
    EXPECT_EQ(d.player.getParameter(PLAYERPARAM_LOADED), d.player.getFileFrames());
    const unsigned before = d.player.getFileFrames();
    EXPECT_LE(d.player.getSomeDataNow(0), 1) << "at most analysis, no decoding";
    EXPECT_EQ(d.player.getFileFrames(), before);
    d.expectCounter("first fill");
    EXPECT_EQ(d.player.getSample(kRing, 0), 0) << "not decoded yet";
}

TEST(FModPlayer, WrapsAroundTheRingAndPlaysAcrossTheWrap) {
    CounterDeck d;
    d.fillTo(100000);
    d.player.setParameter(PLAYERPARAM_POSITION, 90000);
    d.player.setParameter(PLAYERPARAM_PLAYING, 1);
    d.playFrame();
    // Playing on: the ring is refilled ahead, its oldest frames give way.
    for (int block = 0; block < 60; ++block) {
        d.fill([&] { return d.player.getNeed() == 0; });
        run(d.player, 4000);
    }
    const double position = PlayerTestAccess::position(d.player);
    EXPECT_NEAR(position, 90000 + 1 + 240000, 1);
    EXPECT_GT(d.player.getFileFrames(), unsigned(kRing));
    EXPECT_GE(d.player.getRingStart(), d.player.getFileFrames() - kRing);
    d.expectCounter("after wrapping");
    // The sound at the position is the position's own frame (the ramp has settled, away from the left
    // channel's wrap at multiples of 32768).
    d.player.setParameter(PLAYERPARAM_POSITION, 300000);
    run(d.player, 200);
    long heard = d.playFrame();
    EXPECT_NEAR(double(heard), 300201, 40);
}

TEST(FModPlayer, JumpsOutOfTheRingRestartDecodingBeforeTheTarget) {
    CounterDeck d;
    d.fillTo(100000);
    d.player.setParameter(PLAYERPARAM_PLAYING, 1);
    run(d.player, 10);
    struct Case {
        double target;
        int restart;
    };
    // Ahead: 1,500 frames of pre-roll before the position (which plays on, silent, until the loading thread
    // takes the request). Near the start: from frame 0.
    for (Case c : {Case{450000, 450200 - 1500}, Case{60000, 0}}) {
        d.player.setParameter(PLAYERPARAM_POSITION, c.target);
        // The old sound fades out through the splice while the ring holds nothing at the target.
        std::vector<float> out = run(d.player, 200);
        EXPECT_EQ(A::pendingSeek(d.player), c.restart) << c.target;
        EXPECT_EQ(out[398], 0) << "silence until the ring holds the target";
        EXPECT_EQ(A::startFade(d.player), Player::kFadeFrames - 1);
        d.fillAround(unsigned(c.restart), unsigned(c.target) + 200);
        EXPECT_EQ(d.player.getRingStart(), unsigned(c.restart)) << c.target;
        d.expectCounter("after a jump");
        // The sound fades in over 50 samples.
        out = run(d.player, 60);
        EXPECT_LT(std::fabs(out[0]), std::fabs(out[98]) * 0.1 + 1) << c.target;
        EXPECT_NEAR(double(counterFrame(out[118], out[119])), c.target + 200 + 60, 40) << c.target;
        if (c.target == 450000) {
            // Frames behind the target are there too, for scratching back.
            EXPECT_EQ(counterFrame(d.player.getSample(449000, 0), d.player.getSample(449000, 1)), 449000);
        }
    }
}

// While the decoder moves to a requested frame, the audio thread plays on in silence and keeps asking for the
// position it has reached. The seek answers those requests when the position is within its reach, so there is
// no second seek (which would throw away the first block and make the jump wait for two); a jump elsewhere
// meanwhile keeps its request.
TEST(FModPlayer, ASeekAnswersTheRequestsMadeWhileItRan) {
    CounterDeck d;
    d.fillTo(100000);
    d.player.setParameter(PLAYERPARAM_PLAYING, 1);
    run(d.player, 10);
    d.player.setParameter(PLAYERPARAM_POSITION, 450000);
    run(d.player, 10);
    const int restart = A::takeSeek(d.player);
    EXPECT_EQ(restart, 450010 - 1500);
    run(d.player, 200); // fewer frames than loading inside the callback waits for: nobody takes the request
    EXPECT_EQ(A::pendingSeek(d.player), 450210 - 1500) << "asked again meanwhile";
    d.player.seekData(restart, true);
    EXPECT_EQ(A::pendingSeek(d.player), -1);
    d.fillAround(unsigned(restart), 450400);
    EXPECT_EQ(d.player.getRingStart(), unsigned(restart)) << "no second seek";
    run(d.player, 100); // past the fade-in
    EXPECT_NEAR(double(d.playFrame()), 450311, 40);

    d.player.setParameter(PLAYERPARAM_POSITION, 250000);
    run(d.player, 1);
    const int second = A::takeSeek(d.player);
    EXPECT_EQ(second, 250001 - 1500);
    d.player.setParameter(PLAYERPARAM_POSITION, 20000);
    run(d.player, 1);
    d.player.seekData(second, true);
    EXPECT_EQ(A::pendingSeek(d.player), 0) << "the jump out of its reach keeps its request";
}

// A jump to frames not decoded yet: the sound left behind fades out through the splice, and the sound that comes
// back after the gap fades in, however long the gap lasted. Both for a jump a little ahead of the decoded frames
// (no seek, decoding catches up) and for a seek whose first block came only after the audio thread had played on
// in silence for a while.
TEST(FModPlayer, JumpsIntoSilenceFadeOutAndBackIn) {
    NoLoadingThread noThread;
    TempDir dir;
    const float level = 10000;
    writeWav(dir.path + "dc.wav", 44100, 2, std::vector<short>(size_t(600000) * 2, short(level)));
    std::vector<short> ring(size_t(kRing) * 2);
    FModPlayer p;
    ASSERT_EQ(p.init(ring.data(), kRing, 13, dir.path + "dc.wav", 0, 0), 0);
    auto fillPast = [&](double frame) {
        for (int i = 0; i < 2000 && p.getFileFrames() < frame + 1000; ++i)
            p.getSomeDataNow(0);
    };
    fillPast(100000);
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    run(p, 2000);

    // Ahead of the decoded frames, within reach of linear decoding.
    p.setParameter(PLAYERPARAM_POSITION, p.getFileFrames() + 30000.0);
    std::vector<float> out = run(p, 300);
    EXPECT_GT(out[0], level * 0.95) << "no click where the sound leaves";
    EXPECT_NEAR(out[2 * 64], level * 0.5, level * 0.02);
    EXPECT_EQ(out[598], 0) << "nothing decoded there yet";
    EXPECT_EQ(A::pendingSeek(p), -1) << "close enough not to seek";
    fillPast(A::position(p) + 100);
    out = run(p, 60);
    EXPECT_LT(out[0], level * 0.05) << "no click where the sound comes back";
    EXPECT_NEAR(out[2 * 55], level, 30);

    // Out of the ring: the seek is done, but its first block is late.
    p.setParameter(PLAYERPARAM_POSITION, 450000);
    out = run(p, 10);
    EXPECT_GT(out[0], level * 0.95) << "no click where the sound leaves";
    EXPECT_GT(out[18], level * 0.9);
    const int restart = A::pendingSeek(p);
    ASSERT_GE(restart, 0);
    p.seekData(restart, true);
    out = run(p, 300);
    EXPECT_EQ(out[598], 0);
    fillPast(A::position(p) + 100);
    out = run(p, 60);
    EXPECT_LT(out[0], level * 0.05) << "no click where the sound comes back";
    EXPECT_NEAR(out[2 * 55], level, 30);
}

TEST(FModPlayer, PlayingBackwardPastTheRingStartRestartsFortyThousandFramesBefore) {
    CounterDeck d;
    d.player.setParameter(PLAYERPARAM_POSITION, 400000);
    run(d.player, 1);
    d.fill([&] { return d.player.getNeed() == 0; });
    EXPECT_EQ(d.player.getRingStart(), 398500u);
    d.player.setParameter(PLAYERPARAM_SPEED, -1, 0);
    d.player.setParameter(PLAYERPARAM_POSITION, 398600);
    d.player.setParameter(PLAYERPARAM_PLAYING, 1);
    run(d.player, 200);
    // The ring ran out at frame 398,499, reached after 101 frames.
    EXPECT_EQ(A::pendingSeek(d.player), 398499 - 40000) << "40,000 before where the ring ran out";
    d.fillAround(398499 - 40000, 398499);
    run(d.player, 100);
    long heard = d.playFrame();
    EXPECT_NEAR(double(heard), 398600 - 301, 40);
}

TEST(FModPlayer, NeedWhilePausedAndPlaying) {
    // A ring large enough that 240,000 frames ahead is less than 60 % of it.
    CounterDeck d(1000000, 700000);
    d.fillTo(250000);
    PlayerTestAccess::calculateNeed(d.player);
    const double need = 0.9 * (1 - double(d.player.getFileFrames()) / 600000);
    ASSERT_GT(need, 0.5);
    EXPECT_EQ(d.player.getNeed(), 0.5) << "paused";
    EXPECT_EQ(d.player.getParameter(PLAYERPARAM_FULLYLOADED), 0.5);
    PlayerTestAccess::setPlayingNow(d.player);
    PlayerTestAccess::calculateNeed(d.player);
    EXPECT_NEAR(d.player.getNeed(), need, 1e-9);
    // Filling stops once nearly 60 % of the ring lies ahead.
    d.fillTo(700000);
    EXPECT_LE(d.player.getNeed(), 0.002);
    const unsigned before = d.player.getFileFrames();
    EXPECT_LE(d.player.getSomeDataNow(0), 1) << "at most analysis, no decoding";
    EXPECT_EQ(d.player.getFileFrames(), before);
}

TEST(FModPlayer, APausedDeckWithMostOfTheRingAheadNeedsNothing) {
    CounterDeck d;
    d.player.setParameter(PLAYERPARAM_PLAYING, 1);
    for (int block = 0; block < 40; ++block) {
        d.fill([&] { return d.player.getNeed() == 0; });
        run(d.player, 4000);
    }
    d.player.setParameter(PLAYERPARAM_PLAYING, 0);
    run(d.player, 100);
    ASSERT_GT(d.player.getFileFrames(), unsigned(kRing));
    // Back into frames the ring still holds: 70 % of it lies ahead.
    const double back = d.player.getFileFrames() - 0.7 * kRing;
    ASSERT_GT(back, d.player.getRingStart() + 3000.0);
    d.player.setParameter(PLAYERPARAM_POSITION, back);
    run(d.player, 1);
    PlayerTestAccess::calculateNeed(d.player);
    EXPECT_EQ(d.player.getNeed(), 0);
    EXPECT_EQ(counterFrame(d.player.getSample(unsigned(back), 0), d.player.getSample(unsigned(back), 1)), long(back));
}

TEST(FModPlayer, EndOfFileSetsTheLengthToWhatWasDecoded) {
    CounterDeck d(400000, 150000);
    // A length estimate longer than the data (as a decoder's guess may be).
    d.player.setParameter(PLAYERPARAM_LENGTH, 160000);
    run(d.player, 1);
    d.fill([&] { return PlayerTestAccess::endOfFile(d.player); });
    EXPECT_TRUE(PlayerTestAccess::endOfFile(d.player));
    EXPECT_EQ(d.player.getParameter(PLAYERPARAM_LENGTH), 150000);
    EXPECT_EQ(d.player.getParameter(PLAYERPARAM_LOADED), 150000);
    EXPECT_EQ(d.player.getNeed(), 0);
    EXPECT_NE(d.player.getParameter(PLAYERPARAM_REPLAYGAIN), 0) << "measured up to the end of the data";
    // At the end of the file nothing is being written: every frame reads back, up to the last.
    EXPECT_EQ(counterFrame(d.player.getSample(149999, 0), d.player.getSample(149999, 1)), 149999);
    EXPECT_EQ(d.player.getSample(150000, 0), 0);
}

TEST(FModPlayer, MonoFilesFillTheRingOneSamplePerFrame) {
    CounterDeck d(kRing, 50000, 1);
    EXPECT_EQ(d.player.getParameter(PLAYERPARAM_MONO), 1);
    d.fill([&] { return PlayerTestAccess::endOfFile(d.player); });
    for (unsigned f : {1u, 777u, 32767u, 32768u, 49999u}) {
        EXPECT_EQ(d.player.getSample(f, 0), float(f & 0x7FFF)) << f;
        EXPECT_EQ(d.player.getSample(f, 1), float(f & 0x7FFF)) << f;
    }
}

TEST(FModPlayer, FilesThatDoNotOpenGiveASilentUnloadedPlayer) {
    NoLoadingThread noThread;
    TempDir dir;
    std::vector<short> ring(20000);
    FModPlayer p;
    EXPECT_LT(p.init(ring.data(), 10000, 13, (dir.path + "missing.wav"), 0, 0), 0);
    EXPECT_EQ(p.getParameter(PLAYERPARAM_LENGTH), 1);
    EXPECT_EQ(p.getSomeDataNow(0), 0);
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    float l = 1, r = 1;
    p.process(&l, &r);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(r, 0);
    // Without a buffer at all nothing is read or written either.
    EXPECT_EQ(p.init(nullptr, 0, 13, "", 0, 0), 0);
    EXPECT_EQ(p.getSomeDataNow(0), 0);
    p.process(&l, &r);
    EXPECT_EQ(p.getSample(0, 0), 0);
}

TEST(FModPlayer, APausedDecksOverviewCoversTheWholeTrackBeyondItsRing) {
    CounterDeck d; // 600,000 frames; a paused ring of 200,000 decodes the first 120,000
    d.fill([] { return false; });
    EXPECT_LT(d.player.getFileFrames(), unsigned(kTrackFrames / 2));
    const std::vector<short> frames = counterFrames(kTrackFrames);
    const WaveForm* w = d.player.getWaveForm();
    const int perStripe = kTrackFrames / w->getNbStripes();
    for (int i = 0; i < w->getNbStripes(); ++i) {
        double sum = 0;
        for (int f = i * perStripe; f < (i + 1) * perStripe; ++f)
            sum += std::abs(frames[size_t(2 * f)]) + std::abs(frames[size_t(2 * f + 1)]);
        ASSERT_NEAR(w->getStripe(unsigned(i)), sum, sum * 1e-4) << "stripe " << i; // float sums
    }
}

// The ReplayGain measure takes every frame of the track once, in order, whatever the ring still holds when the
// loading thread finds time for analysis: a track played through (its first frames long gone from the ring), a
// paused one, whose overview reads on where the ring stops, one replayed from an earlier point. A jump over frames
// never decoded, with no overview to read them, leaves the measure incomplete: no gain rather than a wrong one.
TEST(FModPlayer, TheReplayGainMeasuresEveryFrameOfTheTrack) {
    NoLoadingThread noThread;
    TempDir dir;
    // Louder and louder, by 46 dB over the track: the title gain, the level where its loudest 5 % of 50 ms blocks
    // begin, moves when as little as half a second is measured twice or lost (the number of blocks and where they
    // fall both change).
    std::vector<short> frames(size_t(kTrackFrames) * 2);
    for (size_t n = 0; n < size_t(kTrackFrames); ++n)
        frames[2 * n] = frames[2 * n + 1] = short(std::lround(100 * std::pow(200.0, double(n) / kTrackFrames) *
                                                              std::sin(2 * kPi * 1000 * double(n) / 44100)));
    writeWav(dir.path + "louder.wav", 44100, 2, frames);
    GainAnalysis whole(44100);
    std::vector<float> left(kTrackFrames), right(kTrackFrames);
    for (size_t n = 0; n < size_t(kTrackFrames); ++n) {
        left[n] = frames[2 * n];
        right[n] = frames[2 * n + 1];
    }
    whole.AnalyzeSamples(left.data(), right.data(), left.size(), 2);
    const double reference = whole.GetTitleGain();
    ASSERT_NE(reference, 0);
    const short peak = *std::max_element(frames.begin(), frames.end());

    struct Case {
        const char* name;
        int ring;
        bool play, overview;
        double jumpAt, jumpTo; // a jump while playing, none when jumpAt < 0
        bool measured;
    };
    // The overview scan's decoding carries the measure on too and would cover what the ring's decoding misses: it
    // runs (with the stripes) only in its own row.
    for (Case c : {Case{"played through", kRing, true, false, -1, 0, true},
                   Case{"paused, the ring holds it", 2 * kTrackFrames, false, false, -1, 0, true},
                   Case{"paused, the overview reads on", kRing, false, true, -1, 0, true},
                   Case{"a jump back", kRing, true, false, 400000, 100000, true},
                   Case{"a jump over frames never decoded", kRing, true, false, 50000, 450000, false}}) {
        std::vector<short> ring(size_t(c.ring) * 2);
        FModPlayer p;
        ASSERT_EQ(p.init(ring.data(), c.ring, 13, dir.path + "louder.wav", 0, 0), 0);
        p.setParameter(PLAYERPARAM_STRIPES, c.overview ? 1 : 0);
        // Load steps as the loading thread gives them: only while the ring needs data...
        auto fill = [&] {
            for (int i = 0; i < 2000 && p.getNeed() != 0; ++i)
                p.getSomeDataNow(0);
        };
        p.setParameter(PLAYERPARAM_PLAYING, c.play ? 1 : 0);
        bool jumped = c.jumpAt < 0;
        for (int block = 0; block < 1000 && c.play && A::position(p) < kTrackFrames - 1; ++block) {
            fill();
            run(p, 4000);
            if (!jumped && A::position(p) >= c.jumpAt) {
                p.setParameter(PLAYERPARAM_POSITION, c.jumpTo);
                jumped = true;
            }
        }
        // ... then, once nothing needs data, as many as analysis takes.
        fill();
        for (int i = 0; i < 100000 && p.getSomeDataNow(0) != 0; ++i) {
        }
        if (c.measured) {
            EXPECT_NEAR(p.getParameter(PLAYERPARAM_REPLAYGAIN), reference, 1e-4) << c.name;
            if (c.overview) { // the waveform's peak, stored beside the gain, covers what the overview read
                EXPECT_EQ(p.getParameter(PLAYERPARAM_MAXPEAK), peak) << c.name;
            }
        } else {
            EXPECT_EQ(p.getParameter(PLAYERPARAM_REPLAYGAIN), 0) << c.name;
        }
    }
}
