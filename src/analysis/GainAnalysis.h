// ReplayGain loudness of a track: an equal-loudness filter (10th-order Yule-Walker section, then a 2nd-order
// Butterworth high-pass), the mean square of 50 ms blocks, a histogram of block loudness in 0.01 dB steps and
// its 95th percentile against a reference level of 64.85 dB.
//
// Threads: AnalyzeSamples runs on the loading thread; GetTitleGain on the thread that asks for the result
// (the deck's frame update), only once the analysis has reached the end of the track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class GainAnalysis {
public:
    static constexpr int kHistogramSize = 12000; // 0.01 dB steps over 120 dB

    // Rates without their own filters are analysed with the 48000 Hz ones and 2400-sample blocks.
    explicit GainAnalysis(long rate);
    virtual ~GainAnalysis();

    // Samples on the 16-bit scale. channels 1 reads `left` for both; channels other than 1 and 2 return 0 and
    // change nothing. A frame with a sample that is not finite (or absurdly large) is left out. Returns 1.
    int AnalyzeSamples(const float* left, const float* right, unsigned long count, int channels);
    // The title gain (dB; 0.0 with no full block). The title's blocks then join the album and the next
    // title starts afresh, so a second call without new samples answers 0.
    float GetTitleGain();
    float GetAlbumGain();

    // The blocks counted so far for the current title, by loudness step.
    const uint32_t* getTitleHistogram() const { return m_title.data(); }

private:
    friend struct GainAnalysisTestAccess;
    static constexpr int kOrder = 10; // history kept per filter

    void analyze(const float* left, const float* right, size_t count);
    void analyzeFrame(float left, float right); // a call of one usable frame
    void closeBlock();                          // the block is full: its loudness joins the histogram
    void clearFilters();
    static float gainFromHistogram(const uint32_t* histogram);

    int m_rateIndex;
    size_t m_blockLength; // samples per 50 ms block
    // Per channel: the last kOrder input samples, then room for the first kOrder of the current call.
    float m_input[2][2 * kOrder];
    // Per channel: kOrder samples of the previous block's tail, then the current block.
    std::vector<float> m_yule[2], m_butter[2];
    double m_sum[2];     // squares of the filtered samples in the current block
    size_t m_blockCount; // samples in the current block
    std::vector<uint32_t> m_title, m_album;
};
