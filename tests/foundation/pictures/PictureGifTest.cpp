#include "PictureTestUtil.h"

#include "foundation/CGif.h"
#include "foundation/Picture.h"

#include <gtest/gtest.h>

using namespace pictest;

namespace {

// ---- A GIF writer for crafted files -------------------------------------------------------------

struct Code {
    int code, width;
};

// Codes packed least significant bit first into data sub-blocks of at most 255 bytes, terminated.
Bytes subBlocks(const std::vector<Code>& codes) {
    Bytes bytes;
    uint32_t acc = 0;
    int n = 0;
    for (Code c : codes) {
        acc |= uint32_t(c.code) << n;
        n += c.width;
        while (n >= 8) {
            bytes.push_back(uint8_t(acc));
            acc >>= 8;
            n -= 8;
        }
    }
    if (n > 0) bytes.push_back(uint8_t(acc));
    Bytes out;
    for (size_t i = 0; i < bytes.size(); i += 255) {
        size_t len = std::min<size_t>(255, bytes.size() - i);
        out.push_back(uint8_t(len));
        out.insert(out.end(), bytes.begin() + long(i), bytes.begin() + long(i + len));
    }
    out.push_back(0);
    return out;
}

// The indices as literal codes (no compression): clear, one code each, end, with the widths the
// decoder will use as its table grows.
std::vector<Code> literalCodes(const std::vector<int>& indices, int m) {
    int clear = 1 << m, width = m + 1, next = clear + 2;
    std::vector<Code> codes{{clear, width}};
    for (size_t i = 0; i < indices.size(); ++i) {
        codes.push_back({indices[i], width});
        if (i > 0 && next < 4096 && ++next == (1 << width) && width < 12) ++width;
    }
    codes.push_back({clear + 1, width});
    return codes;
}

void le16(Bytes& b, int v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

// Colour table entries as 0xRRGGBB, padded with black to 2 << n entries; returns n.
int table(Bytes& b, const std::vector<uint32_t>& colours) {
    int n = 0;
    while ((2 << n) < int(colours.size()))
        ++n;
    for (int i = 0; i < (2 << n); ++i) {
        uint32_t c = i < int(colours.size()) ? colours[size_t(i)] : 0;
        b.insert(b.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
    }
    return n;
}

Bytes header(int w, int h, const std::vector<uint32_t>& global) {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    le16(b, w);
    le16(b, h);
    Bytes t;
    int n = global.empty() ? 0 : table(t, global);
    b.push_back(uint8_t(global.empty() ? 0 : 0x80 | n));
    b.push_back(0);
    b.push_back(0);
    b.insert(b.end(), t.begin(), t.end());
    return b;
}

Bytes control(bool transparent, int index, int delay = 0) {
    Bytes b = {0x21, 0xF9, 4, uint8_t(transparent ? 1 : 0)};
    le16(b, delay);
    b.insert(b.end(), {uint8_t(index), 0});
    return b;
}

struct Image {
    int left, top, w, h;
    int m;
    bool interlace;
    std::vector<uint32_t> local; // local colour table, none when empty
    Image(int l, int t, int w_, int h_, int m_ = 2, bool i = false, std::vector<uint32_t> table = {})
        : left(l), top(t), w(w_), h(h_), m(m_), interlace(i), local(std::move(table)) {}
};

Bytes image(const Image& im, const std::vector<Code>& codes) {
    Bytes b = {0x2C};
    le16(b, im.left);
    le16(b, im.top);
    le16(b, im.w);
    le16(b, im.h);
    Bytes t;
    int n = im.local.empty() ? 0 : table(t, im.local);
    b.push_back(uint8_t((im.local.empty() ? 0 : 0x80 | n) | (im.interlace ? 0x40 : 0)));
    b.insert(b.end(), t.begin(), t.end());
    b.push_back(uint8_t(im.m));
    Bytes data = subBlocks(codes);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes image(const Image& im, const std::vector<int>& indices) {
    return image(im, literalCodes(indices, im.m));
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::vector<uint32_t> kFour = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF}; // red, green, blue, white

uint32_t rgb(uint32_t c, unsigned a = 255) {
    return bgra(c & 255, (c >> 8) & 255, c >> 16, a);
}

// Blue (index 2) of the pixel indices 0..3 as colours of kFour.
uint32_t colourOf(int index) {
    return rgb(kFour[size_t(index)]);
}

} // namespace

TEST(PictureGif, FixturesMatchTheReferenceDecode) {
    for (const char* name :
         {"gif2.gif", "gif256.gif", "interlaced.gif", "transparent.gif", "frames.gif", "comment.gif"}) {
        SCOPED_TRACE(name);
        CPicture p;
        ASSERT_TRUE(p.load(fixture(name)));
        Bytes ref = readBytes(fixture(std::string(name) + ".rgba"));
        ASSERT_EQ(ref.size(), p.byteSize());
        int worst = 0;
        bool anyClear = false;
        for (size_t i = 0; i < ref.size(); i += 4) {
            const unsigned char* q = p.pixels + i;
            ASSERT_EQ(q[3], ref[i + 3] < 128 ? 0 : 255) << "pixel " << i / 4;
            anyClear = anyClear || q[3] == 0;
            if (q[3] == 0) continue; // a transparent pixel's colour is not shown
            worst =
                std::max({worst, std::abs(q[2] - ref[i]), std::abs(q[1] - ref[i + 1]), std::abs(q[0] - ref[i + 2])});
        }
        EXPECT_EQ(worst, 0);
        EXPECT_EQ(p.transparencyMode, anyClear ? TRANSPARENCY_ONOFF : TRANSPARENCY_OPAQUE);
        EXPECT_EQ(p.rowFlags[0], uint32_t(ROW_MIXED));
    }
}

TEST(PictureGif, TwoColourCodesAndTheSpecialCase) {
    // Minimum code size 2: roots 0..3, clear 4, end 5, first free code 6.
    // 0, then 6 (not yet in the table: "0 0"), then 6 again (now "0 0"), then 1: 0 0 0 0 0 1.
    // The second 6 fills code 7, so the table reaches 8 entries and codes grow to 4 bits.
    std::vector<Code> codes = {{4, 3}, {0, 3}, {6, 3}, {6, 3}, {1, 4}, {5, 4}};
    Bytes file = cat({header(6, 1, kFour), image({0, 0, 6, 1, 2}, codes), {0x3B}});
    CPicture p;
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    ASSERT_EQ(p.width, 6);
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(px(p, x, 0), colourOf(0)) << x;
    EXPECT_EQ(px(p, 5, 0), colourOf(1));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_OPAQUE);

    CGif gif(file.data(), file.size());
    EXPECT_EQ(gif.bitsWidth, 6);
    EXPECT_EQ(gif.paletteEntries, 4);
    EXPECT_EQ(gif.frameControls[0].delay, 10); // no control block: the default delay
}

TEST(PictureGif, InterlacedRowsComeInFourPasses) {
    // Ten rows of width 1; the value of each transmitted row is its order of arrival.
    std::vector<int> arrival = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1}; // indices sent, in order
    const int order[10] = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};      // rows they land in
    Image im{0, 0, 1, 10, 2, true, {}};
    Bytes file = cat({header(1, 10, kFour), image(im, arrival), {0x3B}});
    CPicture p;
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(px(p, 0, order[k]), colourOf(arrival[size_t(k)])) << "row " << order[k];

    // More data than rows: decoding stops after the last pass.
    std::vector<int> extra(40, 3);
    Image small{0, 0, 2, 3, 2, true, {}};
    file = cat({header(2, 3, kFour), image(small, extra), {0x3B}});
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 1, 2), colourOf(3));
}

TEST(PictureGif, TransparencyIsKeyedOnTheIndexAndBlackIsMovedAside) {
    struct Case {
        std::vector<uint32_t> palette;
        uint32_t movedTo; // the transparent entry's colour afterwards
    } cases[] = {
        {{0x000000, 0xFF0000, 0x00FF00, 0x0000FF}, 0x010000},
        {{0x000000, 0x010000, 0x00FF00, 0x0000FF}, 0x020000},
        {{0x123456, 0xFF0000, 0x00FF00, 0x0000FF}, 0x123456}, // not black: kept
    };
    for (const Case& c : cases) {
        // Index 0 transparent; index 3 opaque; a second black (index 3 set black below) stays opaque.
        std::vector<uint32_t> palette = c.palette;
        palette[3] = 0x000000;
        Bytes file = cat({header(4, 1, palette), control(true, 0, 5), image({0, 0, 4, 1, 2}, {0, 1, 3, 0}), {0x3B}});
        CPicture p;
        ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
        EXPECT_EQ(p.transparencyMode, TRANSPARENCY_ONOFF);
        EXPECT_EQ(px(p, 0, 0), rgb(c.movedTo, 0));
        EXPECT_EQ(px(p, 2, 0), rgb(0x000000)); // real black stays opaque
        EXPECT_EQ(px(p, 3, 0), rgb(c.movedTo, 0));
        CGif gif(file.data(), file.size());
        EXPECT_EQ(gif.frameControls[0].transparentRed, c.movedTo >> 16);
        EXPECT_EQ(gif.frameControls[0].delay, 5);
    }

    // Transparent index beyond the palette's entries: ignored.
    Bytes file = cat({header(2, 1, kFour), control(true, 200), image({0, 0, 2, 1, 2}, {0, 1}), {0x3B}});
    CPicture p;
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_OPAQUE);
}

TEST(PictureGif, BlocksAroundTheImages) {
    Bytes comment = {0x21, 0xFE, 5, 'a', ',', 'b', ',', 'c', 0};
    Bytes appExt = {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0};
    Bytes junkImage = image({0, 0, 2, 1, 2}, {3, 3});
    // A comment with commas, an application block, a stray byte, then the image; junk after the
    // trailer is not part of the picture.
    Bytes file = cat({header(2, 1, kFour), comment, appExt, {0x00}, image({0, 0, 2, 1, 2}, {1, 2}), {0x3B}, junkImage});
    CPicture p;
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 0, 0), colourOf(1));
    EXPECT_EQ(px(p, 1, 0), colourOf(2));

    // A graphic control block of 6 bytes instead of 4: its size byte is honoured.
    Bytes longControl = {0x21, 0xF9, 6, 1, 0, 0, 1, 0xEE, 0xEE, 0};
    file = cat({header(2, 1, kFour), longControl, image({0, 0, 2, 1, 2}, {1, 2}), {0x3B}});
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 0, 0), colourOf(1) & 0x00FFFFFF); // index 1 is the transparent one

    // Two images: the last is shown, with its own local table and its own transparency.
    Image second{0, 0, 2, 1, 2, false, {0x111111, 0x222222, 0x333333, 0x444444}};
    file = cat({header(2, 1, kFour),
                control(true, 0),
                image({0, 0, 2, 1, 2}, {0, 0}),
                control(false, 0),
                image(second, {2, 3}),
                {0x3B}});
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 0, 0), rgb(0x333333));
    EXPECT_EQ(px(p, 1, 0), rgb(0x444444));
    CGif gif(file.data(), file.size());
    EXPECT_EQ(gif.images.size(), 2u);
    EXPECT_TRUE(gif.images[1].localColorTable);
}

TEST(PictureGif, MalformedFilesStayInBounds) {
    Image tiny{0, 0, 3, 2, 2, false, {}};
    std::vector<Code> beyond = {{4, 3}, {1, 3}, {7, 3}, {2, 3}, {5, 3}};
    std::vector<Code> firstBeyond = {{7, 3}, {1, 3}, {5, 3}};
    std::vector<Code> afterClearBeyond = {{4, 3}, {7, 3}, {1, 3}, {5, 3}};
    std::vector<Code> noClear = {{1, 3}, {2, 3}, {5, 3}};
    // Many codes without a clear: the table fills at 4096 and codes stay 12 bits wide.
    std::vector<int> many(6000, 1);
    Image wide{0, 0, 100, 60, 2, false, {}};
    // One code that expands to more pixels than the image holds.
    std::vector<Code> overflow = {{4, 3}, {1, 3}, {6, 3}, {7, 3}, {8, 4}, {9, 4}, {10, 4}, {11, 4}, {12, 4}, {5, 4}};

    struct Case {
        const char* what;
        Bytes file;
        int width, height; // 0: no picture
    } cases[] = {
        {"screen larger than the image",
         cat({header(20, 10, kFour), image({5, 4, 3, 2, 2}, {1, 1, 1, 2, 2, 2}), {0x3B}}), 20, 10},
        {"screen smaller than the image", cat({header(1, 1, kFour), image(tiny, {1, 1, 1, 2, 2, 2}), {0x3B}}), 3, 2},
        {"minimum code size 0", cat({header(3, 2, kFour), image({0, 0, 3, 2, 0}, std::vector<Code>{{1, 1}})}), 0, 0},
        {"minimum code size 9", cat({header(3, 2, kFour), image({0, 0, 3, 2, 9}, std::vector<Code>{{1, 10}})}), 0, 0},
        {"minimum code size 12", cat({header(3, 2, kFour), image({0, 0, 3, 2, 12}, std::vector<Code>{{1, 13}})}), 0, 0},
        {"minimum code size 1", cat({header(3, 2, kFour), image({0, 0, 3, 2, 1}, {1, 0, 1, 0, 1, 1})}), 3, 2},
        {"code beyond the table", cat({header(3, 2, kFour), image(tiny, beyond)}), 3, 2},
        {"first code beyond the table", cat({header(3, 2, kFour), image(tiny, firstBeyond)}), 3, 2},
        {"code beyond the table after a clear", cat({header(3, 2, kFour), image(tiny, afterClearBeyond)}), 3, 2},
        {"no clear code", cat({header(3, 2, kFour), image(tiny, noClear)}), 3, 2},
        {"full table", cat({header(100, 60, kFour), image(wide, many)}), 100, 60},
        {"more pixels than the image", cat({header(3, 2, kFour), image(tiny, overflow)}), 3, 2},
        {"width 0", cat({header(3, 2, kFour), image({0, 0, 0, 2, 2}, {1, 1})}), 0, 0},
        {"height 0 before a real image",
         cat({header(3, 2, kFour), image({0, 0, 3, 0, 2}, std::vector<int>{1}), image(tiny, {1, 1, 1, 1, 1, 1})}), 3,
         2},
        {"65535 x 65535 image", cat({header(3, 2, kFour), image({0, 0, 65535, 65535, 2}, {1, 1})}), 0, 0},
        {"no colour table", cat({header(3, 2, {}), image(tiny, {1, 1, 1, 1, 1, 1})}), 0, 0},
        {"nothing after the screen", header(3, 2, kFour), 0, 0},
        {"cut inside the descriptor", cat({header(3, 2, kFour), {0x2C, 0, 0, 3}}), 0, 0},
        {"cut inside the graphic control", cat({header(3, 2, kFour), {0x21, 0xF9, 4, 1}}), 0, 0},
        {"cut inside an extension's sub-block", cat({header(3, 2, kFour), {0x21, 0xFE, 200, 'x'}}), 0, 0},
        {"cut before the code size", cat({header(3, 2, kFour), {0x2C, 0, 0, 0, 0, 3, 0, 2, 0, 0}}), 0, 0},
        {"header only", Bytes{'G', 'I', 'F', '8', '9', 'a', 3}, 0, 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        CPicture p;
        ASSERT_TRUE(p.create(7, 7));
        bool loaded = p.loadFromGIFMemory(c.file.data(), c.file.size());
        EXPECT_EQ(loaded, c.width > 0);
        EXPECT_EQ(p.width, c.width);
        EXPECT_EQ(p.height, c.height);
        // Every cut of the file is safe too.
        for (size_t cut = 0; cut<c.file.size(); cut += c.file.size()> 400 ? 37 : 1) {
            CPicture q;
            q.loadFromGIFMemory(c.file.data(), cut);
        }
    }

    // What the crafted files decode to.
    CPicture p;
    Bytes file = cat({header(20, 10, kFour), image({5, 4, 3, 2, 2}, {1, 1, 1, 2, 2, 2}), {0x3B}});
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 5, 4), colourOf(1));
    EXPECT_EQ(px(p, 7, 5), colourOf(2));
    EXPECT_EQ(px(p, 0, 0), 0u); // outside the image: transparent
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_ONOFF);

    file = cat({header(3, 2, kFour), image(tiny, beyond)}); // 1 shown, then the image ends: zeros
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 0, 0), colourOf(1));
    EXPECT_EQ(px(p, 1, 0), colourOf(0));
    file = cat({header(3, 2, kFour), image(tiny, afterClearBeyond)}); // taken as index 0, then 1
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 0, 0), colourOf(0));
    EXPECT_EQ(px(p, 1, 0), colourOf(1));
    file = cat({header(3, 2, kFour), image(tiny, noClear)});
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 1, 0), colourOf(2));
    file = cat({header(100, 60, kFour), image(wide, many)});
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(px(p, 99, 59), colourOf(1)); // every literal code kept its meaning past the full table
}

TEST(PictureGif, ManyLargeImagesCostOnlyTheLastOnesPixels) {
    // Thousands of 16384 x 1024 images of no data in a file of a few tens of KiB: each would be a
    // zeroed 16 MiB bitmap if every image were decompressed; only the last is shown.
    Bytes file = header(2, 1, kFour);
    Bytes empty = image({0, 0, 16384, 1024, 2}, std::vector<Code>{{4, 3}, {5, 3}});
    for (int i = 0; i < 5000; ++i)
        file.insert(file.end(), empty.begin(), empty.end());
    Bytes last = image({0, 0, 2, 1, 2}, {1, 2});
    file.insert(file.end(), last.begin(), last.end());
    file.push_back(0x3B);

    CGif gif(file.data(), file.size());
    EXPECT_EQ(gif.images.size(), 5001u);
    EXPECT_EQ(gif.frameControls.size(), 5001u);
    EXPECT_EQ(gif.bitsWidth, 2);
    EXPECT_EQ(gif.bits.size(), 4u);
    CPicture p;
    ASSERT_TRUE(p.loadFromGIFMemory(file.data(), file.size()));
    EXPECT_EQ(p.width, 16384); // the screen raised to the largest image
    EXPECT_EQ(px(p, 0, 0), colourOf(1));
    EXPECT_EQ(px(p, 1, 0), colourOf(2));
    EXPECT_EQ(px(p, 2, 0), 0u);
}
