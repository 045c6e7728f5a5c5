// A tab of a tab group: an ordered list of objects shown together.
#pragma once

#include <memory>
#include <string>
#include <vector>

class SkinObject;
class SkinWindow;

class SkinTab {
public:
    // On-load presses that select tabs nest at most this deep.
    static constexpr int maxOnLoadDepth = 16;
    static constexpr int maxOnLoadPresses = 1024;

    explicit SkinTab(SkinWindow* window);
    // From a "tab" element: "default", "name" and its "object" elements.
    SkinTab(std::string* text, SkinWindow* window);
    virtual ~SkinTab();

    void addObject(SkinObject* object);
    // Builds an object from its element text and appends it ("movetobottom" puts it first).
    SkinObject* addObjectFromXML(std::string* text);
    SkinObject* getObj(int i) const;
    int getNbObjs() const { return static_cast<int>(objects.size()); }
    SkinObject* getObject(const std::string& name) const;
    bool isDefaultTab() const { return isDefault; }
    // Presses every on-load object's value for the layer's deck.
    void handleOnLoad(int layer);

    std::vector<std::unique_ptr<SkinObject>> objects;
    bool isDefault = false;
    std::string name;
    SkinWindow* window = nullptr;
};
