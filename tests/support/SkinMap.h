// Where a skin's controls are: the skin file loaded by the skin engine itself, with every value
// named, so a test finds an object by its name or by the value it shows and clicks where a user
// would (window pixels of a window layer).
#pragma once

#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinObject.h"
#include "skin/SkinRect.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

#include <map>
#include <mutex>
#include <string>

namespace testsupport {

// Names every value so the skin's objects can be found by what they do. The skin's windows are loaded on
// threads of their own, each asking for its values' ids at once.
class NamingInterface : public SkinInterface {
public:
    int getValue(const std::string& name) override {
        int id = SkinInterface::getValue(name);
        std::lock_guard<std::mutex> hold(lock);
        if (id == 0) {
            auto found = ids.find(strtolower(name));
            if (found != ids.end()) return found->second;
            id = 1000 + int(ids.size());
            ids[strtolower(name)] = id;
        }
        names[id] = strtolower(name);
        return id;
    }
    std::string nameOf(int id) {
        std::lock_guard<std::mutex> hold(lock);
        auto found = names.find(id);
        return found == names.end() ? std::string() : found->second;
    }

private:
    std::mutex lock;
    std::map<std::string, int> ids;
    std::map<int, std::string> names;
};

struct Point {
    int x = -1, y = -1;
    bool valid() const { return x >= 0 && y >= 0; }
};

// One object of the skin with the window and the tab that hold it.
struct PlacedObject {
    SkinObject* object = nullptr;
    SkinWindow* window = nullptr;
    std::string tab; // the tab's name; empty for an object of the window's own objects
    // A point inside the object on a window layer, in skin pixels (`fx`, `fy` 0.5: its centre), where
    // the layer stands whether it is shown or not.
    Point at(int layer, float fx = 0.5f, float fy = 0.5f) const {
        SkinWindowStateInfo* st = window ? window->layerState(layer) : nullptr;
        if (!object || !st) return Point{};
        const SkinRect* r = object->rect.get();
        return Point{int(st->x + r->left + r->width * fx), int(st->y + r->top + r->height * fy)};
    }
};

struct SkinMap {
    NamingInterface iface;
    Skin skin{&iface};
    float width = 0, height = 0;

    explicit SkinMap(const std::string& path) {
        skin.loadSkin(path);
        skin.getBounds(&width, &height);
    }
    std::string valueName(const SkinObject* o) { return iface.nameOf(o->value); }
    // Calls visit(window, tab name, object) for every object of every tab of every window.
    template <class Visit> void forEachObject(Visit visit) {
        for (auto& w : skin.windows)
            for (auto& g : w->tabGroups)
                for (int t = 0; t < g->getNbTabs(); ++t) {
                    SkinTab* tab = g->getTab(t);
                    for (int i = 0; tab->getObj(i); ++i)
                        visit(w.get(), tab->name, tab->getObj(i));
                }
    }
    // The object of that name (the first one, in the skin's order).
    PlacedObject object(const std::string& name) {
        for (auto& w : skin.windows)
            for (size_t g = 0; g < w->tabGroups.size(); ++g)
                for (int t = 0; t < w->tabGroups[g]->getNbTabs(); ++t) {
                    SkinTab* tab = w->tabGroups[g]->getTab(t);
                    // The window's own objects sit in its first group's one unnamed tab.
                    if (SkinObject* o = tab->getObject(name)) return PlacedObject{o, w.get(), g == 0 ? "" : tab->name};
                }
        return PlacedObject{};
    }
    // The object doing `value` in layer `layer` (in a current tab), in window pixels; `fx`, `fy`
    // place the point inside the object (0.5: its centre).
    Point find(const std::string& value, int layer, float fx = 0.5f, float fy = 0.5f, const char* window = nullptr) {
        for (auto& w : skin.windows) {
            if (window && strtolower(w->name) != window) continue;
            SkinWindowStateInfo* st = w->layerState(layer);
            if (!st || !st->visible || st->hidden) continue;
            for (auto& g : w->tabGroups)
                for (int t = 0; t < g->getNbTabs(); ++t) {
                    if (g->getCurTab(layer) != t) continue;
                    SkinTab* tab = g->getTab(t);
                    for (int i = 0; tab->getObj(i); ++i) {
                        SkinObject* o = tab->getObj(i);
                        if (iface.nameOf(o->value) != value) continue;
                        const SkinRect* r = o->rect.get();
                        return Point{int(st->x + r->left + r->width * fx), int(st->y + r->top + r->height * fy)};
                    }
                }
        }
        return Point{};
    }
};

} // namespace testsupport
