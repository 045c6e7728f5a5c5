// Arbitrary input into the timecode decoder: the first bytes choose the record type, the pitch method, the
// band filters, the gain and the wait flag; the rest are 16-bit stereo frames, each repeated a few times so
// that peaks, codes and searches of every kind are reached, or, with bit 2 of the fourth byte, pairs of raw
// floats of any value a sound device could hand over (not numbers, infinities, absurd sizes). Every ring and
// register read must stay inside, and no value that is not a number may reach the results.
#include "audio/vinyl/FinalScratch.h"
#include "audio/vinyl/TimecodeCodes.h"

#include <cmath>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool tables = false;
    if (!tables) {
        // Small tables, so that lookups find something now and then.
        tables = true;
        for (int type : {0, 1, 2, 5, 6}) {
            FinalScratch::initCodes(type, 4096);
            for (int i = 0; i < 4096; ++i)
                FinalScratch::addCode(type, i, i + 1, type == 0 ? 0 : i % 3, 1000 + 24 * i);
        }
    }
    if (size < 4) return 0;
    FinalScratch fs(data[0] & 1 ? 96000 : 44100);
    fs.setParameter(20, data[0] >> 1 & 7);
    fs.setParameter(27, data[1] % 3);
    fs.setParameter(24, data[1] >> 2 & 1);
    fs.setParameter(25, data[1] >> 3 & 1);
    fs.setParameter(19, data[2] / 32.0);
    fs.setParameter(21, data[3] & 1 ? 10 : 350);
    fs.setParameter(16, data[3] & 2 ? 1.5 : 1.0);
    const int repeat = 1 + (data[3] >> 4);
    const bool floats = data[3] & 4;
    const size_t frameBytes = floats ? 8 : 4;
    for (size_t at = 4; at + frameBytes <= size; at += frameBytes) {
        float lr[2];
        if (floats) {
            std::memcpy(lr, data + at, sizeof lr);
        } else {
            int16_t v[2];
            std::memcpy(v, data + at, sizeof v);
            lr[0] = v[0];
            lr[1] = v[1];
        }
        for (int i = 0; i < repeat; ++i)
            fs.calculate(lr[0], lr[1]);
        if (at % 4096 < frameBytes) fs.setParameter(23, 1);
    }
    if (!std::isfinite(fs.getTime()) || !std::isfinite(fs.getPitch()) || !std::isfinite(fs.getParameter(8)) ||
        !std::isfinite(fs.getParameter(13))) {
        // A pitch from peaks is always finite; a time too.
        __builtin_trap();
    }
    for (int id = 0; id < 30; ++id)
        (void)fs.getParameter(id, id * 100);
    return 0;
}
