#include "PictureTestUtil.h"

#include "foundation/Picture.h"

#include <climits>
#include <cstring>

#include <gtest/gtest.h>

using namespace pictest;

namespace {

// A picture whose pixel (x, y) is (blue x, green y, red tag, alpha a).
void pattern(CPicture& p, int w, int h, unsigned tag, unsigned a = 255) {
    ASSERT_TRUE(p.create(w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* q = p.pixelAt(x, y);
            q[0] = (unsigned char)x;
            q[1] = (unsigned char)y;
            q[2] = (unsigned char)tag;
            q[3] = (unsigned char)a;
        }
}

} // namespace

TEST(PictureBlit, ClippingCopiesExactlyThePixelsInsideBothPictures) {
    struct Case {
        int x, y, w, h, sx, sy;
    } cases[] = {
        {2, 1, 3, 2, 1, 1},       {0, 0, 100, 100, 0, 0},   {-2, -1, 4, 3, 0, 0},   {3, 2, 4, 3, -3, -1},
        {-2, 1, 5, 3, -1, -2},    {8, 6, 5, 5, 0, 0},       {0, 0, 3, 3, 4, 3},     {9, 7, 1, 1, 5, 4},
        {10, 0, 2, 2, 0, 0},      {0, 8, 2, 2, 0, 0},       {0, 0, 2, 2, 6, 0},     {0, 0, 2, 2, 0, 5},
        {2, 2, 0, 3, 0, 0},       {2, 2, -4, 3, 0, 0},      {-20, -20, 5, 5, 0, 0}, {0, 0, INT_MAX, INT_MAX, 1, 1},
        {INT_MIN, 0, 5, 5, 0, 0}, {0, 0, 5, 5, INT_MIN, 0},
    };
    CPicture src;
    pattern(src, 6, 5, 200);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.w << "x" << c.h << " from " << c.sx << ","
                                        << c.sy);
        CPicture dst;
        ASSERT_TRUE(dst.create(10, 8));
        std::memset(dst.pixels, 0xEE, dst.byteSize());
        CPicture::bitblt(&dst, c.x, c.y, c.w, c.h, &src, c.sx, c.sy);
        for (int ty = 0; ty < 8; ++ty)
            for (int tx = 0; tx < 10; ++tx) {
                long i = long(tx) - c.x, j = long(ty) - c.y;
                long sx = c.sx + i, sy = c.sy + j;
                bool inside = i >= 0 && j >= 0 && i < c.w && j < c.h && sx >= 0 && sy >= 0 && sx < 6 && sy < 5;
                uint32_t want = inside ? bgra(unsigned(sx), unsigned(sy), 200, 255) : 0xEEEEEEEEu;
                ASSERT_EQ(px(dst, tx, ty), want) << "at " << tx << "," << ty;
            }
    }
    // Missing or empty pictures: nothing, no crash.
    CPicture empty, dst;
    ASSERT_TRUE(dst.create(2, 2));
    CPicture::bitblt(&dst, 0, 0, 2, 2, &empty, 0, 0);
    CPicture::bitblt(&empty, 0, 0, 2, 2, &src, 0, 0);
    CPicture::bitblt(nullptr, 0, 0, 2, 2, &src, 0, 0);
    CPicture::bitblt(&dst, 0, 0, 2, 2, nullptr, 0, 0);
}

TEST(PictureBlit, EachModeBlendsByItsFormula) {
    struct Case {
        TRANSPARENCY_MODE mode;
        unsigned s, a, d; // one channel of source, source alpha byte, target
        unsigned want;
    } cases[] = {
        {TRANSPARENCY_OPAQUE, 10, 77, 200, 10},
        {TRANSPARENCY_ONOFF, 10, 255, 200, 10},
        {TRANSPARENCY_ONOFF, 10, 0, 200, 200},
        {TRANSPARENCY_ONOFF, 10, 1, 200, 10}, // any alpha but 0 copies
        {TRANSPARENCY_ALPHA, 100, 128, 200, (100 * 129 + 200 * 127) / 256},
        {TRANSPARENCY_ALPHA, 100, 255, 200, 100},
        {TRANSPARENCY_ALPHA, 100, 0, 200, (100 + 200 * 255) / 256},
        {TRANSPARENCY_PREMULTIPLIED_INVERTED, 50, 127, 200, 200 * 127 / 256 + 50},
        {TRANSPARENCY_PREMULTIPLIED_INVERTED, 0, 255, 200, 200 * 255 / 256},
        {TRANSPARENCY_PREMULTIPLIED_INVERTED, 255, 255, 255, 255}, // clamped
        {TRANSPARENCY_PREMULTIPLIED, 50, 128, 200, (200 * 127 + 127) / 255 + 50},
        {TRANSPARENCY_PREMULTIPLIED, 90, 255, 200, 90},
        {TRANSPARENCY_PREMULTIPLIED, 0, 0, 200, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " s " << c.s << " a " << c.a << " d " << c.d);
        CPicture src, dst;
        ASSERT_TRUE(src.create(1, 1));
        ASSERT_TRUE(dst.create(1, 1));
        src.transparencyMode = c.mode;
        std::memset(src.pixels, int(c.s), 3);
        src.pixels[3] = (unsigned char)c.a;
        std::memset(dst.pixels, int(c.d), 3);
        dst.pixels[3] = 33;
        dst.transparencyMode = TRANSPARENCY_ONOFF;
        dst.rowFlags[0] = ROW_OPAQUE;
        dst.bitblt(0, 0, 1, 1, &src, 0, 0);
        EXPECT_EQ(px(dst, 0, 0), bgra(c.want, c.want, c.want, c.mode == TRANSPARENCY_OPAQUE ? c.a : 33));
        // The target's own mode and row flags never change.
        EXPECT_EQ(dst.transparencyMode, TRANSPARENCY_ONOFF);
        EXPECT_EQ(dst.rowFlags[0], uint32_t(ROW_OPAQUE));
    }
}

TEST(PictureBlit, CopyWithinOnePictureReadsTheOriginalPixels) {
    for (TRANSPARENCY_MODE mode : {TRANSPARENCY_OPAQUE, TRANSPARENCY_ONOFF, TRANSPARENCY_ALPHA,
                                   TRANSPARENCY_PREMULTIPLIED_INVERTED, TRANSPARENCY_PREMULTIPLIED}) {
        struct Shift {
            int dx, dy;
        } shifts[] = {{2, 1}, {-2, -1}, {1, -2}, {-1, 2}, {0, 0}};
        for (Shift s : shifts) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " shift " << s.dx << "," << s.dy);
            CPicture self, original, expected;
            pattern(self, 8, 6, 90, 128);
            pattern(original, 8, 6, 90, 128);
            pattern(expected, 8, 6, 90, 128);
            self.transparencyMode = original.transparencyMode = mode;
            self.bitblt(2 + s.dx, 2 + s.dy, 4, 3, &self, 2, 2);
            expected.bitblt(2 + s.dx, 2 + s.dy, 4, 3, &original, 2, 2);
            ASSERT_EQ(std::memcmp(self.pixels, expected.pixels, self.byteSize()), 0);
        }
    }
}

TEST(PictureBlit, FillRectangleTakesCornersInAnyOrderAndExcludesTheFarEnd) {
    struct Case {
        int x1, y1, x2, y2;
        int left, top, right, bottom; // filled area, exclusive right and bottom
    } cases[] = {
        {10, 10, 5, 5, 5, 5, 10, 10}, {5, 5, 10, 10, 5, 5, 10, 10},     {10, 5, 5, 10, 5, 5, 10, 10},
        {-4, -4, 3, 2, 0, 0, 3, 2},   {14, 11, 30, 30, 14, 11, 16, 12}, {3, 3, 3, 9, 0, 0, 0, 0},
        {20, 0, 30, 5, 0, 0, 0, 0},   {0, 0, 16, 12, 0, 0, 16, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x1 << "," << c.y1 << " - " << c.x2 << "," << c.y2);
        CPicture p;
        ASSERT_TRUE(p.create(16, 12));
        std::memset(p.pixels, 0, p.byteSize());
        p.fillRectangle(c.x1, c.y1, c.x2, c.y2, 0x00112233, 77);
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 16; ++x) {
                bool in = x >= c.left && x < c.right && y >= c.top && y < c.bottom;
                ASSERT_EQ(px(p, x, y), in ? bgra(0x11, 0x22, 0x33, 77) : 0u) << x << "," << y;
            }
    }
    CPicture p;
    ASSERT_TRUE(p.create(2, 1));
    p.fillRectangle(0, 0, 2, 1, 0x00FF8040); // the short form is opaque
    EXPECT_EQ(px(p, 1, 0), bgra(0xFF, 0x80, 0x40, 255));
    CPicture empty;
    empty.fillRectangle(0, 0, 5, 5, 0); // nothing to fill, no crash
}
