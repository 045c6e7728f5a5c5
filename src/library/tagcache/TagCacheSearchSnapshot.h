// What searches and smart playlists read, copied into memory: every frame that belongs to a stored
// file, in the frames' stored (ID) order, and each file's row. Over the copy, a search or a smart
// playlist's rules give exactly what their queries give over the tables as they stood when the copy
// was made (the same rows in the same order): words and values are matched the way SQLite's LIKE,
// lower() and CAST match them, without a row look-up per frame.
//
// It is derived data: made on the cache's loading thread, and used only while the database says its
// files and frames have not changed since (SQLDatabase::getTrackChanges, and data_version for other
// programs). A list that cannot use it runs its query.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class SQLDatabase;

// One rule of a smart playlist: some frame of the file (named `frame`, any when empty) whose value
// matches.
struct TagCacheRule {
    enum Kind {
        Like,        // value LIKE text
        LowerEquals, // lower(value) = lower(text)
        Compare      // CAST (value AS REAL) <op> number
    };
    Kind kind = Like;
    std::string frame;
    std::string text;
    std::string op; // ">", "<", ">=" or "<="
    double number = 0;
};

class TagCacheSearchSnapshot {
public:
    // A copy of the tables as they are, read through `source`, marked with what `tracked` (the
    // connection that writes; `source` itself, or another begun after this call) says of its
    // changes; null when a read failed or `keepGoing` answered false (asked every few thousand rows).
    static std::shared_ptr<const TagCacheSearchSnapshot> make(SQLDatabase* source, SQLDatabase* tracked,
                                                              const std::function<bool()>& keepGoing);

    // The rows (files.ID, files.name, files.modifieddate) the plain search query gives for these
    // words (each matched as LIKE '%word%'), every file once, where its first row comes. False
    // when a word is one the query must see itself (a NUL byte, or too long for SQLite's LIKE).
    // The rows stay the snapshot's: valid while it is held.
    bool search(const std::vector<std::string>& words, std::vector<const std::vector<std::string>*>* rows) const;

    // The files, in ID order, for which every line of rules has a rule that holds and, with a
    // group key, which have a frame of that name: a smart playlist's tracks. False when a pattern
    // is one the query must see itself.
    bool listRules(const std::vector<std::vector<TagCacheRule>>& rules, const std::string& groupKey,
                   std::vector<const std::vector<std::string>*>* rows) const;

    size_t getFrameCount() const { return frameFile.size(); }

    // What the database said before the copy was read (SQLDatabase::getTrackChanges, getDataVersion).
    unsigned long long trackChanges = 0;
    long long dataVersion = 0;

private:
    enum Flags : uint8_t {
        kNull = 1,     // the value is NULL: no rule holds for it
        kNoLike = 2,   // LIKE never matches it (NULL, or a blob where LIKE does not read blobs)
        kNotPlain = 4, // its text is not plain UTF-8: matched by SQLite's own LIKE only
        kNulInside = 8 // its bytes go on past a NUL, which LIKE does not read but lower() does
    };
    static const uint32_t kNoName = UINT32_MAX;

    // The frames LIKE '%word%' matches: their files marked in fileHas (frames of files already
    // marked may be skipped), and/or the frames themselves added to hits in stored order.
    void match(const std::string& word, std::vector<uint8_t>* fileHas, std::vector<uint32_t>* hits) const;
    bool holds(const TagCacheRule& rule, uint32_t frame, const std::string& loweredText) const;
    const char* textOf(uint32_t frame) const { return text.c_str() + textStart[frame]; }

    std::vector<std::vector<std::string>> files; // ID, name, modifieddate as the queries read them
    // Per frame, in stored order.
    std::vector<uint32_t> frameFile;
    std::vector<uint32_t> frameName; // index into names, or kNoName (a name that is not text)
    std::vector<uint8_t> frameFlags;
    std::vector<double> frameNumber; // CAST (value AS REAL); NaN where that is NULL
    // The texts LIKE reads (up to a NUL), ASCII letters lower-cased, one after the other, each
    // ended by a NUL; textStart has one more entry, the end.
    std::string text;
    std::vector<uint32_t> textStart;
    std::vector<uint32_t> notPlain;                         // frames LIKE may match that are kNotPlain
    std::unordered_map<uint32_t, std::string> wholeLowered; // kNulInside frames: all their bytes, lowered
    std::unordered_map<std::string, uint32_t> nameIndex;
    std::vector<std::vector<uint32_t>> framesOfName;
};
