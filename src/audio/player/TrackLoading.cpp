#include "audio/player/TrackLoading.h"

#include "audio/player/Player.h"
#include "foundation/PlatformIndependent.h"
#include "foundation/modTools.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <ctime>
#include <mutex>
#include <semaphore.h>
#include <thread>

namespace {

// Everything the thread shares with the players. Built at first use; at program exit a thread still running
// is stopped and joined before the rest goes.
struct Loader {
    std::mutex registryLock; // held by the thread for a whole cycle
    Player* players[TrackLoading::kMaxPlayers] = {};
    bool reserved[TrackLoading::kMaxPlayers] = {};

    std::mutex controlLock; // start and stop
    std::thread thread;
    std::atomic<bool> stopRequest{false};

    sem_t wakeSignal;
    std::atomic<bool> wakeRequested{false};
    std::atomic<bool> wakeOnRequest{true};
    std::atomic<bool> loadingTrack{false};
    std::atomic<double> cpuUse{0.5};

    std::mutex jobLock;
    std::deque<std::function<void()>> jobs; // posted, not yet run

    // Runs the posted jobs (the thread, outside the registry lock, so no player's release waits for one).
    void runJobs() {
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard<std::mutex> guard(jobLock);
                if (jobs.empty() || stopRequest) return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }

    Loader() { sem_init(&wakeSignal, 0, 0); }
    ~Loader() {
        stop();
        sem_destroy(&wakeSignal);
    }

    bool start() {
        std::lock_guard<std::mutex> guard(controlLock);
        if (thread.joinable()) return false;
        stopRequest = false;
        thread = std::thread(TrackLoadingThreadBody{});
        return true;
    }

    bool stop() {
        std::lock_guard<std::mutex> guard(controlLock);
        if (!thread.joinable()) return false;
        stopRequest = true;
        sem_post(&wakeSignal);
        thread.join();
        stopRequest = false;
        return true;
    }

    // Sleeps `ms` unless woken sooner.
    void sleep(double ms) {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        long long ns = deadline.tv_nsec + (long long)(ms * 1e6);
        deadline.tv_sec += time_t(ns / 1000000000);
        deadline.tv_nsec = long(ns % 1000000000);
        while (sem_clockwait(&wakeSignal, CLOCK_MONOTONIC, &deadline) != 0 && errno == EINTR) {
        }
        wakeRequested = false;
        while (sem_trywait(&wakeSignal) == 0) {
        }
    }

    struct TrackLoadingThreadBody {
        void operator()() const;
    };
};

Loader& loader() {
    static Loader instance;
    return instance;
}

double clockMs() {
    return timeGetExactTime();
}

} // namespace

void Loader::TrackLoadingThreadBody::operator()() const {
    Loader& l = loader();
    while (!l.stopRequest) {
        l.runJobs();
        TrackLoading::Cycle cycle;
        {
            std::lock_guard<std::mutex> guard(l.registryLock);
            cycle = TrackLoading::runCycle(l.players, TrackLoading::kMaxPlayers, clockMs);
        }
        if (l.stopRequest) break;
        if (cycle.sleepMs > 0) l.sleep(cycle.sleepMs);
    }
}

bool trackLoading_Start() {
    bool started = loader().start();
    if (started) SetThreadPriority(nullptr, 5);
    return started;
}

bool trackLoading_Stop() {
    return loader().stop();
}

void trackLoading_SetPriority(int priority) {
    SetThreadPriority(nullptr, priority);
}

void TrackLoading::thresholds(double speed, double* hi, double* lo) {
    *hi = std::min(1.8 * speed, 5.0);
    *lo = std::max(1.2, 1.2 * speed);
    if (*hi < 1.2 * *lo) *hi = 1.2 * *lo;
}

double TrackLoading::sleepAfter(double elapsedMs, bool busy, bool urgent, bool speedLoading, double cpuUse) {
    if (!busy) return 150;
    if (speedLoading) return 0;
    double ms = elapsedMs * (1 - cpuUse) / cpuUse;
    if (urgent) ms *= 0.4;
    return std::clamp(ms, 1.0, 150.0);
}

TrackLoading::Cycle TrackLoading::runCycle(Player* const* players, int count, double (*clock)()) {
    Cycle cycle;
    count = std::min(count, int(kMaxPlayers));
    const double t0 = clock();
    double hi[kMaxPlayers], lo[kMaxPlayers];
    bool satisfied[kMaxPlayers] = {};
    for (int i = 0; i < count; ++i)
        if (players[i]) thresholds(players[i]->getParameter(PLAYERPARAM_SPEED), &hi[i], &lo[i]);
    const bool fast = Player::speedLoading;
    Loader& l = loader();

    // The largest result so far: once one player is urgent, the others decode only if they are too. The urgent ones
    // are found first, every player asked as if one were (then only they decode): asked in turn, a player far ahead
    // in an earlier slot decoded a block in every cycle before an urgent one was known, and on a loaded machine,
    // where a cycle gets through a pass or two, a playing deck ran dry while a stopped one read ahead.
    int most = 0;
    for (int i = 0; i < count; ++i)
        if (players[i]) most = std::max(most, players[i]->getSomeDataNow(3));
    for (int pass = 0; pass < 200; ++pass) {
        bool passBusy = false;
        for (int i = 0; i < count; ++i) {
            Player* p = players[i];
            if (!p || satisfied[i]) continue;
            const int r = p->getSomeDataNow(most);
            most = std::max(most, r);
            if (r <= 0) continue;
            passBusy = true;
            double ratio = 1;
            if (!fast) {
                const double processed = p->m_processedCounter;
                ratio = processed > 0 ? p->m_decodedCounter / processed : 1.0;
                if (p->isStreaming() && ratio > hi[i] && r < 3) satisfied[i] = true;
            }
            if (r > 2 || (!fast && r != 1 && ratio < lo[i])) cycle.urgent = true;
        }
        if (!passBusy) {
            l.loadingTrack = false;
            cycle.busy = false;
            break;
        }
        l.loadingTrack = true;
        cycle.busy = true;
        if (clock() - t0 > (cycle.urgent ? 6 : 3)) break;
    }
    cycle.elapsedMs = clock() - t0;
    cycle.sleepMs = sleepAfter(cycle.elapsedMs, cycle.busy, cycle.urgent, fast, l.cpuUse);
    return cycle;
}

int TrackLoading::reserve() {
    Loader& l = loader();
    std::lock_guard<std::mutex> guard(l.registryLock);
    for (int i = 0; i < kMaxPlayers; ++i) {
        if (!l.reserved[i]) {
            l.reserved[i] = true;
            return i;
        }
    }
    return -1;
}

void TrackLoading::publish(int slot, Player* player) {
    if (slot < 0 || slot >= kMaxPlayers) return;
    Loader& l = loader();
    {
        std::lock_guard<std::mutex> guard(l.registryLock);
        l.players[slot] = player;
    }
    if (Player::sml_separateLoadingThread) trackLoading_Start();
}

void TrackLoading::release(int slot, Player* player) {
    if (slot < 0 || slot >= kMaxPlayers) return;
    Loader& l = loader();
    bool any = false;
    {
        // Taking the lock waits for a running cycle: once it is held the thread is in no player.
        std::lock_guard<std::mutex> guard(l.registryLock);
        if (l.players[slot] == player) l.players[slot] = nullptr;
        l.reserved[slot] = false;
        for (Player* p : l.players)
            any = any || p;
    }
    if (!any) trackLoading_Stop();
}

int TrackLoading::registeredPlayers() {
    Loader& l = loader();
    std::lock_guard<std::mutex> guard(l.registryLock);
    int n = 0;
    for (Player* p : l.players)
        n += p ? 1 : 0;
    return n;
}

void TrackLoading::wake() {
    Loader& l = loader();
    if (!l.wakeOnRequest) return;
    if (!l.wakeRequested.exchange(true)) sem_post(&l.wakeSignal);
}

void TrackLoading::post(std::function<void()> job) {
    if (!job) return;
    if (!Player::sml_separateLoadingThread) {
        job();
        return;
    }
    Loader& l = loader();
    {
        std::lock_guard<std::mutex> guard(l.jobLock);
        l.jobs.push_back(std::move(job));
    }
    trackLoading_Start();
    // Always wakes: a job is no load request that the measuring tests may switch off.
    if (!l.wakeRequested.exchange(true)) sem_post(&l.wakeSignal);
}

bool TrackLoading::isLoading() {
    return loader().loadingTrack;
}

double TrackLoading::cpuUse() {
    return loader().cpuUse;
}

void TrackLoading::setCpuUse(double share) {
    loader().cpuUse = std::clamp(share, 0.1, 0.75);
}

void TrackLoading::setWakeOnRequest(bool on) {
    loader().wakeOnRequest = on;
}
