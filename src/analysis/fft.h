// Windowed real-FFT spectrum analyser fed one mono sample at a time (16-bit scale). Every full analysis window
// it computes a power spectrum, reduces it to a 16-band and a 32-band display spectrum kept with a time stamp
// in a ring of 16 frames, and hands the spectrum to the tempo detector it owns.
//
// Threads: addSample runs on the feeding thread (the loading thread for a player, the audio thread for an
// effect chain) and only tries the analyser's lock: a busy lock drops the sample. getFFT_Data and
// getMostRecentData belong to the feeding thread. setWindowParams and resetBPM wait for the lock (the feeder
// holds it for one sample at a time); the other setters, getParameter, getBPM and getNrOfBeats may come from
// any thread.
#pragma once

#include "foundation/PlatformIndependent.h"

#include <atomic>
#include <memory>
#include <vector>

class bpm_detection;

class fft {
public:
    // The cosine/sine table every analyser's transform shares, built once for windows up to 8192 points
    // before the first analyser exists.
    static double fft_sinetable_w[4096];

    explicit fft(double rate); // a rate that is not positive counts as 44100 Hz
    virtual ~fft();

    // Window count 1 .. 16, size 1024 or 2048 points, type 0 (Nuttall) or 1 (Hamming); other values are
    // ignored (that setting keeps its value).
    void setWindowParams(int count, int size, int type);

    // Returns 1 when a window completed during the call. applyWindow 1 multiplies by the window first.
    // A sample that is not finite (or beyond 1e9) counts as 0.
    int addSample(float x, int applyWindow, int position); // stamps become `position` (frames) in ms
    int addSample(float x, int applyWindow);
    int addSample(float x) { return addSample(x, 1); }

    // The stamp (ms) of the chosen frame and its bands, or -1.0 when it is the frame returned last time.
    // delayMs below 20: the newest frame. count: up to 16 values of the 16-band spectrum into bands16; 32 the
    // 32-band spectrum into bands16; 48 or more the 16-band one into bands16 and the 32-band one into bands32.
    double getFFT_Data(float* bands16, float* bands32, double delayMs, int count);
    void getMostRecentData(float* out); // the first 512 values of the last power spectrum

    float getBPM() const;     // 0 outside 0 .. 300
    int getNrOfBeats() const; // the detector's confidence level
    void resetBPM();
    bpm_detection* getBPMDetection() { return m_detector.get(); }

    // 0 window size, 1 window count, 2 window type, 3 sample rate (also the detector's), 4 detector on (v > 0.5).
    void setParameter(int id, double v);
    double getParameter(int id) const;

private:
    struct Frame {
        float bands16[16] = {};
        float bands32[32] = {};
        double stamp = 0.0; // ms
    };

    void analyse(double* window, int size, int applyWindow);

    std::atomic<double> m_rate; // Hz
    // Window count, size (points) and type: written under the lock, read by the feeder under it and by
    // getParameter from any thread.
    std::atomic<int> m_count{0}, m_size{0}, m_type{-1};
    std::vector<double> m_windows; // m_count buffers of m_size doubles
    int m_writeIndex[16] = {};
    std::vector<double> m_coefficients;
    int m_ip[64] = {};
    float m_power[1024] = {};
    Frame m_ring[16];
    int m_next = 0;
    int m_counter = 0; // samples accepted

    int m_lastCounter = 0, m_repeats = 0; // getFFT_Data's memory of the counter
    double m_lastStamp = 0.0;             // stamp of the frame returned last

    std::unique_ptr<bpm_detection> m_detector;
    std::atomic<bool> m_detectorOn{true};
    CRITICAL_SECTION m_lock;
};
