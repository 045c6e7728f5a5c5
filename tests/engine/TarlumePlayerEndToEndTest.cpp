// Real files through a deck, the mixer and the test sound backend: the frames leaving the master show the
// position, the speed, a loop's wrap and silence while paused; and a deck's player replaced while another
// thread pumps the device.
#include "TarlumePlayerTestSupport.h"
#include "support/DeckLoads.h"

#include "library/tags/CID3v2Tag.h"

#include <atomic>

using namespace decktest;

namespace {

// The source frame of every master frame of a block (channels 0 and 1 of four).
std::vector<long> masterFrames(const std::vector<float>& block) {
    std::vector<long> frames;
    for (size_t i = 0; i + 3 < block.size(); i += 4)
        frames.push_back(positionFrame(block[i], block[i + 1]));
    return frames;
}

// Pumps until the deck's ring holds what it will play (the loading thread keeps ahead).
std::vector<float> play(Rig& rig, TarlumePlayer* d, int frames) {
    std::vector<float> out;
    for (int done = 0; done < frames; done += 256) {
        EXPECT_TRUE(waitDecoded(d));
        std::vector<float> block = rig.pump(256);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

double crossings(const std::vector<float>& block) {
    int n = 0;
    for (size_t i = 4; i < block.size(); i += 4)
        n += block[i - 4] < 0 && block[i] >= 0;
    return n / (block.size() / 4 / 44100.0);
}

} // namespace

TEST(DeckEndToEnd, PositionSpeedLoopAndPauseReachTheMaster) {
    for (const char* name : {"position.wav", "position.flac"}) {
        SCOPED_TRACE(name);
        Rig rig(true);
        ASSERT_EQ(rig.engine->getSamplerate(), 44100);
        TarlumePlayer* d = rig.deck();
        ASSERT_TRUE(testsupport::loadSong(d, fixture(name).c_str(), true));
        ASSERT_TRUE(waitDecoded(d));
        d->bpm = 120;
        d->bpmConfidence = 100;

        // Paused: silence.
        std::vector<float> out = play(rig, d, 4096);
        EXPECT_EQ(*std::max_element(out.begin(), out.end()), 0.0f);

        // Playing from the start: master frame k is source frame k (past the start fade and the gain ramp).
        d->playPause();
        out = play(rig, d, 44100);
        std::vector<long> f = masterFrames(out);
        for (size_t k = 2000; k < f.size(); k += 997)
            ASSERT_NEAR(f[k], long(k), 16) << k;
        EXPECT_NEAR(d->getPosition(), out.size() / 4 / 44.1, 1);

        // Pitch +50 %: one and a half source frames per master frame.
        d->setPitch(1.5, true);
        out = play(rig, d, 44100);
        f = masterFrames(out);
        // The left channel's ramp restarts every 16,384 source frames: at 1.5 every 10,923 master frames,
        // whatever the level.
        std::vector<size_t> restarts;
        for (size_t k = 3; k < out.size() / 4; ++k)
            if (out[4 * (k - 3)] > 4000 && out[4 * k] < -4000 && (restarts.empty() || k > restarts.back() + 100))
                restarts.push_back(k);
        ASSERT_GE(restarts.size(), 3u);
        EXPECT_NEAR(double(restarts.back() - restarts.front()) / double(restarts.size() - 1), 16384 / 1.5, 2);
        d->setPitch(1.0, true);
        play(rig, d, 2048);

        // A 4-beat loop of what was just played: the master wraps back to its start every 88,200 frames.
        d->loopStart();
        const double loopStart = d->getParam(PLAYERPARAM_LOOPSTART), loopEnd = d->getParam(PLAYERPARAM_LOOPEND);
        EXPECT_NEAR(loopEnd - loopStart, 88200, 1e-6);
        out = play(rig, d, 3 * 88200);
        f = masterFrames(out);
        // A wrap is a short crossfade from the loop's end to its start.
        int wraps = 0;
        bool nearEnd = false;
        for (size_t k = 1; k < f.size(); ++k) {
            if (f[k] > loopEnd - 500) nearEnd = true;
            if (nearEnd && f[k] < loopStart + 500) {
                ++wraps;
                nearEnd = false;
            }
            if (k > 512) { // past the splice into the loop
                ASSERT_GE(f[k], loopStart - 16) << k;
                ASSERT_LE(f[k], loopEnd + 16) << k;
            }
        }
        EXPECT_EQ(wraps, 3);
        d->loopStop();

        // Paused again: silence once the stop fade is over.
        d->playPause();
        out = play(rig, d, 4096);
        float loudest = 0;
        for (size_t i = 4 * 512; i < out.size(); ++i)
            loudest = std::max(loudest, std::fabs(out[i]));
        EXPECT_EQ(loudest, 0.0f);
    }
}

TEST(DeckEndToEnd, ATaggedMp3PlaysAtItsPitchAndCloses) {
    Rig rig(true);
    TarlumePlayer* d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, fixture("tone.mp3").c_str(), true));
    ASSERT_TRUE(waitDecoded(d));
    EXPECT_DOUBLE_EQ(d->getBPM(false, true, false), 128);
    d->playPause();
    play(rig, d, 8192);
    EXPECT_NEAR(crossings(play(rig, d, 44100)), 441, 2);
    d->setPitch(1.2, true);
    play(rig, d, 4096);
    EXPECT_NEAR(crossings(play(rig, d, 44100)), 441 * 1.2, 3);
    // A one-beat loop at the tag's 128 BPM keeps the deck inside it.
    d->loopSetLength(1);
    d->loopStart();
    const double loopStartMs = d->loopGetStartMs(), loopMs = d->loopGetLengthMs();
    EXPECT_NEAR(loopMs, 60000 / 128.0, 1e-6);
    for (int i = 0; i < 12; ++i) {
        play(rig, d, 4096);
        ASSERT_GE(d->getPosition(), loopStartMs - 1);
        ASSERT_LE(d->getPosition(), loopStartMs + loopMs + 1);
    }
    d->loopStop();
    // Cue: back to the cue point and silent.
    d->cueSong();
    d->cueSong_Up();
    play(rig, d, 4096);
    std::vector<float> out = play(rig, d, 4096);
    EXPECT_EQ(*std::max_element(out.begin(), out.end()), 0.0f);
    EXPECT_NEAR(d->getPosition(), d->cuePoint, 1);
    CID3v2Tag* tag = d->tag;
    d->closeSong();
    EXPECT_EQ(rig.engine->keptRecords.back(), tag);
    EXPECT_EQ(d->tag, nullptr);
}

namespace {
FModPlayer* makeOtherPlayer() {
    return new FModPlayer();
}
} // namespace

TEST(DeckEndToEnd, APlayerIsReplacedWhileAnotherThreadPumpsTheDevice) {
    Rig rig(true);
    TarlumePlayer* d = rig.deck();
    TarlumePlayer::videoPlayerFactory = makeOtherPlayer;
    ASSERT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), true));
    d->playPause();
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::thread audio([&] {
        while (!stop.load()) {
            rig.backend.pump(rig.card, 256);
            blocks.fetch_add(1);
        }
    });
    // Audio to "video" (another player class) and back, each load replacing the player.
    for (int i = 0; i < 20; ++i) {
        const long seen = blocks.load();
        ASSERT_TRUE(testsupport::loadSong(d, i % 2 ? fixture("position.wav").c_str() : "/none/clip.mov", true));
        d->setParam(PLAYERPARAM_PLAYING, 1);
        ASSERT_TRUE(waitUntil([&] { return blocks.load() > seen + 2; }, 10000));
    }
    stop = true;
    audio.join();
    TarlumePlayer::videoPlayerFactory = nullptr;
    EXPECT_EQ(d->isVideo, 0);
}
