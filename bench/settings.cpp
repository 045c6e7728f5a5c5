// Start with a large settings file: a config.xml of 5,000, 10,000 and 20,000 controller entries (20,000 make
// 1.8 MB) read by the engine's constructor, then the controllers looked up as the program's start does.
// Reference in the same run: reading the same bytes from the file. Time per start should grow with the
// entries as the reference does (linear), not with their square.
#include "engine/EngineHooks.h"
#include "engine/Tarlume.h"
#include "foundation/modTools.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace {

// A controller entry: a device name and its controller file.
std::string settingsWith(int entries) {
    std::string text = "<TARLUMECONFIG>\n<USEEXTERNALMIXER>false</USEEXTERNALMIXER>\n<SKIN>kolt-1280</SKIN>\n";
    char line[256];
    for (int n = 0; n < entries; ++n) {
        snprintf(line, sizeof line,
                 "<HIDCONFIG><DEVICENAME>Pad %05d</DEVICENAME><CONFIGNAME>pad%05d.xml</CONFIGNAME></HIDCONFIG>\n", n,
                 n);
        text += line;
    }
    return text + "</TARLUMECONFIG>\n";
}

// No controller files exist, so none is made: what is measured is the settings and the lookups.
struct NoControllers : EngineControllerFactory {
    std::unique_ptr<EngineController> createController(SkinInterface*) override { return nullptr; }
};

struct Home {
    testsupport::TempDir home{"bench-settings"};
    testsupport::ScopedEnv homeEnv{"HOME", home.path};
    testsupport::ScopedEnv dataEnv{"XDG_DATA_HOME", home.path + "data"};
    std::string config;
    size_t bytes = 0;
    explicit Home(int entries) {
        std::string folder = home.path + "data/tarlume/";
        std::string text = settingsWith(int(entries));
        bytes = text.size();
        makeDirectory(home.path + "data");
        makeDirectory(folder);
        config = folder + "config.xml";
        replaceFileContents(config, text);
    }
};

void BM_ReadSameBytes(benchmark::State& state) {
    Home h(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(readFileContents(h.config));
    state.counters["MB"] = double(h.bytes) / 1e6;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(h.bytes));
}
BENCHMARK(BM_ReadSameBytes)->Arg(5000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_StartWithControllerEntries(benchmark::State& state) {
    Home h(int(state.range(0)));
    NoControllers none;
    size_t configs = 0;
    for (auto _ : state) {
        auto engine = std::make_unique<Tarlume>();
        engine->controllerFactory = &none;
        engine->connectHIDs();
        configs = engine->controllerConfigs.size();
        engine->controllerFactory = nullptr;
        state.PauseTiming(); // the engine's end writes the settings back: not part of the start
        engine.reset();
        state.ResumeTiming();
    }
    state.counters["entries"] = double(configs);
    state.counters["MB"] = double(h.bytes) / 1e6;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(h.bytes));
}
BENCHMARK(BM_StartWithControllerEntries)->Arg(0)->Arg(5000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);

} // namespace
