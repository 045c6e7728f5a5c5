// The loading thread's scheduling as pure functions over fake players, the whole-track load step, and the
// registry's limit of 16 players.
#include "PlayerTestUtil.h"

#include "audio/player/TrackLoading.h"
#include "foundation/modTools.h"

#include <chrono>
#include <atomic>
#include <mutex>
#include <thread>

using namespace playertest;

namespace {

// A player whose load step answers from a script: `result(urgency)`.
class FakePlayer : public Player {
public:
    std::function<int(int)> result;
    std::vector<int> urgencies; // every call's urgency
    bool streaming = true;

    ~FakePlayer() override { unregisterFromLoading(); }
    int getSomeDataNow(int urgency) override {
        urgencies.push_back(urgency);
        return result ? result(urgency) : 0;
    }
    bool isStreaming() override { return streaming; }
};

// A clock the test moves: each reading advances it by `step` ms.
double fakeNow = 0, fakeStep = 0;
double fakeClock() {
    double t = fakeNow;
    fakeNow += fakeStep;
    return t;
}

} // namespace

TEST(TrackLoading, ThresholdsFollowSpeed) {
    struct Case {
        double speed, hi, lo;
    };
    for (Case c : {Case{3, 5.0, 3.6}, Case{1, 1.8, 1.2}, Case{0.5, 1.44, 1.2}, Case{0, 1.44, 1.2}}) {
        double hi, lo;
        TrackLoading::thresholds(c.speed, &hi, &lo);
        EXPECT_NEAR(hi, c.hi, 1e-12) << c.speed;
        EXPECT_NEAR(lo, c.lo, 1e-12) << c.speed;
    }
}

TEST(TrackLoading, SleepKeepsTheThreadNearItsShareOfAProcessor) {
    struct Case {
        double elapsed;
        bool busy, urgent, fast;
        double cpu, sleep;
    };
    const Case cases[] = {
        {3, false, false, false, 0.5, 150}, // idle
        {3, true, false, false, 0.5, 3},     {3, true, true, false, 0.5, 1.2},
        {6, true, true, false, 0.25, 7.2},   {0.1, true, false, false, 0.5, 1}, // at least 1 ms
        {100, true, false, false, 0.1, 150},                                    // at most 150 ms
        {3, true, true, true, 0.5, 0},                                          // speed loading: no sleep after work
        {3, false, false, true, 0.5, 150},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(TrackLoading::sleepAfter(c.elapsed, c.busy, c.urgent, c.fast, c.cpu), c.sleep, 1e-9)
            << c.elapsed << " " << c.busy << c.urgent << c.fast;
}

TEST(TrackLoading, AnUrgentPlayerDecodesWhileTheOthersWait) {
    NoLoadingThread noThread;
    FakePlayer urgent, ahead, idle;
    urgent.result = [](int) { return 3; };              // 100,000 frames from running dry
    ahead.result = [](int u) { return u < 3 ? 2 : 0; }; // far ahead: decodes only when nobody is urgent
    idle.result = [](int) { return 0; };
    Player* players[16] = {&ahead, &urgent, nullptr, &idle}; // the far player asked first
    fakeNow = 0;
    fakeStep = 0.5;
    TrackLoading::Cycle c = TrackLoading::runCycle(players, 16, fakeClock);
    EXPECT_TRUE(c.busy);
    EXPECT_TRUE(c.urgent);
    EXPECT_GT(c.elapsedMs, 6);
    EXPECT_LT(c.elapsedMs, 8) << "an urgent cycle lasts up to 6 ms";
    EXPECT_GT(urgent.urgencies.size(), 3u);
    for (int u : ahead.urgencies)
        EXPECT_EQ(u, 3) << "the far player is only asked with urgency 3, and then does not decode";
    EXPECT_NEAR(c.sleepMs, c.elapsedMs * 0.4, 1e-9);
}

TEST(TrackLoading, IdleCyclesSleep150AndBusyOnesEndAfterThreeMilliseconds) {
    NoLoadingThread noThread;
    FakePlayer a, b;
    Player* players[2] = {&a, &b};
    fakeNow = 0;
    fakeStep = 0.25;
    TrackLoading::Cycle idle = TrackLoading::runCycle(players, 2, fakeClock);
    EXPECT_FALSE(idle.busy);
    EXPECT_EQ(idle.sleepMs, 150);
    EXPECT_EQ(a.urgencies.size(), 2u)
        << "the look for an urgent player, then one pass finds nothing and ends the cycle";
    EXPECT_FALSE(TrackLoading::isLoading());

    a.result = [](int) { return 1; }; // analysing
    TrackLoading::Cycle busy = TrackLoading::runCycle(players, 2, fakeClock);
    EXPECT_TRUE(busy.busy);
    EXPECT_FALSE(busy.urgent);
    EXPECT_GT(busy.elapsedMs, 3);
    EXPECT_LT(busy.elapsedMs, 4);
    EXPECT_NEAR(busy.sleepMs, busy.elapsedMs, 1e-9);
}

TEST(TrackLoading, FillRatiosSatisfyFastLoadersAndFlagSlowOnes) {
    NoLoadingThread noThread;
    FakePlayer fast, slow;
    fast.result = [](int) { return 2; };
    slow.result = [](int) { return 2; };
    PlayerTestAccess::setCounters(fast, 1000, 3000); // decoded three times what was played: above 1.8
    PlayerTestAccess::setCounters(slow, 1000, 1000); // below 1.2
    Player* players[2] = {&fast, &slow};
    fakeNow = 0;
    fakeStep = 0.1;
    TrackLoading::Cycle c = TrackLoading::runCycle(players, 2, fakeClock);
    EXPECT_EQ(fast.urgencies.size(), 2u) << "past the look for an urgent player, satisfied for the rest of the cycle";
    EXPECT_GT(slow.urgencies.size(), 5u);
    EXPECT_TRUE(c.urgent) << "a player loading slower than it plays makes the cycle urgent";
}

TEST(TrackLoading, WholeTrackPlayerLoadsItsBufferAndEndsWhereTheDataEnds) {
    NoLoadingThread noThread;
    TempDir dir;
    std::vector<short> frames = counterFrames(30000);
    writeWav((dir.path + "t.wav"), 44100, 2, frames);
    Player p;
    const double bytes = p.init((dir.path + "t.wav"), 13, 0, 0);
    EXPECT_EQ(bytes, 30000 * 4);
    // The length estimate is longer than the data.
    p.setParameter(PLAYERPARAM_LENGTH, 31000);
    std::vector<short> buffer(31000 * 2 + 64);
    p.updateBuffer(buffer.data(), int(buffer.size() * sizeof(short)));
    int steps = 0;
    while (p.getParameter(PLAYERPARAM_FULLYLOADED) == 0 && steps < 1000)
        EXPECT_GT(p.getSomeDataNow(0), 0), ++steps;
    EXPECT_EQ(p.getParameter(PLAYERPARAM_LENGTH), 30000);
    EXPECT_EQ(p.getParameter(PLAYERPARAM_LOADED), 30000);
    for (unsigned f : {0u, 1u, 12345u, 29999u})
        EXPECT_EQ(counterFrame(p.getSample(f, 0), p.getSample(f, 1)), long(f));
    EXPECT_EQ(p.getSample(30000, 0), 0);
    // Stripes follow the loaded frames.
    for (int i = 0; i < 2000; ++i)
        p.getSomeDataNow(0);
    EXPECT_GT(p.getParameter(PLAYERPARAM_STRIPEMAX), 0);
    EXPECT_EQ(p.getParameter(PLAYERPARAM_STRIPEPOS), 299);
}

TEST(TrackLoading, TheSeventeenthPlayerIsNeverLoaded) {
    TempDir dir;
    writeWav((dir.path + "t.wav"), 44100, 2, counterFrames(20000));
    std::vector<std::vector<short>> rings(17, std::vector<short>(80000));
    std::vector<std::unique_ptr<FModPlayer>> players;
    for (int i = 0; i < 17; ++i) {
        players.push_back(std::make_unique<FModPlayer>());
        players.back()->init(rings[size_t(i)].data(), 40000, 13, (dir.path + "t.wav"), 0, 0);
    }
    EXPECT_EQ(TrackLoading::registeredPlayers(), 16);
    const double start = timeGetExactTime();
    auto allLoaded = [&] {
        for (int i = 0; i < 16; ++i)
            if (players[size_t(i)]->getParameter(PLAYERPARAM_LOADED) < 20000) return false;
        return true;
    };
    // The limits only bound a failing run: a loaded sanitizer build may take seconds to get here.
    while (!allLoaded() && timeGetExactTime() - start < 60000)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(allLoaded());
    EXPECT_EQ(players[16]->getParameter(PLAYERPARAM_LOADED), 0);
    // Freed slots go to players created later.
    players.erase(players.begin());
    std::vector<short> ring(80000); // outlives its player, as a deck's buffer does
    FModPlayer late;
    late.init(ring.data(), 40000, 13, (dir.path + "t.wav"), 0, 0);
    const double lateStart = timeGetExactTime();
    while (late.getParameter(PLAYERPARAM_LOADED) < 20000 && timeGetExactTime() - lateStart < 60000)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(late.getParameter(PLAYERPARAM_LOADED), 20000);
}

TEST(TrackLoading, LoadingInsideTheCallbackOnlyWhenAskedFor) {
    EXPECT_TRUE(Player::sml_separateLoadingThread) << "file I/O stays off the audio thread by default";
    NoLoadingThread noThread;
    TempDir dir;
    writeWav(dir.path + "t.wav", 44100, 2, counterFrames(100000));
    std::vector<short> ring(200000 * 2);
    FModPlayer p;
    p.init(ring.data(), 200000, 13, dir.path + "t.wav", 0, 0);
    p.setParameter(PLAYERPARAM_PLAYING, 1);
    // Only process runs: every 256 frames it takes a few load steps itself.
    std::vector<float> out = run(p, 3000);
    EXPECT_GT(p.getFileFrames(), 2000u);
    EXPECT_NE(out[2 * 2999], 0);
}

// Posted jobs run on the loading thread in the order posted; with the thread switched off, on the caller at once.
TEST(TrackLoading, PostedJobsRunInOrderOnTheLoadingThread) {
    FakePlayer player; // a registered player keeps the thread
    player.init("", 13, 0, 0);
    std::mutex lock;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::atomic<int> ran{0};
    for (int i = 0; i < 3; ++i)
        TrackLoading::post([&, i] {
            std::lock_guard<std::mutex> guard(lock);
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
            ++ran;
        });
    const double start = timeGetExactTime();
    while (ran < 3 && timeGetExactTime() - start < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (std::thread::id id : threads)
        EXPECT_NE(id, std::this_thread::get_id());

    Player::sml_separateLoadingThread = false;
    std::thread::id ranOn;
    TrackLoading::post([&] { ranOn = std::this_thread::get_id(); });
    Player::sml_separateLoadingThread = true;
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}
