// Measures of recorded sound for the end-to-end tests: level per channel pair, the power in a
// frequency band, and the frequency of a tone, all from the spectrum averaged over Hann windows.
#pragma once

#include "dsp/fftsg.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace testsupport {

// dB against a full-scale sine; -200 for silence.
inline double powerDb(double power) {
    return power > 1e-20 ? 10 * std::log10(power / 0.5) : -200;
}

// RMS level of a channel pair in dB against a full-scale sine.
inline double levelDb(const std::vector<float>& left, const std::vector<float>& right) {
    double sum = 0;
    for (size_t i = 0; i < left.size() && i < right.size(); ++i)
        sum += double(left[i]) * left[i] + double(right[i]) * right[i];
    const size_t n = std::min(left.size(), right.size());
    return n ? powerDb(sum / double(2 * n)) : -200;
}

inline double peakOf(const std::vector<float>& x) {
    double peak = 0;
    for (float v : x)
        peak = std::max(peak, double(std::fabs(v)));
    return peak;
}

// The power spectrum of a signal averaged over Hann windows of `size` frames (a power of two) spread
// evenly from its first frame to its last, overlapping by half or more, scaled so that the bins of a
// sine of amplitude A sum to A^2 / 2.
struct Spectrum {
    double rate = 44100, binHz = 0;
    std::vector<double> power;

    Spectrum(const std::vector<float>& x, double sampleRate, int size = 8192) : rate(sampleRate) {
        const int n = size;
        binHz = rate / n;
        power.assign(size_t(n / 2), 0.0);
        std::vector<double> window(static_cast<size_t>(n)), buffer(static_cast<size_t>(n)),
            table(static_cast<size_t>(n / 2));
        std::vector<int> ip(2 + 128, 0);
        double windowEnergy = 0;
        for (int i = 0; i < n; ++i) {
            window[size_t(i)] = 0.5 - 0.5 * std::cos(2 * M_PI * i / n);
            windowEnergy += window[size_t(i)] * window[size_t(i)];
        }
        const int windows = x.size() < size_t(n) ? 0 : int((x.size() - size_t(n)) / size_t(n / 2)) + 2;
        for (int w = 0; w < windows; ++w) {
            const size_t first = (x.size() - size_t(n)) * size_t(w) / size_t(windows - 1);
            for (int i = 0; i < n; ++i)
                buffer[size_t(i)] = x[first + size_t(i)] * window[size_t(i)];
            rdft(n, 1, buffer.data(), ip.data(), table.data());
            for (int b = 1; b < n / 2; ++b) {
                const double re = buffer[size_t(2 * b)], im = buffer[size_t(2 * b + 1)];
                power[size_t(b)] += 2 * (re * re + im * im) / (double(n) * windowEnergy);
            }
        }
        for (double& p : power)
            p = windows ? p / windows : 0;
    }
    // Power between two frequencies (Hz), dB against a full-scale sine.
    double bandDb(double low, double high) const {
        double sum = 0;
        for (size_t b = std::max<size_t>(1, size_t(low / binHz)); b < power.size() && b * binHz <= high; ++b)
            sum += power[b];
        return powerDb(sum);
    }
    // The frequency of the strongest tone between two frequencies (Hz), interpolated between bins; 0 when
    // the band is silent.
    double toneHz(double low, double high) const {
        size_t best = 0;
        for (size_t b = std::max<size_t>(2, size_t(low / binHz)); b + 1 < power.size() && b * binHz <= high; ++b)
            if (best == 0 || power[b] > power[best]) best = b;
        if (best == 0 || power[best] <= 1e-20) return 0;
        const double a = std::log(power[best - 1] + 1e-30), c = std::log(power[best + 1] + 1e-30),
                     m = std::log(power[best]);
        const double denominator = a - 2 * m + c;
        const double shift = denominator < 0 ? 0.5 * (a - c) / denominator : 0;
        return (double(best) + shift) * binHz;
    }
};

// The median over slices of `slice` frames (a power of two, half overlapping) of a band's level (dB):
// a click in one slice (a dropout of a loaded machine) does not count.
inline double medianBandDb(const std::vector<float>& x, double rate, double low, double high, int slice = 4096) {
    std::vector<double> levels;
    for (size_t first = 0; first + size_t(slice) <= x.size(); first += size_t(slice / 2))
        levels.push_back(
            Spectrum(std::vector<float>(x.begin() + long(first), x.begin() + long(first) + slice), rate, slice)
                .bandDb(low, high));
    if (levels.empty()) return -200;
    std::nth_element(levels.begin(), levels.begin() + long(levels.size() / 2), levels.end());
    return levels[levels.size() / 2];
}

// The mid signal (left + right) / 2 of a pair.
inline std::vector<float> mid(const std::vector<float>& left, const std::vector<float>& right) {
    std::vector<float> m(std::min(left.size(), right.size()));
    for (size_t i = 0; i < m.size(); ++i)
        m[i] = 0.5f * (left[i] + right[i]);
    return m;
}

} // namespace testsupport
