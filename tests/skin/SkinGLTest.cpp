// A small skin of several windows, tabs, buttons, sliders, knobs, texts and a start-up script,
// loaded and drawn as the application draws a frame, into a headless OpenGL framebuffer that is
// read back at known places.
#include "SkinTestSupport.h"

#include "foundation/Picture.h"
#include "platform/GL.h"
#include "platform/GLPrimitives.h"
#include "support/HeadlessGL.h"
#include "support/MissingComponent.h"
#include "support/SkinFrame.h"
#include "skin/Skin.h"
#include "skin/SkinObject.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

#include <gtest/gtest.h>

namespace {

constexpr int kWidth = 320, kHeight = 200; // the framebuffer, pixels

// Four 20 x 20 frames side by side, from black to white.
unsigned int knobStrip(int x, int) {
    return x < 20 ? 0x000000 : x < 40 ? 0x404040 : x < 60 ? 0x808080 : 0xFFFFFF;
}

const char* const testSkin =
    "<skin><info><name>GL test</name></info>"
    "<fonts><font><name>label</name><face>DejaVu Sans</face><size>17</size></font></fonts>"
    "<main><startposition_1><width>200</width><height>100</height></startposition_1>"
    "<window-background-color><r>0</r><g>0</g><b>255</b></window-background-color>"
    "<object><name>toggle</name><type>button</type><drawtype>2</drawtype><value>showwindow</value>"
    "<valuespecifier>browser</valuespecifier><left-action>default</left-action>"
    "<position><x>10</x><y>10</y><width>40</width><height>30</height></position></object>"
    "<object><name>level</name><type>slider</type><drawtype>0</drawtype><value>testvalue</value>"
    "<valuespecifier>level</valuespecifier><left-action>default</left-action><color><r>255</r><g>255</g>"
    "<b>0</b></color><color2><r>1</r></color2>"
    "<position><x>60</x><y>10</y><width>100</width><height>10</height></position></object>"
    "<object><name>knob</name><type>knob</type><drawtype>3</drawtype><value>testvalue</value>"
    "<valuespecifier>knob|1</valuespecifier><left-action>default</left-action>"
    "<additionalpic_1><file>knobs</file></additionalpic_1>"
    "<position><x>170</x><y>10</y><width>20</width><height>20</height></position></object>"
    "<object><name>label</name><type>text</type><value>constant</value><valuespecifier>HELLO</valuespecifier>"
    "<font>label</font><color><r>255</r><g>255</g><b>255</b></color>"
    "<position><x>10</x><y>60</y><width>120</width><height>30</height></position></object>"
    "</main>"
    "<playerwindow><startposition_1><x>200</x><y>0</y><width>120</width><height>100</height></startposition_1>"
    "<window-background-color><r>0</r><g>80</g><b>0</b></window-background-color>"
    "<tabs><tab><name>deck</name><default>yes</default>"
    "<object><type>button</type><drawtype>2</drawtype><value>testvalue</value><valuespecifier>on</valuespecifier>"
    "<position><x>10</x><y>10</y><width>30</width><height>30</height></position></object></tab>"
    "<tab><name>fx</name><object><type>knob</type><drawtype>0</drawtype><value>testvalue</value>"
    "<valuespecifier>dial</valuespecifier><color><r>255</r><g>0</g><b>255</b></color>"
    "<position><x>10</x><y>10</y><width>60</width><height>60</height></position></object></tab></tabs>"
    "<object><type>button</type><value>tabselect</value><valuespecifier>fx</valuespecifier>"
    "<left-action>default</left-action><position><x>80</x><y>70</y><width>30</width><height>20</height>"
    "</position></object>"
    "</playerwindow>"
    "<window><name>browser</name><startposition_1><x>0</x><y>100</y><width>100</width><height>100</height>"
    "</startposition_1><window-background-color><r>255</r><g>0</g><b>0</b></window-background-color></window>"
    "<window><name>palette</name><startposition_1><x>200</x><y>100</y><width>120</width><height>100</height>"
    "</startposition_1><window-background-color><r>255</r><g>255</g><b>0</b></window-background-color></window>"
    "</skin>";

class SkinGL : public testing::Test {
protected:
    HeadlessGL gl;
    TestSkinInterface iface;
    Skin skin{&iface};
    std::vector<unsigned char> pixels;

    void SetUp() override {
        if (!gl.open(kWidth, kHeight)) TARLUME_MISSING_COMPONENT() << "no headless OpenGL: " << gl.error();
        iface.gl = GLPrimitives::immediate();
        iface.forwardBlits = true;
        std::string folder = makeTempFolder("gl-skin");
        writeFile(folder + "skins/test.xml", testSkin);
        writeBmp(folder + "skins/test/knobs.bmp", 80, 20, knobStrip);
        writeFile(folder + "skins/test/startup.djscript", "click showwindow,palette\n");
        skin.loadSkin(folder + "skins/test.xml");
    }

    // One frame as the application draws it: every visible layer at its position.
    void frame() {
        testsupport::drawSkinFrame(skin);
        pixels = gl.readPixels();
    }
    // 0x00RRGGBB of a pixel of the last frame.
    unsigned int at(int x, int y) const { return testsupport::pixelColour(pixels, kWidth, x, y); }
    void click(const char* window, float x, float y) {
        SkinWindow* w = skin.getWindow(window);
        w->mouseDown(x, y, 1, 0, 0);
        w->mouseUp(x, y, 1, 0, 0);
    }
};

} // namespace

TEST_F(SkinGL, SkinDrawsAndAnswersClicks) {
    iface.numbers[std::make_tuple(TEST_VALUE, std::string("level"), 0)] = 0.5;
    iface.numbers[std::make_tuple(TEST_VALUE, std::string("knob"), 0)] = 0.75;
    iface.numbers[std::make_tuple(TEST_VALUE, std::string("on"), 0)] = 1;
    frame();
    EXPECT_EQ(at(190, 90), 0x0000FFu);  // main's background
    EXPECT_EQ(at(30, 25), 0xFF0000u);   // the browser toggle: off, red
    EXPECT_EQ(at(12, 12), 0x0000FFu);   // inside the 4-pixel inset: background
    EXPECT_EQ(at(80, 15), 0xFFFF00u);   // the slider's bar up to the middle ...
    EXPECT_EQ(at(130, 15), 0x010000u);  // ... and its track beyond
    EXPECT_EQ(at(180, 20), 0xFFFFFFu);  // the knob strip's frame 3 of 4 for 0.75
    EXPECT_EQ(at(225, 25), 0x00FF00u);  // the player's default tab: its lamp on
    EXPECT_EQ(at(300, 150), 0xFFFF00u); // shown by the start-up script
    EXPECT_EQ(at(50, 150), 0u);         // the browser is hidden

    // The label: white ink inside its rectangle, on the blue background.
    int white = 0;
    for (int y = 60; y < 90; ++y)
        for (int x = 10; x < 130; ++x)
            if (at(x, y) == 0xFFFFFFu) ++white;
    EXPECT_GT(white, 40);
    for (int x = 131; x < 200; ++x)
        ASSERT_NE(at(x, 75), 0xFFFFFFu);

    // A click on the slider writes its value; the toggle shows the browser.
    click("main", 85, 15);
    ASSERT_FALSE(iface.writes.empty());
    EXPECT_EQ(std::get<1>(iface.writes.back()), "level");
    EXPECT_NEAR(std::get<3>(iface.writes.back()), 0.25, 1e-6);
    click("main", 30, 25);
    frame();
    EXPECT_EQ(at(30, 25), 0x00FF00u);
    EXPECT_EQ(at(50, 150), 0xFF0000u);
    EXPECT_EQ(at(80, 15), 0xFFFF00u);
    EXPECT_EQ(at(100, 15), 0x010000u); // the bar follows the new value

    // The player's tab button selects the "fx" tab: a magenta pointer straight up from the dial's centre.
    iface.numbers[std::make_tuple(TEST_VALUE, std::string("dial"), 0)] = 0.5;
    click("player", 90, 80);
    EXPECT_EQ(skin.getWindow("player")->tabGroups[1]->getCurTab(0), 1);
    frame();
    EXPECT_EQ(at(225, 25), 0x005000u); // the lamp's tab is gone
    auto magentaish = [](unsigned int c) { return (c >> 16) > 0x80 && (c & 0xFF) > 0x80 && ((c >> 8) & 0xFF) < 0x60; };
    int magenta = 0;
    for (int y = 12; y < 40; ++y)
        if (magentaish(at(239, y)) || magentaish(at(240, y)) || magentaish(at(241, y))) ++magenta;
    EXPECT_GT(magenta, 20);
    EXPECT_FALSE(magentaish(at(260, 25)));
}
