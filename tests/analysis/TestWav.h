// Writes 16-bit stereo WAV files for the peers that tests and benchmarks compare with.
#pragma once

#include "../support/Wav.h"

#include <string>
#include <vector>

// Samples on the 16-bit scale, rounded and clipped. Returns false when the file cannot be written.
inline bool writeStereoWav(const std::string& path, const std::vector<float>& left, const std::vector<float>& right,
                           int rate) {
    std::vector<float> stereo;
    stereo.reserve(2 * left.size());
    for (size_t i = 0; i < left.size(); ++i)
        for (float x : {left[i], right[i]})
            stereo.push_back(x / 32768.0f);
    return testsupport::writeWav(path, stereo, testsupport::WavTags(), rate);
}
