// A ring of interleaved stereo frames between one writer (the audio thread) and one reader (the
// record thread). The writer never blocks, allocates or waits: when the reader has fallen a whole
// ring behind, the new frame is dropped and counted, so what was recorded stays intact.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

template <typename T> class RecordRing {
public:
    // Entries (not frames): 480000 stereo frames, about ten seconds at 44100 Hz.
    static constexpr uint32_t kEntries = 960000;

    RecordRing() : m_data(new T[kEntries]) {}
    RecordRing(const RecordRing&) = delete;
    RecordRing& operator=(const RecordRing&) = delete;

    // Audio thread. False (and one more overrun) when the ring is full.
    bool push(T left, T right) {
        uint32_t write = m_write.load(std::memory_order_relaxed);
        uint32_t next = write + 2 == kEntries ? 0 : write + 2;
        if (next == m_readSeen) {
            // Only a ring that looks full asks the reader where it is.
            m_readSeen = m_read.load(std::memory_order_acquire);
            if (next == m_readSeen) {
                m_overruns.fetch_add(1, std::memory_order_relaxed);
                return false;
            }
        }
        m_data[write] = left;
        m_data[write + 1] = right;
        m_write.store(next, std::memory_order_release);
        return true;
    }

    // Reader. The entries from the read index on that can be read in one piece (an even count,
    // up to the write index or the end of the storage); 0 when the ring is empty.
    size_t readable(const T** first) const {
        uint32_t read = m_read.load(std::memory_order_relaxed);
        uint32_t write = m_write.load(std::memory_order_acquire);
        *first = m_data.get() + read;
        return write >= read ? write - read : kEntries - read;
    }

    // Reader: gives back `entries` taken from the span readable() returned.
    void consume(size_t entries) {
        uint32_t read = m_read.load(std::memory_order_relaxed) + static_cast<uint32_t>(entries);
        m_read.store(read == kEntries ? 0 : read, std::memory_order_release);
    }

    // Frames dropped because the ring was full; any thread.
    uint64_t overruns() const { return m_overruns.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<T[]> m_data;
    // The writer's fields and the reader's index sit on separate cache lines.
    alignas(64) std::atomic<uint32_t> m_write{0}; // entry index; written by the writer only
    uint32_t m_readSeen = 0;                      // writer's last look at m_read
    std::atomic<uint64_t> m_overruns{0};          // frames
    alignas(64) std::atomic<uint32_t> m_read{0};  // entry index; written by the reader only
};
