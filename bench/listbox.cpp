// The list box with 10,000 rows: adding them, one frame while scrolling a page per frame, a still
// frame (a copy of the cached picture), and deleting them all with the delete key. The reference
// is the same still frame drawn with no cache (the picture redrawn every frame).
#include "foundation/Picture.h"
#include "skin/SkinInterface.h"
#include "skin/SkinListBox.h"
#include "skin/SkinRect.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

constexpr int kRows = 10000;

// Copies the list's picture into a window-sized picture on the CPU: the frame's copy without a GL
// context.
class CopyInterface : public SkinInterface {
public:
    void bitblt(void* target, int x, int y, int w, int h, void* src, int srcX, int srcY) override {
        CPicture::bitblt(static_cast<CPicture*>(target), x, y, w, h, static_cast<CPicture*>(src), srcX, srcY);
    }
};

struct Browser {
    CopyInterface iface;
    SkinRect rect;
    std::unique_ptr<SkinListBox> list;
    CPicture target;
    CPicture icon;

    Browser() {
        rect.width = 600;
        rect.height = 400;
        list = std::make_unique<SkinListBox>(&iface, &rect, nullptr);
        list->setColumns({"Title", "Artist", "TBPM", "Length", "FileName"});
        list->leftFormat = "%[2] - %[1]";
        list->rightFormat = "%[4]-[%[3]]";
        list->colorBackground2 = 0x202020;
        icon.create(16, 16);
        icon.fillRectangle(0, 0, 16, 16, 0x00C0C0);
        target.create(800, 600);
    }
    void fill() {
        for (int i = 0; i < kRows; ++i) {
            SkinListItem* row = list->addRow({"Title number " + std::to_string(i), "Artist " + std::to_string(i % 97),
                                              "1" + std::to_string(20 + i % 10), "03:2" + std::to_string(i % 10),
                                              "/music/track" + std::to_string(i) + ".mp3"});
            row->picture = &icon;
        }
    }
};

void BM_AddRows(benchmark::State& state) {
    Browser b;
    for (auto _ : state) {
        b.fill();
        benchmark::DoNotOptimize(b.list->getTotalHeight());
        state.PauseTiming();
        b.list->clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// Every frame scrolls a page: the picture is redrawn with the rows now shown.
void BM_ScrollPagePerFrame(benchmark::State& state) {
    Browser b;
    b.fill();
    b.list->draw(&b.target);
    double page = b.rect.height / SkinListBox::rowHeight;
    double direction = -1;
    for (auto _ : state) {
        float before = b.list->scrollOffset;
        b.list->scrollWheel(0, direction * page * SkinListBox::rowHeight / SkinListBox::wheelFactor);
        if (b.list->scrollOffset == before) direction = -direction;
        b.list->draw(&b.target);
    }
    state.SetItemsProcessed(state.iterations());
}

// A frame where nothing changed: one copy of the cached picture.
void BM_StillFrame(benchmark::State& state) {
    Browser b;
    b.fill();
    b.list->draw(&b.target);
    for (auto _ : state)
        b.list->draw(&b.target);
    state.SetItemsProcessed(state.iterations());
}

// Reference: the same still frame with no cache, every row drawn again.
void BM_StillFrameNoCache(benchmark::State& state) {
    Browser b;
    b.fill();
    b.list->draw(&b.target);
    for (auto _ : state) {
        b.list->setDirty();
        b.list->draw(&b.target);
    }
    state.SetItemsProcessed(state.iterations());
}

// Every row selected and the delete key pressed: one question to the interface and one removal a row.
void BM_DeleteAllRows(benchmark::State& state) {
    Browser b;
    for (auto _ : state) {
        state.PauseTiming();
        b.fill();
        for (int i = 0; i < kRows; ++i)
            b.list->selectItem(b.list->getRow(static_cast<unsigned>(i)), true);
        state.ResumeTiming();
        b.list->handleKeyPress(SkinListBox::KEY_LIST_DELETE, "", false);
        if (b.list->getNbItems() != 0) state.SkipWithError("rows left");
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

} // namespace

BENCHMARK(BM_AddRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScrollPagePerFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StillFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StillFrameNoCache)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeleteAllRows)->Unit(benchmark::kMillisecond);
