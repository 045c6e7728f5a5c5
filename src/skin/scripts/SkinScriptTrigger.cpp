#include "skin/scripts/SkinScriptTrigger.h"

#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/scripts/SkinScript.h"

SkinScriptTrigger::SkinScriptTrigger(SkinInterface* iface, const std::string& triggerName, int id,
                                     const std::string& spec, int triggerDeck, enTriggerType triggerKind,
                                     const std::string& scriptText, int triggerCount)
    : interface(iface), name(triggerName), count(triggerCount), valueId(id), specifier(spec), deck(triggerDeck),
      scriptName("script:" + scriptText), kind(triggerKind) {
    if (!interface) return;
    switch (kind) {
    case TRIGGER_BOOL:
        lastBool = interface->getValueBool(valueId, &specifier, deck, nullptr);
        break;
    case TRIGGER_STRING:
        lastString = interface->getValueStr(valueId, &specifier, deck);
        break;
    case TRIGGER_DOUBLE:
        lastDouble = interface->getValueDbl(valueId, &specifier, deck);
        break;
    }
}

void SkinScriptTrigger::handleTrigger() {
    if (!interface) return;
    switch (kind) {
    case TRIGGER_BOOL: {
        bool v = interface->getValueBool(valueId, &specifier, deck, nullptr);
        if (v == lastBool) return;
        lastBool = v;
        break;
    }
    case TRIGGER_STRING: {
        std::string v = interface->getValueStr(valueId, &specifier, deck);
        if (v == lastString) return;
        lastString = v;
        break;
    }
    case TRIGGER_DOUBLE: {
        double v = interface->getValueDbl(valueId, &specifier, deck);
        if (v == lastDouble) return;
        lastDouble = v;
        break;
    }
    default:
        return;
    }
    SkinScript* script = interface->skin ? interface->skin->getScript(scriptName) : nullptr;
    if (script) script->executeScript(false, deck, true, 0.0, 0);
    --count;
}
