// Work that no caller should wait for beyond a bound: an FFmpeg open, which a file with tens of thousands of
// tags keeps busy for many seconds. The work runs on a thread of its own; the caller waits until it is done, until it
// has used a bound of processor time (its own thread's, so that a busy machine does not refuse an ordinary file) or
// of wall-clock time, or until the caller's own test says to stop waiting. Past that the caller goes on and the work
// is told so (Progress::abandoned): it is to stop at its next chance, and must keep what it makes in state it owns
// (captured by value, shared pointers), which its thread then frees. Work given up on is joined once it ends, at the
// latest when the program ends, so that none is still running while the program's static objects go.
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

// TooMuchWork: past the processor bound; TooLong: past the wall-clock bound.
enum class Outcome { Done, TooMuchWork, TooLong, Cancelled };

// Runs `work` and waits for it as above; `cancelled` (may be empty) is asked every few milliseconds.
Outcome run(std::function<void(Progress&)> work, std::chrono::nanoseconds processorBound,
            std::chrono::nanoseconds wallBound, std::function<bool()> cancelled = {});

// What work given up on left behind: how much of it is still running, and the processor time all of it used after it
// was given up on (since the program started).
struct Leftovers {
    int running = 0;
    std::chrono::nanoseconds processor{0};
};
Leftovers leftovers();

} // namespace BoundedWork
