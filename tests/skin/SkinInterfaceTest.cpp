// The skin interface's name tables, value protocol, generic values, base events and requests.
#include "SkinTestSupport.h"

#include "skin/Skin.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

#include <gtest/gtest.h>

namespace {

struct SkinFixture {
    TestSkinInterface iface;
    Skin skin{&iface};

    SkinWindow* addWindow(const std::string& definition) {
        std::string text = definition;
        SkinWindow* window = new SkinWindow(&skin, &text);
        skin.windows.emplace_back(window);
        return window;
    }
};

SkinObject* objectOf(SkinWindow* window, const std::string& name) {
    return window->getObject(name);
}

} // namespace

TEST(SkinInterface, NameTablesIgnoreCase) {
    TestSkinInterface iface;
    EXPECT_EQ(iface.getType("Button"), OBJECT_BUTTON);
    EXPECT_EQ(iface.getType("TitleBar"), OBJECT_MOVEWINDOW);
    EXPECT_EQ(iface.getType("movewindow"), OBJECT_MOVEWINDOW);
    EXPECT_EQ(iface.getType("ONLOAD"), OBJECT_ONLOAD);
    EXPECT_EQ(iface.getType("special"), 0);
    EXPECT_EQ(iface.getAction("KILL"), ACTION_DEFAULT);
    EXPECT_EQ(iface.getAction("Default"), ACTION_DEFAULT);
    EXPECT_EQ(iface.getAction("reSet"), ACTION_RESET);
    EXPECT_EQ(iface.getAction(""), 0);
    SkinInterface base;
    EXPECT_EQ(base.getValue("EXIT"), VALUE_QUIT);
    EXPECT_EQ(base.getValue("CustomText"), VALUE_CONSTANT);
    EXPECT_EQ(base.getValue("titlebar"), VALUE_TITLEBAR);
    EXPECT_EQ(base.getValue("Button_MainMenu"), VALUE_MAINMENU);
    EXPECT_EQ(base.getValue("searchfield"), 0);
}

TEST(SkinInterface, RelativeResetAndJogAreBuiltOnTheAbsoluteValues) {
    TestSkinInterface iface;
    EXPECT_NEAR(iface.getValueDblRelative(VALUE_CURRENTDECK, nullptr, 2), 2.0 / 3.0, 1e-12);
    iface.setValueDblRelative(VALUE_CURRENTDECK, nullptr, 0, 1.0);
    ASSERT_EQ(iface.writes.size(), 1u);
    EXPECT_EQ(std::get<3>(iface.writes[0]), 4.0);

    std::string spec = "x";
    iface.numbers[std::make_tuple(TEST_VALUE, spec, 1)] = 0.26;
    EXPECT_EQ(iface.getValueStr(TEST_VALUE, &spec, 1), "0.3");
    EXPECT_TRUE(iface.getValueBool(TEST_VALUE, &spec, 1, nullptr));
    EXPECT_FALSE(iface.getValueBool(TEST_VALUE, &spec, 4, nullptr)); // deck out of range
    iface.handleJogWheel(TEST_VALUE, &spec, 1, 0.5, 0.2, 0);
    EXPECT_DOUBLE_EQ(iface.getValueDbl(TEST_VALUE, &spec, 1), 0.36);
    iface.resetValue(TEST_VALUE, &spec, 1);
    EXPECT_EQ(iface.getValueDbl(TEST_VALUE, &spec, 1), 0.0);
}

TEST(SkinInterface, GenericTextsAndClock) {
    SkinFixture f;
    std::string spec = "Hello";
    EXPECT_EQ(f.iface.getValueStr(VALUE_CONSTANT, &spec, 0), "Hello");
    EXPECT_EQ(f.iface.getValueStr(VALUE_CURRENTDECK, &spec, 0), "1");

    struct tm morning = {};
    morning.tm_year = 120;
    morning.tm_mon = 0;
    morning.tm_mday = 10;
    morning.tm_hour = 9;
    morning.tm_min = 5;
    morning.tm_isdst = -1;
    f.iface.wallClock = mktime(&morning);
    EXPECT_EQ(f.iface.getValueStr(VALUE_CURRENTTIME, &spec, 0), "09:05");

    f.iface.startTime = 0;
    f.iface.clock = 75000;
    EXPECT_EQ(f.iface.getValueStr(VALUE_TIMEUSED, &spec, 0), "01:15");

    std::string name = "myvar";
    f.iface.setValueDbl(VALUE_VARIABLE, &name, 0, 0.5);
    EXPECT_EQ(f.iface.getValueStr(VALUE_VARIABLE, &name, 0), "0.5");
    EXPECT_EQ(f.skin.getVariable("myvar"), "0.5");
}

TEST(SkinInterface, WindowValuesAndOutOfRangeLayers) {
    SkinFixture f;
    SkinWindow* main = f.addWindow("<name>Main</name>");
    SkinWindow* other = f.addWindow("<name>main</name>");
    std::string spec = " MAIN |2";
    f.iface.setValueDbl(VALUE_WINDOWPOSLEFT, &spec, 0, 120);
    EXPECT_EQ(main->layerStates[2]->x, 120);
    EXPECT_EQ(other->layerStates[2]->x, 120); // every window of that name
    EXPECT_EQ(f.iface.getValueDbl(VALUE_WINDOWPOSLEFT, &spec, 0), 120);
    EXPECT_EQ(main->layerStates[0]->x, 0);

    // Layers named beyond 0..3 change nothing and read nothing.
    std::string bad = "main|7";
    f.iface.setValueDbl(VALUE_WINDOWPOSTOP, &bad, 0, 5);
    EXPECT_EQ(f.iface.getValueDbl(VALUE_WINDOWPOSTOP, &bad, 0), 0);
    EXPECT_FALSE(f.iface.getValueBool(VALUE_SHOWWINDOW, &bad, 0, nullptr));
    f.iface.handleMouseClickSimple(VALUE_SHOWWINDOW, "main|-1", 0, false);
    f.iface.handleMouseClickSimple(VALUE_SHOWWINDOW, "main", 9, false);

    // showwindow toggles on press, for the deck or the named layer.
    f.iface.handleMouseClickSimple(VALUE_SHOWWINDOW, "Main|1", 0, false);
    EXPECT_TRUE(main->layerStates[1]->visible);
    std::string shown = "main|1";
    EXPECT_TRUE(f.iface.getValueBool(VALUE_SHOWWINDOW, &shown, 0, nullptr));
    f.iface.handleMouseClickSimple(VALUE_SHOWWINDOW, "Main|1", 0, true); // release: nothing
    EXPECT_TRUE(main->layerStates[1]->visible);
    f.iface.handleMouseClickSimple(VALUE_SHOWWINDOW, "Main|1", 0, false);
    EXPECT_FALSE(main->layerStates[1]->visible);
    std::string empty;
    EXPECT_EQ(f.iface.getValueDbl(VALUE_WINDOWPOSLEFT, &empty, 0), 0);

    // A position no screen has (a script's arithmetic, say) stays a number of pixels.
    f.iface.setValueDbl(VALUE_WINDOWPOSLEFT, &spec, 0, 1e300);
    EXPECT_EQ(main->layerStates[2]->x, SkinRect::maxCoordinate);
    f.iface.setValueDbl(VALUE_WINDOWPOSTOP, &spec, 0, -1e300);
    EXPECT_EQ(main->layerStates[2]->y, -SkinRect::maxCoordinate);
    float width = 0, height = 0;
    main->layerStates[2]->visible = true;
    f.skin.getBounds(&width, &height);
    EXPECT_EQ(width, SkinRect::maxCoordinate + main->width);
}

TEST(SkinInterface, TabSelectPressAndLitState) {
    SkinFixture f;
    SkinWindow* player = f.addWindow("<name>player</name><tabs><tab><name>Deck</name></tab><tab><name>FX</name>"
                                     "</tab></tabs><tabs><tab><name>a</name></tab><tab><name>fx</name></tab></tabs>");
    SkinWindow* browser = f.addWindow("<name>browser</name><tabs><tab><name>one</name></tab><tab><name>two</name>"
                                      "</tab></tabs>");
    std::string empty;
    SkinObject tabButton(&empty, nullptr, nullptr);
    tabButton.type = OBJECT_BUTTON;
    tabButton.value = VALUE_TABSELECT;
    tabButton.valueSpecifier = " Fx ";
    f.iface.SkinInterface::handleMouseClick(&tabButton, 0, 0, ACTION_DEFAULT, 1, 0, player, 1, false);
    EXPECT_EQ(player->tabGroups[1]->getCurTab(1), 1);
    EXPECT_EQ(player->tabGroups[2]->getCurTab(1), 1); // every group holding such a tab
    EXPECT_EQ(player->tabGroups[1]->getCurTab(0), 0);
    std::string lit = "fx";
    EXPECT_TRUE(f.iface.getValueBool(VALUE_TABSELECT, &lit, 1, player));
    EXPECT_FALSE(f.iface.getValueBool(VALUE_TABSELECT, &lit, 0, player));

    // Another window by its name; numbers and lists select nothing.
    tabButton.valueSpecifier = "BROWSER:two";
    f.iface.SkinInterface::handleMouseClick(&tabButton, 0, 0, ACTION_DEFAULT, 1, 0, player, 0, false);
    EXPECT_EQ(browser->tabGroups[1]->getCurTab(0), 1);
    std::string other = "browser:Two";
    EXPECT_TRUE(f.iface.getValueBool(VALUE_TABSELECT, &other, 0, nullptr));
    tabButton.valueSpecifier = "1";
    f.iface.SkinInterface::handleMouseClick(&tabButton, 0, 0, ACTION_DEFAULT, 1, 0, browser, 0, false);
    EXPECT_EQ(browser->tabGroups[1]->getCurTab(0), 1);

    // Without a window (scripts, controllers) and on decks out of range nothing happens.
    f.iface.handleMouseClickSimple(VALUE_TABSELECT, "one", 0, false);
    f.iface.handleMouseClickSimple(VALUE_TABSELECT, "browser:one", 9, false);
    EXPECT_EQ(browser->tabGroups[1]->getCurTab(0), 1);
    f.iface.handleMouseClickSimple(VALUE_TABSELECT, "browser:one", 0, false);
    EXPECT_EQ(browser->tabGroups[1]->getCurTab(0), 0);
    EXPECT_FALSE(f.iface.getValueBool(VALUE_TABSELECT, &lit, 0, nullptr));
}

TEST(SkinInterface, SliderPositionMapping) {
    SkinFixture f;
    std::string thumbPicture = "<name>thumb</name><position><width>10</width><height>20</height></position>";
    f.skin.imageRefs.emplace_back(new SkinImageRef(nullptr, &thumbPicture));
    SkinWindow* w = f.addWindow(
        "<name>w</name>"
        "<object><name>h</name><type>slider</type><value>testvalue</value><left-action>default</left-action>"
        "<right-action>reset</right-action><position><x>10</x><width>100</width><height>20</height></position>"
        "</object>"
        "<object><name>v</name><type>slider</type><value>testvalue</value><left-action>default</left-action>"
        "<invert>yes</invert><position><y>0</y><width>10</width><height>50</height></position></object>"
        "<object><name>t</name><type>slider</type><value>testvalue</value><drawtype>1</drawtype>"
        "<left-action>default</left-action><additionalpic_1><name>thumb</name></additionalpic_1>"
        "<position><width>110</width><height>20</height></position></object>"
        "<object><name>full</name><type>slider</type><value>testvalue</value><drawtype>1</drawtype>"
        "<left-action>default</left-action><additionalpic_1><name>thumb</name></additionalpic_1>"
        "<position><width>10</width><height>5</height></position></object>"
        "<object><name>led</name><type>slider</type><value>testvalue</value><drawtype>12</drawtype>"
        "<left-action>default</left-action><position><width>40</width><height>10</height></position></object>");
    auto pressAt = [&](const char* name, float x, float y, int action = ACTION_DEFAULT) {
        f.iface.writes.clear();
        f.iface.SkinInterface::handleMouseClick(objectOf(w, name), x, y, action, 1, 0, w, 0, false);
        return f.iface.writes.empty() ? -1.0 : std::get<3>(f.iface.writes.back());
    };
    EXPECT_DOUBLE_EQ(pressAt("h", 35, 5), 0.25);
    EXPECT_DOUBLE_EQ(pressAt("h", 500, 5), 1.0);
    EXPECT_DOUBLE_EQ(pressAt("h", -500, 5), 0.0);
    EXPECT_DOUBLE_EQ(pressAt("h", 35, 5, ACTION_RESET), 0.0);
    // Vertical: the top is 1, inverted gives 1 - r.
    EXPECT_NEAR(pressAt("v", 5, 10), 0.2, 1e-6);
    // Thumb of 10 x 20: the travel is 100 pixels, starting half a thumb in.
    EXPECT_DOUBLE_EQ(pressAt("t", 55, 5), 0.5);
    // A thumb as wide as the slider leaves no travel: 0, never NaN.
    EXPECT_DOUBLE_EQ(pressAt("full", 3, 2), 0.0);
    // Other draw types map like draw type 0.
    EXPECT_DOUBLE_EQ(pressAt("led", 10, 5), 0.25);
    // A move of a slider is a press at the new point.
    f.iface.writes.clear();
    f.iface.SkinInterface::handleMouseMove(objectOf(w, "h"), 60, 5, 35, 5, ACTION_DEFAULT, 1, 0, w, 0);
    ASSERT_FALSE(f.iface.writes.empty());
    EXPECT_DOUBLE_EQ(std::get<3>(f.iface.writes.back()), 0.5);
}

TEST(SkinInterface, KnobDragSplitterResizeAndMoveHandles) {
    SkinFixture f;
    SkinWindow* w = f.addWindow(
        "<name>w</name><startposition_1><width>400</width><height>300</height></startposition_1>"
        "<object><name>knob</name><type>knob</type><value>testvalue</value><valuespecifier>vol|2</valuespecifier>"
        "<left-action>default</left-action><right-action>reset</right-action><position><width>20</width>"
        "<height>20</height></position></object>"
        "<object><name>zero</name><type>knob</type><value>testvalue</value><valuespecifier>pan|0</valuespecifier>"
        "<left-action>default</left-action></object>"
        "<object><name>split</name><type>moveable</type><left-action>default</left-action><position><x>100</x>"
        "<width>6</width><height>300</height></position></object>"
        "<object><name>leftpane</name><position><x>0</x><height>10</height><linkright>split</linkright>"
        "</position></object>"
        "<object><name>resize</name><type>resizewindow</type><left-action>default</left-action></object>"
        "<object><name>title</name><type>titlebar</type><left-action>default</left-action></object>");
    SkinObject* knob = objectOf(w, "knob");
    EXPECT_EQ(knob->valueSpecifier, "vol");
    EXPECT_EQ(knob->typeVariable, 2.0);
    std::string vol = "vol";
    f.iface.numbers[std::make_tuple(TEST_VALUE, vol, 0)] = 0.25;
    f.iface.SkinInterface::handleMouseMove(knob, 0, 40, 0, 100, ACTION_DEFAULT, 1, 0, w, 0); // 60 px up
    EXPECT_DOUBLE_EQ(f.iface.getValueDbl(TEST_VALUE, &vol, 0), 0.75);
    f.iface.SkinInterface::handleMouseMove(knob, 0, 0, 0, 1000, ACTION_DEFAULT, 1, 0, w, 0);
    EXPECT_DOUBLE_EQ(f.iface.getValueDbl(TEST_VALUE, &vol, 0), 1.0);
    f.iface.SkinInterface::handleMouseClick(knob, 0, 0, ACTION_RESET, 2, 0, w, 0, false);
    EXPECT_DOUBLE_EQ(f.iface.getValueDbl(TEST_VALUE, &vol, 0), 0.0);
    // "pan|0": a sensitivity of 0 counts as 1 (60 pixels for the range).
    SkinObject* zero = objectOf(w, "zero");
    EXPECT_EQ(zero->typeVariable, 1.0);
    std::string pan = "pan";
    f.iface.SkinInterface::handleMouseMove(zero, 0, 70, 0, 100, ACTION_DEFAULT, 1, 0, w, 0);
    EXPECT_DOUBLE_EQ(f.iface.getValueDbl(TEST_VALUE, &pan, 0), 0.5);

    // The splitter moves with the mouse, stops 8 pixels from the edge, and takes the step back
    // (once) when a linked neighbour would become narrower than 5 pixels.
    SkinObject* split = objectOf(w, "split");
    w->resize(400, 300);
    EXPECT_EQ(objectOf(w, "leftpane")->rect->width, 100);
    f.iface.SkinInterface::handleMouseMove(split, 150, 5, 100, 5, ACTION_DEFAULT, 1, 0, w, 0);
    EXPECT_EQ(split->rect->left, 150);
    EXPECT_EQ(objectOf(w, "leftpane")->rect->width, 150);
    f.iface.SkinInterface::handleMouseMove(split, 1000, 5, 100, 5, ACTION_DEFAULT, 1, 0, w, 0);
    EXPECT_EQ(split->rect->left, 400 - 6 - 8);
    f.iface.SkinInterface::handleMouseMove(split, 145, 5, 100, 5, ACTION_DEFAULT, 0, 0, w, 0); // no button
    EXPECT_EQ(split->rect->left, 386);
    f.iface.SkinInterface::handleMouseMove(split, 0, 5, 390, 5, ACTION_DEFAULT, 1, 0, w, 0);
    // Clamped at 8, leaving the pane 8 wide.
    EXPECT_EQ(split->rect->left, 8);
    EXPECT_EQ(objectOf(w, "leftpane")->rect->width, 8);

    f.iface.SkinInterface::handleMouseMove(objectOf(w, "resize"), 10, 10, 400, 300, ACTION_DEFAULT, 1, 0, w, 0);
    EXPECT_EQ(w->width, 25);
    EXPECT_EQ(w->height, 25);
    SkinObject* title = objectOf(w, "title");
    f.iface.SkinInterface::handleMouseMove(title, 15, 12, 10, 10, ACTION_DEFAULT, 1, 0, w, 2);
    f.iface.SkinInterface::handleMouseMove(title, 16, 12, 15, 12, ACTION_DEFAULT, 1, 0, w, 2);
    EXPECT_EQ(w->layerStates[2]->moveX, 6);
    EXPECT_EQ(w->layerStates[2]->moveY, 2);
}

TEST(SkinInterface, SplitterTakesItsStepBackOnceForSeveralNarrowNeighbours) {
    SkinFixture f;
    SkinWindow* w = f.addWindow(
        "<name>w</name><startposition_1><width>400</width><height>300</height></startposition_1>"
        "<object><name>split</name><type>moveable</type><left-action>default</left-action><position><x>100</x>"
        "<width>6</width><height>300</height></position></object>"
        "<object><name>a</name><position><x>98</x><height>10</height><linkright>split</linkright></position>"
        "</object>"
        "<object><name>b</name><position><x>99</x><height>10</height><linkright>split</linkright></position>"
        "</object>");
    SkinObject* split = objectOf(w, "split");
    w->resize(400, 300);
    f.iface.SkinInterface::handleMouseMove(split, 95, 5, 100, 5, ACTION_DEFAULT, 1, 0, w, 0);
    EXPECT_EQ(split->rect->left, 100); // taken back once, not twice
}

TEST(SkinInterface, RequestsAndAnswers) {
    TestSkinInterface iface;
    iface.showPopupMenu(1, 2, 3, 4);
    iface.hidePopupMenu();
    EXPECT_TRUE(iface.showPopupRequested);
    EXPECT_FALSE(iface.hidePopupRequested); // a pending show wins
    iface.showPopupRequested = false;
    iface.hidePopupMenu();
    EXPECT_TRUE(iface.hidePopupRequested);
    iface.showPopupMenu(5, 6, 7, 8);
    EXPECT_FALSE(iface.hidePopupRequested);
    EXPECT_EQ(iface.popupHeight, 8);

    iface.showDialogBox(TEST_VALUE, "x", 1, "Sure?");
    EXPECT_TRUE(iface.inputRequested);
    EXPECT_EQ(iface.inputKind, 1);
    EXPECT_EQ(iface.inputPrompt, "Sure?");
    iface.showInputBox(TEST_VALUE, "a", 1, "Name", "def");
    EXPECT_EQ(iface.inputKind, 0);
    EXPECT_EQ(iface.inputDefaultText, "def");

    iface.showFileDialog(111, "%value%|%value%", 2, "Save", "mix.wav");
    EXPECT_TRUE(iface.fileDialogRequested);
    iface.handleInputBox("/tmp/a b.wav");
    ASSERT_EQ(iface.clicks.size(), 2u);
    EXPECT_EQ(iface.clicks[0].value, 111);
    EXPECT_EQ(iface.clicks[0].spec, "/tmp/a b.wav|/tmp/a b.wav");
    EXPECT_EQ(iface.clicks[0].layer, 2);
    EXPECT_FALSE(iface.clicks[0].released);
    EXPECT_TRUE(iface.clicks[1].released);
    EXPECT_EQ(iface.pendingCommand, "/tmp/a b.wav|/tmp/a b.wav");

    iface.handleMouseClickSimple(VALUE_QUIT, "", 0, false);
    EXPECT_FALSE(iface.quitRequested);
    iface.handleMouseClickSimple(VALUE_QUIT, "", 0, true);
    EXPECT_TRUE(iface.quitRequested);
    // Pop-up menus need the window of the event for their position.
    iface.showPopupRequested = false;
    iface.handleMouseClickSimple(VALUE_MAINMENU, "", 0, false);
    EXPECT_FALSE(iface.showPopupRequested);
}

TEST(SkinInterface, MenuFilesAreLabelAndScriptPairs) {
    auto items = SkinInterface::readMenuItems("a\nb\nc");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].first, "a");
    EXPECT_EQ(items[0].second, "b");
    items = SkinInterface::readMenuItems("Options\rclick showwindow,_options\rQuit\rclick quit\r");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].second, "click quit");
    items = SkinInterface::readMenuItems("x \r\ny\r\n");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].first, "x \r"); // lines are not trimmed
    EXPECT_TRUE(SkinInterface::readMenuItems("").empty());

    SkinFixture f;
    std::string folder = makeTempFolder("menu");
    f.skin.folder = folder;
    writeFile(folder + "mainmenu.lst", "Options\nclick showwindow,_options\n");
    SkinWindow* w = f.addWindow("<name>w</name><object><name>m</name><type>button</type><value>mainmenu</value>"
                                "<left-action>default</left-action><position><width>10</width><height>10</height>"
                                "</position></object>");
    w->layerStates[0]->x = 100;
    f.iface.SkinInterface::handleMouseClick(objectOf(w, "m"), 3, 4, ACTION_DEFAULT, 1, 0, w, 0, false);
    EXPECT_TRUE(f.iface.showPopupRequested);
    EXPECT_EQ(f.iface.popupX, 103);
    EXPECT_EQ(f.iface.popupY, 4);
}

TEST(SkinInterface, TextBoxEditing) {
    SkinFixture f;
    SkinWindow* w = f.addWindow("<name>w</name><object><name>box</name><type>textbox</type></object>");
    SkinObject* box = objectOf(w, "box");
    std::string& text = box->states[1]->editText;
    f.iface.handleKeyPress(box, KEY_DELETE, "", false, 1);
    EXPECT_EQ(text, "");
    f.iface.handleKeyPress(box, 0, "a", false, 1);
    f.iface.handleKeyPress(box, 0, "\xC3\xA9", false, 1); // é
    f.iface.handleKeyPress(box, 0, "b", true, 1);         // key up: nothing
    f.iface.handleKeyPress(box, KEY_RETURN, "\r", false, 1);
    f.iface.handleKeyPress(box, 7, "", false, 1);
    EXPECT_EQ(text, "a\xC3\xA9");
    f.iface.handleKeyPress(box, KEY_DELETE, "", false, 1);
    EXPECT_EQ(text, "a"); // the whole character goes
    EXPECT_EQ(box->states[0]->editText, "");
    f.iface.handleKeyPress(box, 0, "z", false, 6); // no such layer
    EXPECT_EQ(text, "a");
}

TEST(SkinInterface, ScriptValuesAndEventsOutOfRangeDoNothing) {
    SkinFixture f;
    f.skin.addScript("s", "setvar ran yes\nstatus testvalue,spec");
    std::string name = "s";
    f.iface.handleMouseClickSimple(VALUE_EXECUTESCRIPT, "s", 5, false);
    EXPECT_EQ(f.skin.getVariable("ran"), "");
    f.iface.setValueDbl(VALUE_EXECUTESCRIPT, &name, -1, 1.0);
    EXPECT_EQ(f.skin.getVariable("ran"), "");
    f.iface.handleMouseClickSimple(VALUE_EXECUTESCRIPT, "s", 3, false);
    EXPECT_EQ(f.skin.getVariable("ran"), "yes");
    f.iface.numbers[std::make_tuple(TEST_VALUE, std::string("spec"), 2)] = 0.7;
    EXPECT_DOUBLE_EQ(f.iface.getValueDbl(VALUE_EXECUTESCRIPT, &name, 2), 0.7);
    EXPECT_TRUE(f.iface.getValueBool(VALUE_EXECUTESCRIPT, &name, 2, nullptr));
    EXPECT_FALSE(f.iface.getValueBool(VALUE_EXECUTESCRIPT, &name, 1, nullptr));
    std::string missing = "nope";
    EXPECT_EQ(f.iface.getValueDbl(VALUE_EXECUTESCRIPT, &missing, 2), 0.0);
}
