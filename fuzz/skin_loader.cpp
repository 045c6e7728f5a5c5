// The skin reader over arbitrary skin files: includes (the input may include itself), sections,
// windows built on the loading threads, the saved settings fragments, events and one drawn frame.
#include "SkinFuzz.h"

#include "foundation/modTools.h"
#include "platform/AppPaths.h"
#include "skin/Skin.h"
#include "skin/SkinWindow.h"
#include "support/TempDir.h"

#include <cstddef>
#include <cstdint>
#include <unistd.h>

namespace {

std::string folderForRun() {
    static std::string folder = [] {
        // Removed with everything in it when the fuzzer ends.
        static const testsupport::TempDir scratch("fuzz-skin");
        std::string f = scratch.path;
        AppPaths::makeFolders(f + "skin/");
        return f;
    }();
    return folder;
}

void writeAll(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(data, 1, size, f);
    fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceStandardOutput();
    std::string folder = folderForRun();
    writeAll(folder + "skin.xml", data, size);
    writeAll(folder + "skin/self.xml", data, size);

    FuzzSkinInterface iface;
    Skin skin(&iface);
    skin.initVariablesFromXML(std::string(reinterpret_cast<const char*>(data), size));
    skin.loadSkin(folder + "skin.xml");

    std::string order = skin.getTabOrderXML();
    skin.initTabOrderFromXML(order);
    skin.initVariablesFromXML(skin.getVariablesXML());
    float width, height;
    skin.getBounds(&width, &height);

    for (size_t w = 0; w < skin.windows.size() && w < 16; ++w) {
        SkinWindow* window = skin.windows[w].get();
        for (int layer = 0; layer < 4; ++layer) {
            window->mouseMove(5, 5, 0, 0, layer);
            window->mouseDown(5, 5, 1, 0, layer);
            window->mouseMove(25, 30, 1, 0, layer);
            window->keyPress(51, "a", false, layer);
            window->mouseUp(25, 30, 1, 0, layer);
            window->scrollWheel(5, 5, 0, 1, layer);
            window->handleFileDrop(5, 5, layer, "/nonexistent.mp3");
            window->draw(layer);
        }
    }
    iface.clock += 100000;
    skin.handleTriggers();
    return 0;
}
