// The search index: a trigram full-text index (SQLite FTS5) of the text of every stored frame,
// derived from the frames table and kept beside it. Searches use it only to narrow the frames and
// files they look at; every row they return still passes the plain query's own LIKE test on the
// frames table, so the index can make a search fast but never changes what it finds.
//
// Frames enter the index in batches, up to an ID (frames_search_state.upto): frames written later
// (by the cache between two batches, or by another program) are searched without it, so a search
// needs the index only for the frames it holds. Triggers take frames out of the index with their
// rows. The index is built in short steps on the cache's loading thread (a database made without
// it, or one whose index was found damaged); until the first build is complete searches use the
// plain query.
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
    // version (they are then made anew, empty). Building, or looking at the index, is then due.
    void open();
    // Searches may use the index (for the frames up to indexedUpto()).
    bool isReady() const { return ready.load(std::memory_order_acquire); }
    // The last frame ID the index holds every frame up to; later frames are not in it.
    long long getIndexedUpto() const { return indexedUpto.load(std::memory_order_acquire); }
    // Some building or looking at is left to do (buildStep).
    bool needsBuild() const { return pending.load(std::memory_order_acquire); }
    // One short step: looking the index over, or indexing a few thousand frames in one
    // transaction. False when nothing is left. Called on one thread at a time (the loading thread).
    bool buildStep();
    // Indexes frames written since the last batch, in one transaction (nested in the caller's),
    // once a few thousand wait; fewer are left to the loading thread's next steps. Nothing while
    // the index is not ready. A failure marks it damaged.
    void catchUp();
    // A query through the index failed: searches stop using it, and the next build step makes it
    // anew from the frames table.
    void markDamaged();

    // The index's query (FTS5) for one word of a search, LIKE's wildcards "%" and "_" included:
    // every run of three characters or more between wildcards, quoted, all required. "" when the
    // word has no such run, or is not clean UTF-8 (which the tokenizer might read unlike LIKE).
    static std::string matchFor(const std::string& word);

private:
    // Drops and makes the index, empty, with its state and triggers; false when that failed.
    bool create();
    // Indexes the next frames: 1 when more are left, 0 when all are in, -1 on failure.
    int indexMore(long long limit);
    // Looks a sample of indexed frames up in the index: false when one is missing or the index fails.
    bool looksSound();
    // A step failed: true when building goes on (after a pause), false when it is given up.
    bool failed();

    SQLDatabase* database;
    std::atomic<bool> ready{false};
    std::atomic<bool> pending{false};
    std::atomic<bool> damaged{false};
    std::atomic<long long> indexedUpto{0};
    bool verifying = false; // an index found complete at open is checked before it is used
    int failures = 0;       // build steps that failed; the building thread's alone
};
