// What searches read, copied into memory: the text of every frame that belongs to a stored file, in
// the frames' stored (ID) order, and each file's row. A search over the copy gives exactly what the
// plain search query gives over the tables as they stood when the copy was made (the same rows in the
// same order) by matching words the way SQLite's LIKE does, without a row look-up per hit.
//
// It is derived data: made on the cache's loading thread, and used only while the database says its
// files and frames have not changed since (SQLDatabase::getTrackChanges, and data_version for other
// programs). A search that cannot use it runs the query.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class SQLDatabase;

class TagCacheSearchSnapshot {
public:
    // A copy of the tables as they are; null when a read failed or `keepGoing` answered false (it
    // is asked every few thousand rows).
    static std::shared_ptr<const TagCacheSearchSnapshot> make(SQLDatabase* database,
                                                              const std::function<bool()>& keepGoing);

    // The rows (files.ID, files.name, files.modifieddate) the plain search query gives for these
    // words (each matched as LIKE '%word%'), every file once, where its first row comes. False
    // when a word is one the query must see itself (a NUL byte, or too long for SQLite's LIKE).
    // The rows stay the snapshot's: valid while it is held.
    bool search(const std::vector<std::string>& words, std::vector<const std::vector<std::string>*>* rows) const;

    size_t getFrameCount() const { return plainFile.size() + odd.size(); }

    // What the database said before the copy was read (SQLDatabase::getTrackChanges, getDataVersion).
    unsigned long long trackChanges = 0;
    long long dataVersion = 0;

private:
    struct Odd {
        uint32_t order; // place among all frames
        uint32_t file;
        std::string text;
    };

    // The frames matching LIKE '%word%': their files marked in fileHas, and/or (place among all
    // frames, file) of each in stored order added to hits.
    void match(const std::string& word, std::vector<uint8_t>* fileHas,
               std::vector<std::pair<uint32_t, uint32_t>>* hits) const;

    std::vector<std::vector<std::string>> files; // ID, name, modifieddate as the query reads them
    // Frames whose text is valid UTF-8 (so a byte match is a character match): texts with ASCII
    // letters lower-cased, one after the other, each ended by a NUL.
    std::string text;
    std::vector<uint32_t> textStart;  // where each plain frame's text starts; one more at the end
    std::vector<uint32_t> plainOrder; // each plain frame's place among all frames
    std::vector<uint32_t> plainFile;
    // Frames SQLite reads other than as plain UTF-8 (broken sequences, U+FFFE/U+FFFF): matched by
    // SQLite's own LIKE.
    std::vector<Odd> odd;
};
