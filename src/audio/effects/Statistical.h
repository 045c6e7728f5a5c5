// Level statistics of an effect chain: peaks before and after the effects, per-block peaks of the
// last 768-frame block and the share of clipped frames in it.
#pragma once

#include <atomic>

class Statistical {
public:
    Statistical() = default;
    virtual ~Statistical() = default;

    // Audio thread: the frame as it enters the chain (levels truncated to integers), and as it leaves it.
    void processBefore(float left, float right);
    void process(float left, float right);
    // The same over `frames` frames of two channels.
    void processBeforeBlock(const float* left, const float* right, int frames);
    void processBlock(const float* left, const float* right, int frames);

    // Read from any thread: 0 clipping fraction of the last block (0..1), 1 peak after the effects,
    // 2 peak before them, 3 and 4 left and right peaks of the last finished block (16-bit scale).
    // Set: 5 stores a value nothing reads, 6 resets both peaks. Unknown ids are ignored and read as 0.
    void setParameter(int id, double value);
    double getParameter(int id) const;

    static constexpr int kBlockFrames = 768;
    static constexpr int kSlots = 16;

private:
    struct Slot {
        int maxLeft = 0, maxRight = 0; // 16-bit scale
        double stampMs = 0;            // frames counted at the block's start / 44.1
    };

    void takeReset();
    void after(float left, float right); // process without taking a reset

    // Audio thread only.
    Slot slots_[kSlots];
    int slot_ = 0;
    int blockFrames_ = 0;
    double totalFrames_ = 0;
    int lastLevel_ = 0;
    int clipFrames_ = 0;
    int maxAfter_ = 0, maxBefore_ = 0;

    // Published by the audio thread for readers on other threads.
    std::atomic<int> shownMaxAfter_{0}, shownMaxBefore_{0};
    std::atomic<int> lastBlockLeft_{0}, lastBlockRight_{0};
    std::atomic<double> clipFraction_{0.0};

    std::atomic<bool> resetRequest_{false}; // posted by a control thread, taken by the audio thread
    std::atomic<int> stored_{0};
};
