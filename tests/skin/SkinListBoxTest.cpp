// The list box: rows, selection, scrolling, keys, the mouse's press state machine, column widths,
// and the skin interface's road to it (events, the pop-up menu).
#include "SkinTestSupport.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinFont.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "skin/SkinRect.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// Records the item events; deletes are kept for the rows whose first value is in `keepRows`.
class ListInterface : public TestSkinInterface {
public:
    std::vector<std::pair<SkinListItem*, int>> itemClicks;
    std::vector<std::string> dragStarts;
    std::vector<std::string> deletes;
    std::vector<std::string> keepRows;
    SkinListBox* served = nullptr;

    SkinListBox* getListBox(SkinObject*) override { return served; }
    void handleItemClick(SkinObject*, SkinListItem* row, int button) override { itemClicks.emplace_back(row, button); }
    void handleItemDragStart(SkinObject*, SkinListItem* row) override { dragStarts.push_back(row->getColumn(0)); }
    void handleItemDelete(SkinObject*, SkinListItem* row, bool* keep) override {
        deletes.push_back(row->getColumn(0));
        *keep = std::find(keepRows.begin(), keepRows.end(), row->getColumn(0)) != keepRows.end();
    }
};

struct ListFixture {
    ListInterface iface;
    SkinRect rect;
    std::unique_ptr<SkinListBox> list;
    CPicture target;

    // A list at (100, 50) of w x h with `rows` rows "r0", "r1" ...
    ListFixture(int w, int h, int rowCount) {
        rect.left = 100;
        rect.top = 50;
        rect.width = static_cast<float>(w);
        rect.height = static_cast<float>(h);
        list = std::make_unique<SkinListBox>(&iface, &rect, nullptr);
        for (int i = 0; i < rowCount; ++i)
            list->addRow({"r" + std::to_string(i), "v" + std::to_string(i)});
        target.create(400, 400);
    }
    void draw() { list->draw(&target); }
    int selected() const {
        SkinListItem* row = list->getSelectedItem(0);
        return row ? row->index : -1;
    }
    // A press (and, unless held, the release) at list coordinates.
    void click(float x, float y, bool hold = false, int button = 1) {
        list->handleMouseClick(rect.left + x, rect.top + y, button, 0, false);
        if (!hold) list->handleMouseClick(rect.left + x, rect.top + y, button, 0, true);
    }
    void move(float x, float y) { list->handleMouseMove(rect.left + x, rect.top + y, 1, 0); }
    void key(int code, const char* text = "") { list->handleKeyPress(code, text, false); }
    // The colour of a pixel of the list's own picture, 0x00BBGGRR.
    unsigned int pixel(int x, int y) const {
        const unsigned char* p = list->picture->pixelAt(x, y);
        return p[0] << 16 | p[1] << 8 | p[2];
    }
};

} // namespace

TEST(SkinListBox, ScrollBarOnlyWhenRowsOverflow) {
    ListFixture empty(200, 170, 0);
    empty.draw();
    EXPECT_EQ(empty.list->getTotalHeight(), 0.0f);
    EXPECT_EQ(empty.pixel(192, 40), empty.list->colorBackground);
    empty.key(SkinListBox::KEY_LIST_DOWN);
    empty.key(SkinListBox::KEY_LIST_END);
    empty.list->scrollWheel(0, -3);
    EXPECT_EQ(empty.list->getNbSelectedItems(), 0);
    EXPECT_EQ(empty.list->scrollOffset, 0.0f);

    ListFixture exact(200, 170, 10); // 10 rows of 17 pixels fill 170 exactly
    exact.draw();
    EXPECT_EQ(exact.pixel(192, 40), exact.list->colorBackground);
    ListFixture over(200, 170, 11);
    over.draw();
    EXPECT_EQ(over.pixel(192, 40), over.list->colorScrollbar);
    EXPECT_EQ(over.iface.blits.size(), 1u);
    EXPECT_EQ(over.iface.blits[0].x, 100);
    EXPECT_EQ(over.iface.blits[0].y, 50);

    // A clean list is copied again without being redrawn.
    over.list->picture->fillRectangle(0, 0, 1, 1, 0x123456);
    over.draw();
    EXPECT_EQ(over.pixel(0, 0), 0x123456u);
    EXPECT_EQ(over.iface.blits.size(), 2u);
}

TEST(SkinListBox, RowsDrawPicturesStripsSelectionAndTextsCutAtTheirCells) {
    ListFixture f(200, 170, 6);
    CPicture icon;
    icon.create(4, 30); // taller than a row: cut to the row
    icon.fillRectangle(0, 0, 4, 30, 0x00FF00);
    f.list->getRow(0)->picture = &icon;
    f.list->getRow(4)->picture = &icon;
    f.list->colorSide = 0x0000FF;
    f.list->colorBackground2 = 0x303030;
    f.list->selectItem(f.list->getRow(1), false);
    f.draw();
    EXPECT_EQ(f.pixel(8, 17 * 2 + 8), 0x0000FFu);                 // the strip
    EXPECT_EQ(f.pixel(199, 80), getColorMix(0x0000FF, 0, 0.25f)); // the frame
    EXPECT_EQ(f.pixel(1, 17 * 4 + 2), 0x00FF00u);                 // the picture sits in the strip
    EXPECT_EQ(f.pixel(1, 17 * 4 + 16), 0x00FF00u);
    EXPECT_NE(f.pixel(1, 17 * 5 + 1), 0x00FF00u);               // ... cut at the row's bottom
    EXPECT_EQ(f.pixel(150, 17 + 2), f.list->colorSelectedBack); // the selected row
    EXPECT_EQ(f.pixel(150, 17 * 3 + 2), 0x303030u);             // an odd row

    // Column mode without a side colour: the picture starts the row, the selection fills it.
    f.list->colorSide = 0;
    f.list->showHeader = true;
    f.list->setColumns({"A", "B"});
    f.list->calculateItemPositions();
    f.draw();
    EXPECT_EQ(f.pixel(1, 17 + 2), 0x00FF00u);                       // row 0 below the header
    EXPECT_EQ(f.pixel(180, 2), f.list->colorSelectedBack);          // the header band
    EXPECT_EQ(f.pixel(180, 17 * 2 + 2), f.list->colorSelectedBack); // row 1, selected

    // A text too long for its cell ends where the cell does, in a column and in line mode alike: shortened, with
    // its "...", it ran on into the next column (here the empty scroll zone).
    std::string face = "<name>list</name><face>DejaVu Sans</face><size>13</size>";
    SkinFont font(&face);
    for (bool columns : {true, false}) {
        ListFixture g(200, 170, 0);
        g.list->font = &font;
        g.list->showHeader = columns;
        g.list->setColumns({"Title"});
        g.list->leftFormat = "%[1]";
        SkinListItem* row = g.list->addRow({std::string(60, 'H')});
        g.draw();
        ASSERT_GT(row->right, 100) << columns;
        const int top = int(g.list->getItemPositionTop(row));
        int inside = 0, past = 0; // text pixels in the cell's last 30 pixels, and in the 12 past it
        for (int x = row->right - 30; x < row->right + 12; ++x)
            for (int y = top; y < top + SkinListBox::rowHeight; ++y)
                if (g.pixel(x, y) != g.list->colorBackground) ++(x < row->right ? inside : past);
        EXPECT_GT(inside, 0) << columns;
        EXPECT_EQ(past, 0) << columns;
    }
}

TEST(SkinListBox, TurningTheHeaderOnOrOffMovesTheRowsAtOnce) {
    ListFixture f(200, 170, 3);
    f.draw();
    f.list->showHeader = true;
    EXPECT_EQ(f.list->getRowAt(20, 17 + 8), f.list->getRow(0)); // the first row below the header, not under it
    f.draw();
    EXPECT_EQ(f.list->getItemPositionTop(f.list->getRow(0)), 17.0f);
    f.list->showHeader = false;
    f.draw();
    EXPECT_EQ(f.list->getItemPositionTop(f.list->getRow(0)), 0.0f); // no empty strip left at the top
}

TEST(SkinListBox, APopUpIsWideEnoughForItsLongestLabel) {
    ListFixture f(150, 100, 2);
    f.list->setColumns({"Text", "Value"});
    EXPECT_EQ(f.list->getMaxWidth(), 150.0f); // short labels: the usual width
    std::string label = "Warn when loading onto a playing deck";
    f.list->addRow({label, ""})->indent = 2;
    float w = 0, h = 0;
    f.iface.getTextSize(nullptr, &label, &w, &h, f.list->font);
    ASSERT_GT(w, 150.0f);
    EXPECT_GE(f.list->getMaxWidth(), 2 * SkinListBox::indentWidth + w + SkinListBox::scrollWidth);
}

TEST(SkinListBox, EnsureVisiblePlacesRowsAndClampsAtTheEnd) {
    ListFixture f(200, 170, 30);
    f.list->ensureVisible(f.list->getRow(3));
    EXPECT_EQ(f.list->scrollOffset, 0.0f); // already shown
    f.list->ensureVisible(f.list->getRow(15));
    EXPECT_EQ(f.list->getItemPositionTop(f.list->getRow(15)), 25.0f);
    f.list->ensureVisible(f.list->getRow(29));
    EXPECT_EQ(f.list->scrollOffset, 170.0f - 30 * 17); // the last row ends at the bottom
    f.list->ensureVisible(f.list->getRow(0));
    EXPECT_EQ(f.list->scrollOffset, 0.0f);
}

TEST(SkinListBox, KeysMoveTheSelection) {
    ListFixture f(200, 170, 25); // a page is 10 rows
    f.key(SkinListBox::KEY_LIST_DOWN);
    EXPECT_EQ(f.selected(), 0);
    f.key(SkinListBox::KEY_LIST_PAGE_DOWN);
    EXPECT_EQ(f.selected(), 10);
    f.key(SkinListBox::KEY_LIST_PAGE_DOWN);
    EXPECT_EQ(f.selected(), 20);
    f.key(SkinListBox::KEY_LIST_PAGE_DOWN); // fewer than a page left: one row
    EXPECT_EQ(f.selected(), 21);
    f.key(SkinListBox::KEY_LIST_END);
    EXPECT_EQ(f.selected(), 24);
    f.key(SkinListBox::KEY_LIST_DOWN);
    EXPECT_EQ(f.selected(), 24);
    f.key(SkinListBox::KEY_LIST_HOME);
    EXPECT_EQ(f.selected(), 0);
    f.key(SkinListBox::KEY_LIST_UP);
    EXPECT_EQ(f.selected(), 0);
    f.list->selectItem(f.list->getRow(5), false);
    f.key(SkinListBox::KEY_LIST_PAGE_UP);
    EXPECT_EQ(f.selected(), 4);
    // Releases do nothing.
    f.list->handleKeyPress(SkinListBox::KEY_LIST_DOWN, "", true);
    EXPECT_EQ(f.selected(), 4);
}

TEST(SkinListBox, TypeAheadTakesOnlyTypedText) {
    ListFixture f(200, 170, 0);
    for (const char* name : {"alpha", "Beta", "bravo", "charlie"})
        f.list->addRow({name});
    f.list->selectItem(f.list->getRow(3), false);
    f.key(56, "");      // a modifier key brings no text
    f.key(122, "\x10"); // a function key brings a control character
    EXPECT_EQ(f.selected(), 3);
    f.key(11, "b");
    EXPECT_EQ(f.selected(), 1);
    f.key(11, "BR");
    EXPECT_EQ(f.selected(), 2);
    f.key(7, "x");
    EXPECT_EQ(f.selected(), 2);
    EXPECT_FALSE(SkinListBox::isTypedText(nullptr));
    EXPECT_TRUE(SkinListBox::isTypedText("\xc3\xa9"));
}

TEST(SkinListBox, PressSelectsAndReportsEveryPress) {
    ListFixture f(200, 170, 20);
    f.draw();
    f.click(10, 17 * 2 + 5);
    EXPECT_EQ(f.selected(), 2);
    f.list->selectItem(f.list->getRow(4), true);
    f.click(10, 17 * 2 + 5); // two selected: the press makes row 2 the only one
    EXPECT_EQ(f.list->getNbSelectedItems(), 1);
    f.list->dirty = false;
    f.click(10, 17 * 2 + 5, false, 2); // the single selected row is not re-selected, still reported
    ASSERT_EQ(f.iface.itemClicks.size(), 3u);
    EXPECT_EQ(f.iface.itemClicks[2].first, f.list->getRow(2));
    EXPECT_EQ(f.iface.itemClicks[2].second, 2);
    // A release on a row, or a press beside the rows, sends nothing.
    f.list->handleMouseClick(f.rect.left + 10, f.rect.top + 17, 1, 0, true);
    EXPECT_EQ(f.iface.itemClicks.size(), 3u);
}

TEST(SkinListBox, OneDragStartPerPress) {
    ListFixture f(200, 170, 20);
    f.draw();
    f.click(10, 5, true);
    f.move(12, 30);
    f.move(14, 60);
    EXPECT_EQ(f.iface.dragStarts, std::vector<std::string>{"r0"});
    f.list->handleMouseClick(f.rect.left + 14, f.rect.top + 60, 1, 0, true);
    f.move(20, 70);
    EXPECT_EQ(f.iface.dragStarts.size(), 1u);
    f.click(10, 17 * 3 + 2, true);
    f.move(10, 90);
    EXPECT_EQ(f.iface.dragStarts, (std::vector<std::string>{"r0", "r3"}));

    // A list refilled while the press is held drags nothing.
    f.click(10, 17 * 5 + 2, true);
    f.list->clear();
    f.list->addRow({"new"});
    f.move(10, 95);
    EXPECT_EQ(f.iface.dragStarts.size(), 2u);
}

TEST(SkinListBox, DeleteAsksForEachSelectedRow) {
    ListFixture f(200, 170, 5);
    f.iface.keepRows = {"r0", "r1", "r2", "r3", "r4"};
    f.list->selectItem(f.list->getRow(1), false);
    f.list->selectItem(f.list->getRow(3), true);
    f.key(SkinListBox::KEY_LIST_DELETE);
    EXPECT_EQ(f.list->getNbItems(), 5);
    EXPECT_EQ(f.list->getNbSelectedItems(), 2);
    EXPECT_EQ(f.iface.deletes, (std::vector<std::string>{"r1", "r3"}));

    f.iface.keepRows = {"r3"};
    f.iface.deletes.clear();
    f.list->selectItem(f.list->getRow(2), true);
    f.key(SkinListBox::KEY_LIST_FORWARD_DELETE);
    EXPECT_EQ(f.iface.deletes, (std::vector<std::string>{"r1", "r2", "r3"}));
    ASSERT_EQ(f.list->getNbItems(), 3);
    EXPECT_EQ(f.list->getRow(1)->getColumn(0), "r3");
    EXPECT_EQ(f.list->getRow(1)->index, 1);
    ASSERT_EQ(f.list->getNbSelectedItems(), 1);
    EXPECT_EQ(f.list->getSelectedItem(0)->getColumn(0), "r3");

    f.iface.keepRows.clear();
    f.list->selectItem(f.list->getRow(2), false); // the last row
    f.key(SkinListBox::KEY_LIST_DELETE);
    ASSERT_EQ(f.list->getNbItems(), 2);
    EXPECT_EQ(f.list->getSelectedItem(0), f.list->getRow(1)); // the new last row
}

TEST(SkinListBox, JogStepsStartAtAValidRow) {
    ListFixture f(200, 170, 0);
    f.draw(); // nothing drawn: no visible rows
    f.list->addRow({"a"});
    f.list->addRow({"b"});
    f.list->scrollDown(1);
    EXPECT_EQ(f.selected(), 0);

    ListFixture g(200, 170, 40);
    g.list->scrollOffset = -17 * 30;
    g.draw(); // rows 30 .. 39 visible
    g.list->clear();
    for (int i = 0; i < 3; ++i)
        g.list->addRow({"x"});
    g.list->scrollUp(1);
    EXPECT_EQ(g.selected(), 0);
    g.list->scrollDown(0.6);
    EXPECT_EQ(g.selected(), 0);
    g.list->scrollDown(0.6); // the fractions add up
    EXPECT_EQ(g.selected(), 1);
    g.list->scrollDown(1e12); // far past the end: stops at the last row at once
    EXPECT_EQ(g.selected(), 2);
    g.list->scrollUp(2.5); // 0.2 left over from 1.2: two steps
    EXPECT_EQ(g.selected(), 0);
}

TEST(SkinListBox, MouseScrolling) {
    ListFixture f(200, 170, 30); // 510 pixels of rows
    f.draw();
    f.click(195, 165); // down arrow
    EXPECT_EQ(f.list->scrollOffset, -10.0f);
    f.click(195, 5); // up arrow
    f.click(195, 5);
    EXPECT_EQ(f.list->scrollOffset, 0.0f);
    f.click(195, 50, true); // the thumb: a pixel moves 510 / 140 pixels of rows
    f.move(195, 64);
    EXPECT_FLOAT_EQ(f.list->scrollOffset, -510.0f / 140.0f * 14);
    f.list->scrollWheel(0, 1);
    EXPECT_FLOAT_EQ(f.list->scrollOffset, -510.0f / 140.0f * 14 + 6);
    f.list->scrollWheel(0, -1000);
    EXPECT_EQ(f.list->scrollOffset, 170.0f - 510.0f);

    // A list too small for a thumb ignores the thumb drag.
    ListFixture tiny(200, 30, 5);
    tiny.draw();
    tiny.click(195, 15, true);
    EXPECT_EQ(tiny.list->dragMode, SkinListBox::DRAG_THUMB);
    tiny.move(195, 25);
    EXPECT_EQ(tiny.list->scrollOffset, 0.0f);
}

TEST(SkinListBox, ColumnBorderDragKeepsColumnsWide) {
    ListFixture f(215, 170, 3); // 200 pixels of text width
    f.list->showHeader = true;
    f.list->setColumns({"A", "B"});
    f.draw();
    f.click(100, 5, true); // the border between A and B
    EXPECT_EQ(f.list->dragMode, SkinListBox::DRAG_BORDER);
    f.move(60, 5);
    EXPECT_FLOAT_EQ(f.list->columnWidths[0], 0.3f);
    EXPECT_FLOAT_EQ(f.list->columnWidths[1], 0.7f);
    f.move(9, 5); // would leave A 9 pixels wide
    EXPECT_FLOAT_EQ(f.list->columnWidths[0], 0.3f);
    f.move(192, 5); // B would go below nothing
    EXPECT_FLOAT_EQ(f.list->columnWidths[1], 0.7f);
    f.click(2, 5, true); // the leftmost border does nothing
    f.move(50, 5);
    EXPECT_FLOAT_EQ(f.list->columnWidths[0], 0.3f);
    // Rows start below the header.
    EXPECT_EQ(f.list->getItemPositionTop(f.list->getRow(0)), 17.0f);
}

TEST(SkinListBox, SavedColumnWidths) {
    ListFixture f(200, 170, 0);
    f.list->setColumns({"A", "B"});
    EXPECT_EQ(f.list->getSettingsXML(), "<COLUMNWIDTHS><COL><NB>0</NB><WIDTH>0.50000</WIDTH></COL><COL><NB>1</NB>"
                                        "<WIDTH>0.50000</WIDTH></COL></COLUMNWIDTHS>");
    f.list->initSettingsXML("<columnWidths><col><nb>1</nb><width>0.25</width></col><COL><NB>3</NB><WIDTH>0.125"
                            "</WIDTH></COL></columnWidths>");
    EXPECT_EQ(f.list->columnWidths, (std::vector<float>{0.5f, 0.25f, 0.0f, 0.125f}));
    f.list->initSettingsXML("<COL><NB>0</NB><WIDTH>0.9</WIDTH></COL>"); // no COLUMNWIDTHS: nothing
    EXPECT_EQ(f.list->columnWidths[0], 0.5f);
    // Column numbers from a damaged settings file outside 0..63 are ignored.
    f.list->initSettingsXML("<COLUMNWIDTHS><COL><NB>-1</NB><WIDTH>0.7</WIDTH></COL><COL><NB>2000000000</NB>"
                            "<WIDTH>0.7</WIDTH></COL><COL><NB>64</NB><WIDTH>0.7</WIDTH></COL></COLUMNWIDTHS>");
    EXPECT_EQ(f.list->columnWidths.size(), 4u);
}

TEST(SkinListBox, TemplatesFillInColumns) {
    ListFixture f(200, 170, 0);
    f.list->setColumns({"Title", "Artist", "Odd"});
    f.list->leftFormat = "%[2] - %[1]";
    f.list->rightFormat = "[%[3]] %[9] %[";
    SkinListItem* row = f.list->addRow({"A", "B"}); // no third value
    EXPECT_EQ(row->getLeftFormattedString(), "B - A");
    EXPECT_EQ(row->getRightFormattedString(), "[] %[9] %[");
    SkinListItem* tricky = f.list->addRow({"%[2]", "x"});
    EXPECT_EQ(tricky->getLeftFormattedString(), "x - %[2]"); // a value is not expanded again
    bool found = true;
    EXPECT_EQ(row->getColumnByName("Artist", &found), "B");
    EXPECT_TRUE(found);
    EXPECT_EQ(row->getColumnByName("Odd", &found), "");
    EXPECT_TRUE(found);
    row->getColumnByName("artist", &found);
    EXPECT_FALSE(found);

    // A search column the rows lack reads empty text.
    f.list->searchColumn = 5;
    f.key(11, "b");
    EXPECT_EQ(f.list->getNbSelectedItems(), 0);
}

TEST(SkinListBox, MoveAndDeleteKeepRowsInOrder) {
    ListFixture f(200, 170, 5);
    f.list->setItemBold(3);
    f.list->moveItem(f.list->getRow(0), 99);
    EXPECT_EQ(f.list->getRow(4)->getColumn(0), "r0");
    EXPECT_EQ(f.list->getRow(4)->index, 0); // refreshed by the next layout pass
    f.list->calculateItemPositions();
    f.list->deleteItem(f.list->getRow(0)); // r1
    EXPECT_EQ(f.list->boldRow, 2);         // the bold place follows the rows moving up
    EXPECT_EQ(f.list->getRow(0)->getColumn(0), "r2");
    EXPECT_EQ(f.list->getRow(3)->index, 3);
}

TEST(SkinListBox, EventsReachTheListOfTheEventsDeckThenLayerZero) {
    ListInterface iface;
    Skin skin(&iface);
    std::string text = "<name>w</name><object><name>list</name><type>listbox</type><value>testvalue</value>"
                       "<left-action>default</left-action><position><x>0</x><y>0</y><width>200</width>"
                       "<height>170</height></position></object>";
    SkinWindow window(&skin, &text);
    SkinObject* object = window.getObject("list");
    ASSERT_NE(object, nullptr);
    SkinListBox list(&iface, object->rect.get(), object);
    list.addRow({"a"});
    CPicture target;
    target.create(300, 300);
    object->states[0]->listBox = &list;
    iface.drawObject(&target, object, 0, &window);
    ASSERT_EQ(iface.blits.size(), 1u);

    window.mouseDown(10, 5, 1, 0, 2); // layer 2 has no list of its own
    ASSERT_EQ(iface.itemClicks.size(), 1u);
    EXPECT_EQ(iface.itemClicks[0].first, list.getRow(0));

    SkinListBox other(&iface, object->rect.get(), object);
    other.addRow({"b"});
    object->states[2]->listBox = &other;
    other.draw(&target);
    window.mouseDown(10, 5, 1, 0, 2);
    ASSERT_EQ(iface.itemClicks.size(), 2u);
    EXPECT_EQ(iface.itemClicks[1].first, other.getRow(0));
}

TEST(SkinListBox, PopupMenuIsServedAtTheListsSize) {
    testsupport::TempDir folder("listbox");
    ListInterface iface;
    Skin skin(&iface);
    skin.folder = folder.path;
    folder.write("menu.lst", "One\nclick a\nTwo\nclick b\n");
    std::string definition = "<OBJECT><TYPE>ListBox</TYPE><VALUE>popupmenu</VALUE><POSITION><LEFT>0</LEFT>"
                             "<TOP>0</TOP><WIDTH>10</WIDTH><HEIGHT>10</HEIGHT></POSITION></OBJECT>";
    SkinWindow* popup = new SkinWindow(&skin, &definition, "_popupwindow");
    skin.windows.emplace_back(popup);
    SkinObject* object = popup->tabGroups[0]->tabs[0]->getObj(0);
    SkinListBox list(&iface, object->rect.get(), object);
    list.setColumns({"Text", "Value", "ValueSpecifier", "Player"});
    list.addRow({"stale"});
    iface.served = &list;

    iface.popupCustomMenu("menu", 2, "", 5, 6, false);
    EXPECT_TRUE(iface.showPopupRequested);
    EXPECT_EQ(iface.popupWidth, 150.0f);
    EXPECT_EQ(iface.popupHeight, 34.0f);
    ASSERT_EQ(list.getNbItems(), 2);
    EXPECT_EQ(list.getRow(1)->columns, (std::vector<std::string>{"Two", "ExecuteScript", "script:click b", "2"}));
}
