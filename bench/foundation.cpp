// Tag-style text searches over a large document, and quicksort beside std::sort.
#include "foundation/modTools.h"
#include "foundation/quicksort.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

// About 1 MB of skin-like text: many objects, each with a handful of elements.
const std::string& bigDocument() {
    static std::string doc = [] {
        std::string d = "<SKIN>";
        for (int i = 0; d.size() < 1000000; ++i)
            d += "<OBJECT><Name>knob" + std::to_string(i) +
                 "</Name><Type>knob</Type><Position>10,20,30,40</Position>"
                 "<Value>volume</Value><Deck>" +
                 std::to_string(i % 4) + "</Deck></OBJECT>";
        return d + "</SKIN>";
    }();
    return doc;
}

// Reads the first 200 objects' names one after another, as a skin loader walks a window.
void BM_XmlElementCI(benchmark::State& state) {
    std::string doc = bigDocument();
    for (auto _ : state) {
        size_t from = 0, end = 0;
        for (int i = 0; i < 200; ++i) {
            benchmark::DoNotOptimize(getXMLElementCI(doc, "name", false, from, &end));
            from = end;
        }
    }
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_XmlElementCI)->Unit(benchmark::kMillisecond);

void BM_XmlElementCIFast(benchmark::State& state) {
    const std::string& doc = bigDocument();
    std::string lower;
    for (auto _ : state) {
        size_t from = 0, end = 0;
        for (int i = 0; i < 200; ++i) {
            benchmark::DoNotOptimize(getXMLElementCIFast(doc, lower, "name", from, &end));
            from = end;
        }
    }
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_XmlElementCIFast)->Unit(benchmark::kMillisecond);

enum Pattern { Random, Sorted, Reversed, Equal };

std::vector<int> keys(Pattern p, int n) {
    std::vector<int> v(static_cast<size_t>(n));
    srand(7);
    for (int i = 0; i < n; ++i)
        v[size_t(i)] = p == Random ? rand() : p == Sorted ? i : p == Reversed ? n - i : 5;
    return v;
}

void* getInt(void* c, int i) {
    return &(*static_cast<std::vector<int>*>(c))[size_t(i)];
}
void swapInt(void* c, int a, int b) {
    auto& v = *static_cast<std::vector<int>*>(c);
    std::swap(v[size_t(a)], v[size_t(b)]);
}
int cmpInt(void*, void* a, void* b) {
    int x = *static_cast<int*>(a), y = *static_cast<int*>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

void BM_Quicksort(benchmark::State& state) {
    auto base = keys(Pattern(state.range(0)), 50000);
    for (auto _ : state) {
        state.PauseTiming();
        auto v = base;
        state.ResumeTiming();
        quicksort(&v, getInt, 0, int(v.size()), swapInt, cmpInt);
        benchmark::DoNotOptimize(v.data());
    }
}
BENCHMARK(BM_Quicksort)->Arg(Random)->Arg(Sorted)->Arg(Reversed)->Arg(Equal)->Unit(benchmark::kMillisecond);

void BM_StdSort(benchmark::State& state) {
    auto base = keys(Pattern(state.range(0)), 50000);
    for (auto _ : state) {
        state.PauseTiming();
        auto v = base;
        state.ResumeTiming();
        std::sort(v.begin(), v.end());
        benchmark::DoNotOptimize(v.data());
    }
}
BENCHMARK(BM_StdSort)->Arg(Random)->Arg(Sorted)->Arg(Reversed)->Arg(Equal)->Unit(benchmark::kMillisecond);

} // namespace
