// Playlists (m3u), smart playlists (.spl), searches and recursive listings of TagCacheDirectory.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <unordered_set>

#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tagcache/TagCacheSearchIndex.h"
#include "library/tags/CID3v2Tag.h"

namespace {

// Terms of one smart playlist or words of one search, at the most.
const int kMaxQueryTerms = 63;

// "?" matches one character and "*" any run, as the user types them.
std::string likeWildcards(const std::string& text) {
    return strreplace(strreplace(text, "?", "_"), "*", "%");
}

} // namespace

// ---- The rule language -------------------------------------------------------------------------

std::string TagCacheDirectory::getFrameIDFromDescription(const std::string& word) {
    static const struct {
        const char* word;
        const char* id;
    } fields[] = {{"artist", "TPE1"}, {"title", "TIT2"}, {"genre", "TCON"}, {"bpm", "TBPM"}, {"comments", "COMM"},
                  {"album", "TALB"},  {"year", "TYER"},  {"color", "TXXX"}, {"any", ""}};
    std::string lower = strtolower(word);
    for (const auto& field : fields)
        if (lower == field.word) return field.id;
    return word;
}

bool TagCacheDirectory::isValidFrameID(const std::string& id) {
    if (id.size() < 3 || id.size() > 4) return false;
    for (char c : id)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

bool TagCacheDirectory::splitGroupPath(const std::string& listPath, std::string* splFile, std::string* value) {
    if (!isRight(listPath, "/")) return false;
    std::string lower = strtolower(listPath);
    size_t at = lower.find(".spl/");
    // "/pl/x.spl/V/": at least one character of value between ".spl/" and the final "/".
    if (at == std::string::npos || at == 0 || at + 5 >= listPath.size() - 1) return false;
    if (splFile) *splFile = listPath.substr(0, at + 4);
    if (value) *value = listPath.substr(at + 5, listPath.size() - at - 6);
    return true;
}

// Each term asks for some frame of the file that matches, in a subquery of its own. Joining the
// frames table once per term instead (one row per combination of matching frames) makes a query's
// rows grow as a power of its term count: "e e e e e e" over a few thousand files is billions.
SmartPlaylistQuery TagCacheDirectory::parseSmartPlaylist(const std::string& text, const std::string& groupValue) {
    SmartPlaylistQuery query;
    // One rule as a subquery of its own, in the two forms a query can ask it.
    struct Term {
        std::string exists;   // asked of each file: a look-up of its frames
        std::string gathered; // its files gathered in one pass over all frames
        SQLParams params;
        bool group = false; // the value of the group a grouped list's sub-list stands for
        TagCacheRule rule;  // the same condition, for lists made without the query
    };
    std::vector<std::vector<Term>> lines; // each line's alternatives; the lines all must hold
    std::string cond;
    SQLParams condParams;
    int n = 0;
    bool invalid = false;
    for (std::string line : strsplit(text, "\n")) {
        line = strtrim(strreplace(line, "\r", ""));
        bool lineHasTerm = false;
        for (const std::string& alternative : strsplit(strreplace(line, " OR ", " or "), " or ")) {
            std::vector<std::string> words = strsplitquotes(alternative, " ", "\"", false);
            bool groupTerm = false;
            if (!groupValue.empty() && words.size() >= 3 && strtolower(words[0]) == "group") {
                words = {words[2], "is", groupValue};
                groupTerm = true;
            }
            if (words.size() >= 3 && (strtolower(words[0]) == "sort" || strtolower(words[0]) == "group")) {
                // Only the first of several comma-separated fields counts.
                std::string field = words[2].substr(0, words[2].find(','));
                std::string id = getFrameIDFromDescription(field);
                if (!isValidFrameID(id)) {
                    invalid = true;
                    continue;
                }
                (strtolower(words[0]) == "sort" ? query.sortKey : query.groupKey) = id;
                continue;
            }
            if (words.size() != 3) continue;
            std::string id = getFrameIDFromDescription(words[0]);
            const std::string& op = words[1];
            const std::string& value = words[2];
            if ((!id.empty() && !isValidFrameID(id)) || (id.empty() && strtolower(words[0]) != "any")) {
                invalid = true;
                continue;
            }
            std::string alias = "fr" + intToStr(n);
            Term term;
            term.group = groupTerm;
            std::string where;
            if (!id.empty()) {
                where += alias + ".name = ? AND ";
                term.params.push_back(id);
            }
            term.rule.frame = id;
            if (groupTerm) {
                // The group's own value, compared as the groups were formed: whole, letter case folded.
                where += "lower(" + alias + ".value) = lower(?)";
                term.params.push_back(value);
                term.rule.kind = TagCacheRule::LowerEquals;
                term.rule.text = value;
            } else if (op == "contains" || op == "like") {
                where += alias + ".value LIKE ?";
                term.params.push_back("%" + likeWildcards(value) + "%");
                term.rule.text = term.params.back().bytes;
            } else if (op == "=" || op == "is" || op == "equals") {
                where += alias + ".value LIKE ?";
                term.params.push_back(likeWildcards(value));
                term.rule.text = term.params.back().bytes;
            } else if (op == ">" || op == "<" || op == ">=" || op == "<=") {
                where += "CAST (" + alias + ".value AS REAL) " + op + " ?";
                term.params.push_back(strToDbl(dblToStr(strToDbl(value), 2)));
                term.rule.kind = TagCacheRule::Compare;
                term.rule.op = op;
                term.rule.number = term.params.back().real;
            } else {
                invalid = true;
                continue;
            }
            term.exists =
                "EXISTS (SELECT 1 FROM frames AS " + alias + " WHERE " + alias + ".file = files.ID AND " + where + ")";
            term.gathered = "files.ID IN (SELECT " + alias + ".file FROM frames AS " + alias + " WHERE " + where + ")";
            if (!lineHasTerm) lines.emplace_back();
            lines.back().push_back(term);
            n++;
            lineHasTerm = true;
        }
    }
    // In a grouped list one term leads: its files are gathered in one pass over the frames, and the
    // other terms are asked of those files alone. A look-up per cached file costs more than the
    // pass. The group's own value leads its tracks (a group is a small part of the list); the whole
    // list is led by its first rule when that line has no alternatives.
    const Term* lead = nullptr;
    for (const auto& line : lines)
        for (const Term& term : line)
            if (term.group) lead = &term;
    if (!lead && !query.groupKey.empty() && !lines.empty() && lines[0].size() == 1) lead = &lines[0][0];
    for (const auto& line : lines) {
        query.rules.emplace_back();
        for (const Term& term : line)
            query.rules.back().push_back(term.rule);
        cond += cond.empty() ? "(" : " AND (";
        for (size_t k = 0; k < line.size(); k++) {
            cond += (k ? " OR " : "") + (&line[k] == lead ? line[k].gathered : line[k].exists);
            condParams.insert(condParams.end(), line[k].params.begin(), line[k].params.end());
        }
        cond += ")";
    }
    query.tracksInFileOrder = lead != nullptr;
    // A rule file of more terms than any playlist needs is refused rather than left to SQLite's limits.
    if (n + (query.groupKey.empty() ? 0 : 1) > kMaxQueryTerms) invalid = true;
    if (invalid) {
        printf("Error in query\n");
        query.valid = false;
        return query;
    }
    const std::string select = "SELECT files.ID, files.name, files.modifieddate FROM files";
    if (!query.groupKey.empty()) {
        // Only files that carry the group's field are listed, and each of its values forms a group.
        // The groups are read from the frames of the listed tracks (their IDs, a JSON array, are the
        // query's last parameter), so the rules are evaluated once. A group is named by its smallest
        // spelling ("House" before "house"), not by whichever of its frames SQLite visited last.
        std::string alias = "fr" + intToStr(n);
        std::string terms = cond.empty() ? std::string("1") : cond;
        query.groups.sql = "SELECT min(value) FROM frames WHERE name = ? AND file IN (SELECT value FROM json_each(?)) "
                           "GROUP BY lower(value) ORDER BY 1";
        query.groups.params = SQLParams{query.groupKey};
        query.groups.valid = true;
        cond = "(" + terms + ") AND EXISTS (SELECT 1 FROM frames AS " + alias + " WHERE " + alias +
               ".file = files.ID AND " + alias + ".name = ?)";
        condParams.push_back(query.groupKey);
    }
    query.tracks.sql = cond.empty() ? select : select + " WHERE " + cond;
    // A query led by a group's files says the order every other smart playlist gets from its scan of files.
    if (query.tracksInFileOrder) query.tracks.sql += " ORDER BY files.ID";
    query.tracks.params = condParams;
    query.tracks.valid = true;
    return query;
}

bool TagCacheDirectory::searchWords(const std::string& text, std::vector<std::string>* words) {
    words->clear();
    size_t count = 0;
    for (const std::string& word : strsplitquotes(likeWildcards(strtrim(text)), " ", "\"", true)) {
        if (word.empty()) continue;
        count++;
        if (std::find(words->begin(), words->end(), word) == words->end()) words->push_back(word);
    }
    // Nothing to search for, or more words than any search needs: an empty list, no query.
    if (count == 0 || count > size_t(kMaxQueryTerms)) words->clear();
    return !words->empty();
}

// The first word's frames lead (a file comes once per frame holding it, at most a few times), every
// further word is a subquery asked only of the files the first word found. A word given twice asks
// nothing new and is asked once.
TagCacheQuery TagCacheDirectory::buildSearchQuery(const std::string& text, bool useIndex) {
    TagCacheQuery query;
    std::vector<std::string> words;
    if (!searchWords(text, &words)) return query;
    std::vector<std::string> matches(words.size());
    if (useIndex)
        for (size_t i = 0; i < words.size(); i++) {
            matches[i] = TagCacheSearchIndex::matchFor(words[i]);
            query.indexed = query.indexed || !matches[i].empty();
        }
    std::string where = "fr0.file = files.ID AND fr0.value LIKE ?";
    query.params.push_back("%" + words[0] + "%");
    // Frames written after the index's last batch are not in it: they are looked at as they are.
    const std::string unindexed = "ID > (SELECT upto FROM frames_search_state WHERE ID = 1)";
    if (!matches[0].empty()) {
        where += " AND fr0.ID IN (SELECT rowid FROM frames_search WHERE frames_search MATCH ? UNION ALL SELECT ID FROM "
                 "frames WHERE " +
                 unindexed + ")";
        query.params.push_back(matches[0]);
    }
    for (size_t i = 1; i < words.size(); i++) {
        std::string alias = "fr" + intToStr(int(i));
        if (!matches[i].empty()) {
            // The files of the frames the index names that really hold the word, gathered once.
            std::string index = "fs" + intToStr(int(i));
            where += " AND files.ID IN (SELECT " + alias + ".file FROM frames_search AS " + index + ", frames AS " +
                     alias + " WHERE " + index + ".frames_search MATCH ? AND " + alias + ".ID = " + index +
                     ".rowid AND " + alias + ".value LIKE ? UNION ALL SELECT file FROM frames WHERE " + unindexed +
                     " AND value LIKE ?)";
            query.params.push_back(matches[i]);
            query.params.push_back("%" + words[i] + "%");
        } else {
            where += " AND EXISTS (SELECT 1 FROM frames AS " + alias + " WHERE " + alias + ".file = files.ID AND " +
                     alias + ".value LIKE ?)";
        }
        query.params.push_back("%" + words[i] + "%");
    }
    query.sql =
        "SELECT files.ID, files.name, files.modifieddate FROM files, frames AS fr0 WHERE " + where + " ORDER BY fr0.ID";
    query.valid = true;
    return query;
}

std::string TagCacheDirectory::cleanPath(const std::string& file) {
    bool absolute = !file.empty() && file[0] == '/';
    std::vector<std::string> parts;
    size_t from = 0;
    while (from <= file.size()) {
        size_t slash = file.find('/', from);
        if (slash == std::string::npos) slash = file.size();
        std::string part = file.substr(from, slash - from);
        from = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part); // a relative path keeps what it cannot resolve
            continue;
        }
        parts.push_back(part);
    }
    std::string clean = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); i++)
        clean += (i ? "/" : "") + parts[i];
    return clean;
}

std::vector<std::string> TagCacheDirectory::parseM3u(const std::string& text) {
    std::vector<std::string> entries;
    for (std::string line : strsplit(text, "\n")) {
        line = strtrim(strreplace(line, "\r", ""));
        if (line.empty() || line[0] == '#') continue;
        entries.push_back(line);
    }
    return entries;
}

// ---- m3u playlists ------------------------------------------------------------------------------

bool TagCacheDirectory::storeToM3u(const std::string& target) {
    std::string text;
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        std::set<CID3v2Tag*> present;
        for (const TagPtr& record : tags)
            present.insert(record.get());
        for (const KeptLine& kept : keptLines)
            if (!kept.after) text += kept.line + "\n";
        for (const TagPtr& record : tags) {
            text += record->getPath() + "\n";
            for (const KeptLine& kept : keptLines)
                if (kept.after == record) text += kept.line + "\n";
        }
        // Lines that followed a record the user removed go last rather than being lost.
        for (const KeptLine& kept : keptLines)
            if (kept.after && !present.count(kept.after.get())) text += kept.line + "\n";
    }
    // Written beside the file and renamed over it (through links): a crash leaves the old file or the new one.
    if (!replaceFileContents(target, text)) return false;
    if (target == path) dirty.store(false, std::memory_order_relaxed);
    return true;
}

void TagCacheDirectory::initFromPlaylist() {
    clearRecords(false);
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        keptLines.clear();
    }
    std::string splFile = path, groupValue;
    bool group = splitGroupPath(path, &splFile, &groupValue);
    if (group || (path.size() > 4 && isRightCI(path, ".spl"))) {
        runSmartPlaylist(splFile, group ? groupValue : std::string());
        return;
    }

    std::vector<std::string> lines = parseM3u(readFileContents(path));
    std::string base = getFilePath(path);
    TagPtr previous;
    bool interrupted = false;
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string& line = lines[i];
        // Relative entries are relative to the playlist's own folder; any spelling of a path
        // ("..", "./", "//") must find the one cached row and folder record of its file.
        std::string file = cleanPath(line[0] == '/' ? line : base + line);
        TagPtr record;
        if (isValidFileType(file) && FileExist(file)) {
            if (cache) {
                record = cache->getTagByFilename(file);
            } else {
                std::string fileID, folder;
                record = getTagFromDB(fileID, file, true, folder);
                if (!record) record = readRecordFromFile(file);
            }
        }
        {
            std::lock_guard<std::recursive_mutex> guard(dataLock);
            if (record) {
                tags.push_back(record);
                previous = record;
            } else {
                // Kept for writing back: its drive may only be away for now.
                keptLines.push_back(KeptLine{previous, line});
            }
        }
        setProgress(double(i) / double(lines.size()));
        if (isInterrupted()) {
            interrupted = true;
            break;
        }
    }
    if (interrupted) return;
    dirty.store(false, std::memory_order_relaxed);
    loaded.store(true, std::memory_order_relaxed);
    setProgress(1.0);
}

void TagCacheDirectory::runSmartPlaylist(const std::string& splFile, const std::string& groupValue) {
    SmartPlaylistQuery query = parseSmartPlaylist(readFileContents(splFile), groupValue);
    if (query.valid) {
        std::vector<std::string> listed;
        std::vector<const std::vector<std::string>*> rows;
        std::shared_ptr<const TagCacheSearchSnapshot> snapshot = cache ? cache->getSearchSnapshot() : nullptr;
        if (!isInterrupted()) {
            if (snapshot && snapshot->listRules(query.rules, query.groupKey, &rows))
                initFromRows(rows, timeGetExactTime(), query.groups.valid ? &listed : nullptr);
            else
                initFromQuery(query.tracks.sql, query.tracks.params, nullptr, query.groups.valid ? &listed : nullptr);
        }
        if (query.groups.valid && !isInterrupted()) {
            std::string ids = "[";
            for (const std::string& id : listed)
                ids += (ids.size() > 1 ? "," : "") + id;
            SQLParams params = query.groups.params;
            params.push_back(ids + "]");
            initFoldersFromQuery(query.groups.sql, params);
        }
        if (!query.sortKey.empty() && !isInterrupted()) {
            setProgress(0.9);
            sort(query.sortKey);
        }
    }
    if (isInterrupted()) return;
    loaded.store(true, std::memory_order_relaxed);
    setProgress(1.0);
}

// ---- Queries --------------------------------------------------------------------------------------

void TagCacheDirectory::initFromQuery(const std::string& sql, const SQLParams& params, const TagCacheQuery* fallback,
                                      std::vector<std::string>* listedIDs) {
    if (!database) return;
    double start = timeGetExactTime();
    // All rows first: listing them changes the tables the query reads.
    std::vector<std::vector<std::string>> rows;
    if (!fallback) {
        rows = database->getAllRows(sql, params);
    } else if (!database->tryAllRows(sql, params, &rows)) {
        // The index failed us: it is made anew, and the plain query answers meanwhile.
        if (cache) cache->searchIndexFailed();
        rows = database->getAllRows(fallback->sql, fallback->params);
    }
    std::vector<const std::vector<std::string>*> listed;
    std::unordered_set<std::string> seen; // joins repeat files
    for (const auto& row : rows)
        if (row.size() >= 3 && seen.insert(row[0]).second) listed.push_back(&row);
    initFromRows(listed, start, listedIDs);
}

void TagCacheDirectory::initFromRows(const std::vector<const std::vector<std::string>*>& rows, double start,
                                     std::vector<std::string>* listedIDs) {
    if (!database) return;
    std::string id = getFolderID();
    double expected = strToDbl(database->getOneResult("SELECT timetoupdate FROM folders WHERE ID = ?", SQLParams{id}));
    if (expected < 10) expected = 60000;

    std::vector<std::vector<std::string>> unchanged;
    std::vector<std::string> gone;
    std::vector<std::pair<size_t, std::string>> changed; // slot, path
    size_t slotCount = 0;
    std::vector<size_t> unchangedSlots;
    const std::vector<const std::vector<std::string>*>& files = rows;
    std::vector<const std::string*> paths;
    for (const auto* row : rows) {
        paths.push_back(&(*row)[1]);
        if (listedIDs) listedIDs->push_back((*row)[0]);
    }
    std::vector<FileTimes> times = isInterrupted() ? std::vector<FileTimes>() : readFileTimes(paths), unchangedTimes;
    for (size_t i = 0; i < times.size(); i++) {
        if (isInterrupted()) break;
        const auto& row = *files[i];
        time_t modified = times[i].found ? times[i].modified : 0;
        if (modified == 0) {
            gone.push_back(row[0]);
        } else if (timetToStr(long(modified)) != row[2]) {
            changed.emplace_back(slotCount++, row[1]);
        } else {
            unchanged.push_back(row);
            unchangedTimes.push_back(times[i]);
            unchangedSlots.push_back(slotCount++);
        }
    }
    setProgress(std::min(0.95, (timeGetExactTime() - start) / expected));
    std::vector<TagPtr> slots(slotCount);
    std::vector<TagPtr> fromDB = loadRecordsFromDB(unchanged, &unchangedTimes);
    for (size_t k = 0; k < fromDB.size(); k++)
        slots[unchangedSlots[k]] = fromDB[k];
    deleteFilesFromDB(gone);
    std::vector<TagPtr> toStore;
    for (const auto& entry : changed) {
        if (isInterrupted()) break;
        slots[entry.first] = readRecordFromFile(entry.second);
        toStore.push_back(slots[entry.first]);
    }
    storeRecords(toStore, "");
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        for (TagPtr& record : slots)
            if (record) tags.push_back(record);
        sorted = false;
    }
    if (isInterrupted()) return;
    double elapsed = timeGetExactTime() - start;
    double remembered = expected == 60000 ? elapsed : 0.8 * expected + 0.2 * elapsed;
    database->executeQuery("UPDATE folders SET timetoupdate = ? WHERE ID = ?", SQLParams{remembered, id});
}

void TagCacheDirectory::initFoldersFromQuery(const std::string& sql, const SQLParams& params) {
    std::vector<std::string> names;
    if (database)
        for (const auto& row : database->getAllRows(sql, params))
            if (!row.empty() && !row[0].empty()) names.push_back(row[0]);
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    folders = names;
    if (!isInterrupted()) listingRead = true;
}

void TagCacheDirectory::initFromDynamicList(const std::string& listPath) {
    double start = timeGetExactTime();
    clearRecords(false);
    if (isLeft(listPath, "search:")) {
        std::string text = listPath.substr(7);
        std::vector<std::string> words;
        std::vector<const std::vector<std::string>*> rows;
        std::shared_ptr<const TagCacheSearchSnapshot> snapshot =
            cache && searchWords(text, &words) ? cache->getSearchSnapshot() : nullptr;
        if (snapshot && snapshot->search(words, &rows)) {
            initFromRows(rows, start);
        } else {
            TagCacheQuery plain = buildSearchQuery(text);
            TagCacheQuery fast;
            if (cache && cache->isSearchIndexReady()) fast = buildSearchQuery(text, true);
            if (fast.indexed)
                initFromQuery(fast.sql, fast.params, &plain);
            else if (plain.valid)
                initFromQuery(plain.sql, plain.params);
        }
    } else if (isLeft(listPath, "recurse:") && cache) {
        std::vector<TagCacheDirectory*> pending;
        pending.push_back(cache->getFolder(listPath.substr(8), false, true, false, false));
        // Folders by device and inode: a link back up the tree is walked once.
        std::set<std::pair<dev_t, ino_t>> visited;
        struct stat info;
        std::string root = stripLast(pending[0]->path);
        if (stat(root.empty() ? "/" : root.c_str(), &info) == 0) visited.insert({info.st_dev, info.st_ino});
        for (size_t k = 0; k < pending.size() && !isInterrupted(); k++) {
            setProgress(std::max(getProgress(), double(k) / double(pending.size())));
            TagCacheDirectory* list = pending[k];
            std::vector<TagPtr> records;
            std::vector<std::string> subFolders;
            {
                std::lock_guard<std::recursive_mutex> guard(list->dataLock);
                records = list->tags;
                subFolders = list->folders;
            }
            {
                std::lock_guard<std::recursive_mutex> guard(dataLock);
                tags.insert(tags.end(), records.begin(), records.end());
            }
            for (const std::string& name : subFolders) {
                std::string sub = list->path + name + "/";
                if (stat(stripLast(sub).c_str(), &info) != 0 || !visited.insert({info.st_dev, info.st_ino}).second)
                    continue;
                pending.push_back(cache->getFolder(sub, false, true, false, false));
            }
        }
    }
    double ms = timeGetExactTime() - start;
    int count = getNbTags();
    if (ms > 20 || count > 300)
        printf("Query %s items from DB took %s ms\n", intToStr(count).c_str(), dblToStr(ms, 2).c_str());
    if (isInterrupted()) {
        setProgress(0.0);
        loaded.store(false, std::memory_order_relaxed);
        return;
    }
    loaded.store(true, std::memory_order_relaxed);
    setProgress(1.0);
}
