#include "skin/SkinImageRef.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"

SkinImageRef::SkinImageRef() : rect(std::make_unique<SkinRect>()) {}

SkinImageRef::SkinImageRef(CPicture* pic, const SkinRect* r) : picture(pic), rect(std::make_unique<SkinRect>()) {
    if (r) rect->initFromRect(r);
}

SkinImageRef::SkinImageRef(CPicture* pic, std::string* text) : picture(pic) {
    std::string position = getXMLPart(*text, "position");
    rect = std::make_unique<SkinRect>(&position);
    name = getXMLPart(*text, "name");
}

SkinImageRef::~SkinImageRef() = default;

bool SkinImageRef::usable() const {
    return picture && picture->width > 0 && picture->height > 0;
}

CPicture* SkinImageRef::constructPicture() const {
    // A plain copy in the source's mode: blending it onto fresh memory would mix in whatever was there.
    const int w = static_cast<int>(rect->width), h = static_cast<int>(rect->height);
    CPicture empty;
    CPicture* copy = (picture ? picture : &empty)->copyArea(static_cast<int>(rect->left), static_cast<int>(rect->top), w, h);
    return copy ? copy : new CPicture();
}
