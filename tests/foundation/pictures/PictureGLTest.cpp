#include "PictureTestUtil.h"

#include "foundation/Picture.h"
#include "platform/GL.h"
#include "support/HeadlessGL.h"
#include "support/MissingComponent.h"
#include "support/ProcessThreads.h"

#include <cstring>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

using namespace pictest;

namespace {

constexpr int kW = 96, kH = 64; // framebuffer, pixels

// Every test draws into its own headless context of kW x kH, read back to compare with the
// software copy of the same drawing.
class PictureGL : public testing::Test {
protected:
    HeadlessGL gl;
    CPicture screen; // the target picture: only its size matters to bitbltGL

    void SetUp() override {
        if (!gl.open(kW, kH)) TARLUME_MISSING_COMPONENT() << "no headless OpenGL: " << gl.error();
        ASSERT_TRUE(screen.create(kW, kH));
    }
    void TearDown() override { glSetMaxTextureSizeOverride(0); }

    // The framebuffer as a picture.
    void readBack(CPicture& out) {
        std::vector<unsigned char> bytes = gl.readPixels();
        ASSERT_TRUE(out.create(kW, kH));
        std::memcpy(out.pixels, bytes.data(), bytes.size());
    }
    // Largest colour difference between the framebuffer and a picture of the screen's size.
    int screenDifference(const CPicture& expected) {
        CPicture shown;
        readBack(shown);
        int worst = 0;
        for (size_t i = 0; i < shown.byteSize(); ++i) {
            if (i % 4 == 3) continue; // the screen's alpha is not shown
            worst = std::max(worst, std::abs(int(shown.pixels[i]) - int(expected.pixels[i])));
        }
        return worst;
    }
    // Draws a block of src on a black screen and returns the largest difference from the software
    // copy of the same block onto a black picture.
    int drawOnBlack(CPicture& src, int x, int y, int w, int h, int sx, int sy) {
        glClear(GL_COLOR_BUFFER_BIT);
        CPicture::bitbltGL(&screen, x, y, w, h, &src, sx, sy);
        CPicture expected;
        if (!expected.create(kW, kH)) return -1;
        std::memset(expected.pixels, 0, expected.byteSize());
        expected.bitblt(x, y, w, h, &src, sx, sy);
        return screenDifference(expected);
    }
};

// A picture with a colour pattern and alphas from `alphas`, cycling.
void patterned(CPicture& p, int w, int h, std::vector<unsigned char> alphas, unsigned seed) {
    ASSERT_TRUE(p.create(w, h));
    size_t k = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x, ++k) {
            unsigned char* q = p.pixelAt(x, y);
            q[0] = (unsigned char)(x * 7 + seed);
            q[1] = (unsigned char)(y * 11 + seed * 3);
            q[2] = (unsigned char)((x ^ y) * 13 + seed * 5);
            q[3] = alphas[k % alphas.size()];
        }
}

} // namespace

TEST_F(PictureGL, EachModeShowsWhatTheSoftwareCopyGives) {
    CPicture background;
    patterned(background, kW, kH, {255}, 1);
    std::vector<unsigned char> partial = {0, 255, 1, 128, 254, 37, 200, 90};
    struct Case {
        TRANSPARENCY_MODE mode;
        std::vector<unsigned char> alphas;
    } cases[] = {
        {TRANSPARENCY_OPAQUE, {255, 3}},       {TRANSPARENCY_ONOFF, {0, 255, 255}},
        {TRANSPARENCY_ALPHA, partial},         {TRANSPARENCY_PREMULTIPLIED_INVERTED, partial}, // premultiplied below
        {TRANSPARENCY_PREMULTIPLIED, partial},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode);
        CPicture src;
        patterned(src, 40, 30, c.alphas, 9);
        if (c.mode == TRANSPARENCY_PREMULTIPLIED_INVERTED) src.premultiply();
        if (c.mode == TRANSPARENCY_PREMULTIPLIED) {
            src.premultiply(); // premultiplied colours; then the plain alpha back
            for (size_t i = 3; i < src.byteSize(); i += 4)
                src.pixels[i] = (unsigned char)(255 - src.pixels[i]);
        }
        src.transparencyMode = c.mode;

        glClear(GL_COLOR_BUFFER_BIT);
        CPicture::bitbltGL(&screen, 0, 0, kW, kH, &background, 0, 0);
        CPicture::bitbltGL(&screen, 10, 5, 35, 28, &src, 3, 1);
        CPicture expected;
        ASSERT_TRUE(expected.create(kW, kH));
        expected.bitblt(0, 0, kW, kH, &background, 0, 0);
        expected.bitblt(10, 5, 35, 28, &src, 3, 1);
        EXPECT_LE(screenDifference(expected), 2);
        EXPECT_EQ(glIsEnabled(GL_BLEND) == GL_TRUE, c.mode == TRANSPARENCY_PREMULTIPLIED); // left on after mode 4
        glDisable(GL_BLEND);
    }
}

TEST_F(PictureGL, ClippingMatchesTheSoftwareCopy) {
    CPicture src;
    patterned(src, 30, 20, {255}, 4);
    struct Case {
        int x, y, w, h, sx, sy;
    } cases[] = {{-5, -3, 20, 20, 0, 0}, {80, 50, 30, 30, 2, 2}, {10, 10, 12, 8, -4, -2}, {0, 0, 0, 5, 0, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(drawOnBlack(src, c.x, c.y, c.w, c.h, c.sx, c.sy), 0);
    // Missing and empty pictures draw nothing and make no texture.
    CPicture empty;
    CPicture::bitbltGL(&screen, 0, 0, 5, 5, &empty, 0, 0);
    CPicture::bitbltGL(nullptr, 0, 0, 5, 5, &src, 0, 0);
    CPicture::bitbltGL(&screen, 0, 0, 5, 5, nullptr, 0, 0);
    EXPECT_EQ(empty.texture, 0u);
}

TEST_F(PictureGL, PicturesBeyondTheSizeLimitDrawFromStripsWithoutSeams) {
    glSetMaxTextureSizeOverride(24);
    struct Case {
        int w, h;
        CPicture::TEXTURE_TILING tiling;
        size_t strips;
    } cases[] = {
        {20, 60, CPicture::TILING_ROWS, 3},    // 2.5 x the limit
        {60, 20, CPicture::TILING_COLUMNS, 3}, //
        {50, 50, CPicture::TILING_ROWS, 3},    // rows, each cut into columns when drawn
        {24, 48, CPicture::TILING_ROWS, 2},    // exactly two
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        CPicture src;
        patterned(src, c.w, c.h, {255}, 2);
        struct Rect {
            int x, y, w, h, sx, sy;
        } rects[] = {
            {0, 0, c.w, c.h, 0, 0},        // whole
            {30, 1, 25, 50, 3, 20},        // across the first border
            {5, 4, 40, 55, 1, 2},          // across two borders
            {50, 20, 10, 10, c.w - 10, 0}, // inside the last strip only
        };
        for (const Rect& r : rects)
            EXPECT_EQ(drawOnBlack(src, r.x, r.y, r.w, r.h, r.sx, r.sy), 0)
                << "rect " << r.x << "," << r.y << " from " << r.sx << "," << r.sy;
        EXPECT_EQ(src.tiling, c.tiling);
        EXPECT_EQ(src.tiles.size(), c.strips);
        EXPECT_EQ(src.texture, 0u);
        src.destroyTextureGL();
        EXPECT_TRUE(src.tiles.empty());
        EXPECT_EQ(src.tiling, CPicture::TILING_NONE);
    }
}

TEST_F(PictureGL, ADrawAfterDestroyUploadsAgain) {
    CPicture src;
    ASSERT_TRUE(src.create(8, 8));
    src.fillRectangle(0, 0, 8, 8, 0x000000FF); // red
    CPicture::bitbltGL(&screen, 0, 0, 8, 8, &src, 0, 0);
    GLuint first = src.texture;
    ASSERT_NE(first, 0u);
    EXPECT_TRUE(glIsTexture(first));

    src.fillRectangle(0, 0, 8, 8, 0x00FF0000); // blue
    src.destroyTextureGL();
    EXPECT_EQ(src.texture, 0u);
    EXPECT_FALSE(glIsTexture(first)); // deleted at once on the GL thread
    CPicture::bitbltGL(&screen, 0, 0, 8, 8, &src, 0, 0);
    EXPECT_NE(src.texture, 0u);
    CPicture shown;
    readBack(shown);
    EXPECT_EQ(px(shown, 4, 4), bgra(255, 0, 0, 255));

    // close releases the texture too.
    GLuint second = src.texture;
    src.close();
    EXPECT_FALSE(glIsTexture(second));
}

TEST_F(PictureGL, TexturesReleasedOffTheGLThreadAreDeletedByIt) {
    auto pic = std::make_unique<CPicture>();
    ASSERT_TRUE(pic->create(4, 4));
    pic->fillRectangle(0, 0, 4, 4, 0x00FFFFFF);
    CPicture::bitbltGL(&screen, 0, 0, 4, 4, pic.get(), 0, 0);
    GLuint name = pic->texture;
    ASSERT_NE(name, 0u);

    // A skin-loading thread deletes the picture: no GL call there, the name waits for the GL thread.
    std::thread worker([&] {
        EXPECT_FALSE(glOnContextThread());
        pic.reset();
        CPicture other; // drawing off the GL thread does nothing
        ASSERT_TRUE(other.create(2, 2));
        CPicture::bitbltGL(&screen, 0, 0, 2, 2, &other, 0, 0);
        EXPECT_EQ(other.texture, 0u);
    });
    worker.join();
    EXPECT_TRUE(glIsTexture(name));
    glDeletePendingTextures();
    EXPECT_FALSE(glIsTexture(name));
}

TEST(PictureGLWithoutContext, NothingIsDrawnAndNothingCalled) {
    CPicture screen, src;
    ASSERT_TRUE(screen.create(4, 4));
    ASSERT_TRUE(src.create(4, 4));
    CPicture::bitbltGL(&screen, 0, 0, 4, 4, &src, 0, 0);
    src.generateTextureGL();
    EXPECT_EQ(src.texture, 0u);
    src.destroyTextureGL();
    glDeletePendingTextures();

    const long threadsBefore = testsupport::processThreads();
    // A texture of a context that is gone is forgotten, never deleted in a later context.
    HeadlessGL gl;
    if (!gl.open(4, 4)) TARLUME_MISSING_COMPONENT() << gl.error();
    CPicture::bitbltGL(&screen, 0, 0, 4, 4, &src, 0, 0);
    GLuint old = src.texture;
    ASSERT_NE(old, 0u);
    gl.close();
    // The driver's threads end with the last context, so none is left running when the process ends.
    EXPECT_EQ(testsupport::threadsBackTo(threadsBefore), threadsBefore);
    ASSERT_TRUE(gl.open(4, 4));
    CPicture live;
    ASSERT_TRUE(live.create(4, 4));
    CPicture::bitbltGL(&screen, 0, 0, 4, 4, &live, 0, 0); // may well get the same name again
    src.destroyTextureGL();
    EXPECT_TRUE(glIsTexture(live.texture));
    CPicture::bitbltGL(&screen, 0, 0, 4, 4, &src, 0, 0); // uploads anew in this context
    EXPECT_NE(src.texture, 0u);
    EXPECT_TRUE(glIsTexture(src.texture));
}
