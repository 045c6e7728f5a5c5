// Software copying between pictures and rectangle fills.
#include "foundation/Picture.h"

#include "foundation/PictureClip.h"

#include <cstring>
#include <vector>

bool clipBlit(const CPicture* dst, const CPicture* src, BlitRect& r) {
    if (!dst || !src || dst->width <= 0 || dst->height <= 0 || src->width <= 0 || src->height <= 0) return false;
    // 64-bit arithmetic: callers pass sizes such as INT_MAX for "everything".
    int64_t x = r.x, y = r.y, w = r.w, h = r.h, sx = r.sx, sy = r.sy;
    if (sx + w > src->width) w = src->width - sx;
    if (x + w > dst->width) w = dst->width - x;
    if (sy + h > src->height) h = src->height - sy;
    if (y + h > dst->height) h = dst->height - y;
    if (sx < 0) {
        x -= sx;
        w += sx;
        sx = 0;
    }
    if (sy < 0) {
        y -= sy;
        h += sy;
        sy = 0;
    }
    if (x < 0) {
        sx -= x;
        w += x;
        x = 0;
    }
    if (y < 0) {
        sy -= y;
        h += y;
        y = 0;
    }
    if (w <= 0 || h <= 0 || sx >= src->width || sy >= src->height || x >= dst->width || y >= dst->height) return false;
    r = BlitRect{int(x), int(y), int(w), int(h), int(sx), int(sy)};
    return true;
}

void CPicture::bitblt(CPicture* dst, int x, int y, int w, int h, CPicture* src, int sx, int sy) {
    BlitRect r{x, y, w, h, sx, sy};
    if (!clipBlit(dst, src, r) || !dst->pixels || !src->pixels) return;
    dst->touch();
    size_t rowBytes = size_t(r.w) * 4;

    if (src->transparencyMode == TRANSPARENCY_OPAQUE) {
        // Whole rows, alpha included; a copy within one picture runs away from the overlap.
        bool upwards = src == dst && r.sy < r.y;
        for (int i = 0; i < r.h; ++i) {
            int row = upwards ? r.h - 1 - i : i;
            std::memmove(dst->pixelAt(r.x, r.y + row), src->pixelAt(r.sx, r.sy + row), rowBytes);
        }
        return;
    }

    // Blending reads the target while writing it: a block copied within one picture is read from
    // a copy of itself.
    std::vector<unsigned char> copy;
    size_t srcStride = size_t(src->width) * 4;
    const unsigned char* s0 = src->pixelAt(r.sx, r.sy);
    if (src == dst) {
        copy.resize(rowBytes * size_t(r.h));
        for (int i = 0; i < r.h; ++i)
            std::memcpy(&copy[rowBytes * size_t(i)], src->pixelAt(r.sx, r.sy + i), rowBytes);
        s0 = copy.data();
        srcStride = rowBytes;
    }

    for (int i = 0; i < r.h; ++i) {
        const unsigned char* s = s0 + srcStride * size_t(i);
        unsigned char* d = dst->pixelAt(r.x, r.y + i);
        switch (src->transparencyMode) {
        case TRANSPARENCY_ONOFF:
            for (int j = 0; j < r.w; ++j, s += 4, d += 4) {
                if (s[3]) {
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                }
            }
            break;
        case TRANSPARENCY_ALPHA:
            for (int j = 0; j < r.w; ++j, s += 4, d += 4) {
                unsigned a = s[3];
                for (int c = 0; c < 3; ++c)
                    d[c] = (unsigned char)((s[c] * (a + 1) + d[c] * (255 - a)) >> 8);
            }
            break;
        case TRANSPARENCY_PREMULTIPLIED_INVERTED:
            // The stored alpha is already 255 - alpha: it is the share of the target that shows.
            for (int j = 0; j < r.w; ++j, s += 4, d += 4) {
                unsigned keep = s[3];
                for (int c = 0; c < 3; ++c) {
                    unsigned v = ((d[c] * keep) >> 8) + s[c];
                    d[c] = (unsigned char)(v > 255 ? 255 : v);
                }
            }
            break;
        case TRANSPARENCY_PREMULTIPLIED:
            // Premultiplied "over", as the screen draws it.
            for (int j = 0; j < r.w; ++j, s += 4, d += 4) {
                unsigned keep = 255 - s[3];
                for (int c = 0; c < 3; ++c) {
                    unsigned v = (d[c] * keep + 127) / 255 + s[c];
                    d[c] = (unsigned char)(v > 255 ? 255 : v);
                }
            }
            break;
        default:
            break;
        }
    }
}

void CPicture::fillRectangle(int x1, int y1, int x2, int y2, unsigned int colour, unsigned char alpha) {
    if (!pixels) return;
    if (x2 < x1) std::swap(x1, x2);
    if (y2 < y1) std::swap(y1, y2);
    if (x1 < 0) x1 = 0;
    if (y1 < 0) y1 = 0;
    if (x2 > width) x2 = width;
    if (y2 > height) y2 = height;
    if (x1 >= x2 || y1 >= y2) return;
    touch();
    unsigned char px[4] = {(unsigned char)(colour >> 16), (unsigned char)(colour >> 8), (unsigned char)colour, alpha};
    unsigned char* first = pixelAt(x1, y1);
    for (int x = x1; x < x2; ++x)
        std::memcpy(first + size_t(x - x1) * 4, px, 4);
    size_t rowBytes = size_t(x2 - x1) * 4;
    for (int y = y1 + 1; y < y2; ++y)
        std::memcpy(pixelAt(x1, y), first, rowBytes);
}

CPicture* CPicture::copyArea(int x, int y, int w, int h) const {
    auto copy = std::make_unique<CPicture>();
    if (!copy->create(w, h)) return nullptr;
    std::memset(copy->pixels, 0, size_t(copy->width) * size_t(copy->height) * 4);
    BlitRect r{0, 0, copy->width, copy->height, x, y};
    if (pixels && clipBlit(copy.get(), this, r))
        for (int row = 0; row < r.h; ++row)
            std::memcpy(copy->pixelAt(r.x, r.y + row), pixelAt(r.sx, r.sy + row), size_t(r.w) * 4);
    copy->transparencyMode = pixels ? transparencyMode : TRANSPARENCY_OPAQUE;
    return copy.release(); // the caller's
}
