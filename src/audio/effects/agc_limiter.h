// Gain stage, compressor and peak limiter of an effect chain (also the echo's feedback limiter):
// amplification and pan, an optional envelope compressor, then a look-ahead-free limiter that
// drops its gain at once when forced to avoid clipping and recovers slowly.
#pragma once

#include "dsp/filter.h"

#include <atomic>

class agc_limiter {
public:
    explicit agc_limiter(float sampleRate = 44100.0f);
    virtual ~agc_limiter() = default;

    // One stereo frame on the 16-bit scale, in place. Audio thread.
    void process(float* left, float* right);
    // `frames` frames of two channels, each as process would, with the settings read once for the block.
    void processBlock(float* left, float* right, int frames);

    // See the ids in agc_limiter.cpp. Any thread; unknown ids are ignored and read as 0.
    void setParameter(int id, double value);
    double getParameter(int id) const;

    // Direct operations, any thread. Limit on the 16-bit scale; attack and release in frames per unit of gain.
    void setLimitMax(float limit);
    void setAttack(float frames);
    float getAttack() const { return attack_.load(std::memory_order_relaxed); }
    void setRelease(float frames);
    float getRelease() const { return release_.load(std::memory_order_relaxed); }
    void setAmplification(float amplification);
    // The same, reaching the sound over `frames` frames, evenly in dB, from the amplification the sound has
    // when the audio thread takes it up (a new change starts its glide from there); below 1 frame at once.
    void glideAmplification(float amplification, float frames);
    void setPanning(float panning); // -1 left .. 1 right
    void setPanning2(float left, float right);
    void calcAmp();
    float getCurrentGain() const; // mean of the two channels' limiter gains
    void setForceNoClip(bool on) { forceNoClip_.store(on, std::memory_order_relaxed); }
    // 0 whole band; 1 limit the lows only; 2 the highs only, split at the band frequency (Hz).
    void setBandType(int type);
    void setBandFrequency(float hz);

private:
    // The settings the limiting of a frame reads.
    struct Limits {
        float limit;
        float down, up; // gain change per frame: attack and release steps
        bool forceNoClip;
    };
    // One channel's limiting state (audio thread).
    struct Channel {
        float peak = 0;      // largest level since the last re-arm
        float lastLevel = 0; // previous frame's detected level
        int counter = 0;     // frames since the last re-arm
        float gain = 1;      // current limiter gain
        float target = 1;
    };
    Limits limits();
    void processFrame(float* left, float* right, int band, const Limits& limits);
    void compress(float* left, float* right);
    // Tells the audio thread that the side amplifications changed, to be reached over `glide` frames.
    void publishAmplification(float glide);
    void applyAmplification(float* left, float* right); // audio thread
    // One frame of one channel whose detected level is `level`; the sample is scaled only for the whole band.
    static void limitStep(Channel& ch, float level, float* sample, bool wholeBand, Limits limits);
    void limitChannel(int c, float* sample, int band, const Limits& limits);
    // limitChannel for the whole band over a run of one channel's samples.
    void limitRun(int c, float* samples, int frames, Limits limits);

    // Set from the main or MIDI thread, read per frame on the audio thread.
    std::atomic<float> limit_{32767.0f};  // 16-bit scale
    std::atomic<float> attack_{1024.0f};  // frames per unit of gain, at least 1
    std::atomic<float> release_{4410.0f}; // frames per unit of gain, at least 1
    std::atomic<float> amplification_{1.0f}, panning_{0.0f};
    std::atomic<float> ampLeft_{1.0f}, ampRight_{1.0f};
    // A change of the side amplifications is published by a new version (after the values and the glide
    // length): the audio thread reads them only then, so it never sees a value without its glide.
    std::atomic<float> ampGlide_{0.0f}; // frames
    std::atomic<unsigned> ampVersion_{0};
    std::atomic<bool> limiterOn_{true}, forceNoClip_{true};
    std::atomic<float> threshold_{32768.0f}; // compressor threshold, 16-bit scale; off at 32767 and above
    std::atomic<float> inputGain_{1.0f};     // compressor input gain, at least kMinInputGain
    std::atomic<float> compAttack_{720.0f}, compRelease_{9600.0f}; // frames per unit of gain
    std::atomic<int> bandMode_{0};
    std::atomic<float> bandFrequency_{4000.0f}; // Hz

    // Audio thread only.
    unsigned ampSeen_ = 0;           // the last version taken up
    float ampNow_[2] = {1.0f, 1.0f}; // the side amplifications the sound has
    float ampTarget_[2] = {1.0f, 1.0f};
    float ampStep_[2] = {1.0f, 1.0f}; // factor per frame while gliding
    int ampGlideLeft_ = 0;            // frames
    Channel channel_[2];
    float compGain_ = 1.0f, envelope_ = 0.0f;
    int hold_ = 0; // frames since the envelope's last new peak
    // The attack and release the steps were last worked out for, and those steps (a division spared per frame).
    float stepsAttack_ = 0, stepsRelease_ = 0, attackStep_ = 0, releaseStep_ = 0;

    std::atomic<float> shownGain_[2] = {{1.0f}, {1.0f}}; // the gains for readers on other threads

    dsp::filter detect_;    // band detection (low- or high-pass)
    dsp::filter reduction_; // applies the gain reduction to the band only
    dsp::filter amplify_;   // applies the amplification to the band only
};
