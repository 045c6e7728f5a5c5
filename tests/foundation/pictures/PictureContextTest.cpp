#include "PictureTestUtil.h"

#include "foundation/Picture.h"
#include "platform/BitmapContext.h"

#include <cstring>

#include <gtest/gtest.h>

using namespace pictest;

namespace {

// Sets the fill colour the way the text drawing does for a 0x00BBGGRR colour: (blue, green, red) / 255.
void fillColour(CGContextRef c, unsigned colour, float alpha = 1) {
    c->setFillColor(float((colour >> 16) & 255) / 255, float((colour >> 8) & 255) / 255, float(colour & 255) / 255,
                    alpha);
}

void clear(CPicture& p) {
    std::memset(p.pixels, 0, p.byteSize());
}

} // namespace

TEST(PictureContext, MadeOnceOverThePicturesOwnPixelsAndFreedByClose) {
    CPicture p;
    EXPECT_EQ(p.getCGContextRef(), nullptr); // empty picture
    ASSERT_TRUE(p.create(8, 4));
    CGContextRef c = p.getCGContextRef();
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(p.cgContextMade);
    EXPECT_EQ(p.getCGContextRef(), c);
    EXPECT_EQ(c->width(), 8);
    EXPECT_EQ(c->height(), 4);
    p.close();
    EXPECT_EQ(p.cgContext.get(), nullptr);
    EXPECT_FALSE(p.cgContextMade);
    ASSERT_TRUE(p.create(2, 2)); // a new store gets a new context on the new memory
    clear(p);
    fillColour(p.getCGContextRef(), 0x00FFFFFF);
    p.getCGContextRef()->fillRect(0, 0, 2, 2);
    EXPECT_EQ(px(p, 1, 1), bgra(255, 255, 255, 255));
}

TEST(PictureContext, FillsLandAsThePicturesColourWithTheOriginAtTheBottomLeft) {
    CPicture p;
    ASSERT_TRUE(p.create(6, 4));
    clear(p);
    CGContextRef c = p.getCGContextRef();
    fillColour(c, 0x00336699); // red 0x99, green 0x66, blue 0x33
    c->fillRect(0, 0, 2, 1);   // bottom-left corner
    EXPECT_EQ(px(p, 0, 3), bgra(0x33, 0x66, 0x99, 255));
    EXPECT_EQ(px(p, 1, 3), bgra(0x33, 0x66, 0x99, 255));
    EXPECT_EQ(px(p, 2, 3), 0u);
    EXPECT_EQ(px(p, 0, 2), 0u);

    // Half-transparent paint on transparent pixels: premultiplied colour, alpha about half.
    fillColour(c, 0x0000C8FF, 0.5f);
    c->fillRect(5, 3, 1, 1); // top-right corner
    const unsigned char* q = p.pixelAt(5, 0);
    EXPECT_NEAR(q[2], 0xFF / 2, 1);
    EXPECT_NEAR(q[1], 0xC8 / 2, 1);
    EXPECT_EQ(q[0], 0);
    EXPECT_NEAR(q[3], 128, 1);

    c->clearRect(0, 0, 6, 4);
    for (size_t k = 0; k < p.byteSize(); ++k)
        ASSERT_EQ(p.pixels[k], 0);
}

TEST(PictureContext, RotationIsInDegreesCounterClockwise) {
    CPicture p;
    ASSERT_TRUE(p.create(8, 8));
    clear(p);
    CGContextRef c = p.getCGContextRef();
    fillColour(c, 0x000000FF);
    c->saveGState();
    c->translateCTM(4, 4);
    c->rotateCTM(90); // x now points up the picture
    c->fillRect(0, 0, 3, 1);
    c->restoreGState();
    // A 1 x 3 bar from the centre upwards, to the left of x 4: columns 3, rows 1..3 from the top.
    for (int y = 1; y <= 3; ++y)
        EXPECT_EQ(px(p, 3, y), bgra(0, 0, 255, 255)) << y;
    EXPECT_EQ(px(p, 4, 2), 0u);
    EXPECT_EQ(px(p, 3, 4), 0u);
}

TEST(PictureContext, StrokesSavedStateAndDirectPixelWrites) {
    CPicture p;
    ASSERT_TRUE(p.create(10, 10));
    clear(p);
    CGContextRef c = p.getCGContextRef();
    c->setStrokeColor(0, 1, 0, 1); // green, the middle byte
    fillColour(c, 0x00FF0000);     // blue
    c->setLineWidth(2);
    c->beginPath();
    c->moveTo(0, 5);
    c->addLineTo(10, 5);
    c->strokePath();
    EXPECT_EQ(px(p, 5, 4), bgra(0, 255, 0, 255)); // user row 5..6 is picture rows 4..5 from the top
    EXPECT_EQ(px(p, 5, 5), bgra(0, 255, 0, 255));
    EXPECT_EQ(px(p, 5, 3), 0u);

    // The picture's owner writes pixels directly between drawings: both survive.
    p.fillRectangle(0, 0, 10, 1, 0x000000FF);
    c->saveGState();
    fillColour(c, 0x00FFFFFF);
    c->restoreGState(); // the fill colour is blue again
    c->beginPath();
    c->addRect(0, 0, 10, 1);
    c->fillPath();
    EXPECT_EQ(px(p, 3, 0), bgra(0, 0, 255, 255));
    EXPECT_EQ(px(p, 3, 9), bgra(255, 0, 0, 255));
    c->restoreGState(); // unbalanced: ignored
    c->fillRect(0, 0, 1, 1);
    EXPECT_EQ(px(p, 0, 9), bgra(255, 0, 0, 255));
}
