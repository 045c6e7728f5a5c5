// Smart-playlist rules, search texts and m3u texts from untrusted files: parsing never reads out
// of bounds, and every query it accepts is one statement that SQLite can prepare, with a value
// bound to each parameter.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "library/tagcache/TagCacheDirectory.h"

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
    for (const std::string& line : TagCacheDirectory::parseM3u(text))
        if (line.empty() || line[0] == '#') abort();
    std::string spl, value;
    TagCacheDirectory::splitGroupPath(text, &spl, &value);
    TagCacheDirectory::cutUtf8(text, size / 2);
    TagCacheDirectory::cleanPath(text);
    return 0;
}
