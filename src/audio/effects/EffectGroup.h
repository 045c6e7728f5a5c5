// One effect chain: every deck runs one on its own signal and the engine one on the master bus.
// It holds one instance of every effect, addresses them by (effect id, parameter id), switches each on
// or off and runs the switched-on ones in a fixed order, one stereo frame at a time, on the audio thread.
// Setters and getters run on the main or MIDI thread without locks: every value the audio thread reads is
// an atomic, and every effect exists from construction, so nothing is created while the chain runs.
#pragma once

#include "audio/effects/AdvancedEcho.h"
#include "audio/effects/BitCrusher.h"
#include "audio/effects/Flanger.h"
#include "audio/effects/Gapper.h"
#include "audio/effects/Reverb.h"
#include "audio/effects/Statistical.h"
#include "audio/effects/ThreeBandEQ.h"
#include "audio/effects/agc_limiter.h"
#include "dsp/filter.h"

#include <atomic>
#include <memory>

class fft;

enum enEffectId {
    EFFECT_STATISTICS = 0,
    EFFECT_ANALYSER = 1,       // live spectrum and tempo
    EFFECT_TEMPO_DETECTOR = 2, // parameters of the analyser's tempo detector
    EFFECT_LIMITER = 4,
    EFFECT_EQ = 6, // three-band equaliser, its own parameter ids
    EFFECT_ECHO = 8,
    EFFECT_FLANGER = 9,
    EFFECT_CLIP = 10, // final clip to the 16-bit range
    EFFECT_GAPPER = 12,
    EFFECT_REVERB = 13,
    EFFECT_DC_BLOCKER = 14,
    EFFECT_FILTER = 15, // the filter knob: a low-pass and a high-pass
    EFFECT_BITCRUSHER = 17,
    EFFECT_EQ_KILLS = 18, // the same equaliser, with kill switches
    EFFECT_TEMPO = 1000,  // tempo value kept by the chain
};

class EffectGroup {
public:
    explicit EffectGroup(float sampleRate);
    virtual ~EffectGroup();

    // Control thread (main or MIDI).
    void setSamplerate(double rate);
    // 1 switches on, any other value off; ids without a switch are ignored.
    void setEffectState(int effect, int state);
    // 1 when on; 0 when off and for ids that report no switch (13 among them).
    int getEffectState(int effect) const;
    void setParameter(int effect, int parameter, double value, int extra = 0);
    // The limiter's amplification (effect 4, parameter 0) set to `value` and reaching the sound over `frames`
    // frames, evenly in dB, instead of at once.
    void glideLimiterAmplification(double value, double frames);
    // Reading echo parameter 0 restarts its count, so reads are not const.
    double getParameter(int effect, int parameter, int extra = 0);

    // One stereo frame on the 16-bit scale, in place. Audio thread.
    void process(float* left, float* right);
    // `frames` frames of two channels, each as process would (every effect takes the block in turn); switches
    // and settings changed meanwhile are taken at the next block.
    void processBlock(float* left, float* right, int frames);

    // Fills 512 floats with the power response (1 = unity) of the equaliser (effect 6), the filter knob (15)
    // or both (a negative id) as they are switched on, bin k standing for k x rate / 1024 Hz. Main thread.
    // It measures copies of the sections set to the same targets, never the live ones.
    void getImpulseResponse(float* out, int effect);

    static constexpr int kTempoFrames = 150000; // frames between tempo read-outs
    static constexpr int kResponseFrames = 1024;

private:
    static constexpr int kIds = 19;
    bool on(int effect) const { return on_[effect].load(std::memory_order_relaxed); }
    void setKnob(double position);
    void sendEqGain(int band);

    std::atomic<float> rate_; // Hz
    std::atomic<bool> on_[kIds];

    Statistical statistics_;
    ThreeBandEQ eq_;
    dsp::filter lowPass_, highPass_; // the filter knob
    agc_limiter limiter_;
    Flanger flanger_;
    Gapper gapper_;
    AdvancedEcho echo_;
    Reverb reverb_;
    BitCrusher crusher_;
    std::unique_ptr<fft> analyser_;         // fed on the audio thread
    std::unique_ptr<fft> responseAnalyser_; // main thread only

    // Control-thread state.
    std::atomic<double> knob_{0.5};                   // filter knob position, 0 .. 1
    std::atomic<double> eqGain_[3] = {{0}, {0}, {0}}; // low, mid, high as set through effect 18
    std::atomic<bool> kill_[3] = {{false}, {false}, {false}};
    // The crusher and the live analyser are built with the chain, yet read as absent (0) until first used, as
    // a chain that makes them on demand answers; the tempo detector takes no setting before its analyser is used.
    std::atomic<bool> crusherUsed_{false}, analyserUsed_{false};
    std::atomic<float> knobSlope_{1.0f}; // slope last sent to the knob pair
    std::atomic<int> knobType_{-1};      // type last sent to both, -1 while each keeps its own

    // Tempo read-out: the audio thread writes, others read.
    std::atomic<double> tempo_{50.0}; // BPM
    std::atomic<double> beats_{0.0};
    std::atomic<bool> restartCounter_{false};
    int frameCounter_ = 0; // audio thread only

    float dcState_[2] = {0, 0}; // DC blocker, audio thread only
};
