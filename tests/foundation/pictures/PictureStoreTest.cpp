#include "PictureTestUtil.h"

#include "foundation/Picture.h"

#include <cstring>

#include <gtest/gtest.h>

using namespace pictest;

TEST(PictureStore, CreateClampsSidesAndRefusesOversizedPictures) {
    CPicture p;
    EXPECT_TRUE(p.create(0, -5));
    EXPECT_EQ(p.width, 1);
    EXPECT_EQ(p.height, 1);
    EXPECT_EQ(p.rowFlags[0], uint32_t(ROW_MIXED));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_OPAQUE);

    ASSERT_TRUE(p.create(3, 7));
    for (int y = 0; y < 7; ++y)
        EXPECT_EQ(p.rowFlags[y], uint32_t(ROW_MIXED));

    // Too large a side, or too many bytes: refused, and the old content is gone too.
    EXPECT_FALSE(p.create(CPicture::kMaxSide + 1, 1));
    EXPECT_EQ(p.width, 0);
    EXPECT_EQ(p.pixels, nullptr);
    EXPECT_FALSE(p.create(100000, 100000)); // 4e10 bytes: no int overflow on the way
    EXPECT_EQ(p.height, 0);
    {
        SizeLimit limit(64 * 64 * 4);
        EXPECT_TRUE(p.create(64, 64));
        EXPECT_FALSE(p.create(64, 65));
        EXPECT_EQ(p.width, 0);
    }
    EXPECT_TRUE(p.create(CPicture::kMaxSide, 2));

    p.transparencyMode = TRANSPARENCY_PREMULTIPLIED;
    p.close();
    EXPECT_EQ(p.width, 0);
    EXPECT_EQ(p.height, 0);
    EXPECT_EQ(p.pixels, nullptr);
    EXPECT_EQ(p.rowFlags, nullptr);
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_OPAQUE);
}

TEST(PictureStore, ClassificationFollowsTheAlphas) {
    struct Case {
        std::vector<unsigned char> alphas; // one row each of two pixels
        TRANSPARENCY_MODE mode;
        std::vector<uint32_t> flags;
    } cases[] = {
        {{255, 255, 255, 255}, TRANSPARENCY_OPAQUE, {ROW_OPAQUE, ROW_OPAQUE}},
        {{255, 0, 255, 255}, TRANSPARENCY_ONOFF, {ROW_MIXED, ROW_OPAQUE}},
        {{0, 0, 255, 255}, TRANSPARENCY_ONOFF, {ROW_TRANSPARENT, ROW_OPAQUE}},
        {{0, 0, 255, 128}, TRANSPARENCY_ALPHA, {ROW_TRANSPARENT, ROW_MIXED}},
        {{1, 255, 255, 255}, TRANSPARENCY_ALPHA, {ROW_MIXED, ROW_OPAQUE}},
        {{254, 0, 0, 0}, TRANSPARENCY_ALPHA, {ROW_MIXED, ROW_TRANSPARENT}},
    };
    for (const Case& c : cases) {
        CPicture p;
        ASSERT_TRUE(p.create(2, 2));
        for (int i = 0; i < 4; ++i)
            p.pixels[i * 4 + 3] = c.alphas[size_t(i)];
        p.classifyTransparency(false);
        EXPECT_EQ(p.transparencyMode, c.mode);
        EXPECT_EQ(p.rowFlags[0], uint32_t(ROW_MIXED)); // untouched without the flag
        p.classifyTransparency(true);
        EXPECT_EQ(p.rowFlags[0], c.flags[0]);
        EXPECT_EQ(p.rowFlags[1], c.flags[1]);
    }
}

TEST(PictureStore, PremultiplicationScalesColoursAndInvertsAlpha) {
    CPicture p;
    ASSERT_TRUE(p.create(3, 1));
    const unsigned char in[12] = {200, 100, 255, 128, 255, 255, 255, 255, 77, 66, 55, 0};
    std::memcpy(p.pixels, in, sizeof(in));
    p.transparencyMode = TRANSPARENCY_ALPHA;
    p.premultiply();
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_PREMULTIPLIED_INVERTED);
    EXPECT_EQ(px(p, 0, 0), bgra(200 * 129 / 256, 100 * 129 / 256, 255 * 129 / 256, 127));
    EXPECT_EQ(px(p, 1, 0), bgra(255, 255, 255, 0));
    EXPECT_EQ(px(p, 2, 0), bgra(0, 0, 0, 255));
}

TEST(PictureStore, LoadChoosesTheReaderByFoldedExtension) {
    TempDir dir;
    Bytes jpeg = readBytes(fixture("colour.jpg"));
    Bytes bmp24 = readBytes(fixture("bmp24_w3.bmp"));
    ASSERT_FALSE(jpeg.empty());
    writeBytes(dir.path + "cover.JPEG", jpeg);
    writeBytes(dir.path + "c.JpG", jpeg);
    writeBytes(dir.path + "b.BMP", bmp24);
    writeBytes(dir.path + "a.tiff", jpeg);
    writeBytes(dir.path + "jpg", jpeg);

    CPicture p;
    EXPECT_TRUE(p.load(dir.path + "cover.JPEG"));
    EXPECT_EQ(p.width, 64);
    EXPECT_EQ(p.fileName, dir.path + "cover.JPEG");
    EXPECT_TRUE(p.load(dir.path + "c.JpG"));
    EXPECT_EQ(p.height, 48);

    // Unknown extensions and too-short paths load nothing and keep what the picture held.
    EXPECT_FALSE(p.load(dir.path + "a.tiff"));
    EXPECT_EQ(p.width, 64);
    EXPECT_EQ(p.fileName, dir.path + "a.tiff");
    EXPECT_FALSE(p.load("jpg"));
    EXPECT_EQ(p.width, 64);

    EXPECT_TRUE(p.load(dir.path + "b.BMP"));
    EXPECT_EQ(p.width, 3);

    // A missing file of a known kind empties the picture.
    EXPECT_FALSE(p.load(dir.path + "missing.png"));
    EXPECT_EQ(p.width, 0);
    EXPECT_TRUE(p.load(dir.path + "b.BMP"));
    EXPECT_FALSE(p.load(dir.path + "missing.jpg"));
    EXPECT_EQ(p.width, 0);
    EXPECT_FALSE(p.load(dir.path)); // a folder
}

TEST(PictureStore, LoadMemoryTakesJpegOnly) {
    Bytes jpeg = readBytes(fixture("colour.jpg"));
    CPicture p;
    EXPECT_TRUE(p.loadMemory("IMAGE/JPG", jpeg.data(), jpeg.size()));
    EXPECT_EQ(p.width, 64);
    EXPECT_FALSE(p.loadMemory("image/png", jpeg.data(), jpeg.size()));
    EXPECT_EQ(p.width, 64); // another type leaves the picture as it was
    EXPECT_TRUE(p.loadMemory("image/jpeg", jpeg.data(), jpeg.size()));
    EXPECT_FALSE(p.loadMemory("image/jpeg", jpeg.data(), 0));
    EXPECT_EQ(p.width, 0);
    EXPECT_FALSE(p.loadFromJPGMemory(nullptr, 10));
}
