// A value shared between threads without a lock, read and written with relaxed ordering: it never tears
// and is free of data races, while reading like a plain field. Compound updates (+=) are a load and a
// store, so a field written by more than one thread at a time needs a lock or an atomic RMW instead.
#pragma once

#include <atomic>

template <typename T> class Relaxed {
public:
    Relaxed(T v = T()) : m_v(v) {}
    Relaxed(const Relaxed&) = delete;
    Relaxed& operator=(const Relaxed& other) { return *this = T(other); }

    operator T() const { return m_v.load(std::memory_order_relaxed); }
    T load() const { return m_v.load(std::memory_order_relaxed); }
    Relaxed& operator=(T v) {
        m_v.store(v, std::memory_order_relaxed);
        return *this;
    }
    Relaxed& operator+=(T d) { return *this = T(*this) + d; }
    Relaxed& operator-=(T d) { return *this = T(*this) - d; }
    Relaxed& operator*=(T d) { return *this = T(*this) * d; }
    T exchange(T v) { return m_v.exchange(v, std::memory_order_acq_rel); }
    bool compareExchange(T& expected, T v) { return m_v.compare_exchange_strong(expected, v); }

private:
    std::atomic<T> m_v;
};
