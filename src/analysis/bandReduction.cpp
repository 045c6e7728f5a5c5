#include "analysis/bandReduction.h"

#include <atomic>
#include <cmath>

namespace {

const int kCount16[16] = {2, 2, 3, 4, 5, 7, 9, 11, 14, 17, 21, 30, 35, 40, 50, 59};
const int kCount32[32] = {1, 1, 1, 1, 1,  2,  2,  2,  2,  3,  3,  4,  4,  5,  5,  6,
                          6, 8, 8, 9, 10, 11, 12, 14, 15, 17, 18, 20, 21, 24, 25, 26};

// Program-wide running maxima. Relaxed atomics: two analysers may age the same band at once and one update
// may be lost, which only nudges a display scale; there is no torn value and no data race.
std::atomic<double> max16[16];
std::atomic<double> max32[32];

std::atomic<double>* maximaFor(int nbBands) {
    return nbBands == 16 ? max16 : nbBands == 32 ? max32 : nullptr;
}

} // namespace

int vis_GetSpectrumCount(int band, int nbBands) {
    if (band < 0) return 0;
    if (nbBands == 16 && band < 16) return kCount16[band];
    if (nbBands == 32 && band < 32) return kCount32[band];
    return 0;
}

void vis_SimplifySpectrum(const float* spectrum, float* out, int nbBands) {
    std::atomic<double>* maxima = maximaFor(nbBands);
    if (!maxima) return;
    const int* counts = nbBands == 16 ? kCount16 : kCount32;
    int bin = 1;
    for (int b = 0; b < nbBands; ++b) {
        double maximum = maxima[b].load(std::memory_order_relaxed);
        maximum = maximum > 65000.0 ? 64000.0 : maximum * 0.9995;
        double sum = 0.0;
        for (int i = 0; i < counts[b]; ++i)
            sum += spectrum[bin++];
        if (sum > 0.0) {
            double v = std::sqrt(sum);
            if (v > maximum) maximum = v;
            out[b] = maximum > 0.0 ? float(v / maximum) : 0.0f;
        } else {
            out[b] = 0.0f;
        }
        maxima[b].store(maximum, std::memory_order_relaxed);
    }
}

double vis_GetSpectrumMaximum(int band, int nbBands) {
    std::atomic<double>* maxima = maximaFor(nbBands);
    if (!maxima || band < 0 || band >= nbBands) return 0.0;
    return maxima[band].load(std::memory_order_relaxed);
}

void vis_ResetSpectrumMaxima() {
    for (auto& m : max16)
        m.store(0.0, std::memory_order_relaxed);
    for (auto& m : max32)
        m.store(0.0, std::memory_order_relaxed);
}
