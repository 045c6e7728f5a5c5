#include "library/tagcache/TagCacheDirectory.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "audio/decoders/AudioDecoder.h"
#include "foundation/modTools.h"
#include "foundation/quicksort.h"
#include "library/tagcache/TagCache.h"
#include "library/tags/CID3v2Tag.h"

namespace {

// Frames longer than this are stored cut to kCutBytes and marked incomplete (bytes).
const size_t kMaxFrameBytes = 1023;
const size_t kCutBytes = 512;
// Records read from disk are written to the database in groups of this many, each group in one
// short transaction, so other threads' transactions never wait for a whole folder.
const size_t kStoreBatch = 64;
// Frames written by one INSERT statement, at the most.
const size_t kFrameRowsPerInsert = 32;
// Files per frames query when records are built from the database.
const size_t kFramesChunk = 400;
// Records are built from one pass over the frames table for more than this share of the files.
const double kLookupCost = 10.0;
// File times are read by up to this many threads, each taking at least this many files.
const size_t kStatThreads = 4, kStatsPerThread = 1024;
// Tags of new or changed files are read by up to this many threads, each taking at least this
// many files, this many files ahead of the records being stored.
const size_t kReadThreads = 4, kReadsPerThread = 16, kReadAhead = 256;
// How long a record that left a list stays alive for readers of getTag's raw pointer (ms).
const double kRetireMs = 1000.0;

bool lessFolded(const std::string& a, const std::string& b) {
    std::string la = strtolower(a), lb = strtolower(b);
    return la != lb ? la < lb : a < b;
}

bool isStoredFrame(const std::string& id) {
    return TagCacheDirectory::isValidFrameID(id) && CID3v2Tag::isTextFrame(id);
}

bool isEmptyOrNone(const std::string& id) {
    return id.empty() || id == "-1";
}

} // namespace

// ---- Construction -------------------------------------------------------------------------------

TagCacheDirectory::TagCacheDirectory(const std::string& listPath, SQLDatabase* db, TagCache* owner, bool inBackground,
                                     bool lengths, bool registerOnly) {
    construct(listPath, db, owner, lengths);
    if (listPath.empty()) return;
    std::lock_guard<std::recursive_mutex> guard(updateLock);
    init(listPath, inBackground, registerOnly);
    initialized.store(true, std::memory_order_release);
}

TagCacheDirectory::TagCacheDirectory(const std::string& listPath, SQLDatabase* db, TagCache* owner, bool lengths,
                                     Deferred) {
    construct(listPath, db, owner, lengths);
}

void TagCacheDirectory::construct(const std::string& listPath, SQLDatabase* db, TagCache* owner, bool lengths) {
    database = db;
    cache = owner;
    computeLengths = lengths;
    sortKey = "TIT2";
    path = listPath;
    if (listPath.empty()) return;
    std::string splFile, groupValue;
    if (listPath.size() > 4 && isRightCI(listPath, ".m3u")) {
        kind = KIND_PLAYLIST;
        ownsTags = false;
    } else if ((listPath.size() > 4 && isRightCI(listPath, ".spl")) ||
               splitGroupPath(listPath, &splFile, &groupValue)) {
        kind = KIND_PLAYLIST;
    } else if (isLeft(listPath, "search:")) {
        kind = KIND_DYNAMIC;
    } else if (isLeft(listPath, "recurse:")) {
        kind = KIND_DYNAMIC;
        ownsTags = false;
    } else {
        kind = isLeft(listPath, "itunes:") ? KIND_ITUNES : KIND_FOLDER;
        ownsTags = kind == KIND_FOLDER;
        if (!isRight(path, "/")) path += "/";
    }
}

void TagCacheDirectory::init(const std::string& requestedPath, bool inBackground, bool registerOnly) {
    std::string id = insertFolderInDB(requestedPath, "", true);
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        folderID = id;
        listingRead = false;
    }
    if (!inBackground) {
        updateLocked(false);
    } else if (registerOnly) {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        partial = true;
    } else if (kind == KIND_FOLDER) {
        readListing();
    }
}

TagCacheDirectory::~TagCacheDirectory() {
    clearRecords(false);
}

// ---- Reading --------------------------------------------------------------------------------------

int TagCacheDirectory::getNbTags() const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return int(tags.size());
}

CID3v2Tag* TagCacheDirectory::getTag(int i) const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return i >= 0 && size_t(i) < tags.size() ? tags[size_t(i)].get() : nullptr;
}

TagPtr TagCacheDirectory::getTagShared(int i) const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return i >= 0 && size_t(i) < tags.size() ? tags[size_t(i)] : TagPtr();
}

int TagCacheDirectory::getNbFiles() const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return int(files.size());
}

std::string TagCacheDirectory::getFile(int i) const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return i >= 0 && size_t(i) < files.size() ? files[size_t(i)] : std::string();
}

int TagCacheDirectory::getNbFolders() const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return int(folders.size());
}

std::string TagCacheDirectory::getFolder(int i) const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return i >= 0 && size_t(i) < folders.size() ? folders[size_t(i)] : std::string();
}

std::string TagCacheDirectory::getFolderID() const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return folderID;
}

std::string TagCacheDirectory::getSortKey() const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return sortKey;
}

bool TagCacheDirectory::isListingRead() const {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    return listingRead;
}

bool TagCacheDirectory::isInterrupted() const {
    if (cache && cache->isStopping()) return true;
    return runByLoader.load(std::memory_order_relaxed) && interrupt.load(std::memory_order_relaxed);
}

bool TagCacheDirectory::logOn() const {
    return cache && cache->isLogging();
}

void TagCacheDirectory::logText(const std::string& text) {
    if (logOn()) cache->log(text);
}

// ---- Updating -------------------------------------------------------------------------------------

void TagCacheDirectory::update() {
    std::lock_guard<std::recursive_mutex> guard(updateLock);
    updateLocked(false);
}

void TagCacheDirectory::updateLocked(bool byLoader) {
    runByLoader.store(byLoader, std::memory_order_relaxed);
    const unsigned asked = refreshesAsked.load(std::memory_order_acquire);
    if (asked != refreshesBegun.load(std::memory_order_relaxed)) {
        // This load answers the refreshes asked so far: it starts from nothing known, and reads the disk again
        // unless the listing was read after the last of them.
        setProgress(0.0);
        {
            std::lock_guard<std::recursive_mutex> guard(dataLock);
            if (listingRefreshes != asked) listingRead = false;
        }
        refreshesBegun.store(asked, std::memory_order_release);
    }
    if (kind == KIND_PLAYLIST) {
        if (isLoaded() && getProgress() != 0.0) {
            setProgress(1.0);
            runByLoader.store(false, std::memory_order_relaxed);
            return;
        }
        initFromPlaylist();
    } else if (kind == KIND_DYNAMIC) {
        initFromDynamicList(path);
    } else if (kind == KIND_ITUNES) {
        initFromItunes();
        setProgress(1.0);
    } else {
        bool resync;
        {
            std::lock_guard<std::recursive_mutex> guard(dataLock);
            resync = partial;
        }
        if (isLoaded() || resync)
            updateFromDisk();
        else
            initFromDB();
    }
    lastUpdate.store(timeGetExactTime(), std::memory_order_relaxed);
    runByLoader.store(false, std::memory_order_relaxed);
}

bool TagCacheDirectory::readDirectory(const std::string& folder, std::vector<std::string>* folderNames,
                                      std::vector<std::string>* fileNames, std::vector<time_t>* times,
                                      std::vector<time_t>* changeTimes) {
    folderNames->clear();
    fileNames->clear();
    times->clear();
    if (changeTimes) changeTimes->clear();
    std::string directory = folder.empty() ? "/" : folder;
    DIR* dir = opendir(directory.c_str());
    if (!dir) return false;
    std::vector<std::pair<std::string, time_t>> found;
    std::vector<time_t> changed;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue; // hidden, and "." and ".."
        struct stat info;
        // stat, not lstat: links to folders and files count as what they point to. By name in the
        // open folder: the kernel does not walk the folder's whole path again for each file.
        if (fstatat(dirfd(dir), entry->d_name, &info, 0) != 0) continue;
        if (S_ISDIR(info.st_mode))
            folderNames->push_back(entry->d_name);
        else if (S_ISREG(info.st_mode)) {
            found.emplace_back(entry->d_name, info.st_mtime);
            changed.push_back(info.st_ctime);
        }
    }
    closedir(dir);
    // Each name lower-cased once, not once per comparison.
    std::vector<std::pair<std::string, size_t>> keys;
    auto sortFolded = [&keys](size_t count, const std::function<const std::string&(size_t)>& name) {
        keys.clear();
        for (size_t i = 0; i < count; i++)
            keys.emplace_back(strtolower(name(i)), i);
        std::sort(keys.begin(), keys.end(), [&name](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : name(a.second) < name(b.second);
        });
    };
    std::vector<std::string> unsorted;
    unsorted.swap(*folderNames);
    sortFolded(unsorted.size(), [&unsorted](size_t i) -> const std::string& { return unsorted[i]; });
    for (const auto& key : keys)
        folderNames->push_back(std::move(unsorted[key.second]));
    sortFolded(found.size(), [&found](size_t i) -> const std::string& { return found[i].first; });
    fileNames->reserve(found.size());
    times->reserve(found.size());
    for (const auto& key : keys) {
        fileNames->push_back(std::move(found[key.second].first));
        times->push_back(found[key.second].second);
        if (changeTimes) changeTimes->push_back(changed[key.second]);
    }
    return true;
}

void TagCacheDirectory::readFilesAndFoldersFromDisk() {
    if (kind != KIND_FOLDER) return;
    // A load in progress reads the disk itself; the caller must not wait for it.
    std::unique_lock<std::recursive_mutex> guard(updateLock, std::try_to_lock);
    if (!guard.owns_lock()) return;
    // Loaded, or listed, by the loading thread between the caller's look and this lock: a large
    // folder's listing is not read again on the caller's thread for nothing. A list loaded before
    // knows its names already: when it is read again, its update reads the disk on the loading thread.
    if (getProgress() >= 1.0 || isListingRead() || isLoaded()) return;
    readListing();
}

bool TagCacheDirectory::readListing(std::vector<time_t>* changeTimes) {
    std::vector<std::string> newFolders, newFiles;
    std::vector<time_t> newTimes;
    const unsigned refreshes = refreshesAsked.load(std::memory_order_acquire);
    bool ok = readDirectory(stripLast(path), &newFolders, &newFiles, &newTimes, changeTimes);
    std::string id;
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        folders = newFolders;
        files.swap(newFiles);
        fileTimes.swap(newTimes);
        listingRead = true;
        listingRefreshes = refreshes;
        id = folderID;
    }
    if (!newFolders.empty() && database) {
        database->beginTransaction();
        for (const std::string& name : newFolders)
            insertFolderInDB(path + name + "/", id, false);
        database->commitTransaction();
    }
    return ok;
}

bool TagCacheDirectory::holdsDeckFrames(const std::string& id) {
    return database && !database
                            ->getOneResult("SELECT 1 FROM files, frames WHERE files.folder = ? AND frames.file = "
                                           "files.ID AND frames.name IN (?, ?) AND length(frames.value) > 0 LIMIT 1",
                                           SQLParams{id, CID3v2Tag::kDeckFrames[0], CID3v2Tag::kDeckFrames[1]})
                            .empty();
}

void TagCacheDirectory::initFromDB() {
    double start = timeGetExactTime();
    bool fresh;
    std::string id;
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        fresh = listingRead;
        id = folderID;
    }
    clearRecords(fresh);

    // The folder's listing, read now unless it was just read: its times stand for a stat of each
    // cached file, and its sub-folders for a look at each cached one.
    std::vector<std::string> listedFolders, listedFiles;
    std::vector<time_t> listedTimes, listedChanges;
    bool listed = false;
    if (!fresh) {
        listed = readListing(&listedChanges);
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        listedFolders = folders;
        listedFiles = files;
        listedTimes = fileTimes;
        if (listedChanges.size() != listedFiles.size()) listed = false;
        // Unreadable: the disk update reads it again and knows it failed.
        if (!listed) listingRead = false;
    } else {
        // Read just before (its times are older than a stat of each file): the disk update's.
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        listedFiles = files;
    }

    if (!fresh && database) {
        std::vector<std::vector<std::string>> rows =
            database->getAllRows("SELECT path, ID FROM folders WHERE parent = ?", SQLParams{id});
        std::unordered_set<std::string> present(listedFolders.begin(), listedFolders.end());
        std::vector<std::string> names, gone;
        for (const auto& row : rows) {
            if (row.size() < 2) continue;
            std::string directory = stripLast(row[0]);
            bool child = getFilePath(directory) == path;
            if (listed && child ? present.count(getFileName(directory)) > 0 : DirExist(directory))
                names.push_back(getFileName(directory));
            else if (!holdsDeckFrames(row[1]))
                gone.push_back(row[1]); // one that holds the decks' cue points may be a drive not mounted
        }
        if (!gone.empty()) {
            database->beginTransaction();
            for (const std::string& goneID : gone) {
                database->executeQuery("DELETE FROM folders WHERE ID = ?", SQLParams{goneID});
                database->executeQuery("DELETE FROM folders WHERE parent = ?", SQLParams{goneID});
                database->executeQuery("DELETE FROM frames WHERE file IN (SELECT ID FROM files WHERE folder = ?)",
                                       SQLParams{goneID});
                database->executeQuery("DELETE FROM files WHERE folder = ?", SQLParams{goneID});
            }
            database->commitTransaction();
        }
        if (!listed) {
            std::sort(names.begin(), names.end(), lessFolded);
            std::lock_guard<std::recursive_mutex> guard(dataLock);
            folders = names;
        }
    }

    std::vector<std::vector<std::string>> rows;
    if (database)
        rows = database->getAllRows("SELECT ID, name, modifieddate FROM files WHERE folder = ?", SQLParams{id});
    // Sort the rows into files gone, changed on disk, and unchanged (built from the database).
    std::vector<std::string> gone;
    std::vector<std::vector<std::string>> unchanged;
    std::vector<size_t> unchangedSlots;
    std::vector<std::pair<size_t, std::string>> changed; // row index, path
    std::vector<TagPtr> slots(rows.size());
    std::unordered_map<std::string, size_t> onDisk; // a listed file's name: its index in the listing
    std::vector<bool> covered(listedFiles.size());  // listed files that have a record
    bool unlisted = false;                          // a record of a file of the folder not listed
    for (size_t i = 0; i < listedFiles.size(); i++)
        onDisk.emplace(listedFiles[i], i);
    auto inFolder = [this](const std::string& file) {
        return isLeft(file, path) && file.find('/', path.size()) == std::string::npos;
    };
    std::vector<const std::string*> paths; // of files the listing does not answer for
    for (const auto& row : rows)
        if (row.size() >= 3 && !(listed && inFolder(row[1]))) paths.push_back(&row[1]);
    std::vector<FileTimes> times = readFileTimes(paths), unchangedTimes;
    for (size_t i = 0, k = 0; i < rows.size() && !isInterrupted(); i++) {
        auto& row = rows[i];
        if (row.size() < 3) continue;
        FileTimes found;
        bool mine = inFolder(row[1]);
        auto at = mine ? onDisk.find(row[1].substr(path.size())) : onDisk.end();
        if (listed && mine) {
            if (at != onDisk.end()) found = FileTimes{listedTimes[at->second], listedChanges[at->second], true};
        } else {
            found = times[k++];
        }
        time_t modified = found.found ? found.modified : 0;
        if (modified == 0) {
            // A file whose folder is not there either (a drive not mounted) keeps its row, with the cue points
            // and loops the decks stored in it, until it is back; one gone from a folder that is there is gone.
            if (DirExist(getFilePath(row[1]))) gone.push_back(row[0]);
            continue;
        }
        // (The disk update keeps records of listed files of the types it lists, and no others.)
        if (at != onDisk.end() && isValidFileType(row[1]))
            covered[at->second] = true;
        else
            unlisted = unlisted || mine;
        if (timetToStr(long(modified)) != row[2]) {
            changed.emplace_back(i, row[1]);
        } else {
            unchanged.push_back(std::move(row));
            unchangedSlots.push_back(i);
            unchangedTimes.push_back(found);
        }
    }
    std::vector<TagPtr> fromDB = loadRecordsFromDB(unchanged, &unchangedTimes);
    for (size_t k = 0; k < unchanged.size(); k++)
        slots[unchangedSlots[k]] = fromDB[k];
    deleteFilesFromDB(gone);
    // Files changed on disk are read again, several at once, and stored in short transactions.
    for (size_t first = 0; first < changed.size() && !isInterrupted(); first += kReadAhead) {
        size_t last = std::min(changed.size(), first + kReadAhead);
        std::vector<std::string> files;
        for (size_t k = first; k < last; k++)
            files.push_back(changed[k].second);
        std::vector<TagPtr> read = readRecordsFromFiles(files);
        for (size_t k = first; k < last; k += kStoreBatch) {
            std::vector<TagPtr> toStore(read.begin() + long(k - first),
                                        read.begin() + long(std::min(last, k + kStoreBatch) - first));
            storeRecords(toStore, id);
            for (size_t j = 0; j < toStore.size(); j++)
                slots[changed[k + j].first] = toStore[j];
        }
    }
    size_t count = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        for (TagPtr& record : slots)
            if (record) tags.push_back(record);
        count = tags.size();
    }
    double ms = timeGetExactTime() - start;
    if (ms > 10 || count > 200)
        printf("Loading %s items from DB took %s ms\n", intToStr(int(count)).c_str(), dblToStr(ms, 2).c_str());
    if (isInterrupted()) {
        setProgress(0.0);
        return;
    }
    // Every file of the listing has its record, and every record of a file of the folder is
    // listed: the disk update would find nothing to add, replace or take out.
    bool whole = (listed || fresh) && !unlisted;
    for (size_t i = 0; i < listedFiles.size() && whole; i++)
        whole = covered[i] || !isValidFileType(listedFiles[i]);
    if (!whole) {
        updateFromDisk();
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        listingRead = false; // used: the next update reads the disk again
    }
    finishUpdate(id, false);
}

void TagCacheDirectory::finishUpdate(const std::string& id, bool interrupted) {
    if (database) {
        if (interrupted)
            database->executeQuery("UPDATE folders SET incomplete = 1 WHERE ID = ?", SQLParams{id});
        else
            database->executeQuery("UPDATE folders SET incomplete = 0, updatedate = ? WHERE ID = ?",
                                   SQLParams{getUnixTime(), id});
    }
    if (interrupted) {
        setProgress(0.0);
    } else {
        loaded.store(true, std::memory_order_relaxed);
        setProgress(1.0);
    }
}

void TagCacheDirectory::updateFromDisk() {
    double start = timeGetExactTime();
    logText("*** updateFromDisk: " + path + "\n");
    bool fresh;
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        fresh = listingRead;
    }
    bool listingOk = true;
    if (!fresh) listingOk = readListing();
    std::vector<std::string> names;
    std::vector<time_t> times;
    std::unordered_map<std::string, TagPtr> listed;
    std::vector<TagPtr> shown;
    std::string id;
    bool fromDatabase;
    {
        // Copies only: readers (the user interface) wait for this lock.
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        listingRead = false; // used: the next update reads the disk again
        names = files;
        times = fileTimes;
        shown = tags;
        id = folderID;
        fromDatabase = partial;
    }
    listed.reserve(shown.size());
    for (const TagPtr& record : shown)
        listed.emplace(record->getPath(), record);
    shown.clear();

    // Records read from disk are stored before the list shows them: storing decodes their texts and
    // empties their pictures, which must not happen under a reader's feet.
    std::vector<TagPtr> toStore;
    std::vector<std::pair<TagPtr, TagPtr>> pending; // (record it replaces or null, record)
    auto publish = [&] {
        storeRecords(toStore, id);
        toStore.clear();
        std::vector<TagPtr> gone; // released after the lock
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        for (auto& entry : pending) {
            if (entry.first) {
                std::replace(tags.begin(), tags.end(), entry.first, entry.second);
                gone.push_back(entry.first);
            } else {
                tags.push_back(entry.second);
            }
        }
        if (!pending.empty()) sorted = false;
        pending.clear();
        retireLocked(gone);
    };
    // The files to read come from several threads at once, a stretch of the listing ahead of the
    // loop below: each is a file to open and parse, independent of the others.
    std::vector<TagPtr> readAhead(names.size());
    size_t readUpTo = 0; // readAhead holds what the stretch before this index needs
    auto readFrom = [&](size_t first) {
        std::vector<size_t> slots;
        size_t i = first;
        for (; i < names.size() && slots.size() < kReadAhead; i++) {
            if (!isValidFileType(names[i])) continue;
            auto known = listed.find(path + names[i]);
            bool changed = known != listed.end() && times[i] != 0 && known->second->getModificationTime() != times[i];
            if (changed || (known == listed.end() && !fromDatabase)) slots.push_back(i);
        }
        readUpTo = i;
        std::vector<std::string> files;
        for (size_t slot : slots)
            files.push_back(path + names[slot]);
        std::vector<TagPtr> read = readRecordsFromFiles(files);
        for (size_t k = 0; k < slots.size(); k++)
            readAhead[slots[k]] = std::move(read[k]);
    };
    std::unordered_set<std::string> onDisk;
    bool interrupted = false;
    for (size_t i = 0; i < names.size(); i++) {
        const std::string& name = names[i];
        if (i >= readUpTo) readFrom(i);
        if (isValidFileType(name)) {
            std::string full = path + name;
            onDisk.insert(full);
            auto known = listed.find(full);
            if (known != listed.end()) {
                // Listed already; read again when the file changed since.
                if (times[i] != 0 && known->second->getModificationTime() != times[i]) {
                    TagPtr record = readAhead[i] ? std::move(readAhead[i]) : readRecordFromFile(full);
                    pending.emplace_back(known->second, record);
                    toStore.push_back(record);
                }
            } else {
                logText("updateFromDisk: " + full + "\n");
                TagPtr record;
                bool isNew = true;
                if (fromDatabase) {
                    std::string fileID, folder = id;
                    record = getTagFromDB(fileID, full, true, folder);
                    isNew = !record;
                }
                if (!record) record = readAhead[i] ? std::move(readAhead[i]) : readRecordFromFile(full);
                pending.emplace_back(TagPtr(), record);
                listed.emplace(full, record);
                if (isNew) toStore.push_back(record);
            }
            if (pending.size() >= kStoreBatch) publish();
        }
        setProgress(double(i) / double(names.size()));
        if (isInterrupted()) {
            std::lock_guard<std::recursive_mutex> guard(dataLock);
            listingRead = true; // keep the listing for the next run
            interrupted = true;
            break;
        }
    }
    publish();

    std::vector<TagPtr> gone;
    if (!interrupted && listingOk) {
        // Files gone from the folder leave the list (the database forgets them at the next first
        // load). They are found on a copy of the records' addresses (a record that leaves the list
        // meanwhile lives on for a second): the list's lock is held only to take them out.
        std::vector<const CID3v2Tag*> records;
        {
            std::lock_guard<std::recursive_mutex> guard(dataLock);
            records.reserve(tags.size());
            for (const TagPtr& record : tags)
                records.push_back(record.get());
        }
        std::unordered_set<const CID3v2Tag*> vanished;
        for (const CID3v2Tag* record : records) {
            const std::string& file = record->getPath();
            if (isLeft(file, path) && file.find('/', path.size()) == std::string::npos && !onDisk.count(file))
                vanished.insert(record);
        }
        if (!vanished.empty()) {
            std::lock_guard<std::recursive_mutex> guard(dataLock);
            auto kept = std::stable_partition(tags.begin(), tags.end(),
                                              [&](const TagPtr& record) { return !vanished.count(record.get()); });
            gone.assign(kept, tags.end());
            tags.erase(kept, tags.end());
            retireLocked(gone);
        }
    }

    finishUpdate(id, interrupted);
    double ms = timeGetExactTime() - start;
    int count = getNbTags();
    if ((ms > 20 || count > 300) && logOn()) {
        std::string text = "Update from disk " + intToStr(count) + " items took " + dblToStr(ms, 2) + " ms\n";
        logText(text);
        printf("%s", text.c_str());
    }
}

bool TagCacheDirectory::isValidFileType(const std::string& name) {
    static const char* const four[] = {".mp3", ".ogg", ".wav", "wave", "flac", ".aif", "aiff", ".ape", ".m4a", ".cue"};
    // Compared in place, letter case folded (ASCII): called for every file of every listing.
    auto endsWith = [&name](const char* ending, size_t length) {
        if (name.size() < length) return false;
        for (size_t i = 0; i < length; i++) {
            char c = name[name.size() - length + i];
            if ((c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) != ending[i]) return false;
        }
        return true;
    };
    for (const char* ending : four)
        if (endsWith(ending, 4)) return true;
    return endsWith("aac", 3) || endsWith("ac3", 3);
}

// ---- Records ----------------------------------------------------------------------------------------

void TagCacheDirectory::appendRecord(const TagPtr& record) {
    if (!record) return;
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    tags.push_back(record);
    sorted = false;
    if (kind == KIND_PLAYLIST && isRightCI(path, ".m3u")) dirty.store(true, std::memory_order_relaxed);
}

std::vector<TagPtr> TagCacheDirectory::readRecordsFromFiles(const std::vector<std::string>& paths) {
    std::vector<TagPtr> records(paths.size());
    std::atomic<size_t> next{0};
    auto readSome = [&] {
        for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < paths.size();)
            records[i] = readRecordFromFile(paths[i]);
    };
    size_t helpers = std::min<size_t>(kReadThreads, paths.size() / kReadsPerThread);
    std::vector<std::thread> threads;
    try {
        for (size_t k = 1; k < helpers; k++)
            threads.emplace_back(readSome);
    } catch (const std::system_error&) {
        // No thread to spare: the ones running, this one included, read them all.
    }
    readSome();
    for (std::thread& thread : threads)
        thread.join();
    return records;
}

TagPtr TagCacheDirectory::readRecordFromFile(const std::string& file) {
    TagPtr record = std::make_shared<CID3v2Tag>();
    record->readFromFile(file);
    // An ASF header only gives the length from the byte rate and the file size (headers and all, 8 %
    // off on a short file): the decoder's length replaces it.
    bool estimated = isRightCI(file, ".wma");
    if (computeLengths && (estimated || record->getFrameCopy("TLEN").empty())) addLength(record.get());
    return record;
}

void TagCacheDirectory::addLength(CID3v2Tag* record) {
    logText("Get Length: " + record->getPath() + "\n");
    AudioDecoder decoder;
    if (decoder.openFile(record->getPath()) != 0) return;
    double rate = decoder.getSamplerate();
    double frames = decoder.getLength();
    decoder.close();
    // A rate below 1 Hz or no frames says nothing about the length.
    if (!(rate >= 1.0) || !(frames > 0)) return;
    double ms = std::trunc(frames / (rate / 1000.0));
    if (ms > double(INT_MAX)) return;
    record->setFrame("TLEN", intToStr(int(ms)), 0);
}

void TagCacheDirectory::addTag(CID3v2Tag* record, bool readFresh) {
    if (!record) return;
    TagPtr added = readFresh ? readRecordFromFile(record->getPath()) : TagPtr(record);
    // The list's record keeps no pictures, as those of folder lists: the history and the playlists would
    // otherwise hold the cover of every track played or added in the run.
    added->emptyLargeFrames(false);
    appendRecord(added);
}

void TagCacheDirectory::addTag(const TagPtr& record) {
    appendRecord(record);
}

CID3v2Tag* TagCacheDirectory::addTag(const std::string& file, bool anyFolder, bool fromDatabase) {
    TagPtr record;
    bool isNew = true;
    std::string id = getFolderID();
    if (fromDatabase) {
        std::string fileID, folder;
        record = getTagFromDB(fileID, file, true, folder);
        isNew = !record;
    }
    if (!record) record = readRecordFromFile(file);
    // Stored first: storing changes the record, which readers of the list must not see happen.
    if (isNew) storeRecords({record}, anyFolder ? std::string() : id);
    appendRecord(record);
    return record.get();
}

TagPtr TagCacheDirectory::getOrAddTag(const std::string& file) {
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        for (const TagPtr& record : tags)
            if (record->getPath() == file) return record;
    }
    std::unique_lock<std::recursive_mutex> loading(updateLock, std::try_to_lock);
    if (loading.owns_lock()) {
        {
            std::lock_guard<std::recursive_mutex> guard(dataLock);
            for (const TagPtr& record : tags)
                if (record->getPath() == file) return record;
        }
        addTag(file, false, true);
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        return tags.empty() ? TagPtr() : tags.back();
    }
    // Being loaded on another thread: hand out a record of our own rather than wait for the load.
    std::string fileID, folder;
    TagPtr record = getTagFromDB(fileID, file, true, folder);
    if (!record) {
        record = readRecordFromFile(file);
        storeRecords({record}, "");
    }
    return record;
}

void TagCacheDirectory::storeRecords(const std::vector<TagPtr>& records, const std::string& id) {
    if (records.empty() || !database) return;
    FrameRows rows; // the records' frames, written many to a statement
    database->beginTransaction();
    for (const TagPtr& record : records)
        insertTagInDB(record.get(), id, rows);
    flushFrameRows(rows, true);
    database->commitTransaction();
    if (cache) cache->touchLastChange();
    // Their frames join the search index in a transaction of its own, once enough have gathered.
    if (cache) cache->searchIndexCatchUp();
}

void TagCacheDirectory::deleteFilesFromDB(const std::vector<std::string>& fileIDs) {
    if (fileIDs.empty() || !database) return;
    database->beginTransaction();
    for (const std::string& fileID : fileIDs) {
        database->executeQuery("DELETE FROM frames WHERE file = ?", SQLParams{fileID});
        database->executeQuery("DELETE FROM files WHERE ID = ?", SQLParams{fileID});
    }
    database->commitTransaction();
}

std::string TagCacheDirectory::cutUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    // Back up over continuation bytes so no character is split.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        end--;
    return text.substr(0, end);
}

void TagCacheDirectory::flushFrameRows(FrameRows& rows, bool all) {
    // Fixed row counts (a full statement, then halves), so that few statement texts are prepared and kept.
    for (size_t count = kFrameRowsPerInsert; rows.count > 0 && count > 0; count /= 2) {
        if (!all && count < kFrameRowsPerInsert) break;
        while (rows.count >= count) {
            std::string sql = "INSERT INTO frames (file, name, value, incomplete) VALUES (?, ?, ?, ?)";
            for (size_t k = 1; k < count; k++)
                sql += ", (?, ?, ?, ?)";
            size_t first = rows.params.size() - 4 * rows.count;
            SQLParams params(std::make_move_iterator(rows.params.begin() + long(first)),
                             std::make_move_iterator(rows.params.begin() + long(first + 4 * count)));
            database->executeQuery(sql, params);
            rows.count -= count;
        }
    }
    rows.params.erase(rows.params.begin(), rows.params.end() - long(4 * rows.count));
}

std::string TagCacheDirectory::insertTagInDB(CID3v2Tag* record, std::string id, bool leaveRecord) {
    if (!record || !database) return "";
    FrameRows rows;
    database->beginTransaction();
    std::string fileID = insertTagInDB(record, id, rows, leaveRecord);
    flushFrameRows(rows, true);
    database->commitTransaction();
    if (cache && !fileID.empty()) cache->touchLastChange();
    return fileID;
}

std::string TagCacheDirectory::insertTagInDB(CID3v2Tag* record, std::string id, FrameRows& rows, bool leaveRecord) {
    if (!record || !database) return "";
    const std::string& file = record->getPath();
    database->beginTransaction();
    if (isEmptyOrNone(id))
        id = database->getOneResult("SELECT ID FROM folders WHERE path = ?", SQLParams{getFilePath(file)});
    if (id.empty()) {
        database->commitTransaction();
        return "";
    }
    // The time the record was read at (a file changed since is read again at the next load).
    time_t readAt = record->getModificationTime();
    std::string modified = timetToStr(long(readAt != 0 ? readAt : getFileModifiedTime(file)));
    // One row per path, whichever folder row listed it before.
    std::string fileID = database->getOneResult("SELECT ID FROM files WHERE name = ?", SQLParams{file});
    bool known = !fileID.empty();
    if (known) {
        database->executeQuery("UPDATE files SET modifieddate = ?, folder = ?, incomplete = 0 WHERE ID = ?",
                               SQLParams{modified, id, fileID});
    } else {
        long long made =
            database->insertRow("INSERT INTO files (name, folder, type, modifieddate, creationdate) VALUES "
                                "(?, ?, 1, ?, ?)",
                                SQLParams{file, id, modified, timetToStr(long(record->getStatusChangeTime()))});
        fileID = made > 0 ? std::to_string(made) : std::string();
    }
    if (fileID.empty()) {
        database->commitTransaction();
        return "";
    }
    // A new row's ID was never used (AUTOINCREMENT): it has no frames to replace. Frames waiting
    // to be written go first: they may be this file's own. The decks' frames of the file (cue points,
    // loops, replay gain) are the DJ's, not the file's: a file read again keeps them.
    if (known) {
        flushFrameRows(rows, true);
        database->executeQuery("DELETE FROM frames WHERE file = ? AND name NOT IN (?, ?)",
                               SQLParams{fileID, CID3v2Tag::kDeckFrames[0], CID3v2Tag::kDeckFrames[1]});
    }
    bool incomplete = false;
    for (unsigned int i = 0; i < record->getNbFrames(); i++) {
        CID3Frame* frame = record->getFrame(i);
        if (isStoredFrame(frame->getId())) {
            const std::string& text = frame->getString();
            bool cut = text.size() > kMaxFrameBytes;
            // Bound as text: SQLite's LIKE, which searches and smart playlists use, never matches a blob.
            rows.params.insert(rows.params.end(),
                               {SQLParam(fileID), SQLParam(frame->getId()),
                                SQLParam(cut ? cutUtf8(text, kCutBytes) : text), SQLParam(cut ? 1 : 0)});
            if (++rows.count >= kFrameRowsPerInsert) flushFrameRows(rows, false);
            incomplete = incomplete || cut;
        } else {
            // Pictures and other large or binary frames stay neither in the database nor in memory.
            incomplete = true;
            if (leaveRecord) continue;
            frame->setData("");
            frame->setIncomplete(true);
        }
    }
    if (incomplete) database->executeQuery("UPDATE files SET incomplete = 1 WHERE ID = ?", SQLParams{fileID});
    database->commitTransaction();
    return fileID;
}

std::vector<TagCacheDirectory::FileTimes>
TagCacheDirectory::readFileTimes(const std::vector<const std::string*>& paths) {
    std::vector<FileTimes> times(paths.size());
    auto readRange = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; i++)
            times[i].found = getFileTimes(*paths[i], &times[i].modified, &times[i].changed);
    };
    size_t parts = std::min<size_t>(kStatThreads, paths.size() / kStatsPerThread);
    if (parts < 2) {
        readRange(0, paths.size());
        return times;
    }
    std::vector<std::thread> helpers;
    size_t step = (paths.size() + parts - 1) / parts;
    for (size_t from = step; from < paths.size(); from += step)
        helpers.emplace_back(readRange, from, std::min(paths.size(), from + step));
    readRange(0, step);
    for (std::thread& helper : helpers)
        helper.join();
    return times;
}

std::vector<TagPtr> TagCacheDirectory::loadRecordsFromDB(const std::vector<std::vector<std::string>>& rows,
                                                         const std::vector<FileTimes>* known) {
    std::vector<FileTimes> read;
    if (!known || known->size() != rows.size()) {
        std::vector<const std::string*> paths;
        for (const auto& row : rows)
            paths.push_back(&row[1]);
        read = readFileTimes(paths);
        known = &read;
    }
    double since = cache ? cache->getLastChange() : 0;
    std::vector<long long> fileIDs;
    fileIDs.reserve(rows.size());
    for (const auto& row : rows)
        fileIDs.push_back(std::atoll(row[0].c_str()));
    std::vector<TagPtr> records;
    if (cache) cache->findBuiltRecords(fileIDs, &records);
    records.resize(rows.size());
    std::unordered_map<long long, size_t> byID; // the records still to build
    byID.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
        if (records[i] && records[i]->getPath() == rows[i][1]) continue;
        TagPtr record = std::make_shared<CID3v2Tag>();
        record->setPath(rows[i][1]);
        if ((*known)[i].found) {
            record->setModificationTime((*known)[i].modified);
            record->setStatusChangeTime((*known)[i].changed);
        }
        byID[fileIDs[i]] = i;
        records[i] = record;
    }
    if (!database || byID.empty()) return records;
    auto newFrame = [](sqlite3_stmt* statement) {
        CID3Frame* restored = new CID3Frame(SQLDatabase::columnText(statement, 1),
                                            SQLDatabase::columnText(statement, 2), std::string(1, '\x03'));
        restored->setIncomplete(SQLDatabase::columnInteger(statement, 3) == 1);
        return restored;
    };
    auto addFrames = [&](sqlite3_stmt* statement) {
        while (database->nextRow(statement)) {
            auto at = byID.find(SQLDatabase::columnInteger(statement, 0));
            if (at == byID.end()) continue;
            records[at->second]->addFrame(newFrame(statement));
        }
    };
    struct LookedUp {
        size_t slot;
        long long frameID;
        CID3Frame* frame;
    };
    std::vector<LookedUp> looked;
    // A file's frames by look-up cost about ten times what they cost in one pass over the whole
    // table (in ID order, so each file's frames come in their order): a tenth of the files or more
    // take the pass.
    long long fileCount = std::atoll(database->getOneResult("SELECT max(ID) FROM files").c_str());
    if (double(byID.size()) * kLookupCost > double(fileCount)) {
        sqlite3_stmt* statement = database->initQuery("SELECT file, name, value, incomplete FROM frames");
        addFrames(statement);
        database->closeQuery(statement);
    } else {
        std::vector<long long> wanted;
        for (const auto& entry : byID)
            wanted.push_back(entry.first);
        std::sort(wanted.begin(), wanted.end());
        for (size_t first = 0; first < wanted.size(); first += kFramesChunk) {
            size_t last = std::min(wanted.size(), first + kFramesChunk);
            std::string sql = "SELECT file, name, value, incomplete, ID FROM frames WHERE file ";
            SQLParams params;
            if (wanted[last - 1] - wanted[first] < 2 * (long long)(last - first)) {
                // IDs close together (a folder's files, stored together): one stretch of the index,
                // the few files between them skipped below.
                sql += ">= ? AND file <= ?";
                params = SQLParams{wanted[first], wanted[last - 1]};
            } else {
                sql += "IN (";
                for (size_t i = first; i < last; i++) {
                    sql += i == first ? "?" : ",?";
                    params.push_back(wanted[i]);
                }
                sql += ")";
            }
            // In the index's order (no sort in SQLite); each file's frames are put back in their
            // stored order below.
            sql += " ORDER BY file, name, ID";
            sqlite3_stmt* statement = database->initQuery(sql, params);
            while (database->nextRow(statement)) {
                auto at = byID.find(SQLDatabase::columnInteger(statement, 0));
                if (at == byID.end()) continue;
                looked.push_back(LookedUp{at->second, SQLDatabase::columnInteger(statement, 4), newFrame(statement)});
            }
            database->closeQuery(statement);
        }
        std::sort(looked.begin(), looked.end(), [](const LookedUp& a, const LookedUp& b) {
            return a.slot != b.slot ? a.slot < b.slot : a.frameID < b.frameID;
        });
        for (const LookedUp& entry : looked)
            records[entry.slot]->addFrame(entry.frame);
    }
    if (cache) {
        std::vector<long long> builtIDs;
        std::vector<TagPtr> built;
        for (const auto& entry : byID) {
            builtIDs.push_back(entry.first);
            built.push_back(records[entry.second]);
        }
        cache->keepBuiltRecords(builtIDs, built, since);
    }
    return records;
}

TagPtr TagCacheDirectory::getTagFromDB(std::string& fileID, const std::string& file, bool checkModified,
                                       std::string& id) {
    if (!database) return TagPtr();
    if (fileID.empty()) {
        if (id.empty() && getFilePath(file) == path) id = getFolderID();
        fileID = database->getOneResult("SELECT ID FROM files WHERE name = ?", SQLParams{file});
        if (fileID.empty()) return TagPtr();
    }
    if (checkModified) {
        time_t modified = 0, changed = 0;
        // A file that cannot be examined keeps its cached record: better than its name alone.
        if (getFileTimes(file, &modified, &changed) &&
            database->getOneResult("SELECT modifieddate FROM files WHERE ID = ?", SQLParams{fileID}) !=
                timetToStr(long(modified))) {
            TagPtr record = readRecordFromFile(file);
            insertTagInDB(record.get(), id);
            return record;
        }
    }
    std::vector<std::vector<std::string>> rows{{fileID, file}};
    return loadRecordsFromDB(rows)[0];
}

std::string TagCacheDirectory::insertFolderInDB(const std::string& folderPath, std::string parentID, bool returnID) {
    if (!database) return "";
    // A row made before (every later load of the list) is found without a transaction.
    if (isEmptyOrNone(parentID)) {
        std::string known = database->getOneResult("SELECT ID FROM folders WHERE path = ?", SQLParams{folderPath});
        if (!known.empty()) return known;
    }
    database->beginTransaction();
    std::string id = database->getOneResult("SELECT ID FROM folders WHERE path = ?", SQLParams{folderPath});
    if (!id.empty()) {
        // Written only when it changes: every listing of a folder names its sub-folders again.
        if (!isEmptyOrNone(parentID))
            database->executeQuery("UPDATE folders SET parent = ? WHERE ID = ? AND parent IS NOT ?",
                                   SQLParams{parentID, id, parentID});
        database->commitTransaction();
        return id;
    }
    // Only disk folders have a parent: a playlist's row must not be pruned with its folder's
    // vanished sub-folders.
    bool isFolder = isRight(folderPath, "/") && !isLeft(folderPath, "search:") && !isLeft(folderPath, "recurse:") &&
                    !splitGroupPath(folderPath, nullptr, nullptr);
    if (isEmptyOrNone(parentID)) {
        parentID = isFolder ? database->getOneResult("SELECT ID FROM folders WHERE path = ?",
                                                     SQLParams{getFilePath(stripLast(folderPath))})
                            : std::string();
        if (parentID.empty()) parentID = "-1";
    }
    std::string name = isRight(folderPath, "/") ? getFileName(stripLast(folderPath)) : getFileName(folderPath);
    long long made = database->insertRow("INSERT INTO folders (name, path, parent) VALUES (?, ?, ?)",
                                         SQLParams{name, folderPath, parentID});
    id = made > 0 ? std::to_string(made) : std::string();
    database->commitTransaction();
    return returnID ? id : std::string();
}

// ---- Editing ----------------------------------------------------------------------------------------

namespace {

struct SortEntry {
    std::string key1, key2; // lower-cased texts of the sort keys
    TagPtr record;
};

void* sortGet(void* collection, int index) {
    return &(*static_cast<std::vector<SortEntry>*>(collection))[size_t(index)];
}

void sortSwap(void* collection, int a, int b) {
    auto& entries = *static_cast<std::vector<SortEntry>*>(collection);
    std::swap(entries[size_t(a)], entries[size_t(b)]);
}

int sortCompare(void*, void* a, void* b) {
    const SortEntry& x = *static_cast<SortEntry*>(a);
    const SortEntry& y = *static_cast<SortEntry*>(b);
    int c = x.key1.compare(y.key1);
    return c != 0 ? c : x.key2.compare(y.key2);
}

std::string sortText(CID3v2Tag* record, const std::string& key) {
    if (key.empty()) return "";
    const std::string* text = record->getFrame(key, false, 0);
    return text ? strtolower(*text) : std::string();
}

} // namespace

void TagCacheDirectory::sort(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    if (key == sortKey && sorted) return;
    double start = timeGetExactTime();
    sortKey = key;
    // Each key lower-cased once, not once per comparison.
    std::vector<SortEntry> entries;
    entries.reserve(tags.size());
    for (const TagPtr& record : tags)
        entries.push_back(SortEntry{sortText(record.get(), key), sortText(record.get(), secondSortKey), record});
    quicksort(&entries, sortGet, 0, int(entries.size()), sortSwap, sortCompare);
    bool changedOrder = false;
    for (size_t i = 0; i < entries.size(); i++) {
        changedOrder = changedOrder || tags[i] != entries[i].record;
        tags[i] = entries[i].record;
    }
    if (changedOrder && kind == KIND_PLAYLIST && isRightCI(path, ".m3u")) dirty.store(true, std::memory_order_relaxed);
    double ms = timeGetExactTime() - start;
    if (ms > 20 || tags.size() > 300)
        printf("Sorting %s items took %s ms\n", intToStr(int(tags.size())).c_str(), dblToStr(ms, 2).c_str());
    sorted = true;
}

void TagCacheDirectory::setSecondSortKey(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    if (key != secondSortKey) sorted = false;
    secondSortKey = key;
}

void TagCacheDirectory::moveItem(int from, int to) {
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    int count = int(tags.size());
    if (from < 0 || from >= count) return;
    to = std::max(0, std::min(to, count - 1));
    if (from == to) return;
    if (from < to)
        std::rotate(tags.begin() + from, tags.begin() + from + 1, tags.begin() + to + 1);
    else
        std::rotate(tags.begin() + to, tags.begin() + from, tags.begin() + from + 1);
    sorted = false;
    if (kind == KIND_PLAYLIST) dirty.store(true, std::memory_order_relaxed);
}

void TagCacheDirectory::removeTag(const std::string& file, int index) {
    std::vector<TagPtr> gone; // released after the lock
    std::lock_guard<std::recursive_mutex> guard(dataLock);
    int count = int(tags.size());
    int chosen = -1;
    if (file.empty()) {
        chosen = index;
    } else if (index >= 0 && index < count && tags[size_t(index)]->getPath() == file) {
        chosen = index;
    } else {
        for (int i = 0; i < count && chosen < 0; i++)
            if (tags[size_t(i)]->getPath() == file) chosen = i;
    }
    if (chosen < 0 || chosen >= count) return;
    gone.push_back(tags[size_t(chosen)]);
    tags.erase(tags.begin() + chosen);
    retireLocked(gone);
    if (kind == KIND_PLAYLIST) dirty.store(true, std::memory_order_relaxed);
}

void TagCacheDirectory::clear(bool keepListing) {
    clearRecords(keepListing);
}

void TagCacheDirectory::clearRecords(bool keepListing) {
    std::vector<TagPtr> released;
    {
        std::lock_guard<std::recursive_mutex> guard(dataLock);
        if (!keepListing) {
            folders.clear();
            files.clear();
            fileTimes.clear();
            listingRead = false;
        }
        released.swap(tags);
        retireLocked(released);
        sorted = false;
    }
    loaded.store(false, std::memory_order_relaxed);
    setProgress(0.0);
    // Records retired long enough go here, outside the lock; borrowed ones live on with their other holders.
}

void TagCacheDirectory::retireLocked(std::vector<TagPtr>& gone) {
    double now = timeGetExactTime();
    for (TagPtr& record : gone)
        retired.emplace_back(now, std::move(record));
    gone.clear();
    while (!retired.empty() && now - retired.front().first > kRetireMs) {
        gone.push_back(std::move(retired.front().second));
        retired.pop_front();
    }
}

void TagCacheDirectory::evict() {
    std::unique_lock<std::recursive_mutex> guard(updateLock, std::try_to_lock);
    if (!guard.owns_lock()) return;
    clearRecords(true);
    // A search this old is not on screen: its records need no grace period.
    std::deque<std::pair<double, TagPtr>> released;
    std::lock_guard<std::recursive_mutex> data(dataLock);
    released.swap(retired);
}
