#include "skin/SkinColor.h"

#include "foundation/modTools.h"

namespace {
unsigned int channel(int v) {
    return static_cast<unsigned int>(v < 0 ? 0 : (v > 255 ? 255 : v));
}
} // namespace

unsigned int SkinColor::fromChannels(int r, int g, int b) {
    return (channel(b) << 16) | (channel(g) << 8) | channel(r);
}

SkinColor::SkinColor(std::string* text) {
    if (text->empty()) {
        name = "empty";
        value = 0;
        return;
    }
    std::string lower;
    name = getXMLElementCIFast(*text, lower, "name");
    value =
        fromChannels(strToInt(getXMLElementCIFast(*text, lower, "r")), strToInt(getXMLElementCIFast(*text, lower, "g")),
                     strToInt(getXMLElementCIFast(*text, lower, "b")));
}
