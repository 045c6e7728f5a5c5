// One control of a skin window (button, slider, knob, text, list, splitter ...), built once from
// its "object" element; afterwards data that the window lays out, draws and routes events to.
#pragma once

#include "skin/SkinImageRef.h"
#include "skin/SkinRect.h"
#include "skin/SkinStateInfo.h"

#include <memory>
#include <string>

class SkinFont;
class SkinTab;
class SkinWindow;

// How one edge follows the window or another object.
struct SkinLink {
    enum { NONE = 0, OBJECT = 1, SIDE = 2, RIGHTSIDE = 3 };
    int mode = NONE;
    SkinObject* target = nullptr; // set for mode OBJECT: an object of the same window built earlier
};

class SkinObject {
public:
    // From the text of an "object" element. `window` and `tab` may be null only with an empty
    // text (a temporary object whose fields the caller fills).
    SkinObject(std::string* text, SkinWindow* window, SkinTab* tab);
    // The preset hook: an empty object that takes nothing from `other`.
    explicit SkinObject(SkinObject* other);
    virtual ~SkinObject();
    SkinObject(const SkinObject&) = delete;
    SkinObject& operator=(const SkinObject&) = delete;

    void initFromObj(SkinObject* other);

    // The object named exactly `name`: first in `tab`, then anywhere in `window`; null when none.
    static SkinObject* getObject(const std::string& name, SkinWindow* window, SkinTab* tab);

    // The object's state record for a layer, null outside 0..3.
    SkinObjectStateInfo* state(int layer) const { return isValidLayer(layer) ? states[layer].get() : nullptr; }
    static bool isValidLayer(int layer) { return layer >= 0 && layer < 4; }

    std::string name;
    std::string tooltip;
    SkinLink linkLeft, linkRight, linkBottom, linkTop;
    std::string valueSpecifier;
    int actionLeft = 0, actionCenter = 0, actionRight = 0, actionDoubleClick = 0;
    int drawType = 0;
    int type = 0;  // enSkinObjectType
    int value = 0; // enSkinValue or the application's id
    bool invert = false;
    int player = -1; // deck 0..3, or -1 for the layer of the event or drawing
    std::unique_ptr<SkinRect> rect;
    double typeVariable = 0.0;             // knob: pixels per range are 60 x this
    unsigned int colors[4] = {0, 0, 0, 0}; // 0x00BBGGRR
    bool hasColor[4] = {false, false, false, false};
    SkinFont* font = nullptr; // owned by the skin
    std::unique_ptr<SkinImageRef> additionalPics[4];
    std::unique_ptr<SkinObjectStateInfo> states[4];
    SkinWindow* window = nullptr;

private:
    void initStates();
};
