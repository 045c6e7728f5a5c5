// A group of tabs of which each window layer shows one.
#pragma once

#include <memory>
#include <string>
#include <vector>

class SkinTab;
class SkinWindow;

class SkinTabGroup {
public:
    SkinTabGroup();
    // One tab per "tab" element of a "tabs" element; the default tab becomes current.
    SkinTabGroup(std::string* text, SkinWindow* window);
    virtual ~SkinTabGroup();

    void construct();
    void addTab(SkinTab* tab);
    int getCurTab(int layer) const;
    // The layer's current tab; null for an invalid layer or an empty group.
    SkinTab* getCurrentTab(int layer) const;
    // Makes tab `index` current in the layer and runs its on-load objects; out of range does nothing.
    void setCurTab(int layer, int index);
    void setDefaultTab(bool runOnLoad);
    int getTabOrder(int i) const;
    void setTabOrder(int i, int value);
    int getNbTabs() const { return static_cast<int>(tabs.size()); }
    SkinTab* getTab(int i) const;

    std::string getTabOrderXML() const;
    void initTabOrderFromXML(std::string* text);

    std::vector<int> tabOrder;
    int curTabs[4] = {0, 0, 0, 0};
    std::string name;
    std::vector<std::unique_ptr<SkinTab>> tabs;
};
