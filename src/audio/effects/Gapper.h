// Gapper: a rhythmic volume gate repeating every `length` frames, with a linear or sine shape and a
// stereo offset between the channels.
#pragma once

#include "audio/effects/EffectMath.h"

#include <atomic>
#include <cstdint>

class Gapper {
public:
    Gapper();
    virtual ~Gapper() = default;

    // One stereo frame on the 16-bit scale, in place. Audio thread.
    void process(float* left, float* right);

    // 0 length (frames), 1 depth (0..1), 2 position (frames into the cycle), 3 shape (at least 0.5: sine),
    // 4 stereo offset (frames the right channel runs ahead). Any thread; unknown ids are ignored and read as 0.
    void setParameter(int id, double value);
    double getParameter(int id) const;

private:
    float gain(int64_t q, int64_t n, float g, float depth, bool sine) const;

    const float* sine_; // 1024 values of sin(i pi / 1024), shared by every gapper

    // Set from the main or MIDI thread, read per frame on the audio thread.
    std::atomic<int> length_{0};     // frames per cycle
    std::atomic<float> depth_{0.0f}; // 0 no gap .. 1 silent gap
    std::atomic<float> shape_{0.0f};
    std::atomic<int> offset_{0}; // frames
    effectmath::Handoff<int> positionRequest_;

    int64_t position_ = 0;              // frames into the cycle; audio thread only
    std::atomic<int> shownPosition_{0}; // copy of position_ for readers on other threads
};
