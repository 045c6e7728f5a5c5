// One browsable list of tracks: a disk folder (kind 0), an m3u playlist or a smart playlist and its
// groups (kind 1), a search or a recursive folder listing (kind 2), or an iTunes list (kind 3, always
// empty). Lists are made and registered by TagCache::getFolder, loaded by update() on the cache's
// loading thread or on the caller's thread, and read by the user interface meanwhile.
//
// Threads: every accessor takes the list's data lock, so the user interface may read, sort and edit
// a list while the loading thread fills it. update() runs under the list's update lock (one load of
// a list at a time) and holds the data lock only while it changes the records. Records are shared:
// a record handed to an m3u, recursive or search list, or returned by getTagShared, stays valid as
// long as someone holds it; getTag's raw pointer stays valid while the list keeps the record and
// for at least a second after it left the list (a reload on the loading thread must not free a
// record the user interface is drawing).
#pragma once

#include <atomic>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "library/tagcache/SQLDatabase.h"
#include "library/tagcache/TagCacheSearchSnapshot.h"

class CID3v2Tag;
class TagCache;

typedef std::shared_ptr<CID3v2Tag> TagPtr;

// A query with its bound values, as built from a smart playlist or a search text.
struct TagCacheQuery {
    std::string sql;
    SQLParams params;
    bool valid = false;
    bool indexed = false; // narrowed through the search index
};

// A smart playlist (.spl) turned into queries: the tracks, and the group values when it groups.
struct SmartPlaylistQuery {
    bool valid = true;
    std::string sortKey;  // frame id to sort by, "" for none
    std::string groupKey; // frame id to group by, "" for none
    TagCacheQuery tracks;
    TagCacheQuery groups; // valid only with a group key; its last parameter, the tracks' IDs, is added when run
    bool tracksInFileOrder = false; // the tracks' query says ORDER BY files.ID
    // The tracks' conditions as rules (each line's alternatives; the lines all must hold), for
    // listing them without the query (with groupKey: only files that have that frame).
    std::vector<std::vector<TagCacheRule>> rules;
};

class TagCacheDirectory {
public:
    enum Kind { KIND_FOLDER = 0, KIND_PLAYLIST = 1, KIND_DYNAMIC = 2, KIND_ITUNES = 3 };

    // Registers the list's folders row and loads it now (without inBackground) or reads a disk
    // folder's listing; with registerOnly the list is only marked partial. `cache` may be null.
    TagCacheDirectory(const std::string& path, SQLDatabase* database, TagCache* cache, bool inBackground,
                      bool computeLengths, bool registerOnly);
    virtual ~TagCacheDirectory();
    TagCacheDirectory(const TagCacheDirectory&) = delete;
    TagCacheDirectory& operator=(const TagCacheDirectory&) = delete;

    // The list's path as registered: a disk folder ends in "/". Never changes after construction.
    std::string path;

    // ---- Reading (any thread) ----
    int getNbTags() const;
    // The i-th record, or null past the end (the list may shrink between calls).
    CID3v2Tag* getTag(int i) const;
    TagPtr getTagShared(int i) const;
    int getNbFiles() const;
    std::string getFile(int i) const; // a name, not a path; "" past the end
    int getNbFolders() const;
    std::string getFolder(int i) const; // a sub-folder name or a group value; "" past the end
    // 0 from a refresh request until a load begins after it, whatever a load begun before sets meanwhile.
    double getProgress() const {
        if (refreshesAsked.load(std::memory_order_acquire) != refreshesBegun.load(std::memory_order_acquire))
            return 0.0;
        return progress.load(std::memory_order_relaxed);
    }
    // Asks for the list to be read again, by the next load to begin: a loaded playlist reloads, and a folder's
    // listing read before the request is read again.
    void requestRefresh() { refreshesAsked.fetch_add(1, std::memory_order_acq_rel); }
    int getKind() const { return kind; }
    bool isLoaded() const { return loaded.load(std::memory_order_relaxed); }
    std::string getFolderID() const;
    std::string getSortKey() const;
    // Time of the last update(), ms (timeGetExactTime); 0 before the first.
    double getLastUpdate() const { return lastUpdate.load(std::memory_order_relaxed); }
    // An m3u playlist changed in memory since it was loaded or written.
    bool isDirty() const { return dirty.load(std::memory_order_relaxed); }

    // ---- Changing ----
    // Reloads the list by its kind. A loaded playlist is reloaded only after requestRefresh().
    void update();
    // Sorts by the lower-cased text of the frame `key` (then the second sort key); records without
    // the frame come first. Sorting twice by the same key does the work once.
    void sort(const std::string& key);
    void setSecondSortKey(const std::string& key);
    // Moves one record by swaps of neighbours; `from` outside the list does nothing, `to` is clamped.
    void moveItem(int from, int to);
    // Removes the record with that path (the one at `index` when it matches, else the first match);
    // with an empty path the one at `index`. The record itself lives on while others hold it.
    void removeTag(const std::string& path, int index);
    // Appends a record. readFresh: a new record read from the given record's file (the caller keeps
    // its own). Otherwise the list takes ownership of `record`. Either keeps no pictures or other large
    // frames (CID3v2Tag::emptyLargeFrames).
    void addTag(CID3v2Tag* record, bool readFresh);
    void addTag(const TagPtr& record);
    // Appends the record of a file (from the database when cached and unchanged, else read from
    // the file and stored) and returns it.
    CID3v2Tag* addTag(const std::string& path, bool anyFolder, bool fromDatabase);
    void clear(bool keepListing);

    // ---- Playlists, smart playlists, searches ----
    // Writes the tracks' paths, one a line, to a temporary file renamed over `path`; lines of the
    // loaded file that named missing files are kept in place. False (old file intact) on failure.
    bool storeToM3u(const std::string& path);
    // fallback: run instead when the query fails (one through the search index, which is then rebuilt).
    // listedIDs: given, it gets the IDs of the files the query listed, each once, in its order.
    void initFromQuery(const std::string& sql, const SQLParams& params = SQLParams(),
                       const TagCacheQuery* fallback = nullptr, std::vector<std::string>* listedIDs = nullptr);
    // Lists the files of rows (files.ID, files.name, files.modifieddate; a file once), in their
    // order: unchanged ones from the database, changed ones read again, gone ones deleted. start:
    // when the listing began (timeGetExactTime), for the progress shown.
    void initFromRows(const std::vector<const std::vector<std::string>*>& rows, double start,
                      std::vector<std::string>* listedIDs = nullptr);
    void initFoldersFromQuery(const std::string& sql, const SQLParams& params = SQLParams());
    // The frame id of a field word of the rule language: artist TPE1, title TIT2, genre TCON, bpm
    // TBPM, comments COMM, album TALB, year TYER, color TXXX, any "" (any frame); other words as written.
    static std::string getFrameIDFromDescription(const std::string& word);
    // 3 or 4 ASCII letters and digits: the only frame ids stored or put into a query.
    static bool isValidFrameID(const std::string& id);
    // The rule language. groupValue: the group's value for a group list, else "".
    // Prints "Error in query" when a line is invalid; the result is then invalid and runs nothing.
    static SmartPlaylistQuery parseSmartPlaylist(const std::string& text, const std::string& groupValue);
    // A search for every word of the text in any stored frame; invalid without words. Files come
    // once per frame holding the first word, in the order of those frames. useIndex: words with
    // three characters or more between wildcards are looked up in the search index first (the
    // rows and their order stay the same); without such a word the plain query.
    static TagCacheQuery buildSearchQuery(const std::string& text, bool useIndex = false);
    // The words of a search as its query asks for them (LIKE wildcards for "?" and "*", quoted
    // words whole, each once); false, and none, when the search lists nothing.
    static bool searchWords(const std::string& text, std::vector<std::string>* words);
    // The non-empty, non-comment lines of an m3u text, trimmed.
    static std::vector<std::string> parseM3u(const std::string& text);
    // The path with "." and ".." resolved and "//" collapsed, without touching the disk.
    static std::string cleanPath(const std::string& file);

    // ---- Used inside the music library ----
    // Reads a disk folder's listing now, unless the list knows its names (listed, or loaded before).
    void readFilesAndFoldersFromDisk();
    // Stores a record read from its file: its text frames replace the file's stored ones, while what the
    // decks stored for the file (CID3v2Tag::kDeckFrames) stays. The record's frames that are not stored are
    // emptied, unless `leaveRecord` (a deck's record, still in use). The file's ID; "" when its folder has no row.
    std::string insertTagInDB(CID3v2Tag* record, std::string folderID, bool leaveRecord = false);
    // fileID and folderID are in-out; null when the file is not cached.
    TagPtr getTagFromDB(std::string& fileID, const std::string& path, bool checkModified, std::string& folderID);
    std::string insertFolderInDB(const std::string& path, std::string parentID, bool returnID);
    static bool isValidFileType(const std::string& name);
    // Stops the running load at its next check (set by other threads).
    void requestInterrupt() { interrupt.store(true, std::memory_order_relaxed); }
    bool isListingRead() const;
    // The record of one file of this folder, added when missing; when the list is being loaded
    // by another thread, a record of the file that the list does not keep.
    TagPtr getOrAddTag(const std::string& path);
    // Frees the records of a search that is no longer shown (it reloads when asked for again).
    void evict();

    // A group of a smart playlist: "/pl/x.spl/Value/" gives "/pl/x.spl" and "Value" (which may hold
    // "/"); ".spl" is recognised in any case.
    static bool splitGroupPath(const std::string& path, std::string* splFile, std::string* value);
    // One level of a folder (no trailing "/"), following symbolic links: visible sub-folders and
    // regular files, each sorted by name with case folded; times are the files' modification times.
    // False when the folder cannot be read (the lists are then empty).
    // changeTimes: when given, the files' status change times as well.
    static bool readDirectory(const std::string& folder, std::vector<std::string>* folders,
                              std::vector<std::string>* files, std::vector<time_t>* times,
                              std::vector<time_t>* changeTimes = nullptr);
    // The text without its last character: a folder path without its trailing "/".
    static std::string stripLast(const std::string& text) {
        return text.empty() ? text : text.substr(0, text.size() - 1);
    }
    // Text of at most `maxBytes`, cut at a UTF-8 character boundary.
    static std::string cutUtf8(const std::string& text, size_t maxBytes);

private:
    friend class TagCache;
    struct Deferred {};
    TagCacheDirectory(const std::string& path, SQLDatabase* database, TagCache* cache, bool computeLengths, Deferred);
    void construct(const std::string& path, SQLDatabase* database, TagCache* cache, bool computeLengths);
    // The part of construction that touches the database and the disk (outside the registry lock).
    void init(const std::string& requestedPath, bool inBackground, bool registerOnly);
    void updateLocked(bool byLoader);
    // Reads the folder's listing (under the update lock); false when the folder cannot be read.
    bool readListing(std::vector<time_t>* changeTimes = nullptr);
    bool isInterrupted() const;
    void initFromDB();
    void updateFromDisk();
    // The end of a load: the folders row marked complete (or not) and the list loaded (or not).
    void finishUpdate(const std::string& folderID, bool interrupted);
    void initFromPlaylist();
    void initFromDynamicList(const std::string& listPath);
    void initFromItunes() {}
    void runSmartPlaylist(const std::string& splFile, const std::string& groupValue);
    void clearRecords(bool keepListing);
    // Under dataLock: keeps the records of `gone` for the grace period and puts into `gone` those
    // that have outlived it, for the caller to release once the lock is free.
    void retireLocked(std::vector<TagPtr>& gone);
    void appendRecord(const TagPtr& record);
    TagPtr readRecordFromFile(const std::string& path);
    // The same for many files, read by several threads.
    std::vector<TagPtr> readRecordsFromFiles(const std::vector<std::string>& paths);
    void addLength(CID3v2Tag* record);
    // A file's times as one stat gave them; found false when it could not be examined.
    struct FileTimes {
        time_t modified = 0;
        time_t changed = 0;
        bool found = false;
    };
    // The times of every file (several threads share a long list: each is a system call).
    static std::vector<FileTimes> readFileTimes(const std::vector<const std::string*>& paths);
    // Records built from the database rows (ID, path) of these files: frames by look-ups for a few
    // files, by one pass over the frames table for many. `times`: the files' times, read already
    // (one per row), else read here.
    std::vector<TagPtr> loadRecordsFromDB(const std::vector<std::vector<std::string>>& rows,
                                          const std::vector<FileTimes>* times = nullptr);
    void storeRecords(const std::vector<TagPtr>& records, const std::string& folderID);
    // Frame rows waiting to be written together: four parameters a row.
    struct FrameRows {
        SQLParams params;
        size_t count = 0;
    };
    // Stores the record with its frames left in `rows` (inside the caller's transaction, which
    // writes them and then marks the cache changed).
    std::string insertTagInDB(CID3v2Tag* record, std::string folderID, FrameRows& rows, bool leaveRecord = false);
    // Writes the waiting rows: all of them, or only full statements' worth.
    void flushFrameRows(FrameRows& rows, bool all);
    void deleteFilesFromDB(const std::vector<std::string>& fileIDs);
    // True when a file of the folder of that row ID keeps what the decks stored (cue points, loops, gain).
    bool holdsDeckFrames(const std::string& folderID);
    void setProgress(double value) { progress.store(value, std::memory_order_relaxed); }
    bool logOn() const;
    void logText(const std::string& text);

    // Guarded by dataLock:
    std::vector<TagPtr> tags;
    std::vector<std::string> folders;
    std::vector<std::string> files;
    std::vector<time_t> fileTimes; // modification time of each entry of files, seconds since 1970
    std::string sortKey;
    std::string secondSortKey;
    bool sorted = false;
    std::string folderID;
    bool listingRead = false;
    unsigned listingRefreshes = 0; // refreshesAsked when the listing was read
    bool partial = false;
    // Lines of the loaded m3u file that gave no record, each with the record it followed.
    struct KeptLine {
        TagPtr after; // null: before the first record
        std::string line;
    };
    std::vector<KeptLine> keptLines;
    // Records that left the list, with the time they left (ms, timeGetExactTime).
    std::deque<std::pair<double, TagPtr>> retired;

    SQLDatabase* database = nullptr;
    TagCache* cache = nullptr;
    int kind = KIND_FOLDER;
    bool ownsTags = true;
    bool computeLengths = false;
    std::atomic<bool> loaded{false};
    std::atomic<double> progress{0.0};
    std::atomic<unsigned> refreshesAsked{0};
    std::atomic<unsigned> refreshesBegun{0}; // refreshesAsked when the last load began; written under updateLock
    std::atomic<bool> interrupt{false};
    std::atomic<bool> runByLoader{false};
    std::atomic<double> lastUpdate{0.0};
    std::atomic<bool> dirty{false};
    std::atomic<bool> initialized{false}; // the folders row exists; set once by TagCache::getFolder

    mutable std::recursive_mutex dataLock;
    std::recursive_mutex updateLock;
};
