// The PNG decoder against libpng, on ImageMagick's files and on files written here.
#include "PictureTestUtil.h"
#include "PngTestUtil.h"

#include "foundation/Picture.h"
#include "foundation/PngDecoder.h"

#include <gtest/gtest.h>

using namespace pictest;

namespace {

// Our decode of a PNG held in memory, as RGBA (the decoder's own result, before the picture).
Bytes ourDecode(const Bytes& file, int* w, int* h) {
    RawPngDecoder d;
    if (d.DecodeMemory(file.data(), file.size()) != 1 || !d.result) return Bytes();
    *w = d.width;
    *h = d.height;
    return Bytes(d.result, d.result + size_t(d.width) * size_t(d.height) * 4);
}

} // namespace

TEST(PictureVsPng, EverySupportedTypeMatchesLibpng) {
    for (const char* name :
         {"grey1.png", "grey2.png", "grey4.png", "grey8.png", "rgb8.png", "rgb16.png", "palette1.png", "palette2.png",
          "palette4.png", "palette8.png", "greyalpha8.png", "rgba8.png", "rgba8-adam7.png", "palette4-adam7.png",
          "grey1-adam7.png", "palette-trns.png"}) {
        SCOPED_TRACE(name);
        Bytes file = readBytes(fixture(name));
        ASSERT_FALSE(file.empty());
        int w = 0, h = 0, rw = 0, rh = 0;
        Bytes ours = ourDecode(file, &w, &h);
        Bytes ref = libpngDecode(file, &rw, &rh);
        ASSERT_FALSE(ref.empty());
        EXPECT_EQ(w, rw);
        EXPECT_EQ(h, rh);
        EXPECT_TRUE(ours == ref) << "first difference at byte " << firstDifference(ours, ref);
    }
}

TEST(PictureVsPng, WrittenFilesWithTransparencyAndOddWidthsMatchLibpng) {
    struct Case {
        const char* what;
        PngSpec spec;
    } cases[] = {
        {"grey 8 with tRNS", {9, 4, 0, 8, false, {}, trnsGrey(77)}},
        {"grey 1, width 13, with tRNS", {13, 3, 0, 1, false, {}, trnsGrey(1)}},
        {"grey 2, width 5", {5, 3, 0, 2, false, {}, {}}},
        {"grey 4, width 7, Adam7", {7, 9, 0, 4, true, {}, {}}},
        {"RGB 8 with tRNS", {6, 5, 2, 8, false, {}, trnsRGB(10, 20, 30)}},
        {"RGB 16 with tRNS", {6, 5, 2, 16, false, {}, trnsRGB(0x1234, 0x5678, 0x9ABC)}},
        {"palette 1, width 11", {11, 3, 3, 1, false, greyPalette(2), {}}},
        {"palette 2, width 3, Adam7", {3, 10, 3, 2, true, greyPalette(4), {}}},
        {"palette 4, width 5, tRNS [0]", {5, 4, 3, 4, false, greyPalette(16), {0}}},
        {"palette 8, tRNS [255, 255, 0]", {8, 8, 3, 8, false, greyPalette(200), {255, 255, 0}}},
        {"grey + alpha, Adam7, 1 x 1", {1, 1, 4, 8, true, {}, {}}},
        {"RGBA, Adam7, 9 x 9", {9, 9, 6, 8, true, {}, {}}},
        {"RGBA, Adam7, 2 x 2 (passes without pixels)", {2, 2, 6, 8, true, {}, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = writePng(c.spec, noisyRaw(c.spec));
        int w = 0, h = 0, rw = 0, rh = 0;
        Bytes ours = ourDecode(file, &w, &h);
        Bytes ref = libpngDecode(file, &rw, &rh);
        ASSERT_FALSE(ref.empty());
        ASSERT_EQ(w, rw);
        EXPECT_TRUE(ours == ref) << "first difference at byte " << firstDifference(ours, ref);
    }
}

TEST(PictureVsPng, PaletteRulesOfOurOwn) {
    // A tRNS longer than the palette (libpng drops it): its first entries still count.
    PngSpec spec{4, 1, 3, 8, false, greyPalette(3), Bytes(300, 9)};
    int w = 0, h = 0;
    Bytes ours = ourDecode(writePng(spec, {0, 1, 2, 1}), &w, &h);
    ASSERT_EQ(ours.size(), 16u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ours[size_t(i) * 4 + 3], 9);

    // An index beyond the palette leaves its pixel unwritten: all zero.
    spec.trns.clear();
    ours = ourDecode(writePng(spec, {0, 3, 250, 2}), &w, &h);
    ASSERT_EQ(ours.size(), 16u);
    EXPECT_EQ(ours[3], 255);
    for (size_t i = 4; i < 12; ++i)
        EXPECT_EQ(ours[i], 0) << i;
    EXPECT_EQ(ours[15], 255);
}

TEST(PictureVsPng, SplitDataAndMixedBlocksDecodeAsOneStream) {
    PngSpec spec{16, 12, 6, 8, false, {}, {}};
    Bytes raw = noisyRaw(spec);
    Bytes stream = zlibCompress(filtered(spec, raw), 9);
    int rw = 0, rh = 0;
    Bytes ref = libpngDecode(writePngStream(spec, stream), &rw, &rh);

    // The same stream cut into IDAT chunks of 1 to 7 bytes.
    int w = 0, h = 0;
    EXPECT_TRUE(ourDecode(writePngStream(spec, stream, 7), &w, &h) == ref);
    EXPECT_TRUE(ourDecode(writePngStream(spec, stream, 1), &w, &h) == ref);

    // A stored block, then a fixed-code block, then dynamic ones.
    Bytes rows = filtered(spec, raw);
    Bytes mixed = {0x78, 0x01};
    size_t head = 100;
    mixed.push_back(0); // BFINAL 0, stored
    mixed.insert(mixed.end(), {uint8_t(head), uint8_t(head >> 8), uint8_t(~head), uint8_t(~head >> 8)});
    mixed.insert(mixed.end(), rows.begin(), rows.begin() + long(head));
    Bytes tail = rawDeflate(Bytes(rows.begin() + long(head), rows.end()), true);
    mixed.insert(mixed.end(), tail.begin(), tail.end());
    EXPECT_TRUE(ourDecode(writePngStream(spec, mixed), &w, &h) == ref);
}

TEST(PictureVsPng, PicturesTakeTheDecodedPixelsWithModesAndRowFlags) {
    // 1 x 1 RGBA with alpha 128: mode 3 after load.
    PngSpec one{1, 1, 6, 8, false, {}, {}};
    TempDir dir;
    writeBytes(dir.path + "half.png", writePng(one, {200, 100, 50, 128}));
    CPicture p;
    ASSERT_TRUE(p.load(dir.path + "half.png"));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_PREMULTIPLIED_INVERTED);
    EXPECT_EQ(px(p, 0, 0), bgra(50 * 129 / 256, 100 * 129 / 256, 200 * 129 / 256, 127));

    // Rows: opaque, clear, mixed; the picture is on/off.
    PngSpec three{2, 3, 6, 8, false, {}, {}};
    Bytes raw = {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 0, 1, 1, 1, 0, 9, 9, 9, 0, 8, 8, 8, 255};
    writeBytes(dir.path + "rows.Png", writePng(three, raw));
    ASSERT_TRUE(p.load(dir.path + "rows.Png"));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_ONOFF);
    EXPECT_EQ(p.rowFlags[0], uint32_t(ROW_OPAQUE));
    EXPECT_EQ(p.rowFlags[1], uint32_t(ROW_TRANSPARENT));
    EXPECT_EQ(p.rowFlags[2], uint32_t(ROW_MIXED));
    EXPECT_EQ(px(p, 1, 0), bgra(6, 5, 4, 255));

    // An Adam7 RGBA picture equals its plain form.
    CPicture plain, adam7;
    ASSERT_TRUE(plain.load(fixture("rgba8.png")));
    ASSERT_TRUE(adam7.load(fixture("rgba8-adam7.png")));
    ASSERT_EQ(plain.byteSize(), adam7.byteSize());
    EXPECT_EQ(std::memcmp(plain.pixels, adam7.pixels, plain.byteSize()), 0);
    EXPECT_EQ(plain.transparencyMode, TRANSPARENCY_PREMULTIPLIED_INVERTED);
}
