#include "platform/BoundedWork.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <time.h>
#include <utility>
#include <vector>

namespace BoundedWork {

namespace {

struct Shared {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;                   // the caller went on
    std::chrono::nanoseconds processorThen{}; // the work's processor time when it did
    Progress progress;
    std::function<void(Progress&)> work;
};

// How often the waiting caller looks at the work's processor time and its own test.
constexpr std::chrono::milliseconds kLook{5};
// How long the program's end waits for work given up on. Everything the user made is saved by then. Work that stops
// at its next chance (an open past its bound: OpenGuard keeps FFmpeg's steps it cannot stop near half a second) ends
// within it even on a busy machine; a read from a network folder that no longer answers would not end in any wait
// worth making.
constexpr std::chrono::seconds kExitWait{2};

// Processor time work given up on used after it was, in nanoseconds. A plain atomic: work still running after the
// program's end waited for it may add to it.
std::atomic<int64_t> processorAfterAbandoned{0};

std::chrono::nanoseconds processorTime(clockid_t clock) {
    timespec used{};
    if (clock_gettime(clock, &used) != 0) return std::chrono::nanoseconds::max();
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

// Work given up on, joined once it has ended: when work is next run or its leftovers looked at, and at the end.
class Abandoned {
public:
    ~Abandoned() {
        std::lock_guard<std::mutex> guard(lock);
        const auto until = std::chrono::steady_clock::now() + kExitWait;
        for (auto& entry : threads) {
            std::unique_lock<std::mutex> waiting(entry.second->lock);
            const bool ended = entry.second->finished.wait_until(waiting, until, [&] { return entry.second->done; });
            waiting.unlock();
            if (ended)
                entry.first.join();
            else
                entry.first.detach();
        }
    }

    void add(std::thread thread, std::shared_ptr<Shared> shared) {
        std::lock_guard<std::mutex> guard(lock);
        threads.emplace_back(std::move(thread), std::move(shared));
        joinEndedLocked();
    }

    int running() {
        std::lock_guard<std::mutex> guard(lock);
        joinEndedLocked();
        return int(threads.size());
    }

private:
    void joinEndedLocked() {
        for (size_t i = 0; i < threads.size();) {
            bool ended;
            {
                std::lock_guard<std::mutex> guard(threads[i].second->lock);
                ended = threads[i].second->done;
            }
            if (!ended) {
                ++i;
                continue;
            }
            threads[i].first.join();
            threads.erase(threads.begin() + long(i));
        }
    }

    std::mutex lock;
    std::vector<std::pair<std::thread, std::shared_ptr<Shared>>> threads;
};

Abandoned& abandoned() {
    static Abandoned work;
    return work;
}

} // namespace

Outcome run(std::function<void(Progress&)> work, std::chrono::nanoseconds processorBound,
            std::chrono::nanoseconds wallBound, std::function<bool()> cancelled) {
    auto shared = std::make_shared<Shared>();
    shared->work = std::move(work);
    std::thread worker([shared] {
        shared->work(shared->progress);
        shared->work = nullptr; // what the work holds goes here, on its own thread
        const auto used = processorTime(CLOCK_THREAD_CPUTIME_ID);
        std::lock_guard<std::mutex> guard(shared->lock);
        if (shared->abandoned && used != std::chrono::nanoseconds::max())
            processorAfterAbandoned += (used - shared->processorThen).count();
        shared->done = true;
        shared->finished.notify_all();
    });
    clockid_t clock;
    const bool haveClock = pthread_getcpuclockid(worker.native_handle(), &clock) == 0;
    const auto wallEnd = std::chrono::steady_clock::now() + wallBound;
    Outcome outcome = Outcome::Done;
    {
        std::unique_lock<std::mutex> guard(shared->lock);
        while (!shared->finished.wait_for(guard, kLook, [&] { return shared->done; })) {
            if (cancelled && cancelled()) {
                outcome = Outcome::Cancelled;
                break;
            }
            // The clock of a thread that has just ended reads as an error: it is done, not too long.
            const auto used = haveClock ? processorTime(clock) : std::chrono::nanoseconds::max();
            if (used != std::chrono::nanoseconds::max() &&
                used > processorBound + std::chrono::nanoseconds(shared->progress.excusedNs.load())) {
                outcome = Outcome::TooMuchWork;
                break;
            }
            if (std::chrono::steady_clock::now() > wallEnd) {
                outcome = Outcome::TooLong;
                break;
            }
        }
        if (outcome != Outcome::Done && !shared->done) {
            shared->progress.abandoned = true;
            shared->abandoned = true;
            // Alive: it has not yet taken this lock to say it is done.
            shared->processorThen = haveClock ? processorTime(clock) : std::chrono::nanoseconds{};
        }
    }
    if (outcome == Outcome::Done)
        worker.join();
    else
        abandoned().add(std::move(worker), shared);
    return outcome;
}

Leftovers leftovers() {
    Leftovers left;
    left.running = abandoned().running();
    left.processor = std::chrono::nanoseconds(processorAfterAbandoned.load());
    return left;
}

} // namespace BoundedWork
