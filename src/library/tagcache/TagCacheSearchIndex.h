// The search index: a trigram full-text index (SQLite FTS5) of the text of every stored frame,
// derived from the frames table and kept beside it. Searches use it only to narrow the frames and
// files they look at; every row they return still passes the plain query's own LIKE test on the
// frames table, so the index can make a search fast but never changes what it finds.
//
// Triggers on the frames table keep the index current, whichever program writes the frames. The
// index is built in short steps on the cache's loading thread (a database made without it, or one
// whose index was found damaged); the triggers index only the frames the build has passed
// (frames_search_state.upto), the build takes the rest. Until the build has passed every frame,
// searches use the plain query.
#pragma once

#include <atomic>
#include <string>

class SQLDatabase;

class TagCacheSearchIndex {
public:
    explicit TagCacheSearchIndex(SQLDatabase* database) : database(database) {}
    TagCacheSearchIndex(const TagCacheSearchIndex&) = delete;
    TagCacheSearchIndex& operator=(const TagCacheSearchIndex&) = delete;

    // Makes the index, its state and its triggers when any of them is missing or of another
    // version (they are then made anew, empty); afterwards the index is ready or needs building.
    void open();
    // Searches may use the index.
    bool isReady() const { return ready.load(std::memory_order_acquire); }
    // Some building is left to do (buildStep).
    bool needsBuild() const { return pending.load(std::memory_order_acquire); }
    // One short transaction of building (a few thousand frames). False when nothing is left.
    // Called on one thread at a time (the loading thread).
    bool buildStep();
    // The index's query (FTS5) for one word of a search, LIKE's wildcards "%" and "_" included:
    // every run of three characters or more between wildcards, quoted, all required. "" when the
    // word has no such run, or is not clean UTF-8 (which the tokenizer might read unlike LIKE).
    static std::string matchFor(const std::string& word);

    // A query through the index failed: searches stop using it, and the next build step makes it
    // anew from the frames table.
    void markDamaged();

private:
    // Drops and makes the index, empty, with its state and triggers; false when that failed.
    bool create();
    // A step failed: true when building goes on (after a pause), false when it is given up.
    bool failed();
    // Looks a sample of frames up in the index: false when one is missing or the index fails.
    bool looksSound();

    SQLDatabase* database;
    std::atomic<bool> ready{false};
    std::atomic<bool> pending{false};
    std::atomic<bool> damaged{false};
    bool verifying = false; // an index found complete at open is checked before it is used
    int failures = 0;       // build steps that failed; the building thread's alone
};
