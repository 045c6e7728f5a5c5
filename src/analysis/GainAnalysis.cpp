#include "analysis/GainAnalysis.h"

#include <algorithm>
#include <cstddef>
#include <cmath>
#include <cstring>

namespace {

// Equal-loudness filter coefficients by rate index (48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025,
// 8000 Hz), interleaved b0, a1, b1, a2, b2, ..., a_N, b_N so that
// y[n] = b0 x[n] + sum over k of (b_k x[n-k] - a_k y[n-k]).
const float kYule[9][21] = {
    // 48000 Hz
    {0.03857599435200f,   -3.84664617118067f, -0.02160367184185f, 7.81501653005538f,  -0.00123395316851f,
     -11.34170355132042f, -0.00009291677959f, 13.05504219327545f, -0.01655260341619f, -12.28759895145294f,
     0.02161526843274f,   9.48293806319790f,  -0.02074045215285f, -5.87257861775999f, 0.00594298065125f,
     2.75465861874613f,   0.00306428023191f,  -0.86984376593551f, 0.00012025322027f,  0.13919314567432f,
     0.00288463683916f},
    // 44100 Hz
    {0.05418656406430f,  -3.47845948550071f, -0.02911007808948f, 6.36317777566148f,  -0.00848709379851f,
     -8.54751527471874f, -0.00851165645469f, 9.47693607801280f,  -0.00834990904936f, -8.81498681370155f,
     0.02245293253339f,  6.85401540936998f,  -0.02596338512915f, -4.39470996079559f, 0.01624864962975f,
     2.19611684890774f,  -0.00240879051584f, -0.75104302451432f, 0.00674613682247f,  0.13149317958808f,
     -0.00187763777362f},
    // 32000 Hz
    {0.15457299681924f,  -2.37898834973084f, -0.09331049056315f, 2.84868151156327f,  -0.06247880153653f,
     -2.64577170229825f, 0.02163541888798f,  2.23697657451713f,  -0.05588393329856f, -1.67148153367602f,
     0.04781476674921f,  1.00595954808547f,  0.00222312597743f,  -0.45953458054983f, 0.03174092540049f,
     0.16378164858596f,  -0.01390589421898f, -0.05032077717131f, 0.00651420667831f,  0.02347897407020f,
     -0.00881362733839f},
    // 24000 Hz
    {0.30296907319327f,  -1.61273165137247f, -0.22613988682123f, 1.07977492259970f,  -0.08587323730772f,
     -0.25656257754070f, 0.03282930172664f,  -0.16276719120440f, -0.00915702933434f, -0.22638893773906f,
     -0.02364141202522f, 0.39120800788284f,  -0.00584456039913f, -0.22138138954925f, 0.06276101321749f,
     0.04500235387352f,  -0.00000828086748f, 0.02005851806501f,  0.00205861885564f,  0.00302439095741f,
     -0.02950134983287f},
    // 22050 Hz
    {0.33642304856132f,  -1.49858979367799f, -0.25572241425570f, 0.87350271418188f,  -0.11828570177555f,
     0.12205022308084f,  0.11921148675203f,  -0.80774944671438f, -0.07834489609479f, 0.47854794562326f,
     -0.00469977914380f, -0.12453458140019f, -0.00589500224440f, -0.04067510197014f, 0.05724228140351f,
     0.08333755284107f,  0.00832043980773f,  -0.04237348025746f, -0.01635381384540f, 0.02977207319925f,
     -0.01760176568150f},
    // 16000 Hz
    {0.44915256608450f,  -0.62820619233671f, -0.14351757464547f, 0.29661783706366f,  -0.22784394429749f,
     -0.37256372942400f, -0.01419140100551f, 0.00213767857124f,  0.04078262797139f,  -0.42029820170918f,
     -0.12398163381748f, 0.22199650564824f,  0.04097565135648f,  0.00613424350682f,  0.10478503600251f,
     0.06747620744683f,  -0.01863887810927f, 0.05784820375801f,  -0.03193428438915f, 0.03222754072173f,
     0.00541907748707f},
    // 12000 Hz
    {0.56619470757641f,  -1.04800335126349f, -0.75464456939302f, 0.29156311971249f,  0.16242137742230f,
     -0.26806001042947f, 0.16744243493672f,  0.00819999645858f,  -0.18901604199609f, 0.45054734505008f,
     0.30931782841830f,  -0.33032403314006f, -0.27562961986224f, 0.06739368333110f,  0.00647310677246f,
     -0.04784254229033f, 0.08647503780351f,  0.01639907836189f,  -0.03788984554840f, 0.01807364323573f,
     -0.00588215443421f},
    // 11025 Hz
    {0.58100494960553f,  -0.51035327095184f, -0.53174909058578f, -0.31863563325245f, -0.14289799034253f,
     -0.20256413484477f, 0.17520704835522f,  0.14728154134330f,  0.02377945217615f,  0.38952639978999f,
     0.15558449135573f,  -0.23313271880868f, -0.25344790059353f, -0.05246019024463f, 0.01628462406333f,
     -0.02505961724053f, 0.06920467763959f,  0.02442357316099f,  -0.03721611395801f, 0.01818801111503f,
     -0.00749618797172f},
    // 8000 Hz
    {0.53648789255105f,  -0.25049871956020f, -0.42163034350696f, -0.43193942311114f, -0.00275953611929f,
     -0.03424681017675f, 0.04267842219415f,  -0.04678328784242f, -0.10214864179676f, 0.26408300200955f,
     0.14590772289388f,  0.15113130533216f,  -0.02459864859345f, -0.17556493366449f, -0.11202315195388f,
     -0.18823009262115f, -0.04060034127000f, 0.05477720428674f,  0.04788665548180f,  0.04704409688120f,
     -0.02217936801134f},
};

const float kButter[9][5] = {
    // 48000 Hz
    {0.98621192462708f, -1.97223372919527f, -1.97242384925416f, 0.97261396931306f, 0.98621192462708f},
    // 44100 Hz
    {0.98500175787242f, -1.96977855582618f, -1.97000351574484f, 0.97022847566350f, 0.98500175787242f},
    // 32000 Hz
    {0.97938932735214f, -1.95835380975398f, -1.95877865470428f, 0.95920349965459f, 0.97938932735214f},
    // 24000 Hz
    {0.97531843204928f, -1.95002759149878f, -1.95063686409857f, 0.95124613669835f, 0.97531843204928f},
    // 22050 Hz
    {0.97316523498161f, -1.94561023566527f, -1.94633046996323f, 0.94705070426118f, 0.97316523498161f},
    // 16000 Hz
    {0.96454515552826f, -1.92783286977036f, -1.92909031105652f, 0.93034775234268f, 0.96454515552826f},
    // 12000 Hz
    {0.96009142950541f, -1.91858953033784f, -1.92018285901082f, 0.92177618768381f, 0.96009142950541f},
    // 11025 Hz
    {0.95856916599601f, -1.91542108074780f, -1.91713833199203f, 0.91885558323625f, 0.95856916599601f},
    // 8000 Hz
    {0.94597685600279f, -1.88903307939452f, -1.89195371200558f, 0.89487434461664f, 0.94597685600279f},
};

const long kRates[9] = {48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
const float kReferenceLevel = 64.85f; // dB

// One IIR section of order N over `count` frames of both channels at once; input[-N .. -1] and output[-N .. -1]
// hold each channel's history. Each channel's arithmetic is that of a section run alone (the same products,
// summed in the same order, in doubles); run side by side, the two channels' dependency chains overlap.
template <int N>
void filterStereo(const float* inL, const float* inR, float* outL, float* outR, size_t count, const float* kernel) {
    for (ptrdiff_t i = 0; i < ptrdiff_t(count); ++i) {
        double l = double(inL[i]) * kernel[0];
        double r = double(inR[i]) * kernel[0];
        for (int k = 1; k <= N; ++k) {
            l += double(inL[i - k]) * kernel[2 * k] - double(outL[i - k]) * kernel[2 * k - 1];
            r += double(inR[i - k]) * kernel[2 * k] - double(outR[i - k]) * kernel[2 * k - 1];
        }
        outL[i] = float(l);
        outR[i] = float(r);
    }
}

bool usable(float x) {
    return std::fabs(x) <= 1e10f;
} // false for NaN and infinities as well

} // namespace

GainAnalysis::GainAnalysis(long rate) : m_title(kHistogramSize, 0), m_album(kHistogramSize, 0) {
    m_rateIndex = 0;
    m_blockLength = 2400;
    for (int i = 0; i < 9; ++i) {
        if (kRates[i] == rate) {
            m_rateIndex = i;
            m_blockLength = size_t(std::ceil(rate * 0.05));
        }
    }
    for (int c = 0; c < 2; ++c) {
        m_yule[c].assign(m_blockLength + kOrder, 0.0f);
        m_butter[c].assign(m_blockLength + kOrder, 0.0f);
    }
    clearFilters();
}

GainAnalysis::~GainAnalysis() = default;

void GainAnalysis::clearFilters() {
    std::memset(m_input, 0, sizeof(m_input));
    for (int c = 0; c < 2; ++c) {
        std::fill(m_yule[c].begin(), m_yule[c].end(), 0.0f);
        std::fill(m_butter[c].begin(), m_butter[c].end(), 0.0f);
    }
    m_sum[0] = m_sum[1] = 0.0;
    m_blockCount = 0;
}

int GainAnalysis::AnalyzeSamples(const float* left, const float* right, unsigned long count, int channels) {
    if (count == 0) return 1;
    if (channels != 1 && channels != 2) return 0;
    if (channels == 1) right = left;
    if (count == 1) {
        // The player's way, one frame per call: the same arithmetic without the general path's bookkeeping.
        if (usable(left[0]) && usable(right[0])) analyzeFrame(left[0], right[0]);
        return 1;
    }
    // Runs of usable frames go through as they are; a frame with a NaN or an infinity would stay in the
    // filters' history for good.
    size_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        if (usable(left[i]) && usable(right[i])) continue;
        if (i > start) analyze(left + start, right + start, i - start);
        start = i + 1;
    }
    if (start < count) analyze(left + start, right + start, count - start);
    return 1;
}

void GainAnalysis::analyze(const float* left, const float* right, size_t count) {
    const float* in[2] = {left, right};
    // The first samples of the call follow the stored history, so the filters see one continuous signal.
    const size_t head = std::min(count, size_t(kOrder));
    for (int c = 0; c < 2; ++c)
        std::copy(in[c], in[c] + head, m_input[c] + kOrder);

    size_t position = 0;
    while (position < count) {
        size_t run = std::min(count - position, m_blockLength - m_blockCount);
        const float* source[2];
        if (position < size_t(kOrder)) {
            run = std::min(run, size_t(kOrder) - position);
            for (int c = 0; c < 2; ++c)
                source[c] = m_input[c] + kOrder + position;
        } else {
            for (int c = 0; c < 2; ++c)
                source[c] = in[c] + position;
        }
        float* yuleL = m_yule[0].data() + kOrder + m_blockCount;
        float* yuleR = m_yule[1].data() + kOrder + m_blockCount;
        float* butterL = m_butter[0].data() + kOrder + m_blockCount;
        float* butterR = m_butter[1].data() + kOrder + m_blockCount;
        filterStereo<10>(source[0], source[1], yuleL, yuleR, run, kYule[m_rateIndex]);
        filterStereo<2>(yuleL, yuleR, butterL, butterR, run, kButter[m_rateIndex]);
        double sumL = 0.0, sumR = 0.0;
        for (size_t i = 0; i < run; ++i) {
            sumL += double(butterL[i]) * butterL[i];
            sumR += double(butterR[i]) * butterR[i];
        }
        m_sum[0] += sumL;
        m_sum[1] += sumR;
        position += run;
        m_blockCount += run;
        if (m_blockCount == m_blockLength) closeBlock();
    }

    // Keep the last kOrder input samples for the next call.
    for (int c = 0; c < 2; ++c) {
        if (count < size_t(kOrder)) {
            std::copy(m_input[c] + count, m_input[c] + kOrder, m_input[c]);
            std::copy(in[c], in[c] + count, m_input[c] + kOrder - count);
        } else {
            std::copy(in[c] + count - kOrder, in[c] + count, m_input[c]);
        }
    }
}

void GainAnalysis::analyzeFrame(float left, float right) {
    m_input[0][kOrder] = left;
    m_input[1][kOrder] = right;
    float* yuleL = m_yule[0].data() + kOrder + m_blockCount;
    float* yuleR = m_yule[1].data() + kOrder + m_blockCount;
    float* butterL = m_butter[0].data() + kOrder + m_blockCount;
    float* butterR = m_butter[1].data() + kOrder + m_blockCount;
    filterStereo<10>(m_input[0] + kOrder, m_input[1] + kOrder, yuleL, yuleR, 1, kYule[m_rateIndex]);
    filterStereo<2>(yuleL, yuleR, butterL, butterR, 1, kButter[m_rateIndex]);
    m_sum[0] += double(*butterL) * *butterL;
    m_sum[1] += double(*butterR) * *butterR;
    if (++m_blockCount == m_blockLength) closeBlock();
    // The frame joins the history: the general path's copies, for one frame.
    std::memmove(m_input[0], m_input[0] + 1, kOrder * sizeof(float));
    std::memmove(m_input[1], m_input[1] + 1, kOrder * sizeof(float));
}

void GainAnalysis::closeBlock() {
    const double level = 1000.0 * std::log10((m_sum[0] + m_sum[1]) / double(m_blockLength) * 0.5 + 1e-37);
    int step = 0;
    if (level >= kHistogramSize - 1)
        step = kHistogramSize - 1;
    else if (level > 0.0)
        step = int(level);
    ++m_title[size_t(step)];
    m_sum[0] = m_sum[1] = 0.0;
    for (int c = 0; c < 2; ++c) {
        std::copy(m_yule[c].end() - kOrder, m_yule[c].end(), m_yule[c].begin());
        std::copy(m_butter[c].end() - kOrder, m_butter[c].end(), m_butter[c].begin());
    }
    m_blockCount = 0;
}

float GainAnalysis::gainFromHistogram(const uint32_t* histogram) {
    uint64_t total = 0;
    for (int i = 0; i < kHistogramSize; ++i)
        total += histogram[i];
    if (total == 0) return 0.0f;
    // The loudness that 5 % of the blocks reach.
    int64_t upper = int64_t(std::ceil(double(total) * (1.0 - 0.95)));
    int i = kHistogramSize - 1;
    for (; i > 0; --i) {
        upper -= histogram[i];
        if (upper <= 0) break;
    }
    return kReferenceLevel - float(i) / 100.0f;
}

float GainAnalysis::GetTitleGain() {
    const float gain = gainFromHistogram(m_title.data());
    for (int i = 0; i < kHistogramSize; ++i) {
        m_album[size_t(i)] += m_title[size_t(i)];
        m_title[size_t(i)] = 0;
    }
    clearFilters();
    return gain;
}

float GainAnalysis::GetAlbumGain() {
    return gainFromHistogram(m_album.data());
}
