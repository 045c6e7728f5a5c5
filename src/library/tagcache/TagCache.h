// The tag cache: what the tag readers found in the user's audio files, kept in an SQLite database
// ("tagcache.db" in the user data folder) so that folders, playlists, smart playlists and searches
// list quickly, plus what the decks keep of a track (its overview, cue points, loops and replay
// gain). It owns the registry of browsable lists, one background loading thread that fills queued
// lists, and build threads that walk folder trees.
//
// Threads: getFolder and the rest may be called from the main thread and the controllers' thread;
// the loading thread and the build threads call back into it. Lock order: a list's update lock, then
// the registry lock or the loading lock (never both), then a list's data lock or the database's
// transaction lock. No list is loaded while the registry lock or the loading lock is held.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/PlatformIndependent.h"
#include "library/tagcache/SQLDatabase.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tagcache/TagCacheSearchIndex.h"
#include "library/tagcache/TagCacheSearchSnapshot.h"

class CID3v2Tag;

class TagCache {
public:
    // Opens (creating folders and file when missing) or upgrades the database to version 9.1 and
    // resumes the lists left unfinished by the last run. A file that is corrupt or not a database is
    // moved aside as it was found, its log beside it ("tagcache.db.corrupt"), and a new one made: the
    // cache can always be rebuilt. One that cannot be opened or is locked by another program is left
    // as it is, and this session keeps its cache in a temporary database.
    explicit TagCache(const std::string& databasePath);
    // Stops the threads, records the unfinished lists, deletes the lists and closes the database; one found
    // damaged meanwhile is moved aside.
    virtual ~TagCache();
    TagCache(const TagCache&) = delete;
    TagCache& operator=(const TagCache&) = delete;

    // The list for a folder path, an .m3u or .spl file, a group "x.spl/Value/", "search:" + text or
    // "recurse:" + folder; registered when new. Never null; valid for the life of the cache.
    // inBackground false: loaded now on this thread when new, not yet loaded, or refreshed.
    // inBackground true: queued for the loading thread (urgent: at the front, interrupting the list
    // being loaded); the listing of a disk folder never loaded is read at once. registerOnly: only registered.
    TagCacheDirectory* getFolder(const std::string& path, bool inBackground, bool urgent, bool forceRefresh,
                                 bool registerOnly);
    TagCacheDirectory* getFolder(unsigned int index);
    int getNbFolders();

    // Records the folder in tagcachefolders and walks its tree in a build thread of its own.
    void buildTagCache(const std::string& path);

    // Waveform overview bytes of a file for a stripe count; stored only for files in the cache.
    // False when nothing was stored (the file is not in the cache, or a statement failed: the old one is kept).
    bool setWaveForm(const std::string& path, int nbStripes, const std::string& waveform, double maxHeight,
                     int incomplete);
    // "" (outputs untouched) when none is stored; the file's folder is then queued.
    std::string getWaveForm(const std::string& path, int nbStripes, double* maxHeight, int* incomplete);

    // What a deck keeps of a track it closes, in one transaction: the frames it writes into the track's
    // record (CID3v2Tag::kDeckFrames; one the record lacks is stored empty) and, when `waveform` is not
    // empty, its overview. A file the cache does not hold yet is stored first when it is of a type the
    // lists hold; otherwise nothing is kept. The record is not changed. All or nothing: false, with what was
    // stored before left as it was, when a statement failed (or the file is not kept).
    bool storeDeckRecord(CID3v2Tag* record, int nbStripes, const std::string& waveform, double maxHeight);
    // Gives a record read from its file the deck frames stored for that file; a frame stored empty is
    // taken out of the record.
    void restoreDeckFrames(CID3v2Tag* record);

    // The record of one file, kept by its folder's list (shared: it stays valid while held).
    TagPtr getTagByFilename(const std::string& path);

    std::string getPropertyValue(const std::string& key);
    void setPropertyValue(const std::string& key, const std::string& value);

    // Appends to "dblogfile.txt" beside the database (created afresh at the first message).
    void log(const std::string& text);
    void setLogging(bool on) { logSwitch.store(on, std::memory_order_relaxed); }
    bool isLogging() const { return logSwitch.load(std::memory_order_relaxed); }
    // Handed to lists made from now on: add a missing "TLEN" from the audio file.
    void setComputeLengths(bool on) { lengthSwitch.store(on, std::memory_order_relaxed); }

    // Time (ms, timeGetExactTime) of the last write of a track into the database.
    double getLastChange() const { return lastChange.load(std::memory_order_relaxed); }
    void touchLastChange();

    // Stops the build threads and the loading thread (the lists being loaded are recorded as
    // unfinished at close); no thread starts afterwards. Idempotent.
    void stopThreads();
    // Writes back every m3u playlist that was loaded completely and changed in memory, after the
    // threads have stopped. Returns the number of playlists that could not be written.
    int writePlaylists();

    // Records built from the database lately, by file ID, while the cache has not changed since:
    // a search typed on, a smart playlist's groups or a list loaded again reuse them. `since` is
    // getLastChange() read before the records were built; they are kept only when nothing changed.
    void findBuiltRecords(const std::vector<long long>& fileIDs, std::vector<TagPtr>* records);
    void keepBuiltRecords(const std::vector<long long>& fileIDs, const std::vector<TagPtr>& records, double since);

    // Searches may narrow their frames through the search index (built, and not found damaged).
    bool isSearchIndexReady() const { return searchIndex && searchIndex->isReady(); }
    // A query through the search index failed: it is rebuilt on the loading thread.
    void searchIndexFailed();
    // Frames just stored join the search index once enough wait (see TagCacheSearchIndex::catchUp).
    void searchIndexCatchUp() { searchIndex->catchUp(); }
    // The in-memory copy searches read, when the files and frames have not changed since it was
    // made; else null, and a new one is made on the loading thread (once no list waits and no build
    // thread writes).
    std::shared_ptr<const TagCacheSearchSnapshot> getSearchSnapshot();

    // True while the cache is shutting down: loads stop at their next check.
    bool isStopping() const { return stopping.load(std::memory_order_relaxed); }
    SQLDatabase* getDatabase() { return database.get(); }
    const std::string& getDatabasePath() const { return databasePath; }
    // Whether the loading thread or a build thread is running (tests wait on it).
    bool isBusy();
    // Blocks until the queue is empty and no thread runs, or until timeoutMs passed; true when idle.
    bool waitUntilIdle(double timeoutMs);
    // Snapshot of the loading queue's paths, front first (tests and diagnostics).
    std::vector<std::string> getQueuedPaths();
    // Whether the list waits in the loading queue or is being loaded now.
    bool isQueued(const TagCacheDirectory* list);

    // The registered form of a path: "//" collapsed, "/" appended to folders, "recurse:recurse:"
    // reduced. `dynamic` tells whether the list refreshes itself after the cache changed.
    static std::string normalizePath(const std::string& path, bool* dynamic);

private:
    static void* tagCacheLoadingThread_Proc(void* argument);
    static void* tagCacheBuildTagCacheThread_Proc(void* argument);
    bool tagCacheLoadingThread_Stop();
    void loadingThreadRun();
    void buildThreadRun(const std::string& rootPath);
    void openDatabase();
    // This session's cache in a private temporary database, the file at databasePath left alone.
    void useTemporaryDatabase();
    // Moves the damaged database aside as tagcache.db.corrupt, else .corrupt2, .corrupt3 ... (as the damaged settings
    // files are kept), with its log files, and says in one line on stderr what was done (found at open, or while
    // running). False when it could not be moved: it is then left where it is.
    bool keepDamaged(bool atOpen);
    // Creates or upgrades the tables; false, with nothing created, when tables of the cache's names are not its own
    // or its version cannot be read.
    bool createSchema();
    bool tablesAreOurs();
    void resumeUnfinished();
    void queueForLoading(TagCacheDirectory* list, bool urgent);
    // Starts the loading thread when it has lists to load or an index to build; under cs_tagCacheLoading.
    void startLoadingThreadLocked();
    void evictOldSearches(TagCacheDirectory* keep);
    // Whether the loading thread is to make a search snapshot; under cs_tagCacheLoading.
    bool searchSnapshotDueLocked() const;
    void makeSearchSnapshot();
    static std::string registryKey(const std::string& path);

    std::string databasePath;
    std::unique_ptr<SQLDatabase> database;
    std::unique_ptr<TagCacheSearchIndex> searchIndex; // over `database`; made with it

    // The registry: every list ever asked for, owned, sorted by its key (lower-cased path, then the
    // path itself: paths are case-sensitive, the order stays the one users see).
    std::vector<std::pair<std::string, std::unique_ptr<TagCacheDirectory>>> registry;
    std::mutex registryLock;

    // Loading machinery, guarded by cs_tagCacheLoading.
    std::deque<TagCacheDirectory*> tagCacheLoadingQueue;
    TagCacheDirectory* tagCacheLoadingCurrent = nullptr;
    CRITICAL_SECTION cs_tagCacheLoading;
    pthread_cond_t loadingChanged; // signalled when the loading thread or a build thread ends
    THREAD_HANDLE tagCacheLoadingThread_Handle = nullptr;
    bool tagCacheLoadingThread_NeedsToStop = false;
    int buildTagCacheWorking = 0; // build threads started and not yet ended

    std::atomic<bool> buildTagCacheNeedsToStop{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> threadsStopped{false};
    std::atomic<bool> logSwitch{false};
    std::atomic<bool> lengthSwitch{false};
    std::atomic<double> lastChange{0.0};
    // When a folder or playlist was last loaded on a caller's thread (ms; opening counts): the
    // search copy is made once none has been for a moment, not while it would slow them down.
    std::atomic<double> lastCallerLoad{0.0};
    bool callersQuiet() const;

    std::shared_ptr<const TagCacheSearchSnapshot> searchSnapshot; // guarded by snapshotLock
    std::mutex snapshotLock;
    // Made at open too (once the first lists are loaded), so that the first search has it; after
    // a build starts, only when a search asks.
    std::atomic<bool> searchSnapshotWanted{true};
    bool readerUsable = false; // the file is in WAL mode: the copy may be read on a second connection
    bool fileInUse = true;     // `database` is the file at databasePath, not a temporary one

    // Built records, held weakly: the lists hold them. Guarded by builtLock.
    std::unordered_map<long long, std::weak_ptr<CID3v2Tag>> builtRecords;
    double builtSince = 0; // getLastChange() the records were built at
    size_t builtSwept = 0; // size after the last sweep of records gone
    std::mutex builtLock;

    std::mutex logLock;
    FILE* logFile = nullptr;
    bool logFailed = false;
};
