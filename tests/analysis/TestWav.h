// Writes 16-bit stereo WAV files for the peers that tests and benchmarks compare with.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Samples on the 16-bit scale, rounded and clipped. Returns false when the file cannot be written.
inline bool writeStereoWav(const std::string& path, const std::vector<float>& left, const std::vector<float>& right,
                           int rate) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const uint32_t frames = uint32_t(left.size()), bytes = frames * 4;
    auto u32 = [f](uint32_t v) { std::fwrite(&v, 4, 1, f); };
    auto u16 = [f](uint16_t v) { std::fwrite(&v, 2, 1, f); };
    std::fwrite("RIFF", 1, 4, f);
    u32(36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    u32(16), u16(1), u16(2), u32(uint32_t(rate)), u32(uint32_t(rate) * 4), u16(4), u16(16);
    std::fwrite("data", 1, 4, f);
    u32(bytes);
    std::vector<int16_t> block;
    block.reserve(2 * frames);
    for (uint32_t i = 0; i < frames; ++i)
        for (float x : {left[i], right[i]})
            block.push_back(int16_t(std::lround(std::fmax(-32768.0f, std::fmin(32767.0f, x)))));
    const bool ok = std::fwrite(block.data(), 2, block.size(), f) == block.size();
    return std::fclose(f) == 0 && ok;
}
