// The skin loader and registry: files, includes, windows built on workers, built-in windows,
// pictures, colours, fonts, variables, tab order, triggers.
#include "SkinTestSupport.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinFont.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "skin/scripts/SkinScript.h"
#include "skin/scripts/SkinScriptTrigger.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

std::string window(const std::string& name, const std::string& extra = "") {
    return "<window><name>" + name + "</name>" + extra + "</window>";
}

std::vector<std::string> windowNames(const Skin& skin) {
    std::vector<std::string> names;
    for (auto& w : skin.windows)
        names.push_back(w->name);
    return names;
}

// A skin file in a fresh folder: <dir>/skins/<name>.xml with its files in <dir>/skins/<name>/.
struct SkinFiles {
    std::string root, skinsFolder, folder, path;
    SkinFiles(const std::string& test, const std::string& body, const std::string& name = "test") {
        root = makeTempFolder(test);
        skinsFolder = root + "skins/";
        folder = skinsFolder + name + "/";
        path = skinsFolder + name + ".xml";
        writeFile(folder + ".keep", "");
        writeFile(path, body);
    }
};

struct Loaded {
    TestSkinInterface iface;
    Skin skin{&iface};
};

} // namespace

TEST(SkinLoader, WindowQueuesTakeTurns) {
    std::string with =
        "<playerwindow>p</playerwindow><main>m</main><fxwindow>f</fxwindow>" + window("a") + window("b") + window("c");
    std::deque<Skin::QueuedWindow> queues[Skin::nbCores];
    Skin::queueWindows(with, queues);
    ASSERT_EQ(queues[0].size(), 3u);
    ASSERT_EQ(queues[1].size(), 3u);
    EXPECT_EQ(queues[0][0].forcedName, "player");
    EXPECT_EQ(queues[1][0].forcedName, "main");
    EXPECT_EQ(queues[0][1].forcedName, "fx");
    EXPECT_EQ(queues[1][1].definition, "<name>a</name>");
    EXPECT_EQ(queues[0][2].definition, "<name>b</name>");
    EXPECT_EQ(queues[1][2].sequence, 5);

    std::string without = "<MAIN>m</MAIN><fxwindow>f</fxwindow>" + window("a");
    std::deque<Skin::QueuedWindow> others[Skin::nbCores];
    Skin::queueWindows(without, others);
    ASSERT_EQ(others[0].size(), 2u);
    EXPECT_EQ(others[0][0].forcedName, "main");
    EXPECT_EQ(others[1][0].forcedName, "fx");
    EXPECT_EQ(others[0][1].forcedName, "");
}

TEST(SkinLoader, SectionsBuiltInWindowsAndShownLayers) {
    SkinFiles files("sections",
                    "<skin><info><name>Test Skin</name><minimalbuild>7</minimalbuild></info>"
                    "<general><players>3</players><show-effects>no</show-effects><resolution-width>1280"
                    "</resolution-width></general>"
                    "<elements><picture>elements</picture><element><name>led</name><position><x>0</x><y>0</y>"
                    "<width>4</width><height>4</height></position></element><element><name>knob</name></element>"
                    "</elements>"
                    "<fonts><font><name>Big</name><size>20</size></font></fonts>"
                    "<colors><color><name>Red</name><r>255</r></color></colors>"
                    "<songcolors><songcolor><name>played</name><g>255</g></songcolor></songcolors>"
                    "<playerwindow><name>x</name></playerwindow><main></main>" +
                        window("MixerWindow-1280") + window("browser") +
                        "<playlist><startposition_1><width>50</width><height>50</height></startposition_1>"
                        "<object><name>pl</name></object></playlist></skin>");
    writeSolidBmp(files.folder + "elements.bmp", 8, 8, 0xFF0000);
    writeFile(files.root + "support/optionswindow.xml", "<object><name>opt</name></object>");
    Loaded l;
    l.skin.loadSkin(files.path);
    EXPECT_TRUE(l.skin.loaded);
    EXPECT_EQ(l.skin.folder, files.folder);
    EXPECT_EQ(l.skin.skinName, "Test Skin");
    EXPECT_EQ(l.skin.minimalBuild, 7);
    EXPECT_EQ(l.skin.players, 3);
    EXPECT_FALSE(l.skin.showEffects);
    EXPECT_TRUE(l.skin.showBackground);
    EXPECT_EQ(l.skin.resolutionWidth, 1280);
    EXPECT_EQ(l.skin.imageRefs.size(), 2u);
    EXPECT_EQ(l.skin.fonts.size(), 2u); // "Big" and the created "default"
    EXPECT_EQ(l.skin.getColor("red"), 0x0000FFu);
    ASSERT_EQ(l.skin.songColors.size(), 1u);
    EXPECT_EQ(l.skin.songColors[0]->value, 0x00FF00u);

    EXPECT_EQ(windowNames(l.skin), (std::vector<std::string>{"player", "main", "MixerWindow-1280", "browser",
                                                             "playlist", "_popupwindow", "_options"}));
    SkinWindow* playlist = l.skin.getWindow("playlist");
    EXPECT_EQ(playlist->width, 1024);
    EXPECT_EQ(playlist->height, 400);
    SkinTab* first = playlist->tabGroups[0]->getTab(0);
    ASSERT_EQ(first->getNbObjs(), 3);
    EXPECT_EQ(first->getObj(1)->type, OBJECT_RESIZEWINDOW);
    EXPECT_EQ(first->getObj(2)->type, OBJECT_MOVEWINDOW);
    EXPECT_EQ(first->getObj(1)->rect->left, 1009); // laid out at the new size

    SkinWindow* popup = l.skin.getWindow("_popupwindow");
    SkinObject* list = popup->tabGroups[0]->getTab(0)->getObj(0);
    EXPECT_EQ(list->type, OBJECT_LISTBOX);
    EXPECT_EQ(list->value, VALUE_POPUPMENU);
    EXPECT_EQ(popup->listColors[SkinWindow::LISTCOLOR_BACKGROUND]->value, 0xFFFFFFu);

    auto visible = [&](const char* name) {
        std::string layers;
        for (int i = 0; i < 4; ++i)
            layers += l.skin.getWindow(name)->layerStates[i]->visible ? '1' : '0';
        return layers;
    };
    EXPECT_EQ(visible("player"), "1110");
    EXPECT_EQ(visible("main"), "1000");
    EXPECT_EQ(visible("MixerWindow-1280"), "1000");
    EXPECT_EQ(visible("playlist"), "1000");
    EXPECT_EQ(visible("browser"), "0000");
    EXPECT_EQ(visible("_options"), "0000");

    float width, height;
    l.skin.getBounds(&width, &height);
    EXPECT_EQ(width, 1024);
    EXPECT_EQ(height, 400);
}

TEST(SkinLoader, ManyPlayersMissingFilesAndNoPlaylist) {
    SkinFiles files("players", "<skin><general><players>6</players></general><playerwindow></playerwindow></skin>");
    Loaded l;
    l.skin.loadSkin(files.path);
    for (int layer = 0; layer < 4; ++layer)
        EXPECT_TRUE(l.skin.getWindow("player")->layerStates[layer]->visible);
    EXPECT_EQ(l.skin.getWindow("playlist"), nullptr);
    EXPECT_EQ(l.skin.getWindow("_options"), nullptr); // no support/optionswindow.xml
    ASSERT_NE(l.skin.getWindow("_popupwindow"), nullptr);

    Loaded missing;
    missing.skin.loadSkin(files.root + "skins/nothing-here.xml");
    EXPECT_TRUE(missing.skin.loaded);
    EXPECT_EQ(windowNames(missing.skin), std::vector<std::string>{"_popupwindow"});
    float width = -1, height = -1;
    missing.skin.getBounds(&width, &height);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
    missing.skin.closeSkin();
    EXPECT_FALSE(missing.skin.loaded);
    EXPECT_TRUE(missing.skin.windows.empty());
}

TEST(SkinLoader, IncludesAndTheirLimits) {
    SkinFiles files("includes", "<skin><include>parts\\one.xml</include><include>missing.xml</include>"
                                "<include>two.xml</include></skin>");
    // "one" includes "late" after its own end offset (expanded) and "early" before it (skipped).
    writeFile(files.folder + "parts/one.xml",
              "<include>early.xml</include>" + window("one") + std::string(80, ' ') + "<include>late.xml</include>");
    writeFile(files.folder + "early.xml", window("early"));
    writeFile(files.folder + "late.xml", window("late"));
    writeFile(files.folder + "two.xml", window("two"));
    Loaded l;
    l.skin.loadSkin(files.path);
    std::vector<std::string> names = windowNames(l.skin);
    EXPECT_EQ(names, (std::vector<std::string>{"one", "late", "two", "_popupwindow"}));

    // A file that includes itself beyond its own end stops growing.
    SkinFiles cycle("include-cycle", "<skin><include>self.xml</include></skin>");
    writeFile(cycle.folder + "self.xml", window("w") + std::string(40, ' ') + "<include>self.xml</include>" +
                                             std::string(40, ' ') + "<include>self.xml</include>");
    Loaded c;
    c.skin.loadSkin(cycle.path);
    EXPECT_TRUE(c.skin.loaded);
    EXPECT_LE(c.skin.windows.size(), static_cast<size_t>(2 * Skin::maxIncludes + 2));
    EXPECT_GT(c.skin.windows.size(), 2u);
}

TEST(SkinLoader, FolderElementPicturesAndTheirCache) {
    SkinFiles files("pictures", "<skin><folder>shared</folder></skin>");
    std::string shared = files.skinsFolder + "shared/";
    writeSolidBmp(shared + "pic.bmp", 4, 3, 0x00FF00);
    writeFile(shared + "pic2.gif", "not a picture");
    writeSolidBmp(shared + "pic2.bmp", 4, 3, 0x00FF00);
    writeSolidBmp(shared + "sub/deep.bmp", 2, 2, 0);
    Loaded l;
    l.skin.loadSkin(files.path);
    EXPECT_EQ(l.skin.folder, shared);
    CPicture* pic = l.skin.loadPicture("pic");
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(pic->width, 4);
    EXPECT_EQ(l.skin.loadPicture("pic"), pic);         // cached by path
    EXPECT_EQ(l.skin.loadPicture("pic.bmp"), nullptr); // the loader adds the extension itself
    EXPECT_NE(l.skin.loadPicture("sub\\deep"), nullptr);
    EXPECT_EQ(l.skin.loadPicture(""), nullptr);
    // ".gif" comes before ".bmp": the first existing candidate is taken, even when it won't decode.
    CPicture* gif = l.skin.loadPicture("pic2");
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(gif->width, 0);
    EXPECT_TRUE(isRight(l.skin.picturePaths.back(), "pic2.gif"));

    std::unique_ptr<SkinImageRef> ref(l.skin.getImageRef("<file>pic</file>", 0, 0));
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->rect->width, 4);
    EXPECT_EQ(ref->rect->bottom, 3);
    EXPECT_EQ(l.skin.getImageRef("<file>nothing</file>", 0, 0), nullptr);
    EXPECT_EQ(l.skin.getImageRef("", 0, 0), nullptr);
}

TEST(SkinLoader, ColoursAndFonts) {
    Loaded l;
    std::string red = "<name>Warm Red</name><r>200</r>";
    l.skin.colors.emplace_back(new SkinColor(&red));
    EXPECT_EQ(l.skin.getColor("<r>255</r>"), 255u);
    EXPECT_EQ(l.skin.getColor("<r>1</r><g>2</g><b>999</b>"), 0xFF0201u);
    EXPECT_EQ(l.skin.getColor("<name>WARM red</name>"), 200u);
    EXPECT_EQ(l.skin.getColor("  warm RED "), 200u);
    EXPECT_EQ(l.skin.getColor("blue"), 0u);

    SkinFont* def = l.skin.getFontHandle("");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->name, "default");
    EXPECT_EQ(l.skin.getFontHandle("unknown"), def);
    EXPECT_EQ(l.skin.getFontHandle("DEFAULT"), def);
    EXPECT_EQ(l.skin.fonts.size(), 1u);
}

TEST(SkinLoader, VariablesPersistAndRoundTripEscaped) {
    Loaded l;
    EXPECT_EQ(l.skin.getVariablesXML(), "");
    l.skin.initVariablesFromXML("<VARIABLE><NAME>kept</NAME><VALUE>restored</VALUE></VARIABLE>"
                                "<variable><name>dropped</name><value>x</value></variable>");
    EXPECT_EQ(l.skin.getVariable("kept"), "restored");
    EXPECT_EQ(l.skin.getVariablesXML(), ""); // restored variables are not persistent
    l.skin.setVariablePersistent("kept", true, "default");
    l.skin.setVariablePersistent("fresh", true, "1");
    l.skin.setVariable("title", "</VALUE></VARIABLE></VARIABLES><SKIN>evil & co");
    l.skin.setVariablePersistent("title", true, "");
    std::string xml = l.skin.getVariablesXML();
    EXPECT_EQ(xml.find("<SKIN>"), std::string::npos);
    EXPECT_EQ(xml.substr(0, 66), "<VARIABLE><NAME>kept</NAME><VALUE>restored</VALUE></VARIABLE><VARI");

    Loaded next;
    next.skin.initVariablesFromXML(xml);
    EXPECT_EQ(next.skin.getVariable("kept"), "restored");
    EXPECT_EQ(next.skin.getVariable("fresh"), "1");
    EXPECT_EQ(next.skin.getVariable("title"), "</VALUE></VARIABLE></VARIABLES><SKIN>evil & co");
    EXPECT_EQ(next.skin.getVariable("dropped"), "");
    EXPECT_EQ(Skin::escapeText("plain text 1.0"), "plain text 1.0");
    EXPECT_EQ(Skin::unescapeText(Skin::escapeText("a&lt;b")), "a&lt;b");
}

TEST(SkinLoader, TabOrderBelongsToItsSkin) {
    SkinFiles files("taborder", "<skin><info><name>A & B</name></info>" +
                                    window("w", "<tabs><tab><name>a</name></tab><tab><name>b</name></tab></tabs>") +
                                    "</skin>");
    Loaded l;
    l.skin.loadSkin(files.path);
    SkinWindow* w = l.skin.getWindow("w");
    w->tabGroups[1]->setCurTab(1, 1);
    std::string saved = l.skin.getTabOrderXML();
    EXPECT_EQ(saved.substr(0, 33), "<SKINNAME>A &amp; B</SKINNAME><wT");
    w->tabGroups[1]->setCurTab(1, 0);

    l.skin.initTabOrderFromXML(strreplace(saved, "A &amp; B", "Other"));
    EXPECT_EQ(w->tabGroups[1]->getCurTab(1), 0);
    l.skin.initTabOrderFromXML(saved);
    EXPECT_EQ(w->tabGroups[1]->getCurTab(1), 1);
    w->tabGroups[1]->setCurTab(1, 0);
    l.skin.initTabOrderFromXML(strreplace(saved, "wTABORDER", "WtAbOrDeR"));
    EXPECT_EQ(w->tabGroups[1]->getCurTab(1), 1);
}

TEST(SkinLoader, FixPlaylistRewritesOldObjects) {
    Loaded l;
    std::string text = "<object><name>m</name><type>playlist</type><value>moveable</value></object>"
                       "<object><name>l</name><type>playlist</type><value>files</value></object>"
                       "<object><name>b</name><type>playlist</type><value>sortmenu</value>"
                       "<center-action>reset</center-action></object>"
                       "<object><name>o</name><type>playlist</type><value>option</value></object>"
                       "<object><name>btn</name><type>button</type><drawtype>-1</drawtype></object>";
    SkinWindow* w = new SkinWindow(&l.skin, &text, "Playlist");
    l.skin.windows.emplace_back(w);
    l.skin.fixPlaylist();
    EXPECT_EQ(w->getObject("m")->type, OBJECT_MOVEABLE);
    EXPECT_EQ(w->getObject("l")->type, OBJECT_LISTBOX);
    EXPECT_EQ(w->getObject("b")->type, OBJECT_BUTTON);
    EXPECT_EQ(w->getObject("b")->drawType, 5);
    EXPECT_EQ(w->getObject("b")->actionCenter, ACTION_RESET);
    EXPECT_EQ(w->getObject("b")->actionDoubleClick, ACTION_DEFAULT);
    EXPECT_EQ(w->getObject("o")->type, OBJECT_PLAYLIST);
    EXPECT_EQ(w->getObject("o")->actionLeft, ACTION_DEFAULT);
    EXPECT_EQ(w->getObject("btn")->drawType, 5);
}

TEST(SkinLoader, StartupScriptsAndGenreColours) {
    SkinFiles files("startup", "<skin>" + window("w") + "</skin>");
    writeFile(files.folder + "startup.djscript", "setpersistent myvar 1\nsetvar order dj\n");
    writeFile(files.folder + "startup.tlmscript", "setvar order %order%,tlm\n");
    writeFile(files.root + "genrecolors.xml", "<list><genre><name>House</name><r>10</r></genre>"
                                              "<genre><name>Jazz</name><b>20</b></genre></list>");
    Loaded l;
    l.skin.setVariable("myvar", "restored");
    l.skin.loadSkin(files.path);
    EXPECT_EQ(l.skin.getVariable("myvar"), "restored");
    EXPECT_NE(l.skin.getVariablesXML().find("myvar"), std::string::npos);
    EXPECT_EQ(l.skin.getVariable("order"), "dj,tlm");
    l.skin.readGenreColors(files.root + "genrecolors.xml");
    l.skin.readGenreColors(files.root + "missing.xml");
    ASSERT_EQ(l.skin.genreColors.size(), 2u);
    EXPECT_EQ(l.skin.genreColors[1]->value, 0x140000u);
}

TEST(SkinLoader, TriggersCountDownAndRemoveThemselves) {
    Loaded l;
    std::string spec = "w";
    auto value = [&](double v) { l.iface.numbers[std::make_tuple(TEST_VALUE, spec, 0)] = v; };
    value(0);
    l.skin.setVariable("once", "");
    l.skin.setVariable("always", "");
    l.skin.addTrigger(
        new SkinScriptTrigger(&l.iface, "once", TEST_VALUE, spec, 0, TRIGGER_DOUBLE, "setvar once %once%x", 1));
    l.skin.addTrigger(new SkinScriptTrigger(&l.iface, "zero", TEST_VALUE, spec, 0, TRIGGER_DOUBLE, "nop", 0));
    l.skin.addTrigger(
        new SkinScriptTrigger(&l.iface, "always", TEST_VALUE, spec, 0, TRIGGER_DOUBLE, "setvar always %always%x", -1));
    l.skin.handleTriggers(); // no change: "zero" expires
    EXPECT_EQ(l.skin.getNbTriggers(), 2);
    value(1);
    l.skin.handleTriggers();
    EXPECT_EQ(l.skin.getVariable("once"), "x");
    EXPECT_EQ(l.skin.getNbTriggers(), 1);
    value(2);
    l.skin.handleTriggers();
    value(3);
    l.skin.handleTriggers();
    l.skin.handleTriggers();
    EXPECT_EQ(l.skin.getVariable("once"), "x");
    EXPECT_EQ(l.skin.getVariable("always"), "xxx");

    // A count of 0 whose value changes at its first poll fires and then never expires.
    l.skin.addTrigger(new SkinScriptTrigger(&l.iface, "late", TEST_VALUE, spec, 0, TRIGGER_DOUBLE, "nop", 0));
    value(4);
    l.skin.handleTriggers();
    EXPECT_EQ(l.skin.getNbTriggers(), 2);
    EXPECT_EQ(l.skin.getTrigger(1)->count, -1);

    // A trigger whose script removes it, and one whose script replaces it.
    l.skin.addTrigger(
        new SkinScriptTrigger(&l.iface, "self", TEST_VALUE, spec, 0, TRIGGER_DOUBLE, "removetrigger self", 5));
    l.skin.addTrigger(new SkinScriptTrigger(&l.iface, "swap", TEST_VALUE, spec, 0, TRIGGER_DOUBLE,
                                            "addtrigger swap 2 bool testvalue,w nop", 5));
    value(5);
    l.skin.handleTriggers();
    std::vector<std::string> names;
    for (int i = 0; i < l.skin.getNbTriggers(); ++i)
        names.push_back(l.skin.getTrigger(i)->name);
    EXPECT_EQ(names, (std::vector<std::string>{"always", "late", "swap"}));
    EXPECT_EQ(l.skin.getTrigger(2)->count, 2);
    EXPECT_EQ(l.skin.getTrigger(2)->kind, TRIGGER_BOOL);
    l.skin.removeTrigger("always");
    EXPECT_EQ(l.skin.getNbTriggers(), 2);
    l.skin.stopScript("no such script", 0);
    l.skin.stopScript("script:nop", 9);
}

TEST(SkinLoader, TriggersThatBreedTriggersWaitForTheNextFrame) {
    // Each trigger's script adds a trigger on a variable and then changes it, so the new trigger
    // fires in the same poll and adds the next one: a frame polls a bounded number of them.
    Loaded l;
    l.skin.setVariable("n", "a");
    l.skin.setVariable("code", "addtrigger t%n% 1 string variable,n %code%\\nsetvar n %n%x");
    l.skin.addScript("start", "addtrigger t%n% 1 string variable,n %code%\nsetvar n %n%x")
        ->executeScript(false, 0, false, 0, 0);
    ASSERT_EQ(l.skin.getNbTriggers(), 1);
    l.skin.handleTriggers();
    size_t grown = l.skin.getVariable("n").size();
    EXPECT_GT(grown, 2u);                                     // triggers added during the poll were polled too ...
    EXPECT_LE(grown, size_t(Skin::maxAddedTriggerPolls) + 3); // ... up to the bound
    EXPECT_EQ(l.skin.getNbTriggers(), 1);                     // the ones that fired are gone, the last one waits
    l.skin.handleTriggers();
    EXPECT_GT(l.skin.getVariable("n").size(), grown);
}

TEST(SkinLoader, ConcurrentLoadsKeepTheFileOrder) {
    std::string body = "<skin><playerwindow><name>p</name></playerwindow><main></main>";
    std::vector<std::string> expected = {"player", "main"};
    for (int i = 0; i < 38; ++i) {
        std::string name = "w" + std::to_string(i);
        std::string objects;
        for (int j = 0; j < 5; ++j)
            objects += "<object><name>o" + std::to_string(j) + "</name><type>button</type><position><x>" +
                       std::to_string(j) + "</x><width>5</width><height>5</height></position><font>f" +
                       std::to_string(j % 3) + "</font><color>c" + std::to_string(j % 2) + "</color></object>";
        body += window(name, "<background>back</background>" + objects);
        expected.push_back(name);
    }
    body += "<fonts><font><name>f1</name></font></fonts></skin>";
    expected.push_back("_popupwindow");
    SkinFiles files("concurrent", body);
    writeSolidBmp(files.folder + "back.bmp", 20, 10, 0x123456);
    // 40 loads by default; a thread-sanitizer soak sets TARLUME_SKIN_LOAD_RUNS (200, for example).
    const char* runsText = getenv("TARLUME_SKIN_LOAD_RUNS");
    int runs = runsText ? atoi(runsText) : 40;
    for (int run = 0; run < runs; ++run) {
        Loaded l;
        l.skin.loadSkin(files.path);
        ASSERT_EQ(windowNames(l.skin), expected) << "run " << run;
        ASSERT_EQ(l.skin.getWindow("w37")->width, 20);
    }
}
