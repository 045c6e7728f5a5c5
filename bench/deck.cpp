// The deck's main-thread costs: closing a track (event rewrite and the waveform written to the tag cache)
// while the tag cache builds a folder tree, against the same close with the cache idle; the auto-cue scan of
// one frame update until it finds the music's start, against a frame update without it; and the memory a
// session's loads and closes of tracks with covers keep.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "engine/EngineTestSupport.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"

namespace {

std::string fixture(const std::string& name) {
    return std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/" + name;
}

// One engine in a scratch home for the whole run.
struct Session {
    testsupport::EngineHome home;
    testsupport::TestSoundBackend backend;
    std::unique_ptr<Tarlume> engine;
    Session() {
        backend.addDevice("card", 2, 4, 44100.0);
        engine = std::make_unique<Tarlume>();
        engine->warnWhenLoadingTrack = false;
    }
    TarlumePlayer* deck() { return engine->players[0]; }
};

Session& session() {
    static Session s;
    return s;
}

// A tree of 40 folders of 50 short tagged tracks for the cache to build from.
const std::string& buildTree() {
    static testsupport::TempDir dir("bench-deck-tree");
    static bool made = false;
    if (!made) {
        const std::string source = fixture("tags/id3v23.mp3");
        for (int f = 0; f < 40; ++f) {
            const std::string folder = dir.path + "f" + intToStr(f) + "/";
            std::filesystem::create_directories(folder);
            for (int i = 0; i < 50; ++i)
                std::filesystem::copy_file(source,
                                           folder + "Artist " + intToStr(i) + " - Title " + intToStr(f) + ".mp3");
        }
        made = true;
    }
    return dir.path;
}

// Load (untimed), one changed cue point, then the timed close.
void closeLoop(benchmark::State& state, bool busy) {
    Session& s = session();
    TarlumePlayer* d = s.deck();
    const std::string track = fixture("deck/lead.wav");
    s.engine->tagCache->getFolder(getFilePath(track), false, false, false, false);
    int builds = 0, busyCloses = 0, n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (busy && !s.engine->tagCache->isBusy()) {
            // A fresh database path each time would be unfair to the idle run: rebuilding the same tree
            // re-checks every file, which keeps the cache's thread and its database lock busy.
            s.engine->tagCache->buildTagCache(buildTree());
            ++builds;
        }
        d->loadSong(track.c_str(), true);
        d->setCuePoint(1 + n % 100, 1000.0 + n);
        ++n;
        busyCloses += s.engine->tagCache->isBusy() ? 1 : 0;
        state.ResumeTiming();
        d->closeSong();
    }
    state.counters["builds"] = builds;
    state.counters["busy share"] = double(busyCloses) / double(std::max(1, n));
    s.engine->tagCache->waitUntilIdle(60000);
}

void BM_CloseSong_CacheIdle(benchmark::State& state) {
    closeLoop(state, false);
}
void BM_CloseSong_CacheBuilding(benchmark::State& state) {
    closeLoop(state, true);
}
BENCHMARK(BM_CloseSong_CacheIdle)->Unit(benchmark::kMicrosecond)->Iterations(200);
BENCHMARK(BM_CloseSong_CacheBuilding)->Unit(benchmark::kMicrosecond)->Iterations(200);

// A frame update while auto-cue still looks for the start (the scan of up to 10 s of detailed stripes),
// on a track whose music starts at 2.5 s and on one that is silent for its first 15 s (a scan that never
// finds the start and stops only once 10 s are analysed; here kept scanning).
void updateLoop(benchmark::State& state, const char* name, bool scanning) {
    Session& s = session();
    TarlumePlayer* d = s.deck();
    d->loadSong(fixture(name).c_str(), true);
    const double wanted = std::min(d->getParam(PLAYERPARAM_NBSTRIPES) - 1, 300.0 * 12 / (d->getLength() / 1000));
    const double start = timeGetExactTime();
    while (d->getParam(PLAYERPARAM_STRIPEPOS) < wanted && timeGetExactTime() - start < 30000)
        usleep(1000);
    for (auto _ : state) {
        d->startFound = !scanning;
        d->update();
    }
    state.counters["start found ms"] = d->cuePoint;
    d->closeSong();
}

void BM_FrameUpdate_NoScan(benchmark::State& state) {
    updateLoop(state, "deck/lead.wav", false);
}
void BM_FrameUpdate_AutoCue_StartAt2500ms(benchmark::State& state) {
    updateLoop(state, "deck/lead.wav", true);
}
void BM_FrameUpdate_AutoCue_Silent(benchmark::State& state) {
    updateLoop(state, "deck/silence.wav", true);
}
BENCHMARK(BM_FrameUpdate_NoScan)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameUpdate_AutoCue_StartAt2500ms)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameUpdate_AutoCue_Silent)->Unit(benchmark::kMicrosecond);

long residentKiB() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// 500 loads and closes over ten tracks with a 400 x 200 cover: the resident memory after the first 50
// (the reference: every record made and kept once) and after all 500.
void BM_LoadClose500_Covers(benchmark::State& state) {
    Session& s = session();
    TarlumePlayer* d = s.deck();
    testsupport::TempDir dir("bench-deck-covers");
    std::vector<std::string> tracks;
    for (int i = 0; i < 10; ++i) {
        tracks.push_back(dir.path + "cover" + intToStr(i) + ".mp3");
        std::filesystem::copy_file(fixture("tags/id3v24.mp3"), tracks.back());
    }
    long after50 = 0, after500 = 0;
    for (auto _ : state) {
        for (int i = 0; i < 500; ++i) {
            d->loadSong(tracks[size_t(i % 10)].c_str(), true);
            d->closeSong();
            if (i == 49) after50 = residentKiB();
        }
        after500 = residentKiB();
    }
    state.counters["RSS after 50 KiB"] = double(after50);
    state.counters["RSS after 500 KiB"] = double(after500);
    state.counters["kept records"] = double(s.engine->keptRecords.size());
}
BENCHMARK(BM_LoadClose500_Covers)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
