// ReplayGain analysis over arbitrary sample values (NaN, infinities, huge values), rates, channel counts and
// call sizes.
#include "analysis/GainAnalysis.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    static const long rates[] = {48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 96000, 7};
    GainAnalysis gain(rates[data[0] % 11]);
    const int channels = data[1] % 4;
    const size_t chunk = 1 + data[2] % 64;
    std::vector<float> samples((size - 3) / sizeof(float));
    // An input shorter than one sample leaves the vector empty, and memcpy from its null data is undefined.
    if (samples.empty()) return 0;
    std::memcpy(samples.data(), data + 3, samples.size() * sizeof(float));
    const size_t frames = samples.size() / 2;
    const float* left = samples.data();
    const float* right = samples.data() + frames;
    // Repeat the input so that whole 50 ms blocks complete.
    for (int pass = 0; pass < 8; ++pass)
        for (size_t i = 0; i < frames; i += chunk) {
            size_t n = frames - i < chunk ? frames - i : chunk;
            gain.AnalyzeSamples(left + i, right + i, n, channels);
        }
    gain.GetTitleGain();
    gain.GetAlbumGain();
    return 0;
}
