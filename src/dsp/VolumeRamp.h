// Click-free gain and pan for stereo samples: the gain moves towards its target in small steps per sample.
// Setters run on the main or MIDI thread; the processing calls run on the audio thread.
#pragma once

#include <atomic>

class VolumeRamp {
public:
    // A rate below 1 counts as 44100 Hz. Steps: rate / 44100 x 0.002 (fast) and x 0.0004 (slow) per sample.
    explicit VolumeRamp(double sampleRate);
    virtual ~VolumeRamp();

    void setVolume(double target); // ignored when not finite
    double getVolume() const { return m_target.load(std::memory_order_relaxed); }
    double getCurrentVolume() const { return m_current.load(std::memory_order_relaxed); }
    void setPan(double pan); // 0 left .. 0.5 centre .. 1 right
    void setFastRamp(double step);
    void setSlowRamp(double step);
    // Also rescales both steps by new rate / old rate, so a ramp behaves as one built at the new rate.
    void setSamplerate(double rate);

    // Audio thread. Samples on the 16-bit scale, processed in place.
    void process(float* left, float* right);
    void processSamples(float* left, float* right, int count);
    // One ramp step, then the gains, except that a pan below 0.1 is hard left (the right side silent, the left
    // at the volume) and one above 0.9 hard right.
    void processWithPan(float* left, float* right);
    // One ramp step; the sample times the left gain.
    float processSample(float sample);
    // out[c][i] += in[c][i] x gain of channel c, for channels 0 (left gain) and 1 (right gain); further
    // channels have no gain and are left out.
    void processAndMix(float** in, float** out, int channels, int frames);

private:
    bool rampPending() const;
    void doRamp();

    double m_rate; // Hz
    std::atomic<double> m_target{0.0};
    std::atomic<double> m_current{0.0}; // written by the audio thread only
    std::atomic<double> m_pan{0.5};
    std::atomic<bool> m_panChanged{false};
    std::atomic<double> m_fastStep, m_slowStep;  // volume change per sample
    float m_leftGain = 0.0f, m_rightGain = 0.0f; // audio thread
};
