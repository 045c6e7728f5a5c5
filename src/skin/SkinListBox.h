// The skin's one list control: a scrolling list of rows (SkinListItem) drawn into a picture of its
// own and copied to the screen through the SkinInterface. One text line per row made of a left
// and a right template, or, in column mode, a header and one cell per column with fractional
// widths the user can drag. The application makes and fills every list box and hears about
// clicks, drag starts and deletes through the interface's item events. The list does not sort.
//
// Threads: the main thread only (controller input reaches the interface on the main thread).
#pragma once

#include "skin/SkinListItem.h"

#include <memory>
#include <string>
#include <vector>

class CPicture;
class SkinFont;
class SkinInterface;
class SkinObject;
class SkinRect;

class SkinListBox {
public:
    static constexpr int rowHeight = 17;    // pixels, rows and the header
    static constexpr int scrollWidth = 15;  // pixels, the scroll zone on the right (arrows are square)
    static constexpr int indentWidth = 5;   // pixels per indent level
    static constexpr int maxColumns = 64;   // column numbers at or beyond it are ignored
    static constexpr int arrowStep = 10;    // pixels a press on an arrow scrolls
    static constexpr int wheelFactor = 6;   // pixels per wheel unit
    static constexpr int ensureMargin = 25; // pixels above a row scrolled into view

    // What a held press does (dragMode): a row index (0 or more) while a press on that row is held.
    enum { DRAG_NONE = -1, DRAG_ARROW_UP = -2, DRAG_ARROW_DOWN = -3, DRAG_THUMB = -4, DRAG_BORDER = -5 };

    // Mac virtual key codes the list acts on.
    enum {
        KEY_LIST_DELETE = 51,
        KEY_LIST_FORWARD_DELETE = 117,
        KEY_LIST_HOME = 115,
        KEY_LIST_END = 119,
        KEY_LIST_PAGE_UP = 116,
        KEY_LIST_PAGE_DOWN = 121,
        KEY_LIST_DOWN = 125,
        KEY_LIST_UP = 126
    };

    // `rect` and `object` are not owned; the colours and scroll arrows come from the object's window.
    SkinListBox(SkinInterface* interface, SkinRect* rect, SkinObject* object);
    virtual ~SkinListBox();
    SkinListBox(const SkinListBox&) = delete;
    SkinListBox& operator=(const SkinListBox&) = delete;

    // ---- Rows and columns ----
    void setColumns(const std::vector<std::string>& names);
    void setColumn(int i, const std::string& name);
    int getNbColumns() const { return header->getNbColumns(); }
    // Appends a row; the caller may then set its indent, colour and picture.
    SkinListItem* addRow(const std::vector<std::string>& values);
    SkinListItem* getRow(unsigned int i) const;
    int getNbItems() const { return static_cast<int>(rows.size()); }
    SkinListItem* getSelectedItem(int i) const;
    int getNbSelectedItems() const { return static_cast<int>(selection.size()); }
    // Without `add` the row becomes the only selection.
    void selectItem(SkinListItem* row, bool add);
    void setItemBold(int index);
    // Frees the row; rows after it move up one place.
    void deleteItem(SkinListItem* row);
    // Moves the row to place `to` (clamped). Indexes are refreshed by the next layout pass.
    void moveItem(SkinListItem* row, int to);
    void clear();
    void setDirty() { dirty = true; }
    bool needsLayout() const { return layoutDirty || headerLaidOut != showHeader; }
    // Takes a new rectangle (not owned); a new size remakes the picture.
    void resize(SkinRect* rect);

    // ---- Geometry (lay out first when needed) ----
    float getItemPositionTop(SkinListItem* row);
    float getTotalHeight();
    // The width a pop-up of this list asks for: 150, or more when its widest row needs it, so that no
    // label is cut short.
    float getMaxWidth();
    // The row drawn at (x, y) in list coordinates among the rows of the last drawing pass.
    SkinListItem* getRowAt(float x, float y);
    // Scrolls a row that is not wholly shown so its top is 25 pixels below the list's top.
    void ensureVisible(SkinListItem* row);
    void calculateItemPositions();

    // ---- Drawing ----
    void draw(void* target);
    void drawWorking(void* target);

    // ---- Input ----
    void scrollWheel(double dx, double dy);
    // Jog steps: move the selection (not the view) by whole steps, keeping the fraction.
    void scrollDown(double steps);
    void scrollUp(double steps) { scrollDown(-steps); }
    void moveDown(int n);
    void moveUp(int n);
    // x, y in window coordinates. The integer after the button is not used.
    virtual void handleMouseMove(float x, float y, int button, int);
    virtual void handleMouseClick(float x, float y, int button, int, bool release);
    virtual void handleKeyPress(int key, const char* characters, bool release);

    // ---- Saved column widths ----
    std::string getSettingsXML() const;
    void initSettingsXML(const std::string& text);

    // Text a key press may type: non-empty and without control characters (modifier and function
    // keys arrive with none, or with a control character).
    static bool isTypedText(const char* characters);

    SkinInterface* interface = nullptr;
    SkinRect* rect = nullptr;
    SkinObject* object = nullptr;
    std::vector<std::unique_ptr<SkinListItem>> rows;
    std::vector<SkinListItem*> selection; // element 0 is the current row
    bool dirty = true;
    bool layoutDirty = true;
    std::unique_ptr<CPicture> picture;
    int boldRow = -1;
    double wheelRemainder = 0.0; // steps
    float scrollOffset = 0.0f;   // pixels, in [min(0, height - last row bottom), 0]
    float lastX = 0.0f, lastY = 0.0f;
    int firstVisibleRow = 0, lastVisibleRow = 0; // -1 when none
    int dragMode = DRAG_NONE;
    int dragColumn = 0;
    float lastScrollY = 0.0f;
    bool dragStarted = false;
    std::unique_ptr<SkinListItem> header;
    std::vector<float> columnWidths; // fractions of the text width (list width - 15)
    bool showHeader = false;
    bool headerLaidOut = false; // the header state of the last layout: the rows move when it changes
    int searchColumn = 0;
    std::string leftFormat = "%[1]";
    std::string rightFormat;
    std::vector<CPicture*> pictures; // the rows' pictures; owned by the application
    bool hasPictures = true;
    unsigned int colorBackground = 0x000000;
    unsigned int colorBackground2 = 0x000000; // odd rows; 0 = none
    unsigned int colorSide = 0x000000;        // 0 = none
    unsigned int colorFont = 0xFFFFFF;
    unsigned int colorSelectedFont = 0xFFFFFF;
    unsigned int colorSelectedBack = 0xC00000;
    unsigned int colorScrollbar = 0xE1D4CD;
    unsigned int colorScrollbarPressed = 0x804040;
    CPicture* scrollUpPicture = nullptr; // 15 x 15, owned by the skin; may be null
    CPicture* scrollUpPressedPicture = nullptr;
    CPicture* scrollDownPicture = nullptr;
    CPicture* scrollDownPressedPicture = nullptr;
    SkinFont* font = nullptr; // the list's own fonts, or the window's list fonts
    SkinFont* boldFont = nullptr;
    bool working = false;         // show the loading bar instead of the rows
    double workingProgress = 0.0; // 0..1

private:
    int width() const;
    int height() const;
    int positionOf(SkinListItem* row) const;
    void clampOffset();
    bool stepSelection(bool down);
    void deleteSelection();
    void typeAhead(const char* characters);
    void drawRow(SkinListItem* row, int i, int top, int bottom);
    // A text shortened to a cell of a row (or the header) at `top`, and clipped to it: the shortened text may still
    // run a little past its width, into the next column.
    void drawCell(std::string text, float x, int top, float width, unsigned int color, SkinFont* cellFont);
    void drawScrollBar();

    std::unique_ptr<SkinFont> ownFont, ownBoldFont;
};
