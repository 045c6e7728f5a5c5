// Rectangles, colours, fonts and image references read from skin text.
#include "foundation/Picture.h"
#include "platform/FontRegistry.h"
#include "skin/SkinColor.h"
#include "skin/SkinFont.h"
#include "skin/SkinImageRef.h"
#include "skin/SkinRect.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

SkinRect rectOf(std::string text) {
    return SkinRect(&text);
}

} // namespace

TEST(SkinRect, ReadsEdgesSizesAndPercentages) {
    struct Case {
        const char* text;
        float left, right, top, bottom, width, height, layoutWidth;
        int vertical;
    };
    const Case cases[] = {
        // x2 before x: the edges swap.
        {"<x>10</x><width>0</width><x2>5</x2><height>4</height>", 5, 10, 0, 4, 5, 4, 5, 0},
        // no x2: zero width at x.
        {"<x>10</x><y>3</y>", 10, 10, 3, 3, 0, 0, 0, 1},
        // a negative width is kept as the layout margin only.
        {"<x>4</x><width>-20</width><height>8</height>", 4, -16, 0, 8, 0, 8, -20, 1},
        {"<width>20</width><height>20</height>", 0, 20, 0, 20, 20, 20, 20, 1},
        {"<width>21</width><height>20</height>", 0, 21, 0, 20, 21, 20, 21, 0},
        {"<Y>2</Y><Y2>12</Y2><X>1</X><X2>3</X2>", 1, 3, 2, 12, 2, 10, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SkinRect r = rectOf(c.text);
        EXPECT_EQ(r.left, c.left);
        EXPECT_EQ(r.right, c.right);
        EXPECT_EQ(r.top, c.top);
        EXPECT_EQ(r.bottom, c.bottom);
        EXPECT_EQ(r.width, c.width);
        EXPECT_EQ(r.height, c.height);
        EXPECT_EQ(r.layoutWidth, c.layoutWidth);
        EXPECT_EQ(r.vertical, c.vertical);
    }
    SkinRect percent = rectOf("<widthprcnt>50</widthprcnt>");
    EXPECT_FLOAT_EQ(percent.widthPercent, 0.5f);
    EXPECT_FLOAT_EQ(percent.xPercent, -0.01f); // absent: negative, so not given
    SkinRect none;
    EXPECT_EQ(none.xPercent, -1.0f);
    EXPECT_EQ(none.vertical, 0);

    SkinRect copy;
    copy.vertical = 1;
    SkinRect source = rectOf("<x>1</x><width>30</width><xprcnt>10</xprcnt>");
    copy.initFromRect(&source);
    EXPECT_EQ(copy.right, 31);
    EXPECT_FLOAT_EQ(copy.xPercent, 0.1f);
    EXPECT_EQ(copy.vertical, 1); // kept

    // Numbers no screen can show are held to the coordinate limits, so that drawing can turn
    // every edge into whole pixels.
    for (const char* text : {"<x>2147483647</x><width>2147483647</width><y>-2147483648</y><height>-2147483648</height>",
                             "<x2>2147483647</x2><y2>2147483647</y2>"}) {
        SCOPED_TRACE(text);
        SkinRect huge = rectOf(text);
        for (float v : {huge.left, huge.right, huge.top, huge.bottom, huge.width, huge.height, huge.layoutX,
                        huge.layoutWidth, huge.layoutY, huge.layoutHeight})
            EXPECT_LE(std::fabs(v), SkinRect::maxCoordinate);
    }
    SkinRect far = rectOf("<x>2147483647</x><width>10</width>");
    EXPECT_EQ(far.left, SkinRect::maxCoordinate);
    EXPECT_EQ(far.width, 10);
}

TEST(SkinColor, ByteOrderAndClampedChannels) {
    struct Case {
        const char* text;
        unsigned int value;
    };
    const Case cases[] = {
        {"<r>255</r><b>0</b>", 0x0000FF},
        {"<b>255</b>", 0xFF0000},
        {"<R>1</R><G>2</G><B>3</B>", 0x030201},
        // Out-of-range channels stay in their own byte.
        {"<r>300</r><g>-5</g><b>256</b>", 0xFF00FF},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(SkinColor(&text).value, c.value) << c.text;
    }
    std::string named = "<name>Red</name><r>255</r>";
    EXPECT_EQ(SkinColor(&named).name, "Red");
    std::string empty;
    SkinColor none(&empty);
    EXPECT_EQ(none.name, "empty");
    EXPECT_EQ(none.value, 0u);
    EXPECT_EQ(SkinColor().name, "black");
}

TEST(SkinFont, SizeSmoothingFaceAndAngleRules) {
    struct Case {
        const char* text;
        float size;
        int clearType;
    };
    const Case cases[] = {
        {"<pointsize>10</pointsize>", 14.0f, 1},
        {"<pointsize>1</pointsize><size>12</size>", 11.0f, 1},
        {"", 13.0f, 1},
        {"<cleartype>no</cleartype>", 13.0f, 0},
        {"<cleartype>AUTO</cleartype>", 13.0f, 1},
        // Sizes the rasteriser cannot draw are held to 1..512.
        {"<size>0</size>", 1.0f, 1},
        {"<size>-40</size>", 1.0f, 1},
        {"<pointsize>100000</pointsize>", 512.0f, 1},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        SkinFont font(&text);
        EXPECT_FLOAT_EQ(font.size, c.size) << c.text;
        EXPECT_EQ(font.clearType, c.clearType) << c.text;
    }
    std::string text = "<name>Big</name><bold>YES</bold><face>DejaVu Sans</face><angle>90.7</angle>";
    SkinFont font(&text);
    EXPECT_EQ(font.name, "Big");
    EXPECT_EQ(font.face, "DejaVu Sans");
    EXPECT_FLOAT_EQ(font.bold, 1.0f);
    EXPECT_EQ(font.angle, 90);
    std::string plain;
    EXPECT_EQ(SkinFont(&plain).face, "Arial");
}

TEST(SkinFont, PlatformFontIsLookedUpOnceAndFallsBackToArial) {
    std::vector<std::string> asked;
    FontRegistry::setMatcherForTests([&](const std::string& family) {
        asked.push_back(family);
        return family == "Nonexistent Face" ? std::string("Some Default") : std::string("Arial Stand-in");
    });
    std::string text = "<face>Nonexistent Face</face>";
    SkinFont font(&text);
    unsigned int id = font.getATSUFontID();
    EXPECT_NE(id, 0u);
    EXPECT_EQ(FontRegistry::familyName(id), "Arial Stand-in");
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1], "Arial");
    EXPECT_EQ(font.getATSUFontID(), id);
    EXPECT_EQ(asked.size(), 2u); // the second call asks nothing

    // Nothing at all: 0, kept.
    FontRegistry::setMatcherForTests([&](const std::string& family) {
        asked.push_back(family);
        return std::string();
    });
    SkinFont missing(&text);
    asked.clear();
    EXPECT_EQ(missing.getATSUFontID(), 0u);
    EXPECT_EQ(missing.getATSUFontID(), 0u);
    EXPECT_EQ(asked.size(), 2u);
    FontRegistry::setMatcherForTests(nullptr);
}

TEST(FontRegistry, FontconfigServesFacesAndArial) {
    unsigned int dejavu = FontRegistry::findFont("DejaVu Sans");
    ASSERT_NE(dejavu, 0u);
    EXPECT_EQ(FontRegistry::familyName(dejavu), "DejaVu Sans");
    EXPECT_EQ(FontRegistry::findFont("dejavu sans"), dejavu); // same family, same index
    // An unknown face is served by what "Arial" maps to (Liberation Sans with fonts-liberation2).
    unsigned int unknown = FontRegistry::findFont("No Such Typeface 12345");
    EXPECT_EQ(unknown, FontRegistry::findFont("Arial"));
    EXPECT_NE(unknown, 0u);
    EXPECT_EQ(FontRegistry::familyName(0), "");
}

TEST(SkinImageRef, ReadsNameAndAreaAndCopiesIt) {
    CPicture picture;
    ASSERT_TRUE(picture.create(8, 8));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            unsigned char* p = picture.pixelAt(x, y);
            p[0] = static_cast<unsigned char>(x);
            p[1] = static_cast<unsigned char>(y);
            p[2] = 0;
            p[3] = 255;
        }
    std::string text = "<name>knob</name><position><x>2</x><y>3</y><width>4</width><height>2</height></position>";
    SkinImageRef ref(&picture, &text);
    EXPECT_EQ(ref.name, "knob");
    EXPECT_EQ(ref.rect->left, 2);
    EXPECT_EQ(ref.rect->height, 2);
    EXPECT_TRUE(ref.usable());

    CPicture* copy = ref.constructPicture();
    ASSERT_EQ(copy->width, 4);
    ASSERT_EQ(copy->height, 2);
    EXPECT_EQ(copy->pixelAt(0, 0)[0], 2);
    EXPECT_EQ(copy->pixelAt(3, 1)[0], 5);
    EXPECT_EQ(copy->pixelAt(3, 1)[1], 4);
    delete copy;

    // A transparent source is copied as it is, in its own mode, not blended onto fresh memory; the part
    // of the area beyond the picture comes out as zero bytes.
    picture.transparencyMode = TRANSPARENCY_PREMULTIPLIED_INVERTED;
    picture.pixelAt(7, 7)[3] = 128;
    std::string edge = "<position><x>6</x><y>6</y><width>4</width><height>4</height></position>";
    SkinImageRef edgeRef(&picture, &edge);
    copy = edgeRef.constructPicture();
    ASSERT_EQ(copy->width, 4);
    EXPECT_EQ(copy->transparencyMode, TRANSPARENCY_PREMULTIPLIED_INVERTED);
    EXPECT_EQ(copy->pixelAt(1, 1)[3], 128);
    EXPECT_EQ(copy->pixelAt(0, 0)[0], 6);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(copy->pixelAt(3, 3)[i], 0);
    delete copy;

    SkinImageRef empty(nullptr, ref.rect.get());
    EXPECT_FALSE(empty.usable());
    CPicture* blank = empty.constructPicture();
    EXPECT_EQ(blank->width, 4);
    delete blank;
}
