// List events of the user interface over the engine's browser lists: row clicks, the controller
// and pop-up menus, drags, drops and deletes.
#include "engine/BrowserTestSupport.h"
#include "support/DeckLoads.h"

#include "engine/TarlumePlayer.h"
#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tags/CID3v2Tag.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "ui/TarlumeSkinInterface.h"

#include <gtest/gtest.h>

using testsupport::columnOf;

namespace {

struct MenuCall {
    std::string name;
    int deck;
    std::string value;
    float x, y;
};

struct SimpleClick {
    int id;
    std::string spec;
    int deck;
    bool released;
};

// Records the menus and presses the list events cause; blits go nowhere (no GL context).
class RecordingInterface : public TarlumeSkinInterface {
public:
    using TarlumeSkinInterface::TarlumeSkinInterface;
    std::vector<MenuCall> menus;
    std::vector<SimpleClick> simpleClicks;
    SkinListBox* clearOnPress = nullptr;

    void popupCustomMenu(const std::string& name, int deck, const std::string& value, float x, float y, bool) override {
        menus.push_back({name, deck, value, x, y});
    }
    void handleMouseClickSimple(int id, const std::string& spec, int deck, bool released) override {
        simpleClicks.push_back({id, spec, deck, released});
        if (clearOnPress && !released) clearOnPress->clear(); // an action that empties the pop-up list
    }
    void bitblt(void*, int, int, int, int, void*, int, int) override {}
};

class RecordingShell : public EngineShell {
public:
    std::vector<std::string> drags;
    void startFileDrag(const std::string& path, void*) override { drags.push_back(path); }
    void showDialog(const std::string&) override {}
};

struct Events : testsupport::BrowserWorld<RecordingInterface> {
    RecordingShell shell;
    SkinWindow* window = nullptr;
    CPicture target;

    Events() {
        engine->shell = &shell;
        std::string popup = "<OBJECT><TYPE>ListBox</TYPE><VALUE>popupmenu</VALUE><POSITION><LEFT>0</LEFT><TOP>0</TOP>"
                            "<WIDTH>100</WIDTH><HEIGHT>100</HEIGHT></POSITION></OBJECT>";
        skin->windows.emplace_back(new SkinWindow(skin.get(), &popup, "_popupwindow"));
        std::string text = "<name>browser</name>";
        window = new SkinWindow(skin.get(), &text);
        skin->windows.emplace_back(window);
        window->layerStates[0]->x = 100;
        window->layerStates[0]->y = 200;
        target.create(400, 400);
    }
    ~Events() { engine->shell = nullptr; }

    // A list object of the browser window, and its list as the skin gets it.
    SkinListBox* list(int value, int player, SkinObject** made = nullptr) {
        SkinObject* object = listObject(value, player);
        object->window = window;
        if (made) *made = object;
        SkinListBox* box = iface->getListBox(object);
        if (box) box->draw(&target); // lays the rows out for the mouse
        return box;
    }
    SkinObject* objectOf(SkinListBox* box) { return box->object; }
    // A press and release on row k of a drawn list (window coordinates).
    void press(SkinListBox* box, int k, int button = 1) {
        float x = box->rect->left + 20, y = box->rect->top + box->getItemPositionTop(box->getRow(k)) + 5;
        box->handleMouseClick(x, y, button, 0, false);
        box->handleMouseClick(x, y, button, 0, true);
    }
};

} // namespace

TEST(ListEvents, FolderRowsChangeTheFolderOrOpenTheirMenu) {
    Events e;
    std::string a = e.folder("lib/a"), b = e.folder("lib/b");
    e.engine->changeFolder(0, b);
    SkinObject* object = nullptr;
    SkinListBox* tree = e.list(VALUE_FOLDERS, -1, &object); // the default player: browser 0
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(columnOf(tree, 1)[2], a); // the tree starts at the music folder: root, lib, a, b

    e.press(tree, 2, 2); // right: the menu just under the row, nothing else
    ASSERT_EQ(e.iface->menus.size(), 1u);
    EXPECT_EQ(e.iface->menus[0].name, "folder_rightclick");
    EXPECT_EQ(e.iface->menus[0].deck, 0);
    EXPECT_EQ(e.iface->menus[0].value, a);
    EXPECT_EQ(e.iface->menus[0].x, 10 + 100);
    EXPECT_EQ(e.iface->menus[0].y, 20 + 200 + 2 * 17 + 17);
    EXPECT_EQ(e.engine->currentFolder[0], b);

    SkinListBox* files = e.list(VALUE_FILES, 4); // out of range: browser 0 as well
    e.press(tree, 2);                            // left: the browser shows the folder
    EXPECT_EQ(e.engine->currentFolder[0], a);
    EXPECT_EQ(e.engine->fileDirectory[0]->path, a);
    EXPECT_EQ(tree->getSelectedItem(0)->getColumn(1), a);
    EXPECT_EQ(e.engine->fileList[0], files);

    // A file row only becomes the selection.
    e.iface->handleItemClick(e.objectOf(files), tree->getRow(0), 1);
    EXPECT_EQ(e.engine->currentFolder[0], a);
    EXPECT_EQ(e.iface->menus.size(), 1u);
}

TEST(ListEvents, ControllerMenuAndPopupRows) {
    Events e;
    e.engine->applicationFolder = e.folder("app");
    e.folder("app/devices");
    testsupport::runCommand("touch '" + e.music.path + "app/devices/pad.xml' '" + e.music.path +
                            "app/devices/deck.xml'");
    SkinListBox* controllers = e.list(125, 2);
    ASSERT_NE(controllers, nullptr);
    e.window->layerStates[2]->x = 7;
    e.window->layerStates[2]->lastMouseX = 30;
    e.window->layerStates[2]->lastMouseY = 40;
    e.press(controllers, 0);
    SkinListBox* popup = e.engine->popupList;
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(columnOf(popup, 0), (std::vector<std::string>{"None", "deck.xml", "pad.xml"}));
    EXPECT_EQ(popup->getRow(0)->columns,
              (std::vector<std::string>{"None", "Option", "MidiConfig:Keyboard:=None", "2"}));
    EXPECT_EQ(popup->getRow(2)->getColumn(2), "MidiConfig:Keyboard:=pad.xml");
    EXPECT_TRUE(e.iface->showPopupRequested);
    EXPECT_EQ(e.iface->popupX, 37);
    EXPECT_EQ(e.iface->popupY, 40);
    EXPECT_EQ(e.iface->popupWidth, 150);
    EXPECT_EQ(e.iface->popupHeight, 3 * 17);

    // Choosing a row presses and releases its value, then hides the pop-up, even when the action
    // empties the list under the row.
    e.iface->showPopupRequested = false;
    e.iface->clearOnPress = popup;
    e.iface->handleItemClick(popup->object, popup->getRow(2), 1);
    ASSERT_EQ(e.iface->simpleClicks.size(), 2u);
    int option = e.iface->getValue("Option");
    EXPECT_EQ(e.iface->simpleClicks[0].id, option);
    EXPECT_EQ(e.iface->simpleClicks[0].spec, "MidiConfig:Keyboard:=pad.xml");
    EXPECT_EQ(e.iface->simpleClicks[0].deck, 2);
    EXPECT_FALSE(e.iface->simpleClicks[0].released);
    EXPECT_EQ(e.iface->simpleClicks[1].spec, "MidiConfig:Keyboard:=pad.xml");
    EXPECT_TRUE(e.iface->simpleClicks[1].released);
    EXPECT_TRUE(e.iface->hidePopupRequested);

    // A menu list without a "Player" column performs for deck 0.
    e.iface->clearOnPress = nullptr;
    SkinListBox plain(e.iface.get(), popup->rect, popup->object);
    plain.setColumns({"Text", "Value", "ValueSpecifier"});
    plain.addRow({"x", "Option", "Something", "3"});
    e.iface->handleItemClick(popup->object, plain.getRow(0), 1);
    EXPECT_EQ(e.iface->simpleClicks.back().deck, 0);
}

TEST(ListEvents, DraggingPlaylistRowsMovesThem) {
    REQUIRE_AUDIO_TOOLS();
    Events e;
    std::vector<std::string> tracks;
    for (const char* name : {"1", "2", "3"})
        tracks.push_back(e.track(std::string("t/") + name + ".mp3", {name, "A"}));
    e.engine->createPlaylist("drag", 0);
    SkinObject* object = nullptr;
    SkinListBox* playlist = e.list(VALUE_PLAYLIST, 4, &object); // browser 0, whatever the layer
    for (const std::string& t : tracks)
        e.engine->addFileToPlaylist(0, t);
    TagCacheDirectory* dir = e.engine->playlistDirectory[0];
    auto dirPaths = [&] {
        std::vector<std::string> paths;
        for (int k = 0; k < dir->getNbTags(); ++k)
            paths.push_back(dir->getTag(k)->getPath());
        return paths;
    };

    // Row 0 dragged to the empty part of its own list goes to the end, in both lists.
    playlist->draw(&e.target);
    float x = object->rect->left + 20;
    playlist->handleMouseClick(x, object->rect->top + 5, 1, 0, false);
    playlist->handleMouseMove(x, object->rect->top + 60, 1, 0);
    EXPECT_EQ(e.shell.drags, std::vector<std::string>{tracks[0]});
    e.iface->handleFileDrop(object, 2, tracks[0], x, object->rect->top + 150);
    std::vector<std::string> moved = {tracks[1], tracks[2], tracks[0]};
    EXPECT_EQ(columnOf(playlist, 4), moved);
    EXPECT_EQ(dirPaths(), moved);

    // Onto a row: to that row's place.
    playlist->draw(&e.target);
    playlist->handleMouseClick(x, object->rect->top + 2 * 17 + 5, 1, 0, false);
    playlist->handleMouseMove(x, object->rect->top + 10, 1, 0);
    e.iface->handleFileDrop(object, 1, tracks[0], x, object->rect->top + 5);
    EXPECT_EQ(columnOf(playlist, 4), tracks);
    EXPECT_EQ(dirPaths(), tracks);

    // The same file dropped again from outside is appended.
    e.iface->handleFileDrop(object, 0, tracks[0], x, object->rect->top + 5);
    EXPECT_EQ(playlist->getNbItems(), 4);
    EXPECT_EQ(dir->getNbTags(), 4);

    // Delete: a playlist row leaves the list and the playlist; file and folder rows stay.
    playlist->selectItem(playlist->getRow(3), false);
    playlist->handleKeyPress(SkinListBox::KEY_LIST_DELETE, "", false);
    EXPECT_EQ(columnOf(playlist, 4), tracks);
    EXPECT_EQ(dirPaths(), tracks);
    SkinListBox* files = e.list(VALUE_FILES, 0);
    e.engine->changeFolder(0, e.music.path + "t/");
    e.settle();
    ASSERT_EQ(files->getNbItems(), 3);
    files->selectItem(files->getRow(0), false);
    files->handleKeyPress(SkinListBox::KEY_LIST_FORWARD_DELETE, "", false);
    EXPECT_EQ(files->getNbItems(), 3);
    SkinListBox* tree = e.list(VALUE_FOLDERSANDCASES, 0);
    int rows = tree->getNbItems();
    tree->handleKeyPress(SkinListBox::KEY_LIST_DELETE, "", false);
    EXPECT_EQ(tree->getNbItems(), rows);
}

TEST(ListEvents, DropsOnDropboxesLoadDecks) {
    REQUIRE_AUDIO_TOOLS();
    Events e;
    std::string track = e.track("d/1.mp3", {"One", "A"});
    SkinObject* deckBox = e.listObject(VALUE_DROPBOX, 1);
    deckBox->type = OBJECT_BUTTON;
    SkinObject* layerBox = e.listObject(VALUE_DROPBOX, -1);
    SkinObject* sampler = e.listObject(VALUE_DROPBOX, 2);
    sampler->valueSpecifier = "Sampler";
    e.iface->handleFileDrop(sampler, 0, track, 15, 25);
    // A row dragged from a list onto a deck: the drag ends there.
    e.iface->startDragOperation(e.listObject(VALUE_PLAYLIST, 0), 0, track);
    e.iface->handleFileDrop(deckBox, 0, track, 15, 25);
    EXPECT_EQ(e.iface->dragData, "");
    EXPECT_EQ(e.shell.drags, std::vector<std::string>{track});
    e.iface->handleFileDrop(layerBox, 3, track, 15, 25);
    testsupport::finishLoads(e.engine.get());
    ASSERT_NE(e.engine->players[1], nullptr);
    ASSERT_NE(e.engine->players[1]->tag, nullptr);
    EXPECT_EQ(e.engine->players[1]->tag->getPath(), track);
    ASSERT_NE(e.engine->players[3]->tag, nullptr);
    EXPECT_EQ(e.engine->players[3]->tag->getPath(), track);
    EXPECT_EQ(e.engine->players[2]->tag, nullptr); // "sampler" is not a deck
    EXPECT_EQ(e.engine->players[0]->tag, nullptr);
}
