// The music library at scale: a first build of 10,000 files, a reload from the database, searches
// and a grouped smart playlist over 50,000 files of 10 frames each, and the main thread's worst
// getFolder latency while a large folder loads. Each has a reference measured in the same run:
// reading the same tags without a database, a raw scan of the frames table, an idle getFolder.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "foundation/modTools.h"
#include "library/tagcache/SQLDatabase.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheSearchSnapshot.h"
#include "library/tags/CID3v2Tag.h"
#include "support/TempDir.h"

#include "GeneratedLibrary.h"

namespace {

const int kBuildFolders = 100, kBuildFilesPerFolder = 100; // 10,000 files
const int kSearchFiles = 50000;

const char* const* const kWords = benchsupport::kLibraryWords;

void removeTree(const std::string& root) {
    std::string command = "rm -rf '" + root + "'";
    if (std::system(command.c_str()) != 0) return;
}

// The trees the benchmarks share live as long as the program: removed when it ends.
struct Roots {
    std::vector<std::string> made;
    ~Roots() {
        for (const std::string& root : made)
            removeTree(root);
    }
};

std::string tempRoot(const char* name) {
    static Roots roots;
    std::string root = testsupport::tempRoot() + "/tarlume-bench-" + name + "-" + intToStr(int(getpid())) + "/";
    std::string command = "rm -rf '" + root + "' && mkdir -p '" + root + "'";
    roots.made.push_back(root);
    if (std::system(command.c_str()) != 0) return root;
    return root;
}

void AppPathsMake(const std::string& folder);

void touch(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f) fclose(f);
}

// 100 folders of 100 empty files named "Artist - Title.mp3": the tags come from the names.
const std::string& buildTree() {
    static std::string root = [] {
        std::string r = tempRoot("build");
        for (int f = 0; f < kBuildFolders; f++) {
            std::string folder = r + "lib/folder" + intToStr(f) + "/";
            AppPathsMake(folder);
            for (int i = 0; i < kBuildFilesPerFolder; i++)
                touch(folder + "Artist " + intToStr(i % 50) + " - " + kWords[i % 16] + " " + intToStr(f * 100 + i) +
                      ".mp3");
        }
        return r;
    }();
    return root;
}

void AppPathsMake(const std::string& folder) {
    std::string command = "mkdir -p '" + folder + "'";
    if (std::system(command.c_str()) != 0) return;
}

// 50,000 empty files and their cache rows written straight into a database: 10 frames each.
const std::string& searchLibrary() {
    static std::string root = [] {
        std::string r = tempRoot("search");
        benchsupport::fillGeneratedLibrary(r + "tagcache.db", r + "lib/", kSearchFiles);
        return r;
    }();
    return root;
}

void BM_FirstBuild10k(benchmark::State& state) {
    const std::string& root = buildTree();
    for (auto _ : state) {
        state.PauseTiming();
        std::remove((root + "tagcache.db").c_str());
        std::remove((root + "tagcache.db-wal").c_str());
        std::remove((root + "tagcache.db-shm").c_str());
        state.ResumeTiming();
        TagCache cache(root + "tagcache.db");
        cache.buildTagCache(root + "lib");
        cache.waitUntilIdle(600000);
    }
    state.SetItemsProcessed(state.iterations() * kBuildFolders * kBuildFilesPerFolder);
}
BENCHMARK(BM_FirstBuild10k)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// Reference: the same folders listed and the same tags read, without a database.
void BM_Reference_ReadTagsWithoutDatabase10k(benchmark::State& state) {
    const std::string& root = buildTree();
    for (auto _ : state) {
        for (int f = 0; f < kBuildFolders; f++) {
            std::string folder = root + "lib/folder" + intToStr(f);
            std::vector<std::string> folders, files;
            std::vector<time_t> times;
            TagCacheDirectory::readDirectory(folder, &folders, &files, &times);
            for (const std::string& name : files) {
                CID3v2Tag record;
                record.readFromFile(folder + "/" + name);
                benchmark::DoNotOptimize(record.getNbFrames());
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kBuildFolders * kBuildFilesPerFolder);
}
BENCHMARK(BM_Reference_ReadTagsWithoutDatabase10k)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_ReloadFromDatabase10k(benchmark::State& state) {
    const std::string& root = buildTree();
    if (!FileExist(root + "tagcache.db")) {
        TagCache cache(root + "tagcache.db");
        cache.buildTagCache(root + "lib");
        cache.waitUntilIdle(600000);
    }
    for (auto _ : state) {
        TagCache cache(root + "tagcache.db");
        for (int f = 0; f < kBuildFolders; f++)
            benchmark::DoNotOptimize(
                cache.getFolder(root + "lib/folder" + intToStr(f), false, true, false, false)->getNbTags());
    }
    state.SetItemsProcessed(state.iterations() * kBuildFolders * kBuildFilesPerFolder);
}
BENCHMARK(BM_ReloadFromDatabase10k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The open of a 50,000-file cache, as at every start: the file is looked over whole before anything is written to it.
void BM_Open50k(benchmark::State& state) {
    const std::string path = searchLibrary() + "tagcache.db";
    for (auto _ : state) {
        TagCache cache(path);
        benchmark::DoNotOptimize(&cache);
    }
}
BENCHMARK(BM_Open50k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// Reference: SQLite's own look over the same file.
void BM_Reference_QuickCheck50k(benchmark::State& state) {
    SQLDatabase db(searchLibrary() + "tagcache.db", SQLDatabase::kReadOnly);
    for (auto _ : state)
        benchmark::DoNotOptimize(db.getOneResult("PRAGMA quick_check(1)"));
}
BENCHMARK(BM_Reference_QuickCheck50k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// The same search again and again, as the list refreshes: records built once are reused.
void runSearch(benchmark::State& state, const std::string& text) {
    TagCache cache(searchLibrary() + "tagcache.db");
    // The first search asks for the in-memory copy, made meanwhile on the loading thread.
    cache.getFolder("search:" + text, false, true, true, false);
    cache.waitUntilIdle(600000);
    size_t found = 0;
    for (auto _ : state)
        found = size_t(cache.getFolder("search:" + text, false, true, true, false)->getNbTags());
    state.counters["tracks_found"] = double(found);
}

// The first search of a session: every record built from the database.
void runColdSearch(benchmark::State& state, const std::string& text) {
    size_t found = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto cache = std::make_unique<TagCache>(searchLibrary() + "tagcache.db");
        cache->waitUntilIdle(600000);
        state.ResumeTiming();
        found = size_t(cache->getFolder("search:" + text, false, true, true, false)->getNbTags());
        state.PauseTiming();
        cache.reset();
        state.ResumeTiming();
    }
    state.counters["tracks_found"] = double(found);
}

void BM_Search1Word50k(benchmark::State& state) {
    runSearch(state, "storm");
}
BENCHMARK(BM_Search1Word50k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Search3Words50k(benchmark::State& state) {
    runSearch(state, "storm river 7");
}
BENCHMARK(BM_Search3Words50k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Search1WordCold50k(benchmark::State& state) {
    runColdSearch(state, "storm");
}
BENCHMARK(BM_Search1WordCold50k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// Four words each found in a quarter to all of the tracks.
void BM_Search4CommonWords50k(benchmark::State& state) {
    runSearch(state, "Genre Album love night");
}
BENCHMARK(BM_Search4CommonWords50k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Search4CommonWordsCold50k(benchmark::State& state) {
    runColdSearch(state, "Genre Album love night");
}
BENCHMARK(BM_Search4CommonWordsCold50k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// Words of one letter, which the index cannot serve, found in every track: the plain query.
void BM_SearchCommonLetters50k(benchmark::State& state) {
    runSearch(state, "e e e e");
}
BENCHMARK(BM_SearchCommonLetters50k)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reference: SQLite alone scanning every frame for one word.
void BM_Reference_RawFrameScan50k(benchmark::State& state) {
    SQLDatabase d(searchLibrary() + "tagcache.db");
    for (auto _ : state)
        benchmark::DoNotOptimize(d.getOneResult("SELECT count(*) FROM frames WHERE value LIKE '%storm%'"));
}
BENCHMARK(BM_Reference_RawFrameScan50k)->Unit(benchmark::kMillisecond)->UseRealTime();

// The in-memory copy searches and smart playlists read, made after the tables changed (on the
// loading thread): beside the raw frame scan above.
void BM_MakeSearchSnapshot50k(benchmark::State& state) {
    SQLDatabase d(searchLibrary() + "tagcache.db");
    size_t frames = 0;
    for (auto _ : state)
        frames = TagCacheSearchSnapshot::make(&d, &d, [] { return true; })->getFrameCount();
    state.counters["frames"] = double(frames);
}
BENCHMARK(BM_MakeSearchSnapshot50k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SmartPlaylistWithGroup50k(benchmark::State& state) {
    const std::string& root = searchLibrary();
    std::string spl = root + "club.spl";
    FILE* f = fopen(spl.c_str(), "wb");
    fputs("bpm > 140\ngroup by genre\n", f);
    fclose(f);
    TagCache cache(root + "tagcache.db");
    cache.getFolder(spl, false, true, true, false); // asks for the in-memory copy
    cache.waitUntilIdle(600000);
    size_t groups = 0, tracks = 0;
    for (auto _ : state) {
        TagCacheDirectory* list = cache.getFolder(spl, false, true, true, false);
        groups = size_t(list->getNbFolders());
        tracks = size_t(list->getNbTags());
        cache.getFolder(spl + "/Genre 7/", false, true, true, false);
    }
    state.counters["groups"] = double(groups);
    state.counters["tracks"] = double(tracks);
}
BENCHMARK(BM_SmartPlaylistWithGroup50k)->Unit(benchmark::kMillisecond)->UseRealTime();

// The main thread asks for lists, as the user interface does every frame, while the loading thread
// fills a folder of 10,000 new files; the figure is the worst single getFolder call.
void getFolderLatency(benchmark::State& state, bool loading) {
    std::string root = tempRoot(loading ? "latency" : "idle");
    std::string big = root + "big/";
    AppPathsMake(big);
    for (int i = 0; i < 10000; i++)
        touch(big + "Artist - Track " + intToStr(i) + ".mp3");
    for (int i = 0; i < 20; i++)
        AppPathsMake(root + "small" + intToStr(i));
    for (int i = 0; i < 20; i++)
        touch(root + "small" + intToStr(i) + "/Artist - Song.mp3");
    double worst = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::remove((root + "tagcache.db").c_str());
        TagCache cache(root + "tagcache.db");
        if (loading) {
            cache.getFolder(big, true, true, false, false);
        } else {
            // Everything registered and loaded: the same calls with nothing loading.
            for (int i = 0; i < 20; i++)
                cache.getFolder(root + "small" + intToStr(i), false, true, false, false);
            cache.getFolder(big, false, true, false, false);
        }
        state.ResumeTiming();
        int calls = 0;
        while ((loading ? cache.isBusy() : calls < 650)) {
            double start = timeGetExactTime();
            cache.getFolder(root + "small" + intToStr(calls % 20), true, calls % 40 == 0, false, false);
            cache.getFolder(big, true, false, false, false);
            worst = std::max(worst, timeGetExactTime() - start);
            calls++;
            usleep(1000);
        }
        state.counters["calls"] = calls;
    }
    state.counters["worst_ms"] = worst;
    removeTree(root);
}

void BM_GetFolderWorstLatencyDuringLoad(benchmark::State& state) {
    getFolderLatency(state, true);
}
BENCHMARK(BM_GetFolderWorstLatencyDuringLoad)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_Reference_GetFolderWorstLatencyIdle(benchmark::State& state) {
    getFolderLatency(state, false);
}
BENCHMARK(BM_Reference_GetFolderWorstLatencyIdle)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// A deck closing a track stores what the track leaves on the main thread: the worst and the mean store while the
// loading thread fills a folder of 10,000 new files (its transactions come first), and the mean with nothing
// loading. Each close changes the track's cue points, so the frames are written every time. With nothing
// loading, the mean of what a load reads back on the main thread as well. Reference: the overview alone, all a
// close stored and a load read before the record's frames were kept.
void closeStoreLatency(benchmark::State& state, bool frames) {
    std::string root = tempRoot(frames ? "close" : "overview");
    std::string big = root + "big/", decks = root + "decks/";
    AppPathsMake(big);
    AppPathsMake(decks);
    for (int i = 0; i < 10000; i++)
        touch(big + "Artist - Track " + intToStr(i) + ".mp3");
    const int kTracks = 50;
    std::vector<std::unique_ptr<CID3v2Tag>> records;
    for (int i = 0; i < kTracks; i++) {
        std::string path = decks + "Artist - Played " + intToStr(i) + ".mp3";
        touch(path);
        records.push_back(std::make_unique<CID3v2Tag>());
        records.back()->readFromFile(path);
        records.back()->setReplayGainTag(0.9f, -6.5f, 0);
    }
    const std::string overview(300, '\x80');
    std::unique_ptr<TagCache> cache;
    int closes = 0;
    auto close = [&] {
        CID3v2Tag* record = records[size_t(closes % kTracks)].get();
        record->addToETCO(unsigned(1000 + closes++), 0xE0);
        double start = timeGetExactTime();
        if (frames)
            cache->storeDeckRecord(record, 300, overview, 1.0);
        else
            cache->setWaveForm(record->getPath(), 300, overview, 1.0, 1);
        return timeGetExactTime() - start;
    };
    double worst = 0, sum = 0, idle = 0, read = 0;
    int loading = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::remove((root + "tagcache.db").c_str());
        cache = std::make_unique<TagCache>(root + "tagcache.db");
        cache->getFolder(decks, false, true, false, false); // the decks' tracks are in the cache
        cache->getFolder(big, true, true, false, false);
        state.ResumeTiming();
        while (cache->isBusy()) {
            double ms = close();
            worst = std::max(worst, ms);
            sum += ms;
            loading++;
            usleep(2000);
        }
        for (int i = 0; i < 200; i++) {
            idle += close();
            CID3v2Tag* record = records[size_t(i % kTracks)].get();
            double start = timeGetExactTime(), height = 0;
            int incomplete = 0;
            benchmark::DoNotOptimize(cache->getWaveForm(record->getPath(), 300, &height, &incomplete));
            if (frames) cache->restoreDeckFrames(record);
            read += timeGetExactTime() - start;
        }
        cache.reset();
    }
    state.counters["worst_ms"] = worst;
    state.counters["mean_loading_ms"] = loading ? sum / loading : 0;
    state.counters["mean_idle_ms"] = idle / (200.0 * double(state.iterations()));
    state.counters["load_read_ms"] = read / (200.0 * double(state.iterations()));
    removeTree(root);
}

void BM_DeckCloseStoreDuringLoad(benchmark::State& state) {
    closeStoreLatency(state, true);
}
BENCHMARK(BM_DeckCloseStoreDuringLoad)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_Reference_OverviewStoreDuringLoad(benchmark::State& state) {
    closeStoreLatency(state, false);
}
BENCHMARK(BM_Reference_OverviewStoreDuringLoad)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

} // namespace
