// Damaged PNG files and crafted deflate streams: each stops where it must, with the decoder's own
// message where it has one, and never reads or writes out of bounds.
#include "PictureTestUtil.h"
#include "PngTestUtil.h"

#include "foundation/Picture.h"
#include "foundation/PngDecoder.h"

#include <gtest/gtest.h>

using namespace pictest;

namespace {

// Collects inflated bytes; refuses after `limit` of them when a limit is set.
struct Collector : GenericPngDecoder {
    Bytes got;
    size_t limit = SIZE_MAX;
    int Output(unsigned char b) override {
        if (got.size() >= limit) return 0;
        got.push_back(b);
        return 1;
    }
};

// Bits least significant first; Huffman codes go most significant bit first.
struct BitWriter {
    Bytes out;
    uint32_t acc = 0;
    int n = 0;
    BitWriter& put(uint32_t v, int bits) {
        for (int i = 0; i < bits; ++i) {
            acc |= ((v >> i) & 1) << n;
            if (++n == 8) {
                out.push_back(uint8_t(acc));
                acc = 0;
                n = 0;
            }
        }
        return *this;
    }
    BitWriter& code(uint32_t c, int len) {
        for (int i = len - 1; i >= 0; --i)
            put((c >> i) & 1, 1);
        return *this;
    }
    // A literal or length symbol of the fixed code.
    BitWriter& fixed(int sym) {
        if (sym < 144) return code(uint32_t(0x30 + sym), 8);
        if (sym < 256) return code(uint32_t(0x190 + sym - 144), 9);
        if (sym < 280) return code(uint32_t(sym - 256), 7);
        return code(uint32_t(0xC0 + sym - 280), 8);
    }
    Bytes zlib() {
        Bytes b = {0x78, 0x01};
        if (n) out.push_back(uint8_t(acc));
        acc = 0;
        n = 0;
        b.insert(b.end(), out.begin(), out.end());
        return b;
    }
};

struct Result {
    int value;
    Bytes bytes;
    std::string printed;
};

Result inflate(const Bytes& stream, size_t limit = SIZE_MAX) {
    Collector c;
    c.limit = limit;
    testing::internal::CaptureStdout();
    int v = PngUncompressor(c).Uncompress(stream.size(), stream.data());
    return {v, c.got, testing::internal::GetCapturedStdout()};
}

// A dynamic block header whose code-length code gives symbols 0..14 four bits (their own value)
// and 16 and 17 five bits (30 and 31). `lengths` are then written by the caller.
BitWriter dynamicHeader(int nlit, int ndist) {
    BitWriter w;
    w.put(1, 1).put(2, 2).put(uint32_t(nlit - 257), 5).put(uint32_t(ndist - 1), 5).put(15, 4);
    const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (int sym : order)
        w.put(sym == 16 || sym == 17 ? 5 : sym <= 14 ? 4 : 0, 3);
    return w;
}
void lengthSymbol(BitWriter& w, int len) {
    w.code(uint32_t(len), 4);
}

} // namespace

TEST(PngInflate, ZlibStreamsDecodeWhole) {
    Bytes data;
    for (int i = 0; i < 200000; ++i)
        data.push_back(uint8_t((i * 7) ^ (i >> 5)));
    for (int level : {0, 1, 6, 9}) {
        Result r = inflate(zlibCompress(data, level));
        EXPECT_EQ(r.value, 1) << level;
        EXPECT_TRUE(r.bytes == data) << level;
        EXPECT_EQ(r.printed, "");
    }
    Result fixedCodes =
        inflate(BitWriter().put(1, 1).put(1, 2).fixed('A').fixed('B').fixed(258).code(1, 5).fixed(256).zlib());
    EXPECT_EQ(fixedCodes.value, 1); // length 4 from distance 2, overlapping itself
    EXPECT_EQ(std::string(fixedCodes.bytes.begin(), fixedCodes.bytes.end()), "ABABAB");
}

TEST(PngInflate, HeadersAndBlockTypes) {
    Bytes good = zlibCompress(Bytes(100, 'x'), 6);
    Bytes bigWindow = good;
    bigWindow[0] = 0x88; // CINFO 8: a 64 KiB window
    Bytes notDeflate = good;
    notDeflate[0] = 0x77;
    Bytes dictionary = good;
    dictionary[1] |= 0x20;
    struct Case {
        const char* what;
        Bytes stream;
        const char* printed;
    } cases[] = {
        {"window beyond 32 KiB", bigWindow, ""},
        {"not deflate", notDeflate, ""},
        {"preset dictionary", dictionary, "PNG is not supposed to have a preset dictionary.\n"},
        {"empty", {}, "Buffer overflow\n"},
        {"one byte", {0x78}, "Buffer overflow\n"},
        {"header only", {0x78, 0x01}, "Buffer overflow\n"},
        {"block type 3", BitWriter().put(1, 1).put(3, 2).zlib(), "Unknown compression type (bType=3)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result r = inflate(c.stream);
        EXPECT_EQ(r.value, 0);
        EXPECT_TRUE(r.bytes.empty());
        EXPECT_EQ(r.printed, c.printed);
    }
    // A block that is not the last, then the data end before the next header (2 bits left).
    BitWriter notLast;
    notLast.put(0, 1).put(1, 2).fixed(200).fixed(200).fixed(200).fixed(200).fixed(256);
    Result r = inflate(notLast.zlib());
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.bytes, Bytes(4, 200));
    EXPECT_EQ(r.printed, "Buffer overflow\n");
}

TEST(PngInflate, DistancesLengthsAndCodeSetsAreChecked) {
    auto fixedBlock = [](std::initializer_list<int> lits) {
        BitWriter w;
        w.put(1, 1).put(1, 2);
        for (int s : lits)
            w.fixed(s);
        return w;
    };
    struct Case {
        const char* what;
        Bytes stream;
        std::string out; // decoded before stopping
        const char* printed;
    } cases[] = {
        {"distance beyond the output", fixedBlock({'A', 257}).code(1, 5).zlib(), "A", ""},
        {"distance code 30", fixedBlock({'A', 'B', 257}).code(30, 5).zlib(), "AB", ""},
        {"distance code 31", fixedBlock({'A', 'B', 257}).code(31, 5).zlib(), "AB", ""},
        {"cut inside a block", Bytes(), "", ""},
        {"HLIT 30", dynamicHeader(287, 1).zlib(), "", ""},
        {"HDIST 30", dynamicHeader(257, 31).zlib(), "", ""},
    };
    // Cut inside a block: literals, then the stream ends: quietly, with the literals out.
    Bytes cut = fixedBlock({'Q', 'R', 'S'}).zlib();
    cases[3].stream = cut;
    cases[3].out = "QRS";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result r = inflate(c.stream);
        EXPECT_EQ(r.value, 0);
        EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), c.out);
        EXPECT_EQ(r.printed, c.printed);
    }
}

TEST(PngInflate, DynamicCodeLengthsAreChecked) {
    // Literal 'A' (65) and end of block 256 both with one bit; one distance code of one bit.
    auto lengthsFor = [](BitWriter& w, int nlit) {
        for (int i = 0; i < nlit; ++i)
            lengthSymbol(w, i == 65 || i == 256 ? 1 : 0);
        lengthSymbol(w, 1); // the distance code
    };
    BitWriter ok = dynamicHeader(257, 1);
    lengthsFor(ok, 257);
    ok.code(0, 1).code(0, 1).code(1, 1); // A A end: 'A' has code 0, 256 code 1
    Result r = inflate(ok.zlib());
    EXPECT_EQ(r.value, 1);
    EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), "AA");

    BitWriter repeatFirst = dynamicHeader(257, 1);
    repeatFirst.code(30, 5).put(0, 2); // 16 with nothing before it
    BitWriter repeatPast = dynamicHeader(257, 1);
    for (int i = 0; i < 250; ++i)
        lengthSymbol(repeatPast, 0);
    lengthSymbol(repeatPast, 1);
    repeatPast.code(31, 5).put(7, 3); // 17: ten zeros where only 7 places are left
    BitWriter overSubscribed = dynamicHeader(257, 1);
    for (int i = 0; i < 258; ++i)
        lengthSymbol(overSubscribed, i < 3 || i == 256 ? 1 : 0);
    BitWriter incomplete = dynamicHeader(257, 1);
    for (int i = 0; i < 258; ++i)
        lengthSymbol(incomplete, i == 256 || i == 65 ? 2 : 0);
    BitWriter noEnd = dynamicHeader(257, 1);
    for (int i = 0; i < 258; ++i)
        lengthSymbol(noEnd, i == 65 || i == 66 ? 1 : 0);
    Bytes badCodeLengths = dynamicHeader(257, 1).zlib();
    badCodeLengths[4] = 0xFF; // code-length code lengths of 7: over-subscribed
    for (BitWriter* w : {&repeatFirst, &repeatPast, &overSubscribed, &incomplete, &noEnd}) {
        w->code(0, 1).code(1, 1); // would-be data
        Result bad = inflate(w->zlib());
        EXPECT_EQ(bad.value, 0);
        EXPECT_TRUE(bad.bytes.empty());
        EXPECT_EQ(bad.printed, "");
    }
    EXPECT_EQ(inflate(badCodeLengths).value, 0);

    // A distance code that the (single-code) distance set lacks: the decoder's message.
    BitWriter missing = dynamicHeader(258, 1);
    for (int i = 0; i < 258; ++i)
        lengthSymbol(missing, i == 65 ? 1 : i == 256 || i == 257 ? 2 : 0);
    lengthSymbol(missing, 1);
    missing.code(0, 1).code(3, 2).code(1, 1).put(0, 16); // A, length 3, distance "1": not in the set
    r = inflate(missing.zlib());
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), "A");
    EXPECT_EQ(r.printed, "Huffman Decompression: Reached NULL node.\n");
}

TEST(PngInflate, StoredBlocksAndRefusedOutput) {
    // LEN 1000 with 10 bytes behind it: those 10 come out, then decoding ends.
    Bytes stored = {0x78, 0x01, 0x01, 0xE8, 0x03, 0x17, 0xFC};
    for (int i = 0; i < 10; ++i)
        stored.push_back(uint8_t('0' + i));
    Result r = inflate(stored);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), "0123456789");

    // The output refuses after 5000 bytes: decoding stops there.
    Bytes data(100000, 'z');
    r = inflate(zlibCompress(data, 6), 5000);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.bytes.size(), 5000u);
}

TEST(PngFile, MalformedChunksAndHeaders) {
    PngSpec rgba{4, 3, 6, 8, false, {}, {}};
    Bytes good = writePng(rgba, noisyRaw(rgba));
    auto withIhdr = [&](const PngSpec& s, const Bytes& stream) { return writePngStream(s, stream); };
    Bytes stream = zlibCompress(filtered(rgba, noisyRaw(rgba)), 6);

    Bytes noHeader = pngSignature();
    appendChunk(noHeader, "IDAT", stream);
    appendChunk(noHeader, "IEND", {});
    Bytes shortHeader = pngSignature();
    Bytes header = ihdr(rgba);
    appendChunk(shortHeader, "IHDR", Bytes(header.begin(), header.begin() + 12));
    appendChunk(shortHeader, "IDAT", stream);
    Bytes hugeLength = good;
    hugeLength[33] = hugeLength[34] = hugeLength[35] = hugeLength[36] = 0xFF; // the first chunk after IHDR
    Bytes badPalette = pngSignature();
    appendChunk(badPalette, "IHDR", ihdr({4, 3, 3, 8, false, {}, {}}));
    appendChunk(badPalette, "PLTE", Bytes(7, 1));

    struct Case {
        const char* what;
        Bytes file;
        int decoded; // Decode's answer
        const char* printed;
    } cases[] = {
        {"no signature", Bytes(good.begin() + 1, good.end()), -1, "The file does not have PNG signature.\n"},
        {"no IHDR", noHeader, -1, ""},
        {"IHDR of 12 bytes", shortHeader, -1, ""},
        {"width 0", withIhdr({0, 3, 6, 8, false, {}, {}}, stream), -1, ""},
        {"height 0", withIhdr({4, 0, 6, 8, false, {}, {}}, stream), -1, ""},
        {"2^31 x 2^31", withIhdr({0x80000000u, 0x80000000u, 6, 8, false, {}, {}}, stream), -1, ""},
        {"65535 x 65535", withIhdr({65535, 65535, 2, 16, false, {}, {}}, stream), -1, ""},
        {"grey 16", withIhdr({4, 3, 0, 16, false, {}, {}}, stream), -1,
         "Unsupported colorType-bitDepth combination.\n"},
        {"RGBA 16", withIhdr({4, 3, 6, 16, false, {}, {}}, stream), -1,
         "Unsupported colorType-bitDepth combination.\n"},
        {"colour type 5", withIhdr({4, 3, 5, 8, false, {}, {}}, stream), -1,
         "Unsupported colorType-bitDepth combination.\n"},
        {"palette without PLTE", withIhdr({4, 3, 3, 8, false, {}, {}}, stream), -1, ""},
        {"PLTE of 7 bytes", badPalette, -1, ""},
        {"chunk length beyond the file", hugeLength, 1, "Buffer overflow\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawPngDecoder d;
        testing::internal::CaptureStdout();
        int v = d.DecodeMemory(c.file.data(), c.file.size());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(v, c.decoded);
        CPicture p;
        ASSERT_TRUE(p.create(2, 2));
        testing::internal::CaptureStdout();
        EXPECT_EQ(p.loadFromPNGMemory(c.file.data(), c.file.size()), c.decoded == 1);
        testing::internal::GetCapturedStdout();
        if (c.decoded != 1) {
            EXPECT_EQ(p.width, 0);
        }
    }

    // Interlace method 2.
    Bytes odd = good;
    odd[8 + 8 + 12] = 2;
    RawPngDecoder d;
    testing::internal::CaptureStdout();
    EXPECT_EQ(d.DecodeMemory(odd.data(), odd.size()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unsupported interlace method.\n");
}

TEST(PngFile, TruncatedAndDamagedDataKeepThePartialPicture) {
    PngSpec spec{16, 16, 2, 8, false, {}, {}};
    Bytes raw = noisyRaw(spec);
    Bytes rows = filtered(spec, raw);
    Bytes stream = zlibCompress(rows, 0); // stored: the cut position maps to a row

    // The stream ends inside row 5: rows 0-4 decoded, row 5 up to its last whole pixel, the rest zero.
    size_t rowBytes = 1 + 16 * 3;
    size_t keep = 2 + 5 + 5 * rowBytes + 1 + 7 * 3 + 2; // zlib header, block header, rows, partial
    RawPngDecoder d;
    Bytes truncated = writePngStream(spec, Bytes(stream.begin(), stream.begin() + long(keep)));
    ASSERT_EQ(d.DecodeMemory(truncated.data(), truncated.size()), 1);
    int w = 0, h = 0;
    Bytes full = libpngDecode(writePngStream(spec, stream), &w, &h);
    ASSERT_EQ(full.size(), size_t(16 * 16 * 4));
    EXPECT_EQ(std::memcmp(d.result, full.data(), (5 * 16 + 7) * 4), 0);
    for (size_t i = (5 * 16 + 7) * 4; i < full.size(); ++i)
        ASSERT_EQ(d.result[i], 0) << i;

    // A filter type of 5 ends the image there.
    Bytes badFilter = rows;
    badFilter[3 * rowBytes] = 5;
    RawPngDecoder f;
    Bytes file = writePngStream(spec, zlibCompress(badFilter, 6));
    ASSERT_EQ(f.DecodeMemory(file.data(), file.size()), 1);
    EXPECT_EQ(std::memcmp(f.result, full.data(), 3 * 16 * 4), 0);
    for (size_t i = 3 * 16 * 4; i < full.size(); ++i)
        ASSERT_EQ(f.result[i], 0) << i;

    // The file cut anywhere: never a crash, and the picture is whole or empty.
    Bytes whole = writePng(spec, raw);
    testing::internal::CaptureStdout();
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        CPicture p;
        bool loaded = p.loadFromPNGMemory(whole.data(), cut);
        EXPECT_EQ(p.width, loaded ? 16 : 0);
    }
    testing::internal::GetCapturedStdout();
}
