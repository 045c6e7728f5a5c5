// Small numeric helpers shared by the effects. Everything here is safe on the audio thread:
// no allocation, no locks, and defined behaviour for any input (NaN, infinities, huge values).
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace effectmath {

// Every feedback path stores 0 instead of a denormal, which costs a hundred times a normal float on x86, and
// instead of an infinity or NaN, which would otherwise come round again for as long as the effect runs.
inline float flushNonNormal(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const uint32_t exponent = bits & 0x7f800000u;
    return exponent == 0 || exponent == 0x7f800000u ? 0.0f : x;
}

// A parameter value truncated towards zero and clamped into lo..hi; NaN gives the value nearest 0.
// Converting an out-of-range double to int is undefined, so every parameter that becomes an index
// or a length goes through here.
inline int64_t clampToInt(double v, int64_t lo, int64_t hi) {
    if (std::isnan(v)) return lo > 0 ? lo : (hi < 0 ? hi : 0);
    if (v <= double(lo)) return lo;
    if (v >= double(hi)) return hi;
    return int64_t(v);
}

inline int clampToInt(double v) {
    return int(clampToInt(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// a mod n into 0..n-1 for any sign of a (n > 0). Rings step at most a turn out of range per frame: that
// case goes without a division.
inline int64_t wrapIndex(int64_t a, int64_t n) {
    if (a >= 0) {
        if (a < n) return a;
        if (a - n < n) return a - n;
    } else if (a >= -n) {
        return a + n;
    }
    int64_t r = a % n;
    return r < 0 ? r + n : r;
}

// A gain-like setting held within +-limit: far beyond any musical use, yet a product of a few of them with
// a full-scale sample stays finite in float.
inline float boundedFloat(double v, double limit) {
    return float(v > limit ? limit : v < -limit ? -limit : v);
}

// A value posted by a control thread (main or MIDI) and taken by the audio thread at its next frame,
// for state the audio thread itself moves on every frame (positions, phases): the audio thread stays
// its only writer, so no update is lost between the two threads. Lock-free.
template <typename T> class Handoff {
public:
    void post(T v) {
        value_.store(v, std::memory_order_relaxed);
        pending_.store(true, std::memory_order_release);
    }
    // True with the posted value when one waits; the common case costs one relaxed load.
    bool take(T& out) {
        if (!pending_.load(std::memory_order_relaxed)) return false;
        if (!pending_.exchange(false, std::memory_order_acquire)) return false;
        out = value_.load(std::memory_order_relaxed);
        return true;
    }

private:
    std::atomic<T> value_{};
    std::atomic<bool> pending_{false};
};

} // namespace effectmath
