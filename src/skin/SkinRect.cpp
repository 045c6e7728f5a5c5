#include "skin/SkinRect.h"

#include "foundation/modTools.h"

#include <algorithm>
#include <utility>

namespace {

float limited(float v) {
    if (!(v == v)) return 0.0f;
    return std::max(-SkinRect::maxCoordinate, std::min(v, SkinRect::maxCoordinate));
}

// A whole number of pixels from the text, within the coordinate limits.
float coordinate(std::string* text, const char* tag, const char* defaultText) {
    return limited(static_cast<float>(strToInt(getXMLPart(*text, tag, defaultText))));
}

// One axis: start, size and the optional far edge ("x2"/"y2") of the written rectangle.
void readExtent(std::string* text, const char* sizeTag, const char* farTag, float& start, float& end, float& size) {
    size = coordinate(text, sizeTag, "0");
    if (size != 0) {
        end = start + size;
        return;
    }
    end = coordinate(text, farTag, "-1");
    if (end < 0) {
        end = start;
        return;
    }
    if (start > end) std::swap(start, end);
    size = end - start;
}

} // namespace

SkinRect::SkinRect(std::string* text) {
    left = coordinate(text, "x", "0");
    top = coordinate(text, "y", "0");
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
    limit();
}

void SkinRect::limit() {
    for (float* v : {&left, &right, &top, &bottom, &width, &height, &layoutX, &layoutWidth, &layoutY, &layoutHeight})
        *v = limited(*v);
}

void SkinRect::initFromRect(const SkinRect* other) {
    int keep = vertical;
    *this = *other;
    vertical = keep;
}
