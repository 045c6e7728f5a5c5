#include "PictureTestUtil.h"

#include "foundation/Picture.h"

#include <cmath>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

using namespace pictest;

namespace {

// A picture of smooth and sharp detail: gradients, a checkerboard patch and an alpha ramp.
void detailed(CPicture& p, int w, int h) {
    ASSERT_TRUE(p.create(w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* q = p.pixelAt(x, y);
            q[0] = (unsigned char)(x * 255 / (w > 1 ? w - 1 : 1));
            q[1] = (unsigned char)(y * 255 / (h > 1 ? h - 1 : 1));
            q[2] = (x / 3 + y / 3) % 2 ? 230 : 20;
            q[3] = (unsigned char)((x + y) * 7);
        }
}

// The cubic and Lanczos rules evaluated literally as 2-D sums, in double precision.
double cubicK(double x) {
    double t = std::fabs(x);
    if (t <= 1) return ((1.1818181 * t - 2.167464) * t - 0.014354067) * t + 1;
    if (t <= 2) {
        double u = t - 1;
        return ((-0.54545456 * u + 1.2918661) * u - 0.7464115) * u;
    }
    double u = t - 2;
    return ((0.09090909 * u - 0.215311) * u + 0.12440191) * u;
}
double sincD(double x) {
    return x == 0 ? 1 : std::sin(M_PI * x) / (M_PI * x);
}
double lanczosK(double x) {
    return std::fabs(x) < 8 ? sincD(x) * sincD(x / 8) : 0;
}

int referenceChannel(const CPicture& s, int tw, int th, int i, int j, int c, int filter) {
    float rx = float(s.width) / float(tw), ry = float(s.height) / float(th);
    float sx = float(i) * rx, sy = float(j) * ry;
    int fx = int(std::floor(sx)), fy = int(std::floor(sy));
    int lo = filter == FILTER_CUBIC ? -2 : -8, hi = filter == FILTER_CUBIC ? 3 : 8;
    double sum = 0;
    for (int py = fy + lo; py <= fy + hi; ++py)
        for (int px_ = fx + lo; px_ <= fx + hi; ++px_) {
            int cx = std::min(std::max(px_, 0), s.width - 1), cy = std::min(std::max(py, 0), s.height - 1);
            double k =
                filter == FILTER_CUBIC ? cubicK(sx - px_) * cubicK(sy - py) : lanczosK(sx - px_) * lanczosK(sy - py);
            sum += k * s.pixelAt(cx, cy)[c];
        }
    return int(std::min(255.0, std::max(0.0, sum)));
}

} // namespace

TEST(PictureResize, BoxAndBilinearKeepAConstantPictureConstant) {
    struct Size {
        int w, h;
    } targets[] = {{1, 1}, {3, 7}, {10, 10}, {33, 17}, {64, 48}, {100, 3}};
    for (int filter : {FILTER_BOX, FILTER_BILINEAR}) {
        for (unsigned value : {0u, 1u, 127u, 254u, 255u}) {
            CPicture src;
            ASSERT_TRUE(src.create(30, 20));
            std::memset(src.pixels, int(value), src.byteSize());
            src.transparencyMode = TRANSPARENCY_ALPHA;
            for (Size t : targets) {
                SCOPED_TRACE(testing::Message()
                             << "filter " << filter << " value " << value << " to " << t.w << "x" << t.h);
                std::unique_ptr<CPicture> r(src.resize(t.w, t.h, filter));
                ASSERT_EQ(r->width, t.w);
                ASSERT_EQ(r->height, t.h);
                for (size_t k = 0; k < r->byteSize(); ++k)
                    ASSERT_EQ(r->pixels[k], value) << "byte " << k;
            }
        }
    }
}

TEST(PictureResize, BoxAveragesWholeBlocksAndEnlargesWithoutBlack) {
    CPicture src;
    ASSERT_TRUE(src.create(4, 2));
    const unsigned char v[8] = {10, 20, 30, 41, 50, 60, 70, 80}; // blue of each pixel, row by row
    for (int i = 0; i < 8; ++i)
        std::memset(src.pixels + i * 4, v[i], 4);
    std::unique_ptr<CPicture> half(src.resize(2, 1, FILTER_BOX));
    EXPECT_EQ(half->pixels[0], (10 + 20 + 50 + 60) / 4);
    EXPECT_EQ(half->pixels[4], (30 + 41 + 70 + 80) / 4); // truncated

    // Enlarging: each target pixel is the source pixel at its position.
    std::unique_ptr<CPicture> big(src.resize(8, 4, FILTER_BOX));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(big->pixelAt(x, y)[0], v[(y / 2) * 4 + x / 2]);
}

TEST(PictureResize, CubicAndLanczosFollowTheirKernels) {
    CPicture src;
    detailed(src, 23, 17);
    src.transparencyMode = TRANSPARENCY_ALPHA;
    struct Size {
        int w, h;
    } targets[] = {{7, 5}, {23, 17}, {40, 31}, {11, 29}};
    for (int filter : {FILTER_CUBIC, FILTER_LANCZOS}) {
        for (Size t : targets) {
            SCOPED_TRACE(testing::Message() << "filter " << filter << " to " << t.w << "x" << t.h);
            std::unique_ptr<CPicture> r(src.resize(t.w, t.h, filter));
            int worst = 0;
            for (int j = 0; j < t.h; ++j)
                for (int i = 0; i < t.w; ++i)
                    for (int c = 0; c < 4; ++c) {
                        int want = referenceChannel(src, t.w, t.h, i, j, c, filter);
                        worst = std::max(worst, std::abs(int(r->pixelAt(i, j)[c]) - want));
                    }
            EXPECT_LE(worst, 1); // float sums in another order
        }
    }
}

TEST(PictureResize, OpaqueSourcesLeaveTheTargetAlphaAndModesCarryOver) {
    CPicture src;
    detailed(src, 12, 9);
    for (int filter : {FILTER_BOX, FILTER_BILINEAR, FILTER_CUBIC, FILTER_LANCZOS}) {
        src.transparencyMode = TRANSPARENCY_OPAQUE;
        CPicture target;
        ASSERT_TRUE(target.create(5, 4));
        std::memset(target.pixels, 99, target.byteSize());
        target.transparencyMode = TRANSPARENCY_PREMULTIPLIED;
        CPicture::resizeStatic(&src, &target, filter);
        EXPECT_EQ(target.transparencyMode, TRANSPARENCY_OPAQUE);
        for (int k = 3; k < 5 * 4 * 4; k += 4)
            EXPECT_EQ(target.pixels[k], 99);

        std::unique_ptr<CPicture> r(src.resize(5, 4, filter)); // fresh pictures are opaque
        for (size_t k = 3; k < r->byteSize(); k += 4)
            EXPECT_EQ(r->pixels[k], 255);

        src.transparencyMode = TRANSPARENCY_PREMULTIPLIED_INVERTED;
        r.reset(src.resize(5, 4, filter));
        EXPECT_EQ(r->transparencyMode, TRANSPARENCY_PREMULTIPLIED_INVERTED);
    }
    // Missing or empty pictures: nothing happens.
    CPicture empty, target;
    ASSERT_TRUE(target.create(2, 2));
    CPicture::resizeStatic(&empty, &target, FILTER_LANCZOS);
    CPicture::resizeStatic(&src, &empty, FILTER_LANCZOS);
    CPicture::resizeStatic(nullptr, &target, FILTER_BOX);
    std::unique_ptr<CPicture> none(empty.resize(10, 10, FILTER_CUBIC));
    EXPECT_EQ(none->width, 0);
}

TEST(PictureResize, ResizeBestReducesStronglyInTwoStages) {
    CPicture src;
    detailed(src, 1000, 60);
    // 1000 -> 100: k = 10 and the intermediate 100 x 6 is the target: one box reduction.
    std::unique_ptr<CPicture> best(src.resizeBest(100, 6, FILTER_CUBIC));
    std::unique_ptr<CPicture> box(src.resize(100, 6, FILTER_BOX));
    ASSERT_EQ(best->width, 100);
    EXPECT_EQ(std::memcmp(best->pixels, box->pixels, box->byteSize()), 0);

    // 1000 -> 90: k = 11, a box to 90 x 5, then the asked filter to 90 x 7.
    best.reset(src.resizeBest(90, 7, FILTER_BILINEAR));
    std::unique_ptr<CPicture> stage(src.resize(90, 5, FILTER_BOX));
    std::unique_ptr<CPicture> two(stage->resize(90, 7, FILTER_BILINEAR));
    ASSERT_EQ(best->height, 7);
    EXPECT_EQ(std::memcmp(best->pixels, two->pixels, two->byteSize()), 0);

    // Mild reductions and enlargements: one resize with the asked filter.
    best.reset(src.resizeBest(600, 30, FILTER_LANCZOS));
    std::unique_ptr<CPicture> one(src.resize(600, 30, FILTER_LANCZOS));
    EXPECT_EQ(std::memcmp(best->pixels, one->pixels, one->byteSize()), 0);

    // Zero and negative sizes (tall, narrow covers) become 1; a reduction by more than the
    // height keeps an intermediate row.
    best.reset(src.resizeBest(0, 0, FILTER_CUBIC));
    EXPECT_EQ(best->width, 1);
    EXPECT_EQ(best->height, 1);
    best.reset(src.resizeBest(1, -3, FILTER_CUBIC));
    EXPECT_EQ(best->height, 1);
    CPicture empty;
    best.reset(empty.resizeBest(10, 10, FILTER_CUBIC));
    EXPECT_EQ(best->width, 0);
}
