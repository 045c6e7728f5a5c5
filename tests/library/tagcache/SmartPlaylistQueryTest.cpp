#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheSearchSnapshot.h"
#include "TagCacheTestUtil.h"

namespace {

// Spellings of one genre in several cases, letters LIKE does not fold, LIKE's wildcards, numbers.
const char* const kGenres[] = {"House",   "house", "HOUSE", "Deep House", "deep house", "Rock", "rock", "Émbient",
                               "émbient", "日本",  "a%b",   "a_b",        "aXb",        "7",    ""};
const char* const kTitles[] = {"love", "Night", "storm", "LOVE again", "o", "x%y"};

// The files a snapshot lists for a query's rules, by ID.
std::vector<std::string> listedBy(const TagCacheSearchSnapshot& snapshot, const SmartPlaylistQuery& query) {
    std::vector<std::string> out;
    std::vector<const std::vector<std::string>*> rows;
    EXPECT_TRUE(snapshot.listRules(query.rules, query.groupKey, &rows));
    for (const auto* row : rows)
        out.push_back((*row)[0]);
    return out;
}

std::vector<std::string> column(SQLDatabase* db, const std::string& sql, const SQLParams& params) {
    std::vector<std::string> out;
    std::vector<std::vector<std::string>> rows;
    EXPECT_TRUE(db->tryAllRows(sql, params, &rows)) << sql;
    for (const auto& row : rows)
        out.push_back(row[0]);
    return out;
}

} // namespace

// A grouped list's queries (led by one rule, groups read from the listed tracks) list what the
// rules' plain form lists, in the order of the files; each group once, named by its smallest spelling.
TEST(SmartPlaylistQuery, GroupedListsListWhatTheirRulesFind) {
    TempTree tree;
    TagCache cache(tree.root + "tagcache.db");
    SQLDatabase* db = cache.getDatabase();
    std::mt19937 random(5);
    db->beginTransaction();
    for (int f = 0; f < 400; f++) {
        std::string id = db->getOneResult("INSERT INTO files (name, folder, type, modifieddate) VALUES (?, 1, 1, "
                                          "'0') RETURNING ID",
                                          SQLParams{"/music/" + intToStr(f) + ".mp3"});
        // Frames in any order, some missing, a few files with two genres.
        for (int k = 0; k < 4; k++) {
            int kind = int(random() % 4);
            if (random() % 5 == 0) continue;
            if (kind == 0 || kind == 3)
                db->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, 'TCON', ?, 0)",
                                 SQLParams{id, kGenres[random() % (sizeof(kGenres) / sizeof(*kGenres))]});
            else if (kind == 1)
                db->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, 'TBPM', ?, 0)",
                                 SQLParams{id, intToStr(80 + int(random() % 100))});
            else
                db->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, 'TIT2', ?, 0)",
                                 SQLParams{id, kTitles[random() % (sizeof(kTitles) / sizeof(*kTitles))]});
        }
    }
    // Values other programs may have left: numbers with text after them, exponents, NULL, blobs,
    // bytes past a NUL, a name that is not text.
    std::vector<std::pair<SQLParam, SQLParam>> odd = {
        {SQLParam("TBPM"), SQLParam("150abc")},
        {SQLParam("TBPM"), SQLParam("1e3")},
        {SQLParam("TBPM"), SQLParam()},
        {SQLParam("TBPM"), SQLParam::blob("170")},
        {SQLParam("TBPM"), SQLParam(199)},
        {SQLParam("TCON"), SQLParam(std::string("Rock\0x", 6))},
        {SQLParam("TCON"), SQLParam::blob("Rock")},
        {SQLParam("TCON"), SQLParam()},
        {SQLParam::blob("TCON"), SQLParam("rock")},
        {SQLParam("TIT2"), SQLParam(std::string("lo\0night", 8))},
    };
    for (size_t k = 0; k < odd.size(); k++)
        db->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, ?, ?, 0)",
                         SQLParams{int(k * 7 + 1), odd[k].first, odd[k].second});
    db->commitTransaction();
    std::shared_ptr<const TagCacheSearchSnapshot> snapshot = TagCacheSearchSnapshot::make(db, db, [] { return true; });
    ASSERT_TRUE(snapshot);

    // Each rule text with its conditions in their plain form (a frame of the file that matches).
    const std::string bpm = "EXISTS (SELECT 1 FROM frames AS x WHERE x.file = files.ID AND x.name = 'TBPM' AND "
                            "CAST (x.value AS REAL) > 120.0)";
    const std::string love = "EXISTS (SELECT 1 FROM frames AS y WHERE y.file = files.ID AND y.name = 'TIT2' AND "
                             "y.value LIKE '%o%')";
    const std::string night = "EXISTS (SELECT 1 FROM frames AS z WHERE z.file = files.ID AND z.value LIKE '%ni%')";
    struct {
        const char* rules;
        std::string plain;
    } cases[] = {
        {"bpm > 120\ngroup by genre", bpm},
        {"group by genre", "1"},
        {"title contains o\nbpm > 120\ngroup by genre", love + " AND " + bpm},
        {"bpm > 120 or any contains ni\ngroup by genre", "(" + bpm + " OR " + night + ")"},
        {"any contains ni\ngroup by genre\nbpm > 120", night + " AND " + bpm},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rules);
        SmartPlaylistQuery query = TagCacheDirectory::parseSmartPlaylist(c.rules, "");
        ASSERT_TRUE(query.valid && query.groups.valid);
        const std::string plain = "SELECT files.ID FROM files, frames AS g WHERE files.ID = g.file AND g.name = "
                                  "'TCON' AND " +
                                  c.plain;
        std::vector<std::string> tracks = distinctIds(db, query.tracks.sql, query.tracks.params);
        EXPECT_EQ(tracks, distinctIds(db, plain + " ORDER BY files.ID", {}));
        EXPECT_EQ(listedBy(*snapshot, query), tracks);
        EXPECT_GT(tracks.size(), 10u);

        std::string listed = "[";
        for (const std::string& id : tracks)
            listed += (listed.size() > 1 ? "," : "") + id;
        SQLParams params = query.groups.params;
        params.push_back(listed + "]");
        std::vector<std::string> groups = column(db, query.groups.sql, params);
        std::vector<std::string> expected = column(db,
                                                   "SELECT min(g.value) FROM (" + plain +
                                                       ") AS t, frames AS g WHERE g.file = t.ID AND g.name = 'TCON' "
                                                       "GROUP BY lower(g.value) ORDER BY 1",
                                                   {});
        EXPECT_EQ(groups, expected);
        EXPECT_GT(groups.size(), 8u);

        // Each group's sub-list: the listed tracks with that genre in any letter case.
        for (const std::string& group : groups) {
            if (group.empty()) continue; // never listed as a group
            SmartPlaylistQuery sub = TagCacheDirectory::parseSmartPlaylist(c.rules, group);
            ASSERT_TRUE(sub.valid);
            EXPECT_FALSE(sub.groups.valid);
            std::vector<std::string> subTracks = distinctIds(db, sub.tracks.sql, sub.tracks.params);
            EXPECT_EQ(listedBy(*snapshot, sub), subTracks) << group;
            EXPECT_EQ(
                subTracks,
                distinctIds(db,
                            "SELECT files.ID FROM files, frames AS g WHERE files.ID = g.file AND g.name = 'TCON' AND "
                            "lower(g.value) = lower(?) AND " +
                                c.plain + " ORDER BY files.ID",
                            SQLParams{group}))
                << group;
        }
    }
    // Lists without groups, in the order of their scan of the files.
    for (const char* rules : {"bpm >= 150", "genre is house", "any contains o or bpm < 100\ntitle contains ?i",
                              "genre = a_b", "genre is rock", "bpm > 1e2\nbpm <= 1000", "title contains night"}) {
        SmartPlaylistQuery query = TagCacheDirectory::parseSmartPlaylist(rules, "");
        ASSERT_TRUE(query.valid) << rules;
        EXPECT_EQ(listedBy(*snapshot, query), distinctIds(db, query.tracks.sql, query.tracks.params)) << rules;
    }
}
