// Threads of the test program, libjack's own among them, ended by a cancel soon after their start. libjack ends its
// threads with an asynchronous cancel, which lands wherever the thread is: one that is still starting (taking
// real-time priority, saying it could not) can leave a lock of libjack's or the C library's held for good. Counted by
// taking pthread_create and pthread_cancel over for the whole program and passing them on. Include this header in one
// source file of a test program only. Under a sanitizer, whose runtime takes them over itself, nothing is counted.
#pragma once

#include "support/Sanitized.h"

#include <chrono>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <pthread.h>

namespace testsupport {

struct ThreadCancels {
    using Clock = std::chrono::steady_clock;
    // As long as the program lets the threads libjack started last start (JackThread.cpp).
    static constexpr Clock::duration kYoung = std::chrono::milliseconds(200);
    static constexpr bool kCounted = !TARLUME_SANITIZED;

    // Threads cancelled younger than kYoung, since the program started.
    static unsigned young() {
        std::lock_guard<std::mutex> guard(mutex());
        return youngCount();
    }

    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::map<pthread_t, Clock::time_point>& births() {
        static std::map<pthread_t, Clock::time_point> b;
        return b;
    }
    static unsigned& youngCount() {
        static unsigned n = 0;
        return n;
    }
};

} // namespace testsupport

#if !TARLUME_SANITIZED
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    using testsupport::ThreadCancels;
    // Held until the birth is written: a cancel of the new thread waits for it.
    std::lock_guard<std::mutex> guard(ThreadCancels::mutex());
    const ThreadCancels::Clock::time_point born = ThreadCancels::Clock::now();
    const int result = real(thread, attr, start, arg);
    if (result == 0) ThreadCancels::births()[*thread] = born;
    return result;
}

extern "C" int pthread_cancel(pthread_t thread) {
    using Cancel = int (*)(pthread_t);
    static const auto real = reinterpret_cast<Cancel>(dlsym(RTLD_NEXT, "pthread_cancel"));
    using testsupport::ThreadCancels;
    {
        std::lock_guard<std::mutex> guard(ThreadCancels::mutex());
        const auto birth = ThreadCancels::births().find(thread);
        if (birth != ThreadCancels::births().end() &&
            ThreadCancels::Clock::now() - birth->second < ThreadCancels::kYoung)
            ThreadCancels::youngCount()++;
    }
    return real(thread);
}
#endif
