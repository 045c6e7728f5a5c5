// The engine's browser over a cached folder of 10,000 tracks: refilling the file list, against the
// tag cache's own reload of the same folder from its database; opening that folder again (the click,
// and the refill once it was read again from the disk), against a plain readdir and stat of it; and
// writing the playlists back at exit when 2 of 50 loaded playlists changed, against writing all 50.
#include "engine/EngineTestSupport.h"

#include "engine/Tarlume.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "skin/SkinRect.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kTracks = 10000;
constexpr int kPlaylists = 50;
constexpr int kPlaylistTracks = 20;

void touch(const std::string& path) {
    if (FILE* f = fopen(path.c_str(), "wb")) fclose(f);
}

// An engine in a scratch home with one browser's file list over a folder of 10,000 tracks (tags
// from their names) already in the cache, and 50 loaded playlists of 20 of them.
struct World {
    testsupport::EngineHome home;
    testsupport::TempDir music{"bench-browser"};
    SkinInterface iface;
    Skin skin{&iface};
    std::unique_ptr<Tarlume> engine;
    std::string folder, other;
    std::unique_ptr<SkinObject> object, treeObject;
    SkinRect rect;
    SkinListBox* files = nullptr;
    std::vector<TagCacheDirectory*> playlists;

    World() {
        folder = music.path + "lib/";
        other = music.path + "other/";
        std::string command = "mkdir -p '" + folder + "' '" + other + "'";
        if (std::system(command.c_str()) != 0) return;
        std::vector<std::string> paths;
        for (int i = 0; i < kTracks; ++i) {
            paths.push_back(folder + "Artist " + intToStr(i % 397) + " - Title " + intToStr(i) + ".mp3");
            touch(paths.back());
        }
        for (int p = 0; p < kPlaylists; ++p) {
            std::string text;
            for (int k = 0; k < kPlaylistTracks; ++k)
                text += paths[static_cast<size_t>(p * kPlaylistTracks + k)] + "\n";
            std::string path = music.path + "list" + intToStr(p) + ".m3u";
            if (FILE* f = fopen(path.c_str(), "wb")) {
                fwrite(text.data(), 1, text.size(), f);
                fclose(f);
            }
        }
        engine = std::make_unique<Tarlume>();
        engine->skin = &skin;
        std::string empty;
        object = std::make_unique<SkinObject>(&empty, nullptr, nullptr);
        object->value = VALUE_FILES;
        rect.width = 600;
        rect.height = 400;
        files = engine->getListBox(object.get(), &rect, 0);
        treeObject = std::make_unique<SkinObject>(&empty, nullptr, nullptr);
        treeObject->value = VALUE_FOLDERS;
        engine->getListBox(treeObject.get(), &rect, 0);
        engine->changeFolder(0, folder);
        engine->tagCache->waitUntilIdle(600000);
        engine->updateFileList(0);
        for (int p = 0; p < kPlaylists; ++p)
            playlists.push_back(
                engine->tagCache->getFolder(music.path + "list" + intToStr(p) + ".m3u", false, true, false, false));
    }
    ~World() { engine.reset(); }
};

World& world() {
    static World w;
    return w;
}

void BM_UpdateFileList10k(benchmark::State& state) {
    World& w = world();
    for (auto _ : state) {
        w.engine->updateFileList(0);
        if (w.files->getNbItems() != kTracks) state.SkipWithError("the list is not filled");
    }
    state.SetItemsProcessed(state.iterations() * kTracks);
}

// Reference: the tag cache reading the same folder again from its database.
void BM_Reference_GetFolderFromCache10k(benchmark::State& state) {
    World& w = world();
    for (auto _ : state) {
        TagCacheDirectory* dir = w.engine->tagCache->getFolder(w.folder, false, true, true, false);
        benchmark::DoNotOptimize(dir->getNbTags());
    }
    state.SetItemsProcessed(state.iterations() * kTracks);
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A click on the 10,000-track folder after another one: the main thread's share. The time is the
// click's; "refill_ms" the frame that fills the lists once the folder was read again, "shown_ms" the
// click to that frame (the loading thread's work between them is not the main thread's), and
// "away_ms" the click away before it (which empties the list), "worst_frame_ms" the longest of them all.
void BM_ReopenFolder10k(benchmark::State& state) {
    World& w = world();
    double leave = 0, refill = 0, shown = 0, worst = 0;
    for (auto _ : state) {
        auto away = std::chrono::steady_clock::now();
        w.engine->changeFolder(0, w.other);
        double gone = msSince(away);
        leave += gone;
        worst = std::max(worst, gone);
        w.engine->tagCache->waitUntilIdle(600000);
        w.engine->updateBrowserLoading();
        auto start = std::chrono::steady_clock::now();
        w.engine->changeFolder(0, w.folder);
        double click = msSince(start);
        w.engine->tagCache->waitUntilIdle(600000);
        auto frame = std::chrono::steady_clock::now();
        w.engine->updateBrowserLoading();
        double fill = msSince(frame);
        shown += msSince(start);
        refill += fill;
        worst = std::max(worst, std::max(click, fill));
        state.SetIterationTime(click / 1000.0);
        if (w.files->getNbItems() != kTracks) state.SkipWithError("the list is not filled");
    }
    state.counters["away_ms"] = benchmark::Counter(leave, benchmark::Counter::kAvgIterations);
    state.counters["refill_ms"] = benchmark::Counter(refill, benchmark::Counter::kAvgIterations);
    state.counters["shown_ms"] = benchmark::Counter(shown, benchmark::Counter::kAvgIterations);
    state.counters["worst_frame_ms"] = worst;
}

// Reference: the folder's listing with a stat of each entry, as plain as it gets.
void BM_Reference_ReadDirStat10k(benchmark::State& state) {
    World& w = world();
    for (auto _ : state) {
        DIR* dir = opendir(w.folder.c_str());
        int count = 0;
        while (struct dirent* entry = dir ? readdir(dir) : nullptr) {
            struct stat info;
            if (entry->d_name[0] != '.' && fstatat(dirfd(dir), entry->d_name, &info, 0) == 0) count++;
        }
        if (dir) closedir(dir);
        if (count != kTracks) state.SkipWithError("the folder is not read");
    }
    state.SetItemsProcessed(state.iterations() * kTracks);
}

// Two of the fifty playlists changed: only those two are written.
void BM_WritePlaylists2Of50(benchmark::State& state) {
    World& w = world();
    for (auto _ : state) {
        state.PauseTiming();
        w.playlists[3]->moveItem(0, 5);
        w.playlists[40]->moveItem(2, 1);
        state.ResumeTiming();
        w.engine->writePlaylists();
    }
}

// Reference: all fifty written.
void BM_Reference_WriteAll50(benchmark::State& state) {
    World& w = world();
    for (auto _ : state)
        for (TagCacheDirectory* list : w.playlists)
            list->storeToM3u(list->path);
}

} // namespace

BENCHMARK(BM_UpdateFileList10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference_GetFolderFromCache10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReopenFolder10k)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(50);
BENCHMARK(BM_Reference_ReadDirStat10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePlaylists2Of50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reference_WriteAll50)->Unit(benchmark::kMicrosecond);
