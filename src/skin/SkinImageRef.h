// A named sub-rectangle of a skin picture.
#pragma once

#include "skin/SkinRect.h"

#include <memory>
#include <string>

class CPicture;

class SkinImageRef {
public:
    SkinImageRef();
    // A copy of `rect` over `picture`.
    SkinImageRef(CPicture* picture, const SkinRect* rect);
    // The "name" element and the sub-rectangle of the "position" element of `text`.
    SkinImageRef(CPicture* picture, std::string* text);
    virtual ~SkinImageRef();

    // A new picture (owned by the caller) of the rectangle's size holding that area of `picture`;
    // only created, not filled, when `picture` is null.
    CPicture* constructPicture() const;

    // A reference whose picture exists and has pixels.
    bool usable() const;

    std::string name;
    CPicture* picture = nullptr; // owned by the skin's picture cache
    std::unique_ptr<SkinRect> rect;
};
