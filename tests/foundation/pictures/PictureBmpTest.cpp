#include "PictureTestUtil.h"

#include "foundation/Picture.h"

#include <gtest/gtest.h>

using namespace pictest;

namespace {

// An RLE8 file of the given size: a palette whose entry i is (blue i, green 2i, red 3i, reserved 0),
// then the given stream.
Bytes rle8(int32_t w, int32_t h, const Bytes& stream) {
    Bytes body(1024, 0);
    for (int i = 0; i < 256; ++i) {
        body[size_t(i) * 4] = uint8_t(i);
        body[size_t(i) * 4 + 1] = uint8_t(2 * i);
        body[size_t(i) * 4 + 2] = uint8_t(3 * i);
    }
    body.insert(body.end(), stream.begin(), stream.end());
    return bmp(w, h, 8, 1, body, 54 + 1024);
}
uint32_t paletteColour(unsigned i) {
    return bgra(i & 255, (2 * i) & 255, (3 * i) & 255, 0);
}

} // namespace

TEST(PictureBmp, FixturesMatchTheReferenceDecode) {
    struct Case {
        const char* name;
        bool alpha;
        TRANSPARENCY_MODE mode; // after load
    } cases[] = {
        {"bmp24_w1.bmp", false, TRANSPARENCY_OPAQUE}, {"bmp24_w3.bmp", false, TRANSPARENCY_OPAQUE},
        {"bmp24_w4.bmp", false, TRANSPARENCY_OPAQUE}, {"bmp32_onoff.bmp", true, TRANSPARENCY_ONOFF},
        {"rle8.bmp", false, TRANSPARENCY_OPAQUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CPicture p;
        ASSERT_TRUE(p.load(fixture(c.name)));
        EXPECT_EQ(p.transparencyMode, c.mode);
        EXPECT_EQ(maxDifference(p, readBytes(fixture(std::string(c.name) + ".rgba")), c.alpha), 0);
    }
}

TEST(PictureBmp, PartialAlphaEndsPremultipliedInModeThree) {
    CPicture raw, p;
    ASSERT_TRUE(raw.loadFromBMP(fixture("bmp32_partial.bmp")));
    EXPECT_EQ(raw.transparencyMode, TRANSPARENCY_ALPHA);
    ASSERT_TRUE(p.load(fixture("bmp32_partial.bmp")));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_PREMULTIPLIED_INVERTED);
    const unsigned char* r = raw.pixelAt(2, 1);
    ASSERT_EQ(r[3], 128);
    EXPECT_EQ(px(p, 2, 1), bgra(r[0] * 129 / 256, r[1] * 129 / 256, r[2] * 129 / 256, 127));
    const unsigned char* clear = raw.pixelAt(0, 0); // alpha 0: colour gone, alpha byte 255
    ASSERT_EQ(clear[3], 0);
    EXPECT_EQ(px(p, 0, 0), bgra(0, 0, 0, 255));
}

TEST(PictureBmp, RowsAreBottomUpAndPadded) {
    // 3 x 2, 24-bit: rows of 9 bytes padded to 12, the bottom row first.
    Bytes rows = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE, 0xEE, 0xEE, 11, 12, 13, 14, 15, 16, 17, 18, 19, 0xEE, 0xEE, 0xEE};
    CPicture p;
    ASSERT_TRUE(p.loadFromBMPMemory(bmp(3, 2, 24, 0, rows).data(), 54 + rows.size()));
    EXPECT_EQ(px(p, 0, 1), bgra(1, 2, 3, 255));
    EXPECT_EQ(px(p, 2, 1), bgra(7, 8, 9, 255));
    EXPECT_EQ(px(p, 0, 0), bgra(11, 12, 13, 255));

    // The same rows stored top row first (negative height).
    ASSERT_TRUE(p.loadFromBMPMemory(bmp(3, -2, 24, 0, rows).data(), 54 + rows.size()));
    EXPECT_EQ(p.height, 2);
    EXPECT_EQ(px(p, 0, 0), bgra(1, 2, 3, 255));

    // A pixel offset beyond 54 skips the bytes in between.
    Bytes skipped = {0xAA, 0xAA};
    skipped.insert(skipped.end(), rows.begin(), rows.end());
    Bytes file = bmp(3, 2, 24, 0, skipped, 56);
    ASSERT_TRUE(p.loadFromBMPMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 0, 1), bgra(1, 2, 3, 255));
}

TEST(PictureBmp, MalformedHeadersLoadNothing) {
    Bytes row(12, 7);
    Bytes whole = bmp(3, 1, 24, 0, row);
    struct Case {
        const char* what;
        Bytes file;
    } cases[] = {
        {"width 0", bmp(0, 1, 24, 0, row)},
        {"negative width", bmp(-3, 1, 24, 0, row)},
        {"height 0", bmp(3, 0, 24, 0, row)},
        {"pixel offset inside the headers", bmp(3, 1, 24, 0, row, 20)},
        {"pixel offset 0", bmp(3, 1, 32, 0, row, 0)},
        {"information header of 108 bytes", bmp(3, 1, 24, 0, row, 54, 108)},
        {"16 bits", bmp(3, 1, 16, 0, row)},
        {"bit fields", bmp(3, 1, 32, 3, row)},
        {"RLE4", bmp(3, 1, 4, 2, row)},
        {"top-down RLE8", bmp(3, -1, 8, 1, row)},
        {"side beyond the limit", bmp(100000, 1, 24, 0, row)},
        {"2^31 pixels", bmp(65536, 32768, 24, 0, row)},
        {"minimum height", bmp(3, INT32_MIN, 24, 0, row)},
        {"headers cut short", Bytes(whole.begin(), whole.begin() + 40)},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        CPicture p;
        ASSERT_TRUE(p.create(5, 5));
        EXPECT_FALSE(p.loadFromBMPMemory(c.file.data(), c.file.size()));
        EXPECT_EQ(p.width, 0);
        EXPECT_EQ(p.pixels, nullptr);
    }
    Bytes bad = bmp(3, 1, 24, 0, row);
    bad[0] = 'X';
    CPicture p;
    EXPECT_FALSE(p.loadFromBMPMemory(bad.data(), bad.size()));
}

TEST(PictureBmp, ShortPixelDataIsZeroFilled) {
    // 2 x 3, 32-bit, only the bottom row and half of the next present.
    Bytes body = {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255};
    Bytes file = bmp(2, 3, 32, 0, body);
    CPicture p;
    ASSERT_TRUE(p.loadFromBMPMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 0, 2), bgra(1, 2, 3, 255));
    EXPECT_EQ(px(p, 0, 1), bgra(7, 8, 9, 255));
    EXPECT_EQ(px(p, 1, 1), 0u);
    EXPECT_EQ(px(p, 0, 0), 0u);
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_ONOFF); // the zeros are transparent, not garbage

    // Pixel offset past the end of the file: a black picture of the header's size.
    Bytes past = bmp(2, 2, 24, 0, {}, 4000);
    ASSERT_TRUE(p.loadFromBMPMemory(past.data(), past.size()));
    EXPECT_EQ(p.width, 2);
    EXPECT_EQ(px(p, 1, 1), 0u);
}

TEST(PictureBmp, ThirtyTwoBitsWithAllAlphasZeroIsOpaque) {
    Bytes body = {10, 20, 30, 0, 40, 50, 60, 0};
    Bytes file = bmp(2, 1, 32, 0, body);
    CPicture p;
    ASSERT_TRUE(p.loadFromBMPMemory(file.data(), file.size()));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_OPAQUE);
    EXPECT_EQ(px(p, 1, 0), bgra(40, 50, 60, 255));

    body[3] = 255; // one opaque pixel: the zero is meant
    file = bmp(2, 1, 32, 0, body);
    ASSERT_TRUE(p.loadFromBMPMemory(file.data(), file.size()));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_ONOFF);
    EXPECT_EQ(px(p, 1, 0), bgra(40, 50, 60, 0));
}

TEST(PictureBmp, Rle8RunsDeltasAndLineEnds) {
    // 4 x 3. Bottom row: run of 2 x index 5, absolute run 7 8 9 (odd: one pad byte). End of line.
    // Middle row: delta 1 right, 1 up (to the top row, x 1), run of 2 x index 3. End of bitmap.
    Bytes stream = {2, 5, 0, 3, 7, 8, 9, 0, 0, 0, 0, 2, 1, 1, 2, 3, 0, 1};
    Bytes file = rle8(4, 3, stream);
    CPicture p;
    ASSERT_TRUE(p.loadFromBMPMemory(file.data(), file.size()));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_OPAQUE);
    EXPECT_EQ(px(p, 0, 2), paletteColour(5));
    EXPECT_EQ(px(p, 1, 2), paletteColour(5));
    EXPECT_EQ(px(p, 2, 2), paletteColour(7));
    EXPECT_EQ(px(p, 3, 2), paletteColour(8)); // index 9 ran past the row: not written
    EXPECT_EQ(px(p, 0, 1), 0u);               // skipped by the delta: zero
    EXPECT_EQ(px(p, 1, 0), paletteColour(3));
    EXPECT_EQ(px(p, 2, 0), paletteColour(3));
    EXPECT_EQ(px(p, 3, 0), 0u);
}

TEST(PictureBmp, Rle8WritesStayInsideThePicture) {
    struct Case {
        const char* what;
        Bytes stream;
    } cases[] = {
        {"run far past the row end", {255, 1, 255, 1, 255, 1}},
        {"line ends above the top row, then runs", {0, 0, 0, 0, 0, 0, 0, 0, 200, 2, 0, 5, 1, 2, 3, 4, 5, 0}},
        {"delta beyond the top", {0, 2, 0, 255, 100, 4}},
        {"delta beyond the right edge", {0, 2, 255, 0, 0, 2, 255, 0, 10, 7}},
        {"absolute run cut by the end of the file", {0, 200, 1, 2}},
        {"delta cut by the end of the file", {0, 2, 1}},
        {"count without index", {5}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = rle8(3, 2, c.stream);
        CPicture p;
        ASSERT_TRUE(p.loadFromBMPMemory(file.data(), file.size()));
        EXPECT_EQ(p.width, 3);
        EXPECT_EQ(p.height, 2);
    }
    // A palette cut short by the end of the file reads as zero entries.
    Bytes shortFile = bmp(2, 1, 8, 1, Bytes(8, 0x40), 54 + 1024);
    CPicture p;
    ASSERT_TRUE(p.loadFromBMPMemory(shortFile.data(), shortFile.size()));
    EXPECT_EQ(px(p, 0, 0), 0u);

    // A palette of 2 entries (pixel offset 62): the stream starts at the offset.
    Bytes small = {1, 2, 3, 0, 4, 5, 6, 0, 2, 1, 0, 1};
    Bytes file = bmp(2, 1, 8, 1, small, 62);
    ASSERT_TRUE(p.loadFromBMPMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 1, 0), bgra(4, 5, 6, 0));
}
