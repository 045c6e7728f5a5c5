// Beat-run search over arbitrary beat lists: intervals, gaps, repeated and out-of-order times, any tempo range.
#include "analysis/bpm_beatlist.h"
#include "analysis/bpm_wavelist.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // Header: tempo range and list length.
    const int minBPM = 20 + data[0];
    const int maxBPM = minBPM + 1 + data[1];
    const int nbBeats = 1 + data[2] % 160;
    const bool calculateEach = data[3] & 1;
    bpm_beatlist list(minBPM, maxBPM, nbBeats, 0.9f, true);
    bpm_wavelist band(minBPM, maxBPM, 1.0 + data[3] % 4, 12);
    double t = 0;
    for (size_t i = 4; i + 2 <= size; i += 2) {
        uint16_t v;
        std::memcpy(&v, data + i, 2);
        // Mostly forward steps; the top bit sends the time back.
        t += (v & 0x8000) ? -double(v & 0x7fff) : double(v);
        list.AddBeat(t, calculateEach, float(v & 0xff));
        band.AddSample(t, (v & 0x3ff) / 256.0);
    }
    list.calculate();
    return 0;
}
