// The per-track picture of the audio that the deck and the visuals draw, and the home of the beat grid:
// 300 overview stripes (summed absolute amplitude) with 300 cached ones (from the tag cache, or from the
// streaming player's scan of what its ring has not reached), detailed stripes
// (40 per second by default) with a smoothed envelope, fine and coarse frequency stripes of three bands, the
// largest sample, limit points (16-beat spans where the music repeats best) and the beat table.
//
// Threads: the loading thread produces (`process`, `processSpectrum`, detected beats, `setBPM`) and only tries
// the locks: a busy lock drops that frame or beat. The main thread sizes (`initStripes`, `setLength`,
// `setDetailedStripesPerSecond`) and adds user beats, waiting for the lock. Stripe readers take no lock: the
// stripes are atomics, and arrays replaced by a longer track stay allocated until the waveform is destroyed,
// so a reader never touches freed memory. Beat-grid readers take the beat lock.
#pragma once

#include "analysis/BeatReceiver.h"
#include "analysis/TrackSamples.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace dsp {
class filter;
}

class WaveForm : public BeatReceiver {
public:
    static constexpr int kOverviewStripes = 300;
    // Most detailed stripes and beat slots a track gets, whatever its length claims (about 7 hours at 40
    // stripes per second): a corrupt length estimate must not allocate gigabytes.
    static constexpr int kMaxDetailedStripes = 1 << 20;
    static constexpr int kMaxBeatSlots = 1 << 18;

    // Beat types.
    enum { BEAT_EMPTY = 0, BEAT_STRONG = 1, BEAT_WEAK = 2, BEAT_MARKER = 3, BEAT_USER = 4 };

    // `rate` in Hz, `length` in frames; `track` (not owned, may be null) gives samples to refine beats.
    WaveForm(double rate, double length, TrackSamples* track);
    ~WaveForm() override;
    WaveForm(const WaveForm&) = delete;
    WaveForm& operator=(const WaveForm&) = delete;

    // Sizing (main thread, waits for the lock). Clears every stripe and the beat grid.
    void initStripes(double rate, double length);
    // The decoded length differs from the estimate: rescales the overview (loading thread, waits).
    void setLength(double newLength);
    void setDetailedStripesPerSecond(int n);
    int getDetailedStripesPerSecond() const { return int(m_stripesPerSecond.load(std::memory_order_relaxed)); }

    // Producers (loading thread). 0 when the lock was busy and the frame was dropped, else 1. Positions in
    // frames; positions at or beyond the length are ignored.
    int process(unsigned position, float left, float right, bool clearNew);
    int processSpectrum(unsigned position, float low, float mid, float high);
    // A sample of the track read without `process` (the overview scan's): the peak covers it too.
    void notePeak(float sample);

    // Readers (any thread, no lock).
    int getNbStripes() const { return kOverviewStripes; }
    int getStripePos() const { return m_lastOverview.load(std::memory_order_relaxed); }
    float getStripeMax() const { return m_overviewMax.load(std::memory_order_relaxed); }
    // The computed stripe, or the cached one where none was computed; for the stripe being filled the larger.
    float getStripe(unsigned i) const;
    void setStripeCached(unsigned i, float v);
    int getNbDetailedStripes() const { return m_detailedCount.load(std::memory_order_relaxed); }
    float getDetailedStripeMax() const { return m_detailedMax.load(std::memory_order_relaxed); }
    float getDetailedStripe(unsigned i) const;
    float getDetailedStripe2(unsigned i) const;
    float getDetailedStripe2Max() const;
    void getFrequencyStripe(unsigned i, float* low, float* mid, float* high) const;
    void getCoarseFrequencyStripe(unsigned i, float* low, float* mid, float* high) const;
    float getMaxPeak() const { return m_maxPeak.load(std::memory_order_relaxed); } // largest |sample|
    // The detailed stripes interpolated at a fractional stripe index; mode 0, 1, 2 for 1x, 2x and 4x zoom.
    float getDetailedStripeInterp(float position, int mode) const;
    // A detailed stripe's state: 0 loud, 1 quiet, -1 undecided.
    int getMusicState(int stripe) const;

    // Limit points (main thread): pairs of ms, A the loop start and B its end, sorted by A.
    void calculateLimPoints(double minimumMs);
    bool hasLimitPoints() const;
    // Entry i of list 0 (A) or 1 (B); -1 beyond the list.
    double getLimitPoint(int list, int i) const;

    // Beat grid. Detected beats (loading thread) are dropped when the lock is busy; user beats (main thread)
    // wait for it.
    void addBeat(unsigned position, float strength, double bpm, float weight, bool marker, bool user) override;
    void setBPM(double bpm, float weight) override;
    void setFirstBeat(unsigned position);
    void clearUserBeats();
    void updateBeatInMeasures();
    // grid false: the first beat at or after `position`; grid true: the nearest grid beat as its frame plus its
    // number in the eight-beat cycle in tenths (88200.3). -1 when there is none. Main thread.
    double getClosestBeat(unsigned position, bool grid, double* beatPosition = nullptr, double* strength = nullptr,
                          double* onsetRatio = nullptr, double* bpm = nullptr);
    double getGridBPM() const;
    int getNbBeatSlots() const;

private:
    friend struct WaveFormTestAccess;
    struct DetailBlock; // the detailed arrays of one capacity
    struct Beat {
        double position = 0; // frames
        double bpm = 0;
        int type = BEAT_EMPTY;
        float strength = 0;
        float onsetRatio = 0;
        int beatInMeasure = -1;
    };

    const DetailBlock* detail() const { return m_detail.load(std::memory_order_acquire); }
    // A stripe or slot index computed in doubles, as an int: beyond the int range it saturates (NaN gives 0),
    // so lengths and rates of any size index nothing outside the arrays.
    static int toIndex(double x) {
        return x >= 2147483647.0 ? 2147483647 : x > -2147483648.0 ? int(x) : x < 0 ? -2147483647 - 1 : 0;
    }
    float getEnvelope(unsigned i) const; // getDetailedStripe2 normalised, 0 beyond the count
    void resetStripesLocked(double rate, double length);
    void resetGridLocked(double rate, double length);
    bool refineBeat(double position, double bpm, double* refined, float* onsetRatio);
    int homeSlot(double position) const; // beat lock held
    void applyDeferredTempoLocked();
    void updateBeatInMeasuresLocked();
    int slotsSpanning(double beats) const; // beat slots that `beats` beats at the grid tempo span

    // The beats of one kind in table order, and what the nearest-beat scan needs to find its answer by a
    // binary search: each neighbouring pair's distances to a query compare monotonically in the query, so a
    // pair lets the scan go on for the queries from `low` up (the later beat lies after the earlier) or up to
    // `high` (before it). Kept as prefix maximum and minimum, the first pair that stops a query is a bisection.
    struct BeatIndex {
        std::vector<int> slots;
        std::vector<int64_t> low, high; // per pair, prefix max of the lowest and min of the highest query
        // Per block of kBlockSlots table slots, the largest strength + onset ratio of the kind's beats in it (-inf
        // for none): a bound that lets the search for a stronger beat nearby pass over whole blocks.
        static constexpr int kBlockSlots = 16;
        std::vector<double> blockMax;
        void build(const std::vector<Beat>& beats, bool (*kind)(int));
        int nearest(unsigned position) const; // the slot the scan in table order ends on, -1 none
    };
    void validateBeatIndexLocked();

    TrackSamples* m_track;

    std::mutex m_stripeLock;             // producers try it; sizing waits for it
    std::atomic<double> m_length{0};     // frames
    std::atomic<double> m_initLength{0}; // the bound for processed positions
    std::atomic<double> m_rate{44100};   // Hz

    // Overview.
    std::atomic<float> m_overview[kOverviewStripes];
    std::atomic<float> m_cached[kOverviewStripes];
    std::atomic<int> m_lastOverview{0};
    std::atomic<float> m_overviewMax{0};
    std::atomic<double> m_overviewFactor{0}; // stripes per frame

    // Detailed.
    std::atomic<double> m_stripesPerSecond{40};
    std::atomic<int> m_detailedCount{0};
    std::atomic<DetailBlock*> m_detail{nullptr};
    std::vector<std::unique_ptr<DetailBlock>> m_blocks; // every block ever made, freed at destruction
    std::atomic<int> m_lastDetailed{0};
    std::atomic<float> m_detailedMax{0}, m_envelopeMax{0};
    std::atomic<double> m_detailedFactor{0};  // stripes per frame
    float m_sum1 = 0, m_sum2 = 0, m_sum3 = 0; // envelope window sums (producer)

    // Frequency stripes: coarse over the overview, fine over the detailed stripes.
    std::atomic<float> m_coarse[3][kOverviewStripes];
    std::atomic<float> m_fineMax[3], m_coarseMax[3];
    std::atomic<int> m_lastCoarse{-1};

    std::atomic<unsigned> m_lastPosition{0};
    std::atomic<float> m_maxPeak{0};

    // Limit points.
    mutable std::mutex m_limitLock;
    std::vector<double> m_limitA, m_limitB; // ms
    bool m_limitComputed = false;

    // Beat grid (beat lock).
    mutable std::mutex m_beatLock;
    std::vector<Beat> m_beats;
    double m_gridBPM = 50, m_gridWeight = 0;
    unsigned m_firstBeat = 0;
    int m_strongBeats = 0, m_userBeats = 0;
    bool m_gridChanged = false;
    double m_gridLength = 0, m_gridRate = 44100; // the length and rate the table was sized for
    BeatIndex m_detectedIndex, m_userIndex;      // rebuilt on the first query after a beat changed
    bool m_beatIndexValid = false;
    // A tempo proposal that met a busy lock, applied by the next holder (-1 none).
    std::atomic<double> m_deferredBPM{-1};
    std::atomic<float> m_deferredWeight{0};

    // Band filters for beat refinement, at the player's rate.
    std::mutex m_refineLock;
    std::unique_ptr<dsp::filter> m_lowPass, m_highPass;
};
