// One stage of the reverb: a delay line whose output feeds back inverted and scaled
// (out = in - gain x out one delay ago), on both channels.
#pragma once

#include <atomic>
#include <vector>

class AllPassFilter {
public:
    // Rings of sampleRate x delayMs / 1000 frames, silent; the delay can later shrink but never grow past them.
    AllPassFilter(int sampleRate, float delayMs, float gain);
    virtual ~AllPassFilter() = default;

    // One stereo frame, in place. Audio thread.
    void process(float* left, float* right);

    // 0 delay (ms; applied only when it fits the rings), 1 gain. Any thread. getParameter always reads 0.
    void setParameter(int id, double value);
    double getParameter(int id) const;

private:
    int sampleRate_;                  // Hz
    std::vector<float> left_, right_; // sized at construction, never reallocated
    std::atomic<int> length_;         // active delay in frames, 1 .. ring size
    std::atomic<float> gain_;
    int index_ = 0; // audio thread only
};
