// Stereo echo with filtered, limited feedback, a freeze (lock) mode and reverse play; also the looper
// of an input deck (echo length = loop length, echo amount 1, source amount 0).
#pragma once

#include "audio/effects/agc_limiter.h"
#include "dsp/VolumeRamp.h"
#include "dsp/filter.h"

#include <atomic>
#include <vector>

class AdvancedEcho {
public:
    explicit AdvancedEcho(float sampleRate);
    virtual ~AdvancedEcho() = default;

    // Any thread.
    void setSamplerate(double rate);
    // 0 play speed (at most 0 plays the ring backwards; reads back the frames read backwards since the last
    // read), 1 echo length (frames), 2 echo amount, 3 source amount, 4 low-pass and 5 high-pass frequency of
    // the feedback (Hz), 6 lock (above 0.5 freezes the ring), 7 stereo offset (frames the left reads further
    // back). Unknown ids are ignored and read as 0.
    void setParameter(int id, double value);
    double getParameter(int id);

    void setPlayReversed(double speed) { setParameter(0, speed); }
    void setEchoLength(int frames) { setParameter(1, frames); }
    void setEchoAmount(float amount) { setParameter(2, amount); }
    void setSourceAmount(float amount) { setParameter(3, amount); }
    void setLowPassFrequency(int hz) { setParameter(4, hz); }
    void setHighPassFrequency(int hz) { setParameter(5, hz); }
    void setBufferLocked(bool locked) { setParameter(6, locked ? 1.0 : 0.0); }
    void setStereoOffset(int frames) { setParameter(7, frames); }

    // One stereo frame on the 16-bit scale, in place. Audio thread.
    void process(float* left, float* right);
    // `frames` frames of two channels, as process would frame by frame; settings changed meanwhile are taken
    // at the next block.
    void processBlock(float* left, float* right, int frames);

    static constexpr int kRingFloats = 441000;          // interleaved left, right
    static constexpr int kRingFrames = kRingFloats / 2; // 5 s at 44.1 kHz
    static constexpr int kMaxReach = kRingFrames - 1;   // longest length + |offset|, frames

private:
    float readInterpolated(double position, int channel);
    int applyLength(); // the echo length, the write index moved back when it shortened

    std::vector<float> ring_; // kRingFloats, allocated once
    int write_ = 0;           // float index of the next left sample, even; audio thread only
    int appliedLength_;       // the length the write index last moved for; audio thread only

    // Set from the main or MIDI thread.
    std::atomic<int> length_{4410}; // frames, 1 .. kMaxReach
    std::atomic<int> offset_{0};    // frames, |offset| < kMaxReach
    std::atomic<bool> locked_{false};
    std::atomic<float> lockValue_{0.0f};
    std::atomic<double> speed_{1.0}; // ratio; at most 0 reads backwards

    VolumeRamp echoAmount_, sourceAmount_;
    dsp::filter lowCut_, highCut_; // low shelf from 5 Hz, high shelf up to 20 kHz, -24 dB each
    agc_limiter limiter_;

    // Reverse play, audio thread; the distance is handed to whichever thread reads it.
    double readPosition_ = 0;           // frames
    std::atomic<double> distance_{0.0}; // frames read backwards since last asked

    struct Cache {
        int64_t position = -1; // integer frame the coefficients were made for
        float c0 = 0, c1 = 0, c2 = 0, c3 = 0, c4 = 0;
    } cache_[2];
};
