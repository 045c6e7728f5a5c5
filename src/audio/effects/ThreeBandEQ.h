// Three-band equaliser of an effect chain: four pairs of biquad sections (A0..A3 cut, B0..B3 boost)
// in one of four layouts, with kill-capable cuts.
#pragma once

#include "dsp/filter.h"

#include <atomic>

class ThreeBandEQ {
public:
    explicit ThreeBandEQ(float sampleRate);
    virtual ~ThreeBandEQ() = default;

    // Any thread.
    void setSamplerate(double rate);
    // Gains (-1 full cut .. 1 full boost): 0 low, 1 mid, 2 second mid, 3 high; frequencies (Hz): 4 low, 5 mid,
    // 6 second mid, 7 high; 8 layout type 0..3. Unknown ids are ignored and read as 0.
    void setParameter(int id, double value);
    double getParameter(int id) const;

    // One stereo frame on the 16-bit scale, in place. Audio thread.
    void process(float* left, float* right);
    // `frames` frames of two channels, as process would frame by frame.
    void processBlock(float* left, float* right, int frames);
    // One sample through the third, auxiliary channel of every section, for response measurements.
    // Only on an equaliser no other thread processes (a copy made by copySettingsFrom).
    void processResponse(float* sample);

    // Takes another equaliser's layout, frequencies and gains as targets. Control thread.
    void copySettingsFrom(const ThreeBandEQ& other);
    // Jumps every section to its targets at once (history kept). Only on a copy no other thread processes.
    void settle();

    static constexpr int kBands = 4;

private:
    template <typename Apply> void run(float* left, float* right, Apply apply);
    void applyGain(int band, double v);
    void layout(int type);

    dsp::filter a0_, a1_, a2_, a3_, b0_, b1_, b2_, b3_;
    dsp::filter* a_[kBands];
    dsp::filter* b_[kBands];
    std::atomic<double> gain_[kBands] = {{0.0}, {0.0}, {0.0}, {0.0}}; // as last set, -1 .. 1
    std::atomic<int> type_{0};
    std::atomic<int> laidOut_{0}; // the last layout made (0..2); type 3 keeps it
    std::atomic<float> rate_;     // Hz
};
