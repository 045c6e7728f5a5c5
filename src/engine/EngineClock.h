// The engine's clock: milliseconds from a monotonic source. Frame times, glides, hold times and the
// decks' timers all read it, so a change of the system clock never makes a frame last minus an hour,
// and tests can drive time by hand (setManual, advance) instead of sleeping.
//
// Threads: any thread may read it; tests set it from their own thread while nothing else changes it.
#pragma once

#include "foundation/modTools.h"

#include <atomic>

class EngineClock {
public:
    // Milliseconds: the monotonic system clock, or the manual time while one is set.
    static double now() {
        if (manual_.load(std::memory_order_acquire)) return manualTime_.load(std::memory_order_relaxed);
        return timeGetExactTime();
    }

    // Tests: freezes the clock at `ms` until advance() or useSystem().
    static void setManual(double ms) {
        manualTime_.store(ms, std::memory_order_relaxed);
        manual_.store(true, std::memory_order_release);
    }
    // Tests: moves the manual time on by `ms` (may be negative, to model a clock that steps back).
    static void advance(double ms) {
        double t = manualTime_.load(std::memory_order_relaxed);
        manualTime_.store(t + ms, std::memory_order_relaxed);
    }
    static bool isManual() { return manual_.load(std::memory_order_acquire); }
    // Back to the monotonic system clock.
    static void useSystem() { manual_.store(false, std::memory_order_release); }

    // Tests: manual time for the life of the scope, the system clock again afterwards.
    struct ManualScope {
        explicit ManualScope(double ms) { setManual(ms); }
        ~ManualScope() { useSystem(); }
        ManualScope(const ManualScope&) = delete;
        ManualScope& operator=(const ManualScope&) = delete;
    };

private:
    inline static std::atomic<bool> manual_{false};
    inline static std::atomic<double> manualTime_{0.0};
};
