// The binding between the skin engine and the application: name tables, the value protocol,
// events, the requests to the host shell and the drawing primitives. The application derives
// from it, serves its own value ids and hands every id it does not know back to these operations.
// Everything here runs on the main thread (controller input is queued to it).
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

class BitmapContext;
class CPicture;
class GLPrimitives;
class Skin;
class SkinFont;
class SkinImageRef;
class SkinListBox;
class SkinListItem;
class SkinObject;
class SkinWindow;

// Object kinds, from the "type" element.
enum enSkinObjectType {
    OBJECT_NONE = 0,
    OBJECT_TEXT = 1,
    OBJECT_BUTTON = 2,
    OBJECT_SLIDER = 3,
    OBJECT_SLIDERRELATIVE = 4,
    OBJECT_JOGWHEEL = 5,
    OBJECT_KNOB = 6,
    OBJECT_ROTARY = 7,
    OBJECT_LISTBOX = 8,
    OBJECT_MOVEABLE = 9,
    OBJECT_RESIZEWINDOW = 10,
    OBJECT_MOVEWINDOW = 11,
    OBJECT_TEXTBOX = 12,
    OBJECT_ONLOAD = 13,
    OBJECT_PLAYLIST = 14
};

// What a mouse button does to an object.
enum enSkinAction { ACTION_NONE = 0, ACTION_DEFAULT = 1, ACTION_RESET = 2 };

// The generic value ids (1-31 but 18); the application's ids are 18 and 32 upwards.
enum enSkinValue {
    VALUE_NONE = 0,
    VALUE_CONSTANT = 1,
    VALUE_TABSELECT = 2,
    VALUE_SHOWWINDOW = 3,
    VALUE_WINDOWPOSLEFT = 4,
    VALUE_WINDOWPOSTOP = 5,
    VALUE_CURRENTDECK = 6,
    VALUE_EXECUTESCRIPT = 7,
    VALUE_VARIABLE = 8,
    VALUE_CURRENTTIME = 9,
    VALUE_TIMEUSED = 10,
    VALUE_POPUPMENU = 11,
    VALUE_QUIT = 12,
    VALUE_DEVICECONNECT = 13,
    VALUE_DEVICEPLAYERMAP = 14,
    VALUE_OPTION = 15,
    VALUE_MOVEABLE = 16,
    VALUE_MAINMENU = 17,
    VALUE_PLAYLIST = 19,
    VALUE_FOLDERSANDCASES = 20,
    VALUE_FOLDERS = 21,
    VALUE_FILES = 22,
    VALUE_ADDTOPLAYLISTMENU = 23,
    VALUE_PLAYLISTMENU = 24,
    VALUE_CASES = 25,
    VALUE_AUTOADVANCE = 26,
    VALUE_MODEMENU = 27,
    VALUE_SELECTDRIVE = 28,
    VALUE_FAVOURITEDIRECTORIES = 29,
    VALUE_SORTMENU = 30,
    VALUE_TITLEBAR = 31
};

// drawTextOnPic: bit 0 shortens the text to the width and ends it with "...".
enum TEXTDRAWMODES { TEXTDRAW_NORMAL = 0, TEXTDRAW_SHORTEN = 1 };
enum TEXTALIGNMENTMODES { TEXTALIGN_LEFT = 0, TEXTALIGN_CENTER = 1, TEXTALIGN_RIGHT = 2 };

// Mac virtual key codes the skin acts on (the shell maps its keys to them).
enum { KEY_RETURN = 36, KEY_DELETE = 51 };

// Decks and window layers are 0..3; anything else coming from skin text, scripts or controllers
// is ignored.
inline bool isValidDeck(int deck) {
    return deck >= 0 && deck < 4;
}

class SkinInterface {
public:
    SkinInterface();
    virtual ~SkinInterface();

    // Fills the pop-up list from a ".lst" menu file and asks the host to show it.
    virtual void popupCustomMenu(const std::string& name, int deck, const std::string& value, float x, float y,
                                 bool flag);

    // Requests to the host shell; it polls the fields once per frame and clears what it serves.
    virtual void showPopupMenu(float x, float y, float width, float height);
    virtual void hidePopupMenu();
    virtual void showInputBox(int valueId, const std::string& command, int deck, const std::string& prompt,
                              const std::string& defaultText);
    virtual void showDialogBox(int valueId, const std::string& command, int deck, const std::string& text);
    virtual void showFileDialog(int valueId, const std::string& command, int deck, const std::string& prompt,
                                const std::string& defaultName);

    // Name tables (names compared in lower case); 0 for unknown names.
    virtual int getType(const std::string& name);
    virtual int getValue(const std::string& name);
    virtual int getAction(const std::string& name);

    // The value protocol: a value is an id, a specifier text and a deck 0..3.
    virtual std::string getValueStr(int id, std::string* spec, int deck);
    virtual bool getValueBool(int id, std::string* spec, int deck, SkinWindow* window);
    virtual double getValueDbl(int id, std::string* spec, int deck);
    virtual double getValueDblMin(int id, std::string* spec, int deck);
    virtual double getValueDblMax(int id, std::string* spec, int deck);
    virtual double getValueDblRelative(int id, std::string* spec, int deck);
    virtual void setValueDbl(int id, std::string* spec, int deck, double v);
    virtual void setValueDblRelative(int id, std::string* spec, int deck, double r);
    virtual void resetValue(int id, std::string* spec, int deck);

    virtual SkinListBox* getListBox(SkinObject* object);
    virtual void startDragOperation(SkinObject* object, int deck, const std::string& data);
    virtual void handleFileDrop(SkinObject* object, int layer, const std::string& path, float x, float y);
    // Presses and releases pendingValueId with the answer in place of every "%value%".
    virtual void handleInputBox(const std::string& answer);

    virtual void handleMouseMove(SkinObject* object, float x, float y, float lastX, float lastY, int action, int button,
                                 int modifiers, SkinWindow* window, int layer);
    virtual void handleMouseClick(SkinObject* object, float x, float y, int action, int button, int modifiers,
                                  SkinWindow* window, int layer, bool released);
    // A press or release of a value without a real object (controllers, keys, scripts, dialogs).
    virtual void handleMouseClickSimple(int id, const std::string& spec, int deck, bool released);
    virtual void handleScrollWheel(SkinObject* object, float x, float y, float deltaX, float deltaY);
    virtual void handleJogWheel(int id, std::string* spec, int deck, double amount, double factor, double extra);
    virtual void handleKeyPress(SkinObject* object, int keyCode, const char* characters, bool keyUp, int layer);
    virtual void handleItemClick(SkinObject* object, SkinListItem* row, int flag);
    virtual void handleItemDragStart(SkinObject* object, SkinListItem* row);
    virtual void handleItemDelete(SkinObject* object, SkinListItem* row, bool* veto);

    // ---- Drawing (main thread, with the GL context current) --------------------------------------
    // `target` is the picture of the window layer being drawn; coordinates are its pixels, origin
    // top left. Colours are 0x00BBGGRR. Transparency 0 paints fully.

    virtual void drawObject(void* target, SkinObject* object, int layer, SkinWindow* window);
    virtual void bitblt(void* target, int x, int y, int w, int h, void* src, int srcX, int srcY);
    virtual void fillRectangle(void* target, int x1, int y1, int x2, int y2, unsigned int color);
    virtual void fillRectangleBegin(void* target, bool blend);
    virtual void fillRectangleEnd(void* target, bool blend);
    // transparency 0..255: 255 leaves what is below unchanged.
    virtual void fillTransparent(void* target, int x1, int y1, int x2, int y2, unsigned int color, int transparency);
    // transparency 0.0 opaque .. 1.0 invisible.
    virtual void drawLine(void* target, int x1, int y1, int x2, int y2, float width, unsigned int color,
                          float transparency);
    virtual void drawLineBegin(void* target, float width);
    virtual void drawLineEnd(void* target);
    virtual void drawObjectText(void* target, SkinObject* object, int deck, int layer);
    virtual void drawObjectButton(void* target, SkinObject* object, int deck, int layer, SkinWindow* window);
    virtual void drawObjectSlider(void* target, SkinObject* object, int deck, int layer);
    // A negative `relative` makes the knob read its own value.
    virtual void drawObjectKnob(void* target, SkinObject* object, int deck, int layer, double relative);
    // Draws a text into the object's rectangle through the layer's rendered-text cache.
    virtual void drawText(void* target, std::string* text, SkinObject* object, int layer, unsigned int color,
                          SkinFont* font);
    // Renders a text straight into a picture; `y` is the distance of the text's top from the
    // picture's top. `context` may be null.
    virtual void drawTextOnPic(CPicture* picture, std::string* text, float x, float y, float w, float h,
                               unsigned int color, SkinFont* font, BitmapContext* context, TEXTDRAWMODES mode,
                               TEXTALIGNMENTMODES align);
    // Ink extent: width = right edge + 1, height = the ink's depth below the baseline (swapped for
    // an angled font). Unchanged for empty or undrawable text.
    virtual void getTextSize(CPicture* picture, std::string* text, float* width, float* height, SkinFont* font);
    virtual void drawLed(void* target, SkinImageRef* led, float x, float y, bool lit, bool show);

    // The OpenGL calls of quads and lines (tests record them).
    GLPrimitives* gl = nullptr;
    // Widest picture a scrolling text is rendered into (pixels).
    static constexpr int maxScrollTextWidth = 8192;

    // Clocks, overridable so tests can drive time: milliseconds of timeGetExactTime, and the
    // wall clock for the time of day.
    virtual double getTime();
    virtual time_t getWallTime();

    // The deck an object acts on: its player when 0..3, else the layer of the event or drawing.
    static int deckOf(const SkinObject* object, int layer);

    // The label and script line pairs of a menu file's text (a last unpaired line is dropped).
    static std::vector<std::pair<std::string, std::string>> readMenuItems(const std::string& text);

    Skin* skin = nullptr;
    double startTime = 0.0; // ms, getTime() at construction

    bool showPopupRequested = false;
    bool hidePopupRequested = false;
    float popupX = 0, popupY = 0, popupWidth = 0, popupHeight = 0; // window coordinates
    bool inputRequested = false;
    std::string inputDefaultText;
    std::string inputPrompt;
    int inputKind = 0; // 0 input box, 1 Yes/No dialog
    int pendingValueId = 0;
    std::string pendingCommand; // "%value%" stands for the answer
    int pendingDeck = 0;
    bool fileDialogRequested = false;
    bool quitRequested = false;
    SkinObject* dragObject = nullptr;
    int dragDeck = 0;
    std::string dragData;
    bool fillBatchOpen = false;
    bool lineBatchOpen = false;

protected:
    // The windows a window-value specifier ("name" or "name|layer") names, and the layer it names.
    std::vector<SkinWindow*> windowsNamed(const std::string& spec, int& layer);
    void selectTab(SkinWindow* window, const std::string& spec, int deck);
    bool isTabSelected(SkinWindow* window, const std::string& spec, int deck);
    void dragSplitter(SkinObject* object, float x, float y, float lastX, float lastY, SkinWindow* window);

    // The list box of a list object in a deck's layer (null until the application made one), and
    // the events and menu rows handed to it (SkinInterfaceLists.cpp).
    SkinListBox* listBoxOf(SkinObject* object, int deck) const;
    void forwardListClick(SkinObject* object, int deck, float x, float y, int button, int modifiers, bool released);
    void forwardListMove(SkinObject* object, int deck, float x, float y, int button, int modifiers);
    void forwardListWheel(SkinObject* object, float deltaX, float deltaY);
    void forwardListKey(SkinObject* object, int keyCode, const char* characters, bool keyUp);
    // Fills the "_popupwindow" list with one row per menu item; gives the list's size.
    void fillPopupList(const std::vector<std::pair<std::string, std::string>>& items, int deck, float* width,
                       float* height);
    void drawListBox(void* target, SkinObject* object, int deck);

    // Draws the whole referenced area of an object picture at the object's top left (`width`
    // replaces the picture's width when not negative).
    void blitPicture(void* target, SkinObject* object, SkinImageRef* picture, float width = -1.0f);
    void drawFrameStrip(void* target, SkinObject* object, bool pressed, bool value, bool hover);
    void drawSliderBar(void* target, SkinObject* object, float v, int geometry, float startOffset);
    void drawSliderThumb(void* target, SkinObject* object, SkinImageRef* thumb, float v);
    void drawSliderLeds(void* target, SkinObject* object, float v);
};
