// GIF decoding into a picture.
#include "foundation/Picture.h"

bool CPicture::loadFromGIFMemory(const unsigned char*, size_t) {
    close();
    return false;
}
