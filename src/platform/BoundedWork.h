// Work that no caller should wait for beyond a bound: an FFmpeg open, which a file with tens of thousands of
// tags keeps busy for many seconds in steps that no interrupt reaches. The work runs on a thread of its own;
// the caller waits until it is done, until it has used a bound of processor time (its own thread's, so that
// a busy machine does not refuse an ordinary file) or of wall-clock time, or until the caller's own test says
// to stop waiting. Past that the caller goes on and the work is left to end alone on its thread: it must keep
// what it makes in state it owns (captured by value, shared pointers), which that thread then frees.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace BoundedWork {

// What the work and its caller share.
struct Progress {
    std::atomic<bool> abandoned{false}; // the caller no longer waits: stop at the next chance
    std::atomic<int64_t> excusedNs{0};  // processor time the work says does not count against the bound
};

enum class Outcome { Done, TooLong, Cancelled };

// Runs `work` and waits for it as above; `cancelled` (may be empty) is asked every few milliseconds.
Outcome run(std::function<void(Progress&)> work, std::chrono::nanoseconds processorBound,
            std::chrono::nanoseconds wallBound, std::function<bool()> cancelled = {});

} // namespace BoundedWork
