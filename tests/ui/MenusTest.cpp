// Pop-up menus, options and dialogs: the option forms, the menus they and "cases", "modemenu" and
// "selectdrive" fill, the case and recording dialogs, and the skin's menu files.
#include "UiTestSupport.h"

#include "engine/EngineHooks.h"
#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "skin/SkinListBox.h"
#include "skin/SkinListItem.h"
#include "skin/SkinRect.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "support/TempDir.h"
#include "support/TestSoundBackend.h"
#include "ui/TarlumeMenus.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tarlumemenus;

namespace {

// Counts what the engine asks of controllers; every controller connects.
struct CountingFactory : EngineControllerFactory {
    int created = 0, disconnected = 0;
    struct Controller : EngineController {
        CountingFactory* owner;
        std::string device;
        bool connected = false;
        explicit Controller(CountingFactory* f) : owner(f) {}
        void loadDevice(const std::string&) override {}
        void connect(enHIDType, const std::string& name) override {
            device = name;
            connected = true;
        }
        bool isConnected() override { return connected; }
        void disconnect() override {
            connected = false;
            owner->disconnected++;
        }
        void update() override {}
        std::string getDeviceName() override { return device; }
    };
    std::unique_ptr<EngineController> createController(SkinInterface*) override {
        created++;
        return std::make_unique<Controller>(this);
    }
};

void writeFile(const std::string& path, const std::string& text = "") {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

struct Menus {
    testsupport::TestSoundBackend backend;
    int card = backend.addDevice("Card", 4, 8);
    int mic = backend.addDevice("Mic", 2, 0);
    uitest::UiFixture f;
    testsupport::TempDir app{"menus-app"};
    SkinWindow* window = nullptr;
    SkinListBox* popup = nullptr;
    Tarlume& engine = *f.engine;
    TarlumeSkinInterface& ui = *f.ui;

    Menus() {
        engine.applicationFolder = app.path;
        for (const char* folder : {"support", "skins", "vinylcontrol", "devices", "skin"})
            makeDirectory(app.path + folder);
        f.skin->folder = app.path + "skin/";
        std::string text = "<OBJECT><TYPE>ListBox</TYPE><VALUE>popupmenu</VALUE><POSITION><LEFT>0</LEFT><TOP>0</TOP>"
                           "<WIDTH>100</WIDTH><HEIGHT>100</HEIGHT></POSITION></OBJECT>";
        f.skin->windows.emplace_back(new SkinWindow(f.skin.get(), &text, "_popupwindow"));
        SkinWindow* popupWindow = f.skin->windows.back().get();
        popup = ui.getListBox(popupWindow->tabGroups[0]->tabs[0]->getObj(0));
        window = f.window("player");
        window->layerStates[1]->x = 100;
        window->layerStates[1]->y = 200;
    }

    // A press (and release) of a value as a controller or script gives it: no window.
    void click(int id, const std::string& spec, int deck = 1) {
        ui.handleMouseClickSimple(id, spec, deck, false);
        ui.handleMouseClickSimple(id, spec, deck, true);
    }
    // A press of a button in the "player" window at (10, 20).
    void pressInWindow(int id, const std::string& spec, int deck = 1) {
        uitest::TestObject button(id, spec, OBJECT_BUTTON, deck);
        ui.handleMouseClick(button.get(), 10, 20, ACTION_DEFAULT, 1, 0, window, deck, false);
    }
    std::vector<std::string> column(int c) {
        std::vector<std::string> values;
        for (int i = 0; i < popup->getNbItems(); ++i)
            values.push_back(popup->getRow(unsigned(i))->getColumn(c));
        return values;
    }
    bool takeShow() {
        bool shown = ui.showPopupRequested;
        ui.showPopupRequested = false;
        return shown;
    }
};

using Strings = std::vector<std::string>;

} // namespace

TEST(Menus, OptionFormsChangeTheirSettingOrNothing) {
    Menus m;
    Tarlume& e = m.engine;
    TarlumePlayer* p = m.f.deck(1);
    struct Case {
        const char* spec;
        std::function<std::vector<int>()> read;
        std::vector<int> expected;
    };
    auto out = [&] { return std::vector<int>{e.outputChannels[1][0], e.outputChannels[1][1]}; };
    auto in = [&] { return std::vector<int>{e.inputChannels[1][0], e.inputChannels[1][1]}; };
    auto outDevice = [&] { return std::vector<int>{e.outputDevice[1]}; };
    auto vinyl = [&] { return std::vector<int>{p->timecodeType}; };
    const Case cases[] = {
        {"OutputChannels:3/4", out, {2, 3}},
        {"OutputChannels:3", out, {2, 3}},    // one number: no pair
        {"OutputChannels:0/0", out, {2, 3}},  // channels count from 1
        {"OutputChannels:9/10", out, {2, 3}}, // the card has 8 outputs
        {"OutputChannels:7/8", out, {6, 7}},  // its last pair
        {"InputChannels:3/4", in, {2, 3}},    // the default input: the card's 4 inputs
        {"InputChannels:5/6", in, {2, 3}},    // past them
        {"OutputDevice:0", outDevice, {0}},   // the default device
        {"OutputDevice:1", outDevice, {m.card}},
        {"OutputDevice:-1", outDevice, {m.card}}, // a negative index is refused
        {"OutputDevice:2", outDevice, {m.card}},  // the microphone has no outputs
        {"DefaultVinylType:Final Scratch", vinyl, {0}},
        {"DefaultVinylType:Serato Scratch Live", vinyl, {2}},
        {"DefaultVinylType:Traktor Scratch", vinyl, {6}},
        {"DefaultVinylType:VirtualDJ", vinyl, {1}},
        {"DefaultVinylType:tarlume", vinyl, {4}},
        {"DefaultVinylType:Other", vinyl, {4}},
        {"defaultvinyltype:VirtualDJ", vinyl, {4}}, // the option names' case counts
    };
    for (const Case& c : cases) {
        m.click(VALUE_OPTION, c.spec);
        EXPECT_EQ(c.read(), c.expected) << c.spec;
    }

    m.click(VALUE_OPTION, "Skin:Night Club");
    m.click(VALUE_OPTION, "Skin:../../config");
    EXPECT_EQ(e.skinName, "Night Club");
    for (int i = 1; i <= 2; ++i) {
        m.click(VALUE_OPTION, "ExternalMixer");
        EXPECT_EQ(e.useExternalMixer, i == 1);
        m.click(VALUE_OPTION, "vc_relativemode");
        EXPECT_EQ(p->relativeMode, i == 1);
        EXPECT_FALSE(m.f.deck(0)->relativeMode);
    }
    // Saved at once.
    std::string settings = readFileContents(e.getSettingsPath());
    EXPECT_NE(settings.find("Night Club"), std::string::npos);
    EXPECT_NE(settings.find(intToStr(m.card)), std::string::npos);

    m.click(VALUE_OPTION, "Callibrate"); // starts the deck's timecode calibration
    EXPECT_TRUE(p->calibrating);
    EXPECT_FALSE(m.f.deck(0)->calibrating);

    // A deck outside 0..3 changes nothing.
    m.click(VALUE_OPTION, "ExternalMixer", 4);
    m.click(VALUE_OPTION, "OutputChannels:1/2", -1);
    EXPECT_FALSE(e.useExternalMixer);
    EXPECT_EQ(e.outputChannels[0][0], 0);
}

TEST(Menus, MidiConfigSetsTheConfigurationAndReconnects) {
    Menus m;
    CountingFactory factory;
    m.engine.controllerFactory = &factory;
    writeFile(m.app.path + "devices/pad.xml");
    m.click(VALUE_OPTION, "MidiConfig:Pad:=pad.xml");
    EXPECT_EQ(factory.created, 1);
    ASSERT_EQ(m.engine.controllers.size(), 1u);

    m.click(VALUE_OPTION, "MidiConfig:Pad:=None");
    tHIDConfig* config = nullptr;
    ASSERT_TRUE(m.engine.getHIDConfig("Pad", &config, nullptr));
    EXPECT_EQ(config->configName, "");
    EXPECT_EQ(factory.disconnected, 1); // reconnected: the old one went, no file, no new one
    EXPECT_EQ(factory.created, 1);
    EXPECT_TRUE(m.engine.controllers.empty());

    m.click(VALUE_OPTION, "MidiConfig:Pad=pad.xml"); // no ":=": nothing
    EXPECT_EQ(config->configName, "");
    EXPECT_EQ(factory.created, 1);
    m.engine.controllerFactory = nullptr;
    m.engine.disconnectHIDs();
}

TEST(Menus, OptionMenusListWhatIsThere) {
    Menus m;
    for (const char* file : {"tarlumevc.dat", "ssl_binary.dat", "finalscratch_binary.dat"})
        writeFile(m.app.path + "vinylcontrol/" + file);
    for (const char* file : {"small.xml", "Big.XML", "notes.txt", "x.xml.bak"})
        writeFile(m.app.path + "skins/" + file);

    struct Case {
        const char* spec;
        Strings labels, specs;
    };
    const Case cases[] = {
        {"DefaultVinylType",
         {"Final Scratch", "Serato Scratch Live", "tarlume"},
         {"DefaultVinylType:Final Scratch", "DefaultVinylType:Serato Scratch Live", "DefaultVinylType:tarlume"}},
        {"Skin", {"Big", "small"}, {"Skin:Big", "Skin:small"}},
        {"OutputDevice", {"Default Output Device", "Card"}, {"OutputDevice:0", "OutputDevice:1"}},
        {"InputDevice", {"Default Input Device", "Card", "Mic"}, {"InputDevice:0", "InputDevice:1", "InputDevice:2"}},
        {"OutputChannels",
         {"1/2", "3/4", "5/6", "7/8"},
         {"OutputChannels:1/2", "OutputChannels:3/4", "OutputChannels:5/6", "OutputChannels:7/8"}},
        {"InputChannels", {"1/2", "3/4"}, {"InputChannels:1/2", "InputChannels:3/4"}},
    };
    m.ui.casesPopupX = 33;
    m.ui.casesPopupY = 44;
    for (const Case& c : cases) {
        m.click(VALUE_OPTION, c.spec);
        EXPECT_TRUE(m.takeShow()) << c.spec;
        EXPECT_EQ(m.column(0), c.labels) << c.spec;
        EXPECT_EQ(m.column(2), c.specs) << c.spec;
        EXPECT_EQ(m.column(1), Strings(c.labels.size(), "Option"));
        EXPECT_EQ(m.column(3), Strings(c.labels.size(), "1"));
        // Opened without a window: at the remembered place.
        EXPECT_EQ(m.ui.popupX, 33);
        EXPECT_EQ(m.ui.popupY, 44);
    }
    // A chosen row acts: the device menu's second row is the card, shown by its name.
    std::string outputDevice = "OutputDevice";
    m.engine.outputDevice[1] = 0;
    EXPECT_EQ(m.ui.getValueStr(VALUE_OPTION, &outputDevice, 1), "Default Output Device");
    m.click(VALUE_OPTION, "OutputDevice");
    m.ui.handleItemClick(m.popup->object, m.popup->getRow(1), 1);
    EXPECT_EQ(m.engine.outputDevice[1], m.card);
    EXPECT_EQ(m.ui.getValueStr(VALUE_OPTION, &outputDevice, 1), "Card");
    m.engine.outputDevice[1] = 12345;
    EXPECT_EQ(m.ui.getValueStr(VALUE_OPTION, &outputDevice, 1), "Missing device");
    // Headphones stored on 3/4 of a two-channel card read as the preferences show them.
    std::string outputChannels = "OutputChannels";
    m.engine.outputDevice[1] = m.backend.addDevice("Phones", 0, 2);
    m.engine.outputChannels[1][0] = 2;
    m.engine.outputChannels[1][1] = 3;
    EXPECT_EQ(m.ui.getValueStr(VALUE_OPTION, &outputChannels, 1), "3/4 (not on this device)");

    // An unknown option does nothing on press, the base included.
    m.takeShow();
    m.click(VALUE_OPTION, "Nothing");
    EXPECT_FALSE(m.takeShow());
}

TEST(Menus, FlagOptionsActOnRelease) {
    Menus m;
    struct Case {
        const char* spec;
        bool* flag;
    };
    const Case cases[] = {{"column mode", &m.engine.columnMode},
                          {"Warn When Loading New Track", &m.engine.warnWhenLoadingTrack}};
    for (const Case& c : cases) {
        bool before = *c.flag;
        m.ui.handleMouseClickSimple(VALUE_OPTION, c.spec, 0, false);
        EXPECT_EQ(*c.flag, before) << c.spec;
        m.ui.handleMouseClickSimple(VALUE_OPTION, c.spec, 0, true);
        EXPECT_EQ(*c.flag, !before) << c.spec;
    }
}

TEST(Menus, CasesListTheCaseAndCreateOnesBelow) {
    Menus m;
    Tarlume& e = m.engine;
    std::string base = e.playlistsFolder = m.app.path + "playlists/";
    makeDirectory(base);
    makeDirectory(base + "House");
    makeDirectory(base + "Techno");
    writeFile(base + "House/Deep.m3u");
    writeFile(base + "House/Tech.m3u");
    writeFile(base + "warmup.m3u");
    e.playlistPath[1] = base + "House/deep.M3U";

    // Pictures of the folder list: closed and open.
    uitest::TestObject folders(VALUE_FOLDERS, "", OBJECT_LISTBOX, 0);
    folders->rect.reset(new SkinRect());
    SkinListBox* folderList = m.ui.getListBox(folders.get());
    ASSERT_EQ(folderList, e.folderList[0]);
    CPicture closed, open;
    folderList->pictures = {&closed, &open};

    m.pressInWindow(VALUE_CASES, "");
    ASSERT_TRUE(m.takeShow());
    EXPECT_EQ(m.column(0), (Strings{"House", "Techno", "warmup.m3u", "Add case..."}));
    EXPECT_EQ(m.column(1), (Strings{"Cases", "Cases", "LoadPlaylist", "CreateCase"}));
    EXPECT_EQ(m.column(2)[0], base + "House");
    EXPECT_EQ(m.column(2)[3], "");
    EXPECT_EQ(m.popup->getRow(0)->picture, &open); // holds the playlist shown
    EXPECT_EQ(m.popup->getRow(1)->picture, &closed);
    EXPECT_EQ(m.ui.popupX, 110);
    EXPECT_EQ(m.ui.popupY, 220);

    // The "House" row comes back without a window: the case opens where the first menu did.
    m.ui.handleItemClick(m.popup->object, m.popup->getRow(0), 1);
    ASSERT_TRUE(m.takeShow());
    EXPECT_EQ(m.column(0), (Strings{"Deep.m3u", "Tech.m3u", "Add case..."}));
    EXPECT_TRUE(m.popup->getRow(0)->selected);
    EXPECT_FALSE(m.popup->getRow(1)->selected);
    EXPECT_EQ(m.ui.popupX, 110);
    EXPECT_EQ(m.ui.popupY, 220);
    // A specifier below the playlists folder lists that case too.
    m.click(VALUE_CASES, "House");
    EXPECT_EQ(m.column(2).back(), "House/");

    // "Add case..." asks for a name; the answer creates the case below.
    m.ui.handleItemClick(m.popup->object, m.popup->getRow(2), 1);
    EXPECT_TRUE(m.ui.inputRequested);
    EXPECT_EQ(m.ui.inputPrompt, "Enter the name for the new case");
    EXPECT_EQ(m.ui.inputDefaultText, "");
    EXPECT_EQ(m.ui.pendingCommand, "House/%value%");
    m.ui.handleInputBox("Deeper");
    EXPECT_TRUE(FileExist(base + "House/Deeper.m3u"));
    EXPECT_EQ(e.playlistPath[1], base + "House/Deeper.m3u");
    // A second OK has no request: nothing runs again.
    e.playlistPath[1] = base + "warmup.m3u";
    m.ui.handleInputBox("Deeper");
    EXPECT_EQ(e.playlistPath[1], base + "warmup.m3u");

    // A full name creates at once.
    m.ui.inputRequested = false;
    m.click(VALUE_CREATECASE, "Techno/Peak");
    EXPECT_FALSE(m.ui.inputRequested);
    EXPECT_TRUE(FileExist(base + "Techno/Peak.m3u"));
}

TEST(Menus, ModeAndDriveMenus) {
    Menus m;
    // The window's own objects are group 0; its first tabs are group 1.
    std::string text = "<name>browser</name><tabs><tab><name>Files</name></tab><tab><name>Cases</name></tab></tabs>";
    SkinWindow* browser = new SkinWindow(m.f.skin.get(), &text);
    m.f.skin->windows.emplace_back(browser);
    uitest::TestObject button(VALUE_MODEMENU, "", OBJECT_BUTTON, 0);
    m.ui.handleMouseClick(button.get(), 5, 6, ACTION_DEFAULT, 1, 0, browser, 0, false);
    ASSERT_TRUE(m.takeShow());
    EXPECT_EQ(m.column(0), (Strings{"Files", "Cases"}));
    EXPECT_EQ(m.column(2), (Strings{"browser:Files", "browser:Cases"}));
    EXPECT_EQ(m.ui.popupWidth, 150);
    m.ui.handleItemClick(m.popup->object, m.popup->getRow(1), 1);
    EXPECT_EQ(browser->tabGroups[1]->getCurTab(0), 1);

    // From a controller: no window, an empty menu; a one-group window: empty too.
    m.click(VALUE_MODEMENU, "", 0);
    EXPECT_TRUE(m.takeShow());
    EXPECT_EQ(m.popup->getNbItems(), 0);
    std::string flat = "<name>flat</name>";
    SkinWindow* single = new SkinWindow(m.f.skin.get(), &flat);
    m.f.skin->windows.emplace_back(single);
    m.ui.handleMouseClick(button.get(), 5, 6, ACTION_DEFAULT, 1, 0, single, 0, false);
    EXPECT_TRUE(m.takeShow());
    EXPECT_EQ(m.popup->getNbItems(), 0);

    m.click(VALUE_SELECTDRIVE, "", 2);
    ASSERT_TRUE(m.takeShow());
    Strings labels = m.column(0), specs = m.column(2);
    ASSERT_GE(labels.size(), 2u);
    EXPECT_EQ(labels.front(), "Home");
    EXPECT_EQ(specs.front(), m.engine.getUserFolder() + "/");
    EXPECT_EQ(labels.back(), "Other Directory...");
    EXPECT_EQ(specs.back(), "script:");
    EXPECT_EQ(m.column(3).front(), "2");

    // The volume folders: each root's sub-folders, a missing root skipped.
    testsupport::TempDir roots{"volumes"};
    for (const char* folder : {"media", "media/Stick", "media/Disk", "mnt", "mnt/nas"})
        makeDirectory(roots.path + folder);
    writeFile(roots.path + "media/file.txt");
    std::vector<Place> found = listVolumes({roots.path + "media/", roots.path + "gone/", roots.path + "mnt"});
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].name, "Disk");
    EXPECT_EQ(found[1].path, roots.path + "media/Stick/");
    EXPECT_EQ(found[2].path, roots.path + "mnt/nas/");
    EXPECT_EQ(volumeRoots("dj"), (Strings{"/media/dj/", "/run/media/dj/", "/mnt/"}));
}

TEST(Menus, QuickRecording) {
    Menus m;
    Tarlume& e = m.engine;
    e.initAudio();
    m.click(VALUE_RECORD_QUICK, "");
    EXPECT_TRUE(m.ui.fileDialogRequested);
    EXPECT_EQ(m.ui.inputDefaultText, "default.wav");
    EXPECT_EQ(m.ui.inputPrompt, "Select name for new mix");
    EXPECT_FALSE(e.isRecording());

    // The chosen path without an ending records a ".wav".
    std::string path = m.app.path + "mix";
    m.ui.handleInputBox(path);
    EXPECT_TRUE(e.isRecording());
    EXPECT_TRUE(FileExist(path + ".wav"));
    m.click(VALUE_RECORD_QUICK, ""); // stops
    EXPECT_FALSE(e.isRecording());
    EXPECT_TRUE(m.ui.fileDialogRequested); // still the first request, not a new one

    // An existing file named by a script is only replaced after a yes.
    m.ui.inputRequested = false;
    m.click(VALUE_RECORD_QUICK, path + ".wav");
    EXPECT_FALSE(e.isRecording());
    EXPECT_TRUE(m.ui.inputRequested);
    EXPECT_EQ(m.ui.inputKind, 1);
    m.ui.handleInputBox("yes");
    EXPECT_TRUE(e.isRecording());
    m.click(VALUE_RECORD_QUICK, "");
    EXPECT_FALSE(e.isRecording());

    struct Case {
        const char* spec;
        const char* path;
    };
    const Case cases[] = {{"mix", "/home/dj/mix.wav"},
                          {"sets/a.OGG", "/home/dj/sets/a.OGG"},
                          {"/tmp/a.wav", "/tmp/a.wav"},
                          {"/tmp/a.mp3", "/tmp/a.mp3.wav"},
                          {"/tmp/wav", "/tmp/wav.wav"}};
    for (const Case& c : cases)
        EXPECT_EQ(recordingPath(c.spec, "/home/dj"), c.path) << c.spec;
}

TEST(Menus, MenuFilesComeFromSupportThenSkinThenTheName) {
    Menus m;
    std::string support = m.app.path + "support/", skinFolder = m.f.skin->folder;
    writeFile(skinFolder + "both.lst", "Skin\nclick quit\n");
    writeFile(support + "both.lst", "Support\nclick quit\n");
    writeFile(skinFolder + "own.lst", "Own\nclick quit\n");
    writeFile(m.app.path + "bare.lst", "Bare\nclick quit\n");
    struct Case {
        std::string name;
        Strings labels;
    };
    const Case cases[] = {{"both", {"Support"}}, {"own", {"Own"}}, {m.app.path + "bare.lst", {"Bare"}}, {"none", {}}};
    for (const Case& c : cases) {
        m.ui.popupCustomMenu(c.name, 0, "", 1, 2, false);
        EXPECT_TRUE(m.takeShow()) << c.name;
        EXPECT_EQ(m.column(0), c.labels) << c.name;
    }
    m.ui.popupCustomMenu("both", 4, "", 1, 2, false); // no such deck
    EXPECT_FALSE(m.takeShow());
}

TEST(Menus, MenuFileTextAndValues) {
    using Items = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* text;
        const char* value;
        Items items;
    };
    const Case cases[] = {
        {"A\nclick a\nB\nclick b\n", "", {{"A", "click a"}, {"B", "click b"}}},
        {"A\nclick a\nOdd", "", {{"A", "click a"}}},
        {"A\r\nclick a\r\n", "", {{"A", "click a\r"}}}, // the script drops its own carriage returns
        {"A\rclick a", "", {{"A", "click a"}}},
        {"Open %value%\nclick \"changefolder,%value%\" %player%",
         "/M/Sets 100%/",
         {{"Open /M/Sets 100%/", "click \"changefolder,/M/Sets 100%/\" %player%"}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(menuItems(c.text, c.value), c.items) << c.text;

    for (const char* value : {"/a\nclick quit", "/a\rb", "/a\"b", "/a\\nclick quit"})
        EXPECT_FALSE(isSafeMenuValue(value)) << value;
    EXPECT_TRUE(isSafeMenuValue("/Music/Rock & Roll 100%/"));
}

TEST(Menus, ARefusedValueOpensNoMenuAndAChosenRowKeepsThePathsCase) {
    Menus m;
    writeFile(m.app.path + "support/folder_rightclick.lst", "Open\nclick \"changefolder,%value%\" %player%\n");
    m.ui.popupCustomMenu("folder_rightclick", 1, "/x\"\nclick \"record_quick,/x.wav\"", 0, 0, false);
    EXPECT_FALSE(m.takeShow());

    std::string folder = m.app.path + "Sets 100%/";
    makeDirectory(folder);
    m.ui.popupCustomMenu("folder_rightclick", 1, folder, 0, 0, false);
    ASSERT_TRUE(m.takeShow());
    m.ui.handleItemClick(m.popup->object, m.popup->getRow(0), 1);
    EXPECT_EQ(m.engine.currentFolder[1], folder);
}
