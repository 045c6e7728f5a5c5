#include "skin/SkinObject.h"

#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinTab.h"
#include "skin/SkinWindow.h"

namespace {

// The target of a link written as an object name; mode 0 when no earlier object has that name.
SkinLink linkTo(const std::string& text, SkinWindow* window, SkinTab* tab) {
    SkinLink link;
    if (text.empty()) return link;
    if (text == "side") {
        link.mode = SkinLink::SIDE;
        return link;
    }
    link.target = SkinObject::getObject(text, window, tab);
    link.mode = link.target ? SkinLink::OBJECT : SkinLink::NONE;
    if (!link.target && window && window->skin) window->skin->reportUnresolved("link", text);
    return link;
}

CPicture* windowPicture(SkinWindow* window, const std::string& ref) {
    if (ref == "background") return window->backgroundPicture;
    if (ref == "selected") return window->selectedPicture;
    if (ref == "active") return window->activePicture;
    if (ref == "mouseover") return window->mouseoverPicture;
    return nullptr;
}

} // namespace

SkinObject::SkinObject(std::string* text, SkinWindow* window, SkinTab* tab) : window(window) {
    drawType = -1;
    std::string lower = strtolower(*text);
    Skin* skin = window ? window->skin : nullptr;
    SkinInterface* iface = skin ? skin->interface : nullptr;
    auto element = [&](const char* tag) { return getXMLElementCIFast(*text, lower, tag); };

    // Presets are not kept by windows, so "loadpreset" finds nothing to copy.
    std::string preset = strtolower(element("loadpreset"));
    if (!preset.empty() && window)
        for (SkinObject* candidate : window->presets)
            if (strtolower(candidate->name) == preset) initFromObj(candidate);

    name = element("name");
    std::string typeName = element("type");
    type = !typeName.empty() && iface ? iface->getType(typeName) : 0;
    std::string valueName = element("value");
    value = !valueName.empty() && iface ? iface->getValue(valueName) : 0;
    valueSpecifier = element("valuespecifier");
    invert = strToBool(element("invert"));
    std::string variable = element("typevariable");
    if (!variable.empty()) typeVariable = strToDbl(variable);

    if (type == OBJECT_KNOB) {
        // "spec|n": n is the knob's sensitivity. A missing, empty or non-positive n would stop
        // the knob from moving (or divide by zero): it counts as 1.
        typeVariable = 1.0;
        if (valueSpecifier.find('|') != std::string::npos) {
            std::vector<std::string> pieces = strsplit(valueSpecifier, "|");
            valueSpecifier = strtrim(pieces.empty() ? std::string() : pieces[0]);
            if (pieces.size() > 1) {
                double n = strToDbl(strtrim(pieces[1]));
                if (n > 0) typeVariable = n;
            }
        }
    }

    if (window && iface) {
        actionLeft = iface->getAction(element("left-action"));
        actionCenter = iface->getAction(element("center-action"));
        actionRight = iface->getAction(element("right-action"));
        actionDoubleClick = iface->getAction(element("doubleclick-action"));
        if (!typeName.empty() && type == 0) skin->reportUnresolved("type", typeName);
        if (!valueName.empty() && value == 0) skin->reportUnresolved("value", valueName);
        for (const char* tag : {"left-action", "center-action", "right-action", "doubleclick-action"}) {
            std::string action = element(tag);
            if (!action.empty() && iface->getAction(action) == 0 && strtolower(action) != "none")
                skin->reportUnresolved("action", action);
        }
    }

    std::string drawTypeText = element("drawtype");
    drawType = drawTypeText.empty() ? 0 : strToInt(drawTypeText);
    std::string playerText = strtolower(element("player"));
    player = playerText.empty() || playerText == "auto" ? -1 : strToInt(playerText);

    std::string position = element("position");
    rect = position.empty() ? std::make_unique<SkinRect>() : std::make_unique<SkinRect>(&position);
    if (!position.empty()) {
        std::string left = getXMLPart(position, "linkleft");
        if (left == "side") {
            linkLeft.mode = SkinLink::SIDE;
        } else if (left == "rightside") {
            linkLeft.mode = SkinLink::RIGHTSIDE;
        } else if (left == "previous" && tab && tab->getNbObjs() > 0) {
            linkLeft.mode = SkinLink::OBJECT;
            linkLeft.target = tab->getObj(tab->getNbObjs() - 1);
        } else {
            linkLeft = linkTo(left, window, tab);
        }
        linkRight = linkTo(getXMLPart(position, "linkright"), window, tab);
        linkTop = linkTo(getXMLPart(position, "linktop"), window, tab);
        linkBottom = linkTo(getXMLPart(position, "linkbottom"), window, tab);
    }

    static const char* colorTags[4] = {"color", "color2", "color3", "color4"};
    for (int i = 0; i < 4; ++i) {
        std::string colorText = element(colorTags[i]);
        if (colorText.empty()) continue;
        hasColor[i] = true;
        colors[i] = skin ? skin->getColor(colorText) : 0;
    }

    tooltip = element("tooltip");

    static const char* picTags[4] = {"additionalpic_1", "additionalpic_2", "additionalpic_3", "additionalpic_4"};
    for (int i = 0; i < 4; ++i) {
        std::string picText = element(picTags[i]);
        if (picText.empty()) continue;
        std::string ref = getXMLPart(picText, "ref");
        if (window && (ref == "background" || ref == "selected" || ref == "active" || ref == "mouseover"))
            additionalPics[i] = std::make_unique<SkinImageRef>(windowPicture(window, ref), rect.get());
        else if (skin)
            additionalPics[i].reset(
                skin->getImageRef(picText, static_cast<int>(rect->width), static_cast<int>(rect->height)));
    }

    if (window && skin) font = skin->getFontHandle(element("font"));
    initStates();
}

SkinObject::SkinObject(SkinObject*) : rect(std::make_unique<SkinRect>()) {
    initStates();
}

SkinObject::~SkinObject() = default;

void SkinObject::initFromObj(SkinObject*) {}

void SkinObject::initStates() {
    for (auto& state : states)
        state = std::make_unique<SkinObjectStateInfo>();
}

SkinObject* SkinObject::getObject(const std::string& name, SkinWindow* window, SkinTab* tab) {
    if (tab) {
        if (SkinObject* found = tab->getObject(name)) return found;
    }
    return window ? window->getObject(name) : nullptr;
}
