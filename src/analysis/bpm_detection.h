// Turns the analyser's stream of spectra into a tempo, a confidence level, a first-beat time and a running
// beat counter, from ten beat lists fed by onset detectors on five low-frequency channels, an envelope comb
// over the raw signal and (when switched on) band lists over the 16-band spectrum.
//
// Threads: process, calculateBPM and reset run inside the analyser's lock (its feeding thread, or resetBPM).
// setParameter may come from any thread: it is applied by the feeding thread before its next sample or frame.
// The results (getParameter, getBPM, getConfidence) are atomics any thread may read.
#pragma once

#include "analysis/bpm_beatlist.h"
#include "analysis/bpm_stripes.h"
#include "analysis/bpm_wavelist.h"

#include <atomic>
#include <vector>

class BeatReceiver;

class bpm_detection {
public:
    static constexpr int kMaxChannels = 10;

    // The analyser builds it as (rate, 5, 105, 80, 190, 0.9f, true, false, true).
    bpm_detection(double rate, int nChannels, int nbBeats, int minBPM, int maxBPM, float threshold, bool decay,
                  bool bandLists, bool envelopeComb);
    virtual ~bpm_detection();

    // The track's beat grid, which receives each new first beat and the comb's tempo (not owned; may be null).
    void setWaveForm(BeatReceiver* waveForm) { m_waveForm.store(waveForm, std::memory_order_release); }

    void process(float x); // one raw sample (16-bit scale)
    // One analysis frame: the power spectrum (bin 0 is replaced by the low-band sum), its time stamp (ms) and
    // its 16-band values.
    void calculateBPM(float* spectrum, double timeMs, const float* bands16, int nbBands);
    void calculateList(double timeMs);
    void reset();

    // 4 reset, 5 envelope comb on (v > 0.5), 6 band lists on (v > 0.5), 7 minimum and 8 maximum tempo of every
    // beat list, 9 sample rate (Hz).
    void setParameter(int id, double v);
    // 0 tempo (0 while none), 1 confidence (at most 99), 2 beat counter (1 .. 4; 0 before the first step),
    // 3 time (ms) of the last counter step, 5 comb on, 6 band lists on; others 0.
    double getParameter(int id) const;

    float getBPM() const { return m_bpm.load(std::memory_order_relaxed); }
    float getConfidence() const { return m_confidence.load(std::memory_order_relaxed); } // not capped

private:
    friend struct BpmDetectionTestAccess;

    enum Pending { PendingReset = 1, PendingMinBPM = 2, PendingMaxBPM = 4, PendingRate = 8 };
    void applyPending();
    void request(unsigned int what) { m_pending.fetch_or(what, std::memory_order_release); }

    double m_rate; // Hz, feeding thread
    int m_nChannels;
    std::vector<bpm_beatlist> m_lists; // threshold followers 0 .. n-1, then peak pickers n .. 2n-1
    std::vector<int> m_score;
    std::vector<float> m_weightedBPM;
    std::vector<bpm_wavelist> m_bandLists; // 16-band values 0 .. 14
    bpm_stripes m_comb;

    // Per channel.
    float m_fast[kMaxChannels] = {}, m_slow[kMaxChannels] = {};
    float m_peak[kMaxChannels] = {};
    float m_peakTime[kMaxChannels] = {}; // ms
    float m_candidate[kMaxChannels] = {};
    double m_candidateTime[kMaxChannels] = {}; // ms

    // Results.
    std::atomic<float> m_bpm{0.0f};
    std::atomic<float> m_confidence{0.0f};
    std::atomic<int> m_beatCounter{0};
    std::atomic<double> m_lastStepTime{0.0}; // ms
    double m_firstBeat = 0.0;                // ms
    float m_firstBeatStrength = 0.0f;

    double m_previousFrame = 0.0;   // ms
    double m_lastEvaluation = 0.0;  // ms
    double m_handedFirstBeat = 0.0; // ms, the first beat last given to the beat grid
    double m_nextStep = 0.0;        // ms

    std::atomic<bool> m_bandListsOn;
    std::atomic<bool> m_combOn;
    std::atomic<BeatReceiver*> m_waveForm{nullptr};

    // Requests from other threads.
    std::atomic<unsigned int> m_pending{0};
    std::atomic<float> m_requestedMinBPM{0.0f}, m_requestedMaxBPM{0.0f};
    std::atomic<double> m_requestedRate{0.0};
};
