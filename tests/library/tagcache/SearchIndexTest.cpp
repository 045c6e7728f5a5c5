#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "TagCacheTestUtil.h"

namespace {

// Letters whose case LIKE folds (ASCII), letters it does not fold but the index does (é/É, ö/Ö),
// letters without a case, digits, spaces and LIKE's own wildcards stored in the tags.
const std::vector<std::string> kAlphabet = {"a", "A", "b", "B",  "e",  "E", "o", "r", "S", "s", "t", "é", "É",
                                            "ö", "Ö", "ß", "日", "本", "1", "2", " ", "%", "_", "'", "\""};

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
    std::vector<std::string> ids;
    std::unordered_set<std::string> seen;
    for (const auto& row : db->getAllRows(sql, params))
        if (seen.insert(row[0]).second) ids.push_back(row[0]);
    return ids;
}

std::vector<std::string> run(SQLDatabase* db, const TagCacheQuery& query) {
    std::vector<std::string> ids;
    std::unordered_set<std::string> seen;
    std::vector<std::vector<std::string>> rows;
    EXPECT_TRUE(db->tryAllRows(query.sql, query.params, &rows)) << query.sql;
    for (const auto& row : rows)
        if (seen.insert(row[0]).second) ids.push_back(row[0]);
    return ids;
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
        EXPECT_EQ(run(db, TagCacheDirectory::buildSearchQuery(text, false)), expected) << "search: " << text;
        indexed += fast.indexed;
        found += !expected.empty() && fast.indexed;
    }
    EXPECT_GT(indexed, 90);
    EXPECT_GT(found, 50);
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
    std::string music = tree.folder("music");
    TagCacheDirectory* list = cache.getFolder("search:abé", false, true, false, false);
    EXPECT_EQ(list->getProgress(), 1.0);
    ASSERT_TRUE(cache.waitUntilIdle(10000));
    EXPECT_TRUE(cache.isSearchIndexReady());
    check(cache, __LINE__);
    EXPECT_FALSE(cache.getDatabase()->sawCorruption()); // the tables themselves are sound
}
