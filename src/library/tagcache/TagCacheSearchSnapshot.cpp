#include "library/tagcache/TagCacheSearchSnapshot.h"

#include <sqlite3.h>
#include <utf8.h>

#include <algorithm>
#include <cmath>
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
    const char* text = reinterpret_cast<const char*>(s);
    if (!utf8::is_valid(text, text + n)) return false;
    for (size_t i = 0; i + 2 < n; i++)
        if (s[i] == 0xEF && s[i + 1] == 0xBF && (s[i + 2] == 0xBE || s[i + 2] == 0xBF)) return false;
    return true;
}

void lowerAscii(std::string* text) {
    for (char& c : *text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
}

} // namespace

std::shared_ptr<const TagCacheSearchSnapshot> TagCacheSearchSnapshot::make(SQLDatabase* database, SQLDatabase* tracked,
                                                                           const std::function<bool()>& keepGoing) {
    auto snapshot = std::make_shared<TagCacheSearchSnapshot>();
    snapshot->trackChanges = tracked->getTrackChanges();
    snapshot->dataVersion = tracked->getDataVersion();

    // Files by ID: a table of slots while the IDs are dense enough, else a map. In ID order, which
    // is the order of a smart playlist's scan of the files.
    std::unordered_map<long long, uint32_t> slotOfSparseID;
    sqlite3_stmt* statement = database->initQuery("SELECT ID, name, modifieddate FROM files ORDER BY ID");
    if (!statement) return nullptr;
    int rows = 0;
    bool stopped = false;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
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
    stopped = stopped || rc != SQLITE_DONE; // a read that failed part of the way is no copy
    database->closeQuery(statement);
    if (stopped || snapshot->files.size() >= size_t(std::numeric_limits<int32_t>::max())) return nullptr;
    long long maxID = 0, minID = 0;
    for (const auto& entry : slotOfSparseID) {
        maxID = std::max(maxID, entry.first);
        minID = std::min(minID, entry.first);
    }
    std::vector<int32_t> slotOfID;
    bool dense = minID >= 0 && maxID < 4 * (long long)slotOfSparseID.size() + 65536;
    if (dense) {
        slotOfID.assign(size_t(maxID) + 1, -1);
        for (const auto& entry : slotOfSparseID)
            slotOfID[size_t(entry.first)] = int32_t(entry.second);
        slotOfSparseID.clear();
    }

    // Whether this SQLite's LIKE reads blobs as text or never matches them (a build option).
    bool likeReadsBlobs = database->getOneResult("SELECT CAST('a' AS BLOB) LIKE 'a'") == "1";

    statement = database->initQuery("SELECT file, name, value, CAST (value AS REAL) FROM frames ORDER BY ID");
    if (!statement) return nullptr;
    TagCacheSearchSnapshot& s = *snapshot;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        if (++rows % kRowsPerCheck == 0 && !keepGoing()) {
            stopped = true;
            break;
        }
        // The queries join on frames.file = files.ID: only an integer names a file.
        if (sqlite3_column_type(statement, 0) != SQLITE_INTEGER) continue;
        long long id = sqlite3_column_int64(statement, 0);
        long long slot = -1;
        if (dense) {
            if (id >= 0 && id <= maxID) slot = slotOfID[size_t(id)];
        } else {
            auto at = slotOfSparseID.find(id);
            if (at != slotOfSparseID.end()) slot = at->second;
        }
        if (slot < 0) continue;

        // The value as LIKE, lower() and CAST read it: converted to text as SQLite converts it.
        int type = sqlite3_column_type(statement, 2);
        const unsigned char* value = sqlite3_column_text(statement, 2);
        size_t bytes = value ? size_t(sqlite3_column_bytes(statement, 2)) : 0;
        size_t length = value ? std::strlen(reinterpret_cast<const char*>(value)) : 0; // what LIKE reads
        uint32_t frame = uint32_t(s.frameFile.size());
        if (frame == std::numeric_limits<uint32_t>::max() ||
            s.text.size() + length + 1 >= size_t(std::numeric_limits<uint32_t>::max())) {
            stopped = true; // past what the copy can address: lists keep to their queries
            break;
        }
        uint8_t flags = 0;
        if (type == SQLITE_NULL || !value) flags |= kNull | kNoLike;
        if (type == SQLITE_BLOB && !likeReadsBlobs) flags |= kNoLike;
        if (length < bytes) flags |= kNulInside;
        if (!isPlainUtf8(value, length)) flags |= kNotPlain;
        if ((flags & (kNoLike | kNotPlain)) == kNotPlain) s.notPlain.push_back(frame);

        std::string textOfFrame(
            reinterpret_cast<const char*>(value ? value : reinterpret_cast<const unsigned char*>("")), length);
        lowerAscii(&textOfFrame); // LIKE and lower() fold ASCII letters only
        s.textStart.push_back(uint32_t(s.text.size()));
        s.text += textOfFrame;
        s.text += '\0';
        if (flags & kNulInside) {
            std::string whole(reinterpret_cast<const char*>(value), bytes);
            lowerAscii(&whole);
            s.wholeLowered.emplace(frame, std::move(whole));
        }

        // Names compare as text, byte for byte: a name of another type equals no frame id.
        uint32_t name = kNoName;
        if (sqlite3_column_type(statement, 1) == SQLITE_TEXT) {
            std::string nameText = SQLDatabase::columnText(statement, 1);
            auto at = s.nameIndex.find(nameText);
            if (at == s.nameIndex.end()) {
                at = s.nameIndex.emplace(nameText, uint32_t(s.framesOfName.size())).first;
                s.framesOfName.emplace_back();
            }
            name = at->second;
            s.framesOfName[name].push_back(frame);
        }
        s.frameFile.push_back(uint32_t(slot));
        s.frameName.push_back(name);
        s.frameFlags.push_back(flags);
        s.frameNumber.push_back(sqlite3_column_type(statement, 3) == SQLITE_NULL
                                    ? std::numeric_limits<double>::quiet_NaN()
                                    : sqlite3_column_double(statement, 3));
    }
    stopped = stopped || rc != SQLITE_DONE;
    database->closeQuery(statement);
    if (stopped) return nullptr;
    s.textStart.push_back(uint32_t(s.text.size()));
    return snapshot;
}

void TagCacheSearchSnapshot::match(const std::string& word, std::vector<uint8_t>* fileHas,
                                   std::vector<uint32_t>* hits) const {
    std::vector<uint32_t> notPlainHits;
    std::string pattern = "%" + word + "%";
    bool plainWord = word.find_first_of("%_") == std::string::npos &&
                     isPlainUtf8(reinterpret_cast<const unsigned char*>(word.data()), word.size());
    auto found = [&](uint32_t frame, std::vector<uint32_t>* into) {
        if (fileHas) (*fileHas)[frameFile[frame]] = 1;
        if (into) into->push_back(frame);
    };
    uint32_t frames = uint32_t(frameFile.size());
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
            // A byte match is a character match in plain text only; the rest is LIKE's, below.
            if (!(frameFlags[frame] & (kNoLike | kNotPlain))) found(uint32_t(frame), hits);
            at = textStart[frame + 1]; // one hit a frame is enough
        }
        for (uint32_t frame : notPlain)
            if (sqlite3_strlike(pattern.c_str(), textOf(frame), 0) == 0) found(frame, hits ? &notPlainHits : nullptr);
    } else {
        for (uint32_t frame = 0; frame < frames; frame++)
            if (!(frameFlags[frame] & kNoLike) && (!fileHas || !(*fileHas)[frameFile[frame]]) &&
                sqlite3_strlike(pattern.c_str(), textOf(frame), 0) == 0)
                found(frame, hits);
    }
    if (hits && !notPlainHits.empty()) {
        std::vector<uint32_t> merged(hits->size() + notPlainHits.size());
        std::merge(hits->begin(), hits->end(), notPlainHits.begin(), notPlainHits.end(), merged.begin());
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
    std::vector<uint32_t> hits;
    match(words[0], nullptr, &hits);
    std::vector<uint8_t> listed(files.size(), 0);
    for (uint32_t frame : hits) {
        uint32_t file = frameFile[frame];
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

bool TagCacheSearchSnapshot::holds(const TagCacheRule& rule, uint32_t frame, const std::string& loweredText) const {
    uint8_t flags = frameFlags[frame];
    switch (rule.kind) {
    case TagCacheRule::Like:
        return !(flags & kNoLike) && sqlite3_strlike(rule.text.c_str(), textOf(frame), 0) == 0;
    case TagCacheRule::LowerEquals: {
        if (flags & kNull) return false;
        if (flags & kNulInside) return wholeLowered.at(frame) == loweredText;
        size_t length = textStart[frame + 1] - textStart[frame] - 1;
        return length == loweredText.size() && std::memcmp(textOf(frame), loweredText.data(), length) == 0;
    }
    case TagCacheRule::Compare: {
        // NaN stands for NULL on either side: no comparison holds.
        double value = frameNumber[frame];
        if (rule.op == ">") return value > rule.number;
        if (rule.op == "<") return value < rule.number;
        if (rule.op == ">=") return value >= rule.number;
        return rule.op == "<=" && value <= rule.number;
    }
    }
    return false;
}

bool TagCacheSearchSnapshot::listRules(const std::vector<std::vector<TagCacheRule>>& rules, const std::string& groupKey,
                                       std::vector<const std::vector<std::string>*>* rows) const {
    rows->clear();
    for (const auto& line : rules)
        for (const TagCacheRule& rule : line)
            if (rule.kind == TagCacheRule::Like && rule.text.size() > kMaxWordBytes) return false;
    static const std::vector<uint32_t> kNone;
    auto framesNamed = [&](const std::string& name) -> const std::vector<uint32_t>& {
        auto at = nameIndex.find(name);
        return at == nameIndex.end() ? kNone : framesOfName[at->second];
    };
    std::vector<uint8_t> all(files.size(), 1);
    if (!groupKey.empty()) {
        std::vector<uint8_t> has(files.size(), 0);
        for (uint32_t frame : framesNamed(groupKey))
            has[frameFile[frame]] = 1;
        all.swap(has);
    }
    for (const auto& line : rules) {
        std::vector<uint8_t> lineHolds(files.size(), 0);
        for (const TagCacheRule& rule : line) {
            std::string lowered = rule.text;
            lowerAscii(&lowered);
            auto look = [&](uint32_t frame) {
                uint32_t file = frameFile[frame];
                if (all[file] && !lineHolds[file] && holds(rule, frame, lowered)) lineHolds[file] = 1;
            };
            if (rule.frame.empty()) {
                for (uint32_t frame = 0; frame < uint32_t(frameFile.size()); frame++)
                    look(frame);
            } else {
                for (uint32_t frame : framesNamed(rule.frame))
                    look(frame);
            }
        }
        for (size_t file = 0; file < files.size(); file++)
            all[file] = all[file] && lineHolds[file];
    }
    for (size_t file = 0; file < files.size(); file++)
        if (all[file]) rows->push_back(&files[file]);
    return true;
}
