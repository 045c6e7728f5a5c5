// The drawing primitives (recorded OpenGL calls), the object drawings and text rendered into
// pictures.
#include "SkinTestSupport.h"

#include "foundation/Picture.h"
#include "platform/TextRenderer.h"
#include "skin/Skin.h"
#include "skin/SkinFont.h"
#include "skin/SkinObject.h"
#include "skin/SkinWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

struct DrawFixture {
    TestSkinInterface iface;
    Skin skin{&iface};
    std::unique_ptr<SkinWindow> window;
    CPicture target;
    std::vector<std::unique_ptr<CPicture>> pictures;

    explicit DrawFixture(const std::string& objects) {
        std::string font = "<name>pinned</name><face>DejaVu Sans</face><size>21</size>";
        skin.fonts.emplace_back(new SkinFont(&font));
        std::string text = "<name>w</name>" + objects;
        window.reset(new SkinWindow(&skin, &text));
        target.create(400, 300);
    }
    SkinObject* get(const std::string& name) { return window->getObject(name); }
    // An object picture: a picture of w x h whose reference covers all of it.
    SkinImageRef* picture(SkinObject* object, int slot, int w, int h) {
        pictures.emplace_back(new CPicture());
        pictures.back()->create(w, h);
        SkinRect r;
        r.width = static_cast<float>(w);
        r.height = static_cast<float>(h);
        r.right = r.width;
        r.bottom = r.height;
        object->additionalPics[slot].reset(new SkinImageRef(pictures.back().get(), &r));
        return object->additionalPics[slot].get();
    }
    void value(double v, const std::string& spec = "", int deck = 0) {
        iface.numbers[std::make_tuple(TEST_VALUE, spec, deck)] = v;
    }
};

std::string object(const std::string& name, const std::string& type, int drawType, int x, int y, int w, int h,
                   const std::string& extra = "") {
    return "<object><name>" + name + "</name><type>" + type + "</type><value>testvalue</value><drawtype>" +
           std::to_string(drawType) + "</drawtype><position><x>" + std::to_string(x) + "</x><y>" + std::to_string(y) +
           "</y><width>" + std::to_string(w) + "</width><height>" + std::to_string(h) +
           "</height></position><font>pinned</font>" + extra + "</object>";
}

struct Ink {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
    int count = 0;
    bool any() const { return count > 0; }
};

Ink inkOf(const CPicture* picture) {
    Ink ink;
    for (int y = 0; y < picture->height; ++y)
        for (int x = 0; x < picture->width; ++x)
            if (picture->pixelAt(x, y)[3] > 0) {
                ink.left = std::min(ink.left, x);
                ink.right = std::max(ink.right, x);
                ink.top = std::min(ink.top, y);
                ink.bottom = std::max(ink.bottom, y);
                ++ink.count;
            }
    return ink;
}

} // namespace

TEST(SkinDraw, QuadsUseTheInvertedBlendAndLinesTheUsualOne) {
    TestSkinInterface iface;
    CPicture target;
    iface.fillTransparent(&target, 0, 0, 10, 10, 0x0000FF, 255);
    EXPECT_EQ(iface.recorder.calls,
              (std::vector<std::string>{"texture off", "blend on", "blendfunc inverted", "begin quads", "color 1 0 0 1",
                                        "vertex 0 0", "vertex 10 0", "vertex 10 10", "vertex 0 10", "end", "blend off",
                                        "color 1 1 1 1", "texture on"}));
    EXPECT_FALSE(iface.fillBatchOpen);
    iface.recorder.calls.clear();
    iface.fillTransparent(&target, 0, 0, 1, 1, 0xFF0000, 0);
    EXPECT_EQ(iface.recorder.calls[4], "color 0 0 1 0"); // transparency 0 paints fully
    iface.recorder.calls.clear();
    iface.fillRectangle(&target, 5, 6, 1, 2, 0x00FF00);
    EXPECT_EQ(iface.recorder.calls, (std::vector<std::string>{"texture off", "blend off", "begin quads",
                                                              "color 0 1 0 0", "vertex 5 6", "vertex 1 6", "vertex 1 2",
                                                              "vertex 5 2", "end", "color 1 1 1 1", "texture on"}));

    // Inside a batch a quad only adds its vertices, under the batch's blending.
    iface.recorder.calls.clear();
    iface.fillRectangleBegin(&target, true);
    iface.fillRectangle(&target, 0, 0, 1, 1, 0);
    iface.fillTransparent(&target, 0, 0, 1, 1, 0, 128);
    iface.fillRectangleEnd(&target, true);
    EXPECT_EQ(std::count(iface.recorder.calls.begin(), iface.recorder.calls.end(), "begin quads"), 1);
    EXPECT_EQ(iface.recorder.vertices().size(), 8u);

    iface.recorder.calls.clear();
    iface.drawLine(&target, 1, 2, 3, 4, 1.5f, 0xFFFFFF, 0.25f);
    EXPECT_EQ(iface.recorder.calls,
              (std::vector<std::string>{"texture off", "smooth on", "blend on", "blendfunc alpha", "linewidth 1.5",
                                        "begin lines", "color 1 1 1 0.75", "vertex 1 2", "vertex 3 4", "end",
                                        "blend off", "color 1 1 1 1", "texture on"}));
    iface.recorder.calls.clear();
    iface.drawLineBegin(&target, 2.0f);
    iface.drawLine(&target, 0, 0, 1, 1, 9.0f, 0, 0);
    iface.drawLineBegin(&target, 1.4f); // a second begin closes the open batch first
    iface.drawLineEnd(&target);
    EXPECT_EQ(std::count(iface.recorder.calls.begin(), iface.recorder.calls.end(), "end"), 2);
    EXPECT_EQ(std::count(iface.recorder.calls.begin(), iface.recorder.calls.end(), "linewidth 9"), 0);
    EXPECT_FALSE(iface.lineBatchOpen);
}

TEST(SkinDraw, KnobPointerAndFrameStrips) {
    DrawFixture f(object("k", "knob", 0, 10, 10, 40, 40, "<color><r>255</r></color>") +
                  object("strip", "knob", 3, 0, 0, 20, 20) + object("stack", "knob", 3, 0, 0, 20, 20) +
                  object("empty", "knob", 3, 0, 0, 0, 20));
    f.value(0.5, "");
    SkinObject* k = f.get("k");
    f.iface.drawObjectKnob(&f.target, k, 0, 0, -1.0);
    std::vector<std::pair<float, float>> v = f.iface.recorder.vertices();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], std::make_pair(30.0f, 30.0f));
    EXPECT_NEAR(v[1].first, 30.0f, 1.0f); // straight up
    EXPECT_EQ(v[1].second, 10.0f);
    f.iface.recorder.calls.clear();
    f.iface.drawObjectKnob(&f.target, k, 0, 0, 0.0);
    v = f.iface.recorder.vertices();
    EXPECT_NEAR(v[1].first, 30 - 14.14, 1.0); // lower left
    EXPECT_NEAR(v[1].second, 30 + 14.14, 1.0);

    // Four frames side by side: 0 at 0, 3 at 1.0 (never 4).
    SkinObject* strip = f.get("strip");
    f.picture(strip, 0, 80, 20);
    for (auto [relative, frame] : {std::make_pair(0.0, 0), std::make_pair(0.3, 1), std::make_pair(1.0, 3)}) {
        f.iface.blits.clear();
        f.iface.drawObjectKnob(&f.target, strip, 0, 0, relative);
        ASSERT_EQ(f.iface.blits.size(), 1u);
        EXPECT_EQ(f.iface.blits[0].sx, frame * 20) << relative;
        EXPECT_EQ(f.iface.blits[0].sy, 0);
    }
    SkinObject* stack = f.get("stack");
    f.picture(stack, 0, 20, 100);
    f.iface.blits.clear();
    f.iface.drawObjectKnob(&f.target, stack, 0, 0, 1.0);
    EXPECT_EQ(f.iface.blits[0].sy, 80);
    // A knob without a size has no frames to count.
    f.picture(f.get("empty"), 0, 20, 100);
    f.iface.blits.clear();
    f.iface.drawObjectKnob(&f.target, f.get("empty"), 0, 0, 1.0);
    EXPECT_TRUE(f.iface.blits.empty());
}

TEST(SkinDraw, ButtonDrawTypes) {
    DrawFixture f(object("strip", "button", 4, 5, 6, 30, 10) + object("plain", "button", 0, 0, 0, 30, 10) +
                  object("lamp", "button", 2, 10, 10, 30, 20) + object("named", "button", 5, 0, 0, 60, 24));
    SkinObject* strip = f.get("strip");
    f.picture(strip, 0, 30, 20); // two frames stacked
    SkinObjectStateInfo* st = strip->states[0].get();
    auto frameShown = [&]() {
        f.iface.blits.clear();
        f.iface.drawObjectButton(&f.target, strip, 0, 0, f.window.get());
        return f.iface.blits.empty() ? -1 : f.iface.blits[0].sy / 10;
    };
    f.value(1);
    EXPECT_EQ(frameShown(), 1);
    f.value(0);
    EXPECT_EQ(frameShown(), -1);
    st->hover = true;
    EXPECT_EQ(frameShown(), 0);
    st->hover = false;
    st->pressed = true; // two frames have no pressed frame
    EXPECT_EQ(frameShown(), -1);
    EXPECT_EQ(f.iface.blits.size(), 0u);

    SkinObject* plain = f.get("plain");
    f.picture(plain, 0, 30, 10);
    f.picture(plain, 2, 30, 10);
    f.iface.blits.clear();
    f.iface.drawObjectButton(&f.target, plain, 0, 0, f.window.get());
    ASSERT_EQ(f.iface.blits.size(), 1u);
    EXPECT_EQ(f.iface.blits[0].src, plain->additionalPics[2]->picture);
    plain->states[0]->hover = true;
    f.iface.blits.clear();
    f.iface.drawObjectButton(&f.target, plain, 0, 0, f.window.get());
    EXPECT_EQ(f.iface.blits[0].src, plain->additionalPics[0]->picture);

    // Draw type 2: an indicator quad, green when on, red when off.
    f.iface.recorder.calls.clear();
    f.iface.drawObjectButton(&f.target, f.get("lamp"), 0, 0, f.window.get());
    EXPECT_NE(std::find(f.iface.recorder.calls.begin(), f.iface.recorder.calls.end(), "color 1 0 0 0"),
              f.iface.recorder.calls.end());
    EXPECT_EQ(f.iface.recorder.vertices()[0], std::make_pair(14.0f, 14.0f));
    EXPECT_EQ(f.iface.recorder.vertices()[2], std::make_pair(36.0f, 26.0f));

    // Draw type 5 without pictures: the object's name in white.
    SkinObject* named = f.get("named");
    f.iface.blits.clear();
    f.iface.drawObjectButton(&f.target, named, 0, 0, f.window.get());
    ASSERT_EQ(f.iface.blits.size(), 1u);
    CPicture* text = named->states[0]->picture;
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(f.iface.blits[0].src, text);
    Ink ink = inkOf(text);
    ASSERT_TRUE(ink.any());
    bool white = false;
    for (int x = 0; x < text->width; ++x)
        for (int y = 0; y < text->height; ++y) {
            const unsigned char* p = text->pixelAt(x, y);
            if (p[3] == 255) white = p[0] == 255 && p[1] == 255 && p[2] == 255;
        }
    EXPECT_TRUE(white);
}

TEST(SkinDraw, SliderBarsThumbsAndLeds) {
    DrawFixture f(object("bar", "slider", 4, 0, 0, 100, 10, "<color><r>255</r></color>") +
                  object("vbar", "slider", 0, 0, 0, 10, 100,
                         "<color><r>0</r><g>255</g></color><color2><r>0</r><b>255</b></color2>") +
                  object("thumb", "slider", 1, 10, 0, 110, 20) + object("leds", "slider", 12, 0, 0, 40, 10) +
                  object("hidden", "slider", 10, 0, 0, 40, 10) + object("zero", "slider", 12, 0, 0, 40, 10));
    SkinObject* bar = f.get("bar");
    f.value(0.5);
    f.iface.drawObjectSlider(&f.target, bar, 0, 0);
    std::vector<std::pair<float, float>> v = f.iface.recorder.vertices();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0], std::make_pair(50.0f, 0.0f));  // from the centre ...
    EXPECT_EQ(v[2], std::make_pair(50.0f, 10.0f)); // ... to the centre: an empty bar
    f.iface.recorder.calls.clear();
    f.value(0.75);
    f.iface.drawObjectSlider(&f.target, bar, 0, 0);
    EXPECT_EQ(f.iface.recorder.vertices()[2], std::make_pair(75.0f, 10.0f));

    // Vertical with both colours: the track in colour 2, then the bar from the bottom.
    f.iface.recorder.calls.clear();
    f.value(0.25);
    f.iface.drawObjectSlider(&f.target, f.get("vbar"), 0, 0);
    v = f.iface.recorder.vertices();
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(v[4], std::make_pair(0.0f, 75.0f));
    EXPECT_EQ(v[6], std::make_pair(10.0f, 100.0f));

    SkinObject* thumb = f.get("thumb");
    f.picture(thumb, 0, 10, 20);
    f.value(0.5);
    f.iface.drawObjectSlider(&f.target, thumb, 0, 0);
    ASSERT_EQ(f.iface.blits.size(), 1u);
    EXPECT_EQ(f.iface.blits[0].x, 10 + 50);
    thumb->invert = true;
    f.value(0.25);
    f.iface.blits.clear();
    f.iface.drawObjectSlider(&f.target, thumb, 0, 0);
    EXPECT_EQ(f.iface.blits[0].x, 10 + 75);

    // LEDs 10 wide: 4 of them, lit below the value; the unlit frame is the third.
    SkinObject* leds = f.get("leds");
    f.picture(leds, 0, 30, 10)->rect->width = 10;
    f.value(0.5);
    f.iface.blits.clear();
    f.iface.drawObjectSlider(&f.target, leds, 0, 0);
    ASSERT_EQ(f.iface.blits.size(), 4u);
    EXPECT_EQ(f.iface.blits[1].x, 10);
    EXPECT_EQ(f.iface.blits[1].sx, 0);
    EXPECT_EQ(f.iface.blits[2].sx, 20);
    f.picture(f.get("hidden"), 0, 30, 10)->rect->width = 10;
    f.iface.blits.clear();
    f.iface.drawObjectSlider(&f.target, f.get("hidden"), 0, 0);
    EXPECT_TRUE(f.iface.blits.empty());
    // A LED picture without width draws nothing instead of looping for ever.
    f.picture(f.get("zero"), 0, 30, 10)->rect->width = 0;
    f.iface.drawObjectSlider(&f.target, f.get("zero"), 0, 0);
    EXPECT_TRUE(f.iface.blits.empty());
}

TEST(SkinDraw, HugeRectanglesDrawWithinTheCoordinateLimits) {
    // A bar reaching past anything a screen shows: its quad corners stay whole pixels.
    DrawFixture f(object("bar", "slider", 0, 2147483647, 0, 2147483647, 10,
                         "<color><r>255</r></color><color2><g>255</g><r>1</r></color2>") +
                  object("leds", "slider", 12, -2147483647, 0, 2147483647, 10));
    f.value(1.0);
    f.iface.drawObjectSlider(&f.target, f.get("bar"), 0, 0);
    std::vector<std::pair<float, float>> v = f.iface.recorder.vertices();
    ASSERT_EQ(v.size(), 8u);
    for (auto& corner : v)
        EXPECT_LE(std::fabs(corner.first), 2 * SkinRect::maxCoordinate);
    // A row of LEDs this long is still drawn in a bounded number of steps.
    f.picture(f.get("leds"), 0, 48, 10)->rect->width = 16;
    f.iface.drawObjectSlider(&f.target, f.get("leds"), 0, 0);
    EXPECT_LE(f.iface.blits.size(), size_t(SkinRect::maxCoordinate / 16) + 1);
}

TEST(SkinDraw, TextIsRenderedOnlyWhenItChangesAndPerLayer) {
    DrawFixture f(object("t", "text", 0, 10, 20, 120, 30) +
                  object("scroll", "text", 3, 0, 0, 40, 30, "<valuespecifier>s</valuespecifier>"));
    SkinObject* t = f.get("t");
    f.iface.texts[std::make_tuple(TEST_VALUE, std::string(), 0)] = "Track";
    f.iface.texts[std::make_tuple(TEST_VALUE, std::string(), 1)] = "Other";
    f.iface.drawObject(&f.target, t, 0, f.window.get());
    CPicture* first = t->states[0]->picture;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->transparencyMode, TRANSPARENCY_PREMULTIPLIED);
    EXPECT_EQ(t->states[0]->drawnText, "Track");
    first->pixelAt(0, 0)[3] = 77; // a marker that a new rendering would clear
    f.iface.drawObject(&f.target, t, 0, f.window.get());
    EXPECT_EQ(first->pixelAt(0, 0)[3], 77);
    EXPECT_EQ(f.iface.blits.size(), 2u);
    EXPECT_EQ(f.iface.blits[1].x, 10);
    EXPECT_EQ(f.iface.blits[1].y, 20);
    f.iface.drawObject(&f.target, t, 1, f.window.get());
    EXPECT_NE(t->states[1]->picture, first);
    EXPECT_EQ(t->states[1]->drawnText, "Other");
    t->colors[0] = 0x123456; // a new colour renders again
    f.iface.drawObject(&f.target, t, 0, f.window.get());
    EXPECT_EQ(first->pixelAt(0, 0)[3], 0);

    // A scrolling text wider than its box advances with the clock and pauses at both ends.
    SkinObject* scroll = f.get("scroll");
    f.iface.texts[std::make_tuple(TEST_VALUE, std::string("s"), 0)] = "A long scrolling title";
    f.iface.drawObject(&f.target, scroll, 0, f.window.get());
    SkinObjectStateInfo* s = scroll->states[0].get();
    double over = s->textWidth - 40;
    ASSERT_GT(over, 30);
    auto sourceAt = [&](double ms) {
        f.iface.clock += ms;
        f.iface.blits.clear();
        f.iface.drawObject(&f.target, scroll, 0, f.window.get());
        return f.iface.blits.at(0).sx;
    };
    EXPECT_EQ(sourceAt(333.1), 10); // 33.3 ms a pixel for long texts
    EXPECT_EQ(sourceAt(999.3), 40);
    sourceAt((over - 40) * 33.3);
    EXPECT_EQ(sourceAt(20 * 33.3), static_cast<int>(over)); // pause at the end
    EXPECT_LT(sourceAt(20 * 33.3), static_cast<int>(over)); // scrolling back
    sourceAt(over * 33.3);
    EXPECT_EQ(sourceAt(5 * 33.3), 0); // pause at the start
}

TEST(SkinDraw, TextPixelsWithAPinnedFont) {
    DrawFixture f(object("left", "text", 0, 0, 0, 200, 40) + object("centre", "text", 1, 0, 0, 200, 40) +
                  object("up", "text", 0, 0, 0, 40, 200, "<font>up</font>"));
    std::string upFont = "<name>up</name><face>DejaVu Sans</face><size>21</size><angle>90</angle>";
    f.skin.fonts.emplace_back(new SkinFont(&upFont));
    f.get("up")->font = f.skin.fonts.back().get();
    std::string text = "HHHH";
    SkinFont* font = f.skin.getFontHandle("pinned");
    TextRenderer::Style style;
    style.fontId = font->getATSUFontID();
    style.size = static_cast<int>(font->size);
    int ascent = TextRenderer::ascent(style);
    EXPECT_GE(ascent, 15);
    EXPECT_LE(ascent, 22);

    SkinObject* left = f.get("left");
    f.iface.drawText(&f.target, &text, left, 0, 0x0000FF, font); // red
    Ink ink = inkOf(left->states[0]->picture);
    ASSERT_TRUE(ink.any());
    EXPECT_LE(ink.left, 3);
    EXPECT_LE(ink.bottom, ascent); // capitals sit on the baseline
    EXPECT_GE(ink.top, ascent - 18);
    EXPECT_GE(ink.top, 0);
    EXPECT_GT(ink.right - ink.left, 40);
    // Byte order B, G, R and premultiplied coverage.
    const CPicture* red = left->states[0]->picture;
    int full = 0;
    for (int y = 0; y < red->height; ++y)
        for (int x = 0; x < red->width; ++x) {
            const unsigned char* p = red->pixelAt(x, y);
            EXPECT_EQ(p[0], 0);
            EXPECT_EQ(p[1], 0);
            EXPECT_LE(p[2], p[3]);
            if (p[3] == 255) {
                EXPECT_EQ(p[2], 255);
                ++full;
            }
        }
    EXPECT_GT(full, 20);

    SkinObject* centre = f.get("centre");
    f.iface.drawText(&f.target, &text, centre, 0, 0xFF0000, font);
    Ink c = inkOf(centre->states[0]->picture);
    EXPECT_NEAR(c.left, 199 - c.right, 3);
    EXPECT_EQ(centre->states[0]->picture->pixelAt((c.left + c.right) / 2, (c.top + c.bottom) / 2)[2], 0);

    SkinObject* up = f.get("up");
    f.iface.drawText(&f.target, &text, up, 0, 0xFFFFFF, up->font);
    Ink u = inkOf(up->states[0]->picture);
    ASSERT_TRUE(u.any());
    EXPECT_GT(u.bottom - u.top, 2 * (u.right - u.left)); // reads upwards
    EXPECT_GT(u.bottom, 150);                            // from near the bottom
}

TEST(SkinDraw, MeasuringAndShortening) {
    DrawFixture f("");
    SkinFont* font = f.skin.getFontHandle("pinned");
    float width = -1, height = -1;
    std::string empty;
    f.iface.getTextSize(&f.target, &empty, &width, &height, font);
    EXPECT_EQ(width, -1); // unchanged
    std::string caps = "HH", low = "gy";
    f.iface.getTextSize(&f.target, &caps, &width, &height, font);
    EXPECT_GT(width, 20);
    EXPECT_LE(height, 1); // the depth below the baseline, not the full height
    float capsWidth = width;
    f.iface.getTextSize(&f.target, &low, &width, &height, font);
    EXPECT_GE(height, 3);
    std::string angled = "<face>DejaVu Sans</face><size>21</size><angle>90</angle>";
    SkinFont turned(&angled);
    f.iface.getTextSize(&f.target, &caps, &width, &height, &turned);
    EXPECT_EQ(height, capsWidth);

    CPicture row;
    row.create(300, 20);
    std::memset(row.pixels, 0, row.byteSize());
    std::string longText;
    for (int i = 0; i < 40; ++i)
        longText += "Tr\xC3\xA4";
    f.iface.drawTextOnPic(&row, &longText, 0, 0, 60, 20, 0xFFFFFF, font, nullptr, TEXTDRAW_SHORTEN, TEXTALIGN_LEFT);
    Ink ink = inkOf(&row);
    ASSERT_TRUE(ink.any());
    EXPECT_LT(ink.right, 100); // about 60 pixels and "..."
    std::memset(row.pixels, 0, row.byteSize());
    f.iface.drawTextOnPic(&row, &longText, 0, 0, 0, 20, 0xFFFFFF, font, nullptr, TEXTDRAW_SHORTEN, TEXTALIGN_LEFT);
    EXPECT_FALSE(inkOf(&row).any()); // no width: nothing

    std::string right = "HH";
    f.iface.drawTextOnPic(&row, &right, 100, 0, 100, 20, 0xFFFFFF, font, nullptr, TEXTDRAW_NORMAL, TEXTALIGN_RIGHT);
    ink = inkOf(&row);
    EXPECT_NEAR(ink.right, 199, 3);
}

TEST(TextRenderer, DecodesUtf8ThenWindows1252) {
    std::string out;
    EXPECT_TRUE(TextRenderer::decodeText("caf\xC3\xA9", &out));
    EXPECT_EQ(out, "caf\xC3\xA9");
    EXPECT_TRUE(TextRenderer::decodeText("caf\xE9 \x80", &out));
    EXPECT_EQ(out, "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_FALSE(TextRenderer::decodeText("bad \x81 byte", &out));
    EXPECT_TRUE(TextRenderer::decodeText("", &out));
    EXPECT_EQ(out, "");
}
