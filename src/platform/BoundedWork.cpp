#include "platform/BoundedWork.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <time.h>

namespace BoundedWork {

namespace {

struct Shared {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    Progress progress;
    std::function<void(Progress&)> work;
};

// How often the waiting caller looks at the work's processor time and its own test.
constexpr std::chrono::milliseconds kLook{5};

} // namespace

Outcome run(std::function<void(Progress&)> work, std::chrono::nanoseconds processorBound,
            std::chrono::nanoseconds wallBound, std::function<bool()> cancelled) {
    auto shared = std::make_shared<Shared>();
    shared->work = std::move(work);
    std::thread worker([shared] {
        shared->work(shared->progress);
        shared->work = nullptr; // what the work holds goes here, on its own thread
        std::lock_guard<std::mutex> guard(shared->lock);
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
            timespec used{};
            // The clock of a thread that has just ended reads as an error: it is done, not too long.
            const bool tooMuchWork = haveClock && clock_gettime(clock, &used) == 0 &&
                                     std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec) >
                                         processorBound + std::chrono::nanoseconds(shared->progress.excusedNs.load());
            if (tooMuchWork || std::chrono::steady_clock::now() > wallEnd) {
                outcome = Outcome::TooLong;
                break;
            }
        }
    }
    if (outcome == Outcome::Done) {
        worker.join();
    } else {
        shared->progress.abandoned = true;
        worker.detach();
    }
    return outcome;
}

} // namespace BoundedWork
