// A 24-bit BMP picture's bytes, for tests that give the program pictures (skin art, covers).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace testsupport {

// `colour(x, y)` gives 0x00RRGGBB, y from the top.
inline std::string bmpBytes(int width, int height, const std::function<unsigned int(int x, int y)>& colour) {
    const int rowBytes = (width * 3 + 3) & ~3;
    const size_t dataSize = size_t(rowBytes) * size_t(height);
    std::string file(54 + dataSize, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (size_t i = 0; i < 4; ++i)
            file[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<uint32_t>(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));
    file[26] = 1;
    file[28] = 24;
    put32(34, static_cast<uint32_t>(dataSize));
    for (int y = 0; y < height; ++y) {
        const size_t row = 54 + size_t(height - 1 - y) * size_t(rowBytes); // bottom-up
        for (int x = 0; x < width; ++x) {
            const unsigned int c = colour(x, y);
            for (size_t k = 0; k < 3; ++k)
                file[row + size_t(x) * 3 + k] = static_cast<char>((c >> (8 * k)) & 0xFF);
        }
    }
    return file;
}

} // namespace testsupport
