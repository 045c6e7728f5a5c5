// A 30-second record of one spectrum band on a 12 ms grid that finds the one-measure (four-beat) lag at which
// the band repeats best. Fed by the tempo detector on its feeding thread.
#pragma once

#include <cstdint>
#include <vector>

class bpm_wavelist {
public:
    // The lower tempo bound is raised to at least 90. Record length: int(1000 / gridMs x seconds) + 1 slots.
    bpm_wavelist(int minBPM, int maxBPM, double seconds, int gridMs);
    virtual ~bpm_wavelist();

    // A band level (0 .. 1) at time timeMs; held over the grid slots that passed since the previous call.
    void AddSample(double timeMs, double value);
    // Clears the record, the mean and the tempo and restarts the cycle at the next sample (the last published
    // error value stays).
    void clear();

    // Published once per cycle: the error value (-1 until the first cycle ends; smaller is better), the
    // band's mean level (0 .. 1) and the tempo (BPM).
    int getError() const { return m_error; }
    double getMean() const { return m_mean; }
    float getBPM() const { return m_bpm; }

private:
    int m_gridMs;
    int m_slots;            // record length
    int m_lagMin, m_lagMax; // lags of one measure, in grid steps
    std::vector<int16_t> m_record;
    std::vector<int> m_accumulators; // by lag - lagMin
    double m_cycleStart = 0.0;       // ms
    int m_lastSlot = -1;             // -1: a new cycle starts with the next sample
    double m_runningMean = 0.0;
    int m_bestValue = -1;
    float m_bestBPM = 0.0f;
    int m_error = -1;
    double m_mean = 0.0;
    float m_bpm = 0.0f;
};
