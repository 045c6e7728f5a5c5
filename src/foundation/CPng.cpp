// A PNG file into a picture.
#include "foundation/Picture.h"

#include "foundation/PngDecoder.h"

#include <new>

bool CPicture::loadFromPNGMemory(const unsigned char* data, size_t size) {
    close();
    RawPngDecoder decoder;
    if (decoder.DecodeMemory(data, size) != 1 || !decoder.result) return false;
    uint32_t* flags = new (std::nothrow) uint32_t[size_t(decoder.height)];
    if (!flags) return false;
    // The decoded buffer becomes the picture's pixels: red and blue change places in it.
    pixels = decoder.takeResult();
    rowFlags = flags;
    width = decoder.width;
    height = decoder.height;
    unsigned char* p = pixels;
    for (size_t n = byteSize() / 4; n > 0; --n, p += 4) {
        unsigned char r = p[0];
        p[0] = p[2];
        p[2] = r;
    }
    classifyTransparency(true);
    return true;
}
