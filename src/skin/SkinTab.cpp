#include "skin/SkinTab.h"

#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinWindow.h"

#include <utility>

SkinTab::SkinTab(SkinWindow* window) : window(window) {}

SkinTab::SkinTab(std::string* text, SkinWindow* window) : window(window) {
    std::string lower = strtolower(*text);
    std::string def = getXMLElementCIFast(*text, lower, "default");
    isDefault = !def.empty() && strToBool(def);
    name = getXMLElementCIFast(*text, lower, "name");
    size_t from = 0, end = 0;
    while (true) {
        end = std::string::npos;
        std::string objectText = getXMLElementCIFast(*text, lower, "object", from, &end);
        if (end == std::string::npos) break;
        addObjectFromXML(&objectText);
        from = end;
    }
}

SkinTab::~SkinTab() = default;

void SkinTab::addObject(SkinObject* object) {
    objects.emplace_back(object);
}

SkinObject* SkinTab::addObjectFromXML(std::string* text) {
    SkinObject* object = new SkinObject(text, window, this);
    objects.emplace_back(object);
    std::string lower = strtolower(*text);
    if (strToBool(getXMLElementCIFast(*text, lower, "movetobottom")) && objects.size() > 1)
        std::swap(objects.front(), objects.back());
    return object;
}

SkinObject* SkinTab::getObj(int i) const {
    return i >= 0 && i < getNbObjs() ? objects[static_cast<size_t>(i)].get() : nullptr;
}

SkinObject* SkinTab::getObject(const std::string& name) const {
    for (auto& object : objects)
        if (object->name == name) return object.get();
    return nullptr;
}

void SkinTab::handleOnLoad(int layer) {
    SkinInterface* iface = window && window->skin ? window->skin->interface : nullptr;
    // An on-load press may select a tab whose on-load presses select this one again: bound the
    // nesting instead of recursing until the stack ends.
    // Each level may select several tabs: the presses under one outermost call are counted too.
    static thread_local int depth = 0;
    static thread_local int pressesLeft = 0;
    if (!iface || !isValidDeck(layer) || depth >= maxOnLoadDepth) return;
    if (depth == 0) pressesLeft = maxOnLoadPresses;
    ++depth;
    for (size_t i = 0; i < objects.size(); ++i) {
        SkinObject* object = objects[i].get();
        if (object->type == OBJECT_ONLOAD && pressesLeft-- > 0)
            iface->handleMouseClickSimple(object->value, object->valueSpecifier, layer, false);
    }
    --depth;
}
