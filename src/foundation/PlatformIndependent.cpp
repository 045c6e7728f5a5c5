#include "foundation/PlatformIndependent.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>

int InitializeCriticalSection(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int result = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return result;
}

bool TryEnterCriticalSection(pthread_mutex_t* mutex) { return pthread_mutex_trylock(mutex) == 0; }

namespace {

// How long the program's end waits for started threads to leave their start function. One its owner asked to stop
// leaves within moments; one nobody stopped is left at work rather than holding the quit.
constexpr std::chrono::seconds kExitWait{1};

struct Started {
    pthread_t thread{};
    void* (*start)(void*) = nullptr;
    void* argument = nullptr;
    bool returned = false; // `start` has returned: a join waits only for the thread's own end
    bool left = false;     // still at work at the program's end, and detached
};

// Threads started and not yet joined. Never destroyed: a thread left at work at the end still marks its entry.
struct Registry {
    std::mutex lock;
    std::condition_variable returned;
    std::list<Started> threads;
};

Registry& registry();

// Joins the threads whose start function returned. Not under the lock: a thread's end may run code that starts one.
void joinReturned(Registry& r, std::unique_lock<std::mutex>& held) {
    std::list<Started> ended;
    for (auto t = r.threads.begin(); t != r.threads.end();) {
        auto next = std::next(t);
        if (t->returned) ended.splice(ended.end(), r.threads, t);
        t = next;
    }
    held.unlock();
    for (Started& t : ended)
        pthread_join(t.thread, nullptr);
    held.lock();
}

void joinAtExit() {
    Registry& r = registry();
    std::unique_lock<std::mutex> held(r.lock);
    r.returned.wait_for(held, kExitWait, [&] {
        return std::all_of(r.threads.begin(), r.threads.end(), [](const Started& t) { return t.returned || t.left; });
    });
    joinReturned(r, held);
    for (Started& t : r.threads)
        if (!t.left) {
            pthread_detach(t.thread);
            t.left = true;
        }
}

Registry& registry() {
    static Registry* made = [] {
        auto* r = new Registry;
        std::atexit(joinAtExit);
        return r;
    }();
    return *made;
}

void* runStarted(void* argument) {
    Started* started = static_cast<Started*>(argument);
    void* result = started->start(started->argument);
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    started->returned = true;
    r.returned.notify_all();
    return result;
}

} // namespace

THREAD_HANDLE CreateThread(void*, unsigned long, void* (*start)(void*), int, int, void* argument) {
    THREAD_HANDLE handle = static_cast<THREAD_HANDLE>(malloc(sizeof(pthread_t)));
    if (!handle) return nullptr;
    Registry& r = registry();
    std::unique_lock<std::mutex> held(r.lock);
    joinReturned(r, held);
    Started& started = r.threads.emplace_back();
    started.start = start;
    started.argument = argument;
    int err = pthread_create(&started.thread, nullptr, runStarted, &started);
    if (err != 0) {
        r.threads.pop_back();
        held.unlock();
        fprintf(stderr, "tarlume: cannot start a thread: %s\n", strerror(err));
        free(handle);
        return nullptr;
    }
    *handle = started.thread;
    return handle;
}

void SetThreadPriority(THREAD_HANDLE, int) {}

void CloseThreadHandle(THREAD_HANDLE handle) { free(handle); }
