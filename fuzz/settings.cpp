// Any settings file text: read into an engine, written out as text and read again. The second text must be
// the first: every value written comes back whole, however the file named things (escapes, tags inside
// values, cut or repeated elements, thousands of controllers).
#include "engine/Tarlume.h"
#include "support/TempDir.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct Fixture {
    testsupport::TempDir home{"fuzz-settings"};
    Tarlume* engine = nullptr;
    std::string defaults; // every key, as a fresh engine writes them
    Fixture() {
        setenv("HOME", home.path.c_str(), 1);
        setenv("XDG_DATA_HOME", (home.path + "data").c_str(), 1);
        char* folder = getcwd(nullptr, 0);
        engine = new Tarlume(); // kept for the run: one engine serves every input
        // The engine stands in its program's folder; the fuzzer's corpus paths may be relative to the start's.
        if (folder && chdir(folder) != 0) abort();
        free(folder);
        defaults = engine->settingsText();
    }
    // Back to a fresh engine's fields, so an input gives the same result whatever came before it.
    void reset() {
        engine->useExternalMixer = false; // a reading only ever switches it on
        engine->controllerConfigs.clear();
        for (auto& history : engine->folderHistory)
            history.clear();
        engine->readSettingsText(defaults);
    }
};

Fixture& fixture() {
    static Fixture* f = new Fixture();
    return *f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fixture& f = fixture();
    f.reset();
    f.engine->readSettingsText(std::string(reinterpret_cast<const char*>(data), size));
    const std::string once = f.engine->settingsText();
    f.reset();
    f.engine->readSettingsText(once);
    if (f.engine->settingsText() != once) abort();
    return 0;
}
