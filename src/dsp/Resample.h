// Reads a 16-bit interleaved buffer at fractional frame positions through a Kaiser-windowed sinc, falling
// back to a 6-point polynomial near the buffer's edges. A player owns three (different filter sizes) and
// reads them on the audio thread under its state lock; init and setFormat run under the same lock.
#pragma once

#include "dsp/Interpolator6.h"

#include <cstdint>
#include <vector>

class Resample {
public:
    Resample(); // the table for N = 4
    virtual ~Resample();

    // N (filter size, 4 .. 100) sets (N - 1) / 2 zero crossings per wing. The table is rebuilt only when N
    // changes (a requested 0 never rebuilds); the 6-point caches are always cleared.
    void init(unsigned int N);
    // The source: `length` frames of `channels` (1 or 2) interleaved samples, of which min(length, loaded) are
    // readable. With `ring` set the buffer is a ring of `length` frames: neighbours of a position wrap around
    // its end, so reading across the wrap (or backwards past slot 0) stays continuous.
    void setFormat(const short* buffer, int length, int loaded, int channels, bool ring = false);

    // The sample of `channel` at a fractional frame position (16-bit scale). Negative positions read 0.
    float getOverSample(double position, int channel);
    float getInterPolationSinc(double position, int channel) { return getOverSample(position, channel); }
    // Both channels of getOverSample at once (one coefficient walk for the two, the same values); a mono
    // source gives both its one channel.
    void getOverSampleFrame(double position, float* left, float* right);
    // Band-limited read for reading faster than the source rate, `factor` = read frames per source frame: a
    // filter of its own (the same for every filter size), flat to 0.41 of the read rate and at least 87 dB down
    // from 0.55 of it, stretched by 1 / factor. A factor of 1 or more is the plain read (the same samples as
    // getOverSample); below 1 / 4 it counts as 1 / 4, which bounds the work of one read.
    float getResample(double position, int channel, double factor);
    // The band-limited read weighs 8 taps at once where the processor has AVX2 and FMA, else 4. Tests and
    // benchmarks hold it to 4 (allow false) to check and time both; returns whether 8 are available.
    static bool allowWideReads(bool allow);
    // Both channels of getResample at once (one set of coefficients for the two); a mono source gives both the
    // same.
    void getResampleFrame(double position, double factor, float* left, float* right);
    // The stored sample: 0 outside the readable frames (a ring wraps instead).
    float getSample(int frame, int channel) const;

    unsigned int getFilterSize() const { return m_N; }
    unsigned int getTableLength() const { return unsigned(m_table.size()); }
    const float* getCoefficients() const { return m_table.data(); }

private:
    struct Cache {
        int64_t frame = -1; // the integer frame the coefficients were fitted around, -1 none
        dsp::Interpolator6 interp;
    };

    void buildTable(unsigned int N);
    float sinc(const short* center, int stride, double fraction) const;
    float sixPoint(int64_t frame, double fraction, int channel);
    // The checks both band-limited reads share; false (and silence) when there is nothing to read there.
    bool prepareStretched(double& position, double& factor, int64_t& frame, double& fraction) const;
    // The `count` frames a band-limited read at `frame` weighs, `before` of them up to and including it: in the
    // buffer itself when they lie inside it, else gathered into `run` (all channels).
    const short* stretchedRun(int64_t frame, int before, int count, short* run) const;
    void gatherRun(int64_t first, int count, short* run) const;
    short sampleAt(int64_t frame, int channel) const; // with the edge rule of the source (zero or wrap)

    unsigned int m_N = 0;
    std::vector<float> m_table; // one wing, 4096 entries per zero crossing
    std::vector<float> m_diff;  // entry i + 1 - entry i; the last is minus the last entry
    int m_taps = 0;             // most samples one wing reads

    const short* m_src = nullptr;
    int64_t m_length = 0;    // frames
    int64_t m_available = 0; // readable frames
    int m_channels = 1;
    bool m_ring = false;

    // The band-limited read's coefficients for a rate held a while (factor m_bankFactor, 0 none) at fractions
    // a 64th of a sample apart; a read at one of them weighs by its row, one in between by a parabola through
    // the nearest three, instead of walking the table per tap. Audio thread.
    void buildBank(double factor);
    std::vector<float> m_bank; // allocated with the resampler
    double m_bankFactor = 0;
    int m_bankBefore = 0, m_bankCount = 0; // the frames a read weighs, up to and including its own, and in all
    double m_heldFactor = 0;               // the factor of the last reads, and how many of them in a row
    int m_heldReads = 0;

    Cache m_cache[2];
    // The coefficients of the two wings of getOverSampleFrame's last fraction (-1 none), and their counts.
    static constexpr int kMostWingTaps = 50; // the largest filter size, 100
    double m_plainFraction = -1;
    int m_plainTaps[2] = {0, 0};
    float m_plainWeights[2][kMostWingTaps];
    const void* m_band = nullptr; // the band-limited read's filter, shared by all
};

// Fills `c` with one wing of a low-pass filter: a sinc with cut-off `frequency` (a fraction of the sample
// rate: 0.5 x roll-off) windowed by a Kaiser window of `beta`, `perZero` entries per zero crossing.
void lrsLpFilter(float* c, unsigned int length, double frequency, double beta, unsigned int perZero);
// One wing of the interpolation: from table phase `phase` (0 .. 1 of a zero crossing), walks the samples from
// `samples` by `step` (negative: the left wing, reading backwards) while the table lasts.
float lrsFilterUp(const float* imp, const float* impD, unsigned int length, const short* samples, double phase,
                  int step);
// The same with the table walked in steps of `tableStep` entries per sample instead of one zero crossing (the
// table's entries per zero crossing times the factor): the filter stretched in time, its cut-off lowered.
float lrsFilterUD(const float* imp, const float* impD, unsigned int length, const short* samples, double phase,
                  int step, double tableStep);
