// A deck without a sound card: a real file loaded by the loading thread, played through process at several
// speeds, with key lock, a loop and a jump out of the ring, written to a WAV file and compared with the
// source; then the analysis the loading thread did on the way.
#include "PlayerTestUtil.h"

#include "analysis/WaveForm.h"
#include "audio/decoders/AudioDecoder.h"
#include "foundation/modTools.h"

#include <chrono>
#include <cmath>
#include <thread>

using namespace playertest;
using A = PlayerTestAccess;

namespace {

std::string fixture(const std::string& name) {
    return std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/player/" + name;
}

// The whole file as the decoder delivers it, frame after frame: the reference the deck must reproduce.
std::vector<short> decodeWhole(const std::string& path) {
    AudioDecoder d;
    std::vector<short> all;
    if (d.openFile(path) < 0) return all;
    std::vector<short> block(AudioDecoder::maxReadBytes / 2);
    for (;;) {
        int bytes = d.readData(block.data(), 0);
        if (bytes <= 0) break;
        all.insert(all.end(), block.begin(), block.begin() + bytes / 2);
    }
    return all;
}

// The reference at a fractional frame, linearly interpolated (the signals here are far below Nyquist).
double at(const std::vector<short>& src, double frame, int channel) {
    const size_t i = size_t(frame);
    if (2 * (i + 1) + 1 >= src.size()) return 0;
    const double f = frame - double(i);
    return (1 - f) * src[2 * i + size_t(channel)] + f * src[2 * (i + 1) + size_t(channel)];
}

// RMS difference over RMS signal of out[first..first+n) against the reference positions.
template <class Position>
double relativeError(const std::vector<short>& out, size_t first, size_t n, const std::vector<short>& src,
                     Position position) {
    double error = 0, signal = 0;
    for (size_t k = 0; k < n; ++k) {
        for (int c = 0; c < 2; ++c) {
            const double want = at(src, position(k), c);
            const double got = out[2 * (first + k) + size_t(c)];
            error += (got - want) * (got - want);
            signal += want * want;
        }
    }
    return signal > 0 ? std::sqrt(error / signal) : 1;
}

// Energy of a frequency in the left channel (Goertzel).
double toneEnergy(const std::vector<short>& out, size_t first, size_t n, double hz) {
    const double w = 2 * kPi * hz / 44100, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (size_t k = 0; k < n; ++k) {
        const double s = out[2 * (first + k)] + c * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

// A deck driven like the audio callback drives it, paced so the loading thread keeps ahead.
struct Deck {
    std::vector<short> ring;
    FModPlayer player;
    std::vector<short> played; // everything process produced, interleaved 16-bit

    Deck(const std::string& path, int ringFrames) : ring(size_t(ringFrames) * 2) {
        EXPECT_EQ(player.init(ring.data(), ringFrames, 13, path, 0, 0), 0) << path;
    }
    bool waitUntil(std::function<bool()> ready) {
        const double start = timeGetExactTime();
        while (!ready()) {
            if (timeGetExactTime() - start > 60000) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        return true;
    }
    // The position and the key-lock read head are held in the ring, with room ahead.
    bool ready() {
        const double length = player.getParameter(PLAYERPARAM_LENGTH);
        const double start = player.getRingStart(), end = player.getFileFrames();
        auto held = [&](double p) { return p >= start && (p + 30000 < end || end >= length); };
        const bool keyLock = player.getParameter(PLAYERPARAM_TEMPOSPEED) > 0;
        return held(A::position(player)) && (!keyLock || held(A::readHead(player)));
    }
    void play(int frames) {
        for (int done = 0; done < frames; done += 256) {
            EXPECT_TRUE(waitUntil([&] { return ready(); })) << "the loading thread fell behind";
            for (int i = 0; i < std::min(256, frames - done); ++i) {
                float l, r;
                player.process(&l, &r);
                played.push_back(short(std::lround(std::clamp(l, -32768.0f, 32767.0f))));
                played.push_back(short(std::lround(std::clamp(r, -32768.0f, 32767.0f))));
            }
        }
    }
    // Commands take effect at the next frame: play one, then let the ring catch up.
    void step() {
        float l, r;
        player.process(&l, &r);
        played.push_back(short(std::lround(l)));
        played.push_back(short(std::lround(r)));
        EXPECT_TRUE(waitUntil([&] { return ready(); }));
    }
};

} // namespace

TEST(EndToEnd, PlaysSpeedsKeyLockALoopAndAJumpAndWritesWhatItPlayed) {
    TempDir dir;
    for (const char* name : {"beats.flac", "beats.mp3", "beats.m4a"}) {
        SCOPED_TRACE(name);
        const std::vector<short> src = decodeWhole(fixture(name));
        ASSERT_GT(src.size(), size_t(44100 * 2 * 29));
        Deck d(fixture(name), 600000); // about 14 s: the jump to 25 s leaves the ring

        // 2 s at normal speed from the start (the level kept at 1 whatever the speed, to compare samples).
        d.player.setParameter(PLAYERPARAM_VOLUMEFOLLOWSSPEED, 0);
        d.player.setParameter(PLAYERPARAM_PLAYING, 1);
        d.play(88200);
        // 2 s at 1.5.
        d.player.setParameter(PLAYERPARAM_SPEED, 1.5, 0);
        d.play(88200);
        // 3 s at 1.2 with key lock: the file's pitch, the deck's tempo.
        d.player.setParameter(PLAYERPARAM_SPEED, 1.2, 0);
        d.player.setParameter(PLAYERPARAM_TEMPOSPEED, 1.0);
        d.play(132300);
        const double keyLockEnd = A::position(d.player);
        // Back to normal speed, then a one-beat loop (120 BPM: 22,050 frames) played three times.
        d.player.setParameter(PLAYERPARAM_TEMPOSPEED, 0);
        d.player.setParameter(PLAYERPARAM_SPEED, 1.0, 0);
        d.play(4410);
        const double loopStart = std::ceil(A::position(d.player)) + 10000;
        d.player.setParameter(PLAYERPARAM_LOOPSTART, loopStart);
        d.player.setParameter(PLAYERPARAM_LOOPEND, loopStart + 22050);
        d.player.setParameter(PLAYERPARAM_LOOP, 1);
        const size_t loopPlayedFrom = d.played.size() / 2;
        d.play(10000 + 22050 * 3);
        d.player.setParameter(PLAYERPARAM_LOOP, 0);
        d.play(4410);
        // A jump out of the ring, to 25 s.
        d.player.setParameter(PLAYERPARAM_POSITION, 1102500);
        d.step();
        const size_t jumpedAt = d.played.size() / 2;
        d.play(44100);

        // What was played goes to a WAV file; the comparison reads it back.
        const std::string out = (dir.path + std::string(name) + ".played.wav");
        writeWav(out, 44100, 2, d.played);
        const std::vector<short> heard = decodeWhole(out);
        ASSERT_EQ(heard.size(), d.played.size());

        // Normal speed: frame n is source frame n (past the 50-frame start fade).
        EXPECT_LT(relativeError(heard, 100, 88000, src, [](size_t k) { return double(k + 100); }), 0.01);
        // Speed 1.5: played frame 88,200 + k is source frame 88,200 + 1.5 k.
        EXPECT_LT(relativeError(heard, 88200, 88000, src, [](size_t k) { return 88200 + 1.5 * double(k); }), 0.01);
        // Key lock: 330 Hz stays 330 Hz (not 396), and the position went 1.2 times as fast.
        EXPECT_NEAR(keyLockEnd, 88201 + 1.5 * 88199 + 1.2 * 132300, 2);
        const size_t kl = 176400 + 4410;
        EXPECT_GT(toneEnergy(heard, kl, 44100, 330), 50 * toneEnergy(heard, kl, 44100, 396));
        // The loop: once inside it, every beat sounds the same.
        const size_t inLoop = loopPlayedFrom + 10000 + 300;
        double error = 0, signal = 0;
        for (size_t k = 0; k < 22050 * 2 - 600; ++k) {
            const double a = heard[2 * (inLoop + k)], b = heard[2 * (inLoop + k + 22050)];
            error += (a - b) * (a - b);
            signal += a * a;
        }
        EXPECT_LT(std::sqrt(error / signal), 0.01);
        // After the jump (the old sound spliced out while the ring refilled), the target's frames.
        EXPECT_LT(
            relativeError(heard, jumpedAt + 100, 40000, src, [&](size_t k) { return 1102500.0 + 1 + double(k) + 100; }),
            0.01);
    }
}

TEST(EndToEnd, TheLoadingThreadAnalysesTempoLoudnessBeatsAndStripes) {
    // A deck's 20 MiB ring: 60 % of it, enough to hold all 30 s ahead of a paused deck.
    std::vector<short> ring(5242880 * 2);
    FModPlayer p;
    ASSERT_EQ(p.init(ring.data(), 5242880, 13, fixture("beats.flac"), 0, 0), 0);
    p.setParameter(PLAYERPARAM_BPMANALYSIS, 1);
    p.setParameter(PLAYERPARAM_REPLAYGAIN, 1);
    p.setParameter(PLAYERPARAM_SPECTRUM1, 1);
    // The limits only bound a failing run: the loader keeps to half a processor, which a loaded
    // sanitizer build can make slow.
    const double start = timeGetExactTime();
    while (p.getParameter(PLAYERPARAM_REPLAYGAIN) == 0 && timeGetExactTime() - start < 120000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double gain = p.getParameter(PLAYERPARAM_REPLAYGAIN);
    EXPECT_NE(gain, 0);
    EXPECT_GT(gain, -20);
    EXPECT_LT(gain, 20);
    while (p.getParameter(PLAYERPARAM_LIMITPOINT, 0) == -2 && timeGetExactTime() - start < 120000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(p.getParameter(PLAYERPARAM_LIMITPOINT, 0), -1) << "30 s is too short for limit points";

    EXPECT_NEAR(p.getBPMParameter(0), 120, 1);
    EXPECT_GT(p.getBPMParameter(1), 0);
    // Grid beats fall on the kicks, one every 22,050 frames.
    for (int q : {100000, 400000, 1000000}) {
        const double beat = p.getParameter(PLAYERPARAM_FIRSTBEAT, q);
        ASSERT_GE(beat, 0) << q;
        const double offset = std::fmod(std::floor(beat), 22050.0);
        EXPECT_LT(std::min(offset, 22050 - offset), 44100 * 0.012) << q << ": " << beat;
    }
    // Stripes over the whole track, frequency stripes from the spectrum.
    EXPECT_EQ(p.getParameter(PLAYERPARAM_STRIPEPOS), 299);
    for (int i = 0; i < 300; i += 13)
        EXPECT_GT(p.getParameter(PLAYERPARAM_STRIPE, i), 0.2) << i;
    EXPECT_EQ(p.getWaveForm()->getNbDetailedStripes(), 1200);
    float low = -1, mid = -1, high = -1;
    p.getWaveForm()->getFrequencyStripe(600, &low, &mid, &high);
    EXPECT_GE(low, 0);
    EXPECT_GT(p.getParameter(PLAYERPARAM_MAXPEAK), 10000);
}
