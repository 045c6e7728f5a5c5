// An amplitude envelope of the raw signal at 150 steps per second and a comb of tempo candidates, each scoring
// how well the envelope repeats 8 and 16 beats earlier. Fed one sample at a time on the detector's feeding
// thread.
#pragma once

#include <cstdint>
#include <vector>

class bpm_stripes {
public:
    // Candidates minBPM, minBPM + step, ... below maxBPM.
    bpm_stripes(double rate, double minBPM, double maxBPM, double step);

    void process(float x); // one sample, any scale
    // The winning candidate's tempo (the slowest on a tie); refreshes the accuracy factor.
    float getBPM();
    // 0 until the envelope ring has filled once (about 12 s); then the accuracy factor x 10 before 32 s of
    // samples since the reset, x 40 before 120 s, x 100 after.
    float getAccuracy();
    void setSamplerate(double rate);
    void reset();

private:
    static constexpr int kStepsPerSecond = 150;
    static constexpr int kBeatSpan = 16;

    double m_rate;
    double m_minBPM, m_step;
    int m_samplesPerStep;
    std::vector<double> m_accumulators;
    std::vector<int> m_lag16, m_lag8; // envelope steps back, per candidate
    std::vector<double> m_ring;       // envelope steps
    int m_write = 0;
    int m_stepSamples = 0;
    bool m_full = false;
    int64_t m_samples = 0; // since the reset
    double m_accuracy = 0.0;
};
