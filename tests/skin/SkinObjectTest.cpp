// Skin objects built from their tags.
#include "SkinTestSupport.h"

#include "skin/Skin.h"
#include "skin/SkinFont.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

#include <gtest/gtest.h>

namespace {

struct ObjectFixture {
    TestSkinInterface iface;
    Skin skin{&iface};
    std::unique_ptr<SkinWindow> window;

    explicit ObjectFixture(const std::string& objects) {
        std::string colors = "<name>Accent</name><r>10</r><g>20</g><b>30</b>";
        skin.colors.emplace_back(new SkinColor(&colors));
        std::string font = "<name>Small</name><size>9</size>";
        skin.fonts.emplace_back(new SkinFont(&font));
        std::string ref = "<name>led</name><position><x>1</x><y>2</y><width>3</width><height>4</height></position>";
        skin.imageRefs.emplace_back(new SkinImageRef(nullptr, &ref));
        std::string text = "<name>w</name>" + objects;
        window.reset(new SkinWindow(&skin, &text));
    }
    SkinObject* get(const std::string& name) { return window->getObject(name); }
};

} // namespace

TEST(SkinObject, ReadsItsFields) {
    ObjectFixture f("<object><name>Play</name><type>Button</type><value>TestValue</value>"
                    "<valuespecifier>Deck A</valuespecifier><invert>Yes</invert><drawtype>3</drawtype>"
                    "<player>2</player><left-action>default</left-action><right-action>RESET</right-action>"
                    "<center-action>kill</center-action><doubleclick-action>none</doubleclick-action>"
                    "<tooltip>Start</tooltip><font>small</font><typevariable>3</typevariable>"
                    "<position><x>5</x><y>6</y><width>7</width><height>8</height></position></object>"
                    "<object><name>Auto</name><player>AUTO</player><invert>on</invert></object>"
                    "<object><name>Absent</name></object>");
    SkinObject* play = f.get("Play");
    ASSERT_NE(play, nullptr);
    EXPECT_EQ(play->type, OBJECT_BUTTON);
    EXPECT_EQ(play->value, TEST_VALUE);
    EXPECT_EQ(play->valueSpecifier, "Deck A");
    EXPECT_TRUE(play->invert);
    EXPECT_EQ(play->drawType, 3);
    EXPECT_EQ(play->player, 2);
    EXPECT_EQ(play->actionLeft, ACTION_DEFAULT);
    EXPECT_EQ(play->actionRight, ACTION_RESET);
    EXPECT_EQ(play->actionCenter, ACTION_DEFAULT);
    EXPECT_EQ(play->actionDoubleClick, 0);
    EXPECT_EQ(play->tooltip, "Start");
    EXPECT_EQ(play->font->name, "Small");
    EXPECT_EQ(play->typeVariable, 3.0);
    EXPECT_EQ(play->rect->right, 12);
    EXPECT_EQ(play->window, f.window.get());
    for (int layer = 0; layer < 4; ++layer)
        EXPECT_TRUE(play->states[layer]->redraw);

    SkinObject* automatic = f.get("Auto");
    EXPECT_EQ(automatic->player, -1);
    EXPECT_FALSE(automatic->invert);
    EXPECT_EQ(automatic->drawType, 0);
    EXPECT_EQ(automatic->font->name, "default"); // created by the skin on first need
    EXPECT_EQ(f.get("Absent")->player, -1);
    // Without a position the object is never hit.
    EXPECT_FALSE(inSquare(0, 0, f.get("Absent")->rect.get()));
}

TEST(SkinObject, KnobSensitivityRule) {
    ObjectFixture f("<object><name>a</name><type>knob</type><valuespecifier>volume|2</valuespecifier></object>"
                    "<object><name>b</name><type>knob</type><valuespecifier>volume</valuespecifier>"
                    "<typevariable>3</typevariable></object>"
                    "<object><name>c</name><type>slider</type><typevariable>3</typevariable></object>"
                    "<object><name>d</name><type>knob</type><valuespecifier>volume|</valuespecifier></object>"
                    "<object><name>e</name><type>knob</type><valuespecifier> eq | -4 |x</valuespecifier></object>"
                    "<object><name>g</name><type>knob</type><valuespecifier>|</valuespecifier></object>");
    struct Case {
        const char* name;
        const char* spec;
        double variable;
    };
    const Case cases[] = {{"a", "volume", 2.0}, {"b", "volume", 1.0}, {"c", "", 3.0},
                          {"d", "volume", 1.0}, {"e", "eq", 1.0},     {"g", "", 1.0}};
    for (const Case& c : cases) {
        SkinObject* object = f.get(c.name);
        ASSERT_NE(object, nullptr) << c.name;
        EXPECT_EQ(object->valueSpecifier, c.spec) << c.name;
        EXPECT_EQ(object->typeVariable, c.variable) << c.name;
    }
}

TEST(SkinObject, EdgeLinksFindEarlierObjectsOnly) {
    ObjectFixture f("<tabs><tab><name>t</name>"
                    "<object><name>first</name><position><linkleft>previous</linkleft><x>1</x></position></object>"
                    "<object><name>second</name><position><linkleft>previous</linkleft><linkright>Later</linkright>"
                    "<linktop>side</linktop><linkbottom>first</linkbottom></position></object>"
                    "<object><name>third</name><position><linkleft>rightside</linkleft>"
                    "<linkright>rightside</linkright><linkbottom>FIRST</linkbottom></position></object>"
                    "</tab></tabs>"
                    "<object><name>Later</name></object>"
                    "<object><name>own</name><position><linkleft>second</linkleft><linktop>previous</linktop>"
                    "</position></object>");
    SkinObject* first = f.get("first");
    SkinObject* second = f.get("second");
    SkinObject* third = f.get("third");
    EXPECT_EQ(first->linkLeft.mode, SkinLink::NONE); // "previous" in an empty tab is a name
    EXPECT_EQ(second->linkLeft.mode, SkinLink::OBJECT);
    EXPECT_EQ(second->linkLeft.target, first);
    EXPECT_EQ(second->linkRight.mode, SkinLink::NONE); // built later
    EXPECT_EQ(second->linkTop.mode, SkinLink::SIDE);
    EXPECT_EQ(second->linkBottom.target, first);
    EXPECT_EQ(third->linkLeft.mode, SkinLink::RIGHTSIDE);
    EXPECT_EQ(third->linkRight.mode, SkinLink::NONE);  // "rightside" is a name on the right edge
    EXPECT_EQ(third->linkBottom.mode, SkinLink::NONE); // names are compared exactly
    SkinObject* own = f.get("own");
    EXPECT_EQ(own->linkLeft.target, second); // the window's own objects see the tabs'
    EXPECT_EQ(own->linkTop.mode, SkinLink::NONE);
}

TEST(SkinObject, ColoursPicturesNamesAndDuplicates) {
    ObjectFixture f("<object><name>c</name><color2><r>255</r></color2><color3>accent</color3>"
                    "<color4><name>nothing</name></color4></object>"
                    "<object><additionalpic_1><name>led</name></additionalpic_1>"
                    "<additionalpic_2><ref>background</ref></additionalpic_2>"
                    "<additionalpic_3><file>missing</file></additionalpic_3>"
                    "<position><x>4</x><y>4</y><width>10</width><height>10</height></position></object>"
                    "<object><name>dup</name><value>testvalue</value></object>"
                    "<object><name>dup</name><value>testvalue2</value></object>");
    SkinObject* c = f.get("c");
    EXPECT_FALSE(c->hasColor[0]);
    EXPECT_EQ(c->colors[0], 0u);
    EXPECT_TRUE(c->hasColor[1]);
    EXPECT_EQ(c->colors[1], 0x0000FFu);
    EXPECT_EQ(c->colors[2], SkinColor::fromChannels(10, 20, 30));
    EXPECT_TRUE(c->hasColor[3]);
    EXPECT_EQ(c->colors[3], 0u);

    // The first "name" element of the text names the object, even inside a picture element.
    SkinObject* pictured = f.get("led");
    ASSERT_NE(pictured, nullptr);
    ASSERT_NE(pictured->additionalPics[0], nullptr);
    EXPECT_EQ(pictured->additionalPics[0]->rect->height, 4);
    ASSERT_NE(pictured->additionalPics[1], nullptr); // the window's (absent) background picture
    EXPECT_EQ(pictured->additionalPics[1]->picture, nullptr);
    EXPECT_EQ(pictured->additionalPics[1]->rect->left, 4);
    EXPECT_EQ(pictured->additionalPics[2], nullptr);
    EXPECT_EQ(pictured->additionalPics[3], nullptr);
    EXPECT_EQ(f.get("dup")->value, TEST_VALUE);
}

TEST(SkinObject, TemporaryAndPresetObjects) {
    std::string empty;
    SkinObject temporary(&empty, nullptr, nullptr);
    EXPECT_EQ(temporary.type, 0);
    EXPECT_EQ(temporary.player, -1);
    EXPECT_EQ(temporary.font, nullptr);
    EXPECT_EQ(temporary.rect->width, 0);
    SkinObject copy(&temporary);
    EXPECT_TRUE(copy.name.empty());
    EXPECT_NE(copy.rect, nullptr);
    EXPECT_NE(copy.states[3], nullptr);
    EXPECT_EQ(SkinObject::getObject("x", nullptr, nullptr), nullptr);
}
