// Measures of a resampled read: a logarithmic sine sweep over the whole input band, the power spectrum of a
// stretch of output, and what folds back into the audible band, against a tone of the signal's amplitude.
// Shared by the player's tests and the resampling benchmark.
#pragma once

#include "dsp/fftsg.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace testsupport {

const double kAudibleHz = 20000; // what lands above it is out of hearing

struct Sweep {
    double rate = 44100;          // Hz
    double from = 20, to = 22000; // Hz: up to the top of the input band
    double seconds = 4;
    double amplitude = 16384; // 16-bit scale

    int frames() const { return int(rate * seconds); }
    // Instantaneous frequency at a file frame, Hz.
    double frequencyAt(double frame) const { return from * std::exp(frame / rate / seconds * std::log(to / from)); }
    // Stereo frames, the same on both channels.
    std::vector<short> stereo() const {
        const double k = std::log(to / from), pi = 3.14159265358979323846;
        std::vector<short> v(size_t(frames()) * 2);
        for (int i = 0; i < frames(); ++i) {
            const double t = i / rate;
            const double phase = 2 * pi * from * seconds / k * (std::exp(t / seconds * k) - 1);
            v[size_t(2 * i)] = v[size_t(2 * i + 1)] = short(std::lround(amplitude * std::sin(phase)));
        }
        return v;
    }
};

inline double dB(double powerRatio) {
    return 10 * std::log10(powerRatio + 1e-30);
}

// The power spectrum of `W` samples of `x` from `first` (W a power of two): bins 0 .. W/2 - 1, rate / W Hz each,
// scaled so that a tone of amplitude A gives A^2 / 2 summed over the bins it covers. Windowed by a 4-term
// Blackman-Harris window (a tone covers 4 bins each side, its leakage beyond them stays below -92 dB), or not at
// all (exact for tones that fit the W samples a whole number of times).
inline std::vector<double> powerSpectrum(const std::vector<float>& x, size_t first, int W, bool windowed) {
    const double pi = 3.14159265358979323846;
    const size_t n = size_t(W);
    std::vector<double> buffer(n), table(n / 2), power(n / 2);
    std::vector<int> ip(2 + 64, 0);
    double windowEnergy = 0;
    for (int i = 0; i < W; ++i) {
        const double t = 2 * pi * i / (W - 1);
        const double w =
            windowed ? 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t) : 1.0;
        buffer[size_t(i)] = double(x[first + size_t(i)]) * w;
        windowEnergy += w * w;
    }
    rdft(W, 1, buffer.data(), ip.data(), table.data());
    for (int b = 1; b < W / 2; ++b) {
        const double re = buffer[size_t(2 * b)], im = buffer[size_t(2 * b + 1)];
        power[size_t(b)] = 2 * (re * re + im * im) / (W * windowEnergy);
    }
    return power;
}

// `out` holds the left channel of the sweep read at `speed` file frames per output frame (output frame n reads
// file frame start + n x speed), at the sweep's own rate. In windows of 4,096 frames from output frame `skip`
// on, 1,024 apart, while they stay inside the sweep: the energy in the audible band outside the sweep's own
// band (its frequencies over the window times the speed, with 6 bins of margin each side; none where that lies
// above the output's half rate, since nothing belongs there). The worst window, in dB against a tone of the
// sweep's amplitude.
inline double worstFoldBack(const std::vector<float>& out, const Sweep& sweep, double speed, double start,
                            int skip = 0) {
    const int W = 4096, hop = 1024;
    const double binWidth = sweep.rate / W;
    const int audible = int(kAudibleHz / binWidth);
    double worst = 0;
    for (int first = skip; first + W <= int(out.size()); first += hop) {
        const double fileFirst = start + first * speed, fileLast = start + (first + W) * speed;
        if (fileLast >= sweep.frames()) break;
        const std::vector<double> p = powerSpectrum(out, size_t(first), W, true);
        const int low = int(sweep.frequencyAt(fileFirst) * speed / binWidth) - 6;
        const int high = int(sweep.frequencyAt(fileLast) * speed / binWidth) + 7;
        double outside = 0;
        for (int b = 1; b <= audible; ++b)
            if (b < low || b > high) outside += p[size_t(b)];
        worst = std::max(worst, outside);
    }
    return dB(worst / (sweep.amplitude * sweep.amplitude / 2));
}

} // namespace testsupport
