#include "PictureTestUtil.h"

#include "foundation/Picture.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include <gtest/gtest.h>

using namespace pictest;

namespace {

struct RefError {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

// libjpeg's own decode of a file to RGBA (alpha 255), the reference for our reader.
Bytes referenceDecodeFile(FILE* f, int* w, int* h) {
    Bytes out;
    jpeg_decompress_struct cinfo;
    RefError err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<RefError*>(c->err)->jump, 1); };
    err.pub.output_message = [](j_common_ptr) {};
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return Bytes();
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    *w = int(cinfo.output_width);
    *h = int(cinfo.output_height);
    Bytes line(size_t(*w) * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = line.data();
        jpeg_read_scanlines(&cinfo, &row, 1);
        for (int x = 0; x < *w; ++x) {
            out.insert(out.end(), {line[size_t(x) * 3], line[size_t(x) * 3 + 1], line[size_t(x) * 3 + 2], 255});
        }
    }
    jpeg_destroy_decompress(&cinfo);
    return out;
}

// A JPEG of `components` channels of no standard colour space, encoded in memory: channel c of
// pixel (x, y) is x * 8 + c * 40 + y.
Bytes encodeUnknownColourSpace(int w, int h, int components) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(w);
    cinfo.image_height = JDIMENSION(h);
    cinfo.input_components = components;
    cinfo.in_color_space = JCS_UNKNOWN;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, JCS_UNKNOWN);
    jpeg_set_quality(&cinfo, 100, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    Bytes line(size_t(w) * size_t(components));
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < components; ++c)
                line[size_t(x * components + c)] = uint8_t(x * 8 + c * 40 + int(cinfo.next_scanline));
        JSAMPROW row = line.data();
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes file(out, out + size);
    free(out);
    return file;
}

// The marker segments of a JPEG file: (start, end) of each, a scan running to the next marker.
std::vector<std::pair<size_t, size_t>> segments(const Bytes& f) {
    std::vector<std::pair<size_t, size_t>> out;
    size_t i = 2;
    while (i + 4 <= f.size() && f[i] == 0xFF && f[i + 1] != 0xD9) {
        size_t end = i + 2 + (size_t(f[i + 2]) << 8 | f[i + 3]);
        if (f[i + 1] == 0xDA)
            while (end + 1 < f.size() && !(f[end] == 0xFF && f[end + 1] != 0 && (f[end + 1] < 0xD0 || f[end + 1] > 0xD7)))
                ++end;
        out.push_back({i, end});
        i = end;
    }
    return out;
}

Bytes referenceDecode(const std::string& path, int* w, int* h) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return Bytes();
    Bytes out = referenceDecodeFile(f, w, h);
    fclose(f);
    return out;
}

} // namespace

TEST(PictureJpeg, ColourGreyAndProgressiveMatchLibjpeg) {
    for (const char* name : {"colour.jpg", "grey.jpg", "progressive.jpg"}) {
        SCOPED_TRACE(name);
        int w = 0, h = 0;
        Bytes ref = referenceDecode(fixture(name), &w, &h);
        ASSERT_FALSE(ref.empty());
        CPicture p;
        ASSERT_TRUE(p.load(fixture(name)));
        EXPECT_EQ(p.width, w);
        EXPECT_EQ(p.height, h);
        EXPECT_EQ(p.transparencyMode, TRANSPARENCY_OPAQUE);
        EXPECT_EQ(maxDifference(p, ref, true), 0);

        // The same bytes from memory give the same picture.
        Bytes file = readBytes(fixture(name));
        CPicture m;
        ASSERT_TRUE(m.loadMemory("image/jpeg", file.data(), file.size()));
        EXPECT_EQ(maxDifference(m, ref, true), 0);
    }
}

TEST(PictureJpeg, CmykShowsItsFirstComponentAsGrey) {
    CPicture p;
    ASSERT_TRUE(p.load(fixture("cmyk.jpg")));
    EXPECT_EQ(p.width, 70);
    bool varied = false;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const unsigned char* q = p.pixelAt(x, y);
            ASSERT_EQ(q[0], q[1]);
            ASSERT_EQ(q[1], q[2]);
            ASSERT_EQ(q[3], 255);
            varied = varied || q[0] != p.pixels[0];
        }
    EXPECT_TRUE(varied);
}

TEST(PictureJpeg, OtherComponentCountsShowTheFirstAsGrey) {
    Bytes file = encodeUnknownColourSpace(16, 8, 2);
    CPicture p;
    ASSERT_TRUE(p.loadMemory("image/jpeg", file.data(), file.size()));
    ASSERT_EQ(p.width, 16);
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_OPAQUE);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            const unsigned char* q = p.pixelAt(x, y);
            ASSERT_NEAR(q[0], x * 8 + y, 2) << x << "," << y;
            ASSERT_EQ(q[1], q[0]);
            ASSERT_EQ(q[2], q[0]);
            ASSERT_EQ(q[3], 255);
        }
}

TEST(PictureJpeg, ProgressiveFilesOfEndlessScansAreRefused) {
    // Every scan of a progressive file passes over the whole picture again: a small file of
    // thousands of tiny scans would keep the decoder busy for minutes.
    Bytes file = readBytes(fixture("progressive.jpg"));
    auto segs = segments(file);
    ASSERT_FALSE(segs.empty());
    auto lastScan = segs.back();
    ASSERT_EQ(file[lastScan.first + 1], 0xDA);
    Bytes scan(file.begin() + long(lastScan.first), file.begin() + long(lastScan.second));
    auto withCopies = [&](int n) {
        Bytes f(file.begin(), file.begin() + long(lastScan.second));
        for (int i = 0; i < n; ++i)
            f.insert(f.end(), scan.begin(), scan.end());
        f.insert(f.end(), {0xFF, 0xD9});
        return f;
    };
    CPicture p;
    Bytes some = withCopies(40);
    EXPECT_TRUE(p.loadFromJPGMemory(some.data(), some.size()));
    EXPECT_EQ(p.width, 70);
    Bytes endless = withCopies(2000);
    EXPECT_FALSE(p.loadFromJPGMemory(endless.data(), endless.size()));
    EXPECT_EQ(p.width, 0);
    EXPECT_EQ(p.pixels, nullptr);
}

TEST(PictureJpeg, TruncatedDataStillGiveAFullSizePicture) {
    CPicture p;
    ASSERT_TRUE(p.load(fixture("truncated.jpg")));
    EXPECT_EQ(p.width, 64);
    EXPECT_EQ(p.height, 48);

    // Cut from memory too, at several places after the header.
    Bytes file = readBytes(fixture("colour.jpg"));
    int w = 0, h = 0;
    Bytes ref = referenceDecode(fixture("colour.jpg"), &w, &h);
    for (size_t cut : {file.size() - 2, file.size() * 3 / 4, size_t(700)}) {
        SCOPED_TRACE(cut);
        CPicture m;
        ASSERT_TRUE(m.loadFromJPGMemory(file.data(), cut));
        EXPECT_EQ(m.width, 64);
        EXPECT_EQ(m.height, 48);
        // The top rows come from the data that were there.
        EXPECT_LE(std::abs(int(m.pixelAt(0, 0)[2]) - ref[0]), 0);
    }
}

TEST(PictureJpeg, CorruptDataLeaveAnEmptyPictureAndTheProgramGoesOn) {
    Bytes file = readBytes(fixture("colour.jpg"));
    struct Case {
        const char* what;
        Bytes data;
    } cases[] = {
        {"no image at all", {0xFF, 0xD8, 0xFF, 0xD9}},
        {"not a JPEG", {'G', 'I', 'F', '8', '9', 'a', 0, 0}},
        {"header cut inside the markers", Bytes(file.begin(), file.begin() + 30)},
        {"one byte", {0xFF}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        CPicture p;
        ASSERT_TRUE(p.create(4, 4));
        EXPECT_FALSE(p.loadFromJPGMemory(c.data.data(), c.data.size()));
        EXPECT_EQ(p.width, 0);
        EXPECT_EQ(p.pixels, nullptr);
    }

    // A frame header claiming 65535 x 65535 pixels is refused before any allocation.
    Bytes huge = file;
    for (size_t i = 0; i + 8 < huge.size(); ++i) {
        if (huge[i] == 0xFF && (huge[i + 1] == 0xC0 || huge[i + 1] == 0xC2)) {
            huge[i + 5] = huge[i + 6] = huge[i + 7] = huge[i + 8] = 0xFF;
            break;
        }
    }
    CPicture p;
    EXPECT_FALSE(p.loadFromJPGMemory(huge.data(), huge.size()));
    EXPECT_EQ(p.width, 0);

    // Garbage in the entropy-coded data gives a picture or none, never ends the program.
    Bytes damaged = file;
    for (size_t i = damaged.size() / 2; i < damaged.size() - 2; i += 7)
        damaged[i] ^= 0x5A;
    bool loaded = p.loadFromJPGMemory(damaged.data(), damaged.size());
    EXPECT_EQ(p.width, loaded ? 64 : 0);
}
