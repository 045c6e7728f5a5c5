// Bit crusher: drive with a two-stage soft clip, sample-and-hold downsampling and bit reduction.
#pragma once

#include <atomic>

class BitCrusher {
public:
    BitCrusher() = default;
    virtual ~BitCrusher() = default;

    // One stereo frame on the 16-bit scale, in place. Audio thread.
    void process(float* left, float* right);

    // 0 bits (at least 2), 1 downsample factor (frames per held value), 2 drive (gain; above 1 drives).
    // Any thread; unknown ids are ignored and read as 0.
    void setParameter(int id, double value);
    double getParameter(int id) const;

private:
    // Set from the main or MIDI thread, read per frame on the audio thread.
    std::atomic<float> bits_{16.0f};
    std::atomic<float> downsample_{1.0f};
    std::atomic<float> drive_{1.0f};

    // Audio thread only.
    int counter_ = 0; // frames since the last held pair
    float heldLeft_ = 0.0f, heldRight_ = 0.0f;
};
