// The list box under any saved column widths (the settings file is the user's to edit) and any
// sequence of rows, templates, clicks, moves, wheel and jog steps, keys and deletes. The first line
// of the input is the settings text; every following byte pair is one operation.
#include "SkinFuzz.h"

#include "foundation/Picture.h"
#include "skin/SkinListBox.h"
#include "skin/SkinRect.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// Text rendering is not what is fuzzed here: it draws nothing, so a run stays fast.
class ListFuzzInterface : public FuzzSkinInterface {
public:
    int deleteRule = 0;
    void drawTextOnPic(CPicture*, std::string*, float, float, float, float, unsigned int, SkinFont*, BitmapContext*,
                       TEXTDRAWMODES, TEXTALIGNMENTMODES) override {}
    void getTextSize(CPicture*, std::string* text, float* width, float* height, SkinFont*) override {
        *width = static_cast<float>(text->size() * 7);
        *height = 13;
    }
    void fillRectangle(void*, int, int, int, int, unsigned int) override {}
    void handleItemDelete(SkinObject*, SkinListItem* row, bool* keep) override {
        *keep = (row->index + deleteRule) % 2;
    }
    void handleItemClick(SkinObject*, SkinListItem* row, int button) override {
        // A click that refills the list, as a folder click does.
        if (button == 3 && row && row->owner) row->owner->clear();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string settings = input.substr(0, newline);
    std::string ops = newline == std::string::npos ? std::string() : input.substr(newline + 1);

    ListFuzzInterface iface;
    SkinRect rect;
    rect.left = 3;
    rect.top = 4;
    rect.width = 120;
    rect.height = 60;
    SkinListBox list(&iface, &rect, nullptr);
    list.setColumns({"A", "B"});
    list.initSettingsXML(settings);
    CPicture target;
    target.create(200, 100);
    CPicture icon;
    icon.create(4, 30);

    for (size_t i = 0; i + 1 < ops.size(); i += 2) {
        unsigned op = static_cast<unsigned char>(ops[i]) % 16;
        int v = static_cast<signed char>(ops[i + 1]);
        switch (op) {
        case 0:
            list.addRow({std::string(1, static_cast<char>('a' + (v & 7))), "%[" + std::to_string(v % 4) + "]"});
            break;
        case 1:
            list.deleteItem(list.getRow(static_cast<unsigned>(v & 63)));
            break;
        case 2:
            list.moveItem(list.getRow(static_cast<unsigned>(v & 63)), v);
            break;
        case 3:
            list.selectItem(list.getRow(static_cast<unsigned>(v & 63)), v < 0);
            break;
        case 4:
            list.handleMouseClick(static_cast<float>(v + 60), static_cast<float>(v * 2 + 30), 1 + (v & 3), 0, v & 1);
            break;
        case 5:
            list.handleMouseMove(static_cast<float>(v + 60), static_cast<float>(v * 3), 1, 0);
            break;
        case 6:
            list.scrollWheel(0, v / 7.0);
            break;
        case 7:
            list.scrollDown(v / 3.0);
            break;
        case 8: {
            static const int keys[] = {51, 117, 126, 125, 116, 121, 115, 119, 0, 11};
            char text[2] = {static_cast<char>(v), 0};
            iface.deleteRule = v & 1;
            list.handleKeyPress(keys[static_cast<unsigned>(v & 0x7F) % 10], text, v < -100);
            break;
        }
        case 9:
            list.clear();
            break;
        case 10:
            list.draw(&target);
            break;
        case 11:
            list.showHeader = !list.showHeader;
            list.calculateItemPositions();
            break;
        case 12:
            list.setColumn(v, "C");
            break;
        case 13:
            if (SkinListItem* row = list.getRow(static_cast<unsigned>(v & 63))) {
                row->picture = v & 1 ? &icon : nullptr;
                row->indent = v;
                row->setColumn(v & 7, "x");
            }
            break;
        case 14:
            rect.width = static_cast<float>(v + 100);
            rect.height = static_cast<float>(v / 2 + 40);
            list.resize(&rect);
            break;
        default:
            list.leftFormat = "%[" + std::to_string(v) + "] %[2]";
            list.searchColumn = v;
            list.ensureVisible(list.getRow(static_cast<unsigned>(v & 63)));
            list.getRowAt(static_cast<float>(v), static_cast<float>(v));
            break;
        }
    }
    list.draw(&target);
    (void)list.getSettingsXML();
    return 0;
}
