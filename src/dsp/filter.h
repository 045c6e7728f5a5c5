// One biquad section with smoothed settings: every tone-shaping stage of the system is built from it.
// Settings may be written from any thread (main, MIDI); the section glides towards them one small step per
// processed sample on the thread that drives it (audio thread for effects and timecode input, loading thread
// for the waveform), so knob moves never click.
#pragma once

#include <atomic>

namespace dsp {

class filter {
public:
    // Values of the type setting.
    enum Type { LowShelf = 0, HighShelf = 1, Notch = 2, Peaking = 3, LowPass = 4, HighPass = 5, BandPass = 6 };

    explicit filter(float sampleRate);
    virtual ~filter();

    // Setters: any thread. Each takes effect at the next processed sample.
    void setFrequency(float hz);      // clamped to 5 Hz .. the sample rate
    void setSamplerate(float hz);     // ignored unless positive and finite
    void setSlope(float slope);       // shelf slope (1 = steepest without overshoot)
    void setGain(float gain);         // dB (shelves, peaks) or wet amount -1 .. 1 (notch, passes); held within +-120
    void setType(int type);           // 0 .. 6; other values are ignored
    void setBandwidth(float octaves); // clamped to 0.2 .. 20
    // 0 frequency, 1 sample rate, 2 slope, 3 bandwidth, 4 type, 5 gain; other ids do nothing.
    void setParameter(int id, double value);
    // 0 target frequency, 3 target bandwidth, 5 target gain, 6 current (smoothed) gain; other ids 0.
    double getParameter(int id) const;

    float getFrequency() const { return m_targetFrequency.load(std::memory_order_relaxed); }
    float getGain() const { return m_targetGain.load(std::memory_order_relaxed); }
    float getCurGain() const { return m_sharedCurGain.load(std::memory_order_relaxed); }

    // Moves every smoothed setting onto its target at once, with coefficients to match: the state a finished
    // glide leaves. The history stays. Only on the processing thread, or on a section no thread processes (a
    // fresh one set up to measure a response).
    void settle();

    // Processing: one thread at a time. Samples are floats on any scale, filtered in place.
    void process(float* left, float* right); // channels 0 and 1, one update per frame
    // `frames` frames of channels 0 and 1, as process would; settings changed meanwhile are taken at the next
    // block once the section has settled.
    void processBlock(float* left, float* right, int frames);
    void processChannel(int channel, float* sample); // channel 0, 1 or 2 (2: response measurements)
    void processMono(float* sample) { processChannel(0, sample); }

private:
    struct History {
        float x0 = 0, x1 = 0, x2 = 0; // last three inputs, newest first
        float y0 = 0, y1 = 0, y2 = 0; // last three outputs, newest first
    };

    bool pollSettings();
    void update();
    void applyCurrentSettings(float targetGain);
    void computeCoefficients();
    float filterSample(History& h, float in) const;
    void markChanged() { m_changed.store(true, std::memory_order_release); }

    // Targets, written by any thread.
    std::atomic<float> m_targetFrequency{200.0f}; // Hz
    std::atomic<float> m_targetGain{0.0f};
    std::atomic<float> m_targetSlope{1.0f};
    std::atomic<float> m_targetBandwidth{4.5f}; // octaves
    std::atomic<int> m_targetType{0};
    std::atomic<float> m_targetRate; // Hz
    // Set by a setter after its store; taken by the processing thread before it reads the targets.
    std::atomic<bool> m_changed{true};
    std::atomic<float> m_sharedCurGain{0.0f}; // the smoothed gain, for readers on other threads

    // Processing-thread state.
    bool m_upToDate = false;
    float m_rate;          // Hz
    float m_coefRate = 0;  // the rate the coefficients were computed for
    float m_step;          // gain, wet and bandwidth change per sample
    float m_freq = 200.0f; // Hz
    float m_gain = 0.0f;
    float m_slope = 1.0f;
    float m_bandwidth = 4.5f; // octaves
    int m_type = -1;          // -1 until the first update
    int m_effType = -1;
    float m_absGain = 0.0f;
    float m_wet = 0.0f, m_wetTarget = 0.0f; // 0 .. 1
    float m_negFactor = 1.0f;               // output factor of shelves, peaks and band-pass with a negative gain

    // Normalised coefficients; a1 and a2 are already negated.
    float m_b0 = 1.0f, m_b1 = 0.0f, m_b2 = 0.0f, m_a1 = 0.0f, m_a2 = 0.0f;

    History m_hist[3];
};

} // namespace dsp
