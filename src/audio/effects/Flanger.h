// Flanger: a short delay swept by a sine (automatic) or by hand, with a second tap, a stereo offset and
// low-cut feedback.
#pragma once

#include "audio/effects/EffectMath.h"
#include "dsp/filter.h"

#include <atomic>
#include <vector>

class Flanger {
public:
    explicit Flanger(float sampleRate);
    virtual ~Flanger() = default;

    // One stereo frame on the 16-bit scale, in place. Audio thread.
    void process(float* left, float* right);
    // `frames` frames of two channels, as process would frame by frame; settings changed meanwhile are taken
    // at the next block.
    void processBlock(float* left, float* right, int frames);

    // 0 sweep position (0 shallowest .. 1 deepest; reads phase / pi), 1 strength (0 dry .. 5 taps only),
    // 2 automatic sweep (above 0.5), 3 speed (a quarter of the sweep period, frames), 4 stereo offset
    // (frames), 5 feedback amount, 6 feedback low-cut frequency (Hz), 7 sound (second tap and faster sweep).
    // Any thread; unknown ids are ignored and read as 0.
    void setParameter(int id, double value);
    double getParameter(int id) const;

    void setStrength(float v) { setParameter(1, v); }
    void setAutomatic(int v) { setParameter(2, v); }
    void setFrequency(float v) { setParameter(3, v); }
    void setStereoOffset(int v) { setParameter(4, v); }
    void setMode(float v) { setParameter(5, v); }
    void setSound(float v) { setParameter(7, v); }
    void setHighPassFrequency(float v) { setParameter(6, v); }

private:
    // Frames the sweep's rotating phasor runs before it is set again from the phase itself, which keeps its
    // rounding drift below 1e-12.
    static constexpr int kLfoResync = 1024;
    // Entries after the ring that repeat its first ones, so the interpolator reads six in a row.
    static constexpr int kGuard = 5;

    double locate(double position, int* first) const;
    void tap(double positionLeft, double positionRight, float* left, float* right) const;
    void write(std::vector<float>& ring, float value);

    const int size_;                          // ring entries: 880 at 44.1 kHz
    const float depth_;                       // deepest sweep, samples: 340 at 44.1 kHz
    std::vector<float> ringLeft_, ringRight_; // size_ + kGuard entries
    int write_ = 0;                           // audio thread only

    // Set from the main or MIDI thread.
    std::atomic<float> strength_{0.0f};
    std::atomic<bool> automatic_{true};
    std::atomic<float> automaticValue_{1.0f};
    std::atomic<float> speed_{1000.0f}; // frames, at least kMinSpeed
    std::atomic<int> offset_{0};        // samples
    std::atomic<float> mode_{0.0f};
    std::atomic<float> sound_{0.0f};
    effectmath::Handoff<double> phaseRequest_;

    double phase_ = 0; // radians; audio thread only
    // sin and cos of phase_, moved on by rotating them through the sweep's step (audio thread only).
    double lfoSin_ = 0, lfoCos_ = 1;
    double period_ = 0, step_ = 0, stepSin_ = 0, stepCos_ = 1;
    int sinceResync_ = kLfoResync;
    std::atomic<double> shownPhase_{0.0};

    dsp::filter lowCut_; // low shelf on the fed-back signal, -24 dB
};
