// The per-layer runtime records of objects and windows (one per window layer, layer i = deck i).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPicture;
class SkinListBox;
class SkinObject;

// The state of one object in one window layer.
class SkinObjectStateInfo {
public:
    SkinObjectStateInfo() = default;
    ~SkinObjectStateInfo();
    SkinObjectStateInfo(const SkinObjectStateInfo&) = delete;
    SkinObjectStateInfo& operator=(const SkinObjectStateInfo&) = delete;

    bool hover = false;             // the mouse is over the object
    bool pressed = false;           // a button went down on it and has not come up
    int auxA = 0, auxB = 0;         // kept for the application's drawing
    double scrollOffset = 0.0;      // scrolling text: position in pixels; visuals keep their last value here
    double textWidth = 0.0;         // width in pixels of the text last rendered
    unsigned int textColor = 0;     // colour of the text last rendered (0x00BBGGRR)
    double lastScrollTime = 0.0;    // ms, the skin interface's clock
    std::string drawnText;          // the text last rendered into `picture`
    std::string editText;           // text typed into a text box (UTF-8)
    uintptr_t auxPicture = 0;       // kept for the application's drawing
    CPicture* picture = nullptr;    // text objects: their rendered text (owned)
    SkinListBox* listBox = nullptr; // list objects: their list box (owned by the application)
    int auxC = 0;
    bool redraw = true; // the object must be drawn again
    double auxValue = 0.0;
    std::string auxText;
    std::vector<double> auxData; // a buffer kept for the application's drawing
};

// The state of one window layer.
class SkinWindowStateInfo {
public:
    bool pressActive = false;                     // a press landed on an object and has not been released
    int pressedObjectIndex = -1;                  // index of that object in its tab
    int pressedTabIndex = -1;                     // current tab of its group at the press
    int pressedGroupIndex = -1;                   // index of its group in the window
    SkinObject* pressedObject = nullptr;          // receives the moves and the release of the press
    float lastMouseX = -1.0f, lastMouseY = -1.0f; // layer coordinates
    int reservedIndex = -1;
    bool dragFlag = false;
    bool visible = false;
    bool hidden = false;
    float x = 0.0f, y = 0.0f;         // position on screen
    float moveX = 0.0f, moveY = 0.0f; // pending window move, taken by the shell
};
