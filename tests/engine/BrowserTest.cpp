// The engine's browser lists over a real tag cache and a folder tree of tagged MP3 files.
#include "BrowserTestSupport.h"

#include "foundation/modTools.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tags/CID3v2Tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using testsupport::BrowserWorld;
using testsupport::columnOf;
using testsupport::TrackTags;

namespace {
using World = BrowserWorld<>;
} // namespace

TEST(Browser, FolderOfFewFoldersListsTheirTracks) {
    REQUIRE_AUDIO_TOOLS();
    World w;
    for (int k = 0; k < 4; ++k) {
        std::string sub = "four/s" + std::to_string(k) + "/";
        w.track(sub + "b.mp3", {"T" + std::to_string(k) + "b", "Zed"});
        w.track(sub + "a.mp3", {"T" + std::to_string(k) + "a", "Abe"});
    }
    for (int k = 0; k < 5; ++k)
        w.track("five/s" + std::to_string(k) + "/a.mp3", {"x", "y"});
    SkinListBox* files = w.engine->getListBox(w.listObject(VALUE_FILES, 0), nullptr, 0);
    ASSERT_NE(files, nullptr);

    w.engine->changeFolder(0, w.music.path + "four");
    w.settle();
    // Each folder's tracks sorted by artist, the folders in order.
    EXPECT_EQ(columnOf(files, 0), (std::vector<std::string>{"T0a", "T0b", "T1a", "T1b", "T2a", "T2b", "T3a", "T3b"}));
    EXPECT_FALSE(files->working);

    w.engine->changeFolder(0, w.music.path + "five/");
    w.settle();
    EXPECT_EQ(files->getNbItems(), 0);

    // A list showing its loading bar is refilled by the frame after its folder was read.
    w.engine->changeFolder(0, w.music.path + "four/s1");
    w.engine->tagCache->waitUntilIdle(20000);
    files->clear();
    files->working = true;
    w.engine->update();
    EXPECT_FALSE(files->working);
    EXPECT_EQ(columnOf(files, 0), (std::vector<std::string>{"T1a", "T1b"}));
}

TEST(Browser, TrackRowsColumnsColoursAndPlayedIcon) {
    REQUIRE_AUDIO_TOOLS();
    World w;
    std::string song = w.track("c/1.mp3", {"Song", "A1", "Techno", "red", 98, true});
    w.track("c/2.mp3", {"Genre", "A2", "House", "", 0});
    w.track("c/3.mp3", {"Plain", "A3", "Jazz", "blue", 128});
    CID3v2Tag played;
    played.readFromFile(song);
    w.engine->playedRecords.push_back(&played);
    SkinListBox* files = w.engine->getListBox(w.listObject(VALUE_FILES, 0), nullptr, 0);
    w.engine->changeFolder(0, w.music.path + "c/");
    w.settle();
    ASSERT_EQ(files->getNbItems(), 3);
    SkinListItem* first = files->getRow(0);
    EXPECT_EQ(first->columns, (std::vector<std::string>{"Song", "A1", "098", first->getColumn(3), song}));
    EXPECT_EQ(first->getLeftFormattedString(), "A1 - Song");
    EXPECT_EQ(first->color, 0x0000FFu);            // the song colour wins over the genre's
    EXPECT_EQ(files->getRow(1)->color, 0x00FF00u); // no song colour: the genre's
    EXPECT_EQ(files->getRow(1)->getColumn(2), "000");
    EXPECT_EQ(files->getRow(2)->color, 0u); // neither matches
    // The played track shows the played icon (entry 4), the others entry 0, on every refill.
    EXPECT_EQ(first->picture, files->pictures[4]);
    EXPECT_EQ(files->getRow(1)->picture, files->pictures[0]);
    w.engine->updateFileList(0);
    EXPECT_EQ(files->getRow(0)->picture, files->pictures[4]);
    w.engine->playedRecords.clear();
}

// Most MP3 and Ogg files carry no length tag: the browser shows the audio's own length, never 00:00,
// in its folder and in a playlist it was dragged into (from its folder, or from a folder not yet seen).
TEST(Browser, TracksWithoutALengthTagShowTheirAudiosLength) {
    REQUIRE_AUDIO_TOOLS();
    World w;
    std::string ogg = w.folder("len") + "a.ogg", far = w.folder("far") + "b.ogg";
    ASSERT_EQ(testsupport::runCommand("sox -n -r 44100 -c 2 '" + ogg + "' synth 3 sine 440 2>/dev/null"), 0);
    ASSERT_EQ(testsupport::runCommand("sox -n -r 44100 -c 2 '" + far + "' synth 2 sine 440 2>/dev/null"), 0);
    SkinListBox* files = w.engine->getListBox(w.listObject(VALUE_FILES, 0), nullptr, 0);
    SkinListBox* playlist = w.engine->getListBox(w.listObject(VALUE_PLAYLIST, 0), nullptr, 0);
    w.engine->createPlaylist("lengths", 0);
    w.engine->changeFolder(0, w.music.path + "len/");
    w.settle();
    ASSERT_EQ(files->getNbItems(), 1);
    EXPECT_EQ(files->getRow(0)->getColumn(3), "00:03");
    w.engine->addFileToPlaylist(0, ogg);
    w.engine->addFileToPlaylist(0, far);
    EXPECT_EQ(columnOf(playlist, 3), (std::vector<std::string>{"00:03", "00:02"}));
}

TEST(Browser, HistoryAndSearches) {
    World w;
    std::string a = w.folder("a"), b = w.folder("b");
    std::vector<std::string>& history = w.engine->folderHistory[0];
    history.clear();
    w.engine->changeFolder(0, w.music.path + "a"); // one trailing "/" however it is written
    w.engine->changeFolder(0, a + "//");
    EXPECT_EQ(history, std::vector<std::string>{a});
    w.engine->changeFolder(0, "search:foo");
    EXPECT_EQ(w.engine->currentFolder[0], "search:foo");
    EXPECT_EQ(history, std::vector<std::string>{a}); // searches are not recorded
    w.engine->changeFolder(0, "search:");
    EXPECT_EQ(w.engine->currentFolder[0], a);
    w.engine->changeFolder(0, b);
    w.engine->changeFolder(0, "");
    EXPECT_EQ(w.engine->currentFolder[0], b);
    // Browsers outside 0..3 are ignored.
    w.engine->changeFolder(4, a);
    w.engine->changeFolder(-1, a);
    EXPECT_EQ(w.engine->currentFolder[0], b);

    for (int k = 0; k < 150; ++k)
        w.engine->changeFolder(1, k % 2 ? a : b);
    EXPECT_EQ(w.engine->folderHistory[1].size(), Tarlume::kMaxFolderHistory);
    EXPECT_EQ(w.engine->folderHistory[1].back(), a);

    w.engine->folderHistory[2].clear();
    w.engine->currentFolder[2] = a;
    w.engine->changeFolder(2, "search:"); // nothing real to return to
    EXPECT_EQ(w.engine->currentFolder[2], a);
}

TEST(Browser, FolderTreeIsRootedAboveTheCurrentFolder) {
    World w;
    std::string leaf = w.folder("top/mid/leaf");
    w.folder("top/mid/other");
    w.folder("top/side");
    // A leaf is shown among its siblings: the tree starts at its grandparent.
    w.engine->currentFolder[0] = leaf;
    SkinListBox* tree = w.engine->getListBox(w.listObject(VALUE_FOLDERS, 0), nullptr, 0);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(w.engine->getListBox(w.listObject(VALUE_FOLDERSANDCASES, 0), nullptr, 0), tree);
    std::string top = w.music.path + "top/";
    ASSERT_GE(tree->getNbItems(), 5);
    EXPECT_EQ(columnOf(tree, 1),
              (std::vector<std::string>{top, top + "mid/", top + "mid/leaf/", top + "mid/other/", top + "side/"}));
    EXPECT_EQ(tree->getRow(0)->getColumn(0), "top");
    EXPECT_EQ(tree->getRow(2)->indent, 2);
    EXPECT_EQ(tree->boldRow, 2);
    EXPECT_EQ(tree->getRow(1)->picture, tree->pictures[1]); // open along the path
    EXPECT_EQ(tree->getRow(3)->picture, tree->pictures[0]);
    ASSERT_EQ(tree->getNbSelectedItems(), 1);
    EXPECT_EQ(tree->getSelectedItem(0), tree->getRow(2));

    // A folder with sub-folders starts the tree at its parent; a search keeps the last real tree.
    w.engine->changeFolder(0, top);
    EXPECT_EQ(tree->getRow(0)->getColumn(1), w.music.path);
    w.engine->changeFolder(0, top + "mid/");
    EXPECT_EQ(tree->getRow(0)->getColumn(1), w.music.path);
    w.engine->changeFolder(0, "search:x");
    EXPECT_EQ(tree->getRow(0)->getColumn(1), w.music.path);

    // A top-level folder: the first row is "/" with an empty path.
    w.engine->changeFolder(0, "/tmp/");
    EXPECT_EQ(tree->getRow(0)->columns, (std::vector<std::string>{"/", ""}));
}

TEST(Browser, FolderTreeKeepsItsRootAndFollowsTheDisk) {
    World w;
    w.folder("top/mid/deep/er");
    w.folder("top/side");
    const std::string deep = w.music.path + "top/mid/deep/";
    auto touch = [](const std::string& path) {
        if (FILE* f = fopen(path.c_str(), "wb")) fclose(f);
    };
    touch(deep + "A - Kept.mp3");
    touch(deep + "A - Gone.mp3");
    SkinListBox* files = w.engine->getListBox(w.listObject(VALUE_FILES, 0), nullptr, 0);
    SkinListBox* tree = w.engine->getListBox(w.listObject(VALUE_FOLDERS, 0), nullptr, 0);
    w.engine->changeFolder(0, w.music.path + "top/side/");
    const std::string root = tree->getRow(0)->getColumn(1);
    ASSERT_TRUE(isLeft(w.music.path, root));
    // A click on a folder holding a sub-folder opens it in place: the rest of the tree stays.
    w.engine->changeFolder(0, w.music.path + "top/mid/deep/");
    EXPECT_EQ(tree->getRow(0)->getColumn(1), root);
    EXPECT_EQ(tree->getSelectedItem(0)->getColumn(1), w.music.path + "top/mid/deep/");
    std::vector<std::string> paths = columnOf(tree, 1);
    EXPECT_NE(std::find(paths.begin(), paths.end(), w.music.path + "top/side/"), paths.end());
    // A click on the top entry goes one level up.
    w.engine->changeFolder(0, root);
    const std::string up = getFilePath(root.substr(0, root.size() - 1));
    EXPECT_EQ(tree->getRow(0)->getColumn(1), up == "/" ? "" : up); // "/" shows an empty path

    // A folder opened again shows the files and sub-folders added and removed since, once the frame
    // after its reading refills the lists.
    auto open = [&](const std::string& folder) {
        w.engine->changeFolder(0, folder);
        EXPECT_TRUE(w.engine->tagCache->waitUntilIdle(20000));
        w.engine->update();
    };
    auto titles = [&] {
        std::vector<std::string> names = columnOf(files, 0);
        std::sort(names.begin(), names.end());
        return names;
    };
    open(deep);
    EXPECT_EQ(titles(), (std::vector<std::string>{"Gone", "Kept"}));
    touch(deep + "A - Recorded.mp3");
    std::remove((deep + "A - Gone.mp3").c_str());
    w.folder("top/mid/deep/new");
    open(w.music.path + "top/side/");
    open(deep);
    EXPECT_EQ(titles(), (std::vector<std::string>{"Kept", "Recorded"}));
    paths = columnOf(tree, 1);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), deep + "new/"), 1);
}

TEST(Browser, CreatingPlaylists) {
    World w;
    const std::string pl = w.engine->playlistsFolder;
    w.engine->createPlaylist("abc", 0);
    EXPECT_EQ(w.engine->playlistPath[0], pl + "abc.m3u");
    EXPECT_TRUE(FileExist(pl + "abc.m3u"));
    w.engine->createPlaylist("Mix.M3U", 1);
    EXPECT_EQ(w.engine->playlistPath[1], pl + "Mix.M3U");
    w.engine->createPlaylist(w.music.path + "x", 2);
    EXPECT_EQ(w.engine->playlistPath[2], w.music.path + "x.m3u");
    w.engine->createPlaylist("House/Deep", 3);
    EXPECT_EQ(w.engine->playlistPath[3], pl + "House/Deep.m3u");
    EXPECT_TRUE(FileExist(pl + "House/Deep.m3u"));

    // A name that exists is switched to with its entries kept.
    std::string kept = w.music.path + "keep.m3u";
    testsupport::runCommand("printf '/a.mp3\\n/b.mp3\\n' > '" + kept + "'");
    w.engine->createPlaylist(kept, 0);
    EXPECT_EQ(readFileContents(kept), "/a.mp3\n/b.mp3\n");
    EXPECT_EQ(w.engine->playlistPath[0], kept);

    // A file that cannot be made leaves the playlist as it was.
    w.engine->createPlaylist(w.music.path + "missing/folder/y", 0);
    EXPECT_EQ(w.engine->playlistPath[0], kept);
    w.engine->createPlaylist("   ", 0);
    EXPECT_EQ(w.engine->playlistPath[0], kept);
}

TEST(Browser, PlaylistsTakeFilesAndWriteBackOnlyWhatChanged) {
    REQUIRE_AUDIO_TOOLS();
    World w;
    std::string one = w.track("p/1.mp3", {"One", "A"});
    std::string two = w.track("p/2.mp3", {"Two", "B"});
    std::string text = w.music.path + "notes.txt";
    testsupport::runCommand("echo hi > '" + text + "'");
    SkinListBox* playlist = w.engine->getListBox(w.listObject(VALUE_PLAYLIST, 1), nullptr, 1);
    w.engine->createPlaylist("set", 1);
    w.settle(1);
    w.engine->addFileToPlaylist(1, one);
    w.engine->addFileToPlaylist(1, text); // not a file the library takes
    w.engine->addFileToPlaylist(1, w.music.path + "p/");
    w.engine->addFileToPlaylist(1, two);
    EXPECT_EQ(columnOf(playlist, 4), (std::vector<std::string>{one, two}));

    // A list that was never read whole (registered only) is not written, even when touched.
    std::string big = w.music.path + "big.m3u";
    testsupport::runCommand("printf '" + one + "\\n" + two + "\\n' > '" + big + "'");
    TagCacheDirectory* half = w.engine->tagCache->getFolder(big, true, false, false, true);
    half->addTag(new CID3v2Tag(), false);
    w.engine->writePlaylists();
    EXPECT_EQ(readFileContents(w.engine->playlistsFolder + "set.m3u"), one + "\n" + two + "\n");
    EXPECT_EQ(readFileContents(big), one + "\n" + two + "\n");
}

TEST(Browser, ListsAreMadeOnceWithTheirSettings) {
    World w;
    w.engine->fileListSettings[2] = "<COLUMNWIDTHS><COL><NB>0</NB><WIDTH>0.40000</WIDTH></COL></COLUMNWIDTHS>";
    w.engine->columnMode = true;
    SkinObject* object = w.listObject(VALUE_FILES, 2);
    SkinListBox* files = w.engine->getListBox(object, object->rect.get(), 2);
    ASSERT_NE(files, nullptr);
    EXPECT_TRUE(files->showHeader);
    EXPECT_FLOAT_EQ(files->columnWidths[0], 0.4f);
    EXPECT_EQ(files->searchColumn, 1);
    EXPECT_EQ(files->pictures.size(), 5u);
    files->columnWidths[0] = 0.7f;
    EXPECT_EQ(w.engine->getListBox(object, object->rect.get(), 2), files);
    EXPECT_FLOAT_EQ(files->columnWidths[0], 0.7f); // not read again

    // Browser numbers outside 0..3 are browser 0; unknown ids give no list.
    SkinListBox* files0 = w.engine->getListBox(w.listObject(VALUE_FILES, -1), nullptr, -1);
    EXPECT_EQ(w.engine->getListBox(w.listObject(VALUE_FILES, 4), nullptr, 4), files0);
    EXPECT_EQ(w.engine->fileList[0], files0);
    EXPECT_EQ(w.engine->getListBox(w.listObject(VALUE_TABSELECT, 0), nullptr, 0), nullptr);

    // The controller list lives in the object's state and shows the computer keyboard.
    SkinObject* devices = w.listObject(125, 1);
    SkinListBox* controllers = w.engine->getListBox(devices, nullptr, 1);
    ASSERT_NE(controllers, nullptr);
    EXPECT_EQ(devices->state(1)->listBox, controllers);
    EXPECT_EQ(controllers->getRow(0)->columns, (std::vector<std::string>{"Keyboard", "", "Not Connected"}));
    w.engine->setHIDConfig("Keyboard", "pad.xml");
    w.engine->connectHIDs();
    EXPECT_EQ(controllers->getRow(0)->getColumn(1), "pad.xml");
}

TEST(Browser, KeyboardFocusCyclesThroughBrowserZero) {
    World w;
    // No list yet: nothing to move.
    w.engine->plScrollDown();
    EXPECT_EQ(w.engine->activeList, nullptr);
    SkinListBox* playlist = w.engine->getListBox(w.listObject(VALUE_PLAYLIST, 0), nullptr, 0);
    // Active none and no file list: the first step already moves to the playlist.
    w.engine->plSwitchActive();
    EXPECT_EQ(w.engine->activeList, playlist);
    SkinListBox* folders = w.engine->getListBox(w.listObject(VALUE_FOLDERS, 0), nullptr, 0);
    SkinListBox* files = w.engine->getListBox(w.listObject(VALUE_FILES, 0), nullptr, 0);
    w.engine->plSwitchActive();
    EXPECT_EQ(w.engine->activeList, folders);
    w.engine->plSwitchActive();
    EXPECT_EQ(w.engine->activeList, files);
    w.engine->plSwitchActive();
    EXPECT_EQ(w.engine->activeList, playlist);

    w.engine->activeList = folders;
    int before = folders->getSelectedItem(0) ? folders->getSelectedItem(0)->index : -1;
    w.engine->plScrollDown();
    ASSERT_NE(folders->getSelectedItem(0), nullptr);
    EXPECT_NE(folders->getSelectedItem(0)->index, before);
}
