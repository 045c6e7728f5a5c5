// A PNG writer for crafted files, zlib streams, and libpng's decoding as the reference.
#pragma once

#include "PictureTestUtil.h"

#include <csetjmp>
#include <cstring>
#include <string>

#include <png.h>
#include <zlib.h>

namespace pictest {

struct PngSpec {
    uint32_t width, height;
    int colourType, depth;
    bool adam7;
    Bytes palette; // PLTE bytes, red green blue per entry
    Bytes trns;    // tRNS bytes as stored
};

inline Bytes trnsGrey(unsigned v) {
    return {uint8_t(v >> 8), uint8_t(v)};
}
inline Bytes trnsRGB(unsigned r, unsigned g, unsigned b) {
    return {uint8_t(r >> 8), uint8_t(r), uint8_t(g >> 8), uint8_t(g), uint8_t(b >> 8), uint8_t(b)};
}
inline Bytes greyPalette(int n) {
    Bytes p;
    for (int i = 0; i < n; ++i)
        p.insert(p.end(), {uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 13 + 5)});
    return p;
}

inline int channelsOf(int type) {
    return type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
}

// Bytes of one pixel in the "raw" layout the writer takes: one byte per sample below 8 bits (its
// value in range), 1 or 2 bytes per channel otherwise.
inline size_t rawPixelBytes(const PngSpec& s) {
    return size_t(channelsOf(s.colourType)) * (s.depth == 16 ? 2 : 1);
}

// A raw image of varied samples, reaching every palette entry and the tRNS sample now and then.
inline Bytes noisyRaw(const PngSpec& s) {
    Bytes raw(size_t(s.width) * s.height * rawPixelBytes(s));
    unsigned limit = s.depth < 8 ? 1u << s.depth : 256;
    if (s.colourType == 3) limit = std::min<unsigned>(limit, unsigned(s.palette.size() / 3));
    uint32_t x = 12345;
    for (size_t i = 0; i < raw.size(); ++i) {
        x = x * 1103515245 + 12345;
        raw[i] = uint8_t((x >> 16) % limit);
    }
    // Every fifth pixel is the transparent sample of a grey or RGB tRNS.
    size_t pb = rawPixelBytes(s);
    if (s.colourType != 3 && s.trns.size() >= 2 * size_t(channelsOf(s.colourType))) {
        for (size_t k = 0; k * pb < raw.size(); k += 5) {
            unsigned char* p = &raw[k * pb];
            for (int c = 0; c < channelsOf(s.colourType); ++c) {
                if (s.depth == 16)
                    std::memcpy(p + 2 * c, &s.trns[size_t(2 * c)], 2);
                else
                    p[c] = uint8_t(s.trns[size_t(2 * c + 1)] % limit);
            }
        }
    }
    return raw;
}

// The scanlines of one pass (or the whole image) with filter types cycling 0..4.
inline void appendFiltered(const PngSpec& s, const Bytes& raw, uint32_t x0, uint32_t y0, uint32_t dx, uint32_t dy,
                           Bytes& out) {
    if (x0 >= s.width || y0 >= s.height) return;
    uint32_t pw = (s.width - x0 + dx - 1) / dx, ph = (s.height - y0 + dy - 1) / dy;
    size_t bitsPerPixel = size_t(channelsOf(s.colourType)) * size_t(s.depth);
    size_t rowBytes = (pw * bitsPerPixel + 7) / 8, bpp = bitsPerPixel >= 8 ? bitsPerPixel / 8 : 1;
    Bytes prev(rowBytes, 0), cur(rowBytes);
    for (uint32_t r = 0; r < ph; ++r) {
        std::fill(cur.begin(), cur.end(), 0);
        for (uint32_t c = 0; c < pw; ++c) {
            const unsigned char* p = &raw[((y0 + r * dy) * size_t(s.width) + x0 + c * dx) * rawPixelBytes(s)];
            if (s.depth < 8) {
                size_t bit = c * size_t(s.depth);
                cur[bit / 8] |= uint8_t(p[0] << (8 - s.depth - bit % 8));
            } else {
                std::memcpy(&cur[c * bpp], p, bpp);
            }
        }
        int type = int(r % 5);
        out.push_back(uint8_t(type));
        for (size_t i = 0; i < rowBytes; ++i) {
            int a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], cc = i >= bpp ? prev[i - bpp] : 0;
            int pr = a + b - cc, pa = std::abs(pr - a), pb = std::abs(pr - b), pc = std::abs(pr - cc);
            int pred = type == 0   ? 0
                       : type == 1 ? a
                       : type == 2 ? b
                       : type == 3 ? (a + b) / 2
                                   : (pa <= pb && pa <= pc ? a
                                      : pb <= pc           ? b
                                                           : cc);
            out.push_back(uint8_t(cur[i] - pred));
        }
        prev = cur;
    }
}

inline Bytes filtered(const PngSpec& s, const Bytes& raw) {
    Bytes out;
    if (!s.adam7) {
        appendFiltered(s, raw, 0, 0, 1, 1, out);
        return out;
    }
    const uint32_t x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
    const uint32_t dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; ++p)
        appendFiltered(s, raw, x0[p], y0[p], dx[p], dy[p], out);
    return out;
}

inline Bytes zlibCompress(const Bytes& data, int level) {
    uLongf n = compressBound(uLong(data.size()));
    Bytes out(n);
    compress2(out.data(), &n, data.data(), uLong(data.size()), level);
    out.resize(n);
    return out;
}

// A raw deflate stream (no zlib header), with fixed codes only when asked.
inline Bytes rawDeflate(const Bytes& data, bool fixedCodes) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, fixedCodes ? Z_FIXED : Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, uLong(data.size())) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline void appendChunk(Bytes& file, const char* type, const Bytes& data) {
    uint32_t n = uint32_t(data.size());
    file.insert(file.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data.begin(), data.end());
    uint32_t crc = uint32_t(crc32(0, &file[start], uInt(file.size() - start)));
    file.insert(file.end(), {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
}

inline Bytes ihdr(const PngSpec& s) {
    return {uint8_t(s.width >> 24),
            uint8_t(s.width >> 16),
            uint8_t(s.width >> 8),
            uint8_t(s.width),
            uint8_t(s.height >> 24),
            uint8_t(s.height >> 16),
            uint8_t(s.height >> 8),
            uint8_t(s.height),
            uint8_t(s.depth),
            uint8_t(s.colourType),
            0,
            0,
            uint8_t(s.adam7 ? 1 : 0)};
}

inline Bytes pngSignature() {
    return {137, 80, 78, 71, 13, 10, 26, 10};
}

// A whole file around a zlib stream, cut into IDAT chunks of at most idatMax bytes (0: one chunk).
inline Bytes writePngStream(const PngSpec& s, const Bytes& stream, size_t idatMax = 0) {
    Bytes file = pngSignature();
    appendChunk(file, "IHDR", ihdr(s));
    if (!s.palette.empty()) appendChunk(file, "PLTE", s.palette);
    if (!s.trns.empty()) appendChunk(file, "tRNS", s.trns);
    size_t step = idatMax ? idatMax : std::max<size_t>(stream.size(), 1);
    for (size_t i = 0; i < stream.size(); i += step)
        appendChunk(file, "IDAT",
                    Bytes(stream.begin() + long(i), stream.begin() + long(std::min(stream.size(), i + step))));
    appendChunk(file, "IEND", {});
    return file;
}

inline Bytes writePng(const PngSpec& s, const Bytes& raw) {
    return writePngStream(s, zlibCompress(filtered(s, raw), 6));
}

// libpng's decoding to RGBA 8 bits: palettes and grey expanded, tRNS as alpha, 16 bits cut to
// their high byte. Empty when libpng refuses the file.
struct LibpngReader {
    const Bytes* data;
    size_t pos;
};
inline void libpngRead(png_structp png, png_bytep out, png_size_t n) {
    LibpngReader* r = static_cast<LibpngReader*>(png_get_io_ptr(png));
    if (r->pos + n > r->data->size()) png_error(png, "end of data");
    std::memcpy(out, r->data->data() + r->pos, n);
    r->pos += n;
}
inline Bytes libpngDecodeInto(png_structp png, png_infop info, int* w, int* h) {
    Bytes out;
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    *w = int(png_get_image_width(png, info));
    *h = int(png_get_image_height(png, info));
    out.resize(size_t(*w) * size_t(*h) * 4);
    std::vector<png_bytep> rows(static_cast<size_t>(*h));
    for (int y = 0; y < *h; ++y)
        rows[size_t(y)] = &out[size_t(y) * size_t(*w) * 4];
    png_read_image(png, rows.data());
    return out;
}
inline Bytes libpngDecode(const Bytes& file, int* w, int* h) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    LibpngReader reader{&file, 0};
    png_set_read_fn(png, &reader, libpngRead);
    Bytes out;
    if (setjmp(png_jmpbuf(png)) == 0)
        out = libpngDecodeInto(png, info, w, h);
    else
        out.clear();
    png_destroy_read_struct(&png, &info, nullptr);
    return out;
}

inline long firstDifference(const Bytes& a, const Bytes& b) {
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        if (a[i] != b[i]) return long(i);
    return a.size() == b.size() ? -1 : long(std::min(a.size(), b.size()));
}

} // namespace pictest
