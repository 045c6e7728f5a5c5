#include "skin/SkinListItem.h"

#include "skin/SkinListBox.h"

namespace {
const std::string emptyText;
} // namespace

SkinListItem::SkinListItem(SkinListBox* owner) : owner(owner) {}

const std::string& SkinListItem::getColumn(int i) const {
    if (i < 0 || i >= static_cast<int>(columns.size())) return emptyText;
    return columns[static_cast<size_t>(i)];
}

void SkinListItem::setColumn(int i, const std::string& value) {
    if (i < 0 || i >= SkinListBox::maxColumns) return;
    if (i >= static_cast<int>(columns.size())) columns.resize(static_cast<size_t>(i) + 1);
    columns[static_cast<size_t>(i)] = value;
    leftText.clear();
    rightText.clear();
}

void SkinListItem::setColumns(const std::vector<std::string>& values) {
    columns = values;
    leftText.clear();
    rightText.clear();
}

std::string SkinListItem::getColumnByName(const std::string& name, bool* found) const {
    if (found) *found = false;
    if (!owner) return std::string();
    const SkinListItem* names = owner->header.get();
    for (int i = 0; i < names->getNbColumns(); ++i) {
        if (names->getColumn(i) != name) continue;
        if (found) *found = true;
        return getColumn(i);
    }
    return std::string();
}

std::string SkinListItem::format(const std::string& pattern) const {
    if (!owner || pattern.find("%[") == std::string::npos) return pattern;
    // One pass over the template: a value that itself holds "%[N]" is not expanded again.
    int count = owner->getNbColumns();
    std::string text;
    size_t i = 0;
    while (i < pattern.size()) {
        size_t open = pattern.find("%[", i);
        if (open == std::string::npos) break;
        text.append(pattern, i, open - i);
        size_t close = pattern.find(']', open + 2);
        size_t length = close == std::string::npos ? 0 : close - open - 2;
        std::string digits = pattern.substr(open + 2, length);
        bool number = length >= 1 && length <= 3 && digits[0] != '0' &&
                      digits.find_first_not_of("0123456789") == std::string::npos;
        int n = number ? std::stoi(digits) : 0;
        if (n >= 1 && n <= count) {
            text += getColumn(n - 1);
            i = close + 1;
        } else {
            text += "%[";
            i = open + 2;
        }
    }
    text.append(pattern, i, std::string::npos);
    return text;
}

const std::string& SkinListItem::getLeftFormattedString() {
    if (leftText.empty() && owner) leftText = format(owner->leftFormat);
    return leftText;
}

const std::string& SkinListItem::getRightFormattedString() {
    if (rightText.empty() && owner) rightText = format(owner->rightFormat);
    return rightText;
}
