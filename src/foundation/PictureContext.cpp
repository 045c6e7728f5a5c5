// The 2D drawing context over a picture's pixels.
#include "foundation/Picture.h"

#include "platform/BitmapContext.h"

void CPicture::ContextDeleter::operator()(BitmapContext* context) const {
    delete context;
}

CGContextRef CPicture::getCGContextRef() {
    touch(); // whoever asks for the context draws with it
    if (!cgContextMade && pixels) {
        cgContext.reset(BitmapContext::create(pixels, width, height, width * 4));
        cgContextMade = cgContext != nullptr;
    }
    return cgContext.get();
}

void CPicture::releaseContext() {
    cgContext.reset();
    cgContextMade = false;
}
