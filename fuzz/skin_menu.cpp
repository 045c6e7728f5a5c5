// Pop-up menu files: label and script line pairs, and the scripts of the rows.
#include "SkinFuzz.h"

#include "skin/Skin.h"
#include "skin/scripts/SkinScript.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceStandardOutput();
    std::string text(reinterpret_cast<const char*>(data), size);
    FuzzSkinInterface iface;
    Skin skin(&iface);
    for (auto& item : SkinInterface::readMenuItems(text)) {
        // A chosen row runs its script line as an inline script.
        if (SkinScript* script = skin.getScript("script:" + item.second)) {
            script->executeScript(false, 0, false, 0, 0);
            script->executeScript(true, 0, false, 0, 0);
        }
    }
    return 0;
}
