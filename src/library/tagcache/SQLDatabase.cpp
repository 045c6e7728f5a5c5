#include "library/tagcache/SQLDatabase.h"

#include <sched.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Prepared statements kept for reuse, at the most.
const size_t kMaxIdleStatements = 64;

// How long a thread that ends a transaction lets a waiting thread take the lock first, at the most.
const long long kHandOverNs = 500000;

// The write-ahead log is copied into the database file once it holds this many pages (SQLite's
// own default).
const int kCheckpointPages = 1000;

// How long a statement waits for another process holding the file (a second instance), in ms.
const int kBusyTimeoutMs = 3000;

bool bindAll(sqlite3_stmt* statement, const SQLParams& params) {
    for (size_t i = 0; i < params.size(); i++) {
        const SQLParam& p = params[i];
        int index = int(i) + 1;
        int rc = SQLITE_OK;
        switch (p.kind) {
        case SQLParam::Null:
            rc = sqlite3_bind_null(statement, index);
            break;
        case SQLParam::Integer:
            rc = sqlite3_bind_int64(statement, index, p.integer);
            break;
        case SQLParam::Real:
            rc = sqlite3_bind_double(statement, index, p.real);
            break;
        case SQLParam::Text:
            rc = sqlite3_bind_text(statement, index, p.bytes.data(), int(p.bytes.size()), SQLITE_TRANSIENT);
            break;
        case SQLParam::Blob:
            rc = sqlite3_bind_blob(statement, index, p.bytes.data(), int(p.bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        if (rc != SQLITE_OK) return false;
    }
    return true;
}

} // namespace

SQLDatabase::SQLDatabase(const std::string& path) {
    InitializeCriticalSection(&lock);
    logFilesBefore = !path.empty() && path != ":memory:" &&
                     (access((path + "-wal").c_str(), F_OK) == 0 || access((path + "-shm").c_str(), F_OK) == 0);
    sqlite3* db = nullptr;
    // Serialized mode is asked for, not assumed: three threads share this one connection.
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        if (db) sqlite3_close(db);
        return;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 0);
    sqlite3_update_hook(db, rowChanged, this);
    sqlite3_commit_hook(db, transactionEnds, this);
    sqlite3_rollback_hook(db, transactionRolledBack, this);
    // After each commit in WAL mode. The write-ahead log is copied into the file by a connection of
    // its own, after the commit and outside the transaction lock (see checkpointIfDue), not inside
    // the commit that filled it; a private temporary database has no file for one to open.
    sqlite3_wal_hook(db, walCommitted, this);
    if (!path.empty() && path != ":memory:")
        databasePath = path;
    else
        checkpointInCommit.store(true, std::memory_order_relaxed);
    connection = db;
}

SQLDatabase::SQLDatabase(const std::string& path, ReadOnly) {
    InitializeCriticalSection(&lock);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        if (db) sqlite3_close(db);
        return;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 0);
    connection = db;
}

void SQLDatabase::rowChanged(void* self, int, const char*, const char* table, long long) {
    auto* db = static_cast<SQLDatabase*>(self);
    if (std::strcmp(table, "frames") != 0 && std::strcmp(table, "files") != 0) return;
    db->trackChangesPending = true;
    db->trackChanges.fetch_add(1, std::memory_order_acq_rel);
}

int SQLDatabase::transactionEnds(void* self) {
    auto* db = static_cast<SQLDatabase*>(self);
    db->trackChangesCommitting = db->trackChangesPending;
    transactionRolledBack(self);
    return 0; // the commit goes on
}

void SQLDatabase::transactionRolledBack(void* self) {
    auto* db = static_cast<SQLDatabase*>(self);
    if (!db->trackChangesPending) return;
    db->trackChangesPending = false;
    db->trackChanges.fetch_add(1, std::memory_order_acq_rel);
}

// Setting this hook turns SQLite's own checkpoints in the commits off.
int SQLDatabase::walCommitted(void* self, sqlite3* connection, const char* database, int pages) {
    auto* db = static_cast<SQLDatabase*>(self);
    if (db->trackChangesCommitting) {
        db->trackChangesCommitting = false;
        db->trackChanges.fetch_add(1, std::memory_order_acq_rel);
    }
    db->walPages.store(pages, std::memory_order_release);
    // Without a connection of its own to copy the log, the commit copies it, as SQLite does by itself.
    if (db->checkpointInCommit.load(std::memory_order_acquire) && pages >= kCheckpointPages)
        sqlite3_wal_checkpoint(connection, database);
    return SQLITE_OK;
}

long long SQLDatabase::getDataVersion() {
    sqlite3_stmt* statement = initQuery("PRAGMA data_version");
    if (!statement) return 0;
    long long version = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
    giveBack(statement);
    return version;
}

void SQLDatabase::checkpointIfDue() {
    if (checkpointInCommit.load(std::memory_order_acquire) ||
        walPages.load(std::memory_order_acquire) < kCheckpointPages)
        return;
    std::unique_lock<std::mutex> guard(checkpointLock, std::try_to_lock);
    if (!guard.owns_lock() || checkpointsOwnFailed) return; // another thread is at it
    // A read of the file's header opens the log: a connection that never read the file has none to copy.
    if (!checkpointer &&
        (sqlite3_open_v2(databasePath.c_str(), &checkpointer, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
             SQLITE_OK ||
         sqlite3_exec(checkpointer, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK)) {
        sqlite3_close(checkpointer);
        checkpointer = nullptr;
        checkpointsOwnFailed = true;
        checkpointInCommit.store(true, std::memory_order_release); // in the commits, as SQLite does by itself
        return;
    }
    // Passive: what readers still need stays in the log for a later checkpoint. The next write
    // then starts the log afresh from its beginning.
    if (sqlite3_wal_checkpoint_v2(checkpointer, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) == SQLITE_OK)
        walPages.store(0, std::memory_order_release);
}

SQLDatabase::~SQLDatabase() {
    {
        // Closed first: the last connection to close copies the log into the file and removes it.
        std::lock_guard<std::mutex> guard(checkpointLock);
        if (checkpointer) sqlite3_close(checkpointer);
        checkpointer = nullptr;
    }
    bool couldNotWrite = false;
    if (connection) {
        for (auto& entry : idleStatements)
            sqlite3_finalize(entry.second);
        idleStatements.clear();
        // A damaged file is kept as it was found, its log beside it: what the log holds (the newest
        // cue points) is not written into pages that may be unreadable, nor the file changed any further.
        if (corruptionSeen.load(std::memory_order_relaxed) || asFound.load(std::memory_order_relaxed))
            sqlite3_db_config(connection, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        couldNotWrite = sqlite3_db_readonly(connection, "main") == 1;
        // Closing first lets virtual tables (the search index) finalize statements of their own;
        // only statements left unfinished by us are finalized here, then the close is retried.
        if (sqlite3_close(connection) == SQLITE_BUSY) {
            sqlite3_stmt* statement;
            while ((statement = sqlite3_next_stmt(connection, nullptr)) != nullptr)
                sqlite3_finalize(statement);
            sqlite3_close(connection);
        }
        connection = nullptr;
    }
    // A file this session could only read still gets a log and its index, made by SQLite with the
    // file's own permissions: left behind read-only, they would keep the next session from writing
    // once the file is writable again. Those made here are taken away while the log is empty (it
    // stays when another program wrote to it).
    struct stat wal;
    if (couldNotWrite && !databasePath.empty() && !logFilesBefore &&
        (stat((databasePath + "-wal").c_str(), &wal) != 0 || wal.st_size == 0)) {
        unlink((databasePath + "-wal").c_str());
        unlink((databasePath + "-shm").c_str());
    }
    pthread_mutex_destroy(&lock);
}

void SQLDatabase::noteError(int code) {
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) corruptionSeen.store(true, std::memory_order_relaxed);
}

bool SQLDatabase::checkReadable() {
    if (!connection) return false;
    sqlite3_stmt* statement = nullptr;
    // Every page, so that a page cut off or overwritten is found before anything is written, not by
    // whichever statement happens to read it later. One row "ok" when sound, else a row per fault.
    int rc = sqlite3_prepare_v2(connection, "PRAGMA quick_check(1)", -1, &statement, nullptr);
    bool sound = false;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            const unsigned char* said = sqlite3_column_text(statement, 0);
            sound = said && std::strcmp(reinterpret_cast<const char*>(said), "ok") == 0;
            if (!sound) corruptionSeen.store(true, std::memory_order_relaxed);
        }
    }
    if (statement) sqlite3_finalize(statement);
    noteError(rc);
    return sound;
}

bool SQLDatabase::executeQuery(const std::string& sql) {
    if (!connection) return false;
    char* message = nullptr;
    int rc = sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        noteError(rc);
        printf("SQL Error: %s\n  query: %s\n", message ? message : sqlite3_errstr(rc), sql.c_str());
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool SQLDatabase::executeQuery(const std::string& sql, const std::string* blob) {
    SQLParams params;
    params.push_back(SQLParam::blob(blob ? *blob : std::string()));
    return executeQuery(sql, params);
}

bool SQLDatabase::executeQuery(const std::string& sql, const SQLParams& params) {
    sqlite3_stmt* statement = initQuery(sql, params);
    if (!statement) return false;
    int rc = sqlite3_step(statement);
    noteError(rc);
    giveBack(statement);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

sqlite3_stmt* SQLDatabase::takeStatement(const std::string& sql) {
    if (!connection || sql.size() >= size_t(INT_MAX)) return nullptr;
    {
        std::lock_guard<std::mutex> guard(idleLock);
        auto at = idleStatements.find(sql);
        if (at != idleStatements.end()) {
            sqlite3_stmt* statement = at->second;
            idleStatements.erase(at);
            return statement;
        }
    }
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(connection, sql.c_str(), int(sql.size()) + 1, &statement, nullptr);
    if (rc != SQLITE_OK || !statement) {
        noteError(rc);
        if (statement) sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

void SQLDatabase::giveBack(sqlite3_stmt* statement) {
    if (!statement) return;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    const char* text = sqlite3_sql(statement);
    std::lock_guard<std::mutex> guard(idleLock);
    // Searches and playlists make texts of their own: only so many are kept.
    if (!text || idleStatements.size() >= kMaxIdleStatements) {
        sqlite3_finalize(statement);
        return;
    }
    idleStatements.emplace(text, statement);
}

sqlite3_stmt* SQLDatabase::initQuery(const std::string& sql, const SQLParams& params) {
    sqlite3_stmt* statement = takeStatement(sql);
    if (!statement) return nullptr;
    if (!bindAll(statement, params)) {
        giveBack(statement);
        return nullptr;
    }
    return statement;
}

namespace {

// A cell's bytes as stored. The blob pointer first: asking for the size first could convert the value twice.
std::string cellText(sqlite3_stmt* statement, int column) {
    const char* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
    int size = sqlite3_column_bytes(statement, column);
    return bytes && size > 0 ? std::string(bytes, size_t(size)) : std::string();
}

// Every cell of the row the statement stands on.
std::vector<std::string> currentRow(sqlite3_stmt* statement) {
    int count = sqlite3_column_count(statement);
    std::vector<std::string> row;
    row.reserve(size_t(count));
    for (int i = 0; i < count; i++)
        row.push_back(cellText(statement, i));
    return row;
}

} // namespace

std::vector<std::string> SQLDatabase::getNextRow(sqlite3_stmt* statement) {
    std::vector<std::string> row;
    if (!statement) return row;
    int rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW) {
        noteError(rc);
        return row;
    }
    return currentRow(statement);
}

bool SQLDatabase::nextRow(sqlite3_stmt* statement) {
    if (!statement) return false;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return true;
    noteError(rc);
    return false;
}

long long SQLDatabase::columnInteger(sqlite3_stmt* statement, int column) {
    return sqlite3_column_int64(statement, column);
}

std::string SQLDatabase::columnText(sqlite3_stmt* statement, int column) {
    return cellText(statement, column);
}

void SQLDatabase::closeQuery(sqlite3_stmt* statement) {
    giveBack(statement);
}

long long SQLDatabase::insertRow(const std::string& sql, const SQLParams& params) {
    sqlite3_stmt* statement = initQuery(sql, params);
    if (!statement) return 0;
    // The connection's own lock is held from the step to the reading of the ID: another thread's
    // insert on this shared connection cannot come between. (Cheaper than INSERT ... RETURNING,
    // which keeps its rows in a temporary table.)
    sqlite3_mutex* mutex = sqlite3_db_mutex(connection);
    sqlite3_mutex_enter(mutex);
    int rc = sqlite3_step(statement);
    long long id = rc == SQLITE_DONE ? sqlite3_last_insert_rowid(connection) : 0;
    sqlite3_mutex_leave(mutex);
    noteError(rc);
    giveBack(statement);
    return id;
}

std::string SQLDatabase::getOneResult(const std::string& sql, const SQLParams& params) {
    sqlite3_stmt* statement = initQuery(sql, params);
    if (!statement) return "";
    std::vector<std::string> row = getNextRow(statement);
    closeQuery(statement);
    return row.empty() ? std::string() : row[0];
}

std::vector<std::vector<std::string>> SQLDatabase::getAllRows(const std::string& sql, const SQLParams& params) {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* statement = initQuery(sql, params);
    if (!statement) return rows;
    for (;;) {
        std::vector<std::string> row = getNextRow(statement);
        if (row.empty()) break;
        rows.push_back(std::move(row));
    }
    closeQuery(statement);
    return rows;
}

bool SQLDatabase::tryAllRows(const std::string& sql, const SQLParams& params,
                             std::vector<std::vector<std::string>>* rows) {
    rows->clear();
    if (!connection || sql.size() >= size_t(INT_MAX)) return false;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, sql.c_str(), int(sql.size()) + 1, &statement, nullptr) != SQLITE_OK ||
        !statement || !bindAll(statement, params)) {
        if (statement) sqlite3_finalize(statement);
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        rows->push_back(currentRow(statement));
    sqlite3_finalize(statement);
    if (rc == SQLITE_DONE) return true;
    rows->clear();
    return false;
}

// Held until the matching commitTransaction or rollbackTransaction: a transaction spans calls, so no scoped guard here.
void SQLDatabase::beginTransaction() {
    if (!TryEnterCriticalSection(&lock)) {
        transactionWaiters.fetch_add(1, std::memory_order_acq_rel);
        pthread_mutex_lock(&lock);
        transactionWaiters.fetch_sub(1, std::memory_order_acq_rel);
        waitedTakings.fetch_add(1, std::memory_order_acq_rel);
    }
    if (depth == 0) executeQuery("BEGIN TRANSACTION");
    depth++;
}

bool SQLDatabase::commitTransaction() {
    return endTransaction(true);
}

void SQLDatabase::rollbackTransaction() {
    endTransaction(false);
}

bool SQLDatabase::endTransaction(bool commit) {
    bool ok, ended = false;
    {
        // Only the thread holding the lock may end a level; an unpaired call changes nothing.
        CriticalSectionGuard own(&lock, std::try_to_lock);
        if (!own.ownsLock()) return false;
        ok = depth > 0;
        if (depth > 0) {
            depth--;
            ended = depth == 0;
            if (!commit) rollingBack = true;
            if (depth == 0 && connection) {
                // A failed COMMIT (disk full, another process) would leave the connection inside the
                // transaction and every later write lost at close: roll back instead. (A failed statement may
                // have made SQLite roll back already.)
                if (rollingBack || !executeQuery("COMMIT TRANSACTION")) {
                    if (!sqlite3_get_autocommit(connection)) executeQuery("ROLLBACK TRANSACTION");
                    ok = false;
                }
            }
            if (depth == 0) rollingBack = false;
            pthread_mutex_unlock(&lock); // the matching beginTransaction's hold, taken in another call
        }
    }
    if (ended) {
        letWaitersIn();
        checkpointIfDue();
    }
    return ok;
}

void SQLDatabase::letWaitersIn() {
    // The lock is not fair: a thread writing transaction after transaction (the loading thread
    // storing a folder) would take it again at once and keep a waiting thread (the user interface)
    // waiting through several. A waiter goes first, unless it is slow to come.
    if (transactionWaiters.load(std::memory_order_acquire) == 0) return;
    unsigned long long before = waitedTakings.load(std::memory_order_acquire);
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        sched_yield();
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while (waitedTakings.load(std::memory_order_acquire) == before &&
             transactionWaiters.load(std::memory_order_acquire) > 0 &&
             (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec) < kHandOverNs);
}
