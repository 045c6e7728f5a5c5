// A thin wrapper over one SQLite connection shared by the main, loading and build threads of the
// tag cache. The connection runs in SQLite's serialized mode, so single statements need no lock of
// ours; the wrapper's recursive lock is held only from the outermost beginTransaction to the
// matching commitTransaction (or rollbackTransaction), which keeps other threads' transactions out meanwhile.
//
// Values reach SQL only as bound parameters (SQLParam), never spliced into the text.
#pragma once

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/PlatformIndependent.h"

struct sqlite3;
struct sqlite3_stmt;

// One bound parameter: NULL, a 64-bit integer, a double, UTF-8 text or a blob of bytes.
struct SQLParam {
    enum Kind { Null, Integer, Real, Text, Blob };
    Kind kind = Null;
    int64_t integer = 0;
    double real = 0.0;
    std::string bytes;

    SQLParam() = default;
    SQLParam(int value) : kind(Integer), integer(value) {}
    SQLParam(long value) : kind(Integer), integer(value) {}
    SQLParam(long long value) : kind(Integer), integer(value) {}
    SQLParam(double value) : kind(Real), real(value) {}
    SQLParam(const std::string& value) : kind(Text), bytes(value) {}
    SQLParam(const char* value) : kind(Text), bytes(value) {}
    static SQLParam blob(const std::string& value) {
        SQLParam p(value);
        p.kind = Blob;
        return p;
    }
};
typedef std::vector<SQLParam> SQLParams;

class SQLDatabase {
public:
    // Opens (creating when missing) the database file. A failure leaves the connection null and
    // every operation then fails quietly (false, no rows, "").
    explicit SQLDatabase(const std::string& path);
    // A second connection that only reads, used by one thread at a time.
    enum ReadOnly { kReadOnly };
    SQLDatabase(const std::string& path, ReadOnly);
    virtual ~SQLDatabase();
    SQLDatabase(const SQLDatabase&) = delete;
    SQLDatabase& operator=(const SQLDatabase&) = delete;

    bool isOpen() const { return connection != nullptr; }

    // Runs one or more statements without rows. On failure prints "SQL Error: ..." and returns false.
    bool executeQuery(const std::string& sql);
    // Runs one statement with `blob` bound as parameter 1; true when it ran to completion.
    bool executeQuery(const std::string& sql, const std::string* blob);
    // Runs one statement with bound parameters; true when it ran to completion. Failures are silent.
    bool executeQuery(const std::string& sql, const SQLParams& params);

    // Prepares a statement for getNextRow; null when preparation (or binding) fails.
    sqlite3_stmt* initQuery(const std::string& sql, const SQLParams& params = SQLParams());
    // Steps once: one byte string per column (NULL gives ""); empty at the end, on error or for null.
    std::vector<std::string> getNextRow(sqlite3_stmt* statement);
    void closeQuery(sqlite3_stmt* statement);
    // Steps once without copying the row: true while there is one, read with the column calls.
    bool nextRow(sqlite3_stmt* statement);
    static long long columnInteger(sqlite3_stmt* statement, int column);
    static std::string columnText(sqlite3_stmt* statement, int column); // NULL gives ""

    // Runs one INSERT; the new row's ID, or 0 when it failed.
    long long insertRow(const std::string& sql, const SQLParams& params);
    // The first column of the first row, or "".
    std::string getOneResult(const std::string& sql, const SQLParams& params = SQLParams());
    // Every row at once, so callers may change the same tables while they walk the result.
    std::vector<std::vector<std::string>> getAllRows(const std::string& sql, const SQLParams& params = SQLParams());
    // The same for a query over derived data (the search index): false when it failed anywhere,
    // which is the caller's to handle; a failure here never marks the database itself as corrupt.
    bool tryAllRows(const std::string& sql, const SQLParams& params, std::vector<std::vector<std::string>>* rows);

    // Nested transactions: the lock is taken (recursively) by every begin and released by every
    // commit; SQL's BEGIN runs at depth 0 and COMMIT when the depth returns to 0. A failed COMMIT is
    // rolled back, so the connection never stays inside a transaction; commitTransaction then
    // returns false.
    void beginTransaction();
    bool commitTransaction();
    // Ends a level as commitTransaction does, but what the whole transaction wrote is undone: at once at the outermost
    // level, else when the outermost level ends (its commit then returns false). For a statement that failed, so
    // that the statements before it are not committed without it.
    void rollbackTransaction();

    // Threads waiting to begin a transaction while another thread holds one (tests hold one to hold a load).
    int getTransactionWaiters() const { return transactionWaiters.load(std::memory_order_acquire); }

    // SQLite found the file corrupt or not a database at some point (the owner may move it aside). Such a
    // file is closed as it is: its log is not copied into it but stays beside it.
    bool sawCorruption() const { return corruptionSeen.load(std::memory_order_relaxed); }
    // The owner is about to move the file aside (found damaged, or not its own): it is closed as a corrupt one is.
    void keepAsFound() { asFound.store(true, std::memory_order_relaxed); }
    // Whether the open file is readable as a database: every page of it and of its log is looked over
    // (SQLite's quick check), and damage found is noted as corruption. Reads only.
    bool checkReadable();

    // A count that moves whenever this connection changes a row of the files or frames tables, and
    // again when such a change is about to be committed, when it is rolled back and (in WAL mode)
    // once its commit is in the file: what was read from those tables, on this connection or on
    // another one begun after reading the count, at one count may differ from them at another.
    // (Not moved by a DELETE without WHERE, which SQLite runs without telling; the cache never
    // issues one.)
    unsigned long long getTrackChanges() const { return trackChanges.load(std::memory_order_acquire); }
    // SQLite's data_version: moves when another connection (another program) commits; 0 without a database.
    long long getDataVersion();

private:
    void noteError(int code);
    // A prepared statement of this text: one kept from an earlier use (reset, bindings cleared),
    // else a new one. Null when preparation fails.
    sqlite3_stmt* takeStatement(const std::string& sql);
    // Resets the statement and keeps it for the next use of its text (finalized when too many are kept).
    void giveBack(sqlite3_stmt* statement);

    sqlite3* connection = nullptr;
    int depth = 0;            // open transaction levels; guarded by `lock`
    bool rollingBack = false; // a level was rolled back: the outermost one ends with ROLLBACK; guarded by `lock`
    bool endTransaction(bool commit);
    CRITICAL_SECTION lock;
    std::atomic<int> transactionWaiters{0};           // threads waiting in beginTransaction
    std::atomic<unsigned long long> waitedTakings{0}; // transactions begun after a wait
    // After a transaction ends: a moment for a thread waiting to begin one to take the lock.
    void letWaitersIn();
    // After a transaction ends: the log copied into the file when it has grown long, through a
    // connection of its own, so that this connection's statements (other threads') need not wait.
    void checkpointIfDue();
    std::string databasePath; // "" for a private temporary database and a reading connection: nothing to copy
    // Whether the file's log or its index (-wal, -shm) were there before this connection opened it.
    bool logFilesBefore = false;
    sqlite3* checkpointer = nullptr;   // guarded by checkpointLock
    bool checkpointsOwnFailed = false; // the second connection could not be opened; guarded by checkpointLock
    std::mutex checkpointLock;
    std::atomic<int> walPages{0};                // pages in the log after the last commit
    std::atomic<bool> checkpointInCommit{false}; // no connection of its own copies the log
    std::atomic<bool> corruptionSeen{false};
    std::atomic<bool> asFound{false};
    std::atomic<unsigned long long> trackChanges{0};
    // Written only in the hooks, under SQLite's connection mutex.
    bool trackChangesPending = false;    // a change not yet committed or rolled back
    bool trackChangesCommitting = false; // a change being committed, not yet in the file
    static int walCommitted(void* self, sqlite3* connection, const char* database, int pages);
    static void rowChanged(void* self, int operation, const char* database, const char* table, long long rowid);
    static int transactionEnds(void* self);
    static void transactionRolledBack(void* self);
    // Statements not in use, by their text: preparing one costs more than running most of ours.
    std::unordered_multimap<std::string, sqlite3_stmt*> idleStatements;
    std::mutex idleLock;
};
