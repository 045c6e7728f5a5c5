#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tags/CID3v2Tag.h"
#include "TagCacheTestUtil.h"

namespace {

// A small cached library: each file with title, artist, genre and tempo.
struct Library {
    TempTree tree;
    std::string music = tree.folder("music");
    std::string playlists = tree.folder("playlists");
    std::unique_ptr<TagCache> cache;

    Library() {
        struct {
            const char* file;
            const char* title;
            const char* artist;
            const char* genre;
            const char* bpm;
        } tracks[] = {{"1.mp3", "Love Song", "Nightfall Crew", "House", "128.5"},
                      {"2.mp3", "LOVE again", "Somebody", "house", "120"},
                      {"3.mp3", "Slow one", "Nightfall", "Ambient", "95"},
                      {"4.mp3", "Rock On", "Band's Name", "Rock", "140"},
                      {"5.mp3", "Drum thing", "DJ Who", "Drum/Bass", "174"},
                      {"6.mp3", "Deep Sea", "Diver", "Deep House", "122"}};
        for (const auto& t : tracks)
            tree.file(std::string("music/") + t.file,
                      id3v2({{"TIT2", t.title}, {"TPE1", t.artist}, {"TCON", t.genre}, {"TBPM", t.bpm}}));
        cache.reset(new TagCache(tree.root + "tagcache.db"));
        cache->getFolder(music, false, true, false, false);
    }
    std::string titles(TagCacheDirectory* list, bool sortByTitle = true) {
        if (sortByTitle) list->sort("TIT2");
        std::string out;
        for (int i = 0; i < list->getNbTags(); i++)
            out += (out.empty() ? "" : ",") + list->getTag(i)->getFrameCopy("TIT2");
        return out;
    }
    TagCacheDirectory* smart(const std::string& name, const std::string& rules) {
        std::string path = tree.file("playlists/" + name, rules);
        return cache->getFolder(path, false, true, true, false);
    }
};

} // namespace

TEST(Playlists, M3uReadsExistingEntriesAndIsWrittenBackOnlyWhenChanged) {
    Library lib;
    std::string content = "#EXTM3U\r\n" + lib.music + "2.mp3\r\n\r\n../music/1.mp3\r\n/gone/away.mp3\r\n" + lib.music +
                          "notes.txt\r\n" + lib.music + "3.mp3\r\n";
    std::string path = lib.tree.file("playlists/set.m3u", content);
    TagCacheDirectory* list = lib.cache->getFolder(path, false, true, false, false);
    EXPECT_EQ(lib.titles(list, false), "LOVE again,Love Song,Slow one");
    EXPECT_FALSE(list->isDirty());
    // Records come from the folder's list: the same objects.
    TagCacheDirectory* folder = lib.cache->getFolder(lib.music, false, true, false, false);
    bool shared = false;
    for (int i = 0; i < folder->getNbTags(); i++)
        shared = shared || folder->getTag(i) == list->getTag(0);
    EXPECT_TRUE(shared);

    // Browsed only: never rewritten.
    EXPECT_EQ(lib.cache->writePlaylists(), 0);
    EXPECT_EQ(readFileContents(path), content);
}

TEST(Playlists, AChangedM3uIsReplacedWholeKeepingEntriesOfMissingFiles) {
    Library lib;
    std::string path = lib.tree.file("playlists/set.m3u", "#EXTM3U\n/gone/first.mp3\n" + lib.music +
                                                              "1.mp3\n/gone/away.mp3\n" + lib.music + "2.mp3\n");
    chmod(path.c_str(), 0640);
    TagCacheDirectory* list = lib.cache->getFolder(path, false, true, false, false);
    ASSERT_EQ(list->getNbTags(), 2);
    list->moveItem(1, 0);
    CID3v2Tag* added = new CID3v2Tag();
    added->readFromFile(lib.music + "4.mp3");
    list->addTag(added, false);
    EXPECT_TRUE(list->isDirty());
    // Another list half loaded and changed is not written.
    std::string other = lib.tree.file("playlists/other.m3u", lib.music + "3.mp3\n");
    TagCacheDirectory* unloaded = lib.cache->getFolder(other, true, false, false, true);
    unloaded->addTag(new CID3v2Tag(), false);
    EXPECT_EQ(lib.cache->writePlaylists(), 0);
    EXPECT_EQ(readFileContents(path), "/gone/first.mp3\n" + lib.music + "2.mp3\n" + lib.music +
                                          "1.mp3\n/gone/away.mp3\n" + lib.music + "4.mp3\n");
    EXPECT_EQ(readFileContents(other), lib.music + "3.mp3\n");
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_FALSE(list->isDirty());
    // Writing where nothing can be written leaves a failure and no stray file.
    EXPECT_FALSE(list->storeToM3u("/nonexistent-folder/x.m3u"));
}

TEST(Playlists, SmartPlaylistRulesFieldsOperatorsAndGroups) {
    Library lib;
    struct {
        const char* rules;
        const char* titles;
    } cases[] = {
        {"title contains love", "LOVE again,Love Song"},
        {"genre is House", "LOVE again,Love Song"},
        {"genre = \"Deep House\"", "Deep Sea"},
        {"genre equals deep house", ""}, // four words: ignored, every file listed
        {"bpm >= 120", "Deep Sea,Drum thing,LOVE again,Love Song,Rock On"},
        {"bpm > 120\nartist like nightfall", "Love Song"},
        {"bpm < 100 or artist contains Nightfall", "Love Song,Slow one"},
        {"bpm <= 120 OR genre is rock", "LOVE again,Rock On,Slow one"},
        {"any contains drum", "Drum thing"},
        {"TIT2 is \"slow one\"", "Slow one"},
        {"title is ?ock*", "Rock On"},
        {"artist contains band's", "Rock On"},
        {"bpm > 1\n\nnothing here", "Deep Sea,Drum thing,LOVE again,Love Song,Rock On,Slow one"},
        {"artist contains \"Nightfall or Somebody\"", ""}, // " or " splits inside quotes too
    };
    int n = 0;
    for (const auto& c : cases) {
        TagCacheDirectory* list = lib.smart("case" + intToStr(n++) + ".spl", c.rules);
        std::string expected = c.titles;
        if (std::string(c.rules) == "genre equals deep house")
            expected = "Deep Sea,Drum thing,LOVE again,Love Song,Rock On,Slow one";
        EXPECT_EQ(lib.titles(list), expected) << c.rules;
    }

    TagCacheDirectory* sorted = lib.smart("sorted.spl", "bpm > 100\nsort by artist,title");
    EXPECT_EQ(lib.titles(sorted, false), "Rock On,Deep Sea,Drum thing,Love Song,LOVE again");

    TagCacheDirectory* grouped = lib.smart("grouped.spl", "bpm > 100\ngroup by genre");
    std::vector<std::string> groups;
    for (int i = 0; i < grouped->getNbFolders(); i++)
        groups.push_back(grouped->getFolder(i));
    EXPECT_EQ(groups, (std::vector<std::string>{"Deep House", "Drum/Bass", "House", "Rock"}));
    TagCacheDirectory* house = lib.cache->getFolder(grouped->path + "/HOUSE/", false, true, false, false);
    EXPECT_EQ(lib.titles(house), "LOVE again,Love Song");
    EXPECT_EQ(house->getNbFolders(), 0);
    TagCacheDirectory* dnb = lib.cache->getFolder(grouped->path + "/Drum/Bass/", false, true, false, false);
    EXPECT_EQ(lib.titles(dnb), "Drum thing");
    TagCacheDirectory* all = lib.smart("allgroups.SPL", "group by genre");
    EXPECT_EQ(all->getNbFolders(), 5);

    // The example of the rule language, as SQL with its values bound.
    SmartPlaylistQuery q =
        TagCacheDirectory::parseSmartPlaylist("genre is House\nbpm > 120 or artist contains Nightfall", "");
    ASSERT_TRUE(q.valid);
    EXPECT_EQ(q.tracks.sql,
              "SELECT files.ID, files.name, files.modifieddate FROM files WHERE "
              "(EXISTS (SELECT 1 FROM frames AS fr0 WHERE fr0.file = files.ID AND fr0.name = ? AND fr0.value LIKE ?)) "
              "AND (EXISTS (SELECT 1 FROM frames AS fr1 WHERE fr1.file = files.ID AND fr1.name = ? AND "
              "CAST (fr1.value AS REAL) > ?) OR "
              "EXISTS (SELECT 1 FROM frames AS fr2 WHERE fr2.file = files.ID AND fr2.name = ? AND fr2.value LIKE ?))");
    ASSERT_EQ(q.tracks.params.size(), 6u);
    EXPECT_EQ(q.tracks.params[1].bytes, "House");
    EXPECT_EQ(q.tracks.params[3].real, 120.0);
    EXPECT_EQ(q.tracks.params[5].bytes, "%Nightfall%");
}

TEST(Playlists, InvalidOrHostileRulesRunNothingAndLeaveTheDatabaseAlone) {
    Library lib;
    TagCacheDirectory* warm = lib.smart("warm.spl", "genre is house");
    ASSERT_EQ(warm->getNbTags(), 2);
    // Each line is refused ("Error in query", nothing listed) or, not being three words, ignored
    // (every file listed, as with no rule at all).
    struct {
        const char* rules;
        bool refused;
    } corpus[] = {
        {"title between a", true},
        {"title' OR '1'='1 contains x", true},
        {"TIT2') OR (1=1 -- is x", false},
        {"sort by title'--", true},
        {"group by (SELECT name FROM sqlite_master)", true},
        {"TI-2 is x", true},
        {"TALB\"; DROP TABLE files; is x", false},
        {"\"TA LB\" is x", true},
        {"genre is x\nbpm ~ 3", true},
    };
    int n = 0;
    for (const auto& entry : corpus) {
        const char* rules = entry.rules;
        std::string path = lib.tree.file("playlists/bad" + intToStr(n++) + ".spl", rules);
        std::string before = dumpDatabase(lib.cache->getDatabase());
        testing::internal::CaptureStdout();
        TagCacheDirectory* list = lib.cache->getFolder(path, false, true, false, false);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed.find("Error in query") != std::string::npos, entry.refused) << rules;
        EXPECT_EQ(list->getNbTags(), entry.refused ? 0 : 6) << rules;
        EXPECT_EQ(list->getNbFolders(), 0) << rules;
        // Nothing but the list's own folders row (and its remembered query time) changed.
        std::string after = dumpDatabase(lib.cache->getDatabase());
        EXPECT_EQ(after.substr(0, before.find("\nfiles|") + 1), before.substr(0, before.find("\nfiles|") + 1) + "")
            << rules;
        EXPECT_EQ(after.substr(after.find("\nfiles|")), before.substr(before.find("\nfiles|"))) << rules;
        EXPECT_EQ(countRows(lib.cache->getDatabase(), "SELECT count(*) FROM files"), 6) << rules;
        EXPECT_EQ(countRows(lib.cache->getDatabase(), "SELECT count(*) FROM frames"), 24) << rules;
    }
    // More terms than one query can join are refused, whole.
    std::string rules;
    for (int i = 0; i < 62; i++)
        rules += "title contains o\n";
    testing::internal::CaptureStdout();
    EXPECT_TRUE(TagCacheDirectory::parseSmartPlaylist(rules + "title contains o", "").valid);
    EXPECT_FALSE(TagCacheDirectory::parseSmartPlaylist(rules + "title contains o\ntitle contains o", "").valid);
    EXPECT_FALSE(TagCacheDirectory::parseSmartPlaylist(rules + "title contains o\ngroup by genre", "").valid);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error in query\nError in query\n");

    // Quoted values with SQL in them are plain values.
    TagCacheDirectory* quoted = lib.smart("quoted.spl", "title contains \"'); DELETE FROM files; --\"");
    EXPECT_EQ(quoted->getNbTags(), 0);
    EXPECT_EQ(countRows(lib.cache->getDatabase(), "SELECT count(*) FROM files"), 6);
}

TEST(Playlists, SearchesNeedEveryWordAnywhere) {
    Library lib;
    struct {
        const char* text;
        const char* titles;
    } cases[] = {
        {"love", "LOVE again,Love Song"},
        {"nightfall love", "Love Song"},
        {"house   128", "Love Song"},
        {"band's", "Rock On"},
        {"r?ck", "Rock On"},
        {"d*p", "Deep Sea"},
        {"\"deep house\"", "Deep Sea"},
        {"\"\" house", "Deep Sea,LOVE again,Love Song"},
        {"   ", ""},
        {"zzz", ""},
    };
    for (const auto& c : cases) {
        TagCacheDirectory* list = lib.cache->getFolder(std::string("search:") + c.text, false, true, false, false);
        EXPECT_EQ(lib.titles(list), c.titles) << c.text;
        EXPECT_EQ(list->getProgress(), 1.0);
    }
    EXPECT_FALSE(TagCacheDirectory::buildSearchQuery("  \"\"  ").valid);

    // As many words as one query can join, and one more.
    std::string words;
    for (int i = 0; i < 63; i++)
        words += " o";
    EXPECT_EQ(lib.titles(lib.cache->getFolder("search:" + words, false, true, false, false)),
              "Deep Sea,Drum thing,LOVE again,Love Song,Rock On,Slow one");
    EXPECT_FALSE(TagCacheDirectory::buildSearchQuery(words + " o").valid);

    // A new track in the cache makes a search stale: it reloads when asked for again.
    TagCacheDirectory* love = lib.cache->getFolder("search:love", false, true, false, false);
    lib.tree.file("music/7.mp3", id3v2({{"TIT2", "Lovely"}}));
    usleep(2000);
    lib.cache->getFolder(lib.music, false, true, true, false);
    lib.cache->getFolder("search:love", false, true, false, false);
    EXPECT_EQ(lib.titles(love), "LOVE again,Love Song,Lovely");
}

TEST(Playlists, UrgentRequestsGoFirstAndShortSearchesAreDropped) {
    Library lib;
    SQLDatabase* db = lib.cache->getDatabase();
    // A file cached and then gone makes the search pause in its clean-up, which waits for our
    // transaction: the search is then the list being loaded, for as long as we hold it.
    for (const char* text : {"hous", "house"}) {
        std::string gone = lib.tree.file(std::string("music/gone ") + text + ".mp3", id3v2({{"TIT2", "gone house"}}));
        lib.cache->getFolder(lib.music, false, true, true, false);
        std::remove(gone.c_str());
        std::string search = std::string("search:") + text;
        std::string later = lib.tree.folder(std::string("later") + text);
        std::string urgent = lib.tree.folder(std::string("urgent") + text);
        // Registered first: a new list takes its own lock before the database's, never after.
        for (const std::string& path : {search, later, urgent})
            lib.cache->getFolder(path, true, false, false, true);
        db->beginTransaction();
        lib.cache->getFolder(search, true, true, false, false);
        // The loading thread took the search once the queue is empty (the bound only ends a failing run).
        for (int i = 0; i < 60000 && !lib.cache->getQueuedPaths().empty(); i++)
            usleep(1000);
        lib.cache->getFolder(later, true, false, false, false);
        lib.cache->getFolder(urgent, true, true, false, false);
        std::vector<std::string> queue = lib.cache->getQueuedPaths();
        db->commitTransaction();
        ASSERT_GE(queue.size(), 2u) << text;
        EXPECT_EQ(queue[0], urgent);
        EXPECT_EQ(queue[1], later);
        if (std::string(text) == "hous")
            EXPECT_EQ(queue.size(), 2u); // 11 characters: dropped
        else
            EXPECT_EQ(queue.back(), search); // 12 characters: loaded again later
        ASSERT_TRUE(lib.cache->waitUntilIdle(10000));
    }
    EXPECT_EQ(lib.cache->getFolder("search:house", true, false, false, true)->getProgress(), 1.0);
}

TEST(Playlists, EntriesSpelledDifferentlyNameTheSameCachedFile) {
    Library lib;
    std::string path =
        lib.tree.file("playlists/spelled.m3u", "../music/1.mp3\n" + lib.music + "./2.mp3\n" + lib.tree.root +
                                                   "music//3.mp3\n" + lib.tree.root + "playlists/../music/4.mp3\n");
    TagCacheDirectory* list = lib.cache->getFolder(path, false, true, false, false);
    ASSERT_EQ(list->getNbTags(), 4);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(list->getTag(i)->getPath(), lib.music + intToStr(i + 1) + ".mp3");
    EXPECT_EQ(countRows(lib.cache->getDatabase(), "SELECT count(*) FROM files"), 6);
    TagCacheDirectory* folder = lib.cache->getFolder(lib.music, false, true, true, false);
    EXPECT_EQ(folder->getNbTags(), 6);
    EXPECT_EQ(lib.titles(lib.cache->getFolder("search:love", false, true, false, false)), "LOVE again,Love Song");

    struct {
        const char* in;
        const char* out;
    } forms[] = {{"/a/./b//c/../d.mp3", "/a/b/d.mp3"},
                 {"/../a.mp3", "/a.mp3"},
                 {"/a/b/../../c", "/c"},
                 {"a/../../b", "../b"},
                 {"/", "/"},
                 {"", ""}};
    for (const auto& form : forms)
        EXPECT_EQ(TagCacheDirectory::cleanPath(form.in), form.out) << form.in;
}

TEST(Playlists, ARecordTakenJustBeforeAReloadStaysReadable) {
    Library lib;
    // The user interface reads a row through getTag while the list reloads on another thread.
    TagCacheDirectory* search = lib.cache->getFolder("search:slow", false, true, false, false);
    ASSERT_EQ(search->getNbTags(), 1);
    CID3v2Tag* row = search->getTag(0);
    lib.cache->getFolder("search:slow", false, true, true, false);
    EXPECT_EQ(row->getFrameCopy("TIT2"), "Slow one");

    TagCacheDirectory* folder = lib.cache->getFolder(lib.music, false, true, false, false);
    CID3v2Tag* changed = nullptr;
    CID3v2Tag* removed = nullptr;
    for (int i = 0; i < folder->getNbTags(); i++) {
        if (folder->getTag(i)->getPath() == lib.music + "1.mp3") changed = folder->getTag(i);
        if (folder->getTag(i)->getPath() == lib.music + "2.mp3") removed = folder->getTag(i);
    }
    ASSERT_TRUE(changed && removed);
    std::string file = lib.tree.file("music/1.mp3", id3v2({{"TIT2", "Rewritten"}}));
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, file.c_str(), times, 0);
    std::remove((lib.music + "2.mp3").c_str());
    lib.cache->getFolder(lib.music, false, true, true, false);
    EXPECT_EQ(folder->getNbTags(), 5);
    EXPECT_EQ(changed->getFrameCopy("TIT2"), "Love Song");
    EXPECT_EQ(removed->getFrameCopy("TIT2"), "LOVE again");
}

TEST(Playlists, OldSearchesGiveBackTheirRecords) {
    Library lib;
    // The user types on: every search is a list, but only the recent ones keep their records.
    TagCacheDirectory* first = lib.cache->getFolder("search:o", false, true, false, false);
    ASSERT_GT(first->getNbTags(), 0);
    std::weak_ptr<CID3v2Tag> record = first->getTagShared(0);
    TagCacheDirectory* last = nullptr;
    for (size_t spaces = 1; spaces <= 20; spaces++)
        last = lib.cache->getFolder("search:o" + std::string(spaces, ' '), false, true, false, false);
    EXPECT_EQ(first->getNbTags(), 0);
    // The searches typed since share one record of each file instead of building their own.
    bool shared = false;
    for (int i = 0; i < last->getNbTags(); i++)
        shared = shared || last->getTagShared(i) == record.lock();
    EXPECT_TRUE(shared);
    // Asked for again, it loads again.
    EXPECT_GT(lib.cache->getFolder("search:o", false, true, false, false)->getNbTags(), 0);
}
