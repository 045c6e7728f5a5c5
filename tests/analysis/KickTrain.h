// Kick-drum-like test signals at a known tempo: a low sine burst with a 2 ms attack and a decay of about
// 100 ms, placed at round(i x 60 x rate / tempo) so rounding never accumulates.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

struct KickTrain {
    double rate = 44100; // Hz
    double bpm = 120;
    double seconds = 30;
    double startSecond = 0;      // first kick
    double frequency = 70;       // Hz of the burst
    int skipEvery = 0;           // every n-th kick left out (0: none)
    double jitterMs = 0;         // each kick moved by up to this much, either way
    bool offbeatHats = false;    // a short noise burst half way between kicks
    double noiseDb = -1;         // white noise this many dB below the kicks' level (negative: none)
    std::vector<double> accents; // gains applied to the kicks in turn (empty: all 1)

    // Adds the kicks into `out` (mono, 16-bit scale), growing it as needed.
    void addTo(std::vector<float>& out) const {
        const size_t total = size_t((startSecond + seconds) * rate);
        if (out.size() < total) out.resize(total, 0.0f);
        uint32_t seed = 12345;
        auto random = [&seed] { // -1 .. 1, repeatable
            seed = seed * 1664525u + 1013904223u;
            return double(seed >> 8) / double(1u << 23) - 1.0;
        };
        const double pi = 3.14159265358979323846;
        const long first = std::lround(startSecond * rate);
        const long end = long(total);
        for (int i = 0;; ++i) {
            long at = first + std::lround(i * 60.0 * rate / bpm);
            if (jitterMs > 0) at += std::lround(random() * jitterMs * rate / 1000);
            if (at >= end) break;
            if (skipEvery > 0 && i % skipEvery == skipEvery - 1) continue;
            const double gain = accents.empty() ? 1.0 : accents[size_t(i) % accents.size()];
            for (long k = 0; k < long(0.3 * rate) && at + k < end; ++k) {
                if (at + k < 0) continue;
                const double t = k / rate;
                const double envelope = (1 - std::exp(-t / 0.002)) * std::exp(-t / 0.04);
                out[size_t(at + k)] += float(20000 * gain * envelope * std::sin(2 * pi * frequency * t));
            }
            if (offbeatHats) {
                const long hat = at + std::lround(30.0 * rate / bpm);
                for (long k = 0; k < long(0.03 * rate) && hat + k < end; ++k)
                    out[size_t(hat + k)] += float(4000 * std::exp(-(k / rate) / 0.005) * random());
            }
        }
        if (noiseDb >= 0) {
            double power = 0;
            for (size_t i = size_t(first); i < total; ++i)
                power += double(out[i]) * out[i];
            const double amplitude = std::sqrt(power / double(total - size_t(first)) * 3) * std::pow(10, -noiseDb / 20);
            for (size_t i = size_t(first); i < total; ++i)
                out[i] += float(amplitude * random());
        }
    }

    std::vector<float> make() const {
        std::vector<float> v;
        addTo(v);
        return v;
    }
};
