#include "library/tagcache/TagCache.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>
#include <cstdio>
#include <set>
#include <utility>

#include "foundation/modTools.h"
#include "library/tags/CID3v2Tag.h"
#include "platform/AppPaths.h"

namespace {

// Searches registered beyond this many keep their list object but free their records.
const size_t kMaxLoadedSearches = 16;
// The search copy waits until no list has been loaded on a caller's thread for this long (ms),
// looking again this often (ns).
const double kCallersQuietMs = 100.0;
const long kQuietCheckNs = 10000000;

// The columns of the cache's tables that its statements name. A table of one of these names that lacks any of
// them (made by another program, or damaged by hand) would fail those statements at every start.
struct TableColumns {
    const char* table;
    std::vector<const char*> columns; // the first is the row ID
};
const TableColumns kTables[] = {
    {"properties", {"ID", "key", "value"}},
    {"folders", {"ID", "name", "path", "updatedate", "incomplete", "parent", "timetoupdate"}},
    {"files", {"ID", "name", "folder", "creationdate", "modifieddate", "type", "incomplete"}},
    {"frames", {"ID", "file", "name", "value", "incomplete"}},
    {"waveforms", {"ID", "file", "nbStripes", "waveform", "maxheight", "incomplete"}},
    {"tagcachefolders", {"ID", "path", "adddate", "updatedate"}},
    {"unfinishedfolders", {"ID", "path", "recursive"}},
};

bool isFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct BuildArguments {
    TagCache* cache;
    std::string root;
};

} // namespace

// ---- Opening and closing ----------------------------------------------------------------------

TagCache::TagCache(const std::string& path) : databasePath(path) {
    InitializeCriticalSection(&cs_tagCacheLoading);
    pthread_cond_init(&loadingChanged, nullptr);
    lastChange.store(timeGetExactTime(), std::memory_order_relaxed);
    lastCallerLoad.store(timeGetExactTime(), std::memory_order_relaxed);
    std::string folder = getFilePath(path);
    if (!folder.empty()) AppPaths::makeFolders(folder);
    openDatabase();
    resumeUnfinished();
    CriticalSectionGuard guard(&cs_tagCacheLoading);
    startLoadingThreadLocked();
}

void TagCache::openDatabase() {
    database = std::make_unique<SQLDatabase>(databasePath);
    // Looked over whole before anything is written to it: the schema work below, run on a file whose
    // version cannot be read, would take it for an old cache and drop its tables.
    if (database->isOpen() && database->checkReadable()) {
        if (createSchema() && !database->sawCorruption()) return;
    } else if (!database->sawCorruption()) {
        // Locked by another program, or not ours to open: the file is left alone (moving it would
        // pull it from under its user) and this session caches in a private temporary database.
        fprintf(stderr,
                "tarlume: the tag cache \"%s\" could not be opened (%s): it is left as it is, and this session keeps "
                "its cache in a temporary database\n",
                databasePath.c_str(), isFolder(databasePath) ? "a folder is in its place" : "locked or not readable");
        useTemporaryDatabase();
        return;
    }
    // Corrupt, not a database, or tables that are not the cache's: it is only a cache, so keep the file aside
    // as it was found and start afresh.
    database->keepAsFound();
    database.reset();
    if (!keepDamaged(true)) {
        useTemporaryDatabase();
        return;
    }
    database = std::make_unique<SQLDatabase>(databasePath);
    createSchema();
}

void TagCache::useTemporaryDatabase() {
    database = std::make_unique<SQLDatabase>("");
    createSchema();
    // The file at databasePath is not this session's: no copy is read from it, nor is it moved aside.
    readerUsable = false;
    fileInUse = false;
}

bool TagCache::keepDamaged(bool atOpen) {
    const std::string kept = unusedNumberedPath(databasePath + ".corrupt");
    const char* found = atOpen ? "could not be used" : "was found damaged";
    if (std::rename(databasePath.c_str(), kept.c_str()) != 0) {
        fprintf(stderr, "tarlume: the tag cache \"%s\" %s and could not be moved aside (%s): it is left as it is%s\n",
                databasePath.c_str(), found, strerror(errno),
                atOpen ? ", and this session keeps its cache in a temporary database" : "");
        return false;
    }
    // Its log may hold the newest cue points: kept beside it, where SQLite reads it with the copy. A log
    // left at the old name would be dropped by the new database made there.
    std::string logLost;
    for (const char* log : {"-wal", "-journal", "-shm"})
        if (std::rename((databasePath + log).c_str(), (kept + log).c_str()) != 0 && errno != ENOENT &&
            std::strcmp(log, "-shm") != 0) // only an index of the log, made again from it
            logLost = strerror(errno);
    fprintf(stderr, "tarlume: the tag cache \"%s\" %s; it was kept as \"%s\"%s%s%s and %s\n", databasePath.c_str(),
            found, kept.c_str(), logLost.empty() ? "" : " without its log (", logLost.c_str(),
            logLost.empty() ? "" : ")", atOpen ? "is made anew" : "the next start makes it anew");
    return true;
}

bool TagCache::tablesAreOurs() {
    for (const TableColumns& t : kTables) {
        std::vector<std::vector<std::string>> rows =
            database->getAllRows("SELECT name, pk FROM pragma_table_info(?)", SQLParams{t.table});
        if (rows.empty()) continue; // not made yet
        std::set<std::string> names;
        bool rowId = false;
        for (const auto& row : rows) {
            if (row.size() < 2) return false;
            names.insert(strtolower(row[0]));
            if (strtolower(row[0]) == "id" && row[1] == "1") rowId = true;
        }
        if (!rowId) return false;
        for (const char* column : t.columns)
            if (!names.count(strtolower(column))) return false;
    }
    return true;
}

bool TagCache::createSchema() {
    SQLDatabase& db = *database;
    // Made first: a cache whose tables were not made has an index that is never ready.
    searchIndex = std::make_unique<TagCacheSearchIndex>(database.get());
    // Write-ahead logging: a crash loses at most the last transactions, never the file.
    readerUsable = db.getOneResult("PRAGMA journal_mode = WAL") == "wal";
    db.executeQuery("PRAGMA synchronous = NORMAL;");
    // Searches and smart playlists read much of the frames table: from memory, not a copy per page.
    db.getOneResult("PRAGMA mmap_size = 268435456");
    db.executeQuery("PRAGMA cache_size = -32768");
    db.executeQuery(
        "CREATE TABLE IF NOT EXISTS properties (ID INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT, value TEXT)");
    // A version that cannot be read is damage, not an old cache: nothing is dropped.
    std::vector<std::vector<std::string>> version;
    if (!db.tryAllRows("SELECT value FROM properties WHERE key = ?", SQLParams{"major_version"}, &version))
        return false;
    int major = version.empty() || version[0].empty() || version[0][0].empty() ? 0 : strToInt(version[0][0]);
    if (major < 9) {
        db.executeQuery("DROP TABLE IF EXISTS folders");
        db.executeQuery("DROP TABLE IF EXISTS files");
        db.executeQuery("DROP TABLE IF EXISTS frames");
        db.executeQuery("DROP TABLE IF EXISTS waveforms");
        if (major < 7) {
            db.executeQuery("DROP TABLE IF EXISTS unfinishedfolders");
            db.executeQuery("DROP TABLE IF EXISTS tagcachefolders");
        }
        db.executeQuery("VACUUM");
    }
    if (!tablesAreOurs()) return false;
    db.executeQuery("CREATE TABLE IF NOT EXISTS folders (ID INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, path TEXT, "
                    "updatedate TEXT, incomplete INTEGER, parent INTEGER DEFAULT -1, top INTEGER DEFAULT 0, isopen "
                    "INTEGER DEFAULT 0, timetoupdate REAL DEFAULT 0)");
    db.executeQuery("CREATE INDEX IF NOT EXISTS folder_parent ON folders (parent)");
    db.executeQuery("CREATE INDEX IF NOT EXISTS folder_path ON folders (path)");
    db.executeQuery("CREATE TABLE IF NOT EXISTS files (ID INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, folder "
                    "INTEGER, fullsearch TEXT, creationdate TEXT, modifieddate TEXT, type INTEGER, incomplete INTEGER "
                    "DEFAULT 0)");
    db.executeQuery("CREATE INDEX IF NOT EXISTS files_folder ON files (folder, name)");
    // Files are also looked up by path alone (waveforms, single records): keep that a lookup, not a scan.
    db.executeQuery("CREATE INDEX IF NOT EXISTS files_name ON files (name)");
    db.executeQuery("CREATE TABLE IF NOT EXISTS frames (ID INTEGER PRIMARY KEY AUTOINCREMENT, file INTEGER, name "
                    "TEXT, value BLOB, incomplete INTEGER)");
    db.executeQuery("CREATE INDEX IF NOT EXISTS frames_file ON frames (file, name)");
    db.executeQuery("CREATE TABLE IF NOT EXISTS waveforms (ID INTEGER PRIMARY KEY AUTOINCREMENT, file INTEGER, "
                    "nbStripes INTEGER, waveform BLOB, waveform_inverse BLOB, maxheight REAL, incomplete INTEGER)");
    db.executeQuery("CREATE INDEX IF NOT EXISTS waveforms_file ON waveforms (file, nbStripes)");
    db.executeQuery("CREATE TABLE IF NOT EXISTS tagcachefolders (ID INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT, "
                    "adddate TEXT, updatedate TEXT)");
    db.executeQuery("CREATE TABLE IF NOT EXISTS unfinishedfolders (ID INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT, "
                    "recursive INTEGER)");
    db.executeQuery("CREATE TABLE IF NOT EXISTS playlog (ID INTEGER PRIMARY KEY AUTOINCREMENT, file TEXT, filename "
                    "TEXT, playdate TEXT)");
    setPropertyValue("major_version", "9");
    setPropertyValue("minor_version", "1");
    // Every typed search got a folders row; they are remade on demand, so the table stays bounded.
    db.executeQuery("DELETE FROM folders WHERE path >= ? AND path < ?", SQLParams{"search:", "search;"});
    searchIndex->open();
    return true;
}

void TagCache::resumeUnfinished() {
    std::vector<std::vector<std::string>> rows = database->getAllRows("SELECT path, recursive FROM unfinishedfolders");
    for (const auto& row : rows) {
        if (row.size() < 2) continue;
        if (row[1] != "0")
            buildTagCache(row[0]);
        else
            getFolder(row[0], true, false, false, false);
    }
}

TagCache::~TagCache() {
    stopThreads();
    database->beginTransaction();
    for (TagCacheDirectory* list : tagCacheLoadingQueue)
        database->executeQuery("INSERT INTO unfinishedfolders (path, recursive) VALUES (?, 0)", SQLParams{list->path});
    database->commitTransaction();
    tagCacheLoadingQueue.clear();
    registry.clear();
    bool corrupt = database->sawCorruption() && fileInUse;
    searchIndex.reset();
    database.reset();
    if (corrupt) keepDamaged(false); // found damaged while running: the next start makes a new one
    if (logFile) fclose(logFile);
    pthread_cond_destroy(&loadingChanged);
    pthread_mutex_destroy(&cs_tagCacheLoading);
}

void TagCache::stopThreads() {
    if (threadsStopped.exchange(true)) return;
    stopping.store(true, std::memory_order_relaxed);
    // Build threads stopped below record their trees again; lists still queued are added at close.
    database->executeQuery("DELETE FROM unfinishedfolders");
    tagCacheLoadingThread_Stop();
}

bool TagCache::tagCacheLoadingThread_Stop() {
    buildTagCacheNeedsToStop.store(true, std::memory_order_relaxed);
    CriticalSectionGuard guard(&cs_tagCacheLoading);
    while (buildTagCacheWorking > 0)
        pthread_cond_wait(&loadingChanged, &cs_tagCacheLoading);
    if (!tagCacheLoadingThread_Handle) return false;
    if (tagCacheLoadingCurrent) {
        tagCacheLoadingCurrent->requestInterrupt();
        if (std::find(tagCacheLoadingQueue.begin(), tagCacheLoadingQueue.end(), tagCacheLoadingCurrent) ==
            tagCacheLoadingQueue.end())
            tagCacheLoadingQueue.push_back(tagCacheLoadingCurrent);
    }
    tagCacheLoadingThread_NeedsToStop = true;
    pthread_cond_broadcast(&loadingChanged); // a loading thread waiting for quiet looks again
    while (tagCacheLoadingThread_Handle)
        pthread_cond_wait(&loadingChanged, &cs_tagCacheLoading);
    return true;
}

int TagCache::writePlaylists() {
    stopThreads();
    std::vector<TagCacheDirectory*> lists;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        for (auto& entry : registry)
            lists.push_back(entry.second.get());
    }
    int failures = 0;
    for (TagCacheDirectory* list : lists) {
        if (list->path.size() <= 4 || !isRightCI(list->path, ".m3u")) continue;
        // Only what the user changed, and only when the whole file was read: a list that was
        // interrupted, or browsed while its drive was away, would be written short.
        if (!list->isDirty() || !list->isLoaded() || list->getProgress() < 1.0) continue;
        if (!list->storeToM3u(list->path)) failures++;
    }
    return failures;
}

// ---- The registry -------------------------------------------------------------------------------

std::string TagCache::normalizePath(const std::string& path, bool* dynamic) {
    std::string result = path;
    bool isDynamic = false;
    if (path.size() > 4 && isRightCI(path, ".m3u")) {
    } else if (path.size() > 4 && isRightCI(path, ".spl")) {
        isDynamic = true;
    } else if (isLeft(path, "search:")) {
        isDynamic = true;
    } else if (isLeft(path, "recurse:")) {
        while (isLeft(result, "recurse:recurse:"))
            result = result.substr(8);
        if (!isRight(result, "/")) result += "/";
    } else {
        if (result.empty()) result = "/";
        if (!isRight(result, "/")) result += "/";
    }
    size_t at;
    while ((at = result.find("//")) != std::string::npos)
        result.erase(at, 1);
    // A smart playlist's group follows its playlist.
    std::string splFile, groupValue;
    if (TagCacheDirectory::splitGroupPath(result, &splFile, &groupValue)) isDynamic = true;
    if (dynamic) *dynamic = isDynamic;
    return result;
}

std::string TagCache::registryKey(const std::string& path) {
    std::string key = strtolower(path);
    key.push_back('\0');
    key += path;
    return key;
}

TagCacheDirectory* TagCache::getFolder(const std::string& requestedPath, bool inBackground, bool urgent,
                                       bool forceRefresh, bool registerOnly) {
    bool dynamic = false;
    std::string path = normalizePath(requestedPath, &dynamic);
    // Loads on this thread (the searches' own excepted) keep the search copy waiting until after them.
    struct CallerLoad {
        std::atomic<double>* last;
        ~CallerLoad() {
            if (last) last->store(timeGetExactTime(), std::memory_order_relaxed);
        }
    } callerLoad{!inBackground && !registerOnly && !isLeft(path, "search:") ? &lastCallerLoad : nullptr};
    if (callerLoad.last) lastCallerLoad.store(timeGetExactTime(), std::memory_order_relaxed);
    std::string key = registryKey(path);
    TagCacheDirectory* list = nullptr;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        auto at = std::lower_bound(registry.begin(), registry.end(), key,
                                   [](const auto& entry, const std::string& k) { return entry.first < k; });
        if (at != registry.end() && at->first == key) {
            list = at->second.get();
        } else {
            // A placeholder: registered now, initialised and loaded below, outside the registry lock.
            // The placeholder constructor is the cache's alone (a friend): made here, not through make_unique.
            list = new TagCacheDirectory(path, database.get(), this, lengthSwitch.load(std::memory_order_relaxed),
                                         TagCacheDirectory::Deferred());
            registry.emplace(at, key, std::unique_ptr<TagCacheDirectory>(list));
        }
    }

    // Whoever takes the new list's update lock first gives it its folders row and first load.
    bool created = false;
    if (!list->initialized.load(std::memory_order_acquire)) {
        std::lock_guard<std::recursive_mutex> guard(list->updateLock);
        if (!list->initialized.load(std::memory_order_relaxed)) {
            list->init(path, inBackground, registerOnly);
            list->initialized.store(true, std::memory_order_release);
            created = true;
        }
    }

    if (created) {
        if (isLeft(path, "search:")) evictOldSearches(list);
    } else {
        bool stale = dynamic && getLastChange() > list->getLastUpdate();
        if (forceRefresh || stale) {
            forceRefresh = true;
            // Answered only by a load that begins after this: one running now (the loading thread's, or another
            // caller's) read the list as it was before, and its end must not pass for this load's.
            list->requestRefresh();
            if (!inBackground) {
                std::lock_guard<std::recursive_mutex> guard(list->updateLock);
                list->updateLocked(false);
            }
        } else if (!inBackground && !registerOnly && !(list->getProgress() >= 1.0)) {
            // Needed now but never loaded (registered only, queued, interrupted): load it here.
            std::lock_guard<std::recursive_mutex> guard(list->updateLock);
            if (!(list->getProgress() >= 1.0)) list->updateLocked(false);
        }
    }

    if (registerOnly || !inBackground) return list;
    double progress = list->getProgress();
    if ((progress >= 1.0 || std::isnan(progress)) && !forceRefresh) return list;

    // The names of sub-folders and files are wanted at once, the tags can wait.
    if (list->getKind() == TagCacheDirectory::KIND_FOLDER && !list->isListingRead())
        list->readFilesAndFoldersFromDisk();
    queueForLoading(list, urgent);
    return list;
}

void TagCache::queueForLoading(TagCacheDirectory* list, bool urgent) {
    CriticalSectionGuard guard(&cs_tagCacheLoading);
    if (stopping.load(std::memory_order_relaxed)) return;
    auto queued = std::find(tagCacheLoadingQueue.begin(), tagCacheLoadingQueue.end(), list);
    if (list == tagCacheLoadingCurrent) {
        // Being loaded already, but a refresh may have been asked for after that load began: it is looked at once
        // more after it, and passed over when it is loaded and nothing was asked.
        if (queued == tagCacheLoadingQueue.end()) tagCacheLoadingQueue.push_back(list);
    } else {
        if (queued != tagCacheLoadingQueue.end()) {
            if (urgent) {
                tagCacheLoadingQueue.erase(queued);
                tagCacheLoadingQueue.push_front(list);
            }
        } else if (urgent) {
            tagCacheLoadingQueue.push_front(list);
        } else {
            tagCacheLoadingQueue.push_back(list);
        }
        TagCacheDirectory* current = tagCacheLoadingCurrent;
        if (current && urgent) {
            current->requestInterrupt();
            // A search of up to four characters was only a step of the user's typing: drop it.
            bool shortSearch = isLeft(current->path, "search:") && current->path.size() < 12;
            if (!shortSearch && std::find(tagCacheLoadingQueue.begin(), tagCacheLoadingQueue.end(), current) ==
                                    tagCacheLoadingQueue.end())
                tagCacheLoadingQueue.push_back(current);
        }
    }
    startLoadingThreadLocked();
    pthread_cond_broadcast(&loadingChanged); // a loading thread waiting for quiet takes the list at once
}

void TagCache::startLoadingThreadLocked() {
    if (stopping.load(std::memory_order_relaxed) || tagCacheLoadingThread_Handle) return;
    if (tagCacheLoadingQueue.empty() && !searchIndex->needsBuild() && !searchSnapshotDueLocked()) return;
    tagCacheLoadingThread_NeedsToStop = false;
    tagCacheLoadingThread_Handle = CreateThread(nullptr, 0, tagCacheLoadingThread_Proc, 0, 0, this);
}

bool TagCache::searchSnapshotDueLocked() const {
    // While a build thread writes, a copy would be out of date before it is made.
    return searchSnapshotWanted.load(std::memory_order_acquire) && buildTagCacheWorking == 0 &&
           !stopping.load(std::memory_order_relaxed);
}

void TagCache::makeSearchSnapshot() {
    searchSnapshotWanted.store(false, std::memory_order_release);
    unsigned long long changes = database->getTrackChanges();
    bool listWaits = false;
    auto keepGoing = [&] {
        if (stopping.load(std::memory_order_relaxed) || database->getTrackChanges() != changes) return false;
        CriticalSectionGuard guard(&cs_tagCacheLoading);
        listWaits = !tagCacheLoadingQueue.empty() || tagCacheLoadingThread_NeedsToStop || !callersQuiet();
        return !listWaits;
    };
    // Read on a connection of its own when commits reach the file in WAL mode (the change count then
    // moves once they are there): the cache's own connection stays free for the lists meanwhile.
    std::unique_ptr<SQLDatabase> reader;
    if (readerUsable) {
        reader = std::make_unique<SQLDatabase>(databasePath, SQLDatabase::kReadOnly);
        if (reader->isOpen()) reader->executeQuery("PRAGMA mmap_size = 268435456");
    }
    SQLDatabase* source = reader && reader->isOpen() ? reader.get() : database.get();
    std::shared_ptr<const TagCacheSearchSnapshot> made =
        TagCacheSearchSnapshot::make(source, database.get(), keepGoing);
    reader.reset();
    // Put off for a list: made again after it. Given up for a change: the next search asks again.
    if (listWaits) searchSnapshotWanted.store(true, std::memory_order_release);
    if (!made || made->trackChanges != changes) return;
    std::lock_guard<std::mutex> guard(snapshotLock);
    searchSnapshot = made;
}

std::shared_ptr<const TagCacheSearchSnapshot> TagCache::getSearchSnapshot() {
    {
        std::lock_guard<std::mutex> guard(snapshotLock);
        if (searchSnapshot && searchSnapshot->trackChanges == database->getTrackChanges() &&
            searchSnapshot->dataVersion == database->getDataVersion())
            return searchSnapshot;
        searchSnapshot.reset(); // out of date: its memory goes now
    }
    searchSnapshotWanted.store(true, std::memory_order_release);
    CriticalSectionGuard guard(&cs_tagCacheLoading);
    startLoadingThreadLocked();
    return nullptr;
}

bool TagCache::callersQuiet() const {
    return timeGetExactTime() - lastCallerLoad.load(std::memory_order_relaxed) >= kCallersQuietMs;
}

void TagCache::searchIndexFailed() {
    searchIndex->markDamaged();
    CriticalSectionGuard guard(&cs_tagCacheLoading);
    startLoadingThreadLocked();
}

void* TagCache::tagCacheLoadingThread_Proc(void* argument) {
    static_cast<TagCache*>(argument)->loadingThreadRun();
    return nullptr;
}

void TagCache::loadingThreadRun() {
    for (;;) {
        CriticalSectionGuard taking(&cs_tagCacheLoading);
        if (tagCacheLoadingQueue.empty() && !tagCacheLoadingThread_NeedsToStop &&
            (searchSnapshotDueLocked() || searchIndex->needsBuild())) {
            // Lists first; then what searches read (the copy, then the index's steps), once lists
            // loaded on other threads are done: both go through the database those loads use.
            if (!callersQuiet()) {
                struct timespec until;
                clock_gettime(CLOCK_REALTIME, &until);
                until.tv_nsec += kQuietCheckNs;
                if (until.tv_nsec >= 1000000000L) {
                    until.tv_sec++;
                    until.tv_nsec -= 1000000000L;
                }
                pthread_cond_timedwait(&loadingChanged, &cs_tagCacheLoading, &until);
                continue;
            }
            bool copy = searchSnapshotDueLocked();
            taking.unlock();
            if (copy)
                makeSearchSnapshot();
            else
                searchIndex->buildStep();
            continue;
        }
        if (tagCacheLoadingQueue.empty() || tagCacheLoadingThread_NeedsToStop) {
            tagCacheLoadingThread_NeedsToStop = false;
            CloseThreadHandle(tagCacheLoadingThread_Handle);
            tagCacheLoadingThread_Handle = nullptr;
            pthread_cond_broadcast(&loadingChanged);
            // Nothing of the cache is touched after the unlock at this return: the destructor may run at once.
            return;
        }
        TagCacheDirectory* list = tagCacheLoadingQueue.front();
        tagCacheLoadingQueue.pop_front();
        tagCacheLoadingCurrent = list;
        list->interrupt.store(false, std::memory_order_relaxed);
        taking.unlock();

        {
            std::lock_guard<std::recursive_mutex> guard(list->updateLock);
            // Loaded on another thread since it was queued: nothing left to do.
            if (!(list->getProgress() >= 1.0)) list->updateLocked(true);
        }

        CriticalSectionGuard done(&cs_tagCacheLoading);
        list->interrupt.store(false, std::memory_order_relaxed);
        tagCacheLoadingCurrent = nullptr;
    }
}

void TagCache::evictOldSearches(TagCacheDirectory* keep) {
    std::vector<TagCacheDirectory*> searches;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        for (auto& entry : registry)
            if (entry.second.get() != keep && isLeft(entry.second->path, "search:") && entry.second->getNbTags() > 0)
                searches.push_back(entry.second.get());
    }
    if (searches.size() < kMaxLoadedSearches) return;
    std::sort(searches.begin(), searches.end(),
              [](TagCacheDirectory* a, TagCacheDirectory* b) { return a->getLastUpdate() < b->getLastUpdate(); });
    std::vector<TagCacheDirectory*> busy;
    {
        CriticalSectionGuard guard(&cs_tagCacheLoading);
        busy.assign(tagCacheLoadingQueue.begin(), tagCacheLoadingQueue.end());
        busy.push_back(tagCacheLoadingCurrent);
    }
    size_t excess = searches.size() + 1 - kMaxLoadedSearches;
    for (size_t i = 0; i < excess; i++)
        if (std::find(busy.begin(), busy.end(), searches[i]) == busy.end()) searches[i]->evict();
}

TagCacheDirectory* TagCache::getFolder(unsigned int index) {
    std::lock_guard<std::mutex> guard(registryLock);
    return index < registry.size() ? registry[index].second.get() : nullptr;
}

int TagCache::getNbFolders() {
    std::lock_guard<std::mutex> guard(registryLock);
    return int(registry.size());
}

bool TagCache::isBusy() {
    CriticalSectionGuard guard(&cs_tagCacheLoading);
    return tagCacheLoadingThread_Handle != nullptr || buildTagCacheWorking > 0 || !tagCacheLoadingQueue.empty();
}

bool TagCache::waitUntilIdle(double timeoutMs) {
    double start = timeGetExactTime();
    while (isBusy()) {
        if (timeGetExactTime() - start > timeoutMs) return false;
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

std::vector<std::string> TagCache::getQueuedPaths() {
    std::vector<std::string> paths;
    CriticalSectionGuard guard(&cs_tagCacheLoading);
    for (TagCacheDirectory* list : tagCacheLoadingQueue)
        paths.push_back(list->path);
    return paths;
}

bool TagCache::isQueued(const TagCacheDirectory* list) {
    CriticalSectionGuard guard(&cs_tagCacheLoading);
    return list == tagCacheLoadingCurrent ||
           std::find(tagCacheLoadingQueue.begin(), tagCacheLoadingQueue.end(), list) != tagCacheLoadingQueue.end();
}

void TagCache::findBuiltRecords(const std::vector<long long>& fileIDs, std::vector<TagPtr>* records) {
    records->assign(fileIDs.size(), TagPtr());
    std::lock_guard<std::mutex> guard(builtLock);
    if (builtSince != getLastChange()) {
        builtRecords.clear();
        builtSwept = 0;
        return;
    }
    for (size_t i = 0; i < fileIDs.size(); i++) {
        auto at = builtRecords.find(fileIDs[i]);
        if (at != builtRecords.end()) (*records)[i] = at->second.lock();
    }
}

void TagCache::keepBuiltRecords(const std::vector<long long>& fileIDs, const std::vector<TagPtr>& records,
                                double since) {
    std::lock_guard<std::mutex> guard(builtLock);
    // Something was written meanwhile: these may show frames as they were before.
    if (since != getLastChange()) return;
    if (builtSince != since) {
        builtRecords.clear();
        builtSwept = 0;
        builtSince = since;
    }
    for (size_t i = 0; i < fileIDs.size() && i < records.size(); i++)
        if (records[i]) builtRecords[fileIDs[i]] = records[i];
    if (builtRecords.size() > std::max<size_t>(4096, 2 * builtSwept)) {
        for (auto at = builtRecords.begin(); at != builtRecords.end();)
            at = at->second.expired() ? builtRecords.erase(at) : std::next(at);
        builtSwept = builtRecords.size();
    }
}

void TagCache::touchLastChange() {
    lastChange.store(timeGetExactTime(), std::memory_order_relaxed);
}

// ---- Building trees -----------------------------------------------------------------------------

void TagCache::buildTagCache(const std::string& requestedPath) {
    // One row per tree, however its path was written.
    std::string path = normalizePath(requestedPath, nullptr);
    std::string now = getUnixTime();
    std::string id = database->getOneResult("SELECT ID FROM tagcachefolders WHERE path = ?", SQLParams{path});
    if (!id.empty())
        database->executeQuery("UPDATE tagcachefolders SET updatedate = ? WHERE ID = ?", SQLParams{now, id});
    else
        database->executeQuery("INSERT INTO tagcachefolders (path, adddate, updatedate) VALUES (?, ?, ?)",
                               SQLParams{path, now, now});
    if (stopping.load(std::memory_order_relaxed)) return;
    TagCacheDirectory* root = getFolder(path, true, false, false, false);

    // Counted before the thread starts, so a shut-down right now waits for it.
    {
        CriticalSectionGuard guard(&cs_tagCacheLoading);
        if (stopping.load(std::memory_order_relaxed)) return;
        buildTagCacheWorking++;
        // The build changes what searches read: the copy is made again when a search asks for it.
        searchSnapshotWanted.store(false, std::memory_order_release);
    }
    BuildArguments* arguments = new BuildArguments{this, root->path};
    THREAD_HANDLE handle = CreateThread(nullptr, 0, tagCacheBuildTagCacheThread_Proc, 0, 0, arguments);
    if (handle) {
        CloseThreadHandle(handle);
    } else {
        delete arguments;
        CriticalSectionGuard guard(&cs_tagCacheLoading);
        buildTagCacheWorking--;
        pthread_cond_broadcast(&loadingChanged);
    }
}

void* TagCache::tagCacheBuildTagCacheThread_Proc(void* argument) {
    BuildArguments* arguments = static_cast<BuildArguments*>(argument);
    TagCache* cache = arguments->cache;
    std::string root = arguments->root;
    delete arguments;
    cache->buildThreadRun(root);
    return nullptr;
}

void TagCache::buildThreadRun(const std::string& rootPath) {
    std::deque<std::string> pending;
    pending.push_back(rootPath);
    // Folders by device and inode: a symbolic link back up the tree is walked once, not for ever.
    std::set<std::pair<dev_t, ino_t>> visited;
    int count = 0;
    while (!pending.empty() && !buildTagCacheNeedsToStop.load(std::memory_order_relaxed)) {
        std::string path = pending.front();
        pending.pop_front();
        std::string folder = TagCacheDirectory::stripLast(path);
        struct stat info;
        if (stat(folder.empty() ? "/" : folder.c_str(), &info) != 0) continue;
        if (!visited.insert(std::make_pair(info.st_dev, info.st_ino)).second) continue;
        count++;
        getFolder(path, true, false, false, false);
        std::vector<std::string> folders, files;
        std::vector<time_t> times;
        TagCacheDirectory::readDirectory(folder, &folders, &files, &times);
        for (const std::string& name : folders)
            pending.push_back(path + name + "/");
    }
    if (!pending.empty())
        database->executeQuery("INSERT INTO unfinishedfolders (path, recursive) VALUES (?, 1)", SQLParams{rootPath});
    printf("Building tag cache for %d folders (%s and sub-folders).\n", count, rootPath.c_str());

    CriticalSectionGuard guard(&cs_tagCacheLoading);
    buildTagCacheWorking--;
    pthread_cond_broadcast(&loadingChanged);
}

// ---- Waveforms, single records, properties, log ------------------------------------------------

bool TagCache::setWaveForm(const std::string& path, int nbStripes, const std::string& waveform, double maxHeight,
                           int incomplete) {
    std::string id = database->getOneResult("SELECT ID FROM files WHERE name = ?", SQLParams{path});
    if (id.empty()) return false;
    database->beginTransaction();
    // The old overview is deleted only together with the new one's insert.
    bool ok =
        database->executeQuery("DELETE FROM waveforms WHERE file = ? AND nbStripes = ?", SQLParams{id, nbStripes}) &&
        database->executeQuery(
            "INSERT INTO waveforms (file, waveform, maxheight, incomplete, nbStripes) VALUES (?, ?, ?, ?, ?)",
            SQLParams{id, SQLParam::blob(waveform), maxHeight, incomplete, nbStripes});
    if (!ok) {
        database->rollbackTransaction();
        return false;
    }
    return database->commitTransaction();
}

std::string TagCache::getWaveForm(const std::string& path, int nbStripes, double* maxHeight, int* incomplete) {
    std::vector<std::vector<std::string>> rows = database->getAllRows(
        "SELECT waveforms.waveform, waveforms.maxheight, waveforms.incomplete FROM waveforms, files WHERE files.ID = "
        "waveforms.file AND files.name = ? AND waveforms.nbStripes = ? LIMIT 1",
        SQLParams{path, nbStripes});
    if (rows.empty() || rows[0].size() < 3) {
        // Not cached yet: let the file's folder enter the cache.
        getFolder(getFilePath(path), true, false, false, false);
        return "";
    }
    if (maxHeight) *maxHeight = strToDbl(rows[0][1]);
    if (incomplete) *incomplete = strToInt(rows[0][2]);
    return rows[0][0];
}

bool TagCache::storeDeckRecord(CID3v2Tag* record, int nbStripes, const std::string& waveform, double maxHeight) {
    if (!record) return false;
    const std::string path = record->getPath();
    auto fileID = [&] { return database->getOneResult("SELECT ID FROM files WHERE name = ?", SQLParams{path}); };
    // Closed before its folder's listing stored it: stored now, as the listing would. The folder is
    // registered before the transaction (the database's lock is the last one taken).
    TagCacheDirectory* folder = nullptr;
    if (TagCacheDirectory::isValidFileType(path) && fileID().empty() && FileExist(path))
        folder = getFolder(getFilePath(path), true, false, false, true);
    database->beginTransaction();
    std::string id = fileID();
    if (id.empty() && folder) id = folder->insertTagInDB(record, "", true);
    bool ok = !id.empty();
    if (ok) {
        std::vector<std::vector<std::string>> wanted;
        for (const char* name : CID3v2Tag::kDeckFrames) {
            const std::string* data = record->getFrame(name, true);
            wanted.push_back({name, data ? *data : std::string()});
        }
        // Written only when they changed: every write of the frames table makes the searches' copy anew.
        const SQLParams mine{id, CID3v2Tag::kDeckFrames[0], CID3v2Tag::kDeckFrames[1]};
        if (database->getAllRows("SELECT name, value FROM frames WHERE file = ? AND name IN (?, ?) ORDER BY ID",
                                 mine) != wanted) {
            ok = database->executeQuery("DELETE FROM frames WHERE file = ? AND name IN (?, ?)", mine);
            // Blobs: a LIKE that skips blobs (Debian's SQLite) never finds cue times or gains among the tags; one
            // that reads them as text treats them as any binary frame.
            for (size_t i = 0; i < wanted.size() && ok; i++)
                ok = database->executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, ?, ?, 0)",
                                            SQLParams{id, wanted[i][0], SQLParam::blob(wanted[i][1])});
        }
        if (ok && !waveform.empty()) ok = setWaveForm(path, nbStripes, waveform, maxHeight, 1);
    }
    // A statement that failed undoes the rest: the cue points stored before stay rather than go with a failed insert.
    if (!ok) database->rollbackTransaction();
    if (ok && database->commitTransaction()) return true;
    // A track the cache does not hold (not of a listed type, or gone) has nowhere to keep them: nothing failed.
    if (!id.empty() || folder)
        fprintf(stderr,
                "Cue points of %s not saved (the tag cache could not store them); those stored before are kept\n",
                path.c_str());
    return false;
}

void TagCache::restoreDeckFrames(CID3v2Tag* record) {
    if (!record) return;
    std::vector<std::vector<std::string>> rows = database->getAllRows(
        "SELECT frames.name, frames.value FROM files, frames WHERE files.name = ? AND frames.file = files.ID AND "
        "frames.name IN (?, ?) ORDER BY frames.ID",
        SQLParams{record->getPath(), CID3v2Tag::kDeckFrames[0], CID3v2Tag::kDeckFrames[1]});
    for (auto& row : rows) {
        if (row.size() < 2) continue;
        std::string& value = row[1];
        // As from a file: a damaged database cannot make the deck's edits of the events slow.
        if (row[0] == "ETCO" && value.size() > CID3v2Tag::kMaxETCOBytes) value.resize(CID3v2Tag::kMaxETCOBytes);
        record->setFrame(row[0], value.empty() ? nullptr : &value, 0);
    }
}

TagPtr TagCache::getTagByFilename(const std::string& path) {
    TagCacheDirectory* list = getFolder(getFilePath(path), true, false, false, true);
    return list->getOrAddTag(path);
}

std::string TagCache::getPropertyValue(const std::string& key) {
    return database->getOneResult("SELECT value FROM properties WHERE key = ?", SQLParams{key});
}

void TagCache::setPropertyValue(const std::string& key, const std::string& value) {
    database->beginTransaction();
    std::string id = database->getOneResult("SELECT ID FROM properties WHERE key = ?", SQLParams{key});
    if (!id.empty())
        database->executeQuery("UPDATE properties SET value = ? WHERE ID = ?", SQLParams{value, id});
    else
        database->executeQuery("INSERT INTO properties (key, value) VALUES (?, ?)", SQLParams{key, value});
    database->commitTransaction();
}

void TagCache::log(const std::string& text) {
    std::lock_guard<std::mutex> guard(logLock);
    if (!logFile) {
        if (logFailed) return;
        logFile = fileOpen(getFilePath(databasePath) + "dblogfile.txt", "wb");
        if (!logFile) {
            logFailed = true;
            return;
        }
    }
    fwrite(text.data(), 1, text.size(), logFile);
    fflush(logFile);
}
