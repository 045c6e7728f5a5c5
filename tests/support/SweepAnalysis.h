// A logarithmic sine sweep and the measure of what a resampled copy of it holds outside the band it should
// occupy: aliases, images and interpolation error, as energy against a tone of the sweep's amplitude. Shared
// by the player's tests and the resampling benchmark.
#pragma once

#include "dsp/fftsg.h"

#include <cmath>
#include <vector>

namespace testsupport {

struct Sweep {
    double rate = 44100;          // Hz
    double from = 20, to = 20000; // Hz
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

// `out` holds the left channel of the sweep read at `speed` file frames per output frame, output frame n
// reading file frame start + n x speed, at the sweep's own rate. Windows of 4,096 frames (4-term
// Blackman-Harris, so leakage stays below -90 dB) from output frame `skip` on, 1,024 apart, while they stay
// inside the sweep. In each, the bins of the sweep's frequency over the window times the speed (with 6 bins of
// margin each side) are its band; nothing is expected where that lies above the output's half rate. The
// energy outside the band, summed over the windows, against the energy of a tone of the sweep's amplitude
// over the same windows; dB.
inline double outOfBandEnergy(const std::vector<float>& out, const Sweep& sweep, double speed, double start,
                              int skip = 0) {
    const int W = 4096, hop = 1024;
    const double pi = 3.14159265358979323846;
    std::vector<double> window(W), buffer(W), table(W / 2);
    std::vector<int> ip(2 + 64, 0);
    double windowEnergy = 0;
    for (int i = 0; i < W; ++i) {
        const double x = 2 * pi * i / (W - 1);
        window[size_t(i)] = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
        windowEnergy += window[size_t(i)] * window[size_t(i)];
    }
    const double binWidth = sweep.rate / W;
    double outside = 0, reference = 0;
    for (int first = skip; first + W <= int(out.size()); first += hop) {
        const double fileFirst = start + first * speed, fileLast = start + (first + W) * speed;
        if (fileLast >= sweep.frames()) break;
        for (int i = 0; i < W; ++i)
            buffer[size_t(i)] = out[size_t(first + i)] * window[size_t(i)];
        rdft(W, 1, buffer.data(), ip.data(), table.data());
        const int low = int(sweep.frequencyAt(fileFirst) * speed / binWidth) - 6;
        const int high = int(sweep.frequencyAt(fileLast) * speed / binWidth) + 7;
        for (int b = 1; b < W / 2; ++b) {
            if (b >= low && b <= high) continue;
            const double re = buffer[size_t(2 * b)], im = buffer[size_t(2 * b + 1)];
            outside += 2 * (re * re + im * im) / W;
        }
        reference += sweep.amplitude * sweep.amplitude / 2 * windowEnergy;
    }
    return reference > 0 ? 10 * std::log10(outside / reference + 1e-30) : 0;
}

} // namespace testsupport
