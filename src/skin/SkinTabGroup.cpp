#include "skin/SkinTabGroup.h"

#include "foundation/modTools.h"
#include "skin/SkinInterface.h"
#include "skin/SkinTab.h"

SkinTabGroup::SkinTabGroup() {
    construct();
}

SkinTabGroup::SkinTabGroup(std::string* text, SkinWindow* window) {
    construct();
    std::string lower = strtolower(*text);
    size_t from = 0, end = 0;
    while (true) {
        end = std::string::npos;
        std::string tabText = getXMLElementCIFast(*text, lower, "tab", from, &end);
        if (end == std::string::npos) break;
        addTab(new SkinTab(&tabText, window));
        from = end;
    }
    setDefaultTab(false);
}

SkinTabGroup::~SkinTabGroup() = default;

void SkinTabGroup::construct() {
    for (int& tab : curTabs)
        tab = 0;
}

void SkinTabGroup::addTab(SkinTab* tab) {
    tabs.emplace_back(tab);
    tabOrder.push_back(static_cast<int>(tabs.size()) - 1);
}

int SkinTabGroup::getCurTab(int layer) const {
    return isValidDeck(layer) ? curTabs[layer] : 0;
}

SkinTab* SkinTabGroup::getCurrentTab(int layer) const {
    return isValidDeck(layer) ? getTab(curTabs[layer]) : nullptr;
}

SkinTab* SkinTabGroup::getTab(int i) const {
    return i >= 0 && i < getNbTabs() ? tabs[static_cast<size_t>(i)].get() : nullptr;
}

void SkinTabGroup::setCurTab(int layer, int index) {
    // The index comes from settings and from tab-select values: negative ones are refused too.
    if (!isValidDeck(layer) || index < 0 || index >= getNbTabs()) return;
    curTabs[layer] = index;
    tabs[static_cast<size_t>(index)]->handleOnLoad(layer);
}

void SkinTabGroup::setDefaultTab(bool runOnLoad) {
    for (int i = 0; i < getNbTabs(); ++i) {
        if (!tabs[static_cast<size_t>(i)]->isDefaultTab()) continue;
        for (int& tab : curTabs)
            tab = i;
        if (runOnLoad)
            for (int layer = 0; layer < 4; ++layer)
                tabs[static_cast<size_t>(i)]->handleOnLoad(layer);
    }
}

int SkinTabGroup::getTabOrder(int i) const {
    return i >= 0 && i < static_cast<int>(tabOrder.size()) ? tabOrder[static_cast<size_t>(i)] : 0;
}

void SkinTabGroup::setTabOrder(int i, int value) {
    if (i >= 0 && i < static_cast<int>(tabOrder.size())) tabOrder[static_cast<size_t>(i)] = value;
}

std::string SkinTabGroup::getTabOrderXML() const {
    std::string xml;
    for (size_t i = 0; i < tabOrder.size(); ++i) {
        std::string n = intToStr(static_cast<int>(i));
        xml += "<TABORDER_" + n + ">" + intToStr(tabOrder[i]) + "</TABORDER_" + n + ">";
    }
    for (int layer = 0; layer < 4; ++layer) {
        std::string n = intToStr(layer);
        xml += "<CURTAB_" + n + ">" + intToStr(curTabs[layer]) + "</CURTAB_" + n + ">";
    }
    return xml;
}

void SkinTabGroup::initTabOrderFromXML(std::string* text) {
    std::string lower = strtolower(*text);
    for (size_t i = 0; i < tabOrder.size(); ++i) {
        std::string value = getXMLElementCIFast(*text, lower, "taborder_" + intToStr(static_cast<int>(i)));
        if (!value.empty()) tabOrder[i] = strToInt(value);
    }
    for (int layer = 0; layer < 4; ++layer) {
        std::string value = getXMLElementCIFast(*text, lower, "curtab_" + intToStr(layer));
        if (!value.empty()) setCurTab(layer, strToInt(value));
    }
}
