// The timecode decoder of one deck: turns the stereo signal of a timecode record into pitch, direction and a
// position on the record, looked up in the code tables shared by every deck.
//
// Threads: `calculate` and the getters the player uses right after it run on the input device's audio
// thread; `setParameter`, `setSampleRate`, `setRecord` and the table loaders run on the main thread;
// `getParameter` may run on any thread. Values crossing threads are relaxed atomics; a table is built aside
// and published whole, and a replaced one is freed only once no lookup reads it.
#pragma once

#include "audio/vinyl/VinylControl.h"
#include "dsp/filter.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

enum enTimecodeType {
    TIMECODE_FINALSCRATCH = 0,
    TIMECODE_VIRTUALDJ = 1,
    TIMECODE_SERATO = 2,
    TIMECODE_LABEL = 3, // no codes: pitch and direction only
    TIMECODE_TARLUME = 4,
    TIMECODE_MV = 5,
    TIMECODE_TRAKTOR = 6,
};

// How the player follows the record: 0 position and speed (with drift correction), 1 speed only (the
// position jumps only in the lead-in), 2 speed with jumps only when re-synchronising.
enum VINYLCONTROL_MODE { VINYLCONTROL_ABSOLUTE = 0, VINYLCONTROL_RELATIVE = 1, VINYLCONTROL_RESYNC_ONLY = 2 };

class FinalScratch : public VinylControl {
public:
    static constexpr int kRingLength = 130;     // peaks kept per channel (the newest slot is still forming)
    static constexpr int kCaptureValues = 2048; // 1024 frames, left and right interleaved
    static constexpr int kTypes = 7;

    explicit FinalScratch(double sampleRate);
    ~FinalScratch() override;
    FinalScratch(const FinalScratch&) = delete;
    FinalScratch& operator=(const FinalScratch&) = delete;

    // ---- Code tables (static, shared by all decks; main thread) ----
    // Each loads its type's table file once per run; true when the type's table then holds records.
    static bool initFinalScratch(const std::string& path);
    static bool initVDJ(const std::string& path);
    static bool initSSL(const std::string& path);
    static bool initTS(const std::string& path);
    // Replaces the type's table with an empty one of capacity n (n < 0 counts as 0).
    static void initCodes(int type, int n);
    // Stores record `index` of the current table and makes the loaded count index + 1. Fills a table that no
    // decoder reads yet (tests and tools); the loaders build their tables aside.
    static void addCode(int type, int index, int a, int b, int time);
    // Lookups, from the audio thread: the time (1/48 ms; type 5 1/44.1 ms), 0 when not found.
    static int getTimeFromCode(unsigned int code);
    static int getTimeFromVDJCode(int a, int b);
    static int getTimeFromSSLCode(int code);
    static int getTimeFromMVCode(int code);
    static int getTimeFromTSCode(int a, int b);
    static int compareCodes(int a1, int b1, int a2, int b2);
    // The table file of a type in the "vinylcontrol" folder, null for types without one.
    static const char* getTableFileName(int type);
    // Records loaded for a type (0 when no table is available).
    static int getTableSize(int type);

    // ---- Decoder ----
    void setSampleRate(double hz); // ignored unless above 4000 Hz; retunes the input band filters
    // One input frame on the 16-bit scale (audio thread).
    void calculate(float left, float right);

    double getPitch() const;        // speed ratio x speed multiplier, negative backwards
    double getCertainPitch() const; // pitch measured over 16 null passes of the last code
    int getDirection() const;       // 1 forward, -1 backward
    double getTime() const;         // ms on the record, after offsets
    double getVinylTime() const override;
    double getMaxLengthMs() const override;
    double getNullPassTime() const;        // ms per null pass of the type
    double getNullPassTimeSamples() const; // samples per code unit at the current rate
    int getNrOfPeaks() const;              // null passes counted since the last code
    VINYLCONTROL_MODE getVCMode() const;
    bool isNewPitch();
    bool isNewTime();
    bool isNewCertainPitch();
    bool isNewPitch_NonDestructive() const;

    // Opens (true) or closes (false) the "./ts_code" dump of classified code bits. Main thread; the bits are
    // written by a thread of the dump's own, never by the audio thread.
    void setRecord(bool on);

    void setParameter(int id, double value);
    double getParameter(int id, int index = 0);

private:
    struct Peak {
        float value = 0;  // 16-bit scale
        int64_t time = 0; // input frame of the extremum (the middle of a flat top)
        int32_t flat = 0; // frames the extreme value held after `time`, while forming
        int8_t kind = 0;  // 1 maximum, -1 minimum, 0 still forming
    };
    // One peak detector: per channel a ring of alternating maxima and minima.
    struct Detector {
        Peak ring[2][kRingLength];
        int index[2] = {0, 0};      // slot still forming
        int filled[2] = {0, 0};     // completed peaks held, up to kRingLength - 1
        float high = 0, low = 0;    // extremes of the samples since the last range measure
        int count = 0;              // samples since then, both channels together
        float range = 0;            // last measured range / input gain
        float middle = 0;           // the middle of that range (16-bit units): 0 but for a DC offset
        int hysteresis = 350;       // 16-bit units
        uint64_t stamp[2] = {0, 0}; // changes whenever the channel's completed peaks change (never repeats)
    };
    // A polarity estimate kept with everything it was made from: a pitch measure on one channel's new peak
    // takes the other channel's estimates again, and while that channel's peaks, its threshold, the span and
    // the direction stay as they were, they are the kept ones.
    struct KeptEstimate {
        uint64_t stamp = 0; // 0: nothing kept
        float half = 0;
        int k = 0, dir = 0;
        double u = 0;
        bool have = false;
        double out = 0;
    };
    struct RegisterEntry {
        uint8_t bit;
        uint8_t
            quarter;  // position in its cycle in quarter null passes: 0 right max, 1 left max, 2 right min, 3 left min
        int64_t time; // input frame of the peak
    };
    struct Code {
        int32_t w[4] = {0, 0, 0, 0};
        int64_t anchorTime = 0; // frame of the peak the position is counted from
        int anchorChannel = 1;
        int anchorQuarter = 0; // the anchor's place after the code's time, in quarter null passes
    };

    // Signal path (FinalScratchDecode.cpp).
    bool detect(Detector& d, int c, float x, bool isRaw);
    void watchLevel(float raw, float filtered, bool band);
    int hysteresisFor(double swing) const; // the hysteresis of a signal swinging this far (16-bit units)
    const Peak& peakAt(const Detector& d, int c, int back) const; // back 0: the newest completed peak
    void voteDirection(const Detector& f);
    void measurePitch(const Detector& f, int c);
    double estimate(const Detector& f, int c, int back, double units, double u) const;
    int spanCount(const Detector& f, int c) const;
    bool polarityEstimate(const Detector& f, int c, bool positive, int k, double u, double& out); // kept or made
    bool polarityEstimate(const Detector& f, int c, float half, bool positive, int k, double u, int dir,
                          double& out) const;
    void classify(int c, int type);
    int classAt(int c, int back) const;
    void pushRegister(int c, int back, int bit);
    bool searchTimeCodeFS(Code& code);
    bool searchTimeCodeVDJ(Code& code);
    bool searchTimeCodeSSL(Code& code);
    bool searchTimeCodeMV(Code& code);
    bool searchTimeCodeTS(Code& code);
    bool searchTimeCodeTLM(Code& code);
    bool searchFrame(int syncChannel, bool otherLate, int type, Code& code);
    bool readRegister(int bits, int anchorBit, Code& code, uint8_t* recordBits);
    int matchPeak(int c, int64_t t, bool recordLater) const;
    void takeCode(const Code& code, int type);
    bool lookUp(const Code& code, int type, double& time);
    bool placeCode(const Code& code, int& nullPasses) const;
    void checkPolarity(int type);
    void clearHistories();
    void dumpBit(uint8_t bit, int type);

    static void* dumpThread(void* self);

    // Input band filters (audio thread; settings from any thread).
    dsp::filter m_lowPass, m_highPass;
    std::atomic<double> m_sampleRate; // Hz
    std::atomic<double> m_rateFactor; // rate / 44100

    // Settings (main thread writes, audio thread reads).
    std::atomic<double> m_speedMultiplier{1.0};
    std::atomic<double> m_offset{2000.0}; // ms
    std::atomic<double> m_inputGain{1.0};
    std::atomic<int> m_type{0};
    std::atomic<int> m_mode{0};
    std::atomic<bool> m_bandFilters{true};
    std::atomic<double> m_shortestSpan{7.0}; // ms
    std::atomic<int> m_pitchMethod{2};
    std::atomic<int> m_minHysteresis{350}, m_maxHysteresis{4000}; // 16-bit units
    std::atomic<bool> m_waitFlag{false};
    std::atomic<bool> m_clearRequest{false};

    // Results (audio thread writes, any thread reads).
    std::atomic<double> m_pitch{1.0}, m_certainPitch{1.0};
    std::atomic<int> m_direction{1};
    std::atomic<double> m_codeTime{0.0}; // T, 1/48 ms (type 5: 1/44.1 ms)
    std::atomic<int> m_nullPasses{0};    // P
    std::atomic<int32_t> m_lastW1{0}, m_lastW2{0};
    std::atomic<int64_t> m_codeFrame{0}; // input frame at the last taken code
    std::atomic<int64_t> m_frames{0};
    std::atomic<int> m_region{0}; // -10 .. 10: side A below 0, side B above
    std::atomic<int> m_averageRange{0};
    std::atomic<float> m_lastRange{0};
    std::atomic<bool> m_newPitch{false}, m_newTime{false}, m_newCertainPitch{false};
    std::atomic<int> m_codesTaken{0}, m_codesLookedUp{0};

    // Capture of the next 1024 input frames (id 23).
    std::atomic<int16_t> m_capture[kCaptureValues];
    std::atomic<int> m_captureCount{kCaptureValues};

    // Audio-thread state.
    int64_t m_frameCount = 0; // input frames so far
    Detector m_raw, m_filtered;
    bool m_wasBandFiltered = true;
    int m_lastType = -1;
    int m_votes[2] = {0, 0}; // the last two local direction votes, newest first
    float m_posThreshold[2] = {0, 0}, m_negThreshold[2] = {0, 0};
    int8_t m_class[2][kRingLength] = {}; // 2, 1, -1, -2 per ring slot (0 unknown)
    RegisterEntry m_register[151] = {};
    int m_registerHead = 0;  // next slot to write
    int m_registerCount = 0; // entries held
    int m_pushedSinceCode = 0;
    // Raw peaks completed per channel, and the classification made last: its thresholds and that count then.
    // With the thresholds unchanged only the peaks completed since need a class.
    int64_t m_rawPeaks[2] = {0, 0};
    int64_t m_classedAt[2] = {-1, -1}; // -1: none made yet
    float m_classedPos[2] = {0, 0}, m_classedNeg[2] = {0, 0};
    uint64_t m_stamps = 0;                  // the last detector stamp given out
    KeptEstimate m_kept[2][2];              // channel, polarity (0 positive)
    int32_t m_lookedW1 = 0, m_lookedW2 = 0; // words of the last code looked up
    double m_previousTime = 0;              // time of the last code looked up
    double m_previousPlace = -1e12;         // where that code put the record then (its time + P, time units)
    int64_t m_previousCounter = 0;          // m_passCounter then
    int64_t m_passCounter = 0;              // null passes counted since the start, never reset
    bool m_polarityInverted = false;
    int m_polarityVotes = 0;
    int m_wait = 320; // peaks and search attempts since the last taken code
    // Samples in a row, both channels counted, in which the raw input stayed within half its hysteresis of the
    // middle of its range, with the extremes of the raw and the filtered samples meanwhile (watchLevel).
    struct QuietStretch {
        int samples = 0;
        float rawHigh = 0, rawLow = 0, filteredHigh = 0, filteredLow = 0;
    } m_quiet;
    int m_dumpBits = 0;

    // Dump of classified bits: the audio thread queues events, the dump thread writes them.
    static constexpr int kDumpQueue = 8192;
    std::atomic<uint64_t> m_dumpQueue[kDumpQueue];
    std::atomic<uint32_t> m_dumpWrite{0}, m_dumpRead{0};
    std::atomic<bool> m_dumpOpen{false}, m_dumpRun{false}, m_dumpDone{true};
    FILE* m_dumpFile = nullptr; // dump thread only while it runs
};
