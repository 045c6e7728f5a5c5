#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "library/tagcache/SQLDatabase.h"
#include "support/TempDir.h"

namespace {

std::string tempDatabase() {
    std::string pattern = testsupport::tempRoot() + "/tarlume-sqldb-XXXXXX";
    int fd = mkstemp(pattern.data());
    close(fd);
    unlink(pattern.c_str());
    return pattern;
}

struct DatabaseFile {
    std::string path = tempDatabase();
    ~DatabaseFile() {
        std::remove(path.c_str());
        std::remove((path + "-journal").c_str());
        std::remove((path + "-wal").c_str());
        std::remove((path + "-shm").c_str());
    }
};

} // namespace

TEST(SQLDatabase, BlobsWithZeroBytesRoundTripAndColumnsComeBackAsText) {
    DatabaseFile file;
    SQLDatabase db(file.path);
    ASSERT_TRUE(db.isOpen());
    ASSERT_TRUE(db.executeQuery("CREATE TABLE t (ID INTEGER PRIMARY KEY, value BLOB, r REAL)"));
    std::string blob("a\0b\xff\0", 5);
    ASSERT_TRUE(db.executeQuery("INSERT INTO t (value, r) VALUES (?, 2.5)", &blob));
    std::string empty;
    ASSERT_TRUE(db.executeQuery("INSERT INTO t (value) VALUES (?)", &empty));
    EXPECT_EQ(db.getOneResult("SELECT value FROM t WHERE ID = 1"), blob);

    sqlite3_stmt* statement = db.initQuery("SELECT ID, value, r FROM t ORDER BY ID");
    ASSERT_NE(statement, nullptr);
    std::vector<std::string> row = db.getNextRow(statement);
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(row[0], "1");
    EXPECT_EQ(row[1], blob);
    EXPECT_EQ(row[2], "2.5");
    row = db.getNextRow(statement);
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(row[1], "");
    EXPECT_EQ(row[2], ""); // NULL
    EXPECT_TRUE(db.getNextRow(statement).empty());
    db.closeQuery(statement);

    // Bound values stay values: quotes and SQL in them change nothing.
    ASSERT_TRUE(db.executeQuery("INSERT INTO t (value) VALUES (?)", SQLParams{"x'); DROP TABLE t; --"}));
    EXPECT_EQ(db.getOneResult("SELECT count(*) FROM t WHERE value = ?", SQLParams{"x'); DROP TABLE t; --"}), "1");
    EXPECT_EQ(db.getAllRows("SELECT ID FROM t").size(), 3u);
}

TEST(SQLDatabase, FailuresAreQuietValuesAndANullConnectionFailsEverything) {
    DatabaseFile file;
    SQLDatabase db(file.path);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(db.executeQuery("SELEC nonsense"));
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("SQL Error: "), std::string::npos);
    EXPECT_NE(printed.find("  query: SELEC nonsense"), std::string::npos);
    EXPECT_EQ(db.initQuery("SELEC nonsense"), nullptr);
    EXPECT_TRUE(db.getNextRow(nullptr).empty());
    EXPECT_EQ(db.getOneResult("SELECT nothing FROM nowhere"), "");
    EXPECT_FALSE(db.commitTransaction()); // unpaired
    ASSERT_TRUE(db.executeQuery("CREATE TABLE u (ID INTEGER PRIMARY KEY AUTOINCREMENT, a UNIQUE)"));
    EXPECT_EQ(db.insertRow("INSERT INTO u (a) VALUES (?)", SQLParams{"x"}), 1);
    EXPECT_EQ(db.insertRow("INSERT INTO u (a) VALUES (?)", SQLParams{"x"}), 0); // a failed insert has no ID

    SQLDatabase none("/nonexistent-folder/for/sure/x.db");
    EXPECT_FALSE(none.isOpen());
    EXPECT_FALSE(none.executeQuery("CREATE TABLE t (a)"));
    EXPECT_EQ(none.initQuery("SELECT 1"), nullptr);
    EXPECT_EQ(none.getOneResult("SELECT 1"), "");
    EXPECT_EQ(none.insertRow("INSERT INTO u (a) VALUES (1)", SQLParams()), 0);
    none.beginTransaction();
    EXPECT_TRUE(none.commitTransaction());
}

TEST(SQLDatabase, NestedTransactionsCommitOnceAndKeepOtherThreadsOut) {
    DatabaseFile file;
    SQLDatabase db(file.path);
    ASSERT_TRUE(db.executeQuery("CREATE TABLE t (a INTEGER)"));
    db.beginTransaction();
    db.beginTransaction();
    db.executeQuery("INSERT INTO t VALUES (1)");
    EXPECT_TRUE(db.commitTransaction());
    // Still inside the outer transaction: a second thread's transaction waits for it.
    std::atomic<bool> entered{false};
    std::thread other([&] {
        db.beginTransaction();
        entered = true;
        db.executeQuery("INSERT INTO t VALUES (2)");
        db.commitTransaction();
    });
    usleep(50000);
    EXPECT_FALSE(entered.load());
    EXPECT_TRUE(db.commitTransaction());
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(db.getOneResult("SELECT count(*) FROM t"), "2");
}

// The write-ahead log is copied into the database file as it grows, while the database is open
// (by a connection of the wrapper's own, after each transaction).
TEST(SQLDatabase, TheLogIsCopiedIntoTheFileWhileTheDatabaseIsOpen) {
    DatabaseFile file;
    SQLDatabase db(file.path);
    ASSERT_EQ(db.getOneResult("PRAGMA journal_mode = WAL"), "wal");
    ASSERT_TRUE(db.executeQuery("CREATE TABLE t (a BLOB)"));
    std::string row(3000, 'x');
    for (int k = 0; k < 30; k++) {
        db.beginTransaction();
        for (int i = 0; i < 100; i++)
            db.executeQuery("INSERT INTO t VALUES (?)", SQLParams{SQLParam::blob(row)});
        EXPECT_TRUE(db.commitTransaction());
    }
    struct stat info;
    ASSERT_EQ(stat(file.path.c_str(), &info), 0);
    EXPECT_GT(info.st_size, 3000000); // a few thousand pages of log at least once copied in
    EXPECT_EQ(db.getOneResult("SELECT count(*) FROM t"), "3000");
}

TEST(SQLDatabase, AFailedCommitIsRolledBackAndTheConnectionStaysUsable) {
    DatabaseFile file;
    SQLDatabase db(file.path);
    ASSERT_TRUE(db.executeQuery("CREATE TABLE parent (id INTEGER PRIMARY KEY)"));
    ASSERT_TRUE(db.executeQuery("CREATE TABLE child (p INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)"));
    ASSERT_TRUE(db.executeQuery("PRAGMA foreign_keys = ON"));
    testing::internal::CaptureStdout();
    db.beginTransaction();
    db.executeQuery("INSERT INTO child VALUES (42)"); // violates the key only at COMMIT
    EXPECT_FALSE(db.commitTransaction());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(db.getOneResult("SELECT count(*) FROM child"), "0");
    db.beginTransaction();
    db.executeQuery("INSERT INTO parent VALUES (42)");
    db.executeQuery("INSERT INTO child VALUES (42)");
    EXPECT_TRUE(db.commitTransaction());
    EXPECT_EQ(db.getOneResult("SELECT count(*) FROM child"), "1");
}

TEST(SQLDatabase, AFileThatIsNotADatabaseIsReportedUnreadable) {
    DatabaseFile file;
    FILE* f = fopen(file.path.c_str(), "wb");
    std::string junk(4096, 'x');
    fwrite(junk.data(), 1, junk.size(), f);
    fclose(f);
    SQLDatabase db(file.path);
    EXPECT_FALSE(db.checkReadable());
    EXPECT_TRUE(db.sawCorruption());
}
