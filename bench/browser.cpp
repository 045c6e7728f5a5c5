// The engine's browser over a cached folder of 10,000 tracks: refilling the file list, against the
// tag cache's own reload of the same folder from its database; and writing the playlists back at
// exit when 2 of 50 loaded playlists changed, against writing all 50.
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
    std::string folder;
    std::unique_ptr<SkinObject> object;
    SkinRect rect;
    SkinListBox* files = nullptr;
    std::vector<TagCacheDirectory*> playlists;

    World() {
        folder = music.path + "lib/";
        std::string command = "mkdir -p '" + folder + "'";
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
BENCHMARK(BM_WritePlaylists2Of50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reference_WriteAll50)->Unit(benchmark::kMicrosecond);
