// Helpers of the picture tests: fixture paths, byte files and crafted BMP files.
#pragma once

#include "support/TempDir.h"
#include "foundation/Picture.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace pictest {

using Bytes = std::vector<unsigned char>;

inline std::string fixture(const std::string& name) {
    return std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/pictures/" + name;
}

inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("pictures") {}
};

inline void put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// File and information headers of a BMP, followed by `body` (palette and pixel data).
inline Bytes bmp(int32_t width, int32_t height, int bits, int compression, const Bytes& body, uint32_t offset = 54,
                 uint32_t infoSize = 40) {
    Bytes b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, uint32_t(54 + body.size()));
    put32(b, 10, offset);
    put32(b, 14, infoSize);
    put32(b, 18, uint32_t(width));
    put32(b, 22, uint32_t(height));
    put16(b, 26, 1);
    put16(b, 28, uint32_t(bits));
    put32(b, 30, uint32_t(compression));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

// Pixel (x, y) of a picture as B, G, R, A in one value (blue in the lowest byte).
inline uint32_t px(const CPicture& p, int x, int y) {
    const unsigned char* q = p.pixelAt(x, y);
    return uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16 | uint32_t(q[3]) << 24;
}
inline uint32_t bgra(unsigned b, unsigned g, unsigned r, unsigned a) {
    return b | g << 8 | r << 16 | a << 24;
}

// Largest difference of the colour channels of a picture and a reference in R, G, B, A order
// (alpha compared too when withAlpha); -1 when the sizes differ.
inline int maxDifference(const CPicture& p, const Bytes& rgba, bool withAlpha) {
    if (rgba.size() != size_t(p.width) * size_t(p.height) * 4) return -1;
    int worst = 0;
    for (size_t i = 0; i < rgba.size(); i += 4) {
        const unsigned char* q = p.pixels + i;
        int d[4] = {std::abs(int(q[2]) - rgba[i]), std::abs(int(q[1]) - rgba[i + 1]), std::abs(int(q[0]) - rgba[i + 2]),
                    withAlpha ? std::abs(int(q[3]) - rgba[i + 3]) : 0};
        for (int v : d)
            worst = v > worst ? v : worst;
    }
    return worst;
}

// Lowers the picture size limit for one test and restores it after.
struct SizeLimit {
    size_t saved;
    explicit SizeLimit(size_t bytes) : saved(CPicture::maxBytes()) { CPicture::setMaxBytes(bytes); }
    ~SizeLimit() { CPicture::setMaxBytes(saved); }
};

} // namespace pictest
