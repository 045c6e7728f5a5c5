#include "library/tagcache/TagCacheSearchSnapshot.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "library/tagcache/SQLDatabase.h"

namespace {

// Longer words go to the query: SQLite refuses LIKE patterns past its own limit, and the query
// must be the one to say so.
const size_t kMaxWordBytes = 1000;
const int kRowsPerCheck = 4096;

// Valid UTF-8 without U+FFFE and U+FFFF. SQLite's LIKE reads such text as the code points any
// reader sees (it reads broken sequences and those two as U+FFFD, or as other code points), so on
// it a byte match is a character match.
bool isPlainUtf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t length;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F; // nothing past U+10FFFF
        } else {
            return false;
        }
        if (n - i < length || s[i + 1] < low || s[i + 1] > high) return false;
        for (size_t k = 2; k < length; k++)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        if (c == 0xEF && s[i + 1] == 0xBF && (s[i + 2] == 0xBE || s[i + 2] == 0xBF)) return false;
        i += length;
    }
    return true;
}

void lowerAscii(std::string* text) {
    for (char& c : *text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
}

} // namespace

std::shared_ptr<const TagCacheSearchSnapshot> TagCacheSearchSnapshot::make(SQLDatabase* database,
                                                                           const std::function<bool()>& keepGoing) {
    auto snapshot = std::make_shared<TagCacheSearchSnapshot>();
    snapshot->trackChanges = database->getTrackChanges();
    snapshot->dataVersion = database->getDataVersion();

    // Files by ID: a table of slots while the IDs are dense enough, else a map.
    std::vector<int32_t> slotOfID;
    std::unordered_map<long long, uint32_t> slotOfSparseID;
    sqlite3_stmt* statement = database->initQuery("SELECT ID, name, modifieddate FROM files");
    if (!statement) return nullptr;
    int rows = 0;
    bool stopped = false;
    while (database->nextRow(statement)) {
        if (++rows % kRowsPerCheck == 0 && !keepGoing()) {
            stopped = true;
            break;
        }
        long long id = sqlite3_column_int64(statement, 0);
        uint32_t slot = uint32_t(snapshot->files.size());
        snapshot->files.push_back({SQLDatabase::columnText(statement, 0), SQLDatabase::columnText(statement, 1),
                                   SQLDatabase::columnText(statement, 2)});
        slotOfSparseID.emplace(id, slot);
    }
    database->closeQuery(statement);
    if (stopped || snapshot->files.size() >= size_t(std::numeric_limits<int32_t>::max())) return nullptr;
    long long maxID = 0, minID = 0;
    for (const auto& entry : slotOfSparseID) {
        maxID = std::max(maxID, entry.first);
        minID = std::min(minID, entry.first);
    }
    bool dense = minID >= 0 && maxID < 4 * (long long)slotOfSparseID.size() + 65536;
    if (dense) {
        slotOfID.assign(size_t(maxID) + 1, -1);
        for (const auto& entry : slotOfSparseID)
            slotOfID[size_t(entry.first)] = int32_t(entry.second);
        slotOfSparseID.clear();
    }

    // Whether this SQLite's LIKE reads blobs as text or never matches them (a build option).
    bool likeReadsBlobs = database->getOneResult("SELECT CAST('a' AS BLOB) LIKE 'a'") == "1";

    statement = database->initQuery("SELECT file, value FROM frames ORDER BY ID");
    if (!statement) return nullptr;
    uint32_t order = 0;
    while (database->nextRow(statement)) {
        if (++rows % kRowsPerCheck == 0 && !keepGoing()) {
            stopped = true;
            break;
        }
        // The query joins on frames.file = files.ID: only an integer names a file.
        if (sqlite3_column_type(statement, 0) != SQLITE_INTEGER) continue;
        long long id = sqlite3_column_int64(statement, 0);
        long long slot = -1;
        if (dense) {
            if (id >= 0 && id <= maxID) slot = slotOfID[size_t(id)];
        } else {
            auto at = slotOfSparseID.find(id);
            if (at != slotOfSparseID.end()) slot = at->second;
        }
        // A NULL value is never LIKE anything.
        int type = sqlite3_column_type(statement, 1);
        if (slot < 0 || type == SQLITE_NULL || (type == SQLITE_BLOB && !likeReadsBlobs)) continue;
        // The text LIKE reads: the value converted as SQLite converts it, up to its first NUL.
        const unsigned char* value = sqlite3_column_text(statement, 1);
        if (!value) continue;
        size_t length = std::strlen(reinterpret_cast<const char*>(value));
        if (order == std::numeric_limits<uint32_t>::max() ||
            snapshot->text.size() + length + 1 >= size_t(std::numeric_limits<uint32_t>::max())) {
            stopped = true; // past what the copy can address: searches keep to the query
            break;
        }
        std::string textOfFrame(reinterpret_cast<const char*>(value), length);
        lowerAscii(&textOfFrame); // LIKE folds ASCII letters only, on both sides
        if (isPlainUtf8(value, length)) {
            snapshot->textStart.push_back(uint32_t(snapshot->text.size()));
            snapshot->text += textOfFrame;
            snapshot->text += '\0';
            snapshot->plainOrder.push_back(order);
            snapshot->plainFile.push_back(uint32_t(slot));
        } else {
            snapshot->odd.push_back({order, uint32_t(slot), std::move(textOfFrame)});
        }
        order++;
    }
    database->closeQuery(statement);
    if (stopped) return nullptr;
    snapshot->textStart.push_back(uint32_t(snapshot->text.size()));
    return snapshot;
}

void TagCacheSearchSnapshot::match(const std::string& word, std::vector<uint8_t>* fileHas,
                                   std::vector<std::pair<uint32_t, uint32_t>>* hits) const {
    std::vector<std::pair<uint32_t, uint32_t>> oddHits;
    auto found = [&](uint32_t place, uint32_t file, std::vector<std::pair<uint32_t, uint32_t>>* into) {
        if (fileHas) (*fileHas)[file] = 1;
        if (into) into->emplace_back(place, file);
    };
    std::string pattern = "%" + word + "%";
    bool plainWord = word.find_first_of("%_") == std::string::npos &&
                     isPlainUtf8(reinterpret_cast<const unsigned char*>(word.data()), word.size());
    size_t frames = plainFile.size();
    if (plainWord) {
        std::string needle = word;
        lowerAscii(&needle);
        const char* base = text.data();
        size_t size = text.size(), at = 0, frame = 0;
        while (at < size) {
            const void* hit = memmem(base + at, size - at, needle.data(), needle.size());
            if (!hit) break;
            size_t offset = size_t(static_cast<const char*>(hit) - base);
            // The frame holding the hit: the next ones looked at in turn, then a binary search.
            for (int step = 0; step < 8 && textStart[frame + 1] <= offset; step++)
                frame++;
            if (textStart[frame + 1] <= offset)
                frame =
                    size_t(std::upper_bound(textStart.begin() + long(frame) + 1, textStart.end(), uint32_t(offset)) -
                           textStart.begin()) -
                    1;
            found(plainOrder[frame], plainFile[frame], hits);
            at = textStart[frame + 1]; // one hit a frame is enough
        }
    } else {
        for (size_t frame = 0; frame < frames; frame++)
            if ((!fileHas || !(*fileHas)[plainFile[frame]]) &&
                sqlite3_strlike(pattern.c_str(), text.c_str() + textStart[frame], 0) == 0)
                found(plainOrder[frame], plainFile[frame], hits);
    }
    for (const Odd& frame : odd)
        if (sqlite3_strlike(pattern.c_str(), frame.text.c_str(), 0) == 0)
            found(frame.order, frame.file, hits ? &oddHits : nullptr);
    if (hits && !oddHits.empty()) {
        std::vector<std::pair<uint32_t, uint32_t>> merged(hits->size() + oddHits.size());
        std::merge(hits->begin(), hits->end(), oddHits.begin(), oddHits.end(), merged.begin());
        hits->swap(merged);
    }
}

bool TagCacheSearchSnapshot::search(const std::vector<std::string>& words,
                                    std::vector<const std::vector<std::string>*>* rows) const {
    rows->clear();
    if (words.empty()) return true;
    for (const std::string& word : words)
        if (word.size() > kMaxWordBytes || word.find('\0') != std::string::npos) return false;
    // Every further word: the files holding it.
    std::vector<std::vector<uint8_t>> fileHas(words.size() - 1);
    for (size_t i = 1; i < words.size(); i++) {
        fileHas[i - 1].assign(files.size(), 0);
        match(words[i], &fileHas[i - 1], nullptr);
    }
    // The first word's frames in stored order: a file comes where its first one does.
    std::vector<std::pair<uint32_t, uint32_t>> hits;
    match(words[0], nullptr, &hits);
    std::vector<uint8_t> listed(files.size(), 0);
    for (const auto& hit : hits) {
        uint32_t file = hit.second;
        if (listed[file]) continue;
        bool all = true;
        for (const auto& has : fileHas)
            all = all && has[file];
        if (!all) continue;
        listed[file] = 1;
        rows->push_back(&files[file]);
    }
    return true;
}
