#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheSearchSnapshot.h"
#include "TagCacheTestUtil.h"

namespace {

// Letters whose case LIKE folds (ASCII), letters it does not fold but the index does (é/É, ö/Ö,
// the Kelvin sign), letters without a case, digits, spaces, LIKE's own wildcards stored in the tags,
// and bytes tag readers let through: broken UTF-8 and the non-characters LIKE reads as U+FFFD.
const std::vector<std::string> kAlphabet = {"a",
                                            "A",
                                            "b",
                                            "B",
                                            "e",
                                            "E",
                                            "o",
                                            "r",
                                            "S",
                                            "s",
                                            "t",
                                            "é",
                                            "É",
                                            "ö",
                                            "Ö",
                                            "ß",
                                            "日",
                                            "本",
                                            "1",
                                            "2",
                                            " ",
                                            "%",
                                            "_",
                                            "'",
                                            "\"",
                                            "\xE2\x84\xAA",
                                            "\xC3",
                                            "\xA9",
                                            "\xEF\xBF\xBE",
                                            "\xEF\xBF\xBD"};

std::string randomText(std::mt19937& random, size_t minChars, size_t maxChars) {
    std::string text;
    size_t n = minChars + random() % (maxChars - minChars + 1);
    for (size_t i = 0; i < n; i++)
        text += kAlphabet[random() % kAlphabet.size()];
    return text;
}

// The cache's files, each named by its ID, as the plain query lists them: no index, no ORDER BY,
// a file once, where its first row came.
std::vector<std::string> plainSearch(SQLDatabase* db, const std::vector<std::string>& words) {
    std::string sql = "SELECT files.ID FROM files, frames AS fr0 WHERE fr0.file = files.ID AND fr0.value LIKE ?";
    SQLParams params{"%" + words[0] + "%"};
    for (size_t i = 1; i < words.size(); i++) {
        sql += " AND EXISTS (SELECT 1 FROM frames AS x WHERE x.file = files.ID AND x.value LIKE ?)";
        params.push_back("%" + words[i] + "%");
    }
    return distinctIds(db, sql, params);
}

// The files a search snapshot lists, by ID.
std::vector<std::string> snapshotSearch(const TagCacheSearchSnapshot& snapshot, const std::string& text) {
    std::vector<std::string> words, ids;
    std::vector<const std::vector<std::string>*> rows;
    if (!TagCacheDirectory::searchWords(text, &words)) return ids;
    EXPECT_TRUE(snapshot.search(words, &rows)) << text;
    for (const auto* row : rows)
        ids.push_back((*row)[0]);
    return ids;
}

std::vector<std::string> run(SQLDatabase* db, const TagCacheQuery& query) {
    return distinctIds(db, query.sql, query.params);
}

// A generated library: files of a few frames of random text, written as the cache writes them.
void fill(SQLDatabase* db, std::mt19937& random, int files) {
    db->beginTransaction();
    for (int f = 0; f < files; f++) {
        std::string id = db->getOneResult("INSERT INTO files (name, folder, type, modifieddate) VALUES (?, 1, 1, "
                                          "'0') RETURNING ID",
                                          SQLParams{"/music/" + intToStr(f) + ".mp3"});
        for (const char* frame : {"TIT2", "TPE1", "TALB", "COMM"})
            if (random() % 4 != 0)
                db->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, ?, ?, 0)",
                                 SQLParams{id, frame, randomText(random, 0, 14)});
    }
    db->commitTransaction();
}

// The same words, some of them changed as a user types them: in other case, cut, with wildcards.
std::string typed(std::mt19937& random, const std::string& word) {
    std::string out;
    for (char c : word) {
        if (random() % 7 == 0 && c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        if (random() % 15 == 0) c = random() % 2 ? '?' : '*';
        out += c;
    }
    return out;
}

} // namespace

TEST(SearchIndex, FindsExactlyWhatThePlainQueryFindsInTheSameOrder) {
    TempTree tree;
    TagCache cache(tree.root + "tagcache.db");
    SQLDatabase* db = cache.getDatabase();
    std::mt19937 random(16);
    fill(db, random, 500);
    ASSERT_TRUE(cache.waitUntilIdle(10000));
    ASSERT_TRUE(cache.isSearchIndexReady());
    fill(db, random, 100); // frames written since the index's last batch, searched without it
    std::shared_ptr<const TagCacheSearchSnapshot> snapshot = TagCacheSearchSnapshot::make(db, db, [] { return true; });
    ASSERT_TRUE(snapshot);

    // Words taken from stored frames (whole, prefixes, inner pieces) and made up, of 1 to 6 characters.
    std::vector<std::vector<std::string>> values = db->getAllRows("SELECT value FROM frames");
    int indexed = 0, found = 0;
    for (int n = 0; n < 400; n++) {
        int wordCount = 1 + int(random() % 3 == 0);
        std::string text;
        for (int w = 0; w < wordCount; w++) {
            std::string word;
            if (random() % 5 == 0) {
                word = randomText(random, 1, 6);
            } else {
                const std::string& value = values[random() % values.size()][0];
                size_t from = value.empty() ? 0 : random() % value.size();
                while (from < value.size() && (static_cast<unsigned char>(value[from]) & 0xC0) == 0x80)
                    from++;
                size_t bytes = random() % 4 == 0 ? 1 + random() % 2 : 3 + random() % 8;
                // A space would split it in two words: "?" stands for it, as users type.
                word = strreplace(TagCacheDirectory::cutUtf8(value.substr(from), bytes), " ", "?");
            }
            text += (text.empty() ? "" : " ") + typed(random, word);
        }
        TagCacheQuery fast = TagCacheDirectory::buildSearchQuery(text, true);
        if (!fast.valid) continue;
        // The plain query's words, split as a search splits them (quotes and all).
        std::vector<std::string> words;
        for (const std::string& word :
             strsplitquotes(strreplace(strreplace(strtrim(text), "?", "_"), "*", "%"), " ", "\"", true))
            if (!word.empty()) words.push_back(word);
        std::vector<std::string> expected = plainSearch(db, words);
        EXPECT_EQ(run(db, fast), expected) << "search: " << text;
        std::vector<std::string> ordered = run(db, TagCacheDirectory::buildSearchQuery(text, false));
        EXPECT_EQ(ordered, expected) << "search: " << text;
        EXPECT_EQ(snapshotSearch(*snapshot, text), ordered) << "search: " << text;
        indexed += fast.indexed;
        found += !expected.empty() && fast.indexed;
    }
    EXPECT_GT(indexed, 60);
    EXPECT_GT(found, 30);
}

TEST(SearchIndex, MadeForAnOlderDatabaseAndRebuiltWhenFoundDamaged) {
    TempTree tree;
    std::string path = tree.root + "tagcache.db";
    std::mt19937 random(7);
    {
        TagCache cache(path);
        fill(cache.getDatabase(), random, 300);
        ASSERT_TRUE(cache.waitUntilIdle(10000));
        // As an earlier version left it: frames without an index.
        for (const char* drop : {"DROP TRIGGER frames_search_delete", "DROP TRIGGER frames_search_update",
                                 "DROP TABLE frames_search", "DROP TABLE frames_search_state"})
            ASSERT_TRUE(cache.getDatabase()->executeQuery(drop));
    }
    auto check = [&](TagCache& cache, int line) {
        SCOPED_TRACE(line);
        SQLDatabase* db = cache.getDatabase();
        for (const char* word : {"tt", "abé", "Öö", "ese", "ee b"}) {
            std::vector<std::string> words = strsplit(word, " ");
            EXPECT_EQ(run(db, TagCacheDirectory::buildSearchQuery(word, true)), plainSearch(db, words)) << word;
        }
    };
    {
        TagCache cache(path);
        ASSERT_TRUE(cache.waitUntilIdle(10000));
        ASSERT_TRUE(cache.isSearchIndexReady());
        check(cache, __LINE__);
        fill(cache.getDatabase(), random, 50); // not in the index yet, but found
        check(cache, __LINE__);
        // Damage that queries do not report: the index loses its entries of some frames.
        ASSERT_TRUE(cache.getDatabase()->executeQuery(
            "INSERT INTO frames_search (frames_search, rowid, value) SELECT 'delete', ID, value FROM frames "
            "WHERE ID % 3 = 0"));
    }
    TagCache cache(path);
    EXPECT_FALSE(cache.isSearchIndexReady()); // not trusted before it is looked at
    ASSERT_TRUE(cache.waitUntilIdle(10000));
    ASSERT_TRUE(cache.isSearchIndexReady());
    check(cache, __LINE__);
    // Damage that a query reports: searches fall back to the plain query and the index is made anew.
    ASSERT_TRUE(cache.getDatabase()->executeQuery("DELETE FROM frames_search_data WHERE id > 10"));
    fill(cache.getDatabase(), random, 1); // the search snapshot out of date: the search goes through the index
    std::string music = tree.folder("music");
    TagCacheDirectory* list = cache.getFolder("search:abé", false, true, false, false);
    EXPECT_EQ(list->getProgress(), 1.0);
    ASSERT_TRUE(cache.waitUntilIdle(10000));
    EXPECT_TRUE(cache.isSearchIndexReady());
    check(cache, __LINE__);
    EXPECT_FALSE(cache.getDatabase()->sawCorruption()); // the tables themselves are sound
}

// Values as other programs or older versions may have left them: numbers, blobs, NULL, text past a
// NUL byte, frames of files that are not there or named by text. The snapshot lists what the query
// lists, and searches it cannot answer itself go to the query.
TEST(SearchSnapshot, ReadsOddValuesAsTheQueryDoes) {
    TempTree tree;
    TagCache cache(tree.root + "tagcache.db");
    SQLDatabase* db = cache.getDatabase();
    for (int f = 1; f <= 6; f++)
        db->executeQuery("INSERT INTO files (ID, name, folder, type, modifieddate) VALUES (?, ?, 1, 1, '0')",
                         SQLParams{f * 3, "/m/" + intToStr(f) + ".mp3"});
    std::vector<std::pair<SQLParam, SQLParam>> frames = {
        {SQLParam(3), SQLParam(1234)},
        {SQLParam(6), SQLParam(12.5)},
        {SQLParam(9), SQLParam::blob("Blob TEXT")},
        {SQLParam(12), SQLParam()},
        {SQLParam(15), SQLParam(std::string("before\0after", 12))},
        {SQLParam(18), SQLParam("\xC3\xA9\xA9 caf\xC3\xA9 \xEF\xBF\xBE")},
        {SQLParam("6"), SQLParam("text six")},    // stored as the integer 6
        {SQLParam("x6"), SQLParam("text x six")}, // names no file
        {SQLParam(99), SQLParam("no such file")},
        {SQLParam(3), SQLParam("after 1234")},
    };
    for (const auto& frame : frames)
        ASSERT_TRUE(db->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, 'TIT2', ?, 0)",
                                     SQLParams{frame.first, frame.second}));
    std::shared_ptr<const TagCacheSearchSnapshot> snapshot = TagCacheSearchSnapshot::make(db, db, [] { return true; });
    ASSERT_TRUE(snapshot);
    for (const char* text : {"123", "12.5", "blob", "before", "after", "six", "file", "é", "\xC3\xA9", "\xA9",
                             "\xEF\xBF\xBD", "caf_", "%", "t?xt", "e", "1 after", "x"}) {
        std::vector<std::string> expected = run(db, TagCacheDirectory::buildSearchQuery(text, false));
        EXPECT_EQ(snapshotSearch(*snapshot, text), expected) << text;
    }
    std::vector<const std::vector<std::string>*> rows;
    EXPECT_FALSE(snapshot->search({std::string("a\0b", 3)}, &rows));
    EXPECT_FALSE(snapshot->search({std::string(2000, 'a')}, &rows));
}

// A snapshot serves only while the files and frames are as it saw them: a change by the cache or
// by another program, even one rolled back, sends searches to the query until a new one is made.
TEST(SearchSnapshot, IsUsedOnlyWhileTheTablesAreUnchanged) {
    TempTree tree;
    std::string path = tree.root + "tagcache.db";
    TagCache cache(path);
    SQLDatabase* db = cache.getDatabase();
    std::mt19937 random(3);
    fill(db, random, 50);
    ASSERT_TRUE(cache.waitUntilIdle(10000));
    cache.getSearchSnapshot(); // the first one may have been made before the fill
    ASSERT_TRUE(cache.waitUntilIdle(10000));
    ASSERT_TRUE(cache.getSearchSnapshot());
    EXPECT_EQ(cache.getSearchSnapshot()->getFrameCount(),
              size_t(strToInt(db->getOneResult("SELECT count(*) FROM frames"))));

    auto staysAfter = [&](const std::function<void()>& change) -> bool {
        EXPECT_TRUE(cache.waitUntilIdle(10000));
        EXPECT_TRUE(cache.getSearchSnapshot());
        change();
        return bool(cache.getSearchSnapshot());
    };
    EXPECT_TRUE(staysAfter([&] { db->executeQuery("UPDATE folders SET timetoupdate = 5"); }));
    EXPECT_FALSE(staysAfter([&] { db->executeQuery("UPDATE frames SET value = 'zzz' WHERE ID = 3"); }));
    EXPECT_FALSE(staysAfter([&] { db->executeQuery("BEGIN; DELETE FROM files WHERE ID = 2; ROLLBACK"); }));
    EXPECT_FALSE(staysAfter([&] {
        SQLDatabase other(path);
        other.executeQuery("UPDATE frames SET value = 'qqq' WHERE ID = 4");
    }));
    // The next one, made on the loading thread after the request, sees the change.
    ASSERT_TRUE(cache.waitUntilIdle(10000));
    std::shared_ptr<const TagCacheSearchSnapshot> snapshot = cache.getSearchSnapshot();
    ASSERT_TRUE(snapshot);
    std::vector<std::string> expected = run(db, TagCacheDirectory::buildSearchQuery("qqq"));
    EXPECT_EQ(expected.size(), 1u);
    EXPECT_EQ(snapshotSearch(*snapshot, "qqq"), expected);
}
