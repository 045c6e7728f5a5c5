// Windows: construction, layout, events of one layer, tabs and the saved tab order.
#include "SkinTestSupport.h"

#include "foundation/Picture.h"

#include "skin/Skin.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct WindowFixture {
    TestSkinInterface iface;
    Skin skin{&iface};

    SkinWindow* make(const std::string& definition, const std::string& forcedName = "") {
        std::string text = definition;
        SkinWindow* window =
            forcedName.empty() ? new SkinWindow(&skin, &text) : new SkinWindow(&skin, &text, forcedName);
        skin.windows.emplace_back(window);
        return window;
    }
};

std::string button(const std::string& name, int x, int y, int w, int h, const std::string& extra = "") {
    return "<object><name>" + name + "</name><type>button</type><value>testvalue</value><valuespecifier>" + name +
           "</valuespecifier><left-action>default</left-action><right-action>reset</right-action><position><x>" +
           std::to_string(x) + "</x><y>" + std::to_string(y) + "</y><width>" + std::to_string(w) + "</width><height>" +
           std::to_string(h) + "</height></position>" + extra + "</object>";
}

} // namespace

TEST(SkinWindow, ConstructionSizeGroupsAndColours) {
    WindowFixture f;
    SkinWindow* w = f.make("<name>deck</name><startposition_1><x>10</x><y>20</y></startposition_1>"
                           "<startposition_3><x>30</x><y>40</y><width>400</width><height>300</height>"
                           "</startposition_3><startposition_4><width>500</width></startposition_4>"
                           "<presets><preset>" +
                           button("inpreset", 0, 0, 5, 5) +
                           "</preset></presets>"
                           "<tabs><tab><name>a</name>" +
                           button("ta", 0, 0, 5, 5) +
                           "</tab><tab><default>yes"
                           "</default><name>b</name></tab><tab><default>1</default><name>c</name></tab></tabs>"
                           "<tabs><tab><name>x</name></tab></tabs>" +
                           button("own", 0, 0, 5, 5) + "<playlist-font-color><r>1</r></playlist-font-color>");
    EXPECT_EQ(w->name, "deck");
    EXPECT_EQ(w->width, 400);
    EXPECT_EQ(w->height, 300);
    EXPECT_EQ(w->layerStates[0]->x, 10);
    EXPECT_EQ(w->layerStates[2]->y, 40);
    SkinWindow* far = f.make("<name>far</name><startposition_2><x>2147483647</x><y>-2147483648</y></startposition_2>");
    EXPECT_EQ(far->layerStates[1]->x, SkinRect::maxCoordinate);
    EXPECT_EQ(far->layerStates[1]->y, -SkinRect::maxCoordinate);
    for (int layer = 0; layer < 4; ++layer)
        EXPECT_FALSE(w->layerStates[layer]->visible);
    ASSERT_EQ(w->tabGroups.size(), 3u);
    EXPECT_EQ(w->tabGroups[0]->getNbTabs(), 1);
    EXPECT_EQ(w->tabGroups[0]->getTab(0)->getObj(0)->name, "own");
    EXPECT_EQ(w->tabGroups[1]->getCurTab(3), 2); // the later of two default tabs
    EXPECT_EQ(w->tabGroups[2]->getCurTab(0), 0); // no default: tab 0
    EXPECT_EQ(w->getObject("inpreset"), nullptr);
    EXPECT_EQ(w->getObject("ta")->name, "ta");
    ASSERT_NE(w->backgroundColor, nullptr); // no picture: black unless given
    EXPECT_EQ(w->backgroundColor->value, 0u);
    ASSERT_NE(w->listColors[SkinWindow::LISTCOLOR_FONT], nullptr);
    EXPECT_EQ(w->listColors[SkinWindow::LISTCOLOR_FONT]->value, 1u);
    EXPECT_EQ(w->listColors[SkinWindow::LISTCOLOR_BACKGROUND], nullptr);

    SkinWindow* forced = f.make("<name>ignored</name><startposition_1><width>99999</width><height>99999"
                                "</height></startposition_1>",
                                "player");
    EXPECT_EQ(forced->name, "player");
    EXPECT_EQ(forced->width, SkinWindow::maxSize); // a huge start size is held to the limit
}

TEST(SkinWindow, BackgroundPictureSetsTheSizeAndDrawsFirst) {
    WindowFixture f;
    std::string folder = makeTempFolder("window-background");
    f.skin.folder = folder;
    writeSolidBmp(folder + "back.bmp", 300, 200, 0x102030);
    SkinWindow* w = f.make("<name>w</name><background>back</background><startposition_1><width>400</width>"
                           "<height>0</height></startposition_1><window-background-color><r>9</r>"
                           "</window-background-color>");
    EXPECT_EQ(w->width, 300);
    EXPECT_EQ(w->height, 200);
    EXPECT_EQ(w->backgroundColor, nullptr);
    CPicture target;
    w->draw(&target, 0);
    ASSERT_EQ(f.iface.blits.size(), 1u);
    EXPECT_EQ(f.iface.blits[0].w, 300);
    EXPECT_EQ(f.iface.blits[0].src, w->backgroundPicture);
    EXPECT_TRUE(f.iface.recorder.calls.empty()); // no colour fill

    SkinWindow* plain = f.make("<name>p</name>");
    f.iface.clear();
    plain->draw(&target, 0);
    EXPECT_EQ(f.iface.recorder.vertices().size(), 4u);
    EXPECT_EQ(f.iface.recorder.vertices()[2], std::make_pair(100.0f, 100.0f));
}

TEST(SkinWindow, LayoutFollowsPercentagesAndLinks) {
    WindowFixture f;
    SkinWindow* w =
        f.make("<name>w</name>"
               "<object><name>corner</name><position><xprcnt>100</xprcnt><yprcnt>100</yprcnt><width>-15</width>"
               "<height>-15</height></position></object>"
               "<object><name>half</name><position><xprcnt>50</xprcnt><width>20</width></position></object>"
               "<object><name>wide</name><position><x>10</x><width>5</width><linkright>side</linkright></position>"
               "</object>"
               "<object><name>high</name><position><y>50</y><height>10</height></position></object>"
               "<object><name>below</name><position><y>60</y><height>10</height><linkbottom>high</linkbottom>"
               "</position></object>"
               "<object><name>next</name><position><x>3</x><width>10</width><height>5</height><linkleft>wide</linkleft>"
               "<linktop>high</linktop><y>2</y></position></object>"
               "<object><name>fromright</name><position><x>7</x><width>10</width><linkleft>rightside</linkleft>"
               "</position></object>");
    w->resize(400, 300);
    SkinObject* corner = w->getObject("corner");
    EXPECT_EQ(corner->rect->left, 385);
    EXPECT_EQ(corner->rect->right, 400);
    EXPECT_EQ(corner->rect->top, 285);
    EXPECT_EQ(corner->rect->bottom, 300);
    EXPECT_EQ(corner->rect->width, 0);
    EXPECT_TRUE(inSquare(392, 292, corner->rect.get()));
    EXPECT_FALSE(inSquare(380, 292, corner->rect.get()));

    w->resize(200, 300);
    SkinObject* half = w->getObject("half");
    EXPECT_EQ(half->rect->left, 100);
    EXPECT_EQ(half->rect->width, 20);
    EXPECT_EQ(half->rect->right, 140); // the drawn and the hit areas differ on purpose
    SkinObject* wide = w->getObject("wide");
    EXPECT_EQ(wide->rect->width, 185);
    EXPECT_EQ(wide->rect->right, 200);
    SkinObject* below = w->getObject("below");
    EXPECT_EQ(below->rect->height, 0);
    EXPECT_EQ(below->rect->bottom, below->rect->top);
    SkinObject* next = w->getObject("next");
    EXPECT_EQ(next->rect->left, 203); // right of "wide" + 3
    EXPECT_EQ(next->rect->top, 62);   // bottom of "high" + 2
    EXPECT_EQ(w->getObject("fromright")->rect->left, 200 - 10 - 7);

    w->resize(10, 10);
    EXPECT_EQ(w->width, 25);
    EXPECT_EQ(w->height, 25);
    w->resize(1e9f, std::nanf(""));
    EXPECT_EQ(w->width, SkinWindow::maxSize);
    EXPECT_EQ(w->height, 25);
}

TEST(SkinWindow, LayoutKeepsEdgesWithinTheCoordinateLimits) {
    // A percentage far past the window, and a chain of links each adding a huge margin: every
    // edge stays a number of pixels that drawing can use.
    WindowFixture f;
    std::string chain = "<object><name>o0</name><position><xprcnt>1e30</xprcnt><yprcnt>1e30</yprcnt>"
                        "<widthprcnt>1e30</widthprcnt><heightprcnt>1e30</heightprcnt></position></object>";
    for (int i = 1; i < 3000; ++i)
        chain += "<object><name>o" + std::to_string(i) +
                 "</name><position><x>1000000</x><width>1000000</width>"
                 "<linkleft>previous</linkleft></position></object>";
    SkinWindow* w = f.make("<name>w</name>" + chain);
    w->resize(800, 600);
    for (auto& object : w->tabGroups[0]->getTab(0)->objects) {
        SkinRect* r = object->rect.get();
        for (float v : {r->left, r->right, r->top, r->bottom, r->width, r->height})
            ASSERT_LE(std::fabs(v), SkinRect::maxCoordinate) << object->name;
    }
    EXPECT_EQ(w->getObject("o0")->rect->left, SkinRect::maxCoordinate);
}

TEST(SkinWindow, PressesReleasesAndKeysOfOneLayer) {
    WindowFixture f;
    SkinWindow* w = f.make("<name>w</name>" + button("a", 0, 0, 50, 50) + button("b", 20, 20, 50, 50) +
                           "<object><name>box</name><type>textbox</type><left-action>default</left-action>"
                           "<position><x>100</x><width>50</width><height>20</height></position></object>");
    SkinObject* a = w->getObject("a");
    SkinObject* b = w->getObject("b");
    w->mouseDown(30, 30, 1, 0, 1);
    ASSERT_EQ(f.iface.clicks.size(), 2u);
    EXPECT_EQ(f.iface.clicks[0].object, a);
    EXPECT_EQ(f.iface.clicks[1].object, b);
    EXPECT_EQ(f.iface.clicks[0].action, ACTION_DEFAULT);
    EXPECT_EQ(f.iface.clicks[0].layer, 1);
    EXPECT_FALSE(f.iface.clicks[0].released);
    SkinWindowStateInfo* st = w->layerStates[1].get();
    EXPECT_EQ(st->pressedObject, b);
    EXPECT_TRUE(st->pressActive);
    EXPECT_EQ(st->pressedObjectIndex, 1);
    EXPECT_EQ(w->focusedObjects[1], b);
    EXPECT_TRUE(a->states[1]->pressed);
    EXPECT_FALSE(a->states[0]->pressed);

    // A release far away still reaches every pressed object.
    f.iface.clear();
    w->mouseUp(500, 500, 1, 0, 1);
    ASSERT_EQ(f.iface.clicks.size(), 2u);
    EXPECT_TRUE(f.iface.clicks[0].released);
    EXPECT_TRUE(f.iface.clicks[1].released);
    EXPECT_EQ(st->pressedObject, nullptr);
    EXPECT_FALSE(st->pressActive);
    EXPECT_FALSE(b->states[1]->pressed);

    // A press on nothing keeps the focus and records the point.
    w->mouseDown(300, 300, 2, 0, 1);
    EXPECT_EQ(w->focusedObjects[1], b);
    EXPECT_EQ(st->lastMouseX, 300);
    w->keyPress(40, "x", false, 1);
    ASSERT_EQ(f.iface.keys.size(), 1u);
    EXPECT_EQ(std::get<0>(f.iface.keys[0]), b);
    w->keyPress(40, "x", false, 0); // no focus in layer 0
    EXPECT_EQ(f.iface.keys.size(), 1u);

    // Right button: the right action.
    f.iface.clear();
    w->mouseDown(10, 10, 2, 0, 0);
    ASSERT_EQ(f.iface.clicks.size(), 1u);
    EXPECT_EQ(f.iface.clicks[0].action, ACTION_RESET);
    w->mouseUp(10, 10, 2, 0, 0);

    // Text typed into the focused text box.
    w->mouseDown(110, 10, 1, 0, 2);
    w->mouseUp(110, 10, 1, 0, 2);
    w->keyPress(0, "h", false, 2);
    w->keyPress(0, "i", false, 2);
    EXPECT_EQ(w->getObject("box")->states[2]->editText, "hi");

    // Layers out of range do nothing.
    w->mouseDown(10, 10, 1, 0, 4);
    w->mouseUp(10, 10, 1, 0, -1);
    w->mouseMove(10, 10, 1, 0, 7);
    w->keyPress(1, "x", false, 9);
    w->scrollWheel(10, 10, 0, 1, 5);
    w->handleFileDrop(10, 10, 4, "/x.mp3");
}

TEST(SkinWindow, MovesHoverDragsWheelsAndDrops) {
    WindowFixture f;
    SkinWindow* w = f.make("<name>w</name>" + button("a", 0, 0, 50, 50) + button("b", 100, 0, 50, 50));
    SkinObject* a = w->getObject("a");
    SkinObject* b = w->getObject("b");
    w->mouseMove(10, 10, 0, 0, 0);
    EXPECT_TRUE(a->states[0]->hover);
    ASSERT_EQ(f.iface.moves.size(), 1u); // a plain move without a button reaches the object
    w->mouseMove(110, 10, 1, 0, 0);
    EXPECT_FALSE(a->states[0]->hover);
    EXPECT_TRUE(b->states[0]->hover);

    // A drag: the pressed object receives every move with the previous point.
    f.iface.clear();
    w->mouseDown(10, 10, 1, 0, 0);
    w->mouseMove(120, 20, 1, 0, 0);
    ASSERT_EQ(f.iface.moves.size(), 1u);
    EXPECT_EQ(f.iface.moves[0].object, a);
    EXPECT_EQ(f.iface.moves[0].lastX, 10);
    EXPECT_EQ(f.iface.moves[0].x, 120);
    w->mouseMove(130, 20, 1, 0, 0);
    EXPECT_EQ(f.iface.moves[1].lastX, 120);
    w->mouseUp(130, 20, 1, 0, 0);

    w->scrollWheel(110, 10, 0, 1, 0);
    ASSERT_EQ(f.iface.wheels.size(), 1u);
    EXPECT_EQ(f.iface.wheels[0], b);
    w->handleFileDrop(20, 20, 3, "/music/a.mp3");
    ASSERT_EQ(f.iface.drops.size(), 1u);
    EXPECT_EQ(std::get<0>(f.iface.drops[0]), a);
    EXPECT_EQ(std::get<1>(f.iface.drops[0]), 3);
}

TEST(SkinWindow, ReleaseReachesAHeldObjectThatLeftTheCurrentTab) {
    WindowFixture f;
    SkinWindow* w =
        f.make("<name>w</name><tabs><tab><name>one</name>" +
               std::string("<object><name>sel</name><type>button</type><value>tabselect</value><valuespecifier>two"
                           "</valuespecifier><left-action>default</left-action><position><width>50</width>"
                           "<height>50</height></position></object>") +
               "</tab><tab><name>two</name>" + button("x", 0, 0, 5, 5) + button("y", 0, 0, 50, 50) + "</tab></tabs>");
    w->mouseDown(10, 10, 1, 0, 0);
    EXPECT_EQ(w->tabGroups[1]->getCurTab(0), 1);
    f.iface.clear();
    w->mouseUp(10, 10, 1, 0, 0); // tab "two" is current now: its objects were never pressed
    ASSERT_EQ(f.iface.clicks.size(), 1u);
    EXPECT_EQ(f.iface.clicks[0].value, VALUE_TABSELECT); // the release of the held object
}

TEST(SkinWindow, MoveToBottomAndOnLoadObjects) {
    WindowFixture f;
    std::string onload = "<object><name>load</name><type>onload</type><value>testvalue</value><valuespecifier>"
                         "init</valuespecifier></object>";
    SkinWindow* w =
        f.make("<name>w</name><tabs><tab><name>t</name>" + button("first", 0, 0, 1, 1) + button("second", 0, 0, 1, 1) +
               button("third", 0, 0, 1, 1, "<movetobottom>yes</movetobottom>") + onload + "</tab><tab><name>u</name>" +
               button("only", 0, 0, 1, 1, "<movetobottom>1</movetobottom>") + "</tab></tabs>");
    SkinTab* t = w->tabGroups[1]->getTab(0);
    EXPECT_EQ(t->getObj(0)->name, "third");
    EXPECT_EQ(t->getObj(1)->name, "second");
    EXPECT_EQ(t->getObj(2)->name, "first");
    EXPECT_EQ(w->tabGroups[1]->getTab(1)->getObj(0)->name, "only");

    f.iface.clear();
    w->tabGroups[1]->setCurTab(2, 0);
    ASSERT_EQ(f.iface.clicks.size(), 1u);
    EXPECT_EQ(f.iface.clicks[0].spec, "init");
    EXPECT_EQ(f.iface.clicks[0].layer, 2);
    w->tabGroups[1]->setCurTab(2, 5);
    w->tabGroups[1]->setCurTab(2, -1);
    w->tabGroups[1]->setCurTab(7, 0);
    EXPECT_EQ(f.iface.clicks.size(), 1u);
    EXPECT_EQ(w->tabGroups[1]->getCurTab(2), 0);
    EXPECT_EQ(w->tabGroups[1]->getCurrentTab(-1), nullptr);
}

TEST(SkinWindow, OnLoadTabSelectsThatLoopAreBounded) {
    WindowFixture f;
    // Tab "a" loads tab "b" twice, which loads tab "a" twice ...: without a bound, 2^n presses.
    std::string toB = "<object><type>onload</type><value>tabselect</value><valuespecifier>w:b</valuespecifier>"
                      "</object>";
    std::string toA = "<object><type>onload</type><value>tabselect</value><valuespecifier>w:a</valuespecifier>"
                      "</object>";
    SkinWindow* w = f.make("<name>w</name><tabs><tab><name>a</name>" + toB + toB + "</tab><tab><name>b</name>" + toA +
                           toA + "</tab></tabs>");
    w->tabGroups[1]->setCurTab(0, 1);
    EXPECT_GT(f.iface.clicks.size(), 16u);
    EXPECT_LE(f.iface.clicks.size(), static_cast<size_t>(SkinTab::maxOnLoadPresses));
}

TEST(SkinWindow, SavedTabOrder) {
    WindowFixture f;
    SkinWindow* w = f.make("<name>w</name><startposition_1><width>640</width><height>480</height></startposition_1>"
                           "<tabs><tab><name>a</name></tab><tab><name>b</name></tab></tabs>");
    std::string expected = "<TABGROUP_0><TABORDER_0>0</TABORDER_0><CURTAB_0>0</CURTAB_0><CURTAB_1>0</CURTAB_1>"
                           "<CURTAB_2>0</CURTAB_2><CURTAB_3>0</CURTAB_3></TABGROUP_0>"
                           "<TABGROUP_1><TABORDER_0>0</TABORDER_0><TABORDER_1>1</TABORDER_1><CURTAB_0>0</CURTAB_0>"
                           "<CURTAB_1>0</CURTAB_1><CURTAB_2>0</CURTAB_2><CURTAB_3>0</CURTAB_3></TABGROUP_1>";
    for (int layer = 0; layer < 4; ++layer) {
        std::string n = std::to_string(layer);
        expected += "<WINDOW_WIDTH_" + n + ">640</WINDOW_WIDTH_" + n + "><WINDOW_HEIGHT_" + n + ">480</WINDOW_HEIGHT_" +
                    n + ">";
    }
    EXPECT_EQ(w->getTabOrderXML(), expected);

    // Restored into a window not named "playlist": tabs, not the size.
    std::string saved = "<tabgroup_1><taborder_1>7</taborder_1><curtab_2>1</curtab_2><curtab_3>-4</curtab_3>"
                        "<curtab_0>9</curtab_0></tabgroup_1><window_width_0>300</window_width_0>"
                        "<window_height_0>200</window_height_0>";
    w->initTabOrderFromXML(saved);
    EXPECT_EQ(w->tabGroups[1]->getCurTab(2), 1);
    EXPECT_EQ(w->tabGroups[1]->getCurTab(3), 0);
    EXPECT_EQ(w->tabGroups[1]->getCurTab(0), 0);
    EXPECT_EQ(w->tabGroups[1]->getTabOrder(1), 7);
    EXPECT_EQ(w->width, 640);

    SkinWindow* playlist = f.make("", "playlist");
    playlist->initTabOrderFromXML("<WINDOW_WIDTH_0>300</WINDOW_WIDTH_0><WINDOW_HEIGHT_0>200</WINDOW_HEIGHT_0>");
    EXPECT_EQ(playlist->width, 300);
    EXPECT_EQ(playlist->height, 200);
    playlist->initTabOrderFromXML("<WINDOW_WIDTH_1>2000000000</WINDOW_WIDTH_1><WINDOW_HEIGHT_1>5</WINDOW_HEIGHT_1>");
    EXPECT_EQ(playlist->width, SkinWindow::maxSize);
    EXPECT_EQ(playlist->height, 25);
}

TEST(SkinWindow, DrawsEdgesCornersAndCurrentTabObjects) {
    WindowFixture f;
    std::string folder = makeTempFolder("window-edges");
    f.skin.folder = folder;
    writeSolidBmp(folder + "frame.bmp", 40, 40, 0xFFFFFF);
    SkinWindow* w = f.make("<name>w</name><startposition_1><width>100</width><height>50</height></startposition_1>"
                           "<image-edge-top><file>frame</file></image-edge-top>"
                           "<image-edge-rightbottom><file>frame</file></image-edge-rightbottom>"
                           "<image-edge-left><name>nothing</name></image-edge-left>");
    ASSERT_NE(w->edgeImages[SkinWindow::EDGE_TOP], nullptr);
    EXPECT_EQ(w->edgeImages[SkinWindow::EDGE_LEFT], nullptr);
    CPicture target;
    w->draw(&target, 0);
    // Top edge tiles at x 0, 40, 80; the right-bottom corner one pixel lower than the height allows.
    ASSERT_EQ(f.iface.blits.size(), 4u);
    EXPECT_EQ(f.iface.blits[0].x, 0);
    EXPECT_EQ(f.iface.blits[2].x, 80);
    EXPECT_EQ(f.iface.blits[3].x, 60);
    EXPECT_EQ(f.iface.blits[3].y, 11);

    // A zero-sized edge image draws nothing instead of tiling for ever.
    w->edgeImages[SkinWindow::EDGE_TOP]->rect->width = 0;
    f.iface.clear();
    w->draw(&target, 0);
    EXPECT_EQ(f.iface.blits.size(), 1u);
}
