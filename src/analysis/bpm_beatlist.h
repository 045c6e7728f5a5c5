// A list of detected beat times that finds the longest run of evenly spaced beats and the tempo of that run.
// Fed and read by the tempo detector on its feeding thread.
#pragma once

#include <vector>

class bpm_beatlist {
public:
    // State of the detector's threshold follower for this list (the detector runs it).
    struct ThresholdFollower {
        float threshold;      // onset threshold (spectrum power)
        bool decay;           // the threshold follows the signal
        float ratio = 0.6f;   // peak envelope share of the threshold
        float average = 0.0f; // short average of the input
        float peakEnvelope = 0.0f;
        double lastDecay = 0.0; // ms
        double lastAbove = 0.0; // ms, last value above the threshold
    };

    // Keeps nbBeats + 1 beat times; tempo range minBPM .. maxBPM.
    bpm_beatlist(int minBPM, int maxBPM, int nbBeats, float threshold, bool decay);
    virtual ~bpm_beatlist();

    // Appends a beat (ms): the oldest falls out. calculateNow runs calculate() at once.
    void AddBeat(double timeMs, bool calculateNow, float strength);
    // The tempo of the longest run of evenly spaced beats (0 when none qualifies); recomputed only after a
    // beat was added.
    float calculate();
    // Clears the beats, the result and the follower's averages and times (the threshold stays).
    void reset();
    // Empties the beat times and the run's beat count (the tempo stays), for lists whose beats grew old.
    void clearBeats();

    float getBPM() const { return m_bpm; }
    double getBeatTime() const { return m_beatTime; } // ms, last beat of the best run
    int getNrOfBeats() const { return m_nbBeatsFound; }
    float getStrengthAverage() const { return m_strengthAverage; }
    double getNewestBeatTime() const { return m_times.back(); }
    void setMaxBPM(float bpm) { m_maxBPM = bpm; }
    void setMinBPM(float bpm) { m_minBPM = bpm; }
    float getMaxBPM() const { return m_maxBPM; }
    float getMinBPM() const { return m_minBPM; }

    ThresholdFollower follower;

private:
    float m_bpm = 0.0f;
    double m_beatTime = 0.0;
    float m_maxBPM, m_minBPM;
    bool m_changed = true;
    int m_nbBeatsFound = 0;
    float m_strengthAverage = 0.0f;
    std::vector<double> m_times; // ms, oldest first, 0 where empty
};
