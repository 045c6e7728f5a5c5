// The tag cache opened on a database another program, a crash or a disk left damaged: the bytes of the file
// itself, or (input not starting with SQLite's header) SQL that builds it, so that tables of the cache's names
// with other columns, types, rows and triggers are reached as often as broken pages. The cache then lists a
// folder, stores and reads a waveform and looks up a record, and closes, twice (the second open sees what the
// first left); nothing may read or write out of bounds or hang.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tags/CID3v2Tag.h"
#include "support/TempDir.h"

namespace {

// Only statements that change the one database: nothing that reaches another file (ATTACH, and VACUUM INTO,
// which attaches its target) or changes how the library runs. Extensions stay unloadable, as by default.
int onlyThisDatabase(void*, int action, const char* name, const char*, const char*, const char*) {
    if (action == SQLITE_ATTACH || action == SQLITE_DETACH) return SQLITE_DENY;
    if (action == SQLITE_PRAGMA)
        return name && (strcmp(name, "writable_schema") == 0 || strcmp(name, "user_version") == 0 ||
                        strcmp(name, "page_size") == 0)
                   ? SQLITE_OK
                   : SQLITE_DENY;
    return SQLITE_OK;
}

// Ends a building statement that has run long enough (a recursive query, millions of rows).
int enoughSteps(void* counter) {
    return ++*static_cast<int*>(counter) > 2000 ? 1 : 0;
}

void buildFromSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK) {
        sqlite3_set_authorizer(db, onlyThisDatabase, nullptr);
        sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
        sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 100000);
        int steps = 0;
        sqlite3_progress_handler(db, 1000, enoughSteps, &steps);
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
}

} // namespace

// SQL errors of damaged tables print on stdout: keep the fuzzer's own output readable.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 200000) return 0;
    testsupport::TempDir dir("fuzz-tagcache");
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string db = dir.path + "tagcache.db";
    if (bytes.compare(0, 16, std::string("SQLite format 3\0", 16)) == 0)
        dir.write("tagcache.db", bytes);
    else
        buildFromSql(db, bytes);
    const std::string track = dir.write("Artist - Title.mp3", "not audio");

    for (int run = 0; run < 2; ++run) {
        // The second open sees what the first left: a damaged file moved aside, or the cache's own tables.
        TagCache cache(db);
        TagCacheDirectory* folder = cache.getFolder(dir.path, false, true, false, false);
        for (int i = 0; i < folder->getNbTags(); ++i)
            folder->getTag(i)->getFrameCopy("TIT2");
        cache.setWaveForm(track, 4, std::string("\x01\x80\xff\x10", 4), 0.5, 1);
        double maxHeight = 0;
        int incomplete = 0;
        cache.getWaveForm(track, 4, &maxHeight, &incomplete);
        cache.getTagByFilename(track);
        cache.getPropertyValue("major_version");
    }
    return 0;
}
