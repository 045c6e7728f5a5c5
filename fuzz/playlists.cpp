// Smart-playlist rules, search texts and m3u texts from untrusted files: parsing never reads out
// of bounds, and every query it accepts is one statement that SQLite can prepare, with a value
// bound to each parameter. Over a small library of awkward values, the in-memory copy lists what
// the queries list, in their order.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "library/tagcache/SQLDatabase.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tagcache/TagCacheSearchSnapshot.h"

namespace {

sqlite3* schema() {
    static sqlite3* db = [] {
        sqlite3* d = nullptr;
        sqlite3_open(":memory:", &d);
        sqlite3_exec(d,
                     "CREATE TABLE files (ID INTEGER PRIMARY KEY, name TEXT, folder INTEGER, modifieddate TEXT);"
                     "CREATE TABLE frames (ID INTEGER PRIMARY KEY, file INTEGER, name TEXT, value BLOB, incomplete "
                     "INTEGER);",
                     nullptr, nullptr, nullptr);
        return d;
    }();
    return db;
}

// `addedWhenRun`: parameters the caller binds after the query's own (a grouped list's track IDs).
void check(const TagCacheQuery& query, int addedWhenRun = 0) {
    if (!query.valid) return;
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(schema(), query.sql.c_str(), -1, &statement, &tail) != SQLITE_OK || !statement) abort();
    if (*tail != '\0') abort(); // one statement only
    if (sqlite3_bind_parameter_count(statement) != int(query.params.size()) + addedWhenRun) abort();
    sqlite3_finalize(statement);
}

// Files and frames with values of every type, case and kind of byte a tag reader or another
// program may store; and the copy of them.
SQLDatabase* library() {
    static SQLDatabase* db = [] {
        auto* d = new SQLDatabase(":memory:");
        d->executeQuery("CREATE TABLE files (ID INTEGER PRIMARY KEY, name TEXT, folder INTEGER, modifieddate TEXT);"
                        "CREATE TABLE frames (ID INTEGER PRIMARY KEY, file INTEGER, name TEXT, value BLOB, "
                        "incomplete INTEGER);");
        const SQLParam values[] = {SQLParam("House"),
                                   SQLParam("house music"),
                                   SQLParam("Émbient é"),
                                   SQLParam("a%b_c"),
                                   SQLParam("128"),
                                   SQLParam("99.5 bpm"),
                                   SQLParam(140),
                                   SQLParam(7.25),
                                   SQLParam(),
                                   SQLParam::blob("Blob 150"),
                                   SQLParam(std::string("Rock\0Roll", 9)),
                                   SQLParam("\xC3\xA9\xA9 \xEF\xBF\xBE \xC3"),
                                   SQLParam("\xE2\x84\xAA \xEF\xBF\xBD"),
                                   SQLParam(""),
                                   SQLParam("1e3")};
        const char* names[] = {"TCON", "TBPM", "TIT2", "TPE1", "COMM"};
        const size_t valueCount = sizeof(values) / sizeof(*values);
        for (int f = 1; f <= 24; f++) {
            d->executeQuery("INSERT INTO files (ID, name, folder, modifieddate) VALUES (?, ?, 1, '0')",
                            SQLParams{f * 2, "/m/" + std::to_string(f)});
            for (int k = 0; k < 4; k++)
                d->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, ?, ?, 0)",
                                SQLParams{f * 2, names[(f + k) % 5], values[size_t(f * 7 + k * 3) % valueCount]});
        }
        d->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES ('4', 'TCON', 'house', 0),"
                        "('x', 'TCON', 'house', 0), (3, 'TCON', 'house', 0), (6, x'5443', 'house', 0)");
        return d;
    }();
    return db;
}

std::vector<std::string> queryIDs(const TagCacheQuery& query, SQLParams extra = SQLParams()) {
    SQLParams params = query.params;
    params.insert(params.end(), extra.begin(), extra.end());
    std::vector<std::string> ids;
    for (const auto& row : library()->getAllRows(query.sql, params))
        if (std::find(ids.begin(), ids.end(), row[0]) == ids.end()) ids.push_back(row[0]);
    return ids;
}

std::vector<std::string> copyIDs(const std::vector<const std::vector<std::string>*>& rows) {
    std::vector<std::string> ids;
    for (const auto* row : rows)
        ids.push_back((*row)[0]);
    return ids;
}

void compareWithCopy(const SmartPlaylistQuery& query, const std::string& searchText) {
    static std::shared_ptr<const TagCacheSearchSnapshot> copy =
        TagCacheSearchSnapshot::make(library(), library(), [] { return true; });
    std::vector<const std::vector<std::string>*> rows;
    if (query.valid && copy->listRules(query.rules, query.groupKey, &rows) && copyIDs(rows) != queryIDs(query.tracks))
        abort();
    std::vector<std::string> words;
    if (TagCacheDirectory::searchWords(searchText, &words) && copy->search(words, &rows) &&
        copyIDs(rows) != queryIDs(TagCacheDirectory::buildSearchQuery(searchText)))
        abort();
}

} // namespace

// Invalid rules print a line each; keep the fuzzer's own output readable.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t cut = text.find('\x01');
    std::string group = cut == std::string::npos ? "" : text.substr(cut + 1);
    std::string rules = text.substr(0, cut);
    SmartPlaylistQuery query = TagCacheDirectory::parseSmartPlaylist(rules, group);
    if (query.valid) {
        check(query.tracks);
        check(query.groups, 1);
        if (!query.sortKey.empty() && !TagCacheDirectory::isValidFrameID(query.sortKey)) abort();
    }
    check(TagCacheDirectory::buildSearchQuery(text));
    compareWithCopy(query, text);
    for (const std::string& line : TagCacheDirectory::parseM3u(text))
        if (line.empty() || line[0] == '#') abort();
    std::string spl, value;
    TagCacheDirectory::splitGroupPath(text, &spl, &value);
    TagCacheDirectory::cutUtf8(text, size / 2);
    TagCacheDirectory::cleanPath(text);
    return 0;
}
