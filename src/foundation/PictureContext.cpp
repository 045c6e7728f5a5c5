// The 2D drawing context over a picture's pixels.
#include "foundation/Picture.h"

CGContextRef CPicture::getCGContextRef() {
    return nullptr;
}

void CPicture::releaseContext() {
    cgContext = nullptr;
    cgContextMade = false;
}
