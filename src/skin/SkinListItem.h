// One row of a list box: its column values, the display texts built from the list's templates,
// and where the list laid it out. Owned by its list box. Main thread.
#pragma once

#include <string>
#include <vector>

class CPicture;
class SkinListBox;

class SkinListItem {
public:
    explicit SkinListItem(SkinListBox* owner);
    virtual ~SkinListItem() = default;
    SkinListItem(const SkinListItem&) = delete;
    SkinListItem& operator=(const SkinListItem&) = delete;

    // Column i's value; a column the row lacks reads as empty text.
    const std::string& getColumn(int i) const;
    int getNbColumns() const { return static_cast<int>(columns.size()); }
    // Grows the row to i + 1 values when needed (i in 0..maxColumns-1, else ignored).
    void setColumn(int i, const std::string& value);
    void setColumns(const std::vector<std::string>& values);
    // The value in the column whose header name is exactly `name`; empty text, and *found false,
    // when the list has no such column.
    std::string getColumnByName(const std::string& name, bool* found = nullptr) const;

    // The list's templates with "%[N]" replaced by column N-1 (N = 1 .. the list's column count);
    // built on first use and kept until the row's values change.
    const std::string& getLeftFormattedString();
    const std::string& getRightFormattedString();

    std::vector<std::string> columns;
    std::string leftText, rightText;
    SkinListBox* owner = nullptr;
    int left = 0, right = 0, top = 0, bottom = 0; // pixels, list coordinates, set by the layout pass
    bool selected = false;
    int index = 0;               // place in the list, refreshed by the layout pass
    int indent = 0;              // levels of 5 pixels
    unsigned int color = 0;      // own text colour 0x00BBGGRR, 0 = none
    CPicture* picture = nullptr; // drawn at the start of the row; owned by the application

private:
    std::string format(const std::string& pattern) const;
};
