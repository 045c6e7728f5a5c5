// A skin window: tab groups of objects, shown in four layers (layer i belongs to deck i), each
// with its own position, visibility, current tabs, pressed and focused object. Built on the
// skin's loading threads; drawn and given events on the main thread.
#pragma once

#include "skin/SkinColor.h"
#include "skin/SkinImageRef.h"
#include "skin/SkinStateInfo.h"

#include <memory>
#include <string>
#include <vector>

class CPicture;
class Skin;
class SkinFont;
class SkinObject;
class SkinRect;
class SkinTabGroup;

// Hit test of every window event: strictly inside the rectangle.
bool inSquare(float x, float y, const SkinRect* rect);

class SkinWindow {
public:
    // The largest window side in pixels that layout and restored settings accept.
    static constexpr float maxSize = 8192.0f;
    static constexpr float minSize = 25.0f;

    enum EdgeImage {
        EDGE_RIGHTTOP,
        EDGE_LEFTBOTTOM,
        EDGE_LEFTTOP,
        EDGE_RIGHTBOTTOM,
        EDGE_TOP,
        EDGE_RIGHT,
        EDGE_BOTTOM,
        EDGE_LEFT,
        EDGE_COUNT
    };
    enum { ICON_COUNT = 14, LIST_COLOR_COUNT = 8 };
    enum ListColor {
        LISTCOLOR_BACKGROUND,
        LISTCOLOR_BACKGROUND2,
        LISTCOLOR_SIDE,
        LISTCOLOR_FONT,
        LISTCOLOR_SELECTED_FONT,
        LISTCOLOR_SELECTED_BACK,
        LISTCOLOR_SCROLLBAR,
        LISTCOLOR_SCROLLBAR_PRESSED
    };
    enum ScrollPicture { SCROLL_UP, SCROLL_UP_SELECTED, SCROLL_DOWN, SCROLL_DOWN_SELECTED };

    SkinWindow(Skin* skin, std::string* xml);
    SkinWindow(Skin* skin, std::string* xml, const std::string& forcedName);
    virtual ~SkinWindow();
    SkinWindow(const SkinWindow&) = delete;
    SkinWindow& operator=(const SkinWindow&) = delete;

    void construct(Skin* skin, std::string* xml);

    // Draws one layer, making its drawing target first when it has none.
    void draw(int layer);
    void draw(void* target, int layer);
    // New size (at least 25 x 25, at most maxSize) and layout of every object.
    void resize(float width, float height);

    // The first object named exactly `name` in any group and tab; null when none.
    SkinObject* getObject(const std::string& name) const;
    // The object's action for button 1 left, 2 right, 3 centre, 4 double click; 0 otherwise.
    static int getObjectAction(const SkinObject* object, int button);

    // Events of one layer, in layer coordinates (y down). Layers outside 0..3 do nothing.
    void mouseDown(float x, float y, int button, int modifiers, int layer);
    void mouseUp(float x, float y, int button, int modifiers, int layer);
    void mouseMove(float x, float y, int button, int modifiers, int layer);
    void scrollWheel(float x, float y, float deltaX, float deltaY, int layer);
    void keyPress(int keyCode, const char* characters, bool released, int layer);
    // Some object of the layer is drawn under the pointer (its hover is set).
    bool hoverShown(int layer) const;
    void handleFileDrop(float x, float y, int layer, const std::string& path);

    std::string getTabOrderXML() const;
    void initTabOrderFromXML(const std::string& text);

    SkinWindowStateInfo* layerState(int layer) const;

    std::string name;
    Skin* skin = nullptr;
    std::vector<SkinObject*> presets; // always empty: presets are not kept
    std::vector<std::unique_ptr<SkinTabGroup>> tabGroups;
    float width = 100.0f, height = 100.0f; // pixels
    CPicture* backgroundPicture = nullptr; // the four pictures are owned by the skin's cache
    CPicture* selectedPicture = nullptr;
    CPicture* activePicture = nullptr;
    CPicture* mouseoverPicture = nullptr;
    std::unique_ptr<SkinColor> backgroundColor; // only without a background picture
    // Owned drawing targets: a size without pixels (see sizeLayerPicture).
    CPicture* layerPictures[4] = {nullptr, nullptr, nullptr, nullptr};
    std::unique_ptr<SkinWindowStateInfo> layerStates[4];
    SkinObject* focusedObjects[4] = {nullptr, nullptr, nullptr, nullptr};
    std::unique_ptr<SkinImageRef> edgeImages[EDGE_COUNT];
    std::unique_ptr<SkinImageRef> icons[ICON_COUNT];
    std::unique_ptr<SkinColor> listColors[LIST_COLOR_COUNT];
    SkinFont* listFonts[2] = {nullptr, nullptr}; // normal and selected; owned by the skin
    CPicture* scrollPictures[4] = {nullptr, nullptr, nullptr, nullptr};
    // Position of the window's definition in the skin file: windows built on several threads are
    // put back in this order.
    int sequence = 0;

private:
    void layoutObject(SkinObject* object, float w, float h);
    void sizeLayerPicture(CPicture* picture) const;
    void readEdgeImages(std::string* text, std::string& lower);
    // Calls `visit` for each object of the layer's current tabs, looking the current tab up
    // again before each object, so a handler that changes the tab continues in the new one.
    template <typename Visit> void forEachCurrentObject(int layer, Visit visit);
};
