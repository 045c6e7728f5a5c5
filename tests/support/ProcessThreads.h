// The threads of this process as the system counts them, for a test that sees what it started end.
#pragma once

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

namespace testsupport {

inline long processThreads() {
    // A sanitizer's runtime may start a thread of its own along with the program's first one: started here first, it
    // counts alike before and after what a test looks at.
    static const bool sanitizerThreadStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)sanitizerThreadStarted;
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return long(std::distance(begin(tasks), end(tasks)));
}

// Waits up to ten seconds for the count to be `count` again (a thread that was told to end may still be leaving);
// the count then.
inline long threadsBackTo(long count) {
    for (int i = 0; i < 1000 && processThreads() != count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return processThreads();
}

} // namespace testsupport
