// The script language over arbitrary script text: parsing, passes of every kind on every deck,
// waits resumed by the per-frame tick, triggers, the status line and the arithmetic.
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
    skin.setVariable("v", "%v%1");
    SkinScript* script = skin.addScript("fuzz", text);
    skin.addScript("script:" + text, "");
    for (int deck = -1; deck <= 4; ++deck) {
        script->executeScript(false, deck, false, 0.5, 0);
        script->executeScript(true, deck, false, 0.5, 0);
        script->executeScript(false, deck, true, 1e308, 0);
        script->getValueBool(deck);
        script->getValueDbl(deck);
    }
    for (int frame = 0; frame < 4; ++frame) {
        iface.clock += 2000;
        skin.handleTriggers();
    }
    SkinScript::scriptEval(text.substr(0, 256));
    skin.getVariablesXML();
    return 0;
}
