#include "skin/SkinFont.h"

#include "foundation/modTools.h"
#include "platform/FontRegistry.h"

#include <cmath>

SkinFont::SkinFont(std::string* text) {
    name = getXMLPart(*text, "name");
    bold = strToBool(getXMLPart(*text, "bold")) ? 1.0f : 0.0f;
    double pointSize = strToDbl(getXMLPart(*text, "pointsize"));
    double s = pointSize > 1 ? pointSize * 1.4 : strToDbl(getXMLPart(*text, "size", "14")) - 1;
    // A size the rasteriser cannot draw (0, negative, enormous) would fail or exhaust memory.
    if (!(s >= 1.0)) s = 1.0;
    if (s > 512.0) s = 512.0;
    size = static_cast<float>(s);
    std::string smoothing = strtolower(getXMLPart(*text, "cleartype", "auto"));
    if (smoothing == "auto") smoothing = "yes";
    clearType = strToBool(smoothing) ? 1 : 0;
    face = getXMLPart(*text, "face", "Arial");
    double a = strToDbl(getXMLPart(*text, "angle"));
    angle = std::isfinite(a) && std::fabs(a) < 1e6 ? static_cast<int>(a) : 0;
}

unsigned int SkinFont::getATSUFontID() {
    if (!fontIdFound) {
        fontId = FontRegistry::findFont(face);
        fontIdFound = true;
    }
    return fontId;
}
