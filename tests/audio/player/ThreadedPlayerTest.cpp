// The player under its real threads: an audio thread processing decks, the loading thread, and the main (and a
// MIDI) thread changing them. Run under ThreadSanitizer and AddressSanitizer these find races and
// use-after-free; here they also check that no jump is lost and nothing hangs.
#include "PlayerTestUtil.h"

#include "audio/player/TrackLoading.h"
#include "foundation/modTools.h"

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

using namespace playertest;

namespace {

const int kDecks = 4;

// Plays every attached deck in blocks of 512 frames, a little faster than real time.
struct AudioThread {
    std::atomic<Player*> decks[kDecks] = {};
    std::atomic<bool> stop{false};
    std::atomic<unsigned> blocks{0};
    std::thread thread;

    AudioThread() {
        thread = std::thread([this] {
            float l, r;
            while (!stop) {
                for (auto& d : decks)
                    if (Player* p = d.load())
                        for (int i = 0; i < 512; ++i)
                            p->process(&l, &r);
                blocks.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    }
    ~AudioThread() {
        stop = true;
        thread.join();
    }
    // Takes a deck out of the audio thread and waits until no block can still be using it.
    void detach(int i) {
        decks[i] = nullptr;
        const unsigned seen = blocks.load();
        while (blocks.load() < seen + 2)
            std::this_thread::yield();
    }
};

template <class Ready> bool waitFor(Ready ready, double ms) {
    const double start = timeGetExactTime();
    while (!ready()) {
        if (timeGetExactTime() - start > ms) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace

TEST(ThreadedPlayer, AStormOfJumpsLosesNone) {
    TempDir dir;
    writeWav((dir.path + "counter.wav"), 44100, 2, counterFrames(600000));
    std::vector<short> ring(300000 * 2);
    FModPlayer p;
    ASSERT_EQ(p.init(ring.data(), 300000, 13, (dir.path + "counter.wav"), 0, 0), 0);
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    AudioThread audio;
    audio.decks[0] = &p;

    // A controller moving other settings at the same time, through the same mailbox.
    std::atomic<bool> stopMidi{false};
    std::thread midi([&] {
        for (int i = 0; !stopMidi; ++i) {
            p.setParameter(PLAYERPARAM_SPEED, i % 2 ? 1.02 : 0.98, 20);
            p.setParameter(PLAYERPARAM_PLAYING, 1);
            p.setParameter(PLAYERPARAM_STRIPES, 1);
            p.getParameter(PLAYERPARAM_POSITION);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });

    std::mt19937 random(7);
    int lost = 0;
    for (int i = 0; i < 150; ++i) {
        // Targets alternate between two regions, so a jump that was lost can never look applied.
        const double target = (i % 2 ? 100000 : 400000) + double(random() % 50000);
        p.setParameter(PLAYERPARAM_POSITION, target);
        if (!waitFor(
                [&] {
                    const double now = PlayerTestAccess::position(p);
                    return now >= target && now < target + 150000;
                },
                5000))
            ++lost;
    }
    stopMidi = true;
    midi.join();
    audio.detach(0);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(p.getParameter(PLAYERPARAM_PLAYING), 1);
}

TEST(ThreadedPlayer, InitCloseAndDestroyWhileLoadingAndPlaying) {
    TempDir dir;
    writeWav((dir.path + "counter.wav"), 44100, 2, counterFrames(400000));
    const std::string fixtures = std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/player/";
    const std::string files[] = {(dir.path + "counter.wav"), fixtures + "beats.flac", fixtures + "beats.mp3",
                                 fixtures + "beats.m4a", (dir.path + "missing.mp3")};
    const int ringFrames = 200000;
    std::vector<short> rings[kDecks];
    std::unique_ptr<FModPlayer> players[kDecks];
    AudioThread audio;
    for (int i = 0; i < kDecks; ++i) {
        rings[i].assign(size_t(ringFrames) * 2, 0);
        players[i] = std::make_unique<FModPlayer>();
        players[i]->init(rings[i].data(), ringFrames, 13, files[i], 0, 0);
        players[i]->setParameter(PLAYERPARAM_PLAYING, 1);
        audio.decks[i] = players[i].get();
    }

    std::mt19937 random(11);
    for (int step = 0; step < 80; ++step) {
        const int deck = int(random() % kDecks);
        FModPlayer& p = *players[deck];
        switch (random() % 5) {
        case 0: // a new track while the old one loads and plays
            p.init(rings[deck].data(), ringFrames, 13, files[random() % 5], 0, 0);
            p.setParameter(PLAYERPARAM_PLAYING, 1);
            break;
        case 1:
            p.close();
            break;
        case 2: // the deck replaces its player
            audio.detach(deck);
            players[deck] = std::make_unique<FModPlayer>();
            players[deck]->init(rings[deck].data(), ringFrames, 13, files[random() % 4], 0, 0);
            players[deck]->setParameter(PLAYERPARAM_PLAYING, 1);
            audio.decks[deck] = players[deck].get();
            break;
        case 3: // far jumps make the loading thread seek
            p.setParameter(PLAYERPARAM_POSITION, double(random() % 1200000));
            break;
        default:
            p.setParameter(PLAYERPARAM_SPEED, random() % 2 ? -1.5 : 2.0, 100);
            p.setParameter(PLAYERPARAM_TEMPOSPEED, random() % 2 ? 1.0 : 0.0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % 8));
    }

    // After all that, a deck still loads a track.
    players[0]->init(rings[0].data(), ringFrames, 13, files[0], 0, 0);
    players[0]->setParameter(PLAYERPARAM_POSITION, 0);
    EXPECT_TRUE(waitFor([&] { return players[0]->getParameter(PLAYERPARAM_LOADED) > 100000; }, 10000));
    for (int i = 0; i < kDecks; ++i) {
        audio.detach(i);
        players[i].reset();
    }
    EXPECT_EQ(TrackLoading::registeredPlayers(), 0);
    EXPECT_FALSE(trackLoading_Stop()) << "the last player stopped (and joined) the loading thread";
}
