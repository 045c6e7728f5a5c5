// The beat grid: beat slots, the grid tempo, beat numbering and the grid beat nearest a position.
#include "analysis/WaveForm.h"
#include "audio/player/Player.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

struct WaveFormTestAccess {
    static int type(WaveForm& w, int slot) {
        std::lock_guard<std::mutex> guard(w.m_beatLock);
        return w.m_beats[size_t(slot)].type;
    }
    // Places a beat as it is, wherever in the table (positions need not follow the slots).
    static void setBeat(WaveForm& w, int slot, double position, int type, float strength = 20, float onset = 0) {
        std::lock_guard<std::mutex> guard(w.m_beatLock);
        WaveForm::Beat& b = w.m_beats[size_t(slot)];
        b.position = position;
        b.type = type;
        b.strength = strength;
        b.onsetRatio = onset;
        b.bpm = 120;
        if (type == WaveForm::BEAT_USER) ++w.m_userBeats;
        w.m_gridChanged = true;
        w.m_beatIndexValid = false;
    }
    // The nearest beat of a kind as the whole table is scanned: in table order, taking each next beat of the
    // kind while the distance shrinks.
    static int scannedNearest(WaveForm& w, unsigned position, bool user) {
        std::lock_guard<std::mutex> guard(w.m_beatLock);
        int chosen = -1;
        double best = 0;
        for (size_t j = 0; j < w.m_beats.size(); ++j) {
            const int type = w.m_beats[j].type;
            if (user ? type != WaveForm::BEAT_USER : type != WaveForm::BEAT_STRONG && type != WaveForm::BEAT_WEAK)
                continue;
            const double d = std::fabs(std::trunc(w.m_beats[j].position - double(position)));
            if (chosen >= 0 && !(d < best)) break;
            chosen = int(j);
            best = d;
        }
        return chosen;
    }
    // The beat the grid answer stands on, chosen as before: the nearest detected beat, then, scanning the slots
    // within 128 beats, any beat whose strength less a quarter of its slot distance plus its onset ratio tops
    // the chosen beat's strength.
    static int scannedChoice(WaveForm& w, unsigned position) {
        int chosen = scannedNearest(w, position, false);
        std::lock_guard<std::mutex> guard(w.m_beatLock);
        if (chosen < 0) return -1;
        const int count = int(w.m_beats.size());
        const int c = std::min(count - 1, WaveForm::toIndex(count * double(position) / w.m_gridLength));
        const int span = w.slotsSpanning(128);
        for (int j = std::max(0, c - span); j <= std::min(count - 1, c + span); ++j) {
            const auto& b = w.m_beats[size_t(j)];
            if (b.type != WaveForm::BEAT_STRONG && b.type != WaveForm::BEAT_WEAK) continue;
            const double score = b.strength - std::abs(c - j) / 4 + b.onsetRatio;
            if (score > w.m_beats[size_t(chosen)].strength) chosen = j;
        }
        return chosen;
    }
    static double slotPosition(WaveForm& w, int slot) {
        std::lock_guard<std::mutex> guard(w.m_beatLock);
        return w.m_beats[size_t(slot)].position;
    }
    static int indexedNearest(WaveForm& w, unsigned position, bool user) {
        std::lock_guard<std::mutex> guard(w.m_beatLock);
        w.validateBeatIndexLocked();
        return (user ? w.m_userIndex : w.m_detectedIndex).nearest(position);
    }
    static int count(WaveForm& w, int type) {
        std::lock_guard<std::mutex> guard(w.m_beatLock);
        int n = 0;
        for (const auto& b : w.m_beats)
            n += b.type == type ? 1 : 0;
        return n;
    }
};

namespace {

using T = WaveFormTestAccess;
const double kRate = 44100;

// The tenths digit of a grid answer: the beat's number in the eight-beat cycle.
int beatDigit(double answer) {
    return int(std::lround((answer - std::floor(answer)) * 10));
}

} // namespace

TEST(WaveFormBeatGrid, SlotsTypesAndDrops) {
    WaveForm w(kRate, kRate * 10, nullptr); // 81 slots, eight a second
    ASSERT_EQ(w.getNbBeatSlots(), 81);
    w.addBeat(1000, 10.0f, 120, 0, false, false);
    w.addBeat(2000, 9.99f, 120, 0, false, false); // same home slot: the next one
    w.addBeat(3000, 50, 120, 0, true, false);
    EXPECT_EQ(T::type(w, 0), WaveForm::BEAT_STRONG);
    EXPECT_EQ(T::type(w, 1), WaveForm::BEAT_WEAK);
    EXPECT_EQ(T::type(w, 2), WaveForm::BEAT_MARKER);
    // The last slot taken, a beat whose home is the last slot is dropped; so is one past the length.
    w.addBeat(unsigned(kRate * 10 - 10), 20, 120, 0, false, false);
    w.addBeat(unsigned(kRate * 10 - 5), 20, 120, 0, false, false);
    w.addBeat(unsigned(kRate * 10 + 5), 20, 120, 0, false, false);
    EXPECT_EQ(T::type(w, 80), WaveForm::BEAT_STRONG);
    EXPECT_EQ(T::count(w, WaveForm::BEAT_STRONG), 2);
    EXPECT_EQ(w.getClosestBeat(1500, false), 2000);
    EXPECT_EQ(w.getClosestBeat(unsigned(kRate * 10), false), -1);
    // Sizing for a track empties the table.
    w.initStripes(kRate, kRate * 20);
    EXPECT_EQ(w.getClosestBeat(0, false), -1);
    EXPECT_EQ(w.getGridBPM(), 50);
}

TEST(WaveFormBeatGrid, GridTempoFollowsTheWeightiestProposal) {
    WaveForm w(kRate, kRate * 10, nullptr);
    w.addBeat(44100, 20, 126, 20, false, false);
    EXPECT_EQ(w.getGridBPM(), 126);
    w.setBPM(120, 16);
    EXPECT_EQ(w.getGridBPM(), 126) << "a lighter proposal";
    w.setBPM(120, 20);
    EXPECT_EQ(w.getGridBPM(), 120) << "as heavy or heavier";
    w.setBPM(4, 99);
    EXPECT_EQ(w.getGridBPM(), 120) << "5 BPM or less is no tempo";
    w.addBeat(88200, 20, 130, 20, false, false);
    EXPECT_EQ(w.getGridBPM(), 120) << "a beat needs a strictly larger weight";
}

TEST(WaveFormBeatGrid, NearestGridBeatCountsBeatsFromTheReference) {
    WaveForm w(kRate, kRate * 10, nullptr);
    EXPECT_EQ(w.getClosestBeat(100000, true), -1) << "no beat to go by";
    w.setFirstBeat(44100);
    w.addBeat(44100, 20, 120, 20, false, false);
    double position = 0, strength = 0, onset = -1, bpm = 0;
    // 120 BPM at 44,100 Hz: a beat every 22,050 frames; 100,000 is nearest the third beat after 44,100.
    EXPECT_DOUBLE_EQ(w.getClosestBeat(100000, true, &position, &strength, &onset, &bpm), 110250.4);
    EXPECT_EQ(position, 44100);
    EXPECT_EQ(strength, 20);
    EXPECT_EQ(onset, 0);
    EXPECT_EQ(bpm, 120);
    EXPECT_DOUBLE_EQ(w.getClosestBeat(44100 - 22050 * 2, true), 0.7) << "counting back wraps within the cycle";
    EXPECT_DOUBLE_EQ(w.getClosestBeat(44100 + 22050 * 8 + 100, true), 220500.1);
}

TEST(WaveFormBeatGrid, NegativeBeatNumbersShowAsDigitsOneToEight) {
    WaveForm w(kRate, kRate * 10, nullptr);
    // The strongest beat nearby lies before the first beat, so its number counts backwards.
    w.setFirstBeat(100000);
    w.addBeat(44100, 90, 120, 30, false, false);
    w.addBeat(100000, 20, 120, 0, false, false);
    w.updateBeatInMeasures();
    const double answer = w.getClosestBeat(44100, true);
    EXPECT_DOUBLE_EQ(answer, 44100.7);
    for (unsigned p = 0; p < unsigned(kRate * 10); p += 7919) {
        const int digit = beatDigit(w.getClosestBeat(p, true));
        EXPECT_GE(digit, 1) << p;
        EXPECT_LE(digit, 8) << p;
    }
}

TEST(WaveFormBeatGrid, UserBeatsSetTheGrid) {
    WaveForm w(kRate, kRate * 60, nullptr);
    w.addBeat(500000, 20, 120, 20, false, false); // a detected beat, ignored once the user has set one
    w.addBeat(88200, 999, 128, 0, false, true);
    double bpm = 0;
    EXPECT_DOUBLE_EQ(w.getClosestBeat(88200, true, nullptr, nullptr, nullptr, &bpm), 88200.1) << "beat 1";
    EXPECT_EQ(bpm, 128) << "a lone user beat uses its own tempo";
    const double B = kRate * 60 / 128;
    EXPECT_DOUBLE_EQ(w.getClosestBeat(unsigned(88200 + 3 * B), true), std::trunc(88200 + 3 * B) + 0.4);

    // Two user beats four beats apart at 120 fix the tempo between them, whatever tempo they came with.
    w.addBeat(88200 + 88200, 999, 125, 0, false, true);
    w.getClosestBeat(100000, true, nullptr, nullptr, nullptr, &bpm);
    EXPECT_DOUBLE_EQ(bpm, 120);
    // Closer than one beat: the gap itself becomes the beat (never zero beats, which would mean tempo 0).
    w.clearUserBeats();
    w.addBeat(200000, 999, 120, 0, false, true);
    w.addBeat(205000, 999, 120, 0, false, true);
    w.getClosestBeat(200000, true, nullptr, nullptr, nullptr, &bpm);
    EXPECT_DOUBLE_EQ(bpm, kRate * 60 / 5000);
    // Cleared, the detected beats count again.
    w.clearUserBeats();
    EXPECT_EQ(T::count(w, WaveForm::BEAT_USER), 0);
    EXPECT_DOUBLE_EQ(std::floor(w.getClosestBeat(500000, true)), 500000);
}

TEST(WaveFormBeatGrid, UserBeatsAreNeverDroppedWhileTheGridIsBusy) {
    WaveForm w(kRate, kRate * 600, nullptr);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        for (unsigned i = 0; !stop; ++i) {
            w.addBeat(i * 1000 % unsigned(kRate * 600), 20, 120, 1, false, false); // detected: may be dropped
            w.getClosestBeat(i * 777, true);
        }
    });
    for (int i = 0; i < 200; ++i)
        w.addBeat(unsigned(kRate * (i * 2 + 1)), 999, 120, 0, false, true);
    stop = true;
    busy.join();
    EXPECT_EQ(T::count(w, WaveForm::BEAT_USER), 200);
}

TEST(WaveFormBeatGrid, DetectedBeatsMoveToTheirOnset) {
    // A player holding 10 s of faint noise with one kick at 5 s; the detector reports it 20 ms early.
    struct KickPlayer : Player {
        std::vector<short> samples;
        KickPlayer() {
            samples.resize(441000);
            unsigned seed = 1;
            for (auto& s : samples) {
                seed = seed * 1103515245 + 12345;
                s = short(int(seed >> 16) % 200 - 100);
            }
            for (int i = 0; i < 8000; ++i) {
                const double t = i / kRate;
                samples[size_t(220500 + i)] += short(20000 * std::exp(-t * 30) * std::sin(2 * M_PI * 70 * t));
            }
        }
        ~KickPlayer() override { unregisterFromLoading(); }
        float getSample(unsigned int frame, int) override { return frame < samples.size() ? samples[frame] : 0; }
    } player;
    WaveForm w(kRate, 441000, &player);
    w.addBeat(220500 - 882, 20, 120, 0, false, false);
    double position = 0, onset = 0;
    w.getClosestBeat(220000, true, &position, nullptr, &onset);
    EXPECT_NEAR(position, 220500, kRate * 0.003) << "within about 3 ms of the kick";
    EXPECT_GT(onset, 3);
    // A user beat stays exactly where it was set.
    w.addBeat(100000, 999, 120, 0, false, true);
    EXPECT_EQ(w.getClosestBeat(99000, false), 100000);
}

TEST(WaveFormBeatGrid, NearestBeatByBisectionEqualsTheScanInTableOrder) {
    // Tables as analysis leaves them (ascending, a beat pushed into a later slot) and as they can be: beats out
    // of order, within a frame of each other, at the same position, at fractional positions; queries on and
    // between beats, before the first and after the last.
    std::srand(7);
    for (int table = 0; table < 60; ++table) {
        SCOPED_TRACE(table);
        WaveForm w(kRate, kRate * 30, nullptr);
        const int slots = w.getNbBeatSlots();
        const bool user = table % 3 == 2;
        std::vector<double> placed;
        double position = std::rand() % 5000;
        for (int slot = 0; slot < slots; ++slot) {
            if (std::rand() % 4 == 0) continue;
            const int shape = std::rand() % 10;
            if (table % 2 == 0 && shape < 7)
                position += 2000 + std::rand() % 20000; // ascending
            else if (shape < 8)
                position = std::rand() % int(kRate * 30); // anywhere
            else if (shape < 9)
                position += (std::rand() % 100) / 100.0; // within a frame
            // else: the same position again
            const int type = user                   ? WaveForm::BEAT_USER
                             : std::rand() % 5 == 0 ? WaveForm::BEAT_MARKER
                             : std::rand() % 2      ? WaveForm::BEAT_STRONG
                                                    : WaveForm::BEAT_WEAK;
            T::setBeat(w, slot, position + (std::rand() % 4) * 0.25, type, float(std::rand() % 600) / 10,
                       float(std::rand() % 80) / 10);
            placed.push_back(position);
        }
        std::vector<unsigned> queries = {0, 1, unsigned(kRate * 30), 4294967295u};
        for (double p : placed)
            for (double offset : {-1.0, -0.5, 0.0, 0.5, 1.0, 2.0, 700.0})
                if (p + offset >= 0) queries.push_back(unsigned(p + offset));
        for (int k = 0; k < 200; ++k)
            queries.push_back(unsigned(std::rand() % int(kRate * 31)));
        w.setBPM(90 + table, 1); // the span searched for a stronger beat: 128 beats at this tempo
        for (unsigned q : queries) {
            ASSERT_EQ(T::indexedNearest(w, q, user), T::scannedNearest(w, q, user)) << q;
            if (user) continue;
            // The whole answer stands on the same beat as the scans choose.
            const int chosen = T::scannedChoice(w, q);
            double beatPosition = -1;
            const double answer = w.getClosestBeat(q, true, &beatPosition);
            if (chosen < 0) {
                ASSERT_EQ(answer, -1) << q;
            } else {
                ASSERT_EQ(beatPosition, T::slotPosition(w, chosen)) << q;
            }
        }
    }
}
