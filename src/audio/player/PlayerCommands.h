// The mailbox through which the main and MIDI threads change a player's playback state. Commands are
// applied in order by the audio thread at the start of its next frame, under the state lock, so a jump
// never races the frame's own position update and is never lost.
#pragma once

#include <atomic>
#include <cstdint>

struct PlayerCommand {
    enum Type : uint8_t {
        Jump,       // setNextPosition(a)
        Play,       // setPlaying(int(a))
        Speed,      // setSpeed(a, int(b))
        Loop,       // loop on (a > 0.5) or released
        LoopEdges,  // loop start or end moved: re-base the return window
        TempoSpeed, // key-lock speed a (already scaled by file rate / output rate)
        Reposition, // the length changed: setPosition(position) and fresh resampler bounds
        Rates,      // an output or file rate changed: setSpeed(speed, 0)
        Jitter      // jitter measuring on (a > 0.5) or off
    };
    Type type = Jump;
    unsigned int generation = 0; // commands of an earlier track are dropped
    double a = 0, b = 0;
};

// Bounded multi-producer, single-consumer queue without locks or allocation (a sequence number per cell
// hands each cell from producer to consumer).
class PlayerCommandQueue {
public:
    static const unsigned kSize = 256; // a power of two

    PlayerCommandQueue() {
        for (unsigned i = 0; i < kSize; ++i)
            m_cells[i].seq.store(i, std::memory_order_relaxed);
    }

    // Any thread. False when the queue is full.
    bool push(const PlayerCommand& c) {
        unsigned pos = m_tail.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = m_cells[pos & (kSize - 1)];
            unsigned seq = cell.seq.load(std::memory_order_acquire);
            int diff = int(seq - pos);
            if (diff == 0) {
                if (m_tail.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    cell.command = c;
                    cell.seq.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (diff < 0) {
                return false;
            } else {
                pos = m_tail.load(std::memory_order_relaxed);
            }
        }
    }

    // The consumer (the thread holding the player's state lock). False when empty.
    bool pop(PlayerCommand& c) {
        unsigned pos = m_head.load(std::memory_order_relaxed);
        Cell& cell = m_cells[pos & (kSize - 1)];
        unsigned seq = cell.seq.load(std::memory_order_acquire);
        if (int(seq - (pos + 1)) < 0) return false;
        c = cell.command;
        cell.seq.store(pos + kSize, std::memory_order_release);
        m_head.store(pos + 1, std::memory_order_relaxed);
        return true;
    }

    bool empty() const {
        unsigned pos = m_head.load(std::memory_order_relaxed);
        return int(m_cells[pos & (kSize - 1)].seq.load(std::memory_order_acquire) - (pos + 1)) < 0;
    }

private:
    struct Cell {
        std::atomic<unsigned> seq;
        PlayerCommand command;
    };
    Cell m_cells[kSize];
    std::atomic<unsigned> m_tail{0}; // next cell to fill
    std::atomic<unsigned> m_head{0}; // next cell to take (consumer only)
};
