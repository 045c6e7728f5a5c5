#include "library/tagcache/TagCacheSearchIndex.h"

#include <time.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/modTools.h"
#include "library/tagcache/SQLDatabase.h"
#include "library/tagcache/TagCacheDirectory.h"

namespace {

// Made anew when the stored version differs (a change of tokenizer, triggers or state).
const char* const kIndexVersion = "2";
// Frames indexed per step: each step is one short transaction, so the user interface's reads on
// the shared connection never wait long.
const long long kStepFrames = 500;
// Frames written by the cache are indexed once this many wait (or when the loading thread is idle),
// this many to a transaction (about a millisecond and a half).
const long long kCatchUpFrames = 1000;

const char* const kTriggers[] = {"frames_search_delete", "frames_search_update"};

} // namespace

void TagCacheSearchIndex::open() {
    if (!database || !database->isOpen()) return;
    std::string version = database->getOneResult("SELECT version FROM frames_search_state WHERE ID = 1");
    int parts = 0;
    for (const char* trigger : kTriggers)
        if (!database
                 ->getOneResult("SELECT name FROM sqlite_master WHERE type = 'trigger' AND name = ?",
                                SQLParams{trigger})
                 .empty())
            parts++;
    if (!database->getOneResult("SELECT name FROM sqlite_master WHERE name = 'frames_search'").empty()) parts++;
    if ((version != kIndexVersion || parts != 3) && !create()) damaged.store(true, std::memory_order_release);
    std::vector<std::vector<std::string>> rows = database->getAllRows(
        "SELECT upto, complete FROM frames_search_state WHERE ID = 1 AND version = ?", SQLParams{kIndexVersion});
    if (rows.empty() || rows[0].size() < 2) {
        damaged.store(true, std::memory_order_release);
    } else {
        indexedUpto.store(std::atoll(rows[0][0].c_str()), std::memory_order_release);
        // Even a complete index is looked at first: it is only trusted once a sample of its frames is found in it.
        verifying = rows[0][1] == "1";
    }
    ready.store(false, std::memory_order_release);
    pending.store(true, std::memory_order_release);
}

bool TagCacheSearchIndex::create() {
    SQLDatabase& db = *database;
    db.beginTransaction();
    bool ok = true;
    for (const char* trigger : {"frames_search_insert", "frames_search_delete", "frames_search_update"})
        ok = db.executeQuery(std::string("DROP TRIGGER IF EXISTS ") + trigger) && ok;
    ok = db.executeQuery("DROP TABLE IF EXISTS frames_search") && ok;
    ok = db.executeQuery("DROP TABLE IF EXISTS frames_search_state") && ok;
    // The trigram tokenizer folds the letter case of all of Unicode, LIKE only that of ASCII: the
    // index finds at least what LIKE finds, and LIKE then decides.
    ok = ok && db.executeQuery("CREATE VIRTUAL TABLE frames_search USING fts5(value, content='frames', "
                               "content_rowid='ID', tokenize='trigram')");
    ok = ok && db.executeQuery("CREATE TABLE frames_search_state (ID INTEGER PRIMARY KEY, version TEXT, upto "
                               "INTEGER, complete INTEGER)");
    ok = ok && db.executeQuery("INSERT INTO frames_search_state (ID, version, upto, complete) VALUES (1, ?, 0, 0)",
                               SQLParams{kIndexVersion});
    // Frames come into the index in batches (indexMore), never one by one: the index writes itself
    // out at the end of every statement that changes it. Frames indexed already leave it with
    // their rows.
    const std::string indexed = " <= (SELECT upto FROM frames_search_state WHERE ID = 1)";
    ok = ok && db.executeQuery("CREATE TRIGGER frames_search_delete AFTER DELETE ON frames WHEN old.ID" + indexed +
                               " BEGIN INSERT INTO frames_search (frames_search, rowid, value) VALUES ('delete', "
                               "old.ID, old.value); END");
    ok = ok && db.executeQuery("CREATE TRIGGER frames_search_update AFTER UPDATE ON frames WHEN old.ID" + indexed +
                               " BEGIN INSERT INTO frames_search (frames_search, rowid, value) VALUES ('delete', "
                               "old.ID, old.value); INSERT INTO frames_search (rowid, value) SELECT new.ID, "
                               "new.value WHERE new.ID" +
                               indexed + "; END");
    // Half made (a table in use by a statement on another thread): nothing is left that a later
    // open or build step could trust.
    if (!ok) db.executeQuery("UPDATE frames_search_state SET version = 'damaged'");
    bool made = db.commitTransaction() && ok;
    if (made) indexedUpto.store(0, std::memory_order_release);
    return made;
}

std::string TagCacheSearchIndex::matchFor(const std::string& word) {
    std::string match, run;
    size_t runChars = 0;
    auto endRun = [&] {
        if (runChars >= 3) {
            if (!match.empty()) match += " AND ";
            match += "\"" + strreplace(run, "\"", "\"\"") + "\"";
        }
        run.clear();
        runChars = 0;
    };
    for (size_t i = 0; i < word.size();) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (c == 0 || length == 0 || i + length > word.size()) return "";
        for (size_t k = 1; k < length; k++)
            if ((static_cast<unsigned char>(word[i + k]) & 0xC0) != 0x80) return "";
        if (c == '%' || c == '_') {
            endRun();
        } else {
            run.append(word, i, length);
            runChars++;
        }
        i += length;
    }
    endRun();
    return match;
}

bool TagCacheSearchIndex::looksSound() {
    SQLDatabase& db = *database;
    long long last = indexedUpto.load(std::memory_order_acquire);
    const int samples = 16;
    for (int k = 0; k < samples && last > 0; k++) {
        long long at = 1 + (last - 1) * k / (samples - 1);
        std::vector<std::vector<std::string>> rows;
        if (!db.tryAllRows("SELECT ID, value FROM frames WHERE ID >= ? AND ID <= ? ORDER BY ID LIMIT 1",
                           SQLParams{at, last}, &rows))
            return false;
        if (rows.empty() || rows[0].size() < 2) continue;
        // Its first few characters, without wildcards: every frame's text is in the index as it is.
        // Few, so that the look-up stays short on the connection the user interface shares.
        std::string text = TagCacheDirectory::cutUtf8(rows[0][1], 8);
        if (text.find_first_of("%_") != std::string::npos) continue;
        std::string match = matchFor(text);
        if (match.empty()) continue;
        if (!db.tryAllRows("SELECT count(*) FROM frames_search WHERE frames_search MATCH ? AND rowid = ?",
                           SQLParams{match, std::atoll(rows[0][0].c_str())}, &rows) ||
            rows.empty() || rows[0].empty() || rows[0][0] != "1")
            return false;
    }
    return true;
}

int TagCacheSearchIndex::indexMore(long long limit) {
    if (!database || damaged.load(std::memory_order_acquire)) return -1;
    SQLDatabase& db = *database;
    db.beginTransaction();
    std::vector<std::vector<std::string>> state = db.getAllRows(
        "SELECT upto, complete FROM frames_search_state WHERE ID = 1 AND version = ?", SQLParams{kIndexVersion});
    bool ok = !state.empty() && state[0].size() == 2;
    long long from = ok ? std::atoll(state[0][0].c_str()) : 0;
    std::string last;
    if (ok)
        last = db.getOneResult("SELECT max(ID) FROM (SELECT ID FROM frames WHERE ID > ? ORDER BY ID LIMIT ?)",
                               SQLParams{from, limit});
    long long to = last.empty() ? from : std::atoll(last.c_str());
    if (ok && to > from)
        ok = db.executeQuery("INSERT INTO frames_search (rowid, value) SELECT ID, value FROM frames WHERE ID > ? AND "
                             "ID <= ?",
                             SQLParams{from, to}) &&
             db.executeQuery("UPDATE frames_search_state SET upto = ? WHERE ID = 1", SQLParams{to});
    bool complete = ok && (state[0][1] == "1" || last.empty());
    if (ok && complete && state[0][1] != "1")
        ok = db.executeQuery("UPDATE frames_search_state SET complete = 1 WHERE ID = 1");
    // A step half done must not be resumed: its frames would be indexed twice.
    if (!ok) db.executeQuery("UPDATE frames_search_state SET version = 'damaged'");
    if (!db.commitTransaction() || !ok) {
        damaged.store(true, std::memory_order_release);
        return -1;
    }
    indexedUpto.store(to, std::memory_order_release);
    if (!complete) return 1;
    return last.empty() ? 0 : 1;
}

void TagCacheSearchIndex::catchUp() {
    if (!isReady()) return;
    // The index's cost is mostly per batch (it writes a segment of its own and merges segments at
    // each commit): frames wait until enough have gathered, and the loading thread takes the rest
    // when it has nothing else to do. Searches look at the frames waiting without the index.
    long long last = std::atoll(database->getOneResult("SELECT max(ID) FROM frames").c_str());
    if (last - indexedUpto.load(std::memory_order_acquire) < kCatchUpFrames) {
        if (last > indexedUpto.load(std::memory_order_acquire)) pending.store(true, std::memory_order_release);
        return;
    }
    // A failed batch leaves frames indexed beyond `upto` (still found: searches look at them as
    // unindexed), but no later batch may add them again: the index is made anew when the loading
    // thread next runs, and searches keep to the plain query until then.
    if (indexMore(kCatchUpFrames) < 0) markDamaged();
}

bool TagCacheSearchIndex::buildStep() {
    if (!database || !pending.load(std::memory_order_acquire)) return false;
    if (verifying) {
        verifying = false;
        if (!looksSound()) {
            damaged.store(true, std::memory_order_release);
        } else {
            // Frames written since the index was last brought up to date are looked at by every
            // search until the steps below have indexed them.
            ready.store(true, std::memory_order_release);
        }
    }
    if (damaged.load(std::memory_order_acquire)) {
        ready.store(false, std::memory_order_release);
        if (!create()) return failed();
        damaged.store(false, std::memory_order_release);
    }
    int more = indexMore(kStepFrames);
    if (more < 0) return failed();
    if (more > 0) return true;
    pending.store(false, std::memory_order_release);
    ready.store(true, std::memory_order_release);
    return false;
}

bool TagCacheSearchIndex::failed() {
    // Made anew at the next step. Most likely a table was still in use by a search on another
    // thread: a moment later. After many failures (a full disk) searches keep to the plain query
    // for this session.
    ready.store(false, std::memory_order_release);
    damaged.store(true, std::memory_order_release);
    if (++failures >= 20) {
        pending.store(false, std::memory_order_release);
        return false;
    }
    struct timespec pause = {0, 50000000};
    nanosleep(&pause, nullptr);
    return true;
}

void TagCacheSearchIndex::markDamaged() {
    ready.store(false, std::memory_order_release);
    damaged.store(true, std::memory_order_release);
    pending.store(true, std::memory_order_release);
}
