#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tags/CID3v2Tag.h"
#include "support/Bytes.h"
#include "TagCacheTestUtil.h"

namespace {

std::string title(CID3v2Tag* record) {
    return record ? record->getFrameCopy("TIT2") : "<none>";
}

CID3v2Tag* findRecord(TagCacheDirectory* list, const std::string& path) {
    for (int i = 0; i < list->getNbTags(); i++)
        if (list->getTag(i)->getPath() == path) return list->getTag(i);
    return nullptr;
}

void runSqlite(const std::string& db, const std::string& sql, const std::string& before = "") {
    std::string command = "sqlite3 '" + db + "' " + before + " \"" + sql + "\" >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// 4 KiB of random bytes over the second page of a cache: the properties table, where its version is.
void overwriteVersionPage(const std::string& db) {
    std::mt19937 random(53);
    std::string page(4096, '\0');
    for (char& c : page)
        c = char(random());
    int fd = open(db.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, page.data(), page.size(), 4096), 4096);
    close(fd);
}

// Root writes any file whatever its mode. While this lives, this thread and the threads it starts are held to the
// files' modes as their owner is, as every other user is.
class AsFileOwner {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};

public:
    AsFileOwner() {
        syscall(SYS_capget, &header, saved);
        __user_cap_data_struct held[2] = {saved[0], saved[1]};
        held[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        syscall(SYS_capset, &header, held);
    }
    ~AsFileOwner() { syscall(SYS_capset, &header, saved); }
};

} // namespace

TEST(TagCache, OldVersionsAreUpgradedAndBrokenFilesReplaced) {
    TempTree tree;
    const std::string oldTables =
        "CREATE TABLE properties (ID INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT, value TEXT);"
        "CREATE TABLE folders (ID INTEGER PRIMARY KEY, path TEXT);"
        "INSERT INTO folders (path) VALUES ('/old/');"
        "CREATE TABLE tagcachefolders (ID INTEGER PRIMARY KEY, path TEXT, adddate TEXT, "
        "updatedate TEXT);"
        "INSERT INTO tagcachefolders (path) VALUES ('/kept/');";
    struct Case {
        const char* name;
        const char* version; // "" = no properties row
        bool keepsTreeList;
    } cases[] = {{"v8", "8", true}, {"v6", "6", false}, {"none", "", false}};
    for (const Case& c : cases) {
        std::string db = tree.root + c.name + ".db";
        std::string sql = oldTables;
        if (*c.version)
            sql += std::string("INSERT INTO properties (key, value) VALUES ('major_version', '") + c.version + "');";
        runSqlite(db, sql);
        TagCache cache(db);
        SQLDatabase* d = cache.getDatabase();
        EXPECT_EQ(cache.getPropertyValue("major_version"), "9") << c.name;
        EXPECT_EQ(cache.getPropertyValue("minor_version"), "1") << c.name;
        EXPECT_EQ(countRows(d, "SELECT count(*) FROM folders WHERE path = '/old/'"), 0) << c.name;
        EXPECT_EQ(countRows(d, "SELECT count(*) FROM tagcachefolders"), c.keepsTreeList ? 1 : 0) << c.name;
        EXPECT_EQ(countRows(d, "SELECT count(*) FROM properties WHERE key = 'major_version'"), 1) << c.name;
    }

    // Not a database: moved aside, a new one works. Missing parents are created. Its log, which may hold the newest
    // cue points, is kept beside it when it outlives the close (another program holds the cache open), and a second
    // damaged cache is kept beside the first, numbered as damaged settings files are.
    const std::string junk = tree.root + "junk/tagcache.db";
    for (const std::string kept : {".corrupt", ".corrupt2"}) {
        tree.file("junk/tagcache.db", std::string(3000, 'j') + kept);
        tree.file("junk/tagcache.db-wal", "log" + kept);
        SQLDatabase other(junk);
        EXPECT_FALSE(other.checkReadable());
        {
            TagCache cache(junk);
            EXPECT_EQ(cache.getPropertyValue("major_version"), "9");
        }
        EXPECT_EQ(readFileContents(junk + kept), std::string(3000, 'j') + kept);
        EXPECT_EQ(readFileContents(junk + kept + "-wal"), "log" + kept);
    }
    EXPECT_EQ(readFileContents(junk + ".corrupt-wal"), "log.corrupt");

    // Damaged where the open reads first (its version's page), a version that cannot be read, cut to half its length
    // (its last pages, which the open never reads, gone), or found damaged while running: kept as it was found, its
    // log beside it with the newest cue point, said in one true line, and the next session writes. A file that cannot
    // be moved is left as it is, and a read-only file is not damaged: neither is kept, and the session after them
    // writes.
    struct Damage {
        const char* name;
        void (*apply)(const std::string& db); // before the session, or while it runs
        bool whileRunning;
        const char* saidFirst; // what the session says ("" nothing); "kept" ones keep the file and its log
        const char* saidNext;
    } damages[] = {
        {"version's page", overwriteVersionPage, false, "could not be used; it was kept as", ""},
        {"version unreadable",
         [](const std::string& db) {
             runSqlite(db,
                       "ALTER TABLE properties RENAME TO gone; CREATE VIEW properties AS SELECT * FROM gone; DROP "
                       "TABLE gone;",
                       "'.dbconfig no_ckpt_on_close on'");
         },
         false, "could not be used; it was kept as", ""},
        {"cut to half",
         [](const std::string& db) { EXPECT_EQ(truncate(db.c_str(), std::filesystem::file_size(db) / 2), 0); }, false,
         "could not be used; it was kept as", ""},
        {"its last pages while running",
         [](const std::string& db) {
             int fd = open(db.c_str(), O_WRONLY);
             EXPECT_EQ(pwrite(fd, std::string(65536, 'x').data(), 65536, std::filesystem::file_size(db) - 65536),
                       65536);
             close(fd);
             SQLDatabase other(db); // a write of another program: what this one read before is read again
             other.executeQuery("INSERT INTO playlog (file) VALUES ('other')");
         },
         true, "was found damaged; it was kept as", ""},
        {"version's page, in a read-only folder",
         [](const std::string& db) {
             overwriteVersionPage(db);
             chmod(getFilePath(db).c_str(), 0555);
         },
         false,
         "could not be used and could not be moved aside (Permission denied): it is left as it is, and this session "
         "keeps its cache in a temporary database",
         "could not be used; it was kept as"},
        {"read-only after a close",
         [](const std::string& db) {
             SQLDatabase(db).checkReadable(); // its log copied in and removed
             chmod(db.c_str(), 0444);
         },
         false, "", ""},
    };
    for (const Damage& d : damages) {
        TempTree t;
        const std::string db = t.root + "tagcache.db";
        const std::string track = t.file("music/Artist - Title.mp3", id3v2({{"TIT2", "Title"}}));
        auto storeCues = [&](TagCache& cache, std::string cues) {
            TagPtr record = cache.getTagByFilename(track);
            record->setFrame("ETCO", &cues, 0);
            // A long overview: the file's second half is its pages alone, which the open does not need.
            return cache.storeDeckRecord(record.get(), 4, std::string(256 * 1024, '\x80'), 0.5);
        };
        {
            TagCache cache(db);
            ASSERT_TRUE(storeCues(cache, "older"));
        }
        // The newest cue point still only in the log, as a session that ended without closing leaves it.
        runSqlite(db, "UPDATE frames SET value = 'newest' WHERE name = 'ETCO'", "'.dbconfig no_ckpt_on_close on'");
        const std::string log = readFileContents(db + "-wal");
        ASSERT_FALSE(log.empty()) << d.name;
        if (!d.whileRunning) d.apply(db);
        const std::string found = readFileContents(db);
        testing::internal::CaptureStderr();
        {
            AsFileOwner owner;
            TagCache cache(db);
            if (d.whileRunning) {
                d.apply(db);
                cache.getWaveForm(track, 4, nullptr, nullptr);
            }
        }
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), *d.saidFirst ? 1 : 0) << d.name << ": " << said;
        EXPECT_NE(said.find(d.saidFirst), std::string::npos) << d.name << ": " << said;
        if (said.find("kept as \"" + db + ".corrupt\"") != std::string::npos) {
            EXPECT_TRUE(d.whileRunning || readFileContents(db + ".corrupt") == found) << d.name;
            EXPECT_TRUE(readFileContents(db + ".corrupt-wal").substr(0, log.size()) == log) << d.name;
            SQLDatabase kept(db + ".corrupt");
            EXPECT_EQ(countRows(&kept, "SELECT count(*) FROM files"), 1) << d.name;
            EXPECT_EQ(kept.getOneResult("SELECT value FROM frames WHERE name = 'ETCO'"), "newest") << d.name;
        } else {
            EXPECT_TRUE(readFileContents(db) == found) << d.name;
        }
        chmod(db.c_str(), 0644);
        chmod(t.root.c_str(), 0755);
        testing::internal::CaptureStderr();
        {
            AsFileOwner owner;
            TagCache cache(db);
            EXPECT_TRUE(storeCues(cache, "next")) << d.name;
        }
        said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), *d.saidNext ? 1 : 0) << d.name << ": " << said;
        EXPECT_NE(said.find(d.saidNext), std::string::npos) << d.name << ": " << said;
    }
    // The right version with tables that are not the cache's (a column missing, a row ID that is not one):
    // moved aside in the same way, and the new one fills.
    tree.file("wrong/Artist - Title.mp3");
    for (const char* table :
         {"files (ID INTEGER PRIMARY KEY, name TEXT)", "folders (ID TEXT, name TEXT, path TEXT, "
                                                       "updatedate TEXT, incomplete INTEGER, parent "
                                                       "INTEGER, timetoupdate REAL)"}) {
        std::string db = tree.root + "wrong.db";
        std::remove((db + ".corrupt").c_str());
        runSqlite(db, std::string("CREATE TABLE properties (ID INTEGER PRIMARY KEY, key TEXT, value TEXT);"
                                  "INSERT INTO properties (key, value) VALUES ('major_version', '9');"
                                  "CREATE TABLE ") +
                          table + ";");
        {
            TagCache cache(db);
            EXPECT_EQ(cache.getFolder(tree.root + "wrong", false, true, false, false)->getNbTags(), 1) << table;
            EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM files"), 1) << table;
        }
        EXPECT_TRUE(FileExist(db + ".corrupt")) << table;
        TagCache reopened(db);
        EXPECT_EQ(countRows(reopened.getDatabase(), "SELECT count(*) FROM files"), 1) << table;
        std::remove(db.c_str());
    }

    std::string nested = tree.root + "a/b/c/tagcache.db";
    {
        TagCache cache(nested);
        EXPECT_EQ(cache.getPropertyValue("major_version"), "9");
    }
    EXPECT_TRUE(FileExist(nested));

    // A folder in its place: left alone, said in one line, and this session caches elsewhere.
    std::string folder = tree.root + "folder/tagcache.db/";
    tree.file("folder/tagcache.db/inside");
    testing::internal::CaptureStderr();
    {
        TagCache cache(folder.substr(0, folder.size() - 1));
        tree.file("infolder/Artist - Title.mp3");
        EXPECT_EQ(cache.getFolder(tree.root + "infolder", false, true, false, false)->getNbTags(), 1);
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("a folder is in its place"), std::string::npos) << said;
    EXPECT_TRUE(FileExist(folder + "inside"));

    // Held locked by another program: left alone, and this session caches elsewhere.
    {
        SQLDatabase other(nested);
        ASSERT_TRUE(other.executeQuery("PRAGMA locking_mode = EXCLUSIVE"));
        other.beginTransaction();
        ASSERT_TRUE(other.executeQuery("INSERT INTO properties (key, value) VALUES ('theirs', 'kept')"));
        testing::internal::CaptureStderr();
        {
            TagCache cache(nested);
            EXPECT_EQ(cache.getPropertyValue("major_version"), "9");
            tree.file("locked/Artist - Title.mp3");
            EXPECT_EQ(cache.getFolder(tree.root + "locked", false, true, false, false)->getNbTags(), 1);
            EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM files"), 1);
        }
        EXPECT_NE(testing::internal::GetCapturedStderr().find("(locked or not readable)"), std::string::npos);
        EXPECT_FALSE(FileExist(nested + ".corrupt"));
        EXPECT_TRUE(other.commitTransaction());
    }
    TagCache reopened(nested);
    EXPECT_EQ(reopened.getPropertyValue("theirs"), "kept");
}

TEST(TagCache, PathFormsAndTheRegistryOrder) {
    struct {
        const char* in;
        const char* out;
        bool dynamic;
    } forms[] = {{"", "/", false},
                 {"recurse:recurse:/a", "recurse:/a/", false},
                 {"recurse:recurse:recurse:/a/", "recurse:/a/", false},
                 {"/a//b", "/a/b/", false},
                 {"/a///b//", "/a/b/", false},
                 {"x.M3U", "x.M3U", false},
                 {"/p/club.SPL", "/p/club.SPL", true},
                 {"/p/club.spl/Drum/Bass/", "/p/club.spl/Drum/Bass/", true},
                 {"search:deep house", "search:deep house", true},
                 {".m3u", ".m3u/", false}};
    for (const auto& form : forms) {
        bool dynamic = !form.dynamic;
        EXPECT_EQ(TagCache::normalizePath(form.in, &dynamic), form.out) << form.in;
        EXPECT_EQ(dynamic, form.dynamic) << form.in;
    }

    TempTree tree;
    for (int n : {0, 1, 2, 7, 40}) {
        TagCache cache(tree.root + "order" + intToStr(n) + ".db");
        std::vector<std::string> paths;
        for (int i = 0; i < n; i++)
            paths.push_back("/nowhere/" + std::string(1, char('a' + i % 26)) + intToStr(i * 7919 % 101) + "/");
        if (n >= 2) paths[1] = "/NOWHERE/A/"; // case twins are two lists
        if (n >= 2) paths[0] = "/nowhere/a/";
        std::mt19937 random{unsigned(n)};
        std::shuffle(paths.begin(), paths.end(), random);
        std::set<TagCacheDirectory*> lists;
        for (const auto& p : paths)
            lists.insert(cache.getFolder(p, true, false, false, true));
        for (const auto& p : paths)
            EXPECT_TRUE(lists.count(cache.getFolder(p, true, false, false, true))) << p;
        ASSERT_EQ(cache.getNbFolders(), n);
        EXPECT_EQ(int(lists.size()), n);
        for (int i = 1; i < n; i++) {
            std::string a = cache.getFolder(unsigned(i - 1))->path, b = cache.getFolder(unsigned(i))->path;
            EXPECT_TRUE(strtolower(a) < strtolower(b) || (strtolower(a) == strtolower(b) && a < b)) << a << " " << b;
        }
    }
}

TEST(TagCache, DiskFoldersListVisibleEntriesSortedAndStoreTheirTracks) {
    TempTree tree;
    std::string music = tree.folder("music");
    tree.folder("music/b");
    tree.folder("music/A");
    tree.folder("music/c");
    tree.folder("music/.svn");
    tree.file("music/.hidden.mp3");
    tree.file("music/zed - last.mp3");
    tree.file("music/Alpha - First.MP3");
    tree.file("music/notes.txt");
    tree.file("music/b.flac");
    tree.file("music/a.wave");
    tree.file("music/c.aac");
    TagCache cache(tree.root + "db/tagcache.db");
    TagCacheDirectory* list = cache.getFolder(music, false, true, false, false);
    ASSERT_EQ(list->getNbFolders(), 3);
    EXPECT_EQ(list->getFolder(0), "A");
    EXPECT_EQ(list->getFolder(1), "b");
    EXPECT_EQ(list->getFolder(2), "c");
    std::vector<std::string> files;
    for (int i = 0; i < list->getNbFiles(); i++)
        files.push_back(list->getFile(i));
    EXPECT_EQ(files, (std::vector<std::string>{"a.wave", "Alpha - First.MP3", "b.flac", "c.aac", "notes.txt",
                                               "zed - last.mp3"}));
    EXPECT_EQ(list->getNbTags(), 5);
    EXPECT_EQ(list->getProgress(), 1.0);
    EXPECT_EQ(title(findRecord(list, music + "Alpha - First.MP3")), "First");
    EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM files"), 5);

    struct {
        const char* name;
        bool ok;
    } types[] = {{"song.MP3", true}, {"a.wave", true}, {"b.flac", true}, {"c.aac", true}, {"x.ac3", true},
                 {"y.M4A", true},    {"d.mp4", false}, {"e.txt", false}, {"mp3", false},  {"", false}};
    for (const auto& t : types)
        EXPECT_EQ(TagCacheDirectory::isValidFileType(t.name), t.ok) << t.name;
}

TEST(TagCache, QuotingTwinsGetOneRowEachAndKeepTheirOwnTagsAndWaveforms) {
    TempTree tree;
    std::string folder = tree.folder("q");
    const std::vector<std::string> names = {"a'b.mp3", "a_b.mp3", "axb.mp3", "a%b.mp3", "a*b.mp3", "A.mp3", "a.mp3"};
    for (const auto& name : names)
        tree.file("q/" + name, id3v2({{"TIT2", "title of " + name}, {"TPE1", "x"}}));
    std::string db = tree.root + "tagcache.db";
    for (int round = 0; round < 4; round++) {
        TagCache cache(db);
        TagCacheDirectory* list = cache.getFolder(folder, false, true, false, false);
        ASSERT_EQ(list->getNbTags(), int(names.size())) << round;
        for (const auto& name : names)
            EXPECT_EQ(title(findRecord(list, folder + name)), "title of " + name);
        EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM files"), int(names.size())) << round;
        EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(DISTINCT name) FROM files"), int(names.size()));
        if (round == 0) {
            for (size_t i = 0; i < names.size(); i++) {
                cache.setWaveForm(folder + names[i], 100, std::string(3, char('a' + i)), 0.5 + double(i), 1);
                cache.setWaveForm(folder + names[i], 100, std::string(4, char('a' + i)), 0.5 + double(i), 1);
            }
            cache.setWaveForm(folder + "a.mp3", 200, "two hundred", 0.25, 0);
        }
        for (size_t i = 0; i < names.size(); i++) {
            double height = -1;
            int incomplete = -1;
            EXPECT_EQ(cache.getWaveForm(folder + names[i], 100, &height, &incomplete), std::string(4, char('a' + i)));
            EXPECT_EQ(height, 0.5 + double(i));
            EXPECT_EQ(incomplete, 1);
        }
        EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM waveforms"), int(names.size()) + 1);
        double height = -1;
        int incomplete = -1;
        EXPECT_EQ(cache.getWaveForm(folder + "a.mp3", 200, &height, &incomplete), "two hundred");
        EXPECT_EQ(cache.getWaveForm(folder + "ab.mp3", 100, &height, &incomplete), "");
        EXPECT_EQ(cache.getWaveForm(folder + "A_b.mp3", 100, &height, &incomplete), "");
        EXPECT_EQ(height, 0.25);
        EXPECT_EQ(incomplete, 0);
        cache.setWaveForm(tree.root + "unknown.mp3", 100, "zzz", 1, 1);
        EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM waveforms"), int(names.size()) + 1);
        cache.waitUntilIdle(5000);
    }
}

TEST(TagCache, FramesAreCutOrDroppedAndReadBackAsUtf8) {
    TempTree tree;
    std::string folder = tree.folder("f");
    std::string longText = std::string(511, 'x') + "\xC3\xA9" + std::string(511, 'y'); // 1024 bytes, é at 511
    tree.file("f/long.mp3",
              id3v2({{"TIT2", longText}, {"TPE1", std::string(1023, 'p')}, {"APIC", std::string(3000, 'i')}}));
    tree.file("f/short.mp3", id3v2({{"TIT2", "Short"}, {"TPE1", "Artist"}}));
    std::string db = tree.root + "tagcache.db";
    {
        TagCache cache(db);
        TagCacheDirectory* list = cache.getFolder(folder, false, true, false, false);
        CID3v2Tag* record = findRecord(list, folder + "long.mp3");
        ASSERT_NE(record, nullptr);
        const std::string* picture = record->getFrame("APIC", true, 0);
        ASSERT_NE(picture, nullptr);
        EXPECT_TRUE(picture->empty());
        SQLDatabase* d = cache.getDatabase();
        EXPECT_EQ(d->getOneResult("SELECT incomplete FROM files WHERE name LIKE '%long.mp3'"), "1");
        EXPECT_EQ(d->getOneResult("SELECT incomplete FROM files WHERE name LIKE '%short.mp3'"), "0");
        // The cut backs off the split "é": 511 bytes, not 512.
        EXPECT_EQ(d->getOneResult("SELECT length(value) FROM frames WHERE name = 'TIT2' AND incomplete = 1"), "511");
        EXPECT_EQ(d->getOneResult("SELECT length(value) FROM frames WHERE name = 'TPE1' AND value LIKE 'ppp%'"),
                  "1023");
        EXPECT_EQ(countRows(d, "SELECT count(*) FROM frames WHERE name = 'APIC'"), 0);
    }
    TagCache cache(db);
    TagCacheDirectory* list = cache.getFolder(folder, false, true, false, false);
    CID3v2Tag* record = findRecord(list, folder + "long.mp3");
    ASSERT_NE(record, nullptr);
    ASSERT_GE(record->getNbFrames(), 2u);
    for (unsigned i = 0; i < record->getNbFrames(); i++) {
        CID3Frame* frame = record->getFrame(i);
        EXPECT_EQ(frame->getAdditionalHeader(), std::string(1, '\x03'));
        EXPECT_EQ(frame->isIncomplete(), frame->getId() == "TIT2") << frame->getId();
    }
    EXPECT_EQ(record->getFrameCopy("TIT2"), std::string(511, 'x'));
    EXPECT_EQ(TagCacheDirectory::cutUtf8("ab\xE2\x82\xAC", 4), "ab");
    EXPECT_EQ(TagCacheDirectory::cutUtf8("ab\xE2\x82\xAC", 5), "ab\xE2\x82\xAC");
}

// A record read back from the database has its frames in their stored order, whether its folder's
// frames come from one pass over the table or from a look-up of its files.
TEST(TagCache, RecordsReadBackKeepTheirFramesInStoredOrder) {
    TempTree tree;
    std::string folder = tree.folder("f");
    tree.file("f/a.mp3", id3v2({{"TPE1", "Artist"}, {"TIT2", "Title"}, {"COMM", "Note"}, {"TALB", "Album"}}));
    std::string db = tree.root + "tagcache.db";
    std::string stored;
    for (int others : {0, 40}) {
        {
            TagCache cache(db);
            cache.getFolder(folder, false, true, false, false);
            SQLDatabase* d = cache.getDatabase();
            // Other folders' files: with them the folder's one file is read by look-up.
            for (int i = 0; i < others; i++)
                d->executeQuery("INSERT INTO files (name, folder, type) VALUES (?, 999, 1)",
                                SQLParams{"/elsewhere/" + intToStr(i) + ".mp3"});
            for (const auto& row : d->getAllRows("SELECT name FROM frames ORDER BY ID"))
                stored += (stored.empty() ? "" : ",") + row[0];
        }
        TagCache cache(db);
        CID3v2Tag* record = findRecord(cache.getFolder(folder, false, true, false, false), folder + "a.mp3");
        ASSERT_NE(record, nullptr);
        std::string order;
        for (unsigned i = 0; i < record->getNbFrames(); i++)
            order += (i ? "," : "") + record->getFrame(i)->getId();
        EXPECT_EQ(order, stored) << others;
        EXPECT_NE(stored.find("TPE1,TIT2"), std::string::npos);
        stored.clear();
    }
}

// A folder's records are written together, many frames to a statement: every file keeps exactly
// its own frames, in their order, whatever the count (one frame to more than a statement holds).
TEST(TagCache, EveryFileOfAFolderIsStoredWithItsOwnFramesInOrder) {
    TempTree tree;
    std::string folder = tree.folder("f");
    std::map<std::string, std::string> expected; // path: "name=value" of each frame, in order
    for (int count : {1, 45, 3, 33, 2}) {
        std::vector<std::pair<std::string, std::string>> frames;
        std::string list;
        for (int k = 0; k < count; k++) {
            std::string id = k == 0 ? "TIT2" : k == 1 ? "TPE1" : "T" + std::string(k < 10 ? "00" : "0") + intToStr(k);
            frames.emplace_back(id, "v" + intToStr(count) + "." + intToStr(k));
            list += (k ? "," : "") + id + "=" + frames.back().second;
        }
        expected[tree.file("f/n" + intToStr(count) + ".mp3", id3v2(frames))] = list;
    }
    TagCache cache(tree.root + "tagcache.db");
    cache.getFolder(folder, false, true, false, false);
    for (const auto& file : expected) {
        std::string stored;
        for (const auto& row : cache.getDatabase()->getAllRows(
                 "SELECT frames.name, frames.value FROM frames, files WHERE frames.file = files.ID AND "
                 "files.name = ? ORDER BY frames.ID",
                 SQLParams{file.first}))
            stored += (stored.empty() ? "" : ",") + row[0] + "=" + row[1];
        EXPECT_EQ(stored, file.second) << file.first;
    }
}

// A folder's records built by look-up get their own frames, not those of the files stored between
// theirs (another folder's, stored at the same time).
TEST(TagCache, RecordsBuiltByLookUpSkipTheFilesStoredBetweenTheirs) {
    TempTree tree;
    std::string db = tree.root + "tagcache.db";
    std::vector<std::string> paths;
    for (int i = 0; i < 3; i++)
        for (const char* folder : {"f", "g"})
            paths.push_back(tree.file(std::string(folder) + "/" + intToStr(i) + ".mp3",
                                      id3v2({{"TIT2", std::string(folder) + intToStr(i)}, {"TPE1", "A"}})));
    {
        TagCache cache(db);
        for (const std::string& file : paths)
            cache.getTagByFilename(file); // stored one after the other: f and g alternate
        // Many files elsewhere: a folder of three is then read by look-up.
        for (int i = 0; i < 40; i++)
            cache.getDatabase()->executeQuery("INSERT INTO files (name, folder, type) VALUES (?, 999, 1)",
                                              SQLParams{"/elsewhere/" + intToStr(i) + ".mp3"});
    }
    TagCache cache(db);
    TagCacheDirectory* list = cache.getFolder(tree.root + "f", false, true, false, false);
    ASSERT_EQ(list->getNbTags(), 3);
    for (int i = 0; i < 3; i++) {
        CID3v2Tag* record = findRecord(list, tree.root + "f/" + intToStr(i) + ".mp3");
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(title(record), "f" + intToStr(i));
        EXPECT_EQ(record->getNbFrames(), 2u);
    }
}

TEST(TagCache, ChangedDeletedAndAddedFilesArePickedUp) {
    TempTree tree;
    std::string folder = tree.folder("m");
    tree.folder("m/sub");
    tree.file("m/sub/inner.mp3", id3v2({{"TIT2", "Inner"}}));
    std::string changed = tree.file("m/changed.mp3", id3v2({{"TIT2", "Before"}}));
    std::string deleted = tree.file("m/deleted.mp3", id3v2({{"TIT2", "Deleted"}}));
    std::string db = tree.root + "tagcache.db";
    {
        TagCache cache(db);
        EXPECT_EQ(cache.getFolder(folder, false, true, false, false)->getNbTags(), 2);
        cache.getFolder(folder + "sub/", false, true, false, false);
    }
    auto rewrite = [&](const std::string& text, long when) {
        tree.file("m/changed.mp3", id3v2({{"TIT2", text}}));
        struct timespec times[2] = {{when, 0}, {when, 0}};
        utimensat(AT_FDCWD, changed.c_str(), times, 0);
    };
    rewrite("After", 1000000000);
    std::remove(deleted.c_str());
    tree.file("m/added.mp3", id3v2({{"TIT2", "Added"}}));
    ASSERT_EQ(std::system(("rm -rf '" + folder + "sub'").c_str()), 0);
    {
        TagCache cache(db);
        TagCacheDirectory* list = cache.getFolder(folder, false, true, false, false);
        EXPECT_EQ(list->getNbTags(), 2);
        EXPECT_EQ(title(findRecord(list, changed)), "After");
        EXPECT_EQ(title(findRecord(list, folder + "added.mp3")), "Added");
        EXPECT_EQ(findRecord(list, deleted), nullptr);
        EXPECT_EQ(list->getNbFolders(), 0);
        SQLDatabase* d = cache.getDatabase();
        EXPECT_EQ(countRows(d, "SELECT count(*) FROM files"), 2);
        EXPECT_EQ(countRows(d, "SELECT count(*) FROM folders WHERE path LIKE '%/sub/'"), 0);
        EXPECT_EQ(countRows(d, "SELECT count(*) FROM frames WHERE value = 'Deleted' OR value = 'Inner'"), 0);

        // The same list refreshed while it lives.
        rewrite("Again", 1100000000);
        tree.file("m/late.mp3", id3v2({{"TIT2", "Late"}}));
        std::remove((folder + "added.mp3").c_str());
        cache.getFolder(folder, false, true, true, false);
        EXPECT_EQ(list->getNbTags(), 2);
        EXPECT_EQ(title(findRecord(list, changed)), "Again");
        EXPECT_EQ(title(findRecord(list, folder + "late.mp3")), "Late");

        // Refreshed again while the loading thread's load of it is held (waiting to store new files it listed): a
        // load that begins after that refresh lists the file added meanwhile. So too when the held load is then
        // interrupted by another list and keeps its listing for the next run.
        auto holdLoad = [&] {
            // Idle first: the loading thread then takes the list before any work of its own on the database.
            ASSERT_TRUE(cache.waitUntilIdle(30000));
            d->beginTransaction();
            cache.getFolder(folder, true, true, true, false);
            auto queued = [&] {
                std::vector<std::string> paths = cache.getQueuedPaths();
                return std::find(paths.begin(), paths.end(), list->path) != paths.end();
            };
            for (int i = 0; i < 60000 && (queued() || d->getTransactionWaiters() == 0); i++)
                usleep(1000);
            ASSERT_GT(d->getTransactionWaiters(), 0);
        };
        tree.file("m/held.mp3", id3v2({{"TIT2", "Held"}}));
        for (bool interrupted : {false, true}) {
            if (interrupted) // enough new files to be stored before the load looks whether it is interrupted
                for (int i = 0; i < 64; i++)
                    if (FILE* f = fopen((folder + "new" + intToStr(i) + ".mp3").c_str(), "wb")) fclose(f);
            holdLoad();
            if (interrupted) cache.getFolder(tree.folder("other"), true, true, false, false);
            const std::string meanwhile = interrupted ? "Meanwhile2" : "Meanwhile";
            tree.file("m/" + meanwhile + ".mp3", id3v2({{"TIT2", meanwhile}}));
            cache.getFolder(folder, true, true, true, false);
            d->commitTransaction();
            ASSERT_TRUE(cache.waitUntilIdle(30000));
            EXPECT_EQ(list->getProgress(), 1.0);
            EXPECT_EQ(title(findRecord(list, folder + "held.mp3")), "Held");
            EXPECT_EQ(title(findRecord(list, folder + meanwhile + ".mp3")), meanwhile) << interrupted;
        }
    }
}

// What a deck keeps of a track (cue points and loops, replay gain, overview) is stored whole or not at all: a
// statement that fails leaves what was stored before, says so in one line, and the next store works.
TEST(TagCache, ADeckRecordIsStoredWholeOrNotAtAll) {
    TempTree tree;
    const std::string file = tree.file("d/a.mp3", id3v2({{"TIT2", "A"}}));
    TagCache cache(tree.root + "tagcache.db");
    SQLDatabase* d = cache.getDatabase();
    auto store = [&](const std::string& marks) {
        CID3v2Tag record;
        record.setPath(file);
        record.setFrame("ETCO", marks + " cues", 0);
        record.setFrame("RGAD", marks + " gain", 0);
        return cache.storeDeckRecord(&record, 100, marks + " overview", 0.5);
    };
    auto stored = [&] {
        std::string text;
        for (const auto& row :
             d->getAllRows("SELECT name, value FROM frames WHERE name IN ('ETCO', 'RGAD') ORDER BY ID"))
            text += row[0] + "=" + row[1] + ";";
        return text + cache.getWaveForm(file, 100, nullptr, nullptr);
    };
    ASSERT_TRUE(store("old"));
    const std::string before = stored();
    ASSERT_EQ(before, "ETCO=old cues;RGAD=old gain;old overview");
    for (const char* refused : {"BEFORE DELETE ON frames", "BEFORE INSERT ON frames WHEN NEW.name = 'ETCO'",
                                "BEFORE INSERT ON frames WHEN NEW.name = 'RGAD'", "BEFORE INSERT ON waveforms"}) {
        ASSERT_TRUE(d->executeQuery(std::string("CREATE TEMP TRIGGER refused ") + refused +
                                    " BEGIN SELECT RAISE(ABORT, 'refused'); END"));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(store("new")) << refused;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Cue points of " + file +
                      " not saved (the tag cache could not store them); those stored before are kept\n")
            << refused;
        ASSERT_TRUE(d->executeQuery("DROP TRIGGER refused"));
        EXPECT_EQ(stored(), before) << refused;
    }
    testing::internal::CaptureStderr();
    EXPECT_TRUE(store("new"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(stored(), "ETCO=new cues;RGAD=new gain;new overview");
}

TEST(TagCache, ListEditing) {
    TempTree tree;
    TagCache cache(tree.root + "tagcache.db");
    TagCacheDirectory* list = cache.getFolder(tree.root + "edit.m3u", false, true, false, false);
    const char* titles[] = {"d", "B", "a", "C", "", "e"};
    for (int i = 0; i < 6; i++) {
        CID3v2Tag* record = new CID3v2Tag();
        record->setPath("/x/" + intToStr(i) + ".mp3");
        if (*titles[i]) record->setFrame("TIT2", titles[i], 3);
        list->addTag(record, false);
    }
    auto order = [&] {
        std::string s;
        for (int i = 0; i < list->getNbTags(); i++)
            s += list->getTag(i)->getPath().substr(3, 1);
        return s;
    };
    EXPECT_EQ(order(), "012345");
    list->moveItem(5, 0);
    EXPECT_EQ(order(), "501234");
    list->moveItem(0, 99);
    EXPECT_EQ(order(), "012345");
    list->moveItem(-1, 0);
    list->moveItem(6, 0);
    EXPECT_EQ(order(), "012345");
    list->sort("TIT2");
    EXPECT_EQ(order(), "421305"); // no title first, then a B C d e with case folded
    list->removeTag("", 2);
    EXPECT_EQ(order(), "42305");
    list->removeTag("/x/3.mp3", 3); // index 3 holds 0: the first match goes
    EXPECT_EQ(order(), "4205");
    list->removeTag("/x/9.mp3", 0);
    list->removeTag("", 99);
    EXPECT_EQ(order(), "4205");
    EXPECT_EQ(list->getTag(99), nullptr);
    EXPECT_TRUE(list->isDirty());
}

TEST(TagCache, ShutdownRightAfterABuildResumesItAtTheNextStart) {
    TempTree tree;
    int expected = 0;
    for (int a = 0; a < 12; a++)
        for (int b = 0; b < 6; b++) {
            tree.file("lib/f" + intToStr(a) + "/g" + intToStr(b) + "/Artist - Title " + intToStr(b) + ".mp3");
            expected++;
        }
    std::string db = tree.root + "tagcache.db";
    {
        TagCache cache(db);
        cache.buildTagCache(tree.root + "lib");
    }
    {
        TagCache cache(db);
        ASSERT_TRUE(cache.waitUntilIdle(60000));
    }
    TagCache cache(db);
    EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM files"), expected);
    EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM tagcachefolders"), 1);
    EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM unfinishedfolders"), 0);
}

TEST(TagCache, EveryQueuedListGetsLoadedWhateverTheTiming) {
    TempTree tree;
    for (int i = 0; i < 40; i++)
        tree.file("w/" + intToStr(i) + "/Artist - Song.mp3");
    TagCache cache(tree.root + "tagcache.db");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = t; i < 40; i += 4) {
                cache.getFolder(tree.root + "w/" + intToStr(i), true, i % 3 == 0, false, false);
                if (i % 5 == 0) usleep(200);
            }
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(cache.waitUntilIdle(30000));
    for (int i = 0; i < 40; i++) {
        TagCacheDirectory* list = cache.getFolder(tree.root + "w/" + intToStr(i), true, false, false, true);
        EXPECT_EQ(list->getProgress(), 1.0) << i;
        EXPECT_EQ(list->getNbTags(), 1) << i;
    }
}

TEST(TagCache, TheUserInterfaceReadsAndSortsAListWhileItLoads) {
    TempTree tree;
    for (int i = 0; i < 400; i++) {
        // Half carry a UTF-16 title (decoded on first reading) and a cover (emptied when stored).
        std::string tag;
        if (i % 2 == 0) {
            std::string utf16 = "\x01\xFF\xFE";
            for (char c : "Titre " + intToStr(i))
                utf16 += std::string{c, '\0'};
            tag = id3v2Raw({{"TIT2", utf16}, {"APIC", std::string(2000, 'p')}});
        }
        tree.file("big/Artist " + intToStr(i % 37) + " - Title " + intToStr(i) + ".mp3", tag);
    }
    TagCache cache(tree.root + "tagcache.db");
    TagCacheDirectory* list = cache.getFolder(tree.root + "big", true, true, false, false);
    std::atomic<bool> done{false};
    std::thread ui([&] {
        while (!done) {
            list->sort(list->getSortKey() == "TPE1" ? "TIT2" : "TPE1");
            for (int i = 0; i < list->getNbTags(); i++) {
                CID3v2Tag* record = list->getTag(i);
                if (record) {
                    EXPECT_FALSE(record->getPath().empty());
                    EXPECT_FALSE(record->getFrameCopy("TIT2").empty());
                    const std::string* cover = record->getFrame("APIC", true, 0);
                    if (cover) {
                        EXPECT_TRUE(cover->empty() || cover->size() == 2000);
                    }
                }
            }
            list->getNbFiles();
            list->getFile(3);
        }
    });
    ASSERT_TRUE(cache.waitUntilIdle(30000));
    done = true;
    ui.join();
    EXPECT_EQ(list->getNbTags(), 400);
}

TEST(TagCache, SymbolicLinkLoopsEndTheWalks) {
    TempTree tree;
    tree.file("loop/a/Artist - One.mp3");
    tree.file("loop/a/b/Artist - Two.mp3");
    ASSERT_EQ(symlink((tree.root + "loop").c_str(), (tree.root + "loop/a/b/back").c_str()), 0);
    TagCache cache(tree.root + "tagcache.db");
    TagCacheDirectory* recursive = cache.getFolder("recurse:" + tree.root + "loop", false, true, false, false);
    EXPECT_EQ(recursive->getNbTags(), 2);
    cache.buildTagCache(tree.root + "loop");
    ASSERT_TRUE(cache.waitUntilIdle(30000));
    EXPECT_EQ(countRows(cache.getDatabase(), "SELECT count(*) FROM files"), 2);
}

TEST(TagCache, LengthsComeFromTheAudioWhenAsked) {
    TempTree tree;
    // A mono 16-bit AIFF of 8000 frames at 8000 Hz (1000 ms); its tags say nothing of the length.
    using testsupport::be32;
    uint32_t frames = 8000, bytes = frames * 2;
    std::string rate80("\x40\x0B\xFA\x00\x00\x00\x00\x00\x00\x00", 10); // 8000.0 as an 80-bit extended
    std::string comm =
        "COMM" + be32(18) + std::string("\x00\x01", 2) + be32(frames) + std::string("\x00\x10", 2) + rate80;
    std::string ssnd = "SSND" + be32(8 + bytes) + be32(0) + be32(0) + std::string(bytes, '\0');
    tree.file("w/Artist - One Second.aif",
              "FORM" + be32(uint32_t(4 + comm.size() + ssnd.size())) + "AIFF" + comm + ssnd);
    tree.file("w/Artist - Broken.aif", "FORM");
    // An ASF header's length is an estimate from the byte rate (here 3,434 ms for 3.0 s): the decoder's wins.
    tree.file("w/Artist - Windows.wma", readFileContents(std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/decoders/wma.wma"));
    TagCache cache(tree.root + "tagcache.db");
    cache.setComputeLengths(true);
    TagCacheDirectory* list = cache.getFolder(tree.root + "w", false, true, false, false);
    ASSERT_EQ(list->getNbTags(), 2);
    EXPECT_EQ(findRecord(list, tree.root + "w/Artist - One Second.aif")->getFrameCopy("TLEN"), "1000");
    EXPECT_EQ(findRecord(list, tree.root + "w/Artist - Broken.aif")->getFrameCopy("TLEN"), "");

    // Folders list no WMA files, playlists do.
    TagCacheDirectory* playlist = cache.getFolder(tree.root + "p.m3u", false, true, false, false);
    CID3v2Tag* wma = playlist->addTag(tree.root + "w/Artist - Windows.wma", true, false);
    ASSERT_NE(wma, nullptr);
    EXPECT_EQ(wma->getFrameCopy("TLEN"), "3018");
}
