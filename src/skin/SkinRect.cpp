#include "skin/SkinRect.h"

#include "foundation/modTools.h"

#include <utility>

namespace {

// One axis: start, size and the optional far edge ("x2"/"y2") of the written rectangle.
void readExtent(std::string* text, const char* sizeTag, const char* farTag, float& start, float& end, float& size) {
    size = static_cast<float>(strToInt(getXMLPart(*text, sizeTag, "0")));
    if (size != 0) {
        end = start + size;
        return;
    }
    end = static_cast<float>(strToInt(getXMLPart(*text, farTag, "-1")));
    if (end < 0) {
        end = start;
        return;
    }
    if (start > end) std::swap(start, end);
    size = end - start;
}

} // namespace

SkinRect::SkinRect(std::string* text) {
    left = static_cast<float>(strToInt(getXMLPart(*text, "x", "0")));
    top = static_cast<float>(strToInt(getXMLPart(*text, "y", "0")));
    readExtent(text, "width", "x2", left, right, width);
    readExtent(text, "height", "y2", top, bottom, height);
    vertical = width <= height ? 1 : 0;
    widthPercent = static_cast<float>(strToDbl(getXMLPart(*text, "widthprcnt", "-1")) / 100.0);
    heightPercent = static_cast<float>(strToDbl(getXMLPart(*text, "heightprcnt", "-1")) / 100.0);
    xPercent = static_cast<float>(strToDbl(getXMLPart(*text, "xprcnt", "-1")) / 100.0);
    yPercent = static_cast<float>(strToDbl(getXMLPart(*text, "yprcnt", "-1")) / 100.0);
    layoutX = left;
    layoutWidth = width;
    layoutY = top;
    layoutHeight = height;
    if (width < 0) width = 0;
    if (height < 0) height = 0;
}

void SkinRect::initFromRect(const SkinRect* other) {
    int keep = vertical;
    *this = *other;
    vertical = keep;
}
