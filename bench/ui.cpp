// The user interface's per-frame reads and the search field, on a real engine with four decks
// playing a click track: every value a 500-object skin reads in one frame (reference: as many plain
// deck parameter reads), every text of a four-deck skin in one frame (reference: as many number
// texts), and a key typed into the search field over a 50,000-track library (reference: the tag
// cache's search alone).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"
#include "library/tagcache/SQLDatabase.h"
#include "library/tagcache/TagCache.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "ui/TarlumeSkinInterface.h"

#include "GeneratedLibrary.h"

namespace {

const int kLibraryTracks = 50000;

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) return;
}

// A user data folder whose tag cache holds 50,000 tracks of 10 frames (rows written straight into
// the database), with a 60 s click track beside it. Removed when the program ends.
struct World {
    std::string root;
    std::string click;
    std::unique_ptr<Tarlume> engine;
    std::unique_ptr<TarlumeSkinInterface> ui;
    std::string emptyText;
    std::unique_ptr<SkinObject> fileListObject; // browser 0's file list, as the skin asks for it

    World() {
        root = "/tmp/tarlume-bench-ui-" + intToStr(int(getpid())) + "/";
        run("rm -rf '" + root + "' && mkdir -p '" + root + "tarlume'");
        setenv("XDG_DATA_HOME", root.c_str(), 1);
        benchsupport::fillGeneratedLibrary(root + "tarlume/tagcache.db", root + "music/", kLibraryTracks);
        click = root + "click.wav";
        run("sox -n -r 44100 -c 2 '" + click + "' synth 0.01 sine 1000 pad 0 0.49 repeat 119 >/dev/null 2>&1");
        engine = std::make_unique<Tarlume>();
        engine->setSamplerate(44100.0);
        ui = std::make_unique<TarlumeSkinInterface>(engine.get());
        fileListObject = std::make_unique<SkinObject>(&emptyText, nullptr, nullptr);
        fileListObject->type = OBJECT_LISTBOX;
        fileListObject->value = VALUE_FILES;
        fileListObject->rect->width = 600;
        fileListObject->rect->height = 400;
        engine->getListBox(fileListObject.get(), fileListObject->rect.get(), 0);
        for (int d = 0; d < Tarlume::kDecks && FileExist(click); ++d) {
            TarlumePlayer* deck = engine->players[d];
            deck->loadSong(click.c_str(), true);
            for (int wait = 0; wait < 4000 && !(deck->getLength() > 59000.0); ++wait)
                usleep(5000);
            deck->setPosition(12000.0 + 1000.0 * d);
            deck->playPause();
        }
    }
    ~World() {
        ui.reset();
        engine.reset();
        fileListObject.reset();
        run("rm -rf '" + root + "'");
    }
};

World& world() {
    static World w;
    return w;
}

// One read a skin object makes each frame.
struct Read {
    enum Kind { NUMBER, RELATIVE, LIT, TEXT } kind;
    int id;
    std::string spec;
    int deck;
};

// What one deck's part of a skin reads: faders, knobs, meters, buttons and lights.
std::vector<Read> deckReads(int d) {
    std::vector<Read> reads = {
        {Read::RELATIVE, VALUE_VOLUME_PLAYER, "", d},
        {Read::RELATIVE, VALUE_PITCH, "", d},
        {Read::RELATIVE, VALUE_PAN_LR, "", d},
        {Read::RELATIVE, VALUE_EFFECT, "EQ_Low", d},
        {Read::RELATIVE, VALUE_EFFECT, "eq_mid", d},
        {Read::RELATIVE, VALUE_EFFECT, "eq_high", d},
        {Read::RELATIVE, VALUE_EFFECT, "filter_position", d},
        {Read::RELATIVE, VALUE_EFFECT, "amp_set", d},
        {Read::RELATIVE, VALUE_EFFECTBPMALIGNED, "echo_length", d},
        {Read::RELATIVE, VALUE_TIMEELAPSED, "", d},
        {Read::NUMBER, VALUE_VU_PLAYER, "1", d},
        {Read::NUMBER, VALUE_VU_PLAYER, "2", d},
        {Read::NUMBER, VALUE_LIMITER_CURRENT, "pl", d},
        {Read::LIT, VALUE_PAUSE, "", d},
        {Read::LIT, VALUE_CUE, "", d},
        {Read::LIT, VALUE_LOOP, "4", d},
        {Read::LIT, VALUE_LOOP, "8", d},
        {Read::LIT, VALUE_EFFECTONOFF, "Filter", d},
        {Read::LIT, VALUE_EFFECTONOFF, "echo", d},
        {Read::LIT, VALUE_EFFECTONOFF, "tempocontrol", d},
        {Read::LIT, VALUE_MATCHBPM, "", d},
        {Read::LIT, VALUE_TIMEREMAINING, "", d},
        {Read::LIT, VALUE_CROSSFADERSELECTION, "left", d},
        {Read::LIT, VALUE_EFFECT, "eq_low_kill", d},
    };
    for (int slot = 1; slot <= 8; ++slot) {
        reads.push_back({Read::LIT, VALUE_CUEPOINT, intToStr(slot), d});
        reads.push_back({Read::LIT, VALUE_LOOP_RETRIEVEACTIVE, intToStr(slot), d});
    }
    return reads;
}

std::vector<Read> skinOf500() {
    std::vector<Read> reads;
    while (reads.size() < 500) {
        for (int d = 0; d < 4 && reads.size() < 500; ++d)
            for (const Read& r : deckReads(d))
                if (reads.size() < 500) reads.push_back(r);
        reads.push_back({Read::RELATIVE, VALUE_CROSSFADER, "", 0});
        reads.push_back({Read::NUMBER, VALUE_VU_MASTER, "", 0});
        reads.push_back({Read::NUMBER, VALUE_CLIPPING, "", 0});
    }
    reads.resize(500);
    return reads;
}

void BM_ValueReadsOf500ObjectSkin(benchmark::State& state) {
    World& w = world();
    std::vector<Read> reads = skinOf500();
    for (auto _ : state) {
        double sum = 0;
        for (Read& r : reads) {
            std::string* spec = r.spec.empty() ? nullptr : &r.spec;
            switch (r.kind) {
            case Read::NUMBER:
                sum += w.ui->getValueDbl(r.id, spec, r.deck);
                break;
            case Read::RELATIVE:
                sum += w.ui->getValueDblRelative(r.id, spec, r.deck);
                break;
            default:
                sum += w.ui->getValueBool(r.id, spec, r.deck, nullptr);
                break;
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * 500);
}
BENCHMARK(BM_ValueReadsOf500ObjectSkin)->Unit(benchmark::kMicrosecond);

// Reference: 500 plain deck parameter reads.
void BM_Reference_500PlainGetParam(benchmark::State& state) {
    World& w = world();
    for (auto _ : state) {
        double sum = 0;
        for (int i = 0; i < 500; ++i)
            sum += w.engine->players[i % 4]->getParam(PLAYERPARAM_POSITION);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * 500);
}
BENCHMARK(BM_Reference_500PlainGetParam)->Unit(benchmark::kMicrosecond);

// The texts of a four-deck skin: times, track information, tempo, pitch, loops, cue points.
std::vector<Read> textsOf4Decks() {
    std::vector<Read> texts;
    for (int d = 0; d < 4; ++d) {
        for (int id : {VALUE_TIMEINFO, VALUE_TIMEREMAINING, VALUE_TIMEELAPSED, VALUE_TRACKLENGTH, VALUE_TRACKINFO,
                       VALUE_TRACKINFOARTIST, VALUE_TRACKINFOTITLE, VALUE_BPM, VALUE_BPMDETECTION, VALUE_PITCH,
                       VALUE_PITCHRANGE, VALUE_LOOPLENGTH_MOVEBEATS, VALUE_CUEPOINT, VALUE_VOLUME_PLAYER})
            texts.push_back({Read::TEXT, id, "", d});
        texts.push_back({Read::TEXT, VALUE_TRACKINFOCUSTOM, "%[Album] (%[Year])", d});
        texts.push_back({Read::TEXT, VALUE_EFFECT, "eq_lowfreq", d});
    }
    return texts;
}

void BM_TextsOfFourDeckSkin(benchmark::State& state) {
    World& w = world();
    std::vector<Read> texts = textsOf4Decks();
    for (auto _ : state) {
        size_t length = 0;
        for (Read& r : texts)
            length += w.ui->getValueStr(r.id, r.spec.empty() ? nullptr : &r.spec, r.deck).size();
        benchmark::DoNotOptimize(length);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(textsOf4Decks().size()));
}
BENCHMARK(BM_TextsOfFourDeckSkin)->Unit(benchmark::kMicrosecond);

// Reference: as many texts of plain numbers.
void BM_Reference_NumberTexts(benchmark::State& state) {
    size_t count = textsOf4Decks().size();
    double v = 12.345;
    for (auto _ : state) {
        size_t length = 0;
        for (size_t i = 0; i < count; ++i)
            length += dblToStr(v + double(i), 1).size();
        benchmark::DoNotOptimize(length);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(count));
}
BENCHMARK(BM_Reference_NumberTexts)->Unit(benchmark::kMicrosecond);

// One key typed into the search field (down and up) once the text has three characters; the
// text alternates so that every key asks for a new search. The library searches on its loading
// thread; the file list is refilled on the main thread when it has. `waitForList` false: the main
// thread's share (the key and the refill, the frames it stalls); true: from the key until the file
// list shows the tracks found.
void searchFieldKey(benchmark::State& state, bool waitForList) {
    World& w = world();
    std::string empty;
    SkinObject box(&empty, nullptr, nullptr);
    box.type = OBJECT_TEXTBOX;
    box.value = VALUE_SEARCHFIELD;
    box.player = 0;
    SkinObjectStateInfo* text = box.state(0);
    const char* typed[] = {"sto", "stor", "storm"};
    int i = 0;
    for (auto _ : state) {
        text->editText = typed[i % 3];
        i++;
        w.ui->handleKeyPress(&box, 0, "", false, 0);
        w.ui->handleKeyPress(&box, 0, "", true, 0);
        if (!waitForList) state.PauseTiming();
        w.engine->tagCache->waitUntilIdle(10000);
        if (!waitForList) state.ResumeTiming();
        w.engine->updateFileList(0);
    }
    state.counters["rows"] = w.engine->fileList[0] ? w.engine->fileList[0]->getNbItems() : 0;
}

void BM_SearchFieldKeyOnTheMainThread50k(benchmark::State& state) {
    searchFieldKey(state, false);
}
BENCHMARK(BM_SearchFieldKeyOnTheMainThread50k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SearchFieldKeyUntilListed50k(benchmark::State& state) {
    searchFieldKey(state, true);
}
BENCHMARK(BM_SearchFieldKeyUntilListed50k)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reference: the tag cache's search for the same texts alone.
void BM_Reference_TagCacheSearch50k(benchmark::State& state) {
    World& w = world();
    const char* typed[] = {"sto", "stor", "storm"};
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            w.engine->tagCache->getFolder(std::string("search:") + typed[i++ % 3], false, true, true, false)
                ->getNbTags());
}
BENCHMARK(BM_Reference_TagCacheSearch50k)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
