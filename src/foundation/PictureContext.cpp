// The 2D drawing context over a picture's pixels.
#include "foundation/Picture.h"

#include "platform/BitmapContext.h"

CGContextRef CPicture::getCGContextRef() {
    if (!cgContextMade && pixels) {
        cgContext = BitmapContext::create(pixels, width, height, width * 4);
        cgContextMade = cgContext != nullptr;
    }
    return cgContext;
}

void CPicture::releaseContext() {
    delete cgContext;
    cgContext = nullptr;
    cgContextMade = false;
}
